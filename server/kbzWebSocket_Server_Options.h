// The option records of the server component: connection settings, allowed
// origins, authentication, fallback transports and send queues.
#pragma once

#include "base/kbzBase_Classes.h"
#include "base/kbzWebSocket_Helpers.h"
#include "transport/kbzHTTP_Message.h"
#include "websocket/kbzWebSocket_Options.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kbz
{

// Settings every accepted connection gets.
class TkbzWSOptionsServer : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSOptionsServer)
    // Copies every field except WriteTimeOut.
    void Assign(const TkbzPersistent& src) override;

    // Read waits of the execute step and of each connection (ms); never below 1.
    int GetReadTimeOut() const noexcept { return FReadTimeOut < 1 ? 1 : FReadTimeOut; }
    void SetReadTimeOut(int value) noexcept { FReadTimeOut = value < 1 ? 1 : value; }
    // The settings every accepted connection takes.
    TkbzWSConnectionSettings ConnectionSettings() const
    {
        TkbzWSConnectionSettings s;
        s.ValidateUTF8 = ValidateUTF8;
        s.RaiseDisconnectExceptions = RaiseDisconnectExceptions;
        s.FragmentedMessages = FragmentedMessages;
        s.CleanDisconnect = CleanDisconnect;
        s.MaxMessageSize = MaxMessageSize;
        s.ReadTimeOut = GetReadTimeOut();
        return s;
    }

    bool CleanDisconnect = false;
    TwsFragmentedMessages FragmentedMessages = TwsFragmentedMessages::frgOnlyBuffer;
    bool HTMLFiles = false;
    bool JavascriptFiles = true;
    // When above 0, the send time-out (ms) of each accepted socket.
    std::int32_t WriteTimeOut = 0;
    bool RaiseDisconnectExceptions = true;
    bool ValidateUTF8 = false;
    // Largest frame or message a client may send; a larger one closes its
    // connection with 1009 instead of growing memory without bound.
    std::int64_t MaxMessageSize = kbzDefaultMaxMessageSize;

private:
    int FReadTimeOut = 10;
};

class TkbzWSSecurity_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSSecurity_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSSecurity_Options, TkbzPersistent)

    // Comma-separated wildcard masks of the origins allowed; empty allows all.
    std::string OriginsAllowed;
    // Every request that carries an Origin (a browser's: upgrades, event
    // streams, posts, files) must come from a page of this server
    // (kbzIsSameOrigin) or match OriginsAllowed; others are answered 403.
    // Requests without Origin pass.
    bool SameOrigin = false;
};

// ---- Authentication ----

class TkbzWSConnectionServer;

// A plain HTTP request offered to a component that answers some requests itself (the endpoints
// of an authorization server). The server gives the head; the body is read only when the
// component asks for it, and the answer goes out through the server.
class TkbzWSServerHTTPRequest
{
public:
    // readBody: the body, or none when it could not be read (the server answered already, or
    // the peer went away). write: sends one answer.
    TkbzWSServerHTTPRequest(const TkbzHTTPHead& head,
                            std::function<std::optional<std::string>()> readBody,
                            std::function<void(const TkbzHTTPAnswer&)> write);

    const TkbzHTTPHead& Head() const noexcept { return FHead; }
    // Read on the first call, the same text afterwards.
    std::optional<std::string> Body();
    void Answer(const TkbzHTTPAnswer& answer);
    bool Answered() const noexcept { return FAnswered; }

private:
    const TkbzHTTPHead& FHead;
    std::function<std::optional<std::string>()> FReadBody;
    std::function<void(const TkbzHTTPAnswer&)> FWrite;
    std::optional<std::string> FBody;
    bool FBodyRead = false;
    bool FAnswered = false;
};

// What the server asks a token-checking component (the JWT check and the OAuth 2 authorization
// server of the auth layer, which sits above the server and implements this). The component is
// not owned: it must outlive the server that refers to it. Every call may come from several
// connection threads at once.
class IkbzWSServerTokenCheck
{
public:
    virtual ~IkbzWSServerTokenCheck() = default;
    // Whether the header lines of an upgrade request carry a valid token (or the component
    // accepts the request on its own).
    virtual bool IsRequestTokenValid(const std::shared_ptr<TkbzWSConnectionServer>& connection,
                                     const TkbzHeaderList& headers) = 0;
    // Whether the token of a Bearer "Authorization" header of an HTTP request is valid.
    virtual bool IsBearerTokenValid(const std::shared_ptr<TkbzWSConnectionServer>& connection,
                                    const std::string& token) = 0;
    // A plain HTTP request on a TLS connection of a server with authentication: true when the
    // component answered it (or swallowed it without an answer); the server then closes the
    // connection. By default no request is the component's.
    virtual bool DoProcessHTTP(const std::shared_ptr<TkbzWSConnectionServer>& /*connection*/,
                               TkbzWSServerHTTPRequest& /*request*/)
    {
        return false;
    }
};

