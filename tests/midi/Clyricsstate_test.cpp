// The lyrics window's logic without a window: layout, line filling, the state step with its
// pauses and the scrolling of long lines. Files use division 1000 and no Set Tempo, so one tick is
// one millisecond.
#include "midi/Clyricsstate.h"

#include "midi/Cmidfil.h"
#include "midi/Midbytes.h"
#include "midi/Midfixture.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// (tick, text) of Lyric events on one track after a note at tick 0.
struct Song {
    Midfixture fix;
    Ctimeline tl;
    explicit Song(const std::vector<std::pair<int, std::string>>& lyrics)
    {
        Bytes ev = {0x00, 0x90, 60, 100};
        int prev = 0;
        for (const auto& [tick, text] : lyrics) {
            const Bytes m = Midbytes::meta(5, text, uint32_t(tick - prev));
            ev.insert(ev.end(), m.begin(), m.end());
            prev = tick;
        }
        ev.insert(ev.end(), {0x00, 0xFF, 0x2F, 0x00});
        EXPECT_TRUE(fix.read(Midbytes(1000, 0).track(ev).bytes()));
        tl.buildplayer(*fix.file);
    }
    // The lyric node with this text.
    const Cnode* node(const std::string& text) const
    {
        for (const Cnode* n = tl.first; n; n = n->next)
            if (Clyricsstate::islyric(*n->ev)
                && std::string(reinterpret_cast<const char*>(n->ev->data()), size_t(n->ev->length())) == text)
                return n;
        ADD_FAILURE() << "no lyric " << text;
        return nullptr;
    }
};

std::vector<std::string> line(const Clyricsstate& s, int slot)
{
    std::vector<std::string> out;
    for (const Clyrpiece& p : s.slot(slot).pieces) out.emplace_back(p.text, size_t(p.count));
    return out;
}

using Line = std::vector<std::string>;

}  // namespace

TEST(Clyricsstate, LayoutForAGivenSize) {
    Clyricsstate s;
    s.layout(800, 600);   // c = 72, g = 42, d = 186
    EXPECT_EQ(s.lineheight(), 42);
    const Crect want[4] = {{0, 72, 800, 114}, {0, 186, 800, 228}, {0, 372, 800, 414}, {0, 486, 800, 528}};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(s.slot(i).rect, want[i]) << i;
    EXPECT_EQ(s.barrect(), (Crect{200, 129, 600, 171}));
    s.layout(3, 7);   // tiny windows give empty rectangles, never negative ones
    for (int i = 0; i < 4; ++i) EXPECT_GE(s.slot(i).rect.height(), 0);
}

TEST(Clyricsstate, LineBreaksFromEachMarker) {
    Song song({{100, "Hel"}, {200, "lo"}, {300, "\r"}, {400, "One"}, {500, "/Two"}, {600, " three"},
               {700, "\\Four"}, {800, "\rFive"}, {900, "\r"}, {1000, "/Six"}, {1100, "\r"}});
    Clyricsstate s;
    s.layout(800, 600);
    s.start(song.tl.first, 0, 1000, 0);
    EXPECT_EQ(line(s, 2), (Line{"Hel", "lo"}));   // a lone carriage return ends the line, no piece
    EXPECT_EQ(line(s, 3), (Line{"One"}));         // "/" after text starts the next line
    s.fill(0);
    EXPECT_EQ(line(s, 0), (Line{"Two", " three"}));   // at a line's start the mark is dropped
    s.fill(1);
    EXPECT_EQ(line(s, 1), (Line{"Four"}));   // "\" after text; "\r" after text ends the line
    s.fill(2);
    EXPECT_EQ(line(s, 2), (Line{"Six"}));
    EXPECT_EQ(s.slot(2).paint, Clyrslot::white);
    s.fill(3);
    EXPECT_TRUE(line(s, 3).empty());
    EXPECT_EQ(s.slot(3).paint, Clyrslot::empty);
}

