#include "bank/Ccompsf.h"
#include "cli/Ccommand.h"

#include <cstdio>
#include <memory>

// One line per preset header in file order (the terminal record left out): "bank:program name",
// then the counts of presets, instruments and samples, terminal records not counted.
int infobank(const std::string& path)
{
    // The compressed format is told by its exact, case-sensitive ".csf" ending.
    const bool csf = path.size() >= 4 && path.compare(path.size() - 4, 4, ".csf") == 0;
    std::unique_ptr<Csf2file> bank = csf ? std::make_unique<Ccompsf>(path) : std::make_unique<Csf2file>(path);
    if (!bank->rdfile()) return 1;
    const size_t presets = bank->phdrs.empty() ? 0 : bank->phdrs.size() - 1;
    for (size_t i = 0; i < presets; ++i) {
        const Sfphdr& h = bank->phdrs[i];
        std::string name(h.name, 20);
        while (!name.empty() && (name.back() == '\0' || name.back() == ' ')) name.pop_back();
        std::printf("%u:%u %s\n", unsigned(h.bank), unsigned(h.preset), name.c_str());
    }
    std::printf("presets: %zu\ninstruments: %zu\nsamples: %zu\n", presets,
                bank->insts.empty() ? size_t(0) : bank->insts.size() - 1,
                bank->shdrs.empty() ? size_t(0) : bank->shdrs.size() - 1);
    return 0;
}
