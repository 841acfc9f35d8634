#pragma once
// Volume envelope of a voice. Its value is an attenuation in centibels: 0 full level, 1000
// silent. During the attack it runs instead from 1 to 10 and is read as 1000 - 1000*log10(value),
// which makes the attack rise linearly in amplitude rather than in decibels.
#include "synth/Csynunits.h"

class Cvolenv {
public:
    enum Stage { DELAY, ATTACK, HOLD, DECAY, SUSTAIN, RELEASE, DONE };

    virtual ~Cvolenv() = default;

    // Generators sfgen::volenvdelay .. volenvkeytodecay arrive as index 0..7, in the modulation
    // envelope's order; sustain is in centibels.
    void apply(int index, int amount, bool additive)
    {
        int& f = field(index);
        f = additive ? f + amount : amount;
    }

    void derive()
    {
        m_delaysteps = m_delaytc == -32768 ? 0 : synunits::tcsteps(m_delaytc);
        m_attacksteps = m_attacktc == -32768 ? 0 : synunits::tcsteps(m_attacktc);
        if (m_sustain < 0) m_sustain = 0;
        m_relsteps = synunits::tcsteps(m_releasetc);
    }

    void start(int key)
    {
        m_stage = DELAY;
        m_count = 0;
        m_value = 1000;
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
                m_value = 0;
                m_count = 0;
                m_stage = HOLD;
            } else {
                m_value = 1.0f;
                m_inc = 10.0f / m_attacksteps;
                m_stage = ATTACK;
            }
            break;
        case ATTACK:
            m_value += m_inc;
            if (m_value >= 10) { m_value = 0; m_count = 0; m_stage = HOLD; }
            break;
        case HOLD:
            if (m_count < m_holdsteps) { ++m_count; break; }
            endhold();
            break;
        case DECAY:
            m_value += m_inc;
            if (m_value >= m_sustain) { m_value = float(m_sustain); m_stage = SUSTAIN; }
            break;
        case RELEASE:
            m_value += m_inc;
            if (m_value >= 1000) { m_value = 1000; m_stage = DONE; }
            break;
        default:
            break;
        }
    }

    // From any stage: the release runs up from the attenuation reached so far at 1000 cB per
    // release time. A release shorter than one step ends at the next step.
    void release()
    {
        if (m_stage == ATTACK) m_value = atkcb(m_value);
        if (m_stage < RELEASE) m_stage = RELEASE;
        m_inc = m_relsteps > 0 ? 1000.0f / m_relsteps : 1000.0f;
    }

    // Whether the envelope holds its level or runs a straight decay or release: what levels()
    // steps.
    bool straight() const { return m_stage >= HOLD; }

    // Steps up to n times through a hold, decay, sustain, release or finished stage (straight()), writing
    // before each step total(atten()), the amplifier's total for the attenuation the step reads.
    // With stop it returns after the step at which the envelope is finished; else, and when it
    // does not finish, n. The same as n steps one by one.
    template <class F> int levels(F total, float* out, int n, bool stop)
    {
        int j = 0;
        while (m_stage == HOLD && j < n) {
            out[j++] = total(m_value);
            if (m_count < m_holdsteps) ++m_count;
            else endhold();
        }
        if (m_stage == DECAY) {
            float value = m_value;
            while (j < n) {
                out[j++] = total(value);
                value += m_inc;
                if (value >= m_sustain) {
                    value = float(m_sustain);
                    m_stage = SUSTAIN;
                    break;
                }
            }
            m_value = value;
        }
        if (m_stage == RELEASE) {
            float value = m_value;
            while (j < n) {
                out[j++] = total(value);
                value += m_inc;
                if (value >= 1000) {
                    value = 1000;
                    m_stage = DONE;
                    break;
                }
            }
            m_value = value;
            if (m_stage == DONE && stop) return j;
        } else if (m_stage == DONE && stop && n > 0) {
            out[0] = total(m_value);
            return 1;
        }
        const float t = total(m_value);
        for (; j < n; ++j) out[j] = t;
        return n;
    }

    // Attenuation in centibels.
    float atten() const { return m_stage == ATTACK ? atkcb(m_value) : m_value; }
    bool finished() const { return m_stage == DONE; }
    int stage() const { return m_stage; }

private:
    // The step that ends the hold: on to the decay, or straight to the sustain level.
    void endhold()
    {
        if (m_sustain == 0) {
            m_stage = SUSTAIN;
        } else if (m_decaysteps == 0) {   // a decay shorter than one step ends at once
            m_value = float(m_sustain);
            m_stage = SUSTAIN;
        } else {
            m_inc = 1000.0f / m_decaysteps;
            m_stage = DECAY;
        }
    }
    static float atkcb(float v) { return 1000.0f - 1000.0f * std::log10(v); }
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

    int m_delaytc = -12000, m_attacktc = -12000, m_holdtc = -12000, m_decaytc = -12000;
    int m_sustain = 0;                        // centibels
    int m_releasetc = -12000, m_keyhold = 0, m_keydecay = 0;

    int m_delaysteps = 0, m_attacksteps = 0, m_relsteps = 0;
    int m_holdsteps = 0, m_decaysteps = 0;

    int m_stage = DONE;
    int m_count = 0;
    float m_value = 1000;
    float m_inc = 0;
};
