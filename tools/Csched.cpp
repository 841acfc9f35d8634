#include "tools/Csched.h"

#include "midi/Cmidfil.h"
#include "midi/Cmixtab.h"
#include "midi/Midicodes.h"
#include "platform/Ctimer.h"
#include "platform/Cwindow.h"

#include <algorithm>
#include <cstring>
#include <chrono>
#include <pthread.h>
#include <sched.h>
#include <thread>

Csched::Csched(Cmidfil& file, const Ctimeline& timeline) : m_file(file), m_timeline(timeline)
{
    std::memset(m_sent, -1, sizeof m_sent);
}

Csched::~Csched()
{
    stop();
}

double Csched::nowus()
{
    using namespace std::chrono;
    return double(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void Csched::start()
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_cursor = m_timeline.first;
    m_tempo = Ctimeline::STARTTEMPO;
    m_due = m_origin = nowus();
    m_tailwaited = false;
    m_sysex = false;
    std::memset(m_sent, -1, sizeof m_sent);
    m_position.store(0, std::memory_order_relaxed);
    m_ended.store(false, std::memory_order_release);
    m_running.store(true, std::memory_order_release);
    run(lock, false);
}

void Csched::resume()
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_file.release();
    m_sysex = false;
    if (m_running.load(std::memory_order_relaxed) && m_timer == 0) run(lock, false);
}

void Csched::setscale(double scale)
{
    if (!(scale > 0)) scale = 1;
    unsigned id = 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const double now = nowus();
        // The wait for the next event shrinks or grows with the new scale; events before the
        // seek target stay due at once.
        if (m_running.load(std::memory_order_relaxed) && m_due > now &&
            m_position.load(std::memory_order_relaxed) >= m_seek)
            m_due = now + (m_due - now) * scale / m_scale;
        m_scale = scale;
        id = m_timer;
        m_timer = 0;
    }
    if (id == 0) return;   // nothing armed: a run or MM_MOM_DONE comes and uses the new due time
    // The timer armed for the old due time goes (a callback running now is waited for and finds
    // itself no longer armed); a run arms one for the new due time.
    timeKillEvent(id);
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_running.load(std::memory_order_relaxed) && m_timer == 0 && !m_sysex) run(lock, false);
}

double Csched::playing()
{
    std::lock_guard<std::mutex> lock(m_lock);
    const double position = m_position.load(std::memory_order_relaxed);
    if (!m_running.load(std::memory_order_relaxed) || position < m_seek) return position;
    // The next event is at `position`, due at m_due: until then the file's time lags behind it
    // by the rest of the wait, at the scale.
    const double wait = m_due - nowus();
    return wait > 0 ? std::max(0.0, position - wait / m_scale) : position;
}

void Csched::setkey(int halftones)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (halftones == m_key) return;
    m_key = halftones;
    if (m_running.load(std::memory_order_relaxed)) endnotes();
}

void Csched::sendnote(const Cmidiev& e)
{
    const int ch = e.channel() & 15, key = e.data1() & 127;
    int8_t& sent = m_sent[ch][key];
    const int out = ch == DRUMCHANNEL ? key : key + m_key;
    if (e.command() == midicmd::noteon && e.data2() != 0) {
        if (out < 0 || out > 127) return;
        sent = int8_t(out);
        m_file.sendmsg(uint8_t(e.status()), uint8_t(out), uint8_t(e.data2()));
    } else if (sent >= 0) {
        m_file.sendmsg(uint8_t(e.status()), uint8_t(sent), uint8_t(e.data2()));
        sent = -1;
    } else if (sent == ENDED) {
        sent = -1;   // ended at a key change already
    } else if (out >= 0 && out <= 127) {
        // A note-off the file sends for no note of its own, in the current key: in a key the
        // notes it could end only come from this key of the file, so it ends nothing else.
        m_file.sendmsg(uint8_t(e.status()), uint8_t(out), uint8_t(e.data2()));
    }
}

void Csched::endnotes()
{
    for (int ch = 0; ch < 16; ++ch)
        if (ch != DRUMCHANNEL)
            for (int key = 0; key < 128; ++key)
                if (m_sent[ch][key] >= 0) {
                    m_file.sendmsg(uint8_t(midicmd::noteoff << 4 | ch), uint8_t(m_sent[ch][key]), 0);
                    m_sent[ch][key] = ENDED;
                }
}

void Csched::stop()
{
    unsigned id;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_running.store(false, std::memory_order_release);
        id = m_timer;
        m_timer = 0;
    }
    // m_timer names the timer whose callback is pending or running for this schedule. A pending
    // one is cancelled; a running one is waited for: it finds the schedule stopped the next time
    // it holds the lock and returns.
    if (id) timeKillEvent(id);
    std::unique_ptr<Cmidiport> closed;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        closed = std::move(m_closed);
    }
}

