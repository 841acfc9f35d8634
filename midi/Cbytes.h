#pragma once
// Little-endian numbers of the RIFF files (WAVE, SoundFont 2 and the compressed bank), read from
// and written to byte buffers whatever the processor's own order. MIDI files are big-endian:
// Cmidsrc reads those.
#include <cstdint>
#include <vector>

inline uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

inline uint32_t le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void setle16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void setle32(uint8_t* p, uint32_t v)
{
    setle16(p, uint16_t(v));
    setle16(p + 2, uint16_t(v >> 16));
}

// Appends v to a buffer being built.
inline void addle16(std::vector<uint8_t>& b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

inline void addle32(std::vector<uint8_t>& b, uint32_t v)
{
    addle16(b, uint16_t(v));
    addle16(b, uint16_t(v >> 16));
}
