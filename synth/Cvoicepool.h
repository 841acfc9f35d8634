#pragma once
// Storage for voice objects made ahead, for the live engine: an instrument zone that needs a new
// voice object builds it in a slot taken from here and gives the slot back when the voice goes,
// so that no note allocates on the audio callback. Slots are taken and given on one thread (the
// callback); blocks of slots are made elsewhere and handed in with adopt(), which threads them
// into the free list without allocating. The pool never frees a block: their owner does, after
// every voice built in them is gone.
#include <cstddef>
#include <new>

class Cvoice;

class Cvoicepool {
public:
    // Bytes and alignment of one slot: room for a Cvoice, and for the link of a free slot.
    static size_t slotsize();
    static constexpr std::align_val_t ALIGN{64};

    // Hook run when take() finds no slot: it may give slots back (from the free lists of zones
    // that no longer need them) before take() tries again.
    void (*reclaim)(void* ctx) = nullptr;
    void* reclaimctx = nullptr;

    // A free slot, or null when none is left even after the hook ran.
    void* take()
    {
        if (!m_free && reclaim) reclaim(reclaimctx);
        Cslot* s = m_free;
        if (!s) return nullptr;
        m_free = s->next;
        --m_left;
        return s;
    }
    void give(void* p)
    {
        m_free = new (p) Cslot{m_free};
        ++m_left;
    }
    // Threads n slots of slotsize() bytes from `block` (aligned to ALIGN) into the free list.
    void adopt(void* block, size_t n)
    {
        char* at = static_cast<char*>(block);
        for (size_t i = 0; i < n; ++i) give(at + i * slotsize());
        m_total += n;
    }
    // Slots free now, and all slots adopted.
    size_t left() const { return m_left; }
    size_t total() const { return m_total; }

private:
    struct Cslot {
        Cslot* next;
    };
    Cslot* m_free = nullptr;
    size_t m_left = 0, m_total = 0;
};
