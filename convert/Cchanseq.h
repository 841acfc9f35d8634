#pragma once
// The render sequencer's view of one MIDI channel: the channel's events in time order, how far
// the channel has got (in fractional ticks), and the synthesizer channel (bank, program and the
// preset instance whose voices sound) that the events are dispatched to.
//
// Render thread only.
#include "midi/Cmidiev.h"
#include "synth/Cchannel.h"

#include <algorithm>
#include <atomic>
#include <vector>

struct Csynth;

class Cchanseq {
public:
    Cchanseq(Csynth& synth, int channel);
    virtual ~Cchanseq();
    Cchanseq(const Cchanseq&) = delete;
    Cchanseq& operator=(const Cchanseq&) = delete;

    // Room for n events, so that the list takes no more than it holds.
    void reserve(size_t n) { m_events.reserve(n); }
    // Adds one of the channel's events; order() then sorts them.
    void insert(Cmidiev* ev) { m_events.push_back(ev); }
    // Puts the events in time order, keeping the order of insertion at one tick: the builder
    // inserts tracks in index order and each track in file order, so that equal ticks come out by
    // track number, then file order, never by message type. A pointer apiece, where a linked
    // timeline would take a node of three.
    void order()
    {
        std::stable_sort(m_events.begin(), m_events.end(),
                         [](const Cmidiev* a, const Cmidiev* b) { return a->time < b->time; });
    }
    // Back to the start: no preset instance (every voice ends at once), program 0, bank 0 (128
    // on the percussion channel), tick 0, first event next.
    void rewind();

    // Starts a stretch of n samples (n > 0) at the current tempo, which advanceto() renders.
    void begin(int n)
    {
        m_n = n;
        m_done = 0;
        m_left = 0;
    }
    // Renders the stretch on until at least upto of its samples are done (or all of them), and
    // returns how many are: sample d of the stretch goes to bus position at + d. Every event
    // that falls due is dispatched on the sample where it falls: an event t ticks ahead is
    // played after (int)(t * spt) samples. spt and tps are the current samples per tick and ticks
    // per sample. The run of samples between two events is rendered in whole voice-runner jobs
    // from its start, so that its voices sound the same however the calls cut it: a call may
    // render up to Cvoicerun::JOB - 1 samples past upto, and stops short of upto where the next
    // job would add past limit. Stops early when the abort flag is set.
    int advanceto(int upto, int limit, int at, double spt, double tps, const std::atomic<bool>& abort);
    // Samples of the stretch done.
    int done() const { return m_done; }
    // One channel message through the channel: program change, bank select and the fallbacks
    // are the channel's, everything else goes to its preset instance.
    void send(int command, int data1, int data2) { m_chan.dispatch(command, data1, data2); }
    // n samples of the channel's sounding voices at synth.mixpos.
    void render(int n) { m_chan.render(n); }
    bool active() const { return m_chan.active(); }
    bool fading() const { return m_chan.fading(); }

    const Cchannel& channel() const { return m_chan; }
    const std::vector<Cmidiev*>& events() const { return m_events; }
    double tick() const { return m_tick; }

private:
    // A run of k samples begins; final: the last of the stretch, after every event.
    void startrun(int k, bool final)
    {
        m_run = m_left = k;
        m_sounding = active();
        m_final = final;
    }
    void dispatch(const Cmidiev* ev) { m_chan.dispatch(ev->command(), ev->data1(), ev->data2()); }

    Csynth& m_synth;
    Cchannel m_chan;
    std::vector<Cmidiev*> m_events;
    size_t m_next = 0;   // next event not yet dispatched
    double m_tick = 0;
    // The stretch being rendered: its samples, those done, and the run under way (its length,
    // samples not yet rendered, whether voices sounded at its start, whether it is the last).
    int m_n = 0, m_done = 0;
    int m_run = 0, m_left = 0;
    bool m_sounding = false, m_final = false;
};
