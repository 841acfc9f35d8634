#include "platform/devices/Cmidiportrt.h"

#include <rtmidi/RtMidi.h>

#include <algorithm>
#include <unistd.h>

namespace {

// RtMidi reports errors through this callback instead of throwing once it is installed; the
// port remembers that something failed.
void onerror(RtMidiError::Type type, const std::string&, void* failed)
{
    if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING)
        *static_cast<bool*>(failed) = true;
}

// An RtMidi output client on one API, or null when that API is not available here. The RtMidi
// constructor throws when the API cannot start (no sequencer device, for one).
std::unique_ptr<RtMidiOut> client(RtMidi::Api api, bool* failed)
{
    try {
        auto out = std::make_unique<RtMidiOut>(api, "Cantorix");
        out->setErrorCallback(&onerror, failed);
        return out;
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

std::unique_ptr<RtMidiOut> pickclient(bool* failed)
{
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    for (RtMidi::Api api : {RtMidi::LINUX_ALSA, RtMidi::UNIX_JACK}) {
        if (std::find(apis.begin(), apis.end(), api) == apis.end()) continue;
        // Without the sequencer device ALSA cannot start; skip it quietly.
        if (api == RtMidi::LINUX_ALSA && access("/dev/snd/seq", F_OK) != 0) continue;
        *failed = false;
        std::unique_ptr<RtMidiOut> out = client(api, failed);
        if (out && !*failed && out->getPortCount() > 0) return out;
    }
    return nullptr;
}

class Crtport : public Cmidiport {
public:
    Crtport(std::unique_ptr<RtMidiOut> out, std::unique_ptr<bool> failed)
        : m_failed(std::move(failed)), m_out(std::move(out)) {}
    ~Crtport() override
    {
        if (m_out) m_out->closePort();
    }
    bool send(const uint8_t* bytes, size_t n) override
    {
        if (!m_out || n == 0) return false;
        *m_failed = false;
        m_out->sendMessage(bytes, n);
        return !*m_failed;
    }

private:
    std::unique_ptr<bool> m_failed;   // the error callback's flag; outlives m_out
    std::unique_ptr<RtMidiOut> m_out;
};

}  // namespace

std::vector<std::string> Crtmidi::ports()
{
    bool failed = false;
    std::vector<std::string> names;
    std::unique_ptr<RtMidiOut> out = pickclient(&failed);
    if (!out) return names;
    const unsigned n = out->getPortCount();
    for (unsigned i = 0; i < n; ++i) names.push_back(out->getPortName(i));
    return names;
}

std::unique_ptr<Cmidiport> Crtmidi::open(int index)
{
    // -1 is the built-in synthesizer, which the player opens itself: no port.
    if (index < 0) return nullptr;
    auto failed = std::make_unique<bool>(false);
    std::unique_ptr<RtMidiOut> out = pickclient(failed.get());
    if (!out) return nullptr;
    const unsigned port = unsigned(index);
    if (port >= out->getPortCount()) return nullptr;
    *failed = false;
    out->openPort(port, "Cantorix out");
    if (*failed || !out->isPortOpen()) return nullptr;
    return std::make_unique<Crtport>(std::move(out), std::move(failed));
}
