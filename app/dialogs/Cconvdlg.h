#pragma once
// The MIDI converter dialog: picks the MIDI or karaoke file and the WAVE file, the tempo change,
// the transposition and the two check boxes, and runs the conversion flow of Cconvert. The
// render thread's progress and end messages are sent to this window (the sequencer's window)
// and handed on to the converter; the finished file can be played through the wave output
// device, whose buffer messages also come here.
//
// States: 0 no files, 1 ready, 2 converting, 3 playing. After Abort the dialog is ready at once,
// but while the render thread is still finishing its block nothing that would start a second
// conversion, open the output file or replace the files the thread reads is enabled.
//
// User-interface thread only.
#include "convert/Ccontext.h"
#include "convert/Cconvert.h"
#include "platform/Cwindow.h"

#include <QDialog>
#include <map>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QRadioButton;
class QSpinBox;

class Cconvdlg : public QDialog, public Cwindow {
    Q_OBJECT
public:
    // Control ids.
    enum : int {
        IDMIDI = 1115, IDWAVE = 1106, IDBROWSEMIDI = 1116, IDBROWSEWAVE = 1108,
        IDSLOWER = 1067, IDFASTER = 1068, IDTEMPO = 1069, IDHIGHER = 1070, IDLOWER = 1071,
        IDTRANSPOSE = 1072, IDSHOWERR = 1091, IDNORMALIZE = 1078, IDCONVERT = 1117, IDABORT = 1118,
        IDPLAY = 1107, IDPROGRESS = 1114, IDTIME = 1110, IDDEFAULTS = 1093, IDHELP = 1079, IDCLOSE = 1,
    };
    static const char* TITLE;   // "Cantorix - MIDI converter"
    // NOFILES: the MIDI or the WAVE file is missing; READY: both are there; CONVERTING and
    // PLAYING: the render thread or the playback of the result runs (the busy states).
    enum State { NOFILES = 0, READY = 1, CONVERTING = 2, PLAYING = 3 };

    // main: the window told with WM_REFRESH whenever the current files change (may be null).
    Cconvdlg(Ccontext& ctx, Cwindow* main, QWidget* parent = nullptr);
    ~Cconvdlg() override;

    void handle(unsigned msg, uintptr_t wparam, intptr_t lparam) override;

    void browsemidi();
    void browsewave();
    // Handles one dropped file list; only the first path counts.
    void dropfiles(const QStringList& paths);
    void convert();
    void abort();
    void play();
    void defaults();
    void help();
    // Close, Escape and the window's close button.
    void accept() override;
    void reject() override;

    int state() const { return m_state; }
    bool closepending() const { return m_closepending; }
    bool converting() const { return m_conv->running(); }
    QWidget* control(int id) const;
    QString miditext() const;
    QString wavetext() const;
    QString timetext() const;
    int progress() const;
    Cconvert& converter() { return *m_conv; }

private:
    void build();
    void showoptions();
    void readoptions();
    void rules();
    void readystate();
    void refresh();
    void loadmidi(const std::string& path);
    void setwave(const std::string& path);
    void clearwave();
    void finished();
    void stopplaying();
    void endwith(int result);
    void warn(const char* text, const char* caption, const std::string& path = std::string());

    Ccontext& m_ctx;
    Cwindow* m_main;
    std::unique_ptr<Cconvert> m_conv;
    int m_state = NOFILES;
    bool m_closepending = false;
    double m_playlen = 0;   // microseconds of the WAVE file being played

    std::map<int, QWidget*> m_ctl;
    QLineEdit* m_midi = nullptr;
    QLineEdit* m_wave = nullptr;
    QRadioButton* m_slower = nullptr;
    QRadioButton* m_faster = nullptr;
    QRadioButton* m_higher = nullptr;
    QRadioButton* m_lower = nullptr;
    QSpinBox* m_tempo = nullptr;
    QSpinBox* m_transpose = nullptr;
    QCheckBox* m_showerr = nullptr;
    QCheckBox* m_normalize = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_time = nullptr;
};
