#include "bank/Cpacker.h"

#include "audio/Cnewfil.h"
#include "bank/Cdecoder.h"
#include "bank/Ccompsf.h"
#include "bank/Ckey.h"
#include "bank/Cvorbis.h"
#include "midi/Cbytes.h"
#include "platform/Cmsgbox.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr uint32_t CELL = 16;     // points per cost cell; the coarse search tries multiples of it
constexpr unsigned KMAX = 16;     // k = 0 .. 15
constexpr unsigned COLS = 4 * KMAX + 4;   // per cell row: bits of every (order, k), nonzero counts
constexpr uint32_t FINE = CELL - 1;       // the fine search tries the best coarse size +- this

// Sign in the lowest bit: r >= 0 -> 2r, r < 0 -> 2|r| + 1 (v = 1 is the decoder's second zero).
inline uint32_t zig(int16_t r) { return r >= 0 ? uint32_t(r) * 2 : uint32_t(-int32_t(r)) * 2 + 1; }

// Bits of v as an exponential-Golomb code of order k: the (v >> k) + 1 part takes 2z + 1 bits
// (z = floor(log2)), then k plain bits.
inline unsigned egbits(uint32_t v, unsigned k)
{
    const uint32_t u = (v >> k) + 1;
    return 2 * unsigned(31 - __builtin_clz(u)) + 1 + k;
}

// The four predictors' residuals of every point, with the history starting at zero. The
// residual is the 16-bit wrap of point minus prediction, as the decoder adds it back.
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

// Adds point i's code bits for every (order, k) to row[0 .. 63] and its nonzero flags to
// row[64 .. 67].
inline void addpoint(const std::vector<uint32_t> (&v)[4], size_t i, uint32_t* row)
{
    for (int o = 0; o < 4; ++o) {
        const uint32_t x = v[o][i];
        row[4 * KMAX + o] += x != 0;
        uint32_t* b = row + o * KMAX;
        for (unsigned k = 0; k < KMAX; ++k) b[k] += egbits(x, k);
    }
}

struct Cchoice {
    bool predicted;
    int order;
    unsigned k;
    uint64_t bytes;   // header byte included
};

// Running sums of the code bits per (order, k) and of the nonzero residuals per order, at every
// cell boundary: row c covers the points before min(c * CELL, n). A block's cost is the
// difference of two rows plus the points of the partial cells at its ends. Sums are kept modulo
// 2^32: a block's difference stays exact because one block never needs 2^32 bits.
struct Ctable {
    const std::vector<uint32_t> (&v)[4];
    size_t n;
    size_t cells;
    std::vector<uint32_t> rows;

    Ctable(const std::vector<uint32_t> (&res)[4], size_t npoints)
        : v(res), n(npoints), cells((npoints + CELL - 1) / CELL), rows((cells + 1) * COLS, 0)
    {
        for (size_t c = 0; c < cells; ++c) {
            uint32_t* row = &rows[(c + 1) * COLS];
            std::memcpy(row, &rows[c * COLS], COLS * sizeof(uint32_t));
            for (size_t i = c * CELL, e = std::min(n, i + CELL); i < e; ++i) addpoint(v, i, row);
        }
    }
    size_t at(size_t c) const { return std::min(c * CELL, n); }

    // The cheapest form of the block of points [a, b).
    Cchoice choose(size_t a, size_t b) const
    {
        uint32_t sum[COLS] = {};
        size_t ca = (a + CELL - 1) / CELL, cb = b == n ? cells : b / CELL;
        if (ca <= cb) {
            const uint32_t* ra = &rows[ca * COLS];
            const uint32_t* rb = &rows[cb * COLS];
            for (unsigned j = 0; j < COLS; ++j) sum[j] = rb[j] - ra[j];
            for (size_t i = a, e = at(ca); i < e; ++i) addpoint(v, i, sum);
            for (size_t i = at(cb); i < b; ++i) addpoint(v, i, sum);
        } else {
            for (size_t i = a; i < b; ++i) addpoint(v, i, sum);
        }
        // A silent block (order 0) also clears the decoder's history of three points; that
        // history is right only when the block has at least three points or ends the sample.
        for (int o = b - a >= 3 || b == n ? 0 : 1; o < 4; ++o)
            if (sum[4 * KMAX + o] == 0) return {true, o, 0, 1};
        Cchoice best{false, 0, 0, 0};
        uint32_t least = UINT32_MAX;
        for (unsigned j = 0; j < 4 * KMAX; ++j)
            if (sum[j] < least) least = sum[j], best.order = int(j / KMAX), best.k = j % KMAX;
        best.bytes = 1 + (uint64_t(least) + 7) / 8;
        return best;
    }

