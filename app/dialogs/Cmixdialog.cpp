#include "app/dialogs/Cmixdialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>

const char* Cmixdialog::TITLE = "Cantorix - Midi Mixer";

Cmixdialog::Cmixdialog(Cmixtab& mixer, QWidget* parent) : QDialog(parent), m_mixer(mixer)
{
    setWindowTitle(TITLE);
    auto* outer = new QVBoxLayout(this);
    auto* channels = new QGridLayout;
    channels->setSpacing(6);
    for (int ch = 0; ch < NCHAN; ++ch) {
        auto* box = new QGroupBox(QString("Channel %1").arg(ch + 1), this);
        auto* grid = new QGridLayout(box);
        grid->setContentsMargins(6, 6, 6, 6);
        grid->setVerticalSpacing(2);
        m_names[ch] = new QLineEdit(box);
        m_names[ch]->setReadOnly(true);
        m_names[ch]->setMinimumWidth(96);
        grid->addWidget(m_names[ch], 0, 0, 1, 3);

        // Position 0 is drawn at the top: +25 dB.
        auto* s = new QSlider(Qt::Vertical, box);
        s->setInvertedAppearance(true);
        s->setInvertedControls(true);
        s->setTickPosition(QSlider::TicksBothSides);
        s->setTickInterval(1);
        s->setPageStep(1);
        s->setMinimumHeight(110);
        m_gain[ch] = s;
        auto* scale = new QVBoxLayout;
        scale->addWidget(new QLabel("+25", box));
        scale->addStretch(1);
        scale->addWidget(new QLabel("0", box));
        scale->addStretch(1);
        scale->addWidget(new QLabel("-25", box));
        grid->addLayout(scale, 1, 0);
        grid->addWidget(s, 1, 1, Qt::AlignHCenter);
        grid->addWidget(new QLabel("dB", box), 1, 2, Qt::AlignVCenter);

        m_mute[ch] = new QCheckBox("Mute", box);
        grid->addWidget(m_mute[ch], 2, 0, 1, 3);
        m_solo[ch] = new QPushButton("Solo", box);
        grid->addWidget(m_solo[ch], 3, 0, 1, 3);
        connect(m_solo[ch], &QPushButton::clicked, this, [this, ch] { dosolo(ch); });
        channels->addWidget(box, ch / 8, ch % 8);
    }
    outer->addLayout(channels);

    auto* buttons = new QDialogButtonBox(this);
    m_reset = buttons->addButton("&Reset", QDialogButtonBox::ResetRole);
    buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
    buttons->addButton("OK", QDialogButtonBox::AcceptRole)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &Cmixdialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &Cmixdialog::reject);
    connect(m_reset, &QPushButton::clicked, this, &Cmixdialog::doreset);
    outer->addWidget(buttons);

    for (int ch = 0; ch < NCHAN; ++ch) {
        // A channel without names keeps its edit as it was made: empty.
        if (!m_mixer[ch].names.empty()) {
            // Long name lists show from their start; the tooltip holds the whole text.
            m_names[ch]->setText(QString::fromStdString(m_mixer[ch].names));
            m_names[ch]->setCursorPosition(0);
            m_names[ch]->setToolTip(m_names[ch]->text());
        }
        m_gain[ch]->setRange(0, 10);
    }
    showtable();
}

void Cmixdialog::showtable()
{
    for (int ch = 0; ch < NCHAN; ++ch) {
        m_gain[ch]->setValue(std::clamp(posof(m_mixer.gain(ch)), 0, 10));
        m_mute[ch]->setChecked(m_mixer.muted(ch));
    }
}

void Cmixdialog::dosolo(int ch)
{
    for (int j = 0; j < NCHAN; ++j) {
        m_mixer.setmute(j, j != ch);
        m_mute[j]->setChecked(j != ch);
    }
}

void Cmixdialog::doreset()
{
    for (int ch = 0; ch < NCHAN; ++ch) {
        m_mixer.setgain(ch, 0);
        m_mixer.setmute(ch, false);
    }
    showtable();
}

void Cmixdialog::accept()
{
    for (int ch = 0; ch < NCHAN; ++ch) {
        m_mixer.setmute(ch, m_mute[ch]->isChecked());
        m_mixer.setgain(ch, gainof(m_gain[ch]->value()));
    }
    QDialog::accept();
}
