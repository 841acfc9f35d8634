#include "bank/Bankmaker.h"

#include "bank/Ckey.h"

void add16(Bytes& b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

void add32(Bytes& b, uint32_t v)
{
    add16(b, uint16_t(v));
    add16(b, uint16_t(v >> 16));
}

Bytes name20(const std::string& s)
{
    Bytes b(20, 0);
    for (size_t i = 0; i < s.size() && i < 20; ++i) b[i] = uint8_t(s[i]);
    return b;
}

Bytes shdrrec(const std::string& name, uint32_t start, uint32_t end, uint32_t ls, uint32_t le, uint32_t rate, uint8_t pitch)
{
    Bytes b = name20(name);
    add32(b, start), add32(b, end), add32(b, ls), add32(b, le), add32(b, rate);
    b.push_back(pitch), b.push_back(uint8_t(-7));
    add16(b, 0), add16(b, 1);
    return b;
}

namespace {

void addchunk(Bytes& out, const Chunk& c)
{
    out.insert(out.end(), c.id.begin(), c.id.end());
    add32(out, c.size < 0 ? uint32_t(c.body.size()) : uint32_t(c.size));
    out.insert(out.end(), c.body.begin(), c.body.end());
}

void addlist(Bytes& out, const char* type, const std::vector<Chunk>& chunks)
{
    Bytes body(type, type + 4);
    for (const Chunk& c : chunks) addchunk(body, c);
    addchunk(out, {"LIST", body});
}

Bytes phdrrec(const std::string& name, uint16_t preset, uint16_t bank, uint16_t bag)
{
    Bytes b = name20(name);
    add16(b, preset), add16(b, bank), add16(b, bag);
    add32(b, 0), add32(b, 0), add32(b, 0);
    return b;
}

}  // namespace

Bytes Sf2parts::assemble() const
{
    Bytes body{'s', 'f', 'b', 'k'};
    addlist(body, "INFO", info);
    addlist(body, "sdta", sdta);
    addlist(body, "pdta", pdta);
    Bytes out;
    addchunk(out, {"RIFF", body});
    return out;
}

Chunk& Sf2parts::pdtachunk(const std::string& id)
{
    for (Chunk& c : pdta)
        if (c.id == id) return c;
    return pdta.front();
}

Sf2parts tinybank()
{
    Sf2parts p;
    Bytes ifil;
    add16(ifil, 2), add16(ifil, 1);
    p.info = {{"ifil", ifil}, {"INAM", {'T', 'i', 'n', 'y', 0, 0}}};

    Bytes smpl;
    for (int i = 0; i < 32; ++i) add16(smpl, uint16_t(i * 100 - 1600));
    smpl.insert(smpl.end(), 46, 0);
    for (int i = 0; i < 16; ++i) add16(smpl, uint16_t(1000 + i));
    smpl.insert(smpl.end(), 46, 0);
    p.sdta = {{"smpl", smpl}};

    Bytes phdr = phdrrec("Ramp", 5, 0, 0);
    Bytes eop = phdrrec("EOP", 0, 0, 1);
    phdr.insert(phdr.end(), eop.begin(), eop.end());
    Bytes pbag, pgen, inst, ibag, igen, mod(10, 0);
    add16(pbag, 0), add16(pbag, 0), add16(pbag, 1), add16(pbag, 0);
    add16(pgen, 41), add16(pgen, 0), add16(pgen, 0), add16(pgen, 0);   // instrument 0; terminal
    inst = name20("RampInst");
    add16(inst, 0);
    Bytes eoi = name20("EOI");
    add16(eoi, 1);
    inst.insert(inst.end(), eoi.begin(), eoi.end());
    add16(ibag, 0), add16(ibag, 0), add16(ibag, 2), add16(ibag, 0);
    add16(igen, 43), add16(igen, 0x7f00);   // key range 0..127
    add16(igen, 53), add16(igen, 0);        // sample 0
    add16(igen, 0), add16(igen, 0);
    Bytes shdr = shdrrec("Ramp", 0, 32, 8, 24);
    Bytes s2 = shdrrec("Flat", 55, 71, 55, 70, 44100, 72);
    Bytes eos = shdrrec("EOS", 0, 0, 0, 0, 0, 0);
    shdr.insert(shdr.end(), s2.begin(), s2.end());
    shdr.insert(shdr.end(), eos.begin(), eos.end());
    p.pdta = {{"phdr", phdr}, {"pbag", pbag}, {"pmod", mod}, {"pgen", pgen}, {"inst", inst},
              {"ibag", ibag}, {"imod", mod}, {"igen", igen}, {"shdr", shdr}};
    return p;
}

Bytes rescramble(Bytes file)
{
    if (file.size() > 48) scramble(file.data() + 48, file.size() - 48, 48 % KEYLEN);
    return file;
}
