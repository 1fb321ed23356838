#include "base/kbzBase_Classes.h"
#include "base/kbzWebSocket_Classes_SyncObjs.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace kbz;
using namespace std::chrono_literals;

namespace
{

// A timer that reports its destruction, to see when a self-freeing timer is gone.
class SignalingTimer : public TkbzTimer
{
public:
    explicit SignalingTimer(std::function<void()> onDestroy)
        : TkbzTimer("Signaling"), FOnDestroy(std::move(onDestroy))
    {}
    ~SignalingTimer() override { FOnDestroy(); }

private:
    std::function<void()> FOnDestroy;
};

// Runs the main thread's posted calls until done() holds or the deadline passes.
template <class Done> bool DrainUntil(Done done, std::chrono::seconds deadline = 10s)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done())
    {
        if (std::chrono::steady_clock::now() > end)
        {
            return false;
        }
        kbzCheckSynchronize(20);
    }
    return true;
}

// A one-shot gate a thread can wait at until the test opens it.
class Gate
{
public:
    void Open()
    {
        {
            std::lock_guard guard(FMutex);
            FOpen = true;
        }
        FCond.notify_all();
    }
    bool WaitOpen(std::chrono::seconds deadline = 10s)
    {
        std::unique_lock lock(FMutex);
        return FCond.wait_for(lock, deadline, [this] { return FOpen; });
    }

private:
    std::mutex FMutex;
    std::condition_variable FCond;
    bool FOpen = false;
};

} // namespace

TEST(TkbzCriticalSection, IsReentrantAndExcludesOtherThreads)
{
    TkbzCriticalSection cs;
    cs.Acquire();
    EXPECT_TRUE(cs.TryAcquire());
    EXPECT_FALSE(std::async(std::launch::async, [&] { return cs.TryAcquire(); }).get());
    cs.Release();
    EXPECT_FALSE(std::async(std::launch::async, [&] { return cs.TryAcquire(); }).get());
    cs.Release();
    EXPECT_TRUE(std::async(std::launch::async, [&] {
                    const bool got = cs.TryAcquire();
                    if (got)
                    {
                        cs.Release();
                    }
                    return got;
                }).get());
}

TEST(TkbzThreadList, DuplicatesAndRemoval)
{
    struct Case
    {
        TDuplicates duplicates;
        std::size_t expectedCount;
        bool raises;
    };
    const Case cases[] = {
        {TDuplicates::dupIgnore, 1, false},
        {TDuplicates::dupAccept, 2, false},
        {TDuplicates::dupError, 1, true},
    };
    int value = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(static_cast<int>(c.duplicates));
        TkbzThreadList<int*> list;
        list.Duplicates = c.duplicates;
        list.Add(&value);
        if (c.raises)
        {
            EXPECT_THROW(list.Add(&value), EListError);
        }
        else
        {
            list.Add(&value);
        }
        EXPECT_EQ(list.Count(), c.expectedCount);
    }

    TkbzThreadList<int> list;
    list.Duplicates = TDuplicates::dupError;
    list.Add(255);
    try
    {
        list.Add(255);
        ADD_FAILURE() << "no exception";
    }
    catch (const EListError& e)
    {
        EXPECT_EQ(e.Message(), "List does not allow duplicates ($0ff)");
    }
    list.Clear();
    list.Duplicates = TDuplicates::dupAccept;
    for (int v : {1, 2, 1, 3, 1})
    {
        list.Add(v);
    }
    list.RemoveItem(1, false); // the last 1
    list.Remove(1);            // the first 1
    list.Delete(99);           // out of range: nothing
    EXPECT_EQ(list.TakeAll(), (std::vector<int>{2, 1, 3}));
    EXPECT_TRUE(list.IsEmpty());

    list.SetListType(TkbzThreadListType::tdlThreadDictionary);
    EXPECT_EQ(list.GetListType(), TkbzThreadListType::tdlOnlyThread);
}

TEST(TkbzTimer, TicksAndStopsForGood)
{
    TkbzTimer timer("Test");
    std::promise<void> ticked;
    std::atomic<int> ticks{0};
    timer.SetInterval(100);
    timer.OnTimer = [&](TkbzTimer&) {
        if (ticks.fetch_add(1) == 0)
        {
            ticked.set_value();
        }
    };
    timer.SetEnabled(true);
    ASSERT_EQ(ticked.get_future().wait_for(5s), std::future_status::ready);
    timer.SetEnabled(false);
    const int after = ticks.load();
    timer.SetEnabled(true); // a disabled timer does not come back
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(ticks.load(), after + 1);
}

