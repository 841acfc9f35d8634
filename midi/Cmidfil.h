#pragma once
// A Standard MIDI File in memory: one Ctrack per track chunk, events kept exactly as read with
// absolute ticks, plus the two karaoke facts found while reading (which track carries the
// lyrics, and whether they are Text or Lyric meta events).
//
// division is always ticks per quarter note; a file with division 0 is refused at load.
// Loaded on the user-interface thread; the render thread only reads it.
#include "midi/Cbasfil.h"
#include "midi/Ctrack.h"

#include <cstdint>
#include <memory>
#include <vector>

class Cmixtab;

class Cmidfil : public Cbasfil {
public:
    // mixer: the channel table this file's instrument names go into; it is cleared again when
    // the file is deleted. May be null.
    explicit Cmidfil(std::string path, Cmixtab* mixer = nullptr);
    ~Cmidfil() override;

    // Reads the whole file; shows its own boxes and returns false on failure, keeping the
    // tracks read so far.
    bool rdmidi();

    Ctrack* track(int i) const { return i >= 0 && i < int(tracks.size()) ? tracks[size_t(i)].get() : nullptr; }

    uint16_t ntrks = 0;
    std::vector<std::unique_ptr<Ctrack>> tracks;   // ntrks entries, null until read
    uint16_t division = 0;
    uint8_t loaded = 0;
    int32_t lyrictrack = 0;
    int32_t lyrickind = 0;   // 1 Text, 5 Lyric, 0 neither
    uint16_t format = 0;
    Cmixtab* mixer = nullptr;

private:
    bool rdall();
};
