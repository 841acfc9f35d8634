#pragma once
// The program's own bank writer: codes every sample of a bank losslessly into predicted or
// residual blocks (the inverse of Cdecoder) and writes the compressed bank format that Ccompsf
// reads. For every block the cheapest form is chosen: a predicted block of order 0..3 when the
// predictor is exact, else residuals with the order and Golomb parameter k that take the fewest
// bytes; the points per block are chosen per sample: every multiple of 16 up to MAXPPB, then
// every size within 15 of the best of those, keeping the smallest result.
#include "bank/Csf2file.h"

#include <cstdint>
#include <string>
#include <vector>

using Caudio = std::vector<std::vector<int16_t>>;   // one list of points per sample record

class Cpacker {
public:
    static constexpr uint8_t VERSION = 1;
    static constexpr const char* WRITER = "Cantorix bank writer";
    // Largest points per block the writer chooses.
    static constexpr uint32_t MAXPPB = 4096;
    // Power-of-two block sizes; the search covers each of them.
    static constexpr uint32_t SIZES[] = {64, 128, 256, 512, 1024, 2048, 4096};

    // Codes n points; returns the coded bytes (unscrambled) and sets ppb. No larger than
    // encodewith() with any ppb the search tries.
    static std::vector<uint8_t> encode(const int16_t* x, size_t n, uint32_t& ppb);
    // Codes n points with one given block size.
    static std::vector<uint8_t> encodewith(const int16_t* x, size_t n, uint32_t ppb);

    // Reads every sample's stored points (its length, or fewer where the file holds fewer) from
    // a bank that rdfile has read: plain audio or coded audio. False, with a message on standard
    // error's box, when one cannot, or when the samples together claim more points than the
    // bank's audio holds (overlapping sample headers).
    static bool rdaudio(const Csf2file& bank, Caudio& audio);

    // Writes bank's records with audio (one entry per sample record) as a compressed bank at
    // path, replacing any file there in one rename. False when it cannot be written. The samples
    // are coded on one thread per processor (at most 8).
    static bool wrfile(const Csf2file& bank, const Caudio& audio, const std::string& path);
};

// Writes bytes to path through a new temporary file renamed over it; false with errno set (and
// the earlier file at path untouched) on failure.
bool wrwhole(const std::string& path, const std::vector<uint8_t>& bytes);
