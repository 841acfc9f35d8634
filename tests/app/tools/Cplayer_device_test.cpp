// The file player against real devices, driven through its dialog offscreen: MIDI goes to a JACK
// server with the dummy backend, where a virtual input collects the bytes; WAVE goes through
// PortAudio to ALSA's file plugin, which writes what is played into a file.
#include "app/tools/Cplayer.h"

#include "app/Fixtures.h"
#include "midi/Midbytes.h"
#include "platform/devices/Cmidiportrt.h"
#include "platform/Ctimer.h"
#include "platform/devices/Cwaveiopa.h"
#include "support/Boxes.h"
#include "support/Jackserver.h"
#include "tools/Csched.h"

#include <QPushButton>
#include <QSlider>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using jackfixture::Jackserver;
using jackfixture::Msg;
using jackfixture::Receiver;

// Notes the steady-clock time of every message where it is handed to the real port.
class Stampport : public Cmidiport {
public:
    Stampport(std::unique_ptr<Cmidiport> real, std::vector<double>& times, std::mutex& lock)
        : m_real(std::move(real)), m_times(times), m_lock(lock) {}
    bool send(const uint8_t* bytes, size_t n) override
    {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_times.push_back(Csched::nowus());
        }
        return m_real->send(bytes, n);
    }

private:
    std::unique_ptr<Cmidiport> m_real;
    std::vector<double>& m_times;
    std::mutex& m_lock;
};

class Stampsys : public Cmidisys {
public:
    std::vector<std::string> ports() override { return m_rt.ports(); }
    std::unique_ptr<Cmidiport> open(int index) override
    {
        std::unique_ptr<Cmidiport> p = m_rt.open(index);
        if (!p) return nullptr;
        return std::make_unique<Stampport>(std::move(p), m_times, m_lock);
    }
    std::vector<double> times()
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_times;
    }
    void clear()
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_times.clear();
    }

private:
    Crtmidi m_rt;
    std::vector<double> m_times;
    std::mutex m_lock;
};

Jackserver* g_jack = nullptr;

std::vector<Msg> notesoff()
{
    std::vector<Msg> m;
    for (uint8_t ch = 0; ch < 16; ++ch) {
        m.push_back({uint8_t(0xB0 | ch), 123, 0});
        m.push_back({uint8_t(0xB0 | ch), 120, 0});
    }
    return m;
}

Bytes noise(size_t n, uint32_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        b[i] = uint8_t(1 + (seed >> 24) % 255);
    }
    return b;
}

Bytes nonzero(const Bytes& raw)
{
    Bytes b;
    for (uint8_t c : raw)
        if (c) b.push_back(c);
    return b;
}

class Playerdev : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        setenv("ALSA_CONFIG_PATH",
               "/usr/share/alsa/alsa.conf:" CANTORIX_SOURCE_DIR "/tests/platform/alsa-file.conf", 0);
        g_jack = new Jackserver;
    }
    static void TearDownTestSuite()
    {
        delete g_jack;
        g_jack = nullptr;
    }
    void SetUp() override
    {
        m_prevwave = setwavesys(&m_pa);
        m_prevmidi = setmidisys(&m_midi);
        setenv("CANTORIX_PLAYFILE", m_dir.file("played.raw").c_str(), 1);
        unsetenv("CANTORIX_PLAYFORMAT");
    }
    void TearDown() override
    {
        setwavesys(m_prevwave);
        setmidisys(m_prevmidi);
    }
    bool needjack()
    {
        if (g_jack->absent) return false;
        EXPECT_EQ(g_jack->problem, "");
        return g_jack->problem.empty();
    }
    int indexof(const std::string& name)
    {
        const std::vector<std::string> ports = Crtmidi().ports();
        for (size_t i = 0; i < ports.size(); ++i)
            if (ports[i].find(name) != std::string::npos) return int(i);
        return -1;
    }
    void loadmidi(const Bytes& smf)
    {
        ASSERT_TRUE(writebytes(m_dir.file("song.mid"), smf));
        ctx.midipath = m_dir.file("song.mid");
        ctx.midititle = "song.mid";
        ASSERT_TRUE(::loadmidi(ctx.midi, ctx.midipath, ctx.mixer));
    }
    // Handles messages until done() holds; false after 20 s.
    template <class Pred> bool pumpuntil(Pred done)
    {
        const auto limit = std::chrono::steady_clock::now() + 20s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > limit) return false;
            if (m_loop.pump() == 0) std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    Cmsgloop m_loop;
    Tempdir m_dir;
    Cpawave m_pa;
    Stampsys m_midi;
    Cwavesys* m_prevwave = nullptr;
    Cmidisys* m_prevmidi = nullptr;
    Ccontext ctx;
};

}  // namespace

