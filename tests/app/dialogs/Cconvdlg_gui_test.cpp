// The MIDI converter dialog driven as a person would: files chosen by browsing and dropping, a
// whole conversion of the example song with the small real bank, Abort and Close while the
// render thread runs, the result checks on crafted songs, and Play's failures.
#include "app/dialogs/Convdlgfixture.h"

#include "app/Cmainwin.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QThread>
#include <QProgressBar>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>

#include <csignal>
#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <vector>

namespace {

const int OTHERS[] = {Cconvdlg::IDBROWSEMIDI, Cconvdlg::IDBROWSEWAVE, Cconvdlg::IDDEFAULTS, Cconvdlg::IDHELP,
                      Cconvdlg::IDSLOWER, Cconvdlg::IDFASTER, Cconvdlg::IDHIGHER, Cconvdlg::IDLOWER,
                      Cconvdlg::IDTEMPO, Cconvdlg::IDTRANSPOSE, Cconvdlg::IDSHOWERR, Cconvdlg::IDNORMALIZE};

// Convert, Abort, Play and the other controls as the control rules of a state set them.
void expectrules(Cconvdlg& d, bool convert, bool abort, bool play, bool others)
{
    EXPECT_EQ(d.control(Cconvdlg::IDCONVERT)->isEnabled(), convert);
    EXPECT_EQ(d.control(Cconvdlg::IDABORT)->isEnabled(), abort);
    EXPECT_EQ(d.control(Cconvdlg::IDPLAY)->isEnabled(), play);
    for (int id : OTHERS) EXPECT_EQ(d.control(id)->isEnabled(), others) << id;
    EXPECT_TRUE(d.control(Cconvdlg::IDCLOSE)->isEnabled());
}

std::vector<std::string> captions(const Boxes& b)
{
    std::vector<std::string> c;
    for (const Cbox& x : b.all()) c.push_back(x.caption);
    return c;
}

// A quiet piano note: loud enough to sound, far below full scale.
Bytes quietnote() { return {0x00, 0xC0, 0x00, 0x00, 0x90, 60, 12, 0x60, 0x80, 60, 0}; }

}  // namespace

TEST_F(Convdlg, OpensWithTheCurrentFilesAndDerivesTheWave)
{
    {
        Cconvdlg d(ctx, &mainwin);
        EXPECT_EQ(d.windowTitle(), "Cantorix - MIDI converter");
        EXPECT_EQ(d.state(), Cconvdlg::NOFILES);
        EXPECT_EQ(d.timetext(), "00:00 / 00:00");
        expectrules(d, false, false, false, true);
        EXPECT_TRUE(shot(&d, "convdlg_state0"));
    }
    ASSERT_TRUE(ctx.loadmidi(EXAMPLE));
    Cconvdlg d(ctx, &mainwin);
    EXPECT_EQ(d.state(), Cconvdlg::READY);
    EXPECT_EQ(d.miditext(), "greensleeves.kar");
    EXPECT_EQ(d.wavetext(), "greensleeves.wav");
    EXPECT_EQ(ctx.wavepath, dir.file("greensleeves.wav"));
    EXPECT_FALSE(exists(ctx.wavepath));   // named, not created
    EXPECT_EQ(mainwin.refreshes, 1);
    expectrules(d, true, false, false, true);   // Play needs the file on disk
}

