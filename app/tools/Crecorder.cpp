#include "app/tools/Crecorder.h"

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

const char* Crecorder::TITLE = "Cantorix - Recorder";
const char* Crecorder::TAKE = "take1.wav";

Crecorder::Crecorder(Ccontext& ctx, Cwindow* mainwin, QWidget* parent)
    : Cplaywin(ctx, mainwin, TITLE, "Hlprecor.htm", parent), m_take(this)
{
    auto* outer = new QVBoxLayout(this);

    auto* pbox = new QGroupBox("Play-back", this);
    auto* pgrid = new QGridLayout(pbox);
    const char* pnames[3] = {"&None", "&Midi/Kar", "&Wave"};
    for (int i = 0; i < 3; ++i) {
        m_pb[i] = new QRadioButton(pnames[i], pbox);
        pgrid->addWidget(m_pb[i], 0, i);
        connect(m_pb[i], &QRadioButton::clicked, this, [this, i] { selectplayback(i); });
    }
    titlerow(pgrid, pbox, 4);

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
    for (QPushButton* b : {m_start, m_stop, m_play}) {
        b->setAutoDefault(false);
        transport->addWidget(b);
    }
    transport->addStretch(1);
    transport->addWidget(m_time);

    for (QWidget* w : std::initializer_list<QWidget*>{pbox, lbox, obox, m_bar}) outer->addWidget(w);
    outer->addLayout(transport);
    outer->addLayout(helprow());

    m_outbrowse->setAutoDefault(false);
    connect(m_outbrowse, &QPushButton::clicked, this, &Crecorder::browseout);
    connect(m_start, &QPushButton::clicked, this, &Crecorder::start);
    connect(m_stop, &QPushButton::clicked, this, &Crecorder::stop);
    connect(m_play, &QPushButton::clicked, this, &Crecorder::play);

    // Opening: MIDI play-back when there is a MIDI file, else WAVE when there is a WAVE file.
    m_playback = m_ctx.midi ? midi : m_ctx.wave ? wave : none;
    if (m_playback != none) showfile(m_playback == midi ? Cplayeng::Kind::midi : Cplayeng::Kind::wave);
    m_lyricsmode = m_eng.kar() ? 1 : 0;
    const std::string dir = m_ctx.settings.workdir;
    newrecording(dir.empty() ? TAKE : dir + "/" + TAKE, TAKE);
    controls();
}

Crecorder::~Crecorder()
{
    m_take.end();
    m_eng.stop();   // before the take it may be playing goes
}

void Crecorder::newrecording(const std::string& path, const std::string& title)
{
    m_take.choose(path, title);
    m_out->setText(qs(title));
}

QString Crecorder::playtext(double positionus, double totalus)
{
    return QString::fromStdString(::timetext(positionus, totalus));
}

QString Crecorder::rectext(double seconds)
{
    // Whole seconds; nonsense values count as 0.
    const double us = seconds * 1e6;
    const unsigned s = us > 0 && us < 4.0e15 ? unsigned(uint64_t(us * 0.000001)) : 0u;
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
    m_play->setEnabled(on && m_take.exists());
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
    if (choice >= none && choice <= wave && m_pb[choice]->isChecked() && choice != m_playback) {
        m_playback = choice;
        showfile(choice == midi ? Cplayeng::Kind::midi : choice == wave ? Cplayeng::Kind::wave : Cplayeng::Kind::other);
        clearprogress();
    }
    controls();
}

bool Crecorder::busy() const
{
    return m_state != idle;
}

void Crecorder::load(Cplayeng::Kind kind, const std::string& path, bool chosen)
{
    if (chosen || kind == Cplayeng::Kind::wave) clearprogress();
    const bool loaded = loadfile(kind, path);
    if (kind == Cplayeng::Kind::other) return;
    m_playback = !loaded ? none : kind == Cplayeng::Kind::midi ? midi : wave;
    controls();
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
        msgbox("You must select a WAVE file\nPlease choose another file and try again", "Invalid file type",
               Boxicon::warning, this, filedetail(pick->path));
        return;
    }
    newrecording(pick->path, pick->title);
    controls();
}

void Crecorder::endrun()
{
    m_lyr.close();
    m_take.end();
}

void Crecorder::start()
{
    if (m_state != idle || !m_take.file()) return;
    m_eng.setposition(0);
    const bool overwave = m_playback == wave && m_ctx.wave;
    if (!m_take.start(this, m_ctx.settings.wavein, overwave ? m_ctx.wave.get() : nullptr)) {
        controls();
        return;
    }
    Cplayeng::Start started = Cplayeng::Start::ok;
    if (overwave) {
        m_total = m_ctx.wave->duration();
        started = m_eng.playwave(*m_ctx.wave, 0);
    } else if (m_playback == midi && m_ctx.midi) {
        m_total = m_eng.miditotal();
        started = m_eng.playmidi(0, 1000000, nullptr);   // the recording ends one second after the last event
    }
    if (started != Cplayeng::Start::ok) {
        m_eng.warnstart(started, overwave ? Cplayeng::Kind::wave : Cplayeng::Kind::midi, true);
        m_take.end();
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
    if (m_state != idle || !m_take.file() || m_take.writing()) return;
    m_total = m_take.file()->duration();
    m_eng.setposition(0);
    if (!m_take.play(m_eng)) return;
    m_state = playing;
    showprogress();
    setAcceptDrops(false);
    controls();
}

void Crecorder::stop()
{
    if (m_state == idle) return;
    const bool wasrecording = m_state == recording;
    m_state = idle;
    if (wasrecording) endrun();
    m_eng.stop();
    setAcceptDrops(true);
    controls();
}

void Crecorder::done(int r)
{
    // Close, Escape and the window's close button all end here.
    if (m_state == recording) endrun();
    m_state = idle;
    m_eng.stop();
    if (m_take.close(m_ctx, r == QDialog::Accepted) && m_mainwin) sendmsg(m_mainwin, WM_REFRESH);
    QDialog::done(r);
}

bool Crecorder::message(unsigned msg, intptr_t lparam)
{
    if (msg == MM_WIM_DATA && m_take.file()) {
        m_take.store(reinterpret_cast<Wavehdr*>(lparam));
        if (m_state == recording && m_playback == none && m_take.file()->fmt.rate > 0)
            m_time->setText(rectext(m_take.seconds()));
    } else if (msg == MM_WIM_CLOSE) {
        m_take.finish();
        if (m_state == idle) controls();   // Play now sees the finished file
    }
    return msg == MM_WIM_DATA || msg == MM_WIM_CLOSE;
}

void Crecorder::moved()
{
    if (m_state != idle) showprogress();
}

void Crecorder::ended()
{
    if (m_state == recording) endrun();   // the recording ends with the play-back
    m_state = idle;
    setAcceptDrops(true);
    controls();
}
