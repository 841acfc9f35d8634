#include "cli/Ccommand.h"

#include <cstdio>

int cmdinfo(const Args& args)
{
    if (wantshelp(args) || args.size() != 1) {
        std::fprintf(args.size() == 1 ? stdout : stderr,
                     "usage: cantorix-cli info FILE\n\n"
                     "FILE is a MIDI or karaoke file (.mid, .midi, .kar), a WAVE file (.wav) or a sound\n"
                     "bank (.sf2, .sf3, .csf). Prints what the program knows of it; exits 1 when it cannot be read.\n");
        return wantshelp(args) ? 0 : 2;
    }
    const std::string& path = args[0];
    const std::string ext = extof(path);
    if (ext == "mid" || ext == "midi" || ext == "kar") return infomidi(path);
    if (ext == "wav") return infowave(path);
    if (ext == "sf2" || ext == "sf3" || ext == "csf") return infobank(path);
    std::fprintf(stderr, "cantorix-cli: %s: not a MIDI, karaoke, WAVE or sound bank file\n", path.c_str());
    return 2;
}
