#pragma once
// Sound data for the device tests: bytes that are never 0, so that the silence a device adds
// (before, after, and in the gap of an underrun when a refill comes late) can be told apart from
// the data, and the WAVE file that holds them.
#include "platform/Cwindow.h"
#include "support/Tempdir.h"

#include <chrono>
#include <cstdint>
#include <thread>

// n bytes from 1 to 255, the same for the same seed.
inline Bytes noise(size_t n, uint32_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        b[i] = uint8_t(1 + (seed >> 24) % 255);
    }
    return b;
}

// raw without the device's silence.
inline Bytes nonzero(const Bytes& raw)
{
    Bytes b;
    for (uint8_t c : raw)
        if (c) b.push_back(c);
    return b;
}

// A 16-bit stereo 44,100 Hz WAVE file holding exactly these data bytes.
inline Bytes wavewith(const Bytes& data)
{
    const uint32_t n = uint32_t(data.size());
    Bytes b(44);
    auto put = [&](size_t at, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
    };
    auto tag = [&](size_t at, const char* t) {
        for (size_t i = 0; i < 4; ++i) b[at + i] = uint8_t(t[i]);
    };
    tag(0, "RIFF");
    put(4, n + 36, 4);
    tag(8, "WAVE");
    tag(12, "fmt ");
    put(16, 16, 4);
    put(20, 1, 2);           // PCM
    put(22, 2, 2);           // channels
    put(24, 44100, 4);
    put(28, 44100 * 4, 4);   // bytes per second
    put(32, 4, 2);           // bytes per frame
    put(34, 16, 2);          // bits per sample
    tag(36, "data");
    put(40, n, 4);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// Handles the loop's messages until done() holds; false after 20 s.
template <class Pred> bool pumpfor(Cmsgloop& loop, Pred done)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        if (loop.pump() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
