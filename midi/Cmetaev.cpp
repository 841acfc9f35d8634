#include "midi/Cmetaev.h"

#include "platform/Cmsgbox.h"

Cmetaev::Cmetaev(int32_t tick, uint8_t type, int32_t len) : Cmidiev(tick), m_type(type), m_length(len) {}

Cmetaev::~Cmetaev() = default;

uint32_t Cmetaev::tempo() const
{
    if (m_type != SETTEMPO || m_length != 3 || !m_data) return 0;
    return uint32_t(m_data[0]) << 16 | uint32_t(m_data[1]) << 8 | m_data[2];
}

bool Cmetaev::rdmidi(Cmidsrc& file, uint32_t avail)
{
    const size_t len = size_t(m_length);
    if (m_length < 0 || len > avail || len > file.left()) {
        errbox("Cmetaev::rdmidi\nError while reading meta event");
        return false;
    }
    m_data = std::make_unique<uint8_t[]>(len);
    if (!file.take(m_data.get(), len)) {
        errbox("Cmetaev::rdmidi\nError while reading meta event");
        return false;
    }
    return true;
}
