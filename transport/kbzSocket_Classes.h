// The socket layer under the protocol code: byte channels (a plain socket, a
// TLS session, or an in-memory pair for tests), name resolution and connect,
// and the buffered TCP connection that every client and server connection reads
// and writes through.
#pragma once

#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Events.h"
#include "base/kbzWebSocket_Types.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kbz
{

// ---- Errors of the transport ----
KBZ_DECLARE_EXCEPTION(EIdException, Exception);
// The silent family: the end of a connection that nobody needs to be told about.
KBZ_DECLARE_EXCEPTION(EIdSilentException, EIdException);
// The peer closed the connection and everything it sent has been read.
KBZ_DECLARE_EXCEPTION(EIdConnClosedGracefully, EIdSilentException);
// The socket was closed on our side (Disconnect) while it was used.
KBZ_DECLARE_EXCEPTION(EIdClosedSocket, EIdException);
// An operation that needs a connection found none.
KBZ_DECLARE_EXCEPTION(EIdNotConnected, EIdException);
// A system call on the socket failed; the message carries the system's text.
KBZ_DECLARE_EXCEPTION(EIdSocketError, EIdException);
// Name resolution failed.
KBZ_DECLARE_EXCEPTION(EIdResolveError, EIdSocketError);
KBZ_DECLARE_EXCEPTION(EIdConnectTimeout, EIdException);
KBZ_DECLARE_EXCEPTION(EIdReadTimeout, EIdException);
// A line or header block longer than its limit.
KBZ_DECLARE_EXCEPTION(EIdMaxLineLengthExceeded, EIdException);
// TLS set-up, handshake or verification failed.
KBZ_DECLARE_EXCEPTION(EIdTLSError, EIdException);
// Binding a listening socket failed.
KBZ_DECLARE_EXCEPTION(EIdCouldNotBindSocket, EIdSocketError);
// Connect was called on a connection that is still open.
KBZ_DECLARE_EXCEPTION(EIdAlreadyConnected, EIdException);

// Where a connected socket leads.
struct TkbzSocketBinding
{
    std::string IP;         // peer address
    std::uint16_t Port = 0; // peer port
    std::string LocalIP;    // local address
    std::uint16_t LocalPort = 0;
    TwsIPVersion IPVersion = TwsIPVersion::ipV4;
};

// Where a handshake that a channel runs without waiting stands.
enum class TkbzHandshakeStep : std::uint8_t
{
    hsDone,
    hsWantRead, // call again once the socket is readable
    hsWantWrite // call again once the socket is writable
};

// A bidirectional byte channel owned by one TCP connection. One thread reads
// (Readable/Recv); any thread may Send (callers serialise whole frames above
// this layer, the channel keeps each Send call whole); Shutdown may come from
// any thread and wakes a reader blocked in Readable or Recv.
class TkbzIOHandler
{
public:
    virtual ~TkbzIOHandler() = default;

    // Waits up to ms (0: just test; negative: without limit) until Recv will
    // not block: bytes are readable, the peer closed, or the channel was shut down.
    virtual bool Readable(int ms) = 0;
    // Reads what is available, at most n bytes, blocking only when nothing is.
    // Returns 0 when the peer closed the channel. Raises EIdClosedSocket after
    // Shutdown/Close and EIdSocketError (or EIdTLSError) on failures.
    virtual std::size_t Recv(std::uint8_t* buffer, std::size_t n) = 0;
    // Sends all n bytes, honouring the send time-out; raises on failure.
    virtual void Send(const std::uint8_t* data, std::size_t n) = 0;
    // Sends a, then b, as one piece (a frame header and its payload without
    // copying the payload); the default copies small pairs, sends large ones in turn.
    virtual void Send2(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
    // Ends the connection in both directions (the peer sees the end) and wakes
    // a blocked reader. The descriptor itself is released by the destructor,
    // so a reader on another thread never touches a reused descriptor.
    virtual void Shutdown() noexcept = 0;
    // Shutdown, plus a TLS close notification where there is a session.
    virtual void Close() noexcept { Shutdown(); }
    // Ends our sending half only (the peer sees the end of the stream, with a
    // TLS close notification where there is a session); reading goes on.
    virtual void ShutdownWrite() noexcept {}
    // Ends a Readable wait at once (it returns false when nothing arrived), or
    // the next one when none is running: for a reader that has other work too,
    // such as writes queued by other threads. Any thread may call it.
    virtual void Wake() noexcept {}
    // Open, and neither shut down nor known to be closed by the peer.
    virtual bool Connected() const noexcept = 0;

    virtual TkbzSocketBinding Binding() const { return {}; }
    virtual bool IsTLS() const noexcept { return false; }
    // The protocol chosen by TLS ALPN, empty without one.
    virtual std::string NegotiatedALPN() const { return {}; }

    // ---- For engines that own non-blocking sockets (the epoll engine).
    // Sends what the socket takes now, without waiting, and returns the count
    // taken (0: none now; the rest is offered again once the socket is
    // writable, starting with the same bytes). Raises on failure. The default
    // sends everything, waiting as Send does.
    virtual std::size_t TrySend(const std::uint8_t* data, std::size_t n)
    {
        Send(data, n);
        return n;
    }
    // TrySend of a, then b, as one piece (a frame header and its payload leave
    // in one segment, so a peer's delayed acknowledgement never holds the
    // payload back behind the header); the count taken of both together. The
    // default copies small pairs, sends large ones in turn.
    virtual std::size_t TrySend2(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
    // One step of a handshake the channel still owes (a TLS session accepted
    // with its handshake left to the engine); raises when it fails.
    virtual TkbzHandshakeStep ContinueHandshake() { return TkbzHandshakeStep::hsDone; }
    // Holds enough written bytes that the socket has not taken yet for a
    // writer with more to send to hold back (queued messages stay queued).
    virtual bool Backlogged() const noexcept { return false; }

    // Socket options; channels without a socket ignore them.
    virtual void SetSendTimeout(int /*ms*/) {}
    virtual void SetKeepAlive(bool /*enabled*/, int /*timeMs*/, int /*intervalMs*/) {}
    virtual void SetNoDelay(bool /*noDelay*/) {}
};

// An owned socket descriptor; closes it when destroyed.
class TkbzSocket
{
public:
    TkbzSocket() = default;
    explicit TkbzSocket(int fd) noexcept : FHandle(fd) {}
    TkbzSocket(TkbzSocket&& other) noexcept : FHandle(std::exchange(other.FHandle, -1)) {}
    TkbzSocket& operator=(TkbzSocket&& other) noexcept;
    TkbzSocket(const TkbzSocket&) = delete;
    TkbzSocket& operator=(const TkbzSocket&) = delete;
    ~TkbzSocket();

    int Handle() const noexcept { return FHandle; }
    bool Valid() const noexcept { return FHandle >= 0; }
    int Release() noexcept { return std::exchange(FHandle, -1); }

private:
    int FHandle = -1;
};

// A plain TCP socket channel (also used for the socket under a TLS session).
// The socket stays in blocking mode so that SO_SNDTIMEO bounds a Send; reads
// wait in poll() together with an eventfd that Shutdown signals.
class TkbzSocketIOHandler : public TkbzIOHandler
{
public:
    // wakeAtOnce: the eventfd is made here (raising when it cannot be);
    // otherwise at the first wait that needs it, so that a channel that never
    // waits (an event loop's) costs one descriptor.
    explicit TkbzSocketIOHandler(TkbzSocket socket, bool wakeAtOnce = true);
    ~TkbzSocketIOHandler() override;

    bool Readable(int ms) override;
    std::size_t Recv(std::uint8_t* buffer, std::size_t n) override;
    void Send(const std::uint8_t* data, std::size_t n) override;
    void Send2(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) override;
    std::size_t TrySend(const std::uint8_t* data, std::size_t n) override;
    std::size_t TrySend2(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) override;
    void Shutdown() noexcept override;
    void ShutdownWrite() noexcept override;
    void Wake() noexcept override;
    bool Connected() const noexcept override;
    TkbzSocketBinding Binding() const override;
    void SetSendTimeout(int ms) override;
    void SetKeepAlive(bool enabled, int timeMs, int intervalMs) override;
    void SetNoDelay(bool noDelay) override;

    int Handle() const noexcept { return FSocket.Handle(); }
    // True once Shutdown ran (from any thread).
    bool IsShutdown() const noexcept { return FShutdown.load(); }
    // The descriptor that Wake and Shutdown signal, for a channel layered on
    // this one that waits on the socket itself; ClearWake consumes a Wake.
    // -1 when no descriptor is left to make it.
    int WakeHandle() const noexcept { return EnsureWake(); }
    void ClearWake() noexcept;

private:
    int EnsureWake() const noexcept;

    TkbzSocket FSocket;
    // eventfd that Shutdown and Wake signal, so a poll wakes at once; a Wake
    // before it exists is kept in FWakePending and signalled when it is made.
    mutable std::atomic<int> FWakeRead{-1};
    mutable std::atomic<bool> FWakePending{false};
    std::atomic<bool> FShutdown{false};
    std::atomic<bool> FPeerClosed{false};
    std::mutex FSendLock; // keeps each Send whole when several threads send
};

// Turns a freshly connected (or accepted) plain socket channel into the channel
// the connection will use, typically by running a TLS handshake over it.
// Raises when the handshake fails; may return the plain channel unchanged.
using TkbzTLSHandlerFactory =
    std::function<std::unique_ptr<TkbzIOHandler>(std::unique_ptr<TkbzSocketIOHandler>)>;

// Resolves host (IPv4 or IPv6 as asked; a literal address is used as it is)
// and opens a TCP connection within timeoutMs (0 or less: 30 seconds).
// boundPortMin/Max, when set, choose the local port. Raises EIdResolveError,
// EIdConnectTimeout or EIdSocketError.
// cancelFd, when not -1, is a descriptor that becomes readable to cancel the
// connect (EIdClosedSocket "Connect cancelled.").
TkbzSocket kbzConnectTCP(const std::string& host, std::uint16_t port, TwsIPVersion ipVersion,
                         int timeoutMs, std::uint16_t boundPortMin = 0,
                         std::uint16_t boundPortMax = 0, int cancelFd = -1);

// Raises the soft limit of open descriptors to the hard limit (once per
// process is enough; later calls just read it) and returns the soft limit.
int kbzRaiseDescriptorLimit() noexcept;

// Two connected in-memory channels for tests: every Send on one end becomes one
// chunk at the other end, and Recv hands out at most one chunk (or part of one),
// so a test decides exactly how the bytes are cut into reads.
std::pair<std::unique_ptr<TkbzIOHandler>, std::unique_ptr<TkbzIOHandler>> kbzMemoryIOHandlerPair();

// The buffered TCP connection of the transport: an I/O handler with an input
// buffer that one reading thread fills and consumes, a write buffer that lets a
// whole frame or request leave in one send, and the disconnect handling. The
// server keeps one per accepted socket; the TCP client derives from it.
//
// Threads: one thread reads (CheckForDataOnSource, ReadBytes, ReadLn, ...);
// any thread may write, clear the input buffer, test the state or Disconnect.
// The reader receives into its own scratch buffer and appends under a short
// lock, so a Disconnect or InputBufferClear from another thread never frees
// memory that a running read uses, and never waits for a blocked read.
class TkbzIdTCPConnection
{
public:
    TkbzIdTCPConnection();
    explicit TkbzIdTCPConnection(std::unique_ptr<TkbzIOHandler> handler);
    TkbzIdTCPConnection(const TkbzIdTCPConnection&) = delete;
    TkbzIdTCPConnection& operator=(const TkbzIdTCPConnection&) = delete;
    virtual ~TkbzIdTCPConnection();

    // Installs the channel of a new connection and resets the connection state
    // (input and write buffers, closed and disconnected flags). Waits for a
    // read in progress to end; call it while no other thread uses the connection.
    void SetIOHandler(std::unique_ptr<TkbzIOHandler> handler);
    // Takes the channel out (for wrapping it in TLS), leaving none installed.
    std::unique_ptr<TkbzIOHandler> ReleaseIOHandler();
    // Replaces the installed channel by wrap(channel) in place, keeping the
    // connection state and what is buffered (the intercept chain of a
    // connection that is up). Call it while no other thread uses the
    // connection (wrap runs without the connection's locks); without a channel
    // wrap is not called.
    void WrapIOHandler(
        const std::function<std::unique_ptr<TkbzIOHandler>(std::unique_ptr<TkbzIOHandler>)>& wrap);
    // The installed channel; for the reading thread and for set-up code.
    TkbzIOHandler* GetIOHandler() const noexcept { return FIOHandler.get(); }
    // Whether a channel is installed; safe from any thread.
    bool HasIOHandler() const;

    // Time limit in ms for ReadBytes and ReadLn waits; 0 or less waits without
    // limit (a Disconnect from another thread still ends the wait).
    int ReadTimeout = -1;

    // ---- Input buffer: filled and consumed by the reading thread; any thread may clear it.
    std::size_t InputBufferSize() const;
    bool InputBufferIsEmpty() const { return InputBufferSize() == 0; }
    // A copy of up to maxLength buffered bytes as text, without consuming them.
    std::string InputBufferAsString(std::size_t maxLength = static_cast<std::size_t>(-1)) const;
    // A copy of up to maxLength buffered bytes, without consuming them.
    std::vector<std::uint8_t>
    InputBufferPeek(std::size_t maxLength = static_cast<std::size_t>(-1)) const;
    // Drops up to n bytes from the front of the input buffer; returns the count dropped.
    std::size_t InputBufferRemove(std::size_t n);
    // For the reading thread: hands the buffered bytes to consume, which returns
    // how many of them it used; those are dropped and their count returned. No
    // copy is made; consume runs under the input lock, so it must only parse
    // (never block or call out).
    std::size_t
    InputBufferConsume(const std::function<std::size_t(std::span<const std::uint8_t>)>& consume);
    void InputBufferClear();
    // Waits up to ms (negative: without limit) for readable bytes and moves what
    // is readable (one piece of at most 64 KiB) into the input buffer; returns
    // the count added. A peer close is recorded (see CheckForDisconnect) and a
    // connection closed on our side just yields 0: neither raises.
    std::size_t CheckForDataOnSource(int ms);
    // Waits up to ms until the channel is readable, without reading.
    bool WaitReadable(int ms);
    // Ends the reading thread's current (or next) wait in CheckForDataOnSource
    // or WaitReadable early, so it can turn to other work; any thread.
    void WakeReader() noexcept;
    // Appends up to maxCount already-buffered bytes to dst without waiting; returns the count.
    std::size_t ReadAvailable(std::vector<std::uint8_t>& dst,
                              std::size_t maxCount = static_cast<std::size_t>(-1));
    // Takes exactly count bytes, waiting for more up to ReadTimeout; appended to
    // dst, or replacing its content when append is false. Raises EIdReadTimeout,
    // EIdConnClosedGracefully (the peer closed first) or EIdClosedSocket (we
    // disconnected); nothing is consumed then.
    void ReadBytes(std::vector<std::uint8_t>& dst, std::size_t count, bool append = true);
    // One line without its LF (and a CR before it), waiting up to ReadTimeout;
    // a line longer than maxLength raises EIdMaxLineLengthExceeded.
    std::string ReadLn(std::size_t maxLength = 16384);
    // Lines up to the first empty one (consumed, not returned), within timeoutMs
    // in all (0 or less: ReadTimeout) and at most maxBytes in all.
    std::vector<std::string> ReadHeaderLines(int timeoutMs, std::size_t maxBytes = 16384);

    // ---- Output. Without an open write buffer every call sends at once.
    // Raises EIdNotConnected without a channel, EIdClosedSocket after Disconnect.
    void Write(const std::uint8_t* data, std::size_t n);
    void Write(std::span<const std::uint8_t> bytes) { Write(bytes.data(), bytes.size()); }
    // a then b as one write (a frame header and its payload, the payload not copied).
    void Write2(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
    void Write(std::string_view text);
    void WriteLn(std::string_view text); // text + CR LF
    void WriteBufferOpen();
    void WriteBufferFlush();
    void WriteBufferClose(); // flushes and closes
    void WriteBufferClear(); // discards unsent bytes and closes the buffer
    bool WriteBufferOpened() const;

    // ---- State
    // Not disconnected on our side, and the channel is open or unread bytes
    // remain (so a reader can drain what arrived before the peer closed).
    bool Connected() const;
    // When the peer has closed (or the socket is gone) and the input buffer is
    // empty (or ignoreBuffer): raises EIdConnClosedGracefully when raiseException,
    // and returns true either way.
    bool CheckForDisconnect(bool raiseException = true, bool ignoreBuffer = false);
    // True once a read found the stream ended by the peer.
    bool PeerClosed() const noexcept { return FPeerClosed.load(); }
    // Ends the connection (wakes a reader blocked on it; a TLS channel sends its
    // close notification when notifyPeer). Raises the status notification
    // OnDisconnected once, on the calling thread.
    virtual void Disconnect(bool notifyPeer = true);
    // For the reading thread, after its last write (a close frame sent because
    // of the peer's error): ends our sending half and reads and drops what the
    // peer still sends until it ends its stream, sends nothing for idleMs, or
    // totalMs pass; so that the socket is not closed over unread bytes (which
    // resets the connection and can destroy our last frame before the peer
    // has read it).
    void LingerAfterClose(int totalMs, int idleMs);
    // The first half of LingerAfterClose, for owners that keep the linger in
    // their steps instead of waiting: ends our sending half (after what is
    // queued). False when the connection is gone already.
    bool HalfClose();
    bool Disconnected() const noexcept { return FDisconnected.load(); }
    // The channel holds written bytes the socket has not taken yet, enough for
    // a writer with more to hold back (see TkbzIOHandler::Backlogged).
    bool WriteBacklogged() const;
    // Changes whenever a new channel is installed, so that a late reaction to
    // the end of one connection can tell it does not concern the next one.
    std::uint64_t Generation() const noexcept { return FGeneration.load(); }

    TkbzSocketBinding Binding() const;

    // Status notification: the connection was disconnected (raised once, on
    // the thread that disconnected it).
    TkbzEvent<> OnDisconnected;

protected:
    void RaiseDisconnected();
    // Shuts the channel down without raising OnDisconnected (destruction, failed connect).
    void ShutdownQuietly(bool notifyPeer) noexcept;
    // Marks the connection disconnected and shuts the channel down (waking a
    // blocked reader); OnDisconnected is left to the caller (RaiseDisconnected).
    void ShutdownChannel(bool notifyPeer) noexcept;

private:
    enum class TWait : std::uint8_t
    {
        wData,
        wTimeout,
        wPeerClosed,
        wDisconnected
    };
    // One read for ReadBytes/ReadLn: waits until msLeft (negative: no limit).
    TWait FillOnce(int msLeft);
    void CompactInput(); // under FInputLock
    [[noreturn]] void RaiseWaitFailure(TWait w) const;

    // Lock order: FReadLock, then FWriteLock, then FHandlerLock / FInputLock.
    std::unique_ptr<TkbzIOHandler> FIOHandler;
    mutable std::mutex FHandlerLock; // short: pointer swaps against Shutdown/Binding/Connected
    std::mutex FReadLock;            // held by the one reader for Readable+Recv
    mutable std::mutex FInputLock;
    std::vector<std::uint8_t> FInput;
    std::size_t FInputStart = 0; // consumed bytes at the front of FInput
    // Bumped when another thread drops buffered bytes, so a line scan starts over.
    std::uint64_t FInputEpoch = 1;
    mutable std::mutex FWriteLock;
    bool FWriteBuffering = false;
    std::vector<std::uint8_t> FWriteBuffer;
    std::atomic<bool> FPeerClosed{false};
    std::atomic<bool> FDisconnected{false};
    std::atomic<bool> FNotified{false};
    std::atomic<std::uint64_t> FGeneration{0};
};

} // namespace kbz
