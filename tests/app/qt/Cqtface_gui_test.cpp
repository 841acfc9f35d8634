#include "app/qt/Cqtface.h"

#include "app/Guitest.h"
#include "platform/Cdevlist.h"
#include "app/qt/Chelpview.h"

#include <QAbstractButton>
#include <QFile>
#include <QRegularExpression>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>
#include <QToolButton>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
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

TEST(Cqtface, DetailAndTheReplaceQuestion)
{
    Cqtfaces faces;
    QString info;
    QStringList buttons;
    onmodal<QMessageBox>([&](QMessageBox* b) {
        info = b->informativeText();
        for (QAbstractButton* x : b->buttons()) buttons << x->text();
        b->defaultButton()->click();   // Enter: the default answer
    });
    EXPECT_FALSE(askreplace("The WAVE file a.wav already exists", "Replace WAVE file", nullptr,
                            filedetail("/w/a.wav", ENOENT)));
    EXPECT_EQ(info, "/w/a.wav\nNo such file or directory");
    EXPECT_TRUE(buttons.contains("&Replace"));
    onmodal<QMessageBox>([&](QMessageBox* b) {
        for (QAbstractButton* x : b->buttons())
            if (x->text() == "&Replace") x->click();
    });
    EXPECT_TRUE(askreplace("The WAVE file a.wav already exists", "Replace WAVE file", nullptr, "/w/a.wav"));
}

TEST(Cqtface, DialogsThatNameANewFileAreTitledSave)
{
    Cqtfaces faces;
    QStringList titles;
    auto cancel = [&] {
        onmodal<QFileDialog>([&](QFileDialog* d) {
            titles << d->windowTitle();
            d->reject();
        });
    };
    Cfilereq req;
    req.filter = "WAVE Files (*.wav)|*.wav|All Files (*.*)|*.*||";
    cancel();
    EXPECT_FALSE(shell().savefile(req));
    req.anyname = true;   // an Open dialog for an output file
    cancel();
    EXPECT_FALSE(shell().openfile(req));
    req.anyname = false;
    cancel();
    EXPECT_FALSE(shell().openfile(req));
    EXPECT_EQ(titles, QStringList({"Save", "Save", "Open"}));
}

TEST(Chelpview, HelpPagesOpenInTheProgramsViewerWithWorkingLinks)
{
    Cqtfaces faces;
    QWidget owner;
    owner.show();
    const std::string prog = std::string(CANTORIX_BUILD_DIR) + "/bin";
    ASSERT_TRUE(shell().openpath("Hlpmidic.htm", prog, &owner));
    auto* view = owner.findChild<Chelpview*>();
    ASSERT_TRUE(view);
    EXPECT_TRUE(view->isVisible());
    EXPECT_FALSE(view->isModal());
    EXPECT_EQ(view->windowTitle(), "Cantorix - MIDI converter");

    // The first link (the Main page, in every page's navigation) followed from the keyboard.
    view->activateWindow();
    view->browser()->setFocus();
    QTest::keyClick(view->browser(), Qt::Key_Tab);
    QTest::keyClick(view->browser(), Qt::Key_Return);
    EXPECT_EQ(view->page().fileName(), "Hlpmain.htm");
    EXPECT_EQ(view->windowTitle(), "Cantorix help");
    EXPECT_TRUE(view->browser()->isBackwardAvailable());
    view->browser()->backward();
    EXPECT_EQ(view->page().fileName(), "Hlpmidic.htm");

    // Another page for the same owner uses the same viewer; a missing page opens nothing.
    ASSERT_TRUE(shell().openpath("Tutorial.htm", prog, &owner));
    EXPECT_EQ(owner.findChildren<Chelpview*>().size(), 1);
    EXPECT_EQ(view->page().fileName(), "Tutorial.htm");
    EXPECT_FALSE(shell().openpath("Nothing.htm", prog, &owner));

    // Every page leads to the others, and every link of a page leads to a page that is there.
    for (const char* page : {"Hlpmain.htm", "Tutorial.htm", "Hlpmidic.htm", "Hlplayer.htm", "Hlprecor.htm",
                             "Hlpaumix.htm", "Hlpmp3cv.htm"}) {
        SCOPED_TRACE(page);
        QFile f(QString::fromStdString(prog) + "/" + page);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QString html = QString::fromUtf8(f.readAll());
        QStringList targets;
        for (const auto& m : QRegularExpression("href=\"([^\"#:]+)").globalMatch(html)) targets << m.captured(1);
        EXPECT_TRUE(targets.contains("Hlpmain.htm"));
        for (const QString& t : targets) EXPECT_TRUE(QFile::exists(QString::fromStdString(prog) + "/" + t)) << t.toStdString();
    }
}

TEST(Cdevlist, NamesFitTheOptionsLists)
{
    // Whatever hardware the machine has (often none): the lists come back, names cut to 31.
    const Cdevnames all = Cdevlist::all();
    for (const auto* list : {&all.waveout, &all.wavein, &all.midiout})
        for (const std::string& n : *list) EXPECT_LE(n.size(), Cdevlist::MAXNAME) << n;
}
