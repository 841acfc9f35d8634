#pragma once
// The one drop rule of every window. A drop counts by its first local file, and only when its
// path has 6 to MAXPATH characters, its name has an extension and it is no folder; the window
// then takes it or not by that extension and its own state.
#include <QObject>
#include <QStringList>

#include <functional>
#include <optional>
#include <string>

class QWidget;

struct Cdropped {
    std::string path;
    std::string title;   // the name without its folder
    std::string ext;     // lower case, with its "."
};

std::optional<Cdropped> droppedfile(const QStringList& paths);

// Makes window accept drops of files and hands each drop's local files to take, in the order the
// desktop gave them. The filter belongs to the window.
class Cdrop : public QObject {
public:
    Cdrop(QWidget* window, std::function<void(const QStringList&)> take);
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    std::function<void(const QStringList&)> m_take;
};
