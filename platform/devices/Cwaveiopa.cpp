#include "platform/devices/Cwaveiopa.h"

#include "platform/Cwindow.h"
#include "platform/devices/Cpalib.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// The stream's queue holds at most this many blocks; the program uses two.
constexpr size_t QUEUELEN = 8;

class Cpaout;

// Played output blocks go back to the program on the user-interface thread, in the message
// queue: the writer posts a hand-back message to this window, then MM_WOM_DONE to the owner, and
// the block is marked done when the hand-back is handled, right before the owner's message. So
// a block the device has just finished is not done yet for a refill that runs before its
// message: otherwise outdone() after a refill could find both blocks done because the device
// had already played them (the null device plays a block in microseconds; a busy machine may hold
// the user-interface thread for a second), and the owner would end the playback mid-file. The
// open outputs are listed by number, so that a hand-back arriving after its output closed
// (its blocks all went back at the reset) finds nothing to do.
class Chandback : public Cwindow {
public:
    void handle(unsigned, uintptr_t id, intptr_t lparam) override;
    uint64_t enlist(Cpaout* out)
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_outs.emplace_back(++m_last, out);
        return m_last;
    }
    void delist(uint64_t id)
    {
        std::lock_guard<std::mutex> g(m_lock);
        for (size_t i = 0; i < m_outs.size(); ++i)
            if (m_outs[i].first == id) m_outs.erase(m_outs.begin() + long(i));
    }

private:
    std::mutex m_lock;
    uint64_t m_last = 0;
    std::vector<std::pair<uint64_t, Cpaout*>> m_outs;
};

Chandback g_handback;

// Opens a PortAudio stream on wave device `device` for fmt: a callback stream when cb is given,
// else a blocking one. PortAudio must be initialized.
PaStream* openpa(bool input, int device, const Waveformat& fmt, PaStreamCallback* cb, void* self)
{
    const PaDeviceIndex dev = padevice(device, input);
    const PaDeviceInfo* info = dev == paNoDevice ? nullptr : pa::GetDeviceInfo(dev);
    if (!info || (fmt.bits != 16 && fmt.bits != 8) || fmt.channels == 0 || fmt.rate == 0) return nullptr;
    PaStreamParameters p{};
    p.device = dev;
    p.channelCount = fmt.channels;
    p.sampleFormat = fmt.bits == 16 ? paInt16 : paUInt8;
    p.suggestedLatency = input ? info->defaultHighInputLatency : info->defaultHighOutputLatency;
    PaStream* s = nullptr;
    if (pa::OpenStream(&s, input ? &p : nullptr, input ? nullptr : &p, fmt.rate, paFramesPerBufferUnspecified,
                      paNoFlag, cb, self) != paNoError)
        return nullptr;
    return s;
}

// Wave output. A writer thread of the stream's own hands the queued blocks to PortAudio's
// blocking interface, a slice at a time, and returns each block once its last byte has gone to
// the device (see Chandback). The PortAudio stream is started at the first block, and stopped only by
// reset(): between blocks the writer simply waits, so an idle output plays nothing, rather than
// a stream of silence, and nothing is started or stopped while the blocks flow.
//
// Not a callback stream that ends whenever its queue runs dry and starts again at the next
// write: on the ALSA host every start of a callback stream creates PortAudio's callback thread
// and gives it one second to start the device, which a loaded machine does not always meet, and
// each end drops what the device still holds. The blocking interface starts without a thread of
// PortAudio's, and never between blocks.
class Cpaout : public Cwavedev {
public:
    Cpaout(Cwindow* w, const Waveformat& fmt)
        : m_window(w), m_framebytes(int(fmt.channels) * (fmt.bits / 8)), m_rate(fmt.rate),
          m_silence(size_t(SLICEFRAMES) * size_t(m_framebytes), fmt.bits == 8 ? 0x80 : 0) {}
    ~Cpaout() override { shut(); }

