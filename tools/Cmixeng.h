#pragma once
// The audio mixer's engine: five channels (0 = Output, 1 to 4 = inputs), each with a WAVE file,
// an offset (an input's start offset, or the Output's separator), a volume step and a pan step.
// It mixes one second at a time into 16-bit stereo at 44100 Hz:
//
//   inputs --rdblock--> x input gain / 100 --sum (saturating)--> x Output gain / 100
//          --> preview: the Output's wave output device (two one-second blocks)
//          --> mix: leading-silence trim, then Ceffects::processframes or wrblock --> Output file
//
// The dialog keeps the controls; this class keeps the channel records, opens and closes the
// files and the device, and shows the mixer's own message boxes, owned by `owner`. Everything
// runs on the user-interface thread: the mix advances one second per tick(), the preview and the
// playback on the device messages that reach devmsg().
#include "audio/Cwavfil.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

struct Csettings;
class Ceffects;
class Cwindow;

struct Cmixchan {
    std::string path;
    std::string name;                 // file name without folder
    std::unique_ptr<Cwavfil> file;    // null while no file is chosen
    double offset = 0;                // microseconds, always whole ones
    uint32_t silence = 0;             // bytes of silence still to insert before the input starts
    int vol = 0;                      // volume step 0 .. 20
    int pan = 5;                      // pan step 0 .. 10, 5 = centre
    int gainl = 100;                  // percent
    int gainr = 100;
};

class Cmixeng {
public:
    enum { OUTPUT = 0, NCHAN = 5 };
    enum State { notready = 0, ready = 1, previewing = 2, mixing = 3, playing = 4 };
    static constexpr int FRAMES = 44100;                      // one second
    static constexpr int SAMPLES = Cwavfil::BUFSAMPLES;       // 88200
    static constexpr int BYTES = Cwavfil::BUFBYTES;           // 176400
    static constexpr double MAXOFFSET = 6000e6;               // +-6000 s in microseconds
    static constexpr int QUIET = 8;                           // a sample within +-8 is silence

    Cmixeng(Csettings& settings, Ceffects& effects, std::atomic<bool>& abortflag);
    virtual ~Cmixeng();
    Cmixeng(const Cmixeng&) = delete;
    Cmixeng& operator=(const Cmixeng&) = delete;

    Cmixchan chan[NCHAN];
    int state = notready;
    double position = 0;              // microseconds
    double total = 0;                 // microseconds
    // The three check boxes: "Apply effects", "Trim silence", "Normalize output file".
    bool applyfx = false;
    bool trim = true;
    bool normalize = true;
    const void* owner = nullptr;      // owner of the message boxes
    Cwindow* window = nullptr;        // receives the wave output device's messages

    // Channels. browse() asks for a file (Save for the Output, Open for an input) and takes it;
    // choose() takes a picked path, refusing names whose extension is not "wav". clear() returns
    // the channel to its defaults; both then rebalance.
    void browse(int c);
    bool choose(int c, const std::string& path, const std::string& name, const std::string& ext);
    void clear(int c);
    void reset();
    // State 1 when the Output and at least one input have files, else 0; every input with a file
    // gets the volume step 20 / (inputs with a file).
    void rebalance();
    int inputs() const;

    // Left and right gains in percent of channel c for volume step vol and pan step pan.
    static void gains(int c, int vol, int pan, int& left, int& right);
    // Every channel with a file takes its gains from its volume and pan steps.
    void takegains();

    // Offsets: "[-]m:s" or "[-]s" (seconds may have decimals), to whole microseconds.
    static bool parseoffset(const std::string& text, double& usec);
    // "%i:%02.2f" from 60 s on (whole minutes towards zero, then the seconds left), else "%01.2f".
    static std::string showoffset(double usec);
    // Clamps to +-6000 s; the Output's separator never goes below 0.
    void setoffset(int c, double usec);
    // One spin step of delta: adds -delta x 0.01 s.
    void spin(int c, int delta);

    // Preview (state 2), mix (state 3) and play (state 4); false with a box when they cannot
    // start, the state unchanged.
    bool preview();
    bool startmix();
    bool play();
    // Mixes and writes the next second; false once the mix has finished (state 1).
    bool tick();
    // A wave output device message while previewing or playing; true when this one ended it.
    bool devmsg(unsigned msg);
    // Ends what runs: closes the device or finishes the output file (no separator, no
    // normalization); state 1.
    void stop();

    bool outexists() const;
    int progress() const;
    // "%02u:%02u / %02u:%02u": position and total in minutes and seconds.
    std::string timetext() const;

    // Opens every input for a preview or a mix and sets its start; on a failure every input is
    // closed again and the box shown. Also sets total.
    bool prepare();
    void closeinputs();
    // Mixes the next second of the inputs, Output gains applied, into mix (SAMPLES samples).
    void mixsecond(int16_t* mix);
    // The total as output frames at 44100 Hz, rounded to the nearest frame.
    int64_t totalframes() const { return m_totalframes; }

private:
    void defaults(int c);
    void fillpreview(bool first);
    void finishmix(bool complete);
    // Normalizes the finished mix; false (after the warning) when that failed.
    bool donormalize(Cwavfil& out);
    bool inputsdone() const;
    void writeblock(Cwavfil& out, const int16_t* s, int nframes);

    Csettings& m_settings;
    Ceffects& m_effects;
    std::atomic<bool>& m_abort;
    std::unique_ptr<uint8_t[]> m_in;       // one second of an input, as the file's bytes
    std::unique_ptr<int16_t[]> m_mix;      // one second of the mix
    std::unique_ptr<uint8_t[]> m_bytes;    // the mix as the file's little-endian bytes

    // Taken at the start of a mix.
    bool m_fx = false;
    bool m_trim = false;
    bool m_norm = false;
    bool m_leading = false;                // no audible frame yet
    int64_t m_dropped = 0;                 // leading quiet frames dropped
    int64_t m_fed = 0;                     // frames handed to the effects processor
    int64_t m_posframes = 0;               // frames kept so far
    int64_t m_totalframes = 0;             // the total as output frames
};
