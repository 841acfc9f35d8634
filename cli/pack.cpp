#include "bank/Cpacker.h"
#include "cli/Ccommand.h"

#include "audio/Cnewfil.h"
#include "platform/Cmsgbox.h"

#include <cerrno>
#include <cstdio>

int cmdpack(const Args& args)
{
    if (wantshelp(args) || args.size() != 2) {
        std::fprintf(wantshelp(args) ? stdout : stderr,
                     "usage: cantorix-cli pack IN.sf2 OUT.csf\n\n"
                     "Writes the SoundFont 2 bank IN.sf2 (or IN.sf3, whose Ogg Vorbis samples are decoded)\n"
                     "as a compressed bank OUT.csf: the same preset, instrument and sample records\n"
                     "(modulators dropped) and losslessly coded sample audio. Exits 1 when IN cannot be\n"
                     "read or OUT cannot be written\n"
                     "(a read-only OUT is refused), and 128 + the signal's number when interrupted by\n"
                     "SIGINT, SIGTERM or SIGHUP; an earlier OUT then stays as it was.\n");
        return wantshelp(args) ? 0 : 2;
    }
    guardoutput("pack", args[1]);
    if (const int bad = writable("pack", args[1], "csf", {args[0]})) return bad;
    if (!readable("pack", args[0])) return 1;
    Csf2file bank(args[0]);
    Caudio audio;
    if (!bank.rdfile() || !Cpacker::rdaudio(bank, audio)) return 1;
    if (!Cpacker::wrfile(bank, audio, args[1])) {
        std::fprintf(stderr, "cantorix-cli pack: %s: could not write the compressed bank: %s\n", args[1].c_str(),
                     reason(errno).c_str());
        return 1;
    }
    return 0;
}
