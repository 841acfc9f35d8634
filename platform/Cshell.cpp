#include "platform/Cshell.h"

#include <atomic>

namespace {

class Cnoshell : public Cshell {
public:
    std::optional<Cfilepick> openfile(const Cfilereq&) override { return std::nullopt; }
    std::optional<Cfilepick> savefile(const Cfilereq&) override { return std::nullopt; }
    std::optional<std::string> browsefolder(const std::string&, const void*) override { return std::nullopt; }
    bool openpath(const std::string&, const std::string&, const void*) override { return false; }
};

Cnoshell g_noshell;
std::atomic<Cshell*> g_shell{nullptr};

std::vector<std::string> splitat(const std::string& s, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return parts;
}

}

std::vector<std::pair<std::string, std::vector<std::string>>> splitfilter(const std::string& filter)
{
    std::vector<std::pair<std::string, std::vector<std::string>>> out;
    const std::vector<std::string> fields = splitat(filter, '|');
    // Fields come in pairs; the closing "||" leaves empty fields, which end the list.
    for (size_t i = 0; i + 1 < fields.size(); i += 2) {
        if (fields[i].empty()) break;
        std::vector<std::string> pats;
        for (const std::string& p : splitat(fields[i + 1], ';'))
            if (!p.empty()) pats.push_back(p);
        out.emplace_back(fields[i], pats);
    }
    return out;
}

std::string qtfilter(const std::string& filter)
{
    std::string out;
    for (const auto& [name, pats] : splitfilter(filter)) {
        if (!out.empty()) out += ";;";
        // Qt reads the patterns from the last parentheses of an entry, separated by spaces; the
        // shown names carry their patterns in parentheses already, separated by ";", so that
        // part is rebuilt from the real patterns.
        std::string shown = name;
        const size_t open = shown.rfind('(');
        if (!shown.empty() && shown.back() == ')' && open != std::string::npos) {
            shown.erase(open);
            while (!shown.empty() && shown.back() == ' ') shown.pop_back();
        }
        std::string joined;
        for (const std::string& p : pats) {
            if (!joined.empty()) joined += ' ';
            joined += p == "*.*" ? "*" : p;
        }
        out += shown + " (" + joined + ")";
    }
    return out;
}

Cfilepick makepick(const std::string& path)
{
    Cfilepick pick;
    pick.path = path;
    const size_t slash = path.find_last_of('/');
    pick.title = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = pick.title.find_last_of('.');
    pick.ext = dot == std::string::npos ? "" : pick.title.substr(dot + 1);
    return pick;
}

Cshell& shell()
{
    Cshell* s = g_shell.load();
    return s ? *s : g_noshell;
}

Cshell* setshell(Cshell* s)
{
    return g_shell.exchange(s);
}

std::optional<std::string> Cscriptshell::next()
{
    if (m_answers.empty()) return std::nullopt;
    std::optional<std::string> a = m_answers.front();
    m_answers.pop_front();
    return a;
}

std::optional<Cfilepick> Cscriptshell::openfile(const Cfilereq& req)
{
    m_requests.push_back(Request{"open", req, "", ""});
    std::optional<std::string> a = next();
    if (!a) return std::nullopt;
    return makepick(*a);
}

std::optional<Cfilepick> Cscriptshell::savefile(const Cfilereq& req)
{
    m_requests.push_back(Request{"save", req, "", ""});
    std::optional<std::string> a = next();
    if (!a) return std::nullopt;
    return makepick(*a);
}

std::optional<std::string> Cscriptshell::browsefolder(const std::string& title, const void*)
{
    m_requests.push_back(Request{"folder", Cfilereq{}, title, ""});
    return next();
}

bool Cscriptshell::openpath(const std::string& file, const std::string& dir, const void*)
{
    m_requests.push_back(Request{"shell", Cfilereq{}, file, dir});
    return !m_noopener;
}
