#include "synth/Cchorus.h"

#include <algorithm>

namespace {

// Triangle of the chorus LFO: 0 .. 33075 .. 0 over 22050 frames.
inline double tri(int n) { return n < 11025 ? 3.0 * n : 3.0 * (22050 - n); }

} // namespace

Cchorus::Cchorus()
    : m_linel(std::make_unique<float[]>(LEN)), m_liner(std::make_unique<float[]>(LEN))
{
    clear();
}

Cchorus::~Cchorus() = default;

void Cchorus::clear()
{
    std::fill(m_linel.get(), m_linel.get() + LEN, 0.0f);
    std::fill(m_liner.get(), m_liner.get() + LEN, 0.0f);
}

// 25..28 ms: the triangle's peak 33075 x 4 / 44100 adds 3 ms.
double Cchorus::delayleft(int n) { return (tri(n) * (4.0 / 44100) + 25) * 44.1; }
double Cchorus::delayright(int n) { return (tri(n) * (4.0 / 44100) + 33) * 44.1; }

void Cchorus::run(const float* a, const float* b, float* l, float* r, int n)
{
    // Blocks in which neither the LFO counters nor the write position wrap: the taps' delays are
    // worked out for the whole block in a loop the compiler vectorizes, then the taps are read,
    // then the inputs written. Every tap is more than a block behind the write position and more
    // than a block ahead of it around the lines, so no read meets a write of its own block.
    constexpr int BLOCK = 64;
    static_assert(int(25 * 44.1) > BLOCK && LEN - int((36 + 1) * 44.1) > BLOCK);
    float* linel = m_linel.get();
    float* liner = m_liner.get();
    int pos = m_pos, counter = m_counter;
    for (int i = 0; i < n;) {
        int other = counter + QUARTER;
        if (other >= PERIOD) other -= PERIOD;
        const int m = std::min({n - i, BLOCK, PERIOD - counter, PERIOD - other, LEN - pos});
        int wl[BLOCK], wr[BLOCK];
        float fl[BLOCK], fr[BLOCK], yl[BLOCK], yr[BLOCK];
        for (int k = 0; k < m; ++k) {
            const double dl = delayleft(counter + k), dr = delayright(other + k);
            wl[k] = int(dl);
            wr[k] = int(dr);
            fl[k] = float(dl - wl[k]);
            fr[k] = float(dr - wr[k]);
        }
        for (int k = 0; k < m; ++k) {
            const int kl = (pos + k - wl[k]) & (LEN - 1), kr = (pos + k - wr[k]) & (LEN - 1);
            const float al = linel[kl], bl = linel[(kl - 1) & (LEN - 1)];
            const float ar = liner[kr], br = liner[(kr - 1) & (LEN - 1)];
            yl[k] = al + fl[k] * (bl - al);
            yr[k] = ar + fr[k] * (br - ar);
        }
        std::copy(a + i, a + i + m, linel + pos);
        std::copy(b + i, b + i + m, liner + pos);
        for (int k = 0; k < m; ++k) {
            l[i + k] += yl[k];
            r[i + k] += yr[k];
        }
        i += m;
        pos = (pos + m) & (LEN - 1);
        counter += m;
        if (counter == PERIOD) counter = 0;
    }
    m_pos = pos;
    m_counter = counter;
}
