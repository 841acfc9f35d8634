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

void Cpzone::setranges(const Cbankview& b, Cgenrange global)
{
    auto find = [&b](Cgenrange r, int oper) -> const Cbankview::Gen* {
        for (size_t i = r.begin; i < r.end; ++i)
            if (b.pgens[i].oper == oper) return &b.pgens[i];
        return nullptr;
    };
    const Cbankview::Gen* key = find(m_own, sfgen::keyrange);
    if (!key) key = find(global, sfgen::keyrange);
    if (key) m_keylo = key->lo(), m_keyhi = key->hi();
    const Cbankview::Gen* vel = find(m_own, sfgen::velrange);
    if (!vel) vel = find(global, sfgen::velrange);
    if (vel) m_vello = vel->lo(), m_velhi = vel->hi();
}
