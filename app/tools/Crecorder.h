#pragma once
// The recorder: records the wave input device into a WAVE file (take1.wav in the working folder
// unless another is chosen; the take of tools/Ctake) while, if wanted, the current MIDI file
// plays to the MIDI output device or the current WAVE file to the wave output device (both on
// the playback engine of tools/Cplayeng), with the karaoke lyrics window meanwhile. The
// recording can be played back here; Close makes it the current WAVE file of the main window,
// Escape leaves it on disk only.
//
// States: 0 idle, 1 recording, 2 playing the recording. The control rules enable the controls
// from the state after every change. Runs on the user-interface thread; the scheduler's timer
// thread reaches it only through posted messages.
#include "app/tools/Cplaywin.h"
#include "tools/Ctake.h"

class QLabel;
class QProgressBar;

class Crecorder : public Cplaywin {
    Q_OBJECT
public:
    static const char* TITLE;
    static const char* TAKE;   // the output file proposed at every opening
    enum State { idle = 0, recording = 1, playing = 2 };
    enum Playback { none = 0, midi = 1, wave = 2 };

    // mainwin: gets WM_REFRESH when the current files change here; may be null.
    Crecorder(Ccontext& ctx, Cwindow* mainwin, QWidget* parent = nullptr);
    ~Crecorder() override;

    // The commands, as the buttons run them.
    void browseout();
    void selectplayback(int choice);
    void start();
    void stop() override;
    void play();

    int state() const { return m_state; }
    int playback() const { return m_playback; }
    const std::string& outpath() const { return m_take.path(); }
    const std::string& outtitle() const { return m_take.title(); }
    Cwavfil* take() const { return m_take.file(); }
    QString timetext() const;
    QString playtitle() const;
    QString outtext() const;
    int progress() const;

    QRadioButton* playradio(int choice) const { return m_pb[choice]; }
    QPushButton* outbutton() const { return m_outbrowse; }
    QPushButton* startbutton() const { return m_start; }
    QPushButton* stopbutton() const { return m_stop; }
    QPushButton* playbutton() const { return m_play; }

    // "01:02 / 03:04" from microseconds; "       01:02" (seven spaces) from seconds recorded.
    static QString playtext(double positionus, double totalus);
    static QString rectext(double seconds);

    void done(int r) override;

private:
    void controls() override;
    bool busy() const override;
    void load(Cplayeng::Kind kind, const std::string& path, bool chosen) override;
    bool message(unsigned msg, intptr_t lparam) override;
    void moved() override;
    void ended() override;
    void clearprogress();
    void showprogress();
    void newrecording(const std::string& path, const std::string& title);
    // Ends the recording with the lyrics window of its run.
    void endrun();

    int m_playback = none;
    int m_state = idle;
    Ctake m_take;

    QRadioButton* m_pb[3] = {};
    QLineEdit* m_out = nullptr;
    QPushButton* m_outbrowse = nullptr;
    QProgressBar* m_bar = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_play = nullptr;
    QLabel* m_time = nullptr;
};
