#include "audio/Cwavfil.h"

#include "midi/Cbytes.h"
#include "platform/Cmsgbox.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Reads up to n bytes, retrying after signals and partial reads; returns the bytes that arrived.
size_t readall(int fd, void* dest, size_t n)
{
    auto* p = static_cast<uint8_t*>(dest);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += size_t(r);
    }
    return got;
}

// Writes all n bytes at the current position; false when any of them could not be written.
bool writeall(int fd, const void* src, size_t n)
{
    const auto* p = static_cast<const uint8_t*>(src);
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::write(fd, p + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += size_t(r);
    }
    return true;
}

bool pwrite32(int fd, off_t at, uint32_t v)
{
    uint8_t b[4];
    setle32(b, v);
    ssize_t r;
    do r = ::pwrite(fd, b, 4, at);
    while (r < 0 && errno == EINTR);
    return r == 4;
}

// The canonical header: RIFF size and data size stay 0 until closewr knows the frame count.
void makeheader(uint8_t* h)
{
    std::memcpy(h + 0, "RIFF", 4);
    setle32(h + 4, 0);
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    setle32(h + 16, 16);
    setle16(h + 20, 1);        // PCM
    setle16(h + 22, 2);        // channels
    setle32(h + 24, 44100);    // samples per second
    setle32(h + 28, 176400);   // bytes per second
    setle16(h + 32, 4);        // block align
    setle16(h + 34, 16);       // bits per sample
    std::memcpy(h + 36, "data", 4);
    setle32(h + 40, 0);
}

// Largest frame count whose RIFF size (36 + 4 * frames) still fits the 32-bit field.
constexpr int64_t MAXFRAMES = (int64_t(UINT32_MAX) - 36) / 4;

}  // namespace

Cwavfil::Cwavfil(std::string path) : Cbasfil(std::move(path)) {}

Cwavfil::~Cwavfil()
{
    // Owners close first; a handle still open here would otherwise leak. A temporary file still
    // pending goes with m_out.
    dropfd();
}

void Cwavfil::dropfd()
{
    if (fd >= 0 && fd != m_out.fd) ::close(fd);
    fd = -1;
}

bool Cwavfil::openrd()
{
    dropfd();
    fd = openinput(m_path);
    uint8_t h[HEADER];
    bool ok = fd >= 0 && readall(fd, h, HEADER) == HEADER;
    ok = ok && !std::memcmp(h, "RIFF", 4) && !std::memcmp(h + 8, "WAVE", 4) && !std::memcmp(h + 12, "fmt ", 4) &&
         !std::memcmp(h + 36, "data", 4);
    if (ok) {
        fmt.tag = le16(h + 20);
        fmt.channels = le16(h + 22);
        fmt.rate = le32(h + 24);
        fmt.bytespersec = le32(h + 28);
        fmt.align = le16(h + 32);
        fmt.bits = le16(h + 34);
        fmt.extra = 0;
        ok = fmt.tag == 1 && fmt.channels == 2 && fmt.bits == 16;
    }
    struct stat st {};
    ok = ok && ::fstat(fd, &st) == 0;
    if (!ok) {
        if (fd >= 0) ::close(fd);
        fd = -1;
        errbox("Cwavfil::openrd\nError while reading WAVE file", filedetail(m_path));
        return false;
    }
    // A data size of 0 (an unfinished file) or one that claims more than the file holds falls
    // back to the frames actually present after the header.
    const int64_t present = std::min<int64_t>((int64_t(st.st_size) - HEADER) / 4, INT32_MAX);
    const int64_t declared = le32(h + 40) / 4;
    nframes = int32_t(declared == 0 ? present : std::min(declared, present));
    frpos = 0;
    return true;
}

bool Cwavfil::openwr(Wmode mode)
{
    dropfd();
    m_out.discard();
    m_err = Wverr::none;
    m_errno = 0;
    m_inplace = mode == Wmode::inplace;
    if (m_inplace) {
        // A take is written under its own name; only a regular file (or a new one) that may be
        // written will do.
        fd = readonly(m_path) ? (errno = EACCES, -1) : ::open(m_path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
        struct stat st {};
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd);
            fd = -1;
            errno = ESPIPE;
        }
        if (fd >= 0 && ::ftruncate(fd, 0) != 0) {
            ::close(fd);
            fd = -1;
        }
    } else if (m_out.create(m_path)) {
        fd = m_out.fd;
    }
    uint8_t h[HEADER];
    makeheader(h);
    if (fd < 0 || !writeall(fd, h, HEADER)) {
        fail(Wverr::open);
        if (fd >= 0 && m_inplace) ::close(fd);
        m_out.discard();
        fd = -1;
        errbox("Cwavfil::openwr\nError while writing WAVE file", filedetail(m_path, m_errno));
        return false;
    }
    m_buf = std::make_unique<int16_t[]>(BUFSAMPLES);
    nframes = 0;
    bufpos = 0;
    peak = 0;
    return true;
}

