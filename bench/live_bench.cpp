// The live synthesizer against the clock: renders MIDI files as a device would pull them, one
// period at a time with the file's messages posted before the period they fall in, and reports
// per period size the worst and the 99.9th-percentile render time as a share of the period's
// duration, the most voices sounding at once, how many the voice limit ended, how many notes
// found no voice object (stolen or dropped) and the most voice objects the engine made. Times are
// given twice: by the wall clock (what a device sees, including every time another process
// held the processor) and by the thread's processor time (the engine's own work; on a machine
// busy with other work only this one is comparable from run to run).
//
//   live_bench [-b BANK] [-p 128,256,512,1024] [-l LIMIT] [-n COUNT] [-v] [FILE...]
//
// Without files: every MIDI file of the openttd-openmsx and mma packages (as compare.sh), or the
// first COUNT of them. -l sets the voice limit (default 0: none); -v prints a line per file.
#include "bank/Csf2file.h"
#include "bank/Cstore.h"
#include "midi/Cmidfil.h"
#include "midi/Ctimeline.h"
#include "settings/Csettings.h"
#include "synth/Clive.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Cevent {
    int64_t at;          // sample
    uint8_t msg[3];
    int len;
};

// The file's channel messages at their samples, as a player would send them.
std::vector<Cevent> events(const Cmidfil& file, const Ctimeline& t)
{
    std::vector<Cevent> out;
    double tempo = Ctimeline::STARTTEMPO, us = 0;
    int32_t prev = 0;
    for (const Cnode* n = t.first; n; n = n->next) {
        const Cmidiev& ev = *n->ev;
        us += Ctimeline::usecs(double(ev.time) - prev, tempo, file.division);
        prev = ev.time;
        tempo = Ctimeline::nexttempo(ev, tempo);
        if (ev.kind() != 0) continue;
        const int c = ev.command();
        out.push_back({int64_t(us * 0.0441), {uint8_t(ev.status()), uint8_t(ev.data1()), uint8_t(ev.data2())},
                       c == 0xC || c == 0xD ? 2 : 3});
    }
    return out;
}

double threadseconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Cresult {
    std::vector<double> shares;   // render time / period duration, per period
    std::vector<double> cpu;      // the same in processor time
    int voices = 0;
    long limited = 0;
    long starved = 0;             // notes that found no voice object (stolen or dropped)
    int pool = 0;                 // voice objects made
};

