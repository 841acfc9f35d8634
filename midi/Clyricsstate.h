#pragma once
// What the karaoke lyrics window shows, without any drawing library: the layout of its four
// line slots and countdown bar, the filling of lines from the player's timeline, the state step
// that moves the sung line from slot to slot and starts pauses, the syllable handling and the
// countdown timer. The window (app/qt/Clyrics) feeds it syllables and timer ticks and paints what
// drawslot() returns.
//
// Lines come in two pairs: slots 0 and 1, slots 2 and 3. While one pair is sung, syllable by
// syllable turning from white to red, the other pair already shows the next two lines. A gap of
// PAUSEMS or more before a line clears the screen (after a short countdown) and shows a bar.
//
// User-interface thread only.
#include "midi/Ctimeline.h"

#include <cstdint>
#include <functional>
#include <vector>

struct Crect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool operator==(const Crect&) const = default;
};

// A piece of a line: the text of one lyric event (or its rest after a leading line mark).
struct Clyrpiece {
    const Cnode* node = nullptr;
    const char* text = nullptr;
    int count = 0;
    int width = 0;   // pixels, set when the slot is measured
};

struct Clyrslot {
    enum Paint { empty = 0, white = 1, singing = 2, sung = 3 };
    Crect rect;
    int x = 0;          // where the first visible piece starts
    int scroll = 0;     // leading pieces still to scroll away
    int firstvis = 0;   // index of the first visible piece
    std::vector<Clyrpiece> pieces;
    int paint = empty;
    bool measure = true;
};

// One drawing step of a slot: fill a rectangle with the background, or draw text.
struct Cdrawop {
    bool text = false;
    Crect rect;                  // background fill
    int x = 0, y = 0;            // text: top-left corner
    const char* chars = nullptr;
    int count = 0;
    bool red = false;
};

class Clyricsstate {
public:
    static constexpr int PAUSEMS = 5000;      // a gap this long or longer pauses
    static constexpr int COUNTDOWN = 40;      // timer ticks (50 ms) before the next lines show
    static constexpr int TICKMS = 50;
    static constexpr int MAXTEXT = 259;
    // States: SING0 .. SING3 sing the line in slot 0 .. 3 (the state is that slot's index),
    // PAUSE waits out a long gap, START comes before the first step.
    enum { SING0 = 0, SING1 = 1, SING2 = 2, SING3 = 3, PAUSE = 4, START = 5 };
    // takedirty() bits: 1 << i for slot i, and this one for the countdown bar.
    static constexpr unsigned BARDIRTY = 16;

    // Text width in pixels of count characters in the window's font.
    using Measure = std::function<int(const char* text, int count)>;

    virtual ~Clyricsstate() = default;

    // Slot rectangles, bar and line height for a client area of w x h pixels; every slot is
    // measured again at its next drawing.
    void layout(int w, int h);
    // Positions the scan at startus microseconds from the start node, sets the start state and
    // runs the first state step at nowms. division: ticks per quarter note of the file. A start
    // inside a line shows that whole line, the syllables before startus already sung.
    void start(const Cnode* first, double startus, int division, uint32_t nowms);

    // A lyric event has been reached (from the player, or from the window's own schedule).
    void syllable(const Cnode* node, uint32_t nowms);
    // The 50 ms pause timer. Returns false when the timer is to stop.
    bool tick(uint32_t nowms);

    // The window's text measurement; without one every character is 10 pixels wide.
    void setmeasure(Measure m) { m_measure = std::move(m); }
    // Draws slot i as the window's drawing does: measures it when asked to, advances the
    // scrolling of a line being sung, and keeps what to paint in ops(i).
    void draw(int i);
    const std::vector<Cdrawop>& ops(int i) const { return m_ops[i & 3]; }

    // Slots whose look changed since the last call (bit i for slot i, BARDIRTY for the bar), and
    // clears the marks.
    unsigned takedirty();
    void markall() { m_dirty = 15; }

    // Time to the next lyric in milliseconds, leadus microseconds before the scan position
    // included; the scan stays on that lyric.
    int next(double leadus = 0);
    // Fills slot i with the next line from the scan position.
    void fill(int i);
    // Empties slot i.
    void clearslot(int i);
    // One state step at nowms.
    void step(uint32_t nowms);

    int state() const { return m_state; }
    int t1() const { return m_t1; }
    int t2() const { return m_t2; }
    bool intro() const { return m_intro; }
    bool timer() const { return m_timer; }
    bool bar() const { return m_bar; }
    // Elapsed part of the countdown bar, 0 .. 1, at nowms.
    double barfraction(uint32_t nowms) const;
    uint32_t pauseend() const { return m_pauseend; }
    int countdown() const { return m_ticks; }
    const Clyrslot& slot(int i) const { return m_slots[i & 3]; }
    Crect barrect() const { return m_bar_rect; }
    int lineheight() const { return m_g; }
    const Cnode* scan() const { return m_scan; }
    const Cnode* current() const { return m_cur; }
    // The scan's position at start(): the first node not before the start time, and how many
    // microseconds after the start time it comes.
    const Cnode* startnode() const { return m_startnode; }
    double startdelay() const { return m_startdelay; }
    double starttempo() const { return m_starttempo; }
    int division() const { return m_division; }

    static bool islyric(const Cmidiev& ev) { return ev.kind() == 2 && (ev.metatype() == 1 || ev.metatype() == 5); }

private:
    // A line as fill() makes it: the node its filling starts from, and its last syllable sung
    // before a start time (none when the start is not inside it).
    struct Cline {
        const Cnode* start = nullptr;
        const Cnode* sung = nullptr;
    };
    static Cline holding(const Cnode* first, const Cnode* at);
    void enterpause();
    void endpause(uint32_t nowms);
    void afterstep(uint32_t nowms);
    bool pausefollows() const;
    void passtempo(const Cnode* n);

    Clyrslot m_slots[4];
    std::vector<Cdrawop> m_ops[4];
    Measure m_measure;
    Crect m_bar_rect;
    int m_w = 0, m_g = 0;
    int m_state = START;
    const Cnode* m_scan = nullptr;
    int32_t m_scantick = 0;
    double m_tempo = Ctimeline::STARTTEMPO;
    int m_division = 1;
    int m_t1 = 0, m_t2 = 0;
    const Cnode* m_cur = nullptr;
    bool m_intro = true;
    uint32_t m_pauseend = 0;
    int m_ticks = 0;
    bool m_timer = false;   // the 50 ms pause timer runs
    bool m_bar = false;     // the countdown bar is shown
    unsigned m_dirty = 0;
    const Cnode* m_startnode = nullptr;
    const Cnode* m_linestart = nullptr;   // where the first fill starts when that is before the scan
    double m_startdelay = 0;
    double m_starttempo = Ctimeline::STARTTEMPO;
};
