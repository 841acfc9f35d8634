#include "bank/Csf2file.h"

#include "audio/Cnewfil.h"
#include "bank/Ckey.h"
#include "bank/Cstore.h"
#include "bank/Cvorbis.h"
#include "midi/Cbytes.h"
#include "platform/Cmsgbox.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const OPENFAIL = "Csf2file::rdfile\nFatal error while reading Sound Font file\nCould not open Sound Font file";
const char* const BADFORMAT = "Csf2file::rdfile\nFatal error while reading Sound Font file\nInvalid Sound Font file format";
const char* const NOTSF2 = "not a SoundFont 2 bank, or a damaged one";

bool tagis(const uint8_t* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

// A sample's name as stored, up to its first zero, for messages.
std::string nameof(const Sfshdr& s)
{
    size_t n = 0;
    while (n < sizeof s.name && s.name[n]) ++n;
    return std::string(s.name, n);
}

}  // namespace

Csf2file::Csf2file(std::string path, Cstore* store) : Cbasfil(std::move(path)), m_store(store) {}

Csf2file::~Csf2file()
{
    if (m_store) m_store->release(*this);
    if (m_store) m_store->addbank(-int64_t(m_added));
    if (fd >= 0) ::close(fd);
}

bool Csf2file::openfile()
{
    fd = openinput(m_path);
    if (fd < 0) return false;
    struct stat st;
    filesize = ::fstat(fd, &st) == 0 ? int64_t(st.st_size) : 0;
    return true;
}

bool Csf2file::rdbytes(void* dest, size_t size)
{
    auto* p = static_cast<uint8_t*>(dest);
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, p + got, size - got);
        if (n <= 0) return false;
        got += size_t(n);
    }
    if (m_scramble) m_keypos = scramble(p, size, m_keypos);
    return true;
}

bool Csf2file::skip(int64_t bytes)
{
    if (bytes < 0) return false;
    return ::lseek(fd, off_t(bytes), SEEK_CUR) >= 0;
}

// The record readers check the bytes asked for against what is left of the file before they
// allocate, so a size field the file cannot hold fails as a short read would.
namespace {

bool fits(int fd, int64_t filesize, uint64_t bytes)
{
    const off_t pos = ::lseek(fd, 0, SEEK_CUR);
    return pos >= 0 && int64_t(pos) <= filesize && bytes <= uint64_t(filesize - pos);
}

}  // namespace

bool Csf2file::rdphdr(uint32_t size)
{
    const uint32_t count = size / 38;
    if (count < 1) return true;
    if (!fits(fd, filesize, uint64_t(count) * 38)) return false;
    std::vector<uint8_t> raw(size_t(count) * 38);
    if (!rdbytes(raw.data(), raw.size())) return false;
    phdrs.reserve(phdrs.size() + count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* p = raw.data() + size_t(i) * 38;
        Sfphdr h;
        std::memcpy(h.name, p, 20);
        h.preset = le16(p + 20);
        h.bank = le16(p + 22);
        h.bagindex = le16(p + 24);
        h.library = le32(p + 26);
        h.genre = le32(p + 30);
        h.morphology = le32(p + 34);
        phdrs.push_back(h);
    }
    return true;
}

bool Csf2file::rdbag(std::vector<Sfbag>& list, uint32_t size)
{
    const uint32_t count = size / 4;
    if (count < 1) return true;
    if (!fits(fd, filesize, uint64_t(count) * 4)) return false;
    std::vector<uint8_t> raw(size_t(count) * 4);
    if (!rdbytes(raw.data(), raw.size())) return false;
    list.reserve(list.size() + count);
    for (uint32_t i = 0; i < count; ++i) list.push_back({le16(&raw[i * 4]), le16(&raw[i * 4 + 2])});
    return true;
}

bool Csf2file::rdgen(std::vector<Sfgen>& list, uint32_t size)
{
    const uint32_t count = size / 4;
    if (count < 1) return true;
    if (!fits(fd, filesize, uint64_t(count) * 4)) return false;
    std::vector<uint8_t> raw(size_t(count) * 4);
    if (!rdbytes(raw.data(), raw.size())) return false;
    list.reserve(list.size() + count);
    for (uint32_t i = 0; i < count; ++i) list.push_back({le16(&raw[i * 4]), le16(&raw[i * 4 + 2])});
    return true;
}

