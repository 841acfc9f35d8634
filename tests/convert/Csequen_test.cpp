// The render sequencer from a generated MIDI file to the WAVE file: onsets on their samples,
// pitch, tempo changes and the tempo setting, mute, rewinding and rebuilding, the tail.
#include "convert/Csequen.h"

#include "convert/Ccontext.h"
#include "midi/Midbytes.h"
#include "platform/Cwindow.h"
#include "support/Tempdir.h"
#include "synth/Testbank.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>

using namespace sfgen;   // generator names in the zone lists

namespace {

// Records the render thread's messages.
struct Cmsgs : Cwindow {
    std::vector<std::pair<unsigned, intptr_t>> got;
    std::function<void()> onprogress;
    void handle(unsigned msg, uintptr_t, intptr_t lparam) override
    {
        got.emplace_back(msg, lparam);
        if (msg == WM_PROGRESS && onprogress) onprogress();
    }
};

// A channel event with its delta time.
Bytes ev(uint32_t delta, std::initializer_list<uint8_t> bytes)
{
    Bytes b = Midbytes::vlq(delta);
    b.insert(b.end(), bytes);
    return b;
}

// Note on/off pairs: (tick on, tick off, key) in ascending order of events, one channel.
struct Note {
    uint32_t on, off;
    int key;
};

Bytes notetrack(const std::vector<Note>& notes, int ch = 0, int program = -1)
{
    struct Item {
        uint32_t tick;
        uint8_t st, key, vel;
    };
    std::vector<Item> items;
    for (const Note& n : notes) {
        items.push_back({n.on, uint8_t(0x90 | ch), uint8_t(n.key), 100});
        items.push_back({n.off, uint8_t(0x80 | ch), uint8_t(n.key), 0});
    }
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.tick < b.tick; });
    Bytes t;
    if (program >= 0) t = ev(0, {uint8_t(0xC0 | ch), uint8_t(program)});
    uint32_t prev = 0;
    for (const Item& i : items) {
        t = Midbytes::cat({t, ev(i.tick - prev, {i.st, i.key, i.vel})});
        prev = i.tick;
    }
    return t;
}

// A looped cosine at 441 Hz on key 69 (period 100 points at 44100 Hz, loop of 10 periods). Programs 0 and 5 of bank 0 play it;
// program 7 plays it with a release of a minute.
struct Cosbank : Testbank {
    Cosbank()
    {
        std::vector<int16_t> pts(1100);
        for (size_t i = 0; i < pts.size(); ++i) pts[i] = int16_t(std::lround(16000 * std::cos(2 * std::numbers::pi * double(i) / 100)));
        const int s = sample(pts, 0, 1000, 44100, 69);
        const int inst = instrument({instant() + Gens{{sampleid, s}, {samplemodes, 1}}});
        preset(0, 0, {{{sfgen::instrument, inst}}});
        preset(0, 5, {{{sfgen::instrument, inst}}});
        const int slow = instrument({instant() + Gens{{sampleid, s}, {samplemodes, 1}, {volenvrelease, 7100}}});
        preset(0, 7, {{{sfgen::instrument, slow}}});
        finish();
    }
};

struct Seqrig {
    Tempdir dir;
    Ccontext ctx;
    Cosbank bank;
    Csequen seq{ctx};
    Cmsgs win;

    explicit Seqrig(int busframes = Csequen::BUSFRAMES) : ctx(uint64_t(64) << 20, busframes)
    {
        // Dry output: no effect sends, no delay, no makeup gain; the output is trunc(dry * 32767).
        Csettings& s = ctx.settings;
        Csettings::set(s.delayamt, 0.0f);
        Csettings::set(s.complevel, 0);
        Csettings::set(s.reverbamt, 0.0f);
        Csettings::set(s.chorusamt, 0.0f);
        seq.setview(&bank);
        seq.setwindow(&win);
    }
    void load(const Bytes& midi, const std::string& name = "t.mid")
    {
        ASSERT_TRUE(writebytes(dir.file(name), midi));
        ASSERT_TRUE(ctx.loadmidi(dir.file(name)));
        ctx.setwave(dir.file("t.wav"));
    }
    // Runs one conversion on this thread; the left channel of the WAVE file.
    std::vector<int16_t> render()
    {
        win.got.clear();
        EXPECT_TRUE(ctx.wave->openwr());
        seq.run();
        ctx.effects.setoutput(nullptr);
        ctx.wave->closewr(false, 0);
        const Bytes b = readbytes(ctx.wavepath);
        std::vector<int16_t> left;
        for (size_t i = 44; i + 3 < b.size(); i += 4) left.push_back(int16_t(b[i] | b[i + 1] << 8));
        return left;
    }
};

