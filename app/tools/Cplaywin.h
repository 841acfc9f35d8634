#pragma once
// What the file player and the recorder share: the context and the main window they tell about
// new current files, the playback engine of tools/Cplayeng, the title of the file to play with
// its Browse button, the lyrics choice with the lyrics window of a run, and the Help and Close
// row; Browse and drops by the one drop rule, and the messages of the engine and the lyrics
// window. Each window adds its own widgets, states and control rules. User-interface thread only.
#include "app/tools/Clyrchoice.h"
#include "convert/Ccontext.h"
#include "platform/Cwindow.h"
#include "tools/Cplayeng.h"

#include <QDialog>
#include <string>

class Clyrics;
class QGridLayout;
class QHBoxLayout;
class QLineEdit;
class QPushButton;
class QRadioButton;

class Cplaywin : public QDialog, public Cwindow {
public:
    ~Cplaywin() override;

    // Hands the devices' and the scheduler's messages to the engine and tells the window what
    // they meant; WM_CLOSELYR (the lyrics window was closed) stops the run.
    void handle(unsigned msg, uintptr_t wparam, intptr_t lparam) override;

    // The commands, as the buttons run them; nothing while busy().
    void browse();
    void dropfiles(const QStringList& paths);
    void setlyricsmode(int mode);
    void help();
    virtual void stop() = 0;

    int lyricsmode() const { return m_lyricsmode; }
    double position() const { return m_eng.position(); }
    double total() const { return m_total; }
    Clyrics* lyrics() const { return m_lyr.window(); }
    const Ctimeline& timeline() const { return m_eng.timeline(); }
    Csched* sched() const { return m_eng.sched(); }
    QRadioButton* lyricsradio(int mode) const { return m_lyr.radio(mode); }
    QPushButton* browsebutton() const { return m_browse; }

protected:
    // title: of the window; helppage: the page Help opens from the program folder.
    Cplaywin(Ccontext& ctx, Cwindow* mainwin, const char* title, const char* helppage, QWidget* parent);

    // The window's control rules, run after every change.
    virtual void controls() = 0;
    // A run or a paused run keeps the files as they are.
    virtual bool busy() const = 0;
    // A MIDI or WAVE file chosen with Browse (chosen) or dropped; kind other: an unknown file
    // chosen, after its box.
    virtual void load(Cplayeng::Kind kind, const std::string& path, bool chosen) = 0;
    // A message of the window's own (true when it was one); the rest go to the engine.
    virtual bool message(unsigned, intptr_t) { return false; }
    // The engine's new playing position, and the end of what played.
    virtual void moved() = 0;
    virtual void ended() = 0;

    // The title field across span columns of the second row of grid, Browse after it.
    void titlerow(QGridLayout* grid, QWidget* box, int span);
    // Help at the left, Close (accept) at the right.
    QHBoxLayout* helprow();
    // Shows the title and the total of the current file of kind; Kind::other clears the title.
    void showfile(Cplayeng::Kind kind);
    // Loads path as the current file of kind (midi or wave; nothing for another kind) with its
    // title, total and the lyrics mode it offers, and tells the main window. False when a MIDI
    // file could not be loaded: there is no current MIDI file and no title then.
    bool loadfile(Cplayeng::Kind kind, const std::string& path);

    Ccontext& m_ctx;
    Cwindow* m_mainwin;
    const char* m_helppage;
    int m_lyricsmode = 0;
    double m_total = 0;
    Cplayeng m_eng;
    Clyrchoice m_lyr;
    QLineEdit* m_title = nullptr;
    QPushButton* m_browse = nullptr;
    QPushButton* m_help = nullptr;
    QPushButton* m_close = nullptr;
};
