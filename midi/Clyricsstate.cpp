#include "midi/Clyricsstate.h"

#include <algorithm>
#include <climits>

namespace {

// Signed distance a - b of two wrapping millisecond counts.
int32_t since(uint32_t a, uint32_t b)
{
    return int32_t(a - b);
}

}  // namespace

void Clyricsstate::layout(int w, int h)
{
    const int c = h * 12 / 100;
    const int g = h * 28 / 400;   // the line height
    const int d = g + 2 * c;
    m_w = w;
    m_g = g;
    const int tops[4] = {c, d, 2 * d, 3 * g + 5 * c};
    for (int i = 0; i < 4; ++i) {
        m_slots[i].rect = Crect{0, tops[i], w, tops[i] + g};
        m_slots[i].measure = true;
    }
    const int bartop = c + g + (c - g) / 2;
    m_bar_rect = Crect{w / 4, bartop, w / 4 + w / 2, bartop + g};
}

void Clyricsstate::start(const Cnode* first, double startus, int division, uint32_t nowms)
{
    m_division = division > 0 ? division : 1;
    m_tempo = Ctimeline::STARTTEMPO;
    // Walk to the first node that is not before the start time.
    double t = startus;
    const Cnode* n = first;
    int32_t prev = first ? first->ev->time : 0;
    while (n) {
        t -= Ctimeline::usecs(double(n->ev->time) - prev, m_tempo, m_division);
        prev = n->ev->time;
        if (t <= 0) break;
        m_tempo = Ctimeline::nexttempo(*n->ev, m_tempo);
        n = n->next;
    }
    m_scan = n;
    m_scantick = prev;
    m_startnode = n;
    m_startdelay = n ? -t : 0;
    m_starttempo = m_tempo;
    m_state = START;
    m_intro = true;
    m_cur = nullptr;
    // Started inside a line, the window shows that whole line: its filling starts where the
    // line starts, and the syllables before the start are drawn as sung.
    const Cline held = holding(first, n);
    m_linestart = held.start;
    step(nowms);
    if (held.sung) {
        m_cur = held.sung;
        if (m_state == SING2) {
            // Each drawing scrolls a long line by at most one piece per red piece; draw until
            // the sung part has scrolled as far as it goes.
            int firstvis = -1;
            while (firstvis != m_slots[2].firstvis) {
                firstvis = m_slots[2].firstvis;
                draw(2);
            }
        }
    }
}

// The fill() rules on lines, from the first node: the line whose syllables reach from before
// at to at or after it.
Clyricsstate::Cline Clyricsstate::holding(const Cnode* first, const Cnode* at)
{
    auto sings = [](const Cmidiev& ev) {   // what next() stops at
        return islyric(ev) && ev.length() > 0 && ev.data() && ev.data()[0] != 13;
    };
    if (!at) return {};
    const Cnode* held = at;   // the first syllable at or after the start
    while (held && !sings(*held->ev)) held = held->next;
    if (!held || held->ev->data()[0] == '/' || held->ev->data()[0] == '\\') return {};   // starts a line
    bool after = false;
    const Cnode* n = first;
    while (n) {
        while (n && !sings(*n->ev)) {
            after = after || n == at;
            n = n->next;
        }
        const Cnode* start = n;
        const Cnode* sung = nullptr;
        int chars = 0;
        for (; n; n = n->next) {
            after = after || n == at;
            const Cmidiev& ev = *n->ev;
            if (!islyric(ev) || !ev.data() || ev.length() <= 0) continue;
            const char* text = reinterpret_cast<const char*>(ev.data());
            int len = std::min<int>(ev.length(), MAXTEXT);
            if (text[0] == 13 || text[0] == '/' || text[0] == '\\') {
                if (chars > 0) {
                    if (text[0] == 13) n = n->next;
                    break;
                }
                --len;
            }
            if (len <= 0) continue;
            if (n == held) return after && sung ? Cline{start, sung} : Cline{};
            if (!after) sung = n;
            chars += len;
        }
        if (after) break;
    }
    return {};
}

