#pragma once
// A Standard MIDI File in memory: one Ctrack per track chunk, events kept exactly as read with
// absolute ticks, plus the two karaoke facts found while reading (which track carries the
// lyrics, and whether they are Text or Lyric meta events).
//
// division is always ticks per quarter note; a file with division 0 is refused at load.
// Loaded on the user-interface thread; the render thread only reads it.
#include "midi/Cbasfil.h"
#include "midi/Ctrack.h"
#include "platform/Cmidiport.h"

#include <cstdint>
#include <memory>
#include <vector>

class Cmixtab;
class Cwindow;

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
    // Unique per object for the whole run, so a consumer that remembered a file can tell it from
    // a newer one that happens to live at the same address.
    const uint64_t serial;

    // MIDI output device (midi/Cmidout.cpp). open and close on the user-interface thread; the
    // send calls from the player's scheduler, one thread at a time. A system exclusive message
    // stays in mohdr until release(), called on MM_MOM_DONE; the player sends no other one
    // before that.
    // device: the port system's index (-1 is the built-in synthesizer, no port there).
    bool open(Cwindow* window, int device = -1);
    // An output already opened by the caller (the built-in synthesizer); false for none.
    bool open(Cwindow* window, std::unique_ptr<Cmidiport> port);
    void close();
    // Closes as close() does, but hands the port back instead of ending it (a player keeps the
    // built-in synthesizer over a pause); null when closed.
    std::unique_ptr<Cmidiport> detach();
    void sendshort(const Cmidiev* ev);   // a channel event
    void sendmsg(uint8_t status, uint8_t data1, uint8_t data2);   // a channel message
    void sendlong(const Cmidiev* ev);    // a system exclusive event
    void release();
    void notesoff();   // All Notes Off, then All Sound Off, on every channel
    std::unique_ptr<Cmidiport> hmo;      // null when closed
    Midihdr mohdr;
    Cwindow* mowin = nullptr;            // receives MM_MOM_OPEN, MM_MOM_DONE, MM_MOM_CLOSE

private:
    bool rdall();
};
