#include "platform/Ctimer.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <set>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The process's timer thread. It starts with the first timer and lives until the process ends;
// at exit it is told to stop and joined, so no callback runs during static destruction.
class Ctimers {
public:
    ~Ctimers()
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_stop = true;
        }
        m_cv.notify_all();
        if (m_thread.joinable()) m_thread.join();
    }

    unsigned add(unsigned delayms, Timercb cb)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_thread.joinable()) m_thread = std::thread([this] { run(); });
        unsigned id = ++m_lastid;
        if (id == 0) id = ++m_lastid;   // 0 means "no timer"
        const Clock::time_point due = Clock::now() + std::chrono::milliseconds(delayms);
        // Equal due times keep the order in which the timers were set.
        m_pending.emplace(Key{due, m_seq++}, Item{id, std::move(cb)});
        m_cv.notify_all();
        return id;
    }

    bool kill(unsigned id)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
            if (it->second.id == id) {
                m_pending.erase(it);
                return true;
            }
        }
        // A callback running right now is waited for, so that its owner may free what it uses
        // as soon as this returns; the callback killing itself must not wait for itself.
        if (m_running == id && std::this_thread::get_id() != m_thread.get_id())
            m_cv.wait(lock, [&] { return m_running != id; });
        return false;
    }

private:
    struct Key {
        Clock::time_point due;
        uint64_t seq;
        bool operator<(const Key& o) const { return due < o.due || (due == o.due && seq < o.seq); }
    };
    struct Item {
        unsigned id;
        Timercb cb;
    };

    void run()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        while (!m_stop) {
            if (m_pending.empty()) {
                m_cv.wait(lock);
                continue;
            }
            auto first = m_pending.begin();
            if (Clock::now() < first->first.due) {
                // A copy: the wait lets go of the lock, and kill() may erase the timer meanwhile.
                const Clock::time_point due = first->first.due;
                m_cv.wait_until(lock, due);
                continue;
            }
            Item item = std::move(first->second);
            m_pending.erase(first);
            m_running = item.id;
            lock.unlock();
            item.cb(item.id);
            lock.lock();
            m_running = 0;
            m_cv.notify_all();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_cv;
    std::map<Key, Item> m_pending;
    std::thread m_thread;
    unsigned m_lastid = 0;
    uint64_t m_seq = 0;
    unsigned m_running = 0;
    bool m_stop = false;
};

Ctimers& timers()
{
    static Ctimers t;
    return t;
}

std::mutex g_periodlock;
std::multiset<unsigned>* periods()
{
    static std::multiset<unsigned> p;
    return &p;
}

}  // namespace

uint32_t timeGetTime()
{
    static const Clock::time_point origin = Clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - origin);
    return uint32_t(uint64_t(ms.count()));
}

unsigned timeSetEvent(unsigned delayms, Timercb cb)
{
    const Timecaps caps = timeGetDevCaps();
    if (delayms > caps.periodmax || !cb) return 0;
    return timers().add(delayms, std::move(cb));
}

bool timeKillEvent(unsigned id)
{
    return id != 0 && timers().kill(id);
}

Timecaps timeGetDevCaps()
{
    return Timecaps{};
}

bool timeBeginPeriod(unsigned ms)
{
    const Timecaps caps = timeGetDevCaps();
    if (ms < caps.periodmin || ms > caps.periodmax) return false;
    std::lock_guard<std::mutex> lock(g_periodlock);
    periods()->insert(ms);
    return true;
}

bool timeEndPeriod(unsigned ms)
{
    std::lock_guard<std::mutex> lock(g_periodlock);
    auto it = periods()->find(ms);
    if (it == periods()->end()) return false;
    periods()->erase(it);
    return true;
}

int timeperiods()
{
    std::lock_guard<std::mutex> lock(g_periodlock);
    return int(periods()->size());
}