Cresult play(const char* bankpath, const std::string& path, int period, int limit)
{
    Cresult r;
    Csettings settings;
    Csettings::set(settings.voicelimit, limit);
    Cstore store(uint64_t(4) << 30, nullptr);
    Csf2file bank(bankpath, &store);
    Cmidfil file(path);
    if (!bank.rdfile() || !file.rdmidi() || !file.division) return r;
    Ctimeline t;
    t.buildplayer(file);
    const std::vector<Cevent> evs = events(file, t);
    Clive live(settings, nullptr, bank, store);
    live.prepare(t);
    std::vector<int16_t> out(2 * size_t(period));
    const int64_t end = (evs.empty() ? 0 : evs.back().at) + 2 * 44100;   // and two seconds of release
    const double duration = double(period) / Clive::RATE;
    size_t next = 0;
    for (int64_t pos = 0; pos < end; pos += period) {
        for (; next < evs.size() && evs[next].at < pos + period; ++next) live.post(evs[next].msg, size_t(evs[next].len));
        const double c0 = threadseconds();
        const auto a = std::chrono::steady_clock::now();
        live.render(out.data(), period);
        const auto b = std::chrono::steady_clock::now();
        r.cpu.push_back((threadseconds() - c0) / duration);
        r.shares.push_back(std::chrono::duration<double>(b - a).count() / duration);
        r.voices = std::max(r.voices, live.sounding());
    }
    r.limited = live.limited();
    r.starved = live.stolen() + live.dropped();
    r.pool = live.poolsize();
    return r;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

std::vector<std::string> packagefiles()
{
    std::vector<std::string> out;
    for (const char* dir : {"/usr/share/games/openttd/baseset/openmsx", "/usr/share/doc/mma/examples"}) {
        std::error_code ec;
        if (!std::filesystem::is_directory(dir, ec)) continue;
        for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            const std::string p = it->path().string();
            if (p.size() > 4 && strcasecmp(p.c_str() + p.size() - 4, ".mid") == 0) out.push_back(p);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    const char* bank = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
    std::vector<int> periods = {128, 256, 512, 1024};
    int limit = 0, count = -1;
    bool verbose = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-b" && i + 1 < argc) bank = argv[++i];
        else if (a == "-l" && i + 1 < argc) limit = std::atoi(argv[++i]);
        else if (a == "-n" && i + 1 < argc) count = std::atoi(argv[++i]);
        else if (a == "-v") verbose = true;
        else if (a == "-p" && i + 1 < argc) {
            periods.clear();
            for (char* s = std::strtok(argv[++i], ","); s; s = std::strtok(nullptr, ",")) periods.push_back(std::atoi(s));
        } else files.push_back(a);
    }
    if (files.empty()) files = packagefiles();
    if (count >= 0 && size_t(count) < files.size()) files.resize(size_t(count));
    std::printf("%zu files, bank %s, voice limit %d\n", files.size(), bank, limit);
    std::printf("%7s %10s %10s %10s %10s %8s %10s %8s %6s  %s\n", "period", "worst %", "99.9th %", "cpu worst",
                "cpu 99.9", "voices", "limited", "starved", "pool", "worst file (cpu)");
    for (int period : periods) {
        std::vector<double> all, allcpu;
        double worst = 0, worstcpu = 0;
        std::string worstfile;
        int voices = 0, pool = 0;
        long limited = 0, starved = 0;
        for (const std::string& f : files) {
            const Cresult r = play(bank, f, period, limit);
            const double w = r.shares.empty() ? 0 : *std::max_element(r.shares.begin(), r.shares.end());
            const double wc = r.cpu.empty() ? 0 : *std::max_element(r.cpu.begin(), r.cpu.end());
            worst = std::max(worst, w);
            if (wc > worstcpu) {
                worstcpu = wc;
                worstfile = f;
            }
            all.insert(all.end(), r.shares.begin(), r.shares.end());
            allcpu.insert(allcpu.end(), r.cpu.begin(), r.cpu.end());
            voices = std::max(voices, r.voices);
            limited += r.limited;
            starved += r.starved;
            pool = std::max(pool, r.pool);
            if (verbose && !r.cpu.empty()) {
                // The three slowest periods by processor time, by their index.
                std::vector<size_t> idx(r.cpu.size());
                for (size_t i = 0; i < idx.size(); ++i) idx[i] = i;
                std::partial_sort(idx.begin(), idx.begin() + std::min<size_t>(3, idx.size()), idx.end(),
                                  [&r](size_t a, size_t b) { return r.cpu[a] > r.cpu[b]; });
                for (size_t i = 0; i < std::min<size_t>(3, idx.size()); ++i)
                    std::printf("        period %zu: cpu %.1f %%\n", idx[i], 100 * r.cpu[idx[i]]);
            }
            if (verbose)
                std::printf("  %5d %10.1f %10.1f %10.1f %10.1f %8d %10ld %8ld %6d  %s\n", period, 100 * w,
                            100 * percentile(r.shares, 0.999), 100 * wc, 100 * percentile(r.cpu, 0.999), r.voices,
                            r.limited, r.starved, r.pool, f.c_str());
        }
        std::printf("%7d %10.1f %10.1f %10.1f %10.1f %8d %10ld %8ld %6d  %s\n", period, 100 * worst,
                    100 * percentile(all, 0.999), 100 * worstcpu, 100 * percentile(allcpu, 0.999), voices, limited,
                    starved, pool, std::filesystem::path(worstfile).filename().c_str());
        std::fflush(stdout);
    }
    return 0;
}