class TkbzWSAuthenticationServer_URL : public TkbzWSAuthentication_Options
{
public:
    TkbzWSAuthenticationServer_URL() { Enabled = true; }
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationServer_URL)
};

class TkbzWSAuthenticationServer_Session : public TkbzWSAuthentication_Options
{
public:
    TkbzWSAuthenticationServer_Session() { Enabled = true; }
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationServer_Session)
    KBZ_PERSISTENT_ASSIGN(TkbzWSAuthenticationServer_Session, TkbzWSAuthentication_Options)

    // Seconds an unused session identifier stays valid.
    std::int32_t TimeOut = 60;
    // Most pending session identifiers; the oldest goes when a new one would exceed it.
    std::int32_t MaxSessions = 10000;
};

class TkbzWSAuthenticationServer_Basic : public TkbzWSAuthentication_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationServer_Basic)
};

class TkbzWSAuthenticationServer_JWT : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationServer_JWT)
    KBZ_PERSISTENT_ASSIGN(TkbzWSAuthenticationServer_JWT, TkbzPersistent)

    // The JWT component, not owned; none by default.
    IkbzWSServerTokenCheck* JWT = nullptr;
};

class TkbzWSAuthenticationServer_OAuth : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationServer_OAuth)
    KBZ_PERSISTENT_ASSIGN(TkbzWSAuthenticationServer_OAuth, TkbzPersistent)

    // The OAuth 2 authorization server and the sign-in through external providers, not owned;
    // none by default.
    IkbzWSServerTokenCheck* OAuth2 = nullptr;
    IkbzWSServerTokenCheck* OAuth2Provider = nullptr;
};

class TkbzWSAuthenticationServer_Options : public TkbzWSAuthentication_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationServer_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSAuthenticationServer_Options, TkbzWSAuthentication_Options)

    bool AllowNonAuth = false;
    // "user=password" lines; user names compare ignoring case.
    TkbzDelimitedStringList AuthUsers;
    TkbzWSAuthenticationServer_URL URL;
    TkbzWSAuthenticationServer_Session Session;
    TkbzWSAuthenticationServer_Basic Basic;
    TkbzWSAuthenticationServer_JWT JWT;
    TkbzWSAuthenticationServer_OAuth OAuth;
};

// ---- Fallback transports ----

class TkbzWSFallBack_Flash : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSFallBack_Flash)
    KBZ_PERSISTENT_ASSIGN(TkbzWSFallBack_Flash, TkbzPersistent)

    bool Enabled = false;
    std::string Domain = "*";
    std::string Ports = "*";
};

class TkbzWSFallBack_SSE : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSFallBack_SSE)
    KBZ_PERSISTENT_ASSIGN(TkbzWSFallBack_SSE, TkbzPersistent)

    bool Enabled = false;
    std::int32_t Retry = 3000;
};

class TkbzWSFallBack_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSFallBack_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSFallBack_Options, TkbzPersistent)

    TkbzWSFallBack_Flash Flash;
    TkbzWSFallBack_SSE ServerSentEvents;
};

class TkbzWSQueueServer_Options : public TkbzWSQueueOptions
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSQueueServer_Options)
};

// ---- HTTP/2 ----
// Carried as options only: this server speaks HTTP/1.1 and WebSocket over
// HTTP/1.1, so Enabled is stored but always reads False and "h2" is never
// chosen in the TLS protocol negotiation.

class TkbzWSHTTP2AlternateService : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSHTTP2AlternateService)
    KBZ_PERSISTENT_ASSIGN(TkbzWSHTTP2AlternateService, TkbzPersistent)

    bool Enabled = true;
};

class TkbzHTTP2ServerEvents : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP2ServerEvents)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTP2ServerEvents, TkbzPersistent)

    bool OnConnect = false;
    bool OnDisconnect = false;
};

enum class Th2FragmentedData : std::uint8_t
{
    h2fdOnlyBuffer,
    h2fdOnlyFragmented,
    h2fdAll
};

class TkbzHTTP2ServerSettings : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP2ServerSettings)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTP2ServerSettings, TkbzPersistent)

    bool EnablePush = true;
    std::uint32_t HeaderTableSize = 4096;
    std::uint32_t InitialWindowSize = 65535;
    std::uint32_t MaxConcurrentStreams = 2147483647;
    std::uint32_t MaxFrameSize = 16384;
    std::uint32_t MaxHeaderListSize = 2147483647;
    bool EnableConnectProtocol = false; // not published
};

