#include "synth/Cpzone.h"

#include "bank/Sfgens.h"

Cpzone::Cpzone(Csynth& synth, int channel, Cgenrange gens) : m_own(gens)
{
    const Cbankview& b = *synth.bank;
    for (size_t i = gens.begin; i < gens.end; ++i) {
        if (b.pgens[i].oper == sfgen::instrument) {
            m_own.end = i;   // the generators before the instrument belong to this zone
            m_instr = std::make_unique<Cinstr>(synth, channel, uint16_t(b.pgens[i].amount), m_own);
            return;
        }
    }
}

Cpzone::~Cpzone() = default;
