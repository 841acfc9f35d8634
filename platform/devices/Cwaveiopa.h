#pragma once
// Wave devices on PortAudio. Index i is the i-th PortAudio device with output (input) channels,
// in PortAudio's order; -1 is PortAudio's default output (input) device. Each open stream holds
// its own reference to PortAudio (initialized on open, terminated on close), so the device list
// is read afresh whenever no stream is open.
//
// The stream callback runs on PortAudio's thread: it copies between the queued blocks and the
// device in queue order, marks a block done when it is used up and posts its message. An output
// stream runs only while blocks are queued: when the queue runs dry it ends after the current
// device buffer, and the next write starts it again. So an idle output plays nothing, rather
// than a stream of silence.
#include "platform/Cwaveio.h"

class Cpawave : public Cwavesys {
public:
    std::unique_ptr<Cwavedev> openout(int device, const Waveformat& fmt, Cwindow* w) override;
    std::unique_ptr<Cwavedev> openin(int device, const Waveformat& fmt, Cwindow* w) override;
};
