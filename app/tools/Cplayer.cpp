#include "app/tools/Cplayer.h"

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
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

const char* Cplayer::TITLE = "Cantorix - File player";

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

const char* const BADMIDI = "The MIDI/KAR file selected could not be loaded\nIt either does not exist, or it is corrupt\n"
                            "or it has an unknown format\nPlease select another MIDI/KAR file and try again";

}  // namespace

Cplayer::Cplayer(Ccontext& ctx, Cwindow* mainwin, QWidget* parent) : QDialog(parent), m_ctx(ctx), m_mainwin(mainwin)
{
    setWindowTitle(TITLE);
    auto* outer = new QVBoxLayout(this);

    auto* file = new QGroupBox("File", this);
    auto* fgrid = new QGridLayout(file);
    m_midi = new QRadioButton("&Midi/Kar", file);
    m_wave = new QRadioButton("&Wave", file);
    m_title = new QLineEdit(file);
    m_title->setReadOnly(true);
    m_title->setMinimumWidth(240);
    m_browse = new QPushButton("&Browse", file);
    fgrid->addWidget(m_midi, 0, 0);
    fgrid->addWidget(m_wave, 0, 1);
    fgrid->addWidget(m_title, 1, 0, 1, 3);
    fgrid->addWidget(m_browse, 1, 3);
    fgrid->setColumnStretch(2, 1);

    auto* lyr = new QGroupBox("Show lyrics", this);
    auto* lrow = new QHBoxLayout(lyr);
    const char* names[3] = {"Non&e", "No&rmal", "&Full-screen"};
    for (int i = 0; i < 3; ++i) {
        m_lyr[i] = new QRadioButton(names[i], lyr);
        lrow->addWidget(m_lyr[i]);
        connect(m_lyr[i], &QRadioButton::clicked, this, [this, i] { setlyricsmode(i); });
    }
    lrow->addStretch(1);

    m_slider = new QSlider(Qt::Horizontal, this);
    m_slider->setRange(0, 10000);
    m_slider->setPageStep(500);
    connect(m_slider, &QSlider::valueChanged, this, &Cplayer::slidermoved);

    auto* transport = new QHBoxLayout;
    m_play = new QPushButton("&Play", this);
    m_pause = new QPushButton("Pa&use", this);
    m_stop = new QPushButton("&Stop", this);
    transport->addWidget(m_play);
    transport->addWidget(m_pause);
    transport->addWidget(m_stop);

    m_status = new QLabel(this);
    m_status->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    QFont mono = m_status->font();
    mono.setFamily("monospace");
    mono.setStyleHint(QFont::TypeWriter);
    m_status->setFont(mono);
    m_status->setContentsMargins(4, 2, 4, 2);

    auto* bottom = new QHBoxLayout;
    m_help = new QPushButton("&Help", this);
    m_close = new QPushButton("&Close", this);
    bottom->addWidget(m_help);
    bottom->addStretch(1);
    bottom->addWidget(m_close);

    outer->addWidget(file);
    outer->addWidget(lyr);
    outer->addWidget(m_slider);
    outer->addLayout(transport);
    outer->addWidget(m_status);
    outer->addLayout(bottom);

    for (QPushButton* b : {m_browse, m_play, m_pause, m_stop, m_help, m_close}) b->setAutoDefault(false);
    connect(m_midi, &QRadioButton::clicked, this, [this] { selectkind(false); });
    connect(m_wave, &QRadioButton::clicked, this, [this] { selectkind(true); });
    connect(m_browse, &QPushButton::clicked, this, &Cplayer::browse);
    connect(m_play, &QPushButton::clicked, this, &Cplayer::play);
    connect(m_pause, &QPushButton::clicked, this, &Cplayer::pause);
    connect(m_stop, &QPushButton::clicked, this, &Cplayer::stop);
    connect(m_help, &QPushButton::clicked, this, &Cplayer::help);
    connect(m_close, &QPushButton::clicked, this, &Cplayer::accept);

    // Opening: the WAVE file is selected when one exists or when there is no MIDI file.
    m_wavesel = m_ctx.wave || !m_ctx.midi;
    m_position = 0;
    if (m_wavesel && m_ctx.wave) {
        m_title->setText(qs(m_ctx.wavetitle));
        m_total = m_ctx.wave->duration();
        m_state = stopped;
    } else if (!m_wavesel && m_ctx.midi) {
        m_title->setText(qs(m_ctx.midititle));
        m_state = stopped;
    }
    if (m_ctx.midi) {
        buildtimeline();
        m_lyricsmode = kar() ? 1 : 0;
        if (!m_wavesel) m_total = m_miditotal;
    }
    showstatus();
    controls();
    setAcceptDrops(true);
}