    // Bytes of the whole sample coded with ppb points per block.
    uint64_t total(uint32_t ppb) const
    {
        uint64_t t = 0;
        for (size_t a = 0; a < n; a += ppb) t += choose(a, std::min(n, a + ppb)).bytes;
        return t;
    }
};

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

void emit(const Ctable& t, uint32_t ppb, std::vector<uint8_t>& out)
{
    Cbitout bo{out};
    for (size_t a = 0; a < t.n; a += ppb) {
        const size_t e = std::min(t.n, a + ppb);
        const Cchoice ch = t.choose(a, e);
        if (ch.predicted) {
            out.push_back(uint8_t(0x40 | ch.order << 4));
            continue;
        }
        out.push_back(uint8_t(ch.order << 4 | ch.k));
        const uint32_t* p = t.v[ch.order].data();
        const unsigned k = ch.k;
        for (size_t i = a; i < e; ++i) {
            const uint32_t u = (p[i] >> k) + 1;
            const unsigned z = unsigned(31 - __builtin_clz(u));
            bo.put(u, 2 * z + 1);
            if (k) bo.put(p[i] & ((1u << k) - 1), k);
        }
        bo.flush();
    }
}


}  // namespace

std::vector<uint8_t> Cpacker::encodewith(const int16_t* x, size_t n, uint32_t ppb)
{
    if (ppb == 0) return {};   // 0 marks plain audio in a sample header: nothing to code
    std::vector<uint32_t> v[4];
    residuals(x, n, v);
    const Ctable t(v, n);
    std::vector<uint8_t> out;
    emit(t, ppb, out);
    return out;
}

std::vector<uint8_t> Cpacker::encode(const int16_t* x, size_t n, uint32_t& ppb)
{
    std::vector<uint32_t> v[4];
    residuals(x, n, v);
    const Ctable t(v, n);
    // Coarse: every multiple of CELL, costed from whole cells only. Sizes past n all code the
    // same single block.
    uint64_t best = UINT64_MAX;
    ppb = CELL;
    for (uint32_t size = CELL; size <= MAXPPB; size += CELL) {
        const uint64_t c = t.total(size);
        if (c < best) best = c, ppb = size;
        if (size >= n) break;
    }
    // Fine: the sizes between the coarse neighbours of the best one.
    const uint32_t mid = ppb;
    for (uint32_t size = mid > FINE ? mid - FINE : 1; size <= mid + FINE && size <= MAXPPB; ++size) {
        if (size % CELL == 0 || size > n) continue;
        const uint64_t c = t.total(size);
        if (c < best) best = c, ppb = size;
    }
    std::vector<uint8_t> out;
    out.reserve(size_t(best));
    emit(t, ppb, out);
    return out;
}

