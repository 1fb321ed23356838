#include "transport/kbzTCP_Epoll.h"

#include "base/kbzBase_Helpers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace kbz::detail
{

namespace
{

// How long a connection that has ended may take to hand its last queued bytes
// to the socket before it is closed over them.
constexpr int kEndLingerMs = 5000;
constexpr std::uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP;

} // namespace

// One connection on a loop. The loop's fields are touched by its loop only;
// Channel is set by the first step, which may run on a worker.
struct EpollConn : std::enable_shared_from_this<EpollConn>
{
    enum class TPhase : std::uint8_t
    {
        Handshake, // the loop drives the channel's TLS handshake
        Open,      // steps run
        Ending     // ended; its last queued bytes are leaving
    };

    TkbzIdContextPtr Context;
    EpollLoop* Loop = nullptr;
    int Fd = -1;
    std::atomic<EpollChannel*> Channel{nullptr};
    std::exception_ptr Failure; // raised by the next step (a failed handshake)
    int HandshakeMs = 10000;

    // ---- Loop only (a worker's step is handed over through the loop's mail).
    TPhase Phase = TPhase::Open;
    bool First = true;
    bool StepRunning = false;
    bool StepWanted = false;
    bool Gone = false;
    std::uint32_t Mask = 0;
    std::uint64_t Seq = 0; // the timer in force; older heap entries are stale
};

class EpollLoop
{
public:
    enum class TMailKind : std::uint8_t
    {
        Add,
        Wake,
        Flush,
        StepDone
    };
    struct Mail
    {
        TMailKind Kind;
        std::shared_ptr<EpollConn> Conn;
        EpollStepResult Result;
    };

    explicit EpollLoop(EpollEngine& engine) : FEngine(engine)
    {
        FEp = ::epoll_create1(EPOLL_CLOEXEC);
        FEv = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (FEp < 0 || FEv < 0)
        {
            const int err = errno;
            Close();
            throw EIdSocketError("Socket Error # " + std::to_string(err) + ": " +
                                 std::strerror(err) + ".");
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = nullptr; // the wake descriptor
        ::epoll_ctl(FEp, EPOLL_CTL_ADD, FEv, &ev);
        FThread = SmallStackThread([this] { Run(); });
    }
    EpollLoop(const EpollLoop&) = delete;
    EpollLoop& operator=(const EpollLoop&) = delete;
    ~EpollLoop()
    {
        StopWhenEmpty();
        FThread.join();
        Close();
    }

    void Post(Mail mail) noexcept
    {
        try
        {
            // Signalled under the lock: once the loop has taken the last mail
            // of its last connection it may end and close the descriptor, and
            // its last look at the mail takes this lock.
            std::lock_guard lock(FMailLock);
            FMail.push_back(std::move(mail));
            Signal();
        }
        catch (...)
        {}
    }

    // Ends the loop once it holds no connection.
    void StopWhenEmpty() noexcept
    {
        {
            std::lock_guard lock(FMailLock);
            FStopping = true;
        }
        Signal();
    }

    // Thread-safe: the step (any executor) of the listener's connection.
    EpollStepResult Step(EpollConn& c) noexcept;

private:
    struct Timer
    {
        std::uint64_t Due;
        std::uint64_t Seq;
        std::weak_ptr<EpollConn> Conn;
        bool operator>(const Timer& other) const noexcept { return Due > other.Due; }
    };

    void Close() noexcept
    {
        if (FEp >= 0)
        {
            ::close(FEp);
            FEp = -1;
        }
        if (FEv >= 0)
        {
            ::close(FEv);
            FEv = -1;
        }
    }
    void Signal() noexcept
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t w = ::write(FEv, &one, sizeof(one));
    }

    void Run() noexcept;
    void OnMail(Mail& mail);
    void OnIO(const std::shared_ptr<EpollConn>& c, std::uint32_t events);
    void OnTimer(const std::shared_ptr<EpollConn>& c);
    void DriveHandshake(const std::shared_ptr<EpollConn>& c);
    void ScheduleStep(const std::shared_ptr<EpollConn>& c);
    void Apply(const std::shared_ptr<EpollConn>& c, const EpollStepResult& result);
    void FlushConn(const std::shared_ptr<EpollConn>& c);
    void SetMask(EpollConn& c, std::uint32_t mask) noexcept;
    std::uint32_t OpenMask(const EpollConn& c) const;
    void SetTimer(const std::shared_ptr<EpollConn>& c, int ms);
    void Remove(const std::shared_ptr<EpollConn>& c) noexcept;

    EpollEngine& FEngine;
    int FEp = -1;
    int FEv = -1;
    std::mutex FMailLock;
    std::vector<Mail> FMail;
    bool FStopping = false; // under FMailLock
    std::unordered_map<EpollConn*, std::shared_ptr<EpollConn>> FConns;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> FTimers;
    std::vector<std::shared_ptr<EpollConn>> FReady;
    SmallStackThread FThread; // last: it ends before what it uses
};

// ---- EpollChannel ----

EpollChannel::EpollChannel(std::unique_ptr<TkbzIOHandler> inner, std::weak_ptr<EpollConn> owner)
    : FInner(std::move(inner)), FOwner(std::move(owner))
{}

EpollChannel::~EpollChannel() = default;

void EpollChannel::Send(const std::uint8_t* data, std::size_t n)
{
    Queue({data, n}, {});
}

void EpollChannel::Send2(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    Queue(a, b);
}

void EpollChannel::Queue(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    bool posted = false;
    {
        std::lock_guard lock(FLock);
        if (FEndAsked || FFailed)
        {
            throw EIdClosedSocket("Disconnected.");
        }
        if (FQueued >= kHardBacklog)
        {
            throw EIdSocketError("Socket Error # 105: the peer takes nothing of what is sent.");
        }
        std::size_t takenA = 0;
        std::size_t takenB = 0;
        if (FQueue.empty())
        {
            const std::size_t taken = b.empty()
                                          ? (a.empty() ? 0 : FInner->TrySend(a.data(), a.size()))
                                          : FInner->TrySend2(a, b);
            takenA = std::min(taken, a.size());
            takenB = taken - takenA;
        }
        const std::size_t rest = (a.size() - takenA) + (b.size() - takenB);
        if (rest == 0)
        {
            return;
        }
        std::vector<std::uint8_t> piece;
        piece.reserve(rest);
        piece.insert(piece.end(), a.begin() + static_cast<std::ptrdiff_t>(takenA), a.end());
        piece.insert(piece.end(), b.begin() + static_cast<std::ptrdiff_t>(takenB), b.end());
        posted = FQueue.empty();
        FQueue.push_back(std::move(piece));
        FQueued += rest;
    }
    if (posted)
    {
        Post(true); // the loop waits for the socket to be writable
    }
}

EpollChannel::FlushResult EpollChannel::Flush() noexcept
{
    FlushResult r;
    std::lock_guard lock(FLock);
    while (!FQueue.empty() && !FFailed)
    {
        std::vector<std::uint8_t>& front = FQueue.front();
        std::size_t k = 0;
        try
        {
            k = FInner->TrySend(front.data() + FFrontSent, front.size() - FFrontSent);
        }
        catch (...)
        {
            // The connection is gone: what is queued never leaves. The inner
            // channel's end makes the connection's next step end it.
            FFailed = true;
            FQueue.clear();
            FQueued = 0;
            FFrontSent = 0;
            FInner->Shutdown();
            FEndDone = true;
            break;
        }
        FFrontSent += k;
        FQueued -= k;
        if (FFrontSent < front.size())
        {
            break;
        }
        FQueue.pop_front();
        FFrontSent = 0;
    }
    if (FQueue.empty())
    {
        if (FWriteEndAsked)
        {
            FWriteEndAsked = false;
            FInner->ShutdownWrite();
        }
        if (FEndAsked && !FEndDone)
        {
            EndNow();
        }
    }
    r.Pending = !FQueue.empty();
    if (FBacklogHigh && FQueued <= kSoftBacklog)
    {
        FBacklogHigh = false;
        r.BacklogGone = true;
    }
    r.Ended = FEndDone;
    return r;
}

bool EpollChannel::HasQueued() const
{
    std::lock_guard lock(FLock);
    return !FQueue.empty();
}

void EpollChannel::EndNow() noexcept
{
    FEndDone = true;
    if (FEndNotify)
    {
        FInner->Close();
    }
    else
    {
        FInner->Shutdown();
    }
}

void EpollChannel::RequestEnd(bool notifyPeer) noexcept
{
    {
        std::lock_guard lock(FLock);
        if (!FEndAsked)
        {
            FEndAsked = true;
            FEndNotify = notifyPeer;
        }
        if (!FEndDone && (FQueue.empty() || FFailed))
        {
            EndNow();
        }
    }
    // The connection's step sees the end (as a reader woken by a shutdown would).
    Post(false);
}

void EpollChannel::ForceEnd() noexcept
{
    std::lock_guard lock(FLock);
    FEndAsked = true;
    if (!FEndDone)
    {
        EndNow();
    }
}

void EpollChannel::ShutdownWrite() noexcept
{
    std::lock_guard lock(FLock);
    if (FQueue.empty())
    {
        FInner->ShutdownWrite();
    }
    else
    {
        FWriteEndAsked = true;
    }
}

void EpollChannel::Wake() noexcept
{
    Post(false);
}

bool EpollChannel::Connected() const noexcept
{
    {
        std::lock_guard lock(FLock);
        if (FEndAsked || FFailed)
        {
            return false;
        }
    }
    return FInner->Connected();
}

bool EpollChannel::Backlogged() const noexcept
{
    std::lock_guard lock(FLock);
    if (FQueued > kSoftBacklog)
    {
        FBacklogHigh = true;
        return true;
    }
    return false;
}

void EpollChannel::Detach() noexcept
{
    std::lock_guard lock(FLock);
    FOwner.reset();
}

void EpollChannel::Post(bool flush) noexcept
{
    // Under the lock that Detach takes, so that the loop cannot be gone meanwhile.
    std::lock_guard lock(FLock);
    if (std::shared_ptr<EpollConn> owner = FOwner.lock())
    {
        EpollLoop* loop = owner->Loop;
        loop->Post({flush ? EpollLoop::TMailKind::Flush : EpollLoop::TMailKind::Wake,
                    std::move(owner),
                    {}});
    }
}

// ---- EpollLoop ----

EpollStepResult EpollLoop::Step(EpollConn& c) noexcept
{
    const bool first = c.First;
    c.First = false;
    std::exception_ptr failure = std::exchange(c.Failure, nullptr);
    std::weak_ptr<EpollConn> self = c.weak_from_this();
    return FEngine.Server().EngineStep(c.Context, first, failure, [&c, self] {
        EpollChannel* raw = nullptr;
        c.Context->Connection().WrapIOHandler([&](std::unique_ptr<TkbzIOHandler> inner) {
            auto channel = std::make_unique<EpollChannel>(std::move(inner), self);
            raw = channel.get();
            return channel;
        });
        c.Channel.store(raw);
    });
}

void EpollLoop::Run() noexcept
{
    std::vector<epoll_event> events(256);
    for (;;)
    {
        try
        {
            std::vector<Mail> mail;
            bool stopping = false;
            {
                std::lock_guard lock(FMailLock);
                mail.swap(FMail);
                stopping = FStopping;
            }
            for (auto& m : mail)
            {
                OnMail(m);
            }
            mail.clear();
            const std::uint64_t now = kbzGetTicks();
            while (!FTimers.empty() && FTimers.top().Due <= now)
            {
                Timer t = FTimers.top();
                FTimers.pop();
                auto c = t.Conn.lock();
                if (c && !c->Gone && c->Seq == t.Seq)
                {
                    OnTimer(c);
                }
            }
            std::vector<std::shared_ptr<EpollConn>> ready;
            ready.swap(FReady);
            for (auto& c : ready)
            {
                ScheduleStep(c);
            }
            if (stopping)
            {
                // What ended keeps no loop alive: its last bytes are dropped.
                std::vector<std::shared_ptr<EpollConn>> ending;
                for (auto& [raw, c] : FConns)
                {
                    if (c->Phase == EpollConn::TPhase::Ending)
                    {
                        ending.push_back(c);
                    }
                }
                for (auto& c : ending)
                {
                    Remove(c);
                }
                if (FConns.empty())
                {
                    std::lock_guard lock(FMailLock);
                    if (FMail.empty())
                    {
                        return;
                    }
                    continue;
                }
            }
            int timeout = -1;
            if (!FReady.empty())
            {
                timeout = 0;
            }
            else
            {
                while (!FTimers.empty())
                {
                    const Timer& t = FTimers.top();
                    auto c = t.Conn.lock();
                    if (!c || c->Gone || c->Seq != t.Seq)
                    {
                        FTimers.pop(); // stale
                        continue;
                    }
                    const std::uint64_t at = kbzGetTicks();
                    timeout = t.Due <= at ? 0
                                          : static_cast<int>(std::min<std::uint64_t>(
                                                t.Due - at, 24u * 3600 * 1000));
                    break;
                }
            }
            const int n =
                ::epoll_wait(FEp, events.data(), static_cast<int>(events.size()), timeout);
            for (int i = 0; i < n; ++i)
            {
                void* ptr = events[static_cast<std::size_t>(i)].data.ptr;
                if (ptr == nullptr)
                {
                    std::uint64_t count = 0;
                    [[maybe_unused]] const ssize_t r = ::read(FEv, &count, sizeof(count));
                    continue;
                }
                auto it = FConns.find(static_cast<EpollConn*>(ptr));
                if (it != FConns.end())
                {
                    std::shared_ptr<EpollConn> c = it->second;
                    OnIO(c, events[static_cast<std::size_t>(i)].events);
                }
            }
        }
        catch (...)
        {
            // Out of memory at worst: the loop goes on with what it holds.
        }
    }
}

void EpollLoop::OnMail(Mail& m)
{
    const std::shared_ptr<EpollConn>& c = m.Conn;
    switch (m.Kind)
    {
    case TMailKind::Add: {
        epoll_event ev{};
        ev.events = kReadEvents;
        ev.data.ptr = c.get();
        if (::epoll_ctl(FEp, EPOLL_CTL_ADD, c->Fd, &ev) != 0)
        {
            const int err = errno;
            c->Failure = std::make_exception_ptr(EIdSocketError(
                "Socket Error # " + std::to_string(err) + ": " + std::strerror(err) + "."));
            c->Phase = EpollConn::TPhase::Open;
            // Not registered: the step runs at once and ends it.
            FConns.emplace(c.get(), c);
            c->Mask = 0;
            ScheduleStep(c);
            return;
        }
        c->Mask = kReadEvents;
        FConns.emplace(c.get(), c);
        if (c->Phase == EpollConn::TPhase::Handshake)
        {
            SetTimer(c, c->HandshakeMs);
            DriveHandshake(c);
        }
        else
        {
            ScheduleStep(c);
        }
        return;
    }
    case TMailKind::Wake:
        if (c->Gone)
        {
            return;
        }
        if (c->Phase == EpollConn::TPhase::Ending)
        {
            FlushConn(c);
        }
        else if (c->Phase == EpollConn::TPhase::Open)
        {
            ScheduleStep(c);
        }
        return;
    case TMailKind::Flush:
        if (!c->Gone)
        {
            FlushConn(c);
        }
        return;
    case TMailKind::StepDone:
        if (!c->Gone)
        {
            Apply(c, m.Result);
        }
        return;
    }
}

void EpollLoop::OnIO(const std::shared_ptr<EpollConn>& c, std::uint32_t events)
{
    switch (c->Phase)
    {
    case EpollConn::TPhase::Handshake:
        DriveHandshake(c);
        return;
    case EpollConn::TPhase::Ending:
        if ((events & (EPOLLHUP | EPOLLERR)) != 0)
        {
            Remove(c);
            return;
        }
        FlushConn(c);
        return;
    case EpollConn::TPhase::Open:
        if ((events & EPOLLOUT) != 0)
        {
            FlushConn(c);
            if (c->Gone || c->Phase != EpollConn::TPhase::Open)
            {
                return;
            }
        }
        if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0)
        {
            if (c->StepRunning && (events & (EPOLLHUP | EPOLLERR)) != 0)
            {
                // Reported whatever the mask: quiet until the running step is done.
                SetMask(*c, c->Mask | EPOLLONESHOT);
            }
            ScheduleStep(c);
        }
        return;
    }
}

