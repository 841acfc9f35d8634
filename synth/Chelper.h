#pragma once
// A helper thread of a render thread: it runs one job at a time that the render thread posts,
// while the render thread does its own share, and the render thread then waits for it. The
// render thread waits by spinning briefly, then by sleeping on an atomic. The helper waits for
// its next job spinning for up to 2 ms, yielding the processor to any other thread that wants it
// (the next job usually follows within that time), and only then sleeps.
//
// Besides, the render thread may leave work behind it that goes in pieces (a converter's block
// of effects, Ceffects): whichever thread would otherwise wait runs a piece, the helper between
// jobs and the render thread while it waits for one, until the render thread needs it done.
//
// Helpers are for processors that would otherwise idle: while the process runs as many render
// threads as it may use processors, spare() is false and callers do the work alone, so that
// N conversions at once never keep more threads busy than there are processors.
#include <atomic>
#include <cstdint>
#include <thread>

class Chelper {
public:
    Chelper() = default;
    ~Chelper();
    Chelper(const Chelper&) = delete;
    Chelper& operator=(const Chelper&) = delete;

    // The helper of the calling render thread, made on first use and ended with the thread. The
    // voices and the effects of one render thread share it, so that the one thread that waits
    // between jobs is never in the way of the other's job.
    static Chelper& local();
    // Whether a job posted now would have a processor of its own.
    static bool spare();
    // The processors this process may run on (its affinity mask, so that a process started on
    // fewer processors than the machine has does not spin helpers on a busy one); at least 1.
    static int processors();
    // Caps the processors that render threads and their helpers use together, at most
    // processors(); 0 lifts the cap. A batch converter run on one processor sets 1.
    static void limit(int n);
    // Counts the render thread it lives on for spare().
    struct Crender {
        Crender();
        ~Crender();
        Crender(const Crender&) = delete;
        Crender& operator=(const Crender&) = delete;
    };

    // Starts job(arg) on the helper thread, which is made on first use. One job at a time.
    void post(void (*job)(void*), void* arg);
    // Takes the posted job back if the helper has not started it yet: then the job never runs
    // and there is nothing to wait for. Returns whether it did. A render thread that is done with
    // its own share does the helper's itself rather than wait for a helper that is asleep or has
    // lost its processor.
    bool retract();
    // Returns once the posted job has returned (or at once if it was taken back), running
    // pieces of the work behind meanwhile.
    void wait();

    // What a piece of work behind says: all done, one piece run, or none to be had right now
    // (another thread holds what comes next).
    enum Step { DONE, RAN, BUSY };
    // Leaves work behind: step(arg) runs a piece if it can. Both threads may call it at once; it
    // keeps its own order. The work before is finished first (finishbehind).
    void leavebehind(Step (*step)(void*), void* arg);
    // Runs the pieces left, or waits for the one another thread runs, until none is left: the
    // render thread then sees all that the work did.
    void finishbehind();

    // Waits until a differs from old: a short spin, then for yieldus microseconds a spin that
    // yields the processor, then a blocking wait.
    static void await(const std::atomic<uint32_t>& a, uint32_t old, int yieldus = 0);
    // How long an idle helper stays awake for the next job, in microseconds, before it sleeps.
    static constexpr int YIELDUS = 2000;

private:
    void loop();
    // Runs a piece of the work behind if there is one to be had; DONE once there is no work.
    Step behindstep();

    std::thread m_thread;
    // Jobs posted, and jobs ended (run or taken back), counted alike; m_taken is the last job
    // that the helper started or the render thread took back: whichever claims it first.
    std::atomic<uint32_t> m_go{0}, m_done{0}, m_taken{0};
    void (*m_job)(void*) = nullptr;
    void* m_arg = nullptr;
    bool m_stop = false;
    bool m_retracted = false;   // the posted job was taken back (render thread only)
    // The work behind: its step, whether any is left, and the threads inside a step. m_wake
    // counts posts of jobs and of work behind; the helper waits on it.
    Step (*m_step)(void*) = nullptr;
    void* m_steparg = nullptr;
    std::atomic<bool> m_behind{false};
    std::atomic<int> m_stepping{0};
    std::atomic<uint32_t> m_wake{0};
};
