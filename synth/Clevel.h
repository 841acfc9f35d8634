#pragma once
// Amplitudes of attenuations: 10^(-cB/200), computed as 2^(cB * -log2(10)/200).
//
// The power of two is evaluated in double precision and rounded once to float, so it is the
// float nearest the exact value. Whole control steps of a chunk are converted together in one
// loop that wide::run builds for AVX2 and for the baseline; both builds do the same double
// operations in the same order (no fused multiply-adds) and give the same floats.
namespace level {

// out[i] = the amplitude of total[i] centibels; 0 from 1000 cB on (silence), and for a total
// that is not a number. out may be total.
void amps(const float* total, float* out, int n);
// One amplitude, the same as amps gives.
float amp(float total);
// Always the plain version, for tests.
void ampsplain(const float* total, float* out, int n);

} // namespace level
