// The conversion flow on its real thread: bank loading and its failures, creating the WAVE file,
// abort, and independent conversions side by side in one process.
#include "convert/Cconvert.h"

#include "bank/Bankmaker.h"
#include "convert/Ccontext.h"
#include "midi/Midbytes.h"
#include "support/Boxes.h"
#include "support/Tempdir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

uint32_t u32at(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }

// The tiny bank with its ramp looping (sample modes 1), so that a note sounds until released.
Bytes loopedbank()
{
    Sf2parts p = tinybank();
    Bytes ibag, igen;
    add16(ibag, 0), add16(ibag, 0), add16(ibag, 3), add16(ibag, 0);
    add16(igen, 43), add16(igen, 0x7f00);   // key range 0..127
    add16(igen, 54), add16(igen, 1);        // loop
    add16(igen, 53), add16(igen, 0);        // sample 0
    add16(igen, 0), add16(igen, 0);
    p.pdtachunk("ibag").body = ibag;
    p.pdtachunk("igen").body = igen;
    return p.assemble();
}

// A context with the looped tiny bank (program 5 of bank 0) and a MIDI file whose notes on
// channel 1 start at the given ticks (480 per second) and last 96 ticks; the last event lies at
// `end`.
struct Job {
    Ccontext ctx{uint64_t(64) << 20};
    Cconvert conv{ctx};

    Job(const Tempdir& dir, const std::string& name, std::vector<uint32_t> ticks, uint32_t end)
    {
        const std::string bank = dir.file("tiny.sf2");
        if (!exists(bank)) {
            EXPECT_TRUE(writebytes(bank, loopedbank()));
        }
        ctx.settings.bankpath = bank;
        ctx.settings.workdir = dir.path();
        Bytes t = {0x00, 0xC0, 5};
        uint32_t prev = 0;
        for (uint32_t k : ticks) {
            t = Midbytes::cat({t, Midbytes::vlq(k - prev), {0x90, 60, 100}, {0x60, 0x80, 60, 0}});
            prev = k + 0x60;
        }
        t = Midbytes::cat({t, Midbytes::vlq(end - prev), {0xB0, 7, 100}});
        EXPECT_TRUE(writebytes(dir.file(name + ".mid"), Midbytes().track(t).bytes()));
        EXPECT_TRUE(ctx.loadmidi(dir.file(name + ".mid")));
        ctx.derivewave();
    }
};

// Header fields agree with the file's length and the frames written.
void expectsizes(const std::string& path, int32_t nframes)
{
    const Bytes b = readbytes(path);
    ASSERT_GE(b.size(), 44u);
    EXPECT_EQ(u32at(b, 4), b.size() - 8);
    EXPECT_EQ(u32at(b, 40), b.size() - 44);
    EXPECT_EQ(b.size() - 44, size_t(nframes) * 4);
}

} // namespace

TEST(Cconvert, ConvertsOnItsThreadAndChecksTheResult)
{
    Tempdir dir;
    Job j(dir, "song", {0, 480, 960}, 1440);
    EXPECT_EQ(j.ctx.wavepath, dir.file("song.wav"));
    Cmsgloop loop;
    std::vector<int> percents;
    j.conv.onprogress = [&](int p) { percents.push_back(p); };
    Boxes boxes;
    ASSERT_TRUE(j.conv.start());
    EXPECT_TRUE(j.conv.running());
    loop.pumpuntil([&] { return !j.conv.running(); });
    j.conv.join();
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(percents, std::vector<int>{100});
    EXPECT_EQ(j.conv.result().kind, Rescheck::normalized);
    // The block runs 5 s past a 3 s song; the time text stops at the total.
    EXPECT_EQ(j.conv.timetext(), "00:03 / 00:03");
    // One whole block, a silent tail pass and the effect flush (delay on by default).
    EXPECT_EQ(j.ctx.wave->nframes, 220500 + 44100 + Creverb::TAIL + 44100);
    expectsizes(j.ctx.wavepath, j.ctx.wave->nframes);
}

