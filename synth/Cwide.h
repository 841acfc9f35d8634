#pragma once
// Marks a function whose loops the compiler vectorizes: on x86-64 with GCC it is built twice,
// for AVX2 and for the baseline, and the loader picks the one the processor runs.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define CANTORIX_WIDE __attribute__((target_clones("avx2", "default")))
#else
#define CANTORIX_WIDE
#endif
