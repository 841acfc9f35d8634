#include "synth/Cinterp.h"

#include "synth/Cwide.h"

#include <cstring>

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
// Written with intrinsics rather than as a plain loop through wide::run: every output reads its
// two points at its own index, taken from a 64-bit phase, and AVX2 has no gather of 16-bit
// points, so the compiler leaves the plain loop scalar. Here eight points are loaded and
// converted at once and each output picks its own by a permute.

// Eight points from `at` as floats.
__attribute__((target("avx2"))) inline __m256 points(const int16_t* at)
{
    return _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at))));
}

// Eight outputs per round for steps below 2 points: the eight outputs then read within 17
// consecutive points (9 for steps up to 1 point), which are loaded and converted as vectors and
// picked per output by permutes. The offsets j * step of the eight outputs are constant for the
// run; per round only the 32-bit fraction of the first position is added to their low halves,
// and a carry out of it moves the index on by one. So every index and fraction is the plain
// loop's. The loads reach up to 16 points past the round's first point, which the buffer's
// padding past its last playable point covers.
template <bool NEAR>
__attribute__((target("avx2"))) inline int rounds(const int16_t* q, uint64_t& ph, uint64_t step, float* out, int n,
                                                  float g)
{
    alignas(32) uint32_t lo[8], hi[8];
    for (int j = 0; j < 8; ++j) {
        const uint64_t o = uint64_t(j) * step;
        lo[j] = uint32_t(o);
        hi[j] = uint32_t(o >> 32);
    }
    const __m256i vlo = _mm256_load_si256(reinterpret_cast<const __m256i*>(lo));
    const __m256i vhi = _mm256_load_si256(reinterpret_cast<const __m256i*>(hi));
    const __m256i sign = _mm256_set1_epi32(int(0x80000000u));
    const __m256i vlos = _mm256_xor_si256(vlo, sign);
    const __m256i seven = _mm256_set1_epi32(7);
    const __m256 scale = _mm256_set1_ps(FRACSCALE), gain = _mm256_set1_ps(g);
    const uint64_t step8 = step * 8;
    int i = 0;
    // A last round of fewer than eight (three or more) is computed whole and stored in part: its
    // extra lanes read nothing beyond what the full round's loads cover.
    for (; n - i >= 3; i += 8) {
        const __m256i sum = _mm256_add_epi32(_mm256_set1_epi32(int(uint32_t(ph))), vlo);
        // Unsigned sum < lo: the add carried into the index.
        const __m256i carry = _mm256_cmpgt_epi32(vlos, _mm256_xor_si256(sum, sign));
        const __m256i k = _mm256_sub_epi32(vhi, carry);
        const __m256 f = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_srli_epi32(sum, 8)), scale);
        const int16_t* r = q + (ph >> 32);
        __m256 a, b;
        if (NEAR) {
            a = _mm256_permutevar8x32_ps(points(r), k);
            b = _mm256_permutevar8x32_ps(points(r + 1), k);
        } else {
            const __m256 a0 = points(r), a1 = points(r + 8), b0 = points(r + 1), b1 = points(r + 9);
            const __m256 high = _mm256_castsi256_ps(_mm256_cmpgt_epi32(k, seven));
            a = _mm256_blendv_ps(_mm256_permutevar8x32_ps(a0, k), _mm256_permutevar8x32_ps(a1, k), high);
            b = _mm256_blendv_ps(_mm256_permutevar8x32_ps(b0, k), _mm256_permutevar8x32_ps(b1, k), high);
        }
        const __m256 o = _mm256_mul_ps(_mm256_add_ps(a, _mm256_mul_ps(f, _mm256_sub_ps(b, a))), gain);
        if (n - i >= 8) {
            _mm256_storeu_ps(out + i, o);
            ph += step8;
        } else {
            alignas(32) float part[8];
            _mm256_store_ps(part, o);
            std::memcpy(out + i, part, sizeof(float) * size_t(n - i));
            ph += step * uint64_t(n - i);
            return n;
        }
    }
    return i;
}

__attribute__((target("avx2"))) uint64_t widerun(const int16_t* q, uint64_t ph, uint64_t step, float* out,
                                              int n, float g)
{
    int i = 0;
    // Up to one point per output the eight outputs read points k and k + 1 for k <= 7.
    if (step <= (uint64_t(1) << 32) && n >= 3) i = rounds<true>(q, ph, step, out, n, g);
    else if (step < (uint64_t(2) << 32) && n >= 3) i = rounds<false>(q, ph, step, out, n, g);
    return plain(q, ph, step, out + i, n - i, g);
}

#endif

} // namespace

uint64_t run(const int16_t* q, uint64_t ph, uint64_t step, float* out, int n, float g)
{
#ifdef CANTORIX_AVX2
    if (wide::avx2()) return widerun(q, ph, step, out, n, g);
#endif
    return plain(q, ph, step, out, n, g);
}

CANTORIX_INLINE inline void copyloop(const int16_t* q, float* out, int n, float g)
{
    for (int i = 0; i < n; ++i) out[i] = float(q[i]) * g;
}

void copy(const int16_t* q, float* out, int n, float g)
{
    wide::run([&]() CANTORIX_INLINE { copyloop(q, out, n, g); });
}

} // namespace interp
