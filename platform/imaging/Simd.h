// The one switch over the instruction sets the imaging kernels use: the
// best the processor has, or what TARVIK_SIMD names, or what a test or a
// benchmark sets. Every kernel family asks here, never the processor.
#pragma once

#include <string>
#include <vector>

namespace imaging {

// In order: each family may use every instruction set of the ones before it.
enum class Simd { Plain, Ssse3, Avx2, Avx512 };

// "plain", "ssse3", "avx2", "avx512".
const char* SimdName(Simd family);

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

// The family the kernels use now: DefaultSimd() until SetSimd.
Simd ActiveSimd();

// Sets the family, for tests and benchmarks; one the processor lacks falls
// back to its best, silently.
void SetSimd(Simd family);

// Whether the kernels may use the family's instructions.
inline bool SimdAtLeast(Simd family) { return ActiveSimd() >= family; }

}  // namespace imaging
