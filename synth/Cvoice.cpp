#include "synth/Cvoice.h"

#include "bank/Sfgens.h"
#include "midi/Midicodes.h"
#include "synth/Cizone.h"
#include "synth/Cvoicepool.h"
#include "synth/Cwide.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

void Cosc::start(Cbankview& bank, int key, bool melodic)
{
    const double rate = m_smp.rate ? double(m_smp.rate) : 44100.0;
    if (melodic) {
        // Root key, coarse and fine tune give the frequency the sample sounds at its own rate.
        double d = synunits::notehz(m_rootkey);
        d *= std::exp2(-m_coarse / 12.0);
        d *= std::exp2(-m_fine / 1200.0);
        m_ratio = synunits::notehz(key) * (rate / synunits::RATE) / d;
        m_devlfo = deviation(m_modlfoc);
        m_devvib = deviation(m_vibc);
        m_devenv = deviation(m_modenvc);
        m_devbend = deviation(m_bendc);
    } else {
        // Drums play at the sample's own pitch whatever the key; only the pitch bend a voice
        // object received while it sounded before stays as a deviation.
        m_ratio = rate / synunits::RATE;
    }
    m_mode = m_modes != 0 ? LOOP : ONCE;
    m_frac = 0;
    m_dev = 0;

    const int64_t start = m_startofs;
    const int64_t end = int64_t(m_smp.length) + m_endofs;
    const int64_t ls = int64_t(m_smp.loopstart) + m_lsofs;
    const int64_t le = int64_t(m_smp.loopend) + m_leofs;
    // The store loads at least up to the furthest point this note can address, so that offsets
    // past the sample's end read on into the following sample data.
    const int64_t far = std::clamp<int64_t>(std::max({start, end, ls, le}), 0, UINT32_MAX);
    uint32_t loaded = 0;
    unpin();
    m_data = bank.points(m_index, uint32_t(far), loaded);
    m_pinned = &bank;
    assert(m_data);

    // Clamp every position into the loaded points.
    const int64_t n = loaded;
    m_end = int(std::clamp<int64_t>(end, 0, n));
    m_pos = int(std::clamp<int64_t>(start, 0, m_end));
    m_loopstart = int(std::clamp<int64_t>(ls, 0, m_end));
    m_loopend = int(std::clamp<int64_t>(le, 0, m_end));
    if (m_pos >= m_end) m_mode = STOPPED;
    else if (m_mode == LOOP && m_loopend <= m_loopstart) m_mode = ONCE;   // no loop to play
    m_exact = m_ratio == 1.0;
    // The note reads points up to its end, and one past it while interpolating towards it.
    m_peak = bank.peak(m_index, m_data, uint32_t(n) + 1);
}

Cvoice::Cvoice(Cizone* zone, const Cbankview::Smp& smp, size_t index)
    : m_osc(smp, index), m_zone(zone)
{
}

// The zone that owns a voice ends its partner (Cizone::discard).
Cvoice::~Cvoice() = default;

size_t Cvoicepool::slotsize()
{
    static_assert(alignof(Cvoice) <= size_t(ALIGN));
    return (sizeof(Cvoice) + size_t(ALIGN) - 1) / size_t(ALIGN) * size_t(ALIGN);
}

bool Cvoice::apply(int oper, int amount, bool add)
{
    auto set = [add](int& f, int a) { f = add ? f + a : a; };
    auto offset = [add](int64_t& f, int64_t a) {
        if (!add) f += a;
    };
    using namespace sfgen;
    switch (oper) {
    case startofs: offset(m_osc.m_startofs, amount); break;
    case endofs: offset(m_osc.m_endofs, amount); break;
    case loopstartofs: offset(m_osc.m_lsofs, amount); break;
    case loopendofs: offset(m_osc.m_leofs, amount); break;
    case startcoarseofs: offset(m_osc.m_startofs, int64_t(amount) * 32768); break;
    case endcoarseofs: offset(m_osc.m_endofs, int64_t(amount) * 32768); break;
    case loopstartcoarseofs: offset(m_osc.m_lsofs, int64_t(amount) * 32768); break;
    case loopendcoarseofs: offset(m_osc.m_leofs, int64_t(amount) * 32768); break;
    case modlfotopitch: set(m_osc.m_modlfoc, amount); break;
    case viblfotopitch: set(m_osc.m_vibc, amount); break;
    case modenvtopitch: set(m_osc.m_modenvc, amount); break;
    case filterfc: set(m_filter.m_cutoffc, amount); break;
    case filterq: set(m_filter.m_qcb, amount); break;
    case modlfotofilterfc: set(m_filter.m_modlfoc, amount); break;
    case modenvtofilterfc: set(m_filter.m_modenvc, amount); break;
    case modlfotovolume: set(m_amp.m_modlfocb, amount); break;
    case chorussend: set(m_chogen, amount); break;
    case reverbsend: set(m_revgen, amount); break;
    case pan: set(m_pangen, amount); break;
    case modlfodelay: m_modlfo.applydelay(amount, add); break;
    case modlfofreq: m_modlfo.applyfreq(amount, add); break;
    case viblfodelay: m_viblfo.applydelay(amount, add); break;
    case viblfofreq: m_viblfo.applyfreq(amount, add); break;
    case modenvdelay: case modenvattack: case modenvhold: case modenvdecay:
    case modenvsustain: case modenvrelease: case modenvkeytohold: case modenvkeytodecay:
        m_modenv.apply(oper - modenvdelay, amount, add);
        break;
    case volenvdelay: case volenvattack: case volenvhold: case volenvdecay:
    case volenvsustain: case volenvrelease: case volenvkeytohold: case volenvkeytodecay:
        m_volenv.apply(oper - volenvdelay, amount, add);
        break;
    case fixedkey: if (!add) m_fixedkey = amount; break;
    case fixedvel: if (!add) m_fixedvel = amount; break;
    case attenuation: set(m_amp.m_initatten, amount); break;
    case coarsetune: set(m_osc.m_coarse, amount); break;
    case finetune:
        if (add) m_osc.m_fine += amount;
        else m_osc.m_fine = amount + m_osc.correction();
        break;
    case samplemodes: if (!add) m_osc.m_modes = amount; break;
    case rootkey:
        // -1 (or any negative amount) keeps the sample's own original key.
        if (!add && amount >= 0) m_osc.m_rootkey = synunits::clampkey(amount);
        break;
    default:
        return oper <= endoper;
    }
    return true;
}

