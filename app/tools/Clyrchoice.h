#pragma once
// What the player and the recorder show alike: the "Show lyrics" choice (None, Normal,
// Full-screen) with the lyrics window of a run, and a time display in a fixed-width font.
#include "convert/Ccontext.h"

#include <functional>
#include <memory>

class Clyrics;
class Cnode;
class Cwindow;
class QGroupBox;
class QLabel;
class QRadioButton;
class QWidget;

class Clyrchoice {
public:
    Clyrchoice();
    ~Clyrchoice();

    // The group of three choices; pick(mode) runs when one is clicked.
    QGroupBox* build(QWidget* parent, std::function<void(int)> pick);
    // Enables the choices (a karaoke file while nothing plays) and checks mode.
    void show(bool on, int mode);
    QRadioButton* radio(int mode) const { return m_radio[mode]; }

    // Opens the lyrics window for mode 1 (normal) or 2 (full-screen); nothing for mode 0 or
    // without a MIDI file. owner gets WM_CLOSELYR.
    void open(Cwindow* owner, const Ccontext& ctx, const Cnode* first, int mode, double startus, bool selftimed);
    // Stops the window's own schedule and hides it; it is deleted back in the event loop.
    void close();
    // Gives the open window the keyboard.
    void focus();
    Clyrics* window() const { return m_window.get(); }

    // A label in the fixed-width font, for times.
    static QLabel* timelabel(QWidget* parent);

private:
    QRadioButton* m_radio[3] = {};
    std::unique_ptr<Clyrics> m_window;
};
