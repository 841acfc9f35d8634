// Envelopes and LFOs, stepped by hand. Timecents chosen so that step counts are readable:
// -7200 tc = 2205/64 = 34.45 -> 34 steps, -8400 tc -> 17 steps, -6000 tc -> 68 steps.
#include "synth/Clfo.h"
#include "synth/Cmodenv.h"
#include "synth/Cvolenv.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

template <class E> E env(std::initializer_list<std::pair<int, int>> gens, int key = 60)
{
    E e;
    for (auto [i, a] : gens) e.apply(i, a, false);
    e.derive();
    e.start(key);
    return e;
}

// Steps until the stage differs from `from`; -1 after 100000 steps.
template <class E> int stepsin(E& e, int from)
{
    for (int n = 1; n < 100000; ++n) {
        e.step();
        if (e.stage() != from) return n;
    }
    return -1;
}

} // namespace

TEST(Cvolenv, StageTimesInControlSteps)
{
    // delay 34, attack 17, hold 68, decay to 500 cB at 1000 cB per 34 steps.
    auto e = env<Cvolenv>({{0, -7200}, {1, -8400}, {2, -6000}, {3, -7200}, {4, 500}});
    EXPECT_EQ(e.atten(), 1000.0f);
    EXPECT_EQ(stepsin(e, Cvolenv::DELAY), 35);     // 34 counted, then the stage changes
    EXPECT_EQ(e.atten(), 1000.0f);                 // attack starts at silence...
    EXPECT_EQ(stepsin(e, Cvolenv::ATTACK), 16);    // ...and runs 1 to 10 in increments of 10/17
    EXPECT_EQ(e.atten(), 0.0f);
    EXPECT_EQ(stepsin(e, Cvolenv::HOLD), 69);
    EXPECT_EQ(e.stage(), Cvolenv::DECAY);
    EXPECT_EQ(stepsin(e, Cvolenv::DECAY), 17);     // 500 cB at 1000/34 per step
    EXPECT_EQ(e.atten(), 500.0f);
    EXPECT_EQ(stepsin(e, Cvolenv::SUSTAIN), -1);
}

TEST(Cvolenv, AttackFallsFromSilenceToFullLevel)
{
    auto e = env<Cvolenv>({{0, -32768}, {1, -6000}});
    e.step();
    float prev = e.atten();
    EXPECT_EQ(prev, 1000.0f);
    while (e.stage() == Cvolenv::ATTACK) {
        e.step();
        EXPECT_LT(e.atten(), prev);
        prev = e.atten();
    }
    EXPECT_EQ(prev, 0.0f);
}

TEST(Cvolenv, ShortestCases)
{
    // Attack -32768: full level right at the first step after the delay; sustain 0 skips decay.
    auto e = env<Cvolenv>({{0, -32768}, {1, -32768}, {2, -32768}});
    e.step();
    EXPECT_EQ(e.atten(), 0.0f);
    EXPECT_EQ(e.stage(), Cvolenv::HOLD);
    e.step();
    EXPECT_EQ(e.stage(), Cvolenv::SUSTAIN);
    // Negative sustain is raised to 0.
    auto f = env<Cvolenv>({{1, -32768}, {4, -100}});
    for (int i = 0; i < 10; ++i) f.step();
    EXPECT_EQ(f.stage(), Cvolenv::SUSTAIN);
    EXPECT_EQ(f.atten(), 0.0f);
}

TEST(Cvolenv, KeyScalesHoldAndDecay)
{
    const struct { int key; int holdsteps; } cases[] = {{60, 68}, {72, 34}, {48, 136}};
    for (auto c : cases) {
        SCOPED_TRACE(c.key);
        auto e = env<Cvolenv>({{0, -32768}, {1, -32768}, {2, -6000}, {6, 100}, {4, 100}}, c.key);
        e.step();
        EXPECT_EQ(stepsin(e, Cvolenv::HOLD), c.holdsteps + 1);
    }
}

TEST(Cvolenv, ReleaseFromEveryStage)
{
    // Release 34 steps for the whole 1000 cB, from wherever the envelope stands.
    for (int at = 0; at < 200; at += 7) {
        SCOPED_TRACE(at);
        auto e = env<Cvolenv>({{0, -8400}, {1, -7200}, {2, -8400}, {3, -7200}, {4, 300}, {5, -7200}});
        for (int i = 0; i < at; ++i) e.step();
        const float before = e.atten();
        e.release();
        EXPECT_NEAR(e.atten(), before, 1e-3);      // no jump, also from the attack
        EXPECT_EQ(e.stage(), Cvolenv::RELEASE);
        const int n = stepsin(e, Cvolenv::RELEASE);
        EXPECT_TRUE(e.finished());
        EXPECT_EQ(e.atten(), 1000.0f);
        EXPECT_NEAR(n, (1000 - before) * 34 / 1000, 1.01);
    }
}

