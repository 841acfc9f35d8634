#include "app/dialogs/Caboutdialog.h"

#include "app/qt/Cicons.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

const char* Caboutdialog::TITLE = "About Cantorix";

Caboutdialog::Caboutdialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(TITLE);
    auto* grid = new QGridLayout(this);
    grid->setHorizontalSpacing(16);
    auto* icon = new QLabel(this);
    icon->setPixmap(appicon().pixmap(48, 48));
    icon->setAlignment(Qt::AlignTop);
    grid->addWidget(icon, 0, 0, 3, 1);
    grid->addWidget(new QLabel("<b>Cantorix</b> version 0.1", this), 0, 1);
    grid->addWidget(new QLabel("Midi/Karaoke to Wave converter", this), 1, 1);
    auto* more = new QLabel("Converts MIDI and karaoke files to WAVE audio with its own\n"
                            "SoundFont synthesizer and effects; plays, records, mixes\n"
                            "and converts WAVE and MP3 files.", this);
    grid->addWidget(more, 2, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    grid->addWidget(buttons, 3, 0, 1, 2);
    setFixedSize(sizeHint());
}
