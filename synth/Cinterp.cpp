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
#endif

} // namespace

uint64_t run(const int16_t* q, uint64_t ph, uint64_t step, float* out, int n, float g)
{
#ifdef CANTORIX_AVX2
#endif
    return plain(q, ph, step, out, n, g);
}

} // namespace interp
