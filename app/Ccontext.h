#pragma once
// The application's process-wide objects, one each, owned here and reached through this
// object: the settings record, the MIDI mixer table, the abort flag and the effects processor,
// the current MIDI and WAVE files with their paths and titles, and the devices the Options lists
// offer. The desktop program holds one context for its whole run; tests make their own.
#include "audio/Cwavfil.h"
#include "midi/Cmidfil.h"
#include "midi/Cmixtab.h"
#include "platform/Cdevlist.h"
#include "settings/Csettings.h"
#include "synth/Ceffects.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

struct Ccontext {
    static constexpr size_t MAXPATH = Csettings::MAXPATH;

    Csettings settings;
    Cmixtab mixer;
    // Set to end a conversion early; the effects processor polls it. One processor for the run.
    std::atomic<bool> abort{false};
    Ceffects effects{settings, &abort};

    // The current MIDI file, or none. Replacing or deleting it clears the mixer table. The path
    // and title keep the last loaded file's values even when its reading failed.
    std::unique_ptr<Cmidfil> midi;
    std::string midipath;
    std::string midititle;

    // The current WAVE file, or none; constructed from its path only, not opened.
    std::unique_ptr<Cwavfil> wave;
    std::string wavepath;
    std::string wavetitle;

    // Lists the devices for the Options dialog; tests replace it with fixed names.
    std::function<Cdevnames()> devices = [] { return Cdevnames{}; };

    // The WAVE file goes first, as the main window's end deletes it first.
    ~Ccontext()
    {
        wave.reset();
        midi.reset();
    }
};
