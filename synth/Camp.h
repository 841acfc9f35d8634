#pragma once
// Amplifier of a voice: the attenuation of the note (initial attenuation, channel, velocity),
// glided toward a new channel attenuation by 1.741 cB per control step, plus the volume envelope
// and the tremolo, turned into one amplitude per control step.
#include "synth/Clevel.h"

#include <cmath>

class Camp {
public:
    static constexpr float GLIDE = 1.741f;    // centibels per control step

    virtual ~Camp() = default;

    void start(float chanatten, int vel, bool soft)
    {
        m_velatten = vel > 0 ? float(-100.0 * std::log10(double(vel) * vel / (127.0 * 127.0))) : 0.0f;
        m_chanatten = chanatten;
        m_target = m_current = float(m_initatten) + chanatten + m_velatten;
        m_soft = soft;
    }

    // A new channel attenuation (volume, expression, mixer gain) is reached gradually.
    void setatten(float chanatten)
    {
        m_chanatten = chanatten;
        m_target = float(m_initatten) + chanatten + m_velatten;
    }

    void step(float envcb, float modlfo)
    {
        // The glide lands on the target instead of stepping across it, which would flutter the
        // level by 1.741 cB every control step.
        if (m_current != m_target) {
            const float d = m_target - m_current;
            m_current = std::fabs(d) <= GLIDE ? m_target : m_current + (d > 0 ? GLIDE : -GLIDE);
        }
        float total = envcb + m_current;
        if (m_modlfocb != 0) total -= float(std::abs(m_modlfocb)) * modlfo;
        m_total = soft(total);
    }

    // Without tremolo and with the glide landed, a step's total depends on the envelope alone.
    bool steady() const { return m_modlfocb == 0 && m_current == m_target; }
    // The total of a step of a steady amplifier, as step() gives it.
    float steadytotal(float envcb) const { return soft(envcb + m_current); }

    // The attenuation of the last step, centibels, and its amplitude 10^(-total/200); a voice
    // converts the totals of many steps at once (level::amps).
    float total() const { return m_total; }
    float amp() const { return level::amp(m_total); }

    // Generator values.
    int m_modlfocb = 0;        // modulation LFO to volume, centibels
    int m_initatten = 0;       // initial attenuation, centibels

    float m_velatten = 0, m_chanatten = 0;
    float m_target = 0, m_current = 0;
    bool m_soft = false;
    float m_total = 0;

private:
    // The soft pedal doubles the attenuation.
    float soft(float cb) const { return m_soft ? cb * 2 : cb; }
};
