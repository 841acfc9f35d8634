#include "platform/Cwindow.h"

#include <atomic>
#include <chrono>

namespace {
std::atomic<Cmsgpump*> g_pump{nullptr};
}

Cqueuepump& mainqueue()
{
    static Cqueuepump queue;
    return queue;
}

static Cmsgpump& pump()
{
    Cmsgpump* p = g_pump.load();
    return p ? *p : mainqueue();
}

void postmsg(Creceiver* to, unsigned msg, uintptr_t wparam, intptr_t lparam)
{
    if (to) pump().post(to, Cmsg{msg, wparam, lparam});
}

void sendmsg(Creceiver* to, unsigned msg, uintptr_t wparam, intptr_t lparam)
{
    if (to) pump().send(to, Cmsg{msg, wparam, lparam});
}

Cmsgpump* setmsgpump(Cmsgpump* p)
{
    return g_pump.exchange(p);
}

void Cqueuepump::post(Creceiver* to, const Cmsg& m)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.push_back(Entry{to, to->alive(), m, nullptr});
    }
    m_cv.notify_all();
}

void Cqueuepump::send(Creceiver* to, const Cmsg& m)
{
    if (std::this_thread::get_id() == m_owner) {
        to->receive(m);
        return;
    }
    bool done = false;
    std::unique_lock<std::mutex> lock(m_lock);
    m_queue.push_back(Entry{to, to->alive(), m, &done});
    m_cv.notify_all();
    m_cv.wait(lock, [&] { return done; });
}

int Cqueuepump::pump()
{
    int n = 0;
    for (;;) {
        Entry e;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_queue.empty()) break;
            e = m_queue.front();
            m_queue.pop_front();
        }
        // Receivers are destroyed on this thread only, so the check cannot race the delivery.
        if (!e.alive.expired()) {
            e.to->receive(e.msg);
            ++n;
        }
        if (e.done) {
            std::lock_guard<std::mutex> lock(m_lock);
            *e.done = true;
            m_cv.notify_all();
        }
    }
    return n;
}

int Cqueuepump::wait(int ms)
{
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !m_queue.empty(); });
    }
    return pump();
}

size_t Cqueuepump::pending() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_queue.size();
}
