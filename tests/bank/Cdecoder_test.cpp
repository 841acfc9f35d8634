#include "bank/Cdecoder.h"

#include "bank/Cpacker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

// Packs a string of '0'/'1' (spaces ignored) MSB first, padding the last byte with zeros.
std::vector<uint8_t> bits(const std::string& s)
{
    std::vector<uint8_t> out;
    int n = 0;
    for (char c : s) {
        if (c == ' ') continue;
        if (n % 8 == 0) out.push_back(0);
        if (c == '1') out.back() |= uint8_t(0x80 >> (n % 8));
        ++n;
    }
    return out;
}

// The plain reference decoder: one bit at a time, exactly as the format reads.
struct Cslow {
    std::vector<int16_t> decode(const std::vector<uint8_t>& src, uint32_t ppb, size_t npoints)
    {
        std::vector<int16_t> out;
        int s1 = 0, s2 = 0, s3 = 0;
        size_t at = 0;
        while (out.size() < npoints && at < src.size()) {
            const int head = src[at];
            const int order = head >> 4 & 3;
            const unsigned k = head & 15;
            size_t count = std::min<size_t>(ppb, npoints - out.size());
            size_t bit = (at + 1) * 8;
            auto next = [&](bool& ok) {
                if (bit >= src.size() * 8) ok = false;
                const int b = ok ? src[bit / 8] >> (7 - bit % 8) & 1 : 0;
                ++bit;
                return b;
            };
            bool ok = true;
            for (size_t i = 0; i < count; ++i) {
                int pred = order == 0 ? 0 : order == 1 ? s1 : order == 2 ? 2 * s1 - s2 : 3 * s1 - 3 * s2 + s3;
                uint32_t r = 0;
                if (!(head & 0x40)) {
                    unsigned z = 0;
                    while (ok && next(ok) == 0) ++z;
                    uint64_t v = 1;
                    for (unsigned j = 0; j < z; ++j) v = v << 1 | uint64_t(next(ok));
                    v -= 1;
                    for (unsigned j = 0; j < k; ++j) v = v << 1 | uint64_t(next(ok));
                    if (!ok) return out;
                    r = uint32_t(v >> 1);
                    if (v & 1) r = 0u - r;
                }
                const int16_t y = int16_t(uint16_t(r + unsigned(pred)));
                out.push_back(y);
                s3 = s2, s2 = s1, s1 = y;
                if (head & 0x40 && order == 0) s1 = s2 = s3 = 0;   // silence resets the history
            }
            at = head & 0x40 ? at + 1 : (bit + 7) / 8;
        }
        return out;
    }
};

std::vector<int16_t> fast(const std::vector<uint8_t>& src, uint32_t ppb, size_t npoints)
{
    std::vector<int16_t> out(npoints, 0x5555);
    Cdecoder dec;
    out.resize(dec.decode(src.data(), src.size(), ppb, out.data(), npoints));
    return out;
}

}  // namespace

TEST(Cdecoder, ExpGolombCodesOfOrderZero)
{
    // Header 0x00: residual block, order 0, k = 0; codes 1, 010, 011, 00100, 00101.
    std::vector<uint8_t> src{0x00};
    const auto body = bits("1 010 011 00100 00101");
    src.insert(src.end(), body.begin(), body.end());
    EXPECT_EQ(fast(src, 5, 5), (std::vector<int16_t>{0, 0, 1, -1, 2}));
}

TEST(Cdecoder, ParameterKAppendsPlainBits)
{
    // k = 2: "1" + "11" is v = 3 -> -1; "010" + "00" is v = 4 -> 2; "011" + "01" is v = 9 -> -4.
    std::vector<uint8_t> src{0x02};
    const auto body = bits("1 11 010 00 011 01");
    src.insert(src.end(), body.begin(), body.end());
    EXPECT_EQ(fast(src, 3, 3), (std::vector<int16_t>{-1, 2, -4}));
}

TEST(Cdecoder, PredictedBlocksAndHistory)
{
    // Order-1 residuals 10, 5 (v = 20, 10 with k = 4: "1 0100", "1 1010"), then: order 1
    // predicted (repeats 15), order 2 predicted (ramp on from 15, 15 -> 15), order-0 predicted
    // (silence, history reset), order 1 residual +3 from the reset history.
    std::vector<uint8_t> src{0x14};
    const auto b1 = bits("010 0100 1 1010");
    src.insert(src.end(), b1.begin(), b1.end());
    src.push_back(0x50);   // predicted, order 1
    src.push_back(0x40);   // predicted, order 0
    src.push_back(0x10);   // residual, order 1, k = 0
    const auto b2 = bits("011 011");   // +1 twice
    src.insert(src.end(), b2.begin(), b2.end());
    EXPECT_EQ(fast(src, 2, 8), (std::vector<int16_t>{10, 15, 15, 15, 0, 0, 1, 2}));
}

