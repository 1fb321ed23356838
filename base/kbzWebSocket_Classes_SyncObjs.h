// Locks, lock-protected lists, looping worker threads, timers, their safe
// disposal, and the main-thread synchronisation queue behind the event modes.
#pragma once

#include "base/kbzWebSocket_Types.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kbz
{

// Re-entrant lock whose calls never raise. Usable with std::lock_guard / std::unique_lock.
class TkbzCriticalSection
{
public:
    TkbzCriticalSection() = default;
    TkbzCriticalSection(const TkbzCriticalSection&) = delete;
    TkbzCriticalSection& operator=(const TkbzCriticalSection&) = delete;
    virtual ~TkbzCriticalSection() = default;

    virtual void Acquire() noexcept;
    virtual void Release() noexcept;
    bool TryAcquire() noexcept;

    void lock() noexcept { Acquire(); }
    void unlock() noexcept { Release(); }
    bool try_lock() noexcept { return TryAcquire(); }

private:
    std::recursive_mutex FSection;
};

// The general lock and six indexed locks that every component and connection owns.
// Indexed lock 0 guards a connection's subscription list; 1 the server's session list.
class TkbzLockSet
{
public:
    void DoEnterCS() noexcept { FCS.Acquire(); }
    void DoLeaveCS() noexcept { FCS.Release(); }
    void DoEnterCSIndex(int index) noexcept { FCSArray[Slot(index)].Acquire(); }
    void DoLeaveCSIndex(int index) noexcept { FCSArray[Slot(index)].Release(); }
    TkbzCriticalSection& CS() noexcept { return FCS; }
    TkbzCriticalSection& CSIndex(int index) noexcept { return FCSArray[Slot(index)]; }

private:
    static std::size_t Slot(int index) noexcept
    {
        return static_cast<std::size_t>(std::clamp(index, 0, 5));
    }
    TkbzCriticalSection FCS;
    std::array<TkbzCriticalSection, 6> FCSArray;
};

enum class TDuplicates : std::uint8_t
{
    dupIgnore,
    dupAccept,
    dupError
};

enum class TkbzThreadListType : std::uint8_t
{
    tdlThreadDictionary,
    tdlOnlyThread,
    tdlOnlyDictionary
};

// A list guarded by its own lock. Iterating callers hold LockList()..UnlockList().
template <class T> class TkbzThreadList
{
public:
    TkbzThreadList() = default;
    TkbzThreadList(const TkbzThreadList&) = delete;
    TkbzThreadList& operator=(const TkbzThreadList&) = delete;
    virtual ~TkbzThreadList() = default;

    std::vector<T>& LockList() noexcept
    {
        FLock.Acquire();
        return FList;
    }
    void UnlockList() noexcept { FLock.Release(); }

    // Appends unless the item is present and duplicates are not accepted;
    // with dupError a present item raises EListError.
    void Add(const T& item);
    void AddKey(const T& item) { Add(item); }
    void Delete(std::size_t index)
    {
        std::lock_guard guard(FLock);
        if (index < FList.size())
        {
            FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(index));
        }
    }
    void DeleteKey(std::size_t index) { Delete(index); }
    // Removes the first occurrence, searched from the front (or from the back).
    void Remove(const T& item) { RemoveItem(item, true); }
    void RemoveItem(const T& item, bool fromBeginning)
    {
        std::lock_guard guard(FLock);
        if (fromBeginning)
        {
            auto it = std::find(FList.begin(), FList.end(), item);
            if (it != FList.end())
            {
                FList.erase(it);
            }
        }
        else
        {
            auto it = std::find(FList.rbegin(), FList.rend(), item);
            if (it != FList.rend())
            {
                FList.erase(std::next(it).base());
            }
        }
    }
    virtual void Clear()
    {
        std::lock_guard guard(FLock);
        FList.clear();
    }
    bool IsEmpty() const
    {
        std::lock_guard guard(FLock);
        return FList.empty();
    }
    std::size_t Count() const
    {
        std::lock_guard guard(FLock);
        return FList.size();
    }
    bool Contains(const T& item) const
    {
        std::lock_guard guard(FLock);
        return std::find(FList.begin(), FList.end(), item) != FList.end();
    }
    // Moves every entry out under the lock, leaving the list empty.
    std::vector<T> TakeAll()
    {
        std::lock_guard guard(FLock);
        std::vector<T> out;
        out.swap(FList);
        return out;
    }

    TDuplicates Duplicates = TDuplicates::dupIgnore;
    TkbzThreadListType GetListType() const noexcept { return TkbzThreadListType::tdlOnlyThread; }
    // Only the thread-list variant exists; any value written reads back as tdlOnlyThread.
    void SetListType(TkbzThreadListType) noexcept {}

protected:
    mutable TkbzCriticalSection FLock;
    std::vector<T> FList;
};

