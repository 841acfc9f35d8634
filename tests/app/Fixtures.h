#pragma once
// Small real files for the GUI tests: a format-0 MIDI file with the events given, and a WAVE
// file with the canonical 44-byte header.
#include "platform/Cmidiport.h"
#include "platform/Cwaveio.h"
#include "support/Tempdir.h"

#include <cstdint>
#include <string>

// A MIDI file of one track (division 96) holding events (delta-time, status, data ...) and an
// End of Track meta event appended.
inline Bytes midifile(Bytes events)
{
    events.insert(events.end(), {0x00, 0xFF, 0x2F, 0x00});
    Bytes b = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96, 'M', 'T', 'r', 'k'};
    const uint32_t n = uint32_t(events.size());
    b.insert(b.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    b.insert(b.end(), events.begin(), events.end());
    return b;
}

// A piano note on channel 1, one quarter note long.
inline Bytes pianonote()
{
    return {0x00, 0xC0, 0x00, 0x00, 0x90, 60, 100, 0x60, 0x80, 60, 0};
}

// A meta event at delta 0 with a short text.
inline Bytes metatext(uint8_t type, const std::string& text)
{
    Bytes b = {0x00, 0xFF, type, uint8_t(text.size())};
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

inline void put(Bytes& b, uint32_t v, int n)
{
    for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// A 16-bit PCM WAVE file of frames frames (silence) with the channel count and rate given.
inline Bytes wavefile(uint16_t channels, uint32_t rate, uint32_t frames)
{
    const uint32_t data = frames * channels * 2;
    Bytes b = {'R', 'I', 'F', 'F'};
    put(b, 36 + data, 4);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put(b, 16, 4);
    put(b, 1, 2);
    put(b, channels, 2);
    put(b, rate, 4);
    put(b, rate * channels * 2, 4);
    put(b, channels * 2, 2);
    put(b, 16, 2);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    put(b, data, 4);
    b.resize(b.size() + data, 0);
    return b;
}

// A test's own folder and no sound devices, so that every opening fails: MIDI files of 96 ticks
// per quarter lasting `quarters` seconds (no Set Tempo) and silent stereo WAVE files made there.
struct Songfiles {
    Tempdir dir;
    Cwavesys* prevwave = setwavesys(nullptr);
    Cmidisys* prevmidi = setmidisys(nullptr);

    ~Songfiles()
    {
        setwavesys(prevwave);
        setmidisys(prevmidi);
    }
    std::string midi(const std::string& name, int quarters = 2)
    {
        Bytes ev = {0x00, 0xC0, 0x00, 0x00, 0x90, 60, 100};
        for (int i = 0; i < quarters; ++i) ev.insert(ev.end(), {0x60, 0xB0, 7, 100});
        writebytes(dir.file(name), midifile(ev));
        return dir.file(name);
    }
    std::string wave(const std::string& name, uint32_t frames)
    {
        writebytes(dir.file(name), wavefile(2, 44100, frames));
        return dir.file(name);
    }
};
