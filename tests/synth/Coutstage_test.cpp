// Output stage: look-ahead limiter, master and makeup gain, soft clip, 16-bit truncation.
#include "synth/Coutstage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr int LA = Coutstage::LOOKAHEAD;

// Runs mono-or-stereo input through a fresh stage in pieces of `piece` frames and returns the
// frames written, interleaved.
std::vector<int16_t> runall(Coutstage& st, const std::vector<float>& l, const std::vector<float>& r,
                            int complevel, int piece)
{
    std::atomic<int> level{complevel};
    std::vector<int16_t> out;
    std::vector<int16_t> buf(2 * piece);
    for (size_t i = 0; i < l.size(); i += piece) {
        const int n = int(std::min<size_t>(piece, l.size() - i));
        const int w = st.run(l.data() + i, r.data() + i, n, level, buf.data());
        out.insert(out.end(), buf.begin(), buf.begin() + 2 * w);
    }
    return out;
}

} // namespace

TEST(Coutstage, PeakOfTwoLeavesAtFullScaleAfterLinearRamp)
{
    const int j = 150000, total = j + LA + 140000;
    std::vector<float> l(total, 0.25f), r(total, 0.25f);
    l[j] = 2.0f;
    r[j] = -0.5f;
    Coutstage st;
    st.reset(1.0f, 1.0f);
    // Odd piece size: frames must continue across calls.
    const std::vector<int16_t> out = runall(st, l, r, 0, 997);
    ASSERT_EQ(out.size(), size_t(2 * (total - LA)));
    EXPECT_EQ(out[2 * j], 32767);
    EXPECT_EQ(out[2 * j + 1], -8191);   // -0.5 x 0.5 x 32767 = -8191.75
    EXPECT_EQ(out[0], 8191);
    EXPECT_EQ(out[2 * (j - LA)], 8191);  // the ramp starts right after this frame
    for (int k = j - LA + 1; k < j; k += 1111) {
        SCOPED_TRACE(k);
        const double g = 1.0 - 0.5 * (k - (j - LA)) / LA;
        EXPECT_NEAR(out[2 * k], 0.25 * g * 32767, 1.0);
    }
    // Afterwards the gain recovers linearly to 1 over another look-ahead length.
    EXPECT_NEAR(out[2 * (j + LA / 2)], 0.25 * 0.75 * 32767, 1.0);
    EXPECT_EQ(out[2 * (j + LA + 10)], 8191);
}

TEST(Coutstage, CompressorOffWritesTruncatedScaledInput)
{
    struct Case { float master, in; int16_t want; };
    const Case cases[] = {
        {1.0f, 0.5f, 16383},     {1.0f, -0.5f, -16383}, {1.0f, 1.0f, 32767},
        {1.0f, -1.0f, -32767},   {2.0f, 0.3f, 19660},   {1.0f, 1e-5f, 0},
        {1.0f, -1e-5f, 0},       {0.1f, 1.0f, 3276},    {1.0f, 0.0f, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        Coutstage st;
        st.reset(c.master, 1.0f);
        std::vector<float> l(LA + 3, c.in), r(LA + 3, -c.in);
        const auto out = runall(st, l, r, 0, 4096);
        ASSERT_EQ(out.size(), 6u);
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(out[2 * k], c.want);
            EXPECT_EQ(out[2 * k + 1], -c.want);
        }
    }
}

