#include "synth/Cliveview.h"

#include "bank/Csf2file.h"
#include "bank/Cstore.h"

namespace {

// Read by the callback for a sample that is not published: zeros, and the points past them that
// every buffer must have.
const int16_t NOTHING[Cstore::PAD + 1] = {};

} // namespace

Cliveview::Cliveview(Csf2file& bank, Cstore& store)
    : Csf2view(bank, store), m_count(smps.size()), m_slots(std::make_unique<Cslot[]>(smps.size()))
{
    sizepeaks();
}

Cliveview::~Cliveview()
{
    for (size_t i = 0; i < m_count; ++i)
        if (m_slots[i].pinned) m_store.unpin(m_bank.shdrs[i]);
}

const int16_t* Cliveview::points(size_t index, uint32_t, uint32_t& loaded)
{
    const int16_t* a = index < m_count ? m_slots[index].audio.load(std::memory_order_acquire) : nullptr;
    if (!a) {
        loaded = 0;
        return NOTHING;
    }
    loaded = m_slots[index].loaded;
    return a;
}

void Cliveview::publish(size_t index, const int16_t* audio, uint32_t loaded, bool pinned)
{
    Cslot& s = m_slots[index];
    s.loaded = loaded;
    s.pinned = pinned;
    // A voice measures the points up to its end and one past it; measured here, the callback
    // finds the peak known.
    peak(index, audio, loaded + 1);
    s.audio.store(audio, std::memory_order_release);
    m_published.fetch_add(1, std::memory_order_relaxed);
}

Cliveload::Cliveload(Csf2file& bank, Cstore& store, Cliveview& play) : Csf2view(bank, store), m_play(play) {}

const int16_t* Cliveload::points(size_t index, uint32_t pts, uint32_t& loaded)
{
    const int16_t* p = Csf2view::points(index, pts, loaded);
    if (index < m_play.m_count && !m_play.ready(index)) {
        // The voice that asked gives its pin back when it ends; this one is the engine's.
        Sfshdr& s = m_bank.shdrs[index];
        const bool kept = s.audio != nullptr;
        if (kept) m_store.pin(s);
        m_play.publish(index, p, loaded, kept);
    }
    return p;
}
