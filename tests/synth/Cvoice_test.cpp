// Voices rendered through a channel of a tiny in-memory bank: copies, pitch, levels, pan,
// filter, loops and the guards against hostile offsets and keys.
#include "Testbank.h"

#include "synth/Cinterp.h"
#include "synth/Clevel.h"
#include "synth/Cvoicerun.h"
#include "synth/Cwide.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

using namespace sfgen;   // generator names in the zone lists

namespace {

// Finishes a bank with one preset (bank 0, program 0) of one instrument with these zones.
void onepreset(Testbank& b, const std::vector<Gens>& zones, const Gens& pzone = {})
{
    const int inst = b.instrument(zones);
    b.preset(0, 0, {pzone + Gens{{instrument, inst}}});
    b.finish();
}

Cvoice* firstvoice(Cchannel& ch)
{
    for (auto& pz : ch.preset()->m_zones)
        if (pz->m_instr)
            for (auto& z : pz->m_instr->m_zones)
                if (z->m_voices) return z->m_voices;
    return nullptr;
}

// A looped 440 Hz sine: 1000 points of period 100 at 44000 Hz, root key 69.
int sine440(Testbank& b) { return b.sample(sine(1100, 100), 0, 1000, 44000, 69); }

// Plays one note on a fresh channel and returns the pitch measured over one second.
double playpitch(Testbank& b, int channel, int key, const std::vector<std::array<int, 3>>& before = {})
{
    Rig rig(b);
    Cchannel ch(rig.synth, channel);
    for (auto m : before) ch.dispatch(m[0], m[1], m[2]);
    ch.dispatch(9, key, 127);
    rig.render(ch, 0, 44100);
    return pitchhz(rig.dryl(), 2000, 44100);
}

double cents(double f, double ref) { return 1200 * std::log2(f / ref); }

} // namespace

TEST(Cvoice, RootKeyAt44100IsCopiedPointForPoint)
{
    Testbank b;
    const int s = b.sample(ramp(800), 0, 0, 44100, 60);
    onepreset(b, {instant() + Gens{{pan, -500}, {sampleid, s}}});
    Rig rig(b);
    Cchannel ch(rig.synth, 0);
    ch.dispatch(11, 7, 127);
    ch.dispatch(9, 60, 127);
    // Pieces of every awkward size continue the same copy.
    int pos = 0;
    for (int n : {0, 1, 19, 20, 21, 1000}) {
        rig.render(ch, pos, n);
        pos += n;
    }
    const auto& l = rig.dryl();
    // The very first control step reads the envelope before its first step: silent.
    EXPECT_EQ(l[0], 0.0f);
    for (int i = 1; i < 800; ++i) ASSERT_EQ(l[size_t(i)], float(i * 7 - 3000) / 32768) << i;
    for (int i = 800; i < pos; ++i) ASSERT_EQ(l[size_t(i)], 0.0f) << i;
    EXPECT_EQ(rig.dryr()[100], 0.0f);
    EXPECT_FALSE(ch.active());   // the sample ended; the voice went back to the free list
}

TEST(Cvoice, PitchAcrossTheKeyboardWithinOneCent)
{
    Testbank b;
    const int s = sine440(b);
    onepreset(b, {instant() + Gens{{sampleid, s}, {samplemodes, 1}}});
    for (int key : {0, 12, 21, 45, 60, 69, 70, 93, 108, 115, 127}) {
        SCOPED_TRACE(key);
        const double want = 440 * std::exp2((key - 69) / 12.0);
        EXPECT_NEAR(cents(playpitch(b, 0, key), want), 0, 1.0);
    }
}

TEST(Cvoice, TuningAndBendMoveThePitch)
{
    const struct { Gens gens; std::vector<std::array<int, 3>> msgs; double cents; } cases[] = {
        {{{coarsetune, 2}}, {}, 200},
        {{{coarsetune, -12}}, {}, -1200},
        {{{finetune, -50}}, {}, -50},
        {{{finetune, 30}, {coarsetune, 1}}, {}, 130},
        {{{rootkey, 57}}, {}, 1200},                                    // root key override
        {{}, {{11, 7, 100}, {9, 69, 100}, {14, 0x7f, 0x7f}}, 199},  // bend before this note
        {{}, {{14, 0x00, 0x00}, {9, 69, 100}}, 0},                  // idle zone keeps no bend
        {{}, {{11, 101, 0}, {11, 100, 0}, {11, 6, 12}, {11, 38, 0}, {9, 69, 100}, {14, 0, 0x60}}, 600},
        {{}, {{11, 101, 0}, {11, 100, 0}, {11, 6, 12}, {9, 69, 100}, {14, 0, 0x60}}, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cents);
        Testbank b;
        const int s = sine440(b);
        onepreset(b, {instant() + Gens{{sampleid, s}, {samplemodes, 1}} + c.gens});
        EXPECT_NEAR(cents(playpitch(b, 0, 69, c.msgs), 440), c.cents, 1.0);
    }
    // The sample's pitch correction counts as fine tune.
    Testbank b;
    const int s = b.sample(sine(1100, 100), 0, 1000, 44000, 69, -20);
    onepreset(b, {instant() + Gens{{sampleid, s}, {samplemodes, 1}}});
    EXPECT_NEAR(cents(playpitch(b, 0, 69), 440), -20, 1.0);
}

TEST(Cvoice, PercussionPlaysAtTheSampleRate)
{
    Testbank b;
    const int s = sine440(b);
    const int inst = b.instrument({instant() + Gens{{sampleid, s}, {samplemodes, 1}, {coarsetune, 5}}});
    b.preset(128, 0, {{{instrument, inst}}});
    b.finish();
    for (int key : {30, 69, 90}) EXPECT_NEAR(cents(playpitch(b, 9, key), 440), 0, 1.0) << key;
}

