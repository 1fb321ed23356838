#include "base/kbzWebSocket_Classes_SyncObjs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

using namespace kbz;
using namespace std::chrono_literals;

TEST(TkbzCriticalSection, IsReentrant)
{
    TkbzCriticalSection cs;
    cs.Acquire();
    EXPECT_TRUE(cs.TryAcquire());
    cs.Release();
    cs.Release();
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

TEST(kbzFreeThread, FromInsideTheTimerReturnsAtOnce)
{
    auto timer = std::make_unique<TkbzTimer>("Self");
    std::promise<bool> freed;
    timer->SetInterval(100);
    timer->OnTimer = [&](TkbzTimer&) {
        kbzFreeThread(timer);
        freed.set_value(timer == nullptr);
    };
    timer->SetEnabled(true);
    auto f = freed.get_future();
    ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(f.get());
}
