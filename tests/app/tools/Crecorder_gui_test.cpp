// The recorder offscreen without devices: opening, the control rules, choosing and dropping
// files, the output file, the hand-over on Close and not on Escape, and the state after failures
// that need no working device (their boxes are the take's, tests/tools/Ctake_test.cpp).
#include "app/tools/Crecorder.h"

#include "app/Fixtures.h"
#include "app/Guitest.h"
#include "platform/Cshell.h"
#include "support/Boxes.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace {

struct Recorder : ::testing::Test, Songfiles {
    Ccontext ctx;
    Cscriptshell script;
    Boxes boxes;
    struct Mainwin : Cwindow {
        int refresh = 0;
        void handle(unsigned msg, uintptr_t, intptr_t) override { refresh += msg == WM_REFRESH; }
    } mainwin;

    void SetUp() override
    {
        ctx.settings.progdir = dir.path();
        ctx.settings.workdir = dir.file("WorkDir");
        std::filesystem::create_directory(ctx.settings.workdir);
    }
    void setmidi(const std::string& name, int quarters = 2) { ASSERT_TRUE(ctx.loadmidi(midi(name, quarters))); }
    void setwave(const std::string& name, uint32_t frames) { ctx.setwave(wave(name, frames)); }
    std::string take() const { return ctx.settings.workdir + "/take1.wav"; }
};

// Enabled state of Start, Stop, Play, Browse, output Browse, None, Midi/Kar, Wave, Normal lyrics.
std::string enabled(const Crecorder& r)
{
    std::string s;
    for (QWidget* w : {static_cast<QWidget*>(r.startbutton()), static_cast<QWidget*>(r.stopbutton()),
                       static_cast<QWidget*>(r.playbutton()), static_cast<QWidget*>(r.browsebutton()),
                       static_cast<QWidget*>(r.outbutton()), static_cast<QWidget*>(r.playradio(0)),
                       static_cast<QWidget*>(r.playradio(1)), static_cast<QWidget*>(r.playradio(2)),
                       static_cast<QWidget*>(r.lyricsradio(1))})
        s += w->isEnabled() ? '1' : '0';
    return s;
}

std::vector<std::string> captions(const Boxes& b)
{
    std::vector<std::string> c;
    for (const Cbox& x : b.all()) c.push_back(x.caption);
    return c;
}

}  // namespace

TEST(Recordertime, TextFormats) {
    const struct { double pos, total; const char* text; } plays[] = {
        {0, 0, "00:00 / 00:00"},
        {61.9e6, 3599.99e6, "01:01 / 59:59"},
        {-5, 1e300, "00:00 / 00:00"},   // nonsense values never wrap into garbage
    };
    for (const auto& c : plays) EXPECT_EQ(Crecorder::playtext(c.pos, c.total).toStdString(), c.text);
    EXPECT_EQ(Crecorder::rectext(0).toStdString(), "       00:00");
    EXPECT_EQ(Crecorder::rectext(125.99).toStdString(), "       02:05");
}

TEST_F(Recorder, OpensWithNoPlaybackAndTakeOneInTheWorkingFolder) {
    Crecorder r(ctx, &mainwin);
    EXPECT_EQ(r.windowTitle(), "Cantorix - Recorder");
    EXPECT_EQ(r.state(), Crecorder::idle);
    EXPECT_EQ(r.playback(), Crecorder::none);
    EXPECT_EQ(r.outpath(), take());
    EXPECT_EQ(r.outtext(), "take1.wav");
    EXPECT_TRUE(r.playradio(0)->isChecked());
    EXPECT_EQ(enabled(r), "100111000");   // no take yet: Play off
    EXPECT_TRUE(r.acceptDrops());
    r.show();
    EXPECT_TRUE(shot(&r, "recorder-idle"));
}

TEST_F(Recorder, OpeningPrefersMidiAndOffersKaraokeLyrics) {
    setmidi("song.kar", 5);
    setwave("song.wav", 44100 * 3);
    writebytes(take(), wavefile(2, 44100, 10));
    Crecorder r(ctx, &mainwin);
    EXPECT_EQ(r.playback(), Crecorder::midi);
    EXPECT_EQ(r.playtitle(), "song.kar");
    EXPECT_EQ(r.lyricsmode(), 1);
    EXPECT_TRUE(r.lyricsradio(1)->isChecked());
    EXPECT_DOUBLE_EQ(r.total(), 5e6);
    EXPECT_EQ(enabled(r), "101111111");
    r.show();
    EXPECT_TRUE(shot(&r, "recorder-idle-karaoke"));

    // Switching play-back: time text and progress cleared, the total follows the choice; the
    // lyrics stay on offer for a karaoke file while a WAVE file plays back.
    r.playradio(2)->click();
    EXPECT_EQ(r.playback(), Crecorder::wave);
    EXPECT_EQ(r.playtitle(), "song.wav");
    EXPECT_DOUBLE_EQ(r.total(), 3e6);
    EXPECT_TRUE(r.lyricsradio(2)->isEnabled());
    r.lyricsradio(2)->click();
    EXPECT_EQ(r.lyricsmode(), 2);
    r.playradio(0)->click();
    EXPECT_EQ(r.playback(), Crecorder::none);
    EXPECT_EQ(r.playtitle(), "");
    EXPECT_EQ(r.timetext(), "");
    EXPECT_EQ(r.progress(), 0);
    r.playradio(1)->click();
    EXPECT_DOUBLE_EQ(r.total(), 5e6);
    EXPECT_TRUE(r.playradio(1)->isChecked());
    EXPECT_FALSE(r.playradio(0)->isChecked());
}