bool Csf2file::rdinst(uint32_t size)
{
    const uint32_t count = size / 22;
    if (count < 1) return true;
    if (!fits(fd, filesize, uint64_t(count) * 22)) return false;
    std::vector<uint8_t> raw(size_t(count) * 22);
    if (!rdbytes(raw.data(), raw.size())) return false;
    insts.reserve(insts.size() + count);
    for (uint32_t i = 0; i < count; ++i) {
        Sfinst in;
        std::memcpy(in.name, &raw[i * 22], 20);
        in.bagindex = le16(&raw[i * 22 + 20]);
        insts.push_back(in);
    }
    return true;
}

void Csf2file::tidy()
{
    // Index fields: each list's first-element index never passes the list it points into and
    // never goes backwards, so a zone always spans [index(i), index(i+1)) inside the list.
    auto mend = [](auto& owners, size_t limit) {
        uint16_t prev = 0;
        for (auto& o : owners) {
            uint16_t& ix = o.bagindex;
            ix = uint16_t(std::clamp<size_t>(ix, prev, limit));
            prev = ix;
        }
    };
    mend(phdrs, pbags.size());
    mend(insts, ibags.size());
    auto mendbags = [](std::vector<Sfbag>& bags, size_t limit) {
        uint16_t prev = 0;
        for (Sfbag& b : bags) {
            b.genindex = uint16_t(std::clamp<size_t>(b.genindex, prev, limit));
            prev = b.genindex;
        }
    };
    mendbags(pbags, pgens.size());
    mendbags(ibags, igens.size());

    // Stored audio stays inside the file: an offset past the end holds nothing, a count running
    // past the end is cut where the file ends.
    for (Sfshdr& s : shdrs) {
        if (s.offset < 0 || s.offset > filesize) s.offset = filesize;
        const uint64_t room = uint64_t(filesize - s.offset);
        if (s.vorbis) {
            // vet() held the stream inside the file and measured its points.
        } else if (s.ppb == 0) {
            if (uint64_t(s.ptsload) * 2 > room) s.ptsload = uint32_t(room / 2);
            s.coded = s.ptsload;
        } else {
            if (s.cbytes > room) s.cbytes = uint32_t(room);
            // Every block takes at least its header byte, so the coded bytes bound the points
            // they can hold; MAXPOINTS bounds what one sample may ask of memory.
            const uint64_t most = std::min<uint64_t>(uint64_t(s.cbytes) * s.ppb, MAXPOINTS);
            if (s.coded > most) s.coded = uint32_t(most);
            if (s.ptsload > most) s.ptsload = uint32_t(most);
        }
        s.loopstart = std::min(s.loopstart, s.length);
        s.loopend = std::clamp(s.loopend, s.loopstart, s.length);
    }
    // What the samples may take in memory: their stored points, and for a SoundFont 2 file no
    // more than its sample data chunk, since every plain sample lies inside it. Ogg Vorbis
    // samples take their decoded points; headers sharing one stream count it once.
    const uint64_t pad = uint64_t(shdrs.size()) * 46;
    uint64_t plain = 0, decoded = 0;
    std::vector<std::pair<int64_t, uint32_t>> streams;   // (offset, points) of each Ogg Vorbis sample
    for (const Sfshdr& s : shdrs) {
        if (s.vorbis) streams.emplace_back(s.offset, s.coded);
        else plain += uint64_t(s.coded) * 2;
    }
    std::sort(streams.begin(), streams.end());
    for (size_t i = 0; i < streams.size(); ++i)
        if (i == 0 || streams[i].first != streams[i - 1].first) decoded += uint64_t(streams[i].second) * 2;
    if (m_smplbytes) plain = std::min(plain, std::min<uint64_t>(m_smplbytes, uint64_t(filesize - smploff)));
    audiobytes = plain + decoded + pad;
    if (m_store) {
        m_store->addbank(int64_t(audiobytes));
        m_added = audiobytes;
    }
}

