// Channel dispatch and the preset instance tree: pedals, exclusive classes, stereo pairs,
// presets and their fallbacks, warnings, transposition and the voice free lists.
#include "Testbank.h"
#include "support/Boxes.h"
#include "support/Tempdir.h"
#include "synth/Cvoicepool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

using namespace sfgen;   // generator names in the zone lists

namespace {

using Msgs = std::vector<std::array<int, 3>>;

Bytes cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void send(Cchannel& ch, const Msgs& m)
{
    for (auto x : m) ch.dispatch(x[0], x[1], x[2]);
}

// Every voice of the channel's preset instance: key -> "held" (sounding, not released) or
// "released", newest first within a key. Released means the volume envelope is releasing.
std::multimap<int, std::string> voices(Cchannel& ch)
{
    std::multimap<int, std::string> m;
    for (auto& pz : ch.preset()->m_zones)
        if (pz->m_instr)
            for (auto& z : pz->m_instr->m_zones)
                for (Cvoice* v = z->m_voices; v; v = v->m_next)
                    m.emplace(v->m_key, v->m_volenv.stage() >= Cvolenv::RELEASE ? "released" : "held");
    return m;
}
std::string state(Cchannel& ch, int key)
{
    std::string s;
    const auto all = voices(ch);
    auto [a, b] = all.equal_range(key);
    for (auto i = a; i != b; ++i) s += (s.empty() ? "" : ",") + i->second;
    return s;
}

// A looped piano-like bank: one zone over all keys with a long release.
struct Piano {
    Testbank b;
    Piano()
    {
        const int s = b.sample(dc(1100, 8000), 0, 1000, 44100, 60);
        const int inst = b.instrument({instant() + Gens{{sampleid, s}, {samplemodes, 1}, {volenvrelease, 0}}});
        b.preset(0, 0, {{{instrument, inst}}});
        b.preset(0, 5, {{{instrument, inst}}});
        b.preset(8, 5, {{{instrument, inst}}});
        b.preset(128, 0, {{{instrument, inst}}});
        b.preset(128, 16, {{{instrument, inst}}});
        b.finish();
    }
};

} // namespace

TEST(Cchannel, SustainPedalHoldsNotesSoundingWhenItWentDown)
{
    Piano p;
    Rig rig(p.b);
    Cchannel ch(rig.synth, 0);
    send(ch, {{9, 60, 100}, {11, 64, 127}, {9, 62, 100}, {8, 60, 0}});
    EXPECT_EQ(state(ch, 60), "held");               // held by the pedal
    send(ch, {{8, 62, 0}});
    EXPECT_EQ(state(ch, 62), "released");           // started under the pedal: not held
    send(ch, {{9, 64, 100}, {11, 64, 0}});
    EXPECT_EQ(state(ch, 60), "released");           // pedal up ends the held note
    EXPECT_EQ(state(ch, 64), "held");               // still pressed
    // A second pedal-down and note-off, then reset all controllers lets go as pedal up would.
    send(ch, {{11, 64, 100}, {8, 64, 0}});
    EXPECT_EQ(state(ch, 64), "held");
    send(ch, {{11, 121, 0}});
    EXPECT_EQ(state(ch, 64), "released");
}

TEST(Cchannel, SostenutoHoldsNotesStartedWhileDown)
{
    Piano p;
    Rig rig(p.b);
    Cchannel ch(rig.synth, 0);
    send(ch, {{9, 60, 100}, {11, 66, 127}, {9, 62, 100}, {8, 60, 0}, {8, 62, 0}});
    EXPECT_EQ(state(ch, 60), "released");
    EXPECT_EQ(state(ch, 62), "held");
    send(ch, {{9, 65, 100}, {11, 66, 0}});
    EXPECT_EQ(state(ch, 62), "released");
    EXPECT_EQ(state(ch, 65), "held");               // state back to free: note-off ends it
    send(ch, {{8, 65, 0}});
    EXPECT_EQ(state(ch, 65), "released");
    // All notes off releases whatever the pedals say.
    send(ch, {{11, 64, 127}, {11, 66, 127}, {9, 70, 1}, {9, 71, 1}, {8, 70, 0}, {11, 123, 0}});
    EXPECT_EQ(state(ch, 70), "released");
    EXPECT_EQ(state(ch, 71), "released");
}