Cplayer::~Cplayer()
{
    stopdevices();
    closelyrics();
    m_sched.reset();
    endperiod();
}

bool Cplayer::kar() const
{
    return m_ctx.midi && dotext(m_ctx.midititle) == ".kar";
}

void Cplayer::buildtimeline()
{
    m_timeline.clear();
    if (!m_ctx.midi) return;
    m_timeline.buildplayer(*m_ctx.midi);
    m_miditotal = m_timeline.total(m_ctx.midi->division);
    m_position = 0;
    setslider(0);
}

QString Cplayer::statustext(int state, double positionus, double totalus)
{
    if (state == nofile) return "No file loaded";
    const char* names[] = {"", "Stopped   ", "Playing   ", "Paused    "};
    auto secs = [](double us) { return us > 0 && us < 4.0e15 ? unsigned(uint64_t(us * 0.000001)) : 0u; };
    const unsigned p = secs(positionus), t = secs(totalus);
    return QString::asprintf("%s%02u:%02u / %02u:%02u", names[state & 3], p / 60, p % 60, t / 60, t % 60);
}

QString Cplayer::status() const { return m_status->text(); }
QString Cplayer::titletext() const { return m_title->text(); }

void Cplayer::showstatus()
{
    m_status->setText(statustext(m_state, m_position, m_total));
}

void Cplayer::setslider(int v)
{
    const QSignalBlocker quiet(m_slider);
    m_slider->setValue(std::clamp(v, 0, 10000));
}

void Cplayer::slidermoved(int v)
{
    m_position = v * m_total * 0.0001;
    showstatus();
}

void Cplayer::controls()
{
    const bool idle = m_state == stopped;
    m_play->setEnabled(m_state == stopped || m_state == paused);
    m_pause->setEnabled(m_state == playing);
    m_stop->setEnabled(m_state == playing || m_state == paused);
    m_browse->setEnabled(m_state == nofile || m_state == stopped);
    m_slider->setEnabled(m_state == stopped || m_state == paused);
    m_wave->setEnabled(idle && m_ctx.wave);
    m_midi->setEnabled(idle && m_ctx.midi);
    m_wave->setChecked(m_wavesel);
    m_midi->setChecked(!m_wavesel);
    for (int i = 0; i < 3; ++i) {
        m_lyr[i]->setEnabled(idle && kar());
        m_lyr[i]->setChecked(m_lyricsmode == i);
    }
    QPushButton* focus = m_state == nofile ? m_browse : m_state == playing ? m_stop : m_play;
    focus->setFocus();
}

void Cplayer::selectkind(bool wave)
{
    if (wave == m_wavesel) {
        controls();
        return;
    }
    if (!wave) {
        m_wavesel = false;
        m_title->setText(qs(m_ctx.midititle));
        if (m_timeline.empty()) buildtimeline();
        m_total = m_miditotal;
    } else {
        m_wavesel = true;
        m_title->setText(qs(m_ctx.wavetitle));
        m_total = m_ctx.wave ? m_ctx.wave->duration() : 0;
        m_position = 0;
        setslider(0);
    }
    m_state = stopped;
    showstatus();
    controls();
}

void Cplayer::setlyricsmode(int mode)
{
    m_lyricsmode = std::clamp(mode, 0, 2);
    controls();
}

void Cplayer::browse()
{
    Cfilereq req;
    req.filter = MIDIWAVEFILTER;
    if (!m_ctx.midi && !m_ctx.wave) req.startdir = m_ctx.settings.workdir;
    req.owner = this;
    const std::optional<Cfilepick> pick = shell().openfile(req);
    if (!pick) return;
    const std::string ext = lowercase(pick->ext);
    if (ext == "mid" || ext == "midi" || ext == "kar")
        loadmidi(pick->path, pick->title);
    else if (ext == "wav")
        loadwave(pick->path, pick->title);
    else
        msgbox("The program doesn't know how to process the file selected\nPlease choose another file and try again",
               "Unknown file type", Boxicon::warning, this);
    afterload();
}