TEST(Cvoice, LevelsInDecibels)
{
    // A constant sample makes the bus level the amplitude itself; pan -500 puts all of it left.
    const struct { std::vector<std::array<int, 3>> msgs; int vel; int gain; Gens gens; double db; } cases[] = {
        {{{11, 7, 127}}, 127, 0, {}, 0},
        {{}, 127, 0, {}, 20 * std::log10(100.0 / 127)},                     // default volume 100
        {{{11, 7, 127}, {11, 11, 64}}, 127, 0, {}, 20 * std::log10(64.0 / 127)},
        {{{11, 7, 127}}, 64, 0, {}, 20 * std::log10(64.0 / 127)},           // velocity
        {{{11, 7, 127}}, 127, -60, {}, -6},                                  // mixer gain, 0.1 dB
        {{{11, 7, 127}}, 127, 250, {}, 25},
        {{{11, 7, 127}}, 127, 0, {{attenuation, 120}}, -12},                          // initial attenuation
        {{{11, 7, 127}, {11, 67, 127}}, 127, 0, {{attenuation, 60}}, -12},            // soft pedal doubles
        {{{11, 7, 0}}, 127, 0, {}, -1000},
        {{{11, 11, 0}}, 127, 0, {}, -1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.db);
        Testbank b;
        const int s = b.sample(dc(1100, 16384), 0, 1000, 44100, 60);
        onepreset(b, {instant() + Gens{{sampleid, s}, {samplemodes, 1}, {pan, -500}} + c.gens});
        Rig rig(b);
        rig.mixtab.setgain(0, c.gain);
        Cchannel ch(rig.synth, 0);
        for (auto m : c.msgs) ch.dispatch(m[0], m[1], m[2]);
        ch.dispatch(9, 60, c.vel);
        rig.render(ch, 0, 2000);
        const double level = rig.dryl()[1000] / 0.5;
        if (c.db <= -1000) EXPECT_EQ(level, 0);
        else EXPECT_NEAR(20 * std::log10(level), c.db, 0.01);
    }
}

TEST(Cvoice, VolumeChangeGlidesWithoutOvershoot)
{
    Testbank b;
    const int s = b.sample(dc(1100, 16384), 0, 1000, 44100, 60);
    onepreset(b, {instant() + Gens{{sampleid, s}, {samplemodes, 1}, {pan, -500}}});
    Rig rig(b);
    Cchannel ch(rig.synth, 0);
    ch.dispatch(11, 7, 127);
    ch.dispatch(9, 60, 127);
    rig.render(ch, 0, 200);
    ch.dispatch(11, 7, 64);          // -59.5 cB: 35 steps of 1.741 cB, then exactly the target
    rig.render(ch, 200, 2000);
    const auto& l = rig.dryl();
    const float target = float(0.5 * 64 / 127);
    for (int st = 0; st < 40; ++st) {
        const float v = l[size_t(200 + st * 20)];
        const double cb = -200 * std::log10(v / 0.5);
        if (st < 34) EXPECT_NEAR(cb, 1.741 * (st + 1), 0.01) << st;
        else EXPECT_NEAR(v, target, 1e-6) << st;
    }
}

TEST(Cvoice, PanGainsAreLinear)
{
    const struct { int ctl; float l, r; } cases[] = {
        {0, 1, 0}, {1, 0.992f, 0.008f}, {32, 0.75f, 0.25f}, {64, 0.5f, 0.5f}, {127, 0.008f, 0.992f}};
    for (auto c : cases) {
        SCOPED_TRACE(c.ctl);
        Testbank b;
        const int s = b.sample(dc(1100, 16384), 0, 1000, 44100, 60);
        onepreset(b, {instant() + Gens{{sampleid, s}, {samplemodes, 1}, {pan, 300}}});
        Rig rig(b);
        Cchannel ch(rig.synth, 0);
        ch.dispatch(11, 7, 127);
        ch.dispatch(11, 10, c.ctl);
        ch.dispatch(9, 60, 127);
        rig.render(ch, 0, 100);
        EXPECT_NEAR(rig.dryl()[50], 0.5f * c.l, 1e-6);
        EXPECT_NEAR(rig.dryr()[50], 0.5f * c.r, 1e-6);
    }
}

TEST(Cvoice, SendsAndNegativeDryLevel)
{
    const struct { float revamt, choamt; Gens gens; std::vector<std::array<int, 3>> msgs; float dry, cho, rev; } cases[] = {
        {0.8f, 0.5f, {}, {}, -0.3f, 0.5f, 0.8f},
        {0, 0, {{reverbsend, 200}, {chorussend, 100}}, {}, 0.7f, 0.1f, 0.2f},
        {0, 0, {{reverbsend, 900}}, {{11, 91, 127}}, 0.0f, 0.0f, 1.0f},                // clamped to 1
        {0.1f, -1.0f, {}, {{11, 91, 64}, {11, 93, 127}}, 0.8f, 0.0f, 0.2f},   // 64 -> 100, 127 -> 198
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dry);
        Testbank b;
        const int s = b.sample(dc(1100, 16384), 0, 1000, 44100, 60);
        onepreset(b, {instant() + Gens{{sampleid, s}, {samplemodes, 1}, {pan, -500}} + c.gens});
        Rig rig(b);
        rig.settings.reverbamt = c.revamt;
        rig.settings.chorusamt = c.choamt;
        Cchannel ch(rig.synth, 0);
        ch.dispatch(11, 7, 127);
        for (auto m : c.msgs) ch.dispatch(m[0], m[1], m[2]);
        ch.dispatch(9, 60, 127);
        rig.render(ch, 0, 100);
        EXPECT_NEAR(rig.bus[Csynth::DRYL][50], 0.5f * c.dry, 1e-6);
        EXPECT_NEAR(rig.bus[Csynth::CHOL][50], 0.5f * c.cho, 1e-6);
        EXPECT_NEAR(rig.bus[Csynth::REVL][50], 0.5f * c.rev, 1e-6);
    }
}

TEST(Cvoice, FilterCutoffAndVelocity)
{
    const struct { Gens gens; int vel; double hz; } cases[] = {
        {{}, 127, 0},                                  // 13500 cents and Q 0: off
        {{{filterq, 10}}, 127, 440 * std::exp2((13500 - 6900) / 1200.0)},   // Q on: 19912 Hz
        {{{filterfc, 6900}}, 127, 440},
        {{{filterfc, 6900}}, 1, 440 * std::exp2(-2362 / 1200.0)},
        {{{filterfc, 14000}}, 127, 0},                        // above 20 kHz: off
        {{{filterfc, 1000}}, 1, 440 * std::exp2((1362 - 6900) / 1200.0)},    // |c| of a negative cutoff
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hz);
        Testbank b;
        const int s = b.sample(dc(1100, 16384), 0, 1000, 44100, 60);
        onepreset(b, {instant() + Gens{{sampleid, s}, {samplemodes, 1}} + c.gens});
        Rig rig(b);
        Cchannel ch(rig.synth, 0);
        ch.dispatch(9, 60, c.vel);
        EXPECT_NEAR(firstvoice(ch)->m_filter.m_basehz, c.hz, 1e-6 * c.hz);
    }
}