TEST(TkbzTimer, ZeroOrNegativeIntervalStillWaitsBetweenTicks)
{
    for (int interval : {0, -5})
    {
        SCOPED_TRACE(interval);
        TkbzTimer timer("Zero");
        std::mutex mutex;
        std::vector<std::chrono::steady_clock::time_point> stamps;
        std::promise<void> three;
        timer.SetInterval(interval);
        timer.OnTimer = [&](TkbzTimer&) {
            std::lock_guard guard(mutex);
            stamps.push_back(std::chrono::steady_clock::now());
            if (stamps.size() == 3)
            {
                three.set_value();
            }
        };
        timer.SetEnabled(true);
        ASSERT_EQ(three.get_future().wait_for(10s), std::future_status::ready);
        timer.SetEnabled(false);
        std::lock_guard guard(mutex);
        for (std::size_t i = 1; i < 3; ++i)
        {
            EXPECT_GE(stamps[i] - stamps[i - 1], 95ms);
        }
    }
}

TEST(TkbzTimer, StoppingWakesALongWait)
{
    // Interval one hour: freeing must not wait for it to elapse.
    auto timer = std::make_unique<TkbzTimer>("Long");
    timer->SetInterval(3600 * 1000);
    timer->OnTimer = [](TkbzTimer&) {};
    timer->SetEnabled(true);
    auto freed = std::async(std::launch::async, [&] { kbzFreeThread(timer); });
    EXPECT_EQ(freed.wait_for(10s), std::future_status::ready);
    freed.get();
    EXPECT_EQ(timer, nullptr);

    // Never enabled: no thread, nothing to wait for.
    auto idle = std::make_unique<TkbzTimer>("Idle");
    kbzFreeThread(idle);
    EXPECT_EQ(idle, nullptr);
}

TEST(TkbzTimer, ATickThatRaisesNeverEndsTheTimer)
{
    struct Case
    {
        const char* name;
        std::function<void()> raise;
        bool withHandler;
        const char* reported; // nullptr: nothing reaches OnException
    };
    const Case cases[] = {
        {"error object, no handler", [] { throw EConvertError("bad"); }, false, nullptr},
        {"error object, handler", [] { throw EConvertError("bad"); }, true, "bad"},
        {"standard error, handler", [] { throw std::runtime_error("std"); }, true, "std"},
        {"not an error object", [] { throw 42; }, true, nullptr},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzTimer timer("Raising");
        std::atomic<int> ticks{0};
        std::promise<void> third;
        std::mutex mutex;
        std::vector<std::string> reported;
        timer.SetInterval(100);
        timer.OnTimer = [&](TkbzTimer&) {
            const int n = ticks.fetch_add(1);
            if (n == 2)
            {
                third.set_value();
            }
            if (n < 2)
            {
                c.raise(); // the first two ticks raise
            }
        };
        if (c.withHandler)
        {
            timer.OnException = [&](TkbzTimer& sender, const std::exception& e) {
                EXPECT_TRUE(sender.IsExecuting());
                std::lock_guard guard(mutex);
                reported.emplace_back(e.what());
            };
        }
        timer.SetEnabled(true);
        ASSERT_EQ(third.get_future().wait_for(10s), std::future_status::ready);
        timer.SetEnabled(false);
        std::lock_guard guard(mutex);
        if (c.reported)
        {
            EXPECT_EQ(reported, (std::vector<std::string>{c.reported, c.reported}));
        }
        else
        {
            EXPECT_TRUE(reported.empty());
        }
    }
}