TEST(Cchannel, RestrikeReleasesTheOlderNoteEvenUnderSustain)
{
    Piano p;
    Rig rig(p.b);
    Cchannel ch(rig.synth, 0);
    send(ch, {{11, 64, 127}, {9, 60, 100}, {9, 60, 90}});
    EXPECT_EQ(voices(ch).count(60), 2u);
    EXPECT_EQ(state(ch, 60), "held,released");
    // Note-off velocity outside the zone's range still ends the note.
    send(ch, {{11, 64, 0}, {8, 60, 127}});
    EXPECT_EQ(state(ch, 60), "released,released");
}

TEST(Cchannel, ExclusiveClassesReleaseEachOther)
{
    // Two drum zones share class 1 (like closed and open hi-hat); a third zone has class 0.
    Testbank b;
    const int s = b.sample(dc(1100, 8000), 0, 1000, 44100, 60);
    const Gens z = instant() + Gens{{sampleid, s}, {samplemodes, 1}, {volenvrelease, 0}};
    const int inst = b.instrument({z + Gens{{keyrange, range(42, 42)}, {exclusiveclass, 1}},
                                   z + Gens{{keyrange, range(46, 46)}, {exclusiveclass, 1}},
                                   z + Gens{{keyrange, range(36, 36)}}});
    const int other = b.instrument({z + Gens{{keyrange, range(44, 44)}, {exclusiveclass, 1}}});
    b.preset(128, 0, {{{instrument, inst}}, {{instrument, other}}});
    b.finish();
    Rig rig(b);
    Cchannel ch(rig.synth, 9);
    send(ch, {{9, 36, 100}, {9, 46, 100}});
    EXPECT_EQ(state(ch, 46), "held");
    send(ch, {{9, 42, 100}});
    EXPECT_EQ(state(ch, 46), "released");
    EXPECT_EQ(state(ch, 42), "held");
    EXPECT_EQ(state(ch, 36), "held");
    send(ch, {{9, 44, 100}});                        // other preset zone, same class
    EXPECT_EQ(state(ch, 42), "released");
    EXPECT_EQ(state(ch, 44), "held");
    send(ch, {{9, 44, 100}});                        // its own zone's older note too
    EXPECT_EQ(state(ch, 44), "held,released");
}

TEST(Cchannel, StereoPairSoundsAsOneNoteOnlyWithEqualRanges)
{
    for (bool equal : {true, false}) {
        SCOPED_TRACE(equal);
        Testbank b;
        // Sample 0 is the left half (type 4) linked to sample 1, the right half (type 2).
        const int l = b.sample(dc(1100, 8000), 0, 1000, 44100, 60, 0, 4, 1);
        const int r = b.sample(dc(1100, -4000), 0, 1000, 44100, 60, 0, 2, 0);
        const Gens z = instant() + Gens{{samplemodes, 1}};
        const int inst = b.instrument({z + Gens{{keyrange, range(0, 127)}, {pan, -500}, {sampleid, l}},
                                       z + Gens{{keyrange, range(0, equal ? 127 : 100)}, {pan, 500}, {sampleid, r}}});
        b.preset(0, 0, {{{instrument, inst}}});
        b.finish();
        Rig rig(b);
        Cchannel ch(rig.synth, 0);
        send(ch, {{11, 7, 127}, {9, 60, 127}});
        auto& zones = ch.preset()->m_zones[0]->m_instr->m_zones;
        int sounding = 0;
        for (auto& zz : zones) sounding += zz->active();
        EXPECT_EQ(sounding, equal ? 1 : 2);
        rig.render(ch, 0, 100);
        EXPECT_NEAR(rig.dryl()[50], 8000 / 32768.0, 1e-6);   // left sample, all left
        EXPECT_NEAR(rig.dryr()[50], -4000 / 32768.0, 1e-6);  // right sample, all right
        // Once the channel's pan is set, both halves take it.
        send(ch, {{11, 10, 64}});
        rig.clear();
        rig.render(ch, 0, 100);
        EXPECT_NEAR(rig.dryl()[50], 0.5 * 4000 / 32768.0, 1e-6);
        EXPECT_NEAR(rig.dryr()[50], 0.5 * 4000 / 32768.0, 1e-6);
        // A volume change reaches both halves; the release ends both.
        send(ch, {{11, 7, 0}, {8, 60, 0}});
        rig.render(ch, 100, 44100);
        EXPECT_FALSE(ch.active());
        EXPECT_EQ(rig.dryl()[40000], 0.0f);
    }
}

