// The MIDI scheduler with a port that keeps what it is sent: the pause after system exclusive
// messages, stopping while runs happen on the timer thread, and the recorder's tail.
#include "tools/Csched.h"

#include "bank/Bankmaker.h"
#include "bank/Csf2file.h"
#include "bank/Cstore.h"
#include "midi/Cmidfil.h"
#include "midi/Midbytes.h"
#include "midi/Midfixture.h"
#include "platform/Cwindow.h"
#include "settings/Csettings.h"
#include "synth/Cbuses.h"
#include "synth/Clive.h"
#include "synth/Testbank.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
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

TEST(Csched, ScaleStretchesTheTimesAndTheSeekIsInTheFilesTime) {
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
    s.setseek(50000);   // past the first note, before the second
    const auto t0 = std::chrono::steady_clock::now();
    s.start();
    loop.pumpuntil([&] { return owner.count(MM_MOM_CLOSE) == 1; });
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 199ms);
    const std::vector<Msg> got = sys.got();
    ASSERT_EQ(got.size(), 1u + 32u);
    EXPECT_EQ(got[0], (Msg{0x90, 62, 1}));
}

TEST(Csched, KeyAndTempoChangeWhilePlaying) {
    // A tick is 10 ms. A melodic note 0..300 ms and one 400..500 ms; a drum note 0..500 ms.
    Midfixture fix;
    ASSERT_TRUE(fix.read(Midbytes(100, 0)
                             .track({0, 0x90, 60, 100, 0, 0x99, 36, 100, 30, 0x80, 60, 0, 10, 0x90, 64, 100, 10,
                                     0x80, 64, 0, 0, 0x89, 36, 0, 0, 0xFF, 0x2F, 0})
                             .bytes()));
    Ctimeline tl;
    tl.buildplayer(*fix.file);
    Keepsys sys;
    Cmsgloop loop;
    Owner owner;
    ASSERT_TRUE(fix.file->open(&owner));
    Csched s(*fix.file, tl);
    const auto t0 = std::chrono::steady_clock::now();
    s.start();
    std::this_thread::sleep_until(t0 + 100ms);   // the schedule runs on the timer thread
    // Two half tones up and twice as fast, 100 ms in: the sounding melodic note ends now (its
    // own note-off is not sent again), the next one plays transposed 150 ms later, the drum
    // keeps its key, and the rest of the file takes half its time.
    s.setkey(2);
    EXPECT_GE(s.playing(), 80000.0);
    EXPECT_LE(s.playing(), 120000.0);
    s.setscale(0.5);
    loop.pumpuntil([&] { return owner.count(MM_MOM_CLOSE) == 1; });
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, 240ms);
    EXPECT_LT(took, 450ms);
    const std::vector<Msg> got = sys.got();
    ASSERT_EQ(got.size(), 6u + 32u);
    EXPECT_EQ(got[0], (Msg{0x90, 60, 100}));
    EXPECT_EQ(got[1], (Msg{0x99, 36, 100}));
    EXPECT_EQ(got[2], (Msg{0x80, 60, 0}));
    EXPECT_EQ(got[3], (Msg{0x90, 66, 100}));
    EXPECT_EQ(got[4], (Msg{0x80, 66, 0}));
    EXPECT_EQ(got[5], (Msg{0x89, 36, 0}));
}

namespace {

// The port of the built-in synthesizer without a device: messages go to the engine's queue.
class Liveport : public Cmidiport {
public:
    explicit Liveport(Clive& live) : m_live(live) {}
    bool send(const uint8_t* b, size_t n) override { return m_live.post(b, n); }

private:
    Clive& m_live;
};

}  // namespace