void Cwavfil::fail(Wverr e)
{
    if (m_err != Wverr::none) return;
    m_err = e;
    m_errno = errno ? errno : EIO;
}

bool Cwavfil::patchsizes()
{
    const uint32_t datasize = uint32_t(std::min<int64_t>(int64_t(nframes) * 4, MAXFRAMES * 4));
    // Data size sits at byte 40, RIFF size at byte 4.
    return pwrite32(fd, 40, datasize) && pwrite32(fd, 4, datasize + 36);
}

void Cwavfil::flush()
{
    // After a failed write nothing more is written: the file is not kept.
    if (bufpos > 0 && m_err == Wverr::none) {
        if (!writeall(fd, m_buf.get(), size_t(bufpos) * 2)) fail(Wverr::write);
        else if (m_inplace && !patchsizes()) fail(Wverr::patch);
    }
    bufpos = 0;
}

void Cwavfil::wrframe(int16_t left, int16_t right)
{
    const int16_t frame[2] = {left, right};
    wrframes(frame, 1);
}

void Cwavfil::wrframes(const int16_t* pcm, int n)
{
    if (!m_buf) return;   // not open for writing
    while (n > 0) {
        // As many frames as the buffer holds; it is flushed when full.
        const int k = std::min(n, (BUFSAMPLES - bufpos) / 2);
        // The buffer holds the file's bytes: each sample little-endian, left before right.
        uint8_t* p = reinterpret_cast<uint8_t*>(m_buf.get()) + size_t(bufpos) * 2;
        // The loudest magnitude of the block is the peak's candidate: when it is above the quiet
        // level it comes from a loud frame, and otherwise the block has none. The quiet frames
        // at the end are counted back from the block's end to its last loud frame.
        auto mag = [](int16_t v) { return v < 0 ? -int32_t(v) : int32_t(v); };
        int32_t most = 0;
        for (int i = 0; i < 2 * k; ++i) {
            most = std::max(most, mag(pcm[i]));
            setle16(p + 2 * i, uint16_t(pcm[i]));
        }
        if (most > 8) {
            peak = std::max(peak, most);
            int last = k - 1;
            while (mag(pcm[2 * last]) <= 8 && mag(pcm[2 * last + 1]) <= 8) --last;
            quiet = k - 1 - last;
        } else {
            quiet += k;
        }
        bufpos += 2 * k;
        nframes += k;
        pcm += 2 * k;
        n -= k;
        if (bufpos >= BUFSAMPLES) flush();
    }
}

void Cwavfil::wrblock(const void* src, int nbytes)
{
    if (fd < 0 || nbytes <= 0 || m_err != Wverr::none) return;
    flush();   // frames queued by wrframe go first, so the file keeps the calling order
    if (m_err != Wverr::none) return;
    if (!writeall(fd, src, size_t(nbytes))) {
        fail(Wverr::write);
        return;
    }
    nframes += nbytes / 4;
    if (m_inplace && !patchsizes()) fail(Wverr::patch);
}

void Cwavfil::finish(bool trim, int32_t extra)
{
    if (fd < 0) return;
    if (m_buf) flush();
    m_buf.reset();
    if (m_err == Wverr::none) {
        if (trim && nframes != quiet) nframes = std::max(0, nframes - quiet);
        nframes = int32_t(std::clamp<int64_t>(int64_t(nframes) + extra, 0, INT32_MAX));
        if (nframes > MAXFRAMES) fail(Wverr::patch);   // more than a RIFF file can describe
    }
    // Sizes are written only for frames that are all there; a failed file keeps no claim.
    if (m_err == Wverr::none && !patchsizes()) fail(Wverr::patch);
    // Cuts off trimmed frames; extra frames come back as zero bytes, that is silence.
    if (m_err == Wverr::none && ::ftruncate(fd, off_t(HEADER) + off_t(nframes) * 4) != 0) fail(Wverr::patch);
    if (m_inplace) {
        if (::close(fd) != 0) fail(Wverr::write);
    } else {
        if (!m_out.closefd()) fail(Wverr::write);
        if (m_err != Wverr::none) m_out.discard();
    }
    fd = -1;
}

bool Cwavfil::commit(const std::atomic<bool>* stop)
{
    if (!m_out.pending()) return false;
    if (m_err == Wverr::none && !m_out.commit(stop)) {
        // A commit held back by stop is no failure of the file.
        if (errno == ECANCELED) return false;
        fail(Wverr::write);
    }
    m_out.discard();
    return m_err == Wverr::none;
}

void Cwavfil::discard() { m_out.discard(); }

bool Cwavfil::closewr(bool trim, int32_t extra)
{
    if (fd < 0) return false;
    finish(trim, extra);
    return m_inplace ? m_err == Wverr::none : commit();
}

