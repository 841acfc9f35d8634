#include "convert/Csequen.h"

#include "convert/Ccontext.h"
#include "midi/Midicodes.h"
#include "platform/Cwindow.h"
#include "synth/Chelper.h"
#include "synth/Csf2view.h"

#include <algorithm>

Csequen::Csequen(Ccontext& ctx) : m_ctx(ctx)
{
    m_synth.settings = &ctx.settings;
    m_synth.abort = &ctx.abort;
    m_synth.mixtab = &ctx.mixer;
    for (int b = 0; b < Csynth::NBUS; ++b) m_synth.bus[b] = ctx.effects.bus(b);
}

Csequen::~Csequen() = default;

bool Csequen::aborted() const
{
    // A write that failed ends the conversion at once, as Abort does.
    if (m_ctx.wave && m_ctx.wave->failed() != Wverr::none) m_ctx.abort.store(true, std::memory_order_relaxed);
    return m_ctx.abort.load(std::memory_order_relaxed);
}

bool Csequen::capped() const
{
    return m_blocks >= maxblocks && m_tick < m_endtick;
}

int Csequen::tempopercent() const
{
    return std::clamp(Csettings::get(m_ctx.settings.tempo), MINTEMPO, MAXTEMPO);
}

double Csequen::scaled(double usq) const
{
    return Ctimeline::scaled(usq, tempopercent());
}

void Csequen::settempo(double usq)
{
    m_usq = usq;
    m_spt = Ctimeline::samplespertick(usq, m_division);
    m_tps = Ctimeline::tickspersample(usq, m_division);
}

bool Csequen::current() const
{
    const Cmidfil* f = m_ctx.midi.get();
    return m_built && m_file == f && (!f || m_serial == f->serial);
}

void Csequen::build()
{
    m_tempos.clear();
    for (auto& c : m_chans) c.reset();
    m_endtick = 0;
    m_file = m_ctx.midi.get();
    m_serial = m_file ? m_file->serial : 0;
    m_built = true;
    // A division of 0 is refused when the file is read; without one there is nothing to time.
    m_division = m_file && m_file->division ? m_file->division : 0;
    if (m_division) {
        for (int i = 0; i < m_file->ntrks && !aborted(); ++i) {
            const Ctrack* tr = m_file->track(i);
            if (!tr) continue;
            for (Cmidiev* ev = tr->first; ev && !aborted(); ev = ev->next) {
                if (ev->kind() == 0) {
                    auto& seq = m_chans[ev->channel() & 15];
                    if (!seq) seq = std::make_unique<Cchanseq>(m_synth, ev->channel() & 15);
                    seq->insert(ev);
                } else if (Ctimeline::istempo(*ev)) {
                    m_tempos.insert(ev);
                } else {
                    continue;
                }
                m_endtick = std::max(m_endtick, ev->time);
            }
        }
        // An interrupted build is not a usable timeline: the next run builds again.
        if (aborted()) m_built = false;
    }
    computetotal();
    rewind();
}

// Microseconds from tick 0 to the end tick, every tempo scaled by the tempo setting. Set Tempo
// events that report 0 (wrong length) leave the tempo as it is.
void Csequen::computetotal()
{
    m_totalpercent = tempopercent();
    if (!m_division) {
        m_total = 0;
        return;
    }
    double usq = scaled(Ctimeline::STARTTEMPO), us = 0;
    int32_t prev = 0;
    for (const Cnode* n = m_tempos.first; n; n = n->next) {
        const int32_t t = std::min(n->ev->time, m_endtick);
        us += Ctimeline::usecs(double(t) - prev, usq, m_division);
        if (n->ev->tempo()) usq = scaled(n->ev->tempo());
        prev = t;
        if (t >= m_endtick) break;
    }
    if (prev < m_endtick) us += Ctimeline::usecs(double(m_endtick) - prev, usq, m_division);
    m_total = us;
}

void Csequen::rewind()
{
    m_tick = 0;
    m_blocks = 0;
    m_elapsed = 0;
    m_tempo = m_tempos.first;
    // The total follows the tempo setting of this run, also when the file was built earlier.
    if (tempopercent() != m_totalpercent) computetotal();
    if (m_division) settempo(scaled(Ctimeline::STARTTEMPO));
    for (auto& c : m_chans)
        if (c) c->rewind();
}

