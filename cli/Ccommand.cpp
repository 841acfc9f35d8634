// What the subcommands of both programs share: file names, help requests and checks of the
// files named on the command line.
#include "cli/Ccommand.h"

#include "audio/Cnewfil.h"
#include "convert/Ccontext.h"
#include "platform/Cmsgbox.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
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
    if (readonly(out)) {
        std::fprintf(stderr, "cantorix-cli %s: %s: is read-only; nothing written\n", cmd, out.c_str());
        return 1;
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

namespace {

char g_interrupted[600];   // the message, written before any signal can need it
size_t g_interruptedlen = 0;

extern "C" void onoutputsignal(int sig)
{
    if (Cnewfil::renames() > 0) return;
    (void)!::write(2, g_interrupted, g_interruptedlen);
    Cnewfil::diesignal(sig);
}

}  // namespace

void guardoutput(const char* cmd, const std::string& out)
{
    const int n = std::snprintf(g_interrupted, sizeof g_interrupted, "cantorix-cli %s: interrupted; nothing written to %s\n",
                                cmd, out.c_str());
    g_interruptedlen = std::min(sizeof g_interrupted - 1, size_t(n > 0 ? n : 0));
    struct sigaction sa {};
    sa.sa_handler = onoutputsignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&sa.sa_mask, sig);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

bool wantshelp(const Args& args)
{
    return std::find_if(args.begin(), args.end(), [](const std::string& a) { return a == "--help" || a == "-h"; }) != args.end();
}
