// The file player offscreen without devices: opening, the control rules, choosing and dropping
// files, switching between MIDI and WAVE, the status text and the failure boxes.
#include "app/tools/Cplayer.h"

#include "app/Cmainwin.h"
#include "app/Fixtures.h"
#include "app/Guitest.h"
#include "platform/Cshell.h"
#include "platform/Ctimer.h"
#include "support/Boxes.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <gtest/gtest.h>

namespace {

struct Player : ::testing::Test, Songfiles {
    Ccontext ctx;
    Cscriptshell script;
    Boxes boxes;

    void SetUp() override
    {
        ctx.settings.progdir = dir.path();
        ctx.settings.workdir = dir.file("WorkDir");
    }
    void setmidi(const std::string& name, int quarters = 2) { ASSERT_TRUE(ctx.loadmidi(midi(name, quarters))); }
    void setwave(const std::string& name, uint32_t frames) { ctx.setwave(wave(name, frames)); }
};

// Enabled state of Play, Pause, Stop, Browse, slider, Midi/Kar, Wave and Normal lyrics.
std::string enabled(const Cplayer& p)
{
    std::string s;
    for (QWidget* w : {static_cast<QWidget*>(p.playbutton()), static_cast<QWidget*>(p.pausebutton()),
                       static_cast<QWidget*>(p.stopbutton()), static_cast<QWidget*>(p.browsebutton()),
                       static_cast<QWidget*>(p.slider()), static_cast<QWidget*>(p.midiradio()),
                       static_cast<QWidget*>(p.waveradio()), static_cast<QWidget*>(p.lyricsradio(1))})
        s += w->isEnabled() ? '1' : '0';
    return s;
}

}  // namespace

TEST(Playerstatus, TextFormat) {
    const struct { int state; double pos, total; const char* text; } cases[] = {
        {0, 5e6, 9e6, "No file loaded"},
        {1, 0, 0, "Stopped   00:00 / 00:00"},
        {2, 61.9e6, 3599.99e6, "Playing   01:01 / 59:59"},
        {3, 600e6, 7261e6, "Paused    10:00 / 121:01"},
        {1, -5, 1e300, "Stopped   00:00 / 00:00"},   // nonsense values never wrap into garbage
    };
    for (const auto& c : cases) EXPECT_EQ(Cplayer::statustext(c.state, c.pos, c.total).toStdString(), c.text);
}

TEST_F(Player, NoFileAllowsOnlyBrowse) {
    Cplayer p(ctx, nullptr);
    EXPECT_EQ(p.windowTitle(), "Cantorix - File player");
    EXPECT_EQ(p.state(), Cplayer::nofile);
    EXPECT_EQ(p.status(), "No file loaded");
    EXPECT_EQ(enabled(p), "00010000");
    EXPECT_TRUE(p.wavesel());
    p.show();
    EXPECT_TRUE(shot(&p, "player-empty"));
}

TEST_F(Player, OpensWithWaveSelectedAndKaraokeLyricsOffered) {
    setwave("take.wav", 44100 * 3);
    setmidi("song.kar", 5);
    Cplayer p(ctx, nullptr);
    EXPECT_TRUE(p.wavesel());
    EXPECT_EQ(p.titletext(), "take.wav");
    EXPECT_EQ(p.state(), Cplayer::stopped);
    EXPECT_EQ(p.lyricsmode(), 1);
    EXPECT_TRUE(p.lyricsradio(1)->isChecked());
    EXPECT_EQ(p.status(), "Stopped   00:00 / 00:03");
    EXPECT_EQ(enabled(p), "10011111");
    p.show();
    EXPECT_TRUE(shot(&p, "player-stopped"));
}

TEST_F(Player, SwitchingKindsKeepsOrResetsThePosition) {
    setwave("take.wav", 44100 * 4);
    setmidi("song.mid", 8);
    Cplayer p(ctx, nullptr);
    EXPECT_EQ(p.lyricsmode(), 0);
    EXPECT_FALSE(p.lyricsradio(1)->isEnabled());   // not a karaoke file
    p.slider()->setValue(5000);
    EXPECT_DOUBLE_EQ(p.position(), 2e6);
    p.midiradio()->click();   // to MIDI: the position stays
    EXPECT_FALSE(p.wavesel());
    EXPECT_EQ(p.titletext(), "song.mid");
    EXPECT_DOUBLE_EQ(p.position(), 2e6);
    EXPECT_EQ(p.status(), "Stopped   00:02 / 00:08");
    p.slider()->setValue(2500);
    EXPECT_EQ(p.status(), "Stopped   00:02 / 00:08");
    p.slider()->setValue(7500);
    EXPECT_EQ(p.status(), "Stopped   00:06 / 00:08");
    p.waveradio()->click();   // to WAVE: back to the start
    EXPECT_TRUE(p.wavesel());
    EXPECT_EQ(p.position(), 0);
    EXPECT_EQ(p.slider()->value(), 0);
    EXPECT_EQ(p.status(), "Stopped   00:00 / 00:04");
}

