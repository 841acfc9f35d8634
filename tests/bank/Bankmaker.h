#pragma once
// Builds tiny sound banks in memory for the bank tests: a SoundFont 2 file as a list of chunks
// that a test may reorder, rename, resize or cut before assembling it, and helpers around the
// compressed format's scrambling.
#include "support/Tempdir.h"

#include <cstdint>
#include <string>
#include <vector>

struct Chunk {
    std::string id;
    Bytes body;
    int64_t size = -1;   // size field written; -1 = the body's size
};

struct Sf2parts {
    std::vector<Chunk> info;
    std::vector<Chunk> sdta;
    std::vector<Chunk> pdta;
    Bytes assemble() const;
    Chunk& pdtachunk(const std::string& id);
};

// One preset "Ramp" (bank 0, program 5; zone with an instrument generator), one instrument
// with a zone that plays sample 0, and two samples: a 32-point rising ramp looping over points
// 8..24 and a second sample of 16 points of value 1000 + i. Terminal records included.
Sf2parts tinybank();

// Little-endian record builders.
void add16(Bytes& b, uint16_t v);
void add32(Bytes& b, uint32_t v);
Bytes name20(const std::string& s);
Bytes shdrrec(const std::string& name, uint32_t start, uint32_t end, uint32_t ls, uint32_t le, uint32_t rate = 22050,
              uint8_t pitch = 60);

// The compressed format's body (from offset 48) XOR-ed with the key; applying it twice restores.
Bytes rescramble(Bytes file);
