#include "bank/Ccompsf.h"

#include "bank/Ckey.h"
#include "midi/Cbytes.h"
#include "platform/Cmsgbox.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

const char* const OPENFAIL = "Ccompsf::rdfile\nFatal error while reading SoundFont file\nCould not open SoundFont file";
const char* const BADFORMAT = "Ccompsf::rdfile\nFatal error while reading SoundFont file\nInvalid SoundFont file format";
const char* const TOONEW = "Ccompsf::rdfile\nThis SoundFont can only be processed\nby a more recent version of the program";


}  // namespace

Ccompsf::Ccompsf(std::string path, Cstore* store) : Csf2file(std::move(path), store) {}

Ccompsf::~Ccompsf() = default;

bool Ccompsf::rdshdr(uint32_t size)
{
    const uint32_t count = size / SHDRSIZE;
    if (count < 1) return true;
    const off_t pos = ::lseek(fd, 0, SEEK_CUR);
    if (pos < 0 || pos > filesize || uint64_t(count) * SHDRSIZE > uint64_t(filesize - pos)) return false;
    std::vector<uint8_t> raw(size_t(count) * SHDRSIZE);
    if (!rdbytes(raw.data(), raw.size())) return false;
    shdrs.reserve(shdrs.size() + count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* p = &raw[size_t(i) * SHDRSIZE];
        Sfshdr s;
        std::memcpy(s.name, p, 20);
        s.offset = int64_t(uint64_t(le32(p + 20)) | uint64_t(le32(p + 24)) << 32);
        s.ptsload = le32(p + 28);
        s.coded = s.ptsload;
        s.cbytes = le32(p + 32);
        s.ppb = le32(p + 36);
        s.length = le32(p + 40);
        s.loopstart = le32(p + 44);
        s.loopend = le32(p + 48);
        s.rate = le32(p + 52);
        s.pitch = p[56];
        s.correction = int8_t(p[57]);
        s.link = le16(p + 58);
        s.type = le16(p + 60);
        s.fd = fd;
        shdrs.push_back(s);
    }
    return true;
}

bool Ccompsf::rdfile()
{
    reset();
    if (!openfile()) {
        failure = reason(errno);
        errbox(OPENFAIL, filedetail(m_path, errno));
        return false;
    }
    auto bad = [this](const std::string& why = std::string()) {
        failure = why.empty() ? std::string("not a compressed bank of this program, or a damaged one") : why;
        errbox(BADFORMAT, filedetail(m_path) + (why.empty() ? "" : "\n" + why));
        return false;
    };
    uint8_t h[HEADER];
    if (!rdbytes(h, HEADER) || std::memcmp(h, "VAVU", 4) != 0) return bad();
    if (h[47] > MAXVERSION) {
        failure = "written by a newer version of the program";
        errbox(TOONEW);
        return false;
    }
    const uint16_t body = le16(h + 44);
    if (::lseek(fd, body, SEEK_SET) < 0) return bad();
    m_scramble = true;
    m_keypos = body % KEYLEN;

    uint8_t d[10];
    if (!rdbytes(d, 10) || le16(d) != TAGDATA) return bad();
    smploff = ::lseek(fd, 0, SEEK_CUR);
    const uint64_t datalen = uint64_t(le32(d + 2)) | uint64_t(le32(d + 6)) << 32;
    if (datalen > uint64_t(filesize) || !skip(int64_t(datalen))) return bad();
    m_keypos = unsigned((m_keypos + datalen % KEYLEN) % KEYLEN);

    static const uint16_t TAGS[7] = {TAGPHDR, TAGPBAG, TAGPGEN, TAGINST, TAGIBAG, TAGIGEN, TAGSHDR};
    for (int i = 0; i < 7; ++i) {
        uint8_t s[6];
        if (!rdbytes(s, 6) || le16(s) != TAGS[i]) return bad();
        const uint32_t size = le32(s + 2);
        bool ok = false;
        switch (i) {
        case 0: ok = rdphdr(size); break;
        case 1: ok = rdbag(pbags, size); break;
        case 2: ok = rdgen(pgens, size); break;
        case 3: ok = rdinst(size); break;
        case 4: ok = rdbag(ibags, size); break;
        case 5: ok = rdgen(igens, size); break;
        case 6: ok = rdshdr(size); break;
        }
        if (!ok) return bad();
    }
    m_scramble = false;
    // The compressed format stores plain or block-coded points only.
    std::string why;
    if (!vet(false, why)) return bad(why);
    tidy();
    loaded = 1;
    return true;
}
