#include "transport/kbzSSL_Handler.h"

#include "transport/kbzSSL_SChannel.h"

namespace kbz
{

std::unique_ptr<TkbzIOHandler> TkbzSSLHandler::Accept(std::unique_ptr<TkbzSocketIOHandler>, int)
{
    throw EIdTLSError("This TLS handler cannot accept connections");
}

std::unique_ptr<TkbzIOHandler> TkbzSSLHandler::Connect(std::unique_ptr<TkbzSocketIOHandler>,
                                                       const std::string&, int)
{
    throw EIdTLSError("This TLS handler cannot make connections");
}

void TkbzSSLHandlerOpenSSL::Prepare()
{
    if (GetType() != TwsSSLHandlerType::sslServer)
    {
        return;
    }
    TkbzTLSServerConfig config = ServerConfig;
    if (OnGetPassword)
    {
        config.Password = OnGetPassword();
    }
    auto context = TkbzSSLContext::CreateServer(config);
    std::lock_guard guard(FLock);
    FContext = std::move(context);
}

std::shared_ptr<TkbzSSLContext> TkbzSSLHandlerOpenSSL::Context() const
{
    std::lock_guard guard(FLock);
    return FContext;
}

std::unique_ptr<TkbzIOHandler>
TkbzSSLHandlerOpenSSL::AcceptDeferred(std::unique_ptr<TkbzSocketIOHandler>& plain)
{
    std::shared_ptr<TkbzSSLContext> context = Context();
    if (!context)
    {
        return nullptr;
    }
    return kbzBeginTLSServer(std::move(plain), std::move(context));
}

std::unique_ptr<TkbzIOHandler>
TkbzSSLHandlerOpenSSL::Accept(std::unique_ptr<TkbzSocketIOHandler> plain, int timeoutMs)
{
    std::shared_ptr<TkbzSSLContext> context = Context();
    if (!context)
    {
        Prepare();
        context = Context();
    }
    if (!context)
    {
        return TkbzSSLHandler::Accept(std::move(plain), timeoutMs);
    }
    return kbzStartTLSServer(std::move(plain), std::move(context), timeoutMs);
}

std::unique_ptr<TkbzIOHandler>
TkbzSSLHandlerOpenSSL::Connect(std::unique_ptr<TkbzSocketIOHandler> plain, const std::string& host,
                               int timeoutMs)
{
    if (GetType() != TwsSSLHandlerType::sslClient)
    {
        return TkbzSSLHandler::Connect(std::move(plain), host, timeoutMs);
    }
    return kbzStartTLSClientFromOptions(std::move(plain), ClientOptions, host, timeoutMs,
                                        HostToCheck, OnSSLVerifyPeer);
}

} // namespace kbz