void EpollLoop::OnTimer(const std::shared_ptr<EpollConn>& c)
{
    switch (c->Phase)
    {
    case EpollConn::TPhase::Handshake:
        c->Failure = std::make_exception_ptr(EIdTLSError("TLS handshake failed: no answer within " +
                                                         std::to_string(c->HandshakeMs) + " ms"));
        c->Phase = EpollConn::TPhase::Open;
        ScheduleStep(c);
        return;
    case EpollConn::TPhase::Ending:
        Remove(c);
        return;
    case EpollConn::TPhase::Open:
        ScheduleStep(c);
        return;
    }
}

void EpollLoop::DriveHandshake(const std::shared_ptr<EpollConn>& c)
{
    TkbzHandshakeStep step = TkbzHandshakeStep::hsDone;
    try
    {
        TkbzIOHandler* handler = c->Context->Connection().GetIOHandler();
        if (handler)
        {
            step = handler->ContinueHandshake();
        }
    }
    catch (...)
    {
        c->Failure = std::current_exception();
    }
    if (c->Failure || step == TkbzHandshakeStep::hsDone)
    {
        c->Phase = EpollConn::TPhase::Open;
        ++c->Seq; // the handshake's time limit is over
        SetMask(*c, kReadEvents);
        ScheduleStep(c);
        return;
    }
    SetMask(*c, step == TkbzHandshakeStep::hsWantWrite ? std::uint32_t{EPOLLOUT} : kReadEvents);
}

