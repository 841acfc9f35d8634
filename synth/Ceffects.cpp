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
      m_parallel(Chelper::processors() > 1),
      m_wet(std::make_unique<float[]>(2 * size_t(m_buslen)))
{
    for (auto& b : m_bus) b = std::make_unique<float[]>(size_t(m_buslen));   // value-initialised: zero
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
    float master, makeup;
    gains(master, makeup);
    m_outstage.setgains(master, makeup);
}

Ceffects::~Ceffects() = default;

void Ceffects::wetrun()
{
    float* wl = m_wet.get();
    float* wr = wl + m_buslen;
    const int n = m_wetjob;
    for (int i = 0; i < n; i += CHUNK) {
        const int k = std::min(CHUNK, n - i);
        // The delay works in place on the dry signal, which is what the chain would copy and
        // delay: delaying the buses here gives the same floats, off the render thread.
        m_delay.run(bus(DRYL) + i, bus(DRYR) + i, k, m_settings);
        m_reverb.runwet(bus(REVL) + i, bus(REVR) + i, wl + i, wr + i, k);
        m_wetdone.store(i + k, std::memory_order_release);
    }
}

void Ceffects::prepare()
{
    for (auto& b : m_bus) std::fill(b.get(), b.get() + m_buslen, 0.0f);
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
    const double makeup = synunits::dbgain(std::clamp(Csettings::get(m_settings.complevel), 0, 20));
    return !(double(m_outstage.takeloudest()) * makeup * 32767 >= 1);
}

int Ceffects::flushlength() const
{
    const int n = Creverb::TAIL + m_outstage.lookahead();
    return Csettings::get(m_settings.delayamt) > 0 ? n + DELAYTAIL : n;
}

int Ceffects::runchunk(const float* dryl, const float* dryr, const float* chol, const float* chor,
                       const float* revl, const float* revr, int n, int16_t* pcm, const float* wetl,
                       const float* wetr)
{
    float* l = m_work.get() + WL * CHUNK;
    float* r = m_work.get() + WR * CHUNK;
    std::copy(dryl, dryl + n, l);
    std::copy(dryr, dryr + n, r);
    if (wetl) {
        // The helper has run the delay over the dry signal and the reverberator ahead.
        for (int i = 0; i < n; ++i) {
            l[i] += wetl[i];
            r[i] += wetr[i];
        }
    } else {
        m_delay.run(l, r, n, m_settings);   // each frame passes unchanged while the amount is 0
        m_reverb.run(revl, revr, l, r, n);
    }
    if (chol) m_chorus.run(chol, chor, l, r, n);
    return m_outstage.run(l, r, n, m_settings.complevel, pcm);
}

void Ceffects::writechunk(const float* dryl, const float* dryr, const float* chol, const float* chor,
                          const float* revl, const float* revr, int n, const float* wetl, const float* wetr)
{
    const int nout = runchunk(dryl, dryr, chol, chor, revl, revr, n, m_pcm.get(), wetl, wetr);
    if (!m_out) return;
    m_out->wrframes(m_pcm.get(), nout);
}

void Ceffects::processblock(int n)
{
    n = std::clamp(n, 0, m_buslen);
    if (tap) tap(tapctx, *this, n);
    runblock(n, false);
}

void Ceffects::runblock(int n, bool flushing)
{
    // The reverberator depends only on its own two buses and the delay only on the dry ones: the
    // helper runs both over the whole block while this thread runs the rest of the chain, chunk by
    // chunk as they arrive.
    const bool split = m_parallel && n >= 2 * CHUNK && Chelper::spare();
    const float* wl = m_wet.get();
    const float* wr = wl + m_buslen;
    if (split) {
        m_wetdone.store(0, std::memory_order_relaxed);
        m_wetjob = n;
        Chelper::local().post([](void* fx) { static_cast<Ceffects*>(fx)->wetrun(); }, this);
    }
    auto await = [this](int frames) {
        for (int spin = 0; m_wetdone.load(std::memory_order_acquire) < frames; ++spin) {
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
        if (split) await(i + k);
        writechunk(bus(DRYL) + i, bus(DRYR) + i, flushing ? nullptr : bus(CHOL) + i, flushing ? nullptr : bus(CHOR) + i,
                   bus(REVL) + i, bus(REVR) + i, k, split ? wl + i : nullptr, split ? wr + i : nullptr);
    }
    // The helper reads the buses to the end of the job, so it finishes before they are cleared.
    if (split) Chelper::local().wait();
    for (auto& b : m_bus) std::fill(b.get(), b.get() + n, 0.0f);
    mixpos = 0;
}

void Ceffects::processframes(const int16_t* frames, int nframes)
{
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
    // Silence on the dry and reverb buses, block by block, so that the delay and reverberator
    // tails run on the helper as in any block; the chorus takes no input here.
    const int n = flushlength();
    for (int i = 0; i < n; i += m_buslen) {
        const int k = std::min(m_buslen, n - i);
        for (int b : {DRYL, DRYR, REVL, REVR}) std::fill(bus(b), bus(b) + k, 0.0f);
        runblock(k, true);
    }
}

int Ceffects::render(int n, int16_t* out)
{
    n = std::clamp(n, 0, m_buslen);
    if (tap) tap(tapctx, *this, n);
    int written = 0;
    for (int i = 0; i < n; i += CHUNK) {
        const int k = std::min(CHUNK, n - i);
        written += runchunk(bus(DRYL) + i, bus(DRYR) + i, bus(CHOL) + i, bus(CHOR) + i, bus(REVL) + i, bus(REVR) + i,
                            k, out + 2 * written);
    }
    for (auto& b : m_bus) std::fill(b.get(), b.get() + n, 0.0f);
    mixpos = 0;
    return written;
}