// Sample indexes where sound starts after at least `gap` silent samples.
std::vector<size_t> onsets(const std::vector<int16_t>& x, size_t gap = 200)
{
    std::vector<size_t> out;
    size_t quiet = gap;
    for (size_t i = 0; i < x.size(); ++i) {
        if (x[i] != 0) {
            if (quiet >= gap) out.push_back(i);
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return out;
}

double pitch(const std::vector<int16_t>& x, size_t from, size_t to)
{
    std::vector<float> f(x.begin(), x.end());
    for (float& v : f) v -= 0.5f;   // truncation toward zero leaves the zero crossings alone
    return pitchhz(f, from, to);
}

Bytes onetrack(const Bytes& t, uint16_t division = 480) { return Midbytes(division).track(t).bytes(); }

// Where a note at tick 0 starts sounding (the voice's own start, normally 0).
size_t firstsound()
{
    Seqrig r;
    r.load(onetrack(notetrack({{0, 240, 69}})));
    const auto x = r.render();
    const auto on = onsets(x);
    return on.empty() ? 0 : on[0];
}

} // namespace

TEST(Csequen, OnsetsOnTheirSamplesWithTheirPitch)
{
    const size_t r0 = firstsound();
    EXPECT_LE(r0, 20u);   // the voice's first control step of 20 samples may be silent
    Seqrig r;
    // 480 ticks per quarter at the starting tempo of one quarter per second: 91.875 samples per
    // tick. Tick 1 falls at 91.875 and sounds at sample 91; the others are whole samples.
    r.load(onetrack(notetrack({{1, 120, 69}, {480, 720, 81}, {1080, 1320, 57}, {2880, 3000, 69}})));
    const auto x = r.render();
    const std::vector<size_t> want = {91, 44100, 99225, 264600};
    const auto got = onsets(x);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i] + r0) << i;
    // Keys 81 and 57 are an octave above and below the sample's key 69 (441 Hz).
    const double hz[] = {882, 220.5, 441};
    const size_t on[] = {44100, 99225, 264600};
    const size_t len[] = {22050, 22050, 11025};
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(pitch(x, on[i] + 100, on[i] + len[i] - 100), hz[i], hz[i] * 0.005) << i;
    // The note-off silences each note within a few milliseconds (1 ms release).
    EXPECT_EQ(x[44100 + 22050 + 441], 0);
}

TEST(Csequen, TempoChangesLandWhereTheyFall)
{
    const size_t r0 = firstsound();
    struct Case {
        const char* name;
        Bytes tempo;                  // track 0: tempo events
        std::vector<uint32_t> ticks;  // note-ons on track 1
        std::vector<size_t> want;     // their samples
    };
    const Case cases[] = {
        {"tempo at tick 0 applies before the first sample", Midbytes::tempo(500000), {480, 960}, {22050, 44100}},
        // 480 ticks at 1 s, then 0.5 s; two at tick 960: the second (2 s) wins; at tick 2880,
        // past the first 5-second block, back to 1 s.
        {"changes within and between blocks",
         Midbytes::cat({Midbytes::tempo(500000, 480), Midbytes::tempo(250000, 480), Midbytes::tempo(2000000),
                        Midbytes::tempo(1000000, 1920)}),
         {480, 960, 1440, 2400, 3360},
         {44100, 66150, 154350, 330750, 463050}},
        {"a Set Tempo of the wrong length changes nothing",
         Bytes{0x83, 0x60, 0xFF, 0x51, 0x02, 0x07, 0xA1}, {480, 960}, {44100, 88200}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Note> notes;
        for (uint32_t t : c.ticks) notes.push_back({t, t + 10, 69});
        Seqrig r;
        r.load(Midbytes().track(c.tempo).track(notetrack(notes)).bytes());
        const auto got = onsets(r.render());
        ASSERT_EQ(got.size(), c.want.size());
        for (size_t i = 0; i < c.want.size(); ++i) EXPECT_EQ(got[i], c.want[i] + r0) << i;
    }
}

TEST(Csequen, TempoSettingScalesEveryTempoAndTheTotal)
{
    const Bytes file = Midbytes()
                           .track(Midbytes::cat({Midbytes::tempo(500000, 960)}))
                           .track(notetrack({{480, 500, 69}, {1440, 1460, 69}}))
                           .bytes();
    const size_t r0 = firstsound();
    struct Case {
        int percent;
        std::vector<size_t> want;
        double total;   // microseconds to the end tick 1460
    };
    const Case cases[] = {
        {0, {44100, 110250}, 2000000 + 500000.0 * 500 / 480},
        {100, {88200, 220500}, 2 * (2000000 + 500000.0 * 500 / 480)},
        {-50, {22050, 55125}, 0.5 * (2000000 + 500000.0 * 500 / 480)},
    };
    Seqrig r;
    r.load(file);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.percent);
        Csettings::set(r.ctx.settings.tempo, c.percent);
        const auto got = onsets(r.render());
        ASSERT_EQ(got.size(), c.want.size());
        for (size_t i = 0; i < c.want.size(); ++i) EXPECT_EQ(got[i], c.want[i] + r0);
        EXPECT_NEAR(r.seq.total(), c.total, 1e-3);
    }
}

