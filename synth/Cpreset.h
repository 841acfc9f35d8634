#pragma once
// The preset instance of one channel: the tree of preset zones, instruments, instrument zones
// and voices built from the bank for (bank, program), receiving the channel's messages.
#include "synth/Cpzone.h"

#include <memory>
#include <vector>

class Cpreset {
public:
    // Builds the tree; when the bank has no such preset the instance has no zones (and says so
    // when MIDI error messages are shown).
    Cpreset(Csynth& synth, int channel, int bank, int program);
    virtual ~Cpreset();

    // One channel message other than program change and bank select.
    void dispatch(int command, int data1, int data2);
    // The sounding voices of every zone; reap() after they rendered.
    void collect(std::vector<Cvoice*>& out) const;
    void reap();
    int active() const { return m_active; }
    // Back to the state of a new instance of the same preset: every voice ends at once and its
    // object goes for good, and every zone has the initial controller state.
    void renew();

    int m_channel, m_bank, m_program;
    std::vector<std::unique_ptr<Cpzone>> m_zones;   // last zone of the bank first
    Cgenrange m_global;

private:
    void recount();
    // Marks the voices the last note-on started that play the same samples as twins.
    void marktwins();
    Csynth& m_synth;
    int m_active = 0;
    std::vector<int> m_classes;                     // scratch for exclusive classes
};
