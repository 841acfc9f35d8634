#pragma once
// Processor-specific helpers of the rendering loops.
//
// CANTORIX_WIDE marks a function whose loops the compiler vectorizes: on x86-64 with GCC it is
// built twice, for AVX2 and for the baseline, and the loader picks the one the processor runs.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define CANTORIX_WIDE __attribute__((target_clones("avx2", "default")))
#else
#define CANTORIX_WIDE
#endif

// CANTORIX_AVX2 is defined where loops written with AVX2 intrinsics can be built (functions
// marked __attribute__((target("avx2")))); they run only when wide::avx2 says the processor has it.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CANTORIX_AVX2 1
#include <immintrin.h>
#endif

namespace wide {

#ifdef CANTORIX_AVX2
inline const bool avx2 = __builtin_cpu_supports("avx2");
#else
inline constexpr bool avx2 = false;
#endif

// One round of a busy wait: tells the processor that this thread spins.
inline void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

} // namespace wide
