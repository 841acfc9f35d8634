#pragma once
// A meta event (0xFF): type byte and exactly length data bytes, not terminated; no buffer when
// the length is 0. Text, Lyric and Copyright texts must be copied with their length.
#include "midi/Cmidiev.h"
#include "midi/Cmidsrc.h"

#include <memory>

class Cmetaev : public Cmidiev {
public:
    static constexpr int TEXT = 1, COPYRIGHT = 2, LYRIC = 5, ENDTRACK = 0x2F, SETTEMPO = 0x51;

    Cmetaev(int32_t tick, uint8_t type, int32_t len);
    ~Cmetaev() override;

    int kind() const override { return 2; }
    const uint8_t* data() const override { return m_data.get(); }
    int32_t length() const override { return m_length; }
    int metatype() const override { return m_type; }
    // Set Tempo with exactly three bytes: the 24-bit big-endian microseconds per quarter note.
    uint32_t tempo() const override;

    // Reads the length bytes; avail is what is left of the track chunk.
    bool rdmidi(Cmidsrc& file, uint32_t avail);

private:
    uint8_t m_type;
    int32_t m_length;
    std::unique_ptr<uint8_t[]> m_data;
};