TEST_F(Convdlg, ConvertsTheExampleSong)
{
    ASSERT_TRUE(ctx.loadmidi(EXAMPLE));
    Cconvdlg d(ctx, &mainwin);
    std::vector<int> percents;
    std::vector<QString> times;
    bool shown = false;
    QObject::connect(static_cast<QProgressBar*>(d.control(Cconvdlg::IDPROGRESS)), &QProgressBar::valueChanged,
                     [&](int v) {
                         percents.push_back(v);
                         times.push_back(d.timetext());
                         if (!shown) {
                             // The render thread waits for this message: the dialog is mid-way.
                             expectrules(d, false, true, false, false);
                             EXPECT_EQ(d.state(), Cconvdlg::CONVERTING);
                             EXPECT_TRUE(shot(&d, "convdlg_state2"));
                             shown = true;
                         }
                     });
    click(d, Cconvdlg::IDCONVERT);
    EXPECT_EQ(d.state(), Cconvdlg::CONVERTING);
    EXPECT_EQ(d.timetext(), "00:00 / 00:00");
    EXPECT_FALSE(d.acceptDrops());
    ASSERT_TRUE(waitfor([&] { return !d.converting(); }));

    EXPECT_EQ(d.state(), Cconvdlg::READY);
    EXPECT_TRUE(d.acceptDrops());
    expectrules(d, true, false, true, true);
    EXPECT_TRUE(boxes.empty()) << boxes.last().caption;
    ASSERT_GE(percents.size(), 2u);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(percents.back(), 100);
    const QRegularExpression form("^(\\d\\d):(\\d\\d) / (\\d\\d):(\\d\\d)$");
    for (const QString& t : times) {
        const auto m = form.match(t);
        EXPECT_TRUE(m.hasMatch()) << t.toStdString();
        // The last block and the release tail run past the song's end; the text stops at the total.
        EXPECT_LE(m.captured(1).toUInt() * 60 + m.captured(2).toUInt(), m.captured(3).toUInt() * 60 + m.captured(4).toUInt())
            << t.toStdString();
    }
    // The total part is the song's length at the tempo setting, the same in every text.
    const auto total = form.match(times.back());
    const unsigned secs = unsigned(d.converter().sequen().total() * 1e-6);
    EXPECT_EQ(total.captured(3).toUInt() * 60 + total.captured(4).toUInt(), secs);
    EXPECT_GT(secs, 10u);

    // A finished, normalized file: sizes patched, loudest sample at full scale.
    const Wavedata w = readwave(ctx.wavepath);
    EXPECT_EQ(w.riff, w.size - 8);
    EXPECT_EQ(w.data, w.size - 44);
    EXPECT_GE(w.frames, size_t(secs) * 44100);
    EXPECT_GE(w.maxabs, 32700);
    EXPECT_TRUE(shot(&d, "convdlg_state1"));
}

TEST_F(Convdlg, AsksBeforeReplacingAWaveOfAnotherSong)
{
    // The first song's WAVE file exists; then another song is loaded the main window's way, which
    // keeps the current WAVE file.
    const std::string first = midi("first.mid", pianonote()), second = midi("second.mid", pianonote());
    ASSERT_TRUE(ctx.loadmidi(first));
    ctx.derivewave();
    const Bytes old = wavefile(2, 44100, 100);
    writebytes(ctx.wavepath, old);
    const std::string wav = ctx.wavepath;
    ASSERT_TRUE(ctx.loadmidi(second));

    Cconvdlg d(ctx, &mainwin);
    EXPECT_EQ(d.wavetext(), "first.wav");
    click(d, Cconvdlg::IDCONVERT);
    ASSERT_EQ(boxes.asked(), 1);
    EXPECT_EQ(boxes.last().caption, "Replace WAVE file");
    EXPECT_EQ(boxes.last().text, "The WAVE file first.wav already exists\nand was not made from second.mid\n"
                                 "Do you want to replace it?");
    EXPECT_EQ(boxes.last().detail, wav);
    EXPECT_EQ(boxes.last().owner, static_cast<const void*>(&d));
    // Cancel: nothing started, the file is as it was.
    EXPECT_EQ(d.state(), Cconvdlg::READY);
    EXPECT_FALSE(d.converting());
    EXPECT_EQ(readbytes(wav), old);

    // Replace: converted; the file now belongs to this song and is not asked about again.
    boxes.replace(true);
    ASSERT_TRUE(convertall(d));
    EXPECT_NE(readbytes(wav), old);
    boxes.replace(false);
    ASSERT_TRUE(convertall(d));
    EXPECT_EQ(boxes.asked(), 2);

    // A WAVE file chosen by hand is another song's too; a new name that does not exist is not.
    writebytes(dir.file("mine.wav"), old);
    shell.answer(dir.file("mine.wav"));
    click(d, Cconvdlg::IDBROWSEWAVE);
    click(d, Cconvdlg::IDCONVERT);
    EXPECT_EQ(boxes.asked(), 3);
    EXPECT_EQ(readbytes(dir.file("mine.wav")), old);
    shell.answer(dir.file("new.wav"));
    click(d, Cconvdlg::IDBROWSEWAVE);
    ASSERT_TRUE(convertall(d));
    EXPECT_EQ(boxes.asked(), 3);
}

