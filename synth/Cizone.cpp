#include "synth/Cizone.h"

#include "bank/Sfgens.h"
#include "midi/Midicodes.h"
#include "platform/Cmsgbox.h"
#include "synth/Cvoicepool.h"

#include <cmath>
#include <cstdio>
#include <new>

namespace {

// Without a pool, the storage of ended voice objects waits here for the next new object of any
// zone on this thread: the converter builds new objects for many notes, and the aligned
// allocation and release were a third of that cost. Unlike a pool, it owns its slots: they are
// freed when the thread ends.
struct Cspare : Cvoicepool {
    Cspare() = default;
    Cspare(const Cspare&) = delete;
    Cspare& operator=(const Cspare&) = delete;
    ~Cspare()
    {
        while (void* p = take()) ::operator delete(p, ALIGN);
    }
};
thread_local Cspare t_spare;

} // namespace

Cizone::Cizone(Csynth& synth, int channel, Cgenrange own) : m_synth(synth), m_channel(channel), m_own(own)
{
    const Cbankview& b = *synth.bank;
    for (size_t i = own.begin; i < own.end; ++i) {
        const Cbankview::Gen& g = b.igens[i];
        switch (g.oper) {
        case sfgen::keyrange: m_keylo = g.lo(); m_keyhi = g.hi(); break;
        case sfgen::velrange: m_vello = g.lo(); m_velhi = g.hi(); break;
        case sfgen::sampleid:
            m_sample = uint16_t(g.amount);
            m_smp = size_t(m_sample) < b.smps.size() ? &b.smps[size_t(m_sample)] : nullptr;
            break;
        case sfgen::exclusiveclass: m_class = g.amount; break;
        default: break;
        }
    }
}

Cizone::~Cizone()
{
    destroyall();
    shedfree();
}

void Cizone::shedfree()
{
    while (m_free) {
        Cvoice* v = m_free;
        m_free = v->m_next;
        discard(v);
    }
    m_freekept = 0;
}

void Cizone::renew()
{
    destroyall();
    shedfree();
    m_state = Cchanstate{};
}

void Cizone::discard(Cvoice* v)
{
    if (Cvoice* p = v->m_partner) {
        v->m_partner = nullptr;
        p->m_zone->discard(p);
    }
    v->~Cvoice();
    (m_synth.pool ? *m_synth.pool : t_spare).give(v);
}

float Cizone::attenuation() const
{
    const int ve = m_state.volume * m_state.expression;
    if (ve == 0) return 1000.0f;
    return float(-200.0 * std::log10(ve / (127.0 * 127.0))) - float(m_synth.gain(m_channel));
}

Cvoice* Cizone::take()
{
    Cvoice* v = m_free;
    if (v) {
        if (!v->pristine()) --m_freekept;
        m_free = v->m_next;
        v->m_next = nullptr;
        return v;
    }
    // A new voice object: instrument global and own generators set values, the preset's global
    // and own generators add to them. This happens once per voice object, never per note.
    void* at;
    if (Cvoicepool* pool = m_synth.pool) {
        at = pool->take();
        if (!at) return nullptr;
    } else {
        at = t_spare.take();
        if (!at) at = ::operator new(Cvoicepool::slotsize(), Cvoicepool::ALIGN);
    }
    v = new (at) Cvoice(this, *m_smp, size_t(m_sample));
    const Cbankview& b = *m_synth.bank;
    auto walk = [&](const std::vector<Cbankview::Gen>& gens, Cgenrange r, bool additive) {
        for (size_t i = r.begin; i < r.end; ++i) {
            const Cbankview::Gen& g = gens[i];
            if (v->apply(g.oper, g.amount, additive)) continue;
            m_generrors = true;
            if (m_synth.showerrors()) {
                char t[80];
                std::snprintf(t, sizeof t, "Generator number: %u; Generator value: %u", unsigned(g.oper),
                              unsigned(uint16_t(g.amount)));
                msgbox(t, "Invalid Sound Font generator", Boxicon::warning, m_synth.owner);
            }
        }
    };
    walk(b.igens, m_iglobal, false);
    walk(b.igens, m_own, false);
    walk(b.pgens, m_pglobal, true);
    walk(b.pgens, m_pzone, true);
    v->derive();
    return v;
}

void Cizone::putfree(Cvoice* v)
{
    v->m_osc.unpin();   // a free voice reads no sample
    // The converter keeps only free objects that differ from a new one. While the free list
    // holds none such, every object on it would play its next note as a new one would, so one
    // more is not worth its memory: it goes now, and a later note builds a new one instead.
    // Objects of a zone whose generators showed an error stay, so that the error shows once.
    const bool pristine = v->pristine();
    if (!m_synth.pool && !m_generrors && m_freekept == 0 && pristine &&
        (!v->m_twin || v->m_nsibs < Cvoice::SIBS)) {
        v->leavetwins();
        discard(v);
        return;
    }
    if (!pristine) ++m_freekept;
    v->m_next = m_free;
    m_free = v;
}

