#include "platform/devices/Cpalib.h"

#include <dlfcn.h>

namespace {

// Opened once for the life of the process and never closed: streams and PortAudio's own threads
// may outlive any one caller. Null when it cannot be opened.
void* library()
{
    static void* const lib = dlopen("libportaudio.so.2", RTLD_NOW | RTLD_LOCAL);
    return lib;
}

// The library's function `name`, of PortAudio's own type F, or null.
template <class F>
F entry(const char* name)
{
    void* lib = library();
    return lib ? reinterpret_cast<F>(dlsym(lib, name)) : nullptr;
}

} // namespace

// Each call finds its function once; without it, the call fails as PortAudio does uninitialized.
#define PACALL(fn, fail, ...)                                   \
    static const auto f = entry<decltype(&Pa_##fn)>("Pa_" #fn); \
    return f ? f(__VA_ARGS__) : (fail)

namespace pa {

PaError Initialize() { PACALL(Initialize, paNotInitialized); }
PaError Terminate() { PACALL(Terminate, paNotInitialized); }
PaDeviceIndex GetDeviceCount() { PACALL(GetDeviceCount, 0); }
PaDeviceIndex GetDefaultInputDevice() { PACALL(GetDefaultInputDevice, paNoDevice); }
PaDeviceIndex GetDefaultOutputDevice() { PACALL(GetDefaultOutputDevice, paNoDevice); }
const PaDeviceInfo* GetDeviceInfo(PaDeviceIndex device) { PACALL(GetDeviceInfo, nullptr, device); }
PaError OpenStream(PaStream** stream, const PaStreamParameters* in, const PaStreamParameters* out, double rate,
                   unsigned long frames, PaStreamFlags flags, PaStreamCallback* callback, void* user)
{
    PACALL(OpenStream, paNotInitialized, stream, in, out, rate, frames, flags, callback, user);
}
PaError CloseStream(PaStream* stream) { PACALL(CloseStream, paNotInitialized, stream); }
PaError StartStream(PaStream* stream) { PACALL(StartStream, paNotInitialized, stream); }
PaError AbortStream(PaStream* stream) { PACALL(AbortStream, paNotInitialized, stream); }
PaError IsStreamStopped(PaStream* stream) { PACALL(IsStreamStopped, paNotInitialized, stream); }
PaError WriteStream(PaStream* stream, const void* buffer, unsigned long frames)
{
    PACALL(WriteStream, paNotInitialized, stream, buffer, frames);
}
const PaStreamInfo* GetStreamInfo(PaStream* stream) { PACALL(GetStreamInfo, nullptr, stream); }
const char* GetErrorText(PaError error) { PACALL(GetErrorText, "the audio library could not be loaded", error); }

} // namespace pa

#undef PACALL
