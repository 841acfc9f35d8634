#pragma once
// The sample store: loads a sample's audio on its first request, plain 16-bit points or coded
// blocks (Cdecoder), and keeps the total of loaded audio within a budget (the machine's physical
// memory by default) by evicting the least recently used samples, by whole seconds of its clock.
// One store per application context; the render thread is its only user while a conversion
// runs, so it takes no locks.
//
// A loaded buffer holds ptsload points and 23 more (46 bytes): zeros after a coded load, for
// plain audio the 46 bytes that follow the sample in the file. It counts ptsload * 2 + 46 bytes.
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

    // The sample's audio, loaded if needed, never null (silent on failure); stamps lastuse.
    const int16_t* request(Sfshdr& smp);
    // Before the first request: raises ptsload to at least points (never lowers it), bounded by
    // what the stored audio can supply (following file data for plain audio, zero points after
    // coded audio up to MAXRAISE past the coded count). Returns the new ptsload. A loaded
    // sample is left as it is.
    uint32_t raise(Sfshdr& smp, uint32_t points);
    // Frees the audio of every sample of this bank held here.
    void release(Csf2file& bank);
    // Frees everything.
    void clear();

    uint64_t budget() const { return m_budget; }
    uint64_t inuse() const { return m_inuse; }
    size_t count() const { return m_loaded.size(); }

    static uint64_t physmem();
    static constexpr uint32_t MAXRAISE = 1u << 20;

private:
    static uint64_t sizeof_(const Sfshdr& smp) { return uint64_t(smp.ptsload) * 2 + PAD * 2; }
    void evict(uint64_t need);
    void drop(Sfshdr& smp);
    void load(Sfshdr& smp);

    uint64_t m_budget;
    uint64_t m_inuse = 0;
    const Csettings* m_settings;
    Clock m_clock;
    std::list<Sfshdr*> m_loaded;   // most recently loaded first
};
