// The whole effects chain per frame: delay on, reverb, chorus, output stage with the compressor.
// Goal: >= 17.6 M frames/s on one core (400 x real time at 44100 Hz).
// Run: build/bin/effects_bench
#include "settings/Csettings.h"
#include "synth/Ceffects.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

namespace {

void fill(Ceffects& fx, int n)
{
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    for (int b = 0; b < Ceffects::NBUS; ++b) {
        float* p = fx.bus(b);
        for (int i = 0; i < n; ++i) p[i] = u(rng) * (b < 2 ? 1.0f : 0.3f);
    }
}

// One block of 5 s through delay, reverb, chorus and the output stage; no output file, so the
// figure is the DSP alone.
void BM_Effectsblock(benchmark::State& state)
{
    Csettings s;
    Csettings::set(s.delayamt, 0.5f);
    Csettings::set(s.delaymodms, 5);
    Csettings::set(s.delayfb, 0.4f);
    Csettings::set(s.complevel, 8);
    std::atomic<bool> abortflag{false};
    Ceffects fx(s, &abortflag);
    fx.prepare();
    for (auto _ : state) {
        state.PauseTiming();
        fill(fx, Ceffects::BUSLEN);
        state.ResumeTiming();
        fx.processblock(Ceffects::BUSLEN);
        benchmark::DoNotOptimize(fx.bus(0));
    }
    state.SetItemsProcessed(state.iterations() * Ceffects::BUSLEN);
    state.counters["frames/s"] =
        benchmark::Counter(double(state.iterations()) * Ceffects::BUSLEN, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Effectsblock)->Unit(benchmark::kMillisecond);

// The audio mixer's path: 16-bit frames in.
void BM_Effectsframes(benchmark::State& state)
{
    Csettings s;
    Csettings::set(s.reverbamt, 0.3f);
    Csettings::set(s.chorusamt, 0.2f);
    std::atomic<bool> abortflag{false};
    Ceffects fx(s, &abortflag);
    fx.prepare();
    std::vector<int16_t> pcm(2 * 44100);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = int16_t(10000 * std::sin(i * 0.01));
    for (auto _ : state) fx.processframes(pcm.data(), 44100);
    state.counters["frames/s"] =
        benchmark::Counter(double(state.iterations()) * 44100, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Effectsframes)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
