#pragma once
// A system exclusive event (0xF0, or 0xF7 for an escape or continuation packet). The buffer
// holds length + 1 bytes: the status byte, then the bytes that followed the length in the file,
// so a complete 0xF0 message ends in its own 0xF7 and can be sent as it stands.
#include "midi/Cmidiev.h"
#include "midi/Cmidsrc.h"

#include <memory>

class Csysexev : public Cmidiev {
public:
    Csysexev(int32_t tick, uint8_t st, int32_t len);
    ~Csysexev() override;

    int kind() const override { return 1; }
    const uint8_t* data() const override { return m_data.get(); }
    int32_t length() const override { return m_length; }
    // 0xF0 or 0xF7; kept apart from the buffer, which does not exist for an empty message.
    uint8_t sysstatus() const { return m_status; }

    // Reads the length bytes; avail is what is left of the track chunk. Data running past the
    // chunk or the file fails with this event's own box.
    bool rdmidi(Cmidsrc& file, uint32_t avail);

private:
    uint8_t m_status;
    int32_t m_length;
    std::unique_ptr<uint8_t[]> m_data;
};
