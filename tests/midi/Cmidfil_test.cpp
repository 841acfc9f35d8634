#include "midi/Cmidfil.h"
#include "midi/Cmetaev.h"
#include "midi/Csysexev.h"
#include "support/Boxes.h"
#include "tests/midi/Midbytes.h"
#include "tests/midi/Midfixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace {

const std::string FILEMSG = "Cmidfil::rdmidi\nError while reading midi file";
const std::string BADDATA = "Ctrack::rdmidi\nBad data in midi file";
const std::string VNUM = "Ctrack::rdmidi\nError while reading Vnum";
const std::string RUNNING = "Ctrack::rdmidi\nMissing running status";
const std::string SYSEX = "Csysexev::rdmidi\nError while reading system exclusive";
const std::string META = "Cmetaev::rdmidi\nError while reading meta event";

using Texts = std::vector<std::string>;

// A small file with every kind of event: tempo, text, note on, running status note, program
// change, sysex, channel pressure, end of track.
Bytes sample()
{
    return Midbytes(96)
        .track(Midbytes::cat({Midbytes::tempo(500000), Midbytes::meta(1, "@KMIDI KARAOKE FILE")}))
        .track({0x00, 0x90, 60, 100, 0x60, 60, 0, 0x10, 0xC1, 40, 0x00, 0xF0, 0x03, 0x7E, 0x09, 0xF7,
                0x05, 0xD1, 0x33, 0x00, 0xFF, 0x2F, 0x00})
        .bytes();
}

TEST(Cmidfil, ReadsEveryKindOfEvent)
{
    Midfixture fx;
    Boxes boxes;
    ASSERT_TRUE(fx.read(sample()));
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(fx.file->loaded, 1);
    EXPECT_EQ(fx.file->ntrks, 2);
    EXPECT_EQ(fx.file->division, 96);
    EXPECT_EQ(fx.file->format, 1);

    auto t0 = fx.events(0);
    ASSERT_EQ(t0.size(), 2u);
    EXPECT_EQ(t0[0]->tempo(), 500000u);
    EXPECT_EQ(t0[1]->metatype(), 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t0[1]->data()), size_t(t0[1]->length())), "@KMIDI KARAOKE FILE");

    auto t1 = fx.events(1);
    ASSERT_EQ(t1.size(), 6u);
    struct Row { int kind, status, command, channel, data1, data2, time; };
    const Row rows[] = {
        {0, 0x90, 9, 0, 60, 100, 0},
        {0, 0x90, 9, 0, 60, 0, 96},     // running status
        {0, 0xC1, 12, 1, 40, 0, 112},   // one data byte: data2 is 0
        {1, 0, 0, 0, 0, 0, 112},
        {0, 0xD1, 13, 1, 0x33, 0, 117},
        {2, 0, 0, 0, 0, 0, 117},
    };
    for (size_t i = 0; i < t1.size(); ++i) {
        SCOPED_TRACE(i);
        const Row& r = rows[i];
        EXPECT_EQ(t1[i]->kind(), r.kind);
        EXPECT_EQ(t1[i]->status(), r.status);
        EXPECT_EQ(t1[i]->command(), r.command);
        EXPECT_EQ(t1[i]->channel(), r.channel);
        EXPECT_EQ(t1[i]->data1(), r.data1);
        EXPECT_EQ(t1[i]->data2(), r.data2);
        EXPECT_EQ(t1[i]->time, r.time);
        EXPECT_EQ(t1[i]->prev, i ? t1[i - 1] : nullptr);
    }
    // The sysex buffer starts with its status byte, then the bytes that followed the length.
    ASSERT_EQ(t1[3]->length(), 3);
    EXPECT_EQ(Bytes(t1[3]->data(), t1[3]->data() + 4), (Bytes{0xF0, 0x7E, 0x09, 0xF7}));
    EXPECT_EQ(t1[5]->metatype(), 0x2F);
    EXPECT_EQ(t1[5]->data(), nullptr);
    EXPECT_EQ(fx.file->track(1)->last, t1[5]);
}

TEST(Cmidfil, EmptySysexAndMetaHaveNoBuffer)
{
    Midfixture fx;
    ASSERT_TRUE(fx.read(Midbytes().track({0x00, 0xF7, 0x00, 0x00, 0xF0, 0x00, 0x00, 0xFF, 0x01, 0x00}).bytes()));
    auto ev = fx.events(0);
    ASSERT_EQ(ev.size(), 3u);
    const uint8_t status[] = {0xF7, 0xF0};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(ev[i]->kind(), 1);
        EXPECT_EQ(static_cast<const Csysexev*>(ev[i])->sysstatus(), status[i]);
        EXPECT_EQ(ev[i]->status(), 0);
        EXPECT_EQ(ev[i]->length(), 0);
        EXPECT_EQ(ev[i]->data(), nullptr);
    }
    EXPECT_EQ(ev[2]->data(), nullptr);
    EXPECT_EQ(fx.file->track(0)->ntexts, 1);
}

