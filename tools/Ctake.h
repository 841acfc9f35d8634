#pragma once
// The recorder's take: the WAVE file that the wave input device is recorded into. It is written
// in place (Wmode::inplace) with its sizes brought up to date every second, so that a kill keeps
// what came before; the input's two one-second blocks come back to the window as MM_WIM_DATA and
// are stored here. The take stays apart from the current WAVE file until Close hands it over.
//
// Every failure shows its own box (owned by the window given at construction) and returns false.
// Threads: the user-interface thread only; the input device reaches it through the window.
#include "audio/Cnewfil.h"
#include "tools/Cplayeng.h"

#include <map>
#include <memory>
#include <string>

class Cwavfil;
class Cwindow;
struct Wavehdr;

class Ctake {
public:
    explicit Ctake(const void* boxowner);
    ~Ctake();
    Ctake(const Ctake&) = delete;
    Ctake& operator=(const Ctake&) = delete;

    // The file the next recording goes to; nothing is written before start.
    void choose(const std::string& path, const std::string& title);
    // Creates the file and opens the wave input device (index device) with owner getting its
    // messages. playback: the WAVE file to be played meanwhile, or null; recording over it is
    // refused before anything is written. A file at the take's name that this take has not
    // itself recorded (an earlier session's take, anything chosen by hand, a take changed since)
    // is replaced only after the person says so; Cancel leaves it as it was and returns false.
    // When the device fails, the file stays as a finished take of no frames.
    bool start(Cwindow* owner, int device, const Cwavfil* playback);
    // Stores a block the input device filled (MM_WIM_DATA).
    void store(Wavehdr* block);
    // Stops the input: everything recorded so far, the partly filled block too, goes to the
    // file, which is finished at once, so that a play-back never opens a file still being
    // written. The MM_WIM_CLOSE that follows finds nothing left to do.
    void end();
    // Writes the final sizes and closes the file (MM_WIM_CLOSE); a write that failed on the way
    // is reported rather than leaving a damaged take behind silently.
    void finish();
    // Plays the finished take to the wave output device on eng.
    bool play(Cplayeng& eng);
    // Close (handover true) makes the finished take the current WAVE file of ctx, when its file
    // exists; Escape forgets it and leaves the file on disk. True when it was handed over.
    bool close(Ccontext& ctx, bool handover);

    const std::string& path() const { return m_path; }
    const std::string& title() const { return m_title; }
    Cwavfil* file() const { return m_file.get(); }
    // The file is open for writing (start done, finish not yet).
    bool writing() const { return m_writing; }
    // A regular file of the take's name exists: there is something to play.
    bool exists() const;
    // Seconds recorded so far.
    double seconds() const;

private:
    void warn(const char* text, const char* caption, const std::string& path = std::string()) const;
    // The file at the take's name is the one this take last finished there.
    bool recorded() const;

    const void* m_boxowner;
    std::unique_ptr<Cwavfil> m_file;
    std::string m_path;
    std::string m_title;
    bool m_writing = false;
    // Every file this take finished, by path, with its identity just after it was finished:
    // takes recorded one after another replace each other without a question.
    std::map<std::string, Cfileid> m_recorded;
};
