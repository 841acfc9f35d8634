#include "app/tools/Crecorder.h"

#include "app/qt/Clyrics.h"
#include "platform/Cmsgbox.h"
#include "platform/Cshell.h"
#include "platform/Ctimer.h"
#include "tools/Csched.h"
#include "app/qt/Cdrop.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

const char* Crecorder::TITLE = "Cantorix - Recorder";
const char* Crecorder::TAKE = "take1.wav";

namespace {

std::string lowercase(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

QString qs(const std::string& s) { return QString::fromLocal8Bit(s.data(), qsizetype(s.size())); }

// The text from the last "." of a name, lower-case ("" when there is none).
std::string dotext(const std::string& name)
{
    const size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? "" : lowercase(name.substr(dot));
}

// Whole seconds of a time in microseconds; nonsense values count as 0.
unsigned wholesecs(double us)
{
    return us > 0 && us < 4.0e15 ? unsigned(uint64_t(us * 0.000001)) : 0u;
}

// The same file under two names (links, "." and ".." parts), or the same text when neither
// exists yet.
bool samefile(const std::string& a, const std::string& b)
{
    if (a == b) return true;
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

const char* const BADMIDI = "The MIDI/KAR file selected could not be loaded\nIt either does not exist, or it is corrupt\n"
                            "or it has an unknown format\nPlease select another MIDI/KAR file and try again";
const char* const OUTBUSY = "The WAVE output device is not ready. Possible causes:\n1) There is another application using "
                            "the device\n2) Your computer doesn't have sound output capabilities\n3) Your computer "
                            "doesn't support full-duplex operation\n   (Playing a WAVE file while recording another)";

}  // namespace

Crecorder::Crecorder(Ccontext& ctx, Cwindow* mainwin, QWidget* parent) : QDialog(parent), m_ctx(ctx), m_mainwin(mainwin)
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

    auto* lbox = new QGroupBox("Show lyrics", this);
    auto* lrow = new QHBoxLayout(lbox);
    const char* lnames[3] = {"Non&e", "No&rmal", "&Full-screen"};
    for (int i = 0; i < 3; ++i) {
        m_lyr[i] = new QRadioButton(lnames[i], lbox);
        lrow->addWidget(m_lyr[i]);
        connect(m_lyr[i], &QRadioButton::clicked, this, [this, i] { setlyricsmode(i); });
    }
    lrow->addStretch(1);

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
    m_time = new QLabel(this);
    QFont mono = m_time->font();
    mono.setFamily("monospace");
    mono.setStyleHint(QFont::TypeWriter);
    m_time->setFont(mono);
    m_time->setMinimumWidth(m_time->fontMetrics().horizontalAdvance("000:00 / 000:00") + 8);
    transport->addWidget(m_start);
    transport->addWidget(m_stop);
    transport->addWidget(m_play);
    transport->addStretch(1);
    transport->addWidget(m_time);

    auto* bottom = new QHBoxLayout;
    m_help = new QPushButton("&Help", this);
    m_close = new QPushButton("&Close", this);
    bottom->addWidget(m_help);
    bottom->addStretch(1);
    bottom->addWidget(m_close);

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
        buildtimeline();
        m_total = m_miditotal;
    }
    if (m_ctx.midi) m_lyricsmode = kar() ? 1 : 0;
    const std::string dir = m_ctx.settings.workdir;
    newrecording(dir.empty() ? TAKE : dir + "/" + TAKE, TAKE);
    controls();
    setAcceptDrops(true);
}

Crecorder::~Crecorder()
{
    endrecording();
    stopplayback();
    closelyrics();
    m_sched.reset();
    endperiod();
    finishrec();
}

bool Crecorder::kar() const
{
    return m_ctx.midi && dotext(m_ctx.midititle) == ".kar";
}

