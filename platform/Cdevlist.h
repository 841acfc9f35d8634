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

// What a child process found when it started the wave device system: the output devices' names
// and which of them is the system's default (-1: none), or why the system could not start.
struct Cwaveprobe {
    bool ok = false;
    std::string why;                    // empty when ok
    std::vector<std::string> waveout;
    int defaultout = -1;                // index into waveout
};

class Cdevlist {
public:
    static constexpr size_t MAXNAME = 31;
    static std::vector<std::string> waveouts();
    static std::vector<std::string> waveins();
    static std::vector<std::string> midiouts();
    static Cdevnames all();
    // Starts the wave device system in a child process and lists its output devices. A system
    // that aborts while it starts (ALSA asserts when its configuration is missing or empty) ends
    // the child, not the caller; why then holds the last line the child printed and the signal.
    // Call it before any thread is started.
    static Cwaveprobe probewaveouts();
};
