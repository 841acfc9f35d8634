#pragma once
// What the file player and the recorder share: the context and the main window they tell about
// new current files, the playback engine of tools/Cplayeng, the title of the file to play with
// its Browse button, the lyrics choice with the lyrics window of a run, and the Help and Close
// row. Each window adds its own widgets, states and control rules. User-interface thread only.
#include "app/tools/Clyrchoice.h"
#include "convert/Ccontext.h"
#include "platform/Cwindow.h"
#include "tools/Cplayeng.h"

#include <QDialog>
#include <optional>
#include <string>
#include <utility>

class Clyrics;
class QGridLayout;
class QHBoxLayout;
class QLineEdit;
class QPushButton;
class QRadioButton;

class Cplaywin : public QDialog, public Cwindow {
public:
    ~Cplaywin() override;

    void setlyricsmode(int mode);
    void help();

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
    // The first file of a drop when it is a MIDI or WAVE file, by the one drop rule.
    static std::optional<std::pair<Cplayeng::Kind, std::string>> dropped(const QStringList& paths);

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
