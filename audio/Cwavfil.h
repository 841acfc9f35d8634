#pragma once
// One WAVE file: 16-bit signed PCM, 2 channels, 44100 samples per second when written; only the
// canonical 44-byte header is read. A frame is one stereo pair, 4 bytes, little-endian.
//
// Writing: openwr, any number of wrframe / wrblock, closewr. Output is buffered one second
// (88200 samples) at a time. A write or size patch that fails is remembered (failed()) so that
// no caller reports success after it; later writes are skipped and the file is not kept.
// The frames go to a temporary file beside the destination (Cnewfil) that closewr renames over
// it, so an earlier file of that name stays whole until the new one is finished. finish()
// closes without the rename, for a caller that normalizes first; commit() renames then.
// A recording (Wmode::inplace) is written under its own name instead, and its header sizes are
// brought up to date after every second written, so that a kill keeps what came before.
// Reading: openrd, any number of rdblock / seek, close.
// Device side: playing the file through the wave output device and recording the wave input into
// it, through two one-second data blocks (see openout).
#include "audio/Cnewfil.h"
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
enum class Wmode { replace, inplace };

class Cwavfil : public Cbasfil {
public:
    static constexpr int BUFSAMPLES = 88200;          // one second of stereo samples
    static constexpr int BUFBYTES = BUFSAMPLES * 2;   // 176400
    static constexpr int HEADER = 44;

    explicit Cwavfil(std::string path);
    ~Cwavfil() override;

    bool openrd();
    bool openwr(Wmode mode = Wmode::replace);
    bool rdblock(void* dest, int nbytes);
    void wrframe(int16_t left, int16_t right);
    // n frames, left and right samples interleaved: the same as n calls of wrframe.
    void wrframes(const int16_t* pcm, int n);
    void wrblock(const void* src, int nbytes);
    // finish, then commit: false when the file could not be written.
    bool closewr(bool trim, int32_t extra);
    // Writes what is buffered and the header sizes and closes the file; the temporary file stays
    // pending (and is removed when a write failed). trim drops the trailing quiet frames; extra
    // frames of silence are added (or, negative, removed) at the end.
    void finish(bool trim, int32_t extra);
    // Renames the pending temporary file over the destination; false when it failed or none is
    // pending (failed() is then Wverr::write), or when stop is given and set (errno ECANCELED,
    // the temporary file is removed and failed() stays none; see Cnewfil::commit).
    bool commit(const std::atomic<bool>* stop = nullptr);
    // Removes the pending temporary file: the destination keeps its earlier content.
    void discard();
    // Scales every sample by gain (1/1024 units): in place in a pending temporary file, else
    // through a new temporary file renamed over the file. False (and the file unchanged) when it
    // fails.
    bool normalize(int32_t gain);
    double duration();              // microseconds
    bool seek(double usec);
    int close();
    void setformat();

    // A write, size patch or set-length that failed since openwr (Wverr::none when all held).
    Wverr failed() const { return m_err; }
    // The system's error number of the first failure (0 when none).
    int syserr() const { return m_errno; }
    // The temporary file being written or awaiting commit ("" when none).
    const std::string& temppath() const { return m_out.temp(); }

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
    // Closes fd unless it belongs to m_out (which closes its own).
    void dropfd();
    // Remembers the first failure with the system's error number.
    void fail(Wverr e);
    // Writes the RIFF and data sizes of the nframes written so far.
    bool patchsizes();

    // Between openwr and closewr: up to one second of frames, stored as the file's
    // little-endian bytes.
    std::unique_ptr<int16_t[]> m_buf;
    Wverr m_err = Wverr::none;
    int m_errno = 0;
    bool m_inplace = false;
    Cnewfil m_out;
};