TEST_F(Recorder, WaveOnlyOpensWithWavePlaybackAndNoLyrics) {
    setwave("song.wav", 44100 * 2);
    Crecorder r(ctx, &mainwin);
    EXPECT_EQ(r.playback(), Crecorder::wave);
    EXPECT_EQ(r.lyricsmode(), 0);
    EXPECT_EQ(enabled(r), "100111010");
}

TEST_F(Recorder, LoadingChoosesThePlaybackAndTellsTheMainWindow) {
    Crecorder r(ctx, &mainwin);
    const std::string k = midi("x.kar"), w = wave("x.wav", 100);
    writebytes(dir.file("bad.mid"), {'M', 'T', 'h', 'd'});
    writebytes(dir.file("notes.txt"), {'a'});

    script.answer(k);
    r.browse();
    EXPECT_EQ(mainwin.refresh, 1);
    EXPECT_EQ(r.playback(), Crecorder::midi);
    EXPECT_EQ(r.lyricsmode(), 1);
    EXPECT_EQ(r.playtitle(), "x.kar");

    r.dropfiles({QString::fromStdString(w), QString::fromStdString(k)});   // the first file counts
    EXPECT_EQ(r.playback(), Crecorder::wave);
    EXPECT_TRUE(ctx.midi);   // a WAVE file keeps the MIDI file
    EXPECT_EQ(ctx.wavetitle, "x.wav");

    script.answer(dir.file("notes.txt"));
    r.browse();
    EXPECT_EQ(boxes.last().caption, "Unknown file type");
    EXPECT_EQ(r.playback(), Crecorder::wave);   // nothing changed
    EXPECT_EQ(mainwin.refresh, 3);

    script.answer(dir.file("bad.mid"));
    r.browse();
    EXPECT_EQ(boxes.last().caption, "Couldn't load MIDI/KAR file");
    EXPECT_FALSE(ctx.midi);
    EXPECT_EQ(r.playback(), Crecorder::none);
    EXPECT_EQ(r.playtitle(), "");
    EXPECT_FALSE(r.playradio(1)->isEnabled());
    EXPECT_EQ(mainwin.refresh, 4);

    script.cancel();
    r.browse();
    EXPECT_EQ(mainwin.refresh, 4);
}

TEST_F(Recorder, OutputMustBeWaveAndEveryOpeningProposesTakeOneAgain) {
    {
        Crecorder r(ctx, &mainwin);
        script.answer(dir.file("mine.mp3"));
        r.browseout();
        EXPECT_EQ(script.last().kind, "save");
        EXPECT_EQ(script.last().req.filter, "WAVE Files (*.wav)|*.wav|All Files (*.*)|*.*||");
        EXPECT_EQ(script.last().req.defext, "wav");
        EXPECT_EQ(script.last().req.startdir, ctx.settings.workdir);
        EXPECT_EQ(boxes.last().caption, "Invalid file type");
        EXPECT_EQ(boxes.last().text, "You must select a WAVE file\nPlease choose another file and try again");
        EXPECT_EQ(r.outtitle(), "take1.wav");

        wave("Mine.WAV", 44100);
        script.answer(dir.file("Mine.WAV"));
        r.browseout();
        EXPECT_EQ(r.outpath(), dir.file("Mine.WAV"));
        EXPECT_EQ(r.outtext(), "Mine.WAV");
        EXPECT_TRUE(r.playbutton()->isEnabled());   // that file exists
        r.reject();
    }
    Crecorder again(ctx, &mainwin);
    EXPECT_EQ(again.outpath(), take());
}