TEST(Clyricsstate, IntroPauseLaterPauseAndAGapJustShortOfIt) {
    // a: 5000 ms intro. d -> e: 5000 ms gap (pause with countdown). f -> g: 4999 ms (no pause).
    Song song({{5000, "a1"}, {5500, "a2"}, {5600, "\r"}, {6000, "b1"}, {6100, "\r"}, {7000, "c1"},
               {7100, "\r"}, {8000, "d1"}, {8100, "\r"}, {13100, "e1"}, {13200, "\r"}, {14000, "f1"},
               {14100, "\r"}, {19099, "g1"}, {19200, "\r"}, {19500, "h1"}});
    Clyricsstate s;
    s.layout(800, 600);
    s.start(song.tl.first, 0, 1000, 0);
    EXPECT_EQ(s.state(), Clyricsstate::PAUSE);
    EXPECT_EQ(s.t1(), 5000);
    EXPECT_EQ(s.countdown(), 0);   // the intro shows its bar at once
    EXPECT_TRUE(s.timer());
    EXPECT_TRUE(s.tick(50));
    EXPECT_TRUE(s.bar());
    EXPECT_NEAR(s.barfraction(2500), 0.5, 1e-9);
    EXPECT_EQ(line(s, 2), (Line{"a1", "a2"}));
    EXPECT_EQ(line(s, 3), (Line{"b1"}));

    s.syllable(song.node("a1"), 5000);
    EXPECT_EQ(s.state(), Clyricsstate::SING2);
    EXPECT_FALSE(s.timer());
    EXPECT_FALSE(s.bar());
    EXPECT_EQ(s.slot(2).paint, Clyrslot::singing);
    s.syllable(song.node("a2"), 5500);
    EXPECT_EQ(s.slot(2).paint, Clyrslot::sung);
    s.syllable(song.node("b1"), 6000);
    EXPECT_EQ(s.state(), Clyricsstate::SING3);
    EXPECT_EQ(line(s, 0), (Line{"c1"}));
    EXPECT_EQ(line(s, 1), (Line{"d1"}));
    s.syllable(song.node("c1"), 7000);
    EXPECT_EQ(s.state(), Clyricsstate::SING0);
    // d1 finishes its line and a 5000 ms gap follows: the pause starts at once, keeping the
    // lines on screen through the countdown.
    s.syllable(song.node("d1"), 8000);
    EXPECT_EQ(s.state(), Clyricsstate::PAUSE);
    EXPECT_EQ(s.t1(), 5000);
    EXPECT_EQ(s.countdown(), Clyricsstate::COUNTDOWN);
    EXPECT_EQ(line(s, 0), (Line{"c1"}));
    EXPECT_EQ(line(s, 2), (Line{"e1"}));
    EXPECT_EQ(line(s, 3), (Line{"f1"}));
    uint32_t now = 8000;
    for (int i = 0; i < 38; ++i) EXPECT_TRUE(s.tick(now += 50));
    EXPECT_FALSE(line(s, 0).empty());
    EXPECT_TRUE(s.tick(now += 50));   // the count reaches 1: the old pair goes
    EXPECT_TRUE(line(s, 0).empty());
    EXPECT_TRUE(line(s, 1).empty());
    EXPECT_FALSE(s.bar());
    EXPECT_TRUE(s.tick(now += 50));
    EXPECT_TRUE(s.tick(now += 50));
    EXPECT_TRUE(s.bar());

    s.syllable(song.node("e1"), 13100);
    EXPECT_EQ(s.state(), Clyricsstate::SING2);
    EXPECT_FALSE(s.bar());
    s.syllable(song.node("f1"), 14000);
    EXPECT_EQ(s.state(), Clyricsstate::SING3);
    EXPECT_EQ(s.t1(), 4999);
    EXPECT_EQ(line(s, 0), (Line{"g1"}));
    s.syllable(song.node("g1"), 19099);
    EXPECT_EQ(s.state(), Clyricsstate::SING0);   // 4999 ms: no pause
    EXPECT_FALSE(s.timer());
}

TEST(Clyricsstate, PauseEndsWhenItsTimeIsReached) {
    Song song({{6000, "x"}});
    Clyricsstate s;
    s.layout(400, 300);
    s.start(song.tl.first, 0, 1000, 100);
    EXPECT_TRUE(s.tick(5000));
    EXPECT_FALSE(s.tick(6100));   // now at the pause end: the timer stops, the bar goes
    EXPECT_FALSE(s.timer());
    EXPECT_FALSE(s.bar());
}