int Clyricsstate::next(double leadus)
{
    double us = leadus;
    for (const Cnode* n = m_scan; n; n = n->next) {
        us += Ctimeline::usecs(double(n->ev->time) - m_scantick, m_tempo, m_division);
        m_scantick = n->ev->time;
        const Cmidiev& ev = *n->ev;
        if (islyric(ev) && ev.length() > 0 && ev.data() && ev.data()[0] != 13) {
            m_scan = n;
            return int(std::min(us * 0.001, double(INT_MAX)));
        }
        m_tempo = Ctimeline::nexttempo(ev, m_tempo);
    }
    m_scan = nullptr;
    return int(std::min(us * 0.001, double(INT_MAX)));
}

void Clyricsstate::fill(int i)
{
    Clyrslot& s = m_slots[i];
    s.pieces.clear();
    s.firstvis = 0;
    s.scroll = 0;
    int chars = 0;
    for (const Cnode* n = m_scan; n; n = n->next) {
        const Cmidiev& ev = *n->ev;
        if (islyric(ev) && ev.data()) {
            const char* text = reinterpret_cast<const char*>(ev.data());
            int len = std::min<int>(ev.length(), MAXTEXT);
            if (len > 0 && (text[0] == 13 || text[0] == '/' || text[0] == '\\')) {
                if (chars > 0) {
                    // A carriage return ends this line and is used up; a slash starts the next.
                    if (text[0] == 13) {
                        m_scan = n->next;
                        m_scantick = ev.time;
                    } else {
                        m_scan = n;
                    }
                    s.measure = true;
                    s.paint = s.pieces.empty() ? Clyrslot::empty : Clyrslot::white;
                    return;
                }
                ++text;
                --len;
            }
            if (len > 0) {
                s.pieces.push_back(Clyrpiece{n, text, len, 0});
                chars += len;
            }
        } else {
            m_tempo = Ctimeline::nexttempo(ev, m_tempo);
        }
        m_scantick = ev.time;
        m_scan = n->next;
    }
    m_scan = nullptr;
    s.measure = true;
    s.paint = s.pieces.empty() ? Clyrslot::empty : Clyrslot::white;
}

void Clyricsstate::clearslot(int i)
{
    Clyrslot& s = m_slots[i];
    s.pieces.clear();
    s.firstvis = s.scroll = 0;
    s.paint = Clyrslot::empty;
    s.measure = true;
}

void Clyricsstate::enterpause()
{
    m_state = PAUSE;
    fill(2);
    m_t2 = next();
    if (m_t2 < PAUSEMS) fill(3);
    else clearslot(3);
}

void Clyricsstate::step(uint32_t nowms)
{
    switch (m_state) {
    case START:
        m_t1 = next(m_startdelay);
        m_state = m_t1 < PAUSEMS ? SING2 : PAUSE;
        if (m_linestart) m_scan = m_linestart;   // started inside a line: all of it
        fill(2);
        draw(2);
        m_t2 = next();
        if (m_t2 < PAUSEMS) {
            fill(3);
            draw(3);
        }
        break;
    case SING0:
    case SING2: {
        // The first line of a pair is done; its partner follows, or a pause when T2 is long.
        if (m_t2 >= PAUSEMS) {
            m_t1 = m_t2;
            enterpause();
            break;
        }
        const int other = m_state == SING0 ? 2 : 0;   // the pair to fill for what comes next
        m_state += 1;                               // to the pair's second line
        m_t1 = next();
        if (m_t1 < PAUSEMS) {
            fill(other);
            m_t2 = next();
            if (m_t2 < PAUSEMS) fill(other + 1);
            else clearslot(other + 1);
            draw(other);
            draw(other + 1);
        }
        break;
    }
    case SING1:
    case SING3:
        if (m_t1 < PAUSEMS) m_state = m_state == SING1 ? SING2 : SING0;
        else enterpause();
        break;
    case PAUSE:
        m_state = SING2;
        break;
    default:
        break;
    }
    afterstep(nowms);
}

void Clyricsstate::afterstep(uint32_t nowms)
{
    if (m_state == PAUSE) {
        m_pauseend = nowms + uint32_t(std::max(m_t1, 0));
        // The intro shows its bar at once; a later pause keeps the last lines for about two
        // seconds first.
        m_ticks = m_intro ? 0 : COUNTDOWN;
        m_timer = true;
        return;
    }
    if (m_state >= SING0 && m_state <= SING3) {
        Clyrslot& s = m_slots[m_state];
        s.paint = s.pieces.empty() ? Clyrslot::empty : Clyrslot::singing;
    }
}

bool Clyricsstate::pausefollows() const
{
    if (m_state == SING0 || m_state == SING2) return m_t2 >= PAUSEMS;
    if (m_state == SING1 || m_state == SING3) return m_t1 >= PAUSEMS;
    return false;
}

