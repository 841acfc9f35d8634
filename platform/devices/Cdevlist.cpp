#include "platform/Cdevlist.h"
#include "platform/devices/Cmidiportrt.h"
#include "platform/devices/Cpalib.h"

namespace {

std::string cut(const char* name)
{
    std::string s = name ? name : "";
    if (s.size() > Cdevlist::MAXNAME) s.resize(Cdevlist::MAXNAME);
    return s;
}

// PortAudio's own reference count keeps this safe beside a device layer that is also
// initialized.
std::vector<std::string> wavedevices(bool output)
{
    std::vector<std::string> names;
    if (pa::Initialize() != paNoError) return names;
    const PaDeviceIndex n = pa::GetDeviceCount();
    for (PaDeviceIndex i = 0; i < n; ++i) {
        const PaDeviceInfo* info = pa::GetDeviceInfo(i);
        if (!info) continue;
        if ((output ? info->maxOutputChannels : info->maxInputChannels) > 0)
            names.push_back(cut(info->name));
    }
    pa::Terminate();
    return names;
}

}

std::vector<std::string> Cdevlist::waveouts() { return wavedevices(true); }
std::vector<std::string> Cdevlist::waveins() { return wavedevices(false); }

std::vector<std::string> Cdevlist::midiouts()
{
    // The same ports, in the same order, as the MIDI output opens by index (ALSA sequencer, or
    // JACK where there is none).
    std::vector<std::string> names;
    for (const std::string& p : Crtmidi().ports()) names.push_back(cut(p.c_str()));
    return names;
}

Cdevnames Cdevlist::all()
{
    return Cdevnames{waveouts(), waveins(), midiouts()};
}