void Cvoice::derive()
{
    m_vibgen = m_osc.m_vibc;
    m_modenv.derive();
    m_volenv.derive();
    m_viblfo.derive();
    m_modlfo.derive();
}

void Cvoice::start(Csynth& synth, const Cnote& note)
{
    // Keys outside the note table play at its nearest end.
    m_key = synunits::clampkey(m_fixedkey >= 0 ? m_fixedkey : note.key);
    const int vel = std::clamp(m_fixedvel >= 0 ? m_fixedvel : note.vel, 0, 127);
    m_pedal = note.sostenuto ? SOSTENUTO : FREE;
    m_serial = synth.noteserial;
    setsends(synth, note.revsend, note.chosend);
    m_pan = note.pan;
    setpan(note.pan == 2000 ? m_pangen : note.pan);
    m_osc.m_bendc = note.bendc;

    m_modenv.start(m_key);
    m_volenv.start(m_key);
    m_viblfo.start();
    m_modlfo.start();
    m_osc.start(*synth.bank, m_key, note.melodic);
    m_amp.start(note.atten, vel, note.soft);
    m_filter.start(vel);
    m_unheard = false;
    m_twin = 0;
    m_nsibs = 0;
}

bool Cvoice::pristine() const
{
    // A note start sets every other part anew; a melodic note also computes its pitch bend anew.
    const bool drum = m_zone && m_zone->m_channel == DRUMCHANNEL;
    return m_osc.m_vibc == m_vibgen && (!drum || m_osc.m_devbend == 0);
}

void Cvoice::leavetwins()
{
    if (!m_twin) return;
    for (int i = 0; i < m_nsibs; ++i) {
        Cvoice& s = *m_sibs[i];
        if (s.m_twin != m_twin) continue;   // it has moved on to another note
        for (int j = 0; j < s.m_nsibs; ++j)
            if (s.m_sibs[j] == this) {
                std::copy(s.m_sibs + j + 1, s.m_sibs + s.m_nsibs, s.m_sibs + j);
                --s.m_nsibs;
                break;
            }
    }
    m_twin = 0;
    m_nsibs = 0;
}

void Cvoice::release()
{
    m_osc.release();
    m_modenv.release();
    m_volenv.release();
    if (m_partner) m_partner->release();
}

void Cvoice::setatten(float chanatten)
{
    m_amp.setatten(chanatten);
    if (m_partner) m_partner->setatten(chanatten);
}

void Cvoice::setpan(int pan)
{
    m_pan = pan;
    if (pan <= -500) { m_panl = 1; m_panr = 0; }
    else if (pan >= 500) { m_panl = 0; m_panr = 1; }
    else { m_panl = (500 - pan) / 1000.0f; m_panr = (500 + pan) / 1000.0f; }
}

void Cvoice::setsends(const Csynth& synth, int chanrev, int chancho)
{
    m_rev = std::clamp(synth.reverbamt() + (m_revgen + chanrev) * 0.001f, 0.0f, 1.0f);
    m_cho = std::clamp(synth.chorusamt() + (m_chogen + chancho) * 0.001f, 0.0f, 1.0f);
}

float Cvoice::quietfrom(const Csynth& synth, const Csends& s, double share) const
{
    // At full scale the half can reach `most` steps: its sample's peak through its filter, pan,
    // sends, the effects and the output stage. Its amplitude 10^(-t/200) keeps it under `share`
    // from the amplifier total t on, and is 0 from 1000 cB on.
    const double most =
        double(m_osc.m_peak) * m_filter.most() * synth.outgain(std::max(m_panl, m_panr), s.dry, s.cho, s.rev);
    if (most != m_quietmost || share != m_quietshare) {
        m_quietlog = most > 0 ? std::min(200.0 * std::log10(most / share), 1000.0) : -HUGE_VAL;
        m_quietmost = most;
        m_quietshare = share;
    }
    double t = m_quietlog;
    // The total is the envelope's attenuation plus the note's: its initial and velocity
    // attenuation, the channel's at the least it can become (volume and expression at 127 leave
    // the mixer's gain), less the whole tremolo depth; the soft pedal doubles the sum.
    const float chanmin = m_zone ? -float(synth.gain(m_zone->m_channel)) : 0.0f;
    if (m_amp.m_soft) t /= 2;
    const double rest = double(m_amp.m_initatten) + m_amp.m_velatten + chanmin - std::abs(m_amp.m_modlfocb);
    return float(t - rest);
}

void Cvoice::setbend(int cents)
{
    m_osc.setbend(cents);
    if (m_partner) m_partner->setbend(cents);
}

