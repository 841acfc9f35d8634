#include "synth/Cvoicerun.h"

#include "synth/Csynth.h"
#include "synth/Cvoice.h"
#include "synth/Cwide.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>

namespace {

// Below this much work a slice is rendered on one thread: waking the helper costs more than
// it saves.
constexpr int MINVOICES = 8;
constexpr long MINWORK = 16384;   // voice-samples

// Adds the stereo sums of one group into the six buses with the group's send levels, or with add
// false stores them, into buses that hold nothing yet (0 + x is x, so both give the same).
CANTORIX_INLINE inline void spread6loop(float* __restrict b0, float* __restrict b1, float* __restrict b2, float* __restrict b3,
             float* __restrict b4, float* __restrict b5, const float* __restrict l,
             const float* __restrict r, int n, Cvoice::Csends s, bool add)
{
    if (add) {
        for (int i = 0; i < n; ++i) {
            b0[i] += l[i] * s.dry;
            b1[i] += r[i] * s.dry;
            b2[i] += l[i] * s.cho;
            b3[i] += r[i] * s.cho;
            b4[i] += l[i] * s.rev;
            b5[i] += r[i] * s.rev;
        }
    } else {
        for (int i = 0; i < n; ++i) {
            b0[i] = l[i] * s.dry;
            b1[i] = r[i] * s.dry;
            b2[i] = l[i] * s.cho;
            b3[i] = r[i] * s.cho;
            b4[i] = l[i] * s.rev;
            b5[i] = r[i] * s.rev;
        }
    }
}

void spread6(float* b0, float* b1, float* b2, float* b3, float* b4, float* b5, const float* l, const float* r, int n,
             Cvoice::Csends s, bool add)
{
    wide::run([&]() CANTORIX_INLINE { spread6loop(b0, b1, b2, b3, b4, b5, l, r, n, s, add); });
}

void spread(float* const* bus, int w, const float* l, const float* r, int n, Cvoice::Csends s, bool add)
{
    spread6(bus[Csynth::DRYL] + w, bus[Csynth::DRYR] + w, bus[Csynth::CHOL] + w, bus[Csynth::CHOR] + w,
            bus[Csynth::REVL] + w, bus[Csynth::REVR] + w, l, r, n, s, add);
}

CANTORIX_INLINE inline void addtoloop(float* __restrict to, const float* __restrict from, int n)
{
    for (int i = 0; i < n; ++i) to[i] += from[i];
}

void addto(float* to, const float* from, int n)
{
    wide::run([&]() CANTORIX_INLINE { addtoloop(to, from, n); });
}

// Relative cost of rendering a voice: its oscillators, mixing, and filters. A twin after the
// first of its note-on usually takes the oscillators' signal, and often the filtered one, from it.
// A voice that can no longer be heard only steps its envelopes.
int cost(const Cvoice& v, bool twin)
{
    if (v.unheard()) return 1;
    if (twin) return v.m_partner ? 3 : 2;
    int c = 4;
    if (v.m_filter.on()) c += 2;
    if (const Cvoice* p = v.m_partner) c += p->m_filter.on() ? 5 : 3;
    return c;
}

} // namespace

static_assert(Cvoicerun::NBUS == Csynth::NBUS);

Cvoicerun::Cvoicerun(bool parallel, bool share)
    : m_parallel(parallel && Chelper::processors() > 1), m_lr(std::make_unique<float[]>(4 * size_t(SLICE) + 16)),
      m_share(share)
{
    m_lrat = aligned(m_lr.get());
    reserve(SCRATCH);
}

float* Cvoicerun::aligned(float* p)
{
    const auto at = reinterpret_cast<uintptr_t>(p);
    return p + ((64 - at % 64) % 64) / sizeof(float);
}

Cvoicerun::~Cvoicerun() = default;