TEST(Cchannel, RepeatedNotesReuseTheVoiceObject)
{
    Testbank b;
    const int s = b.sample(ramp(200), 0, 0, 44100, 60);
    const int inst = b.instrument({instant() + Gens{{sampleid, s}}});
    b.preset(0, 0, {{{instrument, inst}}});
    b.finish();
    Rig rig(b);
    Cchannel ch(rig.synth, 0);
    send(ch, {{9, 60, 100}, {11, 1, 127}});        // modulation wheel while the note sounds
    Cizone& z = *ch.preset()->m_zones[0]->m_instr->m_zones[0];
    Cvoice* first = z.m_voices;
    EXPECT_EQ(first->m_osc.m_devvib, 0.0);         // a sounding note keeps its pitch
    rig.render(ch, 0, 1000);                       // the sample ends
    EXPECT_EQ(z.active(), 0);
    EXPECT_EQ(z.m_free, first);
    send(ch, {{9, 64, 100}});
    EXPECT_EQ(z.m_voices, first);                  // the same object, started again
    EXPECT_EQ(z.m_free, nullptr);
    EXPECT_EQ(first->m_osc.m_vibc, 127 * 50 / 128);   // and it kept the wheel's depth
    EXPECT_GT(first->m_osc.m_devvib, 0.0);
    EXPECT_EQ(b.requests, 2);
}

