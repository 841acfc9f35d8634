#include "synth/Clive.h"

#include "bank/Csf2file.h"
#include "midi/Cmixtab.h"
#include "midi/Ctimeline.h"
#include "midi/Midicodes.h"
#include "settings/Csettings.h"
#include "synth/Cvoice.h"
#include "synth/Cvoicerun.h"

#include <algorithm>
#include <array>
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
      m_pcm(std::make_unique<int16_t[]>(2 * size_t(CHUNK))),
      m_asks(256), m_built(2 * STOCK), m_dead(4 * STOCK), m_blocks(16)
{
    m_synth.bank = &m_view;
    m_synth.settings = &settings;
    m_synth.mixtab = mixer;
    m_synth.quiet = true;   // a warning box would make the callback wait for the user
    // Voices render on the callback thread only: a helper would have to be waited for.
    m_synth.voicerun = std::make_shared<Cvoicerun>(false);
    m_synth.voicerun->reserve(MAXVOICES);
    m_synth.pool = &m_pool;
    m_pool.reclaim = reclaim;
    m_pool.reclaimctx = this;
    grow(POOLFIRST);
    Cblock first;
    while (m_blocks.pop(first)) m_pool.adopt(first.at, first.n);
    for (int b = 0; b < Csynth::NBUS; ++b) m_synth.bus[b] = m_fx.bus(b);
    for (int ch = 0; ch < 16; ++ch) {
        m_chans.push_back(std::make_unique<Cchannel>(m_synth, ch));
        m_chans.back()->setstock(this);
        m_chans.back()->reserve(MAXVOICES);
    }
    m_voices.reserve(MAXVOICES);

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
    // Voices first, then the view's pins (members go in reverse order). The channels give their
    // instances back to the stock; then every instance goes.
    m_chans.clear();
    for (int i = 0; i < m_nstock; ++i) delete m_stock[i];
    Cpreset* p;
    while (m_built.pop(p)) delete p;
    while (m_dead.pop(p)) delete p;
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

void Clive::rewind()
{
    Cmsg m;
    m.kind = Kind::rewind;
    if (!m_queue.push(m)) m_rewound.store(true, std::memory_order_release);
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
    case Kind::rewind:
        restart();
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
    if (ready(ch, m)) deliver(ch, m);
    else hold(ch, m);
}

void Clive::deliver(int ch, const Cmsg& m)
{
    const int command = m.b[0] >> 4;
    if (command == midicmd::noteon && m.b[2] != 0) {
        m_holds[ch].asked = false;
        // A muted channel keeps its controllers and programs but starts no note.
        if (m_muted[ch]) return;
    }
    m_chans[size_t(ch)]->dispatch(command, m.b[1], m.b[2]);
}

void Clive::hold(int ch, const Cmsg& m)
{
    Chold& h = m_holds[ch];
    // A channel that holds more than it can keep loses the newest messages.
    if (h.count == HOLDLEN) return;
    h.msgs[(h.head + h.count) % HOLDLEN] = m;
    ++h.count;
}

// Plays what a channel holds, in order, up to a message that still waits.
void Clive::release(int ch)
{
    Chold& h = m_holds[ch];
    while (h.count > 0) {
        const Cmsg m = h.msgs[h.head];
        if (!ready(ch, m)) return;
        h.head = (h.head + 1) % HOLDLEN;
        --h.count;
        deliver(ch, m);
    }
}

bool Clive::ready(int ch, const Cmsg& m)
{
    const int command = m.b[0] >> 4, d1 = m.b[1];
    if (command == midicmd::program ||
        (command == midicmd::control && (d1 == midictl::bankmsb || d1 == midictl::banklsb)))
        return true;
    const bool note = command == midicmd::noteon && m.b[2] != 0;
    if (note && m_muted[ch]) return true;
    Cchannel& c = *m_chans[size_t(ch)];
    if (!c.instance()) return false;
    return !note || loaded(c, d1, m.b[2], m_holds[ch].asked);
}

bool Clive::loaded(Cchannel& c, int key, int vel, bool& asked)
{
    const Cpreset& p = *c.preset();
    // The zones this note starts, found as Cpreset and Cizone find them: the key transposed on
    // melodic channels, key and velocity inside the preset zone's and the zone's ranges, the
    // zone with a sample; a right zone brings the left zone of its pair.
    const int ch = c.channel();
    if (ch != DRUMCHANNEL) key += m_synth.transpose();
    bool all = true;
    for (const auto& pz : p.m_zones) {
        if (!pz->m_instr || !pz->holds(key, vel)) continue;
        for (const auto& z : pz->m_instr->m_zones) {
            if (!z->m_smp || key < z->m_keylo || key > z->m_keyhi || vel < z->m_vello || vel > z->m_velhi) continue;
            if (z->m_link == z.get()) continue;
            if (!m_view.ready(size_t(z->m_sample))) all = false;
            if (z->m_link && !m_view.ready(size_t(z->m_link->m_sample))) all = false;
        }
    }
    if (!all && !asked) {
        asked = m_asks.push(Cask{Job::load, ch, c.bank(), c.program(), key, vel});
        if (asked) sem_post(&m_wake);
    }
    return all;
}

// ---- the stock of preset instances and the voice pool (callback thread) --------------------

Cpreset* Clive::take(int channel, int bank, int program)
{
    for (int i = 0; i < m_nstock; ++i) {
        Cpreset* p = m_stock[i];
        if (p->m_channel != channel || p->m_bank != bank || p->m_program != program) continue;
        m_stock[i] = m_stock[--m_nstock];
        m_wanted[channel] = 0;
        return p;
    }
    // Asked once per channel and preset; the channel holds its messages until it is built.
    const int want = 1 + bank * 128 + program;
    if (m_wanted[channel] != want) {
        m_wanted[channel] = 0;
        if (m_asks.push(Cask{Job::build, channel, bank, program})) {
            m_wanted[channel] = want;
            sem_post(&m_wake);
        }
    }
    return nullptr;
}

void Clive::give(Cpreset* p)
{
    p->renew();
    shelve(p);
}

// Into the stock: one instance per channel and preset; when full, the oldest entry goes.
void Clive::shelve(Cpreset* p)
{
    for (int i = 0; i < m_nstock; ++i) {
        const Cpreset* q = m_stock[i];
        if (q->m_channel == p->m_channel && q->m_bank == p->m_bank && q->m_program == p->m_program) {
            bury(p);
            return;
        }
    }
    if (m_nstock < STOCK) {
        m_stock[m_nstock++] = p;
        return;
    }
    m_evict %= STOCK;
    bury(m_stock[m_evict]);
    m_stock[m_evict++] = p;
}

// An instance without voices, to the worker to delete. Every instance buried came from the
// worker or prepare() and the worker empties the queue before it builds again, so the queue
// (four times the stock) does not fill; if it ever did, the instance would be deleted here.
void Clive::bury(Cpreset* p)
{
    if (m_dead.push(p)) sem_post(&m_wake);
    else delete p;
}

// The pool is empty: the free voice objects of every zone of every channel go back to it, once
// per period (the worker adds more in the meantime).
void Clive::reclaim(void* live)
{
    auto& self = *static_cast<Clive*>(live);
    if (self.m_reclaimed) return;
    self.m_reclaimed = true;
    for (auto& c : self.m_chans)
        if (Cpreset* p = c->preset())
            for (auto& pz : p->m_zones)
                if (pz->m_instr)
                    for (auto& z : pz->m_instr->m_zones) z->shedfree();
}

// What the worker made: instances into the stock, voice slots into the pool.
void Clive::adopt()
{
    Cpreset* p;
    while (m_built.pop(p)) shelve(p);
    Cblock b;
    while (m_blocks.pop(b)) {
        m_pool.adopt(b.at, b.n);
        m_growing = false;
    }
}

void Clive::ask(const Cask& a)
{
    if (m_asks.push(a)) sem_post(&m_wake);
}

// ---- loading ---------------------------------------------------------------------------------

// Worker (and constructor): n voice slots for the pool, handed over through m_blocks.
void Clive::grow(size_t n)
{
    char* at = static_cast<char*>(::operator new(n * Cvoicepool::slotsize(), Cvoicepool::ALIGN));
    m_storage.emplace_back(at, [](char* p) { ::operator delete(p, Cvoicepool::ALIGN); });
    m_blocks.push(Cblock{at, n});   // at most one block is asked for at a time: room enough
}

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
        Cpreset* p;
        while (m_dead.pop(p)) delete p;
        Cask a;
        while (m_asks.pop(a)) {
            if (a.job == Job::grow) {
                grow(POOLGROW);
            } else if (a.job == Job::build) {
                // Built for the callback's synthesizer: it reads only the bank's tables here.
                p = new Cpreset(m_synth, a.channel, a.bank, a.program);
                if (!m_built.push(p)) delete p;
            } else {
                const std::lock_guard<std::mutex> turn(m_loading);
                load(a);
            }
            while (m_dead.pop(p)) delete p;
        }
    }
}