void Cizone::notedata(Cnote& n, int key, int vel) const
{
    n.key = key;
    n.vel = vel;
    n.atten = attenuation();
    n.bendc = m_state.bendrange * m_state.bend / 8192;
    n.revsend = m_state.revsend;
    n.chosend = m_state.chosend;
    n.pan = m_state.pan;
    n.melodic = m_channel != DRUMCHANNEL;
    n.sostenuto = m_state.sostenuto;
    n.soft = m_state.soft;
}

void Cizone::noteon(int key, int vel)
{
    if (!m_smp) return;
    if (m_class != 0)
        for (Cvoice* v = m_voices; v; v = v->m_next) v->release();
    const int k = synunits::clampkey(key);
    for (Cvoice* v = m_voices; v; v = v->m_next)
        if (v->m_key == (v->m_fixedkey >= 0 ? synunits::clampkey(v->m_fixedkey) : k)) {
            v->release();
            break;
        }
    if (m_link == this) return;        // the left half sounds with its right half

    Cvoice* v = take();
    if (!v) v = steal();
    if (!v) {
        ++m_synth.dropped;
        return;
    }
    Cnote note;
    notedata(note, key, vel);
    v->start(m_synth, note);
    if (m_link) {
        Cizone& left = *m_link;
        Cnote ln;
        left.notedata(ln, key, vel);
        Cvoice* p = left.take();
        if (!p) {
            putfree(v);
            ++m_synth.dropped;
            return;
        }
        p->start(m_synth, ln);
        v->m_partner = p;
    }
    v->m_next = m_voices;
    m_voices = v;
    ++m_active;
}

void Cizone::noteoff(int key)
{
    if (key < m_keylo || key > m_keyhi) return;
    for (Cvoice* v = m_voices; v; v = v->m_next)
        if (v->m_key == key) {
            switch (v->m_pedal) {
            case Cvoice::FREE: v->release(); break;
            case Cvoice::SUSTAINED: v->m_pedal = Cvoice::RELSUSTAINED; break;
            case Cvoice::SOSTENUTO: v->m_pedal = Cvoice::RELSOSTENUTO; break;
            default: break;
            }
            return;
        }
}

int Cizone::dispatch(int command, int d1, int d2)
{
    switch (command) {
    case midicmd::noteoff:
        noteoff(d1);
        break;
    case midicmd::noteon:
        if (d2 == 0) {
            noteoff(d1);
        } else if (d1 >= m_keylo && d1 <= m_keyhi && d2 >= m_vello && d2 <= m_velhi && m_smp) {
            noteon(d1, d2);
            return m_class;
        }
        break;
    case midicmd::keypressure:
        for (Cvoice* v = m_voices; v; v = v->m_next)
            if (v->m_key == d1) v->setvibrato(d2 * 50 / 128);
        break;
    case midicmd::control:
        control(d1, d2);
        break;
    case midicmd::chanpressure:
        for (Cvoice* v = m_voices; v; v = v->m_next) v->setvibrato(d1 * 50 / 128);
        break;
    case midicmd::pitchbend: {
        const int bend = (d1 | d2 << 7) - 8192;
        if (bend == m_state.bend) break;
        m_state.bend = bend;
        const int cents = m_state.bendrange * bend / 8192;
        for (Cvoice* v = m_voices; v; v = v->m_next) v->setbend(cents);
        break;
    }
    default:
        if (m_synth.showerrors()) {
            char t[40];
            std::snprintf(t, sizeof t, "Command code: %u", unsigned(command));
            msgbox(t, "Invalid MIDI channel command", Boxicon::warning, m_synth.owner);
        }
        break;
    }
    return 0;
}

