#include "audio/Cwavfil.h"
#include "cli/Ccommand.h"

#include <cinttypes>
#include <cstdio>

// Prints the facts the Properties dialog shows for a WAVE file, plus the frame count. A file
// that cannot be read has already printed its "Error!" line through the message-box function.
int infowave(const std::string& path)
{
    Cwavfil wav(path);
    if (!wav.openrd()) return 1;
    const int32_t frames = wav.nframes;
    const Wavfmt fmt = wav.fmt;
    wav.close();
    const double usec = wav.duration();
    const unsigned secs = unsigned(usec / 1e6);
    std::printf("File: %s\n", path.c_str());
    std::printf("Audio Format: PCM, %u Sps, %u bits, %s\n", unsigned(fmt.rate), unsigned(fmt.bits),
                fmt.channels > 1 ? "Stereo" : "Mono");
    std::printf("Frames: %" PRId32 "\n", frames);
    std::printf("Media length: %02u:%02u (%.3f s)\n", secs / 60, secs % 60, usec / 1e6);
    return 0;
}
