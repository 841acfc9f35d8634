#include "app/Cmainwin.h"

#include "app/dialogs/Caboutdialog.h"
#include "app/dialogs/Cpropdialog.h"
#include "app/Fixtures.h"
#include "app/Guitest.h"
#include "app/dialogs/Cconvdlg.h"
#include "platform/Cshell.h"
#include "app/dialogs/Ceffdialog.h"
#include "app/dialogs/Coptdialog.h"
#include "support/Boxes.h"
#include "support/Tempdir.h"

#include <QAction>
#include <QDir>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusTipEvent>
#include <QTest>
#include <QToolBar>
#include <gtest/gtest.h>

namespace {

struct Mainwin : ::testing::Test {
    Tempdir dir;
    Ccontext ctx;
    Cscriptshell script;
    Boxes boxes;
    std::unique_ptr<Cmainwin> win;

    void SetUp() override
    {
        ctx.settings.progdir = dir.path();
        ctx.settings.workdir = dir.file("WorkDir");
        win = std::make_unique<Cmainwin>(ctx);
        win->show();
        QApplication::setActiveWindow(win.get());
        EXPECT_TRUE(QTest::qWaitForWindowActive(win.get()));
    }
    std::string midi(const std::string& name)
    {
        writebytes(dir.file(name), midifile(pianonote()));
        return dir.file(name);
    }
    std::string wave(const std::string& name)
    {
        writebytes(dir.file(name), wavefile(2, 44100, 10));
        return dir.file(name);
    }
};

QStringList menutexts(QMenu* m)
{
    QStringList t;
    for (QAction* a : m->actions()) t << (a->isSeparator() ? "|" : a->text());
    return t;
}

}

TEST_F(Mainwin, StartsWithTitleNoFilesAndReady)
{
    EXPECT_EQ(win->windowTitle(), "Cantorix-Midi/Karaoke to Wave converter");
    EXPECT_EQ(win->miditext(), "(None)");
    EXPECT_EQ(win->wavetext(), "(None)");
    EXPECT_EQ(win->status(), "Ready");
    EXPECT_TRUE(shot(win.get(), "mainwin"));
    win->resize(900, 400);
    EXPECT_TRUE(shot(win.get(), "mainwin_wide"));
}

TEST_F(Mainwin, MenusToolbarAndShortcutsOfferEveryCommandFromTheStart)
{
    const QList<QAction*> tops = win->menubar()->actions();
    ASSERT_EQ(tops.size(), 4);
    const QStringList expect[] = {
        {"&Open", "&Properties", "&Clear", "E&xit"},
        {"&MIDI converter", "&Player", "&Recorder", "&Audio Mixer", "MP3 &converter"},
        {"&Options", "&Effects", "&MIDI mixer"},
        {"&Main", "&Tutorial", "|", "MI&DI converter", "&Player", "&Recorder", "A&udio mixer", "MP3 &converter", "|", "&About"},
    };
    const QStringList titles = {"&File", "&Tools", "&Settings", "&Help"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(tops[i]->text(), titles[i]);
        EXPECT_EQ(menutexts(tops[i]->menu()), expect[i]);
    }
    const std::pair<int, const char*> keys[] = {{ID_OPEN, "Ctrl+O"}, {ID_CONVERTER, "Ctrl+M"}, {ID_PLAYER, "Ctrl+P"},
                                                {ID_RECORDER, "Ctrl+R"}, {ID_AUMIXER, "Ctrl+A"}, {ID_MP3, "Ctrl+C"}};
    for (auto [id, key] : keys) EXPECT_EQ(win->action(id)->shortcut().toString(), key) << id;

    // Toolbar order, 0 for a separator, with the tooltips of the buttons.
    const std::pair<int, const char*> bar[] = {
        {ID_OPEN, "Load file"}, {0, ""}, {ID_CONVERTER, "MIDI Convert"}, {ID_PLAYER, "Play back"},
        {ID_RECORDER, "Record"}, {ID_AUMIXER, "Audio Mixer"}, {ID_MP3, "MP3 converter"}, {0, ""},
        {ID_OPTIONS, "Options"}, {ID_EFFECTS, "Audio Effects"}, {ID_MIDIMIXER, "Midi Mixer"}, {0, ""},
        {ID_HELPMAIN, "Main help page"}};
    const QList<QAction*> acts = win->toolbar()->actions();
    ASSERT_EQ(acts.size(), int(std::size(bar)));
    for (int i = 0; i < acts.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(acts[i]->isSeparator(), bar[i].first == 0);
        if (bar[i].first == 0) continue;
        EXPECT_EQ(acts[i]->data().toInt(), bar[i].first);
        EXPECT_EQ(acts[i]->toolTip(), bar[i].second);
        EXPECT_FALSE(acts[i]->icon().isNull());
    }
    // Every command is available from the start.
    for (int id : {ID_OPEN, ID_PROPERTIES, ID_OPTIONS, ID_EFFECTS, ID_HELPMAIN, ID_CONVERTER, ID_PLAYER, ID_RECORDER,
                   ID_AUMIXER, ID_MP3})
        EXPECT_TRUE(win->action(id)->isEnabled());
}

