#pragma once
// The Ogg Vorbis streams of compressed SoundFont samples (.sf3), read with libvorbisfile
// straight from the bank file: a sample's stream is the byte range [offset, offset + bytes) of
// the file, and the library sees only that range, as if it were a file of its own.
//
// A stream must be mono and a single logical stream; its length in points comes from the
// granule position of its last page (ov_pcm_total), which costs the headers and one read near
// the end, not a decode. No valid stream yields more than MAXPERBYTE points per byte: every
// audio packet takes at least one data byte and one lacing byte and gives at most half a long
// block, and the format's longest block is 8192 points. A stream's own long block size gives the
// tighter bound that probe() checks.
#include <cstddef>
#include <cstdint>
#include <string>

class Cvorbis {
public:
    static constexpr uint32_t MAXPERBYTE = 8192 / 4;

    // Reads the stream's headers and its length. Empty on success, else the reason the stream
    // cannot be played, as a short phrase ("not an Ogg Vorbis stream").
    static std::string probe(int fd, int64_t offset, uint32_t bytes, uint64_t& points);
    // Decodes up to want points into dst (host-order 16-bit, clipped as the library rounds).
    // Returns the points decoded: fewer than want when the stream ends early or fails to decode.
    static size_t decode(int fd, int64_t offset, uint32_t bytes, int16_t* dst, size_t want);
};