bool Crecorder::outexists() const
{
    struct stat st;
    return ::stat(m_outpath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void Crecorder::buildtimeline()
{
    m_timeline.clear();
    m_miditotal = 0;
    if (!m_ctx.midi) return;
    m_timeline.buildplayer(*m_ctx.midi);
    m_miditotal = m_timeline.total(m_ctx.midi->division);
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
    const unsigned p = wholesecs(positionus), t = wholesecs(totalus);
    return QString::asprintf("%02u:%02u / %02u:%02u", p / 60, p % 60, t / 60, t % 60);
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
    m_position = 0;
}

void Crecorder::showprogress()
{
    m_time->setText(playtext(m_position, m_total));
    const double v = m_total > 0 ? m_position * 10000 / m_total : 0;
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
    for (int i = 0; i < 3; ++i) {
        m_lyr[i]->setEnabled(on && kar());
        m_lyr[i]->setChecked(m_lyricsmode == i);
    }
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
        if (m_timeline.empty()) buildtimeline();
        m_total = m_miditotal;
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
    Cfilereq req;
    req.filter = MIDIWAVEFILTER;
    if (!m_ctx.midi && !m_ctx.wave) req.startdir = m_ctx.settings.workdir;
    req.owner = this;
    const std::optional<Cfilepick> pick = shell().openfile(req);
    if (!pick) return;
    clearprogress();
    const std::string ext = lowercase(pick->ext);
    if (ext == "mid" || ext == "midi" || ext == "kar") {
        loadmidi(pick->path, pick->title);
        controls();
    } else if (ext == "wav") {
        loadwave(pick->path, pick->title);
        controls();
    } else {
        warn("The program doesn't know how to process the file selected\nPlease choose another file and try again",
             "Unknown file type");
    }
    if (m_mainwin) sendmsg(m_mainwin, WM_REFRESH);
}

void Crecorder::dropfiles(const QStringList& paths)
{
    if (paths.isEmpty() || m_state != idle) return;
    const std::string path = paths.first().toLocal8Bit().toStdString();
    if (path.size() < 6 || path.size() > Ccontext::MAXPATH) return;
    const size_t slash = path.find_last_of('/');
    const std::string title = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string ext = dotext(title);
    if (ext == ".wav") {
        clearprogress();
        loadwave(path, title);
    } else if (ext == ".mid" || ext == ".kar") {
        loadmidi(path, title);
    } else {
        return;
    }
    controls();
    if (m_mainwin) sendmsg(m_mainwin, WM_REFRESH);
}

void Crecorder::loadmidi(const std::string& path, const std::string& title)
{
    m_ctx.midipath = path;
    m_ctx.midititle = title;
    m_title->setText(qs(title));
    m_timeline.clear();   // its nodes point into the file about to be deleted
    m_miditotal = 0;
    if (::loadmidi(m_ctx.midi, path, m_ctx.mixer)) {
        buildtimeline();
        m_total = m_miditotal;
        m_playback = midi;
        m_lyricsmode = kar() ? 1 : 0;
        return;
    }
    warn(BADMIDI, "Couldn't load MIDI/KAR file");
    m_title->clear();
    m_playback = none;
    m_lyricsmode = 0;
}

void Crecorder::loadwave(const std::string& path, const std::string& title)
{
    m_ctx.wavepath = path;
    m_ctx.wavetitle = title;
    m_title->setText(qs(title));
    m_ctx.wave = std::make_unique<Cwavfil>(path);
    m_total = m_ctx.wave->duration();
    m_playback = wave;
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
        warn("You must select a WAVE file\nPlease choose another file and try again", "Invalid file type");
        return;
    }
    newrecording(pick->path, pick->title);
    controls();
}

void Crecorder::warn(const char* text, const char* caption)
{
    msgbox(text, caption, Boxicon::warning, this);
}

void Crecorder::openlyrics()
{
    closelyrics();
    if (m_lyricsmode == 0 || !m_ctx.midi) return;
    m_lyrics = std::make_unique<Clyrics>(this, m_ctx.midititle, m_timeline.first, m_ctx.midi->division, 0.0,
                                         m_playback == wave, m_lyricsmode == 2);
}

void Crecorder::closelyrics()
{
    if (!m_lyrics) return;
    m_lyrics->stopschedule();
    m_lyrics.reset();
}

void Crecorder::endperiod()
{
    if (m_period) timeEndPeriod(m_period);
    m_period = 0;
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
             "WAVE file error");
}

// Stops the wave input: everything recorded so far, the partly filled block too, goes to the
// file, which is then finished at once, so that Play never opens a file still being written.
// The MM_WIM_CLOSE that follows finds nothing left to do.
void Crecorder::endrecording()
{
    if (m_rec && m_rec->hwi) m_rec->closein();
    finishrec();
}

// Stops whatever plays: the scheduler first (no event is sent once stop() returns), then the
// devices.
void Crecorder::stopplayback()
{
    if (m_sched) m_sched->stop();
    if (m_ctx.midi && m_ctx.midi->hmo) {
        m_ctx.midi->notesoff();
        m_ctx.midi->close();
    }
    endperiod();
    if (m_ctx.wave && m_ctx.wave->hwo) {
        m_ctx.wave->closeout();
        m_ctx.wave->close();
    }
    if (m_rec && m_rec->hwo) {
        m_rec->closeout();
        m_rec->close();
    }
}