TEST_F(Mainwin, StatusLineFollowsMenuAndToolbar)
{
    const std::pair<int, const char*> cases[] = {
        {ID_OPEN, "Load a MIDI, Karaoke or WAVE file"},
        {ID_EXIT, "Exit the aplication"},
        {ID_MP3, "Convert MP3 files to WAVE and vice-versa"},
        {ID_HELPMIDIC, "Ready"},   // no status text of its own
        {ID_ABOUT, "Shows the Cantorix About box"},
    };
    for (auto [id, text] : cases) {
        win->action(id)->showStatusText(win.get());
        EXPECT_EQ(win->status(), text) << id;
    }
    QStatusTipEvent leave{QString()};
    QApplication::sendEvent(win.get(), &leave);
    EXPECT_EQ(win->status(), "Ready");
    win->action(ID_CLEAR)->showStatusText(win.get());
    emit win->menubar()->actions()[0]->menu()->aboutToHide();
    EXPECT_EQ(win->status(), "Ready");
}

TEST_F(Mainwin, AcceleratorsRunTheirCommands)
{
    script.cancel();
    QTest::keyClick(win.get(), Qt::Key_O, Qt::ControlModifier);
    ASSERT_EQ(script.requests().size(), 1u);
    EXPECT_EQ(script.last().kind, "open");
    EXPECT_EQ(script.requests().size(), 1u);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    QTest::keyClick(win.get(), Qt::Key_F1);
    EXPECT_EQ(script.last().kind, "shell");
    EXPECT_EQ(script.last().text, "Hlpmain.htm");
    // The tools' accelerators open their windows.
    const std::pair<Qt::Key, QString> tools[] = {
        {Qt::Key_M, "Cantorix - MIDI converter"}, {Qt::Key_P, "Cantorix - File player"}, {Qt::Key_R, "Cantorix - Recorder"}, {Qt::Key_A, "Cantorix - Audio Mixer"}, {Qt::Key_C, "Cantorix - MP3 converter"}};
    for (const auto& [key, want] : tools) {
        QString title;
        onmodal<QDialog>([&](QDialog* d) {
            title = d->windowTitle();
            d->reject();
        });
        win->activateWindow();   // the previous tool handed the keyboard back
        EXPECT_TRUE(QTest::qWaitForWindowActive(win.get()));
        QTest::keyClick(win.get(), key, Qt::ControlModifier);
        EXPECT_EQ(title, want);
    }
}

