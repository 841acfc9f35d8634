#pragma once
// Stereo delay with feedback, run in place on the frame. The tap delay is the delay time plus a
// triangle LFO sweep of 0..modulation ms (0.5 s period); the right tap adds the stereo spread and
// runs its LFO a quarter period later. Taps are read with linear interpolation. The lines can
// hold 1.1 s, so delay time, spread and modulation together (at most 1,060 ms) always fit.
// The settings are read per block of 32 frames; a block with delay amount 0 passes unchanged and
// leaves the delay's state alone. The LFO counter runs on across runs.
//
// The lines wrap after as many frames as the longest tap of the settings so far needs (a few
// thousand at the default 20 ms), so that the rest of them is never touched and takes no memory.
// A longer tap set while running lengthens them; the history the shorter lines did not hold
// comes back as silence. With settings that stay as they are, every tap reads what it would
// from lines of 1.1 s.
#include "synth/Czeroed.h"

#include <atomic>

struct Csettings;

class Cdelay {
public:
    static constexpr int LEN = 48510;      // 1.1 s
    static constexpr int PERIOD = 22050;   // LFO period in frames
    static constexpr int QUARTER = 5512;
    static constexpr int BLOCK = 32;       // frames that take the settings read before them

    Cdelay();
    virtual ~Cdelay();
    Cdelay(const Cdelay&) = delete;
    Cdelay& operator=(const Cdelay&) = delete;

    void clear();   // lines and position
    // Runs n frames in place on (l, r) with the settings read per block.
    void run(float* l, float* r, int n, const Csettings& s);

    // Tap delay in samples for LFO phase n, delay and modulation in ms (spread added by caller).
    static double tapdelay(int n, double delayms, double modms);

    int pos() const { return m_pos; }
    int counter() const { return m_counter; }
    // Frames after which the lines wrap (0 before the first block that delays anything).
    int length() const { return m_len; }

private:
    // Lengthens the lines to hold at least need frames, keeping every frame they hold at its age.
    void grow(int need);

    Czeroed m_linel, m_liner;   // the pages past m_used stay untouched
    int m_len = 0;    // frames the lines wrap after
    int m_used = 0;   // frames at the front of the lines that may hold something
    int m_pos = 0;
    int m_counter = 0;
};
