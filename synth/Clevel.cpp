#include "synth/Clevel.h"

#include "synth/Cwide.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace level {

namespace {

// The exponent per centibel, in float as the level was always computed: 2^(total * K).
constexpr float K = -0.016609640474436812f;
// Adding 1.5 * 2^52 rounds a double of magnitude below 2^51 to a whole number, held in the low
// bits of the sum.
constexpr double SHIFT = 6755399441055744.0;
// Exponents are held to this magnitude: 2^128 already overflows a float, 2^-128 is far below
// its smallest normal number and rounds to (nearly) zero.
constexpr double LIMIT = 150.0;

// Taylor coefficients of 2^f = e^(f ln 2): (ln 2)^k / k!, k = 0..11. On |f| <= 1/2 the first
// omitted term is below 2e-14 relative, far under half a float step.
constexpr double C[12] = {
    1.0,
    0.69314718055994530942,
    0.24022650695910071233,
    0.055504108664821579953,
    0.0096181291076284771620,
    0.0013333558146428443423,
    0.00015403530393381609955,
    1.5252733804059840280e-05,
    1.3215486790144309489e-06,
    1.0178086009239699727e-07,
    7.0549116208011233298e-09,
    4.4455382718708114975e-10,
};

inline double clampx(double x) { return x < -LIMIT ? -LIMIT : (x > LIMIT ? LIMIT : x); }

inline float plainone(float total)
{
    if (!(total < 1000)) return 0.0f;
    const double x = clampx(double(total * K));
    const double t = x + SHIFT;
    const double n = t - SHIFT;               // x rounded to a whole number
    const double f = x - n;                   // exact, |f| <= 1/2
    double p = C[11];
    for (int k = 10; k >= 0; --k) p = p * f + C[k];
    const int64_t e = std::bit_cast<int64_t>(t) - std::bit_cast<int64_t>(SHIFT);
    const double scale = std::bit_cast<double>(uint64_t(e + 1023) << 52);
    return float(p * scale);
}

#ifdef CANTORIX_AVX2
// Four at a time; the same operations as plainone, without fused multiply-adds.
__attribute__((target("avx2"))) void widerun(const float* total, float* out, int n)
{
    int i = 0;
    const __m256d lo = _mm256_set1_pd(-LIMIT), hi = _mm256_set1_pd(LIMIT);
    const __m256d shift = _mm256_set1_pd(SHIFT);
    const __m128 silent = _mm_set1_ps(1000.0f), kf = _mm_set1_ps(K);
    const __m256i bias = _mm256_set1_epi64x(1023);
    for (; i + 4 <= n; i += 4) {
        const __m128 t4 = _mm_loadu_ps(total + i);
        const __m128 keep = _mm_cmplt_ps(t4, silent);   // false for not a number as well
        __m256d x = _mm256_cvtps_pd(_mm_mul_ps(t4, kf));
        x = _mm256_min_pd(_mm256_max_pd(x, lo), hi);
        const __m256d t = _mm256_add_pd(x, shift);
        const __m256d nn = _mm256_sub_pd(t, shift);
        const __m256d f = _mm256_sub_pd(x, nn);
        __m256d p = _mm256_set1_pd(C[11]);
        for (int c = 10; c >= 0; --c) p = _mm256_add_pd(_mm256_mul_pd(p, f), _mm256_set1_pd(C[c]));
        const __m256i e = _mm256_sub_epi64(_mm256_castpd_si256(t), _mm256_castpd_si256(shift));
        const __m256d scale = _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_add_epi64(e, bias), 52));
        const __m128 r = _mm256_cvtpd_ps(_mm256_mul_pd(p, scale));
        _mm_storeu_ps(out + i, _mm_and_ps(r, keep));
    }
    for (; i < n; ++i) out[i] = plainone(total[i]);
}
#endif

} // namespace

void amps(const float* total, float* out, int n)
{
#ifdef CANTORIX_AVX2
    if (wide::avx2()) { widerun(total, out, n); return; }
#endif
    ampsplain(total, out, n);
}

float amp(float total) { return plainone(total); }

void ampsplain(const float* total, float* out, int n)
{
    for (int i = 0; i < n; ++i) out[i] = plainone(total[i]);
}

} // namespace level
