#include "bank/Cpacker.h"

#include "bank/Cdecoder.h"
#include "bank/Ccompsf.h"
#include "bank/Ckey.h"
#include "platform/Cmsgbox.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr uint32_t SUB = 64;      // points per cost cell; every block size is a multiple
constexpr unsigned KMAX = 16;     // k = 0 .. 15

// Sign in the lowest bit: r >= 0 -> 2r, r < 0 -> 2|r| + 1 (v = 1 is the decoder's second zero).
inline uint32_t zig(int16_t r) { return r >= 0 ? uint32_t(r) * 2 : uint32_t(-int32_t(r)) * 2 + 1; }

// Bits of v as an exponential-Golomb code of order k: the (v >> k) + 1 part takes 2z + 1 bits
// (z = floor(log2)), then k plain bits.
inline unsigned egbits(uint32_t v, unsigned k)
{
    const uint32_t u = (v >> k) + 1;
    return 2 * unsigned(31 - __builtin_clz(u)) + 1 + k;
}

// The four predictors' residuals of every point, with the history starting at zero.
void residuals(const int16_t* x, size_t n, std::vector<uint32_t> (&v)[4])
{
    for (auto& o : v) o.resize(n);
    int32_t s1 = 0, s2 = 0, s3 = 0;
    for (size_t i = 0; i < n; ++i) {
        const int32_t y = x[i];
        v[0][i] = zig(int16_t(y));
        v[1][i] = zig(int16_t(uint16_t(y - s1)));
        v[2][i] = zig(int16_t(uint16_t(y - 2 * s1 + s2)));
        v[3][i] = zig(int16_t(uint16_t(y - 3 * s1 + 3 * s2 - s3)));
        s3 = s2;
        s2 = s1;
        s1 = y;
    }
}

// Cost of every SUB-point cell: bits per order and k, and the count of nonzero residuals per
// order (a block whose count is 0 for an order is a predicted block of that order).
struct Ccell {
    uint32_t bits[4][KMAX];
    uint32_t nonzero[4];
};

std::vector<Ccell> cellcosts(const std::vector<uint32_t> (&v)[4], size_t n)
{
    std::vector<Ccell> cells((n + SUB - 1) / SUB);
    for (size_t c = 0; c < cells.size(); ++c) {
        const size_t a = c * SUB, b = std::min(n, a + SUB);
        Ccell& cell = cells[c];
        for (int o = 0; o < 4; ++o) {
            const uint32_t* p = v[o].data();
            uint32_t nz = 0, orall = 0;
            for (size_t i = a; i < b; ++i) {
                nz += p[i] != 0;
                orall |= p[i];
            }
            cell.nonzero[o] = nz;
            for (unsigned k = 0; k < KMAX; ++k) {
                uint32_t sum = 0;
                // Every code's z part is 0 once k passes the largest value's width.
                if (k && (orall >> k) == 0) {
                    sum = uint32_t(b - a) * (1 + k);
                } else {
                    for (size_t i = a; i < b; ++i) sum += egbits(p[i], k);
                }
                cell.bits[o][k] = sum;
            }
        }
    }
    return cells;
}

struct Cchoice {
    bool predicted;
    int order;
    unsigned k;
    uint64_t bytes;   // header byte included
};

Cchoice choose(const std::vector<Ccell>& cells, size_t c0, size_t c1)
{
    uint32_t nz[4] = {0, 0, 0, 0};
    uint64_t bits[4][KMAX] = {};
    for (size_t c = c0; c < c1; ++c)
        for (int o = 0; o < 4; ++o) {
            nz[o] += cells[c].nonzero[o];
            for (unsigned k = 0; k < KMAX; ++k) bits[o][k] += cells[c].bits[o][k];
        }
    for (int o = 0; o < 4; ++o)
        if (nz[o] == 0) return {true, o, 0, 1};
    Cchoice best{false, 0, 0, UINT64_MAX};
    for (int o = 0; o < 4; ++o)
        for (unsigned k = 0; k < KMAX; ++k) {
            const uint64_t bytes = 1 + (bits[o][k] + 7) / 8;
            if (bytes < best.bytes) best = {false, o, k, bytes};
        }
    return best;
}

