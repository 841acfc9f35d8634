#include "synth/Cinstr.h"

#include "midi/Midicodes.h"

#include <algorithm>

Cinstr::Cinstr(Csynth& synth, int channel, int instrument, Cgenrange pzone) : m_channel(channel)
{
    const Cbankview& b = *synth.bank;
    // The terminal record closes the list; it stands for no instrument.
    if (instrument < 0 || size_t(instrument) + 1 >= b.insts.size()) return;
    const size_t first = std::min<size_t>(b.insts[size_t(instrument)].bag, b.ibags.size());
    const size_t last = std::max(first, std::min<size_t>(b.insts[size_t(instrument) + 1].bag, b.ibags.size()));

    Cgenrange global;
    bool hasglobal = false;
    for (size_t i = first; i < last; ++i) {
        auto z = std::make_unique<Cizone>(synth, channel, genrange(b.ibags, b.igens.size(), i));
        if (!z->m_smp) {
            global = z->m_own;      // the last zone without a sample is the global zone
            hasglobal = true;
        }
        m_zones.push_back(std::move(z));
    }
    std::reverse(m_zones.begin(), m_zones.end());   // newest first, as the zone lists run
    for (auto& z : m_zones) {
        if (hasglobal) z->m_iglobal = global;
        z->m_pzone = pzone;
    }

    // Stereo pairs: a left sample zone and the right sample zone it links to, with equal key and
    // velocity ranges, sound as one note started from the right zone.
    for (auto& a : m_zones) {
        if (!a->m_smp || a->m_smp->type != 4) continue;
        for (auto& bz : m_zones) {
            if (bz.get() == a.get() || !bz->m_smp || bz->m_smp->type != 2) continue;
            if (bz->m_sample != a->m_smp->link) continue;
            if (bz->m_keylo != a->m_keylo || bz->m_keyhi != a->m_keyhi || bz->m_vello != a->m_vello ||
                bz->m_velhi != a->m_velhi)
                continue;
            bz->m_link = a.get();
            a->m_link = a.get();
            break;
        }
    }
}

Cinstr::~Cinstr() = default;

void Cinstr::setpglobal(Cgenrange r)
{
    for (auto& z : m_zones) z->m_pglobal = r;
}

void Cinstr::dispatch(int command, int d1, int d2, std::vector<int>& classes)
{
    const bool always = command == midicmd::noteon || command == midicmd::control;
    for (auto& z : m_zones) {
        // Idle zones receive only note-on and control change.
        if (!always && z->active() == 0) continue;
        const int cls = z->dispatch(command, d1, d2);
        if (cls != 0 && std::find(classes.begin(), classes.end(), cls) == classes.end()) classes.push_back(cls);
    }
    recount();
}

void Cinstr::renew()
{
    for (auto& z : m_zones) z->renew();
    m_active = 0;
}

void Cinstr::releaseclass(int cls, uint32_t serial)
{
    for (auto& z : m_zones) z->releaseclass(cls, serial);
}

void Cinstr::collect(std::vector<Cvoice*>& out) const
{
    for (auto& z : m_zones)
        if (z->active() > 0) z->collect(out);
}

void Cinstr::reap()
{
    for (auto& z : m_zones)
        if (z->active() > 0) z->reap();
    recount();
}

void Cinstr::recount()
{
    m_active = 0;
    for (auto& z : m_zones) m_active += z->active();
}
