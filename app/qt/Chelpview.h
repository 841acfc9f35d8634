#pragma once
// The program's own help viewer: a text browser over the help pages in the program folder, with
// Back, Forward and Home, and links between pages followed inside it. One viewer per owner
// window: opening another page for the same owner shows it in the viewer already open. The
// viewer is a child window of its owner, so it takes input beside a modal tool, and closes with
// it. Links that leave the help pages (http:, mailto:) go to the desktop.
#include <QDialog>
#include <QUrl>

#include <string>

class QPushButton;
class QTextBrowser;
class QToolButton;

class Chelpview : public QDialog {
    Q_OBJECT
public:
    explicit Chelpview(QWidget* owner);

    // Shows file (a full path) in the viewer of owner, creating it when there is none, and
    // brings the viewer forward. False when the file cannot be read.
    static bool open(const QString& file, QWidget* owner);
    // The Help button of a window: opens page from the folder progdir (read at each click)
    // through the shell, whose desktop face shows it in this viewer. Its object name is "help".
    static QPushButton* button(QWidget* owner, const char* page, const std::string& progdir);

    QTextBrowser* browser() const { return m_browser; }
    QUrl page() const;

private:
    void settitle();

    QTextBrowser* m_browser = nullptr;
    QToolButton* m_back = nullptr;
    QToolButton* m_forward = nullptr;
    QToolButton* m_home = nullptr;
};
