#include "platform/Cwindow.h"

#include <atomic>

namespace {
std::atomic<Cdispatch*> g_dispatch{nullptr};
}

void postmsg(Cwindow* w, unsigned msg, uintptr_t wparam, intptr_t lparam)
{
    if (Cdispatch* d = g_dispatch.load()) d->post(w, msg, wparam, lparam);
    else if (w) w->handle(msg, wparam, lparam);
}

void sendmsg(Cwindow* w, unsigned msg, uintptr_t wparam, intptr_t lparam)
{
    if (Cdispatch* d = g_dispatch.load()) d->send(w, msg, wparam, lparam);
    else if (w) w->handle(msg, wparam, lparam);
}

Cdispatch* setdispatch(Cdispatch* d)
{
    return g_dispatch.exchange(d);
}

Cmsgloop::Cmsgloop() : m_owner(std::this_thread::get_id())
{
    m_prev = setdispatch(this);
}

Cmsgloop::~Cmsgloop()
{
    setdispatch(m_prev);
}

void Cmsgloop::post(Cwindow* w, unsigned msg, uintptr_t wparam, intptr_t lparam)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_items.push_back({w, msg, wparam, lparam, nullptr});
    }
    m_cv.notify_all();
}

void Cmsgloop::send(Cwindow* w, unsigned msg, uintptr_t wparam, intptr_t lparam)
{
    if (std::this_thread::get_id() == m_owner) {
        if (w) w->handle(msg, wparam, lparam);
        return;
    }
    bool handled = false;
    std::unique_lock<std::mutex> lock(m_lock);
    m_items.push_back({w, msg, wparam, lparam, &handled});
    m_cv.notify_all();
    m_cv.wait(lock, [&] { return handled; });
}

int Cmsgloop::pump()
{
    int n = 0;
    for (;;) {
        Item it;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_items.empty()) return n;
            it = m_items.front();
            m_items.pop_front();
        }
        if (it.w) it.w->handle(it.msg, it.wparam, it.lparam);
        ++n;
        if (it.handled) {
            std::lock_guard<std::mutex> lock(m_lock);
            *it.handled = true;
            m_cv.notify_all();
        }
    }
}

void Cmsgloop::waitone()
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_cv.wait(lock, [&] { return !m_items.empty(); });
}