TEST_F(Player, LoadingChoosesTheKindAndTellsTheMainWindow) {
    struct Mainwin : Cwindow {
        int refresh = 0;
        void handle(unsigned msg, uintptr_t, intptr_t) override { refresh += msg == WM_REFRESH; }
    } mainwin;
    Cplayer p(ctx, &mainwin);
    const std::string k = midi("x.kar"), m = midi("x.mid"), w = wave("x.wav", 100);
    writebytes(dir.file("bad.mid"), {'M', 'T', 'h', 'd'});
    writebytes(dir.file("notes.txt"), {'a'});

    script.answer(k);
    p.browse();
    EXPECT_EQ(mainwin.refresh, 1);
    EXPECT_FALSE(p.wavesel());
    EXPECT_EQ(p.lyricsmode(), 1);
    EXPECT_EQ(p.state(), Cplayer::stopped);
    EXPECT_EQ(p.titletext(), "x.kar");

    p.dropfiles({QString::fromStdString(m), QString::fromStdString(w)});   // the first file counts
    EXPECT_EQ(p.lyricsmode(), 0);
    EXPECT_FALSE(p.wavesel());

    p.dropfiles({QString::fromStdString(w)});
    EXPECT_TRUE(p.wavesel());
    EXPECT_TRUE(ctx.midi);   // loading a WAVE file keeps the MIDI file
    EXPECT_EQ(ctx.wavetitle, "x.wav");

    script.answer(dir.file("notes.txt"));
    p.browse();
    EXPECT_EQ(boxes.last().caption, "Unknown file type");
    EXPECT_EQ(p.state(), Cplayer::stopped);
    boxes.clear();

    script.answer(dir.file("bad.mid"));
    p.browse();
    EXPECT_EQ(boxes.last().caption, "Couldn't load MIDI/KAR file");
    EXPECT_FALSE(ctx.midi);
    EXPECT_TRUE(p.wavesel());
    EXPECT_EQ(p.titletext(), "");
    EXPECT_EQ(p.state(), Cplayer::stopped);   // the WAVE file is still there
    EXPECT_TRUE(p.timeline().empty());
    EXPECT_EQ(mainwin.refresh, 5);
}

TEST_F(Player, FailuresKeepTheStateAndLeaveNoDeviceOpen) {
    // A WAVE name derived before any conversion: the file does not exist.
    ctx.setwave(dir.file("missing.wav"));
    std::unique_ptr<Cplayer> p = std::make_unique<Cplayer>(ctx, nullptr);
    ASSERT_GE(boxes.count(), 1u);   // the reader's box from the length
    EXPECT_EQ(p->status(), "Stopped   00:00 / 00:00");
    boxes.clear();
    p->playbutton()->click();
    EXPECT_EQ(boxes.last().caption, "Invalid Wave file");
    EXPECT_EQ(boxes.last().text, "The WAVE file selected appears to be corrupt\nPlease select another WAVE file and try again");
    EXPECT_EQ(p->state(), Cplayer::stopped);

    setwave("empty.wav", 0);
    p = std::make_unique<Cplayer>(ctx, nullptr);
    p->playbutton()->click();
    EXPECT_EQ(boxes.last().caption, "Wave file empty");
    EXPECT_EQ(ctx.wave->fd, -1);

    setwave("one.wav", 100);
    setmidi("song.kar");
    p = std::make_unique<Cplayer>(ctx, nullptr);
    p->playbutton()->click();   // no wave device
    EXPECT_EQ(boxes.last().caption, "Wave output busy");
    EXPECT_EQ(boxes.last().text, "The Wave output device is not ready. Possible causes:\n1) There is another "
                                 "application using the device\n2) Your computer doesn't have sound output capabilities");
    EXPECT_EQ(p->state(), Cplayer::stopped);
    EXPECT_EQ(p->lyrics(), nullptr);
    EXPECT_EQ(ctx.wave->fd, -1);

    p->midiradio()->click();
    const size_t before = boxes.count();
    p->playbutton()->click();   // the built-in synthesizer, without its bank: the bank's box alone
    EXPECT_EQ(boxes.count(), before + 1);
    EXPECT_EQ(boxes.last().caption, "Couldn't find sound bank");
    EXPECT_EQ(p->state(), Cplayer::stopped);
    EXPECT_EQ(p->lyrics(), nullptr);
    ctx.settings.midiout = 0;
    p->playbutton()->click();   // no MIDI port
    EXPECT_EQ(boxes.last().caption, "MIDI output busy");
    EXPECT_EQ(boxes.last().icon, Boxicon::error);
    EXPECT_EQ(boxes.last().text, "The MIDI output device is not ready. Possible causes:\n1) There is another "
                                 "application using the device\n2) Your computer doesn't have MIDI output capabilities");
    EXPECT_EQ(p->state(), Cplayer::stopped);
    EXPECT_EQ(p->lyrics(), nullptr);
    EXPECT_EQ(timeperiods(), 0);
    EXPECT_TRUE(p->playbutton()->isEnabled());
}

TEST_F(Player, HelpOpensItsPageAndMainWindowRunsThePlayer) {
    Cplayer p(ctx, nullptr);
    p.help();
    EXPECT_EQ(script.last().kind, "shell");
    EXPECT_EQ(script.last().text, "Hlplayer.htm");
    EXPECT_EQ(script.last().dir, dir.path());

    Cmainwin win(ctx);
    EXPECT_TRUE(win.action(ID_PLAYER)->isEnabled());
    QString title;
    onmodal<Cplayer>([&](Cplayer* d) {
        title = d->windowTitle();
        d->reject();
    });
    win.command(ID_PLAYER);
    EXPECT_EQ(title, "Cantorix - File player");
}