TEST_F(Playerdev, SeekChasesProgramsControllersAndSysexButNoNotesAndLeavesMutedNotesOut) {
    if (!needjack()) GTEST_SKIP() << "jackd is not installed";
    Receiver rx;
    ctx.settings.midiout = indexof(rx.name());
    // 96 ticks per quarter at 500,000 us: 96 ticks = 0.5 s, the file lasts 400 ticks.
    loadmidi(Midbytes(96, 0).track(Midbytes::cat({
        Midbytes::tempo(500000),
        {0, 0xC0, 5, 0, 0xB0, 7, 100, 0, 0x90, 60, 100},
        {48, 0xF0, 5, 0x7E, 0x7F, 0x09, 0x01, 0xF7},
        {48, 0xB2, 10, 32, 0, 0x92, 64, 100},
        {96, 0x80, 60, 0, 7, 0xC1, 16},
        {89, 0x90, 62, 100, 12, 0x92, 65, 100},
        {84, 0x80, 62, 0, 6, 0x82, 65, 0, 10, 0xFF, 0x2F, 0}})).bytes());
    ctx.mixer.setmute(2, true);
    Cplayer player(ctx, nullptr);
    ASSERT_FALSE(player.wavesel());
    EXPECT_EQ(player.status(), "Stopped   00:00 / 00:02");
    player.slider()->setValue(5000);   // half of 400 ticks: tick 200
    EXPECT_EQ(player.status(), "Stopped   00:01 / 00:02");
    player.playbutton()->click();
    ASSERT_EQ(player.state(), Cplayer::playing);
    ASSERT_TRUE(pumpuntil([&] { return player.state() == Cplayer::stopped; }));
    EXPECT_EQ(player.status(), "Stopped   00:00 / 00:02");
    std::vector<Msg> want = {{0xC0, 5}, {0xB0, 7, 100}, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, {0xB2, 10, 32},
                             {0xC1, 16}, {0x90, 62, 100}, {0x80, 62, 0}};
    for (const Msg& m : notesoff()) want.push_back(m);
    EXPECT_EQ(rx.take(want.size() + 1), want);
    EXPECT_EQ(timeperiods(), 0);
}

TEST_F(Playerdev, StopSilencesEveryChannelAndSendsNothingMore) {
    if (!needjack()) GTEST_SKIP() << "jackd is not installed";
    Receiver rx;
    ctx.settings.midiout = indexof(rx.name());
    loadmidi(Midbytes(96, 0).track({0, 0x90, 60, 100, 0x83, 0x00, 0x80, 60, 0, 0, 0xFF, 0x2F, 0}).bytes());
    Cplayer player(ctx, nullptr);
    player.playbutton()->click();
    ASSERT_TRUE(pumpuntil([&] { return !m_midi.times().empty(); }));
    EXPECT_EQ(player.status().left(10), "Playing   ");
    player.stopbutton()->click();
    EXPECT_EQ(player.state(), Cplayer::stopped);
    EXPECT_EQ(player.status(), "Stopped   00:00 / 00:04");
    std::vector<Msg> want = {{0x90, 60, 100}};
    for (const Msg& m : notesoff()) want.push_back(m);
    std::this_thread::sleep_for(100ms);
    m_loop.pump();
    EXPECT_EQ(rx.take(want.size() + 1), want);
    EXPECT_EQ(ctx.midi->hmo, nullptr);
    EXPECT_TRUE(player.playbutton()->isEnabled());
}

TEST_F(Playerdev, EmptyTimelineReturnsToStoppedAtOnce) {
    if (!needjack()) GTEST_SKIP() << "jackd is not installed";
    Receiver rx;
    ctx.settings.midiout = indexof(rx.name());
    loadmidi(Midbytes(96, 1).bytes());   // no tracks at all
    Cplayer player(ctx, nullptr);
    EXPECT_TRUE(player.timeline().empty());
    player.playbutton()->click();
    ASSERT_TRUE(pumpuntil([&] { return player.state() == Cplayer::stopped; }));
    EXPECT_EQ(player.status(), "Stopped   00:00 / 00:00");
    EXPECT_EQ(rx.take(33), notesoff());
}

