#include "platform/Cwindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {
struct Recorder : Cwindow {
    std::vector<std::pair<unsigned, intptr_t>> got;
    std::thread::id lastthread;
    void handle(unsigned msg, uintptr_t, intptr_t lparam) override
    {
        got.push_back({msg, lparam});
        lastthread = std::this_thread::get_id();
    }
};
}  // namespace

TEST(Cmsgloop, SendFromWorkerWaitsForThePumpAndKeepsOrder) {
    Cmsgloop loop;
    Recorder w;
    std::atomic<int> sent{0};
    std::thread worker([&] {
        for (int p = 0; p <= 100; p += 50) {
            sendmsg(&w, WM_PROGRESS, 0, p);
            ++sent;   // only after the window handled the message
        }
        sendmsg(&w, WM_RENDERED);
    });
    loop.pumpuntil([&] { return !w.got.empty() && w.got.back().first == WM_RENDERED; });
    worker.join();
    ASSERT_EQ(w.got.size(), 4u);
    EXPECT_EQ(w.got[0], (std::pair<unsigned, intptr_t>{WM_PROGRESS, 0}));
    EXPECT_EQ(w.got[2].second, 100);
    EXPECT_EQ(sent.load(), 3);
    EXPECT_EQ(w.lastthread, std::this_thread::get_id());
}

TEST(Cmsgloop, PostQueuesUntilPumpedAndOwnerSendIsImmediate) {
    Cmsgloop loop;
    Recorder w;
    postmsg(&w, WM_REFRESH);
    EXPECT_TRUE(w.got.empty());
    sendmsg(&w, WM_SCHEDULE);   // from the owning thread: handled at once, ahead of the post
    ASSERT_EQ(w.got.size(), 1u);
    EXPECT_EQ(loop.pump(), 1);
    EXPECT_EQ(w.got.back().first, unsigned(WM_REFRESH));
}
