#pragma once
// The Effects dialog: eleven sliders for the effect parameters of the settings record. Each
// slider works on small integer positions; the static functions below map a position to the
// stored value and a stored value back to the position shown. Defaults writes the record at
// once; OK stores every slider; Cancel stores nothing more.
#include "settings/Ceffparam.h"

#include <QDialog>

class QSlider;

class Ceffdialog : public QDialog {
    Q_OBJECT
public:
    static const char* TITLE;

    // One slider per effect parameter, in the table's order.
    using Fx = Ceffparam::Id;
    using enum Ceffparam::Id;

    explicit Ceffdialog(Csettings& settings, QWidget* parent = nullptr);

    QSlider* slider(Fx fx) const { return m_sliders[fx]; }
    void defaults();
    // Stores every slider's value and closes.
    void accept() override;

    static int maxpos(Fx fx);
    // The position shown for the record's current value of fx.
    static int shown(const Csettings& s, Fx fx);
    // Stores the value of position p into the record: the delay time on its logarithmic scale,
    // every other parameter in maxpos(fx) equal steps from the low to the high end of its range.
    static void store(Csettings& s, Fx fx, int p);
    static int delayms(int p);        // 1, 1, 2, 3, 4, 6 ... 708, 1000
    static int delaypos(int ms);      // nearest position of a delay time

private:
    void showall();

    Csettings& m_settings;
    QSlider* m_sliders[COUNT] = {};
};
