// The epoll engine of the TCP listener: event loops that own non-blocking
// sockets and run each connection's step (the listener's OnConnect, OnExecute
// and OnDisconnect) when bytes arrive, the connection is woken or its wait
// limit passes, and optional workers that run those steps instead of the
// loops. Writes from any thread go through the connection's channel: what the
// socket does not take at once is queued, and the connection's loop sends it
// when the socket is writable again.
#pragma once

#include "transport/kbzSocket_Classes.h"
#include "transport/kbzTCP_Server.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <queue>
#include <unordered_map>
#include <vector>

namespace kbz::detail
{

class EpollEngine;
class EpollLoop;
struct EpollConn;

// What one step of a connection left to do.
struct EpollStepResult
{
    int WaitLimit = -1;    // ms until the next step at the latest (negative: none)
    bool Finished = false; // the connection has ended (OnDisconnect raised)
    bool Again = false;    // bytes may be waiting that no readiness will announce
};

// The channel of a connection on the epoll engine, over the plain or TLS one.
// Never waits to write: a write sends what the socket takes and queues the
// rest for the loop; an end asked for while bytes are queued waits for them
// (for a while). Reading goes to the inner channel, from the step's thread.
class EpollChannel final : public TkbzIOHandler
{
public:
    // Queued bytes over which writers with more to send hold back.
    static constexpr std::size_t kSoftBacklog = 1024 * 1024;
    // Queued bytes at which a write fails: a peer that takes nothing cannot
    // make the server hold without bound.
    static constexpr std::size_t kHardBacklog = 64 * 1024 * 1024;

    EpollChannel(std::unique_ptr<TkbzIOHandler> inner, std::weak_ptr<EpollConn> owner);
    ~EpollChannel() override;

    bool Readable(int ms) override { return FInner->Readable(ms); }
    std::size_t Recv(std::uint8_t* buffer, std::size_t n) override
    {
        return FInner->Recv(buffer, n);
    }
    void Send(const std::uint8_t* data, std::size_t n) override;
    void Send2(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) override;
    void Shutdown() noexcept override { RequestEnd(false); }
    void Close() noexcept override { RequestEnd(true); }
    void ShutdownWrite() noexcept override;
    void Wake() noexcept override;
    bool Connected() const noexcept override;
    bool Backlogged() const noexcept override;
    TkbzSocketBinding Binding() const override { return FInner->Binding(); }
    bool IsTLS() const noexcept override { return FInner->IsTLS(); }
    std::string NegotiatedALPN() const override { return FInner->NegotiatedALPN(); }
    void SetSendTimeout(int ms) override { FInner->SetSendTimeout(ms); }
    void SetKeepAlive(bool enabled, int timeMs, int intervalMs) override
    {
        FInner->SetKeepAlive(enabled, timeMs, intervalMs);
    }
    void SetNoDelay(bool noDelay) override { FInner->SetNoDelay(noDelay); }

    // ---- For the loop.
    struct FlushResult
    {
        bool Pending = false;     // bytes remain: wait for the socket to be writable
        bool BacklogGone = false; // writers that held back may go on
        bool Ended = false;       // asked to end and everything is sent (or failed)
    };
    FlushResult Flush() noexcept;
    bool HasQueued() const;
    // The end is due now whatever is queued (the linger passed, the listener stops).
    void ForceEnd() noexcept;
    // The connection has left its loop: wakes and flush requests go nowhere.
    void Detach() noexcept;

private:
    void Queue(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
    void RequestEnd(bool notifyPeer) noexcept;
    void EndNow() noexcept; // under FLock
    void Post(bool flush) noexcept;

    std::unique_ptr<TkbzIOHandler> FInner;
    mutable std::mutex FLock;
    std::deque<std::vector<std::uint8_t>> FQueue;
    std::size_t FFrontSent = 0;
    std::size_t FQueued = 0;
    mutable bool FBacklogHigh = false; // a writer was told to hold back
    bool FEndAsked = false;
    bool FEndNotify = false;
    bool FEndDone = false;
    bool FWriteEndAsked = false;
    bool FFailed = false;
    std::weak_ptr<EpollConn> FOwner;
};

// Who runs the steps of an engine's connections.
struct EpollWorkers
{
    // Fixed: Count workers (0: the loops run the steps). Pooled: a pool that
    // keeps up to Count idle workers, makes more while every one is busy, up
    // to Max (0: no cap), and over Max lets the steps wait; its steps may block.
    int Count = 0;
    bool Pooled = false;
    int Max = 0;
};

class EpollEngine
{
public:
    // Starts loops (0: one per core) and the fixed workers.
    EpollEngine(TkbzIdTCPServer& server, int loops, EpollWorkers workers);
    EpollEngine(const EpollEngine&) = delete;
    EpollEngine& operator=(const EpollEngine&) = delete;
    ~EpollEngine();

    // An accepted connection; handshake: its channel owes a TLS handshake
    // (ContinueHandshake) that the loop drives first, within handshakeMs.
    void Add(const TkbzIdContextPtr& context, int fd, bool handshake, int handshakeMs);
    // Waits until every connection has ended (the listener aborted them),
    // then ends the loops and the workers.
    void Stop() noexcept;

    // A step from a loop to a worker.
    void Dispatch(const std::shared_ptr<EpollConn>& c);
    bool HasWorkers() const noexcept { return FHasWorkers; }
    TkbzIdTCPServer& Server() const noexcept { return FServer; }

private:
    // Under FWorkLock.
    void StartWorker();
    void Worker(std::uint64_t id) noexcept;
    void JoinWorkers() noexcept;

    TkbzIdTCPServer& FServer;
    const EpollWorkers FOptions;
    const bool FHasWorkers;
    std::vector<std::unique_ptr<EpollLoop>> FLoops;
    std::atomic<std::size_t> FNext{0};

    std::mutex FWorkLock;
    std::condition_variable FWorkWake;
    std::deque<std::shared_ptr<EpollConn>> FWork;
    bool FWorkStop = false;
    std::size_t FIdle = 0;
    std::uint64_t FNextWorker = 0;
    // Last: they end before what they use. A pooled worker that is not
    // needed any more moves itself to FRetired, for the next to join it.
    std::vector<std::pair<std::uint64_t, SmallStackThread>> FWorkers;
    std::vector<SmallStackThread> FRetired;
};

} // namespace kbz::detail
