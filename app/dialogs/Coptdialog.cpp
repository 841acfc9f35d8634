#include "app/dialogs/Coptdialog.h"
#include "app/qt/Cqtface.h"

#include "platform/Cshell.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

const char* Coptdialog::TITLE = "Cantorix - Options";
const char* Coptdialog::DEFAULTDEV = "Default";
const char* Coptdialog::DEFAULTMIDI = "Default (built-in synthesizer)";

namespace {

QComboBox* devicelist(QWidget* parent, const char* first, const std::vector<std::string>& names, int device)
{
    auto* c = new QComboBox(parent);
    c->addItem(first);
    for (const std::string& n : names) c->addItem(qs(n));
    // A stored device beyond the current list selects nothing.
    c->setCurrentIndex(device + 1 < c->count() ? device + 1 : -1);
    c->setMinimumWidth(300);
    return c;
}

// Entry 0 is the default device (-1); entry k is device k - 1. A list left without a
// selection also stores the default device, so that only openable values are ever stored.
int deviceof(const QComboBox* c)
{
    return c->currentIndex() <= 0 ? -1 : c->currentIndex() - 1;
}

}

Coptdialog::Coptdialog(Csettings& settings, const Cdevnames& devices, QWidget* parent)
    : QDialog(parent), m_settings(settings)
{
    setWindowTitle(TITLE);
    auto* outer = new QVBoxLayout(this);

    auto pathgroup = [&](const char* title, const char* browse, QLineEdit*& edit, const std::string& value) {
        auto* box = new QGroupBox(title, this);
        auto* row = new QHBoxLayout(box);
        edit = new QLineEdit(qs(value), box);
        edit->setMinimumWidth(320);
        auto* btn = new QPushButton(browse, box);
        row->addWidget(edit, 1);
        row->addWidget(btn);
        outer->addWidget(box);
        return btn;
    };
    QPushButton* bankbtn = pathgroup("Sound Bank", "&Browse", m_bank, settings.bankpath);
    QPushButton* workbtn = pathgroup("Working folder", "Bro&wse", m_work, settings.workdir);
    bankbtn->setObjectName("browsebank");
    workbtn->setObjectName("browsework");
    connect(bankbtn, &QPushButton::clicked, this, &Coptdialog::browsebank);
    connect(workbtn, &QPushButton::clicked, this, &Coptdialog::browsework);

    auto devgroup = [&](const char* title, QComboBox* list) {
        auto* box = new QGroupBox(title, this);
        auto* row = new QHBoxLayout(box);
        list->setParent(box);
        row->addWidget(list);
        outer->addWidget(box);
    };
    m_waveout = devicelist(this, DEFAULTDEV, devices.waveout, settings.waveout);
    m_wavein = devicelist(this, DEFAULTDEV, devices.wavein, settings.wavein);
    m_midiout = devicelist(this, DEFAULTMIDI, devices.midiout, settings.midiout);
    devgroup("Wave output device", m_waveout);
    devgroup("Wave input device", m_wavein);
    devgroup("MIDI output device", m_midiout);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* helpbtn = buttons->addButton("&Help", QDialogButtonBox::HelpRole);
    buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
    buttons->addButton("OK", QDialogButtonBox::AcceptRole)->setDefault(true);
    helpbtn->setObjectName("help");
    connect(buttons, &QDialogButtonBox::accepted, this, &Coptdialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &Coptdialog::reject);
    connect(helpbtn, &QPushButton::clicked, this, [this] { shell().openpath("Hlpmain.htm", m_settings.progdir, this); });
    outer->addStretch(1);   // extra height goes below the groups, not into them
    outer->addWidget(buttons);
}

void Coptdialog::browsebank()
{
    Cfilereq req;
    req.filter = "Sound Font Files(*.sf2;*.sf3;*.csf)|*.sf2;*.sf3;*.csf|Compressed Sound Font Files (*.csf)|*.csf|"
                 "Uncompressed Sound Font files (*.sf2)|*.sf2|Ogg Vorbis Sound Font files (*.sf3)|*.sf3|"
                 "All Files (*.*)|*.*||";
    req.defext = "sf2";
    req.startdir = m_settings.workdir;
    req.owner = this;
    if (std::optional<Cfilepick> pick = shell().openfile(req)) m_bank->setText(qs(pick->path));
}

void Coptdialog::browsework()
{
    std::optional<std::string> dir = shell().browsefolder("Choose the working folder", this);
    if (!dir) return;
    slashes(*dir);
    m_work->setText(qs(*dir));
}

void Coptdialog::accept()
{
    Csettings& s = m_settings;
    // A failed INI write is not reported: the record holds the new values for this run anyway.
    s.savefiles(m_bank->text().toLocal8Bit().toStdString(), m_work->text().toLocal8Bit().toStdString());
    s.waveout = deviceof(m_waveout);
    s.wavein = deviceof(m_wavein);
    s.midiout = deviceof(m_midiout);
    QDialog::accept();
}
