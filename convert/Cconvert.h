#pragma once
// One converter: the command flow around the render thread that the converter dialog and the
// command-line tool share. start() loads the sound bank of the settings (once), creates the
// context's current WAVE file, clears the abort flag and starts the render thread; the thread's
// WM_PROGRESS and WM_RENDERED come back to this object on the user-interface thread, which
// closes the WAVE file and runs the result checks when the thread has finished.
//
// User-interface thread only, apart from the render thread it starts.
#include "convert/Cresult.h"
#include "convert/Csequen.h"
#include "platform/Cwindow.h"

#include <functional>
#include <thread>

struct Ccontext;

class Cconvert : public Cwindow {
public:
    explicit Cconvert(Ccontext& ctx);
    // Aborts a running conversion and waits for its thread. The thread's last messages are sent
    // synchronously, so an owner destroys a running converter only after pumping its messages
    // until running() is false (the dialog's "close pending").
    ~Cconvert() override;
    Cconvert(const Cconvert&) = delete;
    Cconvert& operator=(const Cconvert&) = delete;

    // Loads the context's sound bank when none is loaded yet (a bank that failed stays the
    // context's bank, so every later start fails the same way). Shows the reader's box and then
    // "Couldn't find sound bank" or "Couldn't load sound bank"; false then.
    bool loadbank();
    // Convert: bank, openwr on the current WAVE file, abort flag cleared, render thread started.
    // Needs a current MIDI and WAVE file; false (after the boxes) when something failed, and
    // before anything is written when the WAVE file is the MIDI file or the sound bank.
    bool start();
    // Sets the abort flag; the thread finishes its current step and reports as usual.
    void abort();
    // True from a successful start until WM_RENDERED has been handled.
    bool running() const { return m_running; }
    // Waits for the thread after WM_RENDERED (it only has to return).
    void join();
    // The render thread's id (not-a-thread when none runs).
    std::thread::id threadid() const { return m_thread.get_id(); }

    // Called on WM_PROGRESS with the percent, and after the result checks.
    std::function<void(int percent)> onprogress;
    std::function<void(const Cresult& result)> onfinish;
    // When set, the end of a conversion closes the WAVE file but runs no checks (the dialog
    // closing during a conversion).
    bool skipchecks = false;
    // An aborted conversion keeps its partial WAVE file; when cleared (the command-line tool
    // stopped by a signal), the earlier file of that name stays instead.
    bool keepaborted = true;
    // The owner of the warning boxes (the dialog); this object when null.
    const void* owner = nullptr;

    void handle(unsigned msg, uintptr_t wparam, intptr_t lparam) override;

    Csequen& sequen() { return m_seq; }
    const Cresult& result() const { return m_result; }
    // "%02u:%02u / %02u:%02u" from the sequencer's elapsed and total time.
    std::string timetext() const;

private:
    const void* boxowner() const { return owner ? owner : this; }

    Ccontext& m_ctx;
    Csequen m_seq;
    std::thread m_thread;
    bool m_running = false;
    Cresult m_result;
};
