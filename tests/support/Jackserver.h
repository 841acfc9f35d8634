#pragma once
// A JACK server with the dummy backend for MIDI device tests, started and stopped by the test
// under a name no other test run uses, and a virtual JACK MIDI input that collects what the
// program sends.
#include "support/Tempdir.h"

#include <rtmidi/RtMidi.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace jackfixture {

using namespace std::chrono_literals;
using Msg = std::vector<uint8_t>;

inline std::string findjackd()
{
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        const std::string p = std::string(dir) + "/jackd";
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return "";
}

// A JACK server of the tests' own, under a name no other test run uses.
class Jackserver {
public:
    bool absent = false;
    std::string problem;   // why it did not start, when jackd exists

    Jackserver()
    {
        const std::string jackd = findjackd();
        if (jackd.empty()) {
            absent = true;
            return;
        }
        m_name = "cantorix-tests-" + std::to_string(getpid());
        setenv("JACK_DEFAULT_SERVER", m_name.c_str(), 1);
        setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
        m_log = m_dir.file("jackd.log");
        // A long client timeout keeps a busy machine from dropping the test clients.
        std::vector<std::string> args = {jackd, "-n", m_name, "-r", "-t", "10000", "-d", "dummy", "-r", "44100",
                                         "-p", "256"};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t acts;
        posix_spawn_file_actions_init(&acts);
        posix_spawn_file_actions_addopen(&acts, 1, m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&acts, 1, 2);
        const int rc = posix_spawn(&m_pid, jackd.c_str(), &acts, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&acts);
        if (rc != 0) {
            m_pid = 0;
            problem = "jackd could not be started";
            return;
        }
        // Ready once a client can register a port on it; give up after 15 s or if it exits.
        const auto limit = std::chrono::steady_clock::now() + 15s;
        while (std::chrono::steady_clock::now() < limit) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = 0;
                problem = "jackd exited: " + log();
                return;
            }
            if (probe()) return;
            std::this_thread::sleep_for(100ms);
        }
        problem = "jackd did not become ready: " + log();
    }

    ~Jackserver()
    {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        const auto limit = std::chrono::steady_clock::now() + 5s;
        int status = 0;
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > limit) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
    }

    std::string log() const
    {
        const Bytes b = readbytes(m_log);
        return std::string(b.begin(), b.end());
    }

private:
    // A virtual port never counts as "open" to RtMidi; success is the absence of an error.
    static bool probe()
    {
        try {
            RtMidiIn in(RtMidi::UNIX_JACK, "cantorix-probe");
            bool failed = false;
            in.setErrorCallback(
                [](RtMidiError::Type t, const std::string&, void* f) {
                    if (t != RtMidiError::WARNING && t != RtMidiError::DEBUG_WARNING)
                        *static_cast<bool*>(f) = true;
                },
                &failed);
            in.openVirtualPort("probe");
            return !failed;
        } catch (const RtMidiError&) {
            return false;
        }
    }

    Tempdir m_dir;
    std::string m_name, m_log;
    pid_t m_pid = 0;
};

// The receiving end: a virtual JACK MIDI input that collects every message.
class Receiver {
public:
    Receiver() : m_in(RtMidi::UNIX_JACK, "cantorix-tests", 4096)
    {
        m_in.ignoreTypes(false, false, false);   // keep system exclusive
        m_in.openVirtualPort("receiver");
    }
    std::string name() const { return "cantorix-tests:receiver"; }
    // Waits until n messages have arrived (or 5 s have passed) and returns them.
    std::vector<Msg> take(size_t n)
    {
        const auto limit = std::chrono::steady_clock::now() + 5s;
        std::vector<unsigned char> m;
        while (m_got.size() < n && std::chrono::steady_clock::now() < limit) {
            m_in.getMessage(&m);
            if (m.empty()) std::this_thread::sleep_for(2ms);
            else m_got.push_back(Msg(m.begin(), m.end()));
        }
        return m_got;
    }

private:
    RtMidiIn m_in;
    std::vector<Msg> m_got;
};

}  // namespace jackfixture
