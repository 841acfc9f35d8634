#pragma once
// The output stage: master gain, a look-ahead peak limiter whose gain ramps linearly so that it
// reaches exactly 1/peak when the frame carrying that peak leaves the look-ahead lines (then
// recovers linearly to 1), an optional makeup gain with soft clip, and truncation toward zero to
// 16 bits with saturation.
//
// The converter looks ahead LOOKAHEAD frames and writes nothing for the first LOOKAHEAD frames of
// a run: they only push the lines' initial silence out, and the flush at the end pushes the last
// frames out. The live engine looks ahead a few milliseconds and plays that initial silence, so
// that every frame in gives one frame out, delayed by the look-ahead.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>

class Coutstage {
public:
    static constexpr int LOOKAHEAD = 131072;

    // lookahead: frames (at least 1); withhold: the first lookahead frames of a run give no
    // output (the converter) rather than the lines' silence (the live engine).
    explicit Coutstage(int lookahead = LOOKAHEAD, bool withhold = true);
    virtual ~Coutstage();
    Coutstage(const Coutstage&) = delete;
    Coutstage& operator=(const Coutstage&) = delete;

    // Clears the lines and the limiter; master and makeup are linear gains.
    void reset(float master, float makeup);
    // Runs n frames; complevel (0 = compressor off) is read per block of 128 frames. Writes the frames that
    // leave the lines as interleaved 16-bit pairs to out and returns how many were written.
    int run(const float* l, const float* r, int n, const std::atomic<int>& complevel, int16_t* out);

    double gain() const { return m_g; }
    // The largest magnitude of a frame that entered (after the master gain) since the last call.
    float takeloudest()
    {
        const float p = m_loudest;
        m_loudest = 0;
        return p;
    }
    int countdown() const { return m_countdown; }
    int lookahead() const { return m_len; }
    // New master and makeup gains from the next frame on, keeping the lines and the limiter.
    void setgains(float master, float makeup)
    {
        m_master = master;
        m_makeup = makeup;
    }

    // Soft clip on the 16-bit scale, the one curve for every output that applies makeup gain:
    // +-24575 pass unchanged; above, with y = |x| - 24575, the knee 24575 + y / (1 + (y/8192)^2)
    // rises with slope 1 at its start and slope 0 at full scale, where it reaches 28671 exactly;
    // louder values are held at 28671. It never turns back, so louder input is never quieter.
    __attribute__((always_inline)) static double softclip(double x)
    {
        double a = std::fabs(x);
        softmagnitude(a);
        return std::copysign(a, x);
    }
    // The curve on a magnitude a >= 0, in place: for a double, or lane by lane for a vector of
    // doubles (the output stage clips four values at a time with the very same operations).
    template <class T> __attribute__((always_inline)) static void softmagnitude(T& a)
    {
        // Below the knee y is 0 and the value passes; past full scale y stays 8192 and the knee
        // adds 8192 / 2.
        const T zero{}, knee = zero + 24575, room = zero + 8192;
        T y = a - 24575;
        y = y < zero ? zero : y;
        y = room < y ? room : y;
        const T u = y * (1.0 / 8192);
        a = (knee < a ? knee : a) + y / (1 + u * u);
    }

private:
    void limit(double p);

    const int m_len;            // frames of look-ahead
    const double m_la;          // the same, as the divisor of every slope
    const bool m_withhold;
    std::unique_ptr<float[]> m_linel, m_liner;
    int m_pos = 0;              // P: common position of both lines
    double m_g = 1.0;           // G: current gain
    double m_slope = 0.0;       // S: gain change per frame
    double m_target = 1.0;      // T: gain the running ramp ends at
    double m_recover = 0.0;     // R: slope of the recovery that follows
    int m_since = 0;            // N: frames since the target was set
    float m_master = 1.0f;      // M
    float m_makeup = 1.0f;      // K
    int m_countdown = 0;        // D: frames still withheld
    float m_loudest = 0;        // largest frame magnitude since takeloudest()
};
