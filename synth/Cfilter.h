#pragma once
// Two-pole resonant low-pass of a voice, unity gain at 0 Hz. The cutoff is set at note start
// from the cutoff generator lowered by velocity, and raised once per control step by the
// modulation LFO and envelope.
#include "synth/Csynunits.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

class Cfilter {
public:
    virtual ~Cfilter() = default;

    void start(int vel)
    {
        m_basehz = 0;
        if (m_cutoffc < 13500 || m_qcb != 0) {
            const int c = m_cutoffc + (vel - 127) * 2400 / 128;
            const double f = 440.0 * std::exp2((std::abs(c) - 6900) / 1200.0);
            m_basehz = f > 20000 ? 0 : f;
        }
        m_curhz = m_basehz;
        m_most = 1;
        if (m_basehz == 0) return;
        m_q = m_qcb > 0 ? 1.0 + 0.1 * m_qcb : 1.0;
        m_devlfo = hzdev(m_basehz, m_modlfoc);
        m_devenv = hzdev(m_basehz, m_modenvc);
        m_y = m_v = 0;
        coeffs(m_basehz);
        m_most = mostgain();
    }

    // The most the filter can amplify a steady tone during this note, at any cutoff its
    // modulation can reach (1 while off).
    double most() const { return m_most; }
    // The peak gain at cutoff f (Hz) and resonance factor q, or a bound above it: with the poles
    // at radius c and angles +-w, |H| <= a / ((1 - c) max(1 - c, c |sin w|)). Infinite where the
    // coefficients would not make a stable filter.
    static double peakgain(double f, double q);

    bool on() const { return m_basehz != 0; }

    // Per control step while on: only an upward offset moves the cutoff.
    void step(float modlfo, float modenv)
    {
        double f;
        if (moved(modlfo, modenv, f)) coeffs(f);
    }

    // Whether moved() would change the cutoff now (it changes nothing itself).
    bool wouldmove(float modlfo, float modenv) const
    {
        const double off = m_devlfo * modlfo + m_devenv * modenv;
        return off > 0 && m_basehz + off != m_curhz;
    }

    // The cutoff a control step moves to: true, with f, when the coefficients are to change.
    bool moved(float modlfo, float modenv, double& f)
    {
        const double off = m_devlfo * modlfo + m_devenv * modenv;
        if (!(off > 0)) return false;
        f = m_basehz + off;
        if (f == m_curhz) return false;
        m_curhz = f;
        return f > 0 && f < 20000;
    }

    // The coefficients of one cutoff: the recurrence's, and its eight- and four-sample block
    // forms (computed by coefsfor). An input's share in the outputs of a block depends only on
    // how far the output lies after it, so the columns of the inputs are windows into one list:
    // hb8 holds eight zeros and then the shares at distances 0 to 7, and input i's column is the
    // eight values from hb8 + 8 - i. The four-sample form uses the first four of each column and
    // of py8 and pv8, with its own row for v (qy, qv, g).
    struct alignas(32) Ccoefs {
        float py8[8], pv8[8], hb8[16], gv8[8];
        float qy8, qv8;
        float qy, qv, g[4];
        float c, c2, a;
    };
    const Ccoefs& coefs() const { return m_k; }

    // Filters n samples in place with the current coefficients.
    void run(float* x, int n) { run(x, n, m_k); }
    void run(float* x, int n, const Ccoefs& k) { runsteps(x, 1, n, n, k); }

    // Filters `steps` control steps in place, `len` samples each but the last (`last`), with k.
    // After every step a decayed state is flushed to zero, so silence never runs on denormals;
    // a run of several steps thus gives exactly what one run per step gives.
    void runsteps(float* x, int steps, int len, int last, const Ccoefs& k)
    {
        filterrun(x, steps, len, last, k, m_y, m_v);
    }

    // The same over steps that each filter with their own set, sets[set[j]] for step j: a stretch
    // of steps with the same set runs as runsteps with it, all in one call.
    void runsets(float* x, int steps, int len, int last, const Ccoefs* sets, const uint8_t* set);

    // Filters one input through `lanes` filters at once (any number): filter i has the
    // coefficients *k[i] and the state (y[i], v[i]), and its output goes to out[i]. Steps, len
    // and last are those of runsteps. Each output and end state is exactly what runsteps gives
    // for that filter alone on a copy of x, but that an exact zero may differ in sign (x finite).
    // Up to eight filters (four on processors without AVX2) run side by side, one in each lane of
    // a vector, and share the input; a filter left alone in its group runs as runsteps does.
    // x and the outputs need no alignment; no output may overlap x or another output.
    static void runlanes(const float* x, float* const* out, int lanes, int steps, int len, int last,
                         const Ccoefs* const* k, float* y, float* v);

    void coeffs(double f) { coefsfor(&f, m_q, &m_k, 1); }
    // Takes coefficients computed elsewhere with coefsfor.
    void setcoefs(const Ccoefs& k) { m_k = k; }

    // The coefficients of the n cutoffs f (Hz) at resonance q, four at a time on AVX2
    // processors; both versions do the same double operations and give the same floats.
    static void coefsfor(const double* f, double q, Ccoefs* k, int n);

    // Generator values.
    int m_cutoffc = 13500;     // absolute cents
    int m_qcb = 0;             // resonance, centibels
    int m_modlfoc = 0, m_modenvc = 0;

    // Note state.
    double m_basehz = 0, m_curhz = 0, m_q = 1;
    double m_devlfo = 0, m_devenv = 0;
    float m_y = 0, m_v = 0;

private:
    static void filterrun(float* x, int steps, int len, int last, const Ccoefs& k, float& y, float& v);

    Ccoefs m_k{};
    double m_most = 1;

    double mostgain() const;

    static double hzdev(double f, int x)
    {
        if (x == 0) return 0;
        const double d = std::fabs(f - std::exp2(std::abs(x) / 1200.0) * f);
        return x < 0 ? -d : d;
    }
};
