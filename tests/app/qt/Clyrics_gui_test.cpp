// The lyrics window: its two forms, drawing before, during and after a sung line, a scrolled line
// on screen against a fresh window, the font and the place beside its owner, close requests,
// resizing and the own schedule. Offscreen here; tests/integration/gui_lyrics.sh runs them on X.
#include "app/qt/Clyrics.h"

#include "app/Fixtures.h"
#include "app/Guitest.h"
#include "midi/Cmidfil.h"
#include "midi/Midbytes.h"
#include "platform/Ctimer.h"

#include <QDir>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

struct Owner : Cwindow {
    int closes = 0;
    void handle(unsigned msg, uintptr_t, intptr_t) override { closes += msg == WM_CLOSELYR; }
};

using Words = std::vector<std::pair<int, std::string>>;

// A karaoke file (division 96, no Set Tempo: 96 ticks a second), by default with two lines and a
// third after a long gap.
struct Karaoke {
    Tempdir dir;
    std::unique_ptr<Cmidfil> mid;
    Ctimeline tl;
    explicit Karaoke(const Words& words = {{24, "Green"}, {12, "sleeves "}, {12, "was "}, {12, "all "}, {12, "my "},
                                           {12, "joy"}, {12, "\r"}, {12, "Lady "}, {12, "Green"}, {12, "sleeves"},
                                           {12, "\r"}, {960, "Later"}})
    {
        Bytes ev = {0x00, 0x90, 60, 100};
        for (const auto& [delta, text] : words) {
            const Bytes m = Midbytes::meta(5, text, uint32_t(delta));
            ev.insert(ev.end(), m.begin(), m.end());
        }
        writebytes(dir.file("g.kar"), midifile(ev));
        mid = std::make_unique<Cmidfil>(dir.file("g.kar"));
        EXPECT_TRUE(mid->rdmidi());
        tl.buildplayer(*mid);
    }
    const Cnode* lyric(int k) const
    {
        int i = 0;
        for (const Cnode* n = tl.first; n; n = n->next)
            if (Clyricsstate::islyric(*n->ev) && n->ev->data()[0] != 13 && i++ == k) return n;
        return nullptr;
    }
};

// The window's pixels as the screen shows them (on X, what the server holds; offscreen, the
// backing store), not a fresh rendering as grab() makes.
QImage onscreen(QWidget& w)
{
    QApplication::processEvents();
    QTest::qWait(100);
    return w.screen()->grabWindow(w.winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

}  // namespace

TEST(Clyrics, NormalAndFullScreenWindowsBeforeDuringAndAfterALine) {
    Karaoke k;
    Owner owner;
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    for (bool full : {false, true}) {
        SCOPED_TRACE(full);
        Clyrics w(&owner, "g.kar", k.tl.first, k.mid->division, 0, false, full);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        const std::string name = full ? "lyrics-fullscreen" : "lyrics-normal";
        if (full) {
            EXPECT_EQ(w.windowTitle(), "Cantorix - Lyrics");
            EXPECT_EQ(w.size(), screen.size());
            EXPECT_EQ(w.cursor().shape(), Qt::BlankCursor);
            EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
        } else {
            EXPECT_EQ(w.windowTitle(), "Cantorix - Lyrics for g.kar");
            EXPECT_EQ(w.size(), screen.size() / 2);
        }
        EXPECT_EQ(w.lyrics().state(), Clyricsstate::SING2);   // 250 ms to the first syllable: no intro pause
        QApplication::processEvents();
        EXPECT_TRUE(shot(&w, name + "-before"));
        for (int i = 0; i < 3; ++i) w.handle(WM_SYLLABLE, 0, intptr_t(k.lyric(i)));
        QApplication::processEvents();
        EXPECT_TRUE(shot(&w, name + "-during"));
        const QImage during = w.grab().toImage();
        const QRect slot2(0, w.lyrics().slot(2).rect.top, w.width(), w.lyrics().lineheight());
        int red = 0, white = 0;
        for (int y = slot2.top(); y < slot2.bottom(); ++y)
            for (int x = 0; x < w.width(); ++x) {
                const QColor c = during.pixelColor(x, y);
                red += c.red() > 200 && c.green() < 60;
                white += c.red() > 200 && c.green() > 200;
            }
        EXPECT_GT(red, 0);
        EXPECT_GT(white, 0);
        EXPECT_EQ(during.pixelColor(1, 1), QColor(0, 108, 108));
        for (int i = 3; i < 6; ++i) w.handle(WM_SYLLABLE, 0, intptr_t(k.lyric(i)));
        EXPECT_EQ(w.lyrics().slot(2).paint, Clyrslot::sung);
        QApplication::processEvents();
        EXPECT_TRUE(shot(&w, name + "-after"));
    }
}

TEST(Clyrics, KeysAndFullScreenClicksAskTheOwnerToClose) {
    Karaoke k;
    Owner owner;
    Cmsgloop loop;
    {
        Clyrics w(&owner, "g.kar", k.tl.first, k.mid->division, 0, false, false);
        QTest::mouseClick(&w, Qt::LeftButton);
        loop.pump();
        EXPECT_EQ(owner.closes, 0);   // a click in the framed window does nothing
        QTest::keyClick(&w, Qt::Key_A);
        loop.pump();
        EXPECT_EQ(owner.closes, 1);
        w.close();   // the close button asks too, and the window stays
        loop.pump();
        EXPECT_EQ(owner.closes, 2);
        EXPECT_TRUE(w.isVisible());
        const int g = w.lyrics().lineheight();
        w.resize(w.width() / 2, w.height() / 2);
        EXPECT_EQ(w.lyrics().lineheight(), (w.height() * 28) / 400);
        EXPECT_LT(w.lyrics().lineheight(), g);
    }
    Clyrics f(&owner, "g.kar", k.tl.first, k.mid->division, 0, false, true);
    QTest::mouseClick(&f, Qt::LeftButton);
    loop.pump();
    EXPECT_EQ(owner.closes, 3);
}

TEST(Clyrics, OwnScheduleAnnouncesTheSyllablesInTime) {
    Karaoke k;
    Owner owner;
    Cmsgloop loop;
    const auto start = std::chrono::steady_clock::now();
    // Starting 1.2 s in: the first line and "Lady " are past.
    Clyrics w(&owner, "g.kar", k.tl.first, k.mid->division, 1200000, true, false);
    EXPECT_EQ(timeperiods(), 1);
    loop.pumpuntil([&] { return w.lyrics().current() == k.lyric(8); });
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 170);   // "Green" at 1.25 s, "sleeves" at 1.375 s: 175 ms in
    EXPECT_LT(ms, 2000);
    // The line is sung and a 10-second gap follows: the pause has begun.
    EXPECT_EQ(w.lyrics().state(), Clyricsstate::PAUSE);
    EXPECT_EQ(w.lyrics().slot(2).pieces.size(), 1u);   // the line after the gap waits in slot 2
    w.stopschedule();
    EXPECT_EQ(timeperiods(), 0);
}

