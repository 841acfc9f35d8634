#pragma once
// The options of the commands that play MIDI files through the program's synthesizer (convert
// and play): the sound bank, tempo, transpose, effect parameters, channel mutes and gains. Each
// command parses its own options and hands the rest to take().
#include "cli/Ccommand.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

struct Ceffparam;
struct Csettings;
class Cmixtab;

struct Csynthopts {
    std::string bank;
    bool hasbank = false;
    int tempo = 0, transpose = 0;
    std::vector<std::pair<const Ceffparam*, double>> sets;
    bool mute[16] = {};
    int gain[16] = {};   // tenths of a dB
    bool hasgain[16] = {};

    // The help lines of these options, and of the effect parameters with their ranges.
    static const char* HELP;
    static void printparams(FILE* out);

    // Takes args[i] when it is one of these options, with its value (i then names the value).
    // 1: taken; 0: not one of these; -1: a wrong value, after "cantorix-cli CMD: reason".
    int take(const char* cmd, const Args& args, size_t& i);
    // The bank, tempo, transpose and effect parameters into the settings.
    void apply(Csettings& s) const;
    // Mutes and gains into the mixer table; loading a MIDI file clears the table, so this
    // follows every load.
    void applymixer(Cmixtab& mixer) const;
};

// Prints "cantorix-cli CMD: text" on standard error and returns false.
bool clifail(const char* cmd, const std::string& text);
// A whole number lo .. hi in s; otherwise a message naming what, and false.
bool clinumber(const char* cmd, const std::string& s, long lo, long hi, int& v, const char* what);
// Every input has a MIDI or karaoke extension (.mid, .midi, .kar); otherwise a message and false.
bool midiinputs(const char* cmd, const Args& inputs);
