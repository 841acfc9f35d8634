#pragma once
// A channel voice or mode message (status 0x80 to 0xEF). The status is the effective one, so
// an event read under running status carries the status it ran under. Messages with one data
// byte (Program Change, Channel Pressure) keep 0 as their second byte.
#include "midi/Cmidiev.h"

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

    // Data bytes that follow a status byte: one for 0xC and 0xD, two for the rest.
    static int databytes(uint8_t st) { return (st >> 4) == 0xC || (st >> 4) == 0xD ? 1 : 2; }

private:
    uint8_t m_status;
    uint8_t m_data1;
    uint8_t m_data2;
};