TEST(Cconvert, AbortStillFinishesTheWaveFile)
{
    Tempdir dir;
    Job j(dir, "long", {0, 4800}, 48000);   // 100 s
    Cmsgloop loop;
    std::vector<int> percents;
    j.conv.onprogress = [&](int p) {
        percents.push_back(p);
        j.conv.abort();
    };
    Boxes boxes;
    ASSERT_TRUE(j.conv.start());
    loop.pumpuntil([&] { return !j.conv.running(); });
    j.conv.join();
    // The first block's progress, then the final one; no tail, no flush: the output stage's
    // look-ahead still holds the last 131072 frames of the block.
    EXPECT_EQ(percents, (std::vector<int>{5, 5}));
    EXPECT_EQ(j.ctx.wave->nframes, 220500 - 131072);
    expectsizes(j.ctx.wavepath, j.ctx.wave->nframes);
    EXPECT_EQ(j.conv.result().kind, Rescheck::normalized);   // the checks ran on what was written
    EXPECT_TRUE(boxes.empty());
}

TEST(Cconvert, BankAndOutputFailures)
{
    Tempdir dir;
    ASSERT_TRUE(writebytes(dir.file("junk.sf2"), Bytes(100, 7)));
    // A bank whose sample type names a compression the reader does not know, and an Ogg
    // Vorbis bank whose stream is not one: refused before anything renders.
    Sf2parts unknown = tinybank();
    unknown.pdtachunk("shdr").body[44] = 0x20;
    ASSERT_TRUE(writebytes(dir.file("unknown.sf2"), unknown.assemble()));
    Sf2parts broken = tinysf3();
    for (size_t i = 0; i < 40; ++i) broken.sdta[0].body[i] ^= 0x5a;
    ASSERT_TRUE(writebytes(dir.file("broken.sf3"), broken.assemble()));
    std::filesystem::create_directory(dir.file("folder.sf2"));
    // reason: how the bank box's detail goes on after the bank's path.
    struct Case {
        std::string bank, wave, caption, reason;
    };
    const Case cases[] = {
        {dir.file("none.sf2"), dir.file("a.wav"), "Couldn't find sound bank", "No such file or directory"},
        {dir.file("junk.sf2"), dir.file("a.wav"), "Couldn't load sound bank", "not a SoundFont 2 bank"},
        {dir.file("unknown.sf2"), dir.file("a.wav"), "Couldn't load sound bank", "unknown sample type"},
        {dir.file("broken.sf3"), dir.file("a.wav"), "Couldn't load sound bank", "sample '"},
        {dir.file("folder.sf2"), dir.file("a.wav"), "Couldn't load sound bank", "Is a directory"},
        {"/dev/zero", dir.file("a.wav"), "Couldn't load sound bank", "not a regular file"},
        {"", dir.file("no/such/folder/a.wav"), "Couldn't create the WAVE file", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caption);
        Job j(dir, "x", {0}, 200);
        if (!c.bank.empty()) j.ctx.settings.bankpath = c.bank;
        j.ctx.setwave(c.wave);
        Boxes boxes;
        // Every attempt fails the same way; the failed bank is not read again.
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_FALSE(j.conv.start());
            EXPECT_FALSE(j.conv.running());
            EXPECT_EQ(boxes.last().caption, c.caption);
            EXPECT_EQ(boxes.last().icon, Boxicon::warning);
            if (!c.reason.empty()) {
                EXPECT_EQ(boxes.last().detail.rfind(c.bank + "\n" + c.reason, 0), 0u) << boxes.last().detail;
            }
        }
        const auto all = boxes.all();
        ASSERT_GE(all.size(), 2u);
        EXPECT_EQ(all[0].caption, "Error!");   // the low layer's own box comes first
        EXPECT_EQ(all.size(), c.bank.empty() ? 4u : 3u);
        EXPECT_FALSE(std::filesystem::exists(c.wave));   // nothing was rendered
    }
}

TEST(Cconvert, IndependentConversionsSideBySide)
{
    Tempdir dir;
    Job alone(dir, "a", {0, 100, 700}, 900);
    Cmsgloop loop;
    ASSERT_TRUE(alone.conv.start());
    loop.pumpuntil([&] { return !alone.conv.running(); });
    alone.conv.join();
    const Bytes want = readbytes(alone.ctx.wavepath);

    Tempdir d2, d3;
    Job b(d2, "a", {0, 100, 700}, 900), c(d3, "a", {0, 100, 700}, 900);
    Csettings::set(c.ctx.settings.tempo, 100);   // a different setting in one context only
    ASSERT_TRUE(b.conv.start());
    ASSERT_TRUE(c.conv.start());
    loop.pumpuntil([&] { return !b.conv.running() && !c.conv.running(); });
    b.conv.join();
    c.conv.join();
    EXPECT_EQ(readbytes(b.ctx.wavepath), want);
    EXPECT_NE(readbytes(c.ctx.wavepath), want);
    EXPECT_DOUBLE_EQ(c.conv.sequen().total(), 2 * b.conv.sequen().total());
}

