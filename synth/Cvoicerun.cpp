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

// Relative cost of rendering a voice: its oscillators, mixing, and filters.
int cost(const Cvoice& v)
{
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
                           int n, float* lr, bool fresh, std::vector<char>& done, std::vector<Cvoice*>& group,
                           Ctwins* twins)
{
    float* l = lr;
    float* r = lr + SLICE;
    // One group per distinct send levels, in order of first appearance: usually one or two per
    // channel. Each pass takes the first voice not yet rendered and every later one of its levels.
    done.assign(size_t(count), 0);
    if (twins) {
        // A stamp no other piece has, on every voice of this one.
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
    }
    return count > 0;
}

void Cvoicerun::render(const Csynth& synth, const std::vector<Cvoice*>& voices, int n)
{
    const int count = int(voices.size());
    static_assert(SLICE <= Ctwins::CHUNK);
    m_twins[0].clear();
    m_twins[1].clear();
    if (!m_parallel || count < MINVOICES || long(count) * n < MINWORK || n > SLICE || !Chelper::spare()) {
        renderlist(synth, voices.data(), count, synth.bus, synth.mixpos, n, stereo(0), false, m_done[0], m_group[0],
                   twins(0));
        return;
    }
    if (!m_scratch) {
        m_scratch = std::make_unique<float[]>(size_t(MAXPIECES) * NBUS * SLICE + 16);
        m_scratchat = aligned(m_scratch.get());
    }
    // The voices are cut into pieces by expected work (a filtered voice or a stereo pair costs
    // more), each piece smaller than the one before, so that the thread that finishes first
    // waits at most for a small last piece. The twins of one note-on go whole into the piece of
    // the first of them, where they share their signal; split over two threads, each would
    // compute it again. Each thread takes the next piece that is left and renders it into that
    // piece's own buses. The pieces are added into the synthesizer's buses in their order, so
    // the sums never depend on which thread rendered what.
    const int units = group(voices);
    const int pieces = std::min({MAXPIECES, count / 4, units});
    long total = 0;
    for (int u = 0; u < units; ++u) total += m_ucost[size_t(u)];
    // Piece p gets a share of pieces - p out of 1 + 2 + ... + pieces.
    const long shares = long(pieces) * (pieces + 1) / 2;
    long sum = 0, upto = 0;
    for (int p = 0, u = 0; p < pieces; ++p) {
        upto += pieces - p;
        const int first = u;
        while (u < units && (p == pieces - 1 || sum * shares < total * upto)) {
            sum += m_ucost[size_t(u)];
            m_upiece[size_t(u++)] = uint8_t(p);
        }
        if (u == first && u < units) m_upiece[size_t(u++)] = uint8_t(p);
    }
    for (int p = 0; p < pieces; ++p) m_lists[p].clear();
    for (int i = 0; i < count; ++i) m_lists[m_upiece[size_t(m_unit[size_t(i)])]].push_back(voices[size_t(i)]);
    m_synth = &synth;
    m_pieces = pieces;
    m_n = n;
    m_next.store(0, std::memory_order_relaxed);
    Chelper& helper = Chelper::local();
    helper.post([](void* run) { static_cast<Cvoicerun*>(run)->work(1); }, this);
    work(0);
    helper.wait();

    for (int p = 0; p < pieces; ++p)
        if (m_wrote[p])
            for (int b = 0; b < Csynth::NBUS; ++b) addto(synth.bus[b] + synth.mixpos, piecebus(p, b), n);
}

int Cvoicerun::group(const std::vector<Cvoice*>& voices)
{
    // Twins are found by their group key in a table of twice the voices at least, open
    // addressing; a key of 0 marks a free entry (twins never have it).
    const size_t count = voices.size();
    size_t size = 64;
    while (size < 2 * count) size *= 2;
    m_keys.assign(size, 0);
    m_keyunit.resize(size);
    m_unit.resize(count);
    m_ucost.clear();
    for (size_t i = 0; i < count; ++i) {
        const Cvoice& v = *voices[i];
        int unit = int(m_ucost.size());
        if (v.m_twin) {
            size_t at = size_t(v.m_twin * 0x9e3779b97f4a7c15ull >> 40) & (size - 1);
            while (m_keys[at] && m_keys[at] != v.m_twin) at = (at + 1) & (size - 1);
            if (m_keys[at]) unit = m_keyunit[at];
            else {
                m_keys[at] = v.m_twin;
                m_keyunit[at] = unit;
            }
        }
        if (unit == int(m_ucost.size())) m_ucost.push_back(0);
        m_ucost[size_t(unit)] += cost(v);
        m_unit[i] = unit;
    }
    m_upiece.resize(m_ucost.size());
    return int(m_ucost.size());
}

void Cvoicerun::work(int thread)
{
    for (;;) {
        const int p = m_next.fetch_add(1, std::memory_order_relaxed);
        if (p >= m_pieces) return;
        // The piece's buses are written by its first group; a piece without voices leaves them
        // as they are and is not added.
        float* bus[Csynth::NBUS];
        for (int b = 0; b < Csynth::NBUS; ++b) bus[b] = piecebus(p, b);
        m_wrote[p] = renderlist(*m_synth, m_lists[p].data(), int(m_lists[p].size()), bus, 0, m_n,
                                stereo(thread), true, m_done[thread], m_group[thread], twins(thread));
    }
}
