#pragma once
// One WAVE file: 16-bit signed PCM, 2 channels, 44100 samples per second when written; only the
// canonical 44-byte header is read. A frame is one stereo pair, 4 bytes, little-endian.
//
// Writing: openwr, any number of wrframe / wrblock, closewr. Output is buffered one second
// (88200 samples) at a time. A write or size patch that fails is remembered (failed()) so that
// no caller reports success after it.
// Reading: openrd, any number of rdblock / seek, close.
// Device side: playing the file through the wave output device and recording the wave input into
// it, through two one-second data blocks (see openout).
#include "midi/Cbasfil.h"
#include "platform/Cwaveio.h"

#include <cstdint>
#include <memory>

// WAVEFORMATEX layout of the format chunk.
struct Wavfmt {
    uint16_t tag = 0;
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint32_t bytespersec = 0;
    uint16_t align = 0;
    uint16_t bits = 0;
    uint16_t extra = 0;
};

enum class Wverr { none, open, write, patch };

class Cwavfil : public Cbasfil {
public:
    static constexpr int BUFSAMPLES = 88200;          // one second of stereo samples
    static constexpr int BUFBYTES = BUFSAMPLES * 2;   // 176400
    static constexpr int HEADER = 44;

    explicit Cwavfil(std::string path);
    ~Cwavfil() override;

    bool openrd();
    bool openwr();
    bool rdblock(void* dest, int nbytes);
    void wrframe(int16_t left, int16_t right);
    void wrblock(const void* src, int nbytes);
    void closewr(bool trim, int32_t extra);
    bool normalize(int32_t gain);   // gain in 1/1024 units
    double duration();              // microseconds
    bool seek(double usec);
    int close();
    void setformat();

    // A write, size patch or set-length that failed since openwr (Wverr::none when all held).
    Wverr failed() const { return m_err; }

    // Name of the temporary file normalize writes: the path without everything from its last
    // "." (searched over the whole path), followed by ".tmp".
    static std::string tmpname(const std::string& path);

    // Device side (audio/Cwavdev.cpp): plays the open file through the wave output device, or
    // records the wave input device into the file opened with openwr, through the two data
    // blocks of hdr. Device messages go to the window given at opening; device is the index
    // chosen in the settings (-1: the system's default device). User-interface thread only.
    bool openout(Cwindow* window, int device = -1);
    void closeout();
    bool playbuf(Wavehdr* h);
    void refill();
    bool outdone() const;
    uint8_t* freebuf();
    bool sendbuf(const uint8_t* block);
    bool openin(Cwindow* window, int device = -1);
    bool recdata(Wavehdr* h);
    bool closein();

    int fd = -1;
    int32_t nframes = 0;
    int32_t frpos = 0;
    int32_t peak = 0;
    int32_t quiet = 0;
    Wavfmt fmt;
    int32_t bufpos = 0;
    // The blocks are declared before the devices so that a device still open at destruction is
    // stopped before its blocks are freed.
    Wavehdr hdr[2];
    std::unique_ptr<Cwavedev> hwo;   // wave output, null when closed
    std::unique_ptr<Cwavedev> hwi;   // wave input, null when closed

protected:
    // Writes the samples held in m_buf and empties it; a failure is remembered in m_err.
    void flush();

    // Between openwr and closewr: up to one second of frames, stored as the file's
    // little-endian bytes.
    std::unique_ptr<int16_t[]> m_buf;
    Wverr m_err = Wverr::none;
};