// A worker thread that calls Run() again and again (once when not looping)
// until it is terminated. The OS thread is created by the first Start().
// Derived classes whose Run() uses their own members must be disposed of with
// kbzFreeThread (or call TerminateAndWait() in their destructor).
class TkbzIdThread
{
public:
    TkbzIdThread(bool loop, std::string name);
    TkbzIdThread(const TkbzIdThread&) = delete;
    TkbzIdThread& operator=(const TkbzIdThread&) = delete;
    virtual ~TkbzIdThread();

    // Starts the OS thread on the first call; later calls do nothing, and a
    // terminated thread never starts.
    void Start();
    // Marks the thread terminated and wakes any interruptible wait in it.
    virtual void Terminate() noexcept;
    bool Terminated() const noexcept { return FTerminated.load(); }
    bool Finished() const noexcept { return FFinished.load(); }
    // Terminates and waits until the thread has ended. Never waits for itself.
    // On the main thread it runs posted synchronisation calls while it waits,
    // so a thread blocked in kbzSynchronize can finish.
    void TerminateAndWait() noexcept;

    bool IsCurrentThread() const noexcept;
    // True while a user callback of this thread runs (on any thread).
    bool IsExecuting() const noexcept { return FCallbacks.load() > 0; }
    // True when the calling thread is inside one of this thread's callbacks
    // (a tick running on the worker thread, or one posted to the main thread).
    bool IsCallbackThread() const noexcept;
    std::uint32_t ThreadId() const noexcept { return FThreadId.load(); }
    const std::string& DebugName() const noexcept { return FDebugName; }
    void SetDebugName(std::string name) { FDebugName = std::move(name); }

    // The thread deletes itself after its last pass; its owner has let go of
    // it. Only for a thread that is running (kbzFreeThread uses it from the
    // thread itself or from inside one of its callbacks).
    void SetFreeOnTerminate() noexcept;

protected:
    // One pass. Exceptions that escape end the thread, they never leave it.
    virtual void Run() = 0;
    // Sleeps up to ms; returns false at once when the thread is terminated.
    bool WaitForTerminate(int ms);
    // Brackets a user callback: true before it, false after it, on the thread
    // that runs the callback (brackets nest). When the callback runs on another
    // thread than the worker (a tick posted to the main thread) and the thread
    // was freed from inside it, SetExecuting(false) deletes the object once the
    // worker has ended: touch nothing of it afterwards.
    void SetExecuting(bool value) noexcept;
    // Called once on the thread when its loop ends (after the last pass).
    virtual void DoTerminated() noexcept {}

private:
    void Execute() noexcept;

    // Deletes the object after the worker has ended (joining it first unless
    // called on it). Called by whichever of the worker's end, the last
    // callback's end and SetFreeOnTerminate comes last.
    void DeleteSelf() noexcept;

    std::string FDebugName;
    const bool FLoop;
    std::atomic<std::uint32_t> FThreadId{0};
    std::atomic<bool> FTerminated{false};
    std::mutex FWaitMutex;
    std::condition_variable FWaitCond;
    // FThreadMutex guards FThread and FStarted (the new thread may look at
    // FThread before Start has finished assigning it), and makes the choice of
    // who deletes a self-freeing thread: FFinished, FFreeOnTerminate and
    // FCallbacks change only under it.
    std::mutex FThreadMutex;
    bool FStarted = false;
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FFreeOnTerminate{false};
    std::atomic<int> FCallbacks{0};
    std::thread FThread; // last: ends before the members it uses
};