TEST_F(Convdlg, AsksAboutAnOlderFileUnderTheNameOfANewSong)
{
    // ballad.wav in the working folder is another song's; choosing ballad.mid proposes its name.
    const std::string ballad = midi("ballad.mid", pianonote()), other = midi("other.mid", pianonote());
    const std::string wav = dir.file("ballad.wav");
    const Bytes old = wavefile(2, 44100, 100);
    writebytes(wav, old);
    const std::string question = "The WAVE file ballad.wav already exists\nand was not made from ballad.mid\n"
                                 "Do you want to replace it?";

    // Whichever way the name came (derived at opening, after Browse, after a drop), Convert asks,
    // and Cancel starts nothing and leaves the file as it was.
    const std::function<void(Cconvdlg&)> ways[] = {
        [](Cconvdlg&) {},
        [&](Cconvdlg& d) {
            shell.answer(ballad);
            click(d, Cconvdlg::IDBROWSEMIDI);
        },
        [&](Cconvdlg& d) { d.dropfiles({QString::fromStdString(ballad)}); },
    };
    int asked = 0;
    for (const auto& way : ways) {
        SCOPED_TRACE(asked);
        ASSERT_TRUE(ctx.loadmidi(asked == 0 ? ballad : other));
        ctx.clearwave();
        Cconvdlg d(ctx, &mainwin);
        way(d);
        ASSERT_EQ(d.wavetext(), "ballad.wav");
        click(d, Cconvdlg::IDCONVERT);
        ASSERT_EQ(boxes.asked(), ++asked);
        EXPECT_EQ(boxes.last().text, question);
        EXPECT_EQ(boxes.last().caption, "Replace WAVE file");
        EXPECT_EQ(boxes.last().detail, wav);
        EXPECT_EQ(d.state(), Cconvdlg::READY);
        EXPECT_FALSE(d.converting());
        EXPECT_EQ(readbytes(wav), old);
    }

    // Replace: the file this converter wrote from ballad.mid is not asked about again, in this
    // dialog, after another song and back, or in the next converter dialog of the run.
    Cconvdlg d(ctx, &mainwin);
    boxes.replace(true);
    ASSERT_TRUE(convertall(d));
    EXPECT_EQ(boxes.asked(), asked + 1);
    EXPECT_NE(readbytes(wav), old);
    boxes.replace(false);
    ASSERT_TRUE(convertall(d));
    shell.answer(other);
    click(d, Cconvdlg::IDBROWSEMIDI);
    shell.answer(ballad);
    click(d, Cconvdlg::IDBROWSEMIDI);
    ASSERT_TRUE(convertall(d));
    d.reject();
    {
        Cconvdlg next(ctx, &mainwin);
        ASSERT_TRUE(convertall(next));
    }
    EXPECT_EQ(boxes.asked(), asked + 1);

    // Written over by anything else since, it is no longer this song's file.
    const Bytes mine = readbytes(wav);
    std::filesystem::remove(wav);
    writebytes(wav, mine);
    Cconvdlg last(ctx, &mainwin);
    click(last, Cconvdlg::IDCONVERT);
    EXPECT_EQ(boxes.asked(), asked + 2);
    EXPECT_EQ(readbytes(wav), mine);
}

