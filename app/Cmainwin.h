#pragma once
// The main window: menu, toolbar, the titles of the current MIDI and WAVE files and the status
// line. It loads the current files (File/Open, dropped files), shows their properties, opens the
// tools and settings dialogs and the help pages. Runs on the user-interface thread; other
// windows reach it with WM_REFRESH after replacing a current file.
#include "convert/Ccontext.h"
#include "platform/Cwindow.h"

#include <QDialog>
#include <map>
#include <memory>

class QAction;
class QLabel;
class QMenuBar;
class QToolBar;

// Command ids, as the menus and the toolbar know them.
enum Cmd : int {
    ID_OPEN = 32783, ID_PROPERTIES = 32772, ID_CLEAR = 32784, ID_EXIT = 32773,
    ID_CONVERTER = 32774, ID_PLAYER = 32775, ID_RECORDER = 32776, ID_AUMIXER = 32777,
    ID_MP3 = 32785, ID_OPTIONS = 32778, ID_EFFECTS = 32782, ID_MIDIMIXER = 32779,
    ID_HELPMAIN = 32788, ID_TUTORIAL = 32789, ID_HELPMIDIC = 32796, ID_HELPPLAYER = 32792,
    ID_HELPRECOR = 32793, ID_HELPAUMIX = 32794, ID_HELPMP3 = 32795, ID_ABOUT = 32787,
};

class Cmainwin : public QDialog, public Cwindow {
    Q_OBJECT
public:
    explicit Cmainwin(Ccontext& ctx, QWidget* parent = nullptr);
    ~Cmainwin() override;

    static const char* TITLE;
    static const char* NONE;     // "(None)"
    static const char* READY;    // "Ready"

    void handle(unsigned msg, uintptr_t wparam, intptr_t lparam) override;

    // The commands, as the menu, the accelerators and the toolbar run them.
    void command(int id);
    QAction* action(int id) const;
    // Handles one dropped file list; only the first path counts.
    void dropfiles(const QStringList& paths);
    void loadwave(const std::string& path, const std::string& title);
    void loadmidi(const std::string& path, const std::string& title);
    // Opens a help page from the program folder, owned by owner.
    void help(const std::string& page, const void* owner);
    // Runs a tool: the main window is minimized while it runs and restored after.
    void runtool(QDialog* tool);
    QDialog* opentool() const { return m_tool; }

    QString miditext() const;
    QString wavetext() const;
    QString status() const;
    QToolBar* toolbar() const { return m_toolbar; }
    QMenuBar* menubar() const { return m_menubar; }

protected:
    bool event(QEvent* e) override;
    void changeEvent(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dropEvent(QDropEvent* e) override;

private:
    void buildmenus();
    void buildtoolbar();
    void cmdopen();
    void cmdclear();
    void cmdproperties();
    void setstatus(const QString& s);

    Ccontext& m_ctx;
    QMenuBar* m_menubar = nullptr;
    QToolBar* m_toolbar = nullptr;
    QLabel* m_midi = nullptr;
    QLabel* m_wave = nullptr;
    QLabel* m_status = nullptr;
    QDialog* m_tool = nullptr;
    std::map<int, QAction*> m_actions;
};
