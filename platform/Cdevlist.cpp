#include "platform/Cdevlist.h"

#include <portaudio.h>
#include <RtMidi.h>

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
    if (Pa_Initialize() != paNoError) return names;
    const PaDeviceIndex n = Pa_GetDeviceCount();
    for (PaDeviceIndex i = 0; i < n; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info) continue;
        if ((output ? info->maxOutputChannels : info->maxInputChannels) > 0)
            names.push_back(cut(info->name));
    }
    Pa_Terminate();
    return names;
}

}

std::vector<std::string> Cdevlist::waveouts() { return wavedevices(true); }
std::vector<std::string> Cdevlist::waveins() { return wavedevices(false); }

std::vector<std::string> Cdevlist::midiouts()
{
    std::vector<std::string> names;
    try {
        RtMidiOut out;
        const unsigned n = out.getPortCount();
        for (unsigned i = 0; i < n; ++i) names.push_back(cut(out.getPortName(i).c_str()));
    } catch (const RtMidiError&) {
        names.clear();   // no MIDI system: an empty list
    }
    return names;
}

Cdevnames Cdevlist::all()
{
    return Cdevnames{waveouts(), waveins(), midiouts()};
}
