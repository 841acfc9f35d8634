#pragma once
// The playback engine of the file player and the recorder: plays the current MIDI file to the
// MIDI output device on the scheduler of tools/Csched (MIDI output -1: the built-in synthesizer
// of tools/Clivesynth on the context's sound bank, loaded here and kept while this engine
// lives; else an RtMidi port), or a WAVE file (the current one, or the
// recorder's take) to the wave output device. It loads the current files through the context,
// keeps the MIDI file's timeline and its total, holds the timer period while a MIDI run lasts,
// opens and closes the devices and turns their messages into a playing position and an end.
// The windows keep their widgets, control rules and message boxes.
//
// Threads: the user-interface thread only. The scheduler's timer thread and the devices reach
// the owner window through posted messages; the window hands them to handle().
#include "convert/Ccontext.h"
#include "midi/Ctimeline.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class Clivesynth;
class Csched;
class Cwindow;

class Cplayeng {
public:
    // Why a start failed; the window shows its own box for each (the timer's and the sound
    // bank's are shown here).
    enum class Start { ok, timer, corrupt, empty, device, bank };
    // What a device message meant for the window.
    enum class Event { none, position, ended };
    // What a chosen or dropped file is to the main window, the player and the recorder.
    enum class Kind { other, midi, wave };

    // By the extension, lower case with its ".": ".wav" a WAVE file, ".mid" and ".kar" MIDI
    // files, and ".midi" too when the file dialog chose it.
    static Kind kindof(const std::string& ext, bool chosen);
    // File/Open and Browse: asks for a MIDI, karaoke or WAVE file, in the working folder while
    // there is no current file. A file of any other kind gets the "Unknown file type" box and
    // comes back as Kind::other with its path; nullopt when nothing was chosen.
    static std::optional<std::pair<Kind, std::string>> choose(Ccontext& ctx, const void* owner);

    // owner: gets the devices' and the scheduler's messages; boxowner: owns the message boxes
    // (the window as its toolkit knows it).
    Cplayeng(Ccontext& ctx, Cwindow* owner, const void* boxowner);
    ~Cplayeng();
    Cplayeng(const Cplayeng&) = delete;
    Cplayeng& operator=(const Cplayeng&) = delete;

    // Makes path the current MIDI file and builds its timeline. On failure the reader has shown
    // its boxes, then this its own; there is no current MIDI file and no timeline.
    bool loadmidi(const std::string& path);
    // Makes path the current WAVE file (only named: its header is read when it plays).
    void loadwave(const std::string& path);
    // The timeline of the current MIDI file, built again when it is empty.
    void buildtimeline();
    const Ctimeline& timeline() const { return m_timeline; }
    // Length of the timeline in microseconds (0 without a MIDI file).
    double miditotal() const { return m_miditotal; }
    // The current MIDI file is a karaoke file (".kar", any case): lyrics are offered.
    bool kar() const;

    // Plays the current MIDI file from seekus on; tailus: time kept after the last event;
    // lyrics: gets the syllables, or null. The scheduler starts when the device reports open.
    Start playmidi(double seekus, double tailus, Cwindow* lyrics);
    // The lyrics window of the run, opened after playmidi and before the device reports open.
    void setlyrics(Cwindow* lyrics);
    // Plays w from seekus on (the file is opened for reading here).
    Start playwave(Cwavfil& w, double seekus);
    // Stops the scheduler and keeps its position; false when the end came first. The built-in
    // synthesizer stays open, silent, so that playing the same file again on the same bank and
    // wave output starts at once; anything else ends it.
    bool pause();
    // Stops whatever plays: the scheduler first (no event is sent once it has stopped), then the
    // devices.
    void stop();
    bool active() const { return m_active; }

    // The player's key and tempo controls: a key from -KEYMOST to +KEYMOST half tones, a tempo
    // from SPEEDLEAST to SPEEDMOST percent of the file's own in steps of SPEEDSTEP.
    static constexpr int KEYMOST = 12;
    static constexpr int SPEEDLEAST = 50, SPEEDMOST = 200, SPEEDSTEP = 5;
    // The tempo in percent, to the nearest step and within the range, of a scale of the file's
    // times (2 is half speed, 50 %), and back.
    static int speedof(double scale);
    static double scaleof(int speed) { return 100.0 / speed; }
    // Where the controls start: the conversion options' transposition and tempo.
    static int startkey(const Csettings& settings);
    static int startspeed(const Csettings& settings);

    // Key and tempo of MIDI runs, also while one plays (see Csched::setkey and setscale). Until
    // setkey is called, the built-in synthesizer plays the settings' transposition and another
    // output the file's own keys; the scale is 1 until setscale. A new key is loaded into the
    // built-in synthesizer before the notes take it, so that no note waits for its samples.
    void setkey(int halftones);
    void setscale(double scale);
    double scale() const { return m_scale; }
    // Where a MIDI run is at this moment, in the file's own microseconds (between the
    // scheduler's events too); the kept position when nothing plays.
    double playing() const;

    // Shows the box for a start of the current file of kind that failed with what; duplex: the
    // wave input records meanwhile, which the device boxes name as one more cause. The timer's
    // box was shown by playmidi itself.
    void warnstart(Start what, Kind kind, bool duplex) const;

    // Handles a device or scheduler message posted to the owner window.
    Event handle(unsigned msg);
    // Playing position in microseconds: the scheduler's or the wave output's; set from outside
    // to choose where the next start begins.
    double position() const { return m_position; }
    void setposition(double us) { m_position = us; }
    Csched* sched() const { return m_sched.get(); }

private:
    void endperiod();
    void halt(bool keep);
    // Loads the built-in synthesizer's samples of the file's notes at this key, once.
    void loadkey(Clivesynth& synth, int key);

    Ccontext& m_ctx;
    Cwindow* m_owner;
    const void* m_boxowner;
    Ctimeline m_timeline;
    double m_miditotal = 0;
    double m_position = 0;
    unsigned m_period = 0;
    bool m_active = false;
    bool m_ownbank = false;      // the built-in synthesizer loaded the context's bank
    Cwavfil* m_wave = nullptr;   // the WAVE file whose output is open
    std::unique_ptr<Csched> m_sched;
    // The built-in synthesizer kept over a pause, and what it was opened for: the MIDI file
    // (its serial), the bank and the wave output device.
    std::unique_ptr<Cmidiport> m_kept;
    uint64_t m_keptfile = 0;
    const void* m_keptbank = nullptr;
    int m_keptwave = 0;
    std::optional<int> m_key;    // set by setkey
    double m_scale = 1;
    // Transpositions the built-in synthesizer has loaded the file's samples for.
    std::vector<int> m_loadedkeys;
};