// The curve over 24000..40000 in steps of 1/16: values up to 24575 pass, the knee is continuous
// (no step larger than the input's) and never falls, it meets 28671 exactly at full scale and
// holds there; negative values mirror it. Then through the stage with compressor level 20,
// which multiplies by 10 before the clip.
TEST(Coutstage, SoftClip)
{
    double prev = Coutstage::softclip(24000);
    for (double x = 24000; x <= 40000; x += 1.0 / 16) {
        const double v = Coutstage::softclip(x);
        ASSERT_GE(v, prev) << x;
        ASSERT_LE(v - prev, 1.0 / 16 + 1e-9) << x;
        if (x <= 24575) {
            ASSERT_EQ(v, x);
        }
        if (x >= 32767) {
            ASSERT_EQ(v, 28671) << x;
        }
        ASSERT_EQ(Coutstage::softclip(-x), -v) << x;
        prev = v;
    }
    EXPECT_NEAR(Coutstage::softclip(24575 + 4096), 24575 + 4096 / 1.25, 1e-9);
    EXPECT_EQ(Coutstage::softclip(INFINITY), 28671);

    struct Case { float in; int16_t want; };
    const Case cases[] = {
        {1.0f, 28671}, {-1.0f, -28671}, {0.5f, 28671}, {0.05f, 16383}, {0.08f, 26150}, {0.0f, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        Coutstage st;
        st.reset(1.0f, std::pow(10.0f, 20 * 0.05f));
        std::vector<float> l(LA + 1, c.in), r(LA + 1, c.in);
        const auto out = runall(st, l, r, 20, 65536);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0], c.want);
    }
}

// Property: whatever the peaks, every frame leaves the lines with |x| x gain <= 1, the gain
// never exceeds 1 and never drops below the smallest 1/peak.
TEST(Coutstage, LimiterNeverLetsAPeakThrough)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> noise(-0.4f, 0.4f), big(1.0f, 4.0f), coin(0, 1);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const int total = 3 * LA;
        std::vector<float> in(total);
        for (float& x : in) x = coin(rng) < 0.0005f * (round + 1) ? big(rng) * (coin(rng) < 0.5f ? -1 : 1)
                                                                 : noise(rng);
        Coutstage st;
        st.reset(1.0f, 1.0f);
        std::atomic<int> level{0};
        std::vector<double> gain(total);
        int16_t pcm[2];
        for (int k = 0; k < total; ++k) {
            st.run(&in[k], &in[k], 1, level, pcm);
            gain[k] = st.gain();
            ASSERT_LE(gain[k], 1.0);
            ASSERT_GE(gain[k], 0.25 - 1e-9);   // no peak is above 4
        }
        for (int k = 0; k + LA < total; ++k)
            ASSERT_LE(std::fabs(in[k]) * gain[k + LA], 1.0 + 1e-9) << k;
    }
}

TEST(Coutstage, HostileValuesStayInRange)
{
    const float inf = INFINITY;
    const std::vector<float> bad = {NAN, inf, -inf, 1e30f, -1e30f, 3.0f};
    std::vector<float> l(LA + 2000, 0.5f), r(LA + 2000, 0.5f);
    for (size_t i = 0; i < bad.size(); ++i) l[1000 + 100 * i] = bad[i];
    Coutstage st;
    st.reset(1.0f, 1.0f);
    const auto out = runall(st, l, r, 0, 4096);
    ASSERT_EQ(out.size(), size_t(2 * (l.size() - LA)));
    EXPECT_EQ(out[2 * 1000], 0);   // NaN becomes silence
    EXPECT_GE(out[2 * 1000 + 1], 0);
    EXPECT_LE(out[2 * 1000 + 1], 16383);
}

TEST(Coutstage, FirstLookaheadFramesWriteNothing)
{
    Coutstage st;
    st.reset(1.0f, 1.0f);
    std::vector<float> l(LA, 0.1f);
    EXPECT_TRUE(runall(st, l, l, 8, 8192).empty());
    EXPECT_EQ(st.countdown(), 0);
    std::vector<float> one(1, 0.0f);
    EXPECT_EQ(runall(st, one, one, 8, 1).size(), 2u);
}