TEST_F(Recorder, StartAndPlayFailuresLeaveTheRecorderIdle) {
    Crecorder r(ctx, &mainwin);
    std::filesystem::remove(ctx.settings.workdir);   // nowhere to create the take
    r.startbutton()->click();
    EXPECT_EQ(boxes.last().caption, "WAVE file error");
    EXPECT_EQ(r.state(), Crecorder::idle);

    std::filesystem::create_directory(ctx.settings.workdir);
    r.startbutton()->click();   // no input device
    EXPECT_EQ(boxes.last().caption, "Wave input busy");
    EXPECT_EQ(r.state(), Crecorder::idle);
    EXPECT_EQ(r.take()->fd, -1);
    EXPECT_EQ(enabled(r), "101111000");   // Play on: the finished empty take exists

    boxes.clear();
    r.playbutton()->click();
    EXPECT_EQ(boxes.last().caption, "Wave file empty");
    EXPECT_EQ(r.state(), Crecorder::idle);

    // The WAVE file chosen for play-back is never recorded over.
    writebytes(take(), wavefile(2, 44100, 500));
    ctx.setwave(take());
    Crecorder over(ctx, &mainwin);
    ASSERT_EQ(over.playback(), Crecorder::wave);
    over.startbutton()->click();
    EXPECT_EQ(boxes.last().caption, "WAVE file error");
    EXPECT_EQ(readbytes(take()), wavefile(2, 44100, 500));
    EXPECT_EQ(over.state(), Crecorder::idle);
}

TEST_F(Recorder, StartAsksBeforeReplacingAFileItDidNotRecord) {
    // take1.wav of an earlier session, then a file chosen by hand: Start asks, and Cancel starts
    // nothing and leaves the file byte for byte.
    const Bytes earlier = wavefile(2, 44100, 500);
    writebytes(take(), earlier);
    writebytes(dir.file("mine.wav"), earlier);
    Crecorder r(ctx, &mainwin);
    const struct { std::string path, title; } outputs[] = {{take(), "take1.wav"}, {dir.file("mine.wav"), "mine.wav"}};
    for (const auto& o : outputs) {
        SCOPED_TRACE(o.title);
        if (o.path != r.outpath()) {
            script.answer(o.path);
            r.browseout();
        }
        boxes.clear();
        r.startbutton()->click();
        ASSERT_EQ(boxes.count(), 1u);
        EXPECT_EQ(boxes.last().caption, "Replace WAVE file");
        EXPECT_EQ(boxes.last().text, "The output file " + o.title +
                                         " already exists\nand was not recorded since the Recorder was opened\n"
                                         "Do you want to replace it?");
        EXPECT_EQ(boxes.last().detail, o.path);
        EXPECT_EQ(boxes.last().owner, static_cast<const void*>(&r));
        EXPECT_EQ(r.state(), Crecorder::idle);
        EXPECT_EQ(readbytes(o.path), earlier);
    }

    // Replace: the take is made (here only its header, for want of an input device); from then on
    // this dialog's own file is replaced without a question, until something else writes it.
    boxes.clear();
    boxes.replace(true);
    r.startbutton()->click();
    EXPECT_EQ(captions(boxes), std::vector<std::string>({"Replace WAVE file", "Wave input busy"}));
    EXPECT_EQ(readbytes(dir.file("mine.wav")), wavefile(2, 44100, 0));
    boxes.replace(false);
    boxes.clear();
    r.startbutton()->click();
    EXPECT_EQ(captions(boxes), std::vector<std::string>({"Wave input busy"}));
    std::filesystem::remove(dir.file("mine.wav"));
    writebytes(dir.file("mine.wav"), earlier);
    boxes.clear();
    r.startbutton()->click();
    EXPECT_EQ(captions(boxes), std::vector<std::string>({"Replace WAVE file"}));
    EXPECT_EQ(readbytes(dir.file("mine.wav")), earlier);
}

TEST_F(Recorder, CloseHandsTheTakeOverAndEscapeNever) {
    const struct { bool exists, close, handed; } cases[] = {
        {true, true, true},
        {false, true, false},
        {true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.exists) + std::to_string(c.close));
        std::filesystem::remove(take());
        ctx.wave.reset();
        ctx.wavetitle = "old.wav";
        mainwin.refresh = 0;
        if (c.exists) writebytes(take(), wavefile(2, 44100, 44100));
        Crecorder r(ctx, &mainwin);
        if (c.close) r.accept();
        else r.reject();
        EXPECT_EQ(bool(ctx.wave), c.handed);
        EXPECT_EQ(ctx.wavetitle, c.handed ? "take1.wav" : "old.wav");
        EXPECT_EQ(mainwin.refresh, c.handed ? 1 : 0);
        if (c.handed) {
            EXPECT_EQ(ctx.wavepath, take());
            EXPECT_EQ(ctx.wave->path(), take());
            EXPECT_EQ(r.take(), nullptr);
            EXPECT_DOUBLE_EQ(ctx.wave->duration(), 1e6);
        }
        EXPECT_EQ(std::filesystem::exists(take()), c.exists);   // Escape leaves the file on disk
    }
}
