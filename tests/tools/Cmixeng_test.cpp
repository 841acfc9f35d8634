// The audio mixer's engine on real files: offsets, gains, saturation, trimming, the separator,
// normalization and the effects path, each checked sample by sample against values computed here.
#include "tools/Cmixeng.h"

#include "settings/Csettings.h"
#include "support/Boxes.h"
#include "synth/Ceffects.h"
#include "tools/Mixfiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <sys/resource.h>

namespace {

int16_t sat(int v) { return int16_t(std::clamp(v, -32768, 32767)); }

class Mixer : public ::testing::Test {
protected:
    // Writes an input file and chooses it for channel c (volume steps rebalance as in the dialog).
    void input(int c, const Samples& s, uint32_t rate = 44100)
    {
        const std::string name = "in" + std::to_string(c) + ".wav";
        ASSERT_TRUE(writebytes(dir.file(name), wavbytes(s, rate)));
        ASSERT_TRUE(eng.choose(c, dir.file(name), name, "wav"));
    }
    void output() { ASSERT_TRUE(eng.choose(Cmixeng::OUTPUT, outpath(), "out.wav", "WAV")); }
    std::string outpath() const { return dir.file("out.wav"); }

    // Runs a whole mix with the check boxes given and returns the output's samples.
    Samples mix(bool trim = false, bool normalize = false, bool fx = false)
    {
        eng.trim = trim;
        eng.normalize = normalize;
        eng.applyfx = fx;
        EXPECT_TRUE(eng.startmix());
        EXPECT_EQ(eng.state, Cmixeng::mixing);
        for (int ticks = 0; eng.tick(); ++ticks)
            if (ticks > 1000) {
                ADD_FAILURE() << "the mix does not end";
                eng.stop();
                break;
            }
        EXPECT_EQ(eng.state, Cmixeng::ready);
        return wavsamples(readbytes(outpath()));
    }

    Tempdir dir;
    Boxes boxes;
    Csettings settings;
    std::atomic<bool> abortflag{true};
    Ceffects effects{settings, &abortflag};
    Cmixeng eng{settings, effects, abortflag};
};

// A ramp that never sits within +-8, different on the two sides.
int ramp(int i, int side) { return side ? 9000 - (i % 7000) : (i % 12000) - 6000 + (i % 12000 >= 6000 ? 9 : -9); }

}  // namespace

TEST_F(Mixer, RebalancesVolumesAndState)
{
    output();
    EXPECT_EQ(eng.state, Cmixeng::notready);   // the Output alone is not enough
    const Samples one = frames(10, ramp);
    const struct { int chosen; int vol; } steps[] = {{1, 20}, {2, 10}, {3, 6}, {4, 5}};
    for (const auto& s : steps) {
        input(s.chosen, one);
        for (int c = 1; c <= s.chosen; ++c) EXPECT_EQ(eng.chan[c].vol, s.vol) << s.chosen << " inputs";
        EXPECT_EQ(eng.state, Cmixeng::ready);
    }
    eng.clear(2);
    EXPECT_EQ(eng.chan[1].vol, 6);
    EXPECT_EQ(eng.chan[2].vol, 0);
    EXPECT_EQ(eng.chan[2].file, nullptr);
    eng.clear(Cmixeng::OUTPUT);
    EXPECT_EQ(eng.state, Cmixeng::notready);
    EXPECT_EQ(eng.chan[Cmixeng::OUTPUT].vol, 10);
    for (int c : {1, 3, 4}) eng.clear(c);
    EXPECT_EQ(eng.state, Cmixeng::notready);

    // A name that is not .wav is refused and changes nothing.
    EXPECT_FALSE(eng.choose(1, dir.file("a.mp3"), "a.mp3", "mp3"));
    EXPECT_EQ(eng.chan[1].file, nullptr);
    EXPECT_EQ(boxes.last().text, "You must select a WAVE file\nPlease choose another file and try again");
    EXPECT_EQ(boxes.last().caption, "Invalid file type");
    EXPECT_EQ(boxes.last().icon, Boxicon::warning);
}

