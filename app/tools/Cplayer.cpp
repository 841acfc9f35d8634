#include "app/tools/Cplayer.h"

#include "app/qt/Clyrics.h"
#include "app/qt/Cqtface.h"
#include "convert/Cresult.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

const char* Cplayer::TITLE = "Cantorix - File player";

Cplayer::Cplayer(Ccontext& ctx, Cwindow* mainwin, QWidget* parent)
    : Cplaywin(ctx, mainwin, TITLE, "Hlplayer.htm", parent)
{
    auto* outer = new QVBoxLayout(this);

    auto* file = new QGroupBox("File", this);
    auto* fgrid = new QGridLayout(file);
    m_midi = new QRadioButton("&Midi/Kar", file);
    m_wave = new QRadioButton("&Wave", file);
    fgrid->addWidget(m_midi, 0, 0);
    fgrid->addWidget(m_wave, 0, 1);
    titlerow(fgrid, file, 3);

    auto* lyr = m_lyr.build(this, [this](int i) { setlyricsmode(i); });

    m_slider = new QSlider(Qt::Horizontal, this);
    m_slider->setRange(0, 10000);
    m_slider->setPageStep(500);
    connect(m_slider, &QSlider::valueChanged, this, &Cplayer::slidermoved);

    auto* transport = new QHBoxLayout;
    m_play = new QPushButton("&Play", this);
    m_pause = new QPushButton("Pa&use", this);
    m_stop = new QPushButton("&Stop", this);
    for (QPushButton* b : {m_play, m_pause, m_stop}) {
        b->setAutoDefault(false);
        transport->addWidget(b);
    }
    // Key and tempo of a MIDI file, heard at once while it plays.
    m_key = new QSpinBox(this);
    m_key->setRange(-Cplayeng::KEYMOST, Cplayeng::KEYMOST);
    m_key->setValue(Cplayeng::startkey(m_ctx.settings));
    m_key->setToolTip("Half tones up or down; the percussion channel keeps its keys");
    m_tempo = new QSpinBox(this);
    m_tempo->setRange(Cplayeng::SPEEDLEAST, Cplayeng::SPEEDMOST);
    m_tempo->setSingleStep(Cplayeng::SPEEDSTEP);
    m_tempo->setSuffix(" %");
    m_tempo->setValue(Cplayeng::startspeed(m_ctx.settings));
    m_tempo->setToolTip("Tempo in percent of the file's own");
    auto* keylabel = new QLabel("&Key", this);
    keylabel->setBuddy(m_key);
    auto* tempolabel = new QLabel("&Tempo", this);
    tempolabel->setBuddy(m_tempo);
    transport->addSpacing(8);
    transport->addWidget(keylabel);
    transport->addWidget(m_key);
    transport->addWidget(tempolabel);
    transport->addWidget(m_tempo);
    m_eng.setkey(m_key->value());
    m_eng.setscale(Cplayeng::scaleof(m_tempo->value()));
    connect(m_key, &QSpinBox::valueChanged, this, [this](int v) { m_eng.setkey(v); });
    connect(m_tempo, &QSpinBox::valueChanged, this, [this](int v) {
        m_eng.setscale(Cplayeng::scaleof(v));
        showstatus();
    });

    m_status = Clyrchoice::timelabel(this);
    m_status->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_status->setContentsMargins(4, 2, 4, 2);

    outer->addWidget(file);
    outer->addWidget(lyr);
    outer->addWidget(m_slider);
    outer->addLayout(transport);
    outer->addWidget(m_status);
    outer->addLayout(helprow());

    connect(m_midi, &QRadioButton::clicked, this, [this] { selectkind(false); });
    connect(m_wave, &QRadioButton::clicked, this, [this] { selectkind(true); });
    connect(m_play, &QPushButton::clicked, this, &Cplayer::play);
    connect(m_pause, &QPushButton::clicked, this, &Cplayer::pause);
    connect(m_stop, &QPushButton::clicked, this, &Cplayer::stop);

    // Opening: the WAVE file is selected when one exists or when there is no MIDI file.
    m_wavesel = m_ctx.wave || !m_ctx.midi;
    if (m_ctx.wave || m_ctx.midi) {
        showfile(m_wavesel ? Cplayeng::Kind::wave : Cplayeng::Kind::midi);
        m_state = stopped;
    }
    m_lyricsmode = m_eng.kar() ? 1 : 0;
    showstatus();
    controls();
}

Cplayer::~Cplayer() = default;

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
    // A WAVE file plays as it is; a MIDI file at the tempo.
    const double scale = m_wavesel ? 1 : m_eng.scale();
    m_status->setText(statustext(m_state, m_eng.position() * scale, m_total * scale));
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
    m_key->setEnabled(!m_wavesel && m_ctx.midi);
    m_tempo->setEnabled(!m_wavesel && m_ctx.midi);
    QPushButton* focus = m_state == nofile ? m_browse : m_state == playing ? m_stop : m_play;
    focus->setFocus();
}

void Cplayer::selectkind(bool wave)
{
    if (wave == m_wavesel) {
        controls();
        return;
    }
    m_wavesel = wave;
    showfile(wave ? Cplayeng::Kind::wave : Cplayeng::Kind::midi);
    if (wave) {
        m_eng.setposition(0);
        setslider(0);
    }
    m_state = stopped;
    showstatus();
    controls();
}

bool Cplayer::busy() const
{
    return m_state == playing || m_state == paused;
}

void Cplayer::load(Cplayeng::Kind kind, const std::string& path, bool)
{
    const bool loaded = loadfile(kind, path);
    if (kind != Cplayeng::Kind::other) {
        m_wavesel = kind == Cplayeng::Kind::wave || !loaded;
        if (loaded) {
            m_eng.setposition(0);
            setslider(0);
        }
    }
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
        const Cplayeng::Start started = m_eng.playwave(*m_ctx.wave, seek);
        switch (started) {
        case Cplayeng::Start::ok:
            m_lyr.open(this, m_ctx, m_eng.timeline().first, m_lyricsmode, seek, true);
            setAcceptDrops(false);
            m_state = playing;
            controls();
            break;
        case Cplayeng::Start::device:
            m_eng.warnstart(Cplayeng::Start::device, Cplayeng::Kind::wave, false);
            break;
        default:
            m_eng.warnstart(started, Cplayeng::Kind::wave, false);
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
            m_eng.warnstart(Cplayeng::Start::device, Cplayeng::Kind::midi, false);
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

void Cplayer::moved()
{
    if (m_state != playing) return;
    setslider(m_total > 0 ? int(m_eng.position() * 10000 / m_total) : 0);
    showstatus();
}

void Cplayer::ended()
{
    m_lyr.close();
    m_state = stopped;
    m_eng.setposition(0);
    setslider(0);
    setAcceptDrops(true);
    controls();
    showstatus();
}
