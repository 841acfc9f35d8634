#pragma once
// Wave devices on PortAudio. Index i is the i-th PortAudio device with output (input) channels,
// in PortAudio's order; -1 is PortAudio's default output (input) device. Each open stream holds
// its own reference to PortAudio (initialized on open, terminated on close), so the device list
// is read afresh whenever no stream is open.
//
// Output streams hand the queued blocks to the device from a writer thread of their own, in queue
// order, and give each block back through the message queue once it has gone to the device: it is
// marked done on the user-interface thread right before its MM_WOM_DONE is handled. Between
// blocks the device gets nothing, so an idle output plays nothing, rather than a stream of silence.
// Input streams are filled by PortAudio's callback, which marks each full block done and posts
// its message.
//
// A pulled stream (openstream) runs from its opening to its destruction: its callback asks the
// renderer for every period, frames per buffer = the period, at the device's low latency.
#include "platform/Cwaveio.h"

#include <string>

// PortAudio's index of wave device `device` (-1: the default) with output (input) channels;
// paNoDevice when there is none. PortAudio must be initialized.
int padevice(int device, bool input);

class Cpawave : public Cwavesys {
public:
    std::unique_ptr<Cwavedev> openout(int device, const Waveformat& fmt, Cwindow* w) override;
    std::unique_ptr<Cwavedev> openin(int device, const Waveformat& fmt, Cwindow* w) override;
    std::unique_ptr<Cstream> openstream(int device, const Waveformat& fmt, int period, Crenderer& r) override;
    // Why the last openstream failed, in PortAudio's words; empty after one that opened.
    const std::string& why() const { return m_why; }

private:
    std::string m_why;
};
