#include "app/dialogs/Cconvdlg.h"
#include "app/qt/Cqtface.h"

#include "platform/Cmsgbox.h"
#include "platform/Cshell.h"
#include "app/qt/Cdrop.h"
#include "tools/Cplayeng.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <unistd.h>

const char* Cconvdlg::TITLE = "Cantorix - MIDI converter";

namespace {

// The spin box's text read as an unsigned number; anything else reads as 0.
int unsignedof(const QSpinBox* s)
{
    bool ok = false;
    const uint v = s->cleanText().toUInt(&ok);
    return ok ? int(std::min<uint>(v, 1000000)) : 0;
}

const char* MIDIFILTER = "MIDI & Kar Files (*.mid;*.midi;*.kar)|*.mid;*.midi;*.kar|MIDI Files (*.mid;*.midi)|"
                         "*.mid;*.midi|Karaoke Files (*.kar)|*.kar|All Files (*.*)|*.*||";
const char* WAVEFILTER = "WAVE Files (*.wav)|*.wav|All Files (*.*)|*.*||";

}

Cconvdlg::Cconvdlg(Ccontext& ctx, Cwindow* main, QWidget* parent)
    : QDialog(parent), m_ctx(ctx), m_main(main), m_conv(std::make_unique<Cconvert>(ctx))
{
    setWindowTitle(TITLE);
    build();

    // The render thread reports to this window; the converter does the work.
    m_conv->sequen().setwindow(this, static_cast<QWidget*>(this));
    m_conv->owner = this;
    m_conv->onprogress = [this](int percent) {
        if (m_state != CONVERTING) return;
        m_progress->setValue(std::clamp(percent, 0, 100));
        m_time->setText(qs(m_conv->timetext()));
    };
    m_conv->onfinish = [this](const Cresult&) { finished(); };

    if (m_ctx.wave) {
        m_wave->setText(qs(m_ctx.wavetitle));
    } else if (m_ctx.midi) {
        m_ctx.derivewave();
        refresh();
        m_wave->setText(qs(m_ctx.wavetitle));
    }
    if (m_ctx.midi) m_midi->setText(qs(m_ctx.midititle));
    m_state = m_ctx.midi && m_ctx.wave ? READY : NOFILES;
    showoptions();
    rules();
    new Cdrop(this, [this](const QStringList& paths) { dropfiles(paths); });
}

