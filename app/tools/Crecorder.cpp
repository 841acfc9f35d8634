#include "app/tools/Crecorder.h"

#include "app/qt/Cdrop.h"
#include "app/qt/Clyrics.h"
#include "app/qt/Cqtface.h"
#include "convert/Cresult.h"
#include "platform/Cmsgbox.h"
#include "platform/Cshell.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <algorithm>
#include <sys/stat.h>

const char* Crecorder::TITLE = "Cantorix - Recorder";
const char* Crecorder::TAKE = "take1.wav";

namespace {

// Whole seconds of a time in microseconds; nonsense values count as 0.
unsigned wholesecs(double us)
{
    return us > 0 && us < 4.0e15 ? unsigned(uint64_t(us * 0.000001)) : 0u;
}

const char* const OUTBUSY = "The WAVE output device is not ready. Possible causes:\n1) There is another application using "
                            "the device\n2) Your computer doesn't have sound output capabilities\n3) Your computer "
                            "doesn't support full-duplex operation\n   (Playing a WAVE file while recording another)";

}  // namespace

Crecorder::Crecorder(Ccontext& ctx, Cwindow* mainwin, QWidget* parent)
    : QDialog(parent), m_ctx(ctx), m_mainwin(mainwin), m_eng(ctx, this, this)
{
    setWindowTitle(TITLE);
    auto* outer = new QVBoxLayout(this);

    auto* pbox = new QGroupBox("Play-back", this);
    auto* pgrid = new QGridLayout(pbox);
    const char* pnames[3] = {"&None", "&Midi/Kar", "&Wave"};
    for (int i = 0; i < 3; ++i) {
        m_pb[i] = new QRadioButton(pnames[i], pbox);
        pgrid->addWidget(m_pb[i], 0, i);
        connect(m_pb[i], &QRadioButton::clicked, this, [this, i] { selectplayback(i); });
    }
    m_title = new QLineEdit(pbox);
    m_title->setReadOnly(true);
    m_title->setMinimumWidth(240);
    m_browse = new QPushButton("&Browse", pbox);
    pgrid->addWidget(m_title, 1, 0, 1, 4);
    pgrid->addWidget(m_browse, 1, 4);
    pgrid->setColumnStretch(3, 1);

    auto* lbox = m_lyr.build(this, [this](int i) { setlyricsmode(i); });

    auto* obox = new QGroupBox("Output file", this);
    auto* orow = new QHBoxLayout(obox);
    m_out = new QLineEdit(obox);
    m_out->setReadOnly(true);
    m_outbrowse = new QPushButton("Br&owse", obox);
    orow->addWidget(m_out, 1);
    orow->addWidget(m_outbrowse);

    m_bar = new QProgressBar(this);
    m_bar->setRange(0, 10000);
    m_bar->setTextVisible(false);

    auto* transport = new QHBoxLayout;
    m_start = new QPushButton("&Start", this);
    m_stop = new QPushButton("Sto&p", this);
    m_play = new QPushButton("P&lay", this);
    m_time = Clyrchoice::timelabel(this);
    m_time->setMinimumWidth(m_time->fontMetrics().horizontalAdvance("000:00 / 000:00") + 8);
    transport->addWidget(m_start);
    transport->addWidget(m_stop);
    transport->addWidget(m_play);
    transport->addStretch(1);
    transport->addWidget(m_time);

    auto* bottom = Clyrchoice::helprow(this, m_help, m_close);

    outer->addWidget(pbox);
    outer->addWidget(lbox);
    outer->addWidget(obox);
    outer->addWidget(m_bar);
    outer->addLayout(transport);
    outer->addLayout(bottom);

    for (QPushButton* b : {m_browse, m_outbrowse, m_start, m_stop, m_play, m_help, m_close}) b->setAutoDefault(false);
    connect(m_browse, &QPushButton::clicked, this, &Crecorder::browse);
    connect(m_outbrowse, &QPushButton::clicked, this, &Crecorder::browseout);
    connect(m_start, &QPushButton::clicked, this, &Crecorder::start);
    connect(m_stop, &QPushButton::clicked, this, &Crecorder::stop);
    connect(m_play, &QPushButton::clicked, this, &Crecorder::play);
    connect(m_help, &QPushButton::clicked, this, &Crecorder::help);
    connect(m_close, &QPushButton::clicked, this, &Crecorder::accept);

    // Opening: MIDI play-back when there is a MIDI file, else WAVE when there is a WAVE file.
    m_playback = m_ctx.midi ? midi : m_ctx.wave ? wave : none;
    if (m_playback == wave) {
        m_title->setText(qs(m_ctx.wavetitle));
        m_total = m_ctx.wave->duration();
    } else if (m_playback == midi) {
        m_title->setText(qs(m_ctx.midititle));
        m_total = m_eng.miditotal();
    }
    m_lyricsmode = m_eng.kar() ? 1 : 0;
    const std::string dir = m_ctx.settings.workdir;
    newrecording(dir.empty() ? TAKE : dir + "/" + TAKE, TAKE);
    controls();
    new Cdrop(this, [this](const QStringList& paths) { dropfiles(paths); });
}

