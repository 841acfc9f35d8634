#include "app/dialogs/Ceffdialog.h"

#include "platform/Cshell.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

const char* Ceffdialog::TITLE = "Cantorix - Sound Effects";

namespace {

// Half up: a fraction of exactly 0.5 goes to the larger integer.
int nearest(double x) { return int(std::floor(x + 0.5)); }

// 1 / 6.667: twenty positions span 1 ms to 1 s on a logarithmic scale.
constexpr double DELAYSTEP = 0.14999250037498124;

struct Row {
    Ceffdialog::Fx fx;
    const char* label;
    const char* left;
    const char* right;
};

}

int Ceffdialog::maxpos(Fx fx)
{
    switch (fx) {
    case mastervol: case complevel: case delaytime: case delaymod: case spread: return 20;
    case feedback: return 9;
    default: return 10;
    }
}

int Ceffdialog::delayms(int p) { return nearest(std::pow(10.0, p * DELAYSTEP)); }

int Ceffdialog::delaypos(int ms)
{
    if (ms < 1) return 0;
    return nearest(std::log10(double(ms)) * 6.667);
}

int Ceffdialog::shown(const Csettings& s, Fx fx)
{
    int p = 0;
    switch (fx) {
    case roomsize: p = nearest(double(Csettings::get(s.roomsize)) * 10); break;
    case damping: p = Csettings::get(s.damping) / 10; break;
    case reverbamt: p = nearest((double(Csettings::get(s.reverbamt)) + 1) * 5); break;
    case chorusamt: p = nearest((double(Csettings::get(s.chorusamt)) + 1) * 5); break;
    case mastervol: p = Csettings::get(s.mastervoldb) / 2 + 10; break;
    case complevel: p = Csettings::get(s.complevel); break;
    case delaytime: p = delaypos(Csettings::get(s.delayms)); break;
    case delaymod: p = Csettings::get(s.delaymodms); break;
    case feedback: p = nearest(double(Csettings::get(s.delayfb)) * 10); break;
    case spread: p = Csettings::get(s.spreadms) / 2; break;
    case delayamt: p = nearest(double(Csettings::get(s.delayamt)) * 10); break;
    default: break;
    }
    return std::clamp(p, 0, maxpos(fx));
}

void Ceffdialog::store(Csettings& s, Fx fx, int p)
{
    const Ceffparam& e = effparam(fx);
    if (fx == delaytime) e.set(s, delayms(p));
    else e.set(s, e.lo + p * ((e.hi - e.lo) / maxpos(fx)));
}

Ceffdialog::Ceffdialog(Csettings& settings, QWidget* parent) : QDialog(parent), m_settings(settings)
{
    setWindowTitle(TITLE);
    auto* outer = new QVBoxLayout(this);

    auto group = [&](const char* title, std::initializer_list<Row> rows) {
        auto* box = new QGroupBox(title, this);
        auto* grid = new QGridLayout(box);
        grid->setColumnStretch(2, 1);
        grid->setHorizontalSpacing(8);
        int r = 0;
        for (const Row& row : rows) {
            auto* s = new QSlider(Qt::Horizontal, box);
            s->setRange(0, maxpos(row.fx));
            s->setTickPosition(QSlider::TicksBelow);
            s->setTickInterval(1);
            s->setPageStep(1);
            s->setMinimumWidth(220);
            m_sliders[row.fx] = s;
            auto* left = new QLabel(row.left, box);
            left->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            grid->addWidget(new QLabel(row.label, box), r, 0);
            grid->addWidget(left, r, 1);
            grid->addWidget(s, r, 2);
            grid->addWidget(new QLabel(row.right, box), r, 3);
            ++r;
        }
        grid->setColumnMinimumWidth(0, 110);
        grid->setColumnMinimumWidth(1, 48);
        grid->setColumnMinimumWidth(3, 52);
        outer->addWidget(box);
    };
    group("Reverberator", {{roomsize, "Room size", "Small\nroom", "Concert\nhall"},
                           {damping, "Damping", "Slow", "Fast"},
                           {reverbamt, "Amount", "-100 %", "100 %"}});
    group("Chorus", {{chorusamt, "Amount", "-100 %", "100 %"}});
    group("Compression", {{mastervol, "Master volume", "-20 dB", "20 dB"},
                          {complevel, "Compressor level", "Min", "Max"}});
    group("Delay", {{delaytime, "Delay time", "1 ms", "1 sec"},
                    {delaymod, "Modulation", "0 ms", "20 ms"},
                    {feedback, "Feedbak", "0 %", "90 %"},
                    {spread, "Stereo spread", "0 ms", "40 ms"},
                    {delayamt, "Amount", "0 %", "100 %"}});

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* helpbtn = buttons->addButton("&Help", QDialogButtonBox::HelpRole);
    QPushButton* defbtn = buttons->addButton("&Defaults", QDialogButtonBox::ResetRole);
    buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
    buttons->addButton("OK", QDialogButtonBox::AcceptRole)->setDefault(true);
    helpbtn->setObjectName("help");
    defbtn->setObjectName("defaults");
    connect(buttons, &QDialogButtonBox::accepted, this, &Ceffdialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &Ceffdialog::reject);
    connect(helpbtn, &QPushButton::clicked, this, [this] { shell().openpath("Hlpmain.htm", m_settings.progdir, this); });
    connect(defbtn, &QPushButton::clicked, this, &Ceffdialog::defaults);
    outer->addStretch(1);   // extra height goes below the groups, not into them
    outer->addWidget(buttons);
    showall();
}

void Ceffdialog::showall()
{
    for (int fx = 0; fx < COUNT; ++fx) m_sliders[fx]->setValue(shown(m_settings, Fx(fx)));
}

void Ceffdialog::defaults()
{
    m_settings.effectdefaults();
    showall();
}

void Ceffdialog::accept()
{
    for (int fx = 0; fx < COUNT; ++fx) store(m_settings, Fx(fx), m_sliders[fx]->value());
    QDialog::accept();
}