Cconvdlg::~Cconvdlg()
{
    // The thread's last messages come to this window and must be handled before it can end.
    if (m_conv->running()) {
        m_conv->skipchecks = true;
        m_conv->abort();
        while (m_conv->running()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    if (m_state == PLAYING) stopplaying();
    m_conv.reset();
    // The converter's bank lives as long as the dialog: a bank that failed to load is tried
    // again only by the next converter dialog.
    m_ctx.bank.reset();
}

void Cconvdlg::build()
{
    auto* outer = new QVBoxLayout(this);
    auto reg = [this](int id, QWidget* w) {
        m_ctl[id] = w;
        w->setObjectName(QString("c%1").arg(id));
        return w;
    };
    auto button = [&](int id, const char* text) {
        auto* b = new QPushButton(text, this);
        reg(id, b);
        return b;
    };

    auto* files = new QGroupBox("Files", this);
    auto* fg = new QGridLayout(files);
    m_midi = new QLineEdit(files);
    m_wave = new QLineEdit(files);
    for (QLineEdit* e : {m_midi, m_wave}) {
        e->setReadOnly(true);
        e->setMinimumWidth(280);
    }
    reg(IDMIDI, m_midi);
    reg(IDWAVE, m_wave);
    fg->addWidget(new QLabel("Midi/Kar:", files), 0, 0);
    fg->addWidget(m_midi, 0, 1);
    fg->addWidget(button(IDBROWSEMIDI, "&Browse"), 0, 2);
    fg->addWidget(new QLabel("Wave:", files), 1, 0);
    fg->addWidget(m_wave, 1, 1);
    fg->addWidget(button(IDBROWSEWAVE, "Bro&wse"), 1, 2);
    fg->setColumnStretch(1, 1);
    outer->addWidget(files);

    // Each group is a pair of radio buttons for the sign and a spin box for the magnitude.
    auto signgroup = [&](const char* title, QRadioButton*& plus, QRadioButton*& minus, const char* plustext,
                         const char* minustext, int plusid, int minusid, QSpinBox*& spin, int spinid, int max,
                         QStringList units) {
        auto* box = new QGroupBox(title, this);
        auto* g = new QGridLayout(box);
        plus = new QRadioButton(plustext, box);
        minus = new QRadioButton(minustext, box);
        reg(plusid, plus);
        reg(minusid, minus);
        spin = new QSpinBox(box);
        spin->setRange(0, max);
        spin->setMinimumWidth(70);
        reg(spinid, spin);
        g->addWidget(plus, 0, 0);
        g->addWidget(minus, 1, 0);
        auto* row = new QHBoxLayout;
        row->addWidget(spin);
        for (const QString& u : units) row->addWidget(new QLabel(u, box));
        row->addStretch(1);
        g->addLayout(row, 0, 1, 2, 1);
        g->setColumnStretch(1, 1);
        return box;
    };
    auto* options = new QHBoxLayout;
    options->addWidget(signgroup("MIDI tempo", m_slower, m_faster, "&Slower", "&Faster", IDSLOWER, IDFASTER, m_tempo,
                                 IDTEMPO, Csequen::MAXTEMPO, {"%"}));
    options->addWidget(signgroup("MIDI transposition", m_higher, m_lower, "&Higher", "&Lower", IDHIGHER, IDLOWER,
                                 m_transpose, IDTRANSPOSE, 127, {"1/2", "tones"}));
    outer->addLayout(options);

    auto* checks = new QHBoxLayout;
    m_showerr = new QCheckBox("Show MIDI error &messages", this);
    m_normalize = new QCheckBox("Normalize WAVE file", this);
    reg(IDSHOWERR, m_showerr);
    reg(IDNORMALIZE, m_normalize);
    checks->addWidget(m_showerr);
    checks->addWidget(m_normalize);
    checks->addStretch(1);
    outer->addLayout(checks);

    auto* run = new QGroupBox("Progress", this);
    auto* rg = new QGridLayout(run);
    m_progress = new QProgressBar(run);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_progress->setTextVisible(false);
    reg(IDPROGRESS, m_progress);
    m_time = new QLabel("00:00 / 00:00", run);
    m_time->setMinimumWidth(m_time->fontMetrics().horizontalAdvance("000:00 / 000:00"));
    m_time->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    reg(IDTIME, m_time);
    rg->addWidget(m_progress, 0, 0, 1, 3);
    rg->addWidget(m_time, 0, 3);
    rg->addWidget(button(IDCONVERT, "&Convert"), 1, 0);
    rg->addWidget(button(IDABORT, "&Abort"), 1, 1);
    rg->addWidget(button(IDPLAY, "&Play"), 1, 2);
    outer->addWidget(run);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(button(IDDEFAULTS, "&Defaults"));
    bottom->addWidget(button(IDHELP, "&Help"));
    bottom->addStretch(1);
    QPushButton* closebtn = button(IDCLOSE, "C&lose");
    closebtn->setDefault(true);
    bottom->addWidget(closebtn);
    outer->addStretch(1);
    outer->addLayout(bottom);

    auto click = [this](int id, void (Cconvdlg::*f)()) {
        connect(static_cast<QPushButton*>(m_ctl[id]), &QPushButton::clicked, this, f);
    };
    click(IDBROWSEMIDI, &Cconvdlg::browsemidi);
    click(IDBROWSEWAVE, &Cconvdlg::browsewave);
    click(IDCONVERT, &Cconvdlg::convert);
    click(IDABORT, &Cconvdlg::abort);
    click(IDPLAY, &Cconvdlg::play);
    click(IDDEFAULTS, &Cconvdlg::defaults);
    click(IDHELP, &Cconvdlg::help);
    click(IDCLOSE, &Cconvdlg::accept);
}

QWidget* Cconvdlg::control(int id) const
{
    auto it = m_ctl.find(id);
    return it == m_ctl.end() ? nullptr : it->second;
}

QString Cconvdlg::miditext() const { return m_midi->text(); }
QString Cconvdlg::wavetext() const { return m_wave->text(); }
QString Cconvdlg::timetext() const { return m_time->text(); }
int Cconvdlg::progress() const { return m_progress->value(); }

void Cconvdlg::showoptions()
{
    const Csettings& s = m_ctx.settings;
    m_showerr->setChecked(Csettings::get(s.showerrors));
    m_normalize->setChecked(Csettings::get(s.normalize));
    const int tempo = Csettings::get(s.tempo), transpose = Csettings::get(s.transpose);
    (tempo >= 0 ? m_slower : m_faster)->setChecked(true);
    m_tempo->setValue(std::abs(tempo));
    (transpose >= 0 ? m_higher : m_lower)->setChecked(true);
    m_transpose->setValue(std::abs(transpose));
}

void Cconvdlg::readoptions()
{
    Csettings& s = m_ctx.settings;
    Csettings::set(s.showerrors, m_showerr->isChecked());
    Csettings::set(s.normalize, m_normalize->isChecked());
    const int tempo = unsignedof(m_tempo), transpose = unsignedof(m_transpose);
    Csettings::set(s.tempo, m_faster->isChecked() ? -tempo : tempo);
    Csettings::set(s.transpose, m_lower->isChecked() ? -transpose : transpose);
}

void Cconvdlg::rules()
{
    // A render thread still finishing after Abort keeps the output file and the current files
    // busy until its end message has been handled.
    const bool busy = m_state >= CONVERTING || m_conv->running();
    const bool ready = m_state == READY && !m_conv->running();
    m_ctl[IDCONVERT]->setEnabled(ready);
    m_ctl[IDABORT]->setEnabled(m_state >= CONVERTING);
    m_ctl[IDPLAY]->setEnabled(ready && m_ctx.wave && access(m_ctx.wavepath.c_str(), F_OK) == 0);
    for (int id : {IDBROWSEMIDI, IDBROWSEWAVE}) m_ctl[id]->setEnabled(!busy);
    for (int id : {IDDEFAULTS, IDHELP, IDSLOWER, IDFASTER, IDHIGHER, IDLOWER, IDTEMPO, IDTRANSPOSE, IDSHOWERR,
                   IDNORMALIZE})
        m_ctl[id]->setEnabled(m_state < CONVERTING);
    m_ctl[IDCLOSE]->setEnabled(true);
}

void Cconvdlg::readystate()
{
    m_state = m_ctx.midi && m_ctx.wave ? READY : NOFILES;
    rules();
}

void Cconvdlg::refresh()
{
    if (m_main) sendmsg(m_main, WM_REFRESH, 0, 0);
}

void Cconvdlg::warn(const char* text, const char* caption, const std::string& path)
{
    msgbox(text, caption, Boxicon::warning, this, path.empty() ? path : filedetail(path));
}

void Cconvdlg::clearwave()
{
    m_ctx.clearwave();
    m_wave->clear();
}

void Cconvdlg::loadmidi(const std::string& path)
{
    clearwave();
    m_midi->setText(qs(titleof(path)));
    if (m_ctx.loadmidi(path)) {
        m_ctx.derivewave();
        m_wave->setText(qs(m_ctx.wavetitle));
        return;
    }
    warn("The MIDI/KAR file selected could not be loaded\nIt either does not exist, or it is corrupt\nor it has an "
         "unknown format\nPlease select another MIDI/KAR file and try again",
         "Couldn't load MIDI/KAR file", path);
    m_ctx.setmidi(nullptr, std::string());
    m_midi->clear();
}

void Cconvdlg::setwave(const std::string& path)
{
    m_ctx.setwave(path);
    m_wave->setText(qs(m_ctx.wavetitle));
}

void Cconvdlg::browsemidi()
{
    if (m_state >= CONVERTING || m_conv->running()) return;
    Cfilereq req;
    req.filter = MIDIFILTER;
    if (!m_ctx.midi && !m_ctx.wave) req.startdir = m_ctx.settings.workdir;
    req.owner = this;
    const std::optional<Cfilepick> pick = shell().openfile(req);
    if (!pick) return;
    const std::string ext = lowercase(pick->ext);
    if (ext == "mid" || ext == "midi" || ext == "kar")
        loadmidi(pick->path);
    else
        warn("You must select a MIDI or Kar file\nPlease choose another file and try again", "Invalid file type",
             pick->path);
    refresh();
    readystate();
}

void Cconvdlg::browsewave()
{
    if (m_state >= CONVERTING || m_conv->running()) return;
    Cfilereq req;
    req.filter = WAVEFILTER;
    req.defext = "wav";
    if (!m_ctx.midi && !m_ctx.wave) req.startdir = m_ctx.settings.workdir;
    req.owner = this;
    const std::optional<Cfilepick> pick = shell().savefile(req);
    if (!pick) return;
    if (lowercase(pick->ext) == "wav")
        setwave(pick->path);
    else
        warn("You must select a WAVE file\nPlease choose another file and try again", "Invalid file type", pick->path);
    refresh();
    readystate();
}

void Cconvdlg::dropfiles(const QStringList& paths)
{
    if (m_state >= CONVERTING || m_conv->running()) return;
    const std::optional<Cdropped> drop = droppedfile(paths);
    if (!drop) return;
    const Cplayeng::Kind kind = Cplayeng::kindof(drop->ext, false);
    if (kind == Cplayeng::Kind::wave)
        setwave(drop->path);
    else if (kind == Cplayeng::Kind::midi)
        loadmidi(drop->path);
    else
        return;
    refresh();
    readystate();
}

void Cconvdlg::convert()
{
    if (m_state != READY || m_conv->running()) return;
    // A file at the WAVE name that no converter of this run wrote from this song (chosen by hand,
    // left from the song before, an older file under the name derived from a new song, or one
    // changed since) is replaced only when the person says so.
    if (m_ctx.wave && !m_ctx.madefrommidi() && access(m_ctx.wavepath.c_str(), F_OK) == 0) {
        const std::string text = "The WAVE file " + m_ctx.wavetitle + " already exists\nand was not made from " +
                                 m_ctx.midititle + "\nDo you want to replace it?";
        if (!askreplace(text, "Replace WAVE file", this, filedetail(m_ctx.wavepath))) return;
    }
    readoptions();
    if (!m_conv->start()) return;
    m_state = CONVERTING;
    setAcceptDrops(false);
    m_progress->setValue(0);
    m_time->setText("00:00 / 00:00");
    rules();
}

void Cconvdlg::abort()
{
    if (m_state == CONVERTING) m_conv->abort();
    else if (m_state == PLAYING) stopplaying();
    if (m_state >= CONVERTING) m_state = READY;
    rules();
}

void Cconvdlg::finished()
{
    if (m_closepending) {
        QDialog::done(QDialog::Rejected);
        return;
    }
    m_state = READY;
    setAcceptDrops(true);
    readystate();
}

void Cconvdlg::play()
{
    if (m_state != READY || m_conv->running() || !m_ctx.wave) return;
    Cwavfil& w = *m_ctx.wave;
    m_playlen = w.duration();
    if (!w.openrd()) {
        warn("The WAVE file selected appears to be corrupt\nPlease CONVERT the Midi/Kar file again",
             "Invalid Wave file", m_ctx.wavepath);
        return;
    }
    if (w.nframes == 0) {
        w.close();
        warn("The WAVE file selected is empty\nPlease CONVERT the Midi/Kar file again", "Wave file empty",
             m_ctx.wavepath);
        return;
    }
    if (!w.openout(this, m_ctx.settings.waveout)) {
        w.close();
        warn("The Wave output device is not ready. Possible causes:\n1) There is another application using the "
             "device\n2) Your computer doesn't have sound output capabilities",
             "Wave output busy");
        return;
    }
    m_state = PLAYING;
    m_progress->setValue(0);
    m_time->setText(qs(::timetext(0, m_playlen)));
    rules();
    setAcceptDrops(false);
}

void Cconvdlg::stopplaying()
{
    if (!m_ctx.wave) return;
    m_ctx.wave->closeout();
    m_ctx.wave->close();
}

void Cconvdlg::defaults()
{
    m_ctx.settings.convdefaults();
    showoptions();
}

void Cconvdlg::help()
{
    shell().openpath("Hlpmidic.htm", m_ctx.settings.progdir, this);
}

void Cconvdlg::handle(unsigned msg, uintptr_t wparam, intptr_t lparam)
{
    switch (msg) {
    case WM_PROGRESS:
    case WM_RENDERED:
        m_conv->handle(msg, wparam, lparam);
        return;
    case MM_WOM_OPEN:
        if (m_state == PLAYING && m_ctx.wave) m_ctx.wave->refill();
        return;
    case MM_WOM_DONE: {
        // Buffers that come back after Abort or Close belong to a closed device.
        if (m_state != PLAYING || !m_ctx.wave) return;
        Cwavfil& w = *m_ctx.wave;
        const double rate = w.fmt.rate ? w.fmt.rate : 44100;
        const double pos = double(w.frpos) * 1000000.0 / rate;
        m_progress->setValue(m_playlen > 0 ? std::clamp(int(pos * 100 / m_playlen), 0, 100) : 100);
        w.refill();
        if (w.outdone()) {
            stopplaying();
            m_state = READY;
            setAcceptDrops(true);
            rules();
        } else {
            m_time->setText(qs(::timetext(pos, m_playlen)));
        }
        return;
    }
    default: return;
    }
}

void Cconvdlg::endwith(int result)
{
    if (m_state == CONVERTING || m_conv->running()) {
        // The dialog ends when the render thread has reported its end; no checks then.
        m_ctx.abort.store(true, std::memory_order_relaxed);
        m_closepending = true;
        m_conv->skipchecks = true;
        return;
    }
    if (m_state == PLAYING) stopplaying();
    m_state = m_ctx.midi && m_ctx.wave ? READY : NOFILES;
    QDialog::done(result);
}

void Cconvdlg::accept() { endwith(QDialog::Accepted); }
void Cconvdlg::reject() { endwith(QDialog::Rejected); }

