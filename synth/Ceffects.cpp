#include "synth/Ceffects.h"

#include "audio/Cwavfil.h"
#include "settings/Ceffparam.h"
#include "synth/Csynunits.h"
#include "synth/Cwide.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace {

// Scratch rows of one chunk.
enum { WL, WR, DL, DR, SCL, SCR, SRL, SRR, NWORK };

} // namespace

Ceffects::Ceffects(const Csettings& settings, const std::atomic<bool>* abortflag, int buslen, int lookahead,
                   bool withhold)
    : m_settings(settings), m_abort(abortflag), m_buslen(std::max(buslen, 1)),
      m_outstage(lookahead, withhold),
      m_work(std::make_unique<float[]>(NWORK * CHUNK)),
      m_pcm(std::make_unique<int16_t[]>(2 * CHUNK)),
      m_parallel(Chelper::processors() > 1)
{
    for (auto& b : m_bus) b = zeroed(size_t(m_buslen));
    std::fill(m_work.get(), m_work.get() + NWORK * CHUNK, 0.0f);
    resetoutput();
}

// Master gain M = 10^(dB / 20), makeup gain K = 10^(level / 20), both held to their ranges.
void Ceffects::gains(float& master, float& makeup) const
{
    const int db = effparam(Ceffparam::mastervol).clamp(Csettings::get(m_settings.mastervoldb));
    const int level = effparam(Ceffparam::complevel).clamp(Csettings::get(m_settings.complevel));
    master = std::pow(10.0f, db * 0.05f);
    makeup = std::pow(10.0f, level * 0.05f);
}

void Ceffects::resetoutput()
{
    float master, makeup;
    gains(master, makeup);
    m_outstage.reset(master, makeup);
}

void Ceffects::regain()
{
    settle();
    float master, makeup;
    gains(master, makeup);
    m_outstage.setgains(master, makeup);
}

Ceffects::~Ceffects() { settle(); }

void Ceffects::chainrun()
{
    // The chain works in place on the dry buses, which is what it would copy and run over: the
    // delay, then the reverberation and the chorus added, each frame in the same order of sums.
    const int n = m_job;
    for (int i = 0; i < n; i += CHUNK) {
        const int k = std::min(CHUNK, n - i);
        chainchunk(m_src, i, k, !m_jobflushing);
        m_chaindone.store(i + k, std::memory_order_release);
    }
}

void Ceffects::chainchunk(float* const* src, int at, int k, bool chorus)
{
    float* l = src[DRYL] + at;
    float* r = src[DRYR] + at;
    m_delay.run(l, r, k, m_settings);
    m_reverb.run(src[REVL] + at, src[REVR] + at, l, r, k);
    if (chorus) m_chorus.run(src[CHOL] + at, src[CHOR] + at, l, r, k);
}

void Ceffects::setpipelined(bool on)
{
    settle();
    m_pipelined = on;
    if (on && !m_pipe[0])
        for (auto& b : m_pipe) b = zeroed(size_t(std::min(PIPELEN, m_buslen)));
}

void Ceffects::settle()
{
    if (!m_pipehelper) return;
    m_pipehelper->finishbehind();
    m_pipehelper = nullptr;
}

Chelper::Step Ceffects::pipestep()
{
    // Two stages, each on one thread at a time, both at once: the chain (the delay, then the
    // reverberation and the chorus added, in place on the copied dry lines, as chainrun does),
    // and behind it the output stage and the WAVE file, over chunks the chain has finished. The
    // output stage goes first: it is what the render thread waits for. A block left behind runs
    // to its end, as if it had run in the call before an abort came.
    const int n = m_pipen;
    if (bool free = false; m_outlock.compare_exchange_strong(free, true, std::memory_order_acquire)) {
        const int at = m_pipeout;
        const int ready = m_pipechain.load(std::memory_order_acquire);
        if (at >= n) {
            m_outlock.store(false, std::memory_order_release);
            return Chelper::DONE;
        }
        if (at < ready) {
            const int k = std::min(CHUNK, ready - at);
            write(m_outstage.run(m_pipe[DRYL].get() + at, m_pipe[DRYR].get() + at, k, m_settings.complevel,
                                 m_pcm.get()));
            m_pipeout = at + k;
            m_outlock.store(false, std::memory_order_release);
            return Chelper::RAN;
        }
        m_outlock.store(false, std::memory_order_release);
    }
    if (bool free = false; m_chainlock.compare_exchange_strong(free, true, std::memory_order_acquire)) {
        const int at = m_pipechain.load(std::memory_order_relaxed);
        if (at < n) {
            const int k = std::min(CHUNK, n - at);
            float* src[NBUS];
            for (int b = 0; b < NBUS; ++b) src[b] = m_pipe[b].get();
            chainchunk(src, at, k, true);
            m_pipechain.store(at + k, std::memory_order_release);
            m_chainlock.store(false, std::memory_order_release);
            return Chelper::RAN;
        }
        m_chainlock.store(false, std::memory_order_release);
    }
    return Chelper::BUSY;
}

