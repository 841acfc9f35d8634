#pragma once
// PortAudio, opened on the first call rather than linked: a program that only converts files
// (cantorix-cli convert) then never maps the library and the sound servers' libraries it pulls
// in, about 0.8 MB of resident memory. The calls keep PortAudio's names and types; when the
// library cannot be opened, Initialize fails and the others report no device and no stream.
// Each function is looked up on its first call.
#include <portaudio.h>

namespace pa {

PaError Initialize();
PaError Terminate();
PaDeviceIndex GetDeviceCount();
PaDeviceIndex GetDefaultInputDevice();
PaDeviceIndex GetDefaultOutputDevice();
const PaDeviceInfo* GetDeviceInfo(PaDeviceIndex device);
PaError OpenStream(PaStream** stream, const PaStreamParameters* in, const PaStreamParameters* out, double rate,
                   unsigned long frames, PaStreamFlags flags, PaStreamCallback* callback, void* user);
PaError CloseStream(PaStream* stream);
PaError StartStream(PaStream* stream);
PaError AbortStream(PaStream* stream);
PaError IsStreamStopped(PaStream* stream);
PaError WriteStream(PaStream* stream, const void* buffer, unsigned long frames);
const PaStreamInfo* GetStreamInfo(PaStream* stream);
const char* GetErrorText(PaError error);

} // namespace pa
