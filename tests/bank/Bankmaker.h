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

// An Ogg Vorbis stream of pts (interleaved when channels is 2), coded by libvorbisenc at
// quality 0.5 with stream serial number serial.
Bytes vorbisstream(const std::vector<int16_t>& pts, long rate, int channels = 1, int serial = 1);
// A 2000-point sine at 22050 Hz, amplitude 8000, 441 Hz: the first sample of tinysf3().
std::vector<int16_t> sinepoints();
// tinybank() as an SoundFont 3 file ("ifil" 3.1): its two samples are Ogg Vorbis streams one
// after the other in "smpl" with no padding, type 0x11: "Sine" (sinepoints(), looping over
// points 500..1500) and "Flat" (1200 points of 1000). Start and end are byte offsets.
Sf2parts tinysf3();

// The compressed format's body (from offset 48) XOR-ed with the key; applying it twice restores.
Bytes rescramble(Bytes file);
