#include "synth/Coutstage.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr double LA = Coutstage::LOOKAHEAD;

// Truncates toward zero and saturates to 16 bits; NaN becomes silence. Selects rather than
// branches: loud material crosses these limits at random.
inline int16_t tosample(double v)
{
    v = v == v ? v : 0.0;
    v = v > -32768.0 ? v : -32768.0;
    v = v < 32767.0 ? v : 32767.0;
    return int16_t(int(v));
}

#if defined(__SSE2__)
// softclip() on two values at once, operation for operation the same.
inline __m128d softclip2(__m128d x)
{
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d knee0 = _mm_set1_pd(24575), full = _mm_set1_pd(32767);
    const __m128d a = _mm_andnot_pd(sign, x);
    const __m128d y = _mm_sub_pd(a, knee0);
    const __m128d den = _mm_add_pd(_mm_set1_pd(1), _mm_mul_pd(_mm_mul_pd(_mm_set1_pd(0.000122), y), y));
    const __m128d knee = _mm_add_pd(knee0, _mm_div_pd(y, den));
    const __m128d inknee = _mm_cmpgt_pd(a, knee0), over = _mm_cmpgt_pd(a, full);
    __m128d v = _mm_or_pd(_mm_and_pd(inknee, knee), _mm_andnot_pd(inknee, a));
    v = _mm_or_pd(_mm_and_pd(over, _mm_set1_pd(28671)), _mm_andnot_pd(over, v));
    return _mm_or_pd(_mm_andnot_pd(sign, v), _mm_and_pd(sign, x));
}
#endif

} // namespace

Coutstage::Coutstage()
    : m_linel(std::make_unique<float[]>(LOOKAHEAD)), m_liner(std::make_unique<float[]>(LOOKAHEAD))
{
    reset(1.0f, 1.0f);
}

Coutstage::~Coutstage() = default;

void Coutstage::reset(float master, float makeup)
{
    std::fill(m_linel.get(), m_linel.get() + LOOKAHEAD, 0.0f);
    std::fill(m_liner.get(), m_liner.get() + LOOKAHEAD, 0.0f);
    m_pos = 0;
    m_g = 1.0;
    m_slope = 0.0;
    m_target = 1.0;
    m_recover = 0.0;
    m_since = 0;
    m_master = master;
    m_makeup = makeup;
    m_countdown = LOOKAHEAD;
    m_loudest = 0;
}

double Coutstage::softclip(double x)
{
    const double a = std::fabs(x), y = a - 24575;
    const double knee = 24575 + y / (1 + 0.000122 * y * y);
    double v = a > 24575 ? knee : a;
    v = a > 32767 ? 28671 : v;
    return std::copysign(v, x);
}

// Advances the gain ramp by one frame, then plans for the peak p that has just entered the
// lines: the gain must reach 1/p in LOOKAHEAD frames, when that frame leaves. A ramp down is
// followed by a linear recovery to 1 that is never steeper than what later peaks allow.
// The gain holds at its target until the peak that set the target leaves (m_since reaches a
// look-ahead); only then does the recovery start. A ramp planned for an earlier, bigger peak may
// reach a later peak's target early, and must not rise again before that peak has left.
void Coutstage::limit(double p)
{
    if (m_slope != 0) {
        m_g += m_slope;
        if (m_slope > 0 && m_g >= 1) {
            m_g = 1;
            m_slope = 0;
        } else if (m_slope < 0 && m_g <= m_target) {
            m_g = m_target;
            m_slope = 0;
        }
    }
    if (m_slope == 0 && m_g < 1 && m_since >= LOOKAHEAD - 1) {
        m_slope = m_recover;
        m_target = 1;
        m_recover = (1 - m_g) / LA;
        m_since = 0;
    }
    if (m_since < LOOKAHEAD) ++m_since;   // only counts up to a look-ahead; never overflows
    if (!(p > 1.0)) return;   // also stops a NaN peak
    const double g = 1 / p;
    if (m_slope > 0) {
        if (g < m_g) {
            m_target = g;
            m_slope = (g - m_g) / LA;
            m_recover = (1 - g) / LA;
            m_since = 0;
        } else {
            const double s = (g - m_g) / LA;
            if (s < m_slope) m_slope = s;
        }
    } else if (g <= m_target) {
        const double s = (g - m_g) / LA;
        if (s <= m_slope || m_slope == 0) {
            m_target = g;
            m_slope = s;
        } else {
            // The running ramp is steeper: it passes the earlier target in time and reaches g
            // before this peak leaves, then holds there. (Running it on for a whole look-ahead
            // instead would carry the gain far below g, even below zero after a large peak.)
            m_target = g;
        }
        m_recover = (1 - m_target) / LA;
        m_since = 0;
    } else {
        const double rr = (g - m_target) / m_since;
        if (rr < m_recover) m_recover = rr;
    }
}

// Two passes over blocks of up to BLOCK frames: the first runs the limiter and the look-ahead
// lines frame by frame and keeps each leaving frame's scaled value (and whether the compressor
// was on for it); the second soft-clips and converts them, two values at a time where SSE2 is
// there. The arithmetic per value is the same in both passes as in a single one.
int Coutstage::run(const float* l, const float* r, int n, const std::atomic<int>& complevel,
                   int16_t* out)
{
    constexpr int BLOCK = 128;
    alignas(16) double vals[2 * BLOCK];
    bool comp[BLOCK];
    float* linel = m_linel.get();
    float* liner = m_liner.get();
    const float master = m_master;
    const double makeup = double(m_makeup) * 32767;
    int pos = m_pos, countdown = m_countdown, written = 0;
    float loudest = m_loudest;
    for (int i0 = 0; i0 < n; i0 += BLOCK) {
        const int end = std::min(n, i0 + BLOCK);
        int k = 0;
        for (int i = i0; i < end; ++i) {
            const float lv = l[i] * master, rv = r[i] * master;
            const float p = std::max(std::fabs(lv), std::fabs(rv));
            loudest = std::max(loudest, p);
            if (m_slope == 0 && m_g >= 1 && !(p > 1.0f)) {
                if (m_since < LOOKAHEAD) ++m_since;   // idle at full gain: nothing else changes
            } else {
                limit(p);
            }
            const double g = m_g;
            const float lo = linel[pos], ro = liner[pos];
            const bool on = complevel.load(std::memory_order_relaxed) != 0;
            const double scale = on ? makeup : 32767.0;
            linel[pos] = lv;
            liner[pos] = rv;
            pos = (pos + 1) & (LOOKAHEAD - 1);
            if (countdown > 0) {
                --countdown;   // the lines' initial silence is not written
                continue;
            }
            vals[2 * k] = lo * g * scale;
            vals[2 * k + 1] = ro * g * scale;
            comp[k] = on;
            ++k;
        }
        int16_t* o = out + 2 * written;
        for (int j = 0; j < k; ++j) {
#if defined(__SSE2__)
            const __m128d x = _mm_load_pd(vals + 2 * j);
            const __m128d v = comp[j] ? softclip2(x) : x;
            alignas(16) double pair[2];
            _mm_store_pd(pair, v);
            o[2 * j] = tosample(pair[0]);
            o[2 * j + 1] = tosample(pair[1]);
#else
            const double vl = vals[2 * j], vr = vals[2 * j + 1];
            o[2 * j] = tosample(comp[j] ? softclip(vl) : vl);
            o[2 * j + 1] = tosample(comp[j] ? softclip(vr) : vr);
#endif
        }
        written += k;
    }
    m_pos = pos;
    m_countdown = countdown;
    m_loudest = loudest;
    return written;
}
