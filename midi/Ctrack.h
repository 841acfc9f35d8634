#pragma once
// One track chunk: a doubly linked list of events in file order, owned, with the counts of Text
// and Lyric meta events that decide which track carries the karaoke lyrics.
#include "midi/Cchanev.h"
#include "midi/Cmidiev.h"
#include "midi/Cmidsrc.h"

#include <cstdint>
#include <memory>
#include <vector>

class Ctrack {
public:
    Ctrack() = default;
    virtual ~Ctrack();
    Ctrack(const Ctrack&) = delete;
    Ctrack& operator=(const Ctrack&) = delete;

    // Reads one "MTrk" chunk from the current position. Shows its own box on failure (none for
    // a wrong identifier); events read before the fault stay in the list.
    bool rdmidi(Cmidsrc& file);

    Cmidiev* first = nullptr;
    Cmidiev* last = nullptr;
    int32_t nlyrics = 0;   // Lyric meta events (type 5)
    int32_t ntexts = 0;    // Text meta events (type 1)

private:
    // Channel messages, most of a file's events, live in blocks of the track rather than in an
    // allocation each, which would take half as much again for the allocator's own bookkeeping.
    static constexpr int SLAB = 64;
    struct Cslab {
        alignas(Cchanev) unsigned char bytes[SLAB * sizeof(Cchanev)];
    };
    Cchanev* newchanev(int32_t tick, uint8_t st, uint8_t d1, uint8_t d2);
    void append(Cmidiev* ev);
    bool rdvnum(Cmidsrc& file, uint32_t& remaining, uint32_t& value);

    std::vector<std::unique_ptr<Cslab>> m_slabs;
    int m_inslab = SLAB;   // events in the last block
};
