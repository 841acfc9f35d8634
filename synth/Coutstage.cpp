#include "synth/Coutstage.h"

#include "synth/Cwide.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Truncates toward zero and saturates to 16 bits; NaN becomes silence. Selects rather than
// branches: loud material crosses these limits at random.
CANTORIX_INLINE inline int16_t tosample(double v)
{
    v = v == v ? v : 0.0;
    v = v > -32768.0 ? v : -32768.0;
    v = v < 32767.0 ? v : 32767.0;
    return int16_t(int(v));
}

// Coutstage::softclip over n values in place, four at a time: the magnitudes go through the
// one curve lane by lane, and each value's sign is put back. (The compiler leaves the scalar
// curve unvectorized, and it would then cost a division per sample.)
CANTORIX_INLINE inline void softclips(double* x, int n)
{
    typedef double v4d __attribute__((vector_size(32)));
    typedef long long v4l __attribute__((vector_size(32)));
    const v4l sign = v4l{} + (1LL << 63);
    int j = 0;
    for (; j + 4 <= n; j += 4) {
        v4d v;
        std::memcpy(&v, x + j, sizeof v);
        v4d r = v4d(v4l(v) & ~sign);
        Coutstage::softmagnitude(r);
        v = v4d((v4l(r) & ~sign) | (v4l(v) & sign));
        std::memcpy(x + j, &v, sizeof v);
    }
    for (; j < n; ++j) x[j] = Coutstage::softclip(x[j]);
}

} // namespace

Coutstage::Coutstage(int lookahead, bool withhold)
    : m_len(std::max(lookahead, 1)), m_la(m_len), m_withhold(withhold),
      m_linel(std::make_unique<float[]>(size_t(m_len))), m_liner(std::make_unique<float[]>(size_t(m_len)))
{
    reset(1.0f, 1.0f);
}

Coutstage::~Coutstage() = default;

void Coutstage::reset(float master, float makeup)
{
    std::fill(m_linel.get(), m_linel.get() + m_len, 0.0f);
    std::fill(m_liner.get(), m_liner.get() + m_len, 0.0f);
    m_pos = 0;
    m_g = 1.0;
    m_slope = 0.0;
    m_target = 1.0;
    m_recover = 0.0;
    m_since = 0;
    m_master = master;
    m_makeup = makeup;
    m_countdown = m_withhold ? m_len : 0;
    m_loudest = 0;
}

// Advances the gain ramp by one frame, then plans for the peak p that has just entered the
// lines: the gain must reach 1/p in a look-ahead of frames, when that frame leaves. A ramp down is
// followed by a linear recovery to 1 that is never steeper than what later peaks allow.
// The gain holds at its target until the peak that set the target leaves (m_since reaches a
// look-ahead); only then does the recovery start. A ramp planned for an earlier, bigger peak may
// reach a later peak's target early, and must not rise again before that peak has left.
__attribute__((always_inline)) inline void Coutstage::limit(double p)
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
    if (m_slope == 0 && m_g < 1 && m_since >= m_len - 1) {
        m_slope = m_recover;
        m_target = 1;
        m_recover = (1 - m_g) / m_la;
        m_since = 0;
    }
    if (m_since < m_len) ++m_since;   // only counts up to a look-ahead; never overflows
    if (!(p > 1.0)) return;   // also stops a NaN peak
    const double g = 1 / p;
    if (m_slope > 0) {
        if (g < m_g) {
            m_target = g;
            m_slope = (g - m_g) / m_la;
            m_recover = (1 - g) / m_la;
            m_since = 0;
        } else {
            const double s = (g - m_g) / m_la;
            if (s < m_slope) m_slope = s;
        }
    } else if (g <= m_target) {
        const double s = (g - m_g) / m_la;
        if (s <= m_slope || m_slope == 0) {
            m_target = g;
            m_slope = s;
        } else {
            // The running ramp is steeper: it passes the earlier target in time and reaches g
            // before this peak leaves, then holds there. (Running it on for a whole look-ahead
            // instead would carry the gain far below g, even below zero after a large peak.)
            m_target = g;
        }
        m_recover = (1 - m_target) / m_la;
        m_since = 0;
    } else {
        const double rr = (g - m_target) / m_since;
        if (rr < m_recover) m_recover = rr;
    }
}

