#pragma once
// Runs one console program with its standard output and standard error in one pipe and its
// standard input on a pipe that never carries data, polls it every 100 ms on a worker thread,
// and hands its output to the owner as text without line ends.
//
// Threads: construct, start, abort, readout and destroy on the owner's thread. Both
// notifications run on the worker thread; inside them the owner may call readout, and from the
// finished notification it may destroy the runner (the worker touches it no more after that
// call). The program is never run through a shell: the argument text is split into an argument
// vector by the double-quote rules (see splitargs).
//
// Handles: the parent's pipe ends belong to the worker, which alone closes them once its loop has
// ended; abort only kills the child and clears the running flag, so no descriptor is closed while
// the worker is reading from it. The child is reaped by the worker under the same lock that abort
// takes to kill it, so abort never signals a process id that was already reaped.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Cconsole {
public:
    using Finishedfn = std::function<void()>;
    using Outputfn = std::function<void(int count)>;

    static constexpr uint32_t STILLACTIVE = 259;   // exit code while the program runs
    static constexpr uint32_t NOTSTARTED = 0xFFFFFFFF;   // exit code when it could not be started
    static constexpr int POLLMS = 100;

    // program: full path of the program, followed by one space (the separator before the
    // arguments); the path is taken whole, spaces in it included.
    Cconsole(std::string program, Finishedfn finished, Outputfn output);
    virtual ~Cconsole();
    Cconsole(const Cconsole&) = delete;
    Cconsole& operator=(const Cconsole&) = delete;

    // Starts the program with this argument text and returns at once; does nothing while a
    // program of this runner is running.
    void start(const std::string& arguments);
    // Terminates the running program, if any; the worker then ends within one polling period and
    // calls the finished notification.
    void abort();
    // Moves up to n queued bytes into dest and ends them with a zero byte (dest holds n + 1).
    int readout(char* dest, int n);

    // Readable after the finished notification.
    uint32_t exitcode() const;
    bool started() const;
    bool running() const;
    const std::string& program() const { return m_program; }
    const std::string& arguments() const { return m_arguments; }

    // Splits argument text the way console programs split their command line: blanks (space,
    // tab) separate arguments outside double quotes; a double quote starts or ends quoting and is
    // removed; inside quotes "" gives one literal quote; 2n backslashes before a quote give n
    // backslashes and the quote acts as above, 2n+1 give n backslashes and a literal quote;
    // other backslashes are literal.
    static std::vector<std::string> splitargs(const std::string& text);

    struct Run;     // one run of the program: pipes, child, queue; shared with its worker
    struct Hooks;   // the owner's notifications, cleared when the runner is destroyed

private:
    std::string m_program;
    std::string m_arguments;
    std::shared_ptr<Run> current() const;

    std::shared_ptr<Hooks> m_hooks;
    // The latest run. Guarded, because a worker still ending after abort may call readout from
    // its notification while the owner starts the next run.
    mutable std::mutex m_runlock;
    std::shared_ptr<Run> m_run;
};
