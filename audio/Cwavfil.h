#pragma once
// One WAVE file: 16-bit signed PCM, 2 channels, 44100 samples per second when written; only the
// canonical 44-byte header is read. A frame is one stereo pair, 4 bytes, little-endian.
//
// Writing: openwr, any number of wrframe / wrblock, closewr. Output is buffered one second
// (88200 samples) at a time. A write or size patch that fails is remembered (failed()) so that
// no caller reports success after it.
// Reading: openrd, any number of rdblock / seek, close.
// The device side (playing and recording through the buffers) is added by the device layer.
#include "midi/Cbasfil.h"

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

    int fd = -1;
    int32_t nframes = 0;
    int32_t frpos = 0;
    int32_t peak = 0;
    int32_t quiet = 0;
    Wavfmt fmt;
    int32_t bufpos = 0;

protected:
    // Writes the samples held in m_buf and empties it; a failure is remembered in m_err.
    void flush();

    // Between openwr and closewr: up to one second of frames, stored as the file's
    // little-endian bytes.
    std::unique_ptr<int16_t[]> m_buf;
    Wverr m_err = Wverr::none;
};
