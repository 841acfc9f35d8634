#pragma once
// Messages to windows. A "window" is any object that implements Creceiver. postmsg() queues a
// message for the user-interface thread and returns at once; sendmsg() returns only after the
// receiver has handled it (the render thread's progress and end messages rely on that).
//
// Delivery goes through the installed Cmsgpump: the desktop program installs one that uses the
// Qt event loop; the command-line tool and the tests use Cqueuepump, a plain queue that the
// owning thread pumps. A message whose receiver has been destroyed before delivery is dropped.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

constexpr unsigned WM_USER = 0x400;
constexpr unsigned WM_PROGRESS = WM_USER + 1;   // lParam = percent done
constexpr unsigned WM_FINISHED = WM_USER + 2;   // the render thread has ended
constexpr unsigned WM_REFRESH = WM_USER + 3;    // the current files changed
constexpr unsigned WM_TICK = WM_USER + 4;       // refresh slider or progress and time
constexpr unsigned WM_CLOSELYR = WM_USER + 5;   // close the lyrics window
constexpr unsigned WM_LYRIC = WM_USER + 6;      // lParam = timeline node of the syllable

struct Cmsg {
    unsigned msg = 0;
    uintptr_t wparam = 0;
    intptr_t lparam = 0;
};

class Creceiver {
public:
    Creceiver() : m_alive(std::make_shared<int>(0)) {}
    virtual ~Creceiver() = default;
    Creceiver(const Creceiver&) = delete;
    Creceiver& operator=(const Creceiver&) = delete;

    // Runs on the user-interface thread (the pumping thread for Cqueuepump).
    virtual void receive(const Cmsg& m) = 0;

    // Expires when the receiver is destroyed; pumps check it before delivering.
    std::weak_ptr<int> alive() const { return m_alive; }

private:
    std::shared_ptr<int> m_alive;
};

class Cmsgpump {
public:
    virtual ~Cmsgpump() = default;
    virtual void post(Creceiver* to, const Cmsg& m) = 0;
    virtual void send(Creceiver* to, const Cmsg& m) = 0;
};

void postmsg(Creceiver* to, unsigned msg, uintptr_t wparam = 0, intptr_t lparam = 0);
void sendmsg(Creceiver* to, unsigned msg, uintptr_t wparam = 0, intptr_t lparam = 0);

// Installs a pump for the whole process and returns the previous one; null restores the
// process's own Cqueuepump, whose pumping thread is the main thread.
Cmsgpump* setmsgpump(Cmsgpump* pump);
// The process's own queue (for the command-line tool and the tests).
class Cqueuepump& mainqueue();

// A plain queue. The thread that constructed it (or the one named by setowner) is the
// "user-interface thread": send() from that thread delivers at once; from any other thread it
// queues the message and waits until the owner has pumped it.
class Cqueuepump : public Cmsgpump {
public:
    Cqueuepump() : m_owner(std::this_thread::get_id()) {}
    void setowner(std::thread::id id) { m_owner = id; }

    void post(Creceiver* to, const Cmsg& m) override;
    void send(Creceiver* to, const Cmsg& m) override;

    // Delivers every queued message in order, including those queued while pumping; returns
    // how many were delivered. Call from the owning thread only.
    int pump();
    // Waits up to ms milliseconds for a message, then pumps; returns the number delivered.
    int wait(int ms);
    size_t pending() const;

private:
    struct Entry {
        Creceiver* to;
        std::weak_ptr<int> alive;
        Cmsg msg;
        bool* done;   // set for a sent message; the sender waits on it
    };
    mutable std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<Entry> m_queue;
    std::thread::id m_owner;
};
