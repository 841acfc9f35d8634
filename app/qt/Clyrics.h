#pragma once
// The karaoke lyrics window: four lines in two pairs, sung syllable by syllable from white to
// red, with a countdown bar over long instrumental gaps (the logic is Clyricsstate). Framed, at
// half the screen's size in its centre, or beside or below its dialog when the centre would cover
// it; or full-screen without frame and with a blank pointer.
//
// Syllables arrive as WM_SYLLABLE messages with the timeline node as lParam: from the player's
// scheduler, or, while a WAVE file plays, from the window's own schedule, which runs on the timer
// thread and only posts those messages. The window never closes itself: a key, a click in
// full-screen or the window's close button posts WM_CLOSELYR to its owner, which deletes it. An
// owner that is a widget (the player's or the recorder's dialog) is the window's parent, so
// that its input gets through while that dialog is modal; the framed window keeps off it, also
// when the dialog is moved onto it later.
//
// With CANTORIX_LYRICSLOG naming a file, the window appends to it the start time and, at each
// change of a slot, the text it draws there in red and in white and where; the tests on a real
// X server compare that with the song and with the screen.
#include "midi/Clyricsstate.h"
#include "platform/Cwindow.h"

#include <QFont>
#include <QWidget>

#include <cstdio>
#include <mutex>
#include <string>

class QTimer;

class Clyrics : public QWidget, public Cwindow {
    Q_OBJECT
public:
    static const char* TITLE;      // "Cantorix - Lyrics", the full-screen window
    static const char* TITLEFOR;   // "Cantorix - Lyrics for ", followed by the file name

    // owner: gets WM_CLOSELYR. first: the first node of the player's timeline; startus: where
    // playing starts; selftimed: announce the syllables from the window's own schedule.
    Clyrics(Cwindow* owner, const std::string& filename, const Cnode* first, int division, double startus,
            bool selftimed, bool fullscreen);
    ~Clyrics() override;

    void handle(unsigned msg, uintptr_t wparam, intptr_t lparam) override;

    const Clyricsstate& lyrics() const { return m_state; }
    bool fullscreen() const { return m_full; }
    // Ends the own schedule; no syllable is posted once this returns.
    void stopschedule();

    static const QColor BACKGROUND;
    static constexpr int MINW = 160, MINH = 120;   // the smallest framed window placed beside the owner

    // Where the framed window goes: half the screen's size at its centre, unless that covers the
    // owner's frame; then in the largest room beside the owner within area (the screen less its
    // panels), smaller if it must. frame: the margins the window manager adds around the window.
    static QRect placement(const QRect& screen, const QRect& area, const QRect& owner, const QMargins& frame);
    // The largest pixel size of family whose ascent plus descent fit a line of g pixels.
    static QFont fitfont(const QString& family, int g);

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    bool event(QEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void place();               // the framed window beside its dialog
    static QMargins framemargins(const QWidget* w);
    void sync();
    void logslot(int i);
    void tick();
    const QFont& font();
    void schedule();            // with m_slock held
    void ontimer(unsigned id);

    Cwindow* m_owner;
    bool m_full;
    Clyricsstate m_state;
    QTimer* m_pausetimer = nullptr;
    QFont m_font;
    bool m_hasfont = false;
    std::FILE* m_log = nullptr;   // CANTORIX_LYRICSLOG: what each slot draws, for tests on a real screen

    // Own schedule (timer thread).
    std::mutex m_slock;
    bool m_selftimed = false;
    bool m_sstop = false;
    const Cnode* m_snode = nullptr;
    double m_sdue = 0;
    double m_stempo = 0;
    unsigned m_stimer = 0;
    unsigned m_period = 0;
};
