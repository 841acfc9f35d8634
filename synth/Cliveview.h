#pragma once
// The sound bank as the live engine sees it: two views over one table of published samples.
//
// The sample store (Cstore) is single-threaded and loads from the bank file. While the engine
// lives, only its loader view calls the store, and only one thread at a time uses the loader
// view: the owner's thread in Clive::prepare() or the engine's worker thread, which take turns
// under the engine's mutex. Every sample the loader hands out is published to the table: its
// points and count are written, its peak measured into the play view, then its audio pointer is
// stored with release ordering. The play view, on the device's callback thread, reads only
// samples whose pointer it loaded with acquire ordering, and never calls the store. A published
// sample keeps a pin of the engine's own, so the store never evicts it while the engine lives;
// the play view gives those pins back when it goes (on the owner's thread, after the stream
// stopped and the worker ended).
#include "synth/Csf2view.h"

#include <atomic>
#include <cstdint>
#include <memory>

class Cliveview : public Csf2view {
public:
    Cliveview(Csf2file& bank, Cstore& store);
    ~Cliveview() override;

    // Callback thread: the published audio of sample `index`. A sample not published yet reads
    // as silence of no points (the engine starts no note before its samples are published).
    const int16_t* points(size_t index, uint32_t points, uint32_t& loaded) override;
    // The engine's pins keep every published sample; voices have nothing to give back.
    void unpin(size_t) override {}
    bool ready(size_t index) const
    {
        return index < m_count && m_slots[index].audio.load(std::memory_order_acquire) != nullptr;
    }
    // Samples published so far (any thread).
    int published() const { return m_published.load(std::memory_order_relaxed); }

private:
    friend class Cliveload;
    struct Cslot {
        std::atomic<const int16_t*> audio{nullptr};
        uint32_t loaded = 0;    // written before audio is published, read after
        bool pinned = false;    // loader side only
    };
    // Loader side: makes the sample readable by the callback. pinned: the store holds its audio
    // for the engine (a load that found no room publishes silence without a pin).
    void publish(size_t index, const int16_t* audio, uint32_t loaded, bool pinned);

    size_t m_count;
    std::unique_ptr<Cslot[]> m_slots;
    std::atomic<int> m_published{0};
};

// The loader's view: loads through the store as the converter's view does, and publishes every
// sample it hands out to the play view. One thread at a time (see above).
class Cliveload : public Csf2view {
public:
    Cliveload(Csf2file& bank, Cstore& store, Cliveview& play);

    const int16_t* points(size_t index, uint32_t points, uint32_t& loaded) override;

private:
    Cliveview& m_play;
};
