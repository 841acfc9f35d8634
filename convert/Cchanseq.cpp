#include "convert/Cchanseq.h"

#include "synth/Csynth.h"
#include "synth/Cvoicerun.h"

#include <algorithm>

Cchanseq::Cchanseq(Csynth& synth, int channel) : m_synth(synth), m_chan(synth, channel) {}

Cchanseq::~Cchanseq() = default;

void Cchanseq::rewind()
{
    m_chan.rewind();
    m_tick = 0;
    m_next = 0;
    m_n = m_done = m_left = 0;
}

int Cchanseq::advanceto(int upto, int limit, int at, double spt, double tps, const std::atomic<bool>& abort)
{
    constexpr int JOB = Cvoicerun::JOB;
    upto = std::min(upto, m_n);
    while (m_done < upto && !abort.load(std::memory_order_relaxed)) {
        if (m_left > 0) {
            // A silent run adds nothing, so it may stop anywhere.
            int k = std::min(m_left, upto - m_done);
            if (m_sounding) {
                k = std::min(m_left, (upto - m_done + JOB - 1) / JOB * JOB);
                if (m_done + k > limit) k = (limit - m_done) / JOB * JOB;
                if (k <= 0) break;
                m_synth.mixpos = at + m_done;
                render(k);
            }
            m_done += k;
            m_left -= k;
            if (!m_left && !m_final) m_tick += m_run * tps;
            continue;
        }
        if (m_next == m_events.size() || m_tick >= m_events.back()->time) {
            // Everything left is due now; after it the voices just sound on to the end.
            for (; m_next < m_events.size() && !abort.load(std::memory_order_relaxed); ++m_next)
                dispatch(m_events[m_next]);
            startrun(m_n - m_done, true);
            continue;
        }
        const double ahead = m_events[m_next]->time - m_tick;
        if (ahead <= 0) {
            dispatch(m_events[m_next++]);
            continue;
        }
        // Whole samples until the event; compared as a double first so a far event cannot
        // overflow the conversion.
        const double until = ahead * spt;
        const int k = until >= m_n - m_done ? m_n - m_done : int(until);
        if (k > 0) {
            startrun(k, false);
        } else {
            // Less than one sample ahead: played at the current sample.
            dispatch(m_events[m_next++]);
        }
    }
    return m_done;
}
