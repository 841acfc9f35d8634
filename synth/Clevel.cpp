#include "synth/Clevel.h"

#include "synth/Cwide.h"

#include <algorithm>
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

// p * f^(k+1) + C[k] f^k + ... + C[0], unrolled at compile time (a loop left inside the loop
// below would keep it from vectorizing).
template <int k> CANTORIX_INLINE inline double horner(double p, double f)
{
    if constexpr (k < 0) return p;
    else return horner<k - 1>(p * f + C[k], f);
}

// One amplitude, without a branch so that the loop below vectorizes: the silent and
// not-a-number totals are computed too (harmlessly) and replaced by 0 at the end.
CANTORIX_INLINE inline float one(float total)
{
    // Two separate comparisons, both always made: a comparison made only on one side of another
    // could trap where the code before did not, and would keep the loop from vectorizing.
    double x = double(total * K);
    x = x < -LIMIT ? -LIMIT : x;
    x = x > LIMIT ? LIMIT : x;
    const double t = x + SHIFT;
    const double n = t - SHIFT;               // x rounded to a whole number
    const double f = x - n;                   // exact, |f| <= 1/2
    const double p = horner<10>(C[11], f);
    const int64_t e = std::bit_cast<int64_t>(t) - std::bit_cast<int64_t>(SHIFT);
    const double scale = std::bit_cast<double>(uint64_t(e + 1023) << 52);
    const float r = float(p * scale);
    return total < 1000 ? r : 0.0f;           // false for not a number as well
}

// Each amplitude is read before its own output is written, so out may be total.
CANTORIX_INLINE inline void ampsloop(const float* total, float* out, int n)
{
    for (int i = 0; i < n; ++i) out[i] = one(total[i]);
}

} // namespace

void amps(const float* total, float* out, int n)
{
    // A level that holds for the whole run (a sustain, a hold, the rest of a finished envelope)
    // is converted once. A ramp mostly differs at its second step already; past that, the run
    // holds when each step has the bits of the step before.
    if (n > 1 && total[1] == total[0] &&
        std::memcmp(total + 1, total, sizeof(float) * size_t(n - 1)) == 0) {
        std::fill(out, out + n, one(total[0]));
        return;
    }
    wide::run([&]() CANTORIX_INLINE { ampsloop(total, out, n); });
}

float amp(float total) { return one(total); }

void ampsplain(const float* total, float* out, int n)
{
    wide::runplain([&]() CANTORIX_INLINE { ampsloop(total, out, n); });
}

} // namespace level
