#include "bank/Ccompsf.h"
#include "bank/Csf2writer.h"
#include "cli/Ccommand.h"

#include "audio/Cnewfil.h"
#include "platform/Cmsgbox.h"

#include <cerrno>
#include <cstdio>

int cmdunpack(const Args& args)
{
    if (wantshelp(args) || args.size() != 2) {
        std::fprintf(wantshelp(args) ? stdout : stderr,
                     "usage: cantorix-cli unpack IN.csf OUT.sf2\n\n"
                     "Writes the compressed bank IN.csf as a SoundFont 2 file OUT.sf2 with the same preset,\n"
                     "instrument and sample records and bit-identical sample audio (modulator lists hold\n"
                     "only their terminal records). Exits 1 when IN cannot be read or OUT cannot be written\n"
                     "(a read-only OUT is refused), and 128 + the signal's number when interrupted by\n"
                     "SIGINT, SIGTERM or SIGHUP; an earlier OUT then stays as it was.\n");
        return wantshelp(args) ? 0 : 2;
    }
    guardoutput("unpack", args[1]);
    if (const int bad = writable("unpack", args[1], "sf2", {args[0]})) return bad;
    if (!readable("unpack", args[0])) return 1;
    Ccompsf bank(args[0]);
    Caudio audio;
    if (!bank.rdfile() || !Cpacker::rdaudio(bank, audio)) return 1;
    std::string name = args[0];
    if (const size_t slash = name.find_last_of('/'); slash != std::string::npos) name.erase(0, slash + 1);
    if (!Csf2writer::wrfile(bank, audio, args[1], name)) {
        std::fprintf(stderr, "cantorix-cli unpack: %s: could not write the SoundFont file: %s\n", args[1].c_str(),
                     reason(errno).c_str());
        return 1;
    }
    return 0;
}
