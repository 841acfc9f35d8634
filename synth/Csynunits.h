#pragma once
// Units shared by the synthesizer's voice parts.
//
// Pitch is in cents (1200 per octave), attenuation in centibels (amplitude = 10^(-cB/200)),
// times in timecents (seconds = 2^(tc/1200)). Envelopes and LFOs advance once per control step
// of CTLSTEP output samples, so all their times are counted in control steps: 2205 per second.
#include <cmath>
#include <cstdint>

namespace synunits {

constexpr int RATE = 44100;                   // output samples per second
constexpr int CTLSTEP = 20;                   // output samples per control step
constexpr int STEPSPERSEC = RATE / CTLSTEP;   // 2205

// Longest stage we count: about 2.8 hours of control steps, far beyond any sensible envelope,
// so that 2^(32767/1200) seconds never overflows an int.
constexpr double MAXSTEPS = 2.2e7;

// Timecents to whole control steps, truncated toward zero.
inline int tcsteps(double tc)
{
    const double s = std::exp2(tc / 1200.0) * STEPSPERSEC;
    return s < MAXSTEPS ? int(s) : int(MAXSTEPS);
}

// Equal-tempered frequency of a MIDI key, A4 (key 69) = 440 Hz, rounded to three decimals:
// 8.176 Hz at key 0, 12543.854 Hz at key 127. Keys outside 0..127 are clamped to the table.
double notehz(int key);

// The amplitude factor 10^(db/20) of a whole number of decibels, db clamped to -20..20 (the range
// of the output gains), computed once per value.
double dbgain(int db);

inline int clampkey(int key) { return key < 0 ? 0 : key > 127 ? 127 : key; }

} // namespace synunits