TEST(Cvoice, FilterMatchesPlainTwoPoleAndPassesDc)
{
    Cfilter f;
    f.m_cutoffc = 8000;
    f.m_qcb = 60;
    f.start(127);
    ASSERT_TRUE(f.on());
    // Plain double-precision version of the same two-pole recursion.
    const double hz = 440 * std::exp2(1100 / 1200.0), w = hz * 2 * std::numbers::pi / 44100, q = 7;
    const double c = 1 - w / (w + 2 * q + 1 / (w + 1) - 2), a = c * c + 1 - 2 * c * std::cos(w);
    double y = 0, v = 0;
    std::vector<float> x(2000);
    for (size_t i = 0; i < x.size(); ++i) x[i] = i < 1000 ? float(std::sin(i * 0.3)) : 0.25f;
    std::vector<float> out = x;
    for (size_t i = 0; i < out.size(); i += 20) f.run(out.data() + i, 20);
    for (size_t i = 0; i < x.size(); ++i) {
        v = a * (x[i] - y) + c * c * v;
        y += v;
        ASSERT_NEAR(out[i], y, 1e-4) << i;
    }
    EXPECT_NEAR(out.back(), 0.25f, 1e-3);   // unity gain at 0 Hz
}

TEST(Cfilter, MostGainBoundsEverySteadyTone)
{
    // Tones swept across the spectrum through the filter as it runs: none comes out louder than
    // most(); without a sharp resonance (that the sweep could step over) the loudest comes within
    // 15 % of it, so the bound lies near the real peak.
    for (int cutoff : {3000, 6000, 9000, 12000})
        for (int qcb : {0, 60, 200, 400}) {
            Cfilter f;
            f.m_cutoffc = cutoff;
            f.m_qcb = qcb;
            f.start(127);
            ASSERT_TRUE(f.on());
            double loudest = 0;
            for (double hz = 20; hz < 20000; hz *= 1.04) {
                f.m_y = f.m_v = 0;
                std::vector<float> x(8000);
                for (size_t i = 0; i < x.size(); ++i) x[i] = float(std::sin(2 * std::numbers::pi * hz * double(i) / 44100));
                f.run(x.data(), int(x.size()));
                for (size_t i = 4000; i < x.size(); ++i) loudest = std::max(loudest, double(std::fabs(x[i])));
            }
            EXPECT_LE(loudest, f.most()) << cutoff << " " << qcb;
            if (qcb <= 60) {
                EXPECT_GT(loudest, f.most() / 1.15) << cutoff << " " << qcb;
            }
        }
}

TEST(Cvoice, OnlyVoicesThatCanNeverBeHeardAgainFallSilent)
{
    Testbank b;
    const int s = b.sample(dc(1100, 512), 0, 1000, 44100, 60);
    onepreset(b, {instant() + Gens{{sampleid, s}, {samplemodes, 1}, {volenvrelease, 4000}}});   // release 10 s
    // Seconds of release until the voice is unheard, at a master volume.
    auto secondsto = [&](int mastervol) {
        Rig rig(b);
        Csettings::set(rig.settings.mastervoldb, mastervol);
        Cchannel ch(rig.synth, 0);
        // At volume 0 a held note adds nothing, but it is not dropped: the volume may rise again.
        ch.dispatch(11, 7, 0);
        ch.dispatch(9, 60, 100);
        rig.render(ch, 0, 22050);
        EXPECT_EQ(rig.dryl()[22000], 0.0f);
        ch.dispatch(11, 7, 127);
        rig.render(ch, 22050, 22050);
        EXPECT_GT(rig.dryl()[44000], 0.005f);
        // Released, it fades by about 100 cB a second; at 1/64 of full scale, centred, with the
        // default makeup gain, it stays under 1/64 of a 16-bit step once it is past about 900 cB.
        // It then adds exactly nothing, yet sounds on until its envelope ends.
        ch.dispatch(8, 60, 0);
        std::vector<Cvoice*> v;
        int t = 0;
        for (; t < 10; ++t) {
            rig.clear();
            rig.render(ch, 0, 44100);
            v.clear();
            ch.preset()->collect(v);
            EXPECT_EQ(v.size(), size_t(1));
            if (v.size() != 1 || v[0]->unheard()) break;
            EXPECT_GT(std::fabs(rig.dryl()[44099]), 0.0f) << t;
        }
        EXPECT_TRUE(v.size() == 1 && v[0]->unheard());
        if (v.size() == 1) EXPECT_LT(v[0]->m_volenv.atten(), 1000.0f);
        rig.clear();
        rig.render(ch, 0, 2205);
        EXPECT_TRUE(ch.active());
        for (const auto& bus : rig.bus)
            for (float x : bus) EXPECT_EQ(x, 0.0f);
        return t;
    };
    // A master volume lowered after a run at the default takes effect: the voice falls silent
    // about 120 cB (a second) earlier.
    const int atdefault = secondsto(0), lowered = secondsto(-12);
    EXPECT_LT(lowered, atdefault);
}

TEST(Cvoice, LoopsAndSampleModes)
{
    // 100-point ramp looped over points 40..80; release after 2000 samples, release 0.5 s.
    const struct { int modes; bool endsbeforerelease; bool endsquicklyafter; } cases[] = {
        {0, true, true}, {1, false, false}, {3, false, true}, {2, false, false}};
    for (auto c : cases) {
        SCOPED_TRACE(c.modes);
        Testbank b;
        const int s = b.sample(ramp(100), 40, 80, 44100, 60);
        onepreset(b, {instant() + Gens{{sampleid, s}, {samplemodes, c.modes}, {volenvrelease, -1200}}});
        Rig rig(b);
        Cchannel ch(rig.synth, 0);
        ch.dispatch(9, 60, 127);
        rig.render(ch, 0, 2000);
        EXPECT_EQ(!ch.active(), c.endsbeforerelease);
        if (ch.active()) {
            Cvoice* v = firstvoice(ch);
            EXPECT_GE(v->m_osc.m_pos, 40);
            EXPECT_LT(v->m_osc.m_pos, 80);
        }
        ch.dispatch(8, 60, 0);
        rig.render(ch, 2000, 200);
        EXPECT_EQ(!ch.active(), c.endsquicklyafter);
        rig.render(ch, 2200, 44100 - 2200);
        EXPECT_FALSE(ch.active());   // the release ends every note
    }
}

