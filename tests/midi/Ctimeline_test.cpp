#include "midi/Ctimeline.h"
#include "midi/Cmidfil.h"
#include "midi/Cmidprops.h"
#include "midi/Cmixtab.h"
#include "support/Boxes.h"
#include "tests/midi/Midbytes.h"
#include "tests/midi/Midfixture.h"

#include <gtest/gtest.h>

namespace {

std::vector<const Cmidiev*> nodes(const Ctimeline& tl)
{
    std::vector<const Cmidiev*> out;
    for (const Cnode* n = tl.first; n; n = n->next) out.push_back(n->ev);
    return out;
}

TEST(Ctimeline, EqualTicksKeepTrackThenFileOrder)
{
    // Track 0 ends a note at 96 and track 1 starts one at 96: track order decides, not type.
    Midfixture fx;
    ASSERT_TRUE(fx.read(Midbytes()
                            .track({0x00, 0x91, 50, 90, 0x60, 0x91, 52, 90, 0x00, 0x81, 50, 0})
                            .track({0x10, 0x92, 60, 90, 0x50, 0x82, 60, 0, 0x00, 0x92, 61, 90, 0x20, 0x82, 61, 0})
                            .track({0x60, 0xB3, 7, 100, 0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20})
                            .bytes()));
    Ctimeline tl;
    tl.buildplayer(*fx.file);
    std::vector<std::pair<int32_t, int>> got;   // tick, status
    for (const Cmidiev* ev : nodes(tl)) got.push_back({ev->time, ev->status()});
    const std::vector<std::pair<int32_t, int>> expect = {
        {0, 0x91}, {16, 0x92}, {96, 0x91}, {96, 0x81}, {96, 0x82}, {96, 0x92}, {96, 0xB3}, {96, 0}, {128, 0x82}};
    EXPECT_EQ(got, expect);

    // Insertion against the hint: out-of-order inserts still land in a stable order.
    Ctimeline manual;
    const auto t1 = fx.events(1);
    const auto t0 = fx.events(0);
    for (const Cmidiev* ev : t1) manual.insert(const_cast<Cmidiev*>(ev));
    for (const Cmidiev* ev : t0) manual.insert(const_cast<Cmidiev*>(ev));
    std::vector<std::pair<int32_t, int>> order;
    for (const Cmidiev* ev : nodes(manual)) order.push_back({ev->time, ev->status()});
    EXPECT_EQ(order, (std::vector<std::pair<int32_t, int>>{
                         {0, 0x91}, {16, 0x92}, {96, 0x82}, {96, 0x92}, {96, 0x91}, {96, 0x81}, {128, 0x82}}));
}

TEST(Ctimeline, RenderTimelinesSplitByChannel)
{
    Midfixture fx;
    ASSERT_TRUE(fx.read(Midbytes()
                            .track(Midbytes::cat({Midbytes::tempo(600000), Midbytes::meta(1, "x", 500)}))
                            .track({0x00, 0x90, 60, 1, 0x10, 0x99, 36, 1, 0x10, 0xF0, 0x01, 0xF7, 0x20, 0x80, 60, 0})
                            .bytes()));
    Ctimeline chans[16], tempo;
    EXPECT_EQ(Ctimeline::buildrender(*fx.file, chans, tempo), 64);   // the text at 500 does not count
    EXPECT_EQ(nodes(chans[0]).size(), 2u);
    EXPECT_EQ(nodes(chans[9]).size(), 1u);
    EXPECT_TRUE(chans[1].empty());
    ASSERT_EQ(nodes(tempo).size(), 1u);
    EXPECT_EQ(tempo.first->ev->tempo(), 600000u);
}

TEST(Ctimeline, KaraokeFilterOfThePlayer)
{
    // Track 1 carries Text lyrics: tags and tick-0 texts are dropped, other tracks' texts too.
    Midfixture fx;
    ASSERT_TRUE(fx.read(Midbytes()
                            .track(Midbytes::cat({Midbytes::meta(1, "elsewhere", 5), Midbytes::meta(3, "name")}))
                            .track(Midbytes::cat({Midbytes::meta(1, "@TTitle"), Midbytes::meta(1, "at zero"),
                                                  Midbytes::meta(1, "@Ilate tag", 10), Midbytes::meta(1, "Green", 10),
                                                  Midbytes::meta(1, "", 10), Midbytes::meta(5, "lyric", 10),
                                                  Midbytes::meta(1, "sleeves", 10)}))
                            .bytes()));
    ASSERT_EQ(fx.file->lyrictrack, 1);
    ASSERT_EQ(fx.file->lyrickind, 1);
    Ctimeline tl;
    tl.buildplayer(*fx.file);
    std::vector<std::string> texts;
    for (const Cmidiev* ev : nodes(tl))
        texts.push_back(std::string(reinterpret_cast<const char*>(ev->data()), size_t(ev->length())));
    EXPECT_EQ(texts, (std::vector<std::string>{"name", "Green", "lyric", "sleeves"}));

    // Lyric kind: Text events go, and lyrics starting with a line feed go.
    Midfixture lf;
    ASSERT_TRUE(lf.read(Midbytes()
                            .track(Midbytes::cat({Midbytes::meta(5, "one", 10), Midbytes::meta(5, "\ntwo", 10),
                                                  Midbytes::meta(1, "text", 10), Midbytes::meta(5, "\rthree", 10)}))
                            .bytes()));
    ASSERT_EQ(lf.file->lyrickind, 5);
    Ctimeline l2;
    l2.buildplayer(*lf.file);
    ASSERT_EQ(nodes(l2).size(), 2u);
    EXPECT_EQ(nodes(l2)[1]->length(), 6);
}

TEST(Ctimeline, MediaLengthAcrossTempoChanges)
{
    struct Case { const char* name; uint16_t division; Bytes events; double seconds; };
    const Case cases[] = {
        {"no tempo: 480 ticks last one second", 480, {0x83, 0x60, 0xFF, 0x2F, 0x00}, 1.0},
        {"no events", 480, {}, 0.0},
        {"one tempo at 0", 480, Midbytes::cat({Midbytes::tempo(500000), {0x87, 0x40, 0xFF, 0x2F, 0x00}}), 1.0},
        // 480 ticks at 1 s, then 960 at 0.25 s per quarter.
        {"change midway", 480, Midbytes::cat({Midbytes::tempo(250000, 480), {0x87, 0x40, 0xFF, 0x2F, 0x00}}), 1.5},
        {"tempo at the last tick changes nothing", 96, Midbytes::cat({{0x60, 0x90, 1, 1}, Midbytes::tempo(100, 0)}), 1.0},
        {"tempo after the last event of another kind", 96, Midbytes::cat({{0x60, 0x90, 1, 1}, Midbytes::tempo(2000000, 96)}), 2.0},
        // A tempo that reads 0 is ignored: the previous tempo goes on.
        {"zero tempo ignored", 100,
         Midbytes::cat({Midbytes::tempo(0, 0), {0x64, 0xFF, 0x51, 0x02, 0, 0}, {0x64, 0xFF, 0x2F, 0x00}}), 2.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Midfixture fx;
        ASSERT_TRUE(fx.read(Midbytes(c.division).track(c.events).bytes()));
        EXPECT_NEAR(medialength(*fx.file), c.seconds, 1e-9);
    }
    // The greatest tick of any track counts, wherever the tempo events are.
    Midfixture fx;
    ASSERT_TRUE(fx.read(Midbytes(100)
                            .track(Midbytes::cat({Midbytes::tempo(500000, 100), Midbytes::tempo(250000, 100)}))
                            .track({0x82, 0x2C, 0xFF, 0x2F, 0x00})   // tick 300
                            .bytes()));
    EXPECT_NEAR(medialength(*fx.file), 1.0 + 0.5 + 0.25, 1e-9);
}

TEST(Ctimeline, PlayingTimeAndArithmetic)
{
    Midfixture fx;
    ASSERT_TRUE(fx.read(Midbytes(480)
                            .track(Midbytes::cat({{0x83, 0x60, 0x90, 60, 1}, Midbytes::tempo(500000),
                                                  {0x83, 0x60, 0x80, 60, 0}, Midbytes::tempo(0, 240), {0x81, 0x70, 0xFF, 0x2F, 0x00}}))
                            .bytes()));
    Ctimeline tl;
    tl.buildplayer(*fx.file);
    // From the first event (tick 480): 480 ticks at 0.5 s per quarter, 480 more at the same tempo.
    EXPECT_NEAR(tl.total(480), 1000000.0, 1e-6);
    Ctimeline empty;
    EXPECT_EQ(empty.total(480), 0.0);

    EXPECT_NEAR(Ctimeline::samplespertick(500000, 480), 45.9375, 1e-12);
    EXPECT_NEAR(Ctimeline::samplespertick(500000, 480) * Ctimeline::tickspersample(500000, 480), 1.0, 1e-12);
    EXPECT_NEAR(Ctimeline::usecs(960, 1000000, 480), 2000000.0, 1e-9);
    EXPECT_NEAR(Ctimeline::scaled(500000, -50), 250000.0, 1e-9);
    EXPECT_NEAR(Ctimeline::scaled(Ctimeline::STARTTEMPO, 100), 2000000.0, 1e-9);
}

TEST(Cmidprops, KaraokeTagsAndCopyright)
{
    Midfixture fx;
    ASSERT_TRUE(fx.read(Midbytes(96)
                            .track(Midbytes::cat({Midbytes::meta(2, "(c) first"), Midbytes::meta(2, "(c) last"),
                                                  Midbytes::meta(1, "@KMIDI KARAOKE FILE"), Midbytes::meta(1, "@LENGL"),
                                                  Midbytes::meta(1, "@TOne"), Midbytes::meta(1, "@X?"),
                                                  Midbytes::meta(1, "@"), Midbytes::meta(1, "@TTwo"),
                                                  Midbytes::meta(1, "@V0100"), Midbytes::meta(1, "@IInfo 1"),
                                                  Midbytes::meta(1, "@IInfo 2"), Midbytes::meta(1, "@TThree"),
                                                  Midbytes::meta(1, "@TFour"), Midbytes::meta(5, "a long lyric line", 960),
                                                  Midbytes::meta(1, std::string(400, 'x'))}))
                            .bytes()));
    Cmidprops p;
    p.scan(*fx.file);
    EXPECT_EQ(p.copyright, "(c) last");
    EXPECT_EQ(p.filetype, "MIDI KARAOKE FILE");
    EXPECT_EQ(p.version, "0100");
    EXPECT_EQ(p.information, "Info 2");
    EXPECT_EQ(p.language, "ENGL");
    EXPECT_EQ(p.titles[0], "One");
    EXPECT_EQ(p.titles[1], "Two");
    EXPECT_EQ(p.titles[2], "Three");
    EXPECT_NEAR(p.seconds, 10.0, 1e-9);

    // Without title tags, Lyric events longer than 7 bytes stand in.
    Midfixture lf;
    ASSERT_TRUE(lf.read(Midbytes(96)
                            .track(Midbytes::cat({Midbytes::meta(5, "short"), Midbytes::meta(5, "Alas my love"),
                                                  Midbytes::meta(5, "you do me wrong"), Midbytes::meta(2, std::string(300, 'c'))}))
                            .bytes()));
    p.scan(*lf.file);
    EXPECT_EQ(p.titles[0], "Alas my love");
    EXPECT_EQ(p.titles[1], "you do me wrong");
    EXPECT_EQ(p.titles[2], "");
    EXPECT_EQ(p.copyright.size(), Cmidprops::MAXTEXT);
}

}  // namespace

namespace {

// The example karaoke file of the repository, as the loader, the player and Properties see it.
TEST(Example, GreensleevesLoadsAsKaraoke)
{
    Cmixtab mixer;
    std::unique_ptr<Cmidfil> file;
    Boxes boxes;
    ASSERT_TRUE(loadmidi(file, std::string(CANTORIX_SOURCE_DIR) + "/examples/greensleeves.kar", mixer));
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(file->ntrks, 6);
    EXPECT_EQ(file->lyrictrack, 1);
    EXPECT_EQ(file->lyrickind, 1);
    EXPECT_EQ(mixer[0].names, "Flute/Oboe");
    EXPECT_EQ(mixer[9].names, "Percussion");

    Ctimeline tl;
    tl.buildplayer(*file);
    int syllables = 0, marks = 0;
    for (const Cnode* n = tl.first; n; n = n->next) {
        if (n->ev->kind() != 2 || n->ev->metatype() != 1) continue;
        ++syllables;
        EXPECT_NE(n->ev->data()[0], '@');
        marks += n->ev->data()[0] == '/' || n->ev->data()[0] == '\\';
    }
    EXPECT_EQ(syllables, 118);
    EXPECT_EQ(marks, 8);   // two lines in each of four paragraphs

    Cmidprops props;
    props.scan(*file);
    EXPECT_EQ(props.filetype, "MIDI KARAOKE FILE");
    EXPECT_EQ(props.language, "ENGL");
    EXPECT_EQ(props.titles[0], "Greensleeves");
    EXPECT_GT(props.seconds, 60.0);
    EXPECT_LT(props.seconds, 130.0);
}

}  // namespace
