#include "midi/Cmixtab.h"
#include "midi/Cmidfil.h"
#include "support/Boxes.h"
#include "tests/midi/Midbytes.h"
#include "tests/midi/Midfixture.h"

#include <gtest/gtest.h>

namespace {

TEST(Cmixtab, NamesChannelsFromProgramChanges)
{
    // Channel 1: 40, 41, 40 -> Violin/Viola. Channel 10: any program -> Percussion.
    // Channel 3: Piano then Bright Piano: "Acoustic Grand Piano" is no substring of the second.
    // Channel 4: Slap Bass 1 is a substring of nothing else, Bass 2 is added once.
    const Bytes bytes = Midbytes()
                            .track({0x00, 0xC0, 40, 0x00, 0xC0, 41, 0x00, 0xC9, 5, 0x00, 0xC2, 0, 0x00, 0xC3, 36})
                            .track({0x00, 0xC0, 40, 0x00, 0xC9, 0, 0x00, 0xC2, 1, 0x00, 0xC3, 37, 0x00, 0xC3, 37,
                                    0x00, 0x95, 60, 100})
                            .bytes();
    Cmixtab tab;
    Midfixture fx;
    ASSERT_TRUE(fx.read(bytes));
    tab.name(*fx.file);
    const std::string expect[16] = {"Violin/Viola", "", "Acoustic Grand Piano/Bright Acoustic Piano",
                                    "Slap Bass 1/Slap Bass 2", "", "", "", "", "", "Percussion"};
    for (int ch = 0; ch < 16; ++ch) EXPECT_EQ(tab[ch].names, expect[ch]) << ch;
    EXPECT_STREQ(Cmixtab::progname(0), "Acoustic Grand Piano");
    EXPECT_STREQ(Cmixtab::progname(110), "Fidle");
    EXPECT_STREQ(Cmixtab::progname(127), "Gunshot");
}

TEST(Cmixtab, ClearResetsEveryRecordAndGainIsClamped)
{
    Cmixtab tab;
    for (int ch = 0; ch < 16; ++ch) {
        tab[ch].names = "x";
        tab.setgain(ch, ch * 40 - 300);
        tab.setmute(ch, true);
    }
    EXPECT_EQ(tab.gain(0), -250);
    EXPECT_EQ(tab.gain(1), -250);
    EXPECT_EQ(tab.gain(8), 20);
    EXPECT_EQ(tab.gain(15), 250);
    tab.clear();
    for (int ch = 0; ch < 16; ++ch) {
        EXPECT_TRUE(tab[ch].names.empty());
        EXPECT_EQ(tab.gain(ch), 0);
        EXPECT_FALSE(tab.muted(ch));
    }
}

TEST(Cmixtab, LoaderReplacesTheFileAndResetsTheTable)
{
    Tempdir dir;
    const std::string good = dir.file("a.mid"), bad = dir.file("b.mid");
    writebytes(good, Midbytes().track({0x00, 0xC4, 73}).bytes());
    writebytes(bad, Midbytes().track({0x00, 0x44}).bytes());
    Cmixtab tab;
    std::unique_ptr<Cmidfil> current;
    {
        Boxes boxes;
        ASSERT_TRUE(loadmidi(current, good, tab));
        EXPECT_TRUE(boxes.empty());
    }
    EXPECT_EQ(tab[4].names, "Flute");
    tab.setgain(4, 120);
    tab.setmute(2, true);

    // A second load that fails still leaves every channel at 0 dB and unmuted, with no file.
    Boxes boxes;
    EXPECT_FALSE(loadmidi(current, bad, tab));
    EXPECT_EQ(current, nullptr);
    EXPECT_EQ(boxes.texts(), (std::vector<std::string>{"Ctrack::rdmidi\nMissing running status",
                                                       "Cmidfil::rdmidi\nError while reading midi file"}));
    EXPECT_EQ(tab.gain(4), 0);
    EXPECT_FALSE(tab.muted(2));
    EXPECT_TRUE(tab[4].names.empty());

    // Deleting the current file clears the table it was named into.
    ASSERT_TRUE(loadmidi(current, good, tab));
    tab.setgain(1, -30);
    current.reset();
    EXPECT_EQ(tab.gain(1), 0);
    EXPECT_TRUE(tab[4].names.empty());
}

}  // namespace
