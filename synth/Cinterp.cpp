#include "synth/Cinterp.h"

#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define CANTORIX_AVX2 1
#endif

namespace interp {

namespace {

constexpr float FRACSCALE = 1.0f / 16777216;   // 2^-24

inline __attribute__((always_inline)) uint64_t plain(const int16_t* q, uint64_t ph, uint64_t step, float* out, int n, float g)
{
    for (int i = 0; i < n; ++i) {
        const uint64_t k = ph >> 32;
        const float f = float(uint32_t(ph) >> 8) * FRACSCALE;
        const float a = q[k];
        out[i] = (a + f * (float(q[k + 1]) - a)) * g;
        ph += step;
    }
    return ph;
}

#ifdef CANTORIX_AVX2
// Eight points from `at` as floats.
__attribute__((target("avx2"))) inline __m256 points(const int16_t* at)
{
    return _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at))));
}

// Eight outputs per round for steps below 2 points: the eight outputs then read within 17
// consecutive points, which are loaded and converted as vectors and picked per output by
// permutes. Positions run in 64-bit lanes, so every index and fraction is the plain loop's.
// The loads reach up to 16 points past the round's first point, which the buffer's padding
// past its last playable point covers.
__attribute__((target("avx2"))) uint64_t wide(const int16_t* q, uint64_t ph, uint64_t step, float* out,
                                              int n, float g)
{
    int i = 0;
    if (step < (uint64_t(2) << 32) && n >= 3) {
        const __m256i lanes = _mm256_set_epi64x(3, 2, 1, 0);
        const __m256i slo = _mm256_set1_epi64x(int64_t(step & 0xffffffff));
        const __m256i shi = _mm256_set1_epi64x(int64_t(step >> 32));
        // j * step for j = 0..3 and 4..7.
        const __m256i off0 = _mm256_add_epi64(_mm256_mul_epu32(lanes, slo),
                                              _mm256_slli_epi64(_mm256_mul_epu32(lanes, shi), 32));
        const __m256i off1 = _mm256_add_epi64(off0, _mm256_set1_epi64x(int64_t(step * 4)));
        const __m256i low24 = _mm256_set1_epi64x(0xffffff);
        const __m256i evens = _mm256_set_epi32(6, 4, 2, 0, 6, 4, 2, 0);
        const __m256i seven = _mm256_set1_epi32(7);
        const __m256 scale = _mm256_set1_ps(FRACSCALE), gain = _mm256_set1_ps(g);
        // A last round of fewer than eight (three or more) is computed whole and stored in part:
        // its extra lanes read nothing beyond what the full round's loads cover.
        for (; n - i >= 3; i += 8) {
            const uint64_t k0 = ph >> 32;
            // Positions relative to the first point of the round.
            const __m256i base = _mm256_set1_epi64x(int64_t(ph & 0xffffffff));
            const __m256i p0 = _mm256_add_epi64(base, off0), p1 = _mm256_add_epi64(base, off1);
            const __m256i k = _mm256_blend_epi32(
                _mm256_permutevar8x32_epi32(_mm256_srli_epi64(p0, 32), evens),
                _mm256_permutevar8x32_epi32(_mm256_srli_epi64(p1, 32), evens), 0xf0);
            const __m256i fr = _mm256_blend_epi32(
                _mm256_permutevar8x32_epi32(_mm256_and_si256(_mm256_srli_epi64(p0, 8), low24), evens),
                _mm256_permutevar8x32_epi32(_mm256_and_si256(_mm256_srli_epi64(p1, 8), low24), evens), 0xf0);
            const int16_t* r = q + k0;
            const __m256 a0 = points(r), a1 = points(r + 8), b0 = points(r + 1), b1 = points(r + 9);
            const __m256 high = _mm256_castsi256_ps(_mm256_cmpgt_epi32(k, seven));
            const __m256 a = _mm256_blendv_ps(_mm256_permutevar8x32_ps(a0, k), _mm256_permutevar8x32_ps(a1, k), high);
            const __m256 b = _mm256_blendv_ps(_mm256_permutevar8x32_ps(b0, k), _mm256_permutevar8x32_ps(b1, k), high);
            const __m256 f = _mm256_mul_ps(_mm256_cvtepi32_ps(fr), scale);
            const __m256 o = _mm256_mul_ps(_mm256_add_ps(a, _mm256_mul_ps(f, _mm256_sub_ps(b, a))), gain);
            if (n - i >= 8) {
                _mm256_storeu_ps(out + i, o);
                ph += step * 8;
            } else {
                alignas(32) float part[8];
                _mm256_store_ps(part, o);
                std::memcpy(out + i, part, sizeof(float) * size_t(n - i));
                ph += step * uint64_t(n - i);
                return ph;
            }
        }
    }
    return plain(q, ph, step, out + i, n - i, g);
}

const bool HASAVX2 = __builtin_cpu_supports("avx2");
#endif

} // namespace

uint64_t run(const int16_t* q, uint64_t ph, uint64_t step, float* out, int n, float g)
{
#ifdef CANTORIX_AVX2
    if (HASAVX2) return wide(q, ph, step, out, n, g);
#endif
    return plain(q, ph, step, out, n, g);
}

uint64_t runplain(const int16_t* q, uint64_t ph, uint64_t step, float* out, int n, float g)
{
    return plain(q, ph, step, out, n, g);
}

} // namespace interp
