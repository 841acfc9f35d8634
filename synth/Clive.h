#pragma once
// The live synthesizer: the converter's channels, voices and effects rendering in the audio
// device's periods from MIDI messages, for the MIDI output "Built-in synthesizer" of the file
// player, the recorder and `cantorix-cli play`. The same channel, voice and effects code renders
// offline and live; only the output stage differs: its limiter looks ahead a few milliseconds
// instead of the converter's 131,072 frames, then the same soft clip.
//
//   post() (any thread) --lock-free queue--> render(): messages of the period, in order
//       -> Cchannel::dispatch / render -> buses -> delay, reverb, chorus -> live output stage
//
// Threads: post() from any thread; render() on the device's callback thread only, where it never
// locks, allocates, reads a file or waits; everything else on the owner's thread while no
// period renders (before the stream starts or after it stopped), unless said otherwise.
#include "platform/Cwaveio.h"

#include <cstddef>
#include <cstdint>
#include <memory>

class Csf2file;
class Cstore;
class Cmixtab;
class Ctimeline;
struct Csettings;

class Clive : public Crenderer {
public:
    static constexpr int RATE = 44100;
    static constexpr int VOICELIMIT = 256;   // default voice limit (a setting; 0 = none)

    // settings: effects, transpose and the voice limit, read live; mixer: per-channel gains and
    // mutes read live, or null; bank and store: the loaded sound bank and its sample store, which
    // outlive the engine.
    Clive(const Csettings& settings, const Cmixtab* mixer, Csf2file& bank, Cstore& store);
    ~Clive() override;
    Clive(const Clive&) = delete;
    Clive& operator=(const Clive&) = delete;

    // Loads the samples of every note the events can start (program changes and bank selects
    // followed per channel, with the fallbacks) so that no note of the file waits for a load.
    void prepare(const Ctimeline& events);
    // Any thread, lock-free: one complete MIDI message (a channel message, or a system exclusive
    // message from 0xF0 or 0xF7 to its end). It takes effect at the start of the next period, in
    // the order posted. False when the queue is full.
    bool post(const uint8_t* bytes, size_t n);
    // Any thread: the next period begins by ending every voice at once (all sound off).
    void hush();
    // Device callback thread: renders one period of interleaved 16-bit stereo frames.
    void render(int16_t* out, int frames) override;
};
