#pragma once
// A preset zone as an instance: the instrument it names (none for a global zone) and the key and
// velocity ranges of the notes it plays.
#include "synth/Cinstr.h"

class Cpzone {
public:
    Cpzone(Csynth& synth, int channel, Cgenrange gens);
    virtual ~Cpzone();

    bool global() const { return !m_instr; }
    int active() const { return m_instr ? m_instr->active() : 0; }
    // Takes the key and velocity ranges from the zone's own generators, and a range the zone
    // does not set from the preset's global zone (none: every key, every velocity).
    void setranges(const Cbankview& bank, Cgenrange global);
    // Whether a note-on of this key and velocity reaches the zone's instrument.
    bool holds(int key, int vel) const { return key >= m_keylo && key <= m_keyhi && vel >= m_vello && vel <= m_velhi; }

    Cgenrange m_own;                  // the generators before the instrument generator
    std::unique_ptr<Cinstr> m_instr;
    int m_keylo = 0, m_keyhi = 127, m_vello = 0, m_velhi = 127;
};