void Clive::prepare(const Ctimeline& events)
{
    prepare(events, m_synth.transpose());
}

void Clive::prepare(const Ctimeline& events, int transpose)
{
    stock(events);
    preload(events, transpose);
}

void Clive::preload(const Ctimeline& events, int transpose)
{
    const std::lock_guard<std::mutex> turn(m_loading);
    // Channels of the loader's own follow bank selects and program changes with the fallbacks;
    // each note-on starts its voices (which loads and publishes their samples) and ends them.
    std::vector<std::unique_ptr<Cchannel>> chans;
    for (int ch = 0; ch < 16; ++ch) chans.push_back(std::make_unique<Cchannel>(m_shadow, ch));
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

// The instances the file's channels take: each channel's first preset (for what it receives
// before a program change) and the preset after every program change or bank select that other
// messages follow, found with the fallbacks as the channel finds them. Built here, on the owner's
// thread, for the stock.
void Clive::stock(const Ctimeline& events)
{
    struct Cstate {
        int bank, program;
        bool made;
    } st[16];
    std::vector<std::array<int, 3>> keys;
    auto want = [&](int ch, int bank, int program) {
        const std::array<int, 3> k{ch, bank, program};
        if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
    };
    for (int ch = 0; ch < 16; ++ch) {
        st[ch] = {ch == DRUMCHANNEL ? DRUMBANK : 0, 0, false};
        int bank = st[ch].bank, program = 0;
        Cchannel::resolve(&m_view, ch, bank, program);
        want(ch, bank, program);
    }
    for (const Cnode* n = events.first; n; n = n->next) {
        const Cmidiev& ev = *n->ev;
        if (ev.kind() != 0) continue;
        Cstate& s = st[ev.channel() & 15];
        const int command = ev.command();
        if (command == midicmd::program) {
            s.program = ev.data1();
            s.made = false;
        } else if (command == midicmd::control && ev.data1() == midictl::bankmsb) {
            s.bank = ev.data2();
            s.made = false;
        } else if (!(command == midicmd::control && ev.data1() == midictl::banklsb) && !s.made) {
            Cchannel::resolve(&m_view, ev.channel() & 15, s.bank, s.program);
            want(ev.channel() & 15, s.bank, s.program);
            s.made = true;
        }
    }
    // Beyond STOCK, instances are built when asked for; room is left for the worker's.
    if (keys.size() > size_t(STOCK)) keys.resize(size_t(STOCK));
    for (const auto& k : keys) {
        auto* p = new Cpreset(m_synth, k[0], k[1], k[2]);
        if (!m_built.push(p)) {
            delete p;
            break;
        }
    }
}

// ---- rendering -------------------------------------------------------------------------------

// Ends every voice of a channel at once; they go back to their zones' free lists.
void Clive::silence(Cchannel& c)
{
    Cpreset* p = c.preset();
    if (!p) return;
    m_voices.clear();
    p->collect(m_voices);
    for (Cvoice* v : m_voices) v->m_osc.stop();
    p->reap();
}

// Every channel as in a new engine; their instances go back to the stock.
void Clive::restart()
{
    endall();
    for (auto& c : m_chans) c->rewind();
}

void Clive::endall()
{
    for (auto& c : m_chans) silence(*c);
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

// The start of new rendering: mutes, held and posted messages, effect settings, the limit.
void Clive::start()
{
    adopt();
    if (m_hushed.exchange(false, std::memory_order_acquire)) endall();
    if (m_rewound.exchange(false, std::memory_order_acquire)) restart();
    m_reclaimed = false;
    // A channel muted now ends its voices.
    for (int ch = 0; ch < 16; ++ch) {
        const bool muted = m_mixer && m_mixer->muted(ch);
        if (muted && !m_muted[ch]) silence(*m_chans[size_t(ch)]);
        m_muted[ch] = muted;
    }
    for (int ch = 0; ch < 16; ++ch)
        if (m_holds[ch].count > 0) release(ch);
    Cmsg m;
    for (size_t i = 0; i < m_queue.capacity() && m_queue.pop(m); ++i) handle(m);
    follow();
    limit();
    if (!m_growing && m_pool.left() < size_t(POOLGROW / 2) && m_pool.total() + POOLGROW <= size_t(MAXVOICES)) {
        m_growing = true;
        ask(Cask{Job::grow});
    }
    m_stolen.store(m_synth.stolen, std::memory_order_relaxed);
    m_dropped.store(m_synth.dropped, std::memory_order_relaxed);
    m_poolsize.store(int(m_pool.total()), std::memory_order_relaxed);
    m_nstocked.store(m_nstock, std::memory_order_relaxed);
    int held = 0;
    for (int ch = 0; ch < 16; ++ch) held += m_holds[ch].count;
    m_holding.store(held, std::memory_order_relaxed);
}

void Clive::render(int16_t* out, int frames)
{
    if (frames <= 0) return;
    // First the frames rendered past the last period.
    const int given = std::min(m_spilled, frames);
    std::copy(m_spill, m_spill + 2 * given, out);
    std::copy(m_spill + 2 * given, m_spill + 2 * m_spilled, m_spill);
    m_spilled -= given;
    out += 2 * given;
    frames -= given;
    if (frames == 0) return;

    start();
    const int want = m_whole ? (frames + STEP - 1) / STEP * STEP : frames;
    for (int done = 0; done < want;) {
        const int k = std::min(CHUNK, want - done);
        for (auto& c : m_chans) {
            if (m_muted[c->channel()] || !c->active()) continue;
            m_synth.mixpos = 0;
            c->render(k);
        }
        m_synth.mixpos = 0;
        m_fx.render(k, m_pcm.get());
        // Up to the period's end into out, the rest (less than a step) kept for the next one.
        const int play = std::clamp(frames - done, 0, k);
        std::copy(m_pcm.get(), m_pcm.get() + 2 * play, out + 2 * done);
        std::copy(m_pcm.get() + 2 * play, m_pcm.get() + 2 * k, m_spill);
        m_spilled = k - play;
        done += k;
    }
    int sounding = 0;
    for (auto& c : m_chans)
        if (const Cpreset* p = c->preset()) sounding += p->active();
    m_sounding.store(sounding, std::memory_order_relaxed);
}