// The mixing loops take their pointers as restrict parameters, which is what lets the
// compiler vectorize them. Each control step's samples are scaled by that step's amplitude, then
// panned: (x a) g, in that order, as a separate scaling pass would give.
namespace {

using synunits::CTLSTEP;

CANTORIX_INLINE inline void stereoloop(float* __restrict l, float* __restrict r, const float* __restrict x, const float* __restrict amp,
                 int steps, int last, float gl, float gr)
{
    for (int j = 0; j < steps; ++j, l += CTLSTEP, r += CTLSTEP, x += CTLSTEP) {
        const float a = amp[j];
        const int n = j == steps - 1 ? last : CTLSTEP;
        for (int i = 0; i < n; ++i) {
            const float t = x[i] * a;
            l[i] += t * gl;
            r[i] += t * gr;
        }
    }
}

void stereoplain(float* l, float* r, const float* x, const float* amp, int steps, int last, float gl, float gr)
{
    wide::run([&]() CANTORIX_INLINE { stereoloop(l, r, x, amp, steps, last, gl, gr); });
}

CANTORIX_INLINE inline void pairloop(float* __restrict l, float* __restrict r, const float* __restrict x, const float* __restrict y,
               const float* __restrict amp, const float* __restrict pamp, int steps, int last, const float (&g)[4])
{
    for (int j = 0; j < steps; ++j, l += CTLSTEP, r += CTLSTEP, x += CTLSTEP, y += CTLSTEP) {
        const float a = amp[j], b = pamp[j];
        const int n = j == steps - 1 ? last : CTLSTEP;
        for (int i = 0; i < n; ++i) {
            const float t = x[i] * a, u = y[i] * b;
            l[i] += t * g[0] + u * g[2];
            r[i] += t * g[1] + u * g[3];
        }
    }
}

void pairplain(float* l, float* r, const float* x, const float* y, const float* amp, const float* pamp, int steps,
               int last, const float (&g)[4])
{
    wide::run([&]() CANTORIX_INLINE { pairloop(l, r, x, y, amp, pamp, steps, last, g); });
}

#ifdef CANTORIX_AVX2
// Two full control steps are five vectors of eight samples, the middle one half of each step; on
// buffers that start on a 32-byte boundary none of them straddles two. Returns the steps mixed.
__attribute__((target("avx2"))) int stereowide(float* l, float* r, const float* x, const float* amp, int pairs,
                                               float gl, float gr)
{
    const __m256 vl = _mm256_set1_ps(gl), vr = _mm256_set1_ps(gr);
    for (int p = 0; p < pairs; ++p, l += 2 * CTLSTEP, r += 2 * CTLSTEP, x += 2 * CTLSTEP) {
        const __m256 a0 = _mm256_set1_ps(amp[2 * p]), a1 = _mm256_set1_ps(amp[2 * p + 1]);
        const __m256 a[5] = {a0, a0, _mm256_blend_ps(a0, a1, 0xf0), a1, a1};
        for (int k = 0; k < 5; ++k) {
            const __m256 t = _mm256_mul_ps(_mm256_loadu_ps(x + 8 * k), a[k]);
            _mm256_storeu_ps(l + 8 * k, _mm256_add_ps(_mm256_loadu_ps(l + 8 * k), _mm256_mul_ps(t, vl)));
            _mm256_storeu_ps(r + 8 * k, _mm256_add_ps(_mm256_loadu_ps(r + 8 * k), _mm256_mul_ps(t, vr)));
        }
    }
    return 2 * pairs;
}

__attribute__((target("avx2"))) int pairwide(float* l, float* r, const float* x, const float* y, const float* amp,
                                             const float* pamp, int pairs, const float (&g)[4])
{
    const __m256 g0 = _mm256_set1_ps(g[0]), g1 = _mm256_set1_ps(g[1]), g2 = _mm256_set1_ps(g[2]),
                 g3 = _mm256_set1_ps(g[3]);
    for (int p = 0; p < pairs; ++p, l += 2 * CTLSTEP, r += 2 * CTLSTEP, x += 2 * CTLSTEP, y += 2 * CTLSTEP) {
        const __m256 a0 = _mm256_set1_ps(amp[2 * p]), a1 = _mm256_set1_ps(amp[2 * p + 1]);
        const __m256 b0 = _mm256_set1_ps(pamp[2 * p]), b1 = _mm256_set1_ps(pamp[2 * p + 1]);
        const __m256 a[5] = {a0, a0, _mm256_blend_ps(a0, a1, 0xf0), a1, a1};
        const __m256 b[5] = {b0, b0, _mm256_blend_ps(b0, b1, 0xf0), b1, b1};
        for (int k = 0; k < 5; ++k) {
            const __m256 t = _mm256_mul_ps(_mm256_loadu_ps(x + 8 * k), a[k]);
            const __m256 u = _mm256_mul_ps(_mm256_loadu_ps(y + 8 * k), b[k]);
            _mm256_storeu_ps(l + 8 * k, _mm256_add_ps(_mm256_loadu_ps(l + 8 * k),
                                                      _mm256_add_ps(_mm256_mul_ps(t, g0), _mm256_mul_ps(u, g2))));
            _mm256_storeu_ps(r + 8 * k, _mm256_add_ps(_mm256_loadu_ps(r + 8 * k),
                                                      _mm256_add_ps(_mm256_mul_ps(t, g1), _mm256_mul_ps(u, g3))));
        }
    }
    return 2 * pairs;
}
#endif

// Whole pairs of full steps go through the AVX2 loops where there are any; both forms do the
// same operations per sample.
void addstereo(float* l, float* r, const float* x, const float* amp, int steps, int last, float gl, float gr)
{
    int done = 0;
#ifdef CANTORIX_AVX2
    if (wide::avx2()) done = stereowide(l, r, x, amp, (last == CTLSTEP ? steps : steps - 1) / 2, gl, gr);
#endif
    const size_t at = size_t(done) * CTLSTEP;
    if (done < steps) stereoplain(l + at, r + at, x + at, amp + done, steps - done, last, gl, gr);
}

void addstereopair(float* l, float* r, const float* x, const float* y, const float* amp, const float* pamp,
                   int steps, int last, const float (&g)[4])
{
    int done = 0;
#ifdef CANTORIX_AVX2
    if (wide::avx2()) done = pairwide(l, r, x, y, amp, pamp, (last == CTLSTEP ? steps : steps - 1) / 2, g);
#endif
    const size_t at = size_t(done) * CTLSTEP;
    if (done < steps) pairplain(l + at, r + at, x + at, y + at, amp + done, pamp + done, steps - done, last, g);
}

// What the control steps of a chunk leave for the audio of one half: its amplitude per step, and
// when the filter is on, the coefficients each step filters with. The filter's coefficients at the
// start of the chunk are copied; a modulated cutoff notes each new cutoff, and at the end of the
// chunk the coefficients of the last one are computed and become the filter's own. Those of the
// cutoffs between are computed together when the half filters its own signal: a silent half, or
// a twin that takes a filtered signal from another, never needs them.
struct Chalf {
    float amp[Cvoice::CHUNKSTEPS];   // the steps' attenuations in centibels, then their amplitudes
    uint8_t set[Cvoice::CHUNKSTEPS];   // which of the copies each step filters with
    Cfilter::Ccoefs copies[Cvoice::CHUNKSTEPS + 1];
    double hz[Cvoice::CHUNKSTEPS + 1];
    int ncopies = 0;
    bool pending = false;   // copies 1 .. ncopies - 2 are not computed yet
    double q = 0;           // at this resonance