// The converter gives a finished voice object up unless it kept something from its note (the
// wheel's vibrato depth, a drum's bend) or its zone holds such an object: a later note then gets a
// new one, which must play exactly as the old one would have. With a pool (the live engine) every
// object stays, so both must fill the buses with the same floats.
TEST(Cchannel, FreeVoiceObjectsGoUnlessTheyKeptSomethingAndNotesSoundTheSame)
{
    Testbank b;
    const int s = b.sample(sine(3000, 100), 100, 2900, 44100, 62);
    const Gens gens = instant() + Gens{{sampleid, s}, {samplemodes, 1}, {volenvrelease, -4800}, {viblfofreq, 300}};
    const int inst = b.instrument({gens});
    // Two zones naming one instrument: the voices of a note are twins.
    b.preset(0, 0, {{{instrument, inst}}, {{attenuation, 30}, {instrument, inst}}});
    b.preset(128, 0, {{{instrument, inst}}});
    b.finish();
    auto play = [&](bool pooled) {
        Rig rig(b);
        auto free = [](void* m) { ::operator delete(m, Cvoicepool::ALIGN); };
        std::unique_ptr<void, decltype(free)> block(::operator new(64 * Cvoicepool::slotsize(), Cvoicepool::ALIGN),
                                                    free);
        Cvoicepool pool;
        pool.adopt(block.get(), 64);
        if (pooled) rig.synth.pool = &pool;
        Cchannel mel(rig.synth, 0), drum(rig.synth, DRUMCHANNEL);
        int at = 0;
        auto run = [&](int n) {
            rig.render(mel, at, n);
            rig.render(drum, at, n);
            at += n;
        };
        auto freeobjects = [&] {
            int n = 0;
            for (Cchannel* ch : {&mel, &drum})
                for (auto& pz : ch->preset()->m_zones)
                    for (auto& z : pz->m_instr->m_zones)
                        for (Cvoice* v = z->m_free; v; v = v->m_next) ++n;
            return n;
        };
        send(mel, {{9, 60, 100}, {9, 62, 90}});
        send(drum, {{9, 36, 100}});
        run(3000);
        send(mel, {{9, 64, 100}, {11, 1, 127}, {8, 60, 0}});   // only the sounding notes take the wheel
        send(drum, {{14, 0, 0x50}, {8, 36, 0}});
        run(8000);                                             // 60 and the drum end, both altered
        send(mel, {{11, 1, 0}, {8, 62, 0}, {8, 64, 0}, {9, 60, 100}});
        run(8000);                                             // 62 and 64 end as they began
        const int afterwards = freeobjects();
        send(mel, {{9, 65, 100}, {9, 67, 100}, {9, 69, 100}, {8, 60, 0}});
        send(drum, {{9, 36, 100}});
        run(6000);                                             // 60 ends with the wheel's depth
        send(mel, {{8, 65, 0}, {8, 67, 0}, {8, 69, 0}});
        run(6000);                                             // these end on top of it
        send(mel, {{9, 71, 100}});
        run(3000);
        send(mel, {{8, 71, 0}});
        send(drum, {{8, 36, 0}});
        run(Rig::LEN - at);
        EXPECT_FALSE(mel.active());
        return std::make_pair(rig.bus, afterwards);
    };
    const auto [pooled, all] = play(true);
    const auto [converter, kept] = play(false);
    EXPECT_EQ(all, 5);    // two per melodic zone, and the drum's
    EXPECT_EQ(kept, 1);   // the bent drum only: the one with the wheel's depth sounds again
    EXPECT_GT(rms(pooled[0], 31000, 34000), 0.01);
    for (size_t bus = 0; bus < 6; ++bus)
        for (size_t i = 0; i < pooled[bus].size(); ++i)
            ASSERT_EQ(pooled[bus][i], converter[bus][i]) << "bus " << bus << " sample " << i;
}

// With voice objects built in a pool's slots (the live engine's), a note that finds no slot
// takes its zone's quietest (and oldest) releasing voice, else it does not sound; both are
// counted. A program change gives every slot back.
TEST(Cchannel, EmptyPoolStealsTheQuietestReleasingVoiceElseDrops)
{
    Piano p;
    Rig rig(p.b);
    auto free = [](void* m) { ::operator delete(m, Cvoicepool::ALIGN); };
    std::unique_ptr<void, decltype(free)> block(::operator new(2 * Cvoicepool::slotsize(), Cvoicepool::ALIGN),
                                                free);
    Cvoicepool pool;
    pool.adopt(block.get(), 2);
    rig.synth.pool = &pool;
    Cchannel ch(rig.synth, 0);
    send(ch, {{9, 60, 100}, {9, 64, 100}});
    EXPECT_EQ(pool.left(), 0u);
    send(ch, {{9, 67, 100}});                       // nothing releasing
    EXPECT_EQ(state(ch, 67), "");
    EXPECT_EQ(rig.synth.dropped, 1);
    send(ch, {{8, 64, 0}, {8, 60, 0}});
    send(ch, {{9, 67, 100}});                       // as loud: the older one goes
    EXPECT_EQ(state(ch, 60), "");
    EXPECT_EQ(state(ch, 64), "released");
    EXPECT_EQ(state(ch, 67), "held");
    EXPECT_EQ(rig.synth.stolen, 1);
    EXPECT_EQ(rig.synth.dropped, 1);
    send(ch, {{12, 1, 0}});
    EXPECT_EQ(pool.left(), 2u);
}