TEST(Cvoice, HostileOffsetsAndKeysStayInsideTheSample)
{
    // Every case must play without reading outside the buffer (the sanitizers watch) and give
    // bounded output.
    const Gens cases[] = {
        {{startofs, -32768}, {startcoarseofs, -32768}},                  // start before the first point
        {{startofs, 32767}, {startcoarseofs, 32767}},                    // start far past the end
        {{endofs, 32767}, {endcoarseofs, 100}},                          // end far past the loaded points
        {{endofs, -32768}, {endcoarseofs, -32768}},                      // end before the start
        {{loopstartofs, -500}, {loopendofs, 32767}, {loopendcoarseofs, 5}},   // loop start before 0, end past all
        {{loopstartofs, 90}, {loopendofs, -80}},                         // loop end before loop start
        {{loopendofs, 500}},                                             // loop end beyond the end
        {{rootkey, 127}, {coarsetune, 127}, {finetune, 32767}},          // far up: huge ratio
        {{rootkey, 0}, {coarsetune, -128}, {finetune, -32768}},          // far down: ratio near 0
        {{fixedkey, 300}},                                               // fixed key past the table
        {{fixedkey, -5}, {fixedvel, 300}},
        {{viblfotopitch, -20000}, {viblfofreq, 3000}},                   // vibrato deeper than the ratio
        {{modenvtopitch, 32767}, {filterfc, 0}, {filterq, 960}, {modenvtofilterfc, 32767}},   // envelope up
        {{coarsetune, 32767}, {modenvtopitch, 100}},                     // infinite ratio, deviation not a number
    };
    int i = 0;
    for (const Gens& g : cases) {
        SCOPED_TRACE(i++);
        Testbank b;
        const int s = b.sample(ramp(100), 10, 90, 0, 200);   // rate 0 and root key 200 as well
        onepreset(b, {instant() + Gens{{sampleid, s}, {samplemodes, 1}} + g});
        Rig rig(b);
        Cchannel ch(rig.synth, 0);
        for (int key : {0, 60, 127}) ch.dispatch(9, key, 127);
        rig.render(ch, 0, 4410);
        for (float x : rig.dryl()) ASSERT_TRUE(std::fabs(x) < 10) << x;
        ch.dispatch(11, 123, 0);
        rig.render(ch, 4410, 44100);
        EXPECT_FALSE(ch.active());
    }
}

TEST(Cvoice, OffsetsAddUpInInstrumentZonesOnly)
{
    // Global zone start 10, local start 5: the note starts at point 15. The preset zone's start
    // offset plays no part.
    Testbank b;
    const int s = b.sample(ramp(400), 0, 0, 44100, 60);
    const int inst = b.instrument({{{startofs, 10}, {endofs, -100}},
                                   instant() + Gens{{sampleid, s}, {startofs, 5}, {pan, -500}}});
    b.preset(0, 0, {{{startofs, 50}, {instrument, inst}}});
    b.finish();
    Rig rig(b);
    Cchannel ch(rig.synth, 0);
    ch.dispatch(11, 7, 127);
    ch.dispatch(9, 60, 127);
    EXPECT_EQ(b.lastwant, 300u);   // the furthest point: the end, 400 - 100
    rig.render(ch, 0, 1000);
    EXPECT_EQ(rig.dryl()[19], 0.0f);   // the first control step is silent
    EXPECT_EQ(rig.dryl()[20], float((15 + 20) * 7 - 3000) / 32768);
    EXPECT_EQ(rig.dryl()[284], float(299 * 7 - 3000) / 32768);
    EXPECT_EQ(rig.dryl()[285], 0.0f);
}

