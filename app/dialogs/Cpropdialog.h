#pragma once
// File Properties: facts of the current MIDI file (path, media length, copyright, karaoke tags
// and titles) and of the current WAVE file (path, media length, format). Read-only.
#include "convert/Ccontext.h"

#include <QDialog>
#include <map>

class QLineEdit;

class Cpropdialog : public QDialog {
    Q_OBJECT
public:
    static const char* TITLE;

    // Field ids, as the dialog's controls are numbered.
    enum Field {
        MIDIFILE = 1095, MIDILEN = 1096, COPYRIGHT = 1097, WAVEFILE = 1098, WAVELEN = 1099,
        WAVEFMT = 1100, FILETYPE = 1101, VERSION = 1102, INFO = 1103, LANGUAGE = 1104,
        TITLE1 = 1105, TITLE2 = 1106, TITLE3 = 1107,
    };

    explicit Cpropdialog(Ccontext& ctx, QWidget* parent = nullptr);

    QString text(Field f) const;
    // "%02u:%02u" of the whole seconds of a length (negative or unreadable lengths show 00:00).
    static QString minsec(double seconds);

private:
    void set(Field f, const std::string& s);
    void showmidi(Ccontext& ctx);
    void showwave(Ccontext& ctx);

    std::map<int, QLineEdit*> m_fields;
};