    bool open(int device, const Waveformat& fmt)
    {
        if (pa::Initialize() != paNoError) return false;
        m_init = true;
        m_stream = openpa(false, device, fmt, nullptr, nullptr);
        if (!m_stream) return false;
        const PaStreamInfo* info = pa::GetStreamInfo(m_stream);
        // The device's own buffer: the silence written after the last block pushes that block
        // through it before the device runs dry (at most half a second).
        const double latency = info ? std::min(std::max(info->outputLatency, 0.0), 0.5) : 0.0;
        m_padframes = uint32_t(latency * m_rate) + SLICEFRAMES;
        m_id = g_handback.enlist(this);
        m_writer = std::thread([this] { writeloop(); });
        postmsg(m_window, MM_WOM_OPEN);
        return true;
    }

    bool write(Wavehdr& h) override
    {
        if (!m_stream || !h.data) return false;
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (m_count + m_nplayed >= QUEUELEN) return false;
            h.flags.store(WHDR_INQUEUE, std::memory_order_release);
            m_queue[(m_first + m_count++) % QUEUELEN] = &h;
        }
        m_wake.notify_all();
        return true;
    }

    bool add(Wavehdr&) override { return false; }
    bool start() override { return false; }

    // The user-interface thread, with the list of open outputs locked: block h, played, is the
    // program's again.
    void handback(Wavehdr* h)
    {
        std::lock_guard<std::mutex> g(m_lock);
        for (size_t i = 0; i < m_nplayed; ++i) {
            if (m_played[i] != h) continue;
            h->flags.store(WHDR_DONE, std::memory_order_release);
            std::copy(m_played.begin() + long(i) + 1, m_played.begin() + long(m_nplayed), m_played.begin() + long(i));
            --m_nplayed;
            return;
        }
    }

    void reset() override
    {
        if (!m_stream) return;
        std::array<Wavehdr*, QUEUELEN> back{};
        size_t n = 0;
        {
            std::unique_lock<std::mutex> g(m_lock);
            // The writer finishes the slice it is writing (a few milliseconds of sound) and then
            // leaves the device alone until the hold is lifted.
            m_hold = true;
            ++m_generation;
            m_idle.wait(g, [&] { return !m_busy; });
        }
        if (m_started) pa::AbortStream(m_stream);
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_started = false;
            m_padleft = 0;
            // Played blocks whose hand-back is still queued are the program's again at once.
            for (size_t i = 0; i < m_nplayed; ++i) m_played[i]->flags.store(WHDR_DONE, std::memory_order_release);
            m_nplayed = 0;
            for (; m_count > 0; --m_count) {
                Wavehdr* h = m_queue[m_first];
                m_first = (m_first + 1) % QUEUELEN;
                h->flags.store(WHDR_DONE, std::memory_order_release);
                back[n++] = h;
            }
            m_first = 0;
            m_offset = 0;
            m_hold = false;
        }
        for (size_t i = 0; i < n; ++i) postmsg(m_window, MM_WOM_DONE, 0, intptr_t(back[i]));
    }

    void close() override
    {
        if (!m_stream) return;
        reset();
        shut();
        postmsg(m_window, MM_WOM_CLOSE);
    }

