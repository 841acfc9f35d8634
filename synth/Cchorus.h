#pragma once
// Stereo chorus: each channel's send is delayed by a tap that a triangle LFO (0.5 s period)
// sweeps over 25..28 ms (left) and 33..36 ms (right, a quarter period later), read with linear
// interpolation and added to the output. Position and LFO counter run on across runs.
#include <memory>

class Cchorus {
public:
    static constexpr int LEN = 2048;
    static constexpr int PERIOD = 22050;   // LFO period in frames
    static constexpr int QUARTER = 5512;   // right channel's LFO offset

    Cchorus();
    virtual ~Cchorus();
    Cchorus(const Cchorus&) = delete;
    Cchorus& operator=(const Cchorus&) = delete;

    void clear();   // lines only
    // Adds the chorus of inputs (a, b) to (l, r) for n frames.
    void run(const float* a, const float* b, float* l, float* r, int n);

    // Tap delays in samples at LFO phase n.
    static double delayleft(int n);
    static double delayright(int n);

    int pos() const { return m_pos; }
    int counter() const { return m_counter; }

private:
    std::unique_ptr<float[]> m_linel, m_liner;
    int m_pos = 0;
    int m_counter = 0;
};
