// What every file of kernels starts with: the vector intrinsics, and
// TARVIK_X86 where the processor family has them (elsewhere only the plain
// loops are built).
#pragma once

#if defined(__x86_64__) || defined(__i386__)
// GCC 12's AVX-512 intrinsics pass an undefined vector as the merge source
// of unmasked operations, which its own analysis then reports.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#define TARVIK_X86 1
#endif
