#pragma once
// The MIDI mixer table: one record per MIDI channel with the instrument names the loaded file
// uses, a gain in tenths of a dB (-250 .. +250) and a mute flag.
//
// The names are built and read on the user-interface thread only. Gain and mute are written by
// the mixer dialog while the render thread and the players read them, so they are atomics read
// and written with relaxed ordering.
#include "midi/Midicodes.h"

#include <atomic>
#include <memory>
#include <string>

class Cmidfil;

struct Cmixrec {
    std::string names;   // "Violin/Viola"; empty when the channel has no program change
    std::atomic<int> gain{0};
    std::atomic<bool> mute{false};
};

class Cmixtab {
public:
    static constexpr int NCHAN = 16;
    static constexpr int DRUMS = DRUMCHANNEL;
    static constexpr int MINGAIN = -250, MAXGAIN = 250;

    virtual ~Cmixtab() = default;

    // Empties every name and returns every gain to 0 dB and every mute flag to off.
    void clear();
    // Adds the program names of every Program Change of the file, tracks in order, events in
    // file order; the drum channel is "Percussion" whatever its program.
    void name(const Cmidfil& file);

    Cmixrec& operator[](int ch) { return m_rec[ch & 15]; }
    const Cmixrec& operator[](int ch) const { return m_rec[ch & 15]; }

    int gain(int ch) const { return m_rec[ch & 15].gain.load(std::memory_order_relaxed); }
    bool muted(int ch) const { return m_rec[ch & 15].mute.load(std::memory_order_relaxed); }
    void setgain(int ch, int tenthsdb);   // clamped to MINGAIN .. MAXGAIN
    void setmute(int ch, bool on) { m_rec[ch & 15].mute.store(on, std::memory_order_relaxed); }

    // The General MIDI program name of 0 .. 127.
    static const char* progname(int program);

private:
    Cmixrec m_rec[NCHAN];
};

// The load every tool performs: deletes the current file (which clears the table), reads the
// new one and, when it loads, clears the table and names its channels. On failure the new object
// is deleted again, current stays null and false is returned; the reader has shown its boxes,
// the caller shows its own warning.
bool loadmidi(std::unique_ptr<Cmidfil>& current, const std::string& path, Cmixtab& mixer);
