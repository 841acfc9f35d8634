// Renders arbitrary MIDI files through the render sequencer with a tiny bank built in memory:
// hostile divisions, tempos, ticks and channel messages must neither crash nor run away. Each
// run is held to two blocks of music; the tail and the effect flush run as usual.
#include "convert/Ccontext.h"
#include "convert/Csequen.h"
#include "platform/Cmsgbox.h"
#include "synth/Cbankview.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

class Cdiscard : public Cboxsink {
public:
    void show(const Cbox&) override {}
};

// One looped sine in one instrument, played by program 0 of banks 0 and 128.
class Cfuzzbank : public Cbankview {
public:
    Cfuzzbank()
    {
        for (int i = 0; i < 200 + 23; ++i) m_pts[i] = i < 200 ? int16_t(12000 * std::sin(i * 0.0314159 * 4)) : 0;
        phdrs = {{0, 0, 0}, {0, 128, 1}, {0, 0, 2}};
        pbags = {{0}, {1}, {2}};
        pgens = {{41, 0}, {41, 0}, {0, 0}};
        insts = {{0}, {1}};
        ibags = {{0}, {2}};
        igens = {{54, 1}, {53, 0}, {0, 0}};
        Smp s;
        s.length = 200;
        s.loopstart = 0;
        s.loopend = 150;
        smps = {s, Smp{}};
    }
    const int16_t* points(size_t, uint32_t, uint32_t& loaded) override
    {
        loaded = 200;
        return m_pts;
    }

private:
    int16_t m_pts[223];
};

std::string tempfile()
{
    static std::string path;
    if (path.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        path = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_render." + std::to_string(getpid()) + ".mid";
    }
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Cdiscard sink;
    static Ccontext ctx(uint64_t(16) << 20);
    static Cfuzzbank bank;
    static Csequen seq(ctx);
    setboxsink(&sink);
    Csettings::set(ctx.settings.showerrors, true);
    // The first byte picks the tempo setting, so slow and fast runs are both explored.
    Csettings::set(ctx.settings.tempo, size ? int(data[0]) * 8 - 99 : 0);
    seq.setview(&bank);
    seq.maxblocks = 2;

    const std::string path = tempfile();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    if (size > 1) std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
    if (ctx.loadmidi(path)) seq.run();   // no output file: the frames are dropped
    std::remove(path.c_str());
    return 0;
}
