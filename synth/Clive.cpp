#include "synth/Clive.h"

#include "bank/Csf2file.h"
#include "midi/Cmixtab.h"
#include "midi/Ctimeline.h"
#include "midi/Midicodes.h"
#include "settings/Csettings.h"
#include "synth/Cvoice.h"
#include "synth/Cvoicerun.h"

#include <algorithm>
#include <cstring>

namespace {

// Data bytes of a channel message by command (8..14).
int datalen(int command) { return command == midicmd::program || command == midicmd::chanpressure ? 1 : 2; }

} // namespace

Clive::Clive(const Csettings& settings, const Cmixtab* mixer, Csf2file& bank, Cstore& store)
    : m_settings(settings), m_mixer(mixer), m_view(bank, store),
      m_loader(bank, store, m_view), m_fx(settings, nullptr, CHUNK, LOOKAHEAD, false), m_queue(QUEUELEN),
      m_sysfree(SYSEXSLOTS >= 32 ? ~0u : (1u << SYSEXSLOTS) - 1),
      m_sysex(std::make_unique<uint8_t[]>(size_t(SYSEXSLOTS) * SYSEXLEN)), m_holds(std::make_unique<Chold[]>(16)),
      m_asks(256)
{
    m_synth.bank = &m_view;
    m_synth.settings = &settings;
    m_synth.mixtab = mixer;
    m_synth.quiet = true;   // a warning box would make the callback wait for the user
    // Voices render on the callback thread only: a helper would have to be waited for.
    m_synth.voicerun = std::make_shared<Cvoicerun>(false);
    for (int b = 0; b < Csynth::NBUS; ++b) m_synth.bus[b] = m_fx.bus(b);
    for (int ch = 0; ch < 16; ++ch) m_chans.push_back(std::make_unique<Cchannel>(m_synth, ch));
    m_voices.reserve(8192);

    // The loader's synthesizer plays no audio and has no settings: keys come transposed.
    m_shadow.bank = &m_loader;
    m_shadow.quiet = true;
    m_shadow.voicerun = std::make_shared<Cvoicerun>(false);

    m_fx.setparallel(false);
    m_fx.prepare();
    follow();
    sem_init(&m_wake, 0, 0);
    m_thread = std::thread([this] { worker(); });
}

Clive::~Clive()
{
    m_stop.store(true, std::memory_order_release);
    sem_post(&m_wake);
    m_thread.join();
    sem_destroy(&m_wake);
    m_chans.clear();   // voices first, then the view's pins (members go in reverse order)
}

// ---- messages ------------------------------------------------------------------------------

bool Clive::post(const uint8_t* bytes, size_t n)
{
    if (!bytes || n == 0 || bytes[0] < 0x80) return false;
    Cmsg m;
    if (bytes[0] == 0xF0 || bytes[0] == 0xF7) {
        // A free slot, taken by clearing its bit; the callback sets it again once it has read it.
        uint32_t free = m_sysfree.load(std::memory_order_acquire);
        int slot;
        do {
            if (!free) return false;
            slot = __builtin_ctz(free);
        } while (!m_sysfree.compare_exchange_weak(free, free & ~(1u << slot), std::memory_order_acquire));
        const size_t len = std::min<size_t>(n, SYSEXLEN);
        std::memcpy(m_sysex.get() + size_t(slot) * SYSEXLEN, bytes, len);
        m.kind = Kind::sysex;
        m.slot = int16_t(slot);
        m.len = uint16_t(len);
        if (m_queue.push(m)) return true;
        m_sysfree.fetch_or(1u << slot, std::memory_order_release);
        return false;
    }
    if (bytes[0] >= 0xF0) return true;   // system common and real-time: nothing to play
    const int command = bytes[0] >> 4;
    if (n != size_t(1 + datalen(command))) return false;
    for (size_t i = 1; i < n; ++i)
        if (bytes[i] >= 0x80) return false;
    m.b[0] = bytes[0];
    m.b[1] = bytes[1];
    m.b[2] = n > 2 ? bytes[2] : 0;
    m.len = uint16_t(n);
    return m_queue.push(m);
}

void Clive::hush()
{
    Cmsg m;
    m.kind = Kind::hush;
    if (!m_queue.push(m)) m_hushed.store(true, std::memory_order_release);
}

