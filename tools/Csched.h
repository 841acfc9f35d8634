#pragma once
// The MIDI scheduler of the file player and the recorder: walks a timeline and hands each event
// to the file's MIDI output at its time, waiting between events with one-shot timers.
//
// A run handles every event that is due, then arms one timer for the next one and returns; the
// timer's callback (on the timer thread) runs it again. The timer is set to wake a little early
// and the run sleeps the rest, so events leave within a fraction of a millisecond of their time
// even when the timer thread wakes late. A system exclusive message ends a run
// too: the device returns it with MM_MOM_DONE, and the owner then calls resume(). Due times
// advance by the exact tick distances from the start, so rounded timer waits never accumulate.
//
// Seeking: events before the seek target follow one another at once; notes and lyrics before it
// are left out, while programs, controllers, pitch bend and system exclusive messages are sent so
// that the channels are right when the target is reached.
//
// Threads: start(), resume() and stop() on the user-interface thread; runs also on the timer
// thread. One lock serializes runs with stop(), so that once stop() has returned no event is
// sent and no timer is pending, and the owner may close the device or delete the scheduler.
#include "midi/Ctimeline.h"
#include "platform/Cmidiport.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class Cmidfil;
class Cmixtab;
class Cwindow;

class Csched {
public:
    static constexpr double LEADUS = 2000;   // how early the timer wakes the schedule
    // file: whose output port the events go to; timeline: its events in time order. Both must
    // outlive the scheduler.
    Csched(Cmidfil& file, const Ctimeline& timeline);
    virtual ~Csched();
    Csched(const Csched&) = delete;
    Csched& operator=(const Csched&) = delete;

    // Settings for the next start().
    void setseek(double us) { m_seek = us; }
    void setmixer(const Cmixtab* mixer) { m_mixer = mixer; }   // mute flags, or null
    void setdialog(Cwindow* w) { m_dialog = w; }                // gets WM_SCHEDULE, or null
    void setlyrics(Cwindow* w) { m_lyrics = w; }                // gets WM_SYLLABLE, or null
    // Time to wait after the last event before the end (the recorder keeps one second).
    void settail(double us) { m_tail = us; }

    // Key and tempo, before start() and while the schedule runs (user-interface thread).
    //
    // setscale: every time distance of the file from here on is played this many times as long
    // (2 is half speed); 1 at first. Positions and the seek target stay in the file's own time;
    // the event being waited for comes as much sooner or later as the rest of its wait shrinks
    // or grows. The tail is waited on the clock.
    void setscale(double scale);
    // setkey: notes of every channel but the percussion channel are sent this many half tones
    // higher (0 at first); a note moved outside 0..127 is left out. A note-off goes to the key
    // its note-on went to, so no note hangs; the notes sounding when the key changes are ended
    // (their note-offs sent now), and the notes that follow play in the new key.
    void setkey(int halftones);
    double scale() const { return m_scale; }
    int key() const { return m_key; }

    // Starts from the first event, due at once (on MM_MOM_OPEN).
    void start();
    // Continues after the device returned a system exclusive message (on MM_MOM_DONE).
    void resume();
    // Sends nothing more; kills a pending timer and waits for a run in progress to finish. Ends
    // the output port the end of the timeline closed.
    void stop();

    // Playing position in microseconds of the file's own time (the tempo scale not applied)
    // from the first event: the time of the next event to handle. Any thread.
    double position() const { return m_position.load(std::memory_order_relaxed); }
    // Where the schedule is at this moment, in the file's own microseconds: between two events
    // it moves on with the clock at the tempo scale. User-interface thread.
    double playing();
    // The timeline has been played to its end; the output has had all notes off and is closed.
    bool ended() const { return m_ended.load(std::memory_order_acquire); }
    bool running() const { return m_running.load(std::memory_order_acquire); }
    // Time of start() on the nowus() clock; the first event is due then.
    double origin() const { return m_origin; }

    // Microseconds of the steady clock the schedule keeps.
    static double nowus();

private:
    // Both with m_lock held through lock. timerthread: called from the timer's callback.
    void run(std::unique_lock<std::mutex>& lock, bool timerthread);
    // Until m_due: arms the timer and returns true, or waits here and returns false; true also
    // when the schedule was stopped during the wait.
    bool arm(std::unique_lock<std::mutex>& lock, bool timerthread);
    void ontimer(unsigned id);
    static void waituntil(double dueus);
    static void raisepriority();
    void finish();
    // A note-on or note-off of the file as it goes out: transposed, and remembered (m_lock held).
    void sendnote(const Cmidiev& e);
    // Note-offs for every note sent on a melodic channel and not yet ended (m_lock held).
    void endnotes();

    Cmidfil& m_file;
    const Ctimeline& m_timeline;
    const Cmixtab* m_mixer = nullptr;
    Cwindow* m_dialog = nullptr;
    Cwindow* m_lyrics = nullptr;
    double m_seek = 0;
    double m_tail = 0;
    double m_scale = 1;
    int m_key = 0;
    // The key each sounding note of the file went out as, by channel and the file's key; -1
    // for none, ENDED for a note a key change ended (its own note-off is not sent).
    static constexpr int8_t ENDED = -2;
    int8_t m_sent[16][128];
    bool m_sysex = false;   // a system exclusive message waits for MM_MOM_DONE

    std::mutex m_lock;
    const Cnode* m_cursor = nullptr;
    double m_due = 0;
    double m_tempo = Ctimeline::STARTTEMPO;
    double m_origin = 0;
    bool m_tailwaited = false;
    unsigned m_timer = 0;
    std::atomic<double> m_position{0};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_ended{false};
    // The output port closed at the end of the timeline: ended by stop(), on the owner's thread
    // (the built-in synthesizer's engine and stream are not to be destroyed on the timer thread).
    std::unique_ptr<Cmidiport> m_closed;
};
