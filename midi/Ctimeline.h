#pragma once
// Events of a loaded file in time order, and the tick/time arithmetic every consumer shares.
//
// A timeline is a singly linked list of nodes that point at events owned by the tracks of a
// Cmidfil; it is valid only while that file lives. Insertion is a stable merge by tick: events
// at the same tick keep the order in which they were inserted, and the builders insert tracks
// in index order and each track in file order, so equal ticks come out by track number, then
// file order, never by message type.
//
// Consumers: the render thread (one timeline per channel plus one of tempo changes), the file
// player and the recorder (everything they send, with the karaoke filter), the Properties facts
// (Set Tempo only, for the media length).
//
// Time starts at 1,000,000 microseconds per quarter note until the first Set Tempo event. A Set
// Tempo that reports 0 (wrong length) is ignored: the tempo in force stays.
#include "midi/Cmidiev.h"

#include <cstdint>

class Cmidfil;

class Cnode {
public:
    explicit Cnode(Cmidiev* e) : ev(e) {}
    virtual ~Cnode() = default;
    Cnode(const Cnode&) = delete;
    Cnode& operator=(const Cnode&) = delete;

    Cmidiev* ev;             // not owned
    Cnode* next = nullptr;
};

class Ctimeline {
public:
    static constexpr double STARTTEMPO = 1000000.0;   // microseconds per quarter note
    static constexpr double RATE = 44100.0;           // output samples per second

    Ctimeline() = default;
    virtual ~Ctimeline();
    Ctimeline(const Ctimeline&) = delete;
    Ctimeline& operator=(const Ctimeline&) = delete;

    void clear();
    bool empty() const { return !first; }
    void insert(Cmidiev* ev);

    // The player's and recorder's timeline: every event except Text and Lyric events that are
    // not lyrics of the file's lyric track.
    void buildplayer(const Cmidfil& file);
    // Set Tempo meta events only.
    void buildtempo(const Cmidfil& file);
    // The render thread's timelines: channel events into chans[channel], Set Tempo events into
    // tempo. Returns the greatest tick of the events inserted (0 when none).
    static int32_t buildrender(const Cmidfil& file, Ctimeline chans[16], Ctimeline& tempo);

    // Filters of the builders.
    static bool keepplayer(const Cmidfil& file, int track, const Cmidiev& ev);
    static bool istempo(const Cmidiev& ev) { return ev.kind() == 2 && ev.metatype() == 0x51; }

    // Microseconds from the first node to the last, tempo changes on the way applied.
    double total(int division) const;

    // Tick and time arithmetic; tempo in microseconds per quarter note.
    static double usecs(double ticks, double tempo, int division) { return ticks * tempo / division; }
    static double samplespertick(double tempo, int division) { return tempo * RATE / division * 0.000001; }
    static double tickspersample(double tempo, int division) { return division * 22.675736961451246 / tempo; }
    // The user's tempo setting, a whole percentage; positive slows the music down.
    static double scaled(double tempo, int percent) { return tempo * (1 + percent * 0.01); }
    // The tempo after passing ev: its value when it is a usable Set Tempo, else cur.
    static double nexttempo(const Cmidiev& ev, double cur);

    Cnode* first = nullptr;
    Cnode* last = nullptr;
    Cnode* hint = nullptr;
};

// Greatest tick of any event of any track (0 for a file without events).
int32_t maxtick(const Cmidfil& file);
// Length in seconds from tick 0 to the greatest tick of the file, Set Tempo events applied.
double medialength(const Cmidfil& file);
