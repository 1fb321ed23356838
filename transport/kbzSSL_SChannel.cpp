#include "transport/kbzSSL_SChannel.h"

#include "transport/kbzSSL_OpenSSL_Internal.h"
#include "transport/kbzSocket_Options.h"

namespace kbz
{

TkbzSChannelClientConfig TkbzSChannelClientConfig::FromOptions(const TkbzSocketTLS_Options& options)
{
    TkbzSChannelClientConfig cfg;
    static_cast<TkbzTLSClientConfig&>(cfg) = TkbzTLSClientConfig::FromOptions(options);
    cfg.CertHash = options.SChannel_Options.CertHash;
    return cfg;
}

std::unique_ptr<TkbzIOHandler> kbzStartSChannelClient(std::unique_ptr<TkbzSocketIOHandler> plain,
                                                      const TkbzSChannelClientConfig& config,
                                                      const std::string& host, int timeoutMs)
{
    if (!config.CertHash.empty())
    {
        throw SChannelError(std::string(kbzSChannelErrorPrefix) +
                            "Certificate lookup by hash (CertHash) is not supported on this "
                            "platform; give the certificate as CertFile");
    }
    try
    {
        std::shared_ptr<TkbzSSLContext> context = TkbzSSLContext::CreateClient(config);
        auto handler =
            std::make_unique<TkbzIdSSLIOHandlerSocketSChannel>(std::move(plain), context);
        const std::string checked = detail::TLSHostOf(config.HostToCheck);
        handler->StartTLS(checked.empty() ? detail::TLSHostOf(host) : checked, timeoutMs);
        return handler;
    }
    catch (const EIdTLSError& e)
    {
        throw SChannelError(kbzSChannelErrorPrefix + e.Message());
    }
}

std::unique_ptr<TkbzIOHandler>
kbzStartTLSClientFromOptions(std::unique_ptr<TkbzSocketIOHandler> plain,
                             const TkbzSocketTLS_Options& options, const std::string& host,
                             int timeoutMs, const std::string& hostToCheck,
                             const TkbzSSLVerifyPeerEvent& onVerifyPeer)
{
    if (options.IOHandler == TwsTLSIOHandler::iohSChannel)
    {
        TkbzSChannelClientConfig cfg = TkbzSChannelClientConfig::FromOptions(options);
        cfg.HostToCheck = hostToCheck;
        cfg.OnSSLVerifyPeer = onVerifyPeer;
        return kbzStartSChannelClient(std::move(plain), cfg, host, timeoutMs);
    }
    TkbzTLSClientConfig cfg = TkbzTLSClientConfig::FromOptions(options);
    cfg.HostToCheck = hostToCheck;
    cfg.OnSSLVerifyPeer = onVerifyPeer;
    return kbzStartTLSClient(std::move(plain), cfg, host, timeoutMs);
}

} // namespace kbz