TEST_F(Playerdev, EveryEventLeavesWithinTwoMillisecondsOfItsTime) {
    if (!needjack()) GTEST_SKIP() << "jackd is not installed";
    // 480 ticks per quarter. First 5 s at 250,000 us: an event every 120 ticks (62.5 ms); then
    // 750,000 us: every 120 ticks is 187.5 ms, up to 10 s.
    Bytes ev = Midbytes::tempo(250000);
    std::vector<double> due;   // microseconds from the first event
    std::vector<Msg> msgs;
    auto add = [&](uint32_t delta, uint8_t st, uint8_t key, double at) {
        Bytes v = Midbytes::vlq(delta);
        ev.insert(ev.end(), v.begin(), v.end());
        ev.insert(ev.end(), {st, key, uint8_t(st == 0x90 ? 90 : 0)});
        due.push_back(at);
        msgs.push_back({st, key, uint8_t(st == 0x90 ? 90 : 0)});
    };
    for (int k = 0; k < 80; ++k) add(k ? 120 : 0, k % 2 ? 0x80 : 0x90, uint8_t(60 + k % 12), k * 62500.0);
    const Bytes t2 = Midbytes::tempo(750000, 120);
    ev.insert(ev.end(), t2.begin(), t2.end());
    for (int j = 0; j < 27; ++j) add(j ? 120 : 0, j % 2 ? 0x80 : 0x90, 70, 5000000.0 + j * 187500.0);
    ev.insert(ev.end(), {0, 0xFF, 0x2F, 0});
    loadmidi(Midbytes(480, 0).track(ev).bytes());
    std::vector<Msg> want = msgs;
    for (const Msg& m : notesoff()) want.push_back(m);
    // The bound is about the scheduler, not about a machine busy with other work: a run that a
    // loaded machine delays is played again, up to three times in all.
    double worst = 0, early = 0;
    for (int run = 0; run < 3; ++run) {
        Receiver rx;
        ctx.settings.midiout = indexof(rx.name());
        m_midi.clear();
        Cplayer player(ctx, nullptr);
        player.playbutton()->click();
        ASSERT_TRUE(pumpuntil([&] { return player.state() == Cplayer::stopped; }));
        const std::vector<double> sent = m_midi.times();
        ASSERT_EQ(sent.size(), due.size() + 32);
        const double origin = player.sched()->origin();
        worst = 0;
        early = 0;
        for (size_t k = 0; k < due.size(); ++k) {
            const double err = sent[k] - (origin + due[k]);
            worst = std::max(worst, std::abs(err));
            early = std::min(early, err);
        }
        EXPECT_EQ(rx.take(want.size()), want);   // every message, in order, whatever the timing
        if (worst <= 2000.0) break;
    }
    RecordProperty("worst_us", int(worst));
    RecordProperty("earliest_us", int(early));
    EXPECT_LE(worst, 2000.0);
}

TEST_F(Playerdev, WavePausesAndResumesFromTheLastReturnedBuffer) {
    const Bytes data = noise(44100 * 4 * 20, 3);   // twenty seconds: the pause lands well before the end
    ASSERT_TRUE(writebytes(m_dir.file("take.wav"), [&] {
        Bytes b = wavefile(2, 44100, 0);
        b.insert(b.end(), data.begin(), data.end());
        const uint32_t n = uint32_t(data.size());
        for (int i = 0; i < 4; ++i) b[40 + size_t(i)] = uint8_t(n >> (8 * i)), b[4 + size_t(i)] = uint8_t((n + 36) >> (8 * i));
        return b;
    }()));
    ctx.wave = std::make_unique<Cwavfil>(m_dir.file("take.wav"));
    ctx.wavetitle = "take.wav";
    Cplayer player(ctx, nullptr);
    ASSERT_TRUE(player.wavesel());
    EXPECT_EQ(player.status(), "Stopped   00:00 / 00:20");
    player.playbutton()->click();
    ASSERT_EQ(player.state(), Cplayer::playing);
    EXPECT_FALSE(player.acceptDrops());
    ASSERT_TRUE(pumpuntil([&] { return player.position() > 0; }));
    player.pausebutton()->click();
    ASSERT_EQ(player.state(), Cplayer::paused);
    const double at = player.position();
    EXPECT_EQ(ctx.wave->hwo, nullptr);
    EXPECT_EQ(ctx.wave->fd, -1);
    EXPECT_TRUE(player.playbutton()->isEnabled());
    EXPECT_TRUE(player.stopbutton()->isEnabled());
    EXPECT_FALSE(player.pausebutton()->isEnabled());
    m_loop.pump();   // blocks returned by the pause change nothing
    EXPECT_EQ(player.position(), at);
    const size_t from = size_t(std::llround(at * 44100 / 1000000)) * 4;
    ASSERT_LT(from, data.size());

    player.playbutton()->click();
    ASSERT_EQ(player.state(), Cplayer::playing);
    ASSERT_TRUE(pumpuntil([&] { return player.state() == Cplayer::stopped; }));
    EXPECT_EQ(nonzero(readbytes(m_dir.file("played.raw"))), Bytes(data.begin() + long(from), data.end()));
    EXPECT_EQ(player.status(), "Stopped   00:00 / 00:20");
    EXPECT_TRUE(player.acceptDrops());
    EXPECT_EQ(ctx.wave->hwo, nullptr);
}
