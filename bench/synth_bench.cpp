// Voice rendering speed, in voice-samples per second (the items_per_second counter):
//   build/bin/synth_bench
// Each case holds notes of looped samples of a bank built in memory and renders blocks of one
// second into the six mixing buses, as the render loop does between events. filterlanes and
// filtersingle/N compare N filters run side by side over one input with N filters one by one.
#include "settings/Csettings.h"
#include "synth/Cbankview.h"
#include "synth/Cchannel.h"
#include "synth/Cfilter.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr int BLOCK = 44100;

class Benchbank : public Cbankview {
public:
    std::vector<std::vector<int16_t>> audio;
    const int16_t* points(size_t index, uint32_t, uint32_t& loaded) override
    {
        loaded = uint32_t(audio[index].size() - 23);
        return audio[index].data();
    }
    int sample(int type, int link)
    {
        std::vector<int16_t> s(20000 + 23, 0);
        for (int i = 0; i < 20000; ++i) s[size_t(i)] = int16_t(12000 * std::sin(i * 0.0627));
        Smp r;
        r.length = 20000;
        r.loopstart = 1000;
        r.loopend = 19000;
        r.rate = 44100;
        r.pitch = 60;
        r.type = uint16_t(type);
        r.link = uint16_t(link);
        smps.push_back(r);
        audio.push_back(std::move(s));
        return int(smps.size() - 1);
    }
    void gens(std::initializer_list<std::pair<int, int>> g)
    {
        ibags.push_back(Bag{uint16_t(igens.size())});
        for (auto [o, a] : g) igens.push_back(Gen{uint16_t(o), int16_t(a)});
    }
};

// Program 0: plain mono; 1: filtered mono; 2: a stereo pair.
Benchbank& bank()
{
    static Benchbank instance = [] {
        Benchbank b;
        const int mono = b.sample(1, 0), left = b.sample(4, 3), right = b.sample(2, 2);
        for (int p = 0; p < 3; ++p) {
            b.insts.push_back(Cbankview::Inst{uint16_t(b.ibags.size())});
            if (p == 0) b.gens({{54, 1}, {53, mono}});
            if (p == 1) b.gens({{54, 1}, {8, 5000}, {9, 100}, {11, 2400}, {53, mono}});
            if (p == 2) {
                b.gens({{54, 1}, {53, left}});
                b.gens({{54, 1}, {53, right}});
            }
            b.phdrs.push_back(Cbankview::Phdr{uint16_t(p), 0, uint16_t(b.pbags.size())});
            b.pbags.push_back(Cbankview::Bag{uint16_t(b.pgens.size())});
            b.pgens.push_back(Cbankview::Gen{41, int16_t(p)});
        }
        b.phdrs.push_back(Cbankview::Phdr{0, 0, uint16_t(b.pbags.size())});
        b.pbags.push_back(Cbankview::Bag{uint16_t(b.pgens.size())});
        b.pgens.push_back(Cbankview::Gen{});
        b.insts.push_back(Cbankview::Inst{uint16_t(b.ibags.size())});
        b.ibags.push_back(Cbankview::Bag{uint16_t(b.igens.size())});
        b.igens.push_back(Cbankview::Gen{});
        b.smps.push_back(Cbankview::Smp{});
        b.audio.push_back(std::vector<int16_t>(23, 0));
        return b;
    }();
    return instance;
}

void run(benchmark::State& st, int program, int voices)
{
    Csettings settings;
    std::array<std::vector<float>, 6> bus;
    Csynth synth;
    synth.bank = &bank();
    synth.settings = &settings;
    for (int i = 0; i < 6; ++i) {
        bus[size_t(i)].assign(BLOCK, 0.0f);
        synth.bus[i] = bus[size_t(i)].data();
    }
    Cchannel ch(synth, 0);
    ch.dispatch(12, program, 0);
    for (int v = 0; v < voices; ++v) ch.dispatch(9, 30 + v, 100);   // keys off the root: interpolated
    for (auto _ : st) {
        synth.mixpos = 0;
        ch.render(BLOCK);
        benchmark::DoNotOptimize(bus[0].data());
    }
    st.SetItemsProcessed(int64_t(st.iterations()) * BLOCK * voices);
}

// One input of 960 samples (48 control steps of 20) through st.range(0) filters of cutoffs from
// 200 Hz up: side by side (filterlanes), or each on its own copy of the input (filtersingle).
void filters(benchmark::State& st, bool together)
{
    const int lanes = int(st.range(0)), n = 960;
    const size_t m = size_t(lanes);
    std::vector<float> x(n), y(m), v(m);
    for (int i = 0; i < n; ++i) x[size_t(i)] = float(std::sin(i * 0.0627) + 0.3 * std::sin(i * 1.37));
    std::vector<Cfilter::Ccoefs> k(m);
    std::vector<const Cfilter::Ccoefs*> kp;
    std::vector<std::vector<float>> out(m, std::vector<float>(n));
    std::vector<float*> op;
    std::vector<Cfilter> alone(m);
    for (size_t l = 0; l < m; ++l) {
        const double f = 200.0 * double(l + 1);
        Cfilter::coefsfor(&f, 2.0, &k[l], 1);
        kp.push_back(&k[l]);
        op.push_back(out[l].data());
    }
    for (auto _ : st) {
        if (together) {
            Cfilter::runlanes(x.data(), op.data(), lanes, 48, 20, 20, kp.data(), y.data(), v.data());
        } else {
            for (size_t l = 0; l < m; ++l) {
                std::memcpy(op[l], x.data(), sizeof(float) * size_t(n));
                alone[l].runsteps(op[l], 48, 20, 20, k[l]);
            }
        }
        benchmark::DoNotOptimize(op.data());
    }
    st.SetItemsProcessed(int64_t(st.iterations()) * n * lanes);
}

void monovoice(benchmark::State& st) { run(st, 0, 1); }
void filteredvoice(benchmark::State& st) { run(st, 1, 1); }
void stereopair(benchmark::State& st) { run(st, 2, 1); }
void chord64(benchmark::State& st) { run(st, 0, 64); }
void filterlanes(benchmark::State& st) { filters(st, true); }
void filtersingle(benchmark::State& st) { filters(st, false); }

} // namespace

BENCHMARK(monovoice)->Unit(benchmark::kMicrosecond);
BENCHMARK(filteredvoice)->Unit(benchmark::kMicrosecond);
BENCHMARK(stereopair)->Unit(benchmark::kMicrosecond);
BENCHMARK(chord64)->Unit(benchmark::kMillisecond);
BENCHMARK(filterlanes)->Arg(2)->Arg(3)->Arg(8)->Arg(9);
BENCHMARK(filtersingle)->Arg(2)->Arg(3)->Arg(8)->Arg(9);
BENCHMARK_MAIN();
