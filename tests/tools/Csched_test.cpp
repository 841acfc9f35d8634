// The MIDI scheduler with a port that keeps what it is sent: the pause after system exclusive
// messages, stopping while runs happen on the timer thread, and the recorder's tail.
#include "tools/Csched.h"

#include "midi/Cmidfil.h"
#include "midi/Midbytes.h"
#include "midi/Midfixture.h"
#include "platform/Cwindow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Msg = std::vector<uint8_t>;

class Keepport : public Cmidiport {
public:
    Keepport(std::vector<Msg>& got, std::mutex& lock, std::thread::id& gone)
        : m_got(got), m_lock(lock), m_gone(gone)
    {
    }
    ~Keepport() override
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_gone = std::this_thread::get_id();
    }
    bool send(const uint8_t* b, size_t n) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_got.push_back(Msg(b, b + n));
        return true;
    }

private:
    std::vector<Msg>& m_got;
    std::mutex& m_lock;
    std::thread::id& m_gone;
};

class Keepsys : public Cmidisys {
public:
    Keepsys() { m_prev = setmidisys(this); }
    ~Keepsys() override { setmidisys(m_prev); }
    std::vector<std::string> ports() override { return {"keep"}; }
    std::unique_ptr<Cmidiport> open(int) override { return std::make_unique<Keepport>(m_got, m_lock, m_gone); }
    std::vector<Msg> got()
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_got;
    }
    // The thread that ended the last port.
    std::thread::id gone()
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_gone;
    }

private:
    std::vector<Msg> m_got;
    std::mutex m_lock;
    std::thread::id m_gone;
    Cmidisys* m_prev = nullptr;
};

// Collects the device messages, as a dialog would see them.
struct Owner : Cwindow {
    std::vector<unsigned> msgs;
    void handle(unsigned msg, uintptr_t, intptr_t) override { msgs.push_back(msg); }
    int count(unsigned m) const { return int(std::count(msgs.begin(), msgs.end(), m)); }
};

}  // namespace

TEST(Csched, SystemExclusiveHoldsTheNextEventUntilTheDeviceReturnsIt) {
    Midfixture fix;
    ASSERT_TRUE(fix.read(Midbytes(96, 0).track({0, 0xF0, 3, 0x43, 0x10, 0xF7, 0, 0x90, 60, 1, 0, 0xFF, 0x2F, 0}).bytes()));
    Ctimeline tl;
    tl.buildplayer(*fix.file);
    Keepsys sys;
    Cmsgloop loop;
    Owner owner;
    ASSERT_TRUE(fix.file->open(&owner));
    Csched s(*fix.file, tl);
    s.setdialog(&owner);
    s.start();
    EXPECT_EQ(sys.got(), (std::vector<Msg>{{0xF0, 0x43, 0x10, 0xF7}}));   // the note waits
    loop.pump();
    EXPECT_EQ(owner.count(MM_MOM_DONE), 1);
    s.resume();
    EXPECT_TRUE(s.ended());
    const std::vector<Msg> got = sys.got();
    ASSERT_EQ(got.size(), 2u + 32u);
    EXPECT_EQ(got[1], (Msg{0x90, 60, 1}));
    EXPECT_EQ(fix.file->hmo, nullptr);
    loop.pump();
    EXPECT_EQ(owner.msgs.back(), unsigned(MM_MOM_CLOSE));
}

TEST(Csched, NothingIsSentOnceStopReturns) {
    // 400 notes one millisecond apart (division 1000, 1,000,000 us a quarter: a tick is 1 ms).
    Bytes ev;
    for (int i = 0; i < 400; ++i) ev.insert(ev.end(), {uint8_t(i ? 1 : 0), 0x90, uint8_t(i % 128), 1});
    ev.insert(ev.end(), {0, 0xFF, 0x2F, 0});
    Midfixture fix;
    ASSERT_TRUE(fix.read(Midbytes(1000, 0).track(ev).bytes()));
    Ctimeline tl;
    tl.buildplayer(*fix.file);
    Keepsys sys;
    Cmsgloop loop;
    Owner owner;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(fix.file->open(&owner));
        auto s = std::make_unique<Csched>(*fix.file, tl);
        s->start();
        std::this_thread::sleep_for(std::chrono::microseconds(500 * round));
        s->stop();
        const size_t n = sys.got().size();
        s.reset();   // deleting right after stop is safe
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(sys.got().size(), n);
        fix.file->close();
        loop.pump();
    }
}

TEST(Csched, TailKeepsTheEndWaiting) {
    Midfixture fix;
    ASSERT_TRUE(fix.read(Midbytes(96, 0).track({0, 0x90, 60, 1, 0, 0xFF, 0x2F, 0}).bytes()));
    Ctimeline tl;
    tl.buildplayer(*fix.file);
    Keepsys sys;
    Cmsgloop loop;
    Owner owner;
    ASSERT_TRUE(fix.file->open(&owner));
    Csched s(*fix.file, tl);
    s.settail(300000);
    const auto t0 = std::chrono::steady_clock::now();
    s.start();
    EXPECT_FALSE(s.ended());
    loop.pumpuntil([&] { return owner.count(MM_MOM_CLOSE) == 1; });
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 299ms);
    EXPECT_TRUE(s.ended());
    // The end came on the timer thread; the port it closed is ended by the owner's stop().
    EXPECT_EQ(sys.gone(), std::thread::id());
    s.stop();
    EXPECT_EQ(sys.gone(), std::this_thread::get_id());
}

TEST(Csched, ScaleStretchesTheTimesAndTheSeekCountsOnTheScaledClock) {
    // Division 1000 at 1,000,000 us a quarter: a tick is 1 ms. Notes at 0 and 100 ms.
    Midfixture fix;
    ASSERT_TRUE(fix.read(Midbytes(1000, 0).track({0, 0x90, 60, 1, 100, 0x90, 62, 1, 0, 0xFF, 0x2F, 0}).bytes()));
    Ctimeline tl;
    tl.buildplayer(*fix.file);
    Keepsys sys;
    Cmsgloop loop;
    Owner owner;
    ASSERT_TRUE(fix.file->open(&owner));
    Csched s(*fix.file, tl);
    s.setscale(2);      // half speed: the second note comes at 200 ms
    s.setseek(150000);  // past the first note, before the second
    const auto t0 = std::chrono::steady_clock::now();
    s.start();
    loop.pumpuntil([&] { return owner.count(MM_MOM_CLOSE) == 1; });
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 199ms);
    const std::vector<Msg> got = sys.got();
    ASSERT_EQ(got.size(), 1u + 32u);
    EXPECT_EQ(got[0], (Msg{0x90, 62, 1}));
}