bool Csf2file::vet(bool allowvorbis, std::string& why)
{
    char hex[8];
    for (Sfshdr& s : shdrs) {
        const uint16_t kind = s.type & ~(sftype::vorbis | sftype::rom);
        const bool known = kind == 0 || kind == sftype::mono || kind == sftype::right || kind == sftype::left ||
                           kind == sftype::linked;
        if (!known || (!allowvorbis && (s.type & sftype::vorbis))) {
            std::snprintf(hex, sizeof hex, "0x%x", unsigned(s.type));
            why = std::string("unknown sample type ") + hex + " in sample '" + nameof(s) + "'";
            return false;
        }
        if (s.type & sftype::rom) {
            // Its points are in a sound card's memory; what the file holds there is not them.
            s.type &= ~sftype::vorbis;
            s.vorbis = false;
            s.length = s.loopstart = s.loopend = s.ptsload = s.coded = s.cbytes = s.ppb = 0;
            continue;
        }
        if (!(s.type & sftype::vorbis)) continue;
        s.type &= ~sftype::vorbis;
        s.vorbis = true;
        s.ppb = 0;
        if (s.offset < 0 || s.offset > filesize) s.offset = filesize;
        s.cbytes = uint32_t(std::min<uint64_t>(s.cbytes, uint64_t(filesize - s.offset)));
    }
    // Each stream is its own byte range: a stream that starts inside another would be decoded
    // again from the other's pages. Headers naming the very same stream share one measurement.
    std::vector<Sfshdr*> v;
    for (Sfshdr& s : shdrs)
        if (s.vorbis) v.push_back(&s);
    std::sort(v.begin(), v.end(), [](const Sfshdr* a, const Sfshdr* b) {
        return a->offset != b->offset ? a->offset < b->offset : a->cbytes < b->cbytes;
    });
    for (size_t i = 0; i < v.size(); ++i) {
        Sfshdr& s = *v[i];
        if (i > 0 && s.offset == v[i - 1]->offset && s.cbytes == v[i - 1]->cbytes) {
            s.length = s.ptsload = s.coded = v[i - 1]->coded;
            continue;
        }
        if (i > 0 && s.offset < v[i - 1]->offset + int64_t(v[i - 1]->cbytes)) {
            why = "the Ogg Vorbis streams of samples '" + nameof(*v[i - 1]) + "' and '" + nameof(s) + "' overlap";
            return false;
        }
        uint64_t points = 0;
        const std::string fault = Cvorbis::probe(fd, s.offset, s.cbytes, points);
        if (!fault.empty()) {
            why = "sample '" + nameof(s) + "': " + fault;
            return false;
        }
        if (points > MAXPOINTS) {
            why = "sample '" + nameof(s) + "': more points than one sample may hold";
            return false;
        }
        // The header's rate tunes the sample, as for every other sample; the stream's own rate
        // is only what its encoder was told.
        s.length = s.ptsload = s.coded = uint32_t(points);
    }
    return true;
}