void Clive::handle(const Cmsg& m)
{
    switch (m.kind) {
    case Kind::sysex:
        // Read, as the converter reads them: they change nothing. The slot is free again.
        m_sysfree.fetch_or(1u << m.slot, std::memory_order_release);
        return;
    case Kind::hush:
        endall();
        return;
    case Kind::channel:
        break;
    }
    const int ch = m.b[0] & 15;
    if (m_holds[ch].count > 0) hold(ch, m);
    else play(ch, m);
}

void Clive::play(int ch, const Cmsg& m)
{
    const int command = m.b[0] >> 4, d1 = m.b[1], d2 = m.b[2];
    if (command == midicmd::noteon && d2 != 0) {
        // A muted channel keeps its controllers and programs but starts no note.
        if (m_muted[ch]) return;
        Chold& h = m_holds[ch];
        if (!ready(ch, d1, d2, h.asked)) {
            hold(ch, m);
            return;
        }
        h.asked = false;
    }
    m_chans[size_t(ch)]->dispatch(command, d1, d2);
}

void Clive::hold(int ch, const Cmsg& m)
{
    Chold& h = m_holds[ch];
    // A channel that holds more than it can keep loses the newest messages.
    if (h.count == HOLDLEN) return;
    h.msgs[(h.head + h.count) % HOLDLEN] = m;
    ++h.count;
}

// Plays what a channel holds, in order, up to a note whose samples are still loading.
void Clive::release(int ch)
{
    Chold& h = m_holds[ch];
    while (h.count > 0) {
        const Cmsg& m = h.msgs[h.head];
        const int command = m.b[0] >> 4;
        if (command == midicmd::noteon && m.b[2] != 0 && !m_muted[ch]) {
            if (!ready(ch, m.b[1], m.b[2], h.asked)) return;
            h.asked = false;
        }
        const Cmsg copy = m;
        h.head = (h.head + 1) % HOLDLEN;
        --h.count;
        if (command == midicmd::noteon && copy.b[2] != 0 && m_muted[ch]) continue;
        m_chans[size_t(ch)]->dispatch(command, copy.b[1], copy.b[2]);
    }
}

bool Clive::ready(int ch, int key, int vel, bool& asked)
{
    Cchannel& c = *m_chans[size_t(ch)];
    Cpreset& p = c.instance();
    // The zones this note starts, found as Cpreset and Cizone find them: the key transposed on
    // melodic channels, key and velocity inside the zone's ranges, the zone with a sample; a
    // right zone brings the left zone of its pair.
    if (ch != DRUMCHANNEL) key += m_synth.transpose();
    bool all = true;
    for (const auto& pz : p.m_zones) {
        if (!pz->m_instr) continue;
        for (const auto& z : pz->m_instr->m_zones) {
            if (!z->m_smp || key < z->m_keylo || key > z->m_keyhi || vel < z->m_vello || vel > z->m_velhi) continue;
            if (z->m_link == z.get()) continue;
            if (!m_view.ready(size_t(z->m_sample))) all = false;
            if (z->m_link && !m_view.ready(size_t(z->m_link->m_sample))) all = false;
        }
    }
    if (!all && !asked) {
        asked = m_asks.push(Cask{ch, c.bank(), c.program(), key, vel});
        if (asked) sem_post(&m_wake);
    }
    return all;
}

// ---- loading ---------------------------------------------------------------------------------

void Clive::load(const Cask& a)
{
    // Played on a preset instance of the loader's own, the note asks the loader view for the
    // same samples with the same reach as the callback's note will.
    Cpreset p(m_shadow, a.channel, a.bank, a.program);
    p.dispatch(midicmd::noteon, a.key, a.vel);
}

void Clive::worker()
{
    for (;;) {
        while (sem_wait(&m_wake) != 0) {
        }
        if (m_stop.load(std::memory_order_acquire)) return;
        Cask a;
        while (m_asks.pop(a)) {
            const std::lock_guard<std::mutex> turn(m_loading);
            load(a);
        }
    }
}

void Clive::prepare(const Ctimeline& events)
{
    const std::lock_guard<std::mutex> turn(m_loading);
    // Channels of the loader's own follow bank selects and program changes with the fallbacks;
    // each note-on starts its voices (which loads and publishes their samples) and ends them.
    std::vector<std::unique_ptr<Cchannel>> chans;
    for (int ch = 0; ch < 16; ++ch) chans.push_back(std::make_unique<Cchannel>(m_shadow, ch));
    const int transpose = Csettings::get(m_settings.transpose);
    for (const Cnode* n = events.first; n; n = n->next) {
        const Cmidiev& ev = *n->ev;
        if (ev.kind() != 0) continue;
        const int ch = ev.channel() & 15, command = ev.command();
        Cchannel& c = *chans[size_t(ch)];
        if (command == midicmd::program || (command == midicmd::control && ev.data1() == midictl::bankmsb)) {
            c.dispatch(command, ev.data1(), ev.data2());
        } else if (command == midicmd::noteon && ev.data2() != 0) {
            c.dispatch(command, ev.data1() + (ch != DRUMCHANNEL ? transpose : 0), ev.data2());
            c.dispatch(midicmd::control, midictl::allsoundoff, 0);
        }
    }
}

