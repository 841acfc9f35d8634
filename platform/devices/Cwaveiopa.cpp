#include "platform/devices/Cwaveiopa.h"

#include "platform/Cwindow.h"

#include <portaudio.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

namespace {

// The stream's queue holds at most this many blocks; the program uses two.
constexpr size_t QUEUELEN = 8;

PaDeviceIndex pickdevice(int device, bool input)
{
    if (device < 0) return input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
    const int count = Pa_GetDeviceCount();
    int k = 0;
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info) continue;
        if ((input ? info->maxInputChannels : info->maxOutputChannels) > 0) {
            if (k == device) return i;
            ++k;
        }
    }
    return paNoDevice;
}

class Cpastream : public Cwavedev {
public:
    Cpastream(bool input, Cwindow* w, int framebytes)
        : m_input(input), m_window(w), m_framebytes(framebytes) {}
    ~Cpastream() override { shut(); }

    bool open(int device, const Waveformat& fmt)
    {
        if (Pa_Initialize() != paNoError) return false;
        m_init = true;
        const PaDeviceIndex dev = pickdevice(device, m_input);
        const PaDeviceInfo* info = dev == paNoDevice ? nullptr : Pa_GetDeviceInfo(dev);
        if (!info || (fmt.bits != 16 && fmt.bits != 8) || fmt.channels == 0 || fmt.rate == 0)
            return false;
        PaStreamParameters p{};
        p.device = dev;
        p.channelCount = fmt.channels;
        p.sampleFormat = fmt.bits == 16 ? paInt16 : paUInt8;
        p.suggestedLatency = m_input ? info->defaultHighInputLatency : info->defaultHighOutputLatency;
        const PaError err = Pa_OpenStream(&m_stream, m_input ? &p : nullptr, m_input ? nullptr : &p,
                                          fmt.rate, paFramesPerBufferUnspecified,
                                          m_input ? paNoFlag : paPrimeOutputBuffersUsingStreamCallback,
                                          &Cpastream::callback, this);
        if (err != paNoError) {
            m_stream = nullptr;
            return false;
        }
        postmsg(m_window, m_input ? MM_WIM_OPEN : MM_WOM_OPEN);
        return true;
    }

    bool write(Wavehdr& h) override
    {
        if (m_input || !m_stream || !h.data) return false;
        bool restart = false;
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (m_count == QUEUELEN) return false;
            h.flags.store(WHDR_INQUEUE, std::memory_order_release);
            m_queue[(m_first + m_count++) % QUEUELEN] = &h;
            restart = !m_running || m_ending;
            m_ending = false;
        }
        if (!restart) return true;
        // The stream has ended (or never started): what it still had is played out, then it
        // starts again on the queued blocks.
        if (m_running) Pa_StopStream(m_stream);
        m_running = Pa_StartStream(m_stream) == paNoError;
        if (!m_running) {
            // The device refused to start: the blocks go back unplayed and without messages, so
            // that the caller sees the failure once instead of a stream of returned blocks.
            std::lock_guard<std::mutex> g(m_lock);
            for (; m_count > 0; --m_count, m_first = (m_first + 1) % QUEUELEN)
                m_queue[m_first]->flags.store(WHDR_DONE, std::memory_order_release);
            m_first = 0;
            m_offset = 0;
            return false;
        }
        return true;
    }

    bool add(Wavehdr& h) override
    {
        if (!m_input || !m_stream || !h.data) return false;
        std::lock_guard<std::mutex> g(m_lock);
        if (m_count == QUEUELEN) return false;
        h.recorded = 0;
        h.flags.store(WHDR_INQUEUE, std::memory_order_release);
        m_queue[(m_first + m_count++) % QUEUELEN] = &h;
        return true;
    }

    bool start() override
    {
        if (!m_input || !m_stream) return false;
        if (m_running) return true;
        m_running = Pa_StartStream(m_stream) == paNoError;
        return m_running;
    }

    void reset() override
    {
        if (!m_stream) return;
        if (m_running) {
            bool pending = false;
            {
                std::lock_guard<std::mutex> g(m_lock);
                pending = m_count > 0;
            }
            // Output whose blocks were all used up is played out (the device holds at most its
            // latency of it); anything else stops at once. Either way the callback has returned
            // for good afterwards.
            if (pending || m_input) Pa_AbortStream(m_stream);
            else Pa_StopStream(m_stream);
        }
        m_running = false;
        std::array<Wavehdr*, QUEUELEN> back{};
        size_t n = 0;
        {
            std::lock_guard<std::mutex> g(m_lock);
            for (; m_count > 0; --m_count) {
                Wavehdr* h = m_queue[m_first];
                m_first = (m_first + 1) % QUEUELEN;
                if (m_input) {
                    h->recorded = m_offset;
                    h->order = ++m_order;
                }
                m_offset = 0;
                h->flags.store(WHDR_DONE, std::memory_order_release);
                back[n++] = h;
            }
            m_first = 0;
            m_offset = 0;
            m_ending = false;
        }
        for (size_t i = 0; i < n; ++i)
            postmsg(m_window, m_input ? MM_WIM_DATA : MM_WOM_DONE, 0, intptr_t(back[i]));
    }

    void close() override
    {
        if (!m_stream) return;
        reset();
        shut();
        postmsg(m_window, m_input ? MM_WIM_CLOSE : MM_WOM_CLOSE);
    }

