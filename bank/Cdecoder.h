#pragma once
// Decoder of the compressed banks' sample audio: a sequence of blocks, each a header byte and
// an MSB-first bit stream. Header: bit 6 = predicted block (no residuals, no data bytes);
// bits 5-4 = predictor order 0..3; bits 3-0 = Golomb parameter k. Residuals are
// exponential-Golomb codes of order k with the sign in the lowest bit. Predictions and sums wrap
// modulo 2^16; the history (the last three points) carries over from block to block.
#include <cstddef>
#include <cstdint>

struct Cdecoder {
    int16_t s1 = 0, s2 = 0, s3 = 0;   // last, second last and third last point

    // Decodes npoints points, ppb per block (the last block may be short), from n bytes.
    // Returns the points decoded: fewer than npoints when the data ends first (a block cut
    // short still counts the points it produced). Never reads past src + n.
    size_t decode(const uint8_t* src, size_t n, uint32_t ppb, int16_t* dst, size_t npoints);
};
