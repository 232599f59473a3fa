// The picture statistics' row counts with AVX-512: one pass over a row, 64
// samples at a time, every counter in a register. Each position of the
// period (a channel) is summed by dot products of the bytes with ones where
// the position's samples are, and its squares by dot products of the
// bytes with themselves less 128 (v x (v - 128) + 128 v = v x v: the dot
// product takes one side signed). A period of 3 repeats its positions
// every 3 vectors, the others every vector.
#include "StatsKernels.h"

#include "PixelRows.h"

#include <algorithm>
#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // see LiveAvx512.cpp
#endif
#include <immintrin.h>
#define TARVIK_X86 1
#endif

namespace imaging {

#ifdef TARVIK_X86
namespace {

#define TARVIK_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vnni")))

// Vectors of 64 bytes after which the 8-bit counts and the 32-bit sums are
// emptied into wider ones (the 8-bit counts of each vector of a cycle take 1 a time).
constexpr size_t kCyclesPerRun = 255;

// Where each position's bytes are in each vector of a cycle.
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

template <size_t P>
TARVIK_AVX512 size_t CountsAvx512(const uint8_t* s, size_t n, RowCounts& c)
{
    constexpr size_t V = P == 3 ? 3 : 1;  // vectors a cycle
    const size_t cycles = n / (64 * V);
    if (cycles == 0)
        return 0;
    const Positions& at = PositionsOf(P);
    const __m512i zero = _mm512_setzero_si512(), full = _mm512_set1_epi8(-1), one = _mm512_set1_epi8(1);
    const __m512i flip = _mm512_set1_epi8(char(0x80));
    alignas(64) static const uint8_t kIndices[64] = {
        0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
        22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43,
        44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63};
    const __m512i indices = _mm512_load_si512(kIndices);
    __m512i minimum[V], maximum[V], dark[V], bright[V], sum[P], squares[P];
    for (size_t j = 0; j < V; ++j)
        minimum[j] = full, maximum[j] = zero;
    __m512i gradient = zero, vectorSums = zero, running = zero, within;
    int64_t sums[P] = {}, products[P] = {}, weighted = 0;
    uint64_t darks[P] = {}, brights[P] = {};
    size_t q = 0;  // vectors so far
    for (size_t cycle = 0; cycle < cycles;) {
        for (size_t j = 0; j < V; ++j)
            dark[j] = bright[j] = zero;
        for (size_t k = 0; k < P; ++k)
            sum[k] = squares[k] = zero;
        within = zero;
        const size_t end = std::min(cycles, cycle + kCyclesPerRun);
        for (; cycle < end; ++cycle)
#pragma GCC unroll 3
            for (size_t j = 0; j < V; ++j, ++q) {
                const uint8_t* p = s + 64 * q;
                const __m512i v = _mm512_loadu_si512(p);
                // The first vector's gradient is added below, from inside the row.
                gradient = _mm512_add_epi64(gradient, _mm512_sad_epu8(v, _mm512_loadu_si512(q ? p - P : p)));
                const __m512i signedLess128 = _mm512_xor_si512(v, flip);
#pragma GCC unroll 4
                for (size_t k = 0; k < P; ++k) {
                    sum[k] = _mm512_dpbusd_epi32(sum[k], v, _mm512_load_si512(at.ones[j][k]));
                    squares[k] = _mm512_dpbusd_epi32(squares[k], v, _mm512_maskz_mov_epi8(at.mask[j][k], signedLess128));
                }
                minimum[j] = _mm512_min_epu8(minimum[j], v);
                maximum[j] = _mm512_max_epu8(maximum[j], v);
                dark[j] = _mm512_mask_add_epi8(dark[j], _mm512_cmpeq_epi8_mask(v, zero), dark[j], one);
                bright[j] = _mm512_mask_add_epi8(bright[j], _mm512_cmpeq_epi8_mask(v, full), bright[j], one);
                within = _mm512_dpbusd_epi32(within, v, indices);
                vectorSums = _mm512_add_epi64(vectorSums, _mm512_sad_epu8(v, zero));
                running = _mm512_add_epi64(running, vectorSums);
            }
        // In a run: below 2^23 a sum's lanes together, 2^30 the products' and the weighted sums'.
        weighted += _mm512_reduce_add_epi32(within);
        for (size_t k = 0; k < P; ++k) {
            sums[k] += _mm512_reduce_add_epi32(sum[k]);
            products[k] += _mm512_reduce_add_epi32(squares[k]);
            for (size_t j = 0; j < V; ++j) {
                darks[k] += uint64_t(_mm512_reduce_add_epi64(_mm512_sad_epu8(_mm512_maskz_mov_epi8(at.mask[j][k], dark[j]), zero)));
                brights[k] += uint64_t(_mm512_reduce_add_epi64(_mm512_sad_epu8(_mm512_maskz_mov_epi8(at.mask[j][k], bright[j]), zero)));
            }
        }
    }
    for (size_t k = 0; k < P; ++k) {
        c.sum[k] += uint64_t(sums[k]);
        c.squares[k] += uint64_t(products[k] + 128 * sums[k]);
        c.dark[k] += darks[k];
        c.bright[k] += brights[k];
    }
    alignas(64) uint8_t low[64], high[64];
    for (size_t j = 0; j < V; ++j) {
        _mm512_store_si512(low, minimum[j]);
        _mm512_store_si512(high, maximum[j]);
        for (size_t b = 0; b < 64; ++b) {
            const size_t k = (64 * j + b) % P;
            c.minimum[k] = std::min<int>(c.minimum[k], low[b]);
            c.maximum[k] = std::max<int>(c.maximum[k], high[b]);
        }
    }
    // Sample i is sample i % 64 of vector i / 64: the moment is 64 x the sum
    // of vector index x vector sum, plus the samples weighted within their
    // vectors. Each vector's sum was added into running once for itself and
    // for each vector after it: sums x vectors - running is that sum.
    const uint64_t total = uint64_t(_mm512_reduce_add_epi64(vectorSums));
    c.moment += 64 * (total * q - uint64_t(_mm512_reduce_add_epi64(running))) + uint64_t(weighted);
    c.gradient += uint64_t(_mm512_reduce_add_epi64(gradient));
    for (size_t i = P; i < 64; ++i)
        c.gradient += uint64_t(std::abs(int(s[i]) - int(s[i - P])));
    return cycles * 64 * V;
}

}  // namespace

bool StatsAvx512()
{
    static const bool has = __builtin_cpu_supports("avx512vnni");
    return has && UseAvx512();
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
