#include "platform/Cdevlist.h"
#include "platform/devices/Cmidiportrt.h"
#include "platform/devices/Cpalib.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string cut(const char* name)
{
    std::string s = name ? name : "";
    if (s.size() > Cdevlist::MAXNAME) s.resize(Cdevlist::MAXNAME);
    return s;
}

// PortAudio's own reference count keeps this safe beside a device layer that is also
// initialized.
std::vector<std::string> wavedevices(bool output)
{
    std::vector<std::string> names;
    if (pa::Initialize() != paNoError) return names;
    const PaDeviceIndex n = pa::GetDeviceCount();
    for (PaDeviceIndex i = 0; i < n; ++i) {
        const PaDeviceInfo* info = pa::GetDeviceInfo(i);
        if (!info) continue;
        if ((output ? info->maxOutputChannels : info->maxInputChannels) > 0)
            names.push_back(cut(info->name));
    }
    pa::Terminate();
    return names;
}

}

std::vector<std::string> Cdevlist::waveouts() { return wavedevices(true); }
std::vector<std::string> Cdevlist::waveins() { return wavedevices(false); }

std::vector<std::string> Cdevlist::midiouts()
{
    // The same ports, in the same order, as the MIDI output opens by index (ALSA sequencer, or
    // JACK where there is none).
    std::vector<std::string> names;
    for (const std::string& p : Crtmidi().ports()) names.push_back(cut(p.c_str()));
    return names;
}

namespace {

constexpr int PROBEMS = 15000;   // a device system that has not answered by then never will

// The child's side: one line per output device ("O name"), then the default's index among them
// ("D i"), or "E code" when PortAudio does not start. Exits without running the parent's exit
// handlers.
[[noreturn]] void probechild(int out)
{
    std::string lines;
    if (pa::Initialize() != paNoError) {
        lines = "E\n";
    } else {
        const PaDeviceIndex n = pa::GetDeviceCount(), def = pa::GetDefaultOutputDevice();
        int outs = 0, found = -1;
        for (PaDeviceIndex i = 0; i < n; ++i) {
            const PaDeviceInfo* info = pa::GetDeviceInfo(i);
            if (!info || info->maxOutputChannels <= 0) continue;
            if (i == def) found = outs;
            std::string name = cut(info->name);
            for (char& c : name)
                if (c == '\n') c = ' ';
            lines += "O " + name + "\n";
            ++outs;
        }
        lines += "D " + std::to_string(found) + "\n";
    }
    for (size_t done = 0; done < lines.size();) {
        const ssize_t w = ::write(out, lines.data() + done, lines.size() - done);
        if (w <= 0) break;
        done += size_t(w);
    }
    _exit(0);
}

// The last line of text that is not empty.
std::string lastline(const std::string& text)
{
    const size_t end = text.find_last_not_of("\r\n \t");
    if (end == std::string::npos) return {};
    const size_t nl = text.find_last_of('\n', end);
    const size_t start = nl == std::string::npos ? 0 : nl + 1;
    return text.substr(start, end + 1 - start);
}

}  // namespace

Cwaveprobe Cdevlist::probewaveouts()
{
    Cwaveprobe r;
    int data[2], err[2];
    if (::pipe2(data, O_CLOEXEC) != 0) {
        r.why = std::strerror(errno);
        return r;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        r.why = std::strerror(errno);
        ::close(data[0]);
        ::close(data[1]);
        return r;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(data[0]);
        ::close(err[0]);
        ::dup2(err[1], STDERR_FILENO);
        probechild(data[1]);
    }
    ::close(data[1]);
    ::close(err[1]);
    if (pid < 0) {
        r.why = std::strerror(errno);
        ::close(data[0]);
        ::close(err[0]);
        return r;
    }
    // Both pipes are drained together, so that a child printing much to standard error never
    // waits on a full pipe.
    std::string got[2];
    pollfd p[2] = {{data[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    bool late = false;
    while (p[0].fd >= 0 || p[1].fd >= 0) {
        const int n = ::poll(p, 2, PROBEMS);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            late = true;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || !p[i].revents) continue;
            char b[4096];
            const ssize_t k = ::read(p[i].fd, b, sizeof b);
            if (k > 0) {
                got[i].append(b, size_t(k));
            } else if (k == 0 || errno != EINTR) {
                ::close(p[i].fd);
                p[i].fd = -1;
            }
        }
    }
    for (pollfd& q : p)
        if (q.fd >= 0) ::close(q.fd);
    if (late) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (late) {
        r.why = "the audio system did not answer within " + std::to_string(PROBEMS / 1000) + " seconds";
        return r;
    }
    const std::string said = lastline(got[1]);
    if (WIFSIGNALED(status)) {
        r.why = (said.empty() ? std::string() : said + " ") + "(the audio system ended with signal " +
                std::to_string(WTERMSIG(status)) + ", " + strsignal(WTERMSIG(status)) + ")";
        return r;
    }
    const std::string& lines = got[0];
    if (lines.rfind("E", 0) == 0 || lines.empty()) {
        r.why = said.empty() ? "the audio system could not start" : said;
        return r;
    }
    for (size_t at = 0; at < lines.size();) {
        size_t end = lines.find('\n', at);
        if (end == std::string::npos) end = lines.size();
        const std::string line = lines.substr(at, end - at);
        if (line.rfind("O ", 0) == 0) r.waveout.push_back(line.substr(2));
        if (line.rfind("D ", 0) == 0) r.defaultout = std::atoi(line.c_str() + 2);
        at = end + 1;
    }
    r.ok = true;
    return r;
}

Cdevnames Cdevlist::all()
{
    return Cdevnames{waveouts(), waveins(), midiouts()};
}