// ---- rendering -------------------------------------------------------------------------------

void Clive::endall()
{
    for (auto& c : m_chans) {
        if (Cpreset* p = c->preset()) {
            std::vector<Cvoice*>& v = m_voices;
            v.clear();
            p->collect(v);
            for (Cvoice* x : v) x->m_osc.stop();
            p->reap();
        }
    }
    for (int ch = 0; ch < 16; ++ch) {
        m_holds[ch].count = 0;
        m_holds[ch].asked = false;
    }
}

// Ends the quietest releasing voices beyond the voice limit.
void Clive::limit()
{
    const int most = std::max(0, Csettings::get(m_settings.voicelimit));
    int total = 0;
    for (auto& c : m_chans)
        if (const Cpreset* p = c->preset()) total += p->active();
    if (most == 0 || total <= most) return;
    m_voices.clear();
    for (auto& c : m_chans)
        if (const Cpreset* p = c->preset()) p->collect(m_voices);
    auto end = std::partition(m_voices.begin(), m_voices.end(),
                              [](const Cvoice* v) { return v->m_volenv.stage() >= Cvolenv::RELEASE; });
    const long over = std::min<long>(total - most, end - m_voices.begin());
    if (over <= 0) return;
    std::nth_element(m_voices.begin(), m_voices.begin() + (over - 1), end,
                     [](const Cvoice* a, const Cvoice* b) { return a->m_amp.amp() < b->m_amp.amp(); });
    for (long i = 0; i < over; ++i) m_voices[size_t(i)]->m_osc.stop();
    for (auto& c : m_chans)
        if (Cpreset* p = c->preset()) p->reap();
    m_limited.fetch_add(over, std::memory_order_relaxed);
}

// The effect settings the converter reads once per run are followed between periods here.
void Clive::follow()
{
    const float room = Csettings::get(m_settings.roomsize);
    const float damp = Csettings::get(m_settings.damping) * 0.01f;
    if (room != m_room) m_fx.reverb().setroomsize(m_room = room);
    if (damp != m_damp) m_fx.reverb().setdamp(m_damp = damp);
    const int master = Csettings::get(m_settings.mastervoldb), comp = Csettings::get(m_settings.complevel);
    if (master != m_master || comp != m_comp) {
        m_master = master;
        m_comp = comp;
        m_fx.regain();
    }
}

void Clive::render(int16_t* out, int frames)
{
    if (m_hushed.exchange(false, std::memory_order_acquire)) endall();
    // Mutes: a channel muted now ends its voices.
    for (int ch = 0; ch < 16; ++ch) {
        const bool muted = m_mixer && m_mixer->muted(ch);
        if (muted && !m_muted[ch])
            if (Cpreset* p = m_chans[size_t(ch)]->preset()) {
                m_voices.clear();
                p->collect(m_voices);
                for (Cvoice* v : m_voices) v->m_osc.stop();
                p->reap();
            }
        m_muted[ch] = muted;
    }
    for (int ch = 0; ch < 16; ++ch)
        if (m_holds[ch].count > 0) release(ch);
    Cmsg m;
    for (size_t i = 0; i < m_queue.capacity() && m_queue.pop(m); ++i) handle(m);
    follow();
    limit();

    int held = 0;
    for (int ch = 0; ch < 16; ++ch) held += m_holds[ch].count;
    m_holding.store(held, std::memory_order_relaxed);

    for (int done = 0; done < frames;) {
        const int k = std::min(CHUNK, frames - done);
        for (auto& c : m_chans) {
            if (m_muted[c->channel()] || !c->active()) continue;
            m_synth.mixpos = 0;
            c->render(k);
        }
        m_synth.mixpos = 0;
        m_fx.render(k, out + 2 * done);
        done += k;
    }
    int sounding = 0;
    for (auto& c : m_chans)
        if (const Cpreset* p = c->preset()) sounding += p->active();
    m_sounding.store(sounding, std::memory_order_relaxed);
}