TEST(Csequen, MutedChannelIsSilentButGetsAllNotesOff)
{
    const size_t r0 = firstsound();
    Seqrig r;
    // Channel 1 plays at 0.5 s, channel 2 (muted) changes to program 5 and plays at 1 s.
    r.load(Midbytes().track(notetrack({{240, 260, 69}}, 0)).track(notetrack({{480, 500, 69}}, 1, 5)).bytes());
    r.ctx.mixer.setmute(1, true);
    const auto got = onsets(r.render());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], 22050 + r0);
    const Cchanseq* muted = r.seq.chan(1);
    ASSERT_NE(muted, nullptr);
    EXPECT_EQ(muted->channel().program(), 0);         // its program change was never dispatched
    EXPECT_NE(muted->channel().preset(), nullptr);    // the final all-notes-off was
}

TEST(Csequen, ConvertingAgainPlaysEveryNoteOnceAndANewFileIsBuiltAnew)
{
    Seqrig r;
    const Bytes a = onetrack(notetrack({{480, 500, 69}, {960, 980, 69}}));
    const Bytes b = onetrack(notetrack({{240, 260, 69}}));
    r.load(a);
    const auto first = r.render();
    const auto second = r.render();
    EXPECT_EQ(onsets(first).size(), 2u);
    EXPECT_EQ(first, second);
    // Without tempo events too; and a file loaded in its place (perhaps at the same address).
    for (int i = 0; i < 3; ++i) {
        r.load(i % 2 ? a : b, i % 2 ? "a.mid" : "b.mid");
        const auto x = r.render();
        EXPECT_EQ(onsets(x).size(), i % 2 ? 2u : 1u) << i;
    }
}

TEST(Csequen, EventsOnlyAtTickZeroRenderOnlyTheTail)
{
    Seqrig r;
    r.load(onetrack(notetrack({{0, 0, 69}}, 0, 5)));
    const auto x = r.render();
    // One silent tail pass of a second, then the reverberator's tail (no delay).
    EXPECT_EQ(x.size(), size_t(44100 + Creverb::TAIL));
    EXPECT_TRUE(onsets(x).empty());
    EXPECT_EQ(r.seq.total(), 0);
    ASSERT_EQ(r.win.got.size(), 2u);
    EXPECT_EQ(r.win.got[0], std::make_pair(unsigned(WM_PROGRESS), intptr_t(100)));
    EXPECT_EQ(r.win.got[1].first, unsigned(WM_RENDERED));
    EXPECT_EQ(r.seq.chan(0)->channel().program(), 0);   // the program change at tick 0 never ran
}

TEST(Csequen, ProgressAfterEachBlock)
{
    Seqrig r;
    // 12 s of music: two full blocks, then a third that runs whole past the end.
    r.load(onetrack(notetrack({{0, 5760, 69}})));
    const auto x = r.render();
    std::vector<intptr_t> percents;
    for (auto [m, p] : r.win.got)
        if (m == WM_PROGRESS) percents.push_back(p);
    EXPECT_EQ(percents, (std::vector<intptr_t>{41, 83, 100}));
    EXPECT_EQ(r.win.got.back().first, unsigned(WM_RENDERED));
    EXPECT_EQ(r.seq.elapsed(), 15000000);
    EXPECT_EQ(x.size(), size_t(3 * 220500 + 44100 + Creverb::TAIL));
    EXPECT_NE(x[529200 - 10], 0);   // sounds until its note-off at 12 s
    EXPECT_EQ(x[529200 + 441], 0);
}

