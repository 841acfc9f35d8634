#pragma once
// The effects processor: six mixing buses that the voices render into, then per frame the stereo
// delay, the reverberator, the chorus and the output stage (master gain, look-ahead limiter,
// makeup gain with soft clip, 16-bit conversion), whose frames are appended to the output WAVE
// file with wrframes.
//
//   voices --add--> buses[mixpos..] --processblock--> Cdelay -> Creverb -> Cchorus -> Coutstage
//                                                                                  -> Cwavfil
//
// One thread at a time uses it: the render thread during a conversion, or the audio mixer. While
// processblock or flush runs, the calling thread's helper thread runs the delay, the reverberator
// and the chorus over the block, in place on the dry buses, ahead of the output stage (while a
// second processor is spare, Chelper); the result is the same as in turn. A converter may instead
// have its blocks run behind it (setpipelined): processblock copies the block out of the buses,
// and while the voices of the next block render, the helper runs it between its jobs (and the
// render thread while it waits for one), the chain and the output stage chunk by chunk, each
// stage on one thread at a time; every other call finishes that block first (settle). The
// settings are read without locks (relaxed atomics): delay values per block of 32 frames and the
// compressor on/off test per block of 128 (Cdelay, Coutstage); room size, damping, master volume
// and makeup gain at prepare().
// Everything is allocated at construction (the copy of a block at setpipelined); nothing is
// allocated while processing.
//
// The live engine (Clive) keeps one of its own with buses of one period, a look-ahead of a few
// milliseconds and no helper: render() runs the same chain over a period on the calling thread
// and hands the 16-bit frames to the caller instead of a WAVE file.
#include "synth/Cbuses.h"
#include "synth/Cchorus.h"
#include "synth/Cdelay.h"
#include "synth/Chelper.h"
#include "synth/Coutstage.h"
#include "synth/Creverb.h"
#include "synth/Czeroed.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>

struct Csettings;
class Cwavfil;

class Ceffects : public Cbuses {
public:
    static constexpr int BUSLEN = 220500;        // five seconds at 44100 Hz
    static constexpr int LOOKAHEAD = Coutstage::LOOKAHEAD;
    static constexpr int DELAYTAIL = 44100;      // extra flush frames while the delay is on

    // abortflag may be null; when set, processblock stops at the next frame. buslen: frames of
    // each bus (the most one call processes); lookahead and withhold: the output stage's.
    Ceffects(const Csettings& settings, const std::atomic<bool>* abortflag, int buslen = BUSLEN,
             int lookahead = LOOKAHEAD, bool withhold = true);
    virtual ~Ceffects();
    Ceffects(const Ceffects&) = delete;
    Ceffects& operator=(const Ceffects&) = delete;

    float* bus(int which) { return m_bus[which].get(); }

    int mixpos = 0;             // mixing position inside the current block (voices add here)

    // The WAVE file that receives the frames; may be null (frames are then dropped).
    void setoutput(Cwavfil* out)
    {
        settle();
        m_out = out;
    }
    Cwavfil* output() const { return m_out; }

    // Starts a run: clears the buses, the effect lines and the output stage, and takes room size,
    // damping, master volume and makeup gain from the settings.
    void prepare();
    // Processes the first n frames of the buses (n <= buslen), then clears them and mixpos.
    // keep: frames after them that voices already rendered into, which then move to the front
    // (n + keep <= buslen).
    void processblock(int n, int keep = 0);
    // Voices may add into the first frames of the buses from now on. A user that declares this
    // before every write has only those frames cleared by prepare(), so that the rest of the
    // buses is never touched and takes no memory; without it prepare() clears them all.
    void touch(int frames)
    {
        m_declared = true;
        m_dirty = std::clamp(frames, m_dirty, m_buslen);
    }
    // The same on the calling thread, into out (interleaved pairs); returns the frames written
    // (all n when the output stage does not withhold). Never waits: the helper is not used.
    int render(int n, int16_t* out);
    // Takes master volume and makeup gain from the settings again, without a reset.
    void regain();
    int buslen() const { return m_buslen; }
    // Tests: called with the buses and n at the start of every processblock and render, before
    // the effects run.
    void (*tap)(void* ctx, const Ceffects& fx, int n) = nullptr;
    void* tapctx = nullptr;
    const float* bus(int which) const { return m_bus[which].get(); }
    // Processes interleaved 16-bit stereo frames (the audio mixer's input).
    void processframes(const int16_t* frames, int nframes);
    // Ends a run: pushes silence through the delay, the reverb tail and the look-ahead lines.
    void flush();
    // Whether every frame processed since the last call comes out as 16-bit zeros whatever the
    // limiter's gain: under one step after the master and makeup gains, truncated toward zero.
    bool silentsince();
    // Frames flush() would push now: reverb tail + look-ahead (+ delay tail while the delay is on).
    int flushlength() const;