TEST(Cchannel, FixedKeyAndTransposition)
{
    Testbank b;
    const int s = b.sample(dc(1100, 8000), 0, 1000, 44100, 60);
    const Gens z = instant() + Gens{{sampleid, s}, {samplemodes, 1}, {volenvrelease, 0}};
    const int inst = b.instrument({z + Gens{{keyrange, range(40, 80)}, {fixedkey, 50}},
                                   z + Gens{{keyrange, range(100, 127)}}});
    b.preset(0, 0, {{{instrument, inst}}});
    b.preset(128, 0, {{{instrument, inst}}});
    b.finish();
    Rig rig(b);
    Cchannel ch(rig.synth, 0);
    send(ch, {{9, 60, 100}});
    EXPECT_EQ(state(ch, 50), "held");             // plays as key 50
    send(ch, {{8, 60, 0}});
    EXPECT_EQ(state(ch, 50), "held");             // note-off matches the fixed key only
    send(ch, {{8, 50, 0}});
    EXPECT_EQ(state(ch, 50), "released");

    rig.settings.transpose = 12;
    send(ch, {{9, 120, 100}, {9, 100, 100}});
    EXPECT_EQ(voices(ch).count(132), 0u);         // 132 is in no key range
    EXPECT_EQ(voices(ch).count(120), 0u);
    EXPECT_EQ(state(ch, 112), "held");
    send(ch, {{8, 100, 0}});
    EXPECT_EQ(state(ch, 112), "released");
    Cchannel drums(rig.synth, 9);
    send(drums, {{9, 110, 100}});
    EXPECT_EQ(state(drums, 110), "held");         // never transposed on channel 10
}

TEST(Cchannel, PresetZonesPlayOnlyTheNotesTheirRangesHold)
{
    Testbank b;
    const int s = b.sample(dc(1100, 8000), 0, 1000, 44100, 60);
    const int inst = b.instrument({instant() + Gens{{sampleid, s}, {samplemodes, 1}, {volenvrelease, 0}}});
    // The global zone gives the zones that set no key range keys 0..100: a velocity split below
    // 101 and a zone of its own above.
    b.preset(0, 0, {{{keyrange, range(0, 100)}},
                    {{velrange, range(0, 63)}, {instrument, inst}},
                    {{velrange, range(64, 127)}, {instrument, inst}},
                    {{keyrange, range(101, 127)}, {instrument, inst}}});
    b.finish();
    Rig rig(b);
    Cchannel ch(rig.synth, 0);
    // The voices of each preset zone with an instrument, in bank order, after one note-on.
    auto play = [&](int key, int vel) {
        send(ch, {{9, key, vel}});
        std::string counts;
        const auto& zones = ch.preset()->m_zones;
        for (auto z = zones.rbegin(); z != zones.rend(); ++z)
            if ((*z)->m_instr) counts += char('0' + (*z)->active());
        send(ch, {{11, 120, 0}});
        return counts;
    };
    EXPECT_EQ(play(60, 40), "100");
    EXPECT_EQ(play(60, 64), "010");
    EXPECT_EQ(play(100, 127), "010");
    EXPECT_EQ(play(101, 1), "001");
    EXPECT_EQ(play(127, 100), "001");
    rig.settings.transpose = 12;
    EXPECT_EQ(play(95, 100), "001");                // the transposed key decides
    rig.settings.transpose = 0;

    // A note-off, as a note-on of velocity 0, still ends a note of any zone.
    send(ch, {{9, 60, 40}, {9, 60, 0}});
    EXPECT_EQ(state(ch, 60), "released");
}