TEST_F(Mixer, GainsFromSteps)
{
    const struct { int c, vol, pan, left, right; } cases[] = {
        {1, 20, 5, 100, 100}, {1, 10, 5, 50, 50},  {1, 6, 5, 30, 30},   {1, 20, 0, 100, 0},
        {1, 20, 7, 60, 100},  {1, 20, 10, 0, 100}, {1, 20, 3, 100, 60}, {1, 0, 5, 0, 0},
        {0, 10, 5, 100, 100}, {0, 20, 5, 150, 150}, {0, 0, 5, 50, 50},  {0, 20, 8, 60, 150},
        {1, 7, 9, 7, 35},     {0, 13, 1, 115, 23},
    };
    for (const auto& k : cases) {
        int l = -1, r = -1;
        Cmixeng::gains(k.c, k.vol, k.pan, l, r);
        EXPECT_EQ(l, k.left) << k.c << " " << k.vol << " " << k.pan;
        EXPECT_EQ(r, k.right) << k.c << " " << k.vol << " " << k.pan;
    }
}

TEST_F(Mixer, OffsetsTextsAndClamps)
{
    const struct { const char* text; double usec; const char* shown; } cases[] = {
        {"1:30", 90e6, "1:30.00"},     {"75.5", 75.5e6, "1:15.50"},  {"5", 5e6, "5.00"},
        {"-2.5", -2.5e6, "-2.50"},     {"-1:15.5", -75.5e6, "-1:15.50"}, {" 0:59.994 ", 59.994e6, "59.99"},
        {"65.5", 65.5e6, "1:5.50"},    {"0.000001", 1, "0.00"},      {"7000", 6000e6, "100:0.00"},
        {"-200:00", -6000e6, "-100:0.00"},
    };
    output();
    for (const auto& k : cases) {
        SCOPED_TRACE(k.text);
        double v = 0;
        ASSERT_TRUE(Cmixeng::parseoffset(k.text, v));
        eng.setoffset(1, v);
        EXPECT_EQ(eng.chan[1].offset, k.usec);
        EXPECT_EQ(Cmixeng::showoffset(eng.chan[1].offset), k.shown);
    }
    for (const char* bad : {"", "-", "abc", "1:2:3", "1.5:3", "1..2", ":5", "5:", "1e3", "+3"}) {
        double v = 123;
        EXPECT_FALSE(Cmixeng::parseoffset(bad, v)) << bad;
    }

    // Spin steps of 0.01 s (a negative delta raises the value); the separator stops at 0 and a
    // negative one counts as none.
    eng.setoffset(1, 0);
    eng.spin(1, 1);
    EXPECT_EQ(Cmixeng::showoffset(eng.chan[1].offset), "-0.01");
    for (int i = 0; i < 3; ++i) eng.spin(1, -1);
    EXPECT_EQ(Cmixeng::showoffset(eng.chan[1].offset), "0.02");
    eng.setoffset(1, 6000e6);
    eng.spin(1, -1);
    EXPECT_EQ(eng.chan[1].offset, 6000e6);
    eng.setoffset(0, 0.005e6);
    eng.spin(0, 1);
    EXPECT_EQ(eng.chan[0].offset, 0);
    eng.setoffset(0, -3e6);
    EXPECT_EQ(eng.chan[0].offset, 0);
}

TEST_F(Mixer, NegativeOffsetDelaysAndPositiveOffsetSkips)
{
    const int n = 3 * 44100;   // three seconds each
    const Samples a = frames(n, ramp);
    const Samples b = frames(n, [](int i, int side) { return side ? -(i % 3001) - 100 : (i * 7) % 20000 - 10000; });
    output();
    input(1, a);
    input(2, b);
    eng.setoffset(1, -2.5e6);   // starts 2.5 s into the output
    eng.setoffset(2, 2.5e6);    // its first 2.5 s are skipped
    const Samples out = mix();
    EXPECT_EQ(eng.total, 5.5e6);   // the largest duration - offset
    const int skip = 110250, len = n + skip;
    ASSERT_EQ(out.size(), size_t(len) * 2);
    int wrong = 0;
    for (int f = 0; f < len; ++f)
        for (int side = 0; side < 2; ++side) {
            const int fa = f - skip, fb = f + skip;   // the frame of each input heard at f
            const int va = fa >= 0 ? a[size_t(2 * fa + side)] * 50 / 100 : 0;   // two inputs: 50 %
            const int vb = fb < n ? b[size_t(2 * fb + side)] * 50 / 100 : 0;
            wrong += out[size_t(2 * f + side)] != sat(va + vb);
        }
    EXPECT_EQ(wrong, 0);
}

