#include "bank/Ccompsf.h"

#include "bank/Bankmaker.h"
#include "bank/Cpacker.h"
#include "bank/Csf2writer.h"
#include "bank/Cstore.h"
#include "support/Boxes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

const char* const BADFORMAT = "Ccompsf::rdfile\nFatal error while reading SoundFont file\nInvalid SoundFont file format";
const char* const TOONEW = "Ccompsf::rdfile\nThis SoundFont can only be processed\nby a more recent version of the program";

// The tiny SoundFont packed by the project's writer, as bytes.
Bytes tinycsf()
{
    Tempdir dir;
    writebytes(dir.file("t.sf2"), tinybank().assemble());
    Csf2file src(dir.file("t.sf2"));
    Caudio audio;
    EXPECT_TRUE(src.rdfile() && Cpacker::rdaudio(src, audio));
    EXPECT_TRUE(Cpacker::wrfile(src, audio, dir.file("t.csf")));
    return readbytes(dir.file("t.csf"));
}

bool readcsf(const Bytes& bytes, Boxes& boxes)
{
    Tempdir dir;
    writebytes(dir.file("b.csf"), bytes);
    Ccompsf bank(dir.file("b.csf"));
    boxes.clear();
    const bool ok = bank.rdfile();
    EXPECT_EQ(bank.loaded, ok ? 1 : 0);
    if (ok) {
        // Every sample of a bank that loads can be requested without harm.
        Cstore store(1 << 24, nullptr);
        for (Sfshdr& s : bank.shdrs) EXPECT_NE(store.request(s), nullptr);
        store.clear();
    }
    return ok;
}

// Offsets in the (descrambled) body of tinycsf(): data chunk at 48, its length at 50.
uint64_t datalen(const Bytes& plain)
{
    uint64_t n = 0;
    for (int i = 0; i < 8; ++i) n |= uint64_t(plain[50 + i]) << (8 * i);
    return n;
}

}  // namespace

TEST(Ccompsf, ReadsWhatThePackerWrote)
{
    const Bytes bytes = tinycsf();
    if (const char* dir = std::getenv("CANTORIX_SEED_DIR")) {
        std::error_code ec;
        std::filesystem::create_directories(std::string(dir) + "/bank", ec);
        writebytes(std::string(dir) + "/bank/tiny.csf", bytes);
    }
    EXPECT_EQ(std::memcmp(bytes.data(), "VAVU", 4), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + 4, Cpacker::WRITER, std::strlen(Cpacker::WRITER)), 0);
    Tempdir dir;
    writebytes(dir.file("t.csf"), bytes);
    writebytes(dir.file("t.sf2"), tinybank().assemble());
    Ccompsf csf(dir.file("t.csf"));
    Csf2file sf2(dir.file("t.sf2"));
    Boxes boxes;
    ASSERT_TRUE(csf.rdfile());
    ASSERT_TRUE(sf2.rdfile());
    EXPECT_TRUE(boxes.empty());
    ASSERT_TRUE(csf.rdfile());   // reading again starts from empty lists
    ASSERT_EQ(csf.phdrs.size(), sf2.phdrs.size());
    for (size_t i = 0; i < sf2.phdrs.size(); ++i) {
        EXPECT_EQ(std::memcmp(csf.phdrs[i].name, sf2.phdrs[i].name, 20), 0);
        EXPECT_EQ(csf.phdrs[i].preset, sf2.phdrs[i].preset);
        EXPECT_EQ(csf.phdrs[i].bagindex, sf2.phdrs[i].bagindex);
    }
    ASSERT_EQ(csf.igens.size(), sf2.igens.size());
    EXPECT_EQ(std::memcmp(csf.igens.data(), sf2.igens.data(), 4 * sf2.igens.size()), 0);
    EXPECT_EQ(csf.insts.size(), sf2.insts.size());
    ASSERT_EQ(csf.shdrs.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const Sfshdr &a = csf.shdrs[i], &b = sf2.shdrs[i];
        EXPECT_STREQ(a.name, b.name);
        EXPECT_EQ(a.length, b.length);
        EXPECT_EQ(a.loopstart, b.loopstart);
        EXPECT_EQ(a.loopend, b.loopend);
        EXPECT_EQ(a.rate, b.rate);
        EXPECT_EQ(a.pitch, b.pitch);
        EXPECT_EQ(a.correction, b.correction);
        EXPECT_EQ(a.type, b.type);
        EXPECT_EQ(a.ptsload, b.length);
        EXPECT_GT(a.offset, csf.smploff - 1);
    }
}