TEST(Csched, KeyAndTempoChangeMidNoteThroughTheLiveEngine) {
    // A bank whose preset plays a looped saw (the tiny bank's ramp) with a 1 ms attack and
    // release: C4 sounds at 1378 Hz, an octave up at 2756 Hz.
    Sf2parts parts = tinybank();
    Bytes igen;
    add16(igen, 54), add16(igen, 1);   // looped
    add16(igen, 53), add16(igen, 0);
    add16(igen, 0), add16(igen, 0);
    parts.pdtachunk("igen").body = igen;
    Tempdir dir;
    ASSERT_TRUE(writebytes(dir.file("saw.sf2"), parts.assemble()));
    Cstore store(uint64_t(1) << 26, nullptr);
    Csf2file bank(dir.file("saw.sf2"), &store);
    ASSERT_TRUE(bank.rdfile());

    // A tick is 10 ms: C4 for 150 ms every 200 ms, eight times.
    std::vector<uint8_t> track{0, 0xC0, 5};
    for (int i = 0; i < 8; ++i) {
        const std::vector<uint8_t> note{uint8_t(i ? 5 : 0), 0x90, 60, 100, 15, 0x80, 60, 0};
        track.insert(track.end(), note.begin(), note.end());
    }
    track.insert(track.end(), {0, 0xFF, 0x2F, 0});
    Midfixture fix;
    ASSERT_TRUE(fix.read(Midbytes(100, 0).track(track).bytes()));
    Ctimeline tl;
    tl.buildplayer(*fix.file);

    Csettings settings;
    Clive live(settings, nullptr, bank, store);
    live.keysgiven();
    live.prepare(tl, 0);
    live.preload(tl, 12);   // as the player loads a key before it changes to it
    std::vector<float> dry;  // left dry bus of every period, as played
    live.effects().tapctx = &dry;
    live.effects().tap = [](void* ctx, const Ceffects& fx, int n) {
        auto& d = *static_cast<std::vector<float>*>(ctx);
        d.insert(d.end(), fx.bus(Cbuses::DRYL), fx.bus(Cbuses::DRYL) + n);
    };
    // Periods of 128 frames rendered at the pace of a sound card.
    std::atomic<bool> stop{false};
    const auto t0 = std::chrono::steady_clock::now();
    std::thread device([&] {
        std::vector<int16_t> out(2 * 128);
        for (long k = 0; !stop.load(); ++k) {
            std::this_thread::sleep_until(t0 + std::chrono::microseconds(k * 128 * 1000000L / 44100));
            live.render(out.data(), 128);
        }
    });

    Cmsgloop loop;
    Owner owner;
    ASSERT_TRUE(fix.file->open(&owner, std::make_unique<Liveport>(live)));
    Csched s(*fix.file, tl);
    s.start();
    // 500 ms in, the third note sounding: an octave up and twice as fast.
    std::this_thread::sleep_until(t0 + 500ms);
    s.setkey(12);
    s.setscale(0.5);
    loop.pumpuntil([&] { return owner.count(MM_MOM_CLOSE) == 1; });
    std::this_thread::sleep_for(100ms);
    stop.store(true);
    device.join();
    s.stop();
    EXPECT_EQ(live.sounding(), 0);   // no note hangs

    // Onsets: the first sound after at least 5 ms of silence.
    std::vector<size_t> onsets;
    size_t quiet = 1000;
    for (size_t i = 0; i < dry.size(); ++i) {
        if (dry[i] != 0 && quiet >= 220) onsets.push_back(i);
        quiet = dry[i] == 0 ? quiet + 1 : 0;
    }
    ASSERT_EQ(onsets.size(), 8u);
    const double ms = 1000.0 / 44100;
    for (size_t i = 1; i < 8; ++i) {
        const double gap = double(onsets[i] - onsets[i - 1]) * ms;
        if (i < 3) {
            EXPECT_NEAR(gap, 200, 10) << i;   // before the change
        } else if (i > 3) {
            EXPECT_NEAR(gap, 100, 10) << i;   // after it: half the spacing
        }
    }
    // The note sounding at the change ends then, well before its own end.
    const size_t change = onsets[2] + size_t(100 / ms);
    size_t end = onsets[2];
    while (end < onsets[3] && !(dry[end] == 0 && dry[end + 1] == 0 && dry[end + 2] == 0)) ++end;
    EXPECT_LT(double(end) * ms, double(change) * ms + 15);
    // Pitch before and after (the sample is tuned 7 cents down).
    for (size_t i = 0; i < 8; ++i) {
        const double hz = pitchhz(dry, onsets[i] + 100, onsets[i] + size_t(60 / ms));
        EXPECT_NEAR(hz, (i < 3 ? 1378.125 : 2756.25) * std::exp2(-7 / 1200.0), 3) << i;
    }
    // No step between samples beyond what the saws themselves make while they play: the change,
    // the starts and the ends add no click.
    float saw = 0, any = 0;
    for (size_t i = 1; i < dry.size(); ++i) any = std::max(any, std::fabs(dry[i] - dry[i - 1]));
    for (size_t on : onsets)
        for (size_t i = on + 200; i < on + size_t(60 / ms); ++i) saw = std::max(saw, std::fabs(dry[i] - dry[i - 1]));
    EXPECT_LE(any, saw * 1.01f);
}
