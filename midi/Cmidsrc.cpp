#include "midi/Cmidsrc.h"

#include "audio/Cnewfil.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool Cmidsrc::load(const std::string& path)
{
    m_data.clear();
    m_pos = 0;
    // Pipes and devices are refused at once instead of blocking.
    const int fd = openinput(path);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    // The size from fstat is only a first guess; the loop reads until the end of the file.
    std::vector<uint8_t> data(size_t(st.st_size > 0 ? st.st_size : 0));
    size_t got = 0;
    for (;;) {
        if (got == data.size()) data.resize(data.size() + 65536);
        const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    ::close(fd);
    data.resize(got);
    m_data = std::move(data);
    return true;
}