class TkbzWSHTTP2Server_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSHTTP2Server_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSHTTP2Server_Options, TkbzPersistent)

    // Stored; reads False (no HTTP/2 engine).
    bool GetEnabled() const noexcept { return false; }
    void SetEnabled(bool value) noexcept { FEnabled = value; }
    TkbzWSHTTP2AlternateService AltSvc;
    TkbzHTTP2ServerEvents Events;
    Th2FragmentedData FragmentedData = Th2FragmentedData::h2fdOnlyBuffer;
    TkbzHTTP2ServerSettings Settings;

private:
    bool FEnabled = false;
};

// ---- Engines ----

// The pool of ThreadPool, whose threads run the connections' steps (an idle
// connection holds none): idle threads kept (PoolSize) and the most threads at
// once (MaxThreads, 0: no cap; over it steps wait for a thread to come free).
// Copied into the listener on activation.
class TkbzWSThreadPool_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSThreadPool_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSThreadPool_Options, TkbzPersistent)

    std::int32_t MaxThreads = 0;
    std::int32_t PoolSize = 32;
};

enum class TwsIOHandler : std::uint8_t
{
    iohDefault,
    iohIOCP,
    iohEPOLL
};

// Completion ports belong to another platform: here iohIOCP runs the epoll
// engine with IOCPThreads loops and these WorkOpThreads.
class TkbzWSIOHandler_IOCP_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSIOHandler_IOCP_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSIOHandler_IOCP_Options, TkbzPersistent)

    std::int32_t IOCPThreads = 0;
    std::int32_t TimeOut = 30000;
    std::int32_t AcceptExMultiplier = 1;
    std::int32_t WorkOpThreads = 0;
};

// EPOLLThreads event loops (0: one per core) own the sockets; with
// WorkOpThreads > 0 the connections' steps, and so the application's event
// handlers, run on that many workers instead of the loops (a connection's
// events stay in order), so that a slow handler holds up only its own
// connection.
class TkbzWSIOHandler_EPOLL_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSIOHandler_EPOLL_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSIOHandler_EPOLL_Options, TkbzPersistent)

    std::int32_t EPOLLThreads = 0;
    std::int32_t WorkOpThreads = 0;
};

class TkbzWSIOHandler_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSIOHandler_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSIOHandler_Options, TkbzPersistent)

    TwsIOHandler IOHandlerType = TwsIOHandler::iohDefault;
    TkbzWSIOHandler_IOCP_Options IOCP;
    TkbzWSIOHandler_EPOLL_Options EPOLL;
};

// ---- Load balancer ----

// The server's link to a load balancer: with Enabled the server registers
// there and sends its broadcasts and its writes to identifiers it does not
// hold through it.
class TkbzWSLoadBalancerServer_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSLoadBalancerServer_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSLoadBalancerServer_Options, TkbzPersistent)

    bool Enabled = false;
    std::string Host;
    std::int32_t Port = 0;
    // Seconds between reconnection attempts of the link; 0: none.
    std::int32_t AutoRestart = 0;
    // Announce the listener's own bindings.
    bool AutoRegisterBindings = false;
    // Further bindings to announce, each "scheme:host:port" (ws://10.0.0.5:80).
    std::vector<std::string> Bindings;
    // The server's identity at the balancer.
    std::string Guid;
};

// What the server asks of its load-balancer link (built by the load-balancer
// layer above, which knows the link's messages). Every call may come from any
// thread; the sending ones return false when the link is not open, so that the
// server can carry the work out itself.
class IkbzWSServerLoadBalancerLink
{
public:
    virtual ~IkbzWSServerLoadBalancerLink() = default;
    // Connects (on a thread of its own) and registers; Deactivate disconnects and waits.
    virtual void Activate() = 0;
    virtual void Deactivate() = 0;
    virtual bool Broadcast(const std::string& aText, const std::string& aChannel,
                           const std::string& aProtocol, const std::string& aExclude,
                           const std::string& aInclude) = 0;
    virtual bool Broadcast(TkbzStream& aStream, const std::string& aChannel,
                           const std::string& aProtocol, const std::string& aExclude,
                           const std::string& aInclude, int aSize, TwsStreaming aStreaming) = 0;
    virtual bool WriteData(const std::string& aGuid, const std::string& aText) = 0;
    virtual bool WriteData(const std::string& aGuid, TkbzStream& aStream, int aSize,
                           TwsStreaming aStreaming) = 0;
    // A connection completed its handshake (active) or is about to be gone.
    virtual void ConnectionChanged(const std::shared_ptr<TkbzWSConnectionServer>& connection,
                                   bool active) = 0;
};

} // namespace kbz
