#pragma once
// The synthesizer's view of a sound bank: the SoundFont 2 record lists it needs, in file order
// with their terminal records, so that every index field keeps its SoundFont 2 meaning, and a
// way to get a sample's audio. A view is filled once after a bank is read (from a Csf2file or
// Ccompsf and the sample store) and is then read by every preset instance built from it.
//
// Render thread only. Preset construction walks the lists; note starts call points().
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

class Cbankview {
public:
    struct Phdr {
        uint16_t preset = 0;
        uint16_t bank = 0;
        uint16_t bag = 0;       // first preset bag of this preset
    };
    struct Bag {
        uint16_t gen = 0;       // first generator of this bag
    };
    struct Gen {
        uint16_t oper = 0;
        int16_t amount = 0;     // signed, or two range bytes (low byte = low end)
        int lo() const { return uint16_t(amount) & 0xff; }
        int hi() const { return uint16_t(amount) >> 8; }
    };
    struct Inst {
        uint16_t bag = 0;       // first instrument bag of this instrument
    };
    struct Smp {
        uint32_t length = 0;    // points
        uint32_t loopstart = 0, loopend = 0;
        uint32_t rate = 44100;
        uint8_t pitch = 60;     // original key
        int8_t correction = 0;  // cents
        uint16_t link = 0;
        uint16_t type = 1;      // 1 mono, 2 right, 4 left, 8 linked
    };

    virtual ~Cbankview() = default;

    // Audio of sample `index` as 16-bit points. `points` is the furthest point a zone playing it
    // can address: the store raises the sample's points to load to it before the first load.
    // Returns the buffer (never null) and sets `loaded` to the number of points it holds; 23
    // further points after them are always readable (zero or the bytes that follow the sample).
    // The audio stays readable until unpin(index) is called as often as points(index) was: a
    // sounding voice holds its sample so that no other load frees it.
    virtual const int16_t* points(size_t index, uint32_t points, uint32_t& loaded) = 0;
    virtual void unpin(size_t) {}

    // The largest magnitude among the first n points of sample `index` (those at data), as a
    // fraction of full scale: what bounds any interpolation between them. Measured once per
    // sample and length, then remembered.
    float peak(size_t index, const int16_t* data, uint32_t n)
    {
        // Indices come from zones, which check them against smps: after sizepeaks() no call
        // resizes the list, so threads that measure different samples never meet.
        if (m_peaks.size() <= index) m_peaks.resize(index + 1);
        Cpeak& p = m_peaks[index];
        if (!p.known || p.n != n) {
            int m = 0;
            for (uint32_t i = 0; i < n; ++i) m = std::max(m, std::abs(int(data[i])));
            p = {true, n, float(m) / 32768.0f};
        }
        return p.peak;
    }

    // Makes room for every sample's peak at once.
    void sizepeaks() { m_peaks.resize(smps.size()); }

    std::vector<Phdr> phdrs;
    std::vector<Bag> pbags;
    std::vector<Gen> pgens;
    std::vector<Inst> insts;
    std::vector<Bag> ibags;
    std::vector<Gen> igens;
    std::vector<Smp> smps;

    // The first preset header (terminal record excluded) with this bank and preset number.
    const Phdr* find(int bank, int preset) const
    {
        for (size_t i = 0; i + 1 < phdrs.size(); ++i)
            if (phdrs[i].bank == bank && phdrs[i].preset == preset) return &phdrs[i];
        return nullptr;
    }

private:
    struct Cpeak {
        bool known = false;
        uint32_t n = 0;
        float peak = 0;
    };
    std::vector<Cpeak> m_peaks;
};
