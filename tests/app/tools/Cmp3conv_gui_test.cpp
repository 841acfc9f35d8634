// The MP3 converter dialog offscreen, with the real codec (MP3Codec.exe in the build's program
// folder, a link to LAME) started through the real process runner.
#include "app/tools/Cmp3conv.h"

#include "app/Cmainwin.h"
#include "app/Fixtures.h"
#include "app/Guitest.h"
#include "platform/Cshell.h"
#include "app/qt/Cqtface.h"
#include "support/Boxes.h"
#include "support/Tempdir.h"

#include <filesystem>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>

namespace {

const std::string PROGDIR = std::string(CANTORIX_BUILD_DIR) + "/bin";

// A 16-bit stereo WAVE file at 44100 Hz holding a tone, seconds long.
Bytes tonefile(double seconds)
{
    const uint32_t frames = uint32_t(seconds * 44100);
    Bytes b = wavefile(2, 44100, frames);
    for (uint32_t i = 0; i < frames; ++i) {
        const auto v = int16_t(8000 * std::sin(i * 0.0627));
        for (int c = 0; c < 2; ++c) {
            b[44 + 4 * i + 2 * c] = uint8_t(v);
            b[45 + 4 * i + 2 * c] = uint8_t(uint16_t(v) >> 8);
        }
    }
    return b;
}

// Runs the Qt event loop until done() holds or limit ms have passed.
template <class P> bool spinuntil(P done, int limit = 30000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > limit) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents();
        QThread::msleep(1);
    }
    return true;
}

std::vector<std::string> listdir(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct Mainlog : Cwindow {
    std::vector<unsigned> got;
    void handle(unsigned msg, uintptr_t, intptr_t) override { got.push_back(msg); }
};

struct Mp3conv : ::testing::Test {
    Tempdir dir;
    Ccontext ctx;
    Cscriptshell script;
    Boxes boxes;
    Cqtpump pump;
    Cdispatch* prevpump = nullptr;
    Mainlog mainwin;
    std::unique_ptr<Cmp3conv> dlg;

    void SetUp() override
    {
        prevpump = setdispatch(&pump);
        ctx.settings.progdir = PROGDIR;
        ctx.settings.workdir = dir.path();
        dlg = std::make_unique<Cmp3conv>(ctx, &mainwin);
        dlg->show();
    }
    void TearDown() override
    {
        dlg.reset();
        setdispatch(prevpump);
    }
    std::string file(const std::string& name, const Bytes& bytes)
    {
        EXPECT_TRUE(writebytes(dir.file(name), bytes));
        return dir.file(name);
    }
    void drop(const std::string& path) { dlg->dropfiles({QString::fromLocal8Bit(path.c_str())}); }
    // The enabled state of Convert, Abort, Play, both Browse and Help, as a string of 0 and 1.
    std::string enabled() const
    {
        std::string s;
        for (QPushButton* b : {dlg->convertbutton(), dlg->abortbutton(), dlg->playbutton(), dlg->inbrowse(),
                               dlg->outbrowse(), dlg->helpbutton()})
            s += b->isEnabled() ? '1' : '0';
        return s;
    }
    bool waitend(int limit = 30000)
    {
        return spinuntil([&] { return !dlg->runner(); }, limit);
    }
    // Converts in to out with the real codec and waits for the end.
    void run(const std::string& in, const std::string& out)
    {
        drop(in);
        drop(out);
        ASSERT_EQ(dlg->state(), Cmp3conv::READY);
        dlg->convertbutton()->click();
        ASSERT_EQ(dlg->state(), Cmp3conv::CONVERTING);
        ASSERT_TRUE(waitend());
    }
};

}  // namespace

TEST_F(Mp3conv, StartsEmptyWithOnlyBrowseAndHelp)
{
    EXPECT_EQ(dlg->windowTitle(), "Cantorix - MP3 converter");
    EXPECT_EQ(dlg->state(), Cmp3conv::NOFILES);
    EXPECT_EQ(enabled(), "000111");
    EXPECT_TRUE(dlg->closebutton()->isDefault());
    EXPECT_TRUE(dlg->acceptDrops());
    EXPECT_EQ(dlg->progress(), 0);
    EXPECT_TRUE(shot(dlg.get(), "mp3conv_empty"));
}

