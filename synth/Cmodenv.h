#pragma once
// Modulation envelope of a voice: a value 0..1 read by the oscillator (pitch) and the filter
// (cutoff). Stepped once per control step by the voice's render loop.
#include "synth/Csynunits.h"

class Cmodenv {
public:
    enum Stage { DELAY, ATTACK, HOLD, DECAY, SUSTAIN, RELEASE, DONE };

    virtual ~Cmodenv() = default;

    // Generators sfgen::modenvdelay .. modenvkeytodecay arrive as index 0..7: delay, attack,
    // hold, decay (timecents), sustain (0.1 % below full), release (timecents), key to hold, key
    // to decay (timecents per key).
    void apply(int index, int amount, bool additive)
    {
        int& f = field(index);
        f = additive ? f + amount : amount;
    }

    // Creation-time values, once all generators of a new voice object are applied.
    void derive()
    {
        m_delaysteps = m_delaytc == -32768 ? 0 : synunits::tcsteps(m_delaytc);
        m_attacksteps = m_attacktc == -32768 ? 0 : synunits::tcsteps(m_attacktc);
        m_sustain = m_sustain < 0 ? 0 : m_sustain > 1000 ? 1000 : m_sustain;
        m_suslevel = float((1000 - m_sustain) * 0.001);
        m_relrate = float(1.0 / (std::exp2(m_releasetc / 1200.0) * synunits::STEPSPERSEC));
    }

    // Key-scaled hold and decay: key 60 leaves them unscaled, each key above shortens them.
    void start(int key)
    {
        m_stage = DELAY;
        m_count = 0;
        m_value = 0;
        m_holdsteps = m_holdtc == -32768
                          ? 0
                          : scaled(synunits::tcsteps(m_holdtc), (60 - key) * m_keyhold);
        m_decaysteps = scaled(synunits::tcsteps(m_decaytc), (60 - key) * m_keydecay);
    }

    void step()
    {
        switch (m_stage) {
        case DELAY:
            if (m_count < m_delaysteps) { ++m_count; break; }
            if (m_attacksteps == 0) {
                m_value = 1;
                m_count = 0;
                m_stage = HOLD;
            } else {
                m_inc = 1.0f / m_attacksteps;
                m_stage = ATTACK;
            }
            break;
        case ATTACK:
            m_value += m_inc;
            if (m_value >= 1) { m_value = 1; m_count = 0; m_stage = HOLD; }
            break;
        case HOLD:
            if (m_count < m_holdsteps) { ++m_count; break; }
            if (m_suslevel == 1.0f) {
                m_stage = SUSTAIN;
            } else if (m_decaysteps == 0) {   // a decay shorter than one step ends at once
                m_value = m_suslevel;
                m_stage = SUSTAIN;
            } else {
                m_inc = 1.0f / m_decaysteps;
                m_stage = DECAY;
            }
            break;
        case DECAY:
            m_value -= m_inc;
            if (m_value <= m_suslevel) { m_value = m_suslevel; m_stage = SUSTAIN; }
            break;
        case RELEASE:
            m_value -= m_relrate;
            if (m_value <= 0) { m_value = 0; m_stage = DONE; }
            break;
        default:
            break;
        }
    }

    // Runs down from wherever the value is.
    void release()
    {
        if (m_stage < RELEASE) m_stage = RELEASE;
    }

    float value() const { return m_value; }
    int stage() const { return m_stage; }
    // Whether the value stays as it is until the note is released (or for good).
    bool holds() const { return m_stage == SUSTAIN || m_stage == DONE; }
    // Two envelopes that compare equal step through the same values.
    bool operator==(const Cmodenv&) const = default;

private:
    static int scaled(int steps, int tcperkey)
    {
        if (tcperkey == 0) return steps;
        const double s = steps * std::exp2(tcperkey / 1200.0);
        return s < synunits::MAXSTEPS ? int(s) : int(synunits::MAXSTEPS);
    }
    int& field(int index)
    {
        int* f[8] = {&m_delaytc, &m_attacktc, &m_holdtc, &m_decaytc,
                     &m_sustain, &m_releasetc, &m_keyhold, &m_keydecay};
        return *f[index & 7];
    }

    // Generator values.
    int m_delaytc = -12000, m_attacktc = -12000, m_holdtc = -12000, m_decaytc = -12000;
    int m_sustain = 0;                        // 0.1 % below full level, 0..1000
    int m_releasetc = -12000, m_keyhold = 0, m_keydecay = 0;

    // Derived at creation.
    int m_delaysteps = 0, m_attacksteps = 0;
    float m_suslevel = 1, m_relrate = 1;
    // Derived at note start.
    int m_holdsteps = 0, m_decaysteps = 0;

    int m_stage = DONE;
    int m_count = 0;
    float m_value = 0;
    float m_inc = 0;
};
