#include "base/kbzWebSocket_Classes_SyncObjs.h"

#include "base/kbzBase_Classes.h"

#include <chrono>
#include <deque>
#include <exception>
#include <functional>

namespace kbz
{

// ---- TkbzCriticalSection ----

void TkbzCriticalSection::Acquire() noexcept
{
    try
    {
        FSection.lock();
    }
    catch (...)
    {
        // A lock call never raises: a failed lock is not expected from a
        // recursive mutex except on resource exhaustion, and then there is
        // nothing better to do than to go on.
    }
}

void TkbzCriticalSection::Release() noexcept
{
    try
    {
        FSection.unlock();
    }
    catch (...)
    {}
}

bool TkbzCriticalSection::TryAcquire() noexcept
{
    try
    {
        return FSection.try_lock();
    }
    catch (...)
    {
        return false;
    }
}

// ---- TkbzIdThread ----

namespace
{
std::uint32_t CurrentThreadId() noexcept
{
    // A stable small number per OS thread, never 0.
    static std::atomic<std::uint32_t> next{1};
    thread_local std::uint32_t id = next.fetch_add(1);
    return id;
}

// The threads whose callbacks the calling thread is running, innermost last.
std::vector<const TkbzIdThread*>& CallbackStack() noexcept
{
    thread_local std::vector<const TkbzIdThread*> stack;
    return stack;
}

// Runs posted synchronisation calls until done() holds. Only the main thread
// drains; others just wait for done() on the queue's wake-ups.
template <class Done> void WaitDrainingSynchronize(Done done);
// Wakes WaitDrainingSynchronize after a thread has finished.
void NotifySynchronizeWaiters() noexcept;
} // namespace

TkbzIdThread::TkbzIdThread(bool loop, std::string name) : FDebugName(std::move(name)), FLoop(loop)
{}

TkbzIdThread::~TkbzIdThread()
{
    // Owners dispose of threads with kbzFreeThread, which has joined already;
    // this is the backstop for a thread that never ran or has ended.
    TerminateAndWait();
    std::lock_guard guard(FThreadMutex);
    if (FThread.joinable())
    {
        // Only left joinable when the thread itself is being destroyed.
        FThread.detach();
    }
}

void TkbzIdThread::Start()
{
    std::lock_guard guard(FThreadMutex);
    if (FStarted || FTerminated.load())
    {
        return;
    }
    FThread = std::thread([this] { Execute(); });
    FStarted = true;
}

void TkbzIdThread::Terminate() noexcept
{
    {
        std::lock_guard guard(FWaitMutex);
        FTerminated.store(true);
    }
    FWaitCond.notify_all();
}

void TkbzIdThread::TerminateAndWait() noexcept
{
    Terminate();
    if (IsCurrentThread())
    {
        return;
    }
    std::thread thread;
    {
        std::lock_guard guard(FThreadMutex);
        if (!FThread.joinable() || FThread.get_id() == std::this_thread::get_id())
        {
            return;
        }
        thread = std::move(FThread);
    }
    try
    {
        if (kbzIsMainThread())
        {
            // The thread may be waiting in kbzSynchronize for this very thread.
            WaitDrainingSynchronize([this] { return FFinished.load(); });
        }
        thread.join();
    }
    catch (...)
    {}
}

bool TkbzIdThread::IsCurrentThread() const noexcept
{
    const std::uint32_t id = FThreadId.load();
    return id != 0 && id == CurrentThreadId();
}

bool TkbzIdThread::IsCallbackThread() const noexcept
{
    const auto& stack = CallbackStack();
    return std::find(stack.begin(), stack.end(), this) != stack.end();
}

void TkbzIdThread::SetExecuting(bool value) noexcept
{
    auto& stack = CallbackStack();
    try
    {
        if (value)
        {
            stack.push_back(this);
        }
        else
        {
            auto it = std::find(stack.rbegin(), stack.rend(), this);
            if (it != stack.rend())
            {
                stack.erase(std::next(it).base());
            }
        }
    }
    catch (...)
    {
        // Out of memory for the marker: kbzFreeThread then waits instead of
        // deferring, which is still safe from any thread but this one.
    }
    bool deleteNow = false;
    {
        std::lock_guard guard(FThreadMutex);
        if (value)
        {
            FCallbacks.fetch_add(1);
        }
        else if (FCallbacks.load() > 0)
        {
            deleteNow = FCallbacks.fetch_sub(1) == 1 && FFreeOnTerminate.load() && FFinished.load();
        }
    }
    if (deleteNow)
    {
        DeleteSelf();
    }
}

void TkbzIdThread::SetFreeOnTerminate() noexcept
{
    bool deleteNow = false;
    {
        std::lock_guard guard(FThreadMutex);
        FFreeOnTerminate.store(true);
        deleteNow = FFinished.load() && FCallbacks.load() == 0;
    }
    if (deleteNow)
    {
        DeleteSelf();
    }
}

void TkbzIdThread::DeleteSelf() noexcept
{
    std::thread thread;
    {
        std::lock_guard guard(FThreadMutex);
        thread = std::move(FThread);
    }
    try
    {
        if (thread.joinable())
        {
            if (thread.get_id() == std::this_thread::get_id())
            {
                thread.detach();
            }
            else
            {
                thread.join(); // the worker has finished its loop; this is its exit
            }
        }
    }
    catch (...)
    {}
    delete this;
}

bool TkbzIdThread::WaitForTerminate(int ms)
{
    std::unique_lock lock(FWaitMutex);
    return !FWaitCond.wait_for(lock, std::chrono::milliseconds(ms < 0 ? 0 : ms),
                               [this] { return FTerminated.load(); });
}

void TkbzIdThread::Execute() noexcept
{
    FThreadId.store(CurrentThreadId());
    do
    {
        try
        {
            Run();
        }
        catch (...)
        {
            // No exception leaves a thread: a pass that raises what it did not
            // handle itself ends the thread.
            Terminate();
        }
    } while (FLoop && !FTerminated.load());
    DoTerminated();
    bool freeSelf = false;
    {
        std::lock_guard guard(FThreadMutex);
        FFinished.store(true);
        // A callback still running on another thread deletes us when it ends.
        freeSelf = FFreeOnTerminate.load() && FCallbacks.load() == 0;
    }
    // Unless freeing ourselves, the owner may delete us from here on.
    NotifySynchronizeWaiters();
    if (freeSelf)
    {
        DeleteSelf();
    }
}

// ---- TkbzTimer ----

TkbzTimer::TkbzTimer(std::string name) : TkbzIdThread(true, std::move(name)) {}

TkbzTimer::~TkbzTimer()
{
    TerminateAndWait();
    std::lock_guard guard(FLife->mutex);
    FLife->alive = false;
}

void TkbzTimer::SetEnabled(bool value)
{
    FEnabled.store(value);
    if (value)
    {
        Start();
    }
    else
    {
        Terminate();
    }
}

void TkbzTimer::Run()
{
    try
    {
        // No busy loop: an interval of 0 or less waits the smallest step.
        const int interval = std::max(GetInterval(), 100);
        if (!WaitForTerminate(interval))
        {
            return;
        }
        // A tick posted to the main thread runs under the life lock, so the
        // timer cannot be destroyed under it; it is skipped once the timer is
        // gone or stopped.
        auto onMain = [this, life = FLife] {
            std::lock_guard guard(life->mutex);
            if (life->alive && !Terminated())
            {
                DoOnTimer(); // may delete the timer (freed from inside its tick)
            }
        };
        switch (GetNotifyEvents())
        {
        case TwsNotifyEvent::neNoSync:
            DoOnTimer();
            break;
        case TwsNotifyEvent::neAsynchronous:
            kbzQueue(onMain);
            break;
        case TwsNotifyEvent::neSynchronous:
            kbzSynchronize(onMain);
            break;
        }
    }
    catch (const std::exception& e)
    {
        try
        {
            DoOnException(e);
        }
        catch (...)
        {}
    }
    catch (...)
    {}
}

void TkbzTimer::DoOnTimer()
{
    if (!OnTimer)
    {
        return;
    }
    SetExecuting(true);
    try
    {
        OnTimer(*this);
    }
    catch (const std::exception& e)
    {
        try
        {
            DoOnException(e);
        }
        catch (...)
        {}
    }
    catch (...)
    {
        // Not an error object: nothing to report, the timer goes on.
    }
    // Last: when the timer was freed from inside this tick on another thread
    // than its own, this deletes it.
    SetExecuting(false);
}

void TkbzTimer::DoOnException(const std::exception& e)
{
    if (!OnException)
    {
        return;
    }
    SetExecuting(true);
    try
    {
        OnException(*this, e);
    }
    catch (...)
    {}
    SetExecuting(false);
}

// ---- Synchronisation queue ----

namespace
{
struct SyncCall
{
    std::function<void()> method;
    // Set for kbzSynchronize: the waiter's state.
    std::shared_ptr<struct SyncWait> wait;
};

struct SyncWait
{
    bool done = false;
    bool cancelled = false;
    std::exception_ptr error;
};

struct SyncQueue
{
    std::mutex mutex;
    std::condition_variable posted;
    std::condition_variable finished;
    std::deque<SyncCall> calls;
    std::thread::id mainThread = std::this_thread::get_id();
};

SyncQueue& Queue()
{
    // Never destroyed: a thread that disposes of itself may still post to it
    // while the program's static objects go away at exit.
    static SyncQueue* queue = new SyncQueue;
    return *queue;
}

// The queue (and with it the default main thread) is made while the program
// loads, on its main thread, not by whichever thread happens to post first.
[[maybe_unused]] const bool kQueueMadeAtLoad = (Queue(), true);

template <class Done> void WaitDrainingSynchronize(Done done)
{
    auto& q = Queue();
    for (;;)
    {
        {
            std::unique_lock lock(q.mutex);
            q.posted.wait(lock, [&] { return done() || !q.calls.empty(); });
            if (done())
            {
                return;
            }
        }
        kbzCheckSynchronize(0);
    }
}

void NotifySynchronizeWaiters() noexcept
{
    auto& q = Queue();
    {
        // Taking the lock orders the waiter's check before this wake-up.
        std::lock_guard guard(q.mutex);
    }
    q.posted.notify_all();
}
} // namespace

void kbzSetMainThread() noexcept
{
    std::lock_guard guard(Queue().mutex);
    Queue().mainThread = std::this_thread::get_id();
}

bool kbzIsMainThread() noexcept
{
    std::lock_guard guard(Queue().mutex);
    return Queue().mainThread == std::this_thread::get_id();
}

void kbzQueue(std::function<void()> method)
{
    auto& q = Queue();
    {
        std::lock_guard guard(q.mutex);
        q.calls.push_back(SyncCall{std::move(method), nullptr});
    }
    q.posted.notify_all();
}

void kbzSynchronize(std::function<void()> method)
{
    if (kbzIsMainThread())
    {
        method();
        return;
    }
    auto& q = Queue();
    auto wait = std::make_shared<SyncWait>();
    std::unique_lock lock(q.mutex);
    q.calls.push_back(SyncCall{std::move(method), wait});
    q.posted.notify_all();
    q.finished.wait(lock, [&] { return wait->done || wait->cancelled; });
    // The error is moved, never shared: its last reference then goes on this thread, not in
    // the main thread's copy of the call.
    if (std::exception_ptr error = std::move(wait->error))
    {
        lock.unlock();
        std::rethrow_exception(error);
    }
}

bool kbzCheckSynchronize(int timeoutMs)
{
    auto& q = Queue();
    std::deque<SyncCall> calls;
    {
        std::unique_lock lock(q.mutex);
        if (q.calls.empty() && timeoutMs > 0)
        {
            q.posted.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return !q.calls.empty(); });
        }
        calls.swap(q.calls);
    }
    for (auto& call : calls)
    {
        std::exception_ptr error;
        try
        {
            call.method();
        }
        catch (...)
        {
            error = std::current_exception();
        }
        if (call.wait)
        {
            {
                std::lock_guard guard(q.mutex);
                call.wait->done = true;
                call.wait->error = std::move(error);
            }
            q.finished.notify_all();
        }
    }
    return !calls.empty();
}

void kbzCancelSynchronize() noexcept
{
    auto& q = Queue();
    {
        std::lock_guard guard(q.mutex);
        for (auto& call : q.calls)
        {
            if (call.wait)
            {
                call.wait->cancelled = true;
            }
        }
        q.calls.clear();
    }
    q.finished.notify_all();
}

} // namespace kbz