void EpollLoop::ScheduleStep(const std::shared_ptr<EpollConn>& c)
{
    if (c->Gone || c->Phase != EpollConn::TPhase::Open)
    {
        return;
    }
    if (c->StepRunning)
    {
        c->StepWanted = true;
        return;
    }
    c->StepRunning = true;
    if (FEngine.HasWorkers())
    {
        // Reading is the step's while it runs; writing goes on.
        EpollChannel* channel = c->Channel.load();
        SetMask(*c, channel && channel->HasQueued() ? std::uint32_t{EPOLLOUT} : 0u);
        FEngine.Dispatch(c);
        return;
    }
    const EpollStepResult result = Step(*c);
    Apply(c, result);
}

void EpollLoop::Apply(const std::shared_ptr<EpollConn>& c, const EpollStepResult& result)
{
    c->StepRunning = false;
    EpollChannel* channel = c->Channel.load();
    if (result.Finished)
    {
        c->Phase = EpollConn::TPhase::Ending;
        ++c->Seq;
        if (!channel)
        {
            Remove(c);
            return;
        }
        const EpollChannel::FlushResult f = channel->Flush();
        if (f.Ended || !f.Pending)
        {
            Remove(c);
            return;
        }
        SetMask(*c, EPOLLOUT);
        SetTimer(c, kEndLingerMs);
        return;
    }
    if (result.WaitLimit >= 0)
    {
        SetTimer(c, result.WaitLimit);
    }
    else
    {
        ++c->Seq;
    }
    SetMask(*c, OpenMask(*c));
    if (c->StepWanted || result.Again)
    {
        c->StepWanted = false;
        FReady.push_back(c);
    }
}