void Clyricsstate::endpause(uint32_t nowms)
{
    m_pauseend = nowms;
    m_timer = false;
    if (m_bar) m_dirty |= BARDIRTY;
    m_bar = false;
}

void Clyricsstate::syllable(const Cnode* node, uint32_t nowms)
{
    m_cur = node;
    m_intro = false;
    if (m_state == PAUSE) {
        endpause(nowms);
        step(nowms);
        if (m_state <= SING3) draw(m_state);
    } else if (m_state <= SING3) {
        if (m_slots[m_state].paint == Clyrslot::sung) step(nowms);
        if (m_state <= SING3) draw(m_state);
    }
    if (m_state <= SING3 && m_slots[m_state].paint == Clyrslot::sung && pausefollows()) step(nowms);
}

bool Clyricsstate::tick(uint32_t nowms)
{
    if (!m_timer) return false;
    if (since(nowms, m_pauseend) >= 0) {
        m_timer = false;
        if (m_bar) m_dirty |= BARDIRTY;
        m_bar = false;
        return false;
    }
    if (m_ticks > 0) {
        if (--m_ticks == 1) {
            if (m_slots[2].pieces.empty()) {
                // No line follows: the song's lyrics are over.
                m_timer = false;
                for (int i = 0; i < 4; ++i) {
                    clearslot(i);
                    draw(i);
                }
                return false;
            }
            for (int i = 0; i < 2; ++i)
                if (!m_slots[i].pieces.empty()) {
                    clearslot(i);
                    draw(i);
                }
            draw(2);
            draw(3);
        }
        return true;
    }
    m_bar = true;
    m_dirty |= BARDIRTY;
    return true;
}

double Clyricsstate::barfraction(uint32_t nowms) const
{
    if (m_t1 <= 0) return 1;
    const double f = double(since(nowms, m_pauseend - uint32_t(m_t1))) / m_t1;
    return std::clamp(f, 0.0, 1.0);
}

unsigned Clyricsstate::takedirty()
{
    const unsigned d = m_dirty;
    m_dirty = 0;
    return d;
}

void Clyricsstate::draw(int i)
{
    Clyrslot& s = m_slots[i];
    std::vector<Cdrawop>& ops = m_ops[i];
    ops.clear();
    m_dirty |= 1u << i;
    const int n = int(s.pieces.size());
    if (s.measure) {
        int total = 0;
        for (Clyrpiece& p : s.pieces) {
            p.width = m_measure ? m_measure(p.text, p.count) : 10 * p.count;
            total += p.width;
        }
        const int w = s.rect.width();
        s.firstvis = 0;
        if (total <= w) {
            s.x = (w - total) / 2;
            s.scroll = 0;
        } else {
            // Start at the left; this many leading pieces must go before the rest fits.
            s.x = 0;
            int k = 0;
            while (total > w && k < n) total -= s.pieces[size_t(k++)].width;
            s.scroll = k;
        }
        s.measure = false;
    }
    Cdrawop bg;
    bg.rect = s.rect;
    ops.push_back(bg);
    if (s.paint == Clyrslot::empty) return;
    int x = s.rect.left + s.x;
    auto text = [&](const Clyrpiece& p, bool red) {
        Cdrawop op;
        op.text = true;
        op.x = x;
        op.y = s.rect.top;
        op.chars = p.text;
        op.count = p.count;
        op.red = red;
        ops.push_back(op);
        x += p.width;
    };
    int k = s.firstvis;
    if (s.paint == Clyrslot::singing && m_cur) {
        const int32_t curtick = m_cur->ev->time;
        while (k < n && s.pieces[size_t(k)].node->ev->time <= curtick) {
            const bool iscur = s.pieces[size_t(k)].node == m_cur;
            text(s.pieces[size_t(k)], true);
            ++k;
            if (s.scroll > 0 && x > s.rect.left + s.rect.width() / 2) {
                ++s.firstvis;
                --s.scroll;
            }
            if (iscur) break;
        }
    }
    const bool allred = s.paint == Clyrslot::sung;
    const bool anywhite = k < n && !allred;
    for (; k < n; ++k) text(s.pieces[size_t(k)], allred);
    if (s.paint == Clyrslot::singing && !anywhite) s.paint = Clyrslot::sung;
}
