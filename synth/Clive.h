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
// Voices render in whole control steps of 20 samples: a step holds its amplitude and pitch, and
// its envelopes and LFOs move on after it, so a render call that ended inside a step would start
// the next call with a new one and make every envelope run faster the shorter the periods are.
// The engine therefore renders up to 19 frames past the period and plays them at the start of
// the next one. Messages take effect where the next rendering starts: at the start of the next
// period, plus those (at most 19) frames already rendered.
//
// Threads: post(), hush() and rewind() from any thread; render() on the device's callback thread
// only, where it never locks, allocates, reads a file or waits; everything else on the owner's
// thread while no period renders (before the stream starts or after it stopped), unless said
// otherwise.
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
// Memory: the callback never allocates or frees. Queues, lists and buses are made at
// construction. Preset instances come from a stock: prepare() builds one for every preset each
// channel of the file takes; for any other, the channel takes nothing and holds its messages (as
// for samples) while the worker builds the instance, then plays them from the first period after
// it is ready. An instance a channel is done with (after a program change or bank select) is
// renewed on the callback, every voice ended and every zone's controller state back to the
// initial one, which makes it equal to a new instance, and goes back to the stock; the stock
// keeps one per channel and preset, and hands extra ones to the worker to delete. Voice objects
// are built in slots of a pool (Cvoicepool): POOLFIRST at construction, POOLGROW more made by
// the worker whenever fewer than POOLGROW / 2 are left, up to MAXVOICES. When none is left, the
// free voice objects of every zone go back to the pool; failing that a note takes its zone's
// quietest releasing voice (stolen()), or does not sound (dropped()).
#include "platform/Cwaveio.h"
#include "settings/Csettings.h"
#include "synth/Cchannel.h"
#include "synth/Ceffects.h"
#include "synth/Cliveview.h"
#include "synth/Cmsgring.h"
#include "synth/Csynth.h"
#include "synth/Cvoicepool.h"

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

class Clive : public Crenderer, private Cpresetstock {
public:
    static constexpr int RATE = 44100;
    static constexpr int VOICELIMIT = Csettings::VOICELIMIT;   // default voice limit (0 = none)
    static constexpr int LOOKAHEAD = 220;    // frames of the output stage: 4.99 ms
    static constexpr int STEP = 20;          // frames of a control step
    static constexpr int CHUNK = 1000;       // frames rendered at once (whole steps)
    static constexpr int QUEUELEN = 4096;    // messages posted and not yet rendered
    static constexpr int HOLDLEN = 512;      // messages one channel holds while samples load
    static constexpr int SYSEXSLOTS = 16;    // system exclusive messages posted and not rendered
    static constexpr int SYSEXLEN = 1024;    // bytes kept of each
    static constexpr int STOCK = 256;        // preset instances kept ready
    static constexpr int POOLFIRST = 640;    // voice objects at construction
    static constexpr int POOLGROW = 256;     // voice objects added at once
    static constexpr int MAXVOICES = 4096;   // voice objects at most

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
    // The same for the notes transposed by this many half tones instead of the settings'
    // transposition (a player that transposes its notes itself; see keysgiven()).
    void prepare(const Ctimeline& events, int transpose);
    // After prepare: loads the samples of the same notes at another transposition, so that a
    // key change while playing finds them ready. Owner's thread, also while the stream plays.
    void preload(const Ctimeline& events, int transpose);
    // Owner's thread, before the stream starts: the notes posted come transposed already, and
    // the settings' transposition is not added to them.
    void keysgiven() { m_synth.keysgiven = true; }
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
    // Any thread: as hush(), and every channel back to its state at creation (program 0, bank 0,
    // no controller received), as in a new engine: for a player that plays again on this one.
    void rewind();
    // Device callback thread: renders one period of interleaved 16-bit stereo frames.
    void render(int16_t* out, int frames) override;

    // Tests: with false, each period is rendered exactly, and every channel's control steps start
    // afresh at each period, as the converter's do at each of a channel's events. On (true) by
    // default. Owner's thread, before the stream starts.
    void setwholesteps(bool on) { m_whole = on; }