void Cplayer::dropfiles(const QStringList& paths)
{
    if (paths.isEmpty() || m_state == playing || m_state == paused) return;
    const std::string path = paths.first().toLocal8Bit().toStdString();
    if (path.size() < 6 || path.size() > Ccontext::MAXPATH) return;
    const size_t slash = path.find_last_of('/');
    const std::string title = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string ext = dotext(title);
    if (ext == ".wav")
        loadwave(path, title);
    else if (ext == ".mid" || ext == ".kar")
        loadmidi(path, title);
    else
        return;
    afterload();
}

void Cplayer::loadmidi(const std::string& path, const std::string& title)
{
    m_ctx.midipath = path;
    m_ctx.midititle = title;
    m_title->setText(qs(title));
    m_timeline.clear();   // its nodes point into the file about to be deleted
    m_miditotal = 0;
    if (::loadmidi(m_ctx.midi, path, m_ctx.mixer)) {
        buildtimeline();
        m_total = m_miditotal;
        m_wavesel = false;
        m_lyricsmode = kar() ? 1 : 0;
        return;
    }
    msgbox(BADMIDI, "Couldn't load MIDI/KAR file", Boxicon::warning, this);
    m_title->clear();
    m_wavesel = true;
    m_lyricsmode = 0;
}

void Cplayer::loadwave(const std::string& path, const std::string& title)
{
    m_ctx.wavepath = path;
    m_ctx.wavetitle = title;
    m_title->setText(qs(title));
    m_ctx.wave.reset();
    m_ctx.wave = std::make_unique<Cwavfil>(path);
    m_total = m_ctx.wave->duration();
    m_position = 0;
    setslider(0);
    m_wavesel = true;
}

void Cplayer::afterload()
{
    if (m_mainwin) sendmsg(m_mainwin, WM_REFRESH);
    if ((m_wavesel && m_ctx.wave) || (!m_wavesel && m_ctx.midi)) {
        m_state = stopped;
    } else {
        setslider(0);
        m_state = nofile;
    }
    controls();
    showstatus();
}

void Cplayer::openlyrics(double startus, bool selftimed)
{
    closelyrics();
    if (m_lyricsmode == 0 || !m_ctx.midi) return;
    m_lyrics = std::make_unique<Clyrics>(this, m_ctx.midititle, m_timeline.first, m_ctx.midi->division, startus,
                                         selftimed, m_lyricsmode == 2);
}

void Cplayer::closelyrics()
{
    if (!m_lyrics) return;
    m_lyrics->stopschedule();
    m_lyrics.reset();
}

void Cplayer::endperiod()
{
    if (m_period) timeEndPeriod(m_period);
    m_period = 0;
}

void Cplayer::play()
{
    if (m_state != stopped && m_state != paused) return;
    if (m_wavesel) {
        if (!m_ctx.wave) return;
        Cwavfil& w = *m_ctx.wave;
        if (!w.openrd()) {
            msgbox("The WAVE file selected appears to be corrupt\nPlease select another WAVE file and try again",
                   "Invalid Wave file", Boxicon::warning, this);
            return;
        }
        if (w.nframes == 0) {
            w.close();
            msgbox("The WAVE file selected is empty\nPlease select another WAVE file and try again", "Wave file empty",
                   Boxicon::warning, this);
            return;
        }
        w.seek(m_position);   // playing starts where the slider or the pause left it
        openlyrics(m_position, true);
        if (w.openout(this, m_ctx.settings.waveout)) {
            setAcceptDrops(false);
            m_state = playing;
            controls();
        } else {
            closelyrics();
            w.close();
            msgbox("The Wave output device is not ready. Possible causes:\n1) There is another application using the "
                   "device\n2) Your computer doesn't have sound output capabilities",
                   "Wave output busy", Boxicon::warning, this);
        }
    } else {
        if (!m_ctx.midi) return;
        const Timecaps caps = timeGetDevCaps();
        if (caps.periodmin == 0 || caps.periodmax == 0) {
            msgbox("Error while accessing the Timer services", "Timer error", Boxicon::error, this);
            return;
        }
        m_period = std::min(std::max(caps.periodmin, 1u), caps.periodmax);
        timeBeginPeriod(m_period);
        const double seek = m_position;
        openlyrics(seek, false);
        m_position = 0;
        m_sched = std::make_unique<Csched>(*m_ctx.midi, m_timeline);
        m_sched->setseek(seek);
        m_sched->setmixer(&m_ctx.mixer);
        m_sched->setdialog(this);
        m_sched->setlyrics(m_lyrics.get());
        if (m_ctx.midi->open(this, m_ctx.settings.midiout)) {
            setAcceptDrops(false);
            m_state = playing;
            controls();
        } else {
            m_sched.reset();
            endperiod();
            closelyrics();
            m_position = seek;
            msgbox("The MIDI output device is not ready. Possible causes:\n1) There is another application using the "
                   "device\n2) Your computer doesn't have MIDI output capabilities",
                   "MIDI output busy", Boxicon::error, this);
        }
    }
    if (m_lyrics) {
        m_lyrics->activateWindow();
        m_lyrics->setFocus();
    }
}