TEST_F(Convdlg, ResultChecksOnCraftedSongs)
{
    struct Case {
        const char* name;
        Bytes events;
        bool normalize;
        const char* caption;   // "" for no box
    };
    const Case cases[] = {
        {"silent.mid", {0x00, 0xC0, 0x00}, true, "WAVE file empty"},
        {"quiet.mid", quietnote(), false, "Adjust Master Volume"},
        {"quietnorm.mid", quietnote(), true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        ASSERT_TRUE(ctx.loadmidi(midi(c.name, c.events)));
        ctx.derivewave();
        Cconvdlg d(ctx, &mainwin);
        static_cast<QAbstractButton*>(d.control(Cconvdlg::IDNORMALIZE))->setChecked(c.normalize);
        ASSERT_TRUE(convertall(d));
        EXPECT_EQ(d.state(), Cconvdlg::READY);
        if (std::string(c.caption) == "WAVE file empty") {
            // Checked before it takes the name: a silent result is not kept.
            ASSERT_EQ(boxes.count(), 1u);
            EXPECT_EQ(boxes.last().caption, c.caption);
            EXPECT_FALSE(exists(ctx.wavepath));
            continue;
        }
        const Wavedata w = readwave(ctx.wavepath);
        EXPECT_EQ(w.data, w.size - 44);
        if (!*c.caption) {
            EXPECT_TRUE(boxes.empty());
            EXPECT_GE(w.maxabs, 32700);   // raised to full scale
            continue;
        }
        ASSERT_EQ(boxes.count(), 1u);
        EXPECT_EQ(boxes.last().caption, c.caption);
        EXPECT_EQ(boxes.last().owner, &d);
        EXPECT_EQ(boxes.last().icon, Boxicon::warning);
        if (std::string(c.caption) == "Adjust Master Volume") {
            // Whole dB of headroom of the file's own loudest sample; the level stays as rendered.
            ASSERT_GT(w.maxabs, 8);
            ASSERT_LT(w.maxabs, 16384);
            const int db = int(20 * std::log10(32767.0 / w.maxabs));
            EXPECT_NE(boxes.last().text.find("Master Volume by " + std::to_string(db) + " dB"), std::string::npos)
                << boxes.last().text;
        }
    }
}

TEST_F(Convdlg, AbortFinishesTheFileAndChecksIt)
{
    ASSERT_TRUE(ctx.loadmidi(EXAMPLE));
    Cconvdlg d(ctx, &mainwin);
    bool aborted = false;
    QObject::connect(static_cast<QProgressBar*>(d.control(Cconvdlg::IDPROGRESS)), &QProgressBar::valueChanged,
                     [&](int v) {
                         if (aborted || v == 0) return;
                         aborted = true;
                         click(d, Cconvdlg::IDABORT);
                         // Ready at once, but no second conversion and no file change until the
                         // thread has reported its end.
                         EXPECT_EQ(d.state(), Cconvdlg::READY);
                         EXPECT_TRUE(d.converting());
                         EXPECT_FALSE(enabled(d, Cconvdlg::IDCONVERT));
                         EXPECT_FALSE(enabled(d, Cconvdlg::IDBROWSEMIDI));
                         EXPECT_FALSE(enabled(d, Cconvdlg::IDPLAY));
                         EXPECT_TRUE(enabled(d, Cconvdlg::IDNORMALIZE));
                         d.convert();   // refused while the thread runs
                         EXPECT_EQ(d.state(), Cconvdlg::READY);
                     });
    click(d, Cconvdlg::IDCONVERT);
    ASSERT_TRUE(waitfor([&] { return !d.converting(); }));
    ASSERT_TRUE(aborted);
    expectrules(d, true, false, true, true);
    const Wavedata w = readwave(ctx.wavepath);
    EXPECT_EQ(w.riff, w.size - 8);
    EXPECT_EQ(w.data, w.size - 44);
    EXPECT_GT(w.frames, 0u);
    EXPECT_LT(double(w.frames) / 44100, d.converter().sequen().total() * 1e-6);
    EXPECT_GE(w.maxabs, 32700);   // the checks ran and normalized the part written
}

TEST_F(Convdlg, CloseDuringAConversionEndsAfterTheThreadWithoutChecks)
{
    ASSERT_TRUE(ctx.loadmidi(EXAMPLE));
    Cconvdlg d(ctx, &mainwin);
    d.show();
    static_cast<QAbstractButton*>(d.control(Cconvdlg::IDNORMALIZE))->setChecked(false);
    bool closed = false;
    QObject::connect(static_cast<QProgressBar*>(d.control(Cconvdlg::IDPROGRESS)), &QProgressBar::valueChanged,
                     [&](int v) {
                         if (closed || v == 0) return;
                         closed = true;
                         d.reject();   // Escape
                         EXPECT_TRUE(d.closepending());
                         EXPECT_TRUE(d.isVisible());
                     });
    click(d, Cconvdlg::IDCONVERT);
    ASSERT_TRUE(waitfor([&] { return !d.isVisible(); }));
    EXPECT_FALSE(d.converting());
    EXPECT_EQ(d.result(), QDialog::Rejected);
    EXPECT_TRUE(boxes.empty());   // no "Adjust Master Volume" although normalize is off
    const Wavedata w = readwave(ctx.wavepath);
    EXPECT_EQ(w.data, w.size - 44);
}

TEST_F(Convdlg, AMissingBankFailsEveryConvertOfThisDialog)
{
    ASSERT_TRUE(ctx.loadmidi(midi("note.mid", pianonote())));
    ctx.settings.bankpath = dir.file("missing.sf2");
    {
        Cconvdlg d(ctx, &mainwin);
        click(d, Cconvdlg::IDCONVERT);
        click(d, Cconvdlg::IDCONVERT);
        ctx.settings.bankpath = REALBANK;   // a better bank is taken only by the next dialog
        click(d, Cconvdlg::IDCONVERT);
        EXPECT_EQ(d.state(), Cconvdlg::READY);
        const auto caps = captions(boxes);
        EXPECT_EQ(std::count(caps.begin(), caps.end(), "Couldn't find sound bank"), 3);
        EXPECT_EQ(caps.back(), "Couldn't find sound bank");
        EXPECT_EQ(boxes.last().text.rfind("The required sound bank does not exist.", 0), 0u);
        EXPECT_FALSE(exists(ctx.wavepath));
    }
    EXPECT_FALSE(ctx.bank);
    boxes.clear();
    Cconvdlg d(ctx, &mainwin);
    ASSERT_TRUE(convertall(d));
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(exists(ctx.wavepath));
}

TEST_F(Convdlg, AFailedWriteIsReported)
{
    ASSERT_TRUE(ctx.loadmidi(midi("note.mid", pianonote())));
    Cconvdlg d(ctx, &mainwin);
    // /dev/full refuses the header: nothing starts.
    ctx.setwave("/dev/full");
    boxes.replace(true);   // an existing file chosen by hand: replaced only after a yes
    click(d, Cconvdlg::IDCONVERT);
    EXPECT_EQ(d.state(), Cconvdlg::READY);
    EXPECT_EQ(captions(boxes),
              std::vector<std::string>({"Replace WAVE file", "Error!", "Couldn't create the WAVE file"}));

    // A file size limit lets the header through and refuses the render thread's first second of
    // audio: reported as a file that could not be written, with no level checks on it.
    boxes.clear();
    ctx.setwave(dir.file("limited.wav"));
    static_cast<QAbstractButton*>(d.control(Cconvdlg::IDNORMALIZE))->setChecked(false);
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    void (*prevsig)(int) = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool done = convertall(d);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, prevsig);
    ASSERT_TRUE(done);
    EXPECT_EQ(d.state(), Cconvdlg::READY);
    EXPECT_EQ(captions(boxes), std::vector<std::string>({"Couldn't create the WAVE file"}));
    EXPECT_EQ(boxes.last().text.rfind("There was an error while creating the WAVE file\n", 0), 0u);
}