// MSB-first bit writer.
struct Cbitout {
    std::vector<uint8_t>& out;
    uint64_t acc = 0;
    unsigned nb = 0;
    void put(uint64_t bits, unsigned len)   // len <= 56
    {
        acc = acc << len | bits;
        nb += len;
        while (nb >= 8) {
            nb -= 8;
            out.push_back(uint8_t(acc >> nb));
        }
    }
    void flush()
    {
        if (nb) out.push_back(uint8_t(acc << (8 - nb)));
        nb = 0;
        acc = 0;
    }
};

void emit(const std::vector<uint32_t> (&v)[4], const std::vector<Ccell>& cells, size_t n, uint32_t ppb,
          std::vector<uint8_t>& out)
{
    const size_t per = ppb / SUB;
    Cbitout bo{out};
    for (size_t a = 0, c = 0; a < n; a += ppb, c += per) {
        const Cchoice ch = choose(cells, c, std::min(cells.size(), c + per));
        if (ch.predicted) {
            out.push_back(uint8_t(0x40 | ch.order << 4));
            continue;
        }
        out.push_back(uint8_t(ch.order << 4 | ch.k));
        const uint32_t* p = v[ch.order].data();
        const unsigned k = ch.k;
        for (size_t i = a, e = std::min(n, a + ppb); i < e; ++i) {
            const uint32_t u = (p[i] >> k) + 1;
            const unsigned z = unsigned(31 - __builtin_clz(u));
            bo.put(u, 2 * z + 1);
            if (k) bo.put(p[i] & ((1u << k) - 1), k);
        }
        bo.flush();
    }
}

uint64_t total(const std::vector<Ccell>& cells, uint32_t ppb)
{
    const size_t per = ppb / SUB;
    uint64_t sum = 0;
    for (size_t c = 0; c < cells.size(); c += per) sum += choose(cells, c, std::min(cells.size(), c + per)).bytes;
    return sum;
}

void put16(std::vector<uint8_t>& b, uint16_t v) { b.push_back(uint8_t(v)), b.push_back(uint8_t(v >> 8)); }
void put32(std::vector<uint8_t>& b, uint32_t v) { put16(b, uint16_t(v)), put16(b, uint16_t(v >> 16)); }

}  // namespace

std::vector<uint8_t> Cpacker::encodewith(const int16_t* x, size_t n, uint32_t ppb)
{
    std::vector<uint32_t> v[4];
    residuals(x, n, v);
    const auto cells = cellcosts(v, n);
    std::vector<uint8_t> out;
    emit(v, cells, n, ppb, out);
    return out;
}

std::vector<uint8_t> Cpacker::encode(const int16_t* x, size_t n, uint32_t& ppb)
{
    std::vector<uint32_t> v[4];
    residuals(x, n, v);
    const auto cells = cellcosts(v, n);
    uint64_t best = UINT64_MAX;
    ppb = SIZES[0];
    for (uint32_t size : SIZES) {
        const uint64_t t = total(cells, size);
        if (t < best) best = t, ppb = size;
        if (size >= n) break;   // larger blocks code the same single block
    }
    std::vector<uint8_t> out;
    out.reserve(size_t(best));
    emit(v, cells, n, ppb, out);
    return out;
}

bool Cpacker::rdaudio(const Csf2file& bank, Caudio& audio)
{
    audio.assign(bank.shdrs.size(), {});
    for (size_t i = 0; i < bank.shdrs.size(); ++i) {
        const Sfshdr& s = bank.shdrs[i];
        std::vector<int16_t>& pts = audio[i];
        pts.assign(s.length, 0);
        const size_t have = std::min<size_t>(s.length, s.coded);
        bool ok = true;
        if (s.ppb == 0) {
            std::vector<uint8_t> raw(have * 2);
            ok = ::pread(bank.fd, raw.data(), raw.size(), off_t(s.offset)) == ssize_t(raw.size());
            for (size_t j = 0; ok && j < have; ++j) pts[j] = int16_t(raw[2 * j] | raw[2 * j + 1] << 8);
        } else if (have) {
            std::vector<uint8_t> coded(s.cbytes);
            ok = ::pread(bank.fd, coded.data(), coded.size(), off_t(s.offset)) == ssize_t(coded.size());
            if (ok) {
                scramble(coded.data(), coded.size(), unsigned(uint64_t(s.offset) % KEYLEN));
                Cdecoder dec;
                ok = dec.decode(coded.data(), coded.size(), s.ppb, pts.data(), have) == have;
            }
        }
        if (!ok) {
            char name[21] = {};
            std::memcpy(name, s.name, 20);
            errbox(std::string("Cpacker::rdaudio\nCould not read the audio of sample \"") + name + "\" in " + bank.path());
            return false;
        }
    }
    return true;
}

