#include "tools/Cconsole.h"

#include "platform/Cmsgbox.h"

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

struct Cconsole::Hooks {
    std::mutex lock;
    Finishedfn finished;
    Outputfn output;

    Outputfn outputfn()
    {
        std::lock_guard<std::mutex> g(lock);
        return output;
    }
    Finishedfn finishedfn()
    {
        std::lock_guard<std::mutex> g(lock);
        return finished;
    }
    bool hasoutput()
    {
        std::lock_guard<std::mutex> g(lock);
        return bool(output);
    }
};

struct Cconsole::Run {
    // Guards pid (the child while not yet reaped; 0 when there is none) and wakes the worker's
    // poll early on abort.
    std::mutex lock;
    std::condition_variable wake;
    pid_t pid = 0;
    // Parent ends of the two pipes; only the worker reads or closes them.
    int outfd = -1;   // read end of the child's output pipe
    int infd = -1;    // write end of the child's input pipe; nothing is written to it
    // Child ends, closed by the worker right after the child has been created.
    int childout = -1;
    int childin = -1;

    std::atomic<bool> running{false};
    std::atomic<bool> started{false};
    std::atomic<uint32_t> exitcode{0};

    std::mutex qlock;
    std::deque<char> queue;   // output not yet taken by the owner, without "\r" and "\n"

    size_t queued()
    {
        std::lock_guard<std::mutex> g(qlock);
        return queue.size();
    }
};

namespace {

void closefd(int& fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

uint32_t decodestatus(int status)
{
    if (WIFEXITED(status)) return uint32_t(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return uint32_t(128 + WTERMSIG(status));   // as shells report it
    return uint32_t(status);
}

int available(int fd)
{
    int n = 0;
    if (fd < 0 || ::ioctl(fd, FIONREAD, &n) != 0) return 0;
    return n;
}

// Reads what the pipe holds right now, queues it without line ends and notifies the owner at
// every line end and after the last byte of the batch, each time with the queue's size.
void readavail(Cconsole::Run& run, Cconsole::Hooks& hooks)
{
    if (run.outfd < 0 || !hooks.hasoutput()) return;
    const int n = available(run.outfd);
    if (n <= 0) return;
    std::vector<char> bytes(size_t(n), 0);
    int got = 0;
    while (got < n) {
        const ssize_t r = ::read(run.outfd, bytes.data() + got, size_t(n - got));
        if (r <= 0) break;
        got += int(r);
    }
    for (int i = 0; i < got; ++i) {
        const char c = bytes[size_t(i)];
        const int left = got - 1 - i;   // bytes of this batch after c
        if (c == '\r') continue;
        size_t size = 0;
        if (c == '\n') {
            size = run.queued();
        } else {
            std::lock_guard<std::mutex> g(run.qlock);
            run.queue.push_back(c);
            if (left == 0) size = run.queue.size();
        }
        if (size > 0) {
            if (Cconsole::Outputfn fn = hooks.outputfn()) fn(int(size));
        }
    }
}

void drain(Cconsole::Run& run, Cconsole::Hooks& hooks)
{
    readavail(run, hooks);
    while (hooks.hasoutput() && available(run.outfd) > 0) readavail(run, hooks);
}

void work(std::shared_ptr<Cconsole::Run> run, std::shared_ptr<Cconsole::Hooks> hooks,
          std::string program, std::string arguments)
{
    run->exitcode = 0;
    // The program path is the whole program string without its separating space; the argument
    // text is split, never handed to a shell.
    std::string path = program;
    if (!path.empty() && path.back() == ' ') path.pop_back();
    std::vector<std::string> args = Cconsole::splitargs(arguments);
    args.insert(args.begin(), path);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    int rc = -1;
    if (run->childout >= 0 && run->childin >= 0) {
        posix_spawn_file_actions_t acts;
        posix_spawn_file_actions_init(&acts);
        posix_spawn_file_actions_adddup2(&acts, run->childin, 0);
        posix_spawn_file_actions_adddup2(&acts, run->childout, 1);
        posix_spawn_file_actions_adddup2(&acts, run->childout, 2);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigdelset(&all, SIGSTOP);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        rc = posix_spawn(&pid, path.c_str(), &acts, &attr, argv.data(), environ);
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&acts);
    }
    run->started = rc == 0;
    closefd(run->childout);
    closefd(run->childin);

    if (rc == 0) {
        {
            std::unique_lock<std::mutex> lock(run->lock);
            run->pid = pid;
            run->exitcode = Cconsole::STILLACTIVE;
            if (!run->running) ::kill(pid, SIGKILL);   // aborted while the child was being created
        }
        bool ended = false;
        while (run->running && !ended) {
            {
                std::unique_lock<std::mutex> lock(run->lock);
                run->wake.wait_for(lock, std::chrono::milliseconds(Cconsole::POLLMS),
                                   [&] { return !run->running; });
            }
            drain(*run, *hooks);
            std::lock_guard<std::mutex> lock(run->lock);
            int status = 0;
            if (run->pid > 0 && ::waitpid(run->pid, &status, WNOHANG) == run->pid) {
                run->exitcode = decodestatus(status);
                run->pid = 0;
                ended = true;
            }
        }
        // What the program wrote just before it ended is still in the pipe: take it too.
        if (ended) drain(*run, *hooks);
        run->running = false;
        {
            // After abort the child has been killed; reap it here, where it is known to be ours.
            std::lock_guard<std::mutex> lock(run->lock);
            int status = 0;
            if (run->pid > 0 && ::waitpid(run->pid, &status, 0) == run->pid)
                run->exitcode = decodestatus(status);
            run->pid = 0;
        }
    } else {
        run->running = false;
        msgbox(program + "\nCannot execute console program", "Cantorix", Boxicon::error);
        run->exitcode = Cconsole::NOTSTARTED;
    }
    closefd(run->outfd);
    closefd(run->infd);
    if (Cconsole::Finishedfn fn = hooks->finishedfn()) fn();
}

}  // namespace

Cconsole::Cconsole(std::string program, Finishedfn finished, Outputfn output)
    : m_program(std::move(program)), m_hooks(std::make_shared<Hooks>())
{
    m_hooks->finished = std::move(finished);
    m_hooks->output = std::move(output);
}

Cconsole::~Cconsole()
{
    // From the finished notification this runs on the worker, which touches nothing of this
    // object after the call. From any other thread the notifications are detached first, so a
    // run still ending reports to no one.
    {
        std::lock_guard<std::mutex> g(m_hooks->lock);
        m_hooks->finished = nullptr;
        m_hooks->output = nullptr;
    }
    abort();
}

std::shared_ptr<Cconsole::Run> Cconsole::current() const
{
    std::lock_guard<std::mutex> g(m_runlock);
    return m_run;
}

void Cconsole::start(const std::string& arguments)
{
    if (std::shared_ptr<Run> old = current(); old && old->running) return;
    abort();
    m_arguments = arguments;
    auto run = std::make_shared<Run>();
    run->started = true;
    run->running = true;   // until the worker knows whether the child could be created
    int out[2] = {-1, -1}, in[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) == 0) {
        run->outfd = out[0];
        run->childout = out[1];
    }
    if (::pipe2(in, O_CLOEXEC) == 0) {
        run->childin = in[0];
        run->infd = in[1];
    }
    {
        std::lock_guard<std::mutex> g(m_runlock);
        m_run = run;
    }
    std::thread(work, run, m_hooks, m_program, m_arguments).detach();
}

