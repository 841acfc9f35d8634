#include "app/tools/Clyrchoice.h"

#include "app/qt/Clyrics.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>

Clyrchoice::Clyrchoice() = default;

Clyrchoice::~Clyrchoice()
{
    close();
}

QGroupBox* Clyrchoice::build(QWidget* parent, std::function<void(int)> pick)
{
    auto* box = new QGroupBox("Show lyrics", parent);
    auto* row = new QHBoxLayout(box);
    const char* names[3] = {"Non&e", "No&rmal", "&Full-screen"};
    for (int i = 0; i < 3; ++i) {
        m_radio[i] = new QRadioButton(names[i], box);
        row->addWidget(m_radio[i]);
        QObject::connect(m_radio[i], &QRadioButton::clicked, box, [pick, i] { pick(i); });
    }
    row->addStretch(1);
    return box;
}

void Clyrchoice::show(bool on, int mode)
{
    for (int i = 0; i < 3; ++i) {
        m_radio[i]->setEnabled(on);
        m_radio[i]->setChecked(mode == i);
    }
}

void Clyrchoice::open(Cwindow* owner, const Ccontext& ctx, const Cnode* first, int mode, double startus, bool selftimed)
{
    close();
    if (mode == 0 || !ctx.midi) return;
    m_window = std::make_unique<Clyrics>(owner, ctx.midititle, first, ctx.midi->division, startus, selftimed, mode == 2);
}

void Clyrchoice::close()
{
    if (!m_window) return;
    m_window->stopschedule();
    // The owner's scheduler may post syllables to the window until the owner stops it, which it
    // does right after this; the window is deleted once control is back in the event loop.
    m_window->hide();
    // The keyboard goes back to the dialog that owns the window.
    if (QWidget* owner = m_window->parentWidget(); owner && owner->isVisible()) owner->activateWindow();
    m_window.release()->deleteLater();
}

void Clyrchoice::focus()
{
    if (!m_window) return;
    m_window->activateWindow();
    m_window->setFocus();
}

QLabel* Clyrchoice::timelabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    QFont mono = label->font();
    mono.setFamily("monospace");
    mono.setStyleHint(QFont::TypeWriter);
    label->setFont(mono);
    return label;
}
