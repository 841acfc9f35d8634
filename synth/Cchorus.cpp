#include "synth/Cchorus.h"

#include "synth/Cwide.h"

#include <algorithm>

namespace {

// Triangle of the chorus LFO: 0 .. 33075 .. 0 over 22050 frames.
CANTORIX_INLINE inline double tri(int n) { return n < 11025 ? 3.0 * n : 3.0 * (22050 - n); }

// A tap's delay in samples at LFO phase n, over base ms.
CANTORIX_INLINE inline double tap(int n, double base) { return (tri(n) * (4.0 / 44100) + base) * 44.1; }

#ifdef CANTORIX_AVX2
// Four taps, at LFO phases n0 .. n0 + 3, in doubles with the operations of tap().
__attribute__((target("avx2"), always_inline)) inline void fourtaps(int n0, double base, int* w, float* f)
{
    const __m256d n = _mm256_cvtepi32_pd(_mm_add_epi32(_mm_set1_epi32(n0), _mm_setr_epi32(0, 1, 2, 3)));
    // The triangle: 3n below the middle, 3 (22050 - n) from it on (whole numbers, exact).
    const __m256d three = _mm256_set1_pd(3.0);
    const __m256d t = _mm256_blendv_pd(_mm256_mul_pd(three, _mm256_sub_pd(_mm256_set1_pd(22050.0), n)),
                                       _mm256_mul_pd(three, n), _mm256_cmp_pd(n, _mm256_set1_pd(11025.0), _CMP_LT_OQ));
    const __m256d d = _mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(t, _mm256_set1_pd(4.0 / 44100)), _mm256_set1_pd(base)),
                                    _mm256_set1_pd(44.1));
    const __m128i whole = _mm256_cvttpd_epi32(d);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(w), whole);
    _mm_storeu_ps(f, _mm256_cvtpd_ps(_mm256_sub_pd(d, _mm256_cvtepi32_pd(whole))));
}

// The taps of frames 0 .. m - 1 (LFO phases counter + k left, other + k right), four at a time;
// returns the frames done.
__attribute__((target("avx2"))) int widetaps(int counter, int other, int m, int* wl, int* wr, float* fl, float* fr)
{
    int k = 0;
    for (; k + 4 <= m; k += 4) {
        fourtaps(counter + k, 25, wl + k, fl + k);
        fourtaps(other + k, 33, wr + k, fr + k);
    }
    return k;
}
#endif

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
double Cchorus::delayleft(int n) { return tap(n, 25); }
double Cchorus::delayright(int n) { return tap(n, 33); }

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
        int k = 0;
#ifdef CANTORIX_AVX2
        if (wide::avx2()) k = widetaps(counter, other, m, wl, wr, fl, fr);
#endif
        for (; k < m; ++k) {
            const double dl = tap(counter + k, 25), dr = tap(other + k, 33);
            wl[k] = int(dl);
            wr[k] = int(dr);
            fl[k] = float(dl - wl[k]);
            fr[k] = float(dr - wr[k]);
        }
        for (k = 0; k < m; ++k) {
            const int kl = (pos + k - wl[k]) & (LEN - 1), kr = (pos + k - wr[k]) & (LEN - 1);
            const float al = linel[kl], bl = linel[(kl - 1) & (LEN - 1)];
            const float ar = liner[kr], br = liner[(kr - 1) & (LEN - 1)];
            yl[k] = al + fl[k] * (bl - al);
            yr[k] = ar + fr[k] * (br - ar);
        }
        std::copy(a + i, a + i + m, linel + pos);
        std::copy(b + i, b + i + m, liner + pos);
        for (k = 0; k < m; ++k) {
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
