#pragma once
// A file that appears under its name only when it is finished. create() makes a new temporary
// file in the destination's folder: without a name (O_TMPFILE), so that even SIGKILL leaves
// nothing behind, or where the file system cannot do that, created exclusively under a unique
// name; no existing file is ever truncated or removed. The writer fills fd; commit() flushes it
// to disk, gives a nameless file a fresh unique name (a link cannot replace a name) and renames it
// over the destination in one step. discard(), the destructor and a fatal signal (through
// unlinkall, called by the program's signal handlers) remove a named temporary file, so that a
// failure or a kill leaves whatever file had the destination's name untouched.
//
// A destination that is a symbolic link is written through: the temporary file goes beside the
// link's target and replaces the target, so the link keeps pointing at the result.
//
// The helpers below it open inputs without blocking on pipes and devices, tell whether an
// output would be one of the inputs, and tell whether a file is still the one a tool wrote.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

class Cnewfil {
public:
    Cnewfil() = default;
    ~Cnewfil();
    Cnewfil(const Cnewfil&) = delete;
    Cnewfil& operator=(const Cnewfil&) = delete;

    // Creates the temporary file for destination path, open for reading and writing at fd.
    // False with errno set when it cannot be created, when the destination exists and is not
    // a regular file (ESPIPE; EISDIR for a folder), or when it is read-only (EACCES).
    bool create(const std::string& path);
    // Closes fd (when still open), syncs and renames the temporary file over the destination,
    // which keeps the permission bits of a file it replaces. False with errno set (the temporary
    // file is removed then). When stop is given and set, nothing is renamed (ECANCELED); the
    // signals that guardsignals handles are held back from that check to the rename.
    bool commit(const std::atomic<bool>* stop = nullptr);
    // Closes fd and removes the temporary file; nothing when none is pending.
    void discard();
    // Closes fd and keeps the temporary file pending; false with errno set when close failed.
    bool closefd();

    bool pending() const { return !m_temp.empty(); }
    // Where the pending file can be opened by this process and its children: its unique name,
    // or for a file without a name "/proc/PID/fd/N".
    const std::string& temp() const { return m_temp; }
    const std::string& target() const { return m_target; }
    int fd = -1;

    // Removes every pending temporary file of the process. Async-signal-safe: signal handlers
    // of the program call it before the process ends.
    static void unlinkall();
    // For a program's start: SIGXFSZ is ignored (a write past the file size limit then fails
    // with EFBIG and is reported), and SIGINT, SIGTERM and SIGHUP remove the pending temporary
    // files before they end the process as they would have.
    static void guardsignals();
    // The handler guardsignals installs, for handlers that end the process themselves.
    static void diesignal(int sig);
    // How many files of the process have taken their names. A commit counts its rename before
    // the held-back signals are handled, so a handler can tell that the output is in place.
    // Async-signal-safe.
    static unsigned renames();

private:
    std::string m_temp;
    std::string m_target;
    std::string m_dir, m_base;   // the destination's folder (with its "/") and name
    int m_hold = -1;   // keeps a file without a name alive while fd is closed
    int m_slot = -1;   // place in the process-wide list that unlinkall walks
};

// True when path is a regular file the process may not write: for the superuser, whom access(2)
// always lets write, when its mode has no write permission at all.
bool readonly(const std::string& path);

// Opens an input file for reading. Pipes, devices, sockets and folders are refused at once
// (opened without blocking, then checked): -1 with errno ESPIPE (EISDIR for a folder).
int openinput(const std::string& path);
// True when both paths name one file: the same text, or one existing file whatever links lead
// there (device and inode).
bool samefile(const std::string& a, const std::string& b);

// One version of a file: which file it is (device and inode) and its size, last modification and
// last status change, in nanoseconds. A file renamed over the name, written again in place,
// truncated, or touched back to an older time gets another identity, since the status change
// time moves with every write, rename and link.
struct Cfileid {
    uint64_t dev = 0, ino = 0;
    int64_t size = 0, mtimens = 0, ctimens = 0;
    bool operator==(const Cfileid&) const = default;
};
// The identity of what path names now, links followed; none when nothing is there.
std::optional<Cfileid> fileid(const std::string& path);
