#pragma once
// The application's process-wide objects, one each, owned here: the settings record, the MIDI
// mixer table, the abort flag, the sample store, the effects processor, the loaded sound bank and
// the current MIDI and WAVE files. The desktop program holds one context; the command-line tool
// makes one per parallel conversion (-j N) and tests make their own, so independent conversions
// can run side by side in one process.
//
// Threads: the user-interface thread owns everything here. While a conversion runs, the render
// thread reads the settings, the mixer's gains and mutes and the abort flag (all atomics), and is
// the only user of the store, the effects processor, the bank and the output WAVE file.
#include "audio/Cwavfil.h"
#include "bank/Csf2file.h"
#include "bank/Cstore.h"
#include "midi/Cmidfil.h"
#include "midi/Cmixtab.h"
#include "settings/Csettings.h"
#include "synth/Ceffects.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class Ccontext {
public:
    // The store's budget is the machine's physical memory.
    Ccontext();
    // An explicit store budget in bytes (tests, and -j N sharing the machine's memory).
    explicit Ccontext(uint64_t storebudget);
    virtual ~Ccontext();
    Ccontext(const Ccontext&) = delete;
    Ccontext& operator=(const Ccontext&) = delete;

    // Declaration order is destruction order reversed: the MIDI file clears the mixer table when
    // it goes, and a bank releases its samples from the store.
    Csettings settings;
    Cmixtab mixer;
    std::atomic<bool> abort{false};
    Cstore store;
    Ceffects effects;
    std::unique_ptr<Csf2file> bank;   // null until a conversion loads it

    // Current MIDI file with its path and title (file name without folder); null when none.
    std::unique_ptr<Cmidfil> midi;
    std::string midipath, midititle;
    // Current WAVE file likewise; the object exists before the file is created.
    std::unique_ptr<Cwavfil> wave;
    std::string wavepath, wavetitle;

    // Counts every replacement or deletion of the current MIDI file, so that a render sequencer
    // built from an earlier file knows it must build again even when the new object happens to
    // live at the old address.
    uint64_t midigen() const { return m_midigen; }

    // Deletes the current MIDI file and loads path in its place (instrument names into the mixer
    // table). On failure the reader has shown its boxes and there is no current MIDI file.
    bool loadmidi(const std::string& path);
    // Takes over an already read file (or none).
    void setmidi(std::unique_ptr<Cmidfil> file, const std::string& path);
    // Makes path the current WAVE file (not created yet).
    void setwave(const std::string& path);
    // The WAVE file of the current MIDI file: working folder + "/" + the MIDI title with
    // everything from its last "." replaced by ".wav".
    void derivewave();

private:
    uint64_t m_midigen = 0;
};

// File name part of a path (everything after its last "/").
std::string titleof(const std::string& path);
// title with everything from its last "." replaced by ".wav" (".wav" appended when it has none).
std::string wavtitle(const std::string& title);