TEST(Cdecoder, ShortLastBlockAndOrderTwoRamp)
{
    // Order 2 residual block of 3 points (k = 0): 2, 2, 0 -> 2, 6, 10; then a predicted order-2
    // block continues the ramp for the 2 points that remain of 5.
    std::vector<uint8_t> src{0x20};
    const auto b = bits("00101 00101 1");
    src.insert(src.end(), b.begin(), b.end());
    src.push_back(0x60);
    EXPECT_EQ(fast(src, 3, 5), (std::vector<int16_t>{2, 6, 10, 14, 18}));
}

TEST(Cdecoder, PredictionsWrapAroundSixteenBits)
{
    // Order 2 predicted after 32000, 32767 continues 32767 + 767 -> wraps to -32002, and so on.
    std::vector<uint8_t> src{0x0f};   // order 0, k = 15: two residuals of 15 + 1 bits each
    const uint32_t v1 = 32000u * 2, v2 = 32767u * 2;
    std::string s;
    for (uint32_t v : {v1, v2}) {
        s += "010";   // v >> 15 is 1
        for (int i = 14; i >= 0; --i) s += (v >> i & 1) ? '1' : '0';
    }
    const auto b = bits(s);
    src.insert(src.end(), b.begin(), b.end());
    src.push_back(0x60);
    const auto out = fast(src, 2, 4);
    EXPECT_EQ(out, (std::vector<int16_t>{32000, 32767, int16_t(uint16_t(32767 + 767)), int16_t(uint16_t(2 * (32767 + 767 - 65536) - 32767))}));
}

TEST(Cdecoder, DataEndingEarlyStopsCleanly)
{
    std::vector<uint8_t> src{0x00, 0xff};   // eight codes "1": eight zeros, then nothing
    EXPECT_EQ(fast(src, 16, 16).size(), 8u);
    EXPECT_EQ(fast({}, 16, 16).size(), 0u);
    EXPECT_EQ(fast({0x00, 0x00, 0x00}, 4, 4).size(), 0u);   // a code that never ends
}

TEST(Cdecoder, MatchesThePlainDecoderOnRandomStreams)
{
    std::mt19937 rng(7);
    Cslow slow;
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        std::vector<uint8_t> src(1 + rng() % 300);
        for (auto& b : src) b = uint8_t(rng());
        // Skew bits toward ones so that codes stay short and many blocks are reached.
        for (size_t i = 1; i < src.size(); ++i)
            if (rng() % 3) src[i] |= uint8_t(rng());
        const uint32_t ppb = 1 + rng() % 40;
        const size_t n = rng() % 600;
        EXPECT_EQ(fast(src, ppb, n), slow.decode(src, ppb, n));
    }
}

TEST(Cdecoder, EncoderRoundTripsHardSignals)
{
    std::mt19937 rng(3);
    std::vector<std::vector<int16_t>> signals;
    std::vector<int16_t> sine(5000), noise(3001), extremes(777), mixed;
    for (size_t i = 0; i < sine.size(); ++i) sine[i] = int16_t(std::lround(20000 * std::sin(i * 0.05)));
    for (auto& x : noise) x = int16_t(rng());
    for (size_t i = 0; i < extremes.size(); ++i) extremes[i] = i % 3 ? -32768 : 32767;
    mixed.insert(mixed.end(), 500, 0);
    mixed.insert(mixed.end(), sine.begin(), sine.begin() + 700);
    mixed.insert(mixed.end(), 300, 0);
    mixed.insert(mixed.end(), 129, -5);
    signals = {sine, noise, extremes, mixed, {}, {1}, {-32768}};
    for (size_t s = 0; s < signals.size(); ++s) {
        const auto& x = signals[s];
        uint32_t ppb = 0;
        const auto coded = Cpacker::encode(x.data(), x.size(), ppb);
        SCOPED_TRACE(s);
        EXPECT_EQ(fast(coded, ppb, x.size()), x);
        for (uint32_t size : Cpacker::SIZES) {
            const auto with = Cpacker::encodewith(x.data(), x.size(), size);
            EXPECT_EQ(fast(with, size, x.size()), x);
            EXPECT_LE(coded.size(), with.size());   // the chosen size is the smallest
        }
    }
    // Silence codes as one predicted block byte per block.
    const std::vector<int16_t> quiet(4096 * 3, 0);
    uint32_t ppb = 0;
    EXPECT_EQ(Cpacker::encode(quiet.data(), quiet.size(), ppb).size(), 3u);
}
