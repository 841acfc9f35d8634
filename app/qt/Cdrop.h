#pragma once
// The local files of a drop on a window, in the order the desktop gave them; the windows' own
// rules then decide which one, if any, they take.
#include <QMimeData>
#include <QStringList>
#include <QUrl>

inline QStringList droppedfiles(const QMimeData* data)
{
    QStringList paths;
    for (const QUrl& u : data->urls())
        if (u.isLocalFile()) paths << u.toLocalFile();
    return paths;
}
