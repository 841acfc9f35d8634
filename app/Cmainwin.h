#pragma once
// The main window: menu, toolbar, the titles of the current MIDI and WAVE files and the status
// line. It loads the current files (File/Open, dropped files), shows their properties, opens the
// tools and settings dialogs and the help pages. Runs on the user-interface thread; other
// windows reach it with WM_REFRESH after replacing a current file.
#include "app/qt/Cicons.h"
#include "convert/Ccontext.h"
#include "platform/Cwindow.h"
#include "tools/Cplayeng.h"

#include <QDialog>
#include <map>
#include <memory>

class QAction;
class QLabel;
class QMenuBar;
class QToolBar;

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
    // The files of the command line ("cantorix FILE...", or a file manager's "Open with"): the
    // first MIDI or karaoke file and the first WAVE file are loaded as File/Open loads them,
    // by extension; relative paths are taken from the current folder. When none of them is
    // either kind, the first one gets File/Open's "Unknown file type" box.
    void openfiles(const QStringList& args);
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

private:
    void buildmenus();
    void buildtoolbar();
    void cmdopen();
    void load(Cplayeng::Kind kind, const std::string& path);
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
