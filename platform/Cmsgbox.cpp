#include "platform/Cmsgbox.h"

#include <atomic>
#include <cstdio>
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
    std::fflush(stderr);
}

void msgbox(const std::string& text, const std::string& caption, Boxicon icon, const void* owner)
{
    Cboxsink* sink = g_sink.load();
    Cbox box{text, caption, icon, owner};
    (sink ? sink : &g_stderrbox)->show(box);
}

Cboxsink* setboxsink(Cboxsink* sink)
{
    return g_sink.exchange(sink);
}
