#pragma once
// One MIDI channel as the render loop sees it: its bank and program, and the preset instance
// (Cpreset) that holds the channel's controller state and voices. Program change and bank
// select delete the instance; the next other message builds a new one for (bank, program),
// after the melodic or percussion fallback has picked a preset that exists.
#include "synth/Cpreset.h"

#include <memory>
#include <vector>

// Where a channel gets its preset instances and leaves those it is done with, for the live
// engine, whose callback must not build or delete them. Without one the channel builds and
// deletes its instances itself.
class Cpresetstock {
public:
    virtual ~Cpresetstock() = default;
    // A new instance (or one renewed to the state of a new one) of (bank, program) for the
    // channel, which then owns it; null while none is ready.
    virtual Cpreset* take(int channel, int bank, int program) = 0;
    // An instance the channel is done with; the stock owns it again.
    virtual void give(Cpreset* p) = 0;
};

class Cchannel {
public:
    Cchannel(Csynth& synth, int channel);
    virtual ~Cchannel();

    // One channel message: command 8..14 (the status byte's high nibble) and two data bytes.
    void dispatch(int command, int data1, int data2);
    // Adds n samples of every sounding voice into the buses from synth.mixpos on.
    void render(int n);
    // True while some voice of the channel sounds.
    bool active() const { return m_preset && m_preset->active() > 0; }
    // True while every sounding voice is unheard or releasing without tremolo: from here on the
    // channel only grows quieter.
    bool fading() const;
    // Back to the state at creation: no preset instance (voices end at once), program 0,
    // bank 0 (128 on the percussion channel).
    void rewind();
    // Instances come from the stock and go back to it from now on (before any is made).
    void setstock(Cpresetstock* stock) { m_stock = stock; }
    // Room for n sounding voices in the list rendering uses, so that rendering allocates only
    // past n voices.
    void reserve(size_t n) { m_voices.reserve(n); }
    // The preset the channel's (bank, program) plays: the melodic fallback takes the same
    // program in the nearest lower bank that has it, the percussion fallback the drum bank's
    // nearest lower kit. Both are changed to the preset found.
    static void resolve(const Cbankview* b, int channel, int& bank, int& program);

    int channel() const { return m_channel; }
    int bank() const { return m_bank; }
    int program() const { return m_program; }
    Cpreset* preset() const { return m_preset.get(); }
    // The preset instance that the next message other than a program change or bank select
    // goes to, made now if there is none; null only while the stock has none ready.
    Cpreset* instance()
    {
        if (!m_preset) create();
        return m_preset.get();
    }

private:
    void create();
    void drop();

    Csynth& m_synth;
    std::vector<Cvoice*> m_voices;   // the sounding voices of the slice being rendered
    int m_channel;
    int m_bank;
    int m_program = 0;
    std::unique_ptr<Cpreset> m_preset;
    Cpresetstock* m_stock = nullptr;
};
