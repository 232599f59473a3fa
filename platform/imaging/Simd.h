// The one switch over the instruction sets the imaging kernels use: for each
// kernel, the family measured fastest on this kind of processor (the table
// in Simd.cpp), or what TARVIK_SIMD names, or what a test or a benchmark
// sets. Every kernel asks here, never the processor.
#pragma once

#include <string>
#include <vector>

namespace imaging {

// In order: each family may use every instruction set of the ones before it.
enum class Simd { Plain, Ssse3, Avx2, Avx512 };

// "plain", "ssse3", "avx2", "avx512".
const char* SimdName(Simd family);

// The kernels whose family is chosen on its own: the row conversions, the
// Bayer demosaic among them, live view's reduction (its band sums
// included), the picture statistics and the halftone stretch.
enum class Kernel { Rows, Demosaic, Live, Stats, Halftone };
constexpr Kernel kKernels[] = {Kernel::Rows, Kernel::Demosaic, Kernel::Live, Kernel::Stats, Kernel::Halftone};

// "rows", "demosaic", "live", "statistics", "halftone".
const char* KernelName(Kernel kernel);

// Makers whose processors were measured apart.
enum class Vendor { Other, Intel, Amd };
Vendor ProcessorVendor();

// The family kernel runs by default on a processor of this maker whose best
// is best: the fastest one measured there, at most best.
Simd PreferredSimd(Kernel kernel, Vendor vendor, Simd best);

// The best family this processor runs (AVX-512 needs BW, VL, VBMI and VBMI2).
Simd ProcessorSimd();

// Every family this processor runs, plain first.
std::vector<Simd> ProcessorFamilies();

// The family a word of TARVIK_SIMD names on a processor whose best is best;
// complaint: what to say on stderr, empty when nothing.
Simd SimdFromWord(const char* word, Simd best, std::string* complaint);

// What TARVIK_SIMD names (read once): a family the processor lacks falls
// back to its best, a word that names none leaves the best; either is said
// once on stderr.
Simd DefaultSimd();

// The family the kernels may use at most now: DefaultSimd() until SetSimd.
Simd ActiveSimd();

// The family kernel uses by default when TARVIK_SIMD is word (null or empty:
// unset) on a processor of vendor whose best is best: the family word names,
// for every kernel alike, else PreferredSimd.
Simd KernelDefault(Kernel kernel, const char* word, Vendor vendor, Simd best);

// The family kernel uses now: what SetSimd set, else what TARVIK_SIMD
// names, else PreferredSimd on this processor.
Simd KernelSimd(Kernel kernel);

// Sets the family of every kernel, for tests and benchmarks; one the
// processor lacks falls back to its best, silently.
void SetSimd(Simd family);

// Back to each kernel's own default, as before any SetSimd.
void ResetSimd();

// Whether the kernels may use the family's instructions.
inline bool SimdAtLeast(Simd family) { return ActiveSimd() >= family; }

// Whether kernel may use the family's instructions.
inline bool SimdAtLeast(Kernel kernel, Simd family) { return KernelSimd(kernel) >= family; }

}  // namespace imaging
