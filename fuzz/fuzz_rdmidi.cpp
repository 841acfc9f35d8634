// Feeds arbitrary bytes to the MIDI reader as a file, then builds every timeline and computes
// the lengths, so that whatever the reader accepts is also walked by its consumers.
#include "midi/Cmidfil.h"
#include "midi/Cmidprops.h"
#include "midi/Cmixtab.h"
#include "midi/Ctimeline.h"
#include "platform/Cmsgbox.h"

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

std::string tempfile()
{
    static std::string path;
    if (path.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        path = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_rdmidi." + std::to_string(getpid()) + ".mid";
    }
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Cdiscard sink;
    setboxsink(&sink);
    const std::string path = tempfile();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);

    Cmixtab mixer;
    {
        Cmidfil file(path, &mixer);
        if (file.rdmidi()) {
            mixer.clear();
            mixer.name(file);
            Ctimeline chans[16], tempo, player;
            const int32_t end = Ctimeline::buildrender(file, chans, tempo);
            player.buildplayer(file);
            volatile double sink1 = player.total(file.division) + medialength(file) + end;
            (void)sink1;
            Cmidprops props;
            props.scan(file);
        }
    }
    std::remove(path.c_str());
    return 0;
}
