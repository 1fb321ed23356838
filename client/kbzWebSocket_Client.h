// The WebSocket client component: one connection to one server over ws://,
// wss://, tcp:// or tcps://, with its opening handshake, heartbeat pings and
// reconnecting watchdog.
#pragma once

#include "client/kbzHTTP_Classes_Client.h"
#include "transport/kbzHTTP_Message.h"
#include "transport/kbzSSL_Handler.h"
#include "transport/kbzSSL_SChannel.h"
#include "transport/kbzTCP_Client.h"
#include "transport/kbzTCP_Intercept.h"
#include "transport/kbzTCP_Proxy.h"
#include "websocket/kbzWebSocket_Classes.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kbz
{

class TkbzWSClient;
class TkbzHTTPClient;

// The parsed answer to the opening request.
class TkbzWSHandShakeClient
{
public:
    // Reads the parsed answer head. Raises Exception for a status that is
    // neither 101 nor a redirect, TkbzWSException for an Upgrade or Connection
    // header that does not name the upgrade.
    explicit TkbzWSHandShakeClient(const TkbzHTTPHead& head);
    // The same from the status and header lines (an invalid head counts as a
    // wrong status).
    explicit TkbzWSHandShakeClient(const std::vector<std::string>& lines);

    const std::string& Protocols() const noexcept { return FProtocols; }
    const std::string& Extensions() const noexcept { return FExtensions; }
    const std::string& Accept() const noexcept { return FAccept; }
    bool Redirect() const noexcept { return FRedirect; }
    const std::string& Location() const noexcept { return FLocation; }

private:
    std::string FProtocols;
    std::string FExtensions;
    std::string FAccept;
    bool FRedirect = false;
    std::string FLocation;
};

// The client's connection: writes the upgrade request and validates the answer.
class TkbzWSConnectionClient : public TkbzWSConnection_Indy
{
public:
    std::string FHost;
    int FPort = 80;
    TkbzWSOptionsClient FOptions;
    TkbzWSAuthenticationClient_Options FAuthentication;
    // The whole handshake (request written to answer validated) must end within this (ms).
    int HandshakeTimeOut = 10000;

    // Binds the TCP connection; raw TCP is enabled at once, otherwise the
    // upgrade request is written.
    void DoInitialize(std::shared_ptr<TkbzIdTCPConnection> tcp);
    const std::string& Key() const noexcept { return FKey; }
    // Started (kbzGetTicks) when the request was written; 0 before.
    std::uint64_t HandshakeStarted() const noexcept { return FHandshakeStarted.load(); }
    // The answer was a redirect: this connection is done and only waits to be replaced, so
    // whatever happens on it now (the server closing it) is not reported.
    bool Redirecting() const noexcept { return FRedirecting.load(); }

    std::function<void(TkbzWSConnectionClient&)> OnEnabled;
    std::function<void(TkbzWSConnectionClient&, const std::string&)> OnRedirect;

    // The request lines for a host, port, path and key (without the final empty line).
    std::vector<std::string> BuildRequest();

protected:
    void DoHandshake() override;

private:
    std::string FKey;
    std::atomic<std::uint64_t> FHandshakeStarted{0};
    std::atomic<bool> FRedirecting{false};
    std::unique_ptr<TkbzWSHandShakeClient> FHandshake;
};

using TkbzWSConnectionClientPtr = std::shared_ptr<TkbzWSConnectionClient>;

class TkbzWSClient : public TkbzWSComponent_Client_Indy
{
public:
    TkbzWSClient();
    ~TkbzWSClient() override;

    // ---- Configuration ----
    // Connects (true) or disconnects (false); reads true while a connection object exists.
    bool GetActive() const;
    void SetActive(bool value);
    std::string Host;
    int Port = 80;
    bool TLS = false;
    // Splits a URL into Host, Port, TLS, the request path and the framing
    // (ws/wss: WebSocket; tcp/tcps: raw TCP). The scheme is compared ignoring
    // case. Raises EConvertError for a port that is not a number from 1 to
    // 65535 and EArgumentException for blanks or control characters in it.
    void SetURL(const std::string& url);
    TkbzWSTLS_Options TLSOptions;
    int ConnectTimeout = 0; // ms; 0: the transport's default
    int ReadTimeout = -1;   // ms; -1: no limit
    int WriteTimeout = 0;   // ms; applied when above 0
    TwsIPVersion IPVersion = TwsIPVersion::ipV4;
    TkbzWSProxy_Options Proxy;
    TkbzWSOptionsClient Options;
    TkbzWSAuthenticationClient_Options Authentication;
    TkbzWSQueueOptions QueueOptions;
    // With Enabled, every activation asks the balancer for its server first.
    TkbzWSLoadBalancerClient_Options LoadBalancer;

    // ---- Events of the client ----
    TkbzEvent<TkbzWSClient&> OnBeforeConnect;
    TkbzEvent<TkbzWSClient&, bool&> OnBeforeWatchDog;
    // Verdict of each certificate check (TLS with VerifyCertificate).
    TkbzSSLVerifyPeerEvent OnSSLVerifyPeer;
    // Every activation with TLS makes the handler of its connection, on the
    // activating thread: OnSSLGetHandler may supply it, else a
    // TkbzSSLHandlerOpenSSL (OpenSSL or SChannel as TLSOptions.IOHandler says)
    // is configured from TLSOptions and OnSSLVerifyPeer; OnSSLAfterCreateHandler
    // sees the one that will be used.
    TkbzSSLGetHandlerEvent<TkbzWSClient> OnSSLGetHandler;
    TkbzSSLAfterCreateHandlerEvent<TkbzWSClient> OnSSLAfterCreateHandler;
    // The binding query failed (the activation goes on).
    TkbzEvent<TkbzWSClient&, const std::string&> OnLoadBalancerError;

    // ---- Operations ----
    // Activates and waits up to aTimeout ms for the connection to be enabled.
    bool Connect(int aTimeout);
    // Deactivates and waits up to aTimeout ms for the connection object to go.
    bool Disconnect(int aTimeout);
    bool Connected() const;
    // Activation and deactivation on a short-lived thread of their own.
    void Start();
    void Stop();
    void Ping(const std::string& aText = {});
    bool Ping(int aTimeout, const std::string& aText = {});
    void WriteData(const std::string& aText, int aSize = 0,
                   TwsStreaming aStreaming = TwsStreaming::stmNone);
    void WriteData(TkbzStream& aStream, int aSize = 0,
                   TwsStreaming aStreaming = TwsStreaming::stmNone);
    std::string WriteAndWaitData(const std::string& aText, int aTimeout);
    // The current connection (empty when there is none).
    TkbzWSConnectionClientPtr Connection() const;
    // A close the application asked for: the closing handshake with the code
    // (below 1: the connection is dropped), and no watchdog reconnection after
    // it until the next activation. A code that may not be sent raises and
    // changes nothing.
    void Close(int aCloseCode = kbzCloseNormal);
    // The heartbeat options as they are now apply to the live connection: its
    // ping timer restarts with the interval, or stops when disabled.
    void ApplyHeartBeat();
    // The watchdog options as they are now apply to the live activation (a
    // connection, or reconnection attempts in progress): disabling stops the
    // attempts, enabling makes a lost connection come back, and attempts in
    // progress go on at the new interval. Without a live activation they take
    // effect with the next one.
    void ApplyWatchDog();

protected:
    // Ends what the destructor ends (connections, timers, threads). The published class calls
    // it first, so that no thread calls into an object whose derived parts are already gone.
    // A second call finds nothing left to do.
    void StopForDestruction() noexcept;
    void DoHeartBeat() override;
    void DoHeartBeatTimeout() override;
    void DoWatchDog() override;
    void RaiseConnect(const TkbzWSConnectionPtr& connection) override;

private:
    // Connects unless a deactivation has come since epoch was read from FActivationEpoch
    // (any epoch: no such check). tokenReady: a token source has just delivered the token this
    // activation waited for, so it is not started again.
    void Activate(std::uint64_t epoch, bool tokenReady = false);
    // The authentication step of an activation: the request path of the connection, or
    // nothing when a token source was started and the connect waits for its token.
    std::optional<std::string> ApplyAuthentication(std::uint64_t epoch, bool tokenReady);
    void StartTokenSource(TkbzHTTPComponentClientAuthToken_Base& source, std::uint64_t epoch);
    void TokenArrived(const std::string& tokenType, const std::string& token);
    void TokenFailed(const std::string& error, const std::string& description);
    void StopTokenSource() noexcept;
    // Points the TCP client at the proxy and installs the tunnel to Host:Port.
    void PrepareProxy(TkbzIdTCPClient& tcp);
    // The tunnel the proxy settings ask for (none when Proxy.Enabled is off); raises for
    // settings that cannot work.
    std::shared_ptr<TkbzTransparentProxy> MakeTunnel();
    // The session mode's request: the session's path, or nothing without a session ID.
    std::optional<std::string> RequestSession();
    // An HTTP client with the connection's proxy, TLS and time settings.
    void PrepareHTTP(TkbzHTTPClient& http);
    // Server selection: the balancer's binding, else a fallback server; may
    // change Host, Port and TLS.
    void SelectServer();
    // The binding query; false (after OnLoadBalancerError unless the answer was empty) when it
    // named no server.
    bool QueryLoadBalancer();
    // Wakes Connect's wait after a change it looks at.
    void NotifyStateChanged();
    // The watchdog's reconnection attempt, on a client thread.
    void StartFromWatchDog();
    void Deactivate();
    void OnTCPConnected(const std::shared_ptr<TkbzIdTCPClient>& tcp);
    void OnTCPRead(const std::shared_ptr<TkbzIdTCPClient>& tcp);
    void OnTCPThread(const std::shared_ptr<TkbzIdTCPClient>& tcp);
    void OnTCPReadException(const std::shared_ptr<TkbzIdTCPClient>& tcp, const std::exception& e);
    void OnTCPDisconnected(const std::weak_ptr<TkbzIdTCPClient>& tcp);
    void DisconnectNotification(const TkbzWSConnectionClientPtr& connection);
    void StartRedirect(const std::string& location);
    // Runs f on a short-lived thread the destructor waits for.
    void RunClientThread(std::function<void()> f);
    // The traffic log writer for LogFile's file, made on first use (again when the name changed).
    std::shared_ptr<TkbzWSIdLogFileClient> LogWriter();
    bool OnReadThread() const;

    // The token sources' handlers reach the client through this link, which the destructor
    // cuts, then waits for handlers still running (none holds Lock while it runs).
    struct TokenLink
    {
        std::mutex Lock;
        std::condition_variable Idle;
        TkbzWSClient* Client = nullptr;
        int Running = 0;
        // Runs f with the client unless the link is cut.
        void Call(const std::function<void(TkbzWSClient&)>& f);
    };
    std::shared_ptr<TokenLink> FTokenLink = std::make_shared<TokenLink>();
    std::mutex FTokenLock;                                         // FTokenSource, FTokenEpoch
    TkbzHTTPComponentClientAuthToken_Base* FTokenSource = nullptr; // started by an activation
    std::uint64_t FTokenEpoch = 0;
    // An activation waits for its token: only then does a token's arrival connect.
    std::atomic<bool> FAwaitingToken{false};
    // The request path of the connection being made (activation thread).
    std::string FRequestPath;
    // The tunnel of the current activation, when Proxy.Enabled: only the selected kind is kept.
    std::shared_ptr<TkbzProxyHTTP> FProxyHTTP;
    std::shared_ptr<TkbzProxySocks> FProxySocks;
    // The session request or binding query in progress, which a deactivation cancels.
    std::mutex FSessionLock;
    TkbzHTTPClient* FSessionRequest = nullptr;

    std::mutex FLogLock; // FInterceptLogFile
    std::shared_ptr<TkbzWSIdLogFileClient> FInterceptLogFile;
    mutable std::mutex FLock; // the current TCP client and connection
    std::shared_ptr<TkbzIdTCPClient> FTCPClient;
    TkbzWSConnectionClientPtr FWSConnection;
    std::recursive_mutex FActivationLock; // one activation at a time
    std::atomic<bool> FConnecting{false};
    std::atomic<bool> FDisconnecting{false};
    std::atomic<bool> FThreadStart{false};
    std::atomic<int> FRedirects{0};
    // Counts deactivations, so an activation asked for earlier can tell it was cancelled.
    std::atomic<std::uint64_t> FActivationEpoch{0};
    // A deactivation found the activation still making its TCP connection.
    std::atomic<bool> FCancelConnecting{false};
    std::mutex FThreadsLock;
    std::condition_variable FThreadsDone;
    int FThreads = 0;
    std::condition_variable FStateChanged;  // with FLock: connection announced or gone
    const void* FConnectNotified = nullptr; // under FLock: the connection OnConnect ran for
};

// The client as published to applications.
class TkbzWebSocketClient : public TkbzWSClient
{
public:
    ~TkbzWebSocketClient() override { StopForDestruction(); }
};

} // namespace kbz