void Cizone::control(int ctl, int val)
{
    Cchanstate& s = m_state;
    switch (ctl) {
    case midictl::modwheel:
        for (Cvoice* v = m_voices; v; v = v->m_next) v->setvibrato(val * 50 / 128);
        break;
    case midictl::datamsb: s.datamsb = val; break;
    case midictl::volume:
    case midictl::expression: {
        (ctl == midictl::volume ? s.volume : s.expression) = val;
        const float a = attenuation();
        for (Cvoice* v = m_voices; v; v = v->m_next) v->setatten(a);
        break;
    }
    case midictl::undefined9: case midictl::detune: case midictl::nrpnlsb: case midictl::nrpnmsb: break;
    case midictl::pan:
        s.pan = (val - 64) * 500 / 64;
        for (Cvoice* v = m_voices; v; v = v->m_next) {
            v->setpan(s.pan);
            if (v->m_partner) v->m_partner->setpan(s.pan);
        }
        break;
    case midictl::datalsb:
        if (s.rpnmsb == 0 && s.rpnlsb == 0) s.bendrange = s.datamsb * 100 + val;
        break;
    case midictl::sustain:
        if (val >= 64) {
            for (Cvoice* v = m_voices; v; v = v->m_next)
                if (v->m_pedal == Cvoice::FREE) v->m_pedal = Cvoice::SUSTAINED;
        } else {
            sustainup();
        }
        break;
    case midictl::sostenuto:
        s.sostenuto = val >= 64;
        if (!s.sostenuto)
            for (Cvoice* v = m_voices; v; v = v->m_next) {
                if (v->m_pedal == Cvoice::SOSTENUTO) {
                    v->m_pedal = Cvoice::FREE;
                } else if (v->m_pedal == Cvoice::RELSOSTENUTO) {
                    v->m_pedal = Cvoice::FREE;
                    v->release();
                }
            }
        break;
    case midictl::soft: s.soft = val >= 64; break;
    case midictl::reverb:
    case midictl::chorus:
        (ctl == midictl::reverb ? s.revsend : s.chosend) = val * 200 / 128;
        for (Cvoice* v = m_voices; v; v = v->m_next) v->setsends(m_synth, s.revsend, s.chosend);
        break;
    case midictl::rpnlsb: s.rpnlsb = val; break;
    case midictl::rpnmsb: s.rpnmsb = val; break;
    case midictl::allsoundoff: destroyall(); break;
    case midictl::resetall:
        s.expression = 127;
        s.sostenuto = false;
        s.soft = false;
        s.bend = 0;
        s.bendrange = 200;
        for (Cvoice* v = m_voices; v; v = v->m_next) v->setvibrato(0);
        sustainup();
        break;
    case midictl::allnotesoff:
        for (Cvoice* v = m_voices; v; v = v->m_next) v->release();
        break;
    default:
        if (m_synth.showerrors()) {
            char t[80];
            std::snprintf(t, sizeof t, "Controller number: %u; Controller value: %u", unsigned(ctl), unsigned(val));
            msgbox(t, "Invalid MIDI channel Control change", Boxicon::warning, m_synth.owner);
        }
        break;
    }
}

void Cizone::sustainup()
{
    for (Cvoice* v = m_voices; v; v = v->m_next) {
        if (v->m_pedal == Cvoice::SUSTAINED) {
            v->m_pedal = Cvoice::FREE;
        } else if (v->m_pedal == Cvoice::RELSUSTAINED) {
            v->m_pedal = Cvoice::FREE;
            v->release();
        }
    }
}

void Cizone::releaseclass(int cls, uint32_t serial)
{
    if (cls == 0 || m_class != cls) return;
    for (Cvoice* v = m_voices; v; v = v->m_next)
        if (v->m_serial != serial) v->release();
}

void Cizone::recycle(Cvoice* v)
{
    if (Cvoice* p = v->m_partner) {
        v->m_partner = nullptr;
        p->m_zone->putfree(p);
    }
    putfree(v);
}

void Cizone::collect(std::vector<Cvoice*>& out) const
{
    for (Cvoice* v = m_voices; v; v = v->m_next) out.push_back(v);
}

void Cizone::reap()
{
    // Voices whose oscillator stopped go back to the free list for the zone's next notes.
    Cvoice** link = &m_voices;
    while (Cvoice* v = *link) {
        if (v->playing()) {
            link = &v->m_next;
        } else {
            *link = v->m_next;
            --m_active;
            recycle(v);
        }
    }
}

void Cizone::destroyall()
{
    while (m_voices) {
        Cvoice* v = m_voices;
        m_voices = v->m_next;
        discard(v);   // and its partner
    }
    m_active = 0;
}

Cvoice* Cizone::steal()
{
    Cvoice** quietest = nullptr;
    for (Cvoice** link = &m_voices; *link; link = &(*link)->m_next) {
        const Cvoice* v = *link;
        if (v->m_volenv.stage() >= Cvolenv::RELEASE && (!quietest || v->m_amp.amp() <= (*quietest)->m_amp.amp()))
            quietest = link;
    }
    if (!quietest) return nullptr;
    Cvoice* v = *quietest;
    *quietest = v->m_next;
    --m_active;
    recycle(v);
    ++m_synth.stolen;
    return take();
}
