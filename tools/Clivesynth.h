#pragma once
// The MIDI output "Built-in synthesizer" (MIDI output index -1): the live engine of synth/Clive
// playing to the wave output device of the settings through a pulled stream. It is a MIDI output
// port like the RtMidi ones: send() hands each message to the engine, which plays it at the start
// of the next period. It owns the engine and the stream; closing (destruction) silences the
// engine and stops the stream at once.
//
// Threads: open and the destruction on the user-interface thread; send() from the scheduler,
// one thread at a time, as every port.
#include "platform/Cmidiport.h"

#include <memory>

struct Ccontext;
class Clive;
class Cstream;
class Ctimeline;

class Clivesynth : public Cmidiport {
public:
    static constexpr int PERIOD = 512;   // frames the device asks for at a time

    // Opens the built-in synthesizer on the context's loaded sound bank (Ccontext::loadbank),
    // its settings and its MIDI mixer table: loads the samples of every note `events` can start
    // when transposed by `key` half tones, then opens the wave output device of the settings.
    // The notes sent come transposed already (the player's scheduler transposes them): the
    // settings' transposition is not added. Null when there is no loaded bank or the device
    // cannot be opened.
    static std::unique_ptr<Clivesynth> open(Ccontext& ctx, const Ctimeline* events, int key = 0,
                                            int period = PERIOD);
    ~Clivesynth() override;
    Clivesynth(const Clivesynth&) = delete;
    Clivesynth& operator=(const Clivesynth&) = delete;

    // Hands the message to the engine. When the engine's queue is full (a seek's burst of
    // controllers), waits for the device to take some, at most a second; false after that.
    bool send(const uint8_t* bytes, size_t n) override;
    // The device's own output latency in seconds.
    double latency() const;
    Clive& engine() { return *m_live; }

private:
    Clivesynth() = default;

    std::unique_ptr<Clive> m_live;
    std::unique_ptr<Cstream> m_stream;   // stops before the engine goes
    bool m_stuck = false;                // the last send found the queue full for a whole second
};
