#pragma once
// MIDI output ports as the core sees them. A port sends each complete message synchronously;
// the real ports (RtMidi) live in the devices library and are installed with setmidisys().
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The one system exclusive message in flight on an output: data is null when none is prepared.
struct Midihdr {
    const uint8_t* data = nullptr;
    uint32_t length = 0;
};

// One open MIDI output port. User-interface thread and timer thread, one at a time.
class Cmidiport {
public:
    virtual ~Cmidiport() = default;   // closes the port
    // Sends one complete message (a channel message, or a system exclusive message from 0xF0
    // or 0xF7 to its end). False when the port refused it.
    virtual bool send(const uint8_t* bytes, size_t n) = 0;
};

class Cmidisys {
public:
    virtual ~Cmidisys() = default;
    // Names of the output ports, in the order the indices count them.
    virtual std::vector<std::string> ports() = 0;
    // Opens port index (0 the first); null when there is no such port or it fails. -1, the
    // built-in synthesizer, is no port here: the player opens it itself.
    virtual std::unique_ptr<Cmidiport> open(int index) = 0;
};

// Installs the process's MIDI ports and returns the previous ones (null: none).
Cmidisys* setmidisys(Cmidisys* sys);
Cmidisys* midisys();

// Number of bytes of the short message that begins with this status byte: 2 for Program
// Change, Channel Pressure, MTC quarter frame and Song Select, 1 for Tune Request and the
// real-time bytes, 3 for everything else.
inline size_t shortlength(uint8_t status)
{
    const uint8_t kind = status & 0xF0;
    if (kind == 0xC0 || kind == 0xD0 || status == 0xF1 || status == 0xF3) return 2;
    if (status == 0xF6 || status >= 0xF8) return 1;
    return 3;
}