void Csf2file::reset()
{
    if (m_store) m_store->release(*this);
    if (m_store) m_store->addbank(-int64_t(m_added));
    m_added = 0;
    m_smplbytes = 0;
    audiobytes = 0;
    loaded = 0;
    failure.clear();
    m_scramble = false;
    phdrs.clear(), pbags.clear(), pgens.clear(), insts.clear(), ibags.clear(), igens.clear(), shdrs.clear();
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool Csf2file::rdfile()
{
    reset();
    if (!openfile()) {
        failure = reason(errno);
        errbox(OPENFAIL, filedetail(m_path, errno));
        return false;
    }
    auto bad = [this](const std::string& why = std::string()) {
        failure = why.empty() ? std::string(NOTSF2) : why;
        errbox(BADFORMAT, filedetail(m_path) + (why.empty() ? "" : "\n" + why));
        return false;
    };
    uint8_t h[24];
    if (!rdbytes(h, 24) || !tagis(h, "RIFF") || !tagis(h + 8, "sfbk") || !tagis(h + 12, "LIST") || !tagis(h + 20, "INFO"))
        return bad();
    if (!skip(int64_t(le32(h + 16)) - 4)) return bad();

    if (!rdbytes(h, 12) || !tagis(h, "LIST") || !tagis(h + 8, "sdta")) return bad();
    if (!rdbytes(h, 8) || !tagis(h, "smpl")) return bad();
    smploff = ::lseek(fd, 0, SEEK_CUR);
    const uint32_t smplsize = le32(h + 4);
    m_smplbytes = smplsize;
    if (!skip(smplsize)) return bad();
    // RIFF pads a chunk of odd size with one byte; Ogg Vorbis banks are written both with and
    // without it.
    if (smplsize & 1) {
        uint8_t next = 0;
        if (::pread(fd, &next, 1, ::lseek(fd, 0, SEEK_CUR)) == 1 && next != 'L' && !skip(1)) return bad();
    }

    if (!rdbytes(h, 12) || !tagis(h, "LIST") || !tagis(h + 8, "pdta")) return bad();

    static const char* const ORDER[9] = {"phdr", "pbag", "pmod", "pgen", "inst", "ibag", "imod", "igen", "shdr"};
    for (int i = 0; i < 9; ++i) {
        if (!rdbytes(h, 8) || !tagis(h, ORDER[i])) return bad();
        const uint32_t size = le32(h + 4);
        bool ok = true;
        switch (i) {
        case 0: ok = rdphdr(size); break;
        case 1: ok = rdbag(pbags, size); break;
        case 2: ok = skip(size); break;
        case 3: ok = rdgen(pgens, size); break;
        case 4: ok = rdinst(size); break;
        case 5: ok = rdbag(ibags, size); break;
        case 6: ok = skip(size); break;
        case 7: ok = rdgen(igens, size); break;
        case 8: {
            const uint32_t count = size / 46;
            if (count < 1) break;
            if (!fits(fd, filesize, uint64_t(count) * 46)) return bad();
            std::vector<uint8_t> raw(size_t(count) * 46);
            if (!rdbytes(raw.data(), raw.size())) return bad();
            shdrs.reserve(count);
            // Sample positions are counted in points from the start of "smpl"; a sample must lie
            // inside that chunk, so start and end are held to it and end to at least start.
            const uint32_t chunkpts = smplsize / 2;
            for (uint32_t k = 0; k < count; ++k) {
                const uint8_t* p = &raw[size_t(k) * 46];
                Sfshdr s;
                std::memcpy(s.name, p, 20);
                const uint32_t start = std::min(le32(p + 20), chunkpts);
                const uint32_t end = std::clamp(le32(p + 24), start, chunkpts);
                const uint32_t ls = le32(p + 28), le = le32(p + 32);
                s.length = end - start;
                s.loopstart = ls > start ? ls - start : 0;
                s.loopend = le > start ? le - start : 0;
                s.rate = le32(p + 36);
                s.pitch = p[40];
                s.correction = int8_t(p[41]);
                s.link = le16(p + 42);
                s.type = le16(p + 44);
                s.fd = fd;
                s.offset = smploff + 2 * int64_t(start);
                s.ptsload = s.length;
                s.coded = s.length;
                if (s.type & sftype::vorbis && !(s.type & sftype::rom)) {
                    // Start and end are byte offsets of the sample's Ogg Vorbis stream in "smpl"
                    // (end exclusive); the loop is counted in points from its first decoded
                    // point. vet() measures the points.
                    const uint32_t bstart = std::min(le32(p + 20), smplsize);
                    const uint32_t bend = std::clamp(le32(p + 24), bstart, smplsize);
                    s.offset = smploff + int64_t(bstart);
                    s.cbytes = bend - bstart;
                    s.length = s.ptsload = s.coded = 0;
                    s.loopstart = ls;
                    s.loopend = le;
                }
                shdrs.push_back(s);
            }
            break;
        }
        }
        if (!ok) return bad();
    }
    std::string why;
    if (!vet(true, why)) return bad(why);
    tidy();
    loaded = 1;
    return true;
}
