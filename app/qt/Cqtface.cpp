#include "app/qt/Cqtface.h"

#include "app/qt/Chelpview.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QUrl>

#include <functional>

namespace {

bool onuithread()
{
    return QThread::currentThread() == qApp->thread();
}

std::string ss(const QString& s) { return s.toLocal8Bit().toStdString(); }

// Shows the box; with ask, the buttons are Replace and Cancel (the default) and the answer is
// whether Replace was pressed.
bool showbox(const Cbox& box, bool ask)
{
    QMessageBox::Icon icon = QMessageBox::Critical;
    if (box.icon == Boxicon::warning) icon = QMessageBox::Warning;
    if (box.icon == Boxicon::information) icon = QMessageBox::Information;
    QMessageBox mb(icon, qs(box.caption), qs(box.text), QMessageBox::NoButton, ownerwidget(box.owner));
    // The file's path goes under the text, selectable so that it can be copied.
    if (!box.detail.empty()) mb.setInformativeText(qs(box.detail));
    mb.setTextInteractionFlags(Qt::TextSelectableByMouse);
    QAbstractButton* yes = nullptr;
    if (ask) {
        yes = mb.addButton("&Replace", QMessageBox::DestructiveRole);
        mb.setDefaultButton(mb.addButton(QMessageBox::Cancel));
    } else {
        mb.addButton(QMessageBox::Ok);
    }
    mb.exec();
    return yes && mb.clickedButton() == yes;
}

bool onui(const Cbox& box, bool ask)
{
    if (onuithread()) return showbox(box, ask);
    bool answer = false;
    QMetaObject::invokeMethod(qApp, [&] { answer = showbox(box, ask); }, Qt::BlockingQueuedConnection);
    return answer;
}

// Calls w unless it is a QObject that has been destroyed since the message was queued.
std::function<void()> delivery(Cwindow* w, unsigned msg, uintptr_t wparam, intptr_t lparam)
{
    QPointer<QObject> guard(dynamic_cast<QObject*>(w));
    const bool guarded = !guard.isNull();
    return [=] {
        if (guarded && guard.isNull()) return;
        w->handle(msg, wparam, lparam);
    };
}

std::optional<Cfilepick> filedialog(const Cfilereq& req, bool save)
{
    QFileDialog dlg(ownerwidget(req.owner));
    dlg.setNameFilters(qs(qtfilter(req.filter)).split(";;"));
    // A dialog that names a file to be written (a Save dialog, or an Open dialog that takes a new
    // name) is a Save dialog to the person, titled so.
    if (save || req.anyname) {
        dlg.setAcceptMode(QFileDialog::AcceptSave);
        dlg.setWindowTitle("Save");
    } else {
        dlg.setAcceptMode(QFileDialog::AcceptOpen);
        dlg.setWindowTitle("Open");
    }
    dlg.setFileMode(save || req.anyname ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (!req.defext.empty()) dlg.setDefaultSuffix(qs(req.defext));
    if (!req.startdir.empty()) dlg.setDirectory(qs(req.startdir));
    if (!req.name.empty()) dlg.selectFile(qs(req.name));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
    return makepick(ss(dlg.selectedFiles().first()));
}

}

QWidget* ownerwidget(const void* owner)
{
    if (!owner) return nullptr;
    for (QWidget* w : QApplication::allWidgets())
        if (static_cast<const void*>(w) == owner) return w;
    return nullptr;
}

void Cqtboxsink::show(const Cbox& box) { onui(box, false); }
bool Cqtboxsink::askreplace(const Cbox& box) { return onui(box, true); }

void Cqtpump::post(Cwindow* w, unsigned msg, uintptr_t wparam, intptr_t lparam)
{
    if (w) QMetaObject::invokeMethod(qApp, delivery(w, msg, wparam, lparam), Qt::QueuedConnection);
}

void Cqtpump::send(Cwindow* w, unsigned msg, uintptr_t wparam, intptr_t lparam)
{
    if (!w) return;
    if (onuithread())
        w->handle(msg, wparam, lparam);
    else
        QMetaObject::invokeMethod(qApp, delivery(w, msg, wparam, lparam), Qt::BlockingQueuedConnection);
}

std::optional<Cfilepick> Cqtshell::openfile(const Cfilereq& req) { return filedialog(req, false); }
std::optional<Cfilepick> Cqtshell::savefile(const Cfilereq& req) { return filedialog(req, true); }

std::optional<std::string> Cqtshell::browsefolder(const std::string& title, const void* owner)
{
    const QString dir = QFileDialog::getExistingDirectory(ownerwidget(owner), qs(title), QDir::homePath());
    if (dir.isEmpty()) return std::nullopt;
    return ss(dir);
}

bool Cqtshell::openpath(const std::string& file, const std::string& dir, const void* owner)
{
    // A relative name is found in the working folder, as a shell's "open" verb does.
    QString path = qs(file);
    if (QDir::isRelativePath(path) && !dir.empty()) path = QDir(qs(dir)).filePath(path);
    // Help pages need no browser: the program shows them itself.
    if (path.endsWith(".htm", Qt::CaseInsensitive) || path.endsWith(".html", Qt::CaseInsensitive))
        return Chelpview::open(path, ownerwidget(owner));
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

Cqtfaces::Cqtfaces()
{
    m_prevbox = setboxsink(&m_box);
    m_prevpump = setdispatch(&m_pump);
    m_prevshell = setshell(&m_shell);
}

Cqtfaces::~Cqtfaces()
{
    setboxsink(m_prevbox);
    setdispatch(m_prevpump);
    setshell(m_prevshell);
}