bool Cpacker::rdaudio(const Csf2file& bank, Caudio& audio)
{
    // Samples whose headers overlap would each take a copy of the same data: the points of all
    // samples together must fit in the audio the bank holds.
    uint64_t total = 0;
    for (const Sfshdr& s : bank.shdrs) total += uint64_t(std::min(s.length, s.coded)) * 2 + 46;
    if (total > bank.audiobytes) {
        errbox("Cpacker::rdaudio\nThe sample headers of " + bank.path() + " claim more audio than the bank holds");
        return false;
    }
    audio.assign(bank.shdrs.size(), {});
    for (size_t i = 0; i < bank.shdrs.size(); ++i) {
        const Sfshdr& s = bank.shdrs[i];
        std::vector<int16_t>& pts = audio[i];
        const size_t have = std::min<size_t>(s.length, s.coded);
        pts.assign(have, 0);
        bool ok = true;
        if (s.vorbis) {
            ok = Cvorbis::decode(bank.fd, s.offset, s.cbytes, pts.data(), have) == have;
        } else if (s.ppb == 0) {
            std::vector<uint8_t> raw(have * 2);
            ok = ::pread(bank.fd, raw.data(), raw.size(), off_t(s.offset)) == ssize_t(raw.size());
            for (size_t j = 0; ok && j < have; ++j) pts[j] = int16_t(le16(&raw[2 * j]));
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
    Cnewfil file;
    if (!file.create(path)) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(file.fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            const int err = errno;
            file.discard();
            errno = err;
            return false;
        }
        done += size_t(n);
    }
    return file.commit();
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
    addle16(f, Ccompsf::TAGDATA);
    const size_t lenat = f.size();
    addle32(f, 0), addle32(f, 0);
    const size_t datastart = f.size();
    struct Cplace { uint64_t offset; uint32_t cbytes, ppb; };
    std::vector<Cplace> places(bank.shdrs.size());
    std::vector<std::vector<uint8_t>> coded(bank.shdrs.size());
    // Workers take the samples in turn; each sample's coding is independent of the others.
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < coded.size();)
            coded[i] = encode(audio[i].data(), audio[i].size(), places[i].ppb);
    };
    const unsigned cores = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
    std::vector<std::thread> workers;
    for (unsigned w = 1; w < cores && w < coded.size(); ++w) workers.emplace_back(work);
    work();
    for (auto& w : workers) w.join();
    for (size_t i = 0; i < coded.size(); ++i) {
        if (coded[i].size() > UINT32_MAX) {
            errno = EFBIG;   // more than a sample header can describe
            return false;
        }
        places[i].offset = f.size();
        places[i].cbytes = uint32_t(coded[i].size());
        f.insert(f.end(), coded[i].begin(), coded[i].end());
        std::vector<uint8_t>().swap(coded[i]);
    }
    const uint64_t datalen = f.size() - datastart;
    for (int b = 0; b < 8; ++b) f[lenat + b] = uint8_t(datalen >> (8 * b));

    auto section = [&](uint16_t tag, size_t count, size_t recsize) {
        addle16(f, tag);
        addle32(f, uint32_t(count * recsize));
    };
    section(Ccompsf::TAGPHDR, bank.phdrs.size(), 38);
    for (const Sfphdr& h : bank.phdrs) {
        f.insert(f.end(), h.name, h.name + 20);
        addle16(f, h.preset), addle16(f, h.bank), addle16(f, h.bagindex);
        addle32(f, h.library), addle32(f, h.genre), addle32(f, h.morphology);
    }
    section(Ccompsf::TAGPBAG, bank.pbags.size(), 4);
    for (const Sfbag& b : bank.pbags) addle16(f, b.genindex), addle16(f, 0);
    section(Ccompsf::TAGPGEN, bank.pgens.size(), 4);
    for (const Sfgen& g : bank.pgens) addle16(f, g.oper), addle16(f, g.amount);
    section(Ccompsf::TAGINST, bank.insts.size(), 22);
    for (const Sfinst& in : bank.insts) f.insert(f.end(), in.name, in.name + 20), addle16(f, in.bagindex);
    section(Ccompsf::TAGIBAG, bank.ibags.size(), 4);
    for (const Sfbag& b : bank.ibags) addle16(f, b.genindex), addle16(f, 0);
    section(Ccompsf::TAGIGEN, bank.igens.size(), 4);
    for (const Sfgen& g : bank.igens) addle16(f, g.oper), addle16(f, g.amount);
    section(Ccompsf::TAGSHDR, bank.shdrs.size(), Ccompsf::SHDRSIZE);
    for (size_t i = 0; i < bank.shdrs.size(); ++i) {
        const Sfshdr& s = bank.shdrs[i];
        const uint32_t n = uint32_t(audio[i].size());
        f.insert(f.end(), s.name, s.name + 20);
        addle32(f, uint32_t(places[i].offset)), addle32(f, uint32_t(places[i].offset >> 32));
        addle32(f, n), addle32(f, places[i].cbytes), addle32(f, places[i].ppb);
        addle32(f, s.length), addle32(f, s.loopstart), addle32(f, s.loopend), addle32(f, s.rate);
        f.push_back(s.pitch), f.push_back(uint8_t(s.correction));
        addle16(f, s.link), addle16(f, s.type);
    }
    scramble(f.data() + Ccompsf::HEADER, f.size() - Ccompsf::HEADER, Ccompsf::HEADER % KEYLEN);
    return wrwhole(path, f);
}
