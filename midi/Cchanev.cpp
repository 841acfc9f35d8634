#include "midi/Cchanev.h"

Cchanev::Cchanev(int32_t tick, uint8_t st, uint8_t d1, uint8_t d2)
    : Cmidiev(tick), m_status(st), m_data1(d1), m_data2(d2)
{
}

Cchanev::~Cchanev() = default;
