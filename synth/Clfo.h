#pragma once
// Low-frequency oscillator of a voice: a triangle -1..+1 that starts at 0 and rises first,
// after an optional delay. Stepped once per control step.
#include "synth/Csynunits.h"

class Clfo {
public:
    virtual ~Clfo() = default;

    void applydelay(int amount, bool additive) { m_delaytc = additive ? m_delaytc + amount : amount; }
    // Frequency in cents relative to 8.176 Hz.
    void applyfreq(int amount, bool additive) { m_freqc = additive ? m_freqc + amount : amount; }

    void derive()
    {
        m_delaysteps = (m_delaytc == 0 || m_delaytc == -32768) ? 0 : synunits::tcsteps(m_delaytc);
        const double hz = 8.176 * std::exp2(m_freqc / 1200.0);
        // One period takes 4/rate steps: up 1, down 2, up 1.
        m_rate = float(4.0 * hz / synunits::STEPSPERSEC);
    }

    void start()
    {
        m_stage = 0;
        m_value = 0;
        m_count = 0;
    }

    void step()
    {
        if (m_stage == 0) {
            if (m_count < m_delaysteps) ++m_count;
            else m_stage = 1;
        } else if (m_stage == 1) {
            m_value += m_rate;
            if (m_value >= 1) { m_value = 1; m_stage = 2; }
        } else {
            m_value -= m_rate;
            if (m_value < -1) { m_value = -1; m_stage = 1; }
        }
    }

    float value() const { return m_value; }
    float rate() const { return m_rate; }
    // Two LFOs that compare equal step through the same values.
    bool operator==(const Clfo&) const = default;

private:
    int m_delaytc = -12000, m_freqc = 0;
    int m_delaysteps = 0;
    float m_rate = 0;
    int m_stage = 0;     // 0 delay, 1 rising, 2 falling
    float m_value = 0;
    int m_count = 0;
};
