#pragma once
// The effect parameters, stated once: the name the command line takes, the range every reader
// holds a value to, the default, the unit, and the field of the settings record. The settings'
// defaults, the command line (--set and its help), the Effects dialog (slider order, stored
// values) and the effects processor's clamps all read this table, so a range changes here only.
#include "settings/Csettings.h"

#include <algorithm>

struct Ceffparam {
    // Table order: the Effects dialog's slider order and the command line's help.
    enum Id { roomsize, damping, reverbamt, chorusamt, mastervol, complevel, delaytime, delaymod,
              feedback, spread, delayamt, COUNT };

    const char* name;
    double lo, hi;
    double def;
    const char* unit;                       // "" for a plain number
    const char* note;                       // what a special value means, or ""
    std::atomic<float> Csettings::*real;    // exactly one of real and whole is set
    std::atomic<int> Csettings::*whole;

    // v held to lo .. hi, in the field's own type (a NaN passes through).
    template <class T> constexpr T clamp(T v) const { return std::clamp(v, T(lo), T(hi)); }

    double get(const Csettings& s) const { return real ? double(Csettings::get(s.*real)) : Csettings::get(s.*whole); }
    // Stores v held to the range: a float field takes float(v), an int field int(v).
    void set(Csettings& s, double v) const
    {
        v = clamp(v);
        if (real) Csettings::set(s.*real, float(v));
        else Csettings::set(s.*whole, int(v));
    }
};

inline constexpr Ceffparam EFFPARAMS[Ceffparam::COUNT] = {
    {"reverb-room-size", 0, 1, 0.5, "", "", &Csettings::roomsize, nullptr},
    {"reverb-damping", 0, 100, 50, "%", "", nullptr, &Csettings::damping},
    {"reverb-amount", -1, 1, 0, "", "", &Csettings::reverbamt, nullptr},
    {"chorus-amount", -1, 1, 0, "", "", &Csettings::chorusamt, nullptr},
    {"master-volume", -20, 20, 0, "dB", "", nullptr, &Csettings::mastervoldb},
    {"compressor-level", 0, 20, 8, "", "0 = off", nullptr, &Csettings::complevel},
    {"delay-time", 1, 1000, 20, "ms", "", nullptr, &Csettings::delayms},
    {"delay-modulation", 0, 20, 0, "ms", "", nullptr, &Csettings::delaymodms},
    {"delay-feedback", 0, 0.9, 0, "", "", &Csettings::delayfb, nullptr},
    {"delay-spread", 0, 40, 8, "ms", "", nullptr, &Csettings::spreadms},
    {"delay-amount", 0, 1, 0.5, "", "0 = off", &Csettings::delayamt, nullptr},
};

// Each row sits at its id: a row out of place would hand one parameter another's range.
static_assert(EFFPARAMS[Ceffparam::roomsize].real == &Csettings::roomsize
              && EFFPARAMS[Ceffparam::damping].whole == &Csettings::damping
              && EFFPARAMS[Ceffparam::reverbamt].real == &Csettings::reverbamt
              && EFFPARAMS[Ceffparam::chorusamt].real == &Csettings::chorusamt
              && EFFPARAMS[Ceffparam::mastervol].whole == &Csettings::mastervoldb
              && EFFPARAMS[Ceffparam::complevel].whole == &Csettings::complevel
              && EFFPARAMS[Ceffparam::delaytime].whole == &Csettings::delayms
              && EFFPARAMS[Ceffparam::delaymod].whole == &Csettings::delaymodms
              && EFFPARAMS[Ceffparam::feedback].real == &Csettings::delayfb
              && EFFPARAMS[Ceffparam::spread].whole == &Csettings::spreadms
              && EFFPARAMS[Ceffparam::delayamt].real == &Csettings::delayamt);

constexpr const Ceffparam& effparam(Ceffparam::Id id) { return EFFPARAMS[id]; }

// Every row: a range that is not empty, a default inside it, exactly one field.
constexpr bool wellformed()
{
    for (const Ceffparam& p : EFFPARAMS)
        if (!(p.lo < p.hi && p.lo <= p.def && p.def <= p.hi) || (p.real == nullptr) == (p.whole == nullptr))
            return false;
    return true;
}
static_assert(wellformed());
