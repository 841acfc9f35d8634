#include "platform/Cmsgbox.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {
Cstderrbox g_stderrbox;
std::atomic<Cboxsink*> g_sink{nullptr};
std::mutex g_stderrlock;   // keeps lines of parallel conversions apart
}

void Cstderrbox::show(const Cbox& box)
{
    std::lock_guard<std::mutex> lock(g_stderrlock);
    std::fprintf(stderr, "%s: %s\n", box.caption.c_str(), box.text.c_str());
    size_t start = 0;
    while (start < box.detail.size()) {
        size_t end = box.detail.find('\n', start);
        if (end == std::string::npos) end = box.detail.size();
        std::fprintf(stderr, "  %.*s\n", int(end - start), box.detail.c_str() + start);
        start = end + 1;
    }
    std::fflush(stderr);
}

void msgbox(const std::string& text, const std::string& caption, Boxicon icon, const void* owner,
            const std::string& detail)
{
    Cboxsink* sink = g_sink.load();
    Cbox box{text, caption, icon, owner, detail};
    (sink ? sink : &g_stderrbox)->show(box);
}

bool askreplace(const std::string& text, const std::string& caption, const void* owner, const std::string& detail)
{
    Cboxsink* sink = g_sink.load();
    Cbox box{text, caption, Boxicon::warning, owner, detail};
    return (sink ? sink : &g_stderrbox)->askreplace(box);
}

std::string filedetail(const std::string& path, int err)
{
    if (err == 0) return path;
    return path + "\n" + reason(err);
}

std::string reason(int err)
{
    if (err == ESPIPE) return "not a regular file";
    return std::strerror(err);
}

Cboxsink* setboxsink(Cboxsink* sink)
{
    return g_sink.exchange(sink);
}
