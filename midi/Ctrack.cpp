#include "midi/Ctrack.h"

#include "midi/Cchanev.h"
#include "midi/Cmetaev.h"
#include "midi/Csysexev.h"
#include "platform/Cmsgbox.h"

#include <climits>
#include <cstring>
#include <new>

namespace {
const char* const BADDATA = "Ctrack::rdmidi\nBad data in midi file";
const char* const BADVNUM = "Ctrack::rdmidi\nError while reading Vnum";
const char* const NORUNNING = "Ctrack::rdmidi\nMissing running status";
}

Ctrack::~Ctrack()
{
    for (Cmidiev* ev = first; ev;) {
        Cmidiev* next = ev->next;
        // Channel messages sit in the blocks, which go afterwards.
        if (ev->kind() == 0) ev->~Cmidiev();
        else delete ev;
        ev = next;
    }
}

Cchanev* Ctrack::newchanev(int32_t tick, uint8_t st, uint8_t d1, uint8_t d2)
{
    if (m_inslab == SLAB) {
        m_slabs.push_back(std::unique_ptr<Cslab>(new Cslab));
        m_inslab = 0;
    }
    return new (m_slabs.back()->bytes + size_t(m_inslab++) * sizeof(Cchanev)) Cchanev(tick, st, d1, d2);
}

void Ctrack::append(Cmidiev* ev)
{
    ev->prev = last;
    if (last) last->next = ev;
    else first = ev;
    last = ev;
}

// Variable-length quantity: up to four bytes of 7 bits, most significant first, a set top bit
// meaning that another byte follows. Every byte counts against the chunk.
bool Ctrack::rdvnum(Cmidsrc& file, uint32_t& remaining, uint32_t& value)
{
    value = 0;
    for (int i = 0; i < 4; ++i) {
        uint8_t b;
        if (remaining == 0 || !file.byte(b)) {
            errbox(BADVNUM);
            return false;
        }
        --remaining;
        value = value << 7 | (b & 0x7F);
        if (!(b & 0x80)) return true;
    }
    errbox(BADVNUM);
    return false;
}

bool Ctrack::rdmidi(Cmidsrc& file)
{
    nlyrics = 0;
    ntexts = 0;
    uint8_t id[4];
    if (!file.take(id, 4)) {
        errbox(BADDATA);
        return false;
    }
    if (std::memcmp(id, "MTrk", 4) != 0) return false;
    uint32_t remaining;
    if (!file.be32(remaining)) {
        errbox(BADDATA);
        return false;
    }

    // One byte of the chunk: fails when the chunk or the file is used up.
    auto next = [&](uint8_t& b) {
        if (remaining == 0 || !file.byte(b)) {
            errbox(BADDATA);
            return false;
        }
        --remaining;
        return true;
    };

    int64_t tick = 0;     // kept wide and held at INT32_MAX so that long files cannot overflow
    uint8_t running = 0;  // 0: no running status
    while (remaining != 0) {
        uint32_t delta;
        if (!rdvnum(file, remaining, delta)) return false;
        tick += delta;
        if (tick > INT32_MAX) tick = INT32_MAX;
        const int32_t t = int32_t(tick);

        uint8_t b;
        if (!next(b)) return false;
        if (b < 0xF0) {
            uint8_t st = b, d1 = 0, d2 = 0;
            if (b < 0x80) {
                if (!running) {
                    errbox(NORUNNING);
                    return false;
                }
                st = running;
                d1 = b;
            } else {
                running = b;
                if (!next(d1)) return false;
            }
            if (Cchanev::databytes(st) == 2 && !next(d2)) return false;
            append(newchanev(t, st, d1, d2));
        } else if (b == 0xF0 || b == 0xF7) {
            running = 0;
            uint32_t len;
            if (!rdvnum(file, remaining, len)) return false;
            auto* ev = new Csysexev(t, b, int32_t(len));
            append(ev);
            if (len != 0 && !ev->rdmidi(file, remaining)) return false;
            remaining -= len;
        } else if (b == 0xFF) {
            uint8_t type;
            if (!next(type)) return false;
            uint32_t len;
            if (!rdvnum(file, remaining, len)) return false;
            auto* ev = new Cmetaev(t, type, int32_t(len));
            append(ev);
            if (type == Cmetaev::TEXT) ++ntexts;
            if (type == Cmetaev::LYRIC) ++nlyrics;
            if (len != 0 && !ev->rdmidi(file, remaining)) return false;
            remaining -= len;
        } else if (b <= 0xF6) {
            // System common: its data bytes are skipped, no event is kept.
            running = 0;
            const int n = b == 0xF2 ? 2 : (b == 0xF1 || b == 0xF3) ? 1 : 0;
            for (int i = 0; i < n; ++i) {
                uint8_t skip;
                if (!next(skip)) return false;
            }
        }
        // 0xF8 to 0xFE (real time) carry nothing and leave the running status alone.
    }
    return true;
}