TEST(Cmodenv, StagesAndRelease)
{
    // delay 17, attack 34, hold 17, decay to 0.6 over 0.4*68 steps, release 0.6 at 1/34 per step.
    auto e = env<Cmodenv>({{0, -8400}, {1, -7200}, {2, -8400}, {3, -6000}, {4, 400}, {5, -7200}});
    EXPECT_EQ(stepsin(e, Cmodenv::DELAY), 18);
    EXPECT_EQ(stepsin(e, Cmodenv::ATTACK), 34);
    EXPECT_EQ(e.value(), 1.0f);
    EXPECT_EQ(stepsin(e, Cmodenv::HOLD), 18);
    EXPECT_NEAR(stepsin(e, Cmodenv::DECAY), 0.4 * 68, 1.01);
    EXPECT_FLOAT_EQ(e.value(), 0.6f);
    e.release();
    EXPECT_NEAR(stepsin(e, Cmodenv::RELEASE), 0.6 * 34.45, 1.01);
    EXPECT_EQ(e.value(), 0.0f);
    EXPECT_EQ(e.stage(), Cmodenv::DONE);

    // Sustain 0 (full level) skips the decay; a release during the attack falls from there.
    auto f = env<Cmodenv>({{0, -32768}, {1, -7200}, {2, -32768}, {5, -7200}});
    for (int i = 0; i < 18; ++i) f.step();
    const float mid = f.value();
    EXPECT_NEAR(mid, 0.5f, 0.03f);
    f.release();
    f.step();
    EXPECT_LT(f.value(), mid);
    EXPECT_NEAR(f.value(), mid - 1 / 34.45f, 1e-4f);
    auto g = env<Cmodenv>({{0, -32768}, {1, -32768}, {2, -32768}});
    g.step();
    g.step();
    EXPECT_EQ(g.stage(), Cmodenv::SUSTAIN);
    EXPECT_EQ(g.value(), 1.0f);
    // Sustain above 1000 is clamped: the decay ends at 0.
    auto h = env<Cmodenv>({{0, -32768}, {1, -32768}, {2, -32768}, {3, -8400}, {4, 5000}});
    for (int i = 0; i < 40; ++i) h.step();
    EXPECT_EQ(h.value(), 0.0f);
}

TEST(Clfo, TriangleFromZeroRisingFirst)
{
    Clfo l;
    l.applydelay(-8400, false);   // 17 steps
    l.derive();
    l.start();
    EXPECT_FLOAT_EQ(l.rate(), float(4 * 8.176 / 2205));
    for (int i = 0; i < 18; ++i) {
        l.step();
        EXPECT_EQ(l.value(), 0.0f) << i;
    }
    // 8.176 Hz: a quarter period of 67.4 steps up to +1, then down through 0 to -1.
    int steps = 0;
    float prev = 0;
    while (l.value() < 1) { prev = l.value(); l.step(); ++steps; ASSERT_GE(l.value(), prev); }
    EXPECT_NEAR(steps, 2205 / 8.176 / 4, 1.01);
    steps = 0;
    while (l.value() > -1) { l.step(); ++steps; }
    EXPECT_NEAR(steps, 2205 / 8.176 / 2, 1.01);
    // Additive frequency: +1200 cents doubles the rate; a delay of 0 means none.
    Clfo m;
    m.applyfreq(600, false);
    m.applyfreq(600, true);
    m.applydelay(0, false);
    m.derive();
    m.start();
    m.step();
    m.step();
    EXPECT_FLOAT_EQ(m.value(), float(8 * 8.176 / 2205));
}

TEST(Cvolenv, LevelsInOneRunMatchStepByStep)
{
    // A hold that ends within the run, a decay that reaches its sustain within the run or after
    // it, sustain, a release that finishes within the run or after it, and a finished envelope:
    // the totals, the steps taken and the state afterwards are those of stepping one by one.
    struct Case { int hold, decay, sustain, release, before; bool releasenow; };
    const Case cases[] = {{-32768, -32768, 300, -6000, 40, false}, {-32768, -32768, 300, -6000, 40, true},
                          {-32768, -32768, 0, -9600, 10, true}, {-32768, -32768, 960, -12000, 5, true},
                          {-32768, -32768, 200, -4000, 600, true}, {-32768, -5000, 300, -6000, 3, false},
                          {-32768, -7000, 1000, -6000, 2, false}, {-7000, -7000, 500, -6000, 2, false},
                          {-6000, -32768, 500, -6000, 2, false}, {-6000, -7000, 0, -6000, 2, false}};
    for (const Case& c : cases)
        for (bool soft : {false, true})
            for (bool stop : {false, true})
                for (int n : {1, 7, 48}) {
                    auto e = env<Cvolenv>({{0, -32768}, {1, -32768}, {2, c.hold}, {3, c.decay}, {4, c.sustain},
                                           {5, c.release}});
                    for (int i = 0; i < c.before; ++i) e.step();
                    if (c.releasenow) e.release();
                    for (int part = 0; part < 4 && e.straight(); ++part) {
                        Cvolenv one = e;
                        std::vector<float> want;
                        int steps = 0;
                        while (steps < n) {
                            float t = one.atten() + 123.5f;
                            if (soft) t *= 2;
                            want.push_back(t);
                            one.step();
                            ++steps;
                            if (stop && one.finished()) break;
                        }
                        std::vector<float> got(size_t(n), -1.0f);
                        auto total = [soft](float cb) {
                            float t = cb + 123.5f;
                            if (soft) t *= 2;
                            return t;
                        };
                        ASSERT_EQ(e.levels(total, got.data(), n, stop), steps);
                        for (int j = 0; j < steps; ++j) ASSERT_EQ(got[size_t(j)], want[size_t(j)]) << j;
                        ASSERT_EQ(e.stage(), one.stage());
                        ASSERT_EQ(e.atten(), one.atten());
                    }
                }
}
