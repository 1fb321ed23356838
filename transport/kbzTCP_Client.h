// The client end of the transport: a TCP client that connects (optionally
// through a proxy tunnel and TLS) and owns one background read thread, which
// waits for bytes and hands them to the owner's OnRead handler.
#pragma once

#include "base/kbzBase_Events.h"
#include "base/kbzWebSocket_Classes_SyncObjs.h"
#include "base/kbzWebSocket_Types.h"
#include "transport/kbzSocket_Classes.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace kbz
{

class TkbzIdTCPClient;
class TkbzTCPReadThread;

// Handlers may be replaced from any thread; a raised event runs a copy.
using TkbzTCPClientEvent = TkbzEvent<TkbzIdTCPClient&>;
using TkbzReadThreadExceptionEvent = TkbzEvent<TkbzIdTCPClient&, const std::exception&>;

// Lets any number of threads wait until a read thread has run its last pass,
// also after the thread object itself is gone.
class TkbzReadThreadEnd
{
public:
    void Signal() noexcept;
    // Waits up to ms (negative: without limit); returns whether the thread ended.
    bool Wait(int ms = -1);
    bool Ended() const;

private:
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    bool FEnded = false;
};

// The read thread of a TkbzIdTCPClient: the only reader of its connection.
// One pass: OnThread; when armed (ReadSocket) and nothing is buffered, a wait
// for bytes, a wake (WakeReader) or the time limit OnThread left
// (SetReadWaitLimit), then one read; OnRead while bytes are buffered; then the
// peer-close check. A disarmed thread sleeps until it is armed or terminated. Errors go to the
// client's OnReadException and end the thread (default mode) or disarm it
// (command mode). No exception leaves the thread.
class TkbzTCPReadThread : public TkbzIdThread
{
public:
    TkbzTCPReadThread(TkbzIdTCPClient* client, TkbzTCPMode mode);
    ~TkbzTCPReadThread() override;

    bool GetReadSocket() const noexcept { return FReadSocket.load(); }
    // Arming wakes a thread that idles because it was disarmed.
    void SetReadSocket(bool value);
    // Whether the first pass has begun.
    bool Executed() const noexcept { return FExecuted.load(); }
    TkbzTCPMode GetTCPMode() const noexcept { return FTCPMode; }

    // Termination is honoured in every mode, also before the first pass.
    void Terminate() noexcept override;
    // The owner is going away: the thread stops touching it.
    void DetachClient() noexcept { FClient.store(nullptr); }
    const std::shared_ptr<TkbzReadThreadEnd>& EndState() const noexcept { return FEnd; }

protected:
    void Run() override;
    void DoTerminated() noexcept override;

private:
    // Reports the error (unless our own Disconnect caused it), then ends the
    // connection the thread no longer reads; generation tells whether a new
    // connection has been made meanwhile.
    void HandleReadException(const std::exception& e, std::uint64_t generation) noexcept;
    // Idles until armed or terminated.
    void WaitArmed();

    std::atomic<TkbzIdTCPClient*> FClient;
    const TkbzTCPMode FTCPMode;
    std::atomic<bool> FReadSocket{false};
    std::atomic<bool> FExecuted{false};
    bool FStalled = false; // the last OnRead consumed nothing: wait for more bytes first
    std::shared_ptr<TkbzReadThreadEnd> FEnd = std::make_shared<TkbzReadThreadEnd>();
    std::mutex FArmLock;
    std::condition_variable FArmChanged;
};

class TkbzIdTCPClient : public TkbzIdTCPConnection
{
public:
    TkbzIdTCPClient();
    ~TkbzIdTCPClient() override;

    // ---- Connection parameters, set before Connect.
    std::string Host;
    std::uint16_t Port = 0;
    TwsIPVersion IPVersion = TwsIPVersion::ipV4;
    int ConnectTimeout = 0; // ms; 0 or less: 30 s
    bool UseNagle = true;
    std::uint16_t BoundPortMin = 0;
    std::uint16_t BoundPortMax = 0;

    // ---- Hooks and events.
    // Runs right after the TCP connect, on the plain channel (proxy tunnels);
    // raises to fail the connect.
    TkbzTCPClientEvent OnConnectThrough;
    // Wraps the plain channel (after the tunnel), typically in TLS.
    TkbzTLSHandlerFactory TLSHandlerFactory;
    // The connection is up; the read thread is not armed yet, so a request
    // written here is answered to the read thread. Raising fails the connect.
    TkbzTCPClientEvent OnConnected;
    // Read thread: at the start of every pass.
    TkbzTCPClientEvent OnThread;
    // Read thread: bytes are buffered.
    TkbzTCPClientEvent OnRead;
    // Read thread: a pass raised (the graceful-close exception when the peer
    // closed). Not raised for errors caused by our own Disconnect. Afterwards
    // the connection is disconnected (OnDisconnected follows, once).
    TkbzReadThreadExceptionEvent OnReadException;

    // Connects to Host:Port (see the hooks above), then arms the read thread.
    // Failures raise (resolution, refusal, time-out, tunnel, TLS, OnConnected).
    void Connect();
    // Same over a channel that is already open (in-memory pairs, accepted
    // sockets): no resolution, tunnel or TLS.
    void Connect(std::unique_ptr<TkbzIOHandler> handler);
    // Only inside OnConnectThrough: closes the TCP connection to Host:Port and makes a new one
    // (for a proxy that ends the connection after asking for credentials). Raises as Connect.
    void Reopen();
    // From another thread: ends a Connect in progress at once (its TCP connect
    // or TLS handshake), which then raises EIdClosedSocket. A Connect that
    // starts later is not affected.
    void CancelConnect() noexcept;
    // Ends the connection: disarms (command mode) or terminates the read
    // thread, shuts the channel down (which wakes the thread), waits for the
    // thread's last pass unless called on it, then clears the input buffer.
    // Callers must not hold a lock that the OnRead handler takes.
    void Disconnect(bool notifyPeer = true) override;
    // The connected test. It does not queue behind the read thread's wait:
    // the connection state is safe to read from any thread.
    bool Connected() const;

    virtual void EnterCS() noexcept { FCS.Acquire(); }
    virtual void LeaveCS() noexcept { FCS.Release(); }

    // For the OnThread handler: how long the read thread may wait for bytes or
    // a wake in this pass (ms; negative: no limit). Reset before every pass.
    void SetReadWaitLimit(int ms) noexcept { FReadWaitLimit.store(ms); }
    int ReadWaitLimit() const noexcept { return FReadWaitLimit.load(); }

    TkbzTCPMode GetTCPMode() const noexcept { return FTCPMode.load(); }
    // Takes effect for the next read thread created.
    void SetTCPMode(TkbzTCPMode mode) noexcept { FTCPMode.store(mode); }
    // The read thread, created (running, not armed) on first use.
    TkbzTCPReadThread& TCPRead();
    bool HasReadThread() const;

protected:
    friend class TkbzTCPReadThread;
    virtual void DoOnThread();
    virtual void DoOnRead();
    virtual void DoOnReadException(const std::exception& e);

private:
    void FinishConnect();
    // A new socket to Host:Port, cancellable through cancelFd and CancelConnect.
    std::unique_ptr<TkbzSocketIOHandler> OpenSocket(int cancelFd);
    void DisposeReadThread() noexcept;

    // A Connect in progress: the descriptor that cancels its TCP connect, and a
    // second descriptor of its socket through which a TLS handshake is ended.
    std::mutex FCancelLock;
    int FCancelFd = -1;
    int FPendingSocket = -1;
    bool FCancelled = false;

    mutable TkbzCriticalSection FCS; // client lock, for the owner's own use
    std::atomic<int> FReadWaitLimit{-1};
    std::atomic<TkbzTCPMode> FTCPMode{TkbzTCPMode::tcpmDefault};
    mutable std::mutex FThreadLock; // guards the FTCPRead pointer, never held while waiting
    std::unique_ptr<TkbzTCPReadThread> FTCPRead;
};

} // namespace kbz