private:
    static constexpr uint32_t SLICEFRAMES = 1024;   // frames per blocking write: 23 ms at 44100 Hz

    void shut()
    {
        if (m_id) g_handback.delist(m_id);
        m_id = 0;
        if (m_writer.joinable()) {
            {
                std::lock_guard<std::mutex> g(m_lock);
                m_quit = true;
            }
            m_wake.notify_all();
            m_writer.join();
        }
        if (m_stream) {
            if (m_started) pa::AbortStream(m_stream);
            m_started = false;
            pa::CloseStream(m_stream);
            m_stream = nullptr;
        }
        if (m_init) pa::Terminate();
        m_init = false;
    }

    // The writer thread. PortAudio is called only with m_busy set, and reset() waits for it to
    // clear, so the stream is never written and stopped at once. Messages are posted without the
    // lock: without a message queue a window handles them at once, and may queue the next block.
    void writeloop()
    {
        std::unique_lock<std::mutex> g(m_lock);
        for (;;) {
            m_wake.wait(g, [&] { return m_quit || (!m_hold && (m_count > 0 || m_padleft > 0)); });
            if (m_quit) return;
            const uint64_t generation = m_generation;
            Wavehdr* h = m_count > 0 ? m_queue[m_first] : nullptr;
            const uint8_t* from = m_silence.data();
            uint32_t frames = std::min(m_padleft, SLICEFRAMES);
            if (h) {
                from = h->data.get() + m_offset;
                frames = std::min((h->buflen - m_offset) / uint32_t(m_framebytes), SLICEFRAMES);
            }
            m_busy = true;
            g.unlock();
            bool ok = true;
            if (!m_started) ok = pa::StartStream(m_stream) == paNoError;
            // An underflow reported here happened before this slice, which was written all the same.
            if (ok && frames > 0) {
                const PaError err = pa::WriteStream(m_stream, from, frames);
                ok = err == paNoError || err == paOutputUnderflowed;
            }
            g.lock();
            m_busy = false;
            m_started = m_started || ok;
            if (generation != m_generation) {   // reset() has taken the blocks back meanwhile
                m_idle.notify_all();
                continue;
            }
            if (!h) {
                m_padleft -= frames;
                continue;
            }
            // A device that fails is given up on for this block: its rest is skipped, so that
            // the owner still gets every block back and sees its file end.
            m_offset = ok && frames > 0 ? m_offset + frames * uint32_t(m_framebytes) : h->buflen;
            if (m_offset + uint32_t(m_framebytes) <= h->buflen) continue;
            m_first = (m_first + 1) % QUEUELEN;
            --m_count;
            m_offset = 0;
            m_padleft = m_count == 0 ? m_padframes : 0;
            m_played[m_nplayed++] = h;
            const uint64_t id = m_id;
            g.unlock();
            postmsg(&g_handback, MM_WOM_DONE, uintptr_t(id), intptr_t(h));
            postmsg(m_window, MM_WOM_DONE, 0, intptr_t(h));
            g.lock();
        }
    }

    Cwindow* const m_window;
    const int m_framebytes;
    const uint32_t m_rate;
    PaStream* m_stream = nullptr;
    bool m_init = false;
    const std::vector<uint8_t> m_silence;   // one slice; 8-bit samples are unsigned
    uint32_t m_padframes = 0;
    uint64_t m_id = 0;          // number among the open outputs (g_handback)
    std::thread m_writer;

    // Shared with the writer, under m_lock.
    std::mutex m_lock;
    std::condition_variable m_wake;   // a block, a lifted hold or the end for the writer
    std::condition_variable m_idle;   // the writer is out of PortAudio
    std::array<Wavehdr*, QUEUELEN> m_queue{};
    size_t m_first = 0;
    size_t m_count = 0;
    uint32_t m_offset = 0;     // bytes of the first queued block already written
    uint32_t m_padleft = 0;    // frames of silence still to write after the last block
    std::array<Wavehdr*, QUEUELEN> m_played{};   // played, their hand-back still queued
    size_t m_nplayed = 0;
    uint64_t m_generation = 0;   // counts resets
    bool m_started = false;    // the PortAudio stream runs
    bool m_busy = false;       // the writer is inside PortAudio
    bool m_hold = false;       // reset() is under way
    bool m_quit = false;
};

void Chandback::handle(unsigned, uintptr_t id, intptr_t lparam)
{
    std::lock_guard<std::mutex> g(m_lock);
    for (const auto& [number, out] : m_outs)
        if (number == id) out->handback(reinterpret_cast<Wavehdr*>(lparam));
}

// Wave input: PortAudio's callback fills the queued blocks in order.
class Cpain : public Cwavedev {
public:
    Cpain(Cwindow* w, int framebytes) : m_window(w), m_framebytes(framebytes) {}
    ~Cpain() override { shut(); }

    bool open(int device, const Waveformat& fmt)
    {
        if (pa::Initialize() != paNoError) return false;
        m_init = true;
        m_stream = openpa(true, device, fmt, &Cpain::callback, this);
        if (!m_stream) return false;
        postmsg(m_window, MM_WIM_OPEN);
        return true;
    }

    bool write(Wavehdr&) override { return false; }

    bool add(Wavehdr& h) override
    {
        if (!m_stream || !h.data) return false;
        std::lock_guard<std::mutex> g(m_lock);
        if (m_count == QUEUELEN) return false;
        h.recorded = 0;
        h.flags.store(WHDR_INQUEUE, std::memory_order_release);
        m_queue[(m_first + m_count++) % QUEUELEN] = &h;
        return true;
    }

    bool start() override
    {
        if (!m_stream) return false;
        if (m_running) return true;
        m_running = pa::StartStream(m_stream) == paNoError;
        return m_running;
    }

