#pragma once
// The signals of twin voices, kept by one rendering thread for one slice.
//
// Many instruments layer one sample several times over the same keys: two zones of one saw wave
// or string sample panned apart, or with another filter or envelope; a drum kit whose preset
// zones overlap. Each note then starts one voice per layer: the same sample,
// differing at most in pitch, filters, volume envelopes, levels, pan and sends. The note-on marks
// the voices of one note that play the same sample (and partner sample) as twins
// (Cvoice::m_twin). Sharing works on two levels:
//
// - The oscillators. A twin a thread renders in a slice keeps what its oscillators computed (the
//   signal of both halves before any filter) and where they end the chunk, in a slot. A later
//   twin whose chunk starts from exactly the same oscillator inputs (positions, play mode and
//   bounds, pitch steps, bit for bit) would compute exactly the same floats, so it takes them and
//   that end state instead.
// - The filters. Each slot keeps the filtered signals of the filter settings its twins used so
//   far (variants): a twin whose filters start the chunk from the same memory with the same
//   coefficients at every step takes that signal and end state too. Twins that differ in cutoff
//   (another cutoff generator in their preset zone) filter the shared signal each with its own.
//
// Every twin then applies its own amplitudes, pan and sends. Only a twin that adds both halves in
// a chunk takes part.
//
// Twins share their control steps as well. Many differ only in their volume envelopes (a layer
// with another attack or decay): the LFOs, the modulation envelope, the pitch and the
// cutoff of a half then start a chunk from the same state as those of a twin rendered before it,
// and step through the same values, so a twin whose modulation starts a chunk exactly as a kept
// one takes its values and end state (Cctl), and only steps its own volume envelope and amplifier.
//
// Each thread keeps its own slots, so no thread waits for another, and the floats a voice adds
// never depend on which thread rendered which twin first. Slots, variants and their buffers are
// allocated once, and left untouched until used; when a slice holds more twin chunks to keep than
// there are slots or variants, the rest render on their own.
#include "synth/Cfilter.h"
#include "synth/Clfo.h"
#include "synth/Cmodenv.h"
#include "synth/Cosc.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

class Ctwins {
public:
    static constexpr int STEPS = 48;                   // control steps of a chunk (Cvoice::CHUNKSTEPS)
    static constexpr int CHUNK = STEPS * synunits::CTLSTEP;
    static constexpr int SLOTS = 256;                  // oscillator signals kept per slice
    // Filtered signals kept per slice. Each twin whose cutoff differs from its siblings' needs a
    // variant of its own, for every note ringing in the slice; twins left without one filter
    // their copy alone instead of side by side with their siblings, which takes about a third
    // longer. The buffers take memory only as far as they are used.
    static constexpr int VARIANTS = 512;

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
    // Everything the oscillators' signal of a chunk is computed from. Partner fields are 0
    // without a partner.
    struct Cin {
        int steps, last;
        const Cosc::Cstep* from;   // the chunk's pitch steps, until add() copies them into st
        Cosc::Cstep st[STEPS];
        bool uniform;              // every step has the first one's pitch
        const int16_t* data;
        int pos, mode, end, loopstart, loopend;
        double frac;
        bool pair;
        const int16_t* pdata;
        int pmode, pend, ploopstart, ploopend;
    };
    // What the oscillators left: the steps rendered before the main one stopped, and the state.
    struct Cout {
        int done;
        int pos[2], mode[2];
        double frac[2];
    };
    // The filters of both halves, what they start from and where they end.
    struct Cfilters {
        Cfilterin f[2];
        float y[2], v[2];
    };
    struct Cvariant {
        Cfilters in;
        float* x;      // the filtered signal of each half, CHUNK floats on a 64-byte boundary
        float* y;
        int next;      // the slot's next variant, or -1
    };
    struct Cslot {
        Cin in;
        Cout out;
        float* x;      // the main half's signal, CHUNK floats on a 64-byte boundary
        float* y;      // the partner's
        int variants;  // the first variant, or -1
    };