// Blocks of up to BLOCK frames in passes: the frames after the master gain and their peaks; the
// limiter, frame by frame, only where it has something to do; the exchange with the look-ahead
// lines in stretches between their wraps; the scaled values of the frames leaving the lines; and
// their soft clip and conversion. Every value goes through the arithmetic of a single pass in the
// same order, and the plain loops are those the compiler vectorizes. The compressor's switch is
// read once per block: a change made by another thread meanwhile takes effect at the next block,
// at most 2.9 ms later, as if it had been made then.
int Coutstage::run(const float* l, const float* r, int n, const std::atomic<int>& complevel,
                   int16_t* out)
{
    constexpr int BLOCK = 128;
    float lv[BLOCK], rv[BLOCK], pk[BLOCK], lo[BLOCK], ro[BLOCK];
    double g[BLOCK], vals[2 * BLOCK];
    float* linel = m_linel.get();
    float* liner = m_liner.get();
    const float master = m_master;
    const double makeup = double(m_makeup) * 32767;
    const int len = m_len;
    int pos = m_pos, written = 0;
    float loudest = m_loudest;
    for (int i0 = 0; i0 < n; i0 += BLOCK) {
        const int m = std::min(n - i0, BLOCK);
        const bool on = complevel.load(std::memory_order_relaxed) != 0;
        const double scale = on ? makeup : 32767.0;
        wide::run([&]() CANTORIX_INLINE {
            for (int k = 0; k < m; ++k) {
                lv[k] = l[i0 + k] * master;
                rv[k] = r[i0 + k] * master;
                pk[k] = std::max(std::fabs(lv[k]), std::fabs(rv[k]));
            }
        });
        bool loud = false;
        for (int k = 0; k < m; ++k) {
            loudest = std::max(loudest, pk[k]);
            loud |= pk[k] > 1.0f;
        }
        if (m_slope == 0 && m_g >= 1 && !loud) {
            // Idle at full gain for the whole block: only the count moves, up to a look-ahead.
            if (m_since < len) m_since = std::min(m_since + m, len);
            std::fill(g, g + m, m_g);
        } else {
            for (int k = 0; k < m; ++k) {
                if (m_slope == 0 && m_g >= 1 && !(pk[k] > 1.0f)) {
                    if (m_since < len) ++m_since;
                } else {
                    limit(pk[k]);
                }
                g[k] = m_g;
            }
        }
        // Each frame takes the lines' oldest frame out and puts itself in; a stretch never holds
        // a position twice, so reading it all before writing it is the same.
        for (int k = 0; k < m;) {
            const int run = std::min(m - k, len - pos);
            std::copy(linel + pos, linel + pos + run, lo + k);
            std::copy(liner + pos, liner + pos + run, ro + k);
            std::copy(lv + k, lv + k + run, linel + pos);
            std::copy(rv + k, rv + k + run, liner + pos);
            k += run;
            pos += run;
            if (pos == len) pos = 0;
        }
        // The lines' initial silence is not written.
        const int skip = std::min(m_countdown, m);
        m_countdown -= skip;
        const int w = m - skip;
        int16_t* o = out + 2 * written;
        wide::run([&]() CANTORIX_INLINE {
            for (int k = 0; k < w; ++k) {
                vals[2 * k] = lo[skip + k] * g[skip + k] * scale;
                vals[2 * k + 1] = ro[skip + k] * g[skip + k] * scale;
            }
            if (on) softclips(vals, 2 * w);
            for (int j = 0; j < 2 * w; ++j) o[j] = tosample(vals[j]);
        });
        written += w;
    }
    m_pos = pos;
    m_loudest = loudest;
    return written;
}