void Cconsole::abort()
{
    const std::shared_ptr<Run> run = current();
    if (!run) return;
    std::lock_guard<std::mutex> lock(run->lock);
    if (run->pid > 0) ::kill(run->pid, SIGKILL);
    run->running = false;
    run->wake.notify_all();
}

int Cconsole::readout(char* dest, int n)
{
    int count = 0;
    const std::shared_ptr<Run> run = current();
    if (run && n > 0) {
        std::lock_guard<std::mutex> g(run->qlock);
        while (count < n && !run->queue.empty()) {
            dest[count++] = run->queue.front();
            run->queue.pop_front();
        }
    }
    dest[count] = 0;
    return count;
}

uint32_t Cconsole::exitcode() const
{
    const std::shared_ptr<Run> run = current();
    return run ? run->exitcode.load() : 0;
}

bool Cconsole::started() const
{
    const std::shared_ptr<Run> run = current();
    return run && run->started;
}

bool Cconsole::running() const
{
    const std::shared_ptr<Run> run = current();
    return run && run->running;
}

std::vector<std::string> Cconsole::splitargs(const std::string& text)
{
    std::vector<std::string> args;
    size_t i = 0;
    const size_t n = text.size();
    for (;;) {
        while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i >= n) break;
        std::string arg;
        bool quoted = false;
        while (i < n) {
            const char c = text[i];
            if (!quoted && (c == ' ' || c == '\t')) break;
            if (c == '\\') {
                size_t slashes = 0;
                while (i < n && text[i] == '\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && text[i] == '"') {
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2) {
                        arg += '"';
                        ++i;
                    }
                    // an even count leaves the quote to the quoting rule below
                } else {
                    arg.append(slashes, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (quoted && i + 1 < n && text[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg += c;
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}
