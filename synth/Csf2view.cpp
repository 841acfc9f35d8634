#include "synth/Csf2view.h"

#include "bank/Csf2file.h"
#include "bank/Cstore.h"

Csf2view::Csf2view(Csf2file& bank, Cstore& store) : m_bank(bank), m_store(store)
{
    // Each table sized to what it holds: the view lives as long as a conversion.
    phdrs.reserve(bank.phdrs.size());
    pbags.reserve(bank.pbags.size());
    pgens.reserve(bank.pgens.size());
    insts.reserve(bank.insts.size());
    ibags.reserve(bank.ibags.size());
    igens.reserve(bank.igens.size());
    smps.reserve(bank.shdrs.size());
    for (const Sfphdr& h : bank.phdrs) phdrs.push_back(Phdr{h.preset, h.bank, h.bagindex});
    for (const Sfbag& b : bank.pbags) pbags.push_back(Bag{b.genindex});
    for (const Sfgen& g : bank.pgens) pgens.push_back(Gen{g.oper, g.sval()});
    for (const Sfinst& i : bank.insts) insts.push_back(Inst{i.bagindex});
    for (const Sfbag& b : bank.ibags) ibags.push_back(Bag{b.genindex});
    for (const Sfgen& g : bank.igens) igens.push_back(Gen{g.oper, g.sval()});
    for (const Sfshdr& s : bank.shdrs) {
        Smp m;
        m.length = s.length;
        m.loopstart = s.loopstart;
        m.loopend = s.loopend;
        m.rate = s.rate;
        m.pitch = s.pitch;
        m.correction = s.correction;
        m.link = s.link;
        m.type = s.type;
        smps.push_back(m);
    }
}

const int16_t* Csf2view::points(size_t index, uint32_t points, uint32_t& loaded)
{
    Sfshdr& s = m_bank.shdrs[index];
    if (!s.audio) m_store.raise(s, points);
    const int16_t* p = m_store.request(s);
    // A load that found no memory leaves a silent buffer of no points; one that found the room
    // held by sounding voices' samples is not kept (s.audio stays null) and pins nothing.
    loaded = s.audio ? s.ptsload : 0;
    if (s.audio) m_store.pin(s);
    return p;
}

void Csf2view::unpin(size_t index)
{
    m_store.unpin(m_bank.shdrs[index]);
}
