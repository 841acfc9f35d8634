#pragma once
// Amplifier of a voice: the attenuation of the note (initial attenuation, channel, velocity),
// glided toward a new channel attenuation by 1.741 cB per control step, plus the volume envelope
// and the tremolo, turned into one amplitude per control step.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

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
        if (m_soft) total *= 2;
        m_amp = total < 1000 ? exp2(total * -0.016609640474436812f) : 0.0f;   // 10^(-total/200)
    }

    float amp() const { return m_amp; }

    // 2^x for the amplitude range (x from about -17 to +17): the integer part goes into the
    // exponent, 2^f for |f| <= 0.5 comes from its series to the 7th power, which is exact to
    // within a unit in the last place of a float. Cheaper than the library's call per step.
    static float exp2(float x)
    {
        x = std::clamp(x, -120.0f, 120.0f);
        const float i = std::nearbyint(x);
        const float f = (x - i) * 0.6931471805599453f;
        float p = 1.0f / 5040;
        p = p * f + 1.0f / 720;
        p = p * f + 1.0f / 120;
        p = p * f + 1.0f / 24;
        p = p * f + 1.0f / 6;
        p = p * f + 0.5f;
        p = p * f + 1.0f;
        p = p * f + 1.0f;
        const uint32_t bits = uint32_t(int(i) + 127) << 23;
        float scale;
        std::memcpy(&scale, &bits, 4);
        return p * scale;
    }

    // Generator values.
    int m_modlfocb = 0;        // modulation LFO to volume, centibels
    int m_initatten = 0;       // initial attenuation, centibels

    float m_velatten = 0, m_chanatten = 0;
    float m_target = 0, m_current = 0;
    bool m_soft = false;
    float m_amp = 1.0f;
};
