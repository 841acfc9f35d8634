#include "app/qt/Cqtface.h"

#include "app/Guitest.h"
#include "platform/Cdevlist.h"

#include <QMessageBox>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

struct Log : Cwindow {
    std::vector<unsigned> got;
    void handle(unsigned msg, uintptr_t, intptr_t) override { got.push_back(msg); }
};

struct Qlog : QObject, Log {};

// Runs the Qt event loop until done is set (or a generous limit passes).
void spin(const std::atomic<bool>& done)
{
    // processEvents alone can miss an event that another thread posts while it runs; the
    // explicit sendPostedEvents picks it up.
    for (int i = 0; i < 5000 && !done.load(); ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents();
        QThread::msleep(1);
    }
}

}

TEST(Cqtface, PostedMessagesArriveThroughTheEventLoop)
{
    Cqtfaces faces;
    Log w;
    postmsg(&w, WM_REFRESH, 1, 2);
    EXPECT_TRUE(w.got.empty());
    QApplication::processEvents();
    ASSERT_EQ(w.got.size(), 1u);
    EXPECT_EQ(w.got[0], WM_REFRESH);
    auto gone = std::make_unique<Qlog>();
    postmsg(gone.get(), WM_REFRESH);
    gone.reset();
    QApplication::processEvents();   // dropped, not delivered to a destroyed window
}

TEST(Cqtface, SendFromAWorkerWaitsForTheUiThread)
{
    Cqtfaces faces;
    Log w;
    std::atomic<bool> done{false};
    std::atomic<int> seen{-1};
    std::thread worker([&] {
        sendmsg(&w, WM_PROGRESS, 0, 50);
        seen = int(w.got.size());   // handled before sendmsg returned
        done = true;
    });
    spin(done);
    worker.join();
    EXPECT_EQ(seen.load(), 1);
}

TEST(Cqtface, BoxFromAWorkerIsShownByTheUiThread)
{
    Cqtfaces faces;
    QString text, caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    onmodal<QMessageBox>([&](QMessageBox* b) {
        text = b->text();
        caption = b->windowTitle();
        icon = b->icon();
        b->accept();
    });
    std::atomic<bool> done{false};
    std::thread worker([&] {
        errbox("Csequen::render\nBad event");
        done = true;
    });
    spin(done);
    worker.join();
    EXPECT_EQ(text, "Csequen::render\nBad event");
    EXPECT_EQ(caption, "Error!");
    EXPECT_EQ(icon, QMessageBox::Critical);
}

TEST(Cdevlist, NamesFitTheOptionsLists)
{
    // Whatever hardware the machine has (often none): the lists come back, names cut to 31.
    const Cdevnames all = Cdevlist::all();
    for (const auto* list : {&all.waveout, &all.wavein, &all.midiout})
        for (const std::string& n : *list) EXPECT_LE(n.size(), Cdevlist::MAXNAME) << n;
}