    // The control steps of a half in a chunk, apart from the volume envelope and the amplifier:
    // what they start from, and what they leave (Cvoice.cpp fills and compares them).
    static constexpr int CTLS = 128;                   // control steps kept per slice
    struct Cctl {
        int steps;
        unsigned parts;            // which parts step, and whether it is a main half
        Clfo modlfo, viblfo;
        Cmodenv modenv;
        double pitch[5];           // the oscillator's pitch inputs (main half)
        double cutoff[5];          // the filter's cutoff inputs (when it runs)
        Cfilter::Ccoefs coefs;
        // What the steps leave: the modulation LFO's value before each step, the parts' end
        // state, the pitch of each step and the filter's sets (as Cvoice's half keeps them).
        float lfo[STEPS];
        Clfo endmodlfo, endviblfo;
        Cmodenv endmodenv;
        Cosc::Cstep st[STEPS];
        double dev;
        bool exact;
        uint8_t set[STEPS];
        int ncopies;
        double hz[STEPS + 1];
        double endcurhz;
        Cfilter::Ccoefs endcoefs;
    };

    Ctwins()
        : m_keys(new uint64_t[SLOTS]), m_slots(new Cslot[SLOTS + 1]), m_variants(new Cvariant[VARIANTS + 1]),
          m_vkeys(new uint64_t[VARIANTS]),
          m_buf(new float[(size_t(SLOTS) + VARIANTS) * 2 * CHUNK + 16]),
          m_ctlmem(new unsigned char[sizeof(Cctl) * CTLS + alignof(Cctl)]), m_ckeys(new uint64_t[CTLS])
    {
        m_at = m_buf.get();
        m_at += ((64 - reinterpret_cast<uintptr_t>(m_at) % 64) % 64) / sizeof(float);
        void* at = m_ctlmem.get();
        size_t room = sizeof(Cctl) * CTLS + alignof(Cctl);
        m_ctls = static_cast<Cctl*>(std::align(alignof(Cctl), sizeof(Cctl) * CTLS, at, room));
    }

    ~Ctwins()
    {
        for (int i = 0; i < m_cmade; ++i) m_ctls[i].~Cctl();
    }
    Ctwins(const Ctwins&) = delete;
    Ctwins& operator=(const Ctwins&) = delete;

    // A new slice: every slot and variant is free.
    void clear() { m_used = m_vused = m_cused = 0; }

    // The kept control steps of twin group `twin` that match, by match(const Cctl&), or null.
    template <class F> const Cctl* findctl(uint64_t twin, F match) const
    {
        // Newest first: the twins of a note are mostly rendered one after another.
        for (int i = m_cused - 1; i >= 0; --i)
            if (m_ckeys[i] == twin && match(m_ctls[i])) return &m_ctls[i];
        return nullptr;
    }
    // Room to keep the control steps of a chunk of group `twin`, or null when all are taken.
    // Each is made on first use, in memory left untouched until then: only banks with twins that
    // modulate need any.
    Cctl* addctl(uint64_t twin)
    {
        if (m_cused == CTLS) return nullptr;
        if (m_cused == m_cmade) new (&m_ctls[m_cmade++]) Cctl;
        m_ckeys[m_cused] = twin;
        return &m_ctls[m_cused++];
    }

    // Room for the oscillator inputs of a chunk, to compare with the slots' and to keep with add().
    Cin& scratch() { return m_slots[m_used].in; }
    // The slot of a twin of the group whose chunk had the inputs in scratch(), if any.
    Cslot* find(uint64_t key)
    {
        const Cin& in = m_slots[m_used].in;
        for (int i = 0; i < m_used; ++i)
            if (m_keys[i] == key && same(m_slots[i].in, in)) return &m_slots[i];
        return nullptr;
    }
    // Keeps scratch() as a new slot of the group, or null when all are taken.
    Cslot* add(uint64_t key)
    {
        if (m_used == SLOTS) return nullptr;
        m_keys[m_used] = key;
        Cslot* s = &m_slots[m_used];
        s->x = m_at + size_t(m_used) * CHUNK;
        s->y = m_at + (size_t(SLOTS) + size_t(m_used++)) * CHUNK;
        std::copy(s->in.from, s->in.from + s->in.steps, s->in.st);
        s->variants = -1;
        return s;
    }

