#pragma once
// The settings record: one per application context. Paths and devices are written only by the
// user-interface thread while no conversion runs. The conversion options and the effect
// parameters are read by the render thread while the user interface may change them, so each is
// an atomic read and written with relaxed ordering: a reader sees the old or the new value.
#include <atomic>
#include <string>

struct Csettings {
    // Paths, at most MAXPATH characters each; "/" separators.
    static constexpr size_t MAXPATH = 259;
    std::string progdir;        // program folder, no trailing "/"
    std::string bankpath;       // sound bank file
    bool compressed = false;    // bankpath ends in ".csf" (case-sensitive)
    std::string workdir;        // working folder, no trailing "/"
    std::string inipath;        // userfolder(progdir) + "/Cantorix.ini"

    // Devices: -1 is the system default, else an index into the platform's enumeration.
    int waveout = -1;
    int wavein = -1;
    int midiout = -1;

    // Conversion options.
    std::atomic<bool> normalize{true};
    std::atomic<bool> showerrors{false};   // "Show MIDI error messages"
    std::atomic<int> tempo{0};             // percent; positive = slower
    std::atomic<int> transpose{0};         // half tones

    // The live synthesizer (built-in MIDI output): voices sounding at once before the quietest
    // releasing ones are ended; 0 = no limit. The converter never limits. Stored in the INI
    // file (section "Synthesizer", key "Voice limit") when someone wrote it there; read at load.
    static constexpr int VOICELIMIT = 256, MAXVOICELIMIT = 65536;
    std::atomic<int> voicelimit{VOICELIMIT};

    // Effect parameters; their ranges, defaults and units are in the table of Ceffparam.h.
    std::atomic<float> roomsize;
    std::atomic<int> damping;              // percent
    std::atomic<float> reverbamt;
    std::atomic<float> chorusamt;
    std::atomic<int> mastervoldb;
    std::atomic<int> complevel;            // 0 = compressor off
    std::atomic<int> delayms;
    std::atomic<int> delaymodms;
    std::atomic<float> delayfb;
    std::atomic<float> delayamt;           // 0 = delay off
    std::atomic<int> spreadms;

    Csettings() { effectdefaults(); }

    // Reads and writes with relaxed ordering, for the render thread and the dialogs.
    template <class T> static T get(const std::atomic<T>& v) { return v.load(std::memory_order_relaxed); }
    template <class T, class U> static void set(std::atomic<T>& v, U x) { v.store(T(x), std::memory_order_relaxed); }

    void effectdefaults();
    void convdefaults();

    // Start-up: conversion and effect defaults, devices -1, then the sound bank and the working
    // folder from the INI file (userfolder(folder) + "/Cantorix.ini") with their defaults;
    // creates a missing working folder (one level). A missing INI file, section or key reads as
    // empty.
    void load(const std::string& folder);
    // Options OK: stores the sound bank and the working folder as typed (cut to MAXPATH, "\"
    // turned into "/", one trailing "/" of the folder removed) in the record and the INI file.
    // The record changes even when the INI file could not be written; false then.
    bool savefiles(const std::string& bank, const std::string& work);
};

// True for an installed program folder: one in the system's tree (/usr/...) or one this user
// cannot write to. The program's own files (bank, help pages, codec) are found in the program
// folder either way; an installed program keeps its INI file in the user's settings folder
// ($XDG_CONFIG_HOME/cantorix, else ~/.config/cantorix) and starts with ~/Cantorix as its working
// folder, where a program folder of a build keeps both beside itself.
bool installed(const std::string& folder);
// The folder of the INI file for a program folder (see installed()).
std::string userfolder(const std::string& folder);
// Folder of the running executable, without a trailing "/" ("" for the root). Falls back to the
// folder part of argv0 when the executable cannot be found through /proc.
std::string progfolder(const char* argv0 = nullptr);
// Turns every "\" of a path from the user or the INI file into "/", so values written on
// Windows still work.
void slashes(std::string& path);
// True exactly when the text from the last "." of path is ".csf" (case-sensitive).
bool iscompressed(const std::string& bankpath);