int Csequen::percent() const
{
    const double t = total();
    if (t <= 0) return 100;
    return int(std::clamp(elapsed() * 100 / t, 0.0, 100.0));
}

bool Csequen::block()
{
    Ceffects& fx = m_ctx.effects;
    int s = 0;
    m_synth.mixpos = 0;
    for (;;) {
        if (aborted()) return true;
        if (!m_division || m_tick >= m_endtick || m_blocks >= maxblocks) break;
        int c = BLOCKLEN - s;
        if (m_tempo) {
            const double until = (m_tempo->ev->time - m_tick) * m_spt;
            if (until < c) c = until > 0 ? int(until) : 0;
        }
        if (c > 0) {
            const int p = m_synth.mixpos;
            for (int ch = 0; ch < 16; ++ch) {
                if (!m_chans[ch] || m_ctx.mixer.muted(ch)) continue;
                if (aborted()) break;
                m_synth.mixpos = p;
                m_chans[ch]->advance(c, m_spt, m_tps, m_ctx.abort);
            }
            m_tick += c * m_tps;
            s += c;
            m_synth.mixpos = p + c;
            continue;
        }
        if (s == BLOCKLEN) {
            fx.processblock(BLOCKLEN);
            ++m_blocks;
            m_elapsed = elapsed() + 5000000.0;
            return true;
        }
        // A tempo change is due at this sample.
        if (m_tempo->ev->tempo()) settempo(scaled(m_tempo->ev->tempo()));
        m_tempo = m_tempo->next;
    }
    for (; m_tempo && !aborted(); m_tempo = m_tempo->next)
        if (m_tempo->ev->tempo()) settempo(scaled(m_tempo->ev->tempo()));
    if (s > 0 && !aborted()) {
        fx.processblock(s);
        m_elapsed = elapsed() + s * 1000000.0 / RATE;
    }
    tail();
    return false;
}

void Csequen::tail()
{
    for (auto& c : m_chans)
        if (c) c->send(midicmd::control, midictl::allnotesoff, 0);
    Ceffects& fx = m_ctx.effects;
    fx.silentsince();   // counts from the first pass
    for (int pass = 0; pass < MAXTAIL; ++pass) {
        bool sounded = false, fading = true;
        for (int ch = 0; ch < 16; ++ch) {
            if (aborted()) break;
            m_synth.mixpos = 0;
            if (m_chans[ch] && m_chans[ch]->active()) {
                m_chans[ch]->render(RATE);
                sounded = true;
                fading = fading && m_chans[ch]->fading();
            }
        }
        if (!aborted()) fx.processblock(RATE);
        if (!sounded || aborted()) break;
        // A second that comes out as digital silence while every voice left only grows quieter:
        // the rest of the release could add nothing but more silence.
        if (fading && fx.silentsince()) break;
    }
    m_synth.mixpos = 0;
    if (!aborted()) m_ctx.effects.flush();
}

int Csequen::run()
{
    const Chelper::Crender counted;   // helpers run only on processors no render thread uses
    m_synth.owner = m_owner;
    // The voices of the previous run end before the bank they play from may change.
    for (auto& c : m_chans)
        if (c) c->rewind();
    m_view.reset();
    if (!m_given && m_ctx.bank && m_ctx.bank->loaded) m_view = std::make_unique<Csf2view>(*m_ctx.bank, m_ctx.store);
    m_synth.bank = m_given ? m_given : m_view.get();
    if (current()) rewind();
    else build();
    m_ctx.effects.setoutput(m_ctx.wave.get());
    m_ctx.effects.prepare();
    while (block() && !aborted()) sendmsg(m_window, WM_PROGRESS, 0, percent());
    sendmsg(m_window, WM_PROGRESS, 0, percent());
    sendmsg(m_window, WM_RENDERED, 0, 0);
    return 0;
}

int renderthread(Csequen* seq)
{
    return seq->run();
}