    // Room for the filter inputs of a chunk, to compare with a slot's variants and to keep.
    Cfilters& fscratch() { return m_variants[m_vused].in; }
    // The variant of the slot whose filters had the inputs in fscratch(), if any.
    Cvariant* findvariant(const Cslot& s, int steps)
    {
        const Cfilters& in = m_variants[m_vused].in;
        const int halves = s.in.pair ? 2 : 1;
        const uint64_t key = vkey(in);
        for (int i = s.variants; i >= 0; i = m_variants[i].next) {
            if (m_vkeys[i] != key) continue;
            bool match = true;
            for (int h = 0; h < halves && match; ++h) match = same(m_variants[i].in.f[h], in.f[h], steps);
            if (match) return &m_variants[i];
        }
        return nullptr;
    }
    // Keeps fscratch() as a new variant of the slot, or null when all are taken.
    Cvariant* addvariant(Cslot& s)
    {
        if (m_vused == VARIANTS) return nullptr;
        Cvariant* v = &m_variants[m_vused];
        v->x = m_at + (size_t(SLOTS) * 2 + size_t(m_vused)) * CHUNK;
        v->y = m_at + (size_t(SLOTS) * 2 + size_t(VARIANTS) + size_t(m_vused)) * CHUNK;
        m_vkeys[m_vused] = vkey(v->in);
        v->next = s.variants;
        s.variants = m_vused++;
        return v;
    }

    long m_shared = 0;   // chunks a twin took from another, over the object's life (tests)
    long m_ctlshared = 0;   // the same for control steps
    uint32_t m_stamp = 0;   // the list of voices being rendered (Cvoice::m_stamp)

    // Whether a kept chunk and a new one (b, its steps not copied yet) compute the same
    // oscillator signal: equal inputs, compared bit for bit.
    static bool same(const Cin& a, const Cin& b)
    {
        if (a.steps != b.steps || a.last != b.last || a.data != b.data || a.pos != b.pos || a.mode != b.mode ||
            a.end != b.end || a.loopstart != b.loopstart || a.loopend != b.loopend || !bits(a.frac, b.frac) ||
            a.pair != b.pair || a.pdata != b.pdata || a.pmode != b.pmode || a.pend != b.pend ||
            a.ploopstart != b.ploopstart || a.ploopend != b.ploopend)
            return false;
        if (a.uniform && b.uniform) return a.st[0] == b.from[0];
        for (int j = 0; j < a.steps; ++j)
            if (!(a.st[j] == b.from[j])) return false;
        return true;
    }

private:
    // The main half's filter memory, where twins' filters differ first.
    static uint64_t vkey(const Cfilters& f)
    {
        if (!f.f[0].on) return 0;
        return uint64_t(std::bit_cast<uint32_t>(f.f[0].y)) << 32 | std::bit_cast<uint32_t>(f.f[0].v);
    }
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

    // The groups of the slots in use, apart, so that a search reads few cache lines.
    std::unique_ptr<uint64_t[]> m_keys;
    // One slot and one variant more than can be kept: the last is scratch when all are taken.
    std::unique_ptr<Cslot[]> m_slots;
    std::unique_ptr<Cvariant[]> m_variants;
    std::unique_ptr<uint64_t[]> m_vkeys;   // vkey() of each variant in use, apart
    // Left uninitialized: pages become resident as slots are used. From its first 64-byte
    // boundary (m_at): the slots' main halves, their partners, the variants' main halves, their
    // partners; the partners' pages stay untouched while only mono voices are twins.
    std::unique_ptr<float[]> m_buf;
    float* m_at;
    int m_used = 0, m_vused = 0;
    // Like m_buf, allocated here (rendering never allocates) and left untouched until used.
    std::unique_ptr<unsigned char[]> m_ctlmem;
    std::unique_ptr<uint64_t[]> m_ckeys;   // the group of each kept Cctl, apart
    Cctl* m_ctls = nullptr;                // in m_ctlmem; the first m_cmade made
    int m_cused = 0, m_cmade = 0;
};