TEST_F(Convdlg, BrowsingAndDroppingChooseTheFiles)
{
    const std::string song = midi("song.kar", pianonote());
    const std::string upper = midi("DROP.MID", pianonote());
    const std::string bad = dir.file("bad.mid");
    writebytes(bad, {'M', 'T', 'h', 'd', 0, 0});
    Cconvdlg d(ctx, &mainwin);

    shell.answer(song);
    click(d, Cconvdlg::IDBROWSEMIDI);
    EXPECT_EQ(shell.last().req.filter, "MIDI & Kar Files (*.mid;*.midi;*.kar)|*.mid;*.midi;*.kar|MIDI Files "
                                       "(*.mid;*.midi)|*.mid;*.midi|Karaoke Files (*.kar)|*.kar|All Files (*.*)|*.*||");
    EXPECT_EQ(shell.last().req.startdir, dir.path());   // no file yet: the working folder
    EXPECT_EQ(d.miditext(), "song.kar");
    EXPECT_EQ(d.wavetext(), "song.wav");
    EXPECT_EQ(d.state(), Cconvdlg::READY);

    shell.answer(dir.file("mine.WAV"));
    click(d, Cconvdlg::IDBROWSEWAVE);
    EXPECT_EQ(shell.last().kind, "save");
    EXPECT_EQ(shell.last().req.filter, "WAVE Files (*.wav)|*.wav|All Files (*.*)|*.*||");
    EXPECT_EQ(shell.last().req.defext, "wav");
    EXPECT_EQ(shell.last().req.startdir, "");
    EXPECT_EQ(d.wavetext(), "mine.WAV");
    EXPECT_EQ(d.miditext(), "song.kar");   // the MIDI file stays

    shell.answer(dir.file("notes.txt"));
    click(d, Cconvdlg::IDBROWSEMIDI);
    shell.answer(dir.file("out.mp3"));
    click(d, Cconvdlg::IDBROWSEWAVE);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>({"You must select a MIDI or Kar file\nPlease choose another "
                                                       "file and try again",
                                                       "You must select a WAVE file\nPlease choose another file and "
                                                       "try again"}));
    EXPECT_EQ(captions(boxes), std::vector<std::string>({"Invalid file type", "Invalid file type"}));
    shell.cancel();
    click(d, Cconvdlg::IDBROWSEMIDI);
    EXPECT_EQ(d.wavetext(), "mine.WAV");

    // Dropping: .midi and unknown kinds do nothing; upper case counts; a new MIDI file discards
    // the chosen WAVE file.
    boxes.clear();
    d.dropfiles({QString::fromStdString(dir.file("x.midi"))});
    d.dropfiles({QString::fromStdString(dir.file("x.txt")), QString::fromStdString(song)});
    d.dropfiles({"a.mid"});   // too short a path
    EXPECT_EQ(d.miditext(), "song.kar");
    d.dropfiles({QString::fromStdString(upper), QString::fromStdString(song)});
    EXPECT_EQ(d.miditext(), "DROP.MID");
    EXPECT_EQ(d.wavetext(), "DROP.wav");
    d.dropfiles({QString::fromStdString(dir.file("other.Wav"))});
    EXPECT_EQ(d.wavetext(), "other.Wav");
    EXPECT_EQ(d.miditext(), "DROP.MID");
    EXPECT_TRUE(boxes.empty());

    // A file that fails to load leaves no files: state 0, both edits empty.
    const int before = mainwin.refreshes;
    d.dropfiles({QString::fromStdString(bad)});
    EXPECT_EQ(d.state(), Cconvdlg::NOFILES);
    EXPECT_EQ(d.miditext(), "");
    EXPECT_EQ(d.wavetext(), "");
    EXPECT_FALSE(ctx.midi);
    EXPECT_FALSE(ctx.wave);
    EXPECT_EQ(captions(boxes).back(), "Couldn't load MIDI/KAR file");
    EXPECT_EQ(boxes.all().front().caption, "Error!");   // the reader's own box comes first
    EXPECT_EQ(mainwin.refreshes, before + 1);
    expectrules(d, false, false, false, true);
}

