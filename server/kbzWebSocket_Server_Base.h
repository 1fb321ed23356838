// The server side of WebSocket connections: the first request of a connection
// gathered and classified, the opening handshake (RFC 6455 and Hixie-76) with
// subprotocol, origin and extension checks, authentication of the upgrade, and
// the server component that keeps the connections, broadcasts to them and runs
// one execute round after another on each connection's own thread.
#pragma once

#include "base/kbzWebSocket_Helpers.h"
#include "server/kbzWebSocket_Server_Options.h"
#include "transport/kbzHTTP_Message.h"
#include "transport/kbzTCP_Intercept.h"
#include "websocket/kbzWebSocket_Classes.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kbz
{

// ---- The first request of a connection ----

// Largest first-request head gathered before the request is refused (431).
inline constexpr std::size_t kbzMaxRequestHead = 16 * 1024;

// ---- The opening handshake ----

// The upgrade request's fields, taken from its parsed head (names compare
// ignoring case, values without the blanks around them). Raises
// TkbzWSException with the texts below.
class TkbzWSHandShakeServer
{
public:
    explicit TkbzWSHandShakeServer(const TkbzHTTPHead& head);

    // spHixie76 when the request carried Sec-WebSocket-Key1, else spRFC6455.
    TwsSpecification GetSpecification() const noexcept;
    // Hixie-76: both keys came, so 8 key bytes follow the head.
    bool NeedsKey3() const noexcept { return !FKey1.empty() && !FKey2.empty(); }
    // The 8 bytes after a Hixie-76 head; kept as 16 upper-case hexadecimal digits.
    void SetKey3(std::span<const std::uint8_t> bytes);

    std::string FGet; // request target of the GET line
    std::string FHost;
    std::string FOrigin;
    std::string FKey;
    std::string FVersion;
    std::string FProtocols;  // several lines joined with ", "
    std::string FExtensions; // several lines joined with ", "
    std::string FKey1;
    std::string FKey2;
    std::string FKey3;
    bool FIsGET = false;
    bool FIsHost = false;
    bool FIsKey = false;
    bool FIsOrigin = false;
    bool FIsProtocols = false;
    bool FIsUpgrade = false;
    bool FIsVersion = false;
    bool FIsExtensions = false;
    bool FIsConnection = false;
    bool FIsKey1 = false;
    bool FIsKey2 = false;
};

// The Hixie-76 number of one key: its digits read as one number (wrapping
// unsigned 32-bit), divided by its count of blanks. Raises TkbzWSException
// "Error decoding sec-webSocket-key." for a key without blanks.
std::uint32_t kbzHixie76KeyNumber(std::string_view key);
// The 16-byte Hixie-76 answer: MD5 of both numbers (big-endian) and the 8 key bytes.
std::array<std::uint8_t, 16> kbzHixie76Answer(std::string_view key1, std::string_view key2,
                                              std::span<const std::uint8_t> key3);
// The subprotocol chosen for a request: the first requested name (in the
// request's order) that the server registered, compared ignoring case, as the
// request wrote it; empty when none was requested. Names of both lists are
// taken without the blanks around them (browsers write "a, b"). Raises
// TkbzWSException "Error Protocol: %s not supported." (the requested names,
// each followed by a line break) when none is registered.
std::string kbzSelectProtocol(std::string_view requested, std::string_view registered);
// Whether an origin passes the comma-separated masks (empty masks or an empty
// origin always pass).
bool kbzOriginAllowed(std::string_view origin, std::string_view masks);
// Whether a browser's Origin names the server the request was sent to: the
// connection's scheme (https with TLS), the request's Host with the same port
// (the scheme's default when none is written), and a host that a name server
// cannot point elsewhere (an address literal, localhost or machineName), so a
// page of a rebound name does not count as this server's own.
bool kbzIsSameOrigin(std::string_view origin, std::string_view host, bool tls,
                     std::string_view machineName);
// This machine's host name (empty when the system does not say).
std::string kbzMachineName();
// Equal secrets compare in time that does not depend on where they differ.
bool kbzSameSecret(std::string_view a, std::string_view b) noexcept;

// ---- Authentication ----

enum class TwsAuthentication : std::uint8_t
{
    authNone,
    authSession,
    authURL,
    authBasic,
    authOAuth2,
    authJWT,
    authOAuth2Provider
};

// What one server connection presented and whether it was accepted.
class TkbzWSConnectionAuthentication
{
public:
    bool Authenticated = false;
    TwsAuthentication AuthType = TwsAuthentication::authNone;
    std::string User;
    std::string Password;
    // A fresh identifier on the first read of an empty one.
    std::string GetSessionID();
    void SetSessionID(std::string value) { FSessionID = std::move(value); }

private:
    std::string FSessionID;
};

// Session logins waiting for their upgrade: each identifier works once, and
// only within the time-out; the list is bounded (the oldest entry goes).
class TkbzWSSessionList
{
public:
    void SetLimits(int timeOutSeconds, std::size_t maxEntries);
    // Registers the identifier unless it is there already.
    void Add(const std::string& id, const std::string& user, const std::string& password);
    // Removes and returns the entry, when it exists and has not expired.
    std::optional<std::pair<std::string, std::string>> Take(const std::string& id);
    std::size_t Count();
    void Clear();

private:
    struct Entry
    {
        std::string User;
        std::string Password;
        std::uint64_t Added = 0;
    };
    void Expire(std::uint64_t now); // under FLock

    std::mutex FLock;
    std::map<std::string, Entry> FEntries;
    std::int64_t FTimeOutMs = 60000;
    std::size_t FMaxEntries = 10000;
};

// ---- The server's connection ----

class TkbzWSConnectionServer;
using TkbzWSConnectionServerPtr = std::shared_ptr<TkbzWSConnectionServer>;

class TkbzWSConnectionServer : public TkbzWSConnection_Indy
{
public:
    TkbzWSConnectionServer();

    // Parsed by DoHandshake; none before.
    const TkbzWSHandShakeServer* Handshake() const noexcept { return FHandshake.get(); }
    // The head of the request being served (the first one, or the current one
    // of a keep-alive connection); none before it arrived.
    const TkbzHTTPHead* RequestHead() const noexcept { return FRequestHead.get(); }
    void SetRequestHead(TkbzHTTPHead head);
    // Created on first use.
    TkbzWSConnectionAuthentication& Authentication();
    int GetAuthenticationCloseCode() const noexcept { return FAuthenticationCloseCode.load(); }
    // From OnAuthentication: let a refused peer finish the handshake, then close with code.
    void SetAuthenticationCloseCode(int code) noexcept { FAuthenticationCloseCode.store(code); }
    // A "200 OK" answer with the content (the connection is closed afterwards by the caller).
    void SendResponseHTTP(const std::string& content, const std::string& contentType);

    std::string FServerOriginsAllowed;
    // Every request carrying an Origin was checked (SecurityOptions.SameOrigin).
    bool FServerSameOrigin = false;
    bool FServerSSL = false;
    // The application handled the last heartbeat itself (OnBeforeHeartBeat).
    std::atomic<bool> FCustomHeartBeat{false};
    TwsIPVersion FIPVersion = TwsIPVersion::ipV4;
    // Whole opening handshake, including waiting for Hixie-76 key bytes (ms).
    int HandshakeTimeOut = 10000;
    // Raw TCP: bytes left without a delimiter are delivered once the peer has
    // sent nothing for this long (ms); 0 keeps them until the delimiter comes.
    int TCPFlushIdle = 0;

    // ---- Used by the server's execute rounds (the connection's thread) ----
    // The first request was gathered and classified.
    bool FRequestHandled = false;
    // When the first byte arrived (kbzGetTicks; 0 before).
    std::uint64_t FFirstInput = 0;
    // When the connection was accepted (kbzGetTicks): the first request has
    // RequestHeadTimeOut from here to arrive whole. And the server's
    // SilentClientTimeOut then.
    std::uint64_t FAccepted = 0;
    int FSilentTimeOut = 0;
    // A Hixie-76 upgrade whose 8 key bytes have not all arrived yet.
    bool AwaitingKey3() const noexcept { return FAwaitingKey3; }
    // The disconnect step ran.
    std::atomic<bool> FDisconnectHandled{false};
    // Dropped by a broadcast: its send queue was full.
    std::atomic<bool> FQueueOverflow{false};
    // Its thread discarded the queue and sent the close (1008) for that.
    std::atomic<bool> FOverflowClosed{false};
    // When bytes last arrived (kbzGetTicks; the accept time before).
    std::uint64_t FLastInput = 0;
    // Serving plain HTTP requests (the server's HTTP layer keeps its state in
    // FHTTPState); the connection ends at FHTTPDeadline (kbzGetTicks; 0: none) when no
    // byte comes: an idle keep-alive connection, or a request that stopped halfway.
    bool FHTTPActive = false;
    // An answer still going out as the socket drains (a large file): its
    // steps go on when the socket takes more, with no byte from the peer.
    bool FHTTPSending = false;
    std::uint64_t FHTTPDeadline = 0;
    std::shared_ptr<void> FHTTPState;
    // A ping for the connection's own thread to send (Ping and the heartbeat
    // never write from their thread, so a peer that does not read holds up nobody).
    // Wakes the connection's thread.
    void RequestPing(const std::string& text);
    // Sends the requested ping, if any (the connection's thread).
    void SendRequestedPing();
    // When the ping waiting to be sent was requested (kbzGetTicks; 0: none).
    std::uint64_t RequestedPingTime() const noexcept { return FPingRequested.load(); }

    // Raw TCP: delivers the undelimited bytes when the peer paused for
    // TCPFlushIdle ms (measured from FLastInput), or at once with force.
    void FlushIdleTCPData(std::uint64_t now, bool force = false);
    // Raw TCP bytes received but not delivered yet.
    std::size_t TCPPending() const noexcept { return FTCPFramer.Pending(); }

    // Authentication hook (the server's user-list check when authentication is on).
    std::function<void(TkbzWSConnectionServer&, const std::string&, const std::string&, bool&)>
        OnAuthenticationHook;
    // Runs the hook with the stored user and password and keeps the verdict.
    void DoAuthentication();

protected:
    void DoHandshake() override;

private:
    // Takes the 8 key bytes when they are buffered; false while they are still
    // to come. Raises when the time is up or the peer is gone.
    bool TakeKey3(TkbzIdTCPConnection& tcp);

    std::unique_ptr<TkbzWSHandShakeServer> FHandshake;
    std::unique_ptr<TkbzHTTPHead> FRequestHead;
    std::unique_ptr<TkbzWSConnectionAuthentication> FAuthentication;
    std::atomic<int> FAuthenticationCloseCode{kbzCloseNormal};
    std::mutex FPingRequestLock;
    std::string FPingText;
    std::atomic<std::uint64_t> FPingRequested{0};
    bool FAwaitingKey3 = false;
};

// ---- The server component ----

class TkbzWSServer_Indy_Base;

using TkbzWSServerEvent = TkbzEvent<TkbzWSServer_Indy_Base&>;
using TkbzWSAuthenticationEvent =
    TkbzEvent<const TkbzWSConnectionPtr&, const std::string&, const std::string&, bool&>;
using TkbzWSUnknownAuthenticationEvent =
    TkbzEvent<const TkbzWSConnectionPtr&, const std::string&, const std::string&, std::string&,
              std::string&, bool&>;

// Everything of the server that does not depend on HTTP: the connections, the
// first-request classification, the upgrade with authentication, broadcast,
// writes by identifier, pings, heartbeat and watchdog. The listener's
// callbacks (connected, execute, disconnected, exception) land in the
// OnListener* operations, which also work without a listener on a connection
// built over any channel (the tests use in-memory pairs).
class TkbzWSServer_Indy_Base : public TkbzWSComponent_Server
{
public:
    TkbzWSServer_Indy_Base();
    ~TkbzWSServer_Indy_Base() override;

    // ---- Options ----
    TkbzWSOptionsServer& Options() noexcept { return FOptions; }
    TkbzWSSecurity_Options& SecurityOptions() noexcept { return FSecurityOptions; }
    TkbzWSAuthenticationServer_Options& Authentication() noexcept { return FAuthentication; }
    TkbzWSFallBack_Options& FallBack() noexcept { return FFallBack; }
    TkbzWSQueueServer_Options& QueueOptions() noexcept { return FQueueOptions; }
    TkbzWSThrottle& Throttle() noexcept { return FThrottle; }
    // How connections are run, read on activation: a thread each (the
    // default), pooled threads with ThreadPool, or epoll event loops with
    // IOHandlerOptions.IOHandlerType iohEPOLL (which wins over ThreadPool).
    bool ThreadPool = false;
    TkbzWSThreadPool_Options& ThreadPoolOptions() noexcept { return FThreadPoolOptions; }
    TkbzWSIOHandler_Options& IOHandlerOptions() noexcept { return FIOHandlerOptions; }
    // 0 or less: no limit besides RequestHeadTimeOut; otherwise a connection
    // whose first request has not come is dropped once it sent nothing for
    // this many read time-outs (Options.ReadTimeOut ms each).
    int ReadEmptySource = 0;
    // How long the first request may take to arrive whole, from the accept
    // (ms); a connection that sends nothing is ended then too.
    int RequestHeadTimeOut = 10000;
    // Raw TCP connections: undelimited bytes are delivered after this pause (ms; 0: never).
    int TCPFlushIdle = 200;
    // A connection that sends nothing for this long after it was accepted (ms)
    // is offered to OnUnknownProtocol as one that speaks neither HTTP nor
    // WebSocket: a raw TCP client that only listens. 0: it waits for its first bytes.
    int SilentClientTimeOut = 0;
    // Bytes of messages still being received (and decompressed) that all
    // connections together may hold; a message that would go over it fails
    // with 1009. 0: no limit. Read when a connection is accepted.
    std::uint64_t MaxBufferedBytes = std::uint64_t{1} << 30;
    // What the connections hold of it now.
    std::uint64_t BufferedBytes() const noexcept { return FBufferBudget->Used(); }

    // ---- Events ----
    TkbzWSServerEvent OnStartup;
    TkbzWSServerEvent OnShutdown;
    TkbzEvent<const TkbzWSConnectionPtr&, bool&> OnTCPConnect;
    TkbzWSAuthenticationEvent OnAuthentication;
    TkbzWSUnknownAuthenticationEvent OnUnknownAuthentication;

    // ---- Activation (the listener belongs to the derived class) ----
    virtual bool GetActive() const { return false; }
    virtual void SetActive(bool /*value*/) {}
    // Activation changes on a short-lived thread of their own; each returns at once.
    void Start();
    void Stop();
    void ReStart();

    // ---- Operations ----
    // Text to every connection that completed its handshake and matches: no
    // subprotocol unless protocol names it, subscribed to channel (empty: all),
    // not in exclude, in include when one is given (comma-separated
    // identifiers). Never waits for a peer: each message goes on the
    // connection's send queue for its own thread; a connection whose queue is
    // full is dropped. With LoadBalancer.Enabled it goes to the balancer, which
    // hands it to every server (this one too); while the link is down it is
    // carried out here and OnLoadBalancerError says so.
    void Broadcast(const std::string& aText, const std::string& aChannel = {},
                   const std::string& aProtocol = {}, const std::string& aExclude = {},
                   const std::string& aInclude = {});
    void Broadcast(TkbzStream& aStream, const std::string& aChannel = {},
                   const std::string& aProtocol = {}, const std::string& aExclude = {},
                   const std::string& aInclude = {});
    // Writes to the connection with that identifier at once; false when there is
    // none, it has no handshake yet or it is disconnected (also when the write fails).
    // With LoadBalancer.Enabled an identifier this server does not hold goes to the
    // balancer (true once sent; false, with OnLoadBalancerError, while the link is down).
    bool WriteData(const std::string& aGuid, const std::string& aText, int aSize = 0,
                   TwsStreaming aStreaming = TwsStreaming::stmNone);
    bool WriteData(const std::string& aGuid, TkbzStream& aStream, int aSize = 0,
                   TwsStreaming aStreaming = TwsStreaming::stmNone);
    // A ping to every connection with a handshake; empty text: the local time.
    // Each is sent by the connection's own thread (see Broadcast).
    void Ping(const std::string& aText = {});
    void DisconnectAll();
    // Drops a connection whose send queue cannot take a message (a peer that
    // does not read); its own thread reports it. Never waits for the peer.
    // With a WriteTimeOut the connection's thread discards the queue and closes
    // with 1008 once its send in progress is done (or ends it when that send
    // times out); without one, where a send could wait for ever, the socket
    // is shut down at once.
    void DropForFullQueue(const TkbzWSConnectionServerPtr& connection) noexcept;

    TkbzWSConnectionServerPtr GetConnectionByGuid(const std::string& aGuid) const;
    TkbzWSConnectionServerPtr GetConnectionByIndex(std::size_t index) const;
    // Connections known to the server (with or without a handshake).
    std::size_t Count() const;
    // A copy of the connection list, in the order they were accepted.
    std::vector<TkbzWSConnectionServerPtr> Connections() const;

    // The pending session logins (Authentication.Session).
    TkbzWSSessionList& SessionList() noexcept { return FSessionList; }

    // ---- Built-in browser files ----
    // The answer to a request for one of the built-in files (server/www) on
    // this connection: true with the answer filled (the file, its type and
    // Cache-Control; 404 for the Flash movie, which is not carried, and, when
    // answerNotFound, for a disabled or unknown file) when the request is one
    // of them. Only GET and HEAD; the query is not part of the file name.
    // Nothing is written: the caller adds its Connection field and writes it.
    bool GetBuiltInFile(const TkbzWSConnectionServer& connection, const TkbzHTTPHead& head,
                        bool answerNotFound, TkbzHTTPAnswer& answer) const;

    // ---- Load balancer ----
    TkbzWSLoadBalancerServer_Options& LoadBalancer() noexcept { return FLoadBalancer; }
    TkbzWSServerEvent OnLoadBalancerConnect;
    TkbzWSServerEvent OnLoadBalancerDisconnect;
    TkbzEvent<TkbzWSServer_Indy_Base&, const std::string&> OnLoadBalancerError;
    // The link, made on first use by the factory (the published server sets
    // one); none without a factory.
    IkbzWSServerLoadBalancerLink* GetClientLoadBalancer();
    void SetLoadBalancerLinkFactory(
        std::function<std::unique_ptr<IkbzWSServerLoadBalancerLink>()> factory);
    // The local parts of Broadcast and WriteData: what arrives from the
    // balancer is carried out here only, never forwarded again.
    void BroadcastLocal(const std::string& aText, const std::string& aChannel = {},
                        const std::string& aProtocol = {}, const std::string& aExclude = {},
                        const std::string& aInclude = {});
    void BroadcastLocal(TkbzStream& aStream, const std::string& aChannel = {},
                        const std::string& aProtocol = {}, const std::string& aExclude = {},
                        const std::string& aInclude = {});
    bool WriteDataLocal(const std::string& aGuid, const std::string& aText, int aSize = 0,
                        TwsStreaming aStreaming = TwsStreaming::stmNone);
    bool WriteDataLocal(const std::string& aGuid, TkbzStream& aStream, int aSize = 0,
                        TwsStreaming aStreaming = TwsStreaming::stmNone);
    // Raises OnLoadBalancerError unless destroying; never raises.
    void DoLoadBalancerError(const std::string& text) noexcept;

    // ---- The listener's callbacks (any listener, or a test) ----
    // A new TCP connection: builds its connection object (nullptr when refused
    // or while destroying; refusal is reported through OnError).
    TkbzWSConnectionServerPtr OnListenerConnect(std::shared_ptr<TkbzIdTCPConnection> tcp,
                                                TwsIPVersion ipVersion = TwsIPVersion::ipV4);
    // One execute step on the connection's thread: works through the buffered
    // input and what is due, never waits for the peer; false when the
    // connection is over. The engine calls it again when bytes arrive, the
    // connection's reader is woken, or ExecuteWaitLimit has passed.
    bool OnListenerExecute(const TkbzWSConnectionServerPtr& connection);
    // How long the engine may wait for bytes or a wake before the connection
    // needs its next step (ms; -1: no time limit): the request-head limit, a
    // close that waits for its answer, queued messages, raw TCP bytes waiting
    // for a pause.
    int ExecuteWaitLimit(const TkbzWSConnectionServerPtr& connection) const;
    // The TCP connection ended: the disconnect event for connections with a handshake.
    void OnListenerDisconnect(const TkbzWSConnectionServerPtr& connection);
    void OnListenerException(const TkbzWSConnectionServerPtr& connection, const std::exception& e);

    // The watchdog monitor's secret: a fresh one at every listener start-up,
    // empty while the listener is down. An upgrade whose request line holds
    // "/" + it, from a loopback address, is the server's own monitor (no
    // authentication, no events); from any other address an ordinary client.
    std::string WatchDogMonitorSecret() const;

protected:
    // The watchdog's check that the listener still takes WebSocket connections
    // (WatchDog.Monitor), run by the watchdog tick while the server is active.
    // The base has no listener of its own to dial.
    virtual void DoWatchDogMonitor() {}
    // The monitor dials in: the request's peer and request line.
    bool IsWatchDogMonitor(const TkbzWSConnectionServerPtr& connection,
                           const std::string& requestLine);
    // Plain HTTP requests: called with the first request's head consumed (RequestHead), and
    // again on every step while it returns true, to go on with what has arrived (bodies,
    // further keep-alive requests). False: the connection is closed. The base answers nothing.
    virtual bool DoExecuteHTTP(const TkbzWSConnectionServerPtr& connection);
    // Ends a connection that served one HTTP exchange (or was refused).
    void DoCloseHTTPConnection(const TkbzWSConnectionServerPtr& connection);
    // Requests that the first-request classification serves rather than the HTTP
    // layer: upgrades, event-stream starts, a stream's posts, protocol posts and
    // session logins.
    bool IsClassifiedRequest(const TkbzHTTPHead& head) const;
    // The HTTP layer lets go of a kept connection whose next request, still
    // buffered, is one of them: the execute step classifies it as a first request.
    void ReturnToClassification(const TkbzWSConnectionServerPtr& connection);
    // A built-in file answered on the first request of the connection
    // (GetBuiltInFile, then written); false when the request is none.
    bool DoServeResource(const TkbzWSConnectionServerPtr& connection, const TkbzHTTPHead& head,
                         bool answerNotFound);
    // "POST /kbz/xhr/<Guid>" (head consumed): the body is a message of that
    // server-sent-events connection; 200 when it was handed over, 404 when no
    // such stream is open, 403 for an origin that is not allowed.
    void DoXHRPost(const TkbzWSConnectionServerPtr& connection, const TkbzHTTPHead& head);
    // "POST /kbz/protocol/<name>/<path>" (head consumed): the body goes to the
    // protocol objects of that name, whose answer is sent; 404 without one.
    void DoProtocolPost(const TkbzWSConnectionServerPtr& connection, const TkbzHTTPHead& head);
    // SecurityOptions.SameOrigin: a request whose Origin is neither the
    // server's own nor one of OriginsAllowed is answered 403 and false
    // returned. Every request path calls it on every head it reads.
    bool DoCheckOrigin(const TkbzWSConnectionServerPtr& c, const TkbzHTTPHead& head);
    // A plain HTTP request offered to the OAuth 2 components (TLS connections of a server with
    // authentication): true when one of them answered it. consumeHead drops the head from the
    // input before a body is read.
    bool DoOfferHTTP(const TkbzWSConnectionServerPtr& c, const TkbzHTTPHead& head,
                     const std::function<void()>& consumeHead);
    // The body of the request whose head was consumed (length or chunked, small); none when it
    // was refused (answered 400, 408, 413) or the peer went away.
    std::optional<std::string> ReadRequestBody(const TkbzWSConnectionServerPtr& c,
                                               const TkbzHTTPHead& head);
    // Whether plain requests of this connection need a Bearer token (a JWT check, or an OAuth 2
    // component on a TLS connection).
    bool NeedsBearer(const TkbzWSConnectionServer& c) const;
    // A plain HTTP request that needs a Bearer token: a token one of the checks accepts
    // authenticates the connection, or a 401 answer is written and false returned.
    bool DoAuthorizeBearer(const TkbzWSConnectionServerPtr& c, const TkbzHeaderList& lines);
    // A plain HTTP request of a server with Basic authentication: its credentials authenticate
    // the connection, or the Basic challenge (401) is written and false returned.
    bool DoAuthorizeBasic(const TkbzWSConnectionServerPtr& c, const TkbzHeaderList& lines);
    void WriteBasicChallenge(const TkbzWSConnectionServerPtr& c) noexcept;
    // After the opening handshake (type 1): framing check, then OnConnect.
    void DoHandshakeDone(const TkbzWSConnectionServerPtr& connection, int type);

    void DoHeartBeat() override;
    void DoHeartBeatTimeout() override;
    void DoWatchDog() override;
    // Timers that follow the listener's state.
    void StartTimers();
    void StopTimers();
    void DoFreeConnection(const TkbzWSConnectionPtr& connection) override;

    // Start-up and shutdown steps of the listener.
    void DoStartup();
    void DoShutdown();
    // Runs f on a short-lived thread that the destructor waits for.
    void RunServerThread(std::function<void()> f);
    // Start and Stop: SetActive on a server thread, under the component lock.
    void SetActiveOnThread(bool active);
    // Waits for the Start/Stop/ReStart threads (call from the most derived destructor).
    void JoinServerThreads();
    // Ends the load-balancer link (call from the most derived destructor, once
    // the listener's threads are gone).
    void ReleaseLoadBalancerLink() noexcept;

private:
    void GatherAndClassify(const TkbzWSConnectionServerPtr& c);
    void DoAuthenticate(const TkbzWSConnectionServerPtr& c, const TkbzHeaderList& lines);
    void DoSessionLogin(const TkbzWSConnectionServerPtr& c, const TkbzHeaderList& lines);
    void DoPolicyFile(const TkbzWSConnectionServerPtr& c);
    void DoEventStream(const TkbzWSConnectionServerPtr& c, const TkbzHTTPHead& head);
    // Answers a request that cannot be served (400, 431, 505) and closes.
    void DoRefuseRequest(const TkbzWSConnectionServerPtr& c, int status, const std::string& error);
    void DoUnknownProtocol(const TkbzWSConnectionServerPtr& c);
    void OnServerAuthenticationEvent(TkbzWSConnectionServer& c, const std::string& user,
                                     const std::string& password, bool& authenticated);
    void DoBroadcast(const std::string* text, const std::vector<std::uint8_t>* bytes,
                     const std::string& channel, const std::string& protocol,
                     const std::string& exclude, const std::string& include);
    void RemoveConnection(const TkbzWSConnectionServerPtr& c);
    // The server-wide traffic log writer for LogFile's file, made on first use (again when the
    // name changed).
    std::shared_ptr<TkbzWSIdLogFileServer> LogWriter();
    // Tells the load-balancer link about a connection that came or goes.
    void ReportToLoadBalancer(const TkbzWSConnectionServerPtr& c, bool active) noexcept;
    // The link when the load balancer is enabled.
    IkbzWSServerLoadBalancerLink* EnabledLoadBalancer();

    TkbzWSOptionsServer FOptions;
    TkbzWSSecurity_Options FSecurityOptions;
    TkbzWSAuthenticationServer_Options FAuthentication;
    TkbzWSFallBack_Options FFallBack;
    TkbzWSQueueServer_Options FQueueOptions;
    TkbzWSThrottle FThrottle;
    TkbzWSThreadPool_Options FThreadPoolOptions;
    TkbzWSIOHandler_Options FIOHandlerOptions;
    TkbzWSSessionList FSessionList;
    std::shared_ptr<detail::ByteBudget> FBufferBudget = std::make_shared<detail::ByteBudget>();

    // The connections in accept order, and the same by identifier.
    mutable std::mutex FListLock;
    std::vector<TkbzWSConnectionServerPtr> FList;
    std::map<std::string, TkbzWSConnectionServerPtr> FByGuid;

    std::mutex FLogLock; // FInterceptLogFile
    std::shared_ptr<TkbzWSIdLogFileServer> FInterceptLogFile;

    TkbzWSLoadBalancerServer_Options FLoadBalancer;
    std::mutex FLoadBalancerLock; // the factory and the link pointer
    std::function<std::unique_ptr<IkbzWSServerLoadBalancerLink>()> FLoadBalancerFactory;
    std::unique_ptr<IkbzWSServerLoadBalancerLink> FClientLoadBalancer;

    std::mutex FThreadsLock;
    std::condition_variable FThreadsDone;
    int FThreads = 0;

    mutable std::mutex FMonitorLock;
    std::string FWatchDogMonitorSecret; // FMonitorLock
};

} // namespace kbz