    void reset() override
    {
        if (!m_stream) return;
        // The callback has returned for good afterwards.
        if (m_running) pa::AbortStream(m_stream);
        m_running = false;
        std::array<Wavehdr*, QUEUELEN> back{};
        size_t n = 0;
        {
            std::lock_guard<std::mutex> g(m_lock);
            for (; m_count > 0; --m_count) {
                Wavehdr* h = m_queue[m_first];
                m_first = (m_first + 1) % QUEUELEN;
                h->recorded = m_offset;
                h->order = ++m_order;
                m_offset = 0;
                h->flags.store(WHDR_DONE, std::memory_order_release);
                back[n++] = h;
            }
            m_first = 0;
            m_offset = 0;
        }
        for (size_t i = 0; i < n; ++i) postmsg(m_window, MM_WIM_DATA, 0, intptr_t(back[i]));
    }

    void close() override
    {
        if (!m_stream) return;
        reset();
        shut();
        postmsg(m_window, MM_WIM_CLOSE);
    }

private:
    void shut()
    {
        if (m_stream) {
            if (m_running) pa::AbortStream(m_stream);
            m_running = false;
            pa::CloseStream(m_stream);
            m_stream = nullptr;
        }
        if (m_init) pa::Terminate();
        m_init = false;
    }

    static int callback(const void* in, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags, void* self)
    {
        return static_cast<Cpain*>(self)->run(static_cast<const uint8_t*>(in), frames);
    }

    // PortAudio's thread. Messages are posted after the lock is released: without a message
    // queue a window handles them at once, and its handler may queue the next block.
    int run(const uint8_t* in, unsigned long frames)
    {
        size_t bytes = size_t(frames) * size_t(m_framebytes);
        std::array<Wavehdr*, QUEUELEN> used{};
        size_t nused = 0;
        std::unique_lock<std::mutex> g(m_lock, std::try_to_lock);
        if (!g.owns_lock()) return paContinue;   // the user-interface thread is queueing: skip this round
        while (bytes > 0 && m_count > 0 && in) {
            Wavehdr* h = m_queue[m_first];
            const size_t n = std::min<size_t>(bytes, h->buflen - m_offset);
            std::memcpy(h->data.get() + m_offset, in, n);
            in += n;
            bytes -= n;
            m_offset += uint32_t(n);
            if (m_offset >= h->buflen) {
                h->recorded = m_offset;
                h->order = ++m_order;
                h->flags.store(WHDR_DONE, std::memory_order_release);
                m_first = (m_first + 1) % QUEUELEN;
                --m_count;
                m_offset = 0;
                used[nused++] = h;
            }
        }
        g.unlock();
        for (size_t i = 0; i < nused; ++i) postmsg(m_window, MM_WIM_DATA, 0, intptr_t(used[i]));
        return paContinue;
    }

    Cwindow* const m_window;
    const int m_framebytes;
    PaStream* m_stream = nullptr;
    bool m_init = false;
    bool m_running = false;   // started and neither stopped nor aborted (user-interface thread)

    // Shared with the callback, under m_lock.
    std::mutex m_lock;
    std::array<Wavehdr*, QUEUELEN> m_queue{};
    size_t m_first = 0;
    size_t m_count = 0;
    uint32_t m_offset = 0;    // bytes of the first queued block already filled
    uint64_t m_order = 0;     // blocks returned so far
};

std::unique_ptr<Cwavedev> openstream(bool input, int device, const Waveformat& fmt, Cwindow* w)
{
    const int framebytes = int(fmt.channels) * (fmt.bits / 8);
    if (input) {
        auto s = std::make_unique<Cpain>(w, framebytes);
        if (!s->open(device, fmt)) return nullptr;
        return s;
    }
    auto s = std::make_unique<Cpaout>(w, fmt);
    if (!s->open(device, fmt)) return nullptr;
    return s;
}

}  // namespace

std::unique_ptr<Cwavedev> Cpawave::openout(int device, const Waveformat& fmt, Cwindow* w)
{
    return ::openstream(false, device, fmt, w);   // the unnamed namespace's, not the member
}

std::unique_ptr<Cwavedev> Cpawave::openin(int device, const Waveformat& fmt, Cwindow* w)
{
    return ::openstream(true, device, fmt, w);
}