TEST(Cmidfil, RunningStatusAcrossOtherMessages)
{
    struct Case { const char* name; Bytes between; bool ok; size_t events; };
    const Case cases[] = {
        {"meta keeps it", {0x00, 0xFF, 0x01, 0x01, 'a'}, true, 3},
        {"real time keeps it", {0x00, 0xF8}, true, 2},
        {"sysex cancels it", {0x00, 0xF0, 0x01, 0xF7}, false, 0},
        {"escape cancels it", {0x00, 0xF7, 0x00}, false, 0},
        {"song position cancels it", {0x00, 0xF2, 0x01, 0x02}, false, 0},
        {"tune request cancels it", {0x00, 0xF6}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Midfixture fx;
        Boxes boxes;
        const Bytes events = Midbytes::cat({{0x00, 0x90, 0x3C, 0x40}, c.between, {0x00, 0x3C, 0x00}});
        EXPECT_EQ(fx.read(Midbytes().track(events).bytes()), c.ok);
        if (c.ok) {
            EXPECT_TRUE(boxes.empty());
            auto ev = fx.events(0);
            ASSERT_EQ(ev.size(), c.events);
            EXPECT_EQ(ev.back()->status(), 0x90);
            EXPECT_EQ(ev.back()->data1(), 0x3C);
        } else {
            EXPECT_EQ(boxes.texts(), (Texts{RUNNING, FILEMSG}));
        }
    }
    Midfixture fx;
    Boxes boxes;
    EXPECT_FALSE(fx.read(Midbytes().track({0x00, 0x3C, 0x40}).bytes()));
    EXPECT_EQ(boxes.texts(), (Texts{RUNNING, FILEMSG}));
}

TEST(Cmidfil, VariableLengthQuantities)
{
    struct Case { Bytes delta; bool ok; int32_t tick; };
    const Case cases[] = {
        {{0x7F}, true, 127},
        {{0x81, 0x00}, true, 128},
        {{0xFF, 0xFF, 0x7F}, true, 0x1FFFFF},
        {{0xFF, 0xFF, 0xFF, 0x7F}, true, 0x0FFFFFFF},          // largest four-byte value
        {{0x80, 0x80, 0x80, 0x80, 0x00}, false, 0},            // five bytes
        {{0x81, 0x80, 0x80, 0x80, 0x00}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tick);
        Midfixture fx;
        Boxes boxes;
        EXPECT_EQ(fx.read(Midbytes().track(Midbytes::cat({c.delta, {0xFF, 0x2F, 0x00}})).bytes()), c.ok);
        if (c.ok) EXPECT_EQ(fx.events(0).at(0)->time, c.tick);
        else EXPECT_EQ(boxes.texts(), (Texts{VNUM, FILEMSG}));
    }
    // A five-byte meta length fails the same way.
    Midfixture fx;
    Boxes boxes;
    EXPECT_FALSE(fx.read(Midbytes().track({0x00, 0xFF, 0x01, 0x80, 0x80, 0x80, 0x80, 0x01, 'x'}).bytes()));
    EXPECT_EQ(boxes.texts(), (Texts{VNUM, FILEMSG}));
}

TEST(Cmidfil, LongFilesHoldTheirTickAtTheLargestValue)
{
    // 300 deltas of 0x0FFFFFFF overflow 32 bits; the tick stays at the largest value instead.
    Bytes ev;
    for (int i = 0; i < 300; ++i) ev.insert(ev.end(), {0xFF, 0xFF, 0xFF, 0x7F, 0xF8});
    ev.insert(ev.end(), {0x00, 0xFF, 0x2F, 0x00});
    Midfixture fx;
    ASSERT_TRUE(fx.read(Midbytes().track(ev).bytes()));
    EXPECT_EQ(fx.events(0).at(0)->time, INT32_MAX);
}

TEST(Cmidfil, ChoosesTheLyricTrack)
{
    auto track = [](int texts, int lyrics) {
        Bytes b;
        for (int i = 0; i < texts; ++i) b = Midbytes::cat({b, Midbytes::meta(1, "t", 10)});
        for (int i = 0; i < lyrics; ++i) b = Midbytes::cat({b, Midbytes::meta(5, "l", 10)});
        return b;
    };
    struct Case { const char* name; std::vector<std::pair<int, int>> tracks; int track, kind; };
    const Case cases[] = {
        {"nothing", {{0, 0}, {0, 0}}, 0, 0},
        {"later lyric track beats an earlier tie", {{3, 3}, {0, 4}}, 1, 5},
        {"text wins a tie within a track", {{2, 2}}, 0, 1},
        {"earliest track wins equal texts", {{0, 0}, {5, 0}, {5, 0}}, 1, 1},
        {"more lyrics than texts in one track", {{2, 3}}, 0, 5},
        {"a later larger text count", {{0, 2}, {3, 0}}, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Midbytes mb;
        for (auto [t, l] : c.tracks) mb.track(track(t, l));
        Midfixture fx;
        ASSERT_TRUE(fx.read(mb.bytes()));
        EXPECT_EQ(fx.file->lyrictrack, c.track);
        EXPECT_EQ(fx.file->lyrickind, c.kind);
    }
}

TEST(Cmidfil, HeaderVariants)
{
    Bytes longhdr = {'M', 'T', 'h', 'd', 0, 0, 0, 9, 0, 0, 0, 1, 0, 60, 1, 2, 3};
    longhdr.insert(longhdr.end(), {'M', 'T', 'r', 'k', 0, 0, 0, 4, 0x00, 0xFF, 0x2F, 0x00});
    struct Case { const char* name; Bytes bytes; bool ok; Texts boxes; int ntrks; };
    const Case cases[] = {
        {"no tracks", Midbytes().bytes(), true, {}, 0},
        {"empty track", Midbytes().track(Bytes{}).bytes(), true, {}, 1},
        {"longer header skipped", longhdr, true, {}, 1},
        {"header length 5", {'M', 'T', 'h', 'd', 0, 0, 0, 5, 0, 0, 0, 0, 0, 96}, false, {FILEMSG}, 0},
        {"header length 0", {'M', 'T', 'h', 'd', 0, 0, 0, 0, 0, 0, 0, 0, 0, 96}, false, {FILEMSG}, 0},
        {"division 0", Midbytes(0).track(Bytes{}).bytes(), false, {FILEMSG}, 1},
        {"not MThd", {'R', 'I', 'F', 'F', 0, 0, 0, 6, 0, 0, 0, 0, 0, 96}, false, {FILEMSG}, 0},
        {"wrong chunk where a track belongs", {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96, 'X', 'Y', 'Z', 'W', 0, 0, 0, 0},
         false, {FILEMSG}, 1},
        {"fewer tracks than announced", Midbytes().track(Bytes{}).ntrks(3).bytes(), false, {BADDATA, FILEMSG}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Midfixture fx;
        Boxes boxes;
        EXPECT_EQ(fx.read(c.bytes), c.ok);
        EXPECT_EQ(boxes.texts(), c.boxes);
        EXPECT_EQ(fx.file->loaded, c.ok ? 1 : 0);
        if (c.ok) {
            EXPECT_EQ(fx.file->ntrks, c.ntrks);
        }
    }
    // Tracks that were read before a failure stay; the rest stay empty.
    Midfixture fx;
    Boxes boxes;
    EXPECT_FALSE(fx.read(Midbytes().track({0x00, 0x90, 1, 2}).ntrks(3).bytes()));
    EXPECT_NE(fx.file->track(0), nullptr);
    EXPECT_EQ(fx.file->track(2), nullptr);
    EXPECT_EQ(fx.events(0).size(), 1u);
}

TEST(Cmidfil, MissingFileFails)
{
    Boxes boxes;
    Cmidfil file("/nonexistent/cantorix/none.mid");
    EXPECT_FALSE(file.rdmidi());
    EXPECT_EQ(boxes.texts(), (Texts{FILEMSG}));
    Tempdir dir;   // a folder is not a MIDI file either
    Cmidfil folder(dir.path());
    EXPECT_FALSE(folder.rdmidi());
}

TEST(Cmidfil, RejectsEveryTruncation)
{
    const Bytes good = sample();
    Midfixture whole;
    ASSERT_TRUE(whole.read(good));
    for (size_t len = 0; len < good.size(); ++len) {
        SCOPED_TRACE(len);
        Midfixture fx;
        Boxes boxes;
        EXPECT_FALSE(fx.read(Bytes(good.begin(), good.begin() + long(len))));
        const Texts texts = boxes.texts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), FILEMSG);
        EXPECT_LE(texts.size(), 2u);
        if (texts.size() == 2) {
            const Texts known = {BADDATA, VNUM, SYSEX, META};
            EXPECT_NE(std::find(known.begin(), known.end(), texts[0]), known.end()) << texts[0];
        }
    }
}

TEST(Cmidfil, HostileLengths)
{
    struct Case { const char* name; Bytes bytes; Texts boxes; };
    Bytes lyingchunk = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96, 'M', 'T', 'r', 'k', 0x7F, 0xFF, 0xFF, 0xFF,
                        0x00, 0x90, 60, 100};
    const Case cases[] = {
        {"chunk longer than the file", lyingchunk, {VNUM, FILEMSG}},
        {"huge sysex length", Midbytes().track({0x00, 0xF0, 0xFF, 0xFF, 0xFF, 0x7F, 0xF7}).bytes(), {SYSEX, FILEMSG}},
        {"huge meta length", Midbytes().track({0x00, 0xFF, 0x01, 0xFF, 0xFF, 0xFF, 0x7F, 'a'}).bytes(), {META, FILEMSG}},
        // The meta data would fit in the file (the next track follows) but not in its chunk.
        {"meta past its chunk", Midbytes().track({0x00, 0xFF, 0x01, 0x0A, 'a'}).track({0x00, 0xFF, 0x2F, 0x00, 0, 0, 0}).bytes(),
         {META, FILEMSG}},
        {"sysex past its chunk", Midbytes().track({0x00, 0xF0, 0x09, 0x7E}).track(Bytes(12, 0)).bytes(), {SYSEX, FILEMSG}},
        {"note cut by the chunk end", Midbytes().track({0x00, 0x90, 60}).track({0x00, 0xFF, 0x2F, 0x00}).bytes(), {BADDATA, FILEMSG}},
        {"status cut by the chunk end", Midbytes().track({0x00}).bytes(), {BADDATA, FILEMSG}},
        {"meta type cut by the chunk end", Midbytes().track({0x00, 0xFF}).bytes(), {BADDATA, FILEMSG}},
        {"many tracks announced, none there", Midbytes().ntrks(65535).bytes(), {BADDATA, FILEMSG}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Midfixture fx;
        Boxes boxes;
        EXPECT_FALSE(fx.read(c.bytes));
        EXPECT_EQ(boxes.texts(), c.boxes);
    }
}

TEST(Cmidfil, TempoNeedsExactlyThreeBytes)
{
    Midfixture fx;
    ASSERT_TRUE(fx.read(Midbytes().track({0x00, 0xFF, 0x51, 0x02, 0x07, 0xA1, 0x00, 0xFF, 0x51, 0x04, 0, 1, 2, 3,
                                          0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40, 0x00, 0xFF, 0x58, 0x03, 1, 2, 3})
                            .bytes()));
    auto ev = fx.events(0);
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(ev[0]->tempo(), 0u);
    EXPECT_EQ(ev[1]->tempo(), 0u);
    EXPECT_EQ(ev[2]->tempo(), 1000000u);
    EXPECT_EQ(ev[3]->tempo(), 0u);   // three bytes, but not Set Tempo
}

// Seeds for the reader's fuzz target when the test runner asks for them.
TEST(Cmidfil, WritesFuzzSeeds)
{
    const char* dir = std::getenv("CANTORIX_SEED_DIR");
    if (!dir) GTEST_SKIP() << "CANTORIX_SEED_DIR not set";
    const std::string out = std::string(dir) + "/rdmidi";
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    ASSERT_FALSE(ec);
    const Bytes seeds[] = {
        sample(),
        Midbytes().track(Midbytes::cat({Midbytes::meta(1, "@TSong"), Midbytes::meta(1, "/La", 96),
                                        Midbytes::meta(1, "la", 96), Midbytes::tempo(400000, 10)}))
            .track({0x00, 0xC9, 0x01, 0x00, 0x99, 36, 100, 0x60, 36, 0, 0x00, 0xF2, 1, 2, 0x00, 0xFF, 0x2F, 0x00})
            .bytes(),
        Midbytes(0x7FFF, 0).track({0x00, 0xF0, 0x03, 0x43, 0x10, 0xF7, 0x00, 0xF7, 0x01, 0x00, 0x83, 0x00, 0xE0, 0, 64}).bytes(),
    };
    int i = 0;
    for (const Bytes& s : seeds) EXPECT_TRUE(writebytes(out + "/seed" + std::to_string(i++) + ".mid", s));
}

}  // namespace