    // Tests and benchmarks. The effects processor (its tap sees the buses of every chunk before
    // the effects run).
    Ceffects& effects() { return m_fx; }
    // Voices sounding after the last period; voices the voice limit has ended so far; messages
    // held for loading samples (all read on any thread, relaxed).
    int sounding() const { return m_sounding.load(std::memory_order_relaxed); }
    long limited() const { return m_limited.load(std::memory_order_relaxed); }
    int holding() const { return m_holding.load(std::memory_order_relaxed); }
    // Notes that found no voice object: started on their zone's quietest releasing voice, or not
    // at all (any thread, relaxed).
    long stolen() const { return m_stolen.load(std::memory_order_relaxed); }
    long dropped() const { return m_dropped.load(std::memory_order_relaxed); }
    // Voice objects the pool holds, and preset instances in the stock, after the last period.
    int poolsize() const { return m_poolsize.load(std::memory_order_relaxed); }
    int stocked() const { return m_nstocked.load(std::memory_order_relaxed); }

private:
    enum class Kind : uint8_t { channel, sysex, hush, rewind };
    struct Cmsg {
        Kind kind = Kind::channel;
        uint8_t b[3] = {};
        int16_t slot = -1;        // system exclusive: its slot
        uint16_t len = 0;
    };
    // A request to the worker: load the samples of this note on a preset (key transposed), build
    // a preset instance for the channel, or make voice objects.
    enum class Job : uint8_t { load, build, grow };
    struct Cask {
        Job job = Job::load;
        int channel = 0, bank = 0, program = 0, key = 0, vel = 0;
    };
    struct Cblock {
        void* at = nullptr;
        size_t n = 0;
    };
    struct Chold {
        Cmsg msgs[HOLDLEN];
        int head = 0, count = 0;
        bool asked = false;       // the worker has the request for the first held note-on
    };

    void handle(const Cmsg& m);
    void play(int ch, const Cmsg& m);
    void deliver(int ch, const Cmsg& m);
    void release(int ch);
    // Whether a message can play on its channel now: all but program changes and bank selects
    // need the channel's preset instance, a note-on also its samples; what is missing is asked
    // of the worker once.
    bool ready(int ch, const Cmsg& m);
    bool loaded(Cchannel& c, int key, int vel, bool& asked);
    void hold(int ch, const Cmsg& m);
    // The stock of preset instances (callback thread).
    Cpreset* take(int channel, int bank, int program) override;
    void give(Cpreset* p) override;
    void shelve(Cpreset* p);
    void bury(Cpreset* p);
    static void reclaim(void* live);
    void adopt();
    void ask(const Cask& a);
    void stock(const Ctimeline& events);
    void silence(Cchannel& c);
    void endall();
    void restart();
    void limit();
    void follow();
    void start();
    void worker();
    void load(const Cask& a);
    void grow(size_t n);

    const Csettings& m_settings;
    const Cmixtab* m_mixer;
    Cliveview m_view;
    Cliveload m_loader;
    Cvoicepool m_pool;            // the callback's voice objects
    // Blocks of voice slots: made at construction and by the worker, freed at destruction.
    std::vector<std::unique_ptr<char, void (*)(char*)>> m_storage;
    Csynth m_synth;               // the callback's
    Csynth m_shadow;              // the loader's: plays notes only to load their samples
    std::vector<std::unique_ptr<Cchannel>> m_chans;
    Ceffects m_fx;

    Cmsgring<Cmsg> m_queue;
    std::atomic<uint32_t> m_sysfree;   // bit i set: system exclusive slot i is free
    std::unique_ptr<uint8_t[]> m_sysex;
    std::atomic<bool> m_hushed{false}; // a hush that found the queue full
    std::atomic<bool> m_rewound{false}; // a rewind that found the queue full
    std::unique_ptr<Chold[]> m_holds;
    bool m_muted[16] = {};
    std::vector<Cvoice*> m_voices;     // scratch of the voice limit
    Cpreset* m_stock[STOCK] = {};      // ready instances, owned by the callback
    int m_nstock = 0, m_evict = 0;
    int m_wanted[16] = {};             // 1 + bank * 128 + program asked of the worker, or 0
    bool m_growing = false;            // voice objects are asked of the worker
    bool m_reclaimed = false;          // the zones gave their free voice objects back this period
    bool m_whole = true;
    std::unique_ptr<int16_t[]> m_pcm;  // one chunk of output
    int16_t m_spill[2 * STEP] = {};    // frames rendered past the last period
    int m_spilled = 0;
    float m_room = -1, m_damp = -1;
    int m_master = 0, m_comp = -1;   // -1: not taken yet

    Cmsgring<Cask> m_asks;
    Cmsgring<Cpreset*> m_built;        // instances for the stock: the worker's and prepare()'s
    Cmsgring<Cpreset*> m_dead;         // instances the worker deletes
    Cmsgring<Cblock> m_blocks;         // voice slots the worker made
    std::mutex m_loading;              // the loader's turn: the owner's thread or the worker
    sem_t m_wake;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;

    std::atomic<int> m_sounding{0};
    std::atomic<long> m_limited{0};
    std::atomic<int> m_holding{0};
    std::atomic<long> m_stolen{0}, m_dropped{0};
    std::atomic<int> m_poolsize{0}, m_nstocked{0};
};
