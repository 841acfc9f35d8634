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
        // Each channel's list is sized first, so that it holds its events and no more.
        size_t count[16] = {};
        for (int i = 0; i < m_file->ntrks; ++i)
            if (const Ctrack* tr = m_file->track(i))
                for (const Cmidiev* ev = tr->first; ev; ev = ev->next)
                    if (ev->kind() == 0) ++count[ev->channel() & 15];
        for (int c = 0; c < 16; ++c)
            if (count[c]) {
                m_chans[c] = std::make_unique<Cchanseq>(m_synth, c);
                m_chans[c]->reserve(count[c]);
            }
        for (int i = 0; i < m_file->ntrks && !aborted(); ++i) {
            const Ctrack* tr = m_file->track(i);
            if (!tr) continue;
            for (Cmidiev* ev = tr->first; ev && !aborted(); ev = ev->next) {
                if (ev->kind() == 0) {
                    m_chans[ev->channel() & 15]->insert(ev);
                } else if (Ctimeline::istempo(*ev)) {
                    m_tempos.insert(ev);
                } else {
                    continue;
                }
                m_endtick = std::max(m_endtick, ev->time);
            }
        }
        for (auto& c : m_chans)
            if (c) c->order();
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
    m_base = 0;
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
            stretch(s, c);
            m_tick += c * m_tps;
            s += c;
            continue;
        }
        if (s == BLOCKLEN) {
            if (s > m_base) fx.processblock(s - m_base);
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
        if (s > m_base) fx.processblock(s - m_base);
        m_elapsed = elapsed() + s * 1000000.0 / RATE;
    }
    tail();
    return false;
}

void Csequen::stretch(int at, int n)
{
    // The channels render a few windows at a time rather than a whole block each, so that the
    // buses hold those windows instead of a block. Every frame still receives the channels'
    // voices in the order of the channels, as when each renders its whole stretch in turn (float
    // sums depend on their order): a channel adds only where every channel before it is done.
    // A run between events renders in whole jobs, so a channel can be held up to a job short of
    // the one before it; when the channels get stuck short of a full window, the goal moves on
    // by a job. Every full window that all channels have rendered goes through the effects.
    Cchanseq* on[16];
    int count = 0;
    for (int ch = 0; ch < 16; ++ch)
        if (m_chans[ch] && !m_ctx.mixer.muted(ch)) {
            on[count++] = m_chans[ch].get();
            m_chans[ch]->begin(n);
        }
    Ceffects& fx = m_ctx.effects;
    constexpr int JOB = Cvoicerun::JOB;
    int goal = 0;
    for (int low = 0; low < n;) {
        // Stretch positions: the first not yet in the buses, what the channels may render up to.
        const int first = m_base - at, most = std::min(n, first + fx.buslen() - JOB);
        goal = std::clamp(first + m_span, goal, most);
        fx.touch(std::min(n, goal + JOB) - first);
        int limit = n, high = 0;
        bool moved = false;
        low = count ? n : goal;
        for (int i = 0; i < count; ++i) {
            const int was = on[i]->done();
            const int d = on[i]->advanceto(goal, limit, -first, m_spt, m_tps, m_ctx.abort);
            if (aborted()) return;
            moved = moved || d != was;
            limit = std::min(limit, d);
            low = std::min(low, d);
            high = std::max(high, d);
        }
        high = std::max(high, low);
        if (low - first >= m_span) {
            fx.processblock(low - first, high - low);
            m_base = at + low;
        } else if (!moved) {
            goal = std::min(most, goal + JOB);
        }
    }
}

void Csequen::tail()
{
    for (auto& c : m_chans)
        if (c) c->send(midicmd::control, midictl::allnotesoff, 0);
    Ceffects& fx = m_ctx.effects;
    fx.silentsince();   // counts from the first pass
    for (int pass = 0; pass < MAXTAIL; ++pass) {
        // One second of every channel whose voices still sound, window by window.
        Cchanseq* on[16];
        int count = 0;
        for (auto& c : m_chans)
            if (c && c->active()) on[count++] = c.get();
        for (int w = 0; w < RATE && !aborted(); w += m_span) {
            const int n = std::min(m_span, RATE - w);
            fx.touch(n);
            for (int i = 0; i < count && !aborted(); ++i) {
                m_synth.mixpos = 0;
                on[i]->render(n);
            }
            if (!aborted()) fx.processblock(n);
        }
        if (!count || aborted()) break;
        // A second that comes out as digital silence while every voice left only grows quieter:
        // the rest of the release could add nothing but more silence.
        bool fading = true;
        for (int i = 0; i < count; ++i) fading = fading && on[i]->fading();
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
    // Every write into the buses is declared (stretch, tail), so that prepare() clears only
    // what was written and the buses take memory only as far as the channels got ahead.
    m_ctx.effects.touch(0);
    // Each block's effects run on the helper while the voices of the next render.
    m_ctx.effects.setpipelined(true);
    m_ctx.effects.prepare();
    constexpr int JOB = Cvoicerun::JOB;
    m_span = std::max(JOB, (m_ctx.effects.buslen() - AHEAD) / JOB * JOB);
    while (block() && !aborted()) sendmsg(m_window, WM_PROGRESS, 0, percent());
    // The last block handed to the helper is in the WAVE file before this thread ends.
    m_ctx.effects.settle();
    sendmsg(m_window, WM_PROGRESS, 0, percent());
    sendmsg(m_window, WM_RENDERED, 0, 0);
    return 0;
}

int renderthread(Csequen* seq)
{
    return seq->run();
}
