// Pulled output streams on PortAudio: the device's callback asks the renderer for each period.
#include "platform/devices/Cwaveiopa.h"

#include "platform/devices/Cpalib.h"

int padevice(int device, bool input)
{
    if (device < 0) return input ? pa::GetDefaultInputDevice() : pa::GetDefaultOutputDevice();
    const int count = pa::GetDeviceCount();
    int k = 0;
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = pa::GetDeviceInfo(i);
        if (!info) continue;
        if ((input ? info->maxInputChannels : info->maxOutputChannels) > 0) {
            if (k == device) return i;
            ++k;
        }
    }
    return paNoDevice;
}

namespace {

class Cpastream : public Cstream {
public:
    explicit Cpastream(Crenderer& r) : m_renderer(r) {}
    ~Cpastream() override
    {
        // Aborting drops what the device still holds: a closed output stops at once. Once
        // AbortStream has returned the callback runs no more, so the renderer may go.
        if (m_stream) {
            if (pa::IsStreamStopped(m_stream) == 0) pa::AbortStream(m_stream);
            pa::CloseStream(m_stream);
        }
        if (m_init) pa::Terminate();
    }

    // Empty when the stream plays, else why it does not.
    std::string open(int device, const Waveformat& fmt, int period)
    {
        if (fmt.bits != 16 || fmt.channels == 0 || fmt.rate == 0 || period <= 0) return "unsupported format";
        PaError e = pa::Initialize();
        if (e != paNoError) return pa::GetErrorText(e);
        m_init = true;
        const PaDeviceIndex dev = padevice(device, false);
        const PaDeviceInfo* info = dev == paNoDevice ? nullptr : pa::GetDeviceInfo(dev);
        if (!info) return "no such device";
        PaStreamParameters p{};
        p.device = dev;
        p.channelCount = fmt.channels;
        p.sampleFormat = paInt16;
        // Live output wants the device's shortest safe latency, not the file player's long one.
        p.suggestedLatency = info->defaultLowOutputLatency;
        e = pa::OpenStream(&m_stream, nullptr, &p, fmt.rate, unsigned(period), paNoFlag, &Cpastream::callback, this);
        if (e != paNoError) {
            m_stream = nullptr;
            return pa::GetErrorText(e);
        }
        e = pa::StartStream(m_stream);
        if (e != paNoError) return pa::GetErrorText(e);
        return {};
    }

    double latency() const override
    {
        const PaStreamInfo* info = m_stream ? pa::GetStreamInfo(m_stream) : nullptr;
        return info ? info->outputLatency : 0.0;
    }

private:
    static int callback(const void*, void* out, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags, void* self)
    {
        auto* s = static_cast<Cpastream*>(self);
        if (!out) return paContinue;
        s->m_renderer.render(static_cast<int16_t*>(out), int(frames));
        return paContinue;
    }

    Crenderer& m_renderer;
    PaStream* m_stream = nullptr;
    bool m_init = false;
};

}  // namespace

std::unique_ptr<Cstream> Cpawave::openstream(int device, const Waveformat& fmt, int period, Crenderer& r)
{
    auto s = std::make_unique<Cpastream>(r);
    m_why = s->open(device, fmt, period);
    if (!m_why.empty()) return nullptr;
    return s;
}
