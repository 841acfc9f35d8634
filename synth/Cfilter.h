#pragma once
// Two-pole resonant low-pass of a voice, unity gain at 0 Hz. The cutoff is set at note start
// from the cutoff generator lowered by velocity, and raised once per control step by the
// modulation LFO and envelope.
#include "synth/Csynunits.h"

#include <cmath>
#include <cstdlib>

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
        if (m_basehz == 0) return;
        m_q = m_qcb > 0 ? 1.0 + 0.1 * m_qcb : 1.0;
        m_devlfo = hzdev(m_basehz, m_modlfoc);
        m_devenv = hzdev(m_basehz, m_modenvc);
        m_y = m_v = 0;
        coeffs(m_basehz);
    }

    bool on() const { return m_basehz != 0; }

    // Per control step while on: only an upward offset moves the cutoff.
    void step(float modlfo, float modenv)
    {
        const double off = m_devlfo * modlfo + m_devenv * modenv;
        if (!(off > 0)) return;
        const double f = m_basehz + off;
        if (f != m_curhz) {
            if (f > 0 && f < 20000) coeffs(f);
            m_curhz = f;
        }
    }

    // Filters n samples in place.
    void run(float* x, int n)
    {
        float y = m_y, v = m_v;
        const float a = m_a, c2 = m_c2;
        for (int i = 0; i < n; ++i) {
            v = a * (x[i] - y) + c2 * v;
            y += v;
            x[i] = y;
        }
        // Flush a decayed state to zero so silence never runs on denormals.
        if (std::fabs(v) < 1e-20f) v = 0;
        if (std::fabs(y) < 1e-20f) y = 0;
        m_y = y;
        m_v = v;
    }

    void coeffs(double f)
    {
        const double w = f * 0.00014247585732426305;   // 2 pi / 44100
        const double c = 1 - w / (w + 2 * m_q + 1 / (w + 1) - 2);
        m_c = float(c);
        m_c2 = float(c * c);
        m_a = float(c * c + 1 - 2 * c * std::cos(w));
    }

    // Generator values.
    int m_cutoffc = 13500;     // absolute cents
    int m_qcb = 0;             // resonance, centibels
    int m_modlfoc = 0, m_modenvc = 0;

    // Note state.
    double m_basehz = 0, m_curhz = 0, m_q = 1;
    double m_devlfo = 0, m_devenv = 0;
    float m_c = 0, m_c2 = 0, m_a = 0;
    float m_y = 0, m_v = 0;

private:
    static double hzdev(double f, int x)
    {
        if (x == 0) return 0;
        const double d = std::fabs(f - std::exp2(std::abs(x) / 1200.0) * f);
        return x < 0 ? -d : d;
    }
};
