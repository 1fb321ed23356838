#include "server/kbzWebSocket_Server.h"

#include "client/kbzWebSocket_Client.h"
#include "transport/kbzSSL_OpenSSL.h"

#include <algorithm>

namespace kbz
{

TkbzWSHTTPServer::TkbzWSHTTPServer() = default;

TkbzWSHTTPServer::~TkbzWSHTTPServer()
{
    StopForDestruction();
}

void TkbzWSHTTPServer::StopForDestruction() noexcept
{
    SetDestroying();
    CancelWatchDogMonitor();
    // Start/Stop threads first (they use the listener), then the listener and
    // every connection thread.
    JoinServerThreads();
    std::unique_ptr<TkbzIdTCPServer> listener;
    {
        std::lock_guard guard(FServerLock);
        listener = std::move(FHTTPServer);
    }
    if (listener)
    {
        try
        {
            listener->SetActive(false);
        }
        catch (...)
        {}
    }
    // No connection thread reports to the link any more.
    ReleaseLoadBalancerLink();
    FreeTimers();
    WaitForTimerTicks();
    FHTTPSessions.Clear();
}

TkbzIdTCPServer& TkbzWSHTTPServer::GetHTTPServer()
{
    std::lock_guard guard(FServerLock);
    if (FHTTPServer)
    {
        return *FHTTPServer;
    }
    auto listener = std::make_unique<TkbzIdTCPServer>();
    listener->DefaultPort = static_cast<std::uint16_t>(FPort);
    listener->OnConnect = [this](TkbzIdContext& context) {
        auto c = OnListenerConnect(context.GetConnection(), context.Binding().IPVersion);
        if (c)
        {
            context.SetData(c);
        }
        else
        {
            context.Connection().InputBufferClear();
            context.Connection().Disconnect(false);
        }
    };
    listener->OnExecute = [this](TkbzIdContext& context) {
        auto c = context.DataAs<TkbzWSConnectionServer>();
        if (!c || !OnListenerExecute(c))
        {
            // Ends the listener's loop for this connection.
            context.Connection().InputBufferClear();
            context.Connection().Disconnect(false);
            return;
        }
        context.SetWaitLimit(ExecuteWaitLimit(c));
    };
    listener->OnDisconnect = [this](TkbzIdContext& context) {
        auto c = context.DataAs<TkbzWSConnectionServer>();
        context.SetData(nullptr);
        if (c)
        {
            OnListenerDisconnect(c);
        }
    };
    listener->OnException = [this](TkbzIdContext& context, const std::exception& e) {
        OnListenerException(context.DataAs<TkbzWSConnectionServer>(), e);
    };
    listener->OnListenError = [this](TkbzIdTCPServer&, const std::string& text) {
        // Out of descriptors: told once a second, and no open connection is touched.
        DoError(nullptr, text);
    };
    listener->OnStartup = [this](TkbzIdTCPServer&) { DoStartup(); };
    listener->OnShutdown = [this](TkbzIdTCPServer&) { DoShutdown(); };
    FHTTPServer = std::move(listener);
    return *FHTTPServer;
}

const TkbzIdTCPServer* TkbzWSHTTPServer::HTTPServer() const
{
    std::lock_guard guard(FServerLock);
    return FHTTPServer.get();
}

bool TkbzWSHTTPServer::GetActive() const
{
    const TkbzIdTCPServer* listener = HTTPServer();
    return listener && listener->GetActive();
}

void TkbzWSHTTPServer::SetPort(int value)
{
    if (value < 0 || value > 65535)
    {
        throw EConvertError("'" + std::to_string(value) + "' is not a valid port number");
    }
    FPort = value;
}

std::vector<TkbzListenBinding> TkbzWSHTTPServer::GetBoundBindings() const
{
    const TkbzIdTCPServer* listener = HTTPServer();
    return listener ? listener->GetBoundBindings() : std::vector<TkbzListenBinding>{};
}

int TkbzWSHTTPServer::GetBoundPort() const
{
    const TkbzIdTCPServer* listener = HTTPServer();
    return listener ? listener->GetBoundPort() : 0;
}

void TkbzWSHTTPServer::SetActive(bool value)
{
    if (value && IsDestroying())
    {
        return;
    }
    std::lock_guard guard(FActiveLock);
    TkbzIdTCPServer& listener = GetHTTPServer();
    if (value == listener.GetActive())
    {
        return;
    }
    if (value)
    {
        listener.DefaultPort = static_cast<std::uint16_t>(FPort);
        listener.UseNagle = UseNagle;
        listener.MaxConnections = MaxConnections;
        listener.EngineOptions = EngineOptions();
        listener.TLSHandlerFactory = nullptr;
        listener.DeferredTLSFactory = nullptr;
        if (SSL)
        {
            // One handler for every connection; a bad certificate fails the activation.
            TkbzSSLHandlerPtr handler = MakeSSLHandler();
            if (auto* openssl = dynamic_cast<TkbzSSLHandlerOpenSSL*>(handler.get()))
            {
                openssl->ServerConfig.CertFile = FSSLOptions.CertFile;
                openssl->ServerConfig.KeyFile = FSSLOptions.KeyFile;
                openssl->ServerConfig.RootCertFile = FSSLOptions.RootCertFile;
            }
            handler->Prepare();
            const int tlsPort = FSSLOptions.Port;
            const int timeout = std::max(1000, RequestHeadTimeOut);
            listener.TLSHandlerFactory =
                [handler, tlsPort,
                 timeout](std::unique_ptr<TkbzSocketIOHandler> plain,
                          const TkbzListenBinding& binding) -> std::unique_ptr<TkbzIOHandler> {
                if (tlsPort != 0 && tlsPort != binding.Port)
                {
                    return plain;
                }
                return handler->Accept(std::move(plain), timeout);
            };
            listener.DeferredTLSFactory =
                [handler,
                 tlsPort](std::unique_ptr<TkbzSocketIOHandler>& plain,
                          const TkbzListenBinding& binding) -> std::unique_ptr<TkbzIOHandler> {
                if (tlsPort != 0 && tlsPort != binding.Port)
                {
                    return std::move(plain);
                }
                return handler->AcceptDeferred(plain);
            };
            listener.TLSHandshakeTimeOut = timeout;
        }
        else
        {
            std::lock_guard ssl(FSSLLock);
            FSSLHandler.reset();
        }
        listener.SetActive(true);
        {
            std::lock_guard monitor(FMonitorLock);
            FMonitorAllowed = true;
        }
        StartTimers();
    }
    else
    {
        CancelWatchDogMonitor();
        DisconnectAll();
        listener.SetActive(false);
        StopTimers();
        EndAllSessions();
    }
}

void TkbzWSHTTPServer::CancelWatchDogMonitor() noexcept
{
    std::shared_ptr<TkbzWSClient> client;
    {
        std::lock_guard guard(FMonitorLock);
        FMonitorAllowed = false;
        client = FMonitorClient;
    }
    if (client)
    {
        try
        {
            client->SetActive(false); // its Connect returns
        }
        catch (...)
        {}
    }
}

void TkbzWSHTTPServer::DoWatchDogMonitor()
{
    const std::string secret = WatchDogMonitorSecret();
    const std::vector<TkbzListenBinding> bound = GetBoundBindings();
    if (secret.empty() || bound.empty() || IsDestroying())
    {
        return;
    }
    std::string host = bound.front().IP;
    if (host.empty() || host == "0.0.0.0" || host == "::" || host == "0:0:0:0:0:0:0:0")
    {
        host = "127.0.0.1";
    }
    // The design dials SSLOptions.Port even when it is 0, which fails every
    // time and restarts the server at every tick: the binding's own port then.
    int port = bound.front().Port;
    if (SSL && FSSLOptions.Port != 0)
    {
        port = FSSLOptions.Port;
    }
    auto client = std::make_shared<TkbzWSClient>();
    client->SetNotifyEvents(TwsNotifyEvent::neNoSync);
    client->TLSOptions.Version = FSSLOptions.Version;
    const std::string authority = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    client->SetURL(std::string(SSL ? "wss://" : "ws://") + authority + ":" + std::to_string(port) +
                   "/" + secret);
    {
        std::lock_guard guard(FMonitorLock);
        if (!FMonitorAllowed)
        {
            return;
        }
        FMonitorClient = client;
    }
    bool connected = false;
    try
    {
        connected = client->Connect(std::max(1, WatchDog().Monitor.Timeout) * 1000);
    }
    catch (...)
    {}
    bool restart = false;
    {
        std::lock_guard guard(FMonitorLock);
        FMonitorClient.reset();
        restart = !connected && FMonitorAllowed;
    }
    try
    {
        client->SetActive(false);
    }
    catch (...)
    {}
    if (restart && !IsDestroying())
    {
        ReStart();
    }
}

TkbzServerEngineOptions TkbzWSHTTPServer::EngineOptions()
{
    TkbzServerEngineOptions e;
    const TkbzWSIOHandler_Options& io = IOHandlerOptions();
    if (io.IOHandlerType == TwsIOHandler::iohEPOLL)
    {
        e.Engine = TkbzServerEngine::seEpoll;
        e.EPOLLThreads = io.EPOLL.EPOLLThreads;
        e.WorkOpThreads = io.EPOLL.WorkOpThreads;
    }
    else if (io.IOHandlerType == TwsIOHandler::iohIOCP)
    {
        // This platform's completion ports are readiness loops.
        e.Engine = TkbzServerEngine::seEpoll;
        e.EPOLLThreads = io.IOCP.IOCPThreads;
        e.WorkOpThreads = io.IOCP.WorkOpThreads;
    }
    else if (ThreadPool)
    {
        e.Engine = TkbzServerEngine::sePool;
        e.PoolSize = ThreadPoolOptions().PoolSize;
        e.MaxThreads = ThreadPoolOptions().MaxThreads;
    }
    return e;
}

TkbzSSLHandlerPtr TkbzWSHTTPServer::SSLHandler() const
{
    std::lock_guard guard(FSSLLock);
    return FSSLHandler;
}

TkbzSSLHandlerPtr TkbzWSHTTPServer::MakeSSLHandler()
{
    TkbzSSLHandlerPtr handler;
    OnSSLGetHandler(*this, TwsSSLHandlerType::sslServer, handler);
    if (!handler)
    {
        auto openssl = std::make_shared<TkbzSSLHandlerOpenSSL>(TwsSSLHandlerType::sslServer);
        openssl->ServerConfig = TkbzTLSServerConfig::FromOptions(FSSLOptions);
        openssl->OnGetPassword = [this] { return FSSLOptions.Password; };
        openssl->ServerConfig.OnALPNSelect = [this](const std::vector<std::string>& offered) {
            return DoALPNSelect(offered);
        };
        handler = std::move(openssl);
    }
    OnSSLAfterCreateHandler(*this, TwsSSLHandlerType::sslServer, *handler);
    std::lock_guard guard(FSSLLock);
    FSSLHandler = handler;
    return handler;
}

std::string TkbzWSHTTPServer::DoALPNSelect(const std::vector<std::string>& offered)
{
    if (FHTTP2Options.GetEnabled() &&
        std::find(offered.begin(), offered.end(), "h2") != offered.end())
    {
        return "h2";
    }
    std::string chosen;
    if (!IsDestroying())
    {
        OnSSLALPNSelect(*this, offered, chosen);
    }
    return chosen;
}

} // namespace kbz
