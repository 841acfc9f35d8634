#pragma once
// The MIDI mixer dialog: for each of the 16 channels the instrument names of the current file,
// a gain slider (+25 dB at the top to -25 dB at the bottom, 5 dB a step), a Mute box and a Solo
// button. Solo and Reset write the mixer table at once; OK stores every slider and box; Cancel
// stores nothing more.
#include "midi/Cmixtab.h"

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QSlider;

class Cmixdialog : public QDialog {
    Q_OBJECT
public:
    static const char* TITLE;
    static constexpr int NCHAN = Cmixtab::NCHAN;

    explicit Cmixdialog(Cmixtab& mixer, QWidget* parent = nullptr);

    QLineEdit* names(int ch) const { return m_names[ch]; }
    QSlider* gain(int ch) const { return m_gain[ch]; }
    QCheckBox* mute(int ch) const { return m_mute[ch]; }
    QPushButton* solo(int ch) const { return m_solo[ch]; }
    QPushButton* resetbutton() const { return m_reset; }

    // Gain in tenths of a dB from slider position p (0 at the top) and back.
    static int gainof(int p) { return (5 - p) * 50; }
    static int posof(int gain) { return 5 - gain / 50; }

    void accept() override;

private:
    void showtable();
    void dosolo(int ch);
    void doreset();

    Cmixtab& m_mixer;
    QLineEdit* m_names[NCHAN] = {};
    QSlider* m_gain[NCHAN] = {};
    QCheckBox* m_mute[NCHAN] = {};
    QPushButton* m_solo[NCHAN] = {};
    QPushButton* m_reset = nullptr;
};
