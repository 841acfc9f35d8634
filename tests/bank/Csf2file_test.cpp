#include "bank/Csf2file.h"

#include "bank/Bankmaker.h"
#include "bank/Cstore.h"
#include "bank/Sfgens.h"
#include "support/Boxes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

const char* const BADFORMAT = "Csf2file::rdfile\nFatal error while reading Sound Font file\nInvalid Sound Font file format";

// Writes bytes to a file and reads it as a SoundFont; the boxes raised are left in boxes.
bool readbank(const Bytes& bytes, Boxes& boxes, Csf2file** keep = nullptr)
{
    static Tempdir dir;
    const std::string path = dir.file("bank.sf2");
    writebytes(path, bytes);
    auto* bank = new Csf2file(path);
    boxes.clear();
    const bool ok = bank->rdfile();
    EXPECT_EQ(bank->loaded, ok ? 1 : 0);
    if (keep) *keep = bank;
    else delete bank;
    return ok;
}

uint32_t le32of(const Bytes& b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

void set32(Bytes& b, size_t at, uint32_t v)
{
    for (int k = 0; k < 4; ++k) b[at + size_t(k)] = uint8_t(v >> (8 * k));
}

// Seeds for the bank fuzz target, when the test runner asks for them.
void seed(const std::string& name, const Bytes& bytes)
{
    const char* dir = std::getenv("CANTORIX_SEED_DIR");
    if (!dir) return;
    std::error_code ec;
    std::filesystem::create_directories(std::string(dir) + "/bank", ec);
    writebytes(std::string(dir) + "/bank/" + name, bytes);
}

}  // namespace

TEST(Csf2file, ReadsRecordsInFileOrder)
{
    Boxes boxes;
    Csf2file* bank = nullptr;
    const Bytes bytes = tinybank().assemble();
    seed("tiny.sf2", bytes);
    ASSERT_TRUE(readbank(bytes, boxes, &bank));
    EXPECT_TRUE(boxes.empty());
    ASSERT_EQ(bank->phdrs.size(), 2u);
    EXPECT_STREQ(bank->phdrs[0].name, "Ramp");
    EXPECT_EQ(bank->phdrs[0].preset, 5);
    EXPECT_EQ(bank->phdrs[1].bagindex, 1);
    EXPECT_EQ(bank->pbags.size(), 2u);
    ASSERT_EQ(bank->pgens.size(), 2u);
    EXPECT_EQ(bank->pgens[0].oper, sfgen::instrument);
    EXPECT_EQ(bank->insts.size(), 2u);
    ASSERT_EQ(bank->igens.size(), 3u);
    EXPECT_EQ(bank->igens[0].lo(), 0);
    EXPECT_EQ(bank->igens[0].hi(), 127);

    // Sample positions become relative to the sample, the audio offset absolute in the file.
    ASSERT_EQ(bank->shdrs.size(), 3u);
    const Sfshdr& flat = bank->shdrs[1];
    EXPECT_STREQ(flat.name, "Flat");
    EXPECT_EQ(flat.length, 16u);
    EXPECT_EQ(flat.loopstart, 0u);
    EXPECT_EQ(flat.loopend, 15u);
    EXPECT_EQ(flat.rate, 44100u);
    EXPECT_EQ(flat.pitch, 72);
    EXPECT_EQ(flat.correction, -7);
    EXPECT_EQ(flat.type, 1);
    EXPECT_EQ(flat.offset, bank->smploff + 110);
    EXPECT_EQ(flat.ptsload, 16u);
    EXPECT_EQ(flat.ppb, 0u);
    EXPECT_EQ(flat.fd, bank->fd);
    EXPECT_EQ(flat.audio, nullptr);
    EXPECT_EQ(bank->shdrs[0].loopstart, 8u);
    EXPECT_EQ(bank->shdrs[0].loopend, 24u);
    delete bank;
}

TEST(Csf2file, MissingFileHasItsOwnMessage)
{
    Boxes boxes;
    Csf2file bank("/nonexistent/folder/bank.sf2");
    EXPECT_FALSE(bank.rdfile());
    EXPECT_EQ(bank.fd, -1);
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.last().text, "Csf2file::rdfile\nFatal error while reading Sound Font file\nCould not open Sound Font file");
    EXPECT_EQ(boxes.last().caption, "Error!");
}