TEST(Cchannel, PresetLookupFallbacksAndWarning)
{
    Piano p;
    Rig rig(p.b);
    const struct { int channel; Msgs msgs; int bank, program; bool found; } cases[] = {
        {0, {}, 0, 0, true},
        {0, {{12, 5, 0}}, 0, 5, true},
        {0, {{11, 0, 8}, {12, 5, 0}}, 8, 5, true},
        {0, {{11, 0, 7}, {12, 5, 0}}, 0, 5, true},      // bank 7 missing: next lower bank that has it
        {0, {{11, 0, 9}, {12, 5, 0}}, 8, 5, true},
        {0, {{11, 0, 9}, {12, 3, 0}}, 9, 3, false},     // no bank has program 3: as requested
        {0, {{11, 32, 9}, {12, 5, 0}}, 0, 5, true},     // bank select LSB is ignored
        {9, {{12, 20, 0}}, 128, 16, true},              // drums: nearest lower kit
        {9, {{11, 0, 0}, {12, 15, 0}}, 128, 0, true},
        {3, {{11, 0, 128}, {12, 20, 0}}, 128, 20, false},   // melodic channel, no bank has it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bank * 1000 + c.program);
        for (bool show : {false, true}) {
            rig.settings.showerrors = show;
            Boxes boxes;
            Cchannel ch(rig.synth, c.channel);
            send(ch, c.msgs);
            send(ch, {{9, 60, 100}});
            EXPECT_EQ(ch.bank(), c.bank);
            EXPECT_EQ(ch.program(), c.program);
            EXPECT_EQ(ch.active(), c.found);
            if (show && !c.found) {
                ASSERT_EQ(boxes.count(), 1u);
                EXPECT_EQ(boxes.last().text, "Bank number " + std::to_string(c.bank) +
                                                 " doesn't have preset number " + std::to_string(c.program));
                EXPECT_EQ(boxes.last().caption, "Invalid MIDI preset");
                EXPECT_EQ(boxes.last().icon, Boxicon::warning);
            } else {
                EXPECT_TRUE(boxes.empty());
            }
        }
    }
    // Program change ends the voices at once; the next message builds the new instance.
    Cchannel ch(rig.synth, 0);
    send(ch, {{9, 60, 100}, {11, 7, 50}});
    EXPECT_TRUE(ch.active());
    send(ch, {{12, 5, 0}});
    EXPECT_EQ(ch.preset(), nullptr);
    send(ch, {{9, 61, 100}});
    EXPECT_EQ(ch.preset()->m_zones[0]->m_instr->m_zones[0]->m_state.volume, 100);
}

TEST(Cchannel, WarningsForUnknownMessagesAndGenerators)
{
    Testbank b;
    const int s = b.sample(dc(1100, 8000), 0, 1000, 44100, 60);
    const int inst = b.instrument({instant() + Gens{{sampleid, s}, {samplemodes, 1}, {endoper + 1, -2}}});
    b.preset(0, 0, {{{instrument, inst}}});
    b.finish();
    Rig rig(b);
    for (bool show : {false, true}) {
        rig.settings.showerrors = show;
        Boxes boxes;
        Cchannel ch(rig.synth, 0);
        send(ch, {{11, 2, 5}, {11, 9, 1}, {11, 94, 1}, {9, 60, 100}, {15, 1, 2}, {11, 100, 0}});
        if (!show) {
            EXPECT_TRUE(boxes.empty());
            continue;
        }
        const std::vector<std::string> want = {"Controller number: 2; Controller value: 5",
                                               "Generator number: 61; Generator value: 65534",
                                               "Command code: 15"};
        EXPECT_EQ(boxes.texts(), want);
        const auto all = boxes.all();
        ASSERT_EQ(all.size(), 3u);
        EXPECT_EQ(all[0].caption, "Invalid MIDI channel Control change");
        EXPECT_EQ(all[1].caption, "Invalid Sound Font generator");
        EXPECT_EQ(all[2].caption, "Invalid MIDI channel command");
    }
}