TEST_F(Mixer, ThreeInputsPanAndOutputGains)
{
    // Odd values show the truncation toward zero of each percentage.
    const Samples a = frames(4410, [](int i, int side) { return (i % 2 ? 1001 : -1001) + side * 333; });
    const Samples b = frames(4410, [](int i, int) { return i * 3 - 7000; });
    const Samples c = frames(4410, [](int i, int side) { return side ? -2999 : i % 100; });
    output();
    input(1, a);
    input(2, b);
    input(3, c);
    ASSERT_EQ(eng.chan[1].vol, 6);   // three inputs: 30 %
    eng.chan[2].pan = 7;             // left 60 % of 30 % = 18 %, right 30 %
    eng.chan[3].pan = 0;             // right muted
    eng.chan[0].vol = 16;            // Output: 130 %
    eng.chan[0].pan = 4;             // Output right: 130 x 4 / 5 = 104 %
    const Samples out = mix();
    ASSERT_EQ(out.size(), a.size());
    int wrong = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        const bool right = i % 2;
        int v = a[i] * 30 / 100 + b[i] * (right ? 30 : 18) / 100 + (right ? 0 : c[i] * 30 / 100);
        v = v * (right ? 104 : 130) / 100;
        wrong += out[i] != sat(v);
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(Mixer, SumsAndGainsSaturate)
{
    const Samples loud = frames(100, [](int i, int side) { return (i % 2 ? 30000 : -30000) * (side ? -1 : 1); });
    // Frame 0 is (-30000, 30000) in each input, frame 1 (30000, -30000).
    const struct { int vol1, vol2, outvol; int16_t left, right; } cases[] = {
        {20, 20, 10, -32768, 32767},   // 60000 either way
        {10, 0, 20, -22500, 22500},    // 15000 x 150 %
        {20, 0, 20, -32768, 32767},    // 30000 x 150 %
        {20, 20, 0, -16384, 16383},    // held at 16 bits before the Output's 50 %
    };
    output();
    input(1, loud);
    input(2, loud);
    for (const auto& k : cases) {
        eng.chan[1].vol = k.vol1;
        eng.chan[2].vol = k.vol2;
        eng.chan[0].vol = k.outvol;
        const Samples out = mix();
        ASSERT_EQ(out.size(), loud.size());
        SCOPED_TRACE(testing::Message() << k.vol1 << " " << k.vol2 << " " << k.outvol);
        EXPECT_EQ(out[0], k.left);
        EXPECT_EQ(out[1], k.right);
        EXPECT_EQ(out[2], k.right);
        EXPECT_EQ(out[3], k.left);
    }
}

TEST_F(Mixer, TrimCutsQuietFramesAtBothEnds)
{
    // 1000 quiet frames (within +-8), 2000 audible ones, then 1500 quiet ones. (0, 9) is the
    // first audible frame: 9 is beyond the +-8 of silence.
    const Samples s = frames(4500, [](int i, int side) {
        if (i < 1000) return (i % 17) - 8;
        if (i == 1000) return side ? 9 : 0;
        if (i < 3000) return 500 + i + side;
        return side ? -8 : 8;
    });
    output();
    input(1, s);
    const Samples trimmed = mix(true);
    EXPECT_EQ(trimmed, Samples(s.begin() + 2000, s.begin() + 6000));
    EXPECT_EQ(mix(false), s);
}

TEST_F(Mixer, EntirelyQuietMixKeepsItsLengthAndEnds)
{
    const Samples s = frames(3 * 44100 + 10, [](int i, int side) { return (i + side) % 17 - 8; });
    output();
    input(1, s);
    const Samples out = mix(true, true);
    ASSERT_EQ(out.size(), s.size());
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](int16_t v) { return v >= -8 && v <= 8; }));
    EXPECT_EQ(boxes.last().text, "The output WAVE file has no sound.\nPlease check your input files and try again");
    EXPECT_EQ(boxes.last().caption, "WAVE file empty");
}

