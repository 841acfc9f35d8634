#include "bank/Csf2writer.h"

#include "bank/Bankmaker.h"
#include "bank/Ccompsf.h"
#include "support/Boxes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

TEST(Csf2writer, PackedAndUnpackedBankKeepsRecordsAndPoints)
{
    Tempdir dir;
    writebytes(dir.file("a.sf2"), tinybank().assemble());
    Csf2file a(dir.file("a.sf2"));
    Caudio audio;
    ASSERT_TRUE(a.rdfile() && Cpacker::rdaudio(a, audio));
    ASSERT_TRUE(Cpacker::wrfile(a, audio, dir.file("b.csf")));
    Ccompsf b(dir.file("b.csf"));
    Caudio baudio;
    ASSERT_TRUE(b.rdfile() && Cpacker::rdaudio(b, baudio));
    EXPECT_EQ(baudio, audio);
    ASSERT_TRUE(Csf2writer::wrfile(b, baudio, dir.file("c.sf2"), "b.csf"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3);   // a.sf2 b.csf c.sf2

    Csf2file c(dir.file("c.sf2"));
    Caudio caudio;
    Boxes boxes;
    ASSERT_TRUE(c.rdfile() && Cpacker::rdaudio(c, caudio));
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(caudio, audio);
    ASSERT_EQ(c.shdrs.size(), a.shdrs.size());
    for (size_t i = 0; i < a.shdrs.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(std::memcmp(c.shdrs[i].name, a.shdrs[i].name, 20), 0);
        EXPECT_EQ(c.shdrs[i].loopstart, a.shdrs[i].loopstart);
        EXPECT_EQ(c.shdrs[i].loopend, a.shdrs[i].loopend);
        EXPECT_EQ(c.shdrs[i].rate, a.shdrs[i].rate);
        EXPECT_EQ(c.shdrs[i].correction, a.shdrs[i].correction);
    }
    ASSERT_EQ(c.pgens.size(), a.pgens.size());
    for (size_t i = 0; i < a.pgens.size(); ++i) EXPECT_EQ(c.pgens[i].amount, a.pgens[i].amount);
    ASSERT_EQ(c.ibags.size(), a.ibags.size());
    EXPECT_EQ(c.ibags[1].genindex, a.ibags[1].genindex);
    // Each sample is followed by 46 zero bytes, and the file is a whole RIFF form.
    const Bytes bytes = readbytes(dir.file("c.sf2"));
    EXPECT_EQ(uint32_t(bytes[4] | bytes[5] << 8 | bytes[6] << 16 | bytes[7] << 24), bytes.size() - 8);
    const int64_t after = c.shdrs[0].offset + 2 * int64_t(c.shdrs[0].length);
    for (int64_t i = 0; i < 46; ++i) EXPECT_EQ(bytes[size_t(after + i)], 0);
}

TEST(Csf2writer, UnwritablePathFailsWithoutLeavingFiles)
{
    Tempdir dir;
    writebytes(dir.file("a.sf2"), tinybank().assemble());
    Csf2file a(dir.file("a.sf2"));
    Caudio audio;
    ASSERT_TRUE(a.rdfile() && Cpacker::rdaudio(a, audio));
    EXPECT_FALSE(Csf2writer::wrfile(a, audio, dir.file("missing/c.sf2"), "x"));
    EXPECT_FALSE(Cpacker::wrfile(a, audio, dir.file("missing/c.csf")));
}
