// cantorix-cli: the command-line face of the core. Message boxes print as "caption: text" on
// standard error (the default sink of the message-box function).
#include "cli/Ccommand.h"

#include "audio/Cnewfil.h"
#include "convert/Ccontext.h"
#include "platform/Cmsgbox.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

struct Csubcmd {
    const char* name;
    int (*run)(const Args&);
    const char* summary;
};

const Csubcmd SUBCMDS[] = {
    {"convert", cmdconvert, "convert MIDI and karaoke files into WAVE files"},
    {"dump", cmddump, "print a MIDI file's events as JSON lines"},
    {"info", cmdinfo, "describe a MIDI, karaoke, WAVE or sound bank file"},
    {"play", cmdplay, "play MIDI and karaoke files through the built-in synthesizer, with their lyrics"},
    {"pack", cmdpack, "write a SoundFont 2 bank as a compressed bank (.csf)"},
    {"unpack", cmdunpack, "write a compressed bank (.csf) as a SoundFont 2 bank"},
};

void usage(FILE* out)
{
    std::fprintf(out, "usage: cantorix-cli COMMAND [ARGS...]\n\ncommands:\n");
    for (const Csubcmd& c : SUBCMDS) std::fprintf(out, "  %-8s %s\n", c.name, c.summary);
    std::fprintf(out, "\n'cantorix-cli COMMAND --help' describes one command.\n");
}

}  // namespace

std::string extof(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return lowercase(path.substr(dot + 1));
}

bool readable(const char* cmd, const std::string& path)
{
    const int fd = openinput(path);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    std::fprintf(stderr, "cantorix-cli %s: %s: %s\n", cmd, path.c_str(), reason(errno).c_str());
    return false;
}

int writable(const char* cmd, const std::string& out, const char* ext, const Args& ins)
{
    if (extof(out) != ext) {
        std::fprintf(stderr, "cantorix-cli %s: %s: the output must be a .%s file\n", cmd, out.c_str(), ext);
        return 2;
    }
    for (const std::string& in : ins) {
        if (samefile(in, out)) {
            std::fprintf(stderr, "cantorix-cli %s: %s: is the input file %s; nothing written\n", cmd, out.c_str(),
                         in.c_str());
            return 1;
        }
    }
    return 0;
}

bool wantshelp(const Args& args)
{
    return std::find_if(args.begin(), args.end(), [](const std::string& a) { return a == "--help" || a == "-h"; }) != args.end();
}

int main(int argc, char** argv)
{
    Cnewfil::guardsignals();
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    for (const Csubcmd& c : SUBCMDS)
        if (!std::strcmp(argv[1], c.name)) return c.run(Args(argv + 2, argv + argc));
    std::fprintf(stderr, "cantorix-cli: unknown command '%s'\n", argv[1]);
    usage(stderr);
    return 2;
}
