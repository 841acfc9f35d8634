#pragma once
// The signals of twin voices, kept by one rendering thread for one slice.
//
// A preset whose zones all name the same instrument (a split by velocity, say) starts one voice
// per zone for each note: the same sample at the same pitch, differing at most in their volume
// envelopes, levels, pan and sends. The note-on marks the voices of one note that play the same
// sample (and partner sample) as twins (Cvoice::m_twin). A twin a thread renders in a slice keeps
// what its oscillators and filters computed, before the amplifier: the signal of both halves, and
// the state they end the chunk in. A later twin whose chunk starts from exactly the same inputs
// (positions, play mode and bounds, pitch steps, filter memory and coefficients, bit for bit)
// would compute exactly the same floats, so it takes them and that end state instead, and goes on
// to apply its own amplitudes, pan and sends. Twins whose inputs differ (another tuning or cutoff
// in their preset zone, a release that came at another time) keep a slot each. Only a twin that
// adds both halves in a chunk renders for others.
//
// Each thread keeps its own slots, so no thread waits for another, and the floats a voice adds
// never depend on which thread rendered which twin first. Slots and their buffers are allocated
// once, and left untouched until used; when a slice holds more twin chunks to keep than slots, the
// rest render on their own.
#include "synth/Cfilter.h"
#include "synth/Cosc.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

class Ctwins {
public:
    static constexpr int STEPS = 48;                   // control steps of a chunk (Cvoice::CHUNKSTEPS)
    static constexpr int CHUNK = STEPS * synunits::CTLSTEP;
    static constexpr int SLOTS = 256;                  // twin groups kept per slice

    // The filter of one half as a chunk's audio uses it: on or off, its memory, and the
    // coefficients of each step, given by the set the chunk started with, the cutoffs of the
    // sets that followed (computed together at the resonance q) and which set each step takes.
    struct Cfilterin {
        bool on;
        float y, v;
        double q;
        int sets;
        Cfilter::Ccoefs first;
        double hz[STEPS + 1];
        uint8_t set[STEPS];
    };
    // Everything a chunk's signal is computed from. Partner fields are 0 without a partner.
    struct Cin {
        int steps, last;
        Cosc::Cstep st[STEPS];
        const int16_t* data;
        int pos, mode, end, loopstart, loopend;
        double frac;
        bool pair;
        const int16_t* pdata;
        int pmode, pend, ploopstart, ploopend;
        Cfilterin f[2];
    };
    // What the chunk left: the steps rendered before the oscillator stopped, and the state.
    struct Cout {
        int done;
        int pos[2], mode[2];
        double frac[2];
        float y[2], v[2];
    };
    struct Cslot {
        uint64_t key;
        Cin in;
        Cout out;
        float* x;   // the main half's signal, CHUNK floats on a 64-byte boundary
        float* y;   // the partner's
    };

    Ctwins() : m_slots(new Cslot[SLOTS]), m_buf(new float[size_t(SLOTS) * 2 * CHUNK + 16])
    {
        m_at = m_buf.get();
        m_at += ((64 - reinterpret_cast<uintptr_t>(m_at) % 64) % 64) / sizeof(float);
    }

    // A new slice: every slot is free.
    void clear() { m_used = 0; }

    // The slot of a twin of the group whose chunk had these inputs, if any.
    Cslot* find(uint64_t key, const Cin& in)
    {
        for (int i = 0; i < m_used; ++i)
            if (m_slots[i].key == key && same(m_slots[i].in, in)) return &m_slots[i];
        return nullptr;
    }
    // A free slot for the group, or null when all are taken.
    Cslot* add(uint64_t key)
    {
        if (m_used == SLOTS) return nullptr;
        Cslot* s = &m_slots[m_used];
        s->key = key;
        s->x = m_at + size_t(m_used) * 2 * CHUNK;
        s->y = s->x + CHUNK;
        ++m_used;
        return s;
    }

    long m_shared = 0;   // chunks a twin took from another, over the object's life (tests)

    // Room for the inputs of a chunk that is compared with the slots'.
    Cin& scratch() { return m_in; }

    // Whether two chunks compute the same signal: equal inputs, floats compared bit for bit.
    static bool same(const Cin& a, const Cin& b)
    {
        if (a.steps != b.steps || a.last != b.last || a.data != b.data || a.pos != b.pos || a.mode != b.mode ||
            a.end != b.end || a.loopstart != b.loopstart || a.loopend != b.loopend || !bits(a.frac, b.frac) ||
            a.pair != b.pair || a.pdata != b.pdata || a.pmode != b.pmode || a.pend != b.pend ||
            a.ploopstart != b.ploopstart || a.ploopend != b.ploopend)
            return false;
        for (int j = 0; j < a.steps; ++j)
            if (!(a.st[j] == b.st[j])) return false;
        for (int h = 0; h < (a.pair ? 2 : 1); ++h)
            if (!same(a.f[h], b.f[h], a.steps)) return false;
        return true;
    }

private:
    static bool bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }
    static bool bits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

    static bool same(const Cfilterin& a, const Cfilterin& b, int steps)
    {
        if (a.on != b.on) return false;
        if (!a.on) return true;
        // The coefficients are floats without padding between them, up to the last one.
        constexpr size_t COEFS = offsetof(Cfilter::Ccoefs, a) + sizeof(float);
        if (!bits(a.y, b.y) || !bits(a.v, b.v) || !bits(a.q, b.q) || a.sets != b.sets ||
            std::memcmp(&a.first, &b.first, COEFS) != 0)
            return false;
        for (int k = 1; k < a.sets; ++k)
            if (!bits(a.hz[k], b.hz[k])) return false;
        return std::memcmp(a.set, b.set, size_t(steps)) == 0;
    }

    std::unique_ptr<Cslot[]> m_slots;
    std::unique_ptr<float[]> m_buf;   // left uninitialized: pages become resident as slots are used
    float* m_at;                      // its first 64-byte boundary
    int m_used = 0;
    Cin m_in;
};
