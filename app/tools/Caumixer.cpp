#include "app/tools/Caumixer.h"
#include "app/qt/Chelpview.h"
#include "app/qt/Cqtface.h"

#include "app/dialogs/Ceffdialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

const char* Caumixer::TITLE = "Cantorix - Audio Mixer";

namespace {

}

Caumixer::Caumixer(Ccontext& ctx, QWidget* parent)
    : QDialog(parent), m_ctx(ctx), m_eng(ctx.settings, ctx.effects, ctx.abort)
{
    setWindowTitle(TITLE);
    m_eng.owner = this;
    m_eng.window = this;

    auto* outer = new QVBoxLayout(this);
    auto* channels = new QHBoxLayout;
    channels->setSpacing(8);
    for (int c = 0; c < Cmixeng::NCHAN; ++c) channels->addWidget(channel(c), 1);
    outer->addLayout(channels);

    auto* checks = new QHBoxLayout;
    m_fx = new QCheckBox("Apply effects", this);
    m_trim = new QCheckBox("Trim silence", this);
    m_norm = new QCheckBox("Normalize output file", this);
    for (QCheckBox* b : {m_fx, m_trim, m_norm}) checks->addWidget(b);
    checks->addStretch(1);
    outer->addLayout(checks);
    connect(m_fx, &QCheckBox::toggled, this, [this](bool on) { m_eng.applyfx = on; });
    connect(m_trim, &QCheckBox::toggled, this, [this](bool on) { m_eng.trim = on; });
    connect(m_norm, &QCheckBox::toggled, this, [this](bool on) { m_eng.normalize = on; });

    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 100);
    m_progress->setTextVisible(false);
    m_status = new QLabel(this);
    m_status->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_status->setMinimumWidth(120);
    auto* progressrow = new QHBoxLayout;
    progressrow->addWidget(m_progress, 1);
    progressrow->addWidget(m_status);
    outer->addLayout(progressrow);

    auto* buttons = new QHBoxLayout;
    auto add = [&](const char* text, const char* name, void (Caumixer::*slot)()) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setAutoDefault(false);
        if (slot) connect(b, &QPushButton::clicked, this, slot);
        buttons->addWidget(b);
        return b;
    };
    add("&Preview", "preview", &Caumixer::preview);
    add("&Mix", "mix", &Caumixer::mix);
    add("&Stop", "stop", &Caumixer::stop);
    add("&Play", "play", &Caumixer::play);
    buttons->addStretch(1);
    connect(add("&Effects", "effects", nullptr), &QPushButton::clicked, this, [this] {
        Ceffdialog dlg(m_ctx.settings, this);
        dlg.exec();
    });
    buttons->addWidget(Chelpview::button(this, "Hlpaumix.htm", m_ctx.settings.progdir));
    add("&Reset", "reset", &Caumixer::reset);
    add("&Close", "close", &Caumixer::reject);
    outer->addLayout(buttons);

    m_timer = new QTimer(this);
    m_timer->setInterval(TICKMS);
    connect(m_timer, &QTimer::timeout, this, &Caumixer::tick);

    reset();
}

Caumixer::~Caumixer()
{
    m_timer->stop();
    m_eng.stop();
}

QWidget* Caumixer::channel(int c)
{
    Chanctl& k = m_ctl[c];
    auto* box = new QGroupBox(c == Cmixeng::OUTPUT ? QString("Output") : QString("Input %1").arg(c), this);
    auto* col = new QGridLayout(box);
    col->setVerticalSpacing(6);
    const QString n = QString::number(c);

    k.name = new QLineEdit(box);
    k.name->setReadOnly(true);
    k.name->setMinimumWidth(120);
    k.name->setObjectName("name" + n);
    col->addWidget(k.name, 0, 0, 1, 3);

    k.browse = new QPushButton("&Browse", box);
    k.clear = new QPushButton("&Clear", box);
    k.browse->setObjectName("browse" + n);
    k.clear->setObjectName("clear" + n);
    for (QPushButton* b : {k.browse, k.clear}) b->setAutoDefault(false);
    auto* row = new QHBoxLayout;
    row->addWidget(k.browse);
    row->addWidget(k.clear);
    col->addLayout(row, 1, 0, 1, 3);
    connect(k.browse, &QPushButton::clicked, this, [this, c] {
        m_eng.browse(c);
        refresh();
    });
    connect(k.clear, &QPushButton::clicked, this, [this, c] {
        m_eng.clear(c);
        refresh();
    });

    col->addWidget(new QLabel(c == Cmixeng::OUTPUT ? "Separator" : "Offset (s)", box), 2, 0);
    k.offset = new QLineEdit(box);
    k.offset->setObjectName("offset" + n);
    k.offset->setAlignment(Qt::AlignRight);
    k.offset->setMaximumWidth(80);
    col->addWidget(k.offset, 2, 1);
    connect(k.offset, &QLineEdit::editingFinished, this, [this, c] { offsetdone(c); });
    auto* spin = new QVBoxLayout;
    spin->setSpacing(0);
    k.up = new QToolButton(box);
    k.down = new QToolButton(box);
    k.up->setArrowType(Qt::UpArrow);
    k.down->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {k.up, k.down}) {
        b->setAutoRepeat(true);
        b->setFixedSize(18, 12);
        spin->addWidget(b);
    }
    col->addLayout(spin, 2, 2);
    // One step is 0.01 s; up raises the offset.
    connect(k.up, &QToolButton::clicked, this, [this, c] {
        m_eng.spin(c, -1);
        m_ctl[c].offset->setText(qs(Cmixeng::showoffset(m_eng.chan[c].offset)));
    });
    connect(k.down, &QToolButton::clicked, this, [this, c] {
        m_eng.spin(c, 1);
        m_ctl[c].offset->setText(qs(Cmixeng::showoffset(m_eng.chan[c].offset)));
    });

    k.vol = new QSlider(Qt::Vertical, box);
    k.vol->setObjectName("vol" + n);
    k.vol->setRange(0, 20);
    k.vol->setPageStep(2);
    k.vol->setTickPosition(QSlider::TicksBothSides);
    k.vol->setTickInterval(2);
    k.vol->setMinimumHeight(130);
    col->addWidget(new QLabel("Volume", box), 3, 0, Qt::AlignRight | Qt::AlignVCenter);
    col->addWidget(k.vol, 3, 1, Qt::AlignHCenter);
    connect(k.vol, &QSlider::valueChanged, this, [this, c](int v) { m_eng.chan[c].vol = v; });

    k.pan = new QSlider(Qt::Horizontal, box);
    k.pan->setObjectName("pan" + n);
    k.pan->setRange(0, 10);
    k.pan->setPageStep(1);
    k.pan->setTickPosition(QSlider::TicksBelow);
    k.pan->setTickInterval(5);
    connect(k.pan, &QSlider::valueChanged, this, [this, c](int v) { m_eng.chan[c].pan = v; });
    auto* panrow = new QHBoxLayout;
    panrow->addWidget(new QLabel("Left", box));
    panrow->addWidget(k.pan, 1);
    panrow->addWidget(new QLabel("Right", box));
    col->addLayout(panrow, 4, 0, 1, 3);
    col->setColumnStretch(1, 1);
    return box;
}