bool Cwavfil::rdblock(void* dest, int nbytes)
{
    if (nbytes <= 0) return false;
    auto* d = static_cast<uint8_t*>(dest);
    size_t got = 0;
    bool ok = false;
    if (fd >= 0 && frpos < nframes) {
        const size_t c = size_t(std::min<int64_t>(nbytes, (int64_t(nframes) - frpos) * 4));
        got = readall(fd, d, c);
        ok = got == c;
        if (ok) frpos += int32_t(c / 4);
    }
    // Whatever did not arrive reads as silence.
    std::memset(d + got, 0, size_t(nbytes) - got);
    return ok;
}

namespace {

// Scales n little-endian 16-bit samples by gain / 1024, rounding down and saturating.
// floor(s gain / 1024) = s (gain >> 10) + floor(s (gain & 1023) / 1024), whose products stay
// in 32 bits for any gain up to 2^25: then the loop runs in 32-bit lanes, which the compiler
// vectorizes.
void scale16(uint8_t* p, size_t n, int32_t gain)
{
    if (gain < 0 || gain > (1 << 25)) {
        for (size_t i = 0; i < n; ++i) {
            const int64_t s = int16_t(uint16_t(p[2 * i] | p[2 * i + 1] << 8));
            const int64_t y = std::clamp<int64_t>((s * gain) >> 10, -32768, 32767);
            p[2 * i] = uint8_t(y);
            p[2 * i + 1] = uint8_t(uint16_t(y) >> 8);
        }
        return;
    }
    const int32_t high = gain >> 10, low = gain & 1023;
    for (size_t i = 0; i < n; ++i) {
        const int32_t s = int16_t(uint16_t(p[2 * i] | p[2 * i + 1] << 8));
        const int32_t y = std::clamp(s * high + ((s * low) >> 10), -32768, 32767);
        p[2 * i] = uint8_t(y);
        p[2 * i + 1] = uint8_t(uint16_t(y) >> 8);
    }
}

} // namespace

bool Cwavfil::normalize(int32_t gain)
{
    // A pending temporary file is scaled where it lies; a finished file is copied scaled into a
    // new temporary file that replaces it.
    const bool inplace = m_out.pending();
    const std::string src = inplace ? m_out.temp() : m_path;
    const int in = inplace ? ::open(src.c_str(), O_RDWR | O_CLOEXEC) : openinput(src);
    uint8_t h[HEADER];
    bool ok = in >= 0 && readall(in, h, HEADER) == HEADER;
    int out = in;
    if (ok && !inplace) {
        ok = m_out.create(m_path) && writeall(m_out.fd, h, HEADER);
        out = m_out.fd;
    }
    if (ok) {
        std::vector<uint8_t> chunk(BUFBYTES);
        int64_t left = int64_t(std::max(nframes, 0)) * 2;   // samples still to scale
        off_t at = HEADER;
        while (left > 0 && ok) {
            const size_t n = size_t(std::min<int64_t>(left, BUFSAMPLES)) * 2;
            ssize_t r;
            do r = ::pread(in, chunk.data(), n, at);
            while (r < 0 && errno == EINTR);
            ok = r == ssize_t(n);
            if (ok) scale16(chunk.data(), n / 2, gain);
            for (size_t done = 0; ok && done < n;) {
                do r = ::pwrite(out, chunk.data() + done, n - done, at + off_t(done));
                while (r < 0 && errno == EINTR);
                if (r <= 0) ok = false;
                else done += size_t(r);
            }
            at += off_t(n);
            left -= int64_t(n / 2);
        }
    }
    int err = errno;
    if (in >= 0 && ::close(in) != 0 && inplace) ok = false;
    if (ok && !inplace && !m_out.commit()) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        m_errno = err ? err : EIO;
        m_out.discard();
        errbox("Cwavfil::normalize\nError while rescaling WAVE file", filedetail(m_path, m_errno));
        return false;
    }
    return true;
}

double Cwavfil::duration()
{
    if (!openrd()) return 0;
    struct stat st {};
    double usec = 0;
    if (::fstat(fd, &st) == 0 && fmt.rate > 0) {
        const int64_t align = fmt.align ? fmt.align : 4;
        const int64_t frames = (int64_t(st.st_size) - HEADER) / align;
        usec = double(frames) * 1000000.0 / fmt.rate;
    }
    close();
    return usec;
}

bool Cwavfil::seek(double usec)
{
    double f = std::trunc(usec * fmt.rate * 1e-6);
    if (!(f > 0)) f = 0;                         // negative times and NaN go to the start
    frpos = int32_t(std::min<double>(f, nframes));   // past the end reads as the end
    const off_t at = off_t(HEADER) + off_t(fmt.align ? fmt.align : 4) * frpos;
    return fd >= 0 && ::lseek(fd, at, SEEK_SET) > 0;
}

int Cwavfil::close()
{
    if (fd < 0) return -1;
    if (fd == m_out.fd) {
        // A file being written is closed but stays pending: commit or discard decides.
        fd = -1;
        return m_out.closefd() ? 0 : -1;
    }
    const int r = ::close(fd);
    fd = -1;
    return r;
}

void Cwavfil::setformat()
{
    fmt = Wavfmt{1, 2, 44100, 176400, 4, 16, 0};
}
