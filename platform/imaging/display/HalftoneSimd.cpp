// The halftone stretch's vertical sums with AVX2 and AVX-512: a step of
// columns goes down all of an output row's source rows in registers and is
// stored once, where the plain loop reads and writes a whole row of 32-bit
// sums for every source row. Rows of full weight (all but the edges of an
// output row's span when shrinking) are added as 16-bit bytes and
// multiplied by 256 once at the end; the others are multiplied in 16 bits
// (at most 256 x 255) and widened. The sums are the plain loop's exactly.
#include "HalftoneKernels.h"

#include "platform/imaging/X86.h"

namespace imaging {

#ifdef TARVIK_X86
namespace {

constexpr uint32_t kFull = 256;
// 16-bit sums of bytes hold 257 rows; flushed after 256.
constexpr int kFlushEvery = 256;

#define TARVIK_AVX2 __attribute__((target("avx2")))
#define TARVIK_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))

TARVIK_AVX2 inline __m256i Bytes16(const uint8_t* p)
{
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
TARVIK_AVX2 inline __m256i Low32(__m256i words) { return _mm256_cvtepu16_epi32(_mm256_castsi256_si128(words)); }
TARVIK_AVX2 inline __m256i High32(__m256i words) { return _mm256_cvtepu16_epi32(_mm256_extracti128_si256(words, 1)); }

// 32 columns a step: acc[0..3] 8 sums each, full[0..1] 16-bit sums of 16 each.
TARVIK_AVX2 inline void FlushAvx2(__m256i acc[4], __m256i full[2])
{
    for (int h = 0; h < 2; ++h) {
        acc[2 * h] = _mm256_add_epi32(acc[2 * h], _mm256_slli_epi32(Low32(full[h]), 8));
        acc[2 * h + 1] = _mm256_add_epi32(acc[2 * h + 1], _mm256_slli_epi32(High32(full[h]), 8));
        full[h] = _mm256_setzero_si256();
    }
}

TARVIK_AVX512 inline __m512i Bytes32(const uint8_t* p)
{
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}
TARVIK_AVX512 inline __m512i Low32(__m512i words) { return _mm512_cvtepu16_epi32(_mm512_castsi512_si256(words)); }
TARVIK_AVX512 inline __m512i High32(__m512i words)
{
    return _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(words, 1));
}

// 64 columns a step: acc[0..3] 16 sums each, full[0..1] 16-bit sums of 32 each.
TARVIK_AVX512 inline void FlushAvx512(__m512i acc[4], __m512i full[2])
{
    for (int h = 0; h < 2; ++h) {
        acc[2 * h] = _mm512_add_epi32(acc[2 * h], _mm512_slli_epi32(Low32(full[h]), 8));
        acc[2 * h + 1] = _mm512_add_epi32(acc[2 * h + 1], _mm512_slli_epi32(High32(full[h]), 8));
        full[h] = _mm512_setzero_si512();
    }
}

}  // namespace

TARVIK_AVX2 size_t WeighRowsAvx2(const WeightedRows& in, uint32_t* sums, size_t n)
{
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256i acc[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                          _mm256_setzero_si256()};
        __m256i full[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
        int fulls = 0;
        for (int k = 0; k < in.count; ++k) {
            const uint8_t* p = in.rows[k] + i;
            const __m256i a = Bytes16(p), b = Bytes16(p + 16);
            if (in.weights[k] == kFull) {
                full[0] = _mm256_add_epi16(full[0], a);
                full[1] = _mm256_add_epi16(full[1], b);
                if (++fulls == kFlushEvery) {
                    FlushAvx2(acc, full);
                    fulls = 0;
                }
                continue;
            }
            const __m256i w = _mm256_set1_epi16(int16_t(in.weights[k]));
            const __m256i pa = _mm256_mullo_epi16(a, w), pb = _mm256_mullo_epi16(b, w);
            acc[0] = _mm256_add_epi32(acc[0], Low32(pa));
            acc[1] = _mm256_add_epi32(acc[1], High32(pa));
            acc[2] = _mm256_add_epi32(acc[2], Low32(pb));
            acc[3] = _mm256_add_epi32(acc[3], High32(pb));
        }
        FlushAvx2(acc, full);
        for (int q = 0; q < 4; ++q)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + i + 8 * q), acc[q]);
    }
    return i;
}

TARVIK_AVX512 size_t WeighRowsAvx512(const WeightedRows& in, uint32_t* sums, size_t n)
{
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        __m512i acc[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                          _mm512_setzero_si512()};
        __m512i full[2] = {_mm512_setzero_si512(), _mm512_setzero_si512()};
        int fulls = 0;
        for (int k = 0; k < in.count; ++k) {
            const uint8_t* p = in.rows[k] + i;
            const __m512i a = Bytes32(p), b = Bytes32(p + 32);
            if (in.weights[k] == kFull) {
                full[0] = _mm512_add_epi16(full[0], a);
                full[1] = _mm512_add_epi16(full[1], b);
                if (++fulls == kFlushEvery) {
                    FlushAvx512(acc, full);
                    fulls = 0;
                }
                continue;
            }
            const __m512i w = _mm512_set1_epi16(int16_t(in.weights[k]));
            const __m512i pa = _mm512_mullo_epi16(a, w), pb = _mm512_mullo_epi16(b, w);
            acc[0] = _mm512_add_epi32(acc[0], Low32(pa));
            acc[1] = _mm512_add_epi32(acc[1], High32(pa));
            acc[2] = _mm512_add_epi32(acc[2], Low32(pb));
            acc[3] = _mm512_add_epi32(acc[3], High32(pb));
        }
        FlushAvx512(acc, full);
        for (int q = 0; q < 4; ++q)
            _mm512_storeu_si512(sums + i + 16 * q, acc[q]);
    }
    return i;
}

#else

size_t WeighRowsAvx2(const WeightedRows&, uint32_t*, size_t) { return 0; }
size_t WeighRowsAvx512(const WeightedRows&, uint32_t*, size_t) { return 0; }

#endif

}  // namespace imaging
