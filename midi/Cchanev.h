#pragma once
// A channel voice or mode message (status 0x80 to 0xEF). The status is the effective one, so
// an event read under running status carries the status it ran under. Messages with one data
// byte (Program Change, Channel Pressure) keep 0 as their second byte.
#include "midi/Cmidiev.h"
#include "midi/Midicodes.h"

class Cchanev : public Cmidiev {
public:
    Cchanev(int32_t tick, uint8_t st, uint8_t d1, uint8_t d2);
    ~Cchanev() override;

    int kind() const override { return 0; }
    int status() const override { return m_status; }
    int command() const override { return m_status >> 4; }
    int channel() const override { return m_status & 15; }
    int data1() const override { return m_data1; }
    int data2() const override { return m_data2; }

    // Data bytes that follow a status byte: one for Program Change and Channel Pressure, two for
    // the rest.
    static int databytes(uint8_t st)
    {
        return (st >> 4) == midicmd::program || (st >> 4) == midicmd::chanpressure ? 1 : 2;
    }

private:
    uint8_t m_status;
    uint8_t m_data1;
    uint8_t m_data2;
};