void Ceffects::prepare()
{
    settle();
    const int dirty = m_declared ? m_dirty : m_buslen;
    for (auto& b : m_bus) std::fill(b.get(), b.get() + dirty, 0.0f);
    m_dirty = 0;
    m_reverb.setroomsize(Csettings::get(m_settings.roomsize));
    m_reverb.setdamp(Csettings::get(m_settings.damping) * 0.01f);
    m_reverb.clear();
    m_chorus.clear();
    m_delay.clear();
    resetoutput();
    mixpos = 0;
}

bool Ceffects::silentsince()
{
    settle();
    const double makeup = synunits::dbgain(std::clamp(Csettings::get(m_settings.complevel), 0, 20));
    return !(double(m_outstage.takeloudest()) * makeup * 32767 >= 1);
}

int Ceffects::flushlength() const
{
    const int n = Creverb::TAIL + m_outstage.lookahead();
    return Csettings::get(m_settings.delayamt) > 0 ? n + DELAYTAIL : n;
}

int Ceffects::runchunk(const float* dryl, const float* dryr, const float* chol, const float* chor,
                       const float* revl, const float* revr, int n, int16_t* pcm)
{
    float* l = m_work.get() + WL * CHUNK;
    float* r = m_work.get() + WR * CHUNK;
    std::copy(dryl, dryl + n, l);
    std::copy(dryr, dryr + n, r);
    m_delay.run(l, r, n, m_settings);   // each frame passes unchanged while the amount is 0
    m_reverb.run(revl, revr, l, r, n);
    if (chol) m_chorus.run(chol, chor, l, r, n);
    return m_outstage.run(l, r, n, m_settings.complevel, pcm);
}

void Ceffects::writechunk(const float* dryl, const float* dryr, const float* chol, const float* chor,
                          const float* revl, const float* revr, int n)
{
    write(runchunk(dryl, dryr, chol, chor, revl, revr, n, m_pcm.get()));
}

void Ceffects::write(int frames)
{
    if (m_out) m_out->wrframes(m_pcm.get(), frames);
}

void Ceffects::processblock(int n, int keep)
{
    n = std::clamp(n, 0, m_buslen);
    keep = std::clamp(keep, 0, m_buslen - n);
    if (tap) tap(tapctx, *this, n);
    settle();
    if (m_pipelined && m_parallel && n >= 2 * CHUNK && Chelper::spare()) {
        // The block leaves the buses, which the voices of the next block may then fill while it
        // runs behind them. Of a block longer than the copy holds, the head runs now.
        float* src[NBUS];
        for (int b = 0; b < NBUS; ++b) src[b] = bus(b);
        const int head = std::max(0, n - int(std::min(PIPELEN, m_buslen)));
        if (head > 0) runframes(src, head, false, head >= 2 * CHUNK);
        if (m_abort && m_abort->load(std::memory_order_relaxed)) {
            release(n, keep);
            return;
        }
        for (int b = 0; b < NBUS; ++b) std::copy(src[b] + head, src[b] + n, m_pipe[b].get());
        release(n, keep);
        m_pipen = n - head;
        m_pipechain.store(0, std::memory_order_relaxed);
        m_pipeout = 0;
        m_pipehelper = &Chelper::local();
        m_pipehelper->leavebehind([](void* fx) { return static_cast<Ceffects*>(fx)->pipestep(); }, this);
        return;
    }
    runblock(n, false, keep);
}

void Ceffects::runblock(int n, bool flushing, int keep)
{
    float* src[NBUS];
    for (int b = 0; b < NBUS; ++b) src[b] = bus(b);
    runframes(src, n, flushing, m_parallel && n >= 2 * CHUNK && Chelper::spare());
    release(n, keep);
}

