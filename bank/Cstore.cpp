#include "bank/Cstore.h"

#include "bank/Cdecoder.h"
#include "bank/Ckey.h"
#include "bank/Csf2file.h"
#include "bank/Cvorbis.h"
#include "platform/Cmsgbox.h"
#include "settings/Csettings.h"

#include <chrono>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Shared audio of a sample that could not be given memory: PAD zero points, never written.
const int16_t SILENT[Cstore::PAD] = {};

int64_t steadyseconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Reads up to size bytes at offset; returns the bytes read.
size_t readat(int fd, void* dest, size_t size, int64_t offset)
{
    auto* p = static_cast<uint8_t*>(dest);
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, p + got, size - got, off_t(offset + int64_t(got)));
        if (n <= 0) break;
        got += size_t(n);
    }
    return got;
}

}  // namespace

uint64_t Cstore::physmem()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pagesize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pagesize <= 0) return uint64_t(1) << 30;
    return uint64_t(pages) * uint64_t(pagesize);
}

Cstore::Cstore(const Csettings* settings) : Cstore(physmem(), settings) {}

Cstore::Cstore(uint64_t budget, const Csettings* settings, Clock clock)
    : m_budget(budget), m_settings(settings), m_clock(clock ? std::move(clock) : Clock(steadyseconds))
{
}

Cstore::~Cstore() { clear(); }

void Cstore::drop(Sfshdr& smp)
{
    if (smp.audio != SILENT) delete[] smp.audio;
    smp.audio = nullptr;
    m_inuse -= sizeof_(smp);
}

void Cstore::clear()
{
    for (Sfshdr* s : m_loaded) drop(*s);
    m_loaded.clear();
    m_inuse = 0;
}

void Cstore::release(Csf2file& bank)
{
    if (bank.shdrs.empty()) return;
    const Sfshdr* first = bank.shdrs.data();
    const Sfshdr* last = first + bank.shdrs.size();
    for (auto it = m_loaded.begin(); it != m_loaded.end();) {
        if (*it >= first && *it < last) {
            drop(**it);
            it = m_loaded.erase(it);
        } else {
            ++it;
        }
    }
}

void Cstore::addbank(int64_t bytes)
{
    m_banks = bytes < 0 && uint64_t(-bytes) > m_banks ? 0 : m_banks + uint64_t(bytes);
}

void Cstore::evict(uint64_t need)
{
    const uint64_t limit = budget();
    while (limit < m_inuse + need) {
        // The least recently used sample that no sounding voice reads.
        auto oldest = m_loaded.end();
        for (auto it = m_loaded.begin(); it != m_loaded.end(); ++it)
            if ((*it)->pins == 0 && (oldest == m_loaded.end() || (*it)->lastuse < (*oldest)->lastuse)) oldest = it;
        if (oldest == m_loaded.end()) return;
        drop(**oldest);
        m_loaded.erase(oldest);
    }
}

uint32_t Cstore::raise(Sfshdr& smp, uint32_t points)
{
    if (smp.audio || points <= smp.ptsload) return smp.ptsload;
    uint64_t limit;
    if (smp.ppb == 0 && !smp.vorbis) {
        // Plain audio reads on into whatever follows it in the file, up to the file's end less
        // the PAD points that every load also reads.
        struct stat st;
        const int64_t size = smp.fd >= 0 && ::fstat(smp.fd, &st) == 0 ? int64_t(st.st_size) : 0;
        const int64_t room = size - smp.offset - int64_t(PAD) * 2;
        limit = room > 0 ? uint64_t(room) / 2 : 0;
    } else {
        // Coded and Ogg Vorbis audio ends at its coded points; what lies past them is zeros.
        limit = uint64_t(smp.coded) + MAXRAISE;
    }
    if (limit > points) limit = points;
    if (limit > smp.ptsload) smp.ptsload = uint32_t(limit);
    return smp.ptsload;
}

bool Cstore::load(Sfshdr& smp)
{
    bool ok = true;
    uint64_t size = sizeof_(smp);
    const uint64_t limit = budget();
    if (size <= limit) {
        evict(size);
        // The room is held by samples that sounding voices read: this note plays as silence
        // and the sample is loaded again when asked later.
        if (m_inuse + size > limit) return false;
    }
    int16_t* buf = size <= limit ? new (std::nothrow) int16_t[size / 2] : nullptr;
    if (!buf) {
        // No memory for it: the sample plays as silence of no length.
        smp.ptsload = 0;
        size = sizeof_(smp);
        buf = const_cast<int16_t*>(SILENT);
        ok = false;
    } else if (smp.vorbis) {
        const size_t want = smp.coded < smp.ptsload ? smp.coded : smp.ptsload;
        size_t made = smp.fd >= 0 ? Cvorbis::decode(smp.fd, smp.offset, smp.cbytes, buf, want) : 0;
        if (made < want) ok = false, made = 0;
        std::memset(buf + made, 0, size_t(size) - made * 2);
    } else if (smp.ppb == 0) {
        const size_t want = size_t(size);
        const size_t got = smp.fd >= 0 ? readat(smp.fd, buf, want, smp.offset) : 0;
        // The sample's own points must be there; trailing bytes missing at the file's end are
        // zeros.
        if (got < size_t(smp.ptsload) * 2) {
            std::memset(buf, 0, want);
            ok = false;
        } else {
            std::memset(reinterpret_cast<uint8_t*>(buf) + got, 0, want - got);
            for (size_t i = 0; i < want / 2; ++i) buf[i] = int16_t(le16toh(uint16_t(buf[i])));
        }
    } else {
        std::vector<uint8_t> coded(smp.cbytes);
        const size_t got = smp.fd >= 0 ? readat(smp.fd, coded.data(), coded.size(), smp.offset) : 0;
        size_t made = 0;
        if (got == coded.size()) {
            scramble(coded.data(), coded.size(), unsigned(uint64_t(smp.offset) % KEYLEN));
            Cdecoder dec;
            const size_t want = smp.coded < smp.ptsload ? smp.coded : smp.ptsload;
            made = dec.decode(coded.data(), coded.size(), smp.ppb, buf, want);
            if (made < want) ok = false;
        } else {
            ok = false;
        }
        if (!ok) made = 0;
        std::memset(buf + made, 0, size_t(size) - made * 2);
    }
    if (!ok && m_settings && Csettings::get(m_settings->showerrors)) {
        char name[21];
        std::memcpy(name, smp.name, 20);
        name[20] = 0;
        msgbox(std::string("Sample:") + name, "Error loading sample", Boxicon::error, nullptr);
    }
    smp.audio = buf;
    m_inuse += size;
    m_loaded.push_front(&smp);
    return true;
}

const int16_t* Cstore::request(Sfshdr& smp)
{
    if (!smp.audio && !load(smp)) return SILENT;
    smp.lastuse = m_clock();
    return smp.audio;
}
