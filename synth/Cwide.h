#pragma once
// Processor-specific helpers of the rendering loops.
//
// The rendering loops come in two builds, AVX2 and the baseline, and one choice made here at
// start-up says which runs: wide::avx2() is true when the processor has AVX2 and the environment
// variable CANTORIX_PLAIN was not set. Tests switch to the plain loops with wide::forceplain, so
// that they compare both builds wherever the processor runs AVX2.
//
// CANTORIX_AVX2 is defined where loops for AVX2 can be built (functions marked
// __attribute__((target("avx2")))): written with intrinsics, or plain loops that the compiler
// vectorizes, run through wide::run.
#include <cstdlib>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CANTORIX_AVX2 1
#include <immintrin.h>
#endif

// Marks a loop body (a lambda) that wide::run builds into both versions.
#define CANTORIX_INLINE __attribute__((always_inline))

namespace wide {

namespace detail {
inline bool choose()
{
#ifdef CANTORIX_AVX2
    const char* plain = std::getenv("CANTORIX_PLAIN");
    return __builtin_cpu_supports("avx2") && !(plain && *plain && *plain != '0');
#else
    return false;
#endif
}
inline bool cpu()
{
#ifdef CANTORIX_AVX2
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}
inline bool chosen = choose();
} // namespace detail

// Whether the AVX2 loops run.
inline bool avx2() { return detail::chosen; }
// Whether the processor could run them (what forceplain(false) goes back to, unless the
// environment forced the plain loops).
inline bool available() { return detail::cpu(); }
// Tests: true runs the plain loops from now on; false goes back to the start-up choice.
inline void forceplain(bool on) { detail::chosen = on ? false : detail::choose(); }

#ifdef CANTORIX_AVX2
template <class F> __attribute__((target("avx2"))) void runavx2(const F& body) { body(); }
#endif
template <class F> void runplain(const F& body) { body(); }

// Runs a loop body (a lambda marked CANTORIX_INLINE) as built for AVX2 or for the baseline,
// whichever avx2() chose: the body is compiled into both, and the compiler vectorizes each for
// its instruction set.
template <class F> void run(const F& body)
{
#ifdef CANTORIX_AVX2
    if (avx2()) { runavx2(body); return; }
#endif
    runplain(body);
}

// One round of a busy wait: tells the processor that this thread spins.
inline void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

} // namespace wide