    // Whether processblock and flush hand the delay, the reverberator and the chorus to the
    // helper thread (on by default where the machine has a second processor).
    void setparallel(bool on) { m_parallel = on; }
    // Whether processblock leaves the last PIPELEN frames of each block behind
    // (Chelper::leavebehind), to be run chunk by chunk by the calling thread and its helper when
    // they would wait, and returns once the rest has run (while it runs in parallel and a
    // processor is spare). Before a run.
    void setpipelined(bool on);
    static constexpr int PIPELEN = 8192;
    // Finishes the block left behind, if any: the effects, the output stage and the WAVE file
    // are then as if it had run in the call. The thread that called processblock settles before
    // it ends; every call that runs, resets or redirects the effects settles first.
    void settle();

    Creverb& reverb() { return m_reverb; }
    Cchorus& chorus() { return m_chorus; }
    Cdelay& delay() { return m_delay; }
    Coutstage& outstage() { return m_outstage; }

private:
    static constexpr int CHUNK = 256;
    static constexpr int FLUSHPIECE = 64 * CHUNK;   // frames of silence flush() pushes at a time
    void resetoutput();
    // Runs CHUNK or fewer frames through the chain; dry is copied, chorus input may be null.
    // Returns the frames of 16-bit output written to pcm.
    int runchunk(const float* dryl, const float* dryr, const float* chol, const float* chor,
                 const float* revl, const float* revr, int n, int16_t* pcm);
    // runchunk into m_pcm, then to the WAVE file.
    void writechunk(const float* dryl, const float* dryr, const float* chol, const float* chor,
                    const float* revl, const float* revr, int n);
    // Appends the first frames of m_pcm to the WAVE file, if there is one.
    void write(int frames);
    void gains(float& master, float& makeup) const;
    // Processes the first n frames of the buses and clears them. flushing: the end of a run,
    // where the chorus takes no input and the abort flag is not polled.
    // keep: frames after them that then move to the front, into the cleared space.
    void runblock(int n, bool flushing, int keep = 0);
    // Runs n frames of the buses src through the effects and the output stage into the WAVE
    // file, with the chain on the helper when split.
    void runframes(float* const* src, int n, bool flushing, bool split);
    // A piece of a block left behind: a chunk through the chain or through the output stage.
    Chelper::Step pipestep();
    // After processing n frames: clears them, moves the keep frames after them to the front and
    // resets mixpos. Frames past n + keep must hold nothing.
    void release(int n, int keep);
    // The helper's job: runs the delay, the reverberator and (but when flushing) the chorus over
    // m_job frames in place on the dry buses, publishing how far it has come in m_chaindone.
    void chainrun();
    // The chain over k frames from `at` of the buses src, in place on the dry ones (the chorus
    // left out while flushing).
    void chainchunk(float* const* src, int at, int k, bool chorus);

    const Csettings& m_settings;
    const std::atomic<bool>* m_abort;
    const int m_buslen;
    Cwavfil* m_out = nullptr;
    Czeroed m_bus[NBUS];
    bool m_declared = false;   // the user declares its writes with touch()
    int m_dirty = 0;           // frames at the front that may hold something
    Creverb m_reverb;
    Cchorus m_chorus;
    Cdelay m_delay;
    Coutstage m_outstage;
    // Scratch for one chunk: working frame, the audio mixer's sends, silence, 16-bit output.
    std::unique_ptr<float[]> m_work;
    std::unique_ptr<int16_t[]> m_pcm;

    // The job handed to the helper.
    bool m_parallel;
    float* m_src[NBUS] = {};             // the buses it runs over
    int m_job = 0;                       // frames
    bool m_jobflushing = false;          // the end of a run: no chorus input
    std::atomic<int> m_chaindone{0};     // frames finished

    // A block left behind (setpipelined): its frames, copied from the buses, and the helper
    // running it, until settled.
    bool m_pipelined = false;
    Czeroed m_pipe[NBUS];
    int m_pipen = 0;
    // How far the chain and the output stage have come, each written under its own lock.
    std::atomic<int> m_pipechain{0};
    int m_pipeout = 0;
    std::atomic<bool> m_chainlock{false}, m_outlock{false};
    Chelper* m_pipehelper = nullptr;
};
