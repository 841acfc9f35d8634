#pragma once
// The live synthesizer: the converter's channels, voices and effects rendering in the audio
// device's periods from MIDI messages, for the MIDI output "Built-in synthesizer" of the file
// player, the recorder and `cantorix-cli play`. The same channel, voice and effects code renders
// offline and live; only the output stage differs: its limiter looks ahead LOOKAHEAD frames
// (5 ms) instead of the converter's 131,072, then the same soft clip, and it plays from the
// first period (the output is the input delayed by the look-ahead).
//
//   post() (any thread) --lock-free queue--> render(): messages of the period, in order
//       -> Cchannel::dispatch / render -> buses -> delay, reverb, chorus -> live output stage
//
// Threads: post() and hush() from any thread; render() on the device's callback thread only,
// where it never locks, reads a file or waits; everything else on the owner's thread while no
// period renders (before the stream starts or after it stopped), unless said otherwise.
//
// Samples: prepare() loads (through the store, on the owner's thread) the samples of every note
// a file can start and publishes them for the callback (see Cliveview.h). A note-on whose
// samples are not published (a message nobody announced, or a transposition changed during
// play) does not sound at once: its channel holds it, and every later message of that channel,
// in a fixed list, and the engine's worker thread loads what the note needs; the held messages
// play, in order, at the start of the first period after the samples are published. While the
// engine lives, the store is used only through it: the owner must not load from the same store
// (a conversion, another engine) until it is destroyed.
//
// Memory: queues, lists and buses are made at construction. A preset instance is built on the
// callback when a channel first plays after a program change or bank select, and a voice object
// when a zone plays more notes at once than it did before, as in the converter.
#include "platform/Cwaveio.h"
#include "synth/Cchannel.h"
#include "synth/Ceffects.h"
#include "synth/Cliveview.h"
#include "synth/Cmsgring.h"
#include "synth/Csynth.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <semaphore.h>
#include <thread>
#include <vector>

class Csf2file;
class Cstore;
class Cmixtab;
class Ctimeline;
struct Csettings;

class Clive : public Crenderer {
public:
    static constexpr int RATE = 44100;
    static constexpr int VOICELIMIT = 256;   // default voice limit (a setting; 0 = none)
    static constexpr int LOOKAHEAD = 220;    // frames of the output stage: 4.99 ms
    static constexpr int CHUNK = 1024;       // frames rendered at once; longer periods are cut
    static constexpr int QUEUELEN = 4096;    // messages posted and not yet rendered
    static constexpr int HOLDLEN = 512;      // messages one channel holds while samples load
    static constexpr int SYSEXSLOTS = 16;    // system exclusive messages posted and not rendered
    static constexpr int SYSEXLEN = 1024;    // bytes kept of each

    // settings: effects, transpose and the voice limit, read live; mixer: per-channel gains and
    // mutes read live, or null; bank and store: the loaded sound bank and its sample store, which
    // outlive the engine. Starts the worker thread.
    Clive(const Csettings& settings, const Cmixtab* mixer, Csf2file& bank, Cstore& store);
    // Owner's thread, after the stream that renders from the engine is gone.
    ~Clive() override;
    Clive(const Clive&) = delete;
    Clive& operator=(const Clive&) = delete;

    // Loads the samples of every note the events can start (program changes and bank selects
    // followed per channel, with the fallbacks) so that no note of the file waits for a load.
    // Owner's thread; may also run while the stream plays (it takes turns with the worker).
    void prepare(const Ctimeline& events);
    // Any thread, lock-free: one complete MIDI message (a channel message, or a system exclusive
    // message from 0xF0 or 0xF7 to its end). It takes effect at the start of the next period, in
    // the order posted. False when the queue is full, or for bytes that are no such message.
    // System exclusive messages are taken (the first SYSEXLEN bytes kept) and, as in the
    // converter, change nothing; system common and real-time messages are taken and ignored.
    bool post(const uint8_t* bytes, size_t n);
    // Any thread: the next period begins by ending every voice at once (all sound off) and
    // dropping the messages held for loading samples; messages posted after this call then
    // play. For stop and seek.
    void hush();
    // Device callback thread: renders one period of interleaved 16-bit stereo frames.
    void render(int16_t* out, int frames) override;

    // Tests and benchmarks. The effects processor (its tap sees the buses of every chunk before
    // the effects run).
    Ceffects& effects() { return m_fx; }
    // Voices sounding after the last period; voices the voice limit has ended so far; messages
    // held for loading samples (all read on any thread, relaxed).
    int sounding() const { return m_sounding.load(std::memory_order_relaxed); }
    long limited() const { return m_limited.load(std::memory_order_relaxed); }
    int holding() const { return m_holding.load(std::memory_order_relaxed); }

private:
    enum class Kind : uint8_t { channel, sysex, hush };
    struct Cmsg {
        Kind kind = Kind::channel;
        uint8_t b[3] = {};
        int16_t slot = -1;        // system exclusive: its slot
        uint16_t len = 0;
    };
    // A request to the worker: load the samples of this note on a preset (key transposed).
    struct Cask {
        int channel = 0, bank = 0, program = 0, key = 0, vel = 0;
    };
    struct Chold {
        Cmsg msgs[HOLDLEN];
        int head = 0, count = 0;
        bool asked = false;       // the worker has the request for the first held note-on
    };

    void handle(const Cmsg& m);
    void play(int ch, const Cmsg& m);
    void release(int ch);
    // Whether the samples of this note-on are published; when not, asks the worker once.
    bool ready(int ch, int key, int vel, bool& asked);
    void hold(int ch, const Cmsg& m);
    void endall();
    void limit();
    void follow();
    void worker();
    void load(const Cask& a);

    const Csettings& m_settings;
    const Cmixtab* m_mixer;
    Cliveview m_view;
    Cliveload m_loader;
    Csynth m_synth;               // the callback's
    Csynth m_shadow;              // the loader's: plays notes only to load their samples
    std::vector<std::unique_ptr<Cchannel>> m_chans;
    Ceffects m_fx;

    Cmsgring<Cmsg> m_queue;
    std::atomic<uint32_t> m_sysfree;   // bit i set: system exclusive slot i is free
    std::unique_ptr<uint8_t[]> m_sysex;
    std::atomic<bool> m_hushed{false}; // a hush that found the queue full
    std::unique_ptr<Chold[]> m_holds;
    bool m_muted[16] = {};
    std::vector<Cvoice*> m_voices;     // scratch of the voice limit
    float m_room = -1, m_damp = -1;
    int m_master = 0, m_comp = -1;   // -1: not taken yet

    Cmsgring<Cask> m_asks;
    std::mutex m_loading;              // the loader's turn: the owner's thread or the worker
    sem_t m_wake;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;

    std::atomic<int> m_sounding{0};
    std::atomic<long> m_limited{0};
    std::atomic<int> m_holding{0};
};
