#pragma once
// The render sequencer's view of one MIDI channel: the channel's events in time order, how far
// the channel has got (in fractional ticks), and the synthesizer channel (bank, program and the
// preset instance whose voices sound) that the events are dispatched to.
//
// Render thread only.
#include "midi/Ctimeline.h"
#include "synth/Cchannel.h"

#include <atomic>

struct Csynth;

class Cchanseq {
public:
    Cchanseq(Csynth& synth, int channel);
    virtual ~Cchanseq();
    Cchanseq(const Cchanseq&) = delete;
    Cchanseq& operator=(const Cchanseq&) = delete;

    // Adds one of the channel's events in timeline order (stable by tick).
    void insert(Cmidiev* ev) { m_events.insert(ev); }
    // Back to the start: no preset instance (every voice ends at once), program 0, bank 0 (128
    // on the percussion channel), tick 0, first event next.
    void rewind();

    // Renders n samples (n > 0) from synth.mixpos on, dispatching every event that falls due on
    // the sample where it falls: an event t ticks ahead is played after (int)(t * spt) samples.
    // spt and tps are the current samples per tick and ticks per sample. Stops early when the
    // abort flag is set.
    void advance(int n, double spt, double tps, const std::atomic<bool>& abort);
    // One channel message through the channel: program change, bank select and the fallbacks
    // are the channel's, everything else goes to its preset instance.
    void send(int command, int data1, int data2) { m_chan.dispatch(command, data1, data2); }
    // n samples of the channel's sounding voices at synth.mixpos.
    void render(int n) { m_chan.render(n); }
    bool active() const { return m_chan.active(); }
    bool fading() const { return m_chan.fading(); }

    const Cchannel& channel() const { return m_chan; }
    const Ctimeline& events() const { return m_events; }
    double tick() const { return m_tick; }

private:
    void dispatch(const Cmidiev& ev) { m_chan.dispatch(ev.command(), ev.data1(), ev.data2()); }

    Csynth& m_synth;
    Cchannel m_chan;
    Ctimeline m_events;
    Cnode* m_cursor = nullptr;   // next event not yet dispatched
    double m_tick = 0;
};
