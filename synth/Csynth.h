#pragma once
// The synthesizer's context: what every channel and voice of one conversion shares. The render
// loop owns one, points it at the bank view, the settings, the MIDI mixer gains, the abort flag
// and the six mixing buses of the effects processor, and sets `mixpos` before each render call.
//
// Data flow: Cchannel::dispatch -> Cpreset -> Cpzone -> Cinstr -> Cizone -> Cvoice; then
// Cchannel::render(n) lets every sounding voice add n samples into the buses at `mixpos`.
// Everything here runs on the render thread; settings, gains and abort are atomics written by
// the user interface.
#include <atomic>
#include <cstdint>
#include <memory>

#include "midi/Cmixtab.h"
#include "synth/Cbuses.h"

class Cbankview;
class Cvoicepool;
class Cvoicerun;
struct Csettings;

struct Csynth : Cbuses {
    Cbankview* bank = nullptr;                    // null: every preset instance is silent
    const Csettings* settings = nullptr;          // null: the settings' defaults
    const Cmixtab* mixtab = nullptr;              // per-channel gains (tenths of a dB), or null
    const std::atomic<bool>* abort = nullptr;     // stop request, polled once per control step
    float* bus[NBUS] = {};                        // mixing buses
    int mixpos = 0;                               // where the next rendered sample is added
    const void* owner = nullptr;                  // window that owns warning boxes
    bool quiet = false;                           // no warning boxes whatever the settings say
    bool keysgiven = false;                       // notes come transposed: the settings' transposition is not added
    uint32_t noteserial = 0;                      // counts note-on messages (exclusive classes)
    std::shared_ptr<Cvoicerun> voicerun;          // renders the voices of a slice, made on first use
    // Live engine: voice objects are built in slots of this pool, never allocated; a note that
    // finds no slot takes its zone's quietest releasing voice (stolen) or does not sound
    // (dropped). Null: voices are allocated as needed and notes never fail.
    Cvoicepool* pool = nullptr;
    long stolen = 0, dropped = 0;

    Csynth() = default;
    // The voice runner belongs to one render thread: a synthesizer context is never copied.
    Csynth(const Csynth&) = delete;
    Csynth& operator=(const Csynth&) = delete;

    bool aborted() const { return abort && abort->load(std::memory_order_relaxed); }
    int gain(int channel) const { return mixtab ? mixtab->gain(channel) : 0; }
    bool showerrors() const;
    int transpose() const;
    float reverbamt() const;
    float chorusamt() const;
    // The most a voice's signal at full scale 1.0 can become in steps of the 16-bit output, with
    // pan gains of at most pan (their sum at most 1), through the buses with these send levels,
    // the effects and the output stage: the
    // delay and the reverberator at their largest gain for any steady tone (with the present
    // settings), the chorus at 1, master volume and makeup gain; the limiter only ever lowers.
    double outgain(float pan, float dry, float cho, float rev) const;
};