TEST(kbzFreeThread, FromInsideTheTimerReturnsAtOnceAndTheTimerGoes)
{
    std::promise<void> destroyed;
    std::unique_ptr<SignalingTimer> timer =
        std::make_unique<SignalingTimer>([&] { destroyed.set_value(); });
    std::promise<bool> freed;
    std::atomic<int> ticks{0};
    timer->SetInterval(100);
    timer->OnTimer = [&](TkbzTimer& self) {
        if (ticks.fetch_add(1) > 0)
        {
            return; // must not happen: the timer ends after the first tick
        }
        kbzFreeThread(timer);
        // Still safe to use the timer here: it goes only after this returns.
        EXPECT_TRUE(self.IsExecuting());
        freed.set_value(timer == nullptr);
    };
    timer->SetEnabled(true);
    auto f = freed.get_future();
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(f.get());
    EXPECT_EQ(destroyed.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_EQ(ticks.load(), 1);
}

TEST(kbzFreeThread, FromAnotherThreadReturnsOnlyAfterTheRunningTick)
{
    auto timer = std::make_unique<TkbzTimer>("Busy");
    std::promise<void> entered;
    Gate release;
    std::atomic<bool> tickEnded{false};
    std::atomic<int> ticks{0};
    timer->SetInterval(100);
    timer->OnTimer = [&](TkbzTimer&) {
        if (ticks.fetch_add(1) > 0)
        {
            return;
        }
        entered.set_value();
        release.WaitOpen();
        tickEnded.store(true);
    };
    timer->SetEnabled(true);
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(timer->IsExecuting());

    auto freeing = std::async(std::launch::async, [&] {
        kbzFreeThread(timer);
        return tickEnded.load(); // the tick must be over by now
    });
    // A short wait only to show that kbzFreeThread does not return early.
    EXPECT_EQ(freeing.wait_for(200ms), std::future_status::timeout);
    release.Open();
    ASSERT_EQ(freeing.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(freeing.get());
    EXPECT_EQ(timer, nullptr);
    EXPECT_EQ(ticks.load(), 1);
}

TEST(kbzSynchronize, RunsOnTheMainThreadAndRaisesInTheCaller)
{
    ASSERT_TRUE(kbzIsMainThread()); // the test runner's thread loaded the library
    const auto mainId = std::this_thread::get_id();

    std::thread::id ranOn;
    std::atomic<bool> ok{false};
    auto worker = std::async(std::launch::async, [&] {
        EXPECT_FALSE(kbzIsMainThread());
        kbzSynchronize([&] { ranOn = std::this_thread::get_id(); });
        try
        {
            kbzSynchronize([] { throw EConvertError("'abc' is not a valid integer value"); });
        }
        catch (const EConvertError& e)
        {
            ok.store(std::string(e.what()) == "'abc' is not a valid integer value");
        }
    });
    ASSERT_TRUE(DrainUntil([&] { return worker.wait_for(0s) == std::future_status::ready; }));
    worker.get();
    EXPECT_EQ(ranOn, mainId);
    EXPECT_TRUE(ok.load());

    // On the main thread itself it runs at once.
    bool direct = false;
    kbzSynchronize([&] { direct = true; });
    EXPECT_TRUE(direct);

    // Posted calls run in order when the main thread drains.
    std::vector<int> order;
    for (int i = 0; i < 3; ++i)
    {
        kbzQueue([&order, i] { order.push_back(i); });
    }
    EXPECT_TRUE(kbzCheckSynchronize(0));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_FALSE(kbzCheckSynchronize(0));
}

TEST(kbzSynchronize, CancelWakesWaitersWithoutRunningTheirCalls)
{
    std::promise<void> waiting;
    std::atomic<bool> ran{false};
    auto worker = std::async(std::launch::async, [&] {
        waiting.set_value();
        kbzSynchronize([&] { ran.store(true); });
    });
    waiting.get_future().wait();
    // The call is posted just after the promise; cancel until the worker is out.
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (worker.wait_for(10ms) != std::future_status::ready &&
           std::chrono::steady_clock::now() < end)
    {
        kbzCancelSynchronize();
    }
    ASSERT_EQ(worker.wait_for(0s), std::future_status::ready);
    worker.get();
    EXPECT_FALSE(ran.load());
}

// Ticks delivered on the main thread, for both posting modes.
class TkbzTimerOnMain : public ::testing::TestWithParam<TwsNotifyEvent>
{};

TEST_P(TkbzTimerOnMain, TicksRunOnTheMainThread)
{
    const auto mainId = std::this_thread::get_id();
    TkbzTimer timer("OnMain");
    std::atomic<int> ticks{0};
    std::atomic<bool> onMain{true};
    timer.SetInterval(100);
    timer.SetNotifyEvents(GetParam());
    timer.OnTimer = [&](TkbzTimer&) {
        onMain.store(onMain.load() && std::this_thread::get_id() == mainId);
        ticks.fetch_add(1);
    };
    timer.SetEnabled(true);
    ASSERT_TRUE(DrainUntil([&] { return ticks.load() >= 2; }));
    EXPECT_TRUE(onMain.load());
    // Leaving the scope frees the timer from the main thread; with
    // neSynchronous its thread may be waiting for the main thread right now.
}

TEST_P(TkbzTimerOnMain, FreeingFromInsideAPostedTickDefersToTheTimer)
{
    std::atomic<bool> destroyed{false};
    std::unique_ptr<SignalingTimer> timer =
        std::make_unique<SignalingTimer>([&] { destroyed.store(true); });
    std::atomic<int> ticks{0};
    bool cleared = false;
    timer->SetInterval(100);
    timer->SetNotifyEvents(GetParam());
    timer->OnTimer = [&](TkbzTimer& self) {
        if (ticks.fetch_add(1) > 0)
        {
            return;
        }
        kbzFreeThread(timer); // on the main thread, inside the timer's own tick
        cleared = timer == nullptr;
        EXPECT_FALSE(destroyed.load());
        EXPECT_EQ(self.GetInterval(), 100); // still alive while the tick runs
    };
    timer->SetEnabled(true);
    ASSERT_TRUE(DrainUntil([&] { return destroyed.load(); }));
    EXPECT_TRUE(cleared);
    EXPECT_EQ(ticks.load(), 1);
    kbzCheckSynchronize(0); // a tick posted meanwhile must find its timer gone
    EXPECT_EQ(ticks.load(), 1);
}

TEST_P(TkbzTimerOnMain, FreeingFromAnotherThreadWaitsForAPostedTick)
{
    auto timer = std::make_unique<TkbzTimer>("PostedBusy");
    std::atomic<bool> inTick{false};
    std::atomic<bool> tickEnded{false};
    std::atomic<int> ticks{0};
    std::future<bool> freeing;
    timer->SetInterval(100);
    timer->SetNotifyEvents(GetParam());
    timer->OnTimer = [&](TkbzTimer&) {
        if (ticks.fetch_add(1) > 0)
        {
            return;
        }
        inTick.store(true);
        freeing = std::async(std::launch::async, [&] {
            kbzFreeThread(timer);
            return tickEnded.load();
        });
        // A short wait only to show that the other thread does not finish
        // freeing while this tick still runs.
        EXPECT_EQ(freeing.wait_for(200ms), std::future_status::timeout);
        tickEnded.store(true);
    };
    timer->SetEnabled(true);
    ASSERT_TRUE(DrainUntil([&] { return tickEnded.load(); }));
    ASSERT_TRUE(DrainUntil([&] { return freeing.wait_for(0s) == std::future_status::ready; }));
    EXPECT_TRUE(freeing.get());
    EXPECT_EQ(timer, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Modes, TkbzTimerOnMain,
                         ::testing::Values(TwsNotifyEvent::neAsynchronous,
                                           TwsNotifyEvent::neSynchronous),
                         [](const ::testing::TestParamInfo<TwsNotifyEvent>& p) {
                             return p.param == TwsNotifyEvent::neAsynchronous
                                        ? std::string("Asynchronous")
                                        : std::string("Synchronous");
                         });

namespace
{
// A worker whose pass waits for the main thread.
class SynchronizingThread : public TkbzIdThread
{
public:
    SynchronizingThread() : TkbzIdThread(true, "Sync") {}
    ~SynchronizingThread() override { TerminateAndWait(); }

    std::promise<void> Posting;
    std::atomic<int> Ran{0};

protected:
    void Run() override
    {
        if (FFirst)
        {
            FFirst = false;
            Posting.set_value();
        }
        kbzSynchronize([this] { Ran.fetch_add(1); });
    }

private:
    bool FFirst = true;
};

// A worker whose pass raises.
class RaisingThread : public TkbzIdThread
{
public:
    RaisingThread() : TkbzIdThread(true, "Raise") {}
    ~RaisingThread() override { TerminateAndWait(); }
    std::atomic<int> Passes{0};

protected:
    void Run() override
    {
        Passes.fetch_add(1);
        throw std::runtime_error("escaped");
    }
    void DoTerminated() noexcept override { Ended.set_value(); }

public:
    std::promise<void> Ended;
};
} // namespace

TEST(kbzFreeThread, OnTheMainThreadServesAThreadWaitingForIt)
{
    auto thread = std::make_unique<SynchronizingThread>();
    auto posting = thread->Posting.get_future();
    thread->Start();
    ASSERT_EQ(posting.wait_for(10s), std::future_status::ready);
    // The thread is about to wait (or waits) for the main thread, which does
    // not drain here: freeing must serve it instead of waiting forever.
    kbzFreeThread(thread);
    EXPECT_EQ(thread, nullptr);
}

TEST(TkbzIdThread, AnExceptionEscapingAPassEndsTheThreadQuietly)
{
    RaisingThread thread;
    auto ended = thread.Ended.get_future();
    thread.Start();
    ASSERT_EQ(ended.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(thread.Passes.load(), 1);
    EXPECT_TRUE(thread.Terminated());
    thread.TerminateAndWait();
    EXPECT_TRUE(thread.Finished());
    thread.Start(); // a terminated thread does not start again
    EXPECT_EQ(thread.Passes.load(), 1);
}
