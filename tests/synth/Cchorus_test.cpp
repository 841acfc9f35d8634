// Chorus: each tap reads its input at its own delay (25..28 ms left, 33..36 ms right, swept by a
// triangle over 0.5 s), interpolated linearly between the two neighbouring samples.
#include "synth/Cchorus.h"
#include "synth/Cwide.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

// The input x at time t - d, linearly interpolated between the two neighbouring samples.
double at(const std::vector<float>& x, int t, double d)
{
    const double when = t - d;
    const int i = int(std::floor(when));
    const double f = when - i;
    auto get = [&](int k) { return k < 0 ? 0.0 : double(x[k]); };
    return get(i) + f * (get(i + 1) - get(i));
}

double tri3(int n) { return n < 11025 ? 3.0 * n : 3.0 * (22050 - n); }

} // namespace

TEST(Cchorus, TapsReadTheInputAtTheirSweptDelays)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1, 1);
    const int total = 30000;   // more than one LFO period
    std::vector<float> a(total), b(total);
    for (int i = 0; i < total; ++i) {
        a[i] = u(rng);
        b[i] = u(rng);
    }
    Cchorus ch;
    std::vector<float> l(total, 0.5f), r(total, 0.0f);
    const int sizes[] = {1, 19, 20, 21, 1000, 4096};
    for (int i = 0, k = 0; i < total; k = (k + 1) % 6) {
        const int n = std::min(sizes[k], total - i);
        ch.run(&a[i], &b[i], &l[i], &r[i], n);
        i += n;
    }
    // The baseline build's loops give the very floats of the AVX2 ones, in other pieces.
    wide::forceplain(true);
    Cchorus plain;
    std::vector<float> pl(total, 0.5f), pr(total, 0.0f);
    for (int i = 0, k = 0; i < total; k = (k + 1) % 6) {
        const int n = std::min(sizes[(k + 2) % 6], total - i);
        plain.run(&a[i], &b[i], &pl[i], &pr[i], n);
        i += n;
    }
    wide::forceplain(false);
    for (int t = 0; t < total; ++t) {
        ASSERT_EQ(pl[t], l[t]) << t;
        ASSERT_EQ(pr[t], r[t]) << t;
        const int n = t % 22050, n2 = (t + 5512) % 22050;
        const double dl = (tri3(n) * 4 / 44100 + 25) * 44.1;   // 25..28 ms
        const double dr = (tri3(n2) * 4 / 44100 + 33) * 44.1;  // 33..36 ms
        ASSERT_NEAR(l[t], 0.5 + at(a, t, dl), 1e-5) << t;
        ASSERT_NEAR(r[t], at(b, t, dr), 1e-5) << t;
    }
    EXPECT_EQ(ch.counter(), total % 22050);
    EXPECT_EQ(ch.pos(), total % 2048);
}

TEST(Cchorus, ClearKeepsPositionAndPhase)
{
    Cchorus ch;
    std::vector<float> x(5000, 1.0f), l(5000, 0.0f), r(5000, 0.0f);
    ch.run(x.data(), x.data(), l.data(), r.data(), 5000);
    EXPECT_NE(l[4999], 0.0f);
    ch.clear();
    EXPECT_EQ(ch.counter(), 5000);
    EXPECT_EQ(ch.pos(), 5000 % 2048);
    std::vector<float> zero(1000, 0.0f), l2(1000, 0.0f), r2(1000, 0.0f);
    ch.run(zero.data(), zero.data(), l2.data(), r2.data(), 1000);
    for (float v : l2) ASSERT_EQ(v, 0.0f);
}