TEST(Cvoice, LongChunksMatchStepByStepRendering)
{
    // A voice renders the control steps of a chunk first and then their audio, running steps of
    // equal pitch as one stretch. Rendered 20 samples at a time, every chunk is one step: both
    // must give the same floats, through moving pitch and cutoff, a release that finishes inside
    // a chunk, samples that end inside one, and stereo pairs whose halves differ in length.
    const Gens moving = {{modlfotopitch, 30}, {viblfotopitch, 40}, {modenvtopitch, -200}, {filterfc, 5000},
                         {filterq, 60}, {modlfotofilterfc, 1500}, {modenvtofilterfc, 2000}, {modlfodelay, -3000},
                         {modlfofreq, 300}, {viblfodelay, -4000}, {viblfofreq, 200}, {modenvdecay, -1500},
                         {modenvsustain, 400}, {volenvrelease, -2400}};
    struct Case {
        const char* what;
        std::vector<int16_t> left, right;   // right empty: a mono voice
        int leftmodes, rightmodes;
        Gens gens;
    };
    const Case cases[] = {
        {"mono, all modulation", sine(3000, 100), {}, 1, 0, moving},
        {"mono, vibrato after a delay from exact copying", sine(3000, 100), {}, 1, 0,
         {{viblfotopitch, 50}, {viblfodelay, -3000}, {viblfofreq, 500}, {volenvrelease, -3000}}},
        {"mono, sample ends inside a chunk", sine(2345, 37), {}, 0, 0, {{viblfotopitch, 20}, {viblfofreq, 400}}},
        {"pair of equal halves", sine(3000, 100), sine(3000, 50), 1, 1, moving},
        {"pair, right half shorter and not looped", sine(3000, 100), sine(1234, 77), 1, 0, moving},
        {"pair, left half shorter", sine(1500, 100), sine(3000, 77), 0, 1, {{filterfc, 3000}, {volenvrelease, -2000}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Testbank b;
        std::vector<Gens> zones;
        const Gens base = instant() + c.gens;
        if (c.right.empty()) {
            const int s = b.sample(c.left, 100, uint32_t(c.left.size() - 100), 44100, 62);
            zones.push_back(base + Gens{{samplemodes, c.leftmodes}, {sampleid, s}});
        } else {
            const int l = b.sample(c.left, 100, uint32_t(c.left.size() - 100), 44100, 62, 0, 4, 1);
            const int r = b.sample(c.right, 50, uint32_t(c.right.size() - 50), 44100, 62, 0, 2, 0);
            zones.push_back(base + Gens{{samplemodes, c.leftmodes}, {sampleid, l}});
            zones.push_back(base + Gens{{samplemodes, c.rightmodes}, {sampleid, r}});
        }
        onepreset(b, zones);
        auto play = [&](int piece) {
            Rig rig(b);
            Cchannel ch(rig.synth, 0);
            ch.dispatch(9, 60, 90);
            for (int pos = 0; pos < 30000; pos += piece) {
                if (pos == 9000) ch.dispatch(8, 60, 0);
                rig.render(ch, pos, std::min(piece, 30000 - pos));
            }
            EXPECT_FALSE(ch.active());
            return rig.bus;
        };
        const auto stepwise = play(20), chunked = play(9000);
        double energy = 0;
        for (float v : chunked[0]) energy += double(v) * v;
        EXPECT_GT(energy, 0.01);
        for (size_t bus = 0; bus < 6; ++bus)
            for (size_t i = 0; i < stepwise[bus].size(); ++i)
                ASSERT_EQ(stepwise[bus][i], chunked[bus][i]) << "bus " << bus << " sample " << i;
        // The plain loops (interpolation, filter, amplitudes, mixing) give the same floats as the
        // AVX2 ones.
        if (wide::available()) {
            wide::forceplain(true);
            const auto plain = play(9000);
            wide::forceplain(false);
            for (size_t bus = 0; bus < 6; ++bus)
                for (size_t i = 0; i < plain[bus].size(); ++i)
                    ASSERT_EQ(plain[bus][i], chunked[bus][i]) << "plain, bus " << bus << " sample " << i;
        }
    }
}

TEST(Cvoice, OscillatorMovesOnThroughSilence)
{
    // While the volume envelope's delay keeps a voice silent, its oscillator only moves on; once
    // it sounds, it reads the ramp where playing from the start would have taken it. The ramp is
    // linear, so each output gives back the position it was read at.
    Testbank b;
    const int s = b.sample(ramp(5000), 0, 0, 44100, 60);
    onepreset(b, {Gens{{volenvdelay, -4800}, {volenvattack, -32768}, {sampleid, s}}});   // 1/16 s delay: 137 steps
    for (int key : {60, 48, 55}) {
        SCOPED_TRACE(key);
        const double ratio = std::exp2((key - 60) / 12.0);
        Rig rig(b);
        Cchannel ch(rig.synth, 0);
        ch.dispatch(9, key, 127);
        rig.render(ch, 0, 7000);
        const auto& l = rig.dryl();
        int first = 0;
        while (first < 7000 && l[size_t(first)] == 0) ++first;
        EXPECT_EQ(first / 20, 138);   // the step after the delay's last
        first = first / 20 * 20;
        for (int i = first; i + 19 < 7000 && (i + 19) * ratio < 4990; i += 20) {
            // Within a control step the amplitude holds: the slope gives it, the value the position.
            const double amp = (l[size_t(i + 19)] - l[size_t(i)]) * 32768 / (19 * 7 * ratio);
            ASSERT_GT(amp, 0.01) << i;
            const double pos = (l[size_t(i)] * 32768 / amp + 3000) / 7;
            ASSERT_NEAR(pos, i * ratio, 0.5) << i;
        }
    }
}

TEST(Cvoice, AbortStopsRenderingAtTheNextStep)
{
    Testbank b;
    const int s = b.sample(dc(1100, 16384), 0, 1000, 44100, 60);
    onepreset(b, {instant() + Gens{{sampleid, s}, {samplemodes, 1}}});
    Rig rig(b);
    Cchannel ch(rig.synth, 0);
    ch.dispatch(9, 60, 127);
    rig.abort = true;
    rig.render(ch, 0, 1000);
    EXPECT_EQ(rig.dryl()[0], 0.0f);
    EXPECT_EQ(rig.dryl()[500], 0.0f);
}

namespace {

// The oscillator step by step, one point at a time, as plainly as it can be written.
struct Plainosc {
    const int16_t* s;
    int p, end, ls, le, mode;
    double frac, inc;
    float next()
    {
        if (mode == 0) return 0;
        const float a = s[p];
        const float b = (mode == 2 && p + 1 >= le) ? s[ls] : s[p + 1];
        const float out = (a + float(frac) * (b - a)) * (1.0f / 32768);
        frac += inc;
        while (frac >= 1) {
            frac -= 1;
            p += 1;
            if (p >= end) { mode = 0; break; }
            if (mode == 2 && p >= le) p = ls;
        }
        return out;
    }
};

} // namespace

TEST(Cosc, InterpolationMatchesThePlainVersion)
{
    const struct { double ratio; int modes, start, loopstart, loopend; } cases[] = {
        {0.37, 1, 0, 100, 300}, {1.5, 1, 0, 100, 300}, {2.999, 1, 250, 100, 300}, {17.3, 1, 0, 10, 30},
        {250.1, 1, 0, 100, 300}, {0.9, 0, 0, 100, 300}, {7.25, 0, 399, 100, 300}, {1.0001, 3, 0, 299, 300},
        {0.0, 1, 5, 100, 300}, {1.3, 1, 350, 100, 300},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ratio);
        Testbank b;
        b.sample(sine(400, 37.7), uint32_t(c.loopstart), uint32_t(c.loopend));
        b.finish();
        Cosc o(b.smps[0], 0);
        o.m_modes = c.modes;
        o.m_startofs = c.start;
        o.start(b, 60, true);
        o.m_ratio = c.ratio;
        o.devstep(0, 0, 0);
        Plainosc ref{b.audio[0].data(), o.m_pos, o.m_end, o.m_loopstart, o.m_loopend, o.m_mode, 0, c.ratio};
        std::vector<float> out(20);
        for (int st = 0; st < 500; ++st) {
            const int n = 1 + st % 20;
            o.render(out.data(), n);
            // The oscillator steps its position in 32.32 fixed point, the reference in double:
            // the two may part by a rounding, never by a point.
            for (int i = 0; i < n; ++i) ASSERT_NEAR(out[size_t(i)], ref.next(), 1e-5) << st << " " << i;
            ASSERT_EQ(o.playing(), ref.mode != 0);
        }
    }
}

TEST(Cinterp, WideAndPlainLoopsGiveTheSameFloats)
{
    if (!wide::available()) GTEST_SKIP() << "the processor runs the plain loops only";
    // Steps below, at and above the wide loop's limits of 1 and 2 points, fractions near the wrap, and
    // lengths that leave remainders; a signal with full-scale jumps between neighbours.
    std::vector<int16_t> s(4096 + 64);
    uint32_t r = 12345;
    for (auto& x : s) {
        r = r * 1103515245 + 12345;
        x = int16_t(r >> 16);
    }
    s[100] = 32767;
    s[101] = -32768;
    const double ratios[] = {0.0, 1e-6, 0.37, 0.999999, 1.0, 1.000001, 1.5, 1.999999, 2.0, 2.5, 7.3};
    const uint32_t fracs[] = {0, 1, 0x7fffffff, 0xffffff00, 0xffffffff};
    for (double ratio : ratios)
        for (uint32_t f : fracs)
            for (int n : {1, 7, 8, 9, 16, 20, 63}) {
                const uint64_t step = uint64_t(ratio * 4294967296.0);
                const uint64_t ph = (uint64_t(90) << 32) | f;
                std::vector<float> a(static_cast<size_t>(n)), b(static_cast<size_t>(n));
                wide::forceplain(false);
                const uint64_t ea = interp::run(s.data(), ph, step, a.data(), n, 0.25f);
                wide::forceplain(true);
                const uint64_t eb = interp::run(s.data(), ph, step, b.data(), n, 0.25f);
                wide::forceplain(false);
                ASSERT_EQ(ea, eb) << ratio << " " << f << " " << n;
                for (int i = 0; i < n; ++i) ASSERT_EQ(a[size_t(i)], b[size_t(i)]) << ratio << " " << f << " " << n << " " << i;
            }
}

TEST(Clevel, AmplitudesAreTheNearestFloatsAndBothVersionsAgree)
{
    // Attenuations across the whole range a voice reaches, with fractions, plus the edges:
    // silence from 1000 cB on, not a number, and gains large enough to overflow.
    std::vector<float> t;
    for (int i = -3000; i < 110000; ++i) t.push_back(float(i) * 0.01f + float(i % 7) * 1e-4f);
    for (float e : {999.99994f, 1000.0f, 1000.5f, 1e9f, -1e6f, -7706.0f, 0.0f, -0.0f, NAN, INFINITY, -INFINITY})
        t.push_back(e);
    const int n = int(t.size());
    std::vector<float> wide(t.size()), plain(t.size());
    // Odd counts and offsets exercise the remainder of the four-wide loop.
    level::amps(t.data(), wide.data(), n - 3);
    level::amps(t.data() + n - 3, wide.data() + n - 3, 3);
    level::ampsplain(t.data(), plain.data(), n);
    int inexact = 0;
    for (int i = 0; i < n; ++i) {
        const float x = t[size_t(i)];
        ASSERT_EQ(wide[size_t(i)], plain[size_t(i)]) << x;
        ASSERT_EQ(level::amp(x), plain[size_t(i)]) << x;
        if (!(x < 1000)) {
            ASSERT_EQ(plain[size_t(i)], 0.0f) << x;
            continue;
        }
        const long double exact = std::exp2l((long double)(x * -0.016609640474436812f));
        const float nearest = float(exact);
        if (std::isinf(nearest)) {
            ASSERT_TRUE(std::isinf(plain[size_t(i)])) << x;
            continue;
        }
        // Within a float step always, and the nearest float but for ties too close to call.
        ASSERT_LE(std::fabs(plain[size_t(i)] - (double)exact), std::fabs(double(nearest)) * 1.2e-7) << x;
        inexact += plain[size_t(i)] != nearest;
    }
    EXPECT_LE(inexact, 2);
    // 0 cB is full level, 200 cB a tenth, 60 dB below full a thousandth.
    EXPECT_EQ(level::amp(0), 1.0f);
    EXPECT_NEAR(level::amp(200), 0.1, 3e-8);
    EXPECT_NEAR(level::amp(600), 0.001, 3e-10);
}

TEST(Cfilter, FourSampleStepsFollowTheRecurrence)
{
    // The filter against v = a(x - y) + c2 v, y = y + v in double, on noise in pieces of every
    // size, at a low, a resonant and a high cutoff.
    const struct { int cutoff, q; } cases[] = {{5000, 0}, {7000, 200}, {13000, 960}};
    for (const auto& c : cases) {
        Cfilter f;
        f.m_cutoffc = c.cutoff;
        f.m_qcb = c.q;
        f.start(127);
        ASSERT_TRUE(f.on());
        double y = 0, v = 0;
        const double a = f.coefs().a, c2 = f.coefs().c2;
        uint32_t r = 99;
        double worst = 0, peak = 0;
        for (int n : {1, 2, 3, 4, 5, 8, 19, 20, 333}) {
            std::vector<float> x(static_cast<size_t>(n));
            for (auto& e : x) {
                r = r * 1103515245 + 12345;
                e = float(int16_t(r >> 16)) / 32768;
            }
            std::vector<float> in = x;
            f.run(x.data(), n);
            for (int i = 0; i < n; ++i) {
                v = a * (in[size_t(i)] - y) + c2 * v;
                y += v;
                worst = std::max(worst, std::fabs(x[size_t(i)] - y));
                peak = std::max(peak, std::fabs(y));
            }
        }
        EXPECT_LT(worst, 1e-5 * peak) << c.cutoff << " " << c.q;
    }
}

TEST(Cfilter, LanesGiveEachFilterItsOwnFloats)
{
    // Random filters (100 Hz to 19 kHz, every resonance) over one noise input, side by side in
    // groups of 1 to 8 and 11, give the floats and end states of each filter run alone, in every
    // split of a step into blocks; a quiet input decays into the flush of the state.
    uint32_t r = 7;
    const auto rnd = [&r] {
        r = r * 1103515245 + 12345;
        return double(r >> 8) / (1 << 24);
    };
    const struct { int steps, len, last; float level; } shapes[] = {
        {48, 20, 20, 1}, {48, 20, 13, 1}, {1, 20, 3, 1}, {3, 20, 7, 1}, {2, 20, 8, 1}, {4, 15, 15, 1},
        {3, 37, 37, 1}, {48, 20, 20, 1e-12f}};
    for (bool plain : {false, true}) {
        if (plain && !wide::available()) continue;
        wide::forceplain(plain);
        int flushed = 0;
        for (const auto& sh : shapes)
            for (size_t lanes : {1, 2, 3, 4, 5, 6, 7, 8, 11}) {
                const size_t n = size_t((sh.steps - 1) * sh.len + sh.last);
                std::vector<float> x(n);
                for (size_t i = 0; i < n; ++i) x[i] = sh.level < 1 && i > 2 ? 0 : float(2 * rnd() - 1) * sh.level;
                std::vector<Cfilter::Ccoefs> k(lanes);
                std::vector<const Cfilter::Ccoefs*> kp;
                std::vector<std::vector<float>> out(lanes, std::vector<float>(n)), ref(lanes, x);
                std::vector<float*> op;
                std::vector<float> y(lanes), v(lanes);
                for (size_t l = 0; l < lanes; ++l) {
                    const double f = 100 * std::pow(190.0, rnd()), q = 1 + 96 * rnd() * rnd();
                    Cfilter::coefsfor(&f, q, &k[l], 1);
                    kp.push_back(&k[l]);
                    op.push_back(out[l].data());
                    y[l] = float(2 * rnd() - 1) * sh.level;
                    v[l] = float(rnd() - 0.5) * sh.level;
                }
                std::vector<Cfilter> alone(lanes);
                for (size_t l = 0; l < lanes; ++l) {
                    alone[l].m_y = y[l];
                    alone[l].m_v = v[l];
                    alone[l].runsteps(ref[l].data(), sh.steps, sh.len, sh.last, k[l]);
                    flushed += alone[l].m_y == 0 && alone[l].m_v == 0;
                }
                Cfilter::runlanes(x.data(), op.data(), int(lanes), sh.steps, sh.len, sh.last, kp.data(), y.data(), v.data());
                for (size_t l = 0; l < lanes; ++l) {
                    // == takes +0 and -0 as equal, and the only other float equal to a float is itself.
                    for (size_t i = 0; i < n; ++i)
                        ASSERT_EQ(out[l][i], ref[l][i]) << plain << " " << sh.steps << "x" << sh.len << "," << sh.last
                                                        << " lanes " << lanes << " lane " << l << " sample " << i;
                    ASSERT_EQ(y[l], alone[l].m_y) << lanes << " " << l;
                    ASSERT_EQ(v[l], alone[l].m_v) << lanes << " " << l;
                }
            }
        EXPECT_GT(flushed, 10);
    }
    wide::forceplain(false);
}

TEST(Cfilter, CoefficientsComputedTogetherMatchOneByOne)
{
    // Cutoffs over the whole range at low and high resonance: four at a time (AVX2) and one at
    // a time give the same floats, and a and c are those of the formula with the library's cos.
    std::vector<double> f;
    for (double hz = 5; hz < 20000; hz *= 1.0137) f.push_back(hz);
    for (double q : {1.0, 7.5, 97.0}) {
        std::vector<Cfilter::Ccoefs> together(f.size()), single(f.size());
        Cfilter::coefsfor(f.data(), q, together.data(), int(f.size()));
        for (size_t i = 0; i < f.size(); ++i) Cfilter::coefsfor(&f[i], q, &single[i], 1);
        for (size_t i = 0; i < f.size(); ++i) {
            ASSERT_EQ(std::memcmp(&together[i], &single[i], sizeof(Cfilter::Ccoefs)), 0) << f[i] << " " << q;
            const double w = f[i] * 0.00014247585732426305;
            const double c = 1 - w / (w + 2 * q + 1 / (w + 1) - 2);
            const double a = c * c + 1 - 2 * c * std::cos(w);
            ASSERT_EQ(single[i].c, float(c)) << f[i];
            ASSERT_NEAR(single[i].a, float(a), std::fabs(a) * 1.2e-7) << f[i] << " " << q;
        }
    }
}

TEST(Chelper, AJobRunsOnceOrIsTakenBack)
{
    // Jobs in a row, some taken back at once: each runs exactly once or never, and a wait ends
    // only after its own job ran, also when the helper has not yet come to a job taken back
    // before it, or sleeps after a pause. A helper awake takes most jobs before they can be taken
    // back, more so on a loaded machine, so every 200th job comes after a pause long enough for
    // the helper to fall asleep, and taking that one back then wins all but by chance.
    Chelper h;
    std::atomic<int> runs{0};
    int taken = 0;
    for (int i = 0; i < 20000; ++i) {
        if (i % 200 == 199) std::this_thread::sleep_for(std::chrono::microseconds(Chelper::YIELDUS + 1000));
        h.post([](void* r) { static_cast<std::atomic<int>*>(r)->fetch_add(1); }, &runs);
        if ((i % 3 != 2 || i % 200 == 199) && h.retract()) {
            ++taken;
            h.wait();   // returns at once
            // Time for the helper to come to the job taken back, which it must not run.
            if (taken % 100 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        h.wait();
        ASSERT_EQ(runs.load() + taken, i + 1) << i;
    }
    EXPECT_GT(taken, 50);
    EXPECT_FALSE(h.retract());   // the last job ran
    EXPECT_EQ(runs.load() + taken, 20000);
}

TEST(Cvoicerun, SplitRenderingMatchesOneThreadAndRepeatsExactly)
{
    // Forty notes of a filtered, looped sine: enough voices and samples to split every slice.
    Testbank b;
    const int s = sine440(b);
    onepreset(b, {instant() + Gens{{samplemodes, 1}, {filterfc, 6000}, {filterq, 100}, {sampleid, s}}});
    auto play = [&](bool parallel) {
        Rig rig(b);
        rig.synth.voicerun = std::make_shared<Cvoicerun>(parallel);
        Cchannel ch(rig.synth, 0);
        for (int k = 40; k < 80; ++k) ch.dispatch(9, k, 100);
        rig.render(ch, 0, 5000);
        for (int k = 40; k < 80; k += 2) ch.dispatch(8, k, 0);
        rig.render(ch, 5000, 20000);
        return rig.bus;
    };
    const auto one = play(false), split = play(true), again = play(true);
    double peak = 0, worst = 0;
    for (size_t bus = 0; bus < one.size(); ++bus)
        for (size_t i = 0; i < one[bus].size(); ++i) {
            peak = std::max(peak, double(std::fabs(one[bus][i])));
            worst = std::max(worst, double(std::fabs(one[bus][i] - split[bus][i])));
        }
    EXPECT_GT(peak, 0.1);
    EXPECT_LT(worst, 1e-5 * peak);
    EXPECT_EQ(split, again);

    // Kept to one processor (cantorix-cli convert -j 1), a render thread renders alone.
    Chelper::limit(1);
    {
        const Chelper::Crender counted;
        EXPECT_FALSE(Chelper::spare());
        EXPECT_EQ(play(true), one);
    }
    Chelper::limit(0);
}

TEST(Cvoicerun, ManySlicesInOneCallAddAsSliceBySlice)
{
    // Per note three looped voices and a short one-shot that finishes in the first slice (the
    // newest zone's voices come first in the list); the one-shot and the first looped voice
    // share their sends, the other two each have their own.
    // A voice that finished must not decide the order of the send groups in the later slices of
    // the call, or the buses are summed in another order than in one call per slice.
    Testbank b;
    const int shot = b.sample(sine(300, 100), 100, 200);
    const int loop = sine440(b);
    const Gens looped = instant() + Gens{{samplemodes, 1}, {sampleid, loop}};
    const int inst = b.instrument({looped + Gens{{chorussend, 200}, {finetune, 7}}, looped + Gens{{reverbsend, 300}},
                                   looped + Gens{{reverbsend, 600}, {chorussend, 100}},
                                   instant() + Gens{{chorussend, 200}, {sampleid, shot}}});
    b.preset(0, 0, {Gens{{instrument, inst}}});
    b.finish();
    auto play = [&](int call, bool parallel) {
        Rig rig(b);
        rig.synth.voicerun = std::make_shared<Cvoicerun>(parallel);
        Cchannel ch(rig.synth, 0);
        for (int k = 50; k < 62; ++k) ch.dispatch(9, k, 100);
        for (int at = 0; at < 3 * Cvoicerun::JOB; at += call) rig.render(ch, at, call);
        return rig.bus;
    };
    const auto sliced = play(Cvoicerun::SLICE, false);
    EXPECT_EQ(play(Cvoicerun::JOB, false), sliced);
    EXPECT_EQ(play(Cvoicerun::JOB, true), play(Cvoicerun::JOB, true));
}

TEST(Cvoicerun, TwinsShareTheirSignalAndAddWhatTheyAddAlone)
{
    // Two presets of six or seven zones naming one instrument. The first: a filtered, vibrato
    // stereo pair, where four zones differ only in the volume envelope, attenuation, pan or sends
    // (twins), one in tuning and one in cutoff (same samples, other signals). The second: a mono
    // sample with a steady cutoff that five zones lower by different amounts, so that one twin
    // filters for the others side by side. Releases of different lengths make twins stop one
    // after the other, fall under hearing at different times and finish inside slices; a bend
    // and a volume change come in between. The mono preset plays a chord of 25 keys: on one
    // thread, more twin signals than it keeps in a slice, so that the twins past them render on
    // their own.
    // The stereo preset's modulation (envelope to cutoff, LFO to cutoff and volume, vibrato) makes
    // twins that differ only in their volume envelopes share their control steps too.
    // Sharing must give the very floats of rendering every voice alone, on one thread and split.
    auto check = [](Testbank& b, int last, bool modulated) {
        auto play = [&](bool parallel, bool share) {
            Rig rig(b);
            rig.synth.voicerun = std::make_shared<Cvoicerun>(parallel, share);
            Cchannel ch(rig.synth, 0);
            for (int k = 55; k <= last; ++k) ch.dispatch(9, k, 60 + 10 * ((k - 55) % 7));
            rig.render(ch, 0, 7000);
            ch.dispatch(8, 55, 0);
            ch.dispatch(8, 57, 0);
            ch.dispatch(14, 0, 80);   // pitch bend
            rig.render(ch, 7000, 9000);
            ch.dispatch(11, 7, 70);   // volume
            for (int k = 56; k <= last; ++k) ch.dispatch(8, k, 0);
            ch.dispatch(9, last + 4, 100);
            rig.render(ch, 16000, 24000);
            ch.dispatch(8, last + 4, 0);
            rig.render(ch, 40000, Rig::LEN - 40000);
            EXPECT_FALSE(ch.active());
            return std::make_tuple(rig.bus, rig.synth.voicerun->twinshares(), rig.synth.voicerun->ctlshares());
        };
        for (bool parallel : {false, true}) {
            SCOPED_TRACE(parallel ? "split" : "one thread");
            const auto [alone, none, noctl] = play(parallel, false);
            const auto [shared, taken, ctltaken] = play(parallel, true);
            EXPECT_EQ(none, 0);
            EXPECT_EQ(noctl, 0);
            EXPECT_GT(taken, 100);
            if (modulated) {
                EXPECT_GT(ctltaken, 50);
            }
            EXPECT_GT(rms(alone[0], 0, 16000), 0.01);
            for (size_t bus = 0; bus < 6; ++bus)
                for (size_t i = 0; i < alone[bus].size(); ++i)
                    ASSERT_EQ(alone[bus][i], shared[bus][i]) << "bus " << bus << " sample " << i;
        }
    };
    {
        SCOPED_TRACE("stereo, moving cutoff");
        Testbank b;
        const int l = b.sample(sine(3000, 100), 100, 2900, 44100, 62, 0, 4, 1);
        const int r = b.sample(sine(3000, 50), 50, 2950, 44100, 62, 0, 2, 0);
        const Gens gens = instant() + Gens{{samplemodes, 1}, {filterfc, 5000}, {filterq, 60},
                                           {modenvtofilterfc, 2000}, {modenvdecay, -1500}, {modenvsustain, 400},
                                           {modlfotofilterfc, 600}, {modlfotovolume, 30}, {modlfofreq, 800},
                                           {viblfotopitch, 30}, {viblfofreq, 300}, {volenvrelease, -2400}};
        const int inst = b.instrument({gens + Gens{{sampleid, l}}, gens + Gens{{sampleid, r}}});
        b.preset(0, 0,
                 {Gens{{instrument, inst}}, Gens{{volenvrelease, 1200}, {instrument, inst}},
                  Gens{{volenvhold, 500}, {attenuation, 60}, {pan, 200}, {reverbsend, 300}, {instrument, inst}},
                  Gens{{volenvrelease, -1000}, {chorussend, 200}, {instrument, inst}},
                  Gens{{finetune, 3}, {instrument, inst}}, Gens{{filterfc, -300}, {instrument, inst}}});
        b.finish();
        check(b, 60, true);
    }
    {
        SCOPED_TRACE("mono, steady cutoffs");
        Testbank b;
        const int s = b.sample(sine(3000, 100), 100, 2900, 44100, 62, 0, 1, 0);
        const int inst = b.instrument({instant() + Gens{{samplemodes, 1}, {filterfc, 5000}, {filterq, 60},
                                                        {volenvhold, -3000}, {volenvdecay, -1000},
                                                        {volenvsustain, 300}, {volenvrelease, -2400}, {sampleid, s}}});
        b.preset(0, 0,
                 {Gens{{instrument, inst}}, Gens{{volenvrelease, 1200}, {instrument, inst}},
                  Gens{{volenvhold, 500}, {attenuation, 60}, {pan, 200}, {reverbsend, 300}, {instrument, inst}},
                  Gens{{filterfc, -300}, {instrument, inst}}, Gens{{filterfc, -600}, {instrument, inst}},
                  Gens{{filterfc, -900}, {chorussend, 200}, {instrument, inst}},
                  Gens{{filterfc, -1200}, {volenvrelease, -1000}, {instrument, inst}}});
        b.finish();
        check(b, 79, false);
    }
}
