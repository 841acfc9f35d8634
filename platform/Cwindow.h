#pragma once
// Windows and the messages between threads. A "window" is anything that handles messages on the
// user-interface thread. Posting queues a message and returns; sending blocks the sender until
// the window has handled the message (the render thread's progress and end messages). The desktop
// program delivers through Qt's event loop; the command-line tool and the tests use Cmsgloop, a
// plain queue that the user-interface thread pumps.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

enum : unsigned {
    WM_USER = 0x400,
    WM_PROGRESS = WM_USER + 1,   // lParam: percent done of a conversion
    WM_RENDERED = WM_USER + 2,   // the render thread has finished
    WM_REFRESH = WM_USER + 3,    // the current files changed
    WM_SCHEDULE = WM_USER + 4,   // refresh slider or progress and time
    WM_CLOSELYR = WM_USER + 5,   // close the lyrics window
    WM_SYLLABLE = WM_USER + 6,   // lParam: a lyric syllable is reached
    MM_WOM_OPEN = 0x3BB,
    MM_WOM_CLOSE = 0x3BC,
    MM_WOM_DONE = 0x3BD,
    MM_WIM_OPEN = 0x3BE,
    MM_WIM_CLOSE = 0x3BF,
    MM_WIM_DATA = 0x3C0,
    MM_MOM_OPEN = 0x3C7,
    MM_MOM_CLOSE = 0x3C8,
    MM_MOM_DONE = 0x3C9,
};

class Cwindow {
public:
    virtual ~Cwindow() = default;
    // Called on the user-interface thread for every message posted or sent to this window.
    virtual void handle(unsigned msg, uintptr_t wparam, intptr_t lparam) = 0;
};

// How messages reach windows; one per process, installed by the program (or a test).
class Cdispatch {
public:
    virtual ~Cdispatch() = default;
    virtual void post(Cwindow* w, unsigned msg, uintptr_t wparam, intptr_t lparam) = 0;
    virtual void send(Cwindow* w, unsigned msg, uintptr_t wparam, intptr_t lparam) = 0;
};

void postmsg(Cwindow* w, unsigned msg, uintptr_t wparam = 0, intptr_t lparam = 0);
void sendmsg(Cwindow* w, unsigned msg, uintptr_t wparam = 0, intptr_t lparam = 0);
// Installs the process's dispatcher and returns the previous one (null: none installed, in
// which case messages are handled at once on the calling thread).
Cdispatch* setdispatch(Cdispatch* d);

// A message queue pumped by the thread that created it (the command-line tool's and the tests'
// user-interface thread). A send from that thread is handled at once; a send from any other
// thread waits until the pump has handled it.
class Cmsgloop : public Cdispatch {
public:
    Cmsgloop();
    ~Cmsgloop() override;
    void post(Cwindow* w, unsigned msg, uintptr_t wparam, intptr_t lparam) override;
    void send(Cwindow* w, unsigned msg, uintptr_t wparam, intptr_t lparam) override;
    // Handles every queued message; returns how many were handled.
    int pump();
    // Waits for messages and handles them until done() returns true (checked after each one).
    template <class Pred> void pumpuntil(Pred done)
    {
        while (!done()) {
            waitone();
            pump();
        }
    }

private:
    struct Item {
        Cwindow* w;
        unsigned msg;
        uintptr_t wparam;
        intptr_t lparam;
        bool* handled;   // non-null for a send: set once handled
    };
    void waitone();
    std::thread::id m_owner;
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<Item> m_items;
    Cdispatch* m_prev = nullptr;
};