TEST_F(Mp3conv, DroppedFilesFollowTheTypeRules)
{
    const std::string longname = "/tmp/" + std::string(250, 'x') + ".wav";   // 259 characters
    const struct {
        std::vector<std::string> drops;
        const char* in;
        const char* out;
        int state;
    } cases[] = {
        {{"/w/a.wav", "/w/b.mp3"}, "/w/a.wav", "/w/b.mp3", 1},
        {{"/w/a.mp3", "/w/b.wav"}, "/w/a.mp3", "/w/b.wav", 1},
        {{"/w/a.mp3", "/w/c.wav"}, "/w/a.mp3", "/w/c.wav", 1},
        {{"/w/a.wav", "/w/b.wav"}, "/w/b.wav", "", 0},   // the input is WAVE already: replaced
        {{"/w/a.wav", "/w/b.mp3", "/w/c.WAV"}, "/w/c.WAV", "/w/b.mp3", 1},   // input already WAVE
        {{"/w/a.wav", "/w/b.mp3", "/w/d.Mp3"}, "/w/a.wav", "/w/d.Mp3", 1},
        {{"/w/a.mp3"}, "/w/a.mp3", "", 0},
        {{"/w/song.mid", "/w/x.txt", "/w/a.b/c", "a.wav", ""}, "", "", 0},   // ignored
        {{longname}, longname.c_str(), "", 0},
        {{longname.substr(0, 5) + "y" + longname.substr(5)}, "", "", 0},       // 260: too long
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.drops.front());
        Cmp3conv d(ctx, nullptr);
        for (const std::string& p : c.drops) d.dropfiles({QString::fromStdString(p)});
        EXPECT_EQ(d.inpath(), c.in);
        EXPECT_EQ(d.outpath(), c.out);
        EXPECT_EQ(d.state(), c.state);
    }
    // Only the first file of a drop counts; a WAVE file onto an MP3 input with no output becomes
    // the output.
    Cmp3conv d(ctx, nullptr);
    d.dropfiles({"/w/a.mp3", "/w/b.wav"});
    EXPECT_EQ(d.inpath(), "/w/a.mp3");
    EXPECT_EQ(d.outpath(), "");
    d.dropfiles({"/w/c.wav"});
    EXPECT_EQ(d.outpath(), "/w/c.wav");
    EXPECT_EQ(d.types(), Cmp3conv::INMP3 | Cmp3conv::OUTWAV);
}

TEST_F(Mp3conv, BrowseTakesWaveOrMp3Only)
{
    const std::string in = file("in.wav", tonefile(0.1));
    script.answer(dir.file("notes.txt"));
    script.answer(in);
    dlg->inbrowse()->click();
    EXPECT_EQ(boxes.texts(), std::vector<std::string>{"You must select a WAVE or MP3 file\nPlease choose another file and try again"});
    EXPECT_EQ(boxes.last().caption, "Invalid file type");
    EXPECT_EQ(boxes.last().icon, Boxicon::warning);
    EXPECT_EQ(dlg->inpath(), "");
    dlg->inbrowse()->click();
    EXPECT_EQ(dlg->inpath(), in);
    EXPECT_EQ(dlg->inedit()->text().toStdString(), in);
    EXPECT_EQ(dlg->state(), Cmp3conv::NOFILES);

    // The output may be a file that does not exist yet; Play needs one that does.
    script.answer(dir.file("new.MP3"));
    dlg->outbrowse()->click();
    EXPECT_EQ(dlg->types(), Cmp3conv::INWAV | Cmp3conv::OUTMP3);
    EXPECT_EQ(dlg->state(), Cmp3conv::READY);
    EXPECT_EQ(enabled(), "100111");
    EXPECT_TRUE(dlg->convertbutton()->hasFocus() || !dlg->isActiveWindow());

    ASSERT_EQ(script.requests().size(), 3u);
    for (const auto& r : script.requests()) {
        EXPECT_EQ(r.kind, "open");
        EXPECT_EQ(r.req.filter, Cmp3conv::FILTER);
        EXPECT_EQ(r.req.startdir, dir.path());
        EXPECT_EQ(r.req.owner, dlg.get());
    }
    EXPECT_FALSE(script.requests()[0].req.anyname);
    EXPECT_TRUE(script.requests()[2].req.anyname);

    script.cancel();   // Cancel changes nothing
    dlg->outbrowse()->click();
    EXPECT_EQ(dlg->outpath(), dir.file("new.MP3"));
}

