// What the subcommands of both programs share: file names, help requests and checks of the
// files named on the command line.
#include "cli/Ccommand.h"

#include "audio/Cnewfil.h"
#include "convert/Ccontext.h"
#include "platform/Cmsgbox.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

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