TEST_F(Mixer, SeparatorAppendsSilenceAfterTrimming)
{
    const Samples s = frames(44100, [](int i, int side) { return i < 44000 ? 1000 + side : 0; });
    output();
    input(1, s);
    eng.setoffset(0, 2e6);
    const Samples out = mix(true);
    ASSERT_EQ(out.size(), size_t(44000 + 88200) * 2);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 88000, s.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + 88000, out.end(), [](int16_t v) { return v == 0; }));
}

TEST_F(Mixer, NormalizesByPeak)
{
    const struct { int peak; bool scaled; } cases[] = {{16384, true}, {32767, false}, {20000, true}, {9, true}};
    output();
    for (const auto& k : cases) {
        SCOPED_TRACE(k.peak);
        const Samples s = frames(3000, [&](int i, int side) { return i == 1500 ? -k.peak : (i * 13 + side) % (k.peak + 1); });
        eng.clear(1);
        input(1, s);
        const Samples out = mix(false, true);
        ASSERT_EQ(out.size(), s.size());
        const int64_t factor = 33553408 / k.peak;   // 2047 for 16384
        if (k.peak == 16384) {
            EXPECT_EQ(factor, 2047);
        }
        int wrong = 0;
        for (size_t i = 0; i < s.size(); ++i) {
            // Floor division: the arithmetic shift rounds toward minus infinity.
            const int64_t p = s[i] * factor;
            const int64_t want = k.scaled ? (p >= 0 ? p / 1024 : -((-p + 1023) / 1024)) : s[i];
            wrong += out[i] != want;
        }
        EXPECT_EQ(wrong, 0);
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Mixer, EffectsProcessTheMixedFrames)
{
    Csettings::set(settings.reverbamt, 0.4f);
    Csettings::set(settings.chorusamt, 0.2f);
    Csettings::set(settings.delayamt, 0.3f);
    const int n = 2 * 44100 + 500;
    const Samples s = frames(n, [](int i, int side) { return (i * (side ? 37 : 53)) % 40000 - 20000; });
    output();
    input(1, s);
    eng.chan[0].vol = 14;   // 120 %: the processor gets the mix after the Output gains
    const Samples out = mix(false, false, true);
    EXPECT_FALSE(abortflag.load());

    // The same frames through a processor of our own, a second at a time as the mixer hands them.
    Samples mixed(s.size());
    for (size_t i = 0; i < s.size(); ++i) mixed[i] = sat(s[i] * 120 / 100);
    std::atomic<bool> noabort{false};
    Ceffects ref(settings, &noabort);
    Cwavfil want(dir.file("want.wav"));
    ASSERT_TRUE(want.openwr());
    ref.prepare();
    ref.setoutput(&want);
    for (int f = 0; f < n; f += 44100) ref.processframes(mixed.data() + 2 * f, std::min(44100, n - f));
    ref.flush();
    want.closewr(false, 0);
    const Samples expect = wavsamples(readbytes(dir.file("want.wav")));
    ASSERT_GT(expect.size(), s.size());   // the reverb and delay tails follow the input
    EXPECT_EQ(out, expect);
    EXPECT_EQ(effects.output(), nullptr);   // the processor's own output is given back
}

TEST_F(Mixer, FailingInputsCloseTheOthersAndKeepTheState)
{
    output();
    input(1, frames(100, ramp));
    input(2, frames(100, ramp));
    ASSERT_TRUE(writebytes(dir.file("in2.wav"), Bytes{'R', 'I', 'F', 'F', 0, 0}));
    EXPECT_FALSE(eng.startmix());
    EXPECT_EQ(eng.state, Cmixeng::ready);
    EXPECT_EQ(eng.chan[1].file->fd, -1);
    EXPECT_EQ(boxes.texts(), (std::vector<std::string>{
        "Cwavfil::openrd\nError while reading WAVE file",
        "The WAVE file in2.wav appears to be corrupt\nPlease select another WAVE file and try again"}));
    EXPECT_EQ(boxes.last().caption, "Invalid Wave file");
    EXPECT_FALSE(exists(outpath()));

    boxes.clear();
    ASSERT_TRUE(writebytes(dir.file("in2.wav"), wavbytes({})));
    EXPECT_FALSE(eng.preview());
    EXPECT_EQ(eng.chan[1].file->fd, -1);
    EXPECT_EQ(boxes.last().text, "The WAVE file in2.wav is empty\nPlease select another WAVE file and try again");
    EXPECT_EQ(boxes.last().caption, "Wave file empty");

    // No wave device: the preview cannot start and the inputs are closed again.
    boxes.clear();
    eng.clear(2);
    EXPECT_FALSE(eng.preview());
    EXPECT_EQ(eng.chan[1].file->fd, -1);
    EXPECT_EQ(boxes.last().caption, "Wave output busy");
    EXPECT_EQ(eng.state, Cmixeng::ready);

    // An output that is one of the inputs, through a hard link.
    boxes.clear();
    ASSERT_EQ(::link(dir.file("in1.wav").c_str(), dir.file("same.wav").c_str()), 0);
    ASSERT_TRUE(eng.choose(0, dir.file("same.wav"), "same.wav", "wav"));
    EXPECT_FALSE(eng.startmix());
    EXPECT_EQ(boxes.last().text, "The output file is one of the input files\nPlease choose another output file and try again");
    EXPECT_EQ(wavsamples(readbytes(dir.file("in1.wav"))).size(), 200u);

    // An output that cannot be created.
    boxes.clear();
    ASSERT_TRUE(eng.choose(0, dir.file("no/such/out.wav"), "out.wav", "wav"));
    EXPECT_FALSE(eng.startmix());
    EXPECT_EQ(eng.chan[1].file->fd, -1);
    EXPECT_EQ(boxes.last().caption, "WAVE file error");
    EXPECT_EQ(boxes.last().text, "There was an error while creating the output WAVE file\nPlease check if:\n"
                                 "a) Your hard drive is not full\nb) You have write premission for the file\n"
                                 "c) The file is nor read-only");
}

TEST_F(Mixer, StopKeepsWhatWasMixedWithoutSeparator)
{
    const Samples s = frames(5 * 44100, ramp);
    output();
    input(1, s);
    eng.setoffset(0, 1e6);
    eng.normalize = true;
    ASSERT_TRUE(eng.startmix());
    ASSERT_TRUE(eng.tick());
    ASSERT_TRUE(eng.tick());
    EXPECT_EQ(eng.progress(), 40);
    EXPECT_EQ(eng.timetext(), "00:02 / 00:05");
    eng.stop();
    EXPECT_EQ(eng.state, Cmixeng::ready);
    EXPECT_EQ(eng.chan[1].file->fd, -1);
    EXPECT_EQ(wavsamples(readbytes(outpath())), Samples(s.begin(), s.begin() + 2 * 88200));
    EXPECT_TRUE(eng.outexists());
}

TEST_F(Mixer, AFailedWriteIsReportedInsteadOfNormalizing)
{
    // The process may write files of at most 64 KiB for this test: the mix's second block fails.
    const Samples s = frames(3 * 44100, ramp);
    output();
    input(1, s);
    ASSERT_TRUE(writebytes(outpath(), {1, 2, 3}));   // an earlier mix, kept
    rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 65536;
    auto prev = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    mix(true, true);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, prev);
    EXPECT_EQ(boxes.texts(), (std::vector<std::string>{
        "There was an error while creating the output WAVE file\nPlease check if:\n"
        "a) Your hard drive is not full\nb) You have write premission for the file\nc) The file is nor read-only"}));
    EXPECT_EQ(boxes.last().caption, "WAVE file error");
    EXPECT_EQ(readbytes(outpath()), (Bytes{1, 2, 3}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}
