// Sound bank benchmarks: structure load time of a bank in both formats, and the block decoder's
// speed in bytes of 16-bit PCM produced per second.
//   build/bin/bank_bench [SF2 [CSF]]   defaults: FluidR3_GM.sf2 and build/bin/VUZADada.csf
#include "bank/Ccompsf.h"
#include "bank/Cdecoder.h"
#include "bank/Ckey.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string g_sf2 = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
std::string g_csf = "build/bin/VUZADada.csf";

void loadsf2(benchmark::State& state)
{
    for (auto _ : state) {
        Csf2file bank(g_sf2);
        if (!bank.rdfile()) state.SkipWithError("cannot read the .sf2");
        benchmark::DoNotOptimize(bank.shdrs.data());
    }
}
BENCHMARK(loadsf2)->Unit(benchmark::kMillisecond);

void loadcsf(benchmark::State& state)
{
    for (auto _ : state) {
        Ccompsf bank(g_csf);
        if (!bank.rdfile()) state.SkipWithError("cannot read the .csf");
        benchmark::DoNotOptimize(bank.shdrs.data());
    }
}
BENCHMARK(loadcsf)->Unit(benchmark::kMillisecond);

// Decodes every coded sample of the .csf (descrambled beforehand: the decoder alone is timed).
void decode(benchmark::State& state)
{
    Ccompsf bank(g_csf);
    if (!bank.rdfile()) {
        state.SkipWithError("cannot read the .csf");
        return;
    }
    struct Cone { std::vector<uint8_t> coded; uint32_t ppb, points; };
    std::vector<Cone> all;
    size_t most = 0, points = 0;
    for (const Sfshdr& s : bank.shdrs) {
        if (!s.ppb || !s.coded) continue;
        Cone one{std::vector<uint8_t>(s.cbytes), s.ppb, s.coded};
        if (::pread(bank.fd, one.coded.data(), s.cbytes, s.offset) != ssize_t(s.cbytes)) continue;
        scramble(one.coded.data(), s.cbytes, unsigned(uint64_t(s.offset) % KEYLEN));
        most = std::max<size_t>(most, s.coded);
        points += s.coded;
        all.push_back(std::move(one));
    }
    std::vector<int16_t> out(most);
    for (auto _ : state) {
        for (const Cone& one : all) {
            Cdecoder dec;
            benchmark::DoNotOptimize(dec.decode(one.coded.data(), one.coded.size(), one.ppb, out.data(), one.points));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(points) * 2);
}
BENCHMARK(decode)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc > 1) g_sf2 = argv[1];
    if (argc > 2) g_csf = argv[2];
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