bool Cvoicerun::renderlist(const Csynth& synth, Cvoice* const* v, int count, float* const* bus, int w,
                           int n, float* lr, bool fresh, bool later, std::vector<char>& done,
                           std::vector<Cvoice*>& group, Ctwins* twins)
{
    float* l = lr;
    float* r = lr + SLICE;
    // One group per distinct send levels, in order of first appearance: usually one or two per
    // channel. Each pass takes the first voice not yet rendered and every later one of its levels.
    // In later slices of a job, voices that finished before are left out as if reaped, so that
    // the groups form in the same order as when every slice is a call of its own.
    bool wrote = false;
    done.assign(size_t(count), 0);
    if (later)
        for (int i = 0; i < count; ++i) done[size_t(i)] = !v[i]->playing();
    if (twins) {
        // A stamp no other list has, on every voice of this one.
        static std::atomic<uint32_t> stamps{0};
        uint32_t stamp = stamps.fetch_add(1, std::memory_order_relaxed) + 1;
        if (stamp == 0) stamp = stamps.fetch_add(1, std::memory_order_relaxed) + 1;
        twins->m_stamp = stamp;
        for (int i = 0; i < count; ++i) v[i]->m_stamp.store(stamp, std::memory_order_relaxed);
    }
    if (count > 0) v[0]->prefetch(n);
    for (int first = 0; first < count; ++first) {
        if (done[size_t(first)]) continue;
        const Cvoice::Csends s = v[first]->sends();
        group.clear();
        for (int i = first; i < count; ++i)
            if (!done[size_t(i)] && v[i]->sends() == s) {
                done[size_t(i)] = 1;
                group.push_back(v[i]);
            }
        std::fill(l, l + n, 0.0f);
        std::fill(r, r + n, 0.0f);
        for (size_t i = 0; i < group.size(); ++i) {
            // While one voice renders, the state of the one after the next and the first sample
            // points of the next are on their way from memory.
            if (i + 2 < group.size()) {
                for (const Cvoice* f : {group[i + 2], group[i + 2]->m_partner})
                    if (f)
                        for (size_t b = 0; b < sizeof(Cvoice); b += 64)
                            __builtin_prefetch(reinterpret_cast<const char*>(f) + b);
            }
            if (i + 1 < group.size()) group[i + 1]->prefetch(n);
            group[i]->render(synth, l, r, n, twins);
            group[i]->m_stamp.store(0, std::memory_order_relaxed);
        }
        spread(bus, w, l, r, n, s, !fresh);
        fresh = false;
        wrote = true;
    }
    return wrote;
}

void Cvoicerun::render(const Csynth& synth, const std::vector<Cvoice*>& voices, int n)
{
    const int count = int(voices.size());
    static_assert(SLICE <= Ctwins::CHUNK);
    m_synth = &synth;
    m_n = std::min(n, JOB);
    n = m_n;
    if (!m_parallel || count < MINVOICES || long(count) * n < MINWORK || !Chelper::spare() || units(voices) < 2) {
        slices(0, voices.data(), count);
        return;
    }
    // The voices are cut in two by expected work (a filtered voice or a stereo pair costs more,
    // a twin that takes its signal from another less): the render thread adds the first part
    // into the synthesizer's buses, while the helper renders the second into buses of its own,
    // which are then added too. Which voice goes where depends only on the voice list, so the
    // sums never depend on timing. The twins of one note-on go whole into one part, where they
    // share their signal; split over two threads, each would compute it again. The units are
    // dealt out largest first, each to the part with less work so far (ties to part 0): cut in
    // list order instead, the part that took the unit across the middle often got far more, as
    // a few large units (the twins of one chord) make up most jobs. Both parts run over the
    // whole job, slice by slice, so that the threads meet once per job.
    m_order.resize(m_ucost.size());
    for (size_t u = 0; u < m_order.size(); ++u) m_order[u] = int(u);
    std::sort(m_order.begin(), m_order.end(), [this](int a, int b) {
        const long ca = m_ucost[size_t(a)], cb = m_ucost[size_t(b)];
        return ca != cb ? ca > cb : a < b;
    });
    long load[2] = {0, 0};
    for (int u : m_order) {
        const int p = load[1] < load[0] ? 1 : 0;
        m_upart[size_t(u)] = uint8_t(p);
        load[p] += m_ucost[size_t(u)];
    }
    for (auto& l : m_lists) l.clear();
    for (int i = 0; i < count; ++i) m_lists[m_upart[size_t(m_unit[size_t(i)])]].push_back(voices[size_t(i)]);
    // One unit may outweigh all the others: then the render thread renders everything.
    if (m_lists[1].empty()) {
        slices(0, voices.data(), count);
        return;
    }
    if (!m_scratch) {
        m_scratch = std::make_unique<float[]>(size_t(NBUS) * JOB + 16);
        m_scratchat = aligned(m_scratch.get());
    }
    Chelper& helper = Chelper::local();
    m_steal.store(false, std::memory_order_relaxed);
    helper.post([](void* run) {
        auto* r = static_cast<Cvoicerun*>(run);
        r->m_handoff = r->renderpart(1, 0, true);
    }, this);
    renderpart(0);
    // A helper that has not started by now (asleep, or its processor taken by another program)
    // would keep this thread waiting for its whole part: this thread renders it instead, into
    // the same buses, so the sums are the same whichever thread renders it. A helper that has
    // started stops after its current slice, and this thread renders the slices left: a helper
    // whose processor is slow or shared then holds this thread up by one slice at most.
    if (helper.retract()) {
        renderpart(1);
    } else {
        m_steal.store(true, std::memory_order_release);
        helper.wait();
        if (m_handoff < n) renderpart(1, m_handoff);
    }
    for (int b = 0; b < NBUS; ++b) addto(synth.bus[b] + synth.mixpos, m_scratchat + size_t(b) * JOB, n);
}

