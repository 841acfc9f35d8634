#pragma once
// WAVE files of given 16-bit stereo samples for the audio mixer's tests, and the samples of a
// written file read back after checking its header's sizes.
#include "support/Tempdir.h"

#include <cstdint>
#include <vector>

using Samples = std::vector<int16_t>;

inline void putle(Bytes& b, uint32_t v, int n)
{
    for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

inline Bytes wavbytes(const Samples& s, uint32_t rate = 44100)
{
    const uint32_t data = uint32_t(s.size() * 2);
    Bytes b = {'R', 'I', 'F', 'F'};
    putle(b, 36 + data, 4);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    putle(b, 16, 4);
    putle(b, 1, 2);
    putle(b, 2, 2);
    putle(b, rate, 4);
    putle(b, rate * 4, 4);
    putle(b, 4, 2);
    putle(b, 16, 2);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    putle(b, data, 4);
    for (int16_t v : s) putle(b, uint16_t(v), 2);
    return b;
}

// The samples after the 44-byte header; both size fields must match the file.
inline Samples wavsamples(const Bytes& b)
{
    auto get32 = [&](size_t at) {
        return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
    };
    Samples s;
    if (b.size() < 44 || get32(40) != b.size() - 44 || get32(4) != b.size() - 8) return {int16_t(0x7eee)};
    for (size_t i = 44; i + 1 < b.size(); i += 2) s.push_back(int16_t(uint16_t(b[i] | b[i + 1] << 8)));
    return s;
}

// n frames whose samples follow f(frame, side) with side 0 = left, 1 = right.
template <class F> Samples frames(int n, F f)
{
    Samples s;
    s.reserve(size_t(n) * 2);
    for (int i = 0; i < n; ++i) {
        s.push_back(int16_t(f(i, 0)));
        s.push_back(int16_t(f(i, 1)));
    }
    return s;
}