Crecorder::~Crecorder()
{
    endrecording();
    m_eng.stop();
    m_lyr.close();
    finishrec();
}

bool Crecorder::outexists() const
{
    struct stat st;
    return ::stat(m_outpath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void Crecorder::newrecording(const std::string& path, const std::string& title)
{
    m_outpath = path;
    m_outtitle = title;
    m_out->setText(qs(title));
    m_rec = std::make_unique<Cwavfil>(path);
    m_writing = false;
}

QString Crecorder::playtext(double positionus, double totalus)
{
    return QString::fromStdString(::timetext(positionus, totalus));
}

QString Crecorder::rectext(double seconds)
{
    const unsigned s = wholesecs(seconds * 1e6);
    return QString::asprintf("       %02u:%02u", s / 60, s % 60);
}

QString Crecorder::timetext() const { return m_time->text(); }
QString Crecorder::playtitle() const { return m_title->text(); }
QString Crecorder::outtext() const { return m_out->text(); }
int Crecorder::progress() const { return m_bar->value(); }

void Crecorder::clearprogress()
{
    m_time->clear();
    m_bar->setValue(0);
    m_eng.setposition(0);
}

void Crecorder::showprogress()
{
    m_time->setText(playtext(m_eng.position(), m_total));
    const double v = m_total > 0 ? m_eng.position() * 10000 / m_total : 0;
    m_bar->setValue(int(std::clamp(v, 0.0, 10000.0)));
}

void Crecorder::controls()
{
    const bool on = m_state == idle;
    m_start->setEnabled(on);
    m_stop->setEnabled(!on);
    m_play->setEnabled(on && outexists());
    m_browse->setEnabled(on);
    m_outbrowse->setEnabled(on);
    m_pb[none]->setEnabled(on);
    m_pb[midi]->setEnabled(on && m_ctx.midi);
    m_pb[wave]->setEnabled(on && m_ctx.wave);
    if (on)
        for (int i = 0; i < 3; ++i) m_pb[i]->setChecked(m_playback == i);
    m_lyr.show(on && m_eng.kar(), m_lyricsmode);
    (on ? m_start : m_stop)->setFocus();
}

void Crecorder::selectplayback(int choice)
{
    if (choice < none || choice > wave || !m_pb[choice]->isChecked() || choice == m_playback) {
        controls();
        return;
    }
    m_playback = choice;
    if (choice == none) {
        m_title->clear();
    } else if (choice == midi) {
        m_title->setText(qs(m_ctx.midititle));
        m_total = m_eng.miditotal();
    } else {
        m_title->setText(qs(m_ctx.wavetitle));
        m_total = m_ctx.wave ? m_ctx.wave->duration() : 0;
    }
    clearprogress();
    controls();
}

void Crecorder::setlyricsmode(int mode)
{
    m_lyricsmode = std::clamp(mode, 0, 2);
    controls();
}

void Crecorder::browse()
{
    if (m_state != idle) return;
    const auto pick = Cplayeng::choose(m_ctx, this);
    if (!pick) return;
    clearprogress();
    load(pick->first, pick->second);
}

void Crecorder::dropfiles(const QStringList& paths)
{
    if (m_state != idle) return;
    const std::optional<Cdropped> drop = droppedfile(paths);
    if (!drop) return;
    const Cplayeng::Kind kind = Cplayeng::kindof(drop->ext, false);
    if (kind == Cplayeng::Kind::other) return;
    if (kind == Cplayeng::Kind::wave) clearprogress();
    load(kind, drop->path);
}

// Loads a MIDI or WAVE file for play-back (nothing for another kind) and tells the main window.
void Crecorder::load(Cplayeng::Kind kind, const std::string& path)
{
    if (kind == Cplayeng::Kind::midi) {
        m_title->setText(qs(titleof(path)));
        if (m_eng.loadmidi(path)) {
            m_total = m_eng.miditotal();
            m_playback = midi;
        } else {
            m_title->clear();
            m_playback = none;
        }
        m_lyricsmode = m_eng.kar() ? 1 : 0;
    } else if (kind == Cplayeng::Kind::wave) {
        m_title->setText(qs(titleof(path)));
        m_eng.loadwave(path);
        m_total = m_ctx.wave->duration();
        m_playback = wave;
    }
    if (kind != Cplayeng::Kind::other) controls();
    if (m_mainwin) sendmsg(m_mainwin, WM_REFRESH);
}

void Crecorder::browseout()
{
    if (m_state != idle) return;
    Cfilereq req;
    req.filter = "WAVE Files (*.wav)|*.wav|All Files (*.*)|*.*||";
    req.defext = "wav";
    if (!m_ctx.midi && !m_ctx.wave) req.startdir = m_ctx.settings.workdir;
    req.owner = this;
    const std::optional<Cfilepick> pick = shell().savefile(req);
    if (!pick) return;
    if (lowercase(pick->ext) != "wav") {
        warn("You must select a WAVE file\nPlease choose another file and try again", "Invalid file type", pick->path);
        return;
    }
    newrecording(pick->path, pick->title);
    controls();
}

void Crecorder::warn(const char* text, const char* caption, const std::string& path)
{
    msgbox(text, caption, Boxicon::warning, this, path.empty() ? path : filedetail(path));
}

// Writes the recording's final sizes and closes it; a write that failed on the way is reported
// rather than leaving a damaged take behind silently.
void Crecorder::finishrec()
{
    if (!m_rec || !m_writing) return;
    m_writing = false;
    m_rec->closewr(false, 0);
    if (m_rec->failed() != Wverr::none)
        warn("There was an error while writing the output WAVE file\nThe recording is incomplete\nPlease check if "
             "your hard drive is not full and try again",
             "WAVE file error", m_outpath);
}

// Stops the wave input: everything recorded so far, the partly filled block too, goes to the
// file, which is then finished at once, so that Play never opens a file still being written.
// The MM_WIM_CLOSE that follows finds nothing left to do.
void Crecorder::endrecording()
{
    if (m_rec && m_rec->hwi) m_rec->closein();
    finishrec();
}

void Crecorder::start()
{
    if (m_state != idle || !m_rec) return;
    m_eng.setposition(0);
    // Recording over the file that is to be played back would destroy it before it is heard.
    if (m_playback == wave && m_ctx.wave && samefile(m_outpath, m_ctx.wave->path())) {
        warn("The output file is the WAVE file selected for play-back\nPlease choose another output file and try "
             "again",
             "WAVE file error", m_outpath);
        return;
    }
    if (!m_rec->openwr(Wmode::inplace)) {
        warn("There was an error while creating the output WAVE file\nPlease check if:\na) Your hard drive is not "
             "full\nb) You have write premission for the file\nc) The file is nor read-only",
             "WAVE file error", m_outpath);
        return;
    }
    m_writing = true;
    if (!m_rec->openin(this, m_ctx.settings.wavein)) {
        finishrec();
        warn("The Wave input device is not ready. Possible causes:\n1) There is another application using the "
             "device\n2) Your computer doesn't have sound input capabilities",
             "Wave input busy");
        controls();
        return;
    }
    Cplayeng::Start started = Cplayeng::Start::ok;
    if (m_playback == wave && m_ctx.wave) {
        m_total = m_ctx.wave->duration();
        started = m_eng.playwave(*m_ctx.wave, 0);
        if (started == Cplayeng::Start::device)
            warn(OUTBUSY, "Wave output busy");
        else if (started == Cplayeng::Start::empty)
            warn("The WAVE file selected is empty\nPlease select another WAVE file and try again", "Wave file empty",
                 m_ctx.wavepath);
        else if (started != Cplayeng::Start::ok)
            warn("The WAVE file selected appears to be corrupt\nPlease select another WAVE file and try again",
                 "Invalid Wave file", m_ctx.wavepath);
    } else if (m_playback == midi && m_ctx.midi) {
        m_total = m_eng.miditotal();
        // The recording ends one second after the last event.
        started = m_eng.playmidi(0, 1000000, nullptr);
        if (started == Cplayeng::Start::device)
            msgbox("The MIDI output device is not ready. Possible causes:\n1) There is another application using "
                   "the device\n2) Your computer doesn't have MIDI output capabilities\n3) Your computer doesn't "
                   "support full-duplex operation\n   (Playing a MIDI/Kar file while recording a wave)",
                   "MIDI output busy", Boxicon::error, this);
    }
    if (started != Cplayeng::Start::ok) {
        endrecording();
        controls();
        return;
    }
    m_state = recording;
    if (m_playback == none) m_time->setText(rectext(0));
    else showprogress();
    if (m_lyricsmode != 0) {
        m_lyr.open(this, m_ctx, m_eng.timeline().first, m_lyricsmode, 0.0, m_playback == wave);
        m_eng.setlyrics(m_lyr.window());   // before MM_MOM_OPEN starts the scheduler
    }
    setAcceptDrops(false);
    controls();
    m_lyr.focus();
}

void Crecorder::play()
{
    if (m_state != idle || !m_rec || m_writing) return;
    m_total = m_rec->duration();
    m_eng.setposition(0);
    switch (m_eng.playwave(*m_rec, 0)) {
    case Cplayeng::Start::ok:
        break;
    case Cplayeng::Start::empty:
        warn("The output file is empty\nPlease record into it and try again", "Wave file empty", m_outpath);
        return;
    case Cplayeng::Start::device:
        warn(OUTBUSY, "Wave output busy");
        return;
    default:
        warn("The output file appears to be corrupt\nPlease check the file and try again", "Invalid Wave file");
        return;
    }
    m_state = playing;
    showprogress();
    setAcceptDrops(false);
    controls();
}

void Crecorder::stop()
{
    if (m_state == idle) return;
    const int was = m_state;
    m_state = idle;
    if (was == recording) {
        m_lyr.close();
        endrecording();
    }
    m_eng.stop();
    setAcceptDrops(true);
    controls();
}

void Crecorder::help()
{
    shell().openpath("Hlprecor.htm", m_ctx.settings.progdir, this);
}

void Crecorder::done(int r)
{
    // Close, Escape and the window's close button all end here.
    if (m_state == recording) {
        m_lyr.close();
        endrecording();
    }
    m_state = idle;
    m_eng.stop();
    finishrec();
    if (r == QDialog::Accepted && m_rec && outexists()) {
        // The recording becomes the current WAVE file of the main window.
        m_ctx.setwave(std::move(m_rec), m_outpath);
        if (m_mainwin) sendmsg(m_mainwin, WM_REFRESH);
    } else if (r != QDialog::Accepted) {
        m_rec.reset();
    }
    QDialog::done(r);
}

void Crecorder::handle(unsigned msg, uintptr_t, intptr_t lparam)
{
    switch (msg) {
    case MM_WIM_DATA:
        if (!m_rec) break;
        m_rec->recdata(reinterpret_cast<Wavehdr*>(lparam));
        if (m_state == recording && m_playback == none && m_rec->fmt.rate > 0)
            m_time->setText(rectext(double(m_rec->nframes) / m_rec->fmt.rate));
        break;
    case MM_WIM_CLOSE:
        finishrec();
        if (m_state == idle) controls();   // Play now sees the finished file
        break;
    case WM_CLOSELYR:
        stop();
        m_lyr.close();
        break;
    default:
        switch (m_eng.handle(msg)) {
        case Cplayeng::Event::position:
            if (m_state != idle) showprogress();
            break;
        case Cplayeng::Event::ended:
            if (m_state == recording) {
                m_lyr.close();
                endrecording();   // the recording ends with the play-back
            }
            m_state = idle;
            setAcceptDrops(true);
            controls();
            break;
        default:
            break;
        }
    }
}
