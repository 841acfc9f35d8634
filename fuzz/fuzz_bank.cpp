// Both bank readers on arbitrary bytes: the structure, then a request for every sample's audio
// (with a raised point count for every other one) through a small store.
#include "bank/Ccompsf.h"
#include "bank/Cstore.h"
#include "platform/Cmsgbox.h"
#include "settings/Csettings.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <unistd.h>

namespace {

class Cquiet : public Cboxsink {
public:
    void show(const Cbox&) override {}
};

std::string scratch()
{
    char name[] = "/tmp/fuzz_bank_XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) ::close(fd);
    return name;
}

void play(Csf2file& bank, Cstore& store)
{
    if (!bank.rdfile()) return;
    for (size_t i = 0; i < bank.shdrs.size(); ++i) {
        Sfshdr& s = bank.shdrs[i];
        if (i % 2) store.raise(s, s.length + 1000);
        const int16_t* a = store.request(s);
        volatile int16_t sink = a[s.ptsload + Cstore::PAD - 1];
        (void)sink;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Cquiet quiet;
    static const std::string path = (setboxsink(&quiet), scratch());
    static Csettings settings;
    Csettings::set(settings.showerrors, true);
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) return 0;
    const bool ok = ::write(fd, data, size) == ssize_t(size);
    ::close(fd);
    if (!ok) return 0;
    Cstore store(64u << 20, &settings);
    {
        Csf2file sf2(path, &store);
        play(sf2, store);
    }
    {
        Ccompsf csf(path, &store);
        play(csf, store);
    }
    return 0;
}
