#pragma once
// Helpers for driving dialogs as a person would: onmodal() runs a step on the next modal dialog
// of type T once exec() has shown it; shot() saves a picture of a widget into the build folder.
#include <QApplication>
#include <QDir>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <string>

template <class T>
void onmodal(std::function<void(T*)> step)
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, step] {
        auto* w = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!w || !w->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        step(w);
    });
    timer->start();
}

// Saves w as <build folder>/screenshots/<name>.png.
inline bool shot(QWidget* w, const std::string& name)
{
    const QString dir = QString(CANTORIX_BUILD_DIR) + "/screenshots";
    QDir().mkpath(dir);
    return w->grab().save(dir + "/" + QString::fromStdString(name) + ".png");
}
