#include "app/Cpropdialog.h"

#include "app/Fixtures.h"
#include "app/Guitest.h"
#include "support/Boxes.h"

#include <gtest/gtest.h>

namespace {

const Cpropdialog::Field ALL[] = {
    Cpropdialog::MIDIFILE, Cpropdialog::MIDILEN, Cpropdialog::COPYRIGHT, Cpropdialog::WAVEFILE,
    Cpropdialog::WAVELEN, Cpropdialog::WAVEFMT, Cpropdialog::FILETYPE, Cpropdialog::VERSION,
    Cpropdialog::INFO, Cpropdialog::LANGUAGE, Cpropdialog::TITLE1, Cpropdialog::TITLE2, Cpropdialog::TITLE3};

}

TEST(Cpropdialog, EmptyWithNeitherFile)
{
    Ccontext ctx;
    Cpropdialog dlg(ctx);
    EXPECT_EQ(dlg.windowTitle(), "Cantorix - File Properties");
    for (auto f : ALL) EXPECT_EQ(dlg.text(f), "") << f;
}

TEST(Cpropdialog, WaveMissingOnDiskShowsNoWaveFields)
{
    Tempdir dir;
    Ccontext ctx;
    ctx.haswave = true;
    ctx.wavepath = dir.file("gone.wav");
    ctx.wavetitle = "gone.wav";
    Boxes boxes;
    Cpropdialog dlg(ctx);
    EXPECT_EQ(dlg.text(Cpropdialog::WAVEFILE), "");
    EXPECT_EQ(dlg.text(Cpropdialog::WAVELEN), "");
    EXPECT_EQ(dlg.text(Cpropdialog::WAVEFMT), "");
    EXPECT_TRUE(boxes.empty());
}

TEST(Cpropdialog, MinutesAndSeconds)
{
    EXPECT_EQ(Cpropdialog::minsec(0), "00:00");
    EXPECT_EQ(Cpropdialog::minsec(59), "00:59");
    EXPECT_EQ(Cpropdialog::minsec(61), "01:01");
    EXPECT_EQ(Cpropdialog::minsec(6000), "100:00");
}