    void startfilter(const Cfilter& f)
    {
        copies[0] = f.coefs();
        ncopies = 1;
        pending = false;
    }
    // Step j filters with the current set; then the modulation may move the cutoff.
    void notefilter(Cfilter& f, int j, bool modulated, float modlfo, float modenv)
    {
        set[j] = uint8_t(ncopies - 1);
        if (modulated && f.moved(modlfo, modenv, hz[ncopies])) ++ncopies;
    }
    void endfilter(Cfilter& f)
    {
        if (ncopies == 1) return;
        Cfilter::coefsfor(hz + ncopies - 1, f.m_q, copies + ncopies - 1, 1);
        f.setcoefs(copies[ncopies - 1]);
        q = f.m_q;
        pending = ncopies > 2;
    }
    // Every set the steps filter with.
    void completefilter()
    {
        if (!pending) return;
        Cfilter::coefsfor(hz + 1, q, copies + 1, ncopies - 2);
        pending = false;
    }
};

// A half's filter, when on, runs over the oscillator's samples in stretches of steps with the same
// coefficients (a stopped half still lets its filter ring out).
void filter(Cvoice& v, Chalf& h, float* x, int steps, int last)
{
    if (!v.m_filter.on()) return;
    h.completefilter();
    v.m_filter.runsets(x, steps, CTLSTEP, last, h.copies, h.set);
}

// What a half's filter does in a chunk, as twins compare it.
void describe(Ctwins::Cfilterin& f, const Cvoice& v, const Chalf& h, int steps)
{
    f.on = v.m_filter.on();
    if (!f.on) return;
    f.y = v.m_filter.m_y;
    f.v = v.m_filter.m_v;
    f.q = v.m_filter.m_q;
    f.sets = h.ncopies;
    f.first = h.copies[0];
    for (int k = 1; k < h.ncopies; ++k) f.hz[k] = h.hz[k];
    std::memcpy(f.set, h.set, size_t(steps));
}

// The inputs of a chunk's oscillator signal, once its control steps are taken: the oscillators'
// positions, play modes and bounds, and the pitch of each step.
void describe(Ctwins::Cin& in, const Cvoice& v, const Cosc::Cstep* st, int steps, int last)
{
    in.steps = steps;
    in.last = last;
    in.from = st;
    const Cosc& o = v.m_osc;
    // Without pitch depths every step has the pitch of the first (controlsteps).
    in.uniform = o.m_devlfo == 0 && o.m_devvib == 0 && o.m_devenv == 0;
    in.data = o.m_data;
    in.pos = o.m_pos;
    in.frac = o.m_frac;
    in.mode = o.m_mode;
    in.end = o.m_end;
    in.loopstart = o.m_loopstart;
    in.loopend = o.m_loopend;
    const Cvoice* p = v.m_partner;
    in.pair = p != nullptr;
    in.pdata = p ? p->m_osc.m_data : nullptr;
    in.pmode = p ? p->m_osc.m_mode : 0;
    in.pend = p ? p->m_osc.m_end : 0;
    in.ploopstart = p ? p->m_osc.m_loopstart : 0;
    in.ploopend = p ? p->m_osc.m_loopend : 0;
}

// A sibling's filter for the coming chunk as describe() will give it, when its cutoff stays where
// it is (no modulation reaches it): one set of coefficients for every step.
bool steadyfilter(Ctwins::Cfilterin& f, const Cvoice& s, int steps)
{
    const Cfilter& sf = s.m_filter;
    if (!sf.on() || sf.m_devlfo != 0 || sf.m_devenv != 0) return false;
    f.on = true;
    f.y = sf.m_y;
    f.v = sf.m_v;
    f.q = sf.m_q;
    f.sets = 1;
    f.first = sf.coefs();
    std::memset(f.set, 0, size_t(steps));
    return true;
}

// Where the oscillator of a half ends a chunk, and setting it there.
void keep(Ctwins::Cout& out, int h, const Cvoice& v)
{
    out.pos[h] = v.m_osc.m_pos;
    out.frac[h] = v.m_osc.m_frac;
    out.mode[h] = v.m_osc.m_mode;
}

void take(const Ctwins::Cout& out, int h, Cvoice& v)
{
    v.m_osc.m_pos = out.pos[h];
    v.m_osc.m_frac = out.frac[h];
    v.m_osc.m_mode = out.mode[h];
}

// Whether a half adds nothing in this chunk: no filter, and amplitude 0 at every step.
bool silent(const Cvoice& v, const Chalf& h, int steps)
{
    if (v.m_filter.on()) return false;
    for (int j = 0; j < steps; ++j)
        if (h.amp[j] != 0) return false;
    return true;
}

// The steps of a straight volume envelope (Cvolenv::levels, which reads the attenuation of each
// step in turn, the last one for all steps left): out[j] = f(attenuation), the first step whose
// attenuation reaches limit noted in quiet, and a main half whose envelope finished says so.
// Returns the steps taken.
template <bool MAIN, class F>
CANTORIX_INLINE inline int straightsteps(Cvoice& v, float* out, int avail, float limit, int& quiet, bool& finished, F f)
{
    int k = 0;
    const int steps = v.m_volenv.levels(
        [&k, &quiet, limit, &f](float cb) {
            if (cb >= limit && quiet > k) quiet = k;
            ++k;
            return f(cb);
        },
        out, avail, MAIN);
    if (MAIN && v.m_volenv.finished()) finished = true;
    return steps;
}

// The control steps of one half for a chunk: each step's pitch (main half only) and attenuation
// from the envelopes and LFOs as they stand before it, then every part is stepped. The main half
// stops after a step at which its volume envelope finished (and says so); a partner takes its
// pitch from the main half and only runs its own levels and filter. Returns the steps taken.
//
// The outputs are restrict: the compiler may then keep the parts' state in registers across
// steps instead of reloading it after every store of a float.
// What the pitch and the cutoff of a half's control steps are computed from, as Ctwins::Cctl keeps
// them: devstep and stepfix read the oscillator's; moved, endfilter and the coefficients the
// filter's.
void pitchof(const Cosc& o, double (&d)[5])
{
    const double v[5] = {o.m_ratio, o.m_devlfo, o.m_devvib, o.m_devenv, o.m_devbend};
    std::memcpy(d, v, sizeof v);
}

void cutoffof(const Cfilter& f, double (&d)[5])
{
    const double v[5] = {f.m_basehz, f.m_curhz, f.m_q, f.m_devlfo, f.m_devenv};
    std::memcpy(d, v, sizeof v);
}

// Whether a half's modulation starts a chunk of `steps` steps as the kept one did, with the same
// parts stepping: then it steps through the same values (Ctwins::Cctl). Numbers compare bit for
// bit.
bool samectl(const Ctwins::Cctl& c, const Cvoice& v, int steps, unsigned parts, bool main, bool filter)
{
    if (c.steps != steps || c.parts != parts || !(c.modlfo == v.m_modlfo) || !(c.modenv == v.m_modenv)) return false;
    double d[5];
    if (main) {
        pitchof(v.m_osc, d);
        if (!(c.viblfo == v.m_viblfo) || std::memcmp(d, c.pitch, sizeof d) != 0) return false;
    }
    if (!filter) return true;
    cutoffof(v.m_filter, d);
    constexpr size_t COEFS = offsetof(Cfilter::Ccoefs, a) + sizeof(float);
    return std::memcmp(d, c.cutoff, sizeof d) == 0 && std::memcmp(&c.coefs, &v.m_filter.coefs(), COEFS) == 0;
}

// Whether twins of a main half's note are still to be rendered in this list, on this thread:
// they may take what its control steps give.
bool pending(const Cvoice& main, const Ctwins& twins)
{
    for (int i = 0; i < main.m_nsibs; ++i)
        if (main.m_sibs[i]->m_twin == main.m_twin &&
            main.m_sibs[i]->m_stamp.load(std::memory_order_relaxed) == twins.m_stamp)
            return true;
    return false;
}

// Keeps what a half's modulation starts a chunk from.
void keepstart(Ctwins::Cctl& c, const Cvoice& v, int steps, unsigned parts)
{
    c.steps = steps;
    c.parts = parts;
    c.modlfo = v.m_modlfo;
    c.modenv = v.m_modenv;
    c.viblfo = v.m_viblfo;
    pitchof(v.m_osc, c.pitch);
    cutoffof(v.m_filter, c.cutoff);
    c.coefs = v.m_filter.coefs();
}

template <bool MAIN>
int controlsteps(Cvoice& v, Chalf& __restrict h, Cosc::Cstep* __restrict st, int avail, bool& finished, bool heard,
                 float limit, int& quiet, Ctwins* twins, const Cvoice& main)
{
    Cosc& osc = v.m_osc;
    // An unheard voice's filter no longer matters: its output is never added.
    const bool filter = heard && v.m_filter.on();
    // Without pitch depths the deviation is the bend alone, the same at every step.
    const bool steady = osc.m_devlfo == 0 && osc.m_devvib == 0 && osc.m_devenv == 0;
    // An LFO or modulation envelope that nothing reads during this note (every depth fixed at
    // note start is 0) is not stepped: its values could not change any output, and the next
    // note starts it afresh. A partner's vibrato LFO is never stepped: its pitch is the main's.
    const bool filtermod = filter && (v.m_filter.m_devlfo != 0 || v.m_filter.m_devenv != 0);
    const bool usevib = MAIN && osc.m_devvib != 0;
    const bool usemodlfo = (MAIN && osc.m_devlfo != 0) || filtermod || v.m_amp.m_modlfocb != 0;
    const bool usemodenv = (MAIN && osc.m_devenv != 0) || filtermod;
    if (filter) h.startfilter(v.m_filter);
    // A cutoff that only the modulation envelope moves holds for the chunk while the envelope
    // holds its level and the cutoff already is where that level puts it: stepping would then
    // change neither the envelope nor the filter, and nothing else reads the LFO.
    const bool moving = filtermod && (v.m_filter.m_devlfo != 0 || !v.m_modenv.holds() ||
                                      v.m_filter.wouldmove(v.m_modlfo.value(), v.m_modenv.value()));
    // The common case of long notes: a level held or released straight, nothing else moving.
    // Only the attenuations change, and they run in a loop of their own.
    if (v.m_volenv.straight() && v.m_amp.steady() && !usevib && !moving && (!MAIN || steady)) {
        Cosc::Cstep first{};
        if (MAIN) {
            osc.devstep(v.m_modlfo.value(), v.m_viblfo.value(), v.m_modenv.value());
            first = {osc.stepfix(), osc.m_exact};
        }
        const Camp& amp = v.m_amp;
        const int steps = straightsteps<MAIN>(v, h.amp, avail, limit, quiet, finished,
                                              [&amp](float cb) { return amp.steadytotal(cb); });
        v.m_amp.m_total = h.amp[steps - 1];
        if (MAIN) std::fill(st, st + steps, first);
        if (filter) std::memset(h.set, 0, size_t(steps));
        return steps;
    }
    // Step by step, each part in a pass of its own over the chunk: none reads another's state
    // but through the values noted per step, so this is the same as stepping them all together,
    // and each pass keeps its one part's state in registers. The volume envelope goes first: a
    // main half that finishes ends the chunk at that step.
    constexpr int N = Cvoice::CHUNKSTEPS;
    int steps = avail;
    float cb[N];
    if (v.m_volenv.straight()) {
        // A held, straight or finished envelope steps as on the straight path above.
        steps = straightsteps<MAIN>(v, cb, avail, limit, quiet, finished, [](float c) { return c; });
    } else {
        Cvolenv env = v.m_volenv;
        for (int j = 0; j < avail; ++j) {
            cb[j] = env.atten();
            if (quiet > j && env.stage() >= Cvolenv::HOLD && cb[j] >= limit) quiet = j;
            env.step();
            if (MAIN && env.finished()) {
                finished = true;
                steps = j + 1;
                break;
            }
        }
        v.m_volenv = env;
    }
    // Each step's value before the step, the same for all steps when the part is not stepped.
    auto values = [steps](auto& part, bool used, float* out) {
        auto p = part;
        for (int j = 0; j < steps; ++j) {
            out[j] = p.value();
            if (used) p.step();
        }
        part = p;
    };
    // A twin whose modulation starts the chunk as a twin's before it in this slice takes what
    // those steps gave; one with twins still to render in this list keeps it for them.
    float modlfo[N], modenv[N], vib[N];
    const Ctwins::Cctl* hit = nullptr;
    Ctwins::Cctl* keep = nullptr;
    const unsigned parts = unsigned(MAIN) | unsigned(filter) << 1 | unsigned(filtermod) << 2 | unsigned(usevib) << 3 |
                           unsigned(usemodlfo) << 4 | unsigned(usemodenv) << 5 | unsigned(steady) << 6;
    if (const uint64_t twin = main.m_twin; twins && twin) {
        hit = twins->findctl(twin, [&](const Ctwins::Cctl& c) { return samectl(c, v, steps, parts, MAIN, filter); });
        if (!hit && pending(main, *twins) && (keep = twins->addctl(twin))) keepstart(*keep, v, steps, parts);
    }
    if (hit) {
        ++twins->m_ctlshared;
        std::copy(hit->lfo, hit->lfo + steps, modlfo);
        v.m_modlfo = hit->endmodlfo;
        v.m_modenv = hit->endmodenv;
        if (MAIN) v.m_viblfo = hit->endviblfo;
    } else {
        values(v.m_modlfo, usemodlfo, modlfo);
        values(v.m_modenv, usemodenv, modenv);
        if (MAIN) values(v.m_viblfo, usevib, vib);
    }
    {
        Camp amp = v.m_amp;
        for (int j = 0; j < steps; ++j) {
            amp.step(cb[j], modlfo[j]);
            h.amp[j] = amp.total();
        }
        v.m_amp = amp;
    }
    if (hit) {
        if (filter) {
            std::memcpy(h.set, hit->set, size_t(steps));
            h.ncopies = hit->ncopies;
            std::copy(hit->hz + 1, hit->hz + hit->ncopies, h.hz + 1);
            v.m_filter.m_curhz = hit->endcurhz;
            if (h.ncopies > 1) {
                h.copies[h.ncopies - 1] = hit->endcoefs;
                v.m_filter.setcoefs(hit->endcoefs);
                h.q = v.m_filter.m_q;
                h.pending = h.ncopies > 2;
            }
        }
        if (MAIN) {
            std::copy(hit->st, hit->st + steps, st);
            osc.m_dev = hit->dev;
            osc.m_exact = hit->exact;
        }
        return steps;
    }
    if (filter)
        for (int j = 0; j < steps; ++j) h.notefilter(v.m_filter, j, filtermod, modlfo[j], modenv[j]);
    if (MAIN) {
        for (int j = 0; j < steps; ++j) {
            if (!steady || j == 0) {
                osc.devstep(modlfo[j], vib[j], modenv[j]);
                st[j] = {osc.stepfix(), osc.m_exact};
            } else {
                st[j] = st[0];
            }
        }
    }
    if (filter) h.endfilter(v.m_filter);
    if (keep) {
        std::copy(modlfo, modlfo + steps, keep->lfo);
        keep->endmodlfo = v.m_modlfo;
        keep->endmodenv = v.m_modenv;
        keep->endviblfo = v.m_viblfo;
        if (filter) {
            std::memcpy(keep->set, h.set, size_t(steps));
            keep->ncopies = h.ncopies;
            std::copy(h.hz + 1, h.hz + h.ncopies, keep->hz + 1);
            keep->endcurhz = v.m_filter.m_curhz;
            keep->endcoefs = v.m_filter.coefs();
        }
        if (MAIN) {
            std::copy(st, st + steps, keep->st);
            keep->dev = osc.m_dev;
            keep->exact = osc.m_exact;
        }
    }
    return steps;
}

} // namespace

