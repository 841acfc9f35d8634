#include "audio/Cnewfil.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The pending temporary files of the process, in fixed storage that a signal handler can walk:
// state 0 free, 1 being filled, 2 holds a path to remove. Zero at compile time, so that the
// half megabyte stays untouched until slots are used, not written through at start-up.
constexpr int NSLOTS = 128;
struct Cslot {
    std::atomic<int> state{0};
    char path[PATH_MAX] = {};
};
constinit Cslot g_slots[NSLOTS];
std::atomic<unsigned> g_count{0};
std::atomic<unsigned> g_renames{0};   // finished files that took their names

int claim(const std::string& path)
{
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < NSLOTS; ++i) {
        int expect = 0;
        if (!g_slots[i].state.compare_exchange_strong(expect, 1)) continue;
        std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
        g_slots[i].state.store(2);
        return i;
    }
    return -1;
}

void unclaim(int slot)
{
    if (slot >= 0) g_slots[slot].state.store(0);
}

// Holds back the signals whose handlers remove temporary files while a file is created or
// renamed and the list changes with it, so that no handler sees one without the other.
class Cnosignals {
public:
    Cnosignals()
    {
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGINT);
        sigaddset(&s, SIGTERM);
        sigaddset(&s, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &s, &m_prev);
    }
    ~Cnosignals() { pthread_sigmask(SIG_SETMASK, &m_prev, nullptr); }

private:
    sigset_t m_prev;
};

// The file the destination names: a symbolic link is followed to its target.
std::string resolve(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return path;   // a dangling link is replaced like any name
    std::string r = real;
    std::free(real);
    return r;
}

}  // namespace

Cnewfil::~Cnewfil() { discard(); }

bool readonly(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // The superuser may write any file, so access(2) says yes to it; the mode bits still say
    // whether the file is meant to be written.
    if (::geteuid() == 0) return (st.st_mode & 0222) == 0;
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 && errno != ENOENT;
}

namespace {

// A name beside base that is free at this moment: base + "." + 6 hex digits + ".tmp".
std::string tempname(const std::string& dir, const std::string& base)
{
    const uint64_t t = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    const unsigned n = g_count.fetch_add(1);
    char tag[40];
    std::snprintf(tag, sizeof tag, "%06x", unsigned((t ^ (t >> 24) ^ (uint64_t(::getpid()) << 8) ^ n * 2654435761u) & 0xffffff));
    return dir + base + "." + tag + ".tmp";
}

// "/proc/PID/fd/N": the path under which this process and its children reach the open,
// nameless file fd.
std::string procpath(int fd)
{
    return "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd);
}

}  // namespace

bool Cnewfil::create(const std::string& path)
{
    discard();
    m_target = resolve(path);
    // Only a regular file can be replaced by a rename; a device, pipe or folder is refused, and
    // so is a file whose mode forbids writing it (EACCES).
    struct stat st {};
    if (::stat(m_target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : ESPIPE;
        return false;
    }
    if (readonly(m_target)) {
        errno = EACCES;
        return false;
    }
    const size_t slash = m_target.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : m_target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? m_target : m_target.substr(slash + 1);
    m_dir = dir;
    m_base = base;
    // A file without a name in the destination folder: nothing is left behind whatever ends the
    // process. It gets a name only at commit. Where the file system cannot make one (or /proc,
    // through which it is linked, is missing), the file is made under a unique name instead.
    if (::access("/proc/self/fd", X_OK) == 0) {
        const int f = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (f >= 0) {
            const int hold = ::fcntl(f, F_DUPFD_CLOEXEC, 0);
            if (hold < 0) {
                const int err = errno;
                ::close(f);
                errno = err;
                return false;
            }
            fd = f;
            m_hold = hold;
            m_temp = procpath(hold);
            return true;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = tempname(dir, base);
        Cnosignals hold;
        const int f = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (f < 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        const int slot = claim(name);
        if (slot < 0) {
            ::close(f);
            ::unlink(name.c_str());
            errno = EMFILE;
            return false;
        }
        fd = f;
        m_temp = name;
        m_slot = slot;
        return true;
    }
    errno = EEXIST;
    return false;
}

bool Cnewfil::closefd()
{
    if (fd < 0) return true;
    const int r = ::close(fd);
    fd = -1;
    return r == 0;
}

bool Cnewfil::commit(const std::atomic<bool>* stop)
{
    if (!pending()) {
        errno = EBADF;
        return false;
    }
    int f = fd;
    if (f < 0) f = m_hold >= 0 ? ::fcntl(m_hold, F_DUPFD_CLOEXEC, 0) : ::open(m_temp.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = f >= 0;
    // The result keeps the permission bits of the file it replaces.
    struct stat st {};
    if (ok && ::stat(m_target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) (void)::fchmod(f, st.st_mode & 07777);
    ok = ok && ::fsync(f) == 0;
    int err = ok ? 0 : errno;
    if (f >= 0 && ::close(f) != 0 && ok) ok = false, err = errno;
    fd = -1;
    if (ok) {
        // From the stop check to the rename no signal is handled here: either the stop came
        // first and nothing changes on disk, or the file is in place before the handler runs.
        Cnosignals hold;
        if (stop && stop->load()) {
            err = ECANCELED;
        } else if (m_hold >= 0) {
            // A link cannot replace a name: the file gets a fresh name of its own, which is then
            // renamed over the destination.
            for (int attempt = 0; attempt < 100; ++attempt) {
                const std::string name = tempname(m_dir, m_base);
                if (::linkat(AT_FDCWD, m_temp.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
                    err = errno;
                    if (err == EEXIST) continue;
                    break;
                }
                if (::rename(name.c_str(), m_target.c_str()) == 0) {
                    ::close(m_hold);
                    m_hold = -1;
                    m_temp.clear();
                    g_renames.fetch_add(1);
                    return true;
                }
                err = errno;
                ::unlink(name.c_str());
                break;
            }
        } else if (::rename(m_temp.c_str(), m_target.c_str()) == 0) {
            unclaim(m_slot);
            m_slot = -1;
            m_temp.clear();
            g_renames.fetch_add(1);
            return true;
        } else {
            err = errno;
        }
    }
    discard();
    errno = err;
    return false;
}

unsigned Cnewfil::renames()
{
    return g_renames.load();
}

void Cnewfil::discard()
{
    const int err = errno;
    closefd();
    if (m_hold >= 0) {
        // A file without a name goes with its last descriptor.
        ::close(m_hold);
        m_hold = -1;
        m_temp.clear();
    }
    if (pending()) {
        Cnosignals hold;
        ::unlink(m_temp.c_str());
        unclaim(m_slot);
        m_slot = -1;
        m_temp.clear();
    }
    errno = err;
}

void Cnewfil::unlinkall()
{
    for (Cslot& s : g_slots)
        if (s.state.load() == 2) ::unlink(s.path);
}

void Cnewfil::diesignal(int sig)
{
    unlinkall();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void Cnewfil::guardsignals()
{
    ::signal(SIGXFSZ, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = &Cnewfil::diesignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&sa.sa_mask, sig);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

int openinput(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : ESPIPE;
        ::close(fd);
        errno = err;
        return -1;
    }
    // Regular files never block; reads go on as usual.
    (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool samefile(const std::string& a, const std::string& b)
{
    if (a == b) return true;
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::optional<Cfileid> fileid(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    auto ns = [](const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
    return Cfileid{uint64_t(st.st_dev), uint64_t(st.st_ino), int64_t(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}