QPushButton* Caumixer::button(const char* name) const { return findChild<QPushButton*>(name); }

void Caumixer::offsetdone(int c)
{
    QLineEdit* e = m_ctl[c].offset;
    if (e->isModified()) {
        double usec = 0;
        if (Cmixeng::parseoffset(e->text().toStdString(), usec)) m_eng.setoffset(c, usec);
        e->setModified(false);
    }
    e->setText(qs(Cmixeng::showoffset(m_eng.chan[c].offset)));
}

// Shows every channel's record, then enables the controls by state.
void Caumixer::refresh()
{
    for (int c = 0; c < Cmixeng::NCHAN; ++c) {
        const Cmixchan& ch = m_eng.chan[c];
        const Chanctl& k = m_ctl[c];
        k.name->setText(qs(ch.name));
        k.offset->setText(qs(Cmixeng::showoffset(ch.offset)));
        k.vol->setValue(ch.vol);
        k.pan->setValue(ch.pan);
    }
    m_fx->setChecked(m_eng.applyfx);
    m_trim->setChecked(m_eng.trim);
    m_norm->setChecked(m_eng.normalize);
    rules();
}

void Caumixer::rules()
{
    const int s = m_eng.state;
    const bool idle = s == Cmixeng::notready || s == Cmixeng::ready;
    button("preview")->setEnabled(s == Cmixeng::ready);
    button("mix")->setEnabled(s == Cmixeng::ready);
    button("play")->setEnabled(s == Cmixeng::ready && m_eng.outexists());
    button("stop")->setEnabled(!idle);
    for (const char* b : {"effects", "help", "reset"}) button(b)->setEnabled(idle);
    for (QCheckBox* b : {m_fx, m_trim, m_norm}) b->setEnabled(s == Cmixeng::ready);
    for (const Chanctl& k : m_ctl) {
        for (QWidget* w : {(QWidget*)k.clear, (QWidget*)k.browse, (QWidget*)k.offset, (QWidget*)k.up, (QWidget*)k.down})
            w->setEnabled(idle);
        // The sliders stay live during a preview: each next second takes their gains.
        k.vol->setEnabled(idle || s == Cmixeng::previewing);
        k.pan->setEnabled(idle || s == Cmixeng::previewing);
    }
    m_status->clear();
    m_progress->setValue(0);
}

void Caumixer::showtime()
{
    m_progress->setValue(m_eng.progress());
    m_status->setText(qs(m_eng.timetext()));
}

void Caumixer::preview()
{
    if (m_eng.preview()) rules();
}

void Caumixer::mix()
{
    if (!m_eng.startmix()) return;
    rules();
    m_timer->start();
}

void Caumixer::tick()
{
    if (m_eng.tick()) {
        showtime();
        return;
    }
    m_timer->stop();
    rules();
}

void Caumixer::play()
{
    if (m_eng.play()) rules();
}

void Caumixer::stop()
{
    m_timer->stop();
    m_eng.stop();
    rules();
}

void Caumixer::reset()
{
    m_eng.reset();
    refresh();
}

void Caumixer::handle(unsigned msg, uintptr_t, intptr_t)
{
    const int before = m_eng.state;
    if (before != Cmixeng::previewing && before != Cmixeng::playing) return;
    if (m_eng.devmsg(msg))
        rules();
    else if (msg == MM_WOM_DONE || msg == MM_WOM_OPEN)
        showtime();
}

void Caumixer::reject()
{
    m_timer->stop();
    m_eng.stop();
    QDialog::reject();
}

void Caumixer::closeEvent(QCloseEvent* e)
{
    m_timer->stop();
    m_eng.stop();
    QDialog::closeEvent(e);
}
