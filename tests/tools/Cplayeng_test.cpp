// The playback engine without devices: choosing files, loading them through the context, the
// timeline's total and the start failures, which must leave no device, file or timer period open.
#include "tools/Cplayeng.h"

#include "platform/Cshell.h"
#include "platform/Ctimer.h"
#include "tools/Playfixture.h"

namespace {

struct Playeng : Playfixture {
    void SetUp() override { ctx.settings.workdir = dir.file("WorkDir"); }
};

}  // namespace

TEST(Playengkind, DropsTakeMidKarAndWavAndTheFileDialogMidiToo) {
    using K = Cplayeng::Kind;
    const struct { const char* ext; K dropped, chosen; } cases[] = {
        {".wav", K::wave, K::wave}, {".mid", K::midi, K::midi}, {".kar", K::midi, K::midi},
        {".midi", K::other, K::midi}, {".mp3", K::other, K::other}, {"", K::other, K::other},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ext);
        EXPECT_EQ(Cplayeng::kindof(c.ext, false), c.dropped);
        EXPECT_EQ(Cplayeng::kindof(c.ext, true), c.chosen);
    }
}

TEST_F(Playeng, ChooseStartsInTheWorkingFolderOnlyWithoutCurrentFiles) {
    Cscriptshell script;
    script.cancel();
    EXPECT_FALSE(Cplayeng::choose(ctx, &owner));
    EXPECT_EQ(script.last().req.startdir, ctx.settings.workdir);
    EXPECT_EQ(script.last().req.filter, MIDIWAVEFILTER);

    script.answer(dir.file("X.MIDI"));
    auto pick = Cplayeng::choose(ctx, &owner);
    ASSERT_TRUE(pick);
    EXPECT_EQ(pick->first, Cplayeng::Kind::midi);
    EXPECT_EQ(pick->second, dir.file("X.MIDI"));
    EXPECT_TRUE(boxes.empty());

    ctx.setwave(wave("w.wav", 10));
    script.answer(dir.file("notes.txt"));
    pick = Cplayeng::choose(ctx, &owner);
    EXPECT_EQ(script.last().req.startdir, "");
    ASSERT_TRUE(pick);
    EXPECT_EQ(pick->first, Cplayeng::Kind::other);
    EXPECT_EQ(boxes.last().caption, "Unknown file type");
    EXPECT_EQ(boxes.last().text,
              "The program doesn't know how to process the file selected\nPlease choose another file and try again");
    EXPECT_EQ(boxes.last().icon, Boxicon::warning);
    EXPECT_EQ(boxes.last().owner, &owner);
}

TEST_F(Playeng, LoadsThroughTheContextAndKeepsTheTimelineOfTheCurrentFile) {
    Cplayeng eng(ctx, &owner, &owner);
    EXPECT_TRUE(eng.timeline().empty());
    EXPECT_EQ(eng.miditotal(), 0);
    ASSERT_TRUE(eng.loadmidi(midi("song.KAR", 3)));
    EXPECT_EQ(ctx.midititle, "song.KAR");
    EXPECT_TRUE(eng.kar());
    EXPECT_FALSE(eng.timeline().empty());
    EXPECT_DOUBLE_EQ(eng.miditotal(), 3e6);

    writebytes(dir.file("bad.mid"), {'M', 'T', 'h', 'd'});
    EXPECT_FALSE(eng.loadmidi(dir.file("bad.mid")));
    ASSERT_GE(boxes.count(), 2u);
    EXPECT_EQ(boxes.all().front().caption, "Error!");   // the reader's own box first
    EXPECT_EQ(boxes.last().caption, "Couldn't load MIDI/KAR file");
    EXPECT_EQ(boxes.last().text, "The MIDI/KAR file selected could not be loaded\nIt either does not exist, or it is "
                                 "corrupt\nor it has an unknown format\nPlease select another MIDI/KAR file and try again");
    EXPECT_FALSE(ctx.midi);
    EXPECT_FALSE(eng.kar());
    EXPECT_TRUE(eng.timeline().empty());
    EXPECT_EQ(eng.miditotal(), 0);

    // A new WAVE file never leaves the effects processor writing to the one it replaces.
    ctx.setwave(wave("old.wav", 10));
    ctx.effects.setoutput(ctx.wave.get());
    eng.loadwave(wave("new.wav", 10));
    EXPECT_EQ(ctx.effects.output(), nullptr);
    EXPECT_EQ(ctx.wavetitle, "new.wav");
    EXPECT_EQ(ctx.wave->path(), dir.file("new.wav"));
}

TEST_F(Playeng, StartFailuresLeaveNoDeviceFileOrPeriodOpen) {
    Cplayeng eng(ctx, &owner, &owner);
    Cwavfil missing(dir.file("missing.wav"));
    EXPECT_EQ(eng.playwave(missing, 0), Cplayeng::Start::corrupt);
    Cwavfil empty(wave("empty.wav", 0));
    EXPECT_EQ(eng.playwave(empty, 0), Cplayeng::Start::empty);
    EXPECT_EQ(empty.fd, -1);
    Cwavfil one(wave("one.wav", 100));
    EXPECT_EQ(eng.playwave(one, 0), Cplayeng::Start::device);
    EXPECT_EQ(one.fd, -1);
    EXPECT_FALSE(eng.active());

    ASSERT_TRUE(eng.loadmidi(midi("song.mid")));
    eng.setposition(5e5);
    // The built-in synthesizer (-1) without a bank, then a port that does not exist.
    EXPECT_EQ(eng.playmidi(eng.position(), 0, nullptr), Cplayeng::Start::bank);
    EXPECT_EQ(timeperiods(), 0);
    ctx.settings.midiout = 0;
    EXPECT_EQ(eng.playmidi(eng.position(), 0, nullptr), Cplayeng::Start::device);
    EXPECT_FALSE(eng.active());
    EXPECT_EQ(eng.sched(), nullptr);
    EXPECT_EQ(eng.position(), 5e5);   // the next start begins where this one would have
    EXPECT_EQ(ctx.midi->hmo, nullptr);
    EXPECT_EQ(timeperiods(), 0);
}
