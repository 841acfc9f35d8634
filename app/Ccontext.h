#pragma once
// The application's process-wide objects, one each, owned here and reached through this
// object: the settings record, the current MIDI and WAVE files with their paths and titles, and
// the devices the Options lists offer. The main window holds the one context of the desktop
// program; tests make their own.
#include "platform/Cdevlist.h"
#include "settings/Csettings.h"

#include <functional>
#include <string>

struct Ccontext {
    static constexpr size_t MAXPATH = Csettings::MAXPATH;

    Csettings settings;

    // Current WAVE file: set by File/Open, dropping and the tools; empty path = none.
    std::string wavepath;
    std::string wavetitle;
    bool haswave = false;

    // Current MIDI file, likewise.
    std::string midipath;
    std::string midititle;
    bool hasmidi = false;

    // Lists the devices for the Options dialog; tests replace it with fixed names.
    std::function<Cdevnames()> devices = [] { return Cdevnames{}; };
};
