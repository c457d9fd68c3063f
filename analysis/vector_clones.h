// Loops over whole-number samples run several times faster with AVX2 than with the SSE2 that every
// x86-64 has; the loader picks the best copy of a function so marked for the machine it runs on.
// Only loops whose results cannot depend on the copy are marked: whole-number arithmetic, and
// floating-point operations on each element alone, never sums that a wider copy would reorder.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && defined(__ELF__)
#define MUREL_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define MUREL_VECTOR_CLONES
#endif
