// The audio mixer dialog offscreen: choosing files, the control rules of each state, offsets
// typed and spun, a mix on the timer, Stop, Reset, and the Effects, Help and main-window wiring.
#include "app/tools/Caumixer.h"

#include "app/Cmainwin.h"
#include "app/Guitest.h"
#include "platform/Cshell.h"
#include "app/dialogs/Ceffdialog.h"
#include "support/Boxes.h"
#include "tools/Mixfiles.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

struct Aumixer : ::testing::Test {
    Tempdir dir;
    Ccontext ctx;
    Cscriptshell script;
    Boxes boxes;
    std::unique_ptr<Caumixer> dlg;

    void SetUp() override
    {
        ctx.settings.progdir = dir.path();
        ctx.settings.workdir = dir.path();
        dlg = std::make_unique<Caumixer>(ctx);
        dlg->show();
    }
    // Browses channel c to a file written with samples s (none: only the name is answered).
    void pick(int c, const std::string& name, const Samples* s = nullptr)
    {
        if (s) {
            ASSERT_TRUE(writebytes(dir.file(name), wavbytes(*s)));
        }
        script.answer(dir.file(name));
        dlg->ctl(c).browse->click();
    }
    // Which of the dialog's buttons and channel controls are enabled, as a short text.
    std::string enabled()
    {
        std::string t;
        for (const char* b : {"preview", "mix", "stop", "play", "effects", "help", "reset", "close"})
            if (dlg->button(b)->isEnabled()) t += std::string(b) + " ";
        for (QCheckBox* b : {dlg->fxbox(), dlg->trimbox(), dlg->normbox()})
            if (b->isEnabled()) t += "box ";
        const Caumixer::Chanctl& k = dlg->ctl(1);
        if (k.browse->isEnabled() && k.clear->isEnabled() && k.offset->isEnabled() && k.up->isEnabled()) t += "files ";
        if (k.vol->isEnabled() && k.pan->isEnabled()) t += "sliders";
        return t;
    }
    void type(QLineEdit* e, const QString& text)
    {
        e->selectAll();
        QTest::keyClicks(e, text);
        QTest::keyClick(e, Qt::Key_Return);
    }
};

const Samples& tone(int frames)
{
    static Samples s;
    s = ::frames(frames, [](int i, int side) { return side ? 1200 + i % 500 : -900 - i % 700; });
    return s;
}

}  // namespace

TEST_F(Aumixer, StartsNotReadyWithDefaults)
{
    EXPECT_EQ(dlg->windowTitle(), "Cantorix - Audio Mixer");
    EXPECT_EQ(dlg->engine().state, Cmixeng::notready);
    EXPECT_EQ(enabled(), "effects help reset close files sliders");
    EXPECT_FALSE(dlg->fxbox()->isChecked());
    EXPECT_TRUE(dlg->trimbox()->isChecked());
    EXPECT_TRUE(dlg->normbox()->isChecked());
    EXPECT_EQ(dlg->ctl(0).vol->value(), 10);
    EXPECT_EQ(dlg->ctl(1).vol->value(), 0);
    EXPECT_EQ(dlg->ctl(0).vol->maximum(), 20);
    EXPECT_EQ(dlg->ctl(3).pan->value(), 5);
    EXPECT_EQ(dlg->ctl(3).pan->maximum(), 10);
    EXPECT_EQ(dlg->ctl(2).offset->text(), "0.00");
    EXPECT_TRUE(shot(dlg.get(), "aumixer-empty"));
}

