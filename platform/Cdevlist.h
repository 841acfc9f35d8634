#pragma once
// The product names of the devices the program can open, in the order the device layer opens
// them by index: index i is the i-th PortAudio device with output (input) channels, in
// PortAudio's order, and the i-th RtMidi output port. Names are cut to 31 characters, as the
// Options lists show them. A device system that cannot be reached yields an empty list.
#include <string>
#include <vector>

struct Cdevnames {
    std::vector<std::string> waveout;
    std::vector<std::string> wavein;
    std::vector<std::string> midiout;
};

class Cdevlist {
public:
    static constexpr size_t MAXNAME = 31;
    static std::vector<std::string> waveouts();
    static std::vector<std::string> waveins();
    static std::vector<std::string> midiouts();
    static Cdevnames all();
};