void Crecorder::start()
{
    if (m_state != idle || !m_rec) return;
    m_position = 0;
    // Recording over the file that is to be played back would destroy it before it is heard.
    if (m_playback == wave && m_ctx.wave && samefile(m_outpath, m_ctx.wave->path())) {
        warn("The output file is the WAVE file selected for play-back\nPlease choose another output file and try "
             "again",
             "WAVE file error");
        return;
    }
    if (!m_rec->openwr()) {
        warn("There was an error while creating the output WAVE file\nPlease check if:\na) Your hard drive is not "
             "full\nb) You have write premission for the file\nc) The file is nor read-only",
             "WAVE file error");
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
    bool ok = true;
    if (m_playback == wave && m_ctx.wave) {
        Cwavfil& w = *m_ctx.wave;
        m_total = w.duration();
        if (!w.openrd()) {
            warn("The WAVE file selected appears to be corrupt\nPlease select another WAVE file and try again",
                 "Invalid Wave file");
            ok = false;
        } else if (!w.openout(this, m_ctx.settings.waveout)) {
            w.close();
            warn(OUTBUSY, "Wave output busy");
            ok = false;
        }
    } else if (m_playback == midi && m_ctx.midi) {
        const Timecaps caps = timeGetDevCaps();
        if (caps.periodmin == 0 || caps.periodmax == 0) {
            msgbox("Error while accessing the Timer services", "Timer error", Boxicon::error, this);
            ok = false;
        } else {
            m_period = std::min(std::max(caps.periodmin, 1u), caps.periodmax);
            timeBeginPeriod(m_period);
            m_total = m_miditotal;
            m_sched = std::make_unique<Csched>(*m_ctx.midi, m_timeline);
            m_sched->setmixer(&m_ctx.mixer);
            m_sched->setdialog(this);
            m_sched->settail(1000000);   // the recording ends one second after the last event
            if (!m_ctx.midi->open(this, m_ctx.settings.midiout)) {
                m_sched.reset();
                endperiod();
                msgbox("The MIDI output device is not ready. Possible causes:\n1) There is another application using "
                       "the device\n2) Your computer doesn't have MIDI output capabilities\n3) Your computer doesn't "
                       "support full-duplex operation\n   (Playing a MIDI/Kar file while recording a wave)",
                       "MIDI output busy", Boxicon::error, this);
                ok = false;
            }
        }
    }
    if (!ok) {
        endrecording();
        controls();
        return;
    }
    m_state = recording;
    if (m_playback == none) m_time->setText(rectext(0));
    else showprogress();
    if (m_lyricsmode != 0) {
        openlyrics();
        if (m_sched) m_sched->setlyrics(m_lyrics.get());   // before MM_MOM_OPEN starts it
    }
    setAcceptDrops(false);
    controls();
    if (m_lyrics) {
        m_lyrics->activateWindow();
        m_lyrics->setFocus();
    }
}

void Crecorder::play()
{
    if (m_state != idle || !m_rec || m_writing) return;
    m_total = m_rec->duration();
    m_position = 0;
    if (!m_rec->openrd()) {
        warn("The output file appears to be corrupt\nPlease check the file and try again", "Invalid Wave file");
        return;
    }
    if (m_rec->nframes == 0) {
        // Nothing would ever come back from the device to end the play-back.
        m_rec->close();
        warn("The output file is empty\nPlease record into it and try again", "Wave file empty");
        return;
    }
    if (!m_rec->openout(this, m_ctx.settings.waveout)) {
        m_rec->close();
        warn(OUTBUSY, "Wave output busy");
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
        closelyrics();
        endrecording();
    }
    stopplayback();
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
        closelyrics();
        endrecording();
    }
    m_state = idle;
    stopplayback();
    finishrec();
    if (r == QDialog::Accepted && m_rec && outexists()) {
        // The recording becomes the current WAVE file of the main window.
        m_ctx.wave = std::move(m_rec);
        m_ctx.wavepath = m_outpath;
        m_ctx.wavetitle = m_outtitle;
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
    case MM_MOM_OPEN:
        if (m_sched && m_state == recording) m_sched->start();
        break;
    case MM_MOM_DONE:
        if (m_sched) m_sched->resume();
        else if (m_ctx.midi) m_ctx.midi->release();
        break;
    case MM_MOM_CLOSE:
        // A scheduler that played the timeline to its end (and waited its second) closed the
        // device itself: the recording ends with it.
        if (m_sched && m_sched->ended() && m_state == recording) {
            m_sched->stop();
            m_state = idle;
            closelyrics();
            endrecording();
        }
        endperiod();
        if (m_state == idle) {
            setAcceptDrops(true);
            controls();
        }
        break;
    case WM_SCHEDULE:
        if (m_sched && m_state == recording) {
            m_position = m_sched->position();
            showprogress();
        }
        break;
    case WM_CLOSELYR:
        stop();
        closelyrics();
        break;
    case MM_WOM_OPEN:
        if (m_rec && m_rec->hwo) m_rec->refill();
        else if (m_ctx.wave && m_ctx.wave->hwo) m_ctx.wave->refill();
        break;
    case MM_WOM_DONE: {
        Cwavfil* w = m_rec && m_rec->hwo ? m_rec.get() : m_ctx.wave && m_ctx.wave->hwo ? m_ctx.wave.get() : nullptr;
        if (!w) break;
        if (m_state != idle && w->fmt.rate > 0) {
            m_position = w->frpos * 1000000.0 / w->fmt.rate;
            showprogress();
        }
        w->refill();
        if (w->outdone()) {
            w->closeout();
            w->close();
            if (m_state == recording) {
                closelyrics();
                endrecording();   // the recording ends with the play-back
            }
            m_state = idle;
            setAcceptDrops(true);
            controls();
        }
        break;
    }
    default:
        break;
    }
}

void Crecorder::dragEnterEvent(QDragEnterEvent* e)
{
    if (e->mimeData()->hasUrls()) e->acceptProposedAction();
}

void Crecorder::dropEvent(QDropEvent* e)
{
    dropfiles(droppedfiles(e->mimeData()));
    e->acceptProposedAction();
}
