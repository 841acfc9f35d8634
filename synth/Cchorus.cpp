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
    float* linel = m_linel.get();
    float* liner = m_liner.get();
    int pos = m_pos, counter = m_counter;
    for (int i = 0; i < n; ++i) {
        int other = counter + QUARTER;
        if (other >= PERIOD) other -= PERIOD;
        const double dl = delayleft(counter), dr = delayright(other);
        // The tap at d = whole + frac samples lies between the sample written `whole` frames ago
        // and the one written a frame before that.
        const int wl = int(dl), wr = int(dr);
        const float fl = float(dl - wl), fr = float(dr - wr);
        const int kl = (pos - wl) & (LEN - 1), kr = (pos - wr) & (LEN - 1);
        const float al = linel[kl], bl = linel[(kl - 1) & (LEN - 1)];
        const float ar = liner[kr], br = liner[(kr - 1) & (LEN - 1)];
        linel[pos] = a[i];
        liner[pos] = b[i];
        l[i] += al + fl * (bl - al);
        r[i] += ar + fr * (br - ar);
        pos = (pos + 1) & (LEN - 1);
        if (++counter == PERIOD) counter = 0;
    }
    m_pos = pos;
    m_counter = counter;
}
