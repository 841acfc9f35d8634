#pragma once
// The Options dialog: the sound bank and the working folder (both kept in the INI file) and the
// three devices (for this run only). The wave lists show "Default" (index -1, the system's default
// device) first, the MIDI list "Default (built-in synthesizer)" (index -1, the program's own live
// synthesizer), then the names of the platform's devices in the order the device layer opens
// them.
#include "platform/Cdevlist.h"
#include "settings/Csettings.h"

#include <QDialog>

class QComboBox;
class QLineEdit;

class Coptdialog : public QDialog {
    Q_OBJECT
public:
    static const char* TITLE;
    static const char* DEFAULTDEV;    // "Default"
    static const char* DEFAULTMIDI;   // "Default (built-in synthesizer)"

    Coptdialog(Csettings& settings, const Cdevnames& devices, QWidget* parent = nullptr);

    QLineEdit* bankedit() const { return m_bank; }
    QLineEdit* workedit() const { return m_work; }
    QComboBox* waveoutlist() const { return m_waveout; }
    QComboBox* waveinlist() const { return m_wavein; }
    QComboBox* midioutlist() const { return m_midiout; }

    void browsebank();
    void browsework();
    // Stores the edits and the devices in the record, writes the INI file and closes.
    void accept() override;

private:
    Csettings& m_settings;
    QLineEdit* m_bank = nullptr;
    QLineEdit* m_work = nullptr;
    QComboBox* m_waveout = nullptr;
    QComboBox* m_wavein = nullptr;
    QComboBox* m_midiout = nullptr;
};