TEST_F(Aumixer, BrowsingChoosesFilesAndRebalances)
{
    pick(0, "out.wav");
    ASSERT_EQ(script.requests().size(), 1u);
    EXPECT_EQ(script.last().kind, "save");
    EXPECT_EQ(script.last().req.filter, "WAVE Files (*.wav)|*.wav|All Files (*.*)|*.*||");
    EXPECT_EQ(script.last().req.defext, "wav");
    EXPECT_EQ(dlg->ctl(0).name->text(), "out.wav");
    EXPECT_EQ(dlg->engine().state, Cmixeng::notready);

    pick(1, "a.wav", &tone(100));
    EXPECT_EQ(script.last().kind, "open");
    EXPECT_EQ(dlg->engine().state, Cmixeng::ready);
    EXPECT_EQ(dlg->ctl(1).vol->value(), 20);
    EXPECT_EQ(enabled(), "preview mix effects help reset close box box box files sliders");   // no output file yet

    pick(2, "b.WAV", &tone(100));
    EXPECT_EQ(dlg->ctl(1).vol->value(), 10);
    EXPECT_EQ(dlg->ctl(2).vol->value(), 10);
    pick(3, "c.wav", &tone(100));
    for (int c = 1; c <= 3; ++c) EXPECT_EQ(dlg->ctl(c).vol->value(), 6);

    // A file that is not a WAVE file is refused; the channel keeps nothing.
    pick(4, "song.mp3");
    EXPECT_EQ(boxes.last().caption, "Invalid file type");
    EXPECT_EQ(boxes.last().owner, dlg.get());
    EXPECT_EQ(dlg->ctl(4).name->text(), "");
    script.cancel();
    dlg->ctl(4).browse->click();
    EXPECT_EQ(dlg->engine().chan[4].file, nullptr);
    EXPECT_TRUE(shot(dlg.get(), "aumixer-ready"));

    dlg->ctl(2).clear->click();
    EXPECT_EQ(dlg->ctl(2).name->text(), "");
    EXPECT_EQ(dlg->ctl(2).vol->value(), 0);
    EXPECT_EQ(dlg->ctl(1).vol->value(), 10);
    dlg->ctl(0).clear->click();
    EXPECT_EQ(dlg->engine().state, Cmixeng::notready);
    EXPECT_FALSE(dlg->button("mix")->isEnabled());
}

TEST_F(Aumixer, OffsetsTypedAndSpun)
{
    QLineEdit* e = dlg->ctl(1).offset;
    const struct { const char* typed; const char* shown; double usec; } cases[] = {
        {"1:30", "1:30.00", 90e6}, {"75.5", "1:15.50", 75.5e6}, {"5", "5.00", 5e6},
        {"-2.5", "-2.50", -2.5e6}, {"9000", "100:0.00", 6000e6}, {"nonsense", "100:0.00", 6000e6},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.typed);
        type(e, k.typed);
        EXPECT_EQ(e->text(), k.shown);
        EXPECT_EQ(dlg->engine().chan[1].offset, k.usec);
    }
    type(e, "0");
    dlg->ctl(1).up->click();
    dlg->ctl(1).up->click();
    EXPECT_EQ(e->text(), "0.02");
    for (int i = 0; i < 3; ++i) dlg->ctl(1).down->click();
    EXPECT_EQ(e->text(), "-0.01");

    // The separator never goes below 0.
    QLineEdit* sep = dlg->ctl(0).offset;
    dlg->ctl(0).down->click();
    EXPECT_EQ(sep->text(), "0.00");
    type(sep, "-4");
    EXPECT_EQ(sep->text(), "0.00");
    type(sep, "2");
    EXPECT_EQ(dlg->engine().chan[0].offset, 2e6);
}

TEST_F(Aumixer, MixRunsOnTheTimerAndStopKeepsWhatWasMixed)
{
    const Samples s = tone(30 * 44100);
    pick(0, "out.wav");
    pick(1, "long.wav", &s);
    dlg->trimbox()->setChecked(false);
    dlg->normbox()->setChecked(false);
    dlg->button("mix")->click();
    EXPECT_EQ(dlg->engine().state, Cmixeng::mixing);
    EXPECT_TRUE(dlg->timer()->isActive());
    EXPECT_EQ(dlg->timer()->interval(), 20);
    EXPECT_EQ(enabled(), "stop close ");
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->engine().position >= 3e6; }, 5000));
    EXPECT_TRUE(dlg->status()->text().endsWith(" / 00:30"));
    EXPECT_TRUE(shot(dlg.get(), "aumixer-mixing"));
    dlg->button("stop")->click();
    EXPECT_FALSE(dlg->timer()->isActive());
    EXPECT_EQ(dlg->engine().state, Cmixeng::ready);
    EXPECT_EQ(dlg->status()->text(), "");
    EXPECT_EQ(dlg->progress()->value(), 0);
    const Samples out = wavsamples(readbytes(dir.file("out.wav")));
    ASSERT_GE(out.size(), size_t(3 * 88200));
    EXPECT_LT(out.size(), s.size());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), s.begin()));
    EXPECT_EQ(enabled(), "preview mix play effects help reset close box box box files sliders");
}

