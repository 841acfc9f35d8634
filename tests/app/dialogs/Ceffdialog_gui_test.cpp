#include "app/dialogs/Ceffdialog.h"

#include "app/Guitest.h"
#include "platform/Cshell.h"

#include <QPushButton>
#include <QSlider>
#include <gtest/gtest.h>

namespace {

using Fx = Ceffdialog::Fx;

// Opens the dialog on s, sets one slider to p and presses OK.
void setandok(Csettings& s, Fx fx, int p)
{
    Ceffdialog dlg(s);
    dlg.slider(fx)->setValue(p);
    dlg.accept();
}

int reopened(Csettings& s, Fx fx)
{
    Ceffdialog dlg(s);
    return dlg.slider(fx)->value();
}

}

TEST(Ceffdialog, FreshOkOnlyMovesTheDelayTime)
{
    Csettings s;
    {
        Ceffdialog dlg(s);
        EXPECT_EQ(dlg.windowTitle(), "Cantorix - Sound Effects");
        EXPECT_EQ(dlg.slider(Ceffdialog::delaytime)->value(), 9);   // 20 ms sits nearest to 22 ms
        EXPECT_TRUE(shot(&dlg, "effects"));
        dlg.resize(dlg.width() + 300, dlg.height() + 150);
        EXPECT_TRUE(shot(&dlg, "effects_resized"));
        dlg.accept();
    }
    EXPECT_EQ(Csettings::get(s.delayms), 22);
    EXPECT_FLOAT_EQ(Csettings::get(s.roomsize), 0.5f);
    EXPECT_EQ(Csettings::get(s.damping), 50);
    EXPECT_FLOAT_EQ(Csettings::get(s.reverbamt), 0.0f);
    EXPECT_FLOAT_EQ(Csettings::get(s.chorusamt), 0.0f);
    EXPECT_EQ(Csettings::get(s.mastervoldb), 0);
    EXPECT_EQ(Csettings::get(s.complevel), 8);
    EXPECT_EQ(Csettings::get(s.delaymodms), 0);
    EXPECT_FLOAT_EQ(Csettings::get(s.delayfb), 0.0f);
    EXPECT_FLOAT_EQ(Csettings::get(s.delayamt), 0.5f);
    EXPECT_EQ(Csettings::get(s.spreadms), 8);
}

TEST(Ceffdialog, SliderRangesAndEnds)
{
    Csettings s;
    Ceffdialog dlg(s);
    const int max[] = {10, 10, 10, 10, 20, 20, 20, 20, 9, 20, 10};
    for (int fx = 0; fx < Ceffdialog::COUNT; ++fx) {
        EXPECT_EQ(dlg.slider(Fx(fx))->minimum(), 0);
        EXPECT_EQ(dlg.slider(Fx(fx))->maximum(), max[fx]) << fx;
    }
}

TEST(Ceffdialog, IntegerSlidersStoreTheirValues)
{
    struct Case { Fx fx; int pos; std::atomic<int> Csettings::*field; int stored; };
    const Case cases[] = {
        {Ceffdialog::mastervol, 0, &Csettings::mastervoldb, -20},
        {Ceffdialog::mastervol, 20, &Csettings::mastervoldb, 20},
        {Ceffdialog::mastervol, 7, &Csettings::mastervoldb, -6},
        {Ceffdialog::damping, 3, &Csettings::damping, 30},
        {Ceffdialog::complevel, 0, &Csettings::complevel, 0},
        {Ceffdialog::delaymod, 20, &Csettings::delaymodms, 20},
        {Ceffdialog::spread, 20, &Csettings::spreadms, 40},
        {Ceffdialog::spread, 1, &Csettings::spreadms, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fx << " at " << c.pos);
        Csettings s;
        setandok(s, c.fx, c.pos);
        EXPECT_EQ(Csettings::get(s.*c.field), c.stored);
        EXPECT_EQ(reopened(s, c.fx), c.pos);
    }
}

