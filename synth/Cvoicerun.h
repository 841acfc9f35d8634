#pragma once
// Renders the sounding voices of a channel for a job of a few slices. When the job holds enough
// work and a second processor is spare (Chelper), the voices are cut in two: the render thread
// renders one part into the synthesizer's buses while its helper thread renders the other into
// buses of its own (or the render thread does, if the helper has not started by the time it is
// done with its own), which are then added. The cut depends only on the voice list, so the
// result never depends on timing.
#include "synth/Chelper.h"
#include "synth/Ctwins.h"

#include <atomic>
#include <memory>
#include <vector>

struct Csynth;
class Cvoice;

class Cvoicerun {
public:
    static constexpr int SLICE = 960;   // longest slice, samples: a whole number of control steps
    static constexpr int JOB = 8 * SLICE;   // longest render call, samples
    static constexpr int NBUS = 6;      // the synthesizer's mixing buses

    // parallel: split work over a helper thread when the machine has more than one processor.
    // share: twins compute their common signal once (Ctwins); tests compare with false.
    explicit Cvoicerun(bool parallel = true, bool share = true);
    ~Cvoicerun();
    Cvoicerun(const Cvoicerun&) = delete;
    Cvoicerun& operator=(const Cvoicerun&) = delete;

    // Adds n samples (n <= JOB) of every listed voice into synth.bus from synth.mixpos on, slice
    // by slice. The list must hold the same voices for all n: voices that finish on the way
    // add nothing after that, and are reaped by the caller afterwards.
    void render(const Csynth& synth, const std::vector<Cvoice*>& voices, int n);

    // Whether slices are split over two threads here (false on a single processor).
    bool parallel() const { return m_parallel; }
    // Room for n voices in one slice in the scratch lists (SCRATCH at construction), so that
    // rendering allocates only past n. Before rendering starts.
    void reserve(size_t n)
    {
        for (int t = 0; t < 2; ++t) {
            m_mine[t].done.reserve(n);
            m_mine[t].group.reserve(n);
        }
        for (auto& l : m_lists) l.reserve(n);
        m_unit.reserve(n);
        m_ucost.reserve(n);
        m_upart.reserve(n);
        m_order.reserve(n);
        m_keys.reserve(tablesize(n));
        m_keyunit.reserve(tablesize(n));
    }
    // Chunks whose signal a twin took from another so far.
    long twinshares() const { return m_mine[0].twins.m_shared + m_mine[1].twins.m_shared; }
    // Chunks whose control steps a twin took from another so far.
    long ctlshares() const { return m_mine[0].twins.m_ctlshared + m_mine[1].twins.m_ctlshared; }

private:
    // Renders the voices group by group of equal send levels: each group is summed in stereo
    // into lr (2 * SLICE floats) and then spread over the six buses once. With fresh, the buses
    // hold nothing yet and the first group stores instead of adding. With later (slices after
    // the first of a job), voices that have finished are passed over. False when no voice was
    // rendered (fresh buses are then left unwritten).
    // done and group: the calling thread's scratch lists; twins: its twin signals, or null.
    static bool renderlist(const Csynth& synth, Cvoice* const* v, int count, float* const* bus, int w,
                           int n, float* lr, bool fresh, bool later, std::vector<char>& done,
                           std::vector<Cvoice*>& group, Ctwins* twins);
    Ctwins* twins(int part) { return m_share ? &m_mine[part].twins : nullptr; }
    // Puts the voices into units: a voice alone, or every twin of one note-on. Fills m_unit
    // (each voice's unit) and m_ucost (each unit's cost, in order of first voice); returns the
    // number of units.
    int units(const std::vector<Cvoice*>& voices);
    // Entries of the twin table for n voices: a power of two, at least 2 n.
    static size_t tablesize(size_t n);
    // Renders the voices v[0..count) over the job (m_n samples), slice by slice from sample
    // `from` (a whole number of slices) on: part 0 into the synthesizer's buses, part 1 into the
    // helper's own. One thread at a time renders a part. With yield (the helper) it stops before
    // a slice once the render thread asks for the rest (m_steal); returns where it stopped, m_n
    // when done.
    int slices(int part, Cvoice* const* v, int count, int from = 0, bool yield = false);
    // slices() over the voices of one part of the cut.
    int renderpart(int p, int from = 0, bool yield = false)
    {
        return slices(p, m_lists[p].data(), int(m_lists[p].size()), from, yield);
    }
    float* stereo(int part) { return m_lrat + size_t(part) * 2 * SLICE; }
    // The first float of p at or after a 64-byte boundary: whole cache lines, so that vectors of
    // eight floats at multiples of eight never straddle two.
    static float* aligned(float* p);

    bool m_parallel;

    // The job of both threads, written before the helper is started: the voices of each part,
    // in the order of the voice list.
    const Csynth* m_synth = nullptr;
    int m_n = 0;
    // The render thread, done with its part, takes the slices of the helper's part that the
    // helper has not started (m_handoff, where the helper stopped).
    std::atomic<bool> m_steal{false};
    int m_handoff = 0;
    std::vector<Cvoice*> m_lists[2];
    // Scratch of the cut in two: the twin table (group keys and their units), each voice's
    // unit, each unit's cost and part, and the units by falling cost.
    std::vector<uint64_t> m_keys;
    std::vector<int> m_keyunit, m_unit;
    std::vector<long> m_ucost;
    std::vector<uint8_t> m_upart;
    std::vector<int> m_order;
    std::unique_ptr<float[]> m_scratch;   // part 1's six buses of a job
    std::unique_ptr<float[]> m_lr;        // stereo sums: part 0's, then part 1's
    float* m_scratchat = nullptr;         // both from their first cache line boundary
    float* m_lrat = nullptr;
    // What the rendering of each part writes: scratch lists, reserved at construction so that
    // rendering allocates only past SCRATCH voices in one slice, and its twin signals in the
    // current slice. Each on cache lines of its own, so that the two threads never write into
    // one line.
    static constexpr size_t SCRATCH = 1024;
    struct alignas(64) Cmine {
        std::vector<char> done;
        std::vector<Cvoice*> group;
        Ctwins twins;
    };
    bool m_share;
    Cmine m_mine[2];
};
