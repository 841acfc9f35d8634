#pragma once
// Tiny sound banks built in memory for the synthesizer's tests, and a small rig that renders a
// channel into six plain bus arrays.
#include "bank/Sfgens.h"
#include "settings/Csettings.h"
#include "synth/Cbankview.h"
#include "synth/Cchannel.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <numbers>
#include <utility>
#include <vector>

using Gens = std::vector<std::pair<int, int>>;   // (sfgen operator, amount)

inline int range(int lo, int hi) { return lo | hi << 8; }

class Testbank : public Cbankview {
public:
    // Audio of each sample followed by 23 zero points, as the store keeps it.
    std::vector<std::vector<int16_t>> audio;
    uint32_t lastwant = 0;        // furthest point asked for by the last request
    int requests = 0;

    const int16_t* points(size_t index, uint32_t want, uint32_t& loaded) override
    {
        ++requests;
        lastwant = want;
        loaded = uint32_t(audio[index].size() - 23);
        return audio[index].data();
    }

    int sample(std::vector<int16_t> pts, uint32_t loopstart, uint32_t loopend, uint32_t rate = 44100,
               int pitch = 60, int corr = 0, int type = 1, int link = 0)
    {
        Smp s;
        s.length = uint32_t(pts.size());
        s.loopstart = loopstart;
        s.loopend = loopend;
        s.rate = rate;
        s.pitch = uint8_t(pitch);
        s.correction = int8_t(corr);
        s.type = uint16_t(type);
        s.link = uint16_t(link);
        smps.push_back(s);
        pts.resize(pts.size() + 23, 0);
        audio.push_back(std::move(pts));
        return int(smps.size() - 1);
    }

    // An instrument of zones, each a list of generators; returns its number.
    int instrument(const std::vector<Gens>& zones)
    {
        insts.push_back(Inst{uint16_t(ibags.size())});
        for (const Gens& z : zones) {
            ibags.push_back(Bag{uint16_t(igens.size())});
            for (auto [op, amt] : z) igens.push_back(Gen{uint16_t(op), int16_t(amt)});
        }
        return int(insts.size() - 1);
    }

    void preset(int bank, int program, const std::vector<Gens>& zones)
    {
        phdrs.push_back(Phdr{uint16_t(program), uint16_t(bank), uint16_t(pbags.size())});
        for (const Gens& z : zones) {
            pbags.push_back(Bag{uint16_t(pgens.size())});
            for (auto [op, amt] : z) pgens.push_back(Gen{uint16_t(op), int16_t(amt)});
        }
    }

    // Terminal records, after every sample, instrument and preset.
    void finish()
    {
        phdrs.push_back(Phdr{0, 0, uint16_t(pbags.size())});
        pbags.push_back(Bag{uint16_t(pgens.size())});
        pgens.push_back(Gen{});
        insts.push_back(Inst{uint16_t(ibags.size())});
        ibags.push_back(Bag{uint16_t(igens.size())});
        igens.push_back(Gen{});
        smps.push_back(Smp{});
        audio.push_back(std::vector<int16_t>(23, 0));
    }
};

// Sample makers.
inline std::vector<int16_t> sine(int n, double period, double amp = 16000)
{
    std::vector<int16_t> s(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) s[size_t(i)] = int16_t(std::lround(amp * std::sin(2 * std::numbers::pi * i / period)));
    return s;
}
inline std::vector<int16_t> ramp(int n)
{
    std::vector<int16_t> s(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) s[size_t(i)] = int16_t(i * 7 - 3000);
    return s;
}
inline std::vector<int16_t> dc(int n, int16_t v) { return std::vector<int16_t>(size_t(n), v); }

// Generators that make a voice sound at once at full level: no delay, no attack.
inline Gens instant()
{
    return {{sfgen::volenvdelay, -32768}, {sfgen::volenvattack, -32768},
            {sfgen::modenvdelay, -32768}, {sfgen::modenvattack, -32768}};
}
inline Gens operator+(Gens a, const Gens& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Renders channels into six plain buses.
struct Rig {
    static constexpr int LEN = 44100 * 2;
    Csettings settings;
    Cmixtab mixtab;
    std::atomic<bool> abort{false};
    std::array<std::vector<float>, 6> bus;
    Csynth synth;

    explicit Rig(Cbankview& bank)
    {
        for (auto& b : bus) b.assign(LEN, 0.0f);
        synth.bank = &bank;
        synth.settings = &settings;
        synth.mixtab = &mixtab;
        synth.abort = &abort;
        for (int i = 0; i < 6; ++i) synth.bus[i] = bus[size_t(i)].data();
    }
    void clear()
    {
        for (auto& b : bus) std::fill(b.begin(), b.end(), 0.0f);
    }
    // n samples of a channel at position pos.
    void render(Cchannel& ch, int pos, int n)
    {
        synth.mixpos = pos;
        ch.render(n);
    }
    const std::vector<float>& dryl() const { return bus[0]; }
    const std::vector<float>& dryr() const { return bus[1]; }
};

// Mean frequency of a signal from its rising zero crossings, interpolated between samples.
inline double pitchhz(const std::vector<float>& x, size_t from, size_t to)
{
    double first = -1, last = -1;
    int count = 0;
    for (size_t i = from + 1; i < to; ++i)
        if (x[i - 1] < 0 && x[i] >= 0) {
            const double t = double(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
            if (first < 0) first = t;
            last = t;
            ++count;
        }
    return count > 1 ? (count - 1) * 44100.0 / (last - first) : 0;
}

inline double rms(const std::vector<float>& x, size_t from, size_t to)
{
    double s = 0;
    for (size_t i = from; i < to; ++i) s += double(x[i]) * x[i];
    return std::sqrt(s / double(to - from));
}
