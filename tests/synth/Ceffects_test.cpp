// The effects processor end to end: buses in, frames out into a real WAVE file.
#include "synth/Ceffects.h"

#include "audio/Cwavfil.h"
#include "settings/Csettings.h"
#include "support/Tempdir.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

constexpr int LA = Ceffects::LOOKAHEAD;

// A processor with every effect quiet (no delay, compressor off) writing into a WAVE file.
struct Rig {
    Tempdir dir;
    Csettings s;
    std::atomic<bool> abortflag{false};
    std::unique_ptr<Ceffects> fx;
    Cwavfil wav{dir.file("out.wav")};

    explicit Rig(float delayamt = 0.0f, int complevel = 0)
    {
        Csettings::set(s.delayamt, delayamt);
        Csettings::set(s.complevel, complevel);
        fx = std::make_unique<Ceffects>(s, &abortflag);
        EXPECT_TRUE(wav.openwr());
        fx->setoutput(&wav);
        fx->prepare();
    }
    // Flushes, closes and returns the left and right samples of the file.
    std::vector<int16_t> finish()
    {
        fx->flush();
        wav.closewr(false, 0);
        EXPECT_EQ(wav.failed(), Wverr::none);
        const Bytes b = readbytes(dir.file("out.wav"));
        std::vector<int16_t> v;
        for (size_t i = 44; i + 1 < b.size(); i += 2) v.push_back(int16_t(b[i] | b[i + 1] << 8));
        return v;
    }
};

} // namespace

TEST(Ceffects, ShortRunIsWrittenByTheFlush)
{
    struct Case { float delayamt; int extra; };
    const Case cases[] = {{0.0f, 2794}, {0.5f, 2794 + 44100}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.delayamt);
        Rig rig(c.delayamt);
        // The chorus send's taps lie over 1000 frames back: all its output would fall into the
        // flush, which gives the chorus no input and takes none of its output.
        for (int i = 0; i < 1000; ++i) {
            rig.fx->bus(Ceffects::DRYL)[i] = 0.5f;
            rig.fx->bus(Ceffects::DRYR)[i] = -0.25f;
            rig.fx->bus(Ceffects::CHOL)[i] = 0.5f;
        }
        rig.fx->processblock(1000);
        EXPECT_EQ(rig.fx->flushlength(), 2794 + LA + c.extra - 2794);
        const auto v = rig.finish();
        EXPECT_EQ(rig.wav.nframes, 1000 + c.extra);
        ASSERT_EQ(v.size(), size_t(2 * (1000 + c.extra)));
        if (c.delayamt == 0) {
            for (int i = 0; i < 1000; ++i) {
                ASSERT_EQ(v[2 * i], 16383) << i;      // 0.5 x 32767 truncated
                ASSERT_EQ(v[2 * i + 1], -8191) << i;  // -0.25 x 32767 truncated
            }
            for (size_t i = 2 * 1000; i < v.size(); ++i) ASSERT_EQ(v[i], 0) << i;
        } else {
            // Half dry: the delayed half comes 20 ms (882 frames) later on the left.
            EXPECT_EQ(v[0], 8191);
            EXPECT_EQ(v[2 * 1500], 8191);
        }
    }
}

TEST(Ceffects, BlocksOfAnySizeContinueTheCount)
{
    Rig rig;
    int count = 0;
    const int sizes[] = {0, 1, 19, 20, 21, 1000, 5000};
    for (int n : sizes) {
        for (int i = 0; i < n; ++i) {
            rig.fx->bus(Ceffects::DRYL)[i] = (count + i) * (1.0f / 8192);
            rig.fx->bus(Ceffects::DRYR)[i] = -(count + i) * (1.0f / 8192);
        }
        rig.fx->mixpos = n;
        rig.fx->processblock(n);
        EXPECT_EQ(rig.fx->mixpos, 0);
        for (int b = 0; b < Ceffects::NBUS; ++b) ASSERT_EQ(rig.fx->bus(b)[0], 0.0f);
        count += n;
    }
    const auto v = rig.finish();
    ASSERT_EQ(v.size(), size_t(2 * (count + 2794)));
    for (int i = 0; i < count; ++i) {
        const int want = int(i * (1.0f / 8192) * 32767.0);
        ASSERT_EQ(v[2 * i], want) << i;
        ASSERT_EQ(v[2 * i + 1], -want) << i;
    }
}

// Each bus reaches its own channel through its own effect: the first non-zero frame tells which.
TEST(Ceffects, BusesFeedTheirEffects)
{
    struct Case { int bus; int firstl, firstr; };
    const Case cases[] = {
        {Ceffects::DRYL, 0, -1},    {Ceffects::DRYR, -1, 0},
        {Ceffects::REVL, 1116, 1139}, {Ceffects::REVR, 1116, 1139},   // mono input to the reverb
        // Chorus taps: 1102.5 + 0.012 t frames on the left, so the impulse is reached at t = 1115;
        // 1521.4 + 0.012 t on the right (its LFO a quarter period ahead): t = 1539.
        {Ceffects::CHOL, 1115, -1}, {Ceffects::CHOR, -1, 1539},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bus);
        Rig rig;
        rig.fx->bus(c.bus)[0] = 1.0f;
        rig.fx->processblock(3000);
        const auto v = rig.finish();
        auto first = [&](int ch) {
            for (size_t i = ch; i < 2 * 3000; i += 2)
                if (v[i] != 0) return int(i / 2);
            return -1;
        };
        EXPECT_EQ(first(0), c.firstl);
        EXPECT_EQ(first(1), c.firstr);
    }
}

