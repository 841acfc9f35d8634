#pragma once
// In-memory records of a sound bank, named after the SoundFont 2 records they hold. Both bank
// readers (Csf2file for .sf2, Ccompsf for .csf) fill the same lists, in file order, so that every
// index field (preset bag index, generator index, instrument bag index, the instrument and sample
// numbers carried by generators 41 and 53) is a position in the corresponding list. The terminal
// records ("EOP", "EOI", "EOS") are kept as read.
#include <cstdint>

struct Sfphdr {                // "phdr", 38 bytes in the file
    char name[20];             // as stored, not necessarily zero-terminated
    uint16_t preset;
    uint16_t bank;
    uint16_t bagindex;         // first preset bag of this preset
    uint32_t library;
    uint32_t genre;
    uint32_t morphology;
};

struct Sfbag {                 // "pbag" / "ibag", 4 bytes
    uint16_t genindex;         // first generator of this zone
    uint16_t modindex;         // first modulator (modulators are not kept)
};

struct Sfgen {                 // "pgen" / "igen", 4 bytes
    uint16_t oper;             // generator operator
    uint16_t amount;           // signed value, or low/high range bytes, as the operator defines
    int16_t sval() const { return int16_t(amount); }
    uint8_t lo() const { return uint8_t(amount & 0xff); }
    uint8_t hi() const { return uint8_t(amount >> 8); }
};

struct Sfinst {                // "inst", 22 bytes
    char name[20];
    uint16_t bagindex;         // first instrument bag of this instrument
};

// Sample types (the "shdr" record's last field): one of the kinds 0..8, possibly with flags. The
// kind tells how the sample pairs with its link; 0 occurs on terminal records and plays as mono.
// A ROM sample lies in a sound card's memory, not in the file. Ogg Vorbis samples (.sf3) hold an
// Ogg Vorbis stream instead of points; the readers clear that flag once they have placed the
// stream, so the lists hold only the kind and the ROM flag.
namespace sftype {
constexpr uint16_t mono = 1, right = 2, left = 4, linked = 8;
constexpr uint16_t vorbis = 0x10;
constexpr uint16_t rom = 0x8000;
}  // namespace sftype

// One sample: the header fields of the file plus where and how its audio is stored, and the
// state of its audio in the sample store (Cstore). Points are 16-bit signed mono.
struct Sfshdr {
    char name[20];
    uint32_t length = 0;       // points
    uint32_t loopstart = 0;    // points from the sample's first point
    uint32_t loopend = 0;
    uint32_t rate = 0;         // Hz
    uint8_t pitch = 60;        // original MIDI key
    int8_t correction = 0;     // cents
    uint16_t link = 0;
    uint16_t type = 0;

    int fd = -1;               // the bank's file handle (shared, not owned)
    int16_t* audio = nullptr;  // owned by the sample store; null until requested
    int64_t offset = 0;        // file position of the stored audio
    int64_t lastuse = 0;       // whole seconds of the store's clock, stamped on every request
    // Points the store loads. The readers set it to the stored point count; before the first
    // request the synthesizer may raise it (Cstore::raise) so that addresses past the sample's
    // end read on into the following sample data. A loaded buffer holds ptsload points plus 23
    // zero (or following) points for interpolation. A load that could not get memory leaves
    // ptsload at 0 with a shared silent buffer: callers clamp positions to ptsload.
    uint32_t ptsload = 0;
    uint32_t coded = 0;        // points the coded audio holds (decoding stops there)
    uint32_t cbytes = 0;       // compressed byte count; 0 for plain audio
    uint32_t ppb = 0;          // points per block; 0 = plain 16-bit little-endian points
    bool vorbis = false;       // cbytes bytes at offset are a mono Ogg Vorbis stream (ppb 0)
    uint32_t pins = 0;         // sounding voices reading the audio: the store keeps it loaded
};
