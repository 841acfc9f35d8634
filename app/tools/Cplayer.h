#pragma once
// The file player: plays the current MIDI file through the MIDI output device or the current WAVE
// file through the wave output device (both on the playback engine of tools/Cplayeng), with a
// position slider, pause and resume, key and tempo for MIDI files (also while one plays; they
// start at the conversion options and are not kept), and the karaoke lyrics window for .kar files
// (also while a WAVE file made from one plays). Times show as heard, at the tempo.
//
// Play states: 0 no file, 1 stopped, 2 playing, 3 paused. The control rules enable the controls
// from the state after every change. Runs on the user-interface thread; the scheduler's timer
// thread reaches it only through posted messages.
#include "app/tools/Cplaywin.h"

class QLabel;
class QSlider;
class QSpinBox;

class Cplayer : public Cplaywin {
    Q_OBJECT
public:
    static const char* TITLE;
    enum State { nofile = 0, stopped = 1, playing = 2, paused = 3 };

    // mainwin: gets WM_REFRESH when a file is loaded here; may be null.
    Cplayer(Ccontext& ctx, Cwindow* mainwin, QWidget* parent = nullptr);
    ~Cplayer() override;

    // The commands, as the buttons run them.
    void play();
    void pause();
    void stop() override;
    void selectkind(bool wave);

    int state() const { return m_state; }
    bool wavesel() const { return m_wavesel; }
    QString status() const;
    QString titletext() const;

    QRadioButton* midiradio() const { return m_midi; }
    QRadioButton* waveradio() const { return m_wave; }
    QSlider* slider() const { return m_slider; }
    QPushButton* playbutton() const { return m_play; }
    QPushButton* pausebutton() const { return m_pause; }
    QPushButton* stopbutton() const { return m_stop; }
    QSpinBox* keybox() const { return m_key; }
    QSpinBox* tempobox() const { return m_tempo; }

    // "Stopped   01:02 / 03:04": ten characters of state, then position and total.
    static QString statustext(int state, double positionus, double totalus);

    void done(int r) override;

private:
    void controls() override;
    bool busy() const override;
    void load(Cplayeng::Kind kind, const std::string& path, bool chosen) override;
    void moved() override;
    void ended() override;
    void showstatus();
    void setslider(int v);
    void slidermoved(int v);

    bool m_wavesel = true;
    int m_state = nofile;

    QRadioButton* m_midi = nullptr;
    QRadioButton* m_wave = nullptr;
    QSlider* m_slider = nullptr;
    QPushButton* m_play = nullptr;
    QPushButton* m_pause = nullptr;
    QPushButton* m_stop = nullptr;
    QLabel* m_status = nullptr;
    QSpinBox* m_key = nullptr;     // half tones
    QSpinBox* m_tempo = nullptr;   // percent
};
