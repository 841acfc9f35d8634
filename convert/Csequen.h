#pragma once
// The render sequencer: turns the current MIDI file of a context into the audio of its output
// WAVE file.
//
//   Cmidfil tracks --build--> 16 Cchanseq timelines + tempo timeline
//   block loop: Cchanseq::advance -> Cchannel -> Cpreset ... Cvoice -> effects buses
//               -> Ceffects::processblock -> Cwavfil::wrframes
//
// Blocks are 220,500 samples (5 s) and are cut only where a tempo change falls; inside a block
// every channel renders whole-sample runs between its own events, so each event sounds on the
// sample where it falls. After the last event the notes get all-notes-off and their release tail
// is rendered in one-second passes, then the effect tails are flushed.
//
// One Csequen belongs to one converter (dialog or command-line job) and is reused for every
// conversion it starts; the first conversion of a MIDI file builds the timelines, later ones of
// the same file only rewind. The render thread runs run() (see renderthread); the user-interface
// thread reads elapsed() and total() while it handles the progress message.
#include "convert/Cchanseq.h"
#include "midi/Ctimeline.h"
#include "synth/Csynth.h"
#include "synth/Cvoicerun.h"

#include <atomic>
#include <cstdint>
#include <memory>

struct Ccontext;
class Cmidfil;
class Cwindow;
class Cbankview;

class Csequen {
public:
    static constexpr int BLOCKLEN = 220500;   // samples of one block, 5 s at 44100 Hz
    // The channels render a block a window at a time: a whole number of voice-runner jobs, so
    // that a one-second tail pass cut into windows renders as in one call. The buses hold a
    // window and what the channels rendered past it, at most AHEAD frames (a job per channel
    // and one more); the window is what the effects processor's buses leave beside that. A
    // converter's window is one job: the channels lead it by a few jobs, which the buses hold
    // in any case, and a longer window only adds to that.
    static constexpr int AHEAD = 17 * Cvoicerun::JOB;
    static constexpr int BUSFRAMES = Cvoicerun::JOB + AHEAD;   // the buses of a converter
    static constexpr int RATE = 44100;
    static constexpr int MAXTAIL = 120;       // one-second tail passes at most (past any release)
    static constexpr int MINTEMPO = -99, MAXTEMPO = 1000;   // tempo setting, percent
    // Blocks of one run at most: 6 hours, well inside the 4 GB a WAVE file can describe. A tiny
    // file with a far last event and a slow tempo would otherwise render for days.
    static constexpr int MAXBLOCKS = 6 * 3600 / 5;

    explicit Csequen(Ccontext& ctx);
    virtual ~Csequen();
    Csequen(const Csequen&) = delete;
    Csequen& operator=(const Csequen&) = delete;

    // The window that receives WM_PROGRESS and WM_RENDERED, and the owner of the synthesizer's
    // warnings (the window itself unless given: a dialog passes its widget).
    void setwindow(Cwindow* w, const void* owner = nullptr)
    {
        m_window = w;
        m_owner = owner ? owner : static_cast<const void*>(w);
    }
    // A bank to play instead of the context's loaded bank (a bank built in memory); null goes
    // back to the context's bank. Must outlive the next run.
    void setview(Cbankview* view) { m_given = view; }

    // The render thread's whole run: build or rewind, prepare the effects, render every block,
    // the tail and the effect flush, then WM_PROGRESS once more and WM_RENDERED. The output
    // WAVE file (context's current one, opened for writing) gets every frame; closing it is the
    // caller's job after WM_RENDERED. Returns 0.
    int run();

    // True when the timelines were built from the context's current MIDI file.
    bool current() const;
    // Drops every node of an earlier file and builds the timelines from the current one (no
    // file: empty), then computes the total time and rewinds.
    void build();
    void rewind();
    // One block: renders up to BLOCKLEN samples into the effects processor. Returns true while
    // more blocks follow (also when stopped by the abort flag), false after the tail is done.
    bool block();

    // Microseconds of audio rendered so far and of the whole file at the tempo setting.
    double elapsed() const { return m_elapsed.load(std::memory_order_relaxed); }
    double total() const { return m_total.load(std::memory_order_relaxed); }
    // elapsed * 100 / total, truncated and held to 0..100; 100 when the file has no length.
    int percent() const;

    int32_t endtick() const { return m_endtick; }
    const Cchanseq* chan(int c) const { return c >= 0 && c < 16 ? m_chans[c].get() : nullptr; }
    double tick() const { return m_tick; }
    Csynth& synth() { return m_synth; }

    int maxblocks = MAXBLOCKS;
    // True when the last run stopped at maxblocks before the end of the file.
    bool capped() const;

private:
    bool aborted() const;
    int tempopercent() const;
    double scaled(double usq) const;
    void settempo(double usq);
    void computetotal();
    // Renders samples [at, at + n) of the block, n of them at the current tempo, through every
    // channel that is not muted, handing each full window to the effects processor.
    void stretch(int at, int n);
    void tail();

    Ccontext& m_ctx;
    Cwindow* m_window = nullptr;
    const void* m_owner = nullptr;
    Csynth m_synth;
    std::unique_ptr<Cbankview> m_view;   // the loaded bank as the synthesizer sees it
    Cbankview* m_given = nullptr;

    // What the timelines were built from.
    bool m_built = false;
    const Cmidfil* m_file = nullptr;
    uint64_t m_serial = 0;
    int m_division = 0;

    Ctimeline m_tempos;
    std::unique_ptr<Cchanseq> m_chans[16];
    int32_t m_endtick = 0;
    int m_totalpercent = 0;   // tempo setting the total was computed with

    double m_tick = 0;        // current tick, fractional
    double m_usq = 0;         // microseconds per quarter note, scaled by the tempo setting
    double m_spt = 0;         // samples per tick
    double m_tps = 0;         // ticks per sample
    Cnode* m_tempo = nullptr; // next tempo event not yet applied
    int m_blocks = 0;         // full blocks rendered in this run
    int m_base = 0;           // the sample of the block at the start of the buses
    int m_span = 0;           // samples of a window
    std::atomic<double> m_elapsed{0};
    std::atomic<double> m_total{0};
};

// Entry function of the render thread: std::thread(renderthread, &seq). Returns 0.
int renderthread(Csequen* seq);
