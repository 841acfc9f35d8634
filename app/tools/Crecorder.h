#pragma once
// The recorder: records the wave input device into a WAVE file (take1.wav in the working folder
// unless another is chosen) while, if wanted, the current MIDI file plays to the MIDI output
// device or the current WAVE file to the wave output device (both on the playback engine of
// tools/Cplayeng), with the karaoke lyrics window meanwhile. The recording can be played back here; Close makes
// it the current WAVE file of the main window, Escape leaves it on disk only.
//
// States: 0 idle, 1 recording, 2 playing the recording. The control rules enable the controls
// from the state after every change. Runs on the user-interface thread; the scheduler's timer
// thread reaches it only through posted messages.
#include "convert/Ccontext.h"
#include "app/tools/Clyrchoice.h"
#include "platform/Cwindow.h"
#include "tools/Cplayeng.h"

#include <QDialog>
#include <memory>

class Clyrics;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

class Crecorder : public QDialog, public Cwindow {
    Q_OBJECT
public:
    static const char* TITLE;
    static const char* TAKE;   // the output file proposed at every opening
    enum State { idle = 0, recording = 1, playing = 2 };
    enum Playback { none = 0, midi = 1, wave = 2 };

    // mainwin: gets WM_REFRESH when the current files change here; may be null.
    Crecorder(Ccontext& ctx, Cwindow* mainwin, QWidget* parent = nullptr);
    ~Crecorder() override;

    void handle(unsigned msg, uintptr_t wparam, intptr_t lparam) override;

    // The commands, as the buttons run them.
    void browse();
    void browseout();
    void dropfiles(const QStringList& paths);
    void selectplayback(int choice);
    void setlyricsmode(int mode);
    void start();
    void stop();
    void play();
    void help();

    int state() const { return m_state; }
    int playback() const { return m_playback; }
    int lyricsmode() const { return m_lyricsmode; }
    double position() const { return m_eng.position(); }
    double total() const { return m_total; }
    const std::string& outpath() const { return m_outpath; }
    const std::string& outtitle() const { return m_outtitle; }
    Cwavfil* take() const { return m_rec.get(); }
    Clyrics* lyrics() const { return m_lyr.window(); }
    const Ctimeline& timeline() const { return m_eng.timeline(); }
    Csched* sched() const { return m_eng.sched(); }
    QString timetext() const;
    QString playtitle() const;
    QString outtext() const;
    int progress() const;

    QRadioButton* playradio(int choice) const { return m_pb[choice]; }
    QRadioButton* lyricsradio(int mode) const { return m_lyr.radio(mode); }
    QPushButton* browsebutton() const { return m_browse; }
    QPushButton* outbutton() const { return m_outbrowse; }
    QPushButton* startbutton() const { return m_start; }
    QPushButton* stopbutton() const { return m_stop; }
    QPushButton* playbutton() const { return m_play; }

    // "01:02 / 03:04" from microseconds; "       01:02" (seven spaces) from seconds recorded.
    static QString playtext(double positionus, double totalus);
    static QString rectext(double seconds);

    void done(int r) override;

private:
    void load(Cplayeng::Kind kind, const std::string& path);
    void clearprogress();
    void controls();
    void showprogress();
    void newrecording(const std::string& path, const std::string& title);
    void finishrec();
    void endrecording();
    // A warning box of the recorder; path: the file it is about (shown under the text).
    void warn(const char* text, const char* caption, const std::string& path = std::string());
    bool outexists() const;

    Ccontext& m_ctx;
    Cwindow* m_mainwin;
    int m_playback = none;
    int m_lyricsmode = 0;
    int m_state = idle;
    double m_total = 0;
    Cplayeng m_eng;
    Clyrchoice m_lyr;
    // The recording, separate from the current WAVE file until Close hands it over.
    std::unique_ptr<Cwavfil> m_rec;
    std::string m_outpath;
    std::string m_outtitle;
    bool m_writing = false;   // the recording is open for writing (openwr done, closewr not yet)

    QRadioButton* m_pb[3] = {};
    QLineEdit* m_title = nullptr;
    QPushButton* m_browse = nullptr;
    QLineEdit* m_out = nullptr;
    QPushButton* m_outbrowse = nullptr;
    QProgressBar* m_bar = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_play = nullptr;
    QLabel* m_time = nullptr;
    QPushButton* m_help = nullptr;
    QPushButton* m_close = nullptr;
};
