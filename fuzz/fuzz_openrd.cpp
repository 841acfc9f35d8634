// Feeds arbitrary bytes to the WAVE reader as a file: open, read every block, seek around and
// ask for the duration. Message boxes are dropped.
#include "audio/Cwavfil.h"
#include "platform/Cmsgbox.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

class Cdropbox : public Cboxsink {
public:
    void show(const Cbox&) override {}
};

// One temporary file name for the whole run; the file lives only while an input is tried.
const std::string& fuzzpath()
{
    static const std::string path = [] {
        char name[] = "/tmp/fuzz_openrd-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) std::abort();
        ::close(fd);
        return std::string(name);
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Cdropbox drop;
    setboxsink(&drop);
    const std::string& path = fuzzpath();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    Cwavfil wav(path);
    if (wav.openrd()) {
        uint8_t block[4096];
        while (wav.rdblock(block, sizeof block)) {}
        for (double t : {0.0, 1000.0, -1.0, 1e12, 1e300}) {
            wav.seek(t);
            wav.rdblock(block, 7);
        }
        wav.close();
    }
    wav.duration();
    ::unlink(path.c_str());
    return 0;
}