TEST(Ccompsf, VersionLimit)
{
    Bytes bytes = tinycsf();
    for (uint8_t version : {0, 10, 11, 255}) {
        SCOPED_TRACE(int(version));
        bytes[47] = version;
        Boxes boxes;
        const bool ok = readcsf(bytes, boxes);
        EXPECT_EQ(ok, version <= 10);
        EXPECT_EQ(boxes.texts(), ok ? std::vector<std::string>{} : std::vector<std::string>{TOONEW});
    }
}

TEST(Ccompsf, MissingFileAndBadHeader)
{
    Boxes boxes;
    Ccompsf missing("/nonexistent/bank.csf");
    EXPECT_FALSE(missing.rdfile());
    EXPECT_EQ(boxes.last().text, "Ccompsf::rdfile\nFatal error while reading SoundFont file\nCould not open SoundFont file");

    const Bytes good = tinycsf();
    Bytes magic = good;
    magic[3] = 'W';
    EXPECT_FALSE(readcsf(magic, boxes));
    EXPECT_EQ(boxes.texts(), std::vector<std::string>{BADFORMAT});
    EXPECT_FALSE(readcsf(Bytes(good.begin(), good.begin() + 47), boxes));
    EXPECT_EQ(boxes.texts(), std::vector<std::string>{BADFORMAT});
}

