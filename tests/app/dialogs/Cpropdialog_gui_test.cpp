#include "app/dialogs/Cpropdialog.h"

#include "app/Fixtures.h"
#include "app/Guitest.h"
#include "support/Boxes.h"

#include <gtest/gtest.h>

namespace {

using F = Cpropdialog;

const F::Field ALL[] = {F::MIDIFILE, F::MIDILEN, F::COPYRIGHT, F::WAVEFILE, F::WAVELEN, F::WAVEFMT,
                        F::FILETYPE, F::VERSION, F::INFO, F::LANGUAGE, F::TITLE1, F::TITLE2, F::TITLE3};

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Tempo 500000 us per quarter note, then a note that ends 7200 ticks (75 quarters) later.
Bytes timed()
{
    return {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x00, 0x90, 60, 100, 0xB8, 0x20, 0x80, 60, 0};
}

void loadmidi(Ccontext& ctx, const Tempdir& dir, const Bytes& bytes)
{
    ctx.midipath = dir.file("song.kar");
    ASSERT_TRUE(writebytes(ctx.midipath, bytes));
    ASSERT_TRUE(::loadmidi(ctx.midi, ctx.midipath, ctx.mixer));
}

}

TEST(Cpropdialog, EmptyWithNeitherFile)
{
    Ccontext ctx;
    Cpropdialog dlg(ctx);
    EXPECT_EQ(dlg.windowTitle(), "Cantorix - File Properties");
    for (auto f : ALL) EXPECT_EQ(dlg.text(f), "") << f;
}

TEST(Cpropdialog, KaraokeTagsTitlesAndLength)
{
    Tempdir dir;
    Ccontext ctx;
    loadmidi(ctx, dir, midifile(cat({metatext(2, "(c) first"), metatext(1, "@KMIDI KARAOKE FILE"),
                                     metatext(1, "@LENGL"), metatext(1, "@TGreensleeves"), metatext(1, "@X ignored"),
                                     metatext(1, "@TTraditional"), metatext(1, "@VVersion 1"), metatext(2, "(c) last"),
                                     metatext(5, "A lyric long enough"), timed()})));
    Cpropdialog dlg(ctx);
    EXPECT_EQ(dlg.text(F::MIDIFILE).toStdString(), ctx.midipath);
    EXPECT_EQ(dlg.text(F::MIDILEN), "00:37");
    EXPECT_EQ(dlg.text(F::COPYRIGHT), "(c) last");
    EXPECT_EQ(dlg.text(F::FILETYPE), "MIDI KARAOKE FILE");
    EXPECT_EQ(dlg.text(F::VERSION), "Version 1");
    EXPECT_EQ(dlg.text(F::INFO), "");
    EXPECT_EQ(dlg.text(F::LANGUAGE), "ENGL");
    EXPECT_EQ(dlg.text(F::TITLE1), "Greensleeves");
    EXPECT_EQ(dlg.text(F::TITLE2), "Traditional");
    EXPECT_EQ(dlg.text(F::TITLE3), "");
    EXPECT_EQ(dlg.text(F::WAVEFILE), "");
    EXPECT_TRUE(shot(&dlg, "properties"));
    dlg.resize(dlg.width() + 250, dlg.height() + 100);
    EXPECT_TRUE(shot(&dlg, "properties_resized"));
}

TEST(Cpropdialog, LyricLinesStandInForMissingTitles)
{
    Tempdir dir;
    Ccontext ctx;
    loadmidi(ctx, dir, midifile(cat({metatext(5, "short"), metatext(5, "First line"), metatext(5, "Second line"),
                                     metatext(5, "exactly8"), metatext(5, "Fourth line"), pianonote()})));
    Cpropdialog dlg(ctx);
    EXPECT_EQ(dlg.text(F::TITLE1), "First line");
    EXPECT_EQ(dlg.text(F::TITLE2), "Second line");
    EXPECT_EQ(dlg.text(F::TITLE3), "exactly8");
    EXPECT_EQ(dlg.text(F::MIDILEN), "00:01");   // one quarter note at 1,000,000 us
}

TEST(Cpropdialog, WaveFormatLines)
{
    struct Case { uint16_t channels; uint32_t rate; uint32_t frames; const char* len; const char* fmt; size_t boxes; };
    const Case cases[] = {
        {2, 44100, 44100 * 61, "01:01", "PCM, 44100 Sps, 16 bits, Stereo", 0},
        // The reader takes only stereo files: its box shows, the length stays 00:00.
        {1, 22050, 22050 * 3, "00:00", "PCM, 22050 Sps, 16 bits, Mono", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fmt);
        Tempdir dir;
        Ccontext ctx;
        ctx.wavepath = dir.file("take.wav");
        ASSERT_TRUE(writebytes(ctx.wavepath, wavefile(c.channels, c.rate, c.frames)));
        ctx.wave = std::make_unique<Cwavfil>(ctx.wavepath);
        Boxes boxes;
        Cpropdialog dlg(ctx);
        EXPECT_EQ(dlg.text(F::WAVEFILE).toStdString(), ctx.wavepath);
        EXPECT_EQ(dlg.text(F::WAVELEN), c.len);
        EXPECT_EQ(dlg.text(F::WAVEFMT), c.fmt);
        EXPECT_EQ(boxes.count(), c.boxes);
        if (c.boxes) {
            EXPECT_EQ(boxes.last().caption, "Error!");
        }
        EXPECT_EQ(dlg.text(F::MIDIFILE), "");
    }
}

TEST(Cpropdialog, WaveMissingOnDiskShowsNoWaveFields)
{
    Tempdir dir;
    Ccontext ctx;
    ctx.wavepath = dir.file("gone.wav");
    ctx.wave = std::make_unique<Cwavfil>(ctx.wavepath);
    Boxes boxes;
    Cpropdialog dlg(ctx);
    EXPECT_EQ(dlg.text(F::WAVEFILE), "");
    EXPECT_EQ(dlg.text(F::WAVELEN), "");
    EXPECT_EQ(dlg.text(F::WAVEFMT), "");
    EXPECT_TRUE(boxes.empty());
}

TEST(Cpropdialog, MinutesAndSeconds)
{
    const std::pair<double, const char*> cases[] = {
        {0, "00:00"}, {59.99, "00:59"}, {61, "01:01"}, {6000, "100:00"}, {-3, "00:00"}, {1e300, "00:00"}};
    for (auto [sec, text] : cases) EXPECT_EQ(Cpropdialog::minsec(sec), text) << sec;
}