// Steps of the 16-bit output under which a voice counts as unheard: half a step would never move
// a rounded sample, but the output truncates, and many such voices together move it now and then;
// 1/64 of a step keeps the output the same on real files but for a few samples by one step.
constexpr double UNHEARD = 1.0 / 64;

void Cvoice::render(const Csynth& synth, float* l, float* r, int n, Ctwins* twins)
{
    constexpr float FULL = 1.0f / 32768;
    constexpr int CHUNK = CHUNKSTEPS * CTLSTEP;
    static_assert(Ctwins::STEPS == CHUNKSTEPS);
    alignas(64) float x[CHUNK];
    alignas(64) float y[CHUNK];
    Chalf hm, hp;
    Cosc::Cstep st[CHUNKSTEPS];
    Cosc::Cpos at[CHUNKSTEPS];
    Cvoice* p = m_partner;
    while (n > 0 && m_osc.playing() && !synth.aborted()) {
        // The control steps of the chunk: the main half's (which decide where a finishing volume
        // envelope ends the chunk), then the partner's over the same steps.
        const int avail = std::min(CHUNKSTEPS, (n + CTLSTEP - 1) / CTLSTEP);
        bool finished = false;
        // A voice whose envelope, past its attack, reaches the attenuation from which on it
        // cannot be heard any more (quietfrom) is silent from that step on: its steps' amplitudes
        // become 0, and from the next chunk on it runs only what decides when it ends (its
        // envelopes, LFOs and oscillator position). It stays in its zone's list until then, so
        // the other voices are summed in the same order as if it still sounded. A pair is
        // unheard once both halves are, each under half of that share.
        const bool heard = !m_unheard;
        const Csends sd = sends();
        const float never = HUGE_VALF;
        int quiet = heard ? CHUNKSTEPS : 0, pquiet = quiet;
        const int steps = controlsteps<true>(*this, hm, st, avail, finished, heard,
                                             heard ? quietfrom(synth, sd, p ? UNHEARD / 2 : UNHEARD) : never, quiet,
                                             twins, *this);
        const int last = steps == avail ? std::min(CTLSTEP, n - (avail - 1) * CTLSTEP) : CTLSTEP;
        n -= (steps - 1) * CTLSTEP + last;
        if (p)
            controlsteps<false>(*p, hp, nullptr, steps, finished, heard,
                                heard ? p->quietfrom(synth, sd, UNHEARD / 2) : never, pquiet, twins, *this);
        if (heard) {
            const int from = p ? std::max(quiet, pquiet) : quiet;
            for (int j = from; j < steps; ++j) hm.amp[j] = hp.amp[j] = 1000.0f;   // amplitude 0
            if (from < steps) m_unheard = true;
            level::amps(hm.amp, hm.amp, steps);
            if (p) level::amps(hp.amp, hp.amp, steps);
        }

        // The audio: the main oscillator, and the partner at the positions the main one reads.
        // A partner whose sample has the same bounds and play mode reads the very positions of
        // the main oscillator, so it runs in stretches as well. A half that is silent for the
        // whole chunk (amplitude 0 at every step: a delay, or a release below 1000 cB) and has no
        // filter to keep running only moves its oscillator on; what it would add is exactly 0.
        const bool mute = !heard || silent(*this, hm, steps);
        const bool pmute = p && (!heard || silent(*p, hp, steps));
        // A twin that adds both halves takes the oscillator signal of a twin rendered before it
        // in this slice when its inputs are the same, or renders into a slot for the twins after
        // it (Ctwins).
        Ctwins::Cslot* slot = nullptr;
        bool shared = false;
        if (twins && m_twin && !mute && !pmute) {
            describe(twins->scratch(), *this, st, steps, last);
            slot = twins->find(m_twin);
            shared = slot != nullptr;
            if (shared) ++twins->m_shared;
            else slot = twins->add(m_twin);
        }
        float* xs = slot ? slot->x : x;
        float* ys = slot ? slot->y : y;
        int done;
        if (shared) {
            done = slot->out.done;
            take(slot->out, 0, *this);
            if (p) {
                p->m_osc.follow(m_osc);
                take(slot->out, 1, *p);
            }
        } else {
            float* xo = mute ? nullptr : xs;
            float* yo = pmute ? nullptr : ys;
            if (p) {
                // How far the main oscillator moves in this chunk: at most 960 samples of at most
                // 10^6 points each (stepfix), far inside 64 bits.
                uint64_t ahead = 0;
                for (int j = 0; j < steps; ++j) {
                    const uint64_t inc = st[j].exact ? uint64_t(1) << 32 : st[j].inc;
                    ahead += inc * uint64_t(j == steps - 1 ? last : CTLSTEP);
                }
                const bool same = p->m_osc.sameplay(m_osc, ahead);
                p->m_osc.follow(m_osc);
                done = m_osc.renderchunk(xo, st, steps, CTLSTEP, last, FULL, same ? nullptr : at);
                if (same) p->m_osc.renderchunk(yo, st, done, CTLSTEP, done == steps ? last : CTLSTEP, FULL);
                else p->m_osc.renderfollow(yo, st, at, done, CTLSTEP, done == steps ? last : CTLSTEP, FULL);
            } else {
                done = m_osc.renderchunk(xo, st, steps, CTLSTEP, last, FULL);
            }
            if (slot) {
                slot->out.done = done;
                keep(slot->out, 0, *this);
                if (p) keep(slot->out, 1, *p);
            }
        }
        const int lastdone = done == steps ? last : CTLSTEP;
        const int len = (done - 1) * CTLSTEP + lastdone;

        // The filters. Alone, each half filters its signal in place. A twin with a filter takes
        // the filtered signal of a twin whose filters started from the same state with the same
        // coefficients, or filters a copy of the shared signal, kept for the twins after it.
        bool filt = !mute && m_filter.on();
        const bool pfilt = p && !pmute && p->m_filter.on();
        if (!slot) {
            if (filt) filter(*this, hm, xs, done, lastdone);
            if (pfilt) filter(*p, hp, ys, done, lastdone);
        } else if (filt || pfilt) {
            Ctwins::Cfilters& fin = twins->fscratch();
            describe(fin.f[0], *this, hm, steps);
            if (p) describe(fin.f[1], *p, hp, steps);
            Ctwins::Cvariant* var = twins->findvariant(*slot, steps);
            if (var) {
                if (filt) m_filter.m_y = var->in.y[0], m_filter.m_v = var->in.v[0];
                if (pfilt) p->m_filter.m_y = var->in.y[1], p->m_filter.m_v = var->in.v[1];
            } else {
                var = twins->addvariant(*slot);
                float* fx = var ? var->x : x;
                float* fy = var ? var->y : y;
                if (filt && var && !p && hm.ncopies == 1 && m_nsibs > 0) {
                    // A mono twin whose cutoff holds filters the shared signal for the siblings
                    // of its list not yet rendered too, each with its own filter, all at once:
                    // each finds its signal among the slot's variants.
                    prefilter(*twins, *slot, *var, hm.copies[0], xs, steps, done, lastdone);
                    xs = var->x;
                    filt = false;
                }
                if (filt) {
                    std::copy(xs, xs + len, fx);
                    filter(*this, hm, fx, done, lastdone);
                }
                if (pfilt) {
                    std::copy(ys, ys + len, fy);
                    filter(*p, hp, fy, done, lastdone);
                }
                if (var) {
                    var->in.y[0] = m_filter.m_y;
                    var->in.v[0] = m_filter.m_v;
                    if (p) var->in.y[1] = p->m_filter.m_y, var->in.v[1] = p->m_filter.m_v;
                }
            }
            if (filt) xs = var ? var->x : x;
            if (pfilt) ys = var ? var->y : y;
        }
        if (finished && done == steps) m_osc.stop();

        // The oscillators' points are scaled to full scale 1.0, which is exact, so scaling by
        // each step's amplitude afterwards gives what scaling each point by amplitude / 32768
        // at once would. Pan levels hold for the chunk. A silent half of a pair adds 0 to the
        // other's share, so the other half is mixed alone.
        if (p && !mute && !pmute) {
            const float g[4] = {m_panl, m_panr, p->m_panl, p->m_panr};
            addstereopair(l, r, xs, ys, hm.amp, hp.amp, done, lastdone, g);
        } else if (!mute) {
            addstereo(l, r, xs, hm.amp, done, lastdone, m_panl, m_panr);
        } else if (p && !pmute) {
            addstereo(l, r, ys, hp.amp, done, lastdone, p->m_panl, p->m_panr);
        }
        l += len;
        r += len;
        if (done < steps) break;
    }
    if (p && !m_osc.playing()) p->m_osc.stop();
}