TEST_F(Convdlg, OptionsFromTheControlsAndDefaults)
{
    Csettings::set(ctx.settings.tempo, -30);
    Csettings::set(ctx.settings.transpose, 5);
    Csettings::set(ctx.settings.normalize, false);
    ASSERT_TRUE(ctx.loadmidi(midi("note.mid", pianonote())));
    Cconvdlg d(ctx, &mainwin);
    auto* faster = static_cast<QRadioButton*>(d.control(Cconvdlg::IDFASTER));
    auto* lower = static_cast<QRadioButton*>(d.control(Cconvdlg::IDLOWER));
    auto* tempo = static_cast<QSpinBox*>(d.control(Cconvdlg::IDTEMPO));
    auto* transpose = static_cast<QSpinBox*>(d.control(Cconvdlg::IDTRANSPOSE));
    EXPECT_TRUE(faster->isChecked());
    EXPECT_EQ(tempo->value(), 30);
    EXPECT_FALSE(lower->isChecked());
    EXPECT_EQ(transpose->value(), 5);

    struct Case { bool faster; const char* tempo; bool lower; const char* transpose; int t, k; };
    const Case cases[] = {
        {true, "25", false, "3", -25, 3},
        {false, "", true, "12", 0, -12},   // an empty edit reads as 0
        {true, "0", true, "", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tempo);
        (c.faster ? faster : static_cast<QRadioButton*>(d.control(Cconvdlg::IDSLOWER)))->setChecked(true);
        (c.lower ? lower : static_cast<QRadioButton*>(d.control(Cconvdlg::IDHIGHER)))->setChecked(true);
        tempo->findChild<QLineEdit*>()->setText(c.tempo);
        transpose->findChild<QLineEdit*>()->setText(c.transpose);
        ASSERT_TRUE(convertall(d));
        EXPECT_EQ(Csettings::get(ctx.settings.tempo), c.t);
        EXPECT_EQ(Csettings::get(ctx.settings.transpose), c.k);
    }
    boxes.clear();
    click(d, Cconvdlg::IDDEFAULTS);
    EXPECT_TRUE(static_cast<QAbstractButton*>(d.control(Cconvdlg::IDNORMALIZE))->isChecked());
    EXPECT_FALSE(static_cast<QAbstractButton*>(d.control(Cconvdlg::IDSHOWERR))->isChecked());
    EXPECT_FALSE(faster->isChecked());
    EXPECT_FALSE(lower->isChecked());
    EXPECT_EQ(tempo->value(), 0);
    EXPECT_EQ(transpose->value(), 0);

    click(d, Cconvdlg::IDHELP);
    EXPECT_EQ(shell.last().kind, "shell");
    EXPECT_EQ(shell.last().text, "Hlpmidic.htm");
    EXPECT_EQ(shell.last().dir, dir.path());
}