TEST_F(Mp3conv, ConvertRefusesWrongPairsAndMissingInput)
{
    drop(file("a.wav", tonefile(0.1)));
    script.answer(dir.file("b.wav"));
    dlg->outbrowse()->click();
    EXPECT_EQ(dlg->state(), Cmp3conv::READY);   // a pair, if not an allowed one
    dlg->convertbutton()->click();
    script.answer(dir.file("gone.mp3"));
    dlg->inbrowse()->click();
    dlg->convertbutton()->click();
    EXPECT_EQ(boxes.texts(), (std::vector<std::string>{
                                 "You must choose input file WAVE and output file MP3 or\ninput file MP3 and output file WAVE\n",
                                 "The input file does not exist"}));
    EXPECT_EQ(boxes.all()[0].caption, "Invalid file type");
    EXPECT_EQ(boxes.all()[1].caption, "File doesn't exist");
    EXPECT_EQ(dlg->state(), Cmp3conv::READY);
    EXPECT_EQ(dlg->runner(), nullptr);
}

TEST_F(Mp3conv, EncodesAndDecodesWithTheRealCodec)
{
    const std::string wav = file("song.wav", tonefile(3));
    const std::string mp3 = dir.file("song.mp3");
    drop(wav);
    drop(mp3);
    dlg->convertbutton()->click();
    ASSERT_NE(dlg->runner(), nullptr);
    // The codec writes a new temporary file without a name in the output's folder, reached
    // through this process's descriptor, which takes the output's name when it ends well.
    const std::string cmd = dlg->runner()->program() + dlg->runner()->arguments();
    EXPECT_TRUE(QRegularExpression(QRegularExpression::escape(QString::fromStdString(PROGDIR + "/MP3Codec.exe \"" + wav + "\" \"")) +
                                   "/proc/[0-9]+/fd/[0-9]+\"$")
                    .match(QString::fromStdString(cmd))
                    .hasMatch())
        << cmd;
    EXPECT_EQ(dlg->state(), Cmp3conv::CONVERTING);
    EXPECT_EQ(enabled(), "010000");
    ASSERT_TRUE(waitend());
    EXPECT_TRUE(boxes.empty()) << boxes.last().text;
    EXPECT_EQ(dlg->state(), Cmp3conv::READY);
    EXPECT_EQ(dlg->progress(), 100);
    // The encoder's time column, between the bars of its progress line: the same text as the
    // codec prints for this file when run by hand.
    EXPECT_TRUE(QRegularExpression("^ +\\d+:\\d\\d/ +\\d+:\\d\\d$").match(dlg->status()).hasMatch())
        << dlg->status().toStdString();
    const std::string log = dir.file("lame.log");
    ASSERT_EQ(std::system(("/usr/bin/lame '" + wav + "' '" + dir.file("check.mp3") + "' </dev/null >'" + log + "' 2>&1").c_str()), 0);
    const Bytes printed = readbytes(log);
    EXPECT_NE(std::string(printed.begin(), printed.end()).find("(100%)|" + dlg->status().toStdString() + "|"),
              std::string::npos);
    EXPECT_EQ(enabled(), "101111");
    const Bytes encoded = readbytes(mp3);
    ASSERT_GT(encoded.size(), 1000u);
    EXPECT_TRUE((encoded[0] == 'I' && encoded[1] == 'D' && encoded[2] == '3') || encoded[0] == 0xFF);
    EXPECT_TRUE(shot(dlg.get(), "mp3conv_encoded"));

    // And back: the decoder's frame counter drives the progress.
    Cmp3conv back(ctx, &mainwin);
    back.show();
    const std::string out = dir.file("back.wav");
    back.dropfiles({QString::fromStdString(mp3)});
    back.dropfiles({QString::fromStdString(out)});
    back.convertbutton()->click();
    EXPECT_EQ(back.runner()->arguments().rfind("--decode \"" + mp3 + "\" \"/proc/", 0), 0u);
    ASSERT_TRUE(spinuntil([&] { return !back.runner(); }));
    EXPECT_EQ(back.progress(), 100);
    const QRegularExpressionMatch m = QRegularExpression("^(\\d+)/(\\d+)$").match(back.status());
    ASSERT_TRUE(m.hasMatch()) << back.status().toStdString();
    EXPECT_EQ(m.captured(1), m.captured(2));
    EXPECT_GT(m.captured(2).toInt(), 100);   // about 38 frames a second
    Cwavfil w(out);
    ASSERT_TRUE(w.openrd());
    EXPECT_NEAR(w.nframes, 3 * 44100, 2000);
    w.close();

    // Close hands the decoded WAVE to the main window.
    back.closebutton()->click();
    EXPECT_EQ(back.result(), QDialog::Accepted);
    ASSERT_TRUE(ctx.wave);
    EXPECT_EQ(ctx.wave->path(), out);
    EXPECT_EQ(ctx.wavepath, out);
    EXPECT_EQ(ctx.wavetitle, "back.wav");
    EXPECT_EQ(mainwin.got, std::vector<unsigned>{WM_REFRESH});
}

