#pragma once
// MIDI output ports on RtMidi. The ALSA sequencer is used when it exists and has ports;
// otherwise (no /dev/snd/seq, or no port) JACK's MIDI ports. The choice is made afresh at every
// ports() and open(), so both always count the same ports.
#include "platform/Cmidiport.h"

class Crtmidi : public Cmidisys {
public:
    std::vector<std::string> ports() override;
    std::unique_ptr<Cmidiport> open(int index) override;
};
