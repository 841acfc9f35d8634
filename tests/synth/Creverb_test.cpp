// Reverberator: compared with a plain frame-by-frame version, and its impulse response.
#include "synth/Creverb.h"
#include "synth/Cwide.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

// Frame by frame, one filter after another, as simple as it gets.
struct Slowreverb {
    struct Line {
        std::vector<float> buf;
        size_t pos = 0;
        float store = 0;
    };
    Line comb[2][8], all[2][4];
    float fb, damp1, damp2;

    Slowreverb(float room, float damp)
    {
        const int cl[8] = {1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617};
        const int al[4] = {556, 441, 341, 225};
        for (int ch = 0; ch < 2; ++ch) {
            for (int c = 0; c < 8; ++c) comb[ch][c].buf.assign(cl[c] + 23 * ch, 0.0f);
            for (int a = 0; a < 4; ++a) all[ch][a].buf.assign(al[a] + 23 * ch, 0.0f);
        }
        fb = room * 0.28f + 0.7f;
        damp1 = damp * 0.4f;
        damp2 = 1 - damp1;
    }
    static float flush(float x) { return std::fpclassify(x) == FP_SUBNORMAL ? 0.0f : x; }
    void frame(float a, float b, float& l, float& r)
    {
        const float in = (a + b) * 0.015f;
        float out[2];
        for (int ch = 0; ch < 2; ++ch) {
            float sum = 0;
            for (Line& c : comb[ch]) {
                const float o = flush(c.buf[c.pos]);
                c.store = flush(o * damp2 + c.store * damp1);
                c.buf[c.pos] = in + c.store * fb;
                c.pos = (c.pos + 1) % c.buf.size();
                sum += o;
            }
            for (Line& ap : all[ch]) {
                const float buf = flush(ap.buf[ap.pos]);
                ap.buf[ap.pos] = sum + buf * 0.5f;
                sum = buf - sum;
                ap.pos = (ap.pos + 1) % ap.buf.size();
            }
            out[ch] = sum;
        }
        l += out[0];
        r += out[1];
    }
};

} // namespace

TEST(Creverb, MatchesFrameByFrameVersion)
{
    struct Case { float room, damp; };
    const Case cases[] = {{0.5f, 0.5f}, {1.0f, 0.0f}, {0.0f, 1.0f}, {0.8f, 0.3f}};
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1, 1);
    const int sizes[] = {1, 7, 256, 300, 1000, 33};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.room);
        Creverb fast;
        fast.setroomsize(c.room);
        fast.setdamp(c.damp);
        Slowreverb slow(c.room, c.damp);
        const int total = 12000;
        std::vector<float> a(total), b(total);
        for (int i = 0; i < total; ++i) {
            a[i] = i < 3000 ? u(rng) : 0.0f;   // then let it ring
            b[i] = i < 3000 ? u(rng) : 0.0f;
        }
        std::vector<float> fl(total, 0.25f), fr(total, -0.25f);
        for (int i = 0, k = 0; i < total; k = (k + 1) % 6) {
            const int n = std::min(sizes[k], total - i);
            fast.run(&a[i], &b[i], &fl[i], &fr[i], n);
            i += n;
        }
        // The baseline build's loops give the very floats of the AVX2 ones.
        wide::forceplain(true);
        Creverb plain;
        plain.setroomsize(c.room);
        plain.setdamp(c.damp);
        std::vector<float> pl(total, 0.25f), pr(total, -0.25f);
        for (int i = 0, k = 0; i < total; k = (k + 1) % 6) {
            const int n = std::min(sizes[(k + 3) % 6], total - i);
            plain.run(&a[i], &b[i], &pl[i], &pr[i], n);
            i += n;
        }
        wide::forceplain(false);
        for (int i = 0; i < total; ++i) {
            float sl = 0.25f, sr = -0.25f;
            slow.frame(a[i], b[i], sl, sr);
            ASSERT_FLOAT_EQ(fl[i], sl) << i;
            ASSERT_FLOAT_EQ(fr[i], sr) << i;
            ASSERT_EQ(pl[i], fl[i]) << i;
            ASSERT_EQ(pr[i], fr[i]) << i;
        }
    }
}

// A unit impulse reaches the output first through the shortest comb (1116 frames left, 1139
// right) and straight through the four allpasses, each of which passes -x at once.
TEST(Creverb, ImpulseResponseHasTheFilterDelays)
{
    Creverb rv;
    const int total = 3000;
    std::vector<float> a(total, 0.0f), zero(total, 0.0f), l(total, 0.0f), r(total, 0.0f);
    a[0] = 1.0f;
    rv.run(a.data(), zero.data(), l.data(), r.data(), total);
    auto first = [](const std::vector<float>& v) {
        for (size_t i = 0; i < v.size(); ++i)
            if (v[i] != 0) return int(i);
        return -1;
    };
    EXPECT_EQ(first(l), 1116);
    EXPECT_EQ(first(r), 1139);
    EXPECT_FLOAT_EQ(l[1116], 0.015f);
    EXPECT_FLOAT_EQ(r[1139], 0.015f);
    // The next comb (1188) adds its own echo; before it only the first allpass' echo of the
    // 1116 arrival could sound, and that comes at 1116 + 556.
    for (int i = 1117; i < 1188; ++i) ASSERT_EQ(l[i], 0.0f) << i;
    EXPECT_FLOAT_EQ(l[1188], 0.015f);
}

TEST(Creverb, TailDiesAwayAndDenormalsNeverComeOut)
{
    Creverb rv;   // room size 0.5, damping 0.5
    const int total = 44100 * 3;
    std::vector<float> a(total, 0.0f), l(total, 0.0f), r(total, 0.0f);
    a[0] = 1.0f;
    rv.run(a.data(), a.data(), l.data(), r.data(), total);
    float early = 0, late = 0;
    for (int i = 0; i < 44100; ++i) early = std::max(early, std::fabs(l[i]));
    for (int i = total - 4410; i < total; ++i) late = std::max(late, std::fabs(l[i]));
    EXPECT_GT(early, 0.01f);
    EXPECT_LT(late, early * 1e-3f);   // more than 60 dB down after three seconds

    // A denormal input is flushed where it is read back from the lines: nothing comes out.
    Creverb quiet;
    std::vector<float> tiny(4000, 0.0f), ol(4000, 0.0f), orr(4000, 0.0f);
    tiny[0] = 1e-39f;
    quiet.run(tiny.data(), tiny.data(), ol.data(), orr.data(), 4000);
    for (int i = 0; i < 4000; ++i) ASSERT_EQ(ol[i], 0.0f) << i;

    // clear() silences a ringing reverb at once.
    std::vector<float> zl(2000, 0.0f), zr(2000, 0.0f), zero(2000, 0.0f);
    rv.clear();
    rv.run(zero.data(), zero.data(), zl.data(), zr.data(), 2000);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(zl[i], 0.0f);
}

// The reverberator may switch the processor to flush denormals while it runs, but the caller's
// arithmetic must see denormals again afterwards.
TEST(Creverb, CallerKeepsDenormals)
{
    Creverb rv;
    std::vector<float> a(600, 0.5f), l(600, 0.0f), r(600, 0.0f);
    rv.run(a.data(), a.data(), l.data(), r.data(), 600);
    volatile float tiny = 1e-38f;
    const float half = tiny * 0.5f;
    EXPECT_EQ(std::fpclassify(half), FP_SUBNORMAL);
    volatile float sub = 1e-39f;
    EXPECT_NE(sub + 0.0f, 0.0f);
}
