#include "midi/Cmidfil.h"

#include <atomic>

#include "midi/Cmixtab.h"
#include "platform/Cmsgbox.h"

#include <cerrno>
#include <cstring>

namespace {
std::atomic<uint64_t> g_serial{0};
}

Cmidfil::Cmidfil(std::string path, Cmixtab* mix) : Cbasfil(std::move(path)), mixer(mix), serial(++g_serial) {}

Cmidfil::~Cmidfil()
{
    tracks.clear();
    if (mixer) mixer->clear();
}

bool Cmidfil::rdmidi()
{
    errno = 0;
    loaded = rdall() ? 1 : 0;
    // errno stays 0 when the file could be read but its contents are wrong.
    if (!loaded) errbox("Cmidfil::rdmidi\nError while reading midi file", filedetail(m_path, errno));
    return loaded != 0;
}

bool Cmidfil::rdall()
{
    Cmidsrc file;
    if (!file.load(m_path)) return false;
    uint8_t id[4];
    if (!file.take(id, 4) || std::memcmp(id, "MThd", 4) != 0) return false;
    uint32_t hdrlen;
    if (!file.be32(hdrlen) || hdrlen < 6) return false;
    if (!file.be16(format) || !file.be16(ntrks) || !file.be16(division)) return false;
    // Ticks per quarter note of 0 would make every time infinite.
    if (division == 0) return false;
    file.skip(uint64_t(hdrlen) - 6);

    tracks.clear();
    tracks.resize(ntrks);
    lyrictrack = 0;
    lyrickind = 0;
    int32_t best = 0;
    for (int i = 0; i < ntrks; ++i) {
        tracks[size_t(i)] = std::make_unique<Ctrack>();
        Ctrack& tr = *tracks[size_t(i)];
        if (!tr.rdmidi(file)) return false;
        // Strict comparisons: the earliest track wins a tie, and Text wins over Lyric within
        // one track.
        if (tr.ntexts > best) {
            best = tr.ntexts;
            lyrickind = 1;
            lyrictrack = i;
        }
        if (tr.nlyrics > best) {
            best = tr.nlyrics;
            lyrickind = 5;
            lyrictrack = i;
        }
    }
    return true;
}
