#include "bank/Cdecoder.h"

#include <cstring>

namespace {

// MSB-first bit reader over [src, src + n). peek() returns the next 64 bits left-aligned, of
// which at least 57 are real stream bits (or zeros past the end); pos counts bits from src.
struct Cbits {
    const uint8_t* src;
    size_t n;
    uint64_t pos;

    uint64_t peek() const
    {
        const size_t b = size_t(pos >> 3);
        uint64_t w;
        if (b + 8 <= n) {
            std::memcpy(&w, src + b, 8);
            w = __builtin_bswap64(w);
        } else {
            w = 0;
            for (size_t i = 0; i < 8; ++i) w = w << 8 | (b + i < n ? src[b + i] : 0);
        }
        return w << (pos & 7);
    }
    bool bit()
    {
        const size_t b = size_t(pos >> 3);
        const bool one = b < n && (src[b] >> (7 - (pos & 7)) & 1);
        ++pos;
        return one;
    }
};

// Codes longer than one peek (more than 57 bits, never written by the packer but possible in a
// damaged file) are read bit by bit; only the low 17 bits of v matter for a 16-bit residual.
bool slowresidual(Cbits& br, unsigned k, uint32_t& r)
{
    const uint64_t end = uint64_t(br.n) * 8;
    unsigned z = 0;
    while (!br.bit()) {
        if (br.pos > end) return false;
        ++z;
    }
    uint64_t v = 1;
    for (unsigned i = 0; i < z; ++i) v = v << 1 | uint64_t(br.bit());
    v -= 1;
    for (unsigned i = 0; i < k; ++i) v = v << 1 | uint64_t(br.bit());
    if (br.pos > end) return false;
    r = uint32_t(v >> 1);
    if (v & 1) r = 0u - r;
    return true;
}

// One residual: the value that is added (modulo 2^16) to the prediction. False when the code
// runs past the end of the data.
inline bool residual(Cbits& br, unsigned k, uint64_t end, uint32_t& r)
{
    const uint64_t w = br.peek();
    if (w) {
        const unsigned z = unsigned(__builtin_clzll(w));
        const unsigned len = 2 * z + 1 + k;
        if (len <= 57) {
            uint64_t v = (w >> (63 - 2 * z)) - 1;
            if (k) v = v << k | (w << (2 * z + 1)) >> (64 - k);
            br.pos += len;
            if (br.pos > end) return false;
            r = uint32_t(v >> 1);
            if (v & 1) r = 0u - r;
            return true;
        }
    }
    return slowresidual(br, k, r);
}

template <int ORDER>
inline int32_t predict(int32_t s1, int32_t s2, int32_t s3)
{
    if constexpr (ORDER == 0) return 0;
    else if constexpr (ORDER == 1) return s1;
    else if constexpr (ORDER == 2) return 2 * s1 - s2;
    else return 3 * s1 - 3 * s2 + s3;
}

// Residual block of one order: decodes up to count points, returns how many it produced.
// The fast path loads 64 stream bits (at least 57 of them usable) and decodes codes from that
// word while they fit, as long as a code's zero run is at most 16 bits (every code of a 16-bit
// residual then takes at most 2 * 16 + 1 + 15 = 48 bits). Anything else, and the last 8 bytes
// of the data, go through residual() one code at a time.
template <int ORDER>
size_t residuals(Cbits& br, unsigned k, int16_t* dst, size_t count, Cdecoder& st)
{
    int32_t s1 = st.s1, s2 = st.s2, s3 = st.s3;
    const uint8_t* const src = br.src;
    const size_t n = br.n;
    const uint64_t end = uint64_t(n) * 8;
    uint64_t pos = br.pos;
    size_t i = 0;
    auto put = [&](uint32_t r) {
        const int16_t y = int16_t(uint16_t(r + uint32_t(predict<ORDER>(s1, s2, s3))));
        dst[i++] = y;
        s3 = s2;
        s2 = s1;
        s1 = y;
    };
    while (i < count) {
        const size_t b = size_t(pos >> 3);
        if (b + 8 > n) {
            br.pos = pos;
            uint32_t r;
            if (!residual(br, k, end, r)) break;
            pos = br.pos;
            put(r);
            continue;
        }
        uint64_t w;
        std::memcpy(&w, src + b, 8);
        w = __builtin_bswap64(w) << (pos & 7);
        unsigned used = unsigned(pos & 7);
        unsigned got = 0;
        while (i < count) {
            const unsigned z = unsigned(__builtin_clzll(w | 1));
            const unsigned len = 2 * z + 1 + k;
            if (z > 16 || used + len > 64) break;
            // The code's top 2z + 1 + k bits read as one number are ((v >> k) + 1) << k plus
            // v's low k bits, so v is that number less 2^k.
            const uint32_t v = uint32_t(w >> (64 - len)) - (1u << k);
            w <<= len;
            used += len;
            got += len;
            const uint32_t odd = v & 1;
            put(((v >> 1) ^ (0u - odd)) + odd);
        }
        pos += got;
        if (got == 0) {
            // A code longer than the word: one code the slow way.
            br.pos = pos;
            uint32_t r;
            if (!residual(br, k, end, r)) break;
            pos = br.pos;
            put(r);
        }
    }
    br.pos = pos;
    st.s1 = int16_t(s1);
    st.s2 = int16_t(s2);
    st.s3 = int16_t(s3);
    return i;
}

template <int ORDER>
void predicted(int16_t* dst, size_t count, Cdecoder& st)
{
    int32_t s1 = st.s1, s2 = st.s2, s3 = st.s3;
    for (size_t i = 0; i < count; ++i) {
        const int16_t y = int16_t(uint16_t(uint32_t(predict<ORDER>(s1, s2, s3))));
        dst[i] = y;
        s3 = s2;
        s2 = s1;
        s1 = y;
    }
    st.s1 = int16_t(s1);
    st.s2 = int16_t(s2);
    st.s3 = int16_t(s3);
}

}  // namespace

size_t Cdecoder::decode(const uint8_t* src, size_t n, uint32_t ppb, int16_t* dst, size_t npoints)
{
    if (ppb == 0) return 0;
    size_t done = 0;
    size_t at = 0;   // byte offset of the next block header
    while (done < npoints && at < n) {
        const uint8_t head = src[at];
        const size_t count = npoints - done < ppb ? npoints - done : ppb;
        const int order = head >> 4 & 3;
        if (head & 0x40) {
            switch (order) {
            case 0:
                std::memset(dst + done, 0, count * 2);
                s1 = s2 = s3 = 0;
                break;
            case 1: predicted<1>(dst + done, count, *this); break;
            case 2: predicted<2>(dst + done, count, *this); break;
            default: predicted<3>(dst + done, count, *this); break;
            }
            done += count;
            at += 1;
            continue;
        }
        Cbits br{src, n, uint64_t(at + 1) * 8};
        const unsigned k = head & 15;
        size_t got;
        switch (order) {
        case 0: got = residuals<0>(br, k, dst + done, count, *this); break;
        case 1: got = residuals<1>(br, k, dst + done, count, *this); break;
        case 2: got = residuals<2>(br, k, dst + done, count, *this); break;
        default: got = residuals<3>(br, k, dst + done, count, *this); break;
        }
        done += got;
        if (got < count) break;
        at = size_t((br.pos + 7) >> 3);
    }
    return done;
}
