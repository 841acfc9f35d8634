#pragma once
// A preset zone as an instance: the instrument it names (none for a global zone).
#include "synth/Cinstr.h"

class Cpzone {
public:
    Cpzone(Csynth& synth, int channel, Cgenrange gens);
    virtual ~Cpzone();

    bool global() const { return !m_instr; }
    int active() const { return m_instr ? m_instr->active() : 0; }

    Cgenrange m_own;                  // the generators before the instrument generator
    std::unique_ptr<Cinstr> m_instr;
};