TEST(Ceffdialog, FloatSlidersRoundTripWithoutDrift)
{
    struct Case { Fx fx; int pos; std::atomic<float> Csettings::*field; float stored; };
    const Case cases[] = {
        {Ceffdialog::roomsize, 7, &Csettings::roomsize, 0.7f},
        {Ceffdialog::roomsize, 0, &Csettings::roomsize, 0.0f},
        {Ceffdialog::reverbamt, 0, &Csettings::reverbamt, -1.0f},
        {Ceffdialog::reverbamt, 3, &Csettings::reverbamt, -0.4f},
        {Ceffdialog::reverbamt, 10, &Csettings::reverbamt, 1.0f},
        {Ceffdialog::chorusamt, 2, &Csettings::chorusamt, -0.6f},
        {Ceffdialog::chorusamt, 9, &Csettings::chorusamt, 0.8f},
        {Ceffdialog::feedback, 9, &Csettings::delayfb, 0.9f},
        {Ceffdialog::feedback, 3, &Csettings::delayfb, 0.3f},
        {Ceffdialog::delayamt, 10, &Csettings::delayamt, 1.0f},
        {Ceffdialog::delayamt, 1, &Csettings::delayamt, 0.1f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fx << " at " << c.pos);
        Csettings s;
        setandok(s, c.fx, c.pos);
        EXPECT_NEAR(Csettings::get(s.*c.field), c.stored, 1e-6);
        // Several OK rounds keep the position: no drift from float rounding.
        for (int round = 0; round < 3; ++round) {
            EXPECT_EQ(reopened(s, c.fx), c.pos);
            setandok(s, c.fx, reopened(s, c.fx));
        }
    }
}

TEST(Ceffdialog, DelayTimeScale)
{
    const int ms[21] = {1, 1, 2, 3, 4, 6, 8, 11, 16, 22, 32, 45, 63, 89, 126, 178, 251, 355, 501, 708, 1000};
    for (int p = 0; p <= 20; ++p) {
        SCOPED_TRACE(p);
        Csettings s;
        setandok(s, Ceffdialog::delaytime, p);
        EXPECT_EQ(Csettings::get(s.delayms), ms[p]);
        // Position 1 stores 1 ms, which shows at position 0 next time.
        EXPECT_EQ(reopened(s, Ceffdialog::delaytime), p == 1 ? 0 : p);
    }
    EXPECT_EQ(Ceffdialog::delaypos(0), 0);   // out of range values still land on the slider
    EXPECT_EQ(Ceffdialog::delaypos(5000), 25);
}

TEST(Ceffdialog, DefaultsWriteAtOnceAndSurviveCancel)
{
    Csettings s;
    for (int fx = 0; fx < Ceffdialog::COUNT; ++fx) Ceffdialog::store(s, Fx(fx), 0);
    const int positions[] = {5, 5, 5, 5, 10, 8, 9, 0, 0, 4, 5};
    {
        Ceffdialog dlg(s);
        dlg.findChild<QPushButton*>("defaults")->click();
        for (int fx = 0; fx < Ceffdialog::COUNT; ++fx) EXPECT_EQ(dlg.slider(Fx(fx))->value(), positions[fx]) << fx;
        dlg.reject();
    }
    EXPECT_EQ(Csettings::get(s.delayms), 20);
    EXPECT_EQ(Csettings::get(s.mastervoldb), 0);
    EXPECT_FLOAT_EQ(Csettings::get(s.roomsize), 0.5f);
    EXPECT_EQ(Csettings::get(s.spreadms), 8);
}

TEST(Ceffdialog, CancelStoresNothingAndHelpOpensMainPage)
{
    Csettings s;
    s.progdir = "/opt/cantorix";
    Cscriptshell script;
    Ceffdialog dlg(s);
    dlg.slider(Ceffdialog::mastervol)->setValue(20);
    dlg.findChild<QPushButton*>("help")->click();
    dlg.reject();
    EXPECT_EQ(Csettings::get(s.mastervoldb), 0);
    ASSERT_EQ(script.requests().size(), 1u);
    EXPECT_EQ(script.last().text, "Hlpmain.htm");
    EXPECT_EQ(script.last().dir, "/opt/cantorix");
}
