#pragma once
// The Qt faces of the platform layer, installed by the desktop program at start-up:
// - Cqtboxsink shows every msgbox() as a QMessageBox. A box raised on another thread is shown by
//   the user-interface thread while the caller waits (a blocking queued call).
// - Cqtpump delivers postmsg() through the Qt event queue and sendmsg() from other threads as a
//   blocking queued call; a send on the user-interface thread is a direct call. A window that is
//   also a QObject and is destroyed before delivery does not get the message.
// - Cqtshell uses QFileDialog, the folder browser and QDesktopServices::openUrl; the program's
//   help pages (".htm") open in its own help viewer instead (Chelpview).
// Owners passed as const void* are QWidget pointers; an owner that is no longer a live widget
// is ignored.
#include "platform/Cmsgbox.h"
#include "platform/Cshell.h"
#include "platform/Cwindow.h"

#include <QString>
#include <string>

class QWidget;

QWidget* ownerwidget(const void* owner);

class Cqtboxsink : public Cboxsink {
public:
    void show(const Cbox& box) override;
    bool askreplace(const Cbox& box) override;
};

class Cqtpump : public Cdispatch {
public:
    void post(Cwindow* w, unsigned msg, uintptr_t wparam, intptr_t lparam) override;
    void send(Cwindow* w, unsigned msg, uintptr_t wparam, intptr_t lparam) override;
};

class Cqtshell : public Cshell {
public:
    std::optional<Cfilepick> openfile(const Cfilereq& req) override;
    std::optional<Cfilepick> savefile(const Cfilereq& req) override;
    std::optional<std::string> browsefolder(const std::string& title, const void* owner) override;
    bool openpath(const std::string& file, const std::string& dir, const void* owner) override;
};

// Installs the three faces for the life of the object.
class Cqtfaces {
public:
    Cqtfaces();
    ~Cqtfaces();

private:
    Cqtboxsink m_box;
    Cqtpump m_pump;
    Cqtshell m_shell;
    Cboxsink* m_prevbox;
    Cdispatch* m_prevpump;
    Cshell* m_prevshell;
};

// A path or title in the local 8-bit encoding, as Qt shows it.
inline QString qs(const std::string& s) { return QString::fromLocal8Bit(s.data(), qsizetype(s.size())); }
