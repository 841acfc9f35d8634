#include "bank/Cpacker.h"

#include "bank/Cdecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

// Decodes coded points with the real decoder.
std::vector<int16_t> decode(const std::vector<uint8_t>& coded, uint32_t ppb, size_t n)
{
    std::vector<int16_t> out(n);
    Cdecoder dec;
    out.resize(dec.decode(coded.data(), coded.size(), ppb, out.data(), n));
    return out;
}

// The plain cost of coding x with ppb points per block: per block the cheapest of a predicted
// block (1 byte, when some order predicts every point) and every order and k with its
// exponential-Golomb codes, counted one code at a time.
uint64_t plaincost(const std::vector<int16_t>& x, uint32_t ppb)
{
    uint64_t total = 0;
    for (size_t a = 0; a < x.size(); a += ppb) {
        const size_t e = std::min(x.size(), a + ppb);
        uint64_t best = UINT64_MAX;
        for (int order = 0; order < 4; ++order) {
            int s1 = a > 0 ? x[a - 1] : 0, s2 = a > 1 ? x[a - 2] : 0, s3 = a > 2 ? x[a - 3] : 0;
            std::vector<int> r;
            for (size_t i = a; i < e; ++i) {
                const int pred = order == 0 ? 0 : order == 1 ? s1 : order == 2 ? 2 * s1 - s2 : 3 * s1 - 3 * s2 + s3;
                r.push_back(int16_t(uint16_t(x[i] - pred)));
                s3 = s2, s2 = s1, s1 = x[i];
            }
            // Silence (order 0) clears the history: right only for 3 points or at the end.
            const bool clears = order == 0 && e - a < 3 && e < x.size();
            if (!clears && std::all_of(r.begin(), r.end(), [](int v) { return v == 0; })) best = 1;
            for (unsigned k = 0; k < 16; ++k) {
                uint64_t bits = 0;
                for (int v : r) {
                    const uint64_t m = v >= 0 ? uint64_t(v) * 2 : uint64_t(-v) * 2 + 1;
                    unsigned z = 0;
                    while ((m >> k) + 1 >= (2ull << z)) ++z;
                    bits += 2 * z + 1 + k;
                }
                best = std::min(best, 1 + (bits + 7) / 8);
            }
        }
        total += best;
    }
    return total;
}

// A signal with quiet stretches, a loud stretch with wrap-around residuals, a sine and noise.
std::vector<int16_t> mixed(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<int16_t> x(n);
    for (size_t i = 0; i < n; ++i) {
        const size_t part = i * 5 / n;
        if (part == 0) x[i] = int16_t(std::lround(9000 * std::sin(i * 0.03)) + int(rng() % 9) - 4);
        else if (part == 1) x[i] = 0;
        else if (part == 2) x[i] = i % 2 ? 32767 : -32768;
        else if (part == 3) x[i] = int16_t(rng() % 64) - 32;
        else x[i] = int16_t(rng());
    }
    return x;
}

}  // namespace

TEST(Cpacker, BlockSizesOfAnyLengthRoundTripAtTheirPlainCost)
{
    // Sizes that split the 16-point cost cells at every offset, a single block and one past it.
    const std::vector<int16_t> x = mixed(1500, 11);
    for (uint32_t ppb : {1u, 2u, 3u, 7u, 15u, 16u, 17u, 31u, 33u, 63u, 100u, 129u, 257u, 999u, 1499u, 1500u, 1501u, 4096u}) {
        SCOPED_TRACE(ppb);
        const auto coded = Cpacker::encodewith(x.data(), x.size(), ppb);
        EXPECT_EQ(decode(coded, ppb, x.size()), x);
        EXPECT_EQ(coded.size(), plaincost(x, ppb));   // every block takes its cheapest form
    }
    EXPECT_TRUE(Cpacker::encodewith(x.data(), x.size(), 0).empty());
}

TEST(Cpacker, ChoosesABlockSizeThatIsNoMultipleOfSixteen)
{
    // Stretches of 100 points, alternately silent and faint noise: a size that divides 100
    // keeps silent stretches as one-byte predicted blocks, which no multiple of 16 does.
    std::mt19937 rng(5);
    std::vector<int16_t> x(100 * 40, 0);
    for (size_t i = 0; i < x.size(); ++i)
        if (i / 100 % 2) x[i] = int16_t(rng() % 3) - 1;
    uint32_t ppb = 0;
    const auto coded = Cpacker::encode(x.data(), x.size(), ppb);
    EXPECT_NE(ppb % 16, 0u);
    EXPECT_EQ(decode(coded, ppb, x.size()), x);
    EXPECT_EQ(coded.size(), plaincost(x, ppb));
    for (uint32_t size : {16u, 32u, 48u, 96u, 112u, 208u})
        EXPECT_LT(coded.size(), plaincost(x, size)) << size;
}

TEST(Cpacker, ShortSilentBlocksKeepTheHistory)
{
    // Zeros that end up in blocks of their own, each followed by points that orders 2 and 3
    // predict exactly from the older, nonzero points: clearing the history there would turn
    // 15, 4 and 12 into zeros.
    const std::vector<int16_t> x = {7, -15, 0, 15, -9, 4, 0, 0, 4, 12};
    for (uint32_t ppb : {1u, 2u, 3u}) {
        SCOPED_TRACE(ppb);
        EXPECT_EQ(decode(Cpacker::encodewith(x.data(), x.size(), ppb), ppb, x.size()), x);
    }
}

TEST(Cpacker, SearchBeatsEverySizeItCovers)
{
    for (size_t n : {0u, 1u, 5u, 16u, 17u, 300u, 1200u, 9000u}) {
        SCOPED_TRACE(n);
        const std::vector<int16_t> x = mixed(n, unsigned(n));
        uint32_t ppb = 0;
        const auto coded = Cpacker::encode(x.data(), x.size(), ppb);
        EXPECT_GE(ppb, 1u);
        EXPECT_LE(ppb, Cpacker::MAXPPB);
        EXPECT_EQ(decode(coded, ppb, n), x);
        EXPECT_EQ(coded.size(), plaincost(x, ppb));
        // The coarse sizes (for the long signal the powers of two) and the fine ones around the
        // choice never do better.
        for (uint32_t size = 16; size <= Cpacker::MAXPPB && size < n + 16; size += n > 1200 ? size : 16)
            EXPECT_LE(coded.size(), plaincost(x, size)) << size;
        for (uint32_t size = std::max(1u, ppb - std::min(ppb, 15u)); size <= ppb + 15; ++size)
            EXPECT_LE(coded.size(), plaincost(x, size)) << size;
    }
}
