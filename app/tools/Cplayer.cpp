#include "app/tools/Cplayer.h"

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
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>

const char* Cplayer::TITLE = "Cantorix - File player";

Cplayer::Cplayer(Ccontext& ctx, Cwindow* mainwin, QWidget* parent)
    : QDialog(parent), m_ctx(ctx), m_mainwin(mainwin), m_eng(ctx, this, this)
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

    auto* lyr = m_lyr.build(this, [this](int i) { setlyricsmode(i); });

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

    m_status = Clyrchoice::timelabel(this);
    m_status->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_status->setContentsMargins(4, 2, 4, 2);

    auto* bottom = Clyrchoice::helprow(this, m_help, m_close);

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
    if (m_wavesel && m_ctx.wave) {
        m_title->setText(qs(m_ctx.wavetitle));
        m_total = m_ctx.wave->duration();
        m_state = stopped;
    } else if (!m_wavesel && m_ctx.midi) {
        m_title->setText(qs(m_ctx.midititle));
        m_total = m_eng.miditotal();
        m_state = stopped;
    }
    m_lyricsmode = m_eng.kar() ? 1 : 0;
    showstatus();
    controls();
    new Cdrop(this, [this](const QStringList& paths) { dropfiles(paths); });
}

Cplayer::~Cplayer()
{
    m_eng.stop();
    m_lyr.close();
}

QString Cplayer::statustext(int state, double positionus, double totalus)
{
    if (state == nofile) return "No file loaded";
    const char* names[] = {"", "Stopped   ", "Playing   ", "Paused    "};
    return names[state & 3] + QString::fromStdString(::timetext(positionus, totalus));
}

QString Cplayer::status() const { return m_status->text(); }
QString Cplayer::titletext() const { return m_title->text(); }

void Cplayer::showstatus()
{
    m_status->setText(statustext(m_state, m_eng.position(), m_total));
}

void Cplayer::setslider(int v)
{
    const QSignalBlocker quiet(m_slider);
    m_slider->setValue(std::clamp(v, 0, 10000));
}

void Cplayer::slidermoved(int v)
{
    m_eng.setposition(v * m_total * 0.0001);
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
    m_lyr.show(idle && m_eng.kar(), m_lyricsmode);
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
        m_total = m_eng.miditotal();
    } else {
        m_wavesel = true;
        m_title->setText(qs(m_ctx.wavetitle));
        m_total = m_ctx.wave ? m_ctx.wave->duration() : 0;
        m_eng.setposition(0);
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
    const auto pick = Cplayeng::choose(m_ctx, this);
    if (!pick) return;
    load(pick->first, pick->second);
}

void Cplayer::dropfiles(const QStringList& paths)
{
    if (m_state == playing || m_state == paused) return;
    const std::optional<Cdropped> drop = droppedfile(paths);
    if (!drop) return;
    const Cplayeng::Kind kind = Cplayeng::kindof(drop->ext, false);
    if (kind != Cplayeng::Kind::other) load(kind, drop->path);
}

// Loads a MIDI or WAVE file (nothing for another kind) and tells the main window.
void Cplayer::load(Cplayeng::Kind kind, const std::string& path)
{
    if (kind == Cplayeng::Kind::midi) {
        m_title->setText(qs(titleof(path)));
        m_wavesel = !m_eng.loadmidi(path);
        m_lyricsmode = m_eng.kar() ? 1 : 0;
        if (m_wavesel) {
            m_title->clear();
        } else {
            m_total = m_eng.miditotal();
            m_eng.setposition(0);
            setslider(0);
        }
    } else if (kind == Cplayeng::Kind::wave) {
        m_title->setText(qs(titleof(path)));
        m_eng.loadwave(path);
        m_total = m_ctx.wave->duration();
        m_eng.setposition(0);
        setslider(0);
        m_wavesel = true;
    }
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

void Cplayer::play()
{
    if (m_state != stopped && m_state != paused) return;
    const double seek = m_eng.position();   // where the slider or the pause left it
    if (m_wavesel) {
        if (!m_ctx.wave) return;
        switch (m_eng.playwave(*m_ctx.wave, seek)) {
        case Cplayeng::Start::ok:
            m_lyr.open(this, m_ctx, m_eng.timeline().first, m_lyricsmode, seek, true);
            setAcceptDrops(false);
            m_state = playing;
            controls();
            break;
        case Cplayeng::Start::empty:
            msgbox("The WAVE file selected is empty\nPlease select another WAVE file and try again", "Wave file empty",
                   Boxicon::warning, this, filedetail(m_ctx.wavepath));
            return;
        case Cplayeng::Start::device:
            msgbox("The Wave output device is not ready. Possible causes:\n1) There is another application using the "
                   "device\n2) Your computer doesn't have sound output capabilities",
                   "Wave output busy", Boxicon::warning, this);
            break;
        default:
            msgbox("The WAVE file selected appears to be corrupt\nPlease select another WAVE file and try again",
                   "Invalid Wave file", Boxicon::warning, this, filedetail(m_ctx.wavepath));
            return;
        }
    } else {
        if (!m_ctx.midi) return;
        m_lyr.open(this, m_ctx, m_eng.timeline().first, m_lyricsmode, seek, false);
        switch (m_eng.playmidi(seek, 0, m_lyr.window())) {
        case Cplayeng::Start::ok:
            setAcceptDrops(false);
            m_state = playing;
            controls();
            break;
        case Cplayeng::Start::timer:
        case Cplayeng::Start::bank:
            m_lyr.close();
            return;
        default:
            m_lyr.close();
            msgbox("The MIDI output device is not ready. Possible causes:\n1) There is another application using the "
                   "device\n2) Your computer doesn't have MIDI output capabilities",
                   "MIDI output busy", Boxicon::error, this);
            break;
        }
    }
    m_lyr.focus();
}

void Cplayer::pause()
{
    if (m_state != playing) return;
    m_state = paused;
    m_lyr.close();
    if (!m_eng.pause()) {   // the end came first
        m_state = stopped;
        m_eng.setposition(0);
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
        m_lyr.close();
        m_eng.stop();
    }
    setAcceptDrops(true);
    m_eng.setposition(0);
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
        m_lyr.close();
        if (!m_wavesel) {
            m_state = stopped;
            m_eng.setposition(0);
        }
        m_eng.stop();
    }
    QDialog::done(r);
}

void Cplayer::handle(unsigned msg, uintptr_t, intptr_t)
{
    if (msg == WM_CLOSELYR) {
        stop();
        m_lyr.close();
        return;
    }
    switch (m_eng.handle(msg)) {
    case Cplayeng::Event::position:
        if (m_state != playing) break;
        setslider(m_total > 0 ? int(m_eng.position() * 10000 / m_total) : 0);
        showstatus();
        break;
    case Cplayeng::Event::ended:
        m_lyr.close();
        m_state = stopped;
        m_eng.setposition(0);
        setslider(0);
        setAcceptDrops(true);
        controls();
        showstatus();
        break;
    default:
        break;
    }
}