TEST_F(Mp3conv, EscapeAndAnMp3ResultHandNothingOver)
{
    const std::string mp3 = file("x.mp3", Bytes{1, 2, 3});
    const std::string wav = file("x.wav", tonefile(0.1));
    {
        Cmp3conv d(ctx, &mainwin);
        d.dropfiles({QString::fromStdString(mp3)});
        d.dropfiles({QString::fromStdString(wav)});
        d.show();
        QTest::keyClick(&d, Qt::Key_Escape);
        EXPECT_EQ(d.result(), QDialog::Rejected);
    }
    {
        Cmp3conv d(ctx, &mainwin);
        d.dropfiles({QString::fromStdString(wav)});
        d.dropfiles({QString::fromStdString(mp3)});
        d.accept();
    }
    EXPECT_FALSE(ctx.wave);
    EXPECT_TRUE(mainwin.got.empty());
}

TEST_F(Mp3conv, AbortEndsTheCodecQuicklyAndTheNextRunWaitsForItsEnd)
{
    const std::string wav = file("long.wav", tonefile(90));
    const std::string mp3 = dir.file("long.mp3");
    drop(wav);
    drop(mp3);
    dlg->convertbutton()->click();
    drop(dir.file("other.wav"));   // the files of a run stay as they are
    EXPECT_EQ(dlg->inpath(), wav);
    // Wait until the codec is really encoding.
    ASSERT_TRUE(spinuntil([&] { return dlg->progress() > 0 || !dlg->runner(); }));
    const Cconsole* first = dlg->runner();
    ASSERT_NE(first, nullptr) << "the encode ended before it could be aborted";
    QElapsedTimer t;
    t.start();
    dlg->abortbutton()->click();
    // Ready at once, but no new run before the aborted one has reported its end.
    EXPECT_EQ(dlg->state(), Cmp3conv::READY);
    EXPECT_EQ(enabled(), "000111");   // nothing to play: an aborted run leaves no output
    dlg->convertbutton()->click();
    EXPECT_EQ(dlg->runner(), first);
    ASSERT_TRUE(waitend(5000));
    EXPECT_LT(t.elapsed(), 200);
    EXPECT_EQ(enabled(), "100111");
    // The codec is gone and so is its unfinished output.
    QThread::msleep(150);
    EXPECT_FALSE(exists(mp3));
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) EXPECT_NE(e.path().extension(), ".tmp");

    dlg->convertbutton()->click();
    EXPECT_EQ(dlg->state(), Cmp3conv::CONVERTING);
    ASSERT_NE(dlg->runner(), nullptr);
    dlg->abortbutton()->click();
    ASSERT_TRUE(waitend(5000));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Mp3conv, MissingCodecGivesTheTwoBoxes)
{
    Tempdir empty;
    ctx.settings.progdir = empty.path();
    drop(file("a.wav", tonefile(0.1)));
    drop(dir.file("a.mp3"));
    dlg->convertbutton()->click();
    ASSERT_TRUE(waitend(5000));
    ASSERT_EQ(boxes.count(), 2u);
    EXPECT_EQ(boxes.all()[0].text, empty.path() + "/MP3Codec.exe \nCannot execute console program");
    EXPECT_EQ(boxes.all()[0].icon, Boxicon::error);
    EXPECT_EQ(boxes.all()[1].text, "There was an error while converting\nPlease make sure that the input file\nis valid and try again");
    EXPECT_EQ(boxes.all()[1].caption, "Conversion error");
    EXPECT_EQ(boxes.all()[1].owner, dlg.get());
    EXPECT_EQ(dlg->state(), Cmp3conv::READY);
    EXPECT_EQ(enabled(), "100111");
}