size_t Cvoicerun::tablesize(size_t n)
{
    size_t size = 64;
    while (size < 2 * n) size *= 2;
    return size;
}

int Cvoicerun::units(const std::vector<Cvoice*>& voices)
{
    // Twins are found by their group key in a table of twice the voices at least, open
    // addressing; a key of 0 marks a free entry (twins never have it).
    const size_t count = voices.size();
    const size_t size = tablesize(count);
    m_keys.assign(size, 0);
    m_keyunit.resize(size);
    m_unit.resize(count);
    m_ucost.clear();
    for (size_t i = 0; i < count; ++i) {
        const Cvoice& v = *voices[i];
        int unit = int(m_ucost.size());
        bool later = false;
        if (v.m_twin) {
            size_t at = size_t(v.m_twin * 0x9e3779b97f4a7c15ull >> 40) & (size - 1);
            while (m_keys[at] && m_keys[at] != v.m_twin) at = (at + 1) & (size - 1);
            if (m_keys[at]) {
                unit = m_keyunit[at];
                later = true;
            } else {
                m_keys[at] = v.m_twin;
                m_keyunit[at] = unit;
            }
        }
        if (unit == int(m_ucost.size())) m_ucost.push_back(0);
        m_ucost[size_t(unit)] += cost(v, later);
        m_unit[i] = unit;
    }
    m_upart.resize(m_ucost.size());
    return int(m_ucost.size());
}

int Cvoicerun::slices(int part, Cvoice* const* v, int count, int from, bool yield)
{
    // Part 0 adds into the synthesizer's buses; part 1's first group of each slice stores into
    // its own, and a slice in which all its voices have finished stores 0.
    float* bus[NBUS];
    int w = 0;
    if (part == 0) {
        for (int b = 0; b < NBUS; ++b) bus[b] = m_synth->bus[b];
        w = m_synth->mixpos;
    } else {
        for (int b = 0; b < NBUS; ++b) bus[b] = m_scratchat + size_t(b) * JOB;
    }
    Cmine& mine = m_mine[part];
    for (int done = from; done < m_n; done += SLICE) {
        if (yield && m_steal.load(std::memory_order_acquire)) return done;
        const int n = std::min(SLICE, m_n - done);
        mine.twins.clear();
        if (!renderlist(*m_synth, v, count, bus, w + done, n, stereo(part), part == 1, done > 0, mine.done,
                        mine.group, twins(part)) &&
            part == 1)
            for (float* b : bus) std::fill(b + done, b + done + n, 0.0f);
    }
    return m_n;
}