std::uint32_t EpollLoop::OpenMask(const EpollConn& c) const
{
    EpollChannel* channel = c.Channel.load();
    return kReadEvents | (channel && channel->HasQueued() ? std::uint32_t{EPOLLOUT} : 0u);
}

void EpollLoop::FlushConn(const std::shared_ptr<EpollConn>& c)
{
    EpollChannel* channel = c->Channel.load();
    if (!channel)
    {
        return;
    }
    const EpollChannel::FlushResult f = channel->Flush();
    if (c->Phase == EpollConn::TPhase::Ending)
    {
        if (f.Ended || !f.Pending)
        {
            Remove(c);
        }
        return;
    }
    if ((c->Mask & EPOLLONESHOT) == 0)
    {
        const std::uint32_t base = c->StepRunning ? 0u : kReadEvents;
        SetMask(*c, base | (f.Pending ? std::uint32_t{EPOLLOUT} : 0u));
    }
    if (f.BacklogGone)
    {
        ScheduleStep(c); // queued messages go on
    }
}

void EpollLoop::SetMask(EpollConn& c, std::uint32_t mask) noexcept
{
    if (c.Gone || mask == c.Mask)
    {
        return;
    }
    epoll_event ev{};
    ev.events = mask;
    ev.data.ptr = &c;
    if (::epoll_ctl(FEp, EPOLL_CTL_MOD, c.Fd, &ev) == 0)
    {
        c.Mask = mask;
    }
}