TEST_F(Mp3conv, PathsWithShellCharactersAndQuotesReachTheCodecUnchanged)
{
    const std::string sub = dir.file("my $HOME `touch hacked` ;& * dir");
    ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
    const std::string wav = sub + "/say \"hi\" $(touch x) & ;.wav";
    ASSERT_TRUE(writebytes(wav, tonefile(0.5)));
    const std::string mp3 = sub + "/out \"q\" * ` $.mp3";
    run(wav, mp3);
    EXPECT_TRUE(boxes.empty()) << boxes.last().text;
    EXPECT_GT(readbytes(mp3).size(), 1000u);
    const std::string back = sub + "/\"back\\\".wav";
    Cmp3conv d(ctx, nullptr);
    d.dropfiles({QString::fromStdString(mp3)});
    d.dropfiles({QString::fromStdString(back)});
    d.convertbutton()->click();
    ASSERT_TRUE(spinuntil([&] { return !d.runner(); }));
    EXPECT_GT(readbytes(back).size(), 44u);
    // Nothing but the three files: no command ran.
    EXPECT_EQ(listdir(sub), (std::vector<std::string>{"\"back\\\".wav", "out \"q\" * ` $.mp3", "say \"hi\" $(touch x) & ;.wav"}));
    EXPECT_EQ(listdir(dir.path()), std::vector<std::string>{"my $HOME `touch hacked` ;& * dir"});
}

TEST_F(Mp3conv, PlayOfAnMp3ResultOpensItWithTheShell)
{
    drop(file("a.wav", tonefile(0.1)));
    drop(dir.file("a.mp3"));
    EXPECT_FALSE(dlg->playbutton()->isEnabled());   // the output does not exist yet
    file("a.mp3", Bytes{0xFF, 0xFB});
    drop(dir.file("a.mp3"));
    ASSERT_TRUE(dlg->playbutton()->isEnabled());
    dlg->playbutton()->click();
    ASSERT_EQ(script.requests().size(), 1u);
    EXPECT_EQ(script.last().kind, "shell");
    EXPECT_EQ(script.last().text, dir.file("a.mp3"));
    EXPECT_EQ(script.last().dir, dir.path());
    EXPECT_EQ(dlg->state(), Cmp3conv::READY);
    EXPECT_TRUE(boxes.empty());

    // A desktop with no program for MP3 files: said in a box that names the file.
    script.noopener();
    dlg->playbutton()->click();
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.last().caption, "Couldn't play the MP3 file");
    EXPECT_EQ(boxes.last().detail, dir.file("a.mp3"));
    EXPECT_EQ(dlg->state(), Cmp3conv::READY);
}

