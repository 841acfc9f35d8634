#include "tools/Csched.h"

#include "midi/Cmidfil.h"
#include "midi/Cmixtab.h"
#include "platform/Ctimer.h"
#include "platform/Cwindow.h"

#include <chrono>

Csched::Csched(Cmidfil& file, const Ctimeline& timeline) : m_file(file), m_timeline(timeline) {}

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
    std::lock_guard<std::mutex> lock(m_lock);
    m_cursor = m_timeline.first;
    m_tempo = Ctimeline::STARTTEMPO;
    m_due = m_origin = nowus();
    m_tailwaited = false;
    m_position.store(0, std::memory_order_relaxed);
    m_ended.store(false, std::memory_order_release);
    m_running.store(true, std::memory_order_release);
    run();
}

void Csched::resume()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_file.release();
    if (m_running.load(std::memory_order_relaxed) && m_timer == 0) run();
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
    // A callback of this timer that is running now (waiting for the lock) is waited for; it finds
    // its timer no longer current and returns without touching anything else.
    if (id) timeKillEvent(id);
}

void Csched::ontimer(unsigned id)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (id != m_timer) return;
    m_timer = 0;
    run();
}

bool Csched::arm(double dueus)
{
    // Whole milliseconds still to wait, truncated: less than one millisecond counts as due.
    const double wait = (dueus - nowus()) / 1000.0;
    if (wait < 1.0) return false;
    m_timer = timeSetEvent(unsigned(wait), [this](unsigned id) { ontimer(id); });
    if (m_timer == 0) return false;   // a wait beyond the timer's range: handle it now
    if (m_dialog) postmsg(m_dialog, WM_SCHEDULE);
    return true;
}

void Csched::run()
{
    if (!m_running.load(std::memory_order_relaxed)) return;
    const int division = m_file.division > 0 ? m_file.division : 1;
    while (m_cursor) {
        const Cmidiev& e = *m_cursor->ev;
        double position = m_position.load(std::memory_order_relaxed);
        // Before the seek target everything is due at once.
        if (position >= m_seek && arm(m_due)) return;
        bool sysex = false;
        switch (e.kind()) {
        case 1:
            m_file.sendlong(&e);
            sysex = true;
            break;
        case 0:
            if (e.command() == 8 || e.command() == 9) {
                if (position >= m_seek && !(m_mixer && m_mixer->muted(e.channel()))) m_file.sendshort(&e);
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
            if (position >= m_seek) m_due += dt;
            else m_due = nowus();
        }
        if (sysex) {
            if (m_dialog) postmsg(m_dialog, WM_SCHEDULE);
            return;   // MM_MOM_DONE brings the next run
        }
    }
    if (m_tail > 0 && !m_tailwaited) {
        m_tailwaited = true;
        m_due += m_tail;
        if (arm(m_due)) return;
    }
    finish();
}

void Csched::finish()
{
    m_running.store(false, std::memory_order_release);
    m_position.store(0, std::memory_order_relaxed);
    m_ended.store(true, std::memory_order_release);
    m_file.notesoff();
    m_file.close();   // posts MM_MOM_CLOSE to the owner, which tidies up on its own thread
}
