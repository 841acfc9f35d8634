#pragma once
// The audio mixer dialog: the Output and four input channels, each with its file, offset (the
// Output's is the separator), volume and pan, and the Preview, Mix, Play and Stop commands. The
// dialog only mirrors its controls into the engine (Cmixeng) and enables them by the engine's
// state; the mix runs on a 20 ms timer, one second per tick, and the preview and playback on the
// wave output device's messages, which reach handle() on the user-interface thread.
#include "convert/Ccontext.h"
#include "platform/Cwindow.h"
#include "tools/Cmixeng.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class QTimer;
class QToolButton;

class Caumixer : public QDialog, public Cwindow {
    Q_OBJECT
public:
    static const char* TITLE;
    static constexpr int TICKMS = 20;

    explicit Caumixer(Ccontext& ctx, QWidget* parent = nullptr);
    ~Caumixer() override;

    void handle(unsigned msg, uintptr_t wparam, intptr_t lparam) override;

    // The controls of one channel.
    struct Chanctl {
        QLineEdit* name = nullptr;
        QPushButton* clear = nullptr;
        QPushButton* browse = nullptr;
        QLineEdit* offset = nullptr;
        QToolButton* up = nullptr;     // spin: +0.01 s
        QToolButton* down = nullptr;   // spin: -0.01 s
        QSlider* vol = nullptr;        // 0 .. 20, top = 20
        QSlider* pan = nullptr;        // 0 .. 10, Left to Right
    };
    const Chanctl& ctl(int c) const { return m_ctl[c]; }
    Cmixeng& engine() { return m_eng; }
    QPushButton* button(const char* name) const;   // "preview", "mix", "stop", "play", ...
    QCheckBox* fxbox() const { return m_fx; }
    QCheckBox* trimbox() const { return m_trim; }
    QCheckBox* normbox() const { return m_norm; }
    QProgressBar* progress() const { return m_progress; }
    QLabel* status() const { return m_status; }
    QTimer* timer() const { return m_timer; }

    // Close and Escape stop whatever runs first.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    QWidget* channel(int c);
    void offsetdone(int c);
    void refresh();
    void rules();
    void showtime();
    void preview();
    void mix();
    void tick();
    void play();
    void stop();
    void reset();

    Ccontext& m_ctx;
    Cmixeng m_eng;
    Chanctl m_ctl[Cmixeng::NCHAN];
    QCheckBox* m_fx = nullptr;
    QCheckBox* m_trim = nullptr;
    QCheckBox* m_norm = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_status = nullptr;
    QTimer* m_timer = nullptr;
};
