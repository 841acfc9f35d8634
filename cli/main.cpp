// cantorix-cli: the command-line face of the core. Message boxes print as "caption: text" on
// standard error (the default sink of the message-box function).
#include "cli/Ccommand.h"

#include "audio/Cnewfil.h"
#include "platform/Cmsgbox.h"
#include "settings/Csettings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// play runs in a program of its own beside this one, cantorix-play, which links the libraries
// of the audio devices. This program is linked statically, which keeps a conversion's memory
// to the code it runs, and a statically linked program cannot load those libraries. The player
// takes this process over with the same arguments, terminal and signals.
int launchplay(const Args& args)
{
    const std::string path = progfolder() + "/cantorix-play";
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    std::fprintf(stderr, "cantorix-cli play: cannot start %s: %s\n", path.c_str(), reason(errno).c_str());
    return 1;
}

struct Csubcmd {
    const char* name;
    int (*run)(const Args&);
    const char* summary;
};

const Csubcmd SUBCMDS[] = {
    {"convert", cmdconvert, "convert MIDI and karaoke files into WAVE files"},
    {"dump", cmddump, "print a MIDI file's events as JSON lines"},
    {"info", cmdinfo, "describe a MIDI, karaoke, WAVE or sound bank file"},
    {"play", launchplay, "play MIDI and karaoke files through the built-in synthesizer, with their lyrics"},
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