TEST(Ceffects, EffectsOnTheHelperThreadGiveTheSameFrames)
{
    // Noise on all six buses, blocks of several sizes, the delay and the compressor on, then the
    // flush: handing the delay, the reverberator and the chorus to the helper thread, or leaving
    // whole blocks behind for it (longer ones in part), changes no frame.
    auto run = [](bool parallel, bool pipelined = false) {
        Rig rig(0.5f, 6);
        rig.fx->setparallel(parallel);
        rig.fx->setpipelined(pipelined);
        uint32_t x = 7;
        for (int n : {Ceffects::BUSLEN, 300, 511, 512, 4097, 100000}) {
            for (int b = 0; b < Ceffects::NBUS; ++b)
                for (int i = 0; i < n; ++i) {
                    x = x * 1664525 + 1013904223;
                    rig.fx->bus(b)[i] = float(int32_t(x) >> 8) * (0.25f / 8388608);
                }
            rig.fx->processblock(n);
        }
        return rig.finish();
    };
    const auto one = run(false), two = run(true), behind = run(true, true);
    ASSERT_EQ(one.size(), two.size());
    ASSERT_EQ(one.size(), behind.size());
    EXPECT_GT(one.size(), size_t(2 * Ceffects::BUSLEN));
    for (size_t i = 0; i < one.size(); ++i) {
        ASSERT_EQ(one[i], two[i]) << i;
        ASSERT_EQ(one[i], behind[i]) << i;
    }
}

TEST(Ceffects, AbortStopsTheBlock)
{
    // Also with blocks left behind: a block that finds the flag set goes no further, and one left
    // behind before it was set runs to its end.
    for (bool pipelined : {false, true}) {
        SCOPED_TRACE(pipelined ? "left behind" : "in the call");
        Rig rig;
        rig.fx->setpipelined(pipelined);
        for (int i = 0; i < 1000; ++i) rig.fx->bus(Ceffects::DRYL)[i] = 0.5f;
        rig.abortflag = true;
        rig.fx->processblock(1000);
        rig.fx->settle();
        EXPECT_EQ(rig.fx->bus(Ceffects::DRYL)[0], 0.0f);
        EXPECT_EQ(rig.fx->outstage().countdown(), LA);   // not a frame went through
        rig.abortflag = false;
        const auto v = rig.finish();
        EXPECT_EQ(rig.wav.nframes, 2794);
        EXPECT_EQ(rig.wav.peak, 0);
    }
    Rig rig;
    rig.fx->setpipelined(true);
    for (int i = 0; i < 5000; ++i) rig.fx->bus(Ceffects::DRYL)[i] = 0.5f;
    rig.fx->processblock(5000);
    rig.abortflag = true;
    rig.fx->settle();
    EXPECT_EQ(rig.fx->outstage().countdown(), LA - 5000);   // every frame went through
    rig.abortflag = false;
    rig.finish();
    EXPECT_EQ(rig.wav.nframes, 5000 + 2794);
}

TEST(Ceffects, FramesFromAFileWithMasterVolumeAndCompressor)
{
    struct Case { int mastervol, complevel; int16_t in, want; };
    const Case cases[] = {
        {0, 0, 16384, 16383},    {0, 0, -32768, -32767}, {0, 0, 1, 0},
        {-20, 0, 32767, 3276},   {0, 20, 32767, 28671},  {0, 20, 1000, 9999},
        {0, 20, 3000, 28345},    // 29999 in the soft clip's knee
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        Rig rig(0.0f, c.complevel);
        Csettings::set(rig.s.mastervoldb, c.mastervol);
        rig.fx->prepare();   // master volume and makeup gain are taken here
        const int16_t frames[] = {c.in, int16_t(-c.in), c.in, int16_t(-c.in), c.in, int16_t(-c.in)};
        rig.fx->processframes(frames, 3);
        const auto v = rig.finish();
        ASSERT_EQ(v.size(), size_t(2 * (3 + 2794)));
        EXPECT_EQ(v[0], c.want);
        EXPECT_EQ(v[4], c.want);
    }
}

// The compressor switch is read per frame: turned off between two blocks, the second block is
// written without makeup gain.
TEST(Ceffects, CompressorSwitchTakesEffectAtOnce)
{
    Rig rig(0.0f, 8);
    for (int i = 0; i < LA + 10; ++i) rig.fx->bus(Ceffects::DRYL)[i % Ceffects::BUSLEN] = 0.1f;
    rig.fx->processblock(LA + 5);
    Csettings::set(rig.s.complevel, 0);
    rig.fx->processblock(5);
    const auto v = rig.finish();
    EXPECT_EQ(v[0], 8230);   // 0.1 x 10^0.4 x 32767 = 8230.7
    EXPECT_EQ(v[2 * 5], 3276);
}