// Disposes of a worker thread or timer and clears the reference.
// From any other thread it terminates the thread and returns only after the
// thread has ended, so no callback still uses the owner's state. From the
// thread itself, or from inside one of its callbacks (a tick posted to the
// main thread), it cannot wait for itself: the thread deletes itself once its
// current pass and callback have returned.
template <class T> void kbzFreeThread(std::unique_ptr<T>& thread)
{
    if (!thread)
    {
        return;
    }
    if (thread->IsCurrentThread() || thread->IsCallbackThread())
    {
        T* self = thread.release();
        self->Terminate();
        self->SetFreeOnTerminate();
        return;
    }
    // Reset only after the wait: until then a running tick may still read
    // the owner's reference.
    thread->TerminateAndWait();
    thread.reset();
}

class TkbzTimer;
using TkbzTimerEvent = std::function<void(TkbzTimer& sender)>;
using TkbzTimerOnException = std::function<void(TkbzTimer& sender, const std::exception& e)>;

// A thread-based timer. Its thread starts when Enabled becomes true; disabling
// terminates it for good (owners build a new timer to start again), and a tick
// already posted to the main thread is then skipped.
class TkbzTimer : public TkbzIdThread
{
public:
    explicit TkbzTimer(std::string name = "Timer");
    ~TkbzTimer() override;

    bool GetEnabled() const noexcept { return FEnabled.load(); }
    void SetEnabled(bool value);
    // Milliseconds between ticks, read once per tick; values below 100 wait
    // 100 ms, so a zero interval never spins.
    int GetInterval() const noexcept { return FInterval.load(); }
    void SetInterval(int ms) noexcept { FInterval.store(ms); }
    TwsNotifyEvent GetNotifyEvents() const noexcept { return FNotifyEvents.load(); }
    void SetNotifyEvents(TwsNotifyEvent value) noexcept { FNotifyEvents.store(value); }

    // Set before enabling; not changed while the timer runs.
    TkbzTimerEvent OnTimer;
    TkbzTimerOnException OnException;

protected:
    void Run() override;
    virtual void DoOnTimer();
    virtual void DoOnException(const std::exception& e);

private:
    // Lets a tick posted to the main thread find out that its timer is gone.
    // The posted tick runs under this lock and the destructor takes it, so a
    // timer is never destroyed under a running posted tick.
    struct Life
    {
        std::recursive_mutex mutex;
        bool alive = true;
    };
    std::shared_ptr<Life> FLife = std::make_shared<Life>();
    std::atomic<bool> FEnabled{false};
    std::atomic<int> FInterval{60000};
    std::atomic<TwsNotifyEvent> FNotifyEvents{TwsNotifyEvent::neNoSync};
};

// ---- Main-thread synchronisation queue ----
// The thread that loaded the library is the main thread, unless
// kbzSetMainThread names the calling thread instead. kbzQueue posts a call and returns;
// kbzSynchronize waits until the main thread ran it and rethrows what it raised
// (called on the main thread it runs at once). The main thread runs posted calls
// in kbzCheckSynchronize.
void kbzSetMainThread() noexcept;
bool kbzIsMainThread() noexcept;
void kbzQueue(std::function<void()> method);
void kbzSynchronize(std::function<void()> method);
// Runs the posted calls, waiting up to timeoutMs for the first; returns whether any ran.
bool kbzCheckSynchronize(int timeoutMs = 0);
// Wakes every thread waiting in kbzSynchronize without running its call (used at shutdown).
void kbzCancelSynchronize() noexcept;

} // namespace kbz

// ---- template members ----
#include "base/kbzBase_Classes.h"

#include <cstdio>
#include <type_traits>

namespace kbz::detail
{
// "List does not allow duplicates ($0<hex>)" for items that are numbers or
// pointers; without the value for other items.
template <class T> std::string DuplicateItemMessage(const T& item)
{
    unsigned long long value = 0;
    if constexpr (std::is_pointer_v<T>)
    {
        value = reinterpret_cast<std::uintptr_t>(item);
    }
    else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>)
    {
        value = static_cast<unsigned long long>(item);
    }
    else
    {
        return "List does not allow duplicates";
    }
    char text[64];
    std::snprintf(text, sizeof text, "List does not allow duplicates ($0%llx)", value);
    return text;
}
} // namespace kbz::detail

template <class T> void kbz::TkbzThreadList<T>::Add(const T& item)
{
    std::lock_guard guard(FLock);
    if (Duplicates != TDuplicates::dupAccept &&
        std::find(FList.begin(), FList.end(), item) != FList.end())
    {
        if (Duplicates == TDuplicates::dupError)
        {
            throw EListError(detail::DuplicateItemMessage(item));
        }
        return;
    }
    FList.push_back(item);
}
