// The WebSocket connection object (receive and write paths, pings, closing)
// and the component base classes that turn connection notifications into
// application events.
#pragma once

#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Events.h"
#include "base/kbzWebSocket_Classes_SyncObjs.h"
#include "base/kbzWebSocket_Types.h"
#include "transport/kbzSocket_Classes.h"
#include "transport/kbzTCP_Classes.h"
#include "websocket/kbzWebSocket_Codec.h"
#include "websocket/kbzWebSocket_Extensions.h"
#include "websocket/kbzWebSocket_LogFile.h"
#include "websocket/kbzWebSocket_Options.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kbz
{

class TkbzWSConnection;
class TkbzWSComponent_Base;
using TkbzWSConnectionPtr = std::shared_ptr<TkbzWSConnection>;

// ---- Events (each takes the connection first; it may be empty for failures
// that belong to no connection) ----
using TkbzWSConnectEvent = TkbzEvent<const TkbzWSConnectionPtr&>;
using TkbzWSDisconnectEvent = TkbzEvent<const TkbzWSConnectionPtr&, int>;
using TkbzWSMessageEvent = TkbzEvent<const TkbzWSConnectionPtr&, const std::string&>;
using TkbzWSBinaryEvent = TkbzEvent<const TkbzWSConnectionPtr&, TkbzMemoryStream&>;
using TkbzWSFragmentedEvent =
    TkbzEvent<const TkbzWSConnectionPtr&, TkbzMemoryStream&, TOpcode, bool>;
using TkbzWSErrorEvent = TkbzEvent<const TkbzWSConnectionPtr&, const std::string&>;
using TkbzExceptionEvent = TkbzEvent<const TkbzWSConnectionPtr&, const std::exception&>;
using TkbzWSHandshakeEvent = TkbzEvent<const TkbzWSConnectionPtr&, std::vector<std::string>&>;
using TkbzWSSubscriptionEvent = TkbzEvent<const TkbzWSConnectionPtr&, const std::string&>;
using TkbzWSUnknownProtocolEvent = TkbzEvent<const TkbzWSConnectionPtr&, bool&>;

// One sent ping waiting for its pong.
struct TkbzPing
{
    std::string FText;
    std::int64_t FDate = 0; // kbzGetTicks when sent
    bool FAnswered = false;
};

// An entry of a send queue: a message kept until the owner's read cycle sends it.
struct TkbzQueueObject
{
    std::int32_t FSize = 0;
    TwsStreaming FStreaming = TwsStreaming::stmNone;
    std::string FText;
    TOpcode FOpCode = TOpcode::opText; // opText, opBinary or opPing
    std::vector<std::uint8_t> FStream;
};

// Where a connection is in its life: its opening handshake, open, ending after
// a close frame of ours, closed (the close routine ran; a linger may still
// drop what the peer sends).
enum class TwsConnectionState : std::uint8_t
{
    csConnecting,
    csOpen,
    csClosing,
    csClosed
};

// The connection, from the frame layer up. Client and server connections
// derive from TkbzWSConnection_Indy and supply the opening handshake.
//
// Threads: one thread reads (ReadData); any thread writes. Data messages are
// written whole under the message lock (compressed once, then cut into frames,
// so fragments of two messages never mix and compression keeps send order);
// every frame leaves in one send under the frame lock (FCS), so control frames
// may fall between the fragments of a long message but never inside a frame.
// The settings (TkbzWSConnectionSettings) are a base of the connection, so its
// code reads them by name; the owner sets them as one value (SetSettings).
class TkbzWSConnection : public TkbzTCPConnection, public TkbzWSConnectionSettings
{
public:
    TkbzWSConnection();
    ~TkbzWSConnection() override;

    TkbzWSConnectionPtr SharedFromThis()
    {
        return std::static_pointer_cast<TkbzWSConnection>(shared_from_this());
    }

    // ---- Options, set by the owner before the connection is used ----
    TkbzWSExtensions& Extensions() noexcept { return FExtensions; }
    void SetExtensions(const TkbzWSExtensions& source) { FExtensions.Assign(source); }
    TkbzWSQueueOptions& QueueOptions() noexcept { return FQueueOptions; }
    void SetQueueOptions(const TkbzWSQueueOptions& source) { FQueueOptions.Assign(source); }

    TwsSpecification FSpecification = TwsSpecification::spRFC6455;
    bool Masked = false;  // this side masks its frames (the client)
    std::string Protocol; // subprotocol name(s); the negotiated one after the handshake
    const TkbzWSConnectionSettings& Settings() const noexcept { return *this; }
    void SetSettings(const TkbzWSConnectionSettings& value)
    {
        static_cast<TkbzWSConnectionSettings&>(*this) = value;
    }
    // A budget shared with other connections for the bytes of messages being
    // received (and decompressed); a message it cannot hold closes with 1009.
    void SetBufferBudget(std::shared_ptr<detail::ByteBudget> budget);
    std::string URL;
    bool NotifyConnection = true;
    bool NotifyDisconnection = true;
    // How long a close we started waits for the peer's close before the TCP
    // connection is dropped (ms).
    int CloseTimeOut = 5000;

    // The traffic log that the frame writer and the receive path tell about
    // messages (none by default); set by the owner before the connection is used.
    void SetTrafficLog(IkbzWSConnectionLogPtr log) { FTrafficLog = std::move(log); }
    const IkbzWSConnectionLogPtr& TrafficLog() const noexcept { return FTrafficLog; }

    // The transport connection; attached by the owner before use, kept until
    // this object goes.
    void SetTCPConnection(std::shared_ptr<TkbzIdTCPConnection> tcp);
    TkbzIdTCPConnection* TCPConnection() const noexcept { return FTCPConnection.get(); }

    // ---- State ----
    // Where the connection is in its life; a close we started is csClosing
    // until the peer answers or CloseTimeOut passes.
    TwsConnectionState State() const noexcept { return FState.load(); }
    // The opening handshake is done (it stays so once the connection closed).
    bool Enabled() const noexcept { return FEnabled.load(); }
    void SetEnabled(bool value) noexcept;
    bool Disconnected() const noexcept { return GetDisconnected(); }
    // Marking the connection disconnected drops what the send queues hold.
    void SetDisconnected(bool value);
    // We started the closing handshake: our close frame awaits the peer's
    // answer (csClosing), or did until the connection closed.
    bool Closing() const noexcept
    {
        const TwsConnectionState s = FState.load();
        return s == TwsConnectionState::csClosing ||
               (s == TwsConnectionState::csClosed && FCloseStarted.load() != 0);
    }
    int CloseCode() const noexcept { return FCloseCode.load(); }
    std::string CloseReason() const;
    std::string MsgError() const;
    void SetMsgError(std::string text);
    // Active: the TCP connection reports itself connected.
    bool Active() const;

    // Ping times (kbzGetTicks; 0 = none) and the text of the last matched pong.
    std::int64_t FirstPing() const noexcept { return FFirstPing.load(); }
    void ResetFirstPing() noexcept { FFirstPing.store(0); }
    std::int64_t LastPing() const noexcept { return FLastPing.load(); }
    std::int64_t LastPong() const noexcept { return FLastPong.load(); }
    std::string Pong() const;
    // Outstanding pings (kept bounded) and when the oldest of them was sent (0: none).
    std::size_t PendingPings() const;
    std::int64_t OldestPendingPing() const;

    // Handshake header lines: the request (HeadersRequest) and the answer or, on the
    // client, the request lines written (HeadersResponse).
    std::vector<std::string>& HeadersRequest() noexcept { return FHeadersRequest; }
    std::vector<std::string>& HeadersResponse() noexcept { return FHeadersResponse; }

    // ---- Writing (any thread) ----
    // A text message; aSize > 0 cuts it into frames of that many bytes when its
    // length in UTF-16 code units is above aSize. Raises TkbzWSException
    // ("Error writing message %s.") when the transport fails.
    void WriteData(const std::string& aText, int aSize = 0,
                   TwsStreaming aStreaming = TwsStreaming::stmNone);
    // A binary message from the stream's whole content.
    void WriteData(TkbzStream& aStream, int aSize = 0,
                   TwsStreaming aStreaming = TwsStreaming::stmNone);
    void WriteData(std::span<const std::uint8_t> aBytes, int aSize = 0,
                   TwsStreaming aStreaming = TwsStreaming::stmNone);
    // A ping with the text as payload (at most 125 bytes; more raises).
    void Ping(const std::string& aText);
    // A ping, then a wait of up to aTimeOut ms for its own pong.
    bool Ping(const std::string& aText, int aTimeOut);
    // A text message, then a wait of up to aTimeOut ms for the next text from the peer.
    std::string WriteAndWaitData(const std::string& aText, int aTimeOut);
    // Starts the closing handshake with the code (a code that may not be sent
    // raises and sends nothing); the connection ends when the peer answers or
    // CloseTimeOut passes.
    void Close(int aCloseCode = kbzCloseNormal);
    // Closes (a close frame when CleanDisconnect) and drops the connection.
    void Disconnect(int aCloseCode = kbzCloseNormal);
    // Drops the TCP connection (no close frame).
    void DisconnectPeer(bool aCallOnDisconnectIfClosed);
    // Ends the connection after an error was reported: no close frame.
    void TerminateConnection();

    // Sends what the send queues hold (the owner's read cycle calls it).
    void DrainQueues();
    // Whether anything waits in the send queues.
    bool HasQueues() const noexcept { return FQueuedCount.load() > 0; }
    // Discards what waits in the send queues.
    void ClearQueues();
    // The bytes of the messages waiting in the send queues.
    std::size_t QueuedBytes() const
    {
        std::lock_guard guard(FQueueLock);
        return FQueuedBytes;
    }
    // How long the owner's thread may wait for input, at most readTimeOut ms,
    // before the queues need it again. A message queued while the queues are
    // empty wakes the thread; within kQueueBatchMs of the last drain it is
    // left for the next drain, so a burst leaves in batches (fewer sends) and
    // waits no longer than that.
    int QueueWaitLimit(int readTimeOut) const noexcept;
    // The batch window since the last drain is over: queued messages go now.
    bool QueueDue() const noexcept;
    static constexpr std::uint64_t kQueueBatchMs = 10;
    // Puts a message on the first send queue whatever the queue options say,
    // for the owner's reading thread to send: a writer never waits for a slow
    // peer. Returns false, queueing nothing, when the bytes already queued plus
    // this message would go over MaxQueuedBytes (the caller drops such a peer).
    bool QueueData(const std::string& aText);
    bool QueueData(std::span<const std::uint8_t> aBytes);
    std::size_t MaxQueuedBytes = 16u * 1024 * 1024;

    // ---- Reading (the owner's reading thread) ----
    // Processes the input that is buffered now; never waits for more.
    // maskRequired: frames must be masked (server side); a client refuses masked frames.
    void ReadData(bool maskRequired);
    // Drops the connection when a close we started found no answer in time.
    void CheckCloseTimeOut();
    // While a close we started waits for the peer's answer: the ms until
    // CloseTimeOut has passed; -1 otherwise.
    std::int64_t CloseWaitLimit() const noexcept;
    // Ends the owner's current (or next) wait for input, so that it looks at
    // what changed (queued messages, a close that started); any thread.
    void WakeReader() noexcept { WakeQueueReader(); }
    // Owners that run the connection in steps (the server's engines) keep the
    // linger after a close for the peer's error themselves: the connection is
    // half-closed and Lingering until LingerStep says it is over, instead of
    // a wait inside the failing read.
    void SetStepLinger(bool value) noexcept { FStepLinger = value; }
    bool Lingering() const noexcept { return FLingerUntil.load() != 0; }
    // Half-closes the connection after our last write and starts a linger of
    // up to totalMs (see LingerStep); false when the connection is gone.
    bool BeginLinger(int totalMs);
    // Drops what arrived; false when the linger is over (the peer ended its
    // stream, stayed quiet for a moment, or the time is up): the owner then
    // drops the TCP connection.
    bool LingerStep();
    // The ms until LingerStep is due at the latest; -1 when not lingering.
    std::int64_t LingerWaitLimit() const noexcept;

    // ---- Subscriptions ----
    void DoSubscribe(const std::string& aChannels);
    void DoUnSubscribe(const std::string& aChannels);
    bool Subscribed(const std::string& aChannel);
    std::vector<std::string> Subscriptions() const;

    // ---- Hooks the owner points at its handlers ----
    std::function<void(TkbzWSConnection&, const std::string&)> OnMessage;
    std::function<void(TkbzWSConnection&, TkbzMemoryStream&)> OnBinary;
    std::function<void(TkbzWSConnection&, TkbzMemoryStream&, TOpcode, bool)> OnFragmented;
    std::function<void(TkbzWSConnection&, std::vector<std::string>&)> OnHandshake;
    std::function<void(TkbzWSConnection&, int)> OnUpdate;
    std::function<void(TkbzWSConnection&, const std::string&)> OnSubscription;
    std::function<void(TkbzWSConnection&, const std::string&)> OnUnSubscription;
    // Raised once when the connection starts ending (before the TCP connection is dropped).
    std::function<void(TkbzWSConnection&)> OnBeforeDisconnect;

    // Server-sent events: further fields of the stream's response head, each
    // "Name: value" (set before the first write).
    std::vector<std::string> SSEHeaderFields;

protected:
    // The opening handshake step; ReadData calls it while not enabled.
    virtual void DoHandshake() {}
    // The close-and-disconnect routine: runs once; sends a close frame with the
    // code when sendClose (and the transport is framed); drops the TCP
    // connection; raises TkbzWSException with the text when one is given and
    // RaiseDisconnectExceptions is set.
    // linger: the reading thread ends a connection because of the peer's
    // error; the TCP connection is half-closed first and what the peer still
    // sends is read and dropped for a moment, so that it sees our close frame.
    void DoDisconnect(const std::string& text, int code, bool sendClose, bool linger = false);
    // Sends one frame whole under the frame lock.
    void DoWriteFrame(TOpcode opcode, std::span<const std::uint8_t> payload, bool fin, bool rsv1);
    void DoWriteRaw(std::span<const std::uint8_t> bytes);
    void DoWriteClose(int code);
    bool IsFramedTransport() const noexcept;

private:
    friend class TkbzWSConnectionTestAccess;
    void DoWriteMessage(TOpcode opcode, std::span<const std::uint8_t> payload,
                        std::size_t unitLength, int aSize, TwsStreaming aStreaming);
    void DoWriteText(const std::string& aText, int aSize, TwsStreaming aStreaming);
    void DoWriteBinary(std::span<const std::uint8_t> bytes, int aSize, TwsStreaming aStreaming);
    void DoWriteSSE(const std::string& text);
    void DoWriteHixie76(TOpcode opcode, const std::string& text);
    void DoPing(const std::string& aText, std::shared_ptr<TkbzPing>* sent);

    // Receive steps.
    void ReadStepRFC6455(bool maskRequired);
    void ReadStepHixie76();
    void ReadStepTCP();
    void DeliverMessage(TOpcode opcode, std::vector<std::uint8_t>& payload, bool compressed);
    void DeliverFragment(TOpcode opcode, std::vector<std::uint8_t>& payload, bool more);
    void DeliverText(std::string&& text);
    void DeliverBinary(std::vector<std::uint8_t>&& bytes);
    void HandleControl(TOpcode opcode, std::vector<std::uint8_t>&& payload);
    void HandlePong(std::vector<std::uint8_t>&& payload);
    void Fail(int code, const std::string& text);
    void RaiseBeforeDisconnect();

    std::shared_ptr<TkbzIdTCPConnection> FTCPConnection;
    IkbzWSConnectionLogPtr FTrafficLog;
    TkbzWSExtensions FExtensions;
    TkbzWSQueueOptions FQueueOptions;

    std::atomic<TwsConnectionState> FState{TwsConnectionState::csConnecting};
    std::atomic<bool> FEnabled{false};
    std::atomic<bool> FCloseSent{false};
    std::atomic<bool> FBeforeDisconnectRaised{false};
    std::atomic<std::int64_t> FCloseStarted{0};
    std::atomic<int> FCloseCode{0};
    bool FStepLinger = false;
    std::atomic<std::int64_t> FLingerUntil{0}; // 0: not lingering
    std::int64_t FLingerQuietAt = 0;           // the owner's steps only

    mutable std::mutex FStateLock; // texts below
    std::string FCloseReason;
    std::string FMsgError;
    std::string FPong;

    std::atomic<std::int64_t> FFirstPing{0};
    std::atomic<std::int64_t> FLastPing{0};
    std::atomic<std::int64_t> FLastPong{0};
    mutable std::mutex FPingLock;
    std::condition_variable FPingAnswered;
    std::deque<std::shared_ptr<TkbzPing>> FQueuePingList;

    // WriteAndWaitData: counts received texts so a wait sees the next one.
    std::mutex FWaitLock;
    std::condition_variable FWaitChanged;
    std::uint64_t FTextsReceived = 0;
    int FTextWaiters = 0; // WriteAndWaitData calls in progress
    std::string FLastText;

    // Queues q on its level unless the queued bytes would go over limit; wakes
    // the owner's thread when the queues were idle.
    bool PushQueue(int level, TkbzQueueObject&& q,
                   std::size_t limit = std::numeric_limits<std::size_t>::max());
    void WakeQueueReader() noexcept;
    void DrainQueueLevels(const std::function<void(std::size_t)>& written);
    mutable std::mutex FQueueLock;
    std::deque<TkbzQueueObject> FQueueLevel[3];
    std::atomic<std::size_t> FQueuedCount{0};
    std::atomic<std::uint64_t> FLastDrain{0}; // ticks of the last drain that sent something
    std::size_t FQueuedBytes = 0;             // under FQueueLock

    std::vector<std::string> FHeadersRequest;
    std::vector<std::string> FHeadersResponse;
    std::vector<std::string> FSubscriptions; // under indexed lock 0

    // Writer state: a bounded scratch buffer for masked frames, under the frame lock.
    std::vector<std::uint8_t> FFrameBuffer;
    bool FSSEHeaderSent = false;

    // Reader state (reading thread only).
    TkbzWSFrameDecoder FDecoder;
    TkbzHixie76Decoder FHixie76;
    std::vector<std::uint8_t> FCompressedFragments; // fragments of a compressed message
    // Decompressed messages taken from the buffer budget while they are delivered.
    detail::ByteBudgetShare FInflateShare;
};

class TkbzWSConnection_Abstract : public TkbzWSConnection
{};

class TkbzWSConnection_Base_Indy : public TkbzWSConnection_Abstract
{};

class TkbzWSConnection_Indy : public TkbzWSConnection_Base_Indy
{};

// ---- Components ----

class TkbzComponent_Base
{
public:
    virtual ~TkbzComponent_Base() = default;
    std::string Version() const { return kbzLibraryVersion; }
    bool IsDestroying() const noexcept { return FDestroying.load(); }
    bool IsDesigning() const noexcept { return false; }
    bool IsLoading() const noexcept { return false; }

protected:
    // Destructors of the most derived class set it first, so events stop.
    void SetDestroying() noexcept { FDestroying.store(true); }

private:
    std::atomic<bool> FDestroying{false};
};

class TkbzSocketComponent_Base : public TkbzComponent_Base, public TkbzLockSet
{
public:
    TwsNotifyEvent GetNotifyEvents() const noexcept { return FNotifyEvents.load(); }
    virtual void SetNotifyEvents(TwsNotifyEvent value) { FNotifyEvents.store(value); }
    // The component's general lock, for handlers that share state.
    void EnterCS() noexcept { DoEnterCS(); }
    void LeaveCS() noexcept { DoLeaveCS(); }

private:
    std::atomic<TwsNotifyEvent> FNotifyEvents{TwsNotifyEvent::neNoSync};
};

class TkbzTCPComponent_Base : public TkbzSocketComponent_Base
{};

class TkbzWSProtocol;

// Events, their delivery modes, held messages and error reporting.
class TkbzWSComponent_Base : public TkbzTCPComponent_Base
{
public:
    TkbzWSComponent_Base();
    ~TkbzWSComponent_Base() override;

    TkbzWSConnectEvent OnConnect;
    TkbzWSDisconnectEvent OnDisconnect;
    TkbzWSMessageEvent OnMessage;
    TkbzWSBinaryEvent OnBinary;
    TkbzWSFragmentedEvent OnFragmented;
    TkbzWSErrorEvent OnError;
    TkbzExceptionEvent OnException;

    // While true, message, binary and fragment events are held; setting it
    // false raises the held ones in arrival order on the calling thread.
    bool GetQueueMessages() const noexcept { return FQueueMessages.load(); }
    void SetQueueMessages(bool value);
    void QueueClear();

    // Notifications from the owner's hook handlers; each reads what the hook
    // stored in the connection and raises the event in the NotifyEvents mode.
    virtual void DoNotifyConnect(const TkbzWSConnectionPtr& connection);
    virtual void DoNotifyDisconnect(const TkbzWSConnectionPtr& connection);
    virtual void DoNotifyMessage(const TkbzWSConnectionPtr& connection, const std::string& text);
    virtual void DoNotifyBinary(const TkbzWSConnectionPtr& connection, TkbzMemoryStream& data);
    virtual void DoNotifyFragmented(const TkbzWSConnectionPtr& connection, TkbzMemoryStream& data,
                                    TOpcode opcode, bool continuation);
    virtual void DoNotifyError(const TkbzWSConnectionPtr& connection, const std::string& text);
    virtual void DoNotifyException(const TkbzWSConnectionPtr& connection, const std::string& text,
                                   const std::exception* e);

    // Reports a failure and ends the connection (no close frame). Never raises.
    void DoError(const TkbzWSConnectionPtr& connection, const std::string& text) noexcept;
    void DoException(const TkbzWSConnectionPtr& connection, const std::string& text,
                     const std::exception* e) noexcept;

protected:
    // Event raisers (the last step of every delivery).
    virtual void RaiseConnect(const TkbzWSConnectionPtr& connection);
    virtual void RaiseDisconnect(const TkbzWSConnectionPtr& connection, int code);
    virtual void RaiseMessage(const TkbzWSConnectionPtr& connection, const std::string& text);
    virtual void RaiseBinary(const TkbzWSConnectionPtr& connection, TkbzMemoryStream& data);
    virtual void RaiseFragmented(const TkbzWSConnectionPtr& connection, TkbzMemoryStream& data,
                                 TOpcode opcode, bool continuation);
    virtual void RaiseError(const TkbzWSConnectionPtr& connection, const std::string& text);
    virtual void RaiseException(const TkbzWSConnectionPtr& connection, const std::exception& e);
    // After OnDisconnect: the owner lets go of the connection.
    virtual void DoFreeConnection(const TkbzWSConnectionPtr& /*connection*/) {}
    // Routes the connection's message, binary and fragment hooks to this
    // component's notifications; a handler's exception ends that connection.
    void HookDataEvents(TkbzWSConnection& connection);
    // Runs f now (neNoSync), posted to the main thread (neAsynchronous) or on the
    // main thread while this thread waits (neSynchronous).
    void Deliver(std::function<void()> f);

private:
    struct HeldFragment
    {
        TkbzWSConnectionPtr connection;
        TkbzMemoryStream data;
        TOpcode opcode;
        bool continuation;
    };
    std::atomic<bool> FQueueMessages{false};
    std::atomic<bool> FQueueProcessing{false};
    std::mutex FHeldLock;
    std::vector<std::pair<TkbzWSConnectionPtr, std::string>> FQueueMessage;
    std::vector<std::pair<TkbzWSConnectionPtr, TkbzMemoryStream>> FQueueBinary;
    std::vector<HeldFragment> FQueueFragmented;
    // Lets events posted to the main thread find out that the component is gone.
    std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
};

// A subprotocol handler a component routes its connections' events to by name.
class TkbzWSProtocol : public TkbzWSComponent_Base
{
public:
    explicit TkbzWSProtocol(std::string name) : FName(std::move(name)) {}
    const std::string& Name() const noexcept { return FName; }
    const std::string& Guid() const;
    // Whether a connection's protocol text selects this handler: any of the
    // comma-separated names, or Guid + "." + name, compared ignoring case.
    bool Matches(const std::string& protocol) const;

    // A plain HTTP post to this protocol (connection, the path below the
    // protocol's name, the body): the handler fills the answer's text.
    TkbzEvent<const TkbzWSConnectionPtr&, const std::string&, const std::string&, std::string&>
        OnHTTPPost;
    // Raises OnHTTPPost; the text is the post's answer.
    virtual std::string DoHTTPPost(const TkbzWSConnectionPtr& connection, const std::string& path,
                                   const std::string& body);

private:
    std::string FName;
    mutable std::string FGuid;
    mutable std::once_flag FGuidOnce;
};

// An API hosted by a client or a server: it takes the events of the
// connections without a subprotocol instead of the component's own events
// (with RawMessages the component's events are raised and the API is told as
// well), in the component's NotifyEvents mode, and the pings of those
// connections (heartbeat ticks, a server's ping to all). Connections of many
// threads call it at once.
class TkbzWSAPI_Base
{
public:
    virtual ~TkbzWSAPI_Base() = default;
    // The name a refusal reports (a class of its own names itself).
    virtual std::string ClassName() const { return "TkbzWSAPI_Base"; }
    // Set before the API is registered.
    bool RawMessages = false;
    virtual void DoConnect(const TkbzWSConnectionPtr& /*connection*/) {}
    virtual void DoDisconnect(const TkbzWSConnectionPtr& /*connection*/) {}
    virtual void DoMessage(const TkbzWSConnectionPtr& /*connection*/, const std::string& /*text*/)
    {}
    virtual void DoBinary(const TkbzWSConnectionPtr& /*connection*/, TkbzMemoryStream& /*data*/) {}
    virtual void DoFragmented(const TkbzWSConnectionPtr& /*connection*/, TkbzMemoryStream& /*data*/,
                              TOpcode /*opcode*/, bool /*continuation*/)
    {}
    // A ping is due on the connection (text: the ping's payload). True when the
    // API pinged it its own way; false sends the ordinary ping frame.
    virtual bool DoPing(const TkbzWSConnectionPtr& /*connection*/, const std::string& /*text*/)
    {
        return false;
    }
};
using TkbzWSAPIBasePtr = std::shared_ptr<TkbzWSAPI_Base>;

// The API a client hosts (RegisterAPI of the client takes only these).
class TkbzWSAPI_Client : public TkbzWSAPI_Base
{
public:
    std::string ClassName() const override { return "TkbzWSAPI_Client"; }
};

// Specifications, extensions, log file, heartbeat and keep-alive settings,
// subprotocol and API routing and the heartbeat and watchdog timers.
class TkbzWSComponent : public TkbzWSComponent_Base
{
public:
    TkbzWSComponent();
    ~TkbzWSComponent() override;

    TkbzWSSpecifications& Specifications() noexcept { return FSpecifications; }
    TkbzWSExtensions& Extensions() noexcept { return FExtensions; }
    TkbzWSLogFile& LogFile() noexcept { return FLogFile; }
    TkbzWSHeartBeat_Options& HeartBeat() noexcept { return FHeartBeat; }
    TkbzTCPKeepAlive& TCPKeepAlive() noexcept { return FTCPKeepAlive; }

    TkbzWSHandshakeEvent OnHandshake;
    TkbzEvent<TkbzWSComponent&, const TkbzWSConnectionPtr&, bool&> OnBeforeHeartBeat;

    void SetNotifyEvents(TwsNotifyEvent value) override;

    // Subprotocols: a name not yet registered creates a handler sharing this
    // component's events and notify mode.
    void RegisterProtocol(std::shared_ptr<TkbzWSProtocol> protocol);
    std::shared_ptr<TkbzWSProtocol> RegisterProtocol(const std::string& name);
    void UnRegisterProtocol(const std::string& name);
    // The comma-separated names of the registered protocols.
    std::string ProtocolNames() const;
    // The registered handlers that a protocol name selects (see TkbzWSProtocol::Matches).
    std::vector<std::shared_ptr<TkbzWSProtocol>> ProtocolsNamed(const std::string& name) const;
    // The registered API, none without one.
    TkbzWSAPIBasePtr RegisteredAPI() const;

    void DoNotifyConnect(const TkbzWSConnectionPtr& connection) override;
    void DoNotifyDisconnect(const TkbzWSConnectionPtr& connection) override;
    void DoNotifyMessage(const TkbzWSConnectionPtr& connection, const std::string& text) override;
    void DoNotifyBinary(const TkbzWSConnectionPtr& connection, TkbzMemoryStream& data) override;
    void DoNotifyFragmented(const TkbzWSConnectionPtr& connection, TkbzMemoryStream& data,
                            TOpcode opcode, bool continuation) override;

    // Raises OnHandshake in the NotifyEvents mode.
    void DoNotifyHandshake(const TkbzWSConnectionPtr& connection,
                           std::vector<std::string>& headers);

    // ---- Heartbeat and watchdog timers ----
    void StartHeartBeat();
    void StopHeartBeat();
    void StartHeartBeatTimeout();
    void StopHeartBeatTimeout();
    void StartWatchDog(int intervalSeconds);
    void StopWatchDog();
    // Frees all three timers (fresh ones are built by the next start).
    void FreeTimers();
    // Waits until no timer tick of this component runs any more. A tick that
    // stopped its own timer goes on without it, so destructors call this after
    // FreeTimers, before the state the ticks use goes away.
    void WaitForTimerTicks();

protected:
    virtual void DoHeartBeat() {}
    virtual void DoHeartBeatTimeout() {}
    virtual void DoWatchDog() {}
    // Handlers registered for the connection's protocol (empty without one).
    std::vector<std::shared_ptr<TkbzWSProtocol>> ProtocolsFor(const TkbzWSConnection& c) const;
    // Registers the API (none: unregisters); the owner checks its kind.
    void SetAPI(TkbzWSAPIBasePtr api);
    // The API that takes the connection's events and pings: the registered
    // one for a connection without subprotocol, otherwise none.
    TkbzWSAPIBasePtr APIFor(const TkbzWSConnection& c) const;
    // A ping due on the connection, offered to its API first: true when the
    // API took it, false when the caller sends the ping frame.
    bool OfferPingToAPI(const TkbzWSConnectionPtr& connection, const std::string& text);

    std::atomic<int> FWatchDogAttempts{0};
    std::atomic<bool> FWatchDogEnabled{false};

private:
    void StartTimer(std::unique_ptr<TkbzTimer>& timer, const char* name, int ms,
                    std::function<void()> tick);

    TkbzWSSpecifications FSpecifications;
    TkbzWSExtensions FExtensions;
    TkbzWSLogFile FLogFile;
    TkbzWSHeartBeat_Options FHeartBeat;
    TkbzTCPKeepAlive FTCPKeepAlive;
    mutable std::mutex FProtocolLock;
    std::vector<std::shared_ptr<TkbzWSProtocol>> FProtocolObjectList;
    TkbzWSAPIBasePtr FAPI; // under FProtocolLock
    std::mutex FTicksLock;
    std::condition_variable FTicksDone;
    int FTicksRunning = 0; // under FTicksLock
    std::mutex FTimerLock; // guards the three timer references
    std::unique_ptr<TkbzTimer> FHeartBeatTimer;
    std::unique_ptr<TkbzTimer> FHeartBeatTimeoutTimer;
    std::unique_ptr<TkbzTimer> FWatchDogTimer;
};

class TkbzWSComponent_Client : public TkbzWSComponent
{
public:
    TkbzWSComponent_Client();
    TkbzWSWatchDogClient_Options& WatchDog() noexcept { return FWatchDog; }

    // The API of the client (one at a time; it replaces the one before). Only
    // client-side APIs (TkbzWSAPI_Client) are taken: any other raises
    // TkbzWSException "Error API: <class name> not supported.".
    void RegisterAPI(TkbzWSAPIBasePtr api);
    void UnRegisterAPI();

protected:
    // The client keeps the last disconnected connection until the next
    // disconnect (its handlers may still look at it).
    void DoFreeConnection(const TkbzWSConnectionPtr& connection) override;

private:
    TkbzWSWatchDogClient_Options FWatchDog;
    std::mutex FDelayedLock;
    TkbzWSConnectionPtr FDelayedFreeConnection;
};

class TkbzWSComponent_WSClient : public TkbzWSComponent_Client
{};

class TkbzWSComponent_Client_Indy : public TkbzWSComponent_WSClient
{
public:
    TkbzWSThrottle& Throttle() noexcept { return FThrottle; }

private:
    TkbzWSThrottle FThrottle;
};

class TkbzWSComponent_Server : public TkbzWSComponent
{
public:
    TkbzWSComponent_Server();
    TkbzWSOptimization_Options& Optimizations() noexcept { return FOptimizations; }
    TkbzWSWatchDogServer_Options& WatchDog() noexcept { return FWatchDog; }
    TkbzWSUnknownProtocolEvent OnUnknownProtocol;

private:
    TkbzWSOptimization_Options FOptimizations;
    TkbzWSWatchDogServer_Options FWatchDog;
};

} // namespace kbz
