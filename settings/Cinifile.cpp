#include "settings/Cinifile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Whole file as bytes; empty when it cannot be read.
std::string slurp(const std::string& path)
{
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char chunk[4096];
    for (;;) {
        const ssize_t r = ::read(fd, chunk, sizeof chunk);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        text.append(chunk, size_t(r));
    }
    ::close(fd);
    return text;
}

std::string_view trim(std::string_view s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

bool sameword(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// One line of the file: where it starts and ends (without its line break).
struct Line {
    size_t begin, end, next;   // next: start of the following line
};

std::vector<Line> splitlines(const std::string& text)
{
    std::vector<Line> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        const size_t next = nl == std::string::npos ? text.size() : nl + 1;
        size_t end = nl == std::string::npos ? text.size() : nl;
        if (end > at && text[end - 1] == '\r') --end;
        lines.push_back({at, end, next});
        at = next;
    }
    return lines;
}

// The section a "[name]" line opens, or false for any other line.
bool sectionof(std::string_view line, std::string_view& name)
{
    line = trim(line);
    if (line.empty() || line.front() != '[') return false;
    const size_t close = line.find(']');
    name = trim(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    return true;
}

// Splits a "key=value" line; false when it has no "=".
bool keyof(std::string_view line, std::string_view& key, std::string_view& value)
{
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = trim(line.substr(0, eq));
    value = trim(line.substr(eq + 1));
    return true;
}

// Where a section and a key sit in the file; npos where missing.
struct Place {
    size_t section = std::string::npos;   // index of the "[section]" line
    size_t key = std::string::npos;       // index of the key's line
    size_t last = std::string::npos;      // last non-blank line of the section
    std::string_view value;
};

Place find(const std::string& text, const std::vector<Line>& lines, const std::string& section, const std::string& key)
{
    Place p;
    bool inside = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line(text.data() + lines[i].begin, lines[i].end - lines[i].begin);
        std::string_view name, k, v;
        if (sectionof(line, name)) {
            if (inside) break;   // the first matching section ends here
            if (sameword(name, trim(section))) {
                inside = true;
                p.section = p.last = i;
            }
            continue;
        }
        if (!inside) continue;
        if (!trim(line).empty()) p.last = i;
        if (p.key == std::string::npos && keyof(line, k, v) && sameword(k, trim(key))) {
            p.key = i;
            p.value = v;
        }
    }
    return p;
}

bool writefile(const std::string& path, const std::string& text)
{
    // Write beside the file, then replace it in one rename, so the old file stays whole until then.
    const std::string tmp = path + ".new";
    struct stat st {};
    const bool had = ::stat(path.c_str(), &st) == 0;
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    if (had) (void)::fchmod(fd, st.st_mode & 07777);
    bool ok = true;
    size_t done = 0;
    while (ok && done < text.size()) {
        const ssize_t r = ::write(fd, text.data() + done, text.size() - done);
        if (r < 0 && errno == EINTR) continue;
        ok = r > 0;
        if (ok) done += size_t(r);
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

}  // namespace

std::string Cinifile::read(const std::string& section, const std::string& key, const std::string& def) const
{
    const std::string text = slurp(m_path);
    const Place p = find(text, splitlines(text), section, key);
    if (p.key == std::string::npos) return def;
    std::string_view v = p.value;
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
    return std::string(v);
}

bool Cinifile::write(const std::string& section, const std::string& key, const std::string& value) const
{
    const std::string text = slurp(m_path);
    const std::vector<Line> lines = splitlines(text);
    const Place p = find(text, lines, section, key);
    // New lines take the file's own line break style.
    const std::string nl = (!lines.empty() && lines[0].next > lines[0].end + 1) ? "\r\n" : "\n";
    const std::string entry = key + "=" + value.substr(0, value.find_first_of("\r\n"));
    std::string out;
    if (p.key != std::string::npos) {
        const Line& l = lines[p.key];
        out = text.substr(0, l.begin) + entry + text.substr(l.end);
    } else if (p.section != std::string::npos) {
        const Line& l = lines[p.last];
        const bool broken = l.next > l.end;   // the line has its own line break
        out = text.substr(0, l.next) + (broken ? "" : nl) + entry + nl + text.substr(l.next);
    } else {
        out = text;
        if (!out.empty() && out.back() != '\n') out += nl;
        out += "[" + section + "]" + nl + entry + nl;
    }
    return writefile(m_path, out);
}
