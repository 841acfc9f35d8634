#include "platform/devices/Cpalib.h"

#include <dlfcn.h>

#include <type_traits>

namespace {

// The entry points, all found or none.
struct Cpalib {
    decltype(&Pa_Initialize) initialize = nullptr;
    decltype(&Pa_Terminate) terminate = nullptr;
    decltype(&Pa_GetDeviceCount) devicecount = nullptr;
    decltype(&Pa_GetDefaultInputDevice) defaultinput = nullptr;
    decltype(&Pa_GetDefaultOutputDevice) defaultoutput = nullptr;
    decltype(&Pa_GetDeviceInfo) deviceinfo = nullptr;
    decltype(&Pa_OpenStream) openstream = nullptr;
    decltype(&Pa_CloseStream) closestream = nullptr;
    decltype(&Pa_StartStream) startstream = nullptr;
    decltype(&Pa_AbortStream) abortstream = nullptr;
    decltype(&Pa_IsStreamStopped) isstopped = nullptr;
    decltype(&Pa_WriteStream) writestream = nullptr;
    decltype(&Pa_GetStreamInfo) streaminfo = nullptr;
    bool ok = false;

    Cpalib()
    {
        // Opened once for the life of the process and never closed: streams and PortAudio's
        // own threads may outlive any one caller.
        void* lib = dlopen("libportaudio.so.2", RTLD_NOW | RTLD_LOCAL);
        if (!lib) return;
        auto find = [lib](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
            return fn != nullptr;
        };
        ok = find(initialize, "Pa_Initialize") && find(terminate, "Pa_Terminate") &&
             find(devicecount, "Pa_GetDeviceCount") && find(defaultinput, "Pa_GetDefaultInputDevice") &&
             find(defaultoutput, "Pa_GetDefaultOutputDevice") && find(deviceinfo, "Pa_GetDeviceInfo") &&
             find(openstream, "Pa_OpenStream") && find(closestream, "Pa_CloseStream") &&
             find(startstream, "Pa_StartStream") && find(abortstream, "Pa_AbortStream") &&
             find(isstopped, "Pa_IsStreamStopped") && find(writestream, "Pa_WriteStream") &&
             find(streaminfo, "Pa_GetStreamInfo");
    }
};

const Cpalib& lib()
{
    static const Cpalib l;
    return l;
}

} // namespace

namespace pa {

PaError Initialize()
{
    return lib().ok ? lib().initialize() : paNotInitialized;
}
PaError Terminate()
{
    return lib().ok ? lib().terminate() : paNotInitialized;
}
PaDeviceIndex GetDeviceCount()
{
    return lib().ok ? lib().devicecount() : 0;
}
PaDeviceIndex GetDefaultInputDevice()
{
    return lib().ok ? lib().defaultinput() : paNoDevice;
}
PaDeviceIndex GetDefaultOutputDevice()
{
    return lib().ok ? lib().defaultoutput() : paNoDevice;
}
const PaDeviceInfo* GetDeviceInfo(PaDeviceIndex device)
{
    return lib().ok ? lib().deviceinfo(device) : nullptr;
}
PaError OpenStream(PaStream** stream, const PaStreamParameters* in, const PaStreamParameters* out, double rate,
                   unsigned long frames, PaStreamFlags flags, PaStreamCallback* callback, void* user)
{
    return lib().ok ? lib().openstream(stream, in, out, rate, frames, flags, callback, user) : paNotInitialized;
}
PaError CloseStream(PaStream* stream)
{
    return lib().ok ? lib().closestream(stream) : paNotInitialized;
}
PaError StartStream(PaStream* stream)
{
    return lib().ok ? lib().startstream(stream) : paNotInitialized;
}
PaError AbortStream(PaStream* stream)
{
    return lib().ok ? lib().abortstream(stream) : paNotInitialized;
}
PaError IsStreamStopped(PaStream* stream)
{
    return lib().ok ? lib().isstopped(stream) : paNotInitialized;
}
PaError WriteStream(PaStream* stream, const void* buffer, unsigned long frames)
{
    return lib().ok ? lib().writestream(stream, buffer, frames) : paNotInitialized;
}
const PaStreamInfo* GetStreamInfo(PaStream* stream)
{
    return lib().ok ? lib().streaminfo(stream) : nullptr;
}

} // namespace pa