TEST(Cconvert, OutputsThatAreInputsOrCutShortOrStoppedAreReported)
{
    Tempdir dir;
    Cmsgloop loop;
    Boxes boxes;
    {
        // A WAVE file that is the MIDI file through a link: refused before anything is written.
        Job j(dir, "x", {0}, 200);
        const Bytes midi = readbytes(dir.file("x.mid"));
        std::filesystem::create_symlink(dir.file("x.mid"), dir.file("link.wav"));
        j.ctx.setwave(dir.file("link.wav"));
        EXPECT_FALSE(j.conv.start());
        EXPECT_EQ(boxes.last().caption, restext::CREATECAP);
        EXPECT_EQ(boxes.last().text, restext::SAMEFILE);
        EXPECT_EQ(readbytes(dir.file("x.mid")), midi);
    }
    {
        // Stopped at the length cap, or silent: reported, and the earlier file stays.
        Job j(dir, "long", {0, 4800}, 48000);
        ASSERT_TRUE(writebytes(j.ctx.wavepath, {1, 2, 3}));
        j.conv.sequen().maxblocks = 1;
        boxes.clear();
        ASSERT_TRUE(j.conv.start());
        loop.pumpuntil([&] { return !j.conv.running(); });
        j.conv.join();
        EXPECT_TRUE(j.conv.result().capped);
        EXPECT_FALSE(j.conv.result().replaced);
        EXPECT_EQ(boxes.last().caption, restext::CAPPEDCAP);
        EXPECT_EQ(readbytes(j.ctx.wavepath), (Bytes{1, 2, 3}));
        Job s(dir, "silent", {}, 480);
        ASSERT_TRUE(writebytes(s.ctx.wavepath, {4, 5, 6}));
        for (const bool closing : {false, true}) {
            boxes.clear();
            s.conv.skipchecks = closing;
            ASSERT_TRUE(s.conv.start());
            loop.pumpuntil([&] { return !s.conv.running(); });
            s.conv.join();
            EXPECT_EQ(s.conv.result().kind, Rescheck::empty);
            EXPECT_EQ(boxes.count(), closing ? 0u : 1u);
            EXPECT_EQ(readbytes(s.ctx.wavepath), (Bytes{4, 5, 6}));
        }
    }
    {
        // Stopped where an aborted file is not wanted: the earlier file stays, nothing else.
        Job j(dir, "kept", {0, 4800}, 48000);
        ASSERT_TRUE(writebytes(j.ctx.wavepath, {1, 2, 3}));
        j.conv.keepaborted = false;
        j.conv.onprogress = [&](int) { j.conv.abort(); };
        ASSERT_TRUE(j.conv.start());
        loop.pumpuntil([&] { return !j.conv.running(); });
        j.conv.join();
        EXPECT_TRUE(j.conv.result().aborted);
        EXPECT_EQ(readbytes(j.ctx.wavepath), (Bytes{1, 2, 3}));
        // An abort that comes after the checks, while the finished file waits for its rename,
        // still keeps the earlier file: the flag is read again with the signals held back.
        struct Lateabort : Cboxsink {   // the advice box comes from the checks
            std::atomic<bool>* flag;
            Cboxsink* prev;
            explicit Lateabort(std::atomic<bool>* f) : flag(f), prev(setboxsink(this)) {}
            ~Lateabort() override { setboxsink(prev); }
            void show(const Cbox&) override { flag->store(true); }
        } late(&j.ctx.abort);
        j.conv.onprogress = nullptr;
        Csettings::set(j.ctx.settings.normalize, false);
        ASSERT_TRUE(j.conv.start());
        loop.pumpuntil([&] { return !j.conv.running(); });
        j.conv.join();
        EXPECT_TRUE(j.conv.result().aborted);
        EXPECT_FALSE(j.conv.result().replaced);
        EXPECT_EQ(readbytes(j.ctx.wavepath), (Bytes{1, 2, 3}));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 9);
    }
}
