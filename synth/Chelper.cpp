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
    finishbehind();
    m_stop = true;
    m_wake.fetch_add(1, std::memory_order_release);
    m_wake.notify_one();
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
    m_wake.fetch_add(1, std::memory_order_release);
    m_wake.notify_one();
}

void Chelper::leavebehind(Step (*step)(void*), void* arg)
{
    finishbehind();
    if (!m_thread.joinable()) m_thread = std::thread([this] { loop(); });
    m_step = step;
    m_steparg = arg;
    m_behind.store(true, std::memory_order_seq_cst);
    m_wake.fetch_add(1, std::memory_order_release);
    m_wake.notify_one();
}

Chelper::Step Chelper::behindstep()
{
    if (!m_behind.load(std::memory_order_acquire)) return DONE;
    // Counted in before looking again: once finishbehind has seen the work done and no thread
    // inside, a thread that comes later finds m_behind false (both sequentially consistent).
    m_stepping.fetch_add(1, std::memory_order_seq_cst);
    Step r = DONE;
    if (m_behind.load(std::memory_order_seq_cst)) {
        r = m_step(m_steparg);
        if (r == DONE) m_behind.store(false, std::memory_order_seq_cst);
    }
    m_stepping.fetch_sub(1, std::memory_order_release);
    return r;
}

void Chelper::finishbehind()
{
    // The step orders its pieces and makes what they did visible to the thread that finds the
    // work done; no thread is left inside a step afterwards.
    for (Step r; (r = behindstep()) != DONE;)
        if (r == BUSY) wide::relax();
    while (m_stepping.load(std::memory_order_seq_cst) != 0) wide::relax();
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
    while (m_done.load(std::memory_order_acquire) != go && behindstep() == RAN) {
    }
    for (uint32_t done; (done = m_done.load(std::memory_order_acquire)) != go;) await(m_done, done);
}

void Chelper::loop()
{
    uint32_t seen = 0, woke = 0;
    for (;;) {
        // Between jobs, the pieces of any work behind (while the render thread runs one, the
        // next may follow).
        for (Step r; m_wake.load(std::memory_order_acquire) == woke && (r = behindstep()) != DONE;)
            if (r == BUSY) wide::relax();
        // The render thread posts the next job after its own work between jobs (events, other
        // channels, effects), which often takes longer than the short spin, and a sleeping
        // helper wakes late. So it stays awake for a while, yielding to any other thread that
        // wants the processor.
        await(m_wake, woke, YIELDUS);
        woke = m_wake.load(std::memory_order_acquire);
        if (m_stop) return;
        const uint32_t go = m_go.load(std::memory_order_acquire);
        if (go == seen) continue;
        seen = go;
        // Jobs are posted one at a time, each after the one before ended, so the newest one is
        // the only one that may still be unclaimed.
        uint32_t before = seen - 1;
        if (m_taken.compare_exchange_strong(before, seen, std::memory_order_acq_rel)) m_job(m_arg);
        m_done.store(seen, std::memory_order_release);
        m_done.notify_one();
    }
}