TEST(Cchannel, IdleZonesMissBendAndAllSoundOffEndsAtOnce)
{
    Piano p;
    Rig rig(p.b);
    Cchannel ch(rig.synth, 0);
    send(ch, {{14, 0, 0x7f}, {9, 69, 100}});       // bend before the first note: not stored
    Cizone& z = *ch.preset()->m_zones[0]->m_instr->m_zones[0];
    EXPECT_EQ(z.m_state.bend, 0);
    EXPECT_EQ(z.m_voices->m_osc.m_devbend, 0.0);
    send(ch, {{14, 0, 0x7f}});
    EXPECT_EQ(z.m_state.bend, 8192 - 128);
    EXPECT_GT(z.m_voices->m_osc.m_devbend, 0.0);
    send(ch, {{11, 120, 0}});
    EXPECT_FALSE(ch.active());
    EXPECT_EQ(z.m_voices, nullptr);
    rig.render(ch, 0, 100);
    EXPECT_EQ(rig.dryl()[50], 0.0f);
}

// Seeds for the synthesizer's fuzz target when the test runner asks for them: sample header,
// three generator lists, then messages.
TEST(Cchannel, WritesFuzzSeeds)
{
    const char* dir = std::getenv("CANTORIX_SEED_DIR");
    if (!dir) GTEST_SKIP() << "CANTORIX_SEED_DIR not set";
    const std::string out = std::string(dir) + "/synth";
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    ASSERT_FALSE(ec);
    const Bytes header = {0x00, 0x02, 0x40, 0x00, 0xc0, 0x01, 0x44, 0xac, 0, 0, 60, 0, 1, 0, 0, 0};
    const Bytes seeds[] = {
        // Looped sample, instant envelopes, a note with pedals, bend and all notes off.
        cat(header, {0, 4, 54, 1, 0, 33, 0x00, 0x80, 34, 0x00, 0x80, 38, 0x00, 0, 0,
                              9, 60, 100, 11, 64, 127, 14, 0, 0x60, 8, 60, 0, 11, 64, 0, 11, 123, 0}),
        // Offsets past the end, a huge root key and fine tune, filter on.
        cat(header, {2, 0, 0xff, 0x7f, 12, 0x10, 0, 3, 58, 127, 0, 52, 0xff, 0x7f, 8, 0x00, 0x10, 1, 2, 5, 0,
                              9, 127, 1, 9, 0, 2, 10, 0, 127, 13, 100, 0}),
        // A left/right pair linked to each other.
        cat({0x00, 0x01, 0x10, 0, 0x80, 0, 0x44, 0xac, 0, 0, 60, 0, 4, 0, 1, 0},
            {1, 54, 3, 0, 1, 17, 0xf4, 0x01, 0, 9, 64, 100, 11, 10, 0, 11, 120, 0}),
    };
    int i = 0;
    for (const Bytes& s : seeds) EXPECT_TRUE(writebytes(out + "/seed" + std::to_string(i++), s));
}

TEST(Cchannel, PressureAndWheelSetTheVibratoDepthOfTheirVoices)
{
    const struct { Msgs msgs; int depth60, depth62; } cases[] = {
        {{{11, 1, 64}}, 25, 25},
        {{{10, 60, 127}}, 49, 0},          // key pressure: only the voices of that key
        {{{13, 100, 0}}, 39, 39},
        {{{11, 1, 127}, {11, 121, 0}}, 0, 0},
    };
    for (const auto& c : cases) {
        Piano p;
        Rig rig(p.b);
        Cchannel ch(rig.synth, 0);
        send(ch, {{9, 60, 100}, {9, 62, 100}});
        send(ch, c.msgs);
        for (Cvoice* v = ch.preset()->m_zones[0]->m_instr->m_zones[0]->m_voices; v; v = v->m_next)
            EXPECT_EQ(v->m_osc.m_vibc, v->m_key == 60 ? c.depth60 : c.depth62) << v->m_key;
    }
}
