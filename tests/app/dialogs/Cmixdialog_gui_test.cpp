#include "app/dialogs/Cmixdialog.h"

#include "app/Cmainwin.h"
#include "app/Fixtures.h"
#include "app/Guitest.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <gtest/gtest.h>

TEST(Cmixdialog, ShowsTableAndStoresOnOk)
{
    Cmixtab mix;
    mix[0].names = "Acoustic Grand Piano";
    mix.setgain(2, 250);
    mix.setgain(3, -250);
    mix.setgain(4, -120);   // between positions: shown toward zero
    mix.setmute(7, true);
    Cmixdialog dlg(mix);
    EXPECT_EQ(dlg.windowTitle(), "Cantorix - Midi Mixer");
    EXPECT_EQ(dlg.names(0)->text(), "Acoustic Grand Piano");
    EXPECT_EQ(dlg.names(1)->text(), "");
    EXPECT_EQ(dlg.gain(2)->value(), 0);     // top
    EXPECT_EQ(dlg.gain(3)->value(), 10);    // bottom
    EXPECT_EQ(dlg.gain(4)->value(), 7);
    EXPECT_EQ(dlg.gain(0)->value(), 5);
    EXPECT_TRUE(dlg.mute(7)->isChecked());
    EXPECT_TRUE(shot(&dlg, "midimixer"));
    dlg.resize(dlg.width() + 200, dlg.height() + 200);
    EXPECT_TRUE(shot(&dlg, "midimixer_resized"));

    const std::pair<int, int> posgain[] = {{0, 250}, {1, 200}, {5, 0}, {9, -200}, {10, -250}};
    for (int k = 0; k < 5; ++k) dlg.gain(k)->setValue(posgain[k].first);
    dlg.mute(7)->setChecked(false);
    dlg.mute(15)->setChecked(true);
    dlg.accept();
    for (int k = 0; k < 5; ++k) EXPECT_EQ(mix.gain(k), posgain[k].second) << k;
    EXPECT_FALSE(mix.muted(7));
    EXPECT_TRUE(mix.muted(15));
}

TEST(Cmixdialog, SoloWritesAtOnceAndSurvivesCancel)
{
    Cmixtab mix;
    mix.setgain(0, 100);
    {
        Cmixdialog dlg(mix);
        dlg.gain(0)->setValue(10);   // not stored: Cancel follows
        dlg.solo(9)->click();
        for (int ch = 0; ch < 16; ++ch) EXPECT_EQ(dlg.mute(ch)->isChecked(), ch != 9) << ch;
        dlg.solo(2)->click();        // another Solo moves the one open channel
        EXPECT_TRUE(dlg.mute(9)->isChecked());
        EXPECT_FALSE(dlg.mute(2)->isChecked());
        dlg.solo(9)->click();
        dlg.reject();
    }
    for (int ch = 0; ch < 16; ++ch) EXPECT_EQ(mix.muted(ch), ch != 9) << ch;
    EXPECT_EQ(mix.gain(0), 100);
}

TEST(Cmixdialog, ResetWritesAtOnceAndShowsZero)
{
    Cmixtab mix;
    for (int ch = 0; ch < 16; ++ch) {
        mix.setgain(ch, 50 * (ch % 5));
        mix.setmute(ch, ch % 2);
    }
    Cmixdialog dlg(mix);
    dlg.resetbutton()->click();
    for (int ch = 0; ch < 16; ++ch) {
        EXPECT_EQ(dlg.gain(ch)->value(), 5);
        EXPECT_FALSE(dlg.mute(ch)->isChecked());
        EXPECT_EQ(mix.gain(ch), 0);
        EXPECT_FALSE(mix.muted(ch));
    }
    dlg.reject();
    EXPECT_EQ(mix.gain(4), 0);
}

TEST(Cmixdialog, OpenedFromMainWindowShowsTheNewFilesNames)
{
    Tempdir dir;
    Ccontext ctx;
    Cmainwin win(ctx);
    writebytes(dir.file("a.mid"), midifile({0x00, 0xC0, 0x00, 0x00, 0x90, 60, 100, 0x60, 0x80, 60, 0}));
    writebytes(dir.file("b.mid"), midifile({0x00, 0xC3, 56, 0x00, 0x93, 60, 100, 0x60, 0x83, 60, 0}));
    win.loadmidi(dir.file("a.mid"), "a.mid");
    ctx.mixer.setgain(0, -250);
    win.loadmidi(dir.file("b.mid"), "b.mid");
    QString names0, names3;
    int pos0 = -1;
    onmodal<Cmixdialog>([&](Cmixdialog* d) {
        names0 = d->names(0)->text();
        names3 = d->names(3)->text();
        pos0 = d->gain(0)->value();
        d->reject();
    });
    win.command(ID_MIDIMIXER);
    EXPECT_EQ(names0, "");
    EXPECT_EQ(names3, "Trumpet");
    EXPECT_EQ(pos0, 5);
}
