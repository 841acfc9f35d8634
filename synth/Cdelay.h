#pragma once
// Stereo delay with feedback, run in place on the frame. The tap delay is the delay time plus a
// triangle LFO sweep of 0..modulation ms (0.5 s period); the right tap adds the stereo spread and
// runs its LFO a quarter period later. Taps are read with linear interpolation. The lines hold
// 1.1 s, so delay time, spread and modulation together (at most 1,060 ms) always fit.
// The settings are read per block of 32 frames; a block with delay amount 0 passes unchanged and
// leaves the delay's state alone. Position and LFO counter run on across runs.
#include <atomic>
#include <memory>

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

    void clear();   // lines only
    // Runs n frames in place on (l, r) with the settings read per block.
    void run(float* l, float* r, int n, const Csettings& s);

    // Tap delay in samples for LFO phase n, delay and modulation in ms (spread added by caller).
    static double tapdelay(int n, double delayms, double modms);

    int pos() const { return m_pos; }
    int counter() const { return m_counter; }

private:
    std::unique_ptr<float[]> m_linel, m_liner;
    int m_pos = 0;
    int m_counter = 0;
};
