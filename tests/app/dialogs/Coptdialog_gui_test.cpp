#include "app/dialogs/Coptdialog.h"

#include "app/Guitest.h"
#include "platform/Cshell.h"
#include "support/Tempdir.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

namespace {

Cdevnames twoeach()
{
    return Cdevnames{{"Speakers", "Headphones"}, {"Microphone", "Line in"}, {"Synth port"}};
}

QStringList items(QComboBox* c)
{
    QStringList t;
    for (int i = 0; i < c->count(); ++i) t << c->itemText(i);
    return t;
}

}

TEST(Coptdialog, ShowsRecordAndDeviceLists)
{
    Csettings s;
    s.bankpath = "/prog/VUZADada.csf";
    s.workdir = "/prog/WorkDir";
    s.waveout = 1;
    s.wavein = -1;
    s.midiout = 4;   // beyond the list: nothing selected
    Coptdialog dlg(s, twoeach());
    EXPECT_EQ(dlg.windowTitle(), "Cantorix - Options");
    EXPECT_EQ(dlg.bankedit()->text(), "/prog/VUZADada.csf");
    EXPECT_EQ(dlg.workedit()->text(), "/prog/WorkDir");
    EXPECT_EQ(items(dlg.waveoutlist()), QStringList({"Default", "Speakers", "Headphones"}));
    EXPECT_EQ(items(dlg.midioutlist()), QStringList({"Default (built-in synthesizer)", "Synth port"}));
    EXPECT_EQ(dlg.waveoutlist()->currentText(), "Headphones");
    EXPECT_EQ(dlg.waveinlist()->currentText(), "Default");
    EXPECT_EQ(dlg.midioutlist()->currentIndex(), -1);
    EXPECT_TRUE(shot(&dlg, "options"));
    dlg.resize(700, dlg.height());
    EXPECT_TRUE(shot(&dlg, "options_wide"));
}

TEST(Coptdialog, OkStoresPathsAndDevices)
{
    struct Case { const char* bank; const char* work; const char* bankout; bool compressed; const char* workout; };
    const Case cases[] = {
        {"/b/piano.sf2", "/w/music/", "/b/piano.sf2", false, "/w/music"},
        {"C:\\banks\\piano.csf", "D:\\Music\\", "C:/banks/piano.csf", true, "D:/Music"},
        {"/b/PIANO.CSF", "/w", "/b/PIANO.CSF", false, "/w"},   // the .csf test is case-sensitive
        {"/b/nodot", "", "/b/nodot", false, ""},
        {"/b.d/bank", "/w//", "/b.d/bank", false, "/w/"},      // one trailing separator goes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bank);
        Csettings s;
        s.compressed = true;
        Coptdialog dlg(s, twoeach());
        dlg.bankedit()->setText(c.bank);
        dlg.workedit()->setText(c.work);
        dlg.waveoutlist()->setCurrentIndex(2);
        dlg.waveinlist()->setCurrentIndex(0);
        dlg.midioutlist()->setCurrentIndex(1);
        dlg.accept();
        EXPECT_EQ(s.bankpath, c.bankout);
        EXPECT_EQ(s.compressed, c.compressed);
        EXPECT_EQ(s.workdir, c.workout);
        EXPECT_EQ(s.waveout, 1);
        EXPECT_EQ(s.wavein, -1);
        EXPECT_EQ(s.midiout, 0);
    }
}

TEST(Coptdialog, LongPathsAreCutAndUnselectedListStoresDefault)
{
    Csettings s;
    s.midiout = 9;
    Coptdialog dlg(s, twoeach());
    dlg.bankedit()->setText(QString(400, 'b'));
    dlg.accept();
    EXPECT_EQ(s.bankpath.size(), Csettings::MAXPATH);
    EXPECT_EQ(s.midiout, -1);
}

TEST(Coptdialog, CancelChangesNothing)
{
    Csettings s;
    s.bankpath = "/keep.sf2";
    Coptdialog dlg(s, twoeach());
    dlg.bankedit()->setText("/other.sf2");
    dlg.waveoutlist()->setCurrentIndex(1);
    dlg.reject();
    EXPECT_EQ(s.bankpath, "/keep.sf2");
    EXPECT_EQ(s.waveout, -1);
}

TEST(Coptdialog, BrowseButtonsFillTheEditsOnly)
{
    Csettings s;
    s.workdir = "/w";
    s.bankpath = "/old.sf2";
    Cscriptshell script;
    Coptdialog dlg(s, twoeach());
    script.answer("/banks/new.csf");
    dlg.findChild<QPushButton*>("browsebank")->click();
    const Cfilereq req = script.last().req;
    EXPECT_EQ(req.startdir, "/w");
    EXPECT_EQ(req.defext, "sf2");
    EXPECT_EQ(req.filter, "Sound Font Files(*.sf2;*.sf3;*.csf)|*.sf2;*.sf3;*.csf|Compressed Sound Font Files (*.csf)|*.csf|"
                          "Uncompressed Sound Font files (*.sf2)|*.sf2|Ogg Vorbis Sound Font files (*.sf3)|*.sf3|"
                          "All Files (*.*)|*.*||");
    EXPECT_EQ(dlg.bankedit()->text(), "/banks/new.csf");
    EXPECT_EQ(s.bankpath, "/old.sf2");

    script.cancel();
    dlg.findChild<QPushButton*>("browsebank")->click();
    EXPECT_EQ(dlg.bankedit()->text(), "/banks/new.csf");

    script.answer("/home/me/Music");
    dlg.findChild<QPushButton*>("browsework")->click();
    EXPECT_EQ(script.last().kind, "folder");
    EXPECT_EQ(script.last().text, "Choose the working folder");
    EXPECT_EQ(dlg.workedit()->text(), "/home/me/Music");
    EXPECT_EQ(s.workdir, "/w");
}

TEST(Coptdialog, OkWritesTheIniFileAndKeepsForeignLines)
{
    Tempdir dir;
    Csettings s;
    s.inipath = dir.file("Cantorix.ini");
    const std::string before = "; my notes\n[Other]\nSound Bank=not this one\n[Files]\nSound Bank=old.sf2\nColour=blue\n";
    writebytes(s.inipath, Bytes(before.begin(), before.end()));
    Coptdialog dlg(s, Cdevnames{});
    dlg.bankedit()->setText("C:\\banks\\piano.sf2");
    dlg.workedit()->setText("/home/me/Music/");
    dlg.accept();
    const Bytes after = readbytes(s.inipath);
    const std::string text(after.begin(), after.end());
    EXPECT_EQ(text, "; my notes\n[Other]\nSound Bank=not this one\n[Files]\nSound Bank=C:/banks/piano.sf2\nColour=blue\n"
                    "Working folder=/home/me/Music\n");
    EXPECT_EQ(s.bankpath, "C:/banks/piano.sf2");
    EXPECT_EQ(s.workdir, "/home/me/Music");
}
