#include "bank/Csf2file.h"

#include "bank/Bankmaker.h"
#include "bank/Sfgens.h"
#include "support/Boxes.h"

#include <gtest/gtest.h>

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
