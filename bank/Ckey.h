#pragma once
// The scrambling key of compressed banks. A byte at file offset o (from the body offset on) is
// stored XOR-ed with KEY[o % KEYLEN]. The reader (Ccompsf, Cstore) and the writer (Cpacker)
// share this one table.
#include <cstddef>
#include <cstdint>

inline constexpr size_t KEYLEN = 43;
inline constexpr uint8_t KEY[KEYLEN] = {
    0x5b, 0xc2, 0x17, 0x8e, 0x39, 0xf4, 0x60, 0xad, 0x13, 0x7c, 0xe9, 0x42, 0x86, 0x2f, 0xd1,
    0x94, 0x0b, 0x6e, 0xb7, 0x28, 0xf0, 0x55, 0x9a, 0x3d, 0xc8, 0x71, 0x0e, 0xe3, 0x4a, 0xbf,
    0x26, 0x99, 0x54, 0x1d, 0xca, 0x67, 0x82, 0xfb, 0x30, 0xa5, 0x5e, 0xd7, 0x19,
};

// XORs n bytes with the key, starting at key position pos (0 .. KEYLEN-1); returns the position
// after the last byte. Scrambling and descrambling are the same operation.
inline unsigned scramble(uint8_t* p, size_t n, unsigned pos)
{
    for (size_t i = 0; i < n; ++i) {
        p[i] ^= KEY[pos];
        if (++pos == KEYLEN) pos = 0;
    }
    return pos;
}