TEST(Clyricsstate, LongLineStartsLeftAndScrollsOnePieceAtATime) {
    std::vector<std::pair<int, std::string>> lyr;
    for (int i = 0; i < 8; ++i) lyr.push_back({100 * (i + 1), std::string(4, char('a' + i))});
    lyr.push_back({900, "\r"});
    lyr.push_back({1000, "zz"});
    Song song(lyr);
    Clyricsstate s;
    s.layout(200, 400);   // every character is 10 pixels: 8 pieces of 40 in a slot of 200
    s.start(song.tl.first, 0, 1000, 0);
    ASSERT_EQ(s.state(), Clyricsstate::SING2);
    const int firstvis[8] = {0, 0, 1, 2, 3, 3, 3, 3};
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        const int before = s.slot(2).firstvis;
        s.syllable(song.node(std::string(4, char('a' + i))), uint32_t(100 * (i + 1)));
        EXPECT_EQ(s.slot(2).firstvis, firstvis[i]);
        const std::vector<Cdrawop>& ops = s.ops(2);
        ASSERT_GE(ops.size(), 2u);
        EXPECT_FALSE(ops[0].text);   // background first
        // The drawing starts at the left edge with the first piece still visible.
        EXPECT_EQ(ops[1].x, 0);
        EXPECT_EQ(std::string(ops[1].chars, 1), std::string(1, char('a' + before)));
        int red = 0;
        for (const Cdrawop& op : ops) red += op.text && op.red;
        EXPECT_EQ(red, i + 1 - before);
    }
    EXPECT_EQ(s.slot(2).scroll, 0);
    EXPECT_EQ(s.slot(2).paint, Clyrslot::sung);
    // The last draw fits: it ends at the slot's right edge.
    EXPECT_EQ(s.ops(2).back().x + 40, 200);
    // A short line is centred.
    EXPECT_EQ(line(s, 3), (Line{"zz"}));
    s.draw(3);
    EXPECT_EQ(s.ops(3)[1].x, 90);

    // Started after the sixth piece, the line has scrolled as far as sung to there would have.
    Clyricsstate late;
    late.layout(200, 400);
    late.start(song.tl.first, 650000, 1000, 0);
    EXPECT_EQ(late.slot(2).firstvis, 3);
    EXPECT_EQ(late.ops(2)[1].x, 0);
    EXPECT_EQ(std::string(late.ops(2)[1].chars, 4), "dddd");
    EXPECT_TRUE(late.ops(2)[3].red);
    EXPECT_FALSE(late.ops(2)[4].red);
}

TEST(Clyricsstate, StartTimeSkipsEarlierLines) {
    Song song({{1000, "one"}, {1100, "\r"}, {3000, "two"}, {3100, "\r"}, {4000, "three"}});
    Clyricsstate s;
    s.layout(800, 600);
    s.start(song.tl.first, 2500000, 1000, 0);
    EXPECT_EQ(s.startnode(), song.node("two"));
    EXPECT_DOUBLE_EQ(s.startdelay(), 500000.0);
    EXPECT_EQ(line(s, 2), (Line{"two"}));
    EXPECT_EQ(s.state(), Clyricsstate::SING2);   // 500 ms to the first lyric: no intro pause
}

namespace {

// The pieces slot i draws, each with its colour: "Ala*" is red, "Ala" white.
Line drawn(const Clyricsstate& s, int i)
{
    Line out;
    for (const Cdrawop& op : s.ops(i))
        if (op.text) out.push_back(std::string(op.chars, size_t(op.count)) + (op.red ? "*" : ""));
    return out;
}

}  // namespace

TEST(Clyricsstate, StartInsideALineShowsAllOfItSungUpToTheStart) {
    Song song({{1000, "one"}, {1100, "\r"}, {2000, "Ala"}, {2200, "s my"}, {2400, " love"}, {2600, "\r"},
               {3000, "/you"}, {3200, " do"}, {3400, "\\me"}, {3600, " wrong"}});
    struct Case {
        double startus;
        Line slot2, slot3;
        int t1;
    } cases[] = {
        {2300000, {"Ala*", "s my*", " love"}, {"you", " do"}, 100},   // inside: the whole line
        {2000000, {"Ala", "s my", " love"}, {"you", " do"}, 0},       // at its first syllable
        {2700000, {"you", " do"}, {"me", " wrong"}, 300},             // after its end: the next
        {3100000, {"you*", " do"}, {"me", " wrong"}, 100},            // a line that a "/" starts
        {3300000, {"me", " wrong"}, {}, 100},                         // before a "\" line
        {500000, {"one"}, {"Ala", "s my", " love"}, 500},             // before the first lyric
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.startus);
        Clyricsstate s;
        s.layout(800, 600);
        s.start(song.tl.first, c.startus, 1000, 0);
        EXPECT_EQ(s.state(), Clyricsstate::SING2);
        EXPECT_EQ(s.t1(), c.t1);   // from the start time to the next syllable
        EXPECT_EQ(drawn(s, 2), c.slot2);
        EXPECT_EQ(line(s, 3), c.slot3);
    }
    // The next syllable carries on from the sung part, and the line after it follows as usual.
    Clyricsstate s;
    s.layout(800, 600);
    s.start(song.tl.first, 2300000, 1000, 0);
    s.syllable(song.node(" love"), 2400);
    EXPECT_EQ(drawn(s, 2), (Line{"Ala*", "s my*", " love*"}));
    EXPECT_EQ(s.slot(2).paint, Clyrslot::sung);
    s.syllable(song.node("/you"), 3000);
    EXPECT_EQ(s.state(), Clyricsstate::SING3);
    EXPECT_EQ(drawn(s, 3), (Line{"you*", " do"}));
    EXPECT_EQ(line(s, 0), (Line{"me", " wrong"}));
}
