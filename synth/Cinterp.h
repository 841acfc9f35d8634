#pragma once
// The oscillator's inner loop: linear interpolation between neighbouring 16-bit points at a
// 32.32 fixed-point position, for a stretch that needs no end or loop checks.
#include <cstdint>

namespace interp {

// Writes n outputs (q[k] + f (q[k + 1] - q[k])) * g for k = ph >> 32 and f the top 24 bits of
// the fraction, stepping ph by step after each; returns ph after the last. Every q[k + 1] read
// must lie inside the buffer. Both the plain and the AVX2 version give the same floats.
uint64_t run(const int16_t* q, uint64_t ph, uint64_t step, float* out, int n, float g);
// Writes q[k] * g for k < n: points played at their own rate.
void copy(const int16_t* q, float* out, int n, float g);

} // namespace interp