TEST_F(Mainwin, OpenDecidesByExtension)
{
    struct Case { std::string name; bool midi; bool wave; };
    const Case cases[] = {
        {"song.mid", true, false}, {"song.MIDI", true, false}, {"song.Kar", true, false}, {"take.WAV", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        win->command(ID_CLEAR);
        script.answer(c.midi ? midi(c.name) : wave(c.name));
        win->command(ID_OPEN);
        EXPECT_EQ(win->miditext(), c.midi ? QString::fromStdString(c.name) : "(None)");
        EXPECT_EQ(win->wavetext(), c.wave ? QString::fromStdString(c.name) : "(None)");
        EXPECT_EQ(bool(ctx.midi), c.midi);
        EXPECT_EQ(bool(ctx.wave), c.wave);
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Mainwin, OpenUnknownTypeWarnsAndKeepsFiles)
{
    script.answer(wave("keep.wav"));
    win->command(ID_OPEN);
    script.answer(dir.file("notes.txt"));
    win->command(ID_OPEN);
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.last().text, "The program doesn't know how to process the file selected\nPlease choose another file and try again");
    EXPECT_EQ(boxes.last().caption, "Unknown file type");
    EXPECT_EQ(boxes.last().icon, Boxicon::warning);
    EXPECT_EQ(boxes.last().owner, static_cast<const void*>(win.get()));
    EXPECT_EQ(boxes.last().detail, dir.file("notes.txt"));   // the file, under the unchanged text
    EXPECT_EQ(win->wavetext(), "keep.wav");
    script.cancel();
    win->command(ID_OPEN);
    EXPECT_EQ(win->wavetext(), "keep.wav");
    EXPECT_EQ(boxes.count(), 1u);
}

TEST_F(Mainwin, CommandLineFilesOpenAsFileOpenWould)
{
    const std::string wav = wave("take.wav"), other = midi("other.mid");
    midi("song.kar");
    wave("second.wav");
    // A relative name is found in the current folder, as a file manager or a shell passes it.
    const QString cwd = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(dir.path()));
    win->openfiles({"notes.txt", "song.kar", QString::fromStdString(wav), QString::fromStdString(other), "second.wav"});
    QDir::setCurrent(cwd);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(win->miditext(), "song.kar");
    EXPECT_EQ(ctx.midipath, dir.file("song.kar"));
    ASSERT_TRUE(ctx.midi);
    EXPECT_EQ(win->wavetext(), "take.wav");
    EXPECT_EQ(ctx.wavepath, wav);

    // Nothing of either kind: File/Open's box, about the first file.
    win->command(ID_CLEAR);
    win->openfiles({QString::fromStdString(dir.file("notes.txt")), QString::fromStdString(dir.file("x.mp3"))});
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.last().caption, "Unknown file type");
    EXPECT_EQ(boxes.last().detail, dir.file("notes.txt"));
    EXPECT_EQ(win->miditext(), "(None)");
    EXPECT_EQ(win->wavetext(), "(None)");
}

TEST_F(Mainwin, OpenStartsInWorkingFolderOnlyWithNoCurrentFile)
{
    const std::string filter = "MIDI, Kar & WAVE Files (*.mid;*.midi;*.kar;*.wav)|*.mid;*.midi;*.kar;*.wav|"
                               "MIDI Files (*.mid;*.midi)|*.mid;*.midi|Karaoke Files (*.kar)|*.kar|"
                               "WAVE Files (*.wav)|*.wav|All Files (*.*)|*.*||";
    script.answer(wave("a.wav"));
    win->command(ID_OPEN);
    EXPECT_EQ(script.last().req.startdir, ctx.settings.workdir);
    EXPECT_EQ(script.last().req.filter, filter);
    script.answer(midi("b.mid"));
    win->command(ID_OPEN);
    EXPECT_EQ(script.last().req.startdir, "");
    script.cancel();
    win->command(ID_OPEN);
    EXPECT_EQ(script.last().req.startdir, "");
}