bool wrwhole(const std::string& path, const std::vector<uint8_t>& bytes)
{
    const std::string tmp = path + ".part";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    const bool ok = done == bytes.size() && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool Cpacker::wrfile(const Csf2file& bank, const Caudio& audio, const std::string& path)
{
    std::vector<uint8_t> f(Ccompsf::HEADER, 0);
    std::memcpy(f.data(), "VAVU", 4);
    std::memcpy(f.data() + 4, WRITER, std::strlen(WRITER));   // bytes 4..43: who wrote it
    f[44] = Ccompsf::HEADER;                                    // body offset
    f[46] = 'C';
    f[47] = VERSION;

    // Sample data chunk: each sample's coded bytes at its absolute offset.
    put16(f, Ccompsf::TAGDATA);
    const size_t lenat = f.size();
    put32(f, 0), put32(f, 0);
    const size_t datastart = f.size();
    struct Cplace { uint64_t offset; uint32_t cbytes, ppb; };
    std::vector<Cplace> places(bank.shdrs.size());
    for (size_t i = 0; i < bank.shdrs.size(); ++i) {
        const std::vector<int16_t>& x = audio[i];
        uint32_t ppb = SIZES[0];
        const std::vector<uint8_t> coded = encode(x.data(), x.size(), ppb);
        if (coded.size() > UINT32_MAX) return false;
        places[i] = {f.size(), uint32_t(coded.size()), ppb};
        f.insert(f.end(), coded.begin(), coded.end());
    }
    const uint64_t datalen = f.size() - datastart;
    for (int b = 0; b < 8; ++b) f[lenat + b] = uint8_t(datalen >> (8 * b));

    auto section = [&](uint16_t tag, size_t count, size_t recsize) {
        put16(f, tag);
        put32(f, uint32_t(count * recsize));
    };
    section(Ccompsf::TAGPHDR, bank.phdrs.size(), 38);
    for (const Sfphdr& h : bank.phdrs) {
        f.insert(f.end(), h.name, h.name + 20);
        put16(f, h.preset), put16(f, h.bank), put16(f, h.bagindex);
        put32(f, h.library), put32(f, h.genre), put32(f, h.morphology);
    }
    section(Ccompsf::TAGPBAG, bank.pbags.size(), 4);
    for (const Sfbag& b : bank.pbags) put16(f, b.genindex), put16(f, 0);
    section(Ccompsf::TAGPGEN, bank.pgens.size(), 4);
    for (const Sfgen& g : bank.pgens) put16(f, g.oper), put16(f, g.amount);
    section(Ccompsf::TAGINST, bank.insts.size(), 22);
    for (const Sfinst& in : bank.insts) f.insert(f.end(), in.name, in.name + 20), put16(f, in.bagindex);
    section(Ccompsf::TAGIBAG, bank.ibags.size(), 4);
    for (const Sfbag& b : bank.ibags) put16(f, b.genindex), put16(f, 0);
    section(Ccompsf::TAGIGEN, bank.igens.size(), 4);
    for (const Sfgen& g : bank.igens) put16(f, g.oper), put16(f, g.amount);
    section(Ccompsf::TAGSHDR, bank.shdrs.size(), Ccompsf::SHDRSIZE);
    for (size_t i = 0; i < bank.shdrs.size(); ++i) {
        const Sfshdr& s = bank.shdrs[i];
        const uint32_t n = uint32_t(audio[i].size());
        f.insert(f.end(), s.name, s.name + 20);
        put32(f, uint32_t(places[i].offset)), put32(f, uint32_t(places[i].offset >> 32));
        put32(f, n), put32(f, places[i].cbytes), put32(f, places[i].ppb);
        put32(f, s.length), put32(f, s.loopstart), put32(f, s.loopend), put32(f, s.rate);
        f.push_back(s.pitch), f.push_back(uint8_t(s.correction));
        put16(f, s.link), put16(f, s.type);
    }
    scramble(f.data() + Ccompsf::HEADER, f.size() - Ccompsf::HEADER, Ccompsf::HEADER % KEYLEN);
    return wrwhole(path, f);
}