TEST(Csf2file, RefusesEveryWrongChunkOrder)
{
    using Edit = void (*)(Sf2parts&);
    const struct {
        const char* what;
        Edit edit;
    } cases[] = {
        {"24-bit extension before smpl", [](Sf2parts& p) { p.sdta.insert(p.sdta.begin(), Chunk{"sm24", Bytes(24, 0)}); }},
        {"24-bit extension after smpl", [](Sf2parts& p) { p.sdta.push_back({"sm24", Bytes(24, 0)}); }},
        {"no smpl", [](Sf2parts& p) { p.sdta.clear(); }},
        {"pbag before phdr", [](Sf2parts& p) { std::swap(p.pdta[0], p.pdta[1]); }},
        {"pgen before pmod", [](Sf2parts& p) { std::swap(p.pdta[2], p.pdta[3]); }},
        {"imod missing", [](Sf2parts& p) { p.pdta.erase(p.pdta.begin() + 6); }},
        {"shdr missing", [](Sf2parts& p) { p.pdta.pop_back(); }},
        {"igen renamed", [](Sf2parts& p) { p.pdtachunk("igen").id = "iGen"; }},
        {"pbag not whole records", [](Sf2parts& p) { p.pdtachunk("pbag").body.push_back(0), p.pdtachunk("pbag").body.push_back(0); }},
        {"inst not whole records", [](Sf2parts& p) { p.pdtachunk("inst").body.push_back(0); }},
        {"phdr size past the file", [](Sf2parts& p) { p.pdtachunk("phdr").size = 0x7ffffff0; }},
        {"shdr huge count", [](Sf2parts& p) { p.pdtachunk("shdr").size = 0xfffffff0u; }},
        {"pmod past the file", [](Sf2parts& p) { p.pdtachunk("pmod").size = 0xfffffff0u; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sf2parts parts = tinybank();
        c.edit(parts);
        Boxes boxes;
        EXPECT_FALSE(readbank(parts.assemble(), boxes));
        EXPECT_EQ(boxes.texts(), std::vector<std::string>{BADFORMAT});
    }
}

TEST(Csf2file, RefusesWrongHeaderIdentifiers)
{
    const Bytes good = tinybank().assemble();
    // RIFF at 0, sfbk at 8, LIST at 12, INFO at 20.
    for (size_t at : {0u, 8u, 12u, 20u}) {
        SCOPED_TRACE(at);
        Bytes bad = good;
        bad[at + 1] ^= 0x20;
        Boxes boxes;
        EXPECT_FALSE(readbank(bad, boxes));
        EXPECT_EQ(boxes.last().text, BADFORMAT);
    }
}

TEST(Csf2file, EveryTruncationFailsWithTheFormatMessage)
{
    const Bytes good = tinybank().assemble();
    for (size_t len = 0; len < good.size(); len += (len < 64 ? 1 : 7)) {
        SCOPED_TRACE(len);
        Boxes boxes;
        EXPECT_FALSE(readbank(Bytes(good.begin(), good.begin() + long(len)), boxes));
        EXPECT_EQ(boxes.texts(), std::vector<std::string>{BADFORMAT});
    }
}

TEST(Csf2file, EmptyModulatorListsAndOddSizesOfWholeRecordsAreAccepted)
{
    Sf2parts parts = tinybank();
    parts.pdtachunk("pmod").body.clear();
    parts.pdtachunk("imod").body.clear();
    parts.pdtachunk("pgen").body.resize(0);   // a count below 1 reads nothing
    Boxes boxes;
    Csf2file* bank = nullptr;
    ASSERT_TRUE(readbank(parts.assemble(), boxes, &bank));
    EXPECT_TRUE(bank->pgens.empty());
    EXPECT_EQ(bank->pbags[1].genindex, 0);   // held inside the (empty) generator list
    delete bank;
}

TEST(Csf2file, IndicesAndSamplePositionsAreHeldInsideTheirLists)
{
    Sf2parts parts = tinybank();
    Bytes& phdr = parts.pdtachunk("phdr").body;
    phdr[24] = 0xff, phdr[25] = 0x7f;             // Ramp's bag index 32767
    Bytes& ibag = parts.pdtachunk("ibag").body;
    ibag[0] = 200;                                // first instrument zone's generator 200
    Bytes shdr = shdrrec("Wild", 40, 0xffffff00u, 3, 0xfffffff0u);   // end far past smpl, loop before start
    Bytes& sh = parts.pdtachunk("shdr").body;
    sh.insert(sh.begin(), shdr.begin(), shdr.end());
    const Bytes bytes = parts.assemble();
    seed("wild.sf2", bytes);
    Boxes boxes;
    Csf2file* bank = nullptr;
    ASSERT_TRUE(readbank(bytes, boxes, &bank));
    EXPECT_LE(bank->phdrs[0].bagindex, bank->pbags.size());
    EXPECT_LE(bank->phdrs[0].bagindex, bank->phdrs[1].bagindex);
    EXPECT_LE(bank->ibags[0].genindex, bank->igens.size());
    const Sfshdr& wild = bank->shdrs[0];
    const int64_t smplend = bank->smploff + 2 * (32 + 23 + 16 + 23);
    EXPECT_LE(wild.offset + 2 * int64_t(wild.length), smplend);
    EXPECT_EQ(wild.loopstart, 0u);
    EXPECT_LE(wild.loopend, wild.length);
    delete bank;
}

TEST(Csf2file, ReadsOggVorbisSamplesAsDecodedPoints)
{
    Tempdir dir;
    Sf2parts parts = tinysf3();
    const Bytes& smpl = parts.sdta[0].body;
    const uint32_t sinebytes = le32of(parts.pdtachunk("shdr").body, 24);
    // Written with and without the pad byte that RIFF puts after a chunk of odd size.
    if (smpl.size() % 2 == 0) parts.sdta[0].body.push_back(0x55);
    Sf2parts padded = parts;
    padded.sdta[0].size = int64_t(parts.sdta[0].body.size());
    padded.sdta[0].body.push_back(0);
    seed("tiny.sf3", parts.assemble());
    for (const Sf2parts* p : {&parts, &padded}) {
        SCOPED_TRACE(p == &parts ? "unpadded" : "padded");
        const std::string path = dir.file("tiny.sf3");
        writebytes(path, p->assemble());
        Cstore store(1 << 20, nullptr);
        Csf2file bank(path, &store);
        Boxes boxes;
        ASSERT_TRUE(bank.rdfile());
        ASSERT_EQ(bank.shdrs.size(), 3u);
        const Sfshdr& sine = bank.shdrs[0];
        EXPECT_TRUE(sine.vorbis);
        EXPECT_EQ(sine.type, 1);   // the compression flag is gone once the stream is placed
        EXPECT_EQ(sine.length, 2000u);
        EXPECT_EQ(sine.ptsload, 2000u);
        EXPECT_EQ(sine.loopstart, 500u);   // points from the first decoded point
        EXPECT_EQ(sine.loopend, 1500u);
        EXPECT_EQ(sine.offset, bank.smploff);
        EXPECT_EQ(sine.cbytes, sinebytes);
        const Sfshdr& flat = bank.shdrs[1];
        EXPECT_EQ(flat.length, 1200u);
        EXPECT_EQ(flat.offset, bank.smploff + sinebytes);
        EXPECT_EQ(flat.rate, 44100u);
        EXPECT_EQ(bank.audiobytes, 2000u * 2 + 1200 * 2 + 3 * 46);

        // Decoded on request, close to what was coded, followed by zeros up to a raised count.
        const int16_t* a = store.request(bank.shdrs[0]);
        const std::vector<int16_t> want = sinepoints();
        double err = 0, sig = 0;
        for (size_t i = 0; i < want.size(); ++i) err += std::pow(a[i] - want[i], 2), sig += std::pow(want[i], 2);
        EXPECT_LT(err / sig, 0.01);   // better than 20 dB
        for (uint32_t i = 2000; i < 2000 + Cstore::PAD; ++i) ASSERT_EQ(a[i], 0) << i;
        EXPECT_EQ(store.inuse(), 2000u * 2 + 46);   // the budget holds the decoded points
        EXPECT_EQ(store.raise(bank.shdrs[1], 1300), 1300u);
        const int16_t* f = store.request(bank.shdrs[1]);
        EXPECT_NEAR(f[600], 1000, 50);
        for (uint32_t i = 1200; i < 1300 + Cstore::PAD; ++i) ASSERT_EQ(f[i], 0) << i;
        EXPECT_TRUE(boxes.empty());
    }
}

TEST(Csf2file, KnownSampleTypesLoadAndRomSamplesAreSilent)
{
    for (uint16_t type : {0x0, 0x1, 0x2, 0x4, 0x8, 0x8001, 0x8002, 0x8004, 0x8008}) {
        SCOPED_TRACE(type);
        Sf2parts parts = tinybank();
        Bytes& shdr = parts.pdtachunk("shdr").body;
        shdr[44] = uint8_t(type), shdr[45] = uint8_t(type >> 8);
        Boxes boxes;
        Csf2file* bank = nullptr;
        ASSERT_TRUE(readbank(parts.assemble(), boxes, &bank));
        const bool rom = type & 0x8000;
        EXPECT_EQ(bank->shdrs[0].length, rom ? 0u : 32u);
        EXPECT_EQ(bank->shdrs[0].ptsload, rom ? 0u : 32u);
        EXPECT_EQ(bank->shdrs[1].length, 16u);
        delete bank;
    }
}

TEST(Csf2file, RefusesSamplesItWouldPlayAsNoise)
{
    auto settype = [](Sf2parts& p, int sample, uint16_t type) {
        Bytes& shdr = p.pdtachunk("shdr").body;
        shdr[size_t(sample) * 46 + 44] = uint8_t(type), shdr[size_t(sample) * 46 + 45] = uint8_t(type >> 8);
    };
    const struct {
        const char* what;
        Sf2parts parts;
        std::string reason;
    } cases[] = {
        {"unknown compression", [&] { auto p = tinybank(); settype(p, 0, 0x20); return p; }(),
         "unknown sample type 0x20 in sample 'Ramp'"},
        {"two kinds at once", [&] { auto p = tinybank(); settype(p, 1, 0x3); return p; }(),
         "unknown sample type 0x3 in sample 'Flat'"},
        {"Ogg Vorbis and another flag", [&] { auto p = tinysf3(); settype(p, 0, 0x31); return p; }(),
         "unknown sample type 0x31 in sample 'Sine'"},
        {"plain points flagged as Ogg Vorbis", [&] { auto p = tinybank(); settype(p, 0, 0x11); return p; }(),
         "sample 'Ramp': not an Ogg Vorbis stream"},
        {"stereo stream",
         [&] {
             auto p = tinysf3();
             std::vector<int16_t> both;
             for (int16_t v : sinepoints()) both.push_back(v), both.push_back(v);
             const Bytes st = vorbisstream(both, 22050, 2);
             Bytes& shdr = p.pdtachunk("shdr").body;
             const uint32_t a = le32of(shdr, 24);
             Bytes smpl = st;
             smpl.insert(smpl.end(), p.sdta[0].body.begin() + a, p.sdta[0].body.end());
             p.sdta[0].body = smpl;
             set32(shdr, 24, uint32_t(st.size()));
             set32(shdr, 46 + 20, uint32_t(st.size()));
             set32(shdr, 46 + 24, uint32_t(smpl.size()));
             return p;
         }(),
         "sample 'Sine': 2 channels in its Ogg Vorbis stream, not 1"},
        {"overlapping streams",
         [&] {
             auto p = tinysf3();
             Bytes& shdr = p.pdtachunk("shdr").body;
             set32(shdr, 46 + 20, le32of(shdr, 46 + 20) - 10);   // Flat starts inside Sine's stream
             return p;
         }(),
         "the Ogg Vorbis streams of samples 'Sine' and 'Flat' overlap"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes bytes = c.parts.assemble();
        seed(std::string("refused-") + std::to_string(&c - cases) + ".sf3", bytes);
        Boxes boxes;
        EXPECT_FALSE(readbank(bytes, boxes));
        ASSERT_EQ(boxes.texts(), std::vector<std::string>{BADFORMAT});
        const std::string detail = boxes.last().detail;
        EXPECT_EQ(detail.substr(detail.find('\n') + 1), c.reason);
    }
}
