// Delay: feedback line read at the set delay plus the LFO's modulation; bypass at amount 0; the
// longest setting fits in the lines.
#include "synth/Cdelay.h"

#include "settings/Csettings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

double at(const std::vector<double>& v, int t, double d)
{
    const double when = t - d;
    const int i = int(std::floor(when));
    const double f = when - i;
    auto get = [&](int k) { return k < 0 ? 0.0 : v[k]; };
    return get(i) + f * (get(i + 1) - get(i));
}

double tri(int n) { return n < 11025 ? n : 22050 - n; }

// Plain version with unbounded history: v(t) = y(t) x feedback + x(t), y(t) = v at t - d(t).
// The delay time is ms up to frame `from`, then later ms.
void slowdelay(std::vector<float>& l, std::vector<float>& r, double first, double modms, double spread,
               double fb, double amount, int from = 0, double later = 0)
{
    const int total = int(l.size());
    std::vector<double> vl(total), vr(total);
    for (int t = 0; t < total; ++t) {
        const double ms = t < from ? first : (from ? later : first);
        const double dl = (modms * tri(t % 22050) * 4 / 44100 + ms) * 44.1;
        const double dr = (modms * tri((t + 5512) % 22050) * 4 / 44100 + ms + spread) * 44.1;
        const double yl = at(vl, t, dl), yr = at(vr, t, dr);
        vl[t] = yl * fb + l[t];
        vr[t] = yr * fb + r[t];
        l[t] = float((1 - amount) * l[t] + amount * yl);
        r[t] = float((1 - amount) * r[t] + amount * yr);
    }
}

void setdelay(Csettings& s, int ms, int modms, int spread, float fb, float amount)
{
    Csettings::set(s.delayms, ms);
    Csettings::set(s.delaymodms, modms);
    Csettings::set(s.spreadms, spread);
    Csettings::set(s.delayfb, fb);
    Csettings::set(s.delayamt, amount);
}

} // namespace

TEST(Cdelay, MatchesPlainVersion)
{
    struct Case { int ms, modms, spread; float fb, amount; int total; };
    const Case cases[] = {
        {20, 0, 8, 0.0f, 0.5f, 20000},     // the defaults
        {10, 5, 8, 0.5f, 0.7f, 30000},     // modulated, with feedback
        {1, 20, 40, 0.9f, 1.0f, 30000},    // shortest time, widest sweep
        {1, 0, 0, 0.9f, 1.0f, 30000},      // shortest time unmodulated, with feedback
        {7, 0, 40, 0.6f, 0.8f, 120000},    // unmodulated taps wrapping at different frames
        {1000, 20, 40, 0.3f, 0.6f, 100000}, // 1,060 ms: the longest tap fits in the lines
    };
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-1, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ms);
        Csettings s;
        setdelay(s, c.ms, c.modms, c.spread, c.fb, c.amount);
        std::vector<float> l(c.total), r(c.total);
        for (int i = 0; i < c.total; ++i) {
            l[i] = u(rng);
            r[i] = u(rng);
        }
        std::vector<float> sl = l, sr = r;
        slowdelay(sl, sr, c.ms, c.modms, c.spread, c.fb, c.amount);
        Cdelay d;
        for (int i = 0; i < c.total; i += 777) {
            const int n = std::min(777, c.total - i);
            d.run(&l[i], &r[i], n, s);
        }
        for (int t = 0; t < c.total; ++t) {
            ASSERT_NEAR(l[t], sl[t], 2e-4) << t;
            ASSERT_NEAR(r[t], sr[t], 2e-4) << t;
        }
    }
}

// The lines wrap as soon as the settings allow, and a longer delay set while running lengthens
// them with every frame they held at its age: the left tap, which reaches no further back than
// they held, reads what lines of 1.1 s would, and so does the right one once past what they lost.
TEST(Cdelay, LinesGrowWithTheLongestTapKeepingWhatTheyHold)
{
    Csettings s;
    setdelay(s, 20, 0, 8, 0.0f, 0.5f);
    const int total = 20000, at = 2 * 4096 + 100;   // just past the lines' start: most of them moves
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<float> l(total), r(total);
    for (int i = 0; i < total; ++i) {
        l[i] = u(rng);
        r[i] = u(rng);
    }
    const std::vector<float> x = r;
    std::vector<float> sl = l, sr = r;
    slowdelay(sl, sr, 20, 0, 8, 0.0, 0.5, at, 90);
    Cdelay d;
    d.run(l.data(), r.data(), at, s);
    EXPECT_EQ(d.length(), 4096);
    Csettings::set(s.delayms, 90);   // the right tap now reaches 98 ms back
    d.run(&l[at], &r[at], total - at, s);
    EXPECT_EQ(d.length(), 8192);
    for (int t = 0; t < total; ++t) {
        ASSERT_NEAR(l[t], sl[t], 2e-4) << t;
        // The tap, 4,321.8 frames back, reads frames 4,321 and 4,322 back, which the lines hold
        // from 226 frames after the change on; before, the lost ones read as silence.
        if (t < at || t >= at + 226) {
            ASSERT_NEAR(r[t], sr[t], 2e-4) << t;
        } else if (t < at + 225) {
            ASSERT_EQ(r[t], 0.5f * x[t]) << t;
        }
    }
}

TEST(Cdelay, AmountZeroBypassesAndKeepsState)
{
    Csettings s;
    setdelay(s, 20, 0, 8, 0.5f, 0.5f);
    Cdelay d;
    std::vector<float> l(1000, 0.3f), r(1000, -0.3f);
    d.run(l.data(), r.data(), 1000, s);
    Csettings::set(s.delayamt, 0.0f);
    std::vector<float> x(5000), y(5000);
    for (int i = 0; i < 5000; ++i) {
        x[i] = std::sin(i * 0.01f);
        y[i] = -x[i];
    }
    std::vector<float> xl = x, yr = y;
    d.run(xl.data(), yr.data(), 5000, s);
    EXPECT_EQ(xl, x);
    EXPECT_EQ(yr, y);
    EXPECT_EQ(d.pos(), 1000);
    EXPECT_EQ(d.counter(), 1000);
    // Switched on again, the old content is still in the lines: 20 ms after the first run.
    Csettings::set(s.delayamt, 1.0f);
    std::vector<float> zl(1000, 0.0f), zr(1000, 0.0f);
    d.run(zl.data(), zr.data(), 1000, s);
    EXPECT_NEAR(zl[0], 0.3f, 1e-6);   // 882 frames back: inside the first run's 0.3 plateau
}

TEST(Cdelay, HostileSettingsStayInsideTheLines)
{
    Csettings s;
    setdelay(s, 100000, 1000, -50, 5.0f, 7.0f);
    Cdelay d;
    std::vector<float> l(60000, 0.5f), r(60000, 0.5f);
    d.run(l.data(), r.data(), 60000, s);
    for (float v : l) ASSERT_TRUE(std::isfinite(v));
    setdelay(s, -5, -5, 1000, -1.0f, 0.5f);
    d.run(l.data(), r.data(), 60000, s);
    for (float v : r) ASSERT_TRUE(std::isfinite(v));
}