void Csched::ontimer(unsigned id)
{
    raisepriority();
    std::unique_lock<std::mutex> lock(m_lock);
    if (id != m_timer) return;
    run(lock, true);
    if (m_timer == id) m_timer = 0;   // not armed again
}

bool Csched::arm(std::unique_lock<std::mutex>& lock, bool timerthread)
{
    const double wait = m_due - nowus();
    if (wait <= 0) return false;
    // On the timer thread an event due within the lead time is waited for here, without the
    // lock, so that stop() never waits long. The user-interface thread never waits: it leaves
    // every wait to the timer.
    if (timerthread && wait < LEADUS + 1000) {
        const Cnode* at = m_cursor;
        const double due = m_due;
        lock.unlock();
        waituntil(due);
        lock.lock();
        // Stopped meanwhile, or restarted: this run is over.
        return !m_running.load(std::memory_order_relaxed) || m_cursor != at;
    }
    // The timer wakes the schedule LEADUS early, so that a late wake-up of the timer thread
    // costs nothing; the rest of the wait is slept as above, to the microsecond.
    const double ms = std::max(0.0, (wait - LEADUS) / 1000);
    const unsigned id = timeSetEvent(unsigned(ms), [this](unsigned t) { ontimer(t); });
    if (id == 0) return false;   // a wait beyond the timer's range: the event is handled now
    m_timer = id;
    if (m_dialog) postmsg(m_dialog, WM_SCHEDULE);
    return true;
}

void Csched::raisepriority()
{
    // The timer thread does only short, time-critical work; where the system allows it, it runs
    // with a real-time priority so that a busy machine does not delay the notes. Without the
    // permission it keeps its normal priority.
    thread_local bool tried = false;
    if (tried) return;
    tried = true;
    sched_param param{};
    param.sched_priority = std::min(10, sched_get_priority_max(SCHED_FIFO));
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

void Csched::waituntil(double dueus)
{
    using namespace std::chrono;
    for (double left = dueus - nowus(); left > 0; left = dueus - nowus()) {
        if (left > 300) std::this_thread::sleep_for(microseconds(int64_t(left - 200)));
        else std::this_thread::yield();
    }
}

void Csched::run(std::unique_lock<std::mutex>& lock, bool timerthread)
{
    const int division = m_file.division > 0 ? m_file.division : 1;
    while (m_running.load(std::memory_order_relaxed) && m_cursor) {
        double position = m_position.load(std::memory_order_relaxed);
        // Before the seek target everything is due at once.
        if (position >= m_seek && arm(lock, timerthread)) return;
        if (!m_running.load(std::memory_order_relaxed)) return;
        const Cmidiev& e = *m_cursor->ev;
        bool sysex = false;
        switch (e.kind()) {
        case 1:
            m_file.sendlong(&e);
            sysex = true;
            break;
        case 0:
            if (e.command() == midicmd::noteoff || e.command() == midicmd::noteon) {
                if (position >= m_seek && !(m_mixer && m_mixer->muted(e.channel()))) sendnote(e);
            } else {
                m_file.sendshort(&e);
            }
            break;
        case 2:
            if (Ctimeline::istempo(e)) {
                m_tempo = Ctimeline::nexttempo(e, m_tempo);
            } else if ((e.metatype() == 1 || e.metatype() == 5) && m_lyrics && e.length() > 0 && e.data()
                       && e.data()[0] != 13 && position >= m_seek) {
                postmsg(m_lyrics, WM_SYLLABLE, 0, intptr_t(m_cursor));
            }
            break;
        default:
            break;
        }
        const Cnode* next = m_cursor->next;
        m_cursor = next;
        if (next) {
            const double dt = Ctimeline::usecs(double(next->ev->time) - e.time, m_tempo, division);
            position += dt;
            m_position.store(position, std::memory_order_relaxed);
            // The schedule keeps its own clock; while seeking, events follow at once.
            if (position >= m_seek) m_due += dt * m_scale;
            else m_due = nowus();
        }
        if (sysex) {
            m_sysex = true;
            if (m_dialog) postmsg(m_dialog, WM_SCHEDULE);
            return;   // MM_MOM_DONE brings the next run
        }
    }
    if (!m_running.load(std::memory_order_relaxed)) return;
    if (m_tail > 0) {
        if (!m_tailwaited) m_due += m_tail;
        m_tailwaited = true;
        if (arm(lock, timerthread)) return;
        if (!m_running.load(std::memory_order_relaxed)) return;
    }
    finish();
}

void Csched::finish()
{
    m_running.store(false, std::memory_order_release);
    m_position.store(0, std::memory_order_relaxed);
    m_ended.store(true, std::memory_order_release);
    m_file.notesoff();
    // Posts MM_MOM_CLOSE to the owner, which tidies up on its own thread and stops the schedule.
    m_closed = m_file.detach();
}