TEST(Ccompsf, BodyFaultsEndInTheFormatMessage)
{
    const Bytes plain = rescramble(tinycsf());
    const size_t sections = 58 + size_t(datalen(plain));   // first section header
    // Section headers in order: phdr (2 records), pbag (2), pgen (2), inst (2), ibag (2),
    // igen (3), shdr (3).
    std::vector<size_t> at;
    for (size_t pos = sections, i = 0; i < 7; ++i) {
        at.push_back(pos);
        pos += 6 + (plain[pos + 2] | plain[pos + 3] << 8);
    }
    using Edit = void (*)(Bytes&, const std::vector<size_t>&);
    const struct {
        const char* what;
        Edit edit;
    } cases[] = {
        {"data tag", [](Bytes& b, const std::vector<size_t>&) { b[48] ^= 1; }},
        {"data length past the file", [](Bytes& b, const std::vector<size_t>&) { b[57] = 0x40; }},
        {"pbag tag", [](Bytes& b, const std::vector<size_t>& s) { b[s[1]] ^= 1; }},
        {"shdr tag", [](Bytes& b, const std::vector<size_t>& s) { b[s[6] + 1] ^= 0x80; }},
        {"phdr not whole records", [](Bytes& b, const std::vector<size_t>& s) { b[s[0] + 2] -= 2; }},
        {"igen huge", [](Bytes& b, const std::vector<size_t>& s) { b[s[5] + 5] = 0xff; }},
        {"shdr count past the file", [](Bytes& b, const std::vector<size_t>& s) { b[s[6] + 3] = 0x10; }},
        {"body offset past the file", [](Bytes& b, const std::vector<size_t>&) { b[45] = 0xff; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes bad = plain;
        c.edit(bad, at);
        if (c.what[0] == 'b') {   // the header is not scrambled: edit after rescrambling
            bad = rescramble(plain);
            c.edit(bad, at);
        } else {
            bad = rescramble(bad);
        }
        Boxes boxes;
        EXPECT_FALSE(readcsf(bad, boxes));
        EXPECT_EQ(boxes.texts(), std::vector<std::string>{BADFORMAT});
    }
    // The sections end the file, so every truncation of the body cuts one of them.
    const Bytes good = rescramble(plain);
    for (size_t len = 48; len < good.size(); ++len) {
        SCOPED_TRACE(len);
        Boxes boxes;
        EXPECT_FALSE(readcsf(Bytes(good.begin(), good.begin() + long(len)), boxes));
        EXPECT_EQ(boxes.texts(), std::vector<std::string>{BADFORMAT});
    }
}

TEST(Ccompsf, SampleHeadersOutsideTheFileArePlayableSilence)
{
    Bytes plain = rescramble(tinycsf());
    const size_t sections = 58 + size_t(datalen(plain));
    size_t pos = sections;
    for (int i = 0; i < 6; ++i) pos += 6 + (plain[pos + 2] | plain[pos + 3] << 8);
    const size_t first = pos + 6;   // first compressed sample header
    for (int i = 0; i < 8; ++i) plain[first + 20 + i] = 0xff;    // offset 2^64 - 1
    for (int i = 0; i < 4; ++i) plain[first + 28 + i] = 0xff;    // 4G coded points
    for (int i = 0; i < 4; ++i) plain[first + 32 + i] = 0xff;    // 4G compressed bytes
    for (int i = 0; i < 4; ++i) plain[first + 48 + i] = 0xff;    // loop end far out
    Tempdir dir;
    writebytes(dir.file("w.csf"), rescramble(plain));
    Ccompsf bank(dir.file("w.csf"));
    Boxes boxes;
    ASSERT_TRUE(bank.rdfile());
    const Sfshdr& s = bank.shdrs[0];
    EXPECT_LE(s.offset, bank.filesize);
    EXPECT_LE(s.cbytes, 0u + uint32_t(bank.filesize - s.offset));
    EXPECT_LE(s.loopend, s.length);
    EXPECT_LE(uint64_t(s.ptsload), uint64_t(s.cbytes) * s.ppb);   // each block takes a byte at least
    Cstore store(1 << 20, nullptr);
    const int16_t* a = store.request(bank.shdrs[0]);
    EXPECT_EQ(a[0], 0);
    EXPECT_LE(store.inuse(), store.budget());
    store.clear();
}

TEST(Ccompsf, RefusesSampleTypesItDoesNotStore)
{
    // The compressed format holds plain or block-coded points: neither an unknown kind nor the
    // Ogg Vorbis flag of a SoundFont 3 bank describes them.
    for (uint16_t type : {uint16_t(0x11), uint16_t(0x20), uint16_t(0x6)}) {
        SCOPED_TRACE(type);
        Tempdir dir;
        writebytes(dir.file("t.sf2"), tinybank().assemble());
        Csf2file src(dir.file("t.sf2"));
        Caudio audio;
        ASSERT_TRUE(src.rdfile() && Cpacker::rdaudio(src, audio));
        src.shdrs[1].type = type;
        ASSERT_TRUE(Cpacker::wrfile(src, audio, dir.file("t.csf")));
        Boxes boxes;
        EXPECT_FALSE(readcsf(readbytes(dir.file("t.csf")), boxes));
        ASSERT_EQ(boxes.texts(), std::vector<std::string>{BADFORMAT});
        char want[64];
        std::snprintf(want, sizeof want, "unknown sample type 0x%x in sample 'Flat'", unsigned(type));
        EXPECT_EQ(boxes.last().detail.substr(boxes.last().detail.find('\n') + 1), want);
    }
}

TEST(Ccompsf, PacksAnOggVorbisBankAsItsDecodedPoints)
{
    // pack of a SoundFont 3 bank, then unpack: the decoded points travel unchanged, the
    // compression flag is cleared and the loops stay counted from the sample's first point.
    Tempdir dir;
    writebytes(dir.file("t.sf3"), tinysf3().assemble());
    Csf2file sf3(dir.file("t.sf3"));
    Caudio audio;
    ASSERT_TRUE(sf3.rdfile() && Cpacker::rdaudio(sf3, audio));
    ASSERT_EQ(audio[0].size(), 2000u);
    ASSERT_EQ(audio[1].size(), 1200u);
    ASSERT_TRUE(Cpacker::wrfile(sf3, audio, dir.file("t.csf")));
    Ccompsf csf(dir.file("t.csf"));
    Caudio again;
    ASSERT_TRUE(csf.rdfile() && Cpacker::rdaudio(csf, again));
    EXPECT_EQ(again, audio);
    ASSERT_TRUE(Csf2writer::wrfile(csf, again, dir.file("u.sf2"), "t.csf"));
    Csf2file sf2(dir.file("u.sf2"));
    Caudio plain;
    ASSERT_TRUE(sf2.rdfile() && Cpacker::rdaudio(sf2, plain));
    EXPECT_EQ(plain, audio);
    for (const Csf2file* bank : {static_cast<Csf2file*>(&csf), &sf2}) {
        EXPECT_EQ(bank->shdrs[0].type, 1);
        EXPECT_FALSE(bank->shdrs[0].vorbis);
        EXPECT_EQ(bank->shdrs[0].loopstart, 500u);
        EXPECT_EQ(bank->shdrs[0].loopend, 1500u);
        EXPECT_EQ(bank->shdrs[1].length, 1200u);
    }
}
