#pragma once
// Float lines that come zeroed from calloc: a large block arrives as untouched pages, which take
// no memory until something is written into them (std::make_unique<float[]> writes every one).
// For lines of which a run may use only the front: the mixing buses, the delay lines.
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

struct Cfreefloats {
    void operator()(float* p) const { std::free(p); }
};
using Czeroed = std::unique_ptr<float[], Cfreefloats>;

// n zeroed floats; throws std::bad_alloc when there is no room.
inline Czeroed zeroed(size_t n)
{
    auto* p = static_cast<float*>(std::calloc(n, sizeof(float)));
    if (!p) throw std::bad_alloc();
    return Czeroed(p);
}
