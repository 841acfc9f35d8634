#include "platform/Cwindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Log : Creceiver {
    std::vector<Cmsg> got;
    void receive(const Cmsg& m) override { got.push_back(m); }
};

}

TEST(Cqueuepump, PostedMessagesArriveInOrderWhenPumped)
{
    Cqueuepump q;
    Log w;
    q.post(&w, Cmsg{WM_PROGRESS, 0, 10});
    q.post(&w, Cmsg{WM_PROGRESS, 0, 20});
    q.post(&w, Cmsg{WM_FINISHED, 0, 0});
    EXPECT_TRUE(w.got.empty());
    EXPECT_EQ(q.pump(), 3);
    ASSERT_EQ(w.got.size(), 3u);
    EXPECT_EQ(w.got[0].lparam, 10);
    EXPECT_EQ(w.got[1].lparam, 20);
    EXPECT_EQ(w.got[2].msg, WM_FINISHED);
}

TEST(Cqueuepump, DropsMessagesForDestroyedReceivers)
{
    Cqueuepump q;
    Log kept;
    {
        Log gone;
        q.post(&gone, Cmsg{WM_REFRESH, 0, 0});
    }
    q.post(&kept, Cmsg{WM_REFRESH, 0, 0});
    EXPECT_EQ(q.pump(), 1);
    EXPECT_EQ(kept.got.size(), 1u);
}

TEST(Cqueuepump, SendFromAnotherThreadWaitsUntilHandled)
{
    Cqueuepump q;
    Log w;
    std::atomic<int> returned{0};
    std::thread render([&] {
        for (int pct = 1; pct <= 3; ++pct) {
            q.send(&w, Cmsg{WM_PROGRESS, 0, pct});
            // The owner has handled this message before send returns.
            if (int(w.got.size()) == pct && w.got.back().lparam == pct) returned.fetch_add(1);
        }
    });
    int delivered = 0;
    while (delivered < 3) delivered += q.wait(1000);
    render.join();
    EXPECT_EQ(returned.load(), 3);
}

TEST(Cqueuepump, SendOnTheOwnerThreadIsDirect)
{
    Cqueuepump q;
    Log w;
    q.send(&w, Cmsg{WM_TICK, 1, 2});
    ASSERT_EQ(w.got.size(), 1u);
    EXPECT_EQ(q.pending(), 0u);
}

TEST(Cwindow, PostmsgUsesTheInstalledPump)
{
    Cqueuepump q;
    Cmsgpump* prev = setmsgpump(&q);
    Log w;
    postmsg(&w, WM_LYRIC, 0, 77);
    postmsg(nullptr, WM_LYRIC);   // no window: nothing happens
    setmsgpump(prev);
    EXPECT_EQ(q.pump(), 1);
    EXPECT_EQ(w.got.at(0).lparam, 77);
}
