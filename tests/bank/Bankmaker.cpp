#include "bank/Bankmaker.h"

#include "bank/Ckey.h"

#include <vorbis/vorbisenc.h>

#include <cmath>

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

Bytes vorbisstream(const std::vector<int16_t>& pts, long rate, int channels, int serial)
{
    Bytes out;
    vorbis_info vi;
    vorbis_info_init(&vi);
    if (vorbis_encode_init_vbr(&vi, channels, rate, 0.5f) != 0) return out;
    vorbis_comment vc;
    vorbis_comment_init(&vc);
    vorbis_dsp_state vd;
    vorbis_analysis_init(&vd, &vi);
    vorbis_block vb;
    vorbis_block_init(&vd, &vb);
    ogg_stream_state os;
    ogg_stream_init(&os, serial);
    ogg_page og;
    auto put = [&out](const ogg_page& page) {
        out.insert(out.end(), page.header, page.header + page.header_len);
        out.insert(out.end(), page.body, page.body + page.body_len);
    };
    ogg_packet id, comment, books;
    vorbis_analysis_headerout(&vd, &vc, &id, &comment, &books);
    ogg_stream_packetin(&os, &id);
    ogg_stream_packetin(&os, &comment);
    ogg_stream_packetin(&os, &books);
    while (ogg_stream_flush(&os, &og)) put(og);
    const size_t frames = pts.size() / size_t(channels);
    float** in = vorbis_analysis_buffer(&vd, int(frames));
    for (size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) in[c][i] = pts[i * size_t(channels) + size_t(c)] / 32768.0f;
    vorbis_analysis_wrote(&vd, int(frames));
    vorbis_analysis_wrote(&vd, 0);
    while (vorbis_analysis_blockout(&vd, &vb) == 1) {
        vorbis_analysis(&vb, nullptr);
        vorbis_bitrate_addblock(&vb);
        ogg_packet op;
        while (vorbis_bitrate_flushpacket(&vd, &op)) {
            ogg_stream_packetin(&os, &op);
            while (ogg_stream_pageout(&os, &og)) put(og);
        }
    }
    while (ogg_stream_flush(&os, &og)) put(og);
    ogg_stream_clear(&os);
    vorbis_block_clear(&vb);
    vorbis_dsp_clear(&vd);
    vorbis_comment_clear(&vc);
    vorbis_info_clear(&vi);
    return out;
}

std::vector<int16_t> sinepoints()
{
    std::vector<int16_t> pts(2000);
    for (size_t i = 0; i < pts.size(); ++i) pts[i] = int16_t(std::lround(8000 * std::sin(2 * M_PI * 441 * double(i) / 22050)));
    return pts;
}

Sf2parts tinysf3()
{
    Sf2parts p = tinybank();
    Bytes ifil;
    add16(ifil, 3), add16(ifil, 1);
    p.info.front().body = ifil;
    const Bytes sine = vorbisstream(sinepoints(), 22050);
    const Bytes flat = vorbisstream(std::vector<int16_t>(1200, 1000), 44100);
    Bytes smpl = sine;
    smpl.insert(smpl.end(), flat.begin(), flat.end());
    p.sdta = {{"smpl", smpl}};
    const uint32_t a = uint32_t(sine.size()), b = uint32_t(smpl.size());
    Bytes shdr = shdrrec("Sine", 0, a, 500, 1500);
    Bytes s2 = shdrrec("Flat", a, b, 0, 1199, 44100, 72);
    shdr[44] = 0x11, s2[44] = 0x11;
    Bytes eos = shdrrec("EOS", 0, 0, 0, 0, 0, 0);
    eos[44] = 0;
    shdr.insert(shdr.end(), s2.begin(), s2.end());
    shdr.insert(shdr.end(), eos.begin(), eos.end());
    p.pdtachunk("shdr").body = shdr;
    return p;
}
