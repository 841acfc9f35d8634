#include "convert/Cchanseq.h"

#include "synth/Csynth.h"

Cchanseq::Cchanseq(Csynth& synth, int channel) : m_synth(synth), m_chan(synth, channel) {}

Cchanseq::~Cchanseq() = default;

void Cchanseq::rewind()
{
    m_chan.rewind();
    m_tick = 0;
    m_cursor = m_events.first;
}

void Cchanseq::advance(int n, double spt, double tps, const std::atomic<bool>& abort)
{
    int done = 0;
    while (done < n && !abort.load(std::memory_order_relaxed)) {
        if (!m_cursor || m_tick >= m_events.last->ev->time) {
            // Everything left is due now; after it the voices just sound on.
            for (; m_cursor && !abort.load(std::memory_order_relaxed); m_cursor = m_cursor->next)
                dispatch(*m_cursor->ev);
            if (active() && !abort.load(std::memory_order_relaxed)) render(n - done);
            return;
        }
        const double ahead = m_cursor->ev->time - m_tick;
        if (ahead <= 0) {
            dispatch(*m_cursor->ev);
            m_cursor = m_cursor->next;
            continue;
        }
        // Whole samples until the event; compared as a double first so a far event cannot
        // overflow the conversion.
        const double until = ahead * spt;
        const int k = until >= n - done ? n - done : int(until);
        if (k > 0) {
            if (active()) render(k);
            m_synth.mixpos += k;
            done += k;
            m_tick += k * tps;
        } else {
            // Less than one sample ahead: played at the current sample.
            dispatch(*m_cursor->ev);
            m_cursor = m_cursor->next;
        }
    }
}
