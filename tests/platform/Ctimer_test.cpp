#include "platform/Ctimer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace {
using namespace std::chrono_literals;

// Records which timers fired, in order, and when.
struct Fired {
    std::mutex lock;
    std::condition_variable cv;
    std::vector<int> order;
    void add(int tag)
    {
        std::lock_guard<std::mutex> g(lock);
        order.push_back(tag);
        cv.notify_all();
    }
    bool waitfor(size_t n)
    {
        std::unique_lock<std::mutex> g(lock);
        return cv.wait_for(g, 5s, [&] { return order.size() >= n; });
    }
};
}  // namespace

TEST(Ctimer, FiresOnceInOrderOfDueTimeAndNotBeforeItsDelay) {
    Fired f;
    const uint32_t t0 = timeGetTime();
    uint32_t first = 0;
    // Equal delays fire in the order they were set.
    const struct { unsigned ms; int tag; } set[] = {{60, 3}, {20, 1}, {40, 2}, {40, 22}, {0, 0}};
    for (const auto& s : set) {
        const int tag = s.tag;
        ASSERT_NE(timeSetEvent(s.ms, [&, tag](unsigned) {
                      if (tag == 1) first = timeGetTime();
                      f.add(tag);
                  }),
                  0u);
    }
    ASSERT_TRUE(f.waitfor(5));
    EXPECT_EQ(f.order, (std::vector<int>{0, 1, 2, 22, 3}));
    EXPECT_GE(first - t0, 20u);
    EXPECT_EQ(timeSetEvent(2000000, [](unsigned) {}), 0u);   // past the capabilities
    EXPECT_EQ(timeSetEvent(1, nullptr), 0u);
}

TEST(Ctimer, KillCancelsPendingTimersAndCallbacksMayChain) {
    Fired f;
    const unsigned a = timeSetEvent(30, [&](unsigned) { f.add(1); });
    const unsigned b = timeSetEvent(10, [&](unsigned) { f.add(2); });
    ASSERT_NE(a, b);
    EXPECT_TRUE(timeKillEvent(a));
    EXPECT_FALSE(timeKillEvent(a));
    EXPECT_FALSE(timeKillEvent(0));
    // A callback that kills itself and starts the next one-shot, as the MIDI scheduler does.
    std::atomic<int> left{3};
    std::function<void(unsigned)> step = [&](unsigned id) {
        EXPECT_FALSE(timeKillEvent(id));   // already fired: nothing to cancel, no self-wait
        if (--left > 0) timeSetEvent(1, step);
        else f.add(3);
    };
    timeSetEvent(1, step);
    ASSERT_TRUE(f.waitfor(2));
    std::sort(f.order.begin(), f.order.end());
    EXPECT_EQ(f.order, (std::vector<int>{2, 3}));   // and not 1, which was killed
    EXPECT_FALSE(timeKillEvent(b));
}

TEST(Ctimer, KillWaitsForARunningCallback) {
    std::atomic<bool> inside{false}, finished{false};
    const unsigned id = timeSetEvent(0, [&](unsigned) {
        inside = true;
        std::this_thread::sleep_for(100ms);
        finished = true;
    });
    while (!inside) std::this_thread::yield();
    timeKillEvent(id);
    EXPECT_TRUE(finished);   // its owner may free what the callback used as soon as kill returns
}

TEST(Ctimer, PeriodsAreCountedAndCapsReportOneMillisecond) {
    const Timecaps caps = timeGetDevCaps();
    EXPECT_EQ(caps.periodmin, 1u);
    const int open = timeperiods();
    EXPECT_FALSE(timeBeginPeriod(0));
    EXPECT_TRUE(timeBeginPeriod(1));
    EXPECT_TRUE(timeBeginPeriod(5));
    EXPECT_EQ(timeperiods(), open + 2);
    EXPECT_FALSE(timeEndPeriod(2));
    EXPECT_TRUE(timeEndPeriod(5));
    EXPECT_TRUE(timeEndPeriod(1));
    EXPECT_EQ(timeperiods(), open);
}