void Ceffects::runframes(float* const* src, int n, bool flushing, bool split)
{
    // The delay, the reverberator and the chorus depend only on their own buses: the helper runs
    // them over the whole block in place on the dry buses, while this thread runs the output
    // stage over each chunk as it is done.
    if (split) {
        m_chaindone.store(0, std::memory_order_relaxed);
        std::copy(src, src + NBUS, m_src);
        m_job = n;
        m_jobflushing = flushing;
        Chelper::local().post([](void* fx) { static_cast<Ceffects*>(fx)->chainrun(); }, this);
    }
    auto await = [this](int frames) {
        for (int spin = 0; m_chaindone.load(std::memory_order_acquire) < frames; ++spin) {
            if (spin < 2000) wide::relax();
            else std::this_thread::yield();
        }
    };
    bool stop = false;
    for (int i = 0; i < n && !stop; i += CHUNK) {
        int k = std::min(CHUNK, n - i);
        if (m_abort && !flushing) {
            // The flag is polled before every frame; processing ends at the first frame that
            // finds it set.
            for (int j = 0; j < k; ++j) {
                if (m_abort->load(std::memory_order_relaxed)) {
                    k = j;
                    stop = true;
                    break;
                }
            }
        }
        if (split) {
            await(i + k);
            write(m_outstage.run(src[DRYL] + i, src[DRYR] + i, k, m_settings.complevel, m_pcm.get()));
        } else {
            writechunk(src[DRYL] + i, src[DRYR] + i, flushing ? nullptr : src[CHOL] + i,
                       flushing ? nullptr : src[CHOR] + i, src[REVL] + i, src[REVR] + i, k);
        }
    }
    // The helper reads the buses to the end of the job, so it finishes before they are cleared.
    if (split) Chelper::local().wait();
}

void Ceffects::release(int n, int keep)
{
    for (auto& b : m_bus) {
        std::copy(b.get() + n, b.get() + n + keep, b.get());
        std::fill(b.get() + keep, b.get() + n + keep, 0.0f);
    }
    m_dirty = std::max(keep, m_dirty - n);
    mixpos = 0;
}

void Ceffects::processframes(const int16_t* frames, int nframes)
{
    settle();
    const float chorus = Csettings::get(m_settings.chorusamt);
    const float reverb = Csettings::get(m_settings.reverbamt);
    const float dry = 1 - chorus - reverb;
    float* w = m_work.get();
    for (int i = 0; i < nframes; i += CHUNK) {
        const int k = std::min(CHUNK, nframes - i);
        const int16_t* f = frames + 2 * i;
        float* dl = w + DL * CHUNK;
        float* dr = w + DR * CHUNK;
        for (int j = 0; j < k; ++j) {
            const float xl = f[2 * j] * (1.0f / 32768), xr = f[2 * j + 1] * (1.0f / 32768);
            dl[j] = xl * dry;
            dr[j] = xr * dry;
            w[SCL * CHUNK + j] = xl * chorus;
            w[SCR * CHUNK + j] = xr * chorus;
            w[SRL * CHUNK + j] = xl * reverb;
            w[SRR * CHUNK + j] = xr * reverb;
        }
        writechunk(dl, dr, w + SCL * CHUNK, w + SCR * CHUNK, w + SRL * CHUNK, w + SRR * CHUNK, k);
    }
}

void Ceffects::flush()
{
    settle();
    // Silence on the dry and reverb buses, block by block, so that the delay and reverberator
    // tails run on the helper as in any block; the chorus takes no input here.
    const int n = flushlength(), piece = std::min(m_buslen, FLUSHPIECE);
    for (int i = 0; i < n; i += piece) {
        const int k = std::min(piece, n - i);
        for (int b : {DRYL, DRYR, REVL, REVR}) std::fill(bus(b), bus(b) + k, 0.0f);
        runblock(k, true);
    }
}

int Ceffects::render(int n, int16_t* out)
{
    settle();
    n = std::clamp(n, 0, m_buslen);
    if (tap) tap(tapctx, *this, n);
    int written = 0;
    for (int i = 0; i < n; i += CHUNK) {
        const int k = std::min(CHUNK, n - i);
        written += runchunk(bus(DRYL) + i, bus(DRYR) + i, bus(CHOL) + i, bus(CHOR) + i, bus(REVL) + i, bus(REVR) + i,
                            k, out + 2 * written);
    }
    release(n, 0);
    return written;
}
