// The picture statistics' row counts with AVX-512: one pass over a row, 64
// samples at a time, every counter in a register. Each position of the
// period (a channel) is summed by dot products of the bytes with ones where
// the position's samples are, and its squares by dot products of the
// bytes with themselves less 128 (v x (v - 128) + 128 v = v x v: the dot
// product takes one side signed).
#include "StatsKernels.h"

#include "platform/imaging/convert/PixelRows.h"

#include <algorithm>
#include <cstdlib>

#include "platform/imaging/X86.h"

namespace imaging {

#ifdef TARVIK_X86
namespace {

#define TARVIK_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vnni")))

// Steps after which the 8-bit counts and the 32-bit sums are emptied into
// wider ones (each 8-bit count takes at most 1 a step).
constexpr size_t kStepsPerRun = 255;
constexpr size_t kAhead = 4096;

// Where each position's bytes are in each vector of a step.
struct Positions {
    __mmask64 mask[3][4];
    alignas(64) uint8_t ones[3][4][64];
};

const Positions& PositionsOf(size_t period)
{
    static const auto all = [] {
        struct All {
            Positions of[5];
        } a{};
        for (size_t period = 1; period <= 4; ++period)
            for (size_t j = 0; j < 3; ++j)
                for (size_t b = 0; b < 64; ++b) {
                    const size_t k = (64 * j + b) % period;
                    a.of[period].mask[j][k] |= __mmask64(1) << b;
                    a.of[period].ones[j][k][b] = 1;
                }
        return a;
    }();
    return all.of[period];
}

// A row's counters, in registers while a run lasts (gs: a vector for each
// of a step's G vectors).
template <size_t P, size_t G>
struct Counters {
    __m512i minimum[G], maximum[G], dark[G], bright[G], sum[P], squares[P], within;
    __m512i gradient, vectorSums, running;
};

// Vector q of the row, the j-th of its step, into c; its dot products into
// the step's own sums. Of the row's first vector (q = 0) and its last,
// partial, one only the samples in mask count: the others are read as 0,
// which adds nothing, and kept out of the lowest and the dark counts.
template <size_t P, size_t G, bool Masked>
TARVIK_AVX512 inline __attribute__((always_inline)) void CountVector(const uint8_t* s, size_t q, size_t j,
                                                                    const Positions& at, Counters<P, G>& c,
                                                                    __m512i stepSum[P], __m512i stepSquares[P],
                                                                    __m512i& stepWithin, __mmask64 mask = 0)
{
    alignas(64) static const uint8_t kIndices[64] = {
        0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
        22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43,
        44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63};
    const __m512i zero = _mm512_setzero_si512(), full = _mm512_set1_epi8(-1), one = _mm512_set1_epi8(1);
    const uint8_t* p = s + 64 * q;
    __m512i v, before;
    if (Masked) {
        // The first vector's first P samples have none before them: read as 0 on both sides.
        const __mmask64 m = q == 0 ? mask & (~__mmask64(0) << P) : mask;
        v = _mm512_maskz_loadu_epi8(mask, p);
        before = _mm512_maskz_loadu_epi8(m, p - P);
        c.gradient = _mm512_add_epi64(c.gradient, _mm512_sad_epu8(_mm512_maskz_mov_epi8(m, v), before));
        c.minimum[j] = _mm512_mask_min_epu8(c.minimum[j], mask, c.minimum[j], v);
        c.dark[j] = _mm512_mask_add_epi8(c.dark[j], _mm512_mask_cmpeq_epi8_mask(mask, v, zero), c.dark[j], one);
    } else {
        v = _mm512_loadu_si512(p);
        _mm_prefetch(reinterpret_cast<const char*>(p) + kAhead, _MM_HINT_T0);
        c.gradient = _mm512_add_epi64(c.gradient, _mm512_sad_epu8(v, _mm512_loadu_si512(p - P)));
        c.minimum[j] = _mm512_min_epu8(c.minimum[j], v);
        c.dark[j] = _mm512_mask_add_epi8(c.dark[j], _mm512_cmpeq_epi8_mask(v, zero), c.dark[j], one);
    }
    const __m512i signedLess128 = _mm512_xor_si512(v, _mm512_set1_epi8(char(0x80)));
#pragma GCC unroll 4
    for (size_t k = 0; k < P; ++k) {
        stepSum[k] = _mm512_dpbusd_epi32(stepSum[k], v, _mm512_load_si512(at.ones[j][k]));
        stepSquares[k] = _mm512_dpbusd_epi32(stepSquares[k], v, _mm512_maskz_mov_epi8(at.mask[j][k], signedLess128));
    }
    stepWithin = _mm512_dpbusd_epi32(stepWithin, v, _mm512_load_si512(kIndices));
    c.maximum[j] = _mm512_max_epu8(c.maximum[j], v);
    c.bright[j] = _mm512_mask_add_epi8(c.bright[j], _mm512_cmpeq_epi8_mask(v, full), c.bright[j], one);
    c.vectorSums = _mm512_add_epi64(c.vectorSums, _mm512_sad_epu8(v, zero));
    c.running = _mm512_add_epi64(c.running, c.vectorSums);
}

// The 16 bytes of x's lowest (Max: highest) in each byte position modulo 16.
template <bool Max>
TARVIK_AVX512 inline __m128i Fold(__m512i x)
{
    const __m256i a = _mm512_castsi512_si256(x), b = _mm512_extracti64x4_epi64(x, 1);
    const __m256i y = Max ? _mm256_max_epu8(a, b) : _mm256_min_epu8(a, b);
    const __m128i c = _mm256_castsi256_si128(y), d = _mm256_extracti128_si256(y, 1);
    return Max ? _mm_max_epu8(c, d) : _mm_min_epu8(c, d);
}

template <size_t P>
TARVIK_AVX512 size_t CountsAvx512(const uint8_t* s, size_t n, RowCounts& out)
{
    // Vectors a step: a period of 3 repeats its positions every 3 vectors.
    // Each step's dot products go into sums of their own before the run's:
    // one long chain of them would wait for each to finish.
    constexpr size_t G = P == 3 ? 3 : 2;
    if (n < 64)
        return 0;
    const size_t vectors = (n + 63) / 64;  // the last one may be partial
    const Positions& at = PositionsOf(P);
    const __m512i zero = _mm512_setzero_si512();
    Counters<P, G> c;
    for (size_t j = 0; j < G; ++j)
        c.minimum[j] = _mm512_set1_epi8(-1), c.maximum[j] = zero;
    c.gradient = c.vectorSums = c.running = zero;
    int64_t sums[P] = {}, products[P] = {}, weighted = 0;
    uint64_t darks[P] = {}, brights[P] = {};
    for (size_t q = 0; q < vectors;) {
        for (size_t j = 0; j < G; ++j)
            c.dark[j] = c.bright[j] = zero;
        for (size_t k = 0; k < P; ++k)
            c.sum[k] = c.squares[k] = zero;
        c.within = zero;
        const size_t end = std::min(vectors, q + kStepsPerRun * G);
        // Whole steps, then the vectors left, each with its place in a step.
        while (q < end) {
            __m512i stepSum[P], stepSquares[P], stepWithin = zero;
            for (size_t k = 0; k < P; ++k)
                stepSum[k] = stepSquares[k] = zero;
            if (q == 0 || q + 1 == vectors) {
                const size_t left = n - 64 * q;
                CountVector<P, G, true>(s, q, q % G, at, c, stepSum, stepSquares, stepWithin,
                                        left >= 64 ? ~__mmask64(0) : (__mmask64(1) << left) - 1);
                ++q;
            } else if (q % G == 0 && q + G < vectors && q + G <= end) {
#pragma GCC unroll 3
                for (size_t j = 0; j < G; ++j, ++q)
                    CountVector<P, G, false>(s, q, j, at, c, stepSum, stepSquares, stepWithin);
            } else {
                CountVector<P, G, false>(s, q, q % G, at, c, stepSum, stepSquares, stepWithin);
                ++q;
            }
#pragma GCC unroll 4
            for (size_t k = 0; k < P; ++k) {
                c.sum[k] = _mm512_add_epi32(c.sum[k], stepSum[k]);
                c.squares[k] = _mm512_add_epi32(c.squares[k], stepSquares[k]);
            }
            c.within = _mm512_add_epi32(c.within, stepWithin);
        }
        // In a run: below 2^23 a sum's lanes together, 2^31 the products' and the weighted sums'.
        weighted += _mm512_reduce_add_epi32(c.within);
        for (size_t k = 0; k < P; ++k) {
            sums[k] += _mm512_reduce_add_epi32(c.sum[k]);
            products[k] += _mm512_reduce_add_epi32(c.squares[k]);
            for (size_t j = 0; j < G; ++j) {
                const __mmask64 m = at.mask[j][k];
                darks[k] += uint64_t(_mm512_reduce_add_epi64(_mm512_sad_epu8(_mm512_maskz_mov_epi8(m, c.dark[j]), zero)));
                brights[k] += uint64_t(_mm512_reduce_add_epi64(_mm512_sad_epu8(_mm512_maskz_mov_epi8(m, c.bright[j]), zero)));
            }
        }
    }
    for (size_t k = 0; k < P; ++k) {
        out.sum[k] += uint64_t(sums[k]);
        out.squares[k] += uint64_t(products[k] + 128 * sums[k]);
        out.dark[k] += darks[k];
        out.bright[k] += brights[k];
    }
    alignas(64) uint8_t low[64], high[64];
    if constexpr (P != 3) {
        // Every vector has its positions in the same places, 16 bytes a repeat.
        __m512i lowest = c.minimum[0], highest = c.maximum[0];
        for (size_t j = 1; j < G; ++j)
            lowest = _mm512_min_epu8(lowest, c.minimum[j]), highest = _mm512_max_epu8(highest, c.maximum[j]);
        _mm_store_si128(reinterpret_cast<__m128i*>(low), Fold<false>(lowest));
        _mm_store_si128(reinterpret_cast<__m128i*>(high), Fold<true>(highest));
        for (size_t b = 0; b < 16; ++b) {
            out.minimum[b % P] = std::min<int>(out.minimum[b % P], low[b]);
            out.maximum[b % P] = std::max<int>(out.maximum[b % P], high[b]);
        }
    } else {
        for (size_t j = 0; j < G; ++j) {
            _mm512_store_si512(low, c.minimum[j]);
            _mm512_store_si512(high, c.maximum[j]);
            for (size_t b = 0; b < 64; ++b) {
                const size_t k = (64 * j + b) % P;
                out.minimum[k] = std::min<int>(out.minimum[k], low[b]);
                out.maximum[k] = std::max<int>(out.maximum[k], high[b]);
            }
        }
    }
    // Sample i is sample i % 64 of vector i / 64: the moment is 64 x the sum
    // of vector index x vector sum, plus the samples weighted within their
    // vectors. Each vector's sum was added into running once for itself and
    // for each vector after it: sums x vectors - running is that sum.
    const uint64_t total = uint64_t(_mm512_reduce_add_epi64(c.vectorSums));
    out.moment += 64 * (total * vectors - uint64_t(_mm512_reduce_add_epi64(c.running))) + uint64_t(weighted);
    out.gradient += uint64_t(_mm512_reduce_add_epi64(c.gradient));
    return n;
}

}  // namespace

bool StatsAvx512()
{
    static const bool has = __builtin_cpu_supports("avx512vnni");
    return has && UseAvx512(Kernel::Stats);
}

size_t RowCountsAvx512(const uint8_t* s, size_t n, size_t period, RowCounts& c)
{
    switch (period) {
    case 1: return CountsAvx512<1>(s, n, c);
    case 2: return CountsAvx512<2>(s, n, c);
    case 3: return CountsAvx512<3>(s, n, c);
    case 4: return CountsAvx512<4>(s, n, c);
    default: return 0;
    }
}

#else

bool StatsAvx512() { return false; }
size_t RowCountsAvx512(const uint8_t*, size_t, size_t, RowCounts&) { return 0; }

#endif

}  // namespace imaging
