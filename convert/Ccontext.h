#pragma once
// The application's process-wide objects, one each, owned here: the settings record, the MIDI
// mixer table, the abort flag, the sample store, the effects processor, the loaded sound bank,
// the current MIDI and WAVE files with their paths and titles, and the devices the Options lists
// offer. The desktop program holds one context for its whole run; the command-line tool makes one
// per parallel conversion (-j N) and tests make their own, so independent conversions can run
// side by side in one process.
//
// Threads: the user-interface thread owns everything here. While a conversion runs, the render
// thread reads the settings, the mixer's gains and mutes and the abort flag (all atomics), and is
// the only user of the store, the effects processor, the bank and the output WAVE file.
#include "audio/Cnewfil.h"
#include "audio/Cwavfil.h"
#include "bank/Csf2file.h"
#include "bank/Cstore.h"
#include "midi/Cmidfil.h"
#include "midi/Cmixtab.h"
#include "platform/Cdevlist.h"
#include "settings/Csettings.h"
#include "synth/Ceffects.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

struct Ccontext {
    static constexpr size_t MAXPATH = Csettings::MAXPATH;

    // The store's budget is the machine's physical memory.
    Ccontext();
    // An explicit store budget in bytes (tests, and -j N sharing the machine's memory).
    explicit Ccontext(uint64_t storebudget);
    // And buses of busframes frames for the effects processor (tests).
    Ccontext(uint64_t storebudget, int busframes);
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
    std::unique_ptr<Csf2file> bank;   // null until a conversion or the built-in synthesizer loads it

    // The current MIDI file, or none. Replacing or deleting it clears the mixer table. The path
    // and title (file name without folder) are those of the last file loaded.
    std::unique_ptr<Cmidfil> midi;
    std::string midipath;
    std::string midititle;
    // The current WAVE file, or none; constructed from its path only, not opened.
    std::unique_ptr<Cwavfil> wave;
    std::string wavepath;
    std::string wavetitle;

    // Loads the sound bank of the settings when none is loaded yet (a bank that failed stays
    // loaded as failed, so every later use fails the same way until its owner resets `bank`).
    // Shows the reader's box and then "Couldn't find sound bank" or "Couldn't load sound bank",
    // owned by boxowner; false then. The converter and the built-in synthesizer both load here.
    bool loadbank(const void* boxowner);

    // Lists the devices for the Options dialog; tests replace it with fixed names.
    std::function<Cdevnames()> devices = [] { return Cdevnames{}; };

    // Deletes the current MIDI file and loads path in its place (instrument names into the mixer
    // table). On failure the reader has shown its boxes and there is no current MIDI file; the
    // path and title are the failed file's.
    bool loadmidi(const std::string& path);
    // Takes over an already read file (or none).
    void setmidi(std::unique_ptr<Cmidfil> file, const std::string& path);
    // Makes path the current WAVE file (not created yet).
    void setwave(const std::string& path);
    // Makes an existing file object the current WAVE file (the recorder's finished take).
    void setwave(std::unique_ptr<Cwavfil> file, const std::string& path);
    // No current MIDI file (the mixer table is cleared) or WAVE file; no path or title either.
    void clearmidi();
    void clearwave();
    // The WAVE file of the current MIDI file: working folder + "/" + the MIDI title with
    // everything from its last "." replaced by ".wav". Only the name: whatever file already has
    // it belongs to no song until a conversion writes it.
    void derivewave();
    // Records that the file now at the current WAVE path was written from the current MIDI file
    // (a converter calls it once the finished file has its name), and asks whether the file at
    // that path is still exactly that one: a WAVE file of another song, or one that anything
    // else wrote or changed since, is not replaced without asking. The record lasts for the run.
    void markmade();
    bool madefrommidi() const;

private:
    // The files the converters of this run wrote: WAVE path -> the MIDI path it was made from
    // and the file's identity just after it was written.
    struct Cmade {
        std::string midipath;
        Cfileid id;
    };
    std::map<std::string, Cmade> m_made;
    // Every change of the current WAVE file goes through here: the effects processor never
    // keeps writing to a file that is gone.
    void replacewave(std::unique_ptr<Cwavfil> file);
};

// File name part of a path (everything after its last "/").
std::string titleof(const std::string& path);
// title with everything from its last "." replaced by ".wav" (".wav" appended when it has none).
std::string wavtitle(const std::string& title);
// s with ASCII letters in lower case.
std::string lowercase(std::string s);
// The text from the last "." of a file name, lower case ("" when there is none).
std::string dotext(const std::string& name);