TEST_F(Mainwin, DropsFollowTheExtensionRules)
{
    QDir().mkpath(QString::fromStdString(dir.file("folder.wav")));
    struct Case { std::string path; const char* midi; const char* wave; };
    const Case cases[] = {
        {midi("x.MID"), "x.MID", "(None)"},
        {midi("x.kar"), "x.kar", "(None)"},
        {midi("x.midi"), "(None)", "(None)"},      // ".midi" is not taken by dropping
        {wave("x.wav"), "(None)", "x.wav"},
        {dir.file("folder.wav"), "(None)", "(None)"},
        {dir.file("noext"), "(None)", "(None)"},
        {dir.file("a.b/noext"), "(None)", "(None)"},
        {"a.wav", "(None)", "(None)"},              // shorter than 6 characters
        {"/" + std::string(300, 'x') + ".wav", "(None)", "(None)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        win->command(ID_CLEAR);
        win->dropfiles({QString::fromStdString(c.path), QString::fromStdString(wave("second.wav"))});
        EXPECT_EQ(win->miditext(), c.midi);
        EXPECT_EQ(win->wavetext(), c.wave);
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Mainwin, ClearForgetsBothFiles)
{
    win->loadwave(wave("w.wav"), "w.wav");
    win->loadmidi(midi("m.mid"), "m.mid");
    win->command(ID_CLEAR);
    EXPECT_EQ(win->miditext(), "(None)");
    EXPECT_EQ(win->wavetext(), "(None)");
    EXPECT_FALSE(ctx.midi);
    EXPECT_FALSE(ctx.wave);
    EXPECT_EQ(ctx.wavepath, "");
}

TEST_F(Mainwin, RefreshShowsTitlesOfCurrentFilesOnly)
{
    Cmsgloop loop;
    // A tool replaced the current WAVE file; there is no current MIDI file, so its line stays.
    ctx.wave = std::make_unique<Cwavfil>(wave("mixed.wav"));
    ctx.wavetitle = "mixed.wav";
    ctx.midititle = "stale.mid";
    postmsg(win.get(), WM_REFRESH);
    EXPECT_EQ(win->wavetext(), "(None)");
    EXPECT_EQ(loop.pump(), 1);
    EXPECT_EQ(win->wavetext(), "mixed.wav");
    EXPECT_EQ(win->miditext(), "(None)");
}

TEST_F(Mainwin, HelpMenuAndEveryToolWindowsHelpButtonOpenTheirPagesInProgramFolder)
{
    const std::pair<int, const char*> pages[] = {
        {ID_HELPMAIN, "Hlpmain.htm"}, {ID_TUTORIAL, "Tutorial.htm"}, {ID_HELPMIDIC, "Hlpmidic.htm"},
        {ID_HELPPLAYER, "Hlplayer.htm"}, {ID_HELPRECOR, "Hlprecor.htm"}, {ID_HELPAUMIX, "Hlpaumix.htm"},
        {ID_HELPMP3, "Hlpmp3cv.htm"}};
    for (auto [id, page] : pages) {
        win->action(id)->trigger();
        EXPECT_EQ(script.last().kind, "shell");
        EXPECT_EQ(script.last().text, page);
        EXPECT_EQ(script.last().dir, dir.path());
    }
    const std::pair<int, const char*> tools[] = {
        {ID_PLAYER, "Hlplayer.htm"}, {ID_RECORDER, "Hlprecor.htm"}, {ID_AUMIXER, "Hlpaumix.htm"}, {ID_MP3, "Hlpmp3cv.htm"}};
    for (auto [id, page] : tools) {
        SCOPED_TRACE(page);
        onmodal<QDialog>([&](QDialog* d) {
            if (auto* help = d->findChild<QPushButton*>("help")) help->click();
            d->reject();
        });
        win->command(id);
        EXPECT_EQ(script.last().kind, "shell");
        EXPECT_EQ(script.last().text, page);
        EXPECT_EQ(script.last().dir, dir.path());
    }
}

TEST_F(Mainwin, ToolRunsWhileMainWindowIsMinimized)
{
    QDialog tool;
    bool minimizedduring = false;
    bool recorded = false;
    bool stayedminimized = false;
    onmodal<QDialog>([&](QDialog* d) {
        minimizedduring = win->isMinimized();
        recorded = win->opentool() == d;
        win->showNormal();   // restored from the task bar: the tool comes forward instead
        stayedminimized = win->isMinimized();
        d->reject();
    });
    win->runtool(&tool);
    EXPECT_TRUE(minimizedduring);
    EXPECT_TRUE(recorded);
    EXPECT_TRUE(stayedminimized);
    EXPECT_EQ(win->opentool(), nullptr);
    EXPECT_FALSE(win->isMinimized());
}

TEST_F(Mainwin, SettingsAndAboutRunModalWithoutMinimizing)
{
    bool minimized = true;
    QString title;
    onmodal<Ceffdialog>([&](Ceffdialog* d) {
        minimized = win->isMinimized();
        title = d->windowTitle();
        d->reject();
    });
    win->command(ID_EFFECTS);
    EXPECT_FALSE(minimized);
    EXPECT_EQ(title, "Cantorix - Sound Effects");

    onmodal<Caboutdialog>([&](Caboutdialog* d) {
        title = d->windowTitle();
        EXPECT_TRUE(shot(d, "about"));
        d->accept();
    });
    win->action(ID_ABOUT)->trigger();
    EXPECT_EQ(title, "About Cantorix");

    onmodal<Coptdialog>([&](Coptdialog* d) {
        title = d->windowTitle();
        d->reject();
    });
    win->command(ID_OPTIONS);
    EXPECT_EQ(title, "Cantorix - Options");
}

TEST_F(Mainwin, ExitEndsTheMainDialog)
{
    win->command(ID_EXIT);
    EXPECT_FALSE(win->isVisible());
    EXPECT_EQ(win->result(), QDialog::Accepted);
}

TEST_F(Mainwin, MidiThatFailsToLoadShowsBothBoxesAndNone)
{
    win->loadmidi(midi("good.mid"), "good.mid");
    ctx.mixer.setgain(3, 150);
    ctx.mixer.setmute(5, true);
    writebytes(dir.file("bad.mid"), Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1});
    script.answer(dir.file("bad.mid"));
    win->command(ID_OPEN);
    const std::vector<std::string> texts = boxes.texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(boxes.all()[0].caption, "Error!");   // the reader's own box comes first
    EXPECT_EQ(boxes.all()[0].detail, dir.file("bad.mid"));   // read, but not a MIDI file: no reason
    EXPECT_EQ(texts[1], "The MIDI/KAR file selected could not be loaded\nIt either does not exist, or it is corrupt\n"
                        "or it has an unknown format\nPlease select another MIDI/KAR file and try again");
    EXPECT_EQ(boxes.last().caption, "Couldn't load MIDI/KAR file");
    EXPECT_EQ(boxes.last().icon, Boxicon::warning);
    EXPECT_EQ(boxes.last().detail, dir.file("bad.mid"));
    EXPECT_EQ(win->miditext(), "(None)");
    EXPECT_FALSE(ctx.midi);
    // The previous file is gone, and with it the mixer values.
    EXPECT_EQ(ctx.mixer.gain(3), 0);
    EXPECT_FALSE(ctx.mixer.muted(5));
}

TEST_F(Mainwin, LoadingAnotherMidiFileResetsTheMixer)
{
    win->loadmidi(midi("one.mid"), "one.mid");
    for (int ch = 0; ch < 16; ++ch) {
        ctx.mixer.setgain(ch, -100);
        ctx.mixer.setmute(ch, true);
    }
    writebytes(dir.file("two.mid"), midifile({0x00, 0xC9, 0x00, 0x00, 0xC1, 40, 0x00, 0x91, 60, 100, 0x60, 0x81, 60, 0}));
    win->dropfiles({QString::fromStdString(dir.file("two.mid"))});
    EXPECT_EQ(win->miditext(), "two.mid");
    for (int ch = 0; ch < 16; ++ch) {
        EXPECT_EQ(ctx.mixer.gain(ch), 0) << ch;
        EXPECT_FALSE(ctx.mixer.muted(ch)) << ch;
    }
    EXPECT_EQ(ctx.mixer[1].names, "Violin");
    EXPECT_EQ(ctx.mixer[9].names, "Percussion");
    EXPECT_TRUE(ctx.mixer[0].names.empty());
}

TEST_F(Mainwin, PropertiesFromTheMenuShowTheCurrentFiles)
{
    win->loadmidi(midi("p.mid"), "p.mid");
    win->loadwave(wave("p.wav"), "p.wav");
    QString midipath, wavepath, fmt;
    onmodal<Cpropdialog>([&](Cpropdialog* d) {
        midipath = d->text(Cpropdialog::MIDIFILE);
        wavepath = d->text(Cpropdialog::WAVEFILE);
        fmt = d->text(Cpropdialog::WAVEFMT);
        d->accept();
    });
    win->action(ID_PROPERTIES)->trigger();
    EXPECT_EQ(midipath.toStdString(), dir.file("p.mid"));
    EXPECT_EQ(wavepath.toStdString(), dir.file("p.wav"));
    EXPECT_EQ(fmt, "PCM, 44100 Sps, 16 bits, Stereo");
}

TEST_F(Mainwin, EnterAndEscapeEndTheMainDialog)
{
    const std::pair<Qt::Key, QDialog::DialogCode> keys[] = {{Qt::Key_Return, QDialog::Accepted}, {Qt::Key_Escape, QDialog::Rejected}};
    for (auto [key, code] : keys) {
        win->show();
        QTest::keyClick(win.get(), key);
        EXPECT_FALSE(win->isVisible()) << key;
        EXPECT_EQ(win->result(), code) << key;
    }
}