private:
    void shut()
    {
        if (m_stream) {
            if (m_running) Pa_AbortStream(m_stream);
            m_running = false;
            Pa_CloseStream(m_stream);
            m_stream = nullptr;
        }
        if (m_init) Pa_Terminate();
        m_init = false;
    }

    static int callback(const void* in, void* out, unsigned long frames,
                        const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* self)
    {
        return static_cast<Cpastream*>(self)->run(static_cast<const uint8_t*>(in),
                                                  static_cast<uint8_t*>(out), frames);
    }

    // PortAudio's thread. Messages are posted after the lock is released: without a message
    // queue a window handles them at once, and its handler may queue the next block.
    int run(const uint8_t* in, uint8_t* out, unsigned long frames)
    {
        size_t bytes = size_t(frames) * size_t(m_framebytes);
        std::array<Wavehdr*, QUEUELEN> used{};
        size_t nused = 0;
        int result = paContinue;
        std::unique_lock<std::mutex> g(m_lock, std::try_to_lock);
        if (!g.owns_lock()) {   // the user-interface thread is queueing: skip this round
            if (out) std::memset(out, 0, bytes);
            return paContinue;
        }
        while (bytes > 0 && m_count > 0) {
            Wavehdr* h = m_queue[m_first];
            const size_t n = std::min<size_t>(bytes, h->buflen - m_offset);
            if (m_input) std::memcpy(h->data.get() + m_offset, in, n);
            else std::memcpy(out, h->data.get() + m_offset, n);
            if (in) in += n;
            if (out) out += n;
            bytes -= n;
            m_offset += uint32_t(n);
            if (m_offset >= h->buflen) {
                if (m_input) {
                    h->recorded = m_offset;
                    h->order = ++m_order;
                }
                h->flags.store(WHDR_DONE, std::memory_order_release);
                m_first = (m_first + 1) % QUEUELEN;
                --m_count;
                m_offset = 0;
                used[nused++] = h;
            }
        }
        if (!m_input && bytes > 0) {
            // Nothing left to play: finish this device buffer with silence and end the stream.
            std::memset(out, 0, bytes);
            m_ending = true;
            result = paComplete;
        }
        g.unlock();
        for (size_t i = 0; i < nused; ++i)
            postmsg(m_window, m_input ? MM_WIM_DATA : MM_WOM_DONE, 0, intptr_t(used[i]));
        return result;
    }

    const bool m_input;
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
    uint32_t m_offset = 0;    // bytes of the first queued block already moved
    uint64_t m_order = 0;     // blocks returned so far (input)
    bool m_ending = false;    // the output callback returned paComplete
};

std::unique_ptr<Cwavedev> openstream(bool input, int device, const Waveformat& fmt, Cwindow* w)
{
    auto s = std::make_unique<Cpastream>(input, w, int(fmt.channels) * (fmt.bits / 8));
    if (!s->open(device, fmt)) return nullptr;
    return s;
}

}  // namespace

std::unique_ptr<Cwavedev> Cpawave::openout(int device, const Waveformat& fmt, Cwindow* w)
{
    return ::openstream(false, device, fmt, w);
}

std::unique_ptr<Cwavedev> Cpawave::openin(int device, const Waveformat& fmt, Cwindow* w)
{
    return ::openstream(true, device, fmt, w);
}