TEST_F(Mp3conv, PlayOfABadWaveResultWarns)
{
    Cwavesys* prev = setwavesys(nullptr);   // no wave device at all
    drop(file("in.mp3", Bytes{1}));
    const struct {
        Bytes bytes;
        std::vector<std::string> texts;
        const char* caption;
    } cases[] = {
        {Bytes(100, 7), {"Cwavfil::openrd\nError while reading WAVE file",
                         "The WAVE file selected appears to be corrupt\nPlease CONVERT the MP3 file again"}, "Invalid Wave file"},
        {wavefile(2, 44100, 0), {"The WAVE file selected is empty\nPlease CONVERT the MP3 file again"}, "Wave file empty"},
        {wavefile(2, 44100, 100), {"The Wave output device is not ready. Possible causes:\n1) There is another application "
                                   "using the device\n2) Your computer doesn't have sound output capabilities"}, "Wave output busy"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.caption);
        boxes.clear();
        drop(file("out.wav", c.bytes));
        dlg->playbutton()->click();
        EXPECT_EQ(boxes.texts(), c.texts);
        EXPECT_EQ(boxes.last().caption, c.caption);
        EXPECT_EQ(dlg->state(), Cmp3conv::READY);
        EXPECT_FALSE(dlg->playing());
        EXPECT_TRUE(dlg->acceptDrops());
    }
    setwavesys(prev);
}

TEST_F(Mp3conv, ClosingDuringARunWaitsForItsEnd)
{
    const std::string wav = file("long.wav", tonefile(60));
    for (bool escape : {false, true}) {
        SCOPED_TRACE(escape);
        auto d = std::make_unique<Cmp3conv>(ctx, &mainwin);
        d->show();
        d->dropfiles({QString::fromStdString(wav)});
        d->dropfiles({QString::fromStdString(dir.file("long.mp3"))});
        d->convertbutton()->click();
        ASSERT_TRUE(spinuntil([&] { return d->progress() > 0 || !d->runner(); }));
        if (escape)
            QTest::keyClick(d.get(), Qt::Key_Escape);
        else
            d->closebutton()->click();
        EXPECT_EQ(d->runner(), nullptr);
        EXPECT_FALSE(d->isVisible());
        d.reset();
        // Anything the worker still had queued finds no dialog.
        QApplication::processEvents();
    }
    // Destroying the dialog in the middle of a run is safe too.
    {
        Cmp3conv d(ctx, nullptr);
        d.dropfiles({QString::fromStdString(wav)});
        d.dropfiles({QString::fromStdString(dir.file("long.mp3"))});
        d.convertbutton()->click();
    }
    QApplication::processEvents();
    EXPECT_FALSE(ctx.wave);   // an MP3 result is never handed over
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Mp3conv, CtrlCInTheMainWindowRunsItAndCloseShowsTheResult)
{
    dlg.reset();
    const std::string mp3 = file("song.mp3", Bytes{0xFF});
    const std::string wav = file("song.wav", tonefile(0.1));
    Cmainwin win(ctx);
    win.show();
    QApplication::setActiveWindow(&win);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&win));
    bool opened = false;
    onmodal<Cmp3conv>([&](Cmp3conv* d) {
        opened = true;
        EXPECT_EQ(d->windowTitle(), "Cantorix - MP3 converter");
        EXPECT_TRUE(win.isMinimized());
        d->dropfiles({QString::fromStdString(mp3)});
        d->dropfiles({QString::fromStdString(wav)});
        d->closebutton()->click();
    });
    QTest::keyClick(&win, Qt::Key_C, Qt::ControlModifier);
    EXPECT_TRUE(opened);
    EXPECT_EQ(win.wavetext(), "song.wav");
    EXPECT_EQ(ctx.wavepath, wav);
    EXPECT_FALSE(win.isMinimized());
}