// A second peak almost a look-ahead after the first, while the first ramp is still running and
// steeper than the second needs: the gain passes 1/p1 as the first leaves, stops at 1/p2 and
// holds there until the second leaves. It never dives towards silence or below zero.
TEST(Coutstage, SecondPeakDuringRampHoldsAtItsOwnGain)
{
    struct Case { float p1, p2; };
    const Case cases[] = {{2.0f, 2.04f}, {4.0f, 4.0f}, {3.0f, 3.5f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.p2);
        const int j = 1000, total = j + 3 * LA;
        std::vector<float> in(total, 0.1f);
        in[j] = c.p1;
        in[j + LA - 1] = c.p2;
        Coutstage st;
        st.reset(1.0f, 1.0f);
        std::atomic<int> level{0};
        int16_t pcm[2];
        double lowest = 1.0;
        for (int k = 0; k < total; ++k) {
            st.run(&in[k], &in[k], 1, level, pcm);
            lowest = std::min(lowest, st.gain());
            if (k == j + LA) {
                EXPECT_LE(c.p1 * st.gain(), 1.0 + 1e-9);
            }
            if (k == j + 2 * LA - 1) {
                EXPECT_LE(c.p2 * st.gain(), 1.0 + 1e-9);
                EXPECT_GE(pcm[0], 32766);
            }
        }
        EXPECT_NEAR(lowest, 1.0 / c.p2, 1e-6);
        EXPECT_NEAR(st.gain(), 1.0, 1e-4);   // recovered
    }
}

// Every written value equals the per-value formula, whatever the piece lengths and with the
// compressor switched on and off between calls (values within full scale keep the gain at 1).
TEST(Coutstage, EveryValueFollowsTheFormula)
{
    const float makeup = std::pow(10.0f, 8 * 0.05f);
    Coutstage st;
    st.reset(1.0f, makeup);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-1, 1);
    const int total = LA + 5000;
    std::vector<float> l(total), r(total);
    for (int i = 0; i < total; ++i) {
        l[i] = u(rng);
        r[i] = i % 97 == 0 ? -1.0f : u(rng);
    }
    std::vector<int> level(total);
    std::vector<int16_t> out, buf(2 * 1000);
    const int pieces[] = {1, 3, 130, 257, 999, 64};
    std::atomic<int> lv{0};
    for (int i = 0, k = 0; i < total; k = (k + 1) % 6) {
        const int n = std::min(pieces[k], total - i);
        lv = k % 2 ? 8 : 0;
        for (int j = i; j < i + n; ++j) level[j] = lv;
        const int w = st.run(&l[i], &r[i], n, lv, buf.data());
        out.insert(out.end(), buf.begin(), buf.begin() + 2 * w);
        i += n;
    }
    ASSERT_EQ(out.size(), 2u * (total - LA));
    auto expect = [&](float x, int lvl) {
        double v = lvl ? Coutstage::softclip(x * 1.0 * (double(makeup) * 32767)) : x * 1.0 * 32767;
        return int16_t(int(std::clamp(v, -32768.0, 32767.0)));
    };
    for (int j = 0; j < total - LA; ++j) {
        const int i = j;   // the frame leaving the lines entered LA frames earlier
        ASSERT_EQ(out[2 * j], expect(l[i], level[LA + j])) << j;
        ASSERT_EQ(out[2 * j + 1], expect(r[i], level[LA + j])) << j;
    }
}

// The live engine's stage: a short look-ahead, every frame out from the first call, the input
// delayed by the look-ahead, and a peak still leaves at full scale after its ramp.
TEST(Coutstage, ShortLookAheadPlaysEveryFrameDelayed)
{
    constexpr int SHORT = 220;
    const int j = 1000, total = 3000;
    std::vector<float> l(total), r(total);
    for (int i = 0; i < total; ++i) l[i] = r[i] = 0.001f * float(i % 200);
    l[j] = 2.0f;
    Coutstage st(SHORT, false);
    st.reset(1.0f, 1.0f);
    const std::vector<int16_t> out = runall(st, l, r, 0, 37);
    ASSERT_EQ(out.size(), size_t(2 * total));
    for (int i = 0; i < SHORT; ++i) ASSERT_EQ(out[2 * i], 0) << i;
    for (int i = SHORT; i <= j - SHORT; ++i) ASSERT_EQ(out[2 * i], int16_t(l[i - SHORT] * 32767.0)) << i;
    EXPECT_EQ(out[2 * (j + SHORT)], 32767);
    EXPECT_EQ(out[2 * (j + SHORT) + 1], int16_t(r[j] * 0.5 * 32767.0));
    EXPECT_EQ(out[2 * (total - 1)], int16_t(l[total - 1 - SHORT] * 32767.0));   // recovered
}
