#pragma once
// A bounded queue of small records that any number of threads may fill and empty at once without
// locks, allocation or waiting: every slot carries a sequence number that says whether it is free
// for the push of round r or full for the pop of round r. A push that finds the queue full and a
// pop that finds it empty return false at once. Records pushed by one thread are popped in the
// order that thread pushed them.
//
// A pop may also report "empty" for a moment while a push that has claimed the next slot has not
// yet written it; the record then comes with the next pop. The live engine pops at the start of
// each period, so such a message plays one period later, never out of order.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

template <class T> class Cmsgring {
public:
    // capacity: a power of two.
    explicit Cmsgring(size_t capacity) : m_cells(std::make_unique<Ccell[]>(capacity)), m_mask(capacity - 1)
    {
        for (size_t i = 0; i < capacity; ++i) m_cells[i].seq.store(i, std::memory_order_relaxed);
    }
    Cmsgring(const Cmsgring&) = delete;
    Cmsgring& operator=(const Cmsgring&) = delete;

    bool push(const T& v)
    {
        size_t pos = m_tail.load(std::memory_order_relaxed);
        for (;;) {
            Ccell& c = m_cells[pos & m_mask];
            const size_t seq = c.seq.load(std::memory_order_acquire);
            const intptr_t dif = intptr_t(seq) - intptr_t(pos);
            if (dif == 0) {
                if (m_tail.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    c.v = v;
                    c.seq.store(pos + 1, std::memory_order_release);
                    return true;
                }
            } else if (dif < 0) {
                return false;   // the slot still holds the record of the round before: full
            } else {
                pos = m_tail.load(std::memory_order_relaxed);
            }
        }
    }

    bool pop(T& v)
    {
        size_t pos = m_head.load(std::memory_order_relaxed);
        for (;;) {
            Ccell& c = m_cells[pos & m_mask];
            const size_t seq = c.seq.load(std::memory_order_acquire);
            const intptr_t dif = intptr_t(seq) - intptr_t(pos + 1);
            if (dif == 0) {
                if (m_head.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    v = c.v;
                    c.seq.store(pos + m_mask + 1, std::memory_order_release);
                    return true;
                }
            } else if (dif < 0) {
                return false;   // not written yet: empty
            } else {
                pos = m_head.load(std::memory_order_relaxed);
            }
        }
    }

    size_t capacity() const { return m_mask + 1; }

private:
    struct Ccell {
        std::atomic<size_t> seq{0};
        T v{};
    };
    std::unique_ptr<Ccell[]> m_cells;
    const size_t m_mask;
    alignas(64) std::atomic<size_t> m_head{0};   // next slot to pop
    alignas(64) std::atomic<size_t> m_tail{0};   // next slot to push
};
