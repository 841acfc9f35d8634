#include "midi/Csysexev.h"

#include "platform/Cmsgbox.h"

Csysexev::Csysexev(int32_t tick, uint8_t st, int32_t len) : Cmidiev(tick), m_status(st), m_length(len) {}

Csysexev::~Csysexev() = default;

bool Csysexev::rdmidi(Cmidsrc& file, uint32_t avail)
{
    // A length is at most 0x0FFFFFFF (four 7-bit groups); check it against the chunk and the
    // file before allocating anything.
    const size_t len = size_t(m_length);
    if (m_length < 0 || len > avail || len > file.left()) {
        errbox("Csysexev::rdmidi\nError while reading system exclusive");
        return false;
    }
    m_data = std::make_unique<uint8_t[]>(len + 1);
    m_data[0] = m_status;
    if (!file.take(m_data.get() + 1, len)) {
        errbox("Csysexev::rdmidi\nError while reading system exclusive");
        return false;
    }
    return true;
}