void EpollLoop::SetTimer(const std::shared_ptr<EpollConn>& c, int ms)
{
    ++c->Seq;
    FTimers.push({kbzGetTicks() + static_cast<std::uint64_t>(std::max(0, ms)), c->Seq, c});
}

void EpollLoop::Remove(const std::shared_ptr<EpollConn>& c) noexcept
{
    if (c->Gone)
    {
        return;
    }
    c->Gone = true;
    ::epoll_ctl(FEp, EPOLL_CTL_DEL, c->Fd, nullptr);
    if (EpollChannel* channel = c->Channel.load())
    {
        channel->ForceEnd();
        channel->Detach();
    }
    FConns.erase(c.get());
}

// ---- EpollEngine ----

EpollEngine::EpollEngine(TkbzIdTCPServer& server, int loops, EpollWorkers workers)
    : FServer(server), FOptions(workers), FHasWorkers(workers.Pooled || workers.Count > 0)
{
    if (loops <= 0)
    {
        loops = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    }
    try
    {
        if (!FOptions.Pooled)
        {
            std::lock_guard lock(FWorkLock);
            for (int i = 0; i < FOptions.Count; ++i)
            {
                StartWorker();
            }
        }
        for (int i = 0; i < loops; ++i)
        {
            FLoops.push_back(std::make_unique<EpollLoop>(*this));
        }
    }
    catch (...)
    {
        Stop();
        throw;
    }
}