TEST(Clyrics, AScrolledLineOnScreenEqualsAFreshWindowAtTheSameSyllable) {
    // One line far wider than the window: it starts at the left and scrolls as it is sung.
    Words words = {{24, "Greensleeves "}};
    for (int i = 0; i < 24; ++i) words.push_back({12, i % 2 ? "my " : "joy "});
    Karaoke k(words);
    Owner owner;
    const QString dir = QString(CANTORIX_BUILD_DIR) + "/screenshots";
    QDir().mkpath(dir);
    const int sung = 18;
    QImage scrolled;
    {
        Clyrics w(&owner, "long.kar", k.tl.first, k.mid->division, 0, false, false);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        for (int i = 0; i < sung; ++i) {
            w.handle(WM_SYLLABLE, 0, intptr_t(k.lyric(i)));
            onscreen(w);   // each syllable reaches the screen before the next
        }
        ASSERT_GT(w.lyrics().slot(2).firstvis, 1);
        scrolled = onscreen(w);
        scrolled.save(dir + "/lyrics-scrolled.png");
    }
    Clyrics fresh(&owner, "long.kar", k.tl.first, k.mid->division, 0, false, false);
    for (int i = 0; i < sung; ++i) fresh.handle(WM_SYLLABLE, 0, intptr_t(k.lyric(i)));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&fresh));
    const QImage once = onscreen(fresh);
    once.save(dir + "/lyrics-fresh.png");
    ASSERT_EQ(scrolled.size(), once.size());
    int differ = 0;
    for (int y = 0; y < once.height(); ++y)
        for (int x = 0; x < once.width(); ++x) differ += scrolled.pixel(x, y) != once.pixel(x, y);
    EXPECT_EQ(differ, 0);
}

TEST(Clyrics, WholeGlyphsFitTheLineAndTheFramedWindowKeepsOffItsOwner) {
    for (int g : {8, 21, 35, 71}) {
        const QFontMetrics fm(Clyrics::fitfont("Arial", g));
        EXPECT_LE(fm.ascent() + fm.descent(), g) << g;
        QFont larger = Clyrics::fitfont("Arial", g);
        larger.setPixelSize(larger.pixelSize() + 1);
        EXPECT_GT(QFontMetrics(larger).ascent() + QFontMetrics(larger).descent(), g) << g;
    }
    const QRect screen(0, 0, 1280, 1024), area(0, 0, 1280, 1000);   // a panel at the bottom
    const QMargins frame(2, 20, 2, 2);
    // A dialog in the corner leaves the centre free.
    EXPECT_EQ(Clyrics::placement(screen, area, QRect(0, 0, 300, 200), frame), QRect(320, 256, 640, 512));
    // A dialog at the centre: beside it, whole within the area, on no pixel of the dialog.
    for (const QRect owner : {QRect(454, 371, 372, 282), QRect(100, 300, 400, 600), QRect(800, 50, 300, 900)}) {
        const QRect r = Clyrics::placement(screen, area, owner, frame);
        EXPECT_FALSE(r.marginsAdded(frame).intersects(owner)) << r.x() << "," << r.y();
        EXPECT_TRUE(area.contains(r.marginsAdded(frame))) << r.x() << "," << r.y();
        EXPECT_GE(r.width(), Clyrics::MINW);
        EXPECT_GE(r.height(), Clyrics::MINH);
    }
    // A dialog as large as the screen leaves no room: the centre it is.
    EXPECT_EQ(Clyrics::placement(screen, area, screen, frame), QRect(320, 256, 640, 512));
}
