#include "synth/Cvoicerun.h"

#include "synth/Csynth.h"
#include "synth/Cvoice.h"

#include <algorithm>
#include <cstring>

namespace {

// Below this much work per half a slice is rendered on one thread: waking the helper costs
// more than it saves.
constexpr int MINVOICES = 8;
constexpr long MINWORK = 16384;   // voice-samples

// Waits until a changes from `old`: a short spin first, since the next slice usually follows
// within microseconds, then a blocking wait.
void await(const std::atomic<uint32_t>& a, uint32_t old)
{
    for (int i = 0; i < 4000; ++i) {
        if (a.load(std::memory_order_acquire) != old) return;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    while (a.load(std::memory_order_acquire) == old) a.wait(old, std::memory_order_acquire);
}

} // namespace

Cvoicerun::Cvoicerun(bool parallel) : m_parallel(parallel && std::thread::hardware_concurrency() > 1) {}

Cvoicerun::~Cvoicerun()
{
    if (!m_thread.joinable()) return;
    m_stop = true;
    m_go.fetch_add(1, std::memory_order_release);
    m_go.notify_one();
    m_thread.join();
}

void Cvoicerun::renderlist(const Csynth& synth, Cvoice* const* v, int count, float* const* bus, int w,
                           int n)
{
    for (int i = 0; i < count; ++i) {
        // While one voice renders, the next one's state is on its way from memory.
        if (i + 1 < count) {
            for (size_t b = 0; b < sizeof(Cvoice); b += 64)
                __builtin_prefetch(reinterpret_cast<const char*>(v[i + 1]) + b);
        }
        v[i]->render(synth, bus, w, n);
    }
}

void Cvoicerun::render(const Csynth& synth, const std::vector<Cvoice*>& voices, int n)
{
    const int count = int(voices.size());
    if (!m_parallel || count < MINVOICES || long(count) * n < MINWORK || n > SLICE) {
        renderlist(synth, voices.data(), count, synth.bus, synth.mixpos, n);
        return;
    }
    if (!m_thread.joinable()) {
        m_scratch = std::make_unique<float[]>(size_t(Csynth::NBUS) * SLICE);
        m_thread = std::thread([this] { helper(); });
    }
    const int half = count / 2;
    m_synth = &synth;
    m_voices = voices.data() + half;
    m_count = count - half;
    m_n = n;
    const uint32_t job = m_go.fetch_add(1, std::memory_order_release) + 1;
    m_go.notify_one();

    renderlist(synth, voices.data(), half, synth.bus, synth.mixpos, n);

    await(m_done, job - 1);
    for (int b = 0; b < Csynth::NBUS; ++b) {
        float* __restrict to = synth.bus[b] + synth.mixpos;
        const float* __restrict from = m_scratch.get() + size_t(b) * SLICE;
        for (int i = 0; i < n; ++i) to[i] += from[i];
    }
}

void Cvoicerun::helper()
{
    uint32_t seen = 0;
    for (;;) {
        await(m_go, seen);
        seen = m_go.load(std::memory_order_acquire);
        if (m_stop) return;
        float* bus[Csynth::NBUS];
        for (int b = 0; b < Csynth::NBUS; ++b) {
            bus[b] = m_scratch.get() + size_t(b) * SLICE;
            std::fill(bus[b], bus[b] + m_n, 0.0f);
        }
        renderlist(*m_synth, m_voices, m_count, bus, 0, m_n);
        m_done.store(seen, std::memory_order_release);
        m_done.notify_one();
    }
}
