#include "synth/Chelper.h"

#include "synth/Cwide.h"

#include <algorithm>
#include <chrono>

#include <sched.h>

namespace {

std::atomic<int> g_renders{0};
std::atomic<int> g_limit{0};

} // namespace

Chelper& Chelper::local()
{
    thread_local Chelper helper;
    return helper;
}

int Chelper::processors()
{
    static const int n = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
        return std::max(1, int(std::thread::hardware_concurrency()));
    }();
    return n;
}

void Chelper::limit(int n)
{
    g_limit.store(n > 0 ? std::min(n, processors()) : 0, std::memory_order_relaxed);
}

bool Chelper::spare()
{
    const int cap = g_limit.load(std::memory_order_relaxed);
    return g_renders.load(std::memory_order_relaxed) < (cap > 0 ? cap : processors());
}

Chelper::Crender::Crender() { g_renders.fetch_add(1, std::memory_order_relaxed); }

Chelper::Crender::~Crender() { g_renders.fetch_sub(1, std::memory_order_relaxed); }

Chelper::~Chelper()
{
    if (!m_thread.joinable()) return;
    m_stop = true;
    m_go.fetch_add(1, std::memory_order_release);
    m_go.notify_one();
    m_thread.join();
}

void Chelper::await(const std::atomic<uint32_t>& a, uint32_t old, int yieldus)
{
    for (int i = 0; i < 4000; ++i) {
        if (a.load(std::memory_order_acquire) != old) return;
        wide::relax();
    }
    if (yieldus > 0) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(yieldus);
        do {
            for (int i = 0; i < 64; ++i) {
                if (a.load(std::memory_order_acquire) != old) return;
                wide::relax();
            }
            std::this_thread::yield();
        } while (std::chrono::steady_clock::now() < until);
    }
    while (a.load(std::memory_order_acquire) == old) a.wait(old, std::memory_order_acquire);
}

void Chelper::post(void (*job)(void*), void* arg)
{
    if (!m_thread.joinable()) m_thread = std::thread([this] { loop(); });
    m_job = job;
    m_arg = arg;
    m_retracted = false;
    m_go.fetch_add(1, std::memory_order_release);
    m_go.notify_one();
}

bool Chelper::retract()
{
    const uint32_t go = m_go.load(std::memory_order_relaxed);
    uint32_t before = go - 1;
    m_retracted = m_taken.compare_exchange_strong(before, go, std::memory_order_acq_rel);
    return m_retracted;
}

void Chelper::wait()
{
    if (m_retracted) return;
    // After a job taken back the helper may not have come to it yet, so m_done can lag by more
    // than one job: it is the count of this job that ends the wait.
    const uint32_t go = m_go.load(std::memory_order_relaxed);
    for (uint32_t done; (done = m_done.load(std::memory_order_acquire)) != go;) await(m_done, done);
}

void Chelper::loop()
{
    uint32_t seen = 0;
    for (;;) {
        // The render thread posts the next job after its own work between jobs (events, other
        // channels, effects), which often takes longer than the short spin, and a sleeping
        // helper wakes late. So it stays awake for a while, yielding to any other thread that
        // wants the processor.
        await(m_go, seen, YIELDUS);
        seen = m_go.load(std::memory_order_acquire);
        if (m_stop) return;
        // Jobs are posted one at a time, each after the one before ended, so the newest one is
        // the only one that may still be unclaimed.
        uint32_t before = seen - 1;
        if (m_taken.compare_exchange_strong(before, seen, std::memory_order_acq_rel)) m_job(m_arg);
        m_done.store(seen, std::memory_order_release);
        m_done.notify_one();
    }
}
