#include "bank/Csf2writer.h"

#include "midi/Cbytes.h"

#include <cerrno>
#include <cstring>

namespace {

void tag(std::vector<uint8_t>& b, const char* t) { b.insert(b.end(), t, t + 4); }

// Starts a chunk; returns where its size goes, patched by endchunk.
size_t chunk(std::vector<uint8_t>& b, const char* id)
{
    tag(b, id);
    addle32(b, 0);
    return b.size() - 4;
}
void endchunk(std::vector<uint8_t>& b, size_t at)
{
    if ((b.size() - at) % 2) b.push_back(0);   // RIFF chunks are word-aligned
    const uint32_t size = uint32_t(b.size() - at - 4);
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(size >> (8 * i));
}
// Text chunks hold a zero-terminated string of even length.
void text(std::vector<uint8_t>& b, const char* id, const std::string& s)
{
    const size_t at = chunk(b, id);
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
    endchunk(b, at);
}

}  // namespace

bool Csf2writer::wrfile(const Csf2file& bank, const Caudio& audio, const std::string& path, const std::string& name)
{
    std::vector<uint8_t> f;
    const size_t riff = chunk(f, "RIFF");
    tag(f, "sfbk");

    const size_t info = chunk(f, "LIST");
    tag(f, "INFO");
    const size_t ifil = chunk(f, "ifil");
    addle16(f, 2), addle16(f, 1);
    endchunk(f, ifil);
    text(f, "isng", "EMU8000");
    text(f, "INAM", name.substr(0, 255));
    text(f, "ISFT", Cpacker::WRITER);
    endchunk(f, info);

    // Sample positions are counted in points from the start of "smpl".
    std::vector<uint32_t> start(bank.shdrs.size());
    const size_t sdta = chunk(f, "LIST");
    tag(f, "sdta");
    const size_t smpl = chunk(f, "smpl");
    uint64_t points = 0;
    for (size_t i = 0; i < bank.shdrs.size(); ++i) {
        start[i] = uint32_t(points);
        for (int16_t y : audio[i]) addle16(f, uint16_t(y));
        f.insert(f.end(), 46, 0);
        points += audio[i].size() + 23;
        if (points > UINT32_MAX) {
            errno = EFBIG;   // more than a SoundFont 2 file can address
            return false;
        }
    }
    endchunk(f, smpl);
    endchunk(f, sdta);

    const size_t pdta = chunk(f, "LIST");
    tag(f, "pdta");
    size_t at = chunk(f, "phdr");
    for (const Sfphdr& h : bank.phdrs) {
        f.insert(f.end(), h.name, h.name + 20);
        addle16(f, h.preset), addle16(f, h.bank), addle16(f, h.bagindex);
        addle32(f, h.library), addle32(f, h.genre), addle32(f, h.morphology);
    }
    endchunk(f, at);
    at = chunk(f, "pbag");
    for (const Sfbag& b : bank.pbags) addle16(f, b.genindex), addle16(f, 0);
    endchunk(f, at);
    at = chunk(f, "pmod");
    f.insert(f.end(), 10, 0);
    endchunk(f, at);
    at = chunk(f, "pgen");
    for (const Sfgen& g : bank.pgens) addle16(f, g.oper), addle16(f, g.amount);
    endchunk(f, at);
    at = chunk(f, "inst");
    for (const Sfinst& in : bank.insts) f.insert(f.end(), in.name, in.name + 20), addle16(f, in.bagindex);
    endchunk(f, at);
    at = chunk(f, "ibag");
    for (const Sfbag& b : bank.ibags) addle16(f, b.genindex), addle16(f, 0);
    endchunk(f, at);
    at = chunk(f, "imod");
    f.insert(f.end(), 10, 0);
    endchunk(f, at);
    at = chunk(f, "igen");
    for (const Sfgen& g : bank.igens) addle16(f, g.oper), addle16(f, g.amount);
    endchunk(f, at);
    at = chunk(f, "shdr");
    for (size_t i = 0; i < bank.shdrs.size(); ++i) {
        const Sfshdr& s = bank.shdrs[i];
        const uint32_t a = start[i];
        f.insert(f.end(), s.name, s.name + 20);
        addle32(f, a), addle32(f, a + uint32_t(audio[i].size()));
        addle32(f, a + s.loopstart), addle32(f, a + s.loopend), addle32(f, s.rate);
        f.push_back(s.pitch), f.push_back(uint8_t(s.correction));
        addle16(f, s.link), addle16(f, s.type);
    }
    endchunk(f, at);
    endchunk(f, pdta);
    endchunk(f, riff);
    return wrwhole(path, f);
}
