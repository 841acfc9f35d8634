#include "tools/Cmp3codec.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace {

bool isdigit8(char c) { return c >= '0' && c <= '9'; }

// Reads a run of decimal digits at text[i]; false when there is none or it is too long to be a
// frame count (the value would not fit the arithmetic below).
bool number(const char* text, size_t len, size_t& i, uint64_t& value)
{
    const size_t start = i;
    value = 0;
    while (i < len && isdigit8(text[i])) {
        if (i - start >= 12) return false;
        value = value * 10 + uint64_t(text[i] - '0');
        ++i;
    }
    return i > start;
}

// "Frame#", blanks, k, "/", blanks, t. A total that runs to the end of a chunk that was cut may
// be missing digits: not taken.
bool frame(const char* text, size_t len, size_t at, bool cut, uint64_t& k, uint64_t& t)
{
    size_t i = at + 6;
    while (i < len && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (!number(text, len, i, k)) return false;
    if (i >= len || text[i] != '/') return false;
    ++i;
    while (i < len && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (!number(text, len, i, t)) return false;
    return !(cut && i == len);
}

Cmp3codec::Update decodeline(const char* text, size_t len, bool cut)
{
    Cmp3codec::Update u;
    // The codec rewrites its frame counter in place, so one chunk may hold many of them: the
    // last complete one is the newest.
    const std::string_view s(text, len);
    for (size_t at = s.find("Frame#"); at != std::string_view::npos; at = s.find("Frame#", at + 1)) {
        uint64_t k = 0, t = 0;
        // A count past its total is a cut or garbled line, not progress.
        if (!frame(text, len, at, cut, k, t) || t == 0 || k > t) continue;
        u.progress = int(k * 100 / t);
        u.hasstatus = true;
        u.status = std::to_string(k) + "/" + std::to_string(t);
    }
    return u;
}

Cmp3codec::Update encodeline(const char* text, size_t len)
{
    Cmp3codec::Update u;
    const std::string_view s(text, len);
    const size_t pct = s.find('%');
    if (pct == std::string_view::npos) return u;
    size_t first = pct;
    while (first > 0 && isdigit8(text[first - 1])) --first;
    uint64_t value = 0;
    for (size_t i = first; i < pct; ++i) value = std::min<uint64_t>(value * 10 + uint64_t(text[i] - '0'), 100);
    const size_t bar1 = s.find('|', pct + 1);
    if (bar1 == std::string_view::npos) return u;
    const size_t bar2 = s.find('|', bar1 + 1);
    if (bar2 == std::string_view::npos) return u;
    u.progress = int(value);
    u.hasstatus = true;
    u.status.assign(text + bar1 + 1, bar2 - bar1 - 1);
    return u;
}

}  // namespace

std::string Cmp3codec::quote(const std::string& path)
{
    // Backslashes are literal unless they come before a double quote: there 2n backslashes stand
    // for n, and 2n + 1 for n followed by a literal quote.
    std::string q = "\"";
    size_t slashes = 0;
    for (char c : path) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        if (c == '"') {
            q.append(2 * slashes + 1, '\\');
        } else {
            q.append(slashes, '\\');
        }
        slashes = 0;
        q += c;
    }
    q.append(2 * slashes, '\\');   // before the closing quote
    q += '"';
    return q;
}

std::string Cmp3codec::arguments(const std::string& input, const std::string& output, bool decode)
{
    std::string args = decode ? "--decode " : "";
    return args + quote(input) + " " + quote(output);
}

Cmp3codec::Update Cmp3codec::parse(const char* text, size_t len, bool decode, bool cut)
{
    len = std::min(len, size_t(CHUNK));
    return decode ? decodeline(text, len, cut) : encodeline(text, len);
}

Cmp3codec::Update Cmp3codec::drain(const std::function<int(char*, int)>& readout, bool decode)
{
    Update all;
    char a[CHUNK + 1], b[CHUNK + 1];
    char* cur = a;
    char* next = b;
    int n = readout(cur, CHUNK);
    while (n > 0) {
        // One chunk of look-ahead tells whether this chunk was cut short of its line.
        const int more = readout(next, CHUNK);
        const Update u = parse(cur, size_t(n), decode, more > 0);
        if (u.progress >= 0) all.progress = u.progress;
        if (u.hasstatus) {
            all.hasstatus = true;
            all.status = u.status;
        }
        std::swap(cur, next);
        n = more;
    }
    return all;
}

bool Cmp3out::begin(const std::string& input, const std::string& output)
{
    if (samefile(input, output)) {
        errno = EEXIST;
        return false;
    }
    if (!m_file.create(output)) return false;
    // The codec opens the file by its name and writes it itself.
    return m_file.closefd();
}

bool Cmp3out::end(bool ok)
{
    if (ok && m_file.pending()) return m_file.commit();
    m_file.discard();
    return false;
}
