#pragma once
// The sample store: loads a sample's audio on its first request, plain 16-bit points, coded
// blocks (Cdecoder) or an Ogg Vorbis stream (Cvorbis), and keeps the total of loaded audio
// within a budget by evicting the least recently used samples, by whole seconds of its clock.
// The budget is the machine's physical memory by default, and never more than the audio the
// banks read with this store hold (addbank), whatever their sample headers claim. A pinned
// sample (a sounding voice reads it) is never evicted; a load that finds the room held by
// pinned samples plays as silence and is not kept.
// One store per application context; the render thread is its only user while a conversion
// runs, so it takes no locks.
//
// A loaded buffer holds ptsload points and 23 more (46 bytes): zeros after a coded or Ogg
// Vorbis load, for plain audio the 46 bytes that follow the sample in the file. It counts
// ptsload * 2 + 46 bytes.
#include "bank/Sfrec.h"

#include <cstdint>
#include <functional>
#include <list>

struct Csettings;
class Csf2file;

class Cstore {
public:
    static constexpr uint32_t PAD = 23;                  // points after the loaded ones
    using Clock = std::function<int64_t()>;              // whole seconds

    // Budget = physical memory; "Show MIDI error messages" is read from settings (null: off).
    explicit Cstore(const Csettings* settings = nullptr);
    // Explicit budget in bytes and clock, for tests and tools.
    Cstore(uint64_t budget, const Csettings* settings, Clock clock = {});
    ~Cstore();
    Cstore(const Cstore&) = delete;
    Cstore& operator=(const Cstore&) = delete;

    // The sample's audio, loaded if needed, never null (silent on failure, with smp.audio left
    // null when only pinned samples held the room); stamps lastuse.
    const int16_t* request(Sfshdr& smp);
    // Before the first request: raises ptsload to at least points (never lowers it), bounded by
    // what the stored audio can supply (following file data for plain audio, zero points after
    // coded audio up to MAXRAISE past the coded count). Returns the new ptsload. A loaded
    // sample is left as it is.
    uint32_t raise(Sfshdr& smp, uint32_t points);
    // Frees the audio of every sample of this bank held here.
    void release(Csf2file& bank);
    // A bank read with this store adds the bytes of audio it holds (and takes them back when it
    // goes, with a negative count); the budget never exceeds their sum.
    void addbank(int64_t bytes);
    // Keeps a loaded sample's audio until as many unpin calls came.
    void pin(Sfshdr& smp) { ++smp.pins; }
    void unpin(Sfshdr& smp)
    {
        if (smp.pins) --smp.pins;
    }
    // Frees everything.
    void clear();

    uint64_t budget() const { return m_banks && m_banks < m_budget ? m_banks : m_budget; }
    uint64_t inuse() const { return m_inuse; }
    size_t count() const { return m_loaded.size(); }

    static uint64_t physmem();
    static constexpr uint32_t MAXRAISE = 1u << 20;

private:
    static uint64_t sizeof_(const Sfshdr& smp) { return uint64_t(smp.ptsload) * 2 + PAD * 2; }
    void evict(uint64_t need);
    void drop(Sfshdr& smp);
    // False when the room is held by pinned samples (nothing loaded, smp.audio stays null).
    bool load(Sfshdr& smp);

    uint64_t m_budget;
    uint64_t m_banks = 0;   // bytes of audio the banks using this store hold
    uint64_t m_inuse = 0;
    const Csettings* m_settings;
    Clock m_clock;
    std::list<Sfshdr*> m_loaded;   // most recently loaded first
};
