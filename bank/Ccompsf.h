#pragma once
// The program's own compressed bank (magic "VAVU", .csf): the SoundFont 2 record lists without
// modulators, 62-byte sample headers, and sample audio coded losslessly in predictive blocks
// (Cdecoder). Everything from the body offset on is XOR-scrambled with the 43-byte key of
// Ckey.h, cycled by file position.
//
// Header (48 bytes, not scrambled): "VAVU", 40 bytes for the writer's use, body offset (u16 at
// 44), one byte for the writer's use, format version (u8 at 47; 0 .. MAXVERSION accepted).
#include "bank/Csf2file.h"

class Ccompsf : public Csf2file {
public:
    static constexpr int HEADER = 48;
    static constexpr uint8_t MAXVERSION = 10;
    // Tags of the body's chunk and of its seven sections, in file order.
    static constexpr uint16_t TAGDATA = 0x5486;
    static constexpr uint16_t TAGPHDR = 0x94D7, TAGPBAG = 0x9BA6, TAGPGEN = 0x96E2;
    static constexpr uint16_t TAGINST = 0x1457, TAGIBAG = 0x1BA6, TAGIGEN = 0x16E2;
    static constexpr uint16_t TAGSHDR = 0x54D8;
    static constexpr int SHDRSIZE = 62;

    explicit Ccompsf(std::string path, Cstore* store = nullptr);
    ~Ccompsf() override;

    bool rdfile() override;

private:
    bool rdshdr(uint32_t size);
};