// Float sums depend on their order: every frame takes the channels' voices in the order of the
// channels, however far each channel renders at a time. Channels whose events fall apart, with
// a tempo change and block ends between, give the same samples with windows of one job (the
// converter's), of three, or of a whole block (each channel renders its whole stretch in turn).
TEST(Csequen, ChannelsAddInTheirOrderHoweverFarEachRendersAtATime)
{
    Midbytes m(480);
    m.track(Midbytes::cat({Midbytes::tempo(500000), Midbytes::tempo(431000, 2900)}));
    for (int ch = 0; ch < 9; ++ch) {
        std::vector<Note> notes;
        for (uint32_t t = 7 * ch + 1; t < 5500; t += 97 + 13 * ch) notes.push_back({t, t + 90 + 31 * ch, 57 + 2 * ch});
        m.track(notetrack(notes, ch));
    }
    const Bytes midi = m.bytes();
    std::vector<int16_t> out[3];
    const int buses[3] = {Csequen::BUSFRAMES, 3 * Cvoicerun::JOB + Csequen::AHEAD, Csequen::BLOCKLEN + Csequen::AHEAD};
    for (int i = 0; i < 3; ++i) {
        Seqrig r(buses[i]);
        r.load(midi);
        out[i] = r.render();
    }
    ASSERT_GT(out[2].size(), size_t(2 * Csequen::BLOCKLEN));
    EXPECT_TRUE(out[0] == out[2]);
    EXPECT_TRUE(out[1] == out[2]);
}

TEST(Csequen, TailReleasesHeldNotes)
{
    Seqrig r;
    // A note without note-off; the file ends with a volume change at 1 s.
    r.load(onetrack(Midbytes::cat({ev(0, {0x90, 69, 100}), ev(480, {0xB0, 7, 100})})));
    const auto x = r.render();
    // The first block, then a tail pass in which the released note still sounded and a silent one.
    EXPECT_EQ(x.size(), size_t(220500 + 2 * 44100 + Creverb::TAIL));
    EXPECT_NE(x[220500 - 10], 0);
    EXPECT_EQ(x[220500 + 441], 0);
}

TEST(Csequen, TailEndsAtTheFirstSilentSecond)
{
    Seqrig r;
    // A note of one second whose release lasts a minute: after about 50 s it falls under the last
    // step of the 16-bit output, some 10 s before its envelope ends.
    r.load(onetrack(notetrack({{0, 480, 69}}, 0, 7)));
    const auto x = r.render();
    size_t zeros = 0;
    while (zeros < x.size() && x[x.size() - 1 - zeros] == 0) ++zeros;
    EXPECT_GT(x.size(), size_t(40 * 44100));
    // The fade, then at most the rest of the pass in which it ended and one silent pass, then
    // the reverberator's tail.
    EXPECT_LT(zeros, size_t(2 * 44100 + Creverb::TAIL));
}

TEST(Csequen, RunLengthIsBounded)
{
    Seqrig r;
    // One quarter of 16.7 s per tick at division 1, last event at tick 10^8: years of music.
    r.load(Midbytes(1).track(Midbytes::cat({Midbytes::tempo(0xFFFFFF), ev(0, {0x90, 69, 100}),
                                            ev(100000000, {0x80, 69, 0})})).bytes());
    r.seq.maxblocks = 2;
    const auto x = r.render();
    EXPECT_EQ(x.size(), size_t(2 * 220500 + 2 * 44100 + Creverb::TAIL));   // the held note's tail
    EXPECT_EQ(r.win.got.back().first, unsigned(WM_RENDERED));
}

// Seeds for the render fuzz target: a tempo-setting byte, then a MIDI file.
TEST(Csequen, WritesFuzzSeeds)
{
    const char* dir = std::getenv("CANTORIX_SEED_DIR");
    if (!dir) GTEST_SKIP() << "CANTORIX_SEED_DIR not set";
    const std::string out = std::string(dir) + "/render";
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    ASSERT_FALSE(ec);
    const Bytes files[] = {
        onetrack(notetrack({{1, 120, 69}, {480, 720, 81}})),
        Midbytes().track(Midbytes::cat({Midbytes::tempo(500000, 480), Midbytes::tempo(250000), Midbytes::tempo(0)}))
            .track(notetrack({{0, 960, 60}, {480, 500, 62}}, 9, 3)).bytes(),
        onetrack(Midbytes::cat({ev(0, {0xB0, 0, 1}), ev(0, {0xC0, 9}), ev(0, {0x90, 60, 90}), ev(10, {0xB0, 64, 127}),
                                ev(10, {0xE0, 0, 90}), ev(10, {0xB0, 121, 0}), ev(200, {0xB0, 123, 0})}), 1),
    };
    int i = 0;
    for (const Bytes& f : files) {
        Bytes seed = {uint8_t(12 + i * 20)};   // tempo setting -3, 157, 317 percent
        seed.insert(seed.end(), f.begin(), f.end());
        EXPECT_TRUE(writebytes(out + "/seed" + std::to_string(i++) + ".bin", seed));
    }
}
