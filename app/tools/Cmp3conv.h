#pragma once
// The MP3 converter: turns a WAVE file into an MP3 file (encode) or an MP3 file into a WAVE file
// (decode) by running the external codec MP3Codec.exe from the program folder through a
// Cconsole, shows the codec's progress, and plays the result: a WAVE file through the wave
// output device, an MP3 file with the desktop's default program.
//
// Threads: everything runs on the user-interface thread except the runner's two notifications,
// which run on its worker. They only parse the codec's output and send this window a message
// (WM_CODECOUT, WM_CODECEND); the message is handled on the user-interface thread while the
// worker waits. The runner is destroyed when its end message is handled, and no new conversion
// starts before that, so a worker never reports to a runner or a dialog that is gone: closing
// during a run aborts it and waits for that message.
#include "convert/Ccontext.h"
#include "platform/Cwindow.h"
#include "tools/Cconsole.h"
#include "tools/Cmp3codec.h"

#include <QDialog>
#include <memory>
#include <string>

class QEventLoop;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

class Cmp3conv : public QDialog, public Cwindow {
    Q_OBJECT
public:
    static const char* TITLE;
    static const char* FILTER;
    static const char* CODEC;   // file name of the codec in the program folder

    // States: no usable pair of files, ready, converting, playing the result.
    enum State { NOFILES = 0, READY = 1, CONVERTING = 2, PLAYING = 3 };
    // File types, as bits of one word: input WAVE or MP3, output WAVE or MP3.
    enum Type { INWAV = 1, INMP3 = 2, OUTWAV = 4, OUTMP3 = 8 };
    // The runner's reports, sent from its worker: lParam a Cmp3codec::Update*; the run ended.
    enum : unsigned { WM_CODECOUT = WM_USER + 20, WM_CODECEND = WM_USER + 21 };

    // mainwin receives WM_REFRESH when Close hands a WAVE result over (may be null).
    Cmp3conv(Ccontext& ctx, Cwindow* mainwin, QWidget* parent = nullptr);
    ~Cmp3conv() override;

    void handle(unsigned msg, uintptr_t wparam, intptr_t lparam) override;

    // Handles one dropped file list; only the first path counts.
    void dropfiles(const QStringList& paths);

    int state() const { return m_state; }
    int types() const { return m_types; }
    const std::string& inpath() const { return m_inpath; }
    const std::string& outpath() const { return m_outpath; }
    // The running conversion, or null; it lives until its end message has been handled.
    const Cconsole* runner() const { return m_runner.get(); }
    bool playing() const { return bool(m_player); }
    QString status() const;
    int progress() const;

    QLineEdit* inedit() const { return m_inedit; }
    QLineEdit* outedit() const { return m_outedit; }
    QPushButton* inbrowse() const { return m_inbrowse; }
    QPushButton* outbrowse() const { return m_outbrowse; }
    QPushButton* convertbutton() const { return m_convert; }
    QPushButton* abortbutton() const { return m_abort; }
    QPushButton* playbutton() const { return m_play; }
    QPushButton* helpbutton() const { return m_help; }
    QPushButton* closebutton() const { return m_close; }

    // Close (with the hand-over of a WAVE result) and Escape or the close box (without).
    void accept() override;
    void reject() override;

private:
    void browse(bool input);
    void take(bool input, const std::string& path, const std::string& name, int type);
    void convert();
    void abortrun();
    void play();
    void stopplay();
    void playdone();
    void finished();
    void rules();
    void clearprogress();
    // Stops a run or playback before the dialog ends; waits for the run's end message.
    void shutdown();
    void handover();

    Ccontext& m_ctx;
    Cwindow* m_mainwin;
    int m_state = NOFILES;
    int m_types = 0;
    std::string m_inpath, m_inname, m_outpath, m_outname;
    bool m_closing = false;
    std::unique_ptr<Cconsole> m_runner;
    std::unique_ptr<Cmp3out> m_out;   // the run's output, renamed over m_outpath when it ends well
    std::unique_ptr<Cwavfil> m_player;
    double m_playusec = 0;
    QEventLoop* m_wait = nullptr;   // running while shutdown waits for the run's end

    QLineEdit* m_inedit = nullptr;
    QLineEdit* m_outedit = nullptr;
    QPushButton* m_inbrowse = nullptr;
    QPushButton* m_outbrowse = nullptr;
    QProgressBar* m_progress = nullptr;
    QPushButton* m_convert = nullptr;
    QPushButton* m_abort = nullptr;
    QPushButton* m_play = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_help = nullptr;
    QPushButton* m_close = nullptr;
};