EpollEngine::~EpollEngine()
{
    Stop();
}

void EpollEngine::Add(const TkbzIdContextPtr& context, int fd, bool handshake, int handshakeMs)
{
    auto c = std::make_shared<EpollConn>();
    c->Context = context;
    c->Fd = fd;
    c->HandshakeMs = std::max(1, handshakeMs);
    c->Phase = handshake ? EpollConn::TPhase::Handshake : EpollConn::TPhase::Open;
    EpollLoop* loop = FLoops[FNext.fetch_add(1) % FLoops.size()].get();
    c->Loop = loop;
    loop->Post({EpollLoop::TMailKind::Add, std::move(c), {}});
}

void EpollEngine::Dispatch(const std::shared_ptr<EpollConn>& c)
{
    std::vector<SmallStackThread> retired;
    {
        std::lock_guard lock(FWorkLock);
        FWork.push_back(c);
        retired.swap(FRetired);
        if (FOptions.Pooled && FIdle < FWork.size() &&
            (FOptions.Max <= 0 || FWorkers.size() < static_cast<std::size_t>(FOptions.Max)))
        {
            try
            {
                StartWorker();
            }
            catch (...)
            {
                if (FWorkers.empty())
                {
                    FWork.pop_back(); // nobody would ever run it
                    throw;
                }
                // A busy worker takes it when it comes free.
            }
        }
    }
    FWorkWake.notify_one();
    // Retired workers have left their loop: joining them takes no time.
    for (auto& t : retired)
    {
        t.join();
    }
}

void EpollEngine::StartWorker()
{
    const std::uint64_t id = ++FNextWorker;
    FWorkers.emplace_back(id, SmallStackThread([this, id] { Worker(id); }));
}

void EpollEngine::Worker(std::uint64_t id) noexcept
{
    std::unique_lock lock(FWorkLock);
    for (;;)
    {
        // Also checked before the first wait: a worker made for a step that
        // another took meanwhile is one too many as well.
        if (FOptions.Pooled && !FWorkStop && FWork.empty() &&
            FIdle >= static_cast<std::size_t>(std::max(0, FOptions.Count)))
        {
            // Enough idle workers already: this one ends.
            for (auto it = FWorkers.begin(); it != FWorkers.end(); ++it)
            {
                if (it->first == id)
                {
                    FRetired.push_back(std::move(it->second));
                    FWorkers.erase(it);
                    break;
                }
            }
            return;
        }
        ++FIdle;
        FWorkWake.wait(lock, [this] { return FWorkStop || !FWork.empty(); });
        --FIdle;
        if (FWork.empty())
        {
            return; // stopping: the stop joins this worker
        }
        std::shared_ptr<EpollConn> c = std::move(FWork.front());
        FWork.pop_front();
        lock.unlock();
        const EpollStepResult result = c->Loop->Step(*c);
        EpollLoop* loop = c->Loop;
        loop->Post({EpollLoop::TMailKind::StepDone, std::move(c), result});
        lock.lock();
    }
}

void EpollEngine::JoinWorkers() noexcept
{
    for (;;)
    {
        std::vector<SmallStackThread> threads;
        {
            std::lock_guard lock(FWorkLock);
            for (auto& w : FWorkers)
            {
                threads.push_back(std::move(w.second));
            }
            FWorkers.clear();
            for (auto& t : FRetired)
            {
                threads.push_back(std::move(t));
            }
            FRetired.clear();
        }
        if (threads.empty())
        {
            return;
        }
        for (auto& t : threads)
        {
            t.join();
        }
    }
}

void EpollEngine::Stop() noexcept
{
    // The loops end once their connections have (the listener aborted them);
    // the workers run their last steps meanwhile.
    for (auto& l : FLoops)
    {
        l->StopWhenEmpty();
    }
    FLoops.clear();
    {
        std::lock_guard lock(FWorkLock);
        FWorkStop = true;
    }
    FWorkWake.notify_all();
    JoinWorkers();
}

} // namespace kbz::detail
