#include "synth/Cpreset.h"

#include "midi/Midicodes.h"
#include "platform/Cmsgbox.h"

#include <algorithm>
#include <cstdio>

Cpreset::Cpreset(Csynth& synth, int channel, int bank, int program)
    : m_channel(channel), m_bank(bank), m_program(program), m_synth(synth)
{
    m_classes.reserve(16);
    const Cbankview* b = synth.bank;
    const Cbankview::Phdr* h = b ? b->find(bank, program) : nullptr;
    if (!h) {
        if (synth.showerrors()) {
            char t[80];
            std::snprintf(t, sizeof t, "Bank number %u doesn't have preset number %u", unsigned(bank),
                          unsigned(program));
            msgbox(t, "Invalid MIDI preset", Boxicon::warning, synth.owner);
        }
        return;
    }
    const size_t hi = size_t(h - b->phdrs.data());
    const size_t first = std::min<size_t>(h->bag, b->pbags.size());
    const size_t last = std::max(first, std::min<size_t>(b->phdrs[hi + 1].bag, b->pbags.size()));
    for (size_t i = first; i < last; ++i) {
        auto z = std::make_unique<Cpzone>(synth, channel, genrange(b->pbags, b->pgens.size(), i));
        if (z->global()) m_global = z->m_own;     // the last global zone wins
        m_zones.push_back(std::move(z));
    }
    std::reverse(m_zones.begin(), m_zones.end());
    size_t izones = 0;
    for (auto& z : m_zones)
        if (z->m_instr) {
            z->setranges(*b, m_global);
            z->m_instr->setpglobal(m_global);
            izones += z->m_instr->m_zones.size();
        }
    // A note collects at most one exclusive class per instrument zone: dispatching never grows
    // the list.
    m_classes.reserve(izones);
}

void Cpreset::renew()
{
    for (auto& z : m_zones)
        if (z->m_instr) z->m_instr->renew();
    m_classes.clear();
    m_active = 0;
}

Cpreset::~Cpreset() = default;

void Cpreset::dispatch(int command, int d1, int d2)
{
    const bool note = command == midicmd::noteoff || command == midicmd::noteon;
    if (note && m_channel != DRUMCHANNEL) d1 += m_synth.transpose();
    if (command == midicmd::noteon && d2 != 0) ++m_synth.noteserial;
    const bool always = command == midicmd::noteon || command == midicmd::control;
    // A note-on reaches only the preset zones whose key and velocity ranges hold it; a note-on of
    // velocity 0 is a note-off and, like every other message, reaches every zone it may concern.
    const bool start = command == midicmd::noteon && d2 != 0;
    m_classes.clear();
    for (auto& z : m_zones) {
        if (!z->m_instr || (!always && z->active() == 0)) continue;
        if (start && !z->holds(d1, d2)) continue;
        z->m_instr->dispatch(command, d1, d2, m_classes);
    }
    if (command == midicmd::noteon && d2 != 0) marktwins();
    // A note with an exclusive class ends the older notes of that class everywhere in the preset.
    for (int cls : m_classes)
        for (auto& z : m_zones)
            if (z->m_instr) z->m_instr->releaseclass(cls, m_synth.noteserial);
    recount();
}

void Cpreset::collect(std::vector<Cvoice*>& out) const
{
    for (auto& z : m_zones)
        if (z->active() > 0) z->m_instr->collect(out);
}

void Cpreset::reap()
{
    for (auto& z : m_zones)
        if (z->active() > 0) z->m_instr->reap();
    recount();
}

void Cpreset::recount()
{
    m_active = 0;
    for (auto& z : m_zones) m_active += z->active();
}

void Cpreset::marktwins()
{
    // The voices this note-on started: the newest of each instrument zone, when it is this
    // note's. Zones of one instrument named by several preset zones start one each.
    constexpr int MOST = 64;
    Cvoice* fresh[MOST];
    int n = 0;
    const uint32_t serial = m_synth.noteserial;
    for (auto& pz : m_zones) {
        if (!pz->m_instr) continue;
        for (auto& z : pz->m_instr->m_zones)
            if (Cvoice* v = z->m_voices; v && v->m_serial == serial && n < MOST) fresh[n++] = v;
    }
    // Those of one sample and one partner sample are twins; rendering then compares what each
    // chunk computes from before sharing it.
    auto sample = [](const Cvoice* v) { return v ? v->m_zone->m_sample : -1; };
    for (int i = 0; i < n; ++i) {
        if (fresh[i]->m_twin) continue;
        Cvoice* group[MOST];
        int g = 0;
        group[g++] = fresh[i];
        for (int j = i + 1; j < n; ++j)
            if (!fresh[j]->m_twin && sample(fresh[j]) == sample(fresh[i]) &&
                sample(fresh[j]->m_partner) == sample(fresh[i]->m_partner))
                group[g++] = fresh[j];
        if (g < 2) continue;
        // Each twin knows the others (as many as it has room for), to filter for them.
        const uint64_t key = uint64_t(serial) << 32 | uint32_t(i + 1);
        for (int a = 0; a < g; ++a) {
            Cvoice* v = group[a];
            v->m_twin = key;
            for (int b = 0; b < g && v->m_nsibs < Cvoice::SIBS; ++b)
                if (b != a) v->m_sibs[v->m_nsibs++] = group[b];
        }
    }
}