void Cvoice::prefilter(Ctwins& twins, Ctwins::Cslot& slot, Ctwins::Cvariant& own, const Cfilter::Ccoefs& k,
                       const float* x, int steps, int done, int lastdone)
{
    // This voice's filter is the first lane; each sibling filtered gets a variant of the slot.
    constexpr int MOST = SIBS + 1;
    const Cfilter::Ccoefs* ks[MOST] = {&k};
    float* outs[MOST] = {own.x};
    float ys[MOST] = {m_filter.m_y}, vs[MOST] = {m_filter.m_v};
    Ctwins::Cvariant* vars[MOST] = {&own};
    int n = 1;
    for (int i = 0; i < m_nsibs; ++i) {
        const Cvoice& s = *m_sibs[i];
        if (s.m_twin != m_twin || s.m_stamp.load(std::memory_order_relaxed) != twins.m_stamp || s.m_unheard ||
            s.m_partner || !s.playing())
            continue;
        Ctwins::Cfilters& f = twins.fscratch();
        if (!steadyfilter(f.f[0], s, steps) || twins.findvariant(slot, steps)) continue;
        Ctwins::Cvariant* var = twins.addvariant(slot);
        if (!var) break;
        ks[n] = &s.m_filter.coefs();
        outs[n] = var->x;
        ys[n] = s.m_filter.m_y;
        vs[n] = s.m_filter.m_v;
        vars[n++] = var;
    }
    Cfilter::runlanes(x, outs, n, done, CTLSTEP, lastdone, ks, ys, vs);
    m_filter.m_y = ys[0];
    m_filter.m_v = vs[0];
    for (int i = 0; i < n; ++i) {
        vars[i]->in.y[0] = ys[i];
        vars[i]->in.v[0] = vs[i];
    }
}