TEST_F(Convdlg, PlayFailuresLeaveTheDialogReady)
{
    ASSERT_TRUE(ctx.loadmidi(midi("note.mid", pianonote())));
    Cconvdlg d(ctx, &mainwin);
    struct Case { Bytes file; const char* caption; };
    const Case cases[] = {
        {{'R', 'I', 'F', 'F', 1, 2, 3}, "Invalid Wave file"},
        {wavefile(2, 44100, 0), "Wave file empty"},
        {wavefile(2, 44100, 100), "Wave output busy"},   // no wave device installed here
    };
    Cwavesys* prev = setwavesys(nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caption);
        writebytes(ctx.wavepath, c.file);
        boxes.clear();
        d.play();
        EXPECT_EQ(d.state(), Cconvdlg::READY);
        EXPECT_EQ(captions(boxes).back(), c.caption);
        EXPECT_EQ(ctx.wave->fd, -1);   // closed again
    }
    setwavesys(prev);
}

TEST_F(Convdlg, RenderWarningsAreShownByTheUiThreadWhileTheThreadWaits)
{
    // Controller 3 has no meaning: a warning when "Show MIDI error messages" is on.
    ASSERT_TRUE(ctx.loadmidi(midi("cc3.mid", {0x00, 0xC0, 0x00, 0x00, 0xB0, 0x03, 0x40, 0x00, 0x90, 60, 100, 0x60,
                                              0x80, 60, 0})));
    Cconvdlg d(ctx, &mainwin);
    static_cast<QAbstractButton*>(d.control(Cconvdlg::IDSHOWERR))->setChecked(true);
    Cqtboxsink qtbox;
    Cboxsink* prev = setboxsink(&qtbox);
    // Every box the thread raises (the bank may add its own generator warnings) is answered.
    QStringList captions;
    QWidget* parent = nullptr;
    bool onui = true;
    double elapsed = -1;
    QTimer answer;
    answer.setInterval(5);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* b = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!b || !b->isVisible()) return;
        captions << b->windowTitle();
        if (b->windowTitle() == "Invalid MIDI channel Control change") {
            parent = b->parentWidget();
            elapsed = d.converter().sequen().elapsed();   // the thread is held before its first block
        }
        onui = onui && QThread::currentThread() == qApp->thread();
        b->accept();
    });
    answer.start();
    const bool done = convertall(d);
    setboxsink(prev);
    ASSERT_TRUE(done);
    answer.stop();
    EXPECT_TRUE(captions.contains("Invalid MIDI channel Control change")) << captions.join(", ").toStdString();
    EXPECT_EQ(parent, &d);
    EXPECT_TRUE(onui);
    EXPECT_EQ(elapsed, 0);
    EXPECT_EQ(d.state(), Cconvdlg::READY);
}

TEST_F(Convdlg, TheMainWindowOpensItAndShowsTheFilesItChose)
{
    const std::string bad = dir.file("bad.mid");
    writebytes(bad, {'M', 'T', 'h', 'd'});
    ASSERT_TRUE(ctx.loadmidi(midi("song.mid", pianonote())));
    Cmainwin win(ctx);
    ASSERT_TRUE(win.action(ID_CONVERTER)->isEnabled());
    QString seen, afterdrop;
    onmodal<Cconvdlg>([&](Cconvdlg* d) {
        seen = d->wavetext();
        afterdrop = win.wavetext();
        d->dropfiles({QString::fromStdString(bad)});
        afterdrop += "|" + win.miditext() + "|" + win.wavetext();
        d->accept();
    });
    win.command(ID_CONVERTER);
    EXPECT_EQ(seen, "song.wav");
    EXPECT_EQ(afterdrop, "song.wav|(None)|(None)");
    EXPECT_FALSE(win.opentool());
}
