#include "app/qt/Cdrop.h"

#include "convert/Ccontext.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

std::optional<Cdropped> droppedfile(const QStringList& paths)
{
    if (paths.isEmpty()) return std::nullopt;
    const std::string path = paths.first().toLocal8Bit().toStdString();
    if (path.size() < 6 || path.size() > Ccontext::MAXPATH) return std::nullopt;
    const std::string title = titleof(path);
    // A dot inside a folder name is no extension.
    if (title.find('.') == std::string::npos) return std::nullopt;
    if (QFileInfo(paths.first()).isDir()) return std::nullopt;
    return Cdropped{path, title, dotext(title)};
}

Cdrop::Cdrop(QWidget* window, std::function<void(const QStringList&)> take) : QObject(window), m_take(std::move(take))
{
    window->setAcceptDrops(true);
    window->installEventFilter(this);
}

bool Cdrop::eventFilter(QObject* watched, QEvent* e)
{
    if (e->type() == QEvent::DragEnter) {
        auto* d = static_cast<QDragEnterEvent*>(e);
        if (d->mimeData()->hasUrls()) d->acceptProposedAction();
        return true;
    }
    if (e->type() == QEvent::Drop) {
        auto* d = static_cast<QDropEvent*>(e);
        QStringList paths;
        for (const QUrl& u : d->mimeData()->urls())
            if (u.isLocalFile()) paths << u.toLocalFile();
        m_take(paths);
        d->acceptProposedAction();
        return true;
    }
    return QObject::eventFilter(watched, e);
}