TEST_F(Aumixer, MixToTheEndThenReset)
{
    const Samples s = tone(2 * 44100 + 7);
    pick(0, "out.wav");
    pick(1, "a.wav", &s);
    pick(2, "b.wav", &s);
    dlg->ctl(1).vol->setValue(20);
    dlg->ctl(2).vol->setValue(0);
    dlg->ctl(0).pan->setValue(10);   // left muted
    dlg->normbox()->setChecked(false);
    dlg->button("mix")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->engine().state == Cmixeng::ready; }, 5000));
    const Samples out = wavsamples(readbytes(dir.file("out.wav")));
    ASSERT_EQ(out.size(), s.size());
    for (size_t i = 0; i < s.size(); i += 2) {
        ASSERT_EQ(out[i], 0) << i;
        ASSERT_EQ(out[i + 1], s[i + 1]) << i;
    }
    EXPECT_TRUE(dlg->button("play")->isEnabled());
    EXPECT_TRUE(boxes.empty());

    dlg->fxbox()->setChecked(true);
    type(dlg->ctl(1).offset, "3");
    dlg->button("reset")->click();
    EXPECT_EQ(dlg->engine().state, Cmixeng::notready);
    for (int c = 0; c < Cmixeng::NCHAN; ++c) {
        EXPECT_EQ(dlg->ctl(c).name->text(), "");
        EXPECT_EQ(dlg->ctl(c).offset->text(), "0.00");
        EXPECT_EQ(dlg->ctl(c).vol->value(), c == 0 ? 10 : 0);
        EXPECT_EQ(dlg->ctl(c).pan->value(), 5);
    }
    EXPECT_FALSE(dlg->fxbox()->isChecked());
    EXPECT_TRUE(dlg->trimbox()->isChecked());
    EXPECT_TRUE(dlg->normbox()->isChecked());
}

TEST_F(Aumixer, FailuresKeepTheStateAndNameTheFile)
{
    pick(0, "out.wav");
    ASSERT_TRUE(writebytes(dir.file("bad.wav"), Bytes(20, 'x')));
    pick(1, "bad.wav");
    dlg->button("mix")->click();
    EXPECT_EQ(dlg->engine().state, Cmixeng::ready);
    EXPECT_EQ(boxes.last().text, "The WAVE file bad.wav appears to be corrupt\nPlease select another WAVE file and try again");
    EXPECT_EQ(boxes.last().owner, dlg.get());
    EXPECT_FALSE(dlg->timer()->isActive());
    EXPECT_FALSE(dlg->button("play")->isEnabled());
}

TEST_F(Aumixer, EffectsAndMainWindow)
{
    QString title;
    onmodal<Ceffdialog>([&](Ceffdialog* d) {
        title = d->windowTitle();
        d->reject();
    });
    dlg->button("effects")->click();
    EXPECT_EQ(title, "Cantorix - Sound Effects");

    Cmainwin win(ctx);
    win.show();
    ASSERT_TRUE(win.action(ID_AUMIXER)->isEnabled());
    bool opened = false;
    onmodal<Caumixer>([&](Caumixer* d) {
        opened = d->windowTitle() == "Cantorix - Audio Mixer" && win.opentool() == d;
        d->button("close")->click();
    });
    win.action(ID_AUMIXER)->trigger();
    EXPECT_TRUE(opened);
}