// Stops whatever plays: the scheduler first (no event is sent once stop() returns), then the
// devices.
void Cplayer::stopdevices()
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
}

void Cplayer::pause()
{
    if (m_state != playing) return;
    m_state = paused;
    closelyrics();
    if (m_sched) {
        m_sched->stop();
        if (m_sched->ended()) m_state = stopped;   // the end came first
        else m_position = m_sched->position();
    }
    stopdevices();
    if (m_state == stopped) {
        m_position = 0;
        setslider(0);
        setAcceptDrops(true);
    }
    showstatus();
    controls();
}

void Cplayer::stop()
{
    if (m_state != playing && m_state != paused) return;
    const bool wasplaying = m_state == playing;
    m_state = stopped;
    if (wasplaying) {
        closelyrics();
        stopdevices();
    }
    setAcceptDrops(true);
    m_position = 0;
    setslider(0);
    showstatus();
    controls();
}

void Cplayer::help()
{
    shell().openpath("Hlplayer.htm", m_ctx.settings.progdir, this);
}

void Cplayer::done(int r)
{
    // Close, Escape and the window's close button all end here.
    if (m_state == playing) {
        closelyrics();
        if (!m_wavesel) {
            m_state = stopped;
            m_position = 0;
        }
        stopdevices();
    }
    QDialog::done(r);
}

void Cplayer::handle(unsigned msg, uintptr_t, intptr_t)
{
    switch (msg) {
    case MM_MOM_OPEN:
        if (m_sched && m_state == playing) m_sched->start();
        break;
    case MM_MOM_DONE:
        if (m_sched) m_sched->resume();
        else if (m_ctx.midi) m_ctx.midi->release();
        break;
    case MM_MOM_CLOSE:
        // Pause and Stop have stopped the scheduler and ended the timer period themselves; a
        // scheduler that played the timeline to its end closed the device on its own.
        if (m_sched && m_sched->ended() && m_state == playing) {
            m_sched->stop();
            m_state = stopped;
            closelyrics();
            endperiod();
        }
        if (m_state == stopped) {
            m_position = 0;
            setslider(0);
            setAcceptDrops(true);
            controls();
            showstatus();
        }
        break;
    case WM_SCHEDULE:
        if (m_sched && m_state == playing) {
            m_position = m_sched->position();
            setslider(m_total > 0 ? int(m_position * 10000 / m_total) : 0);
            showstatus();
        }
        break;
    case WM_CLOSELYR:
        stop();
        closelyrics();
        break;
    case MM_WOM_OPEN:
        if (m_ctx.wave) m_ctx.wave->refill();
        break;
    case MM_WOM_DONE: {
        if (!m_ctx.wave) break;
        Cwavfil& w = *m_ctx.wave;
        if (m_state == playing && w.fmt.rate > 0) {
            m_position = w.frpos * 1000000.0 / w.fmt.rate;
            showstatus();
            setslider(m_total > 0 ? int(m_position * 10000 / m_total) : 0);
        }
        w.refill();
        if (w.hwo && w.outdone() && m_state != paused) {
            w.closeout();
            w.close();
            closelyrics();
            m_state = stopped;
            setAcceptDrops(true);
            controls();
            m_position = 0;
            setslider(0);
            showstatus();
        }
        break;
    }
    default:
        break;
    }
}

void Cplayer::dragEnterEvent(QDragEnterEvent* e)
{
    if (e->mimeData()->hasUrls()) e->acceptProposedAction();
}

void Cplayer::dropEvent(QDropEvent* e)
{
    dropfiles(droppedfiles(e->mimeData()));
    e->acceptProposedAction();
}
