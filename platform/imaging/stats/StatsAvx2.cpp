// The picture statistics' row counts with AVX2. Grey and Bayer rows (a
// period of 1 or 2) go through once, 32 samples at a time, every counter in
// a register; rows of 3 or 4 samples a pixel go through 96 lanes (whole
// pixels of either) of counters, then once more, from the first level
// cache, for the gradient and the moment.
#include "StatsKernels.h"

#include <algorithm>
#include <cstdlib>

#include "platform/imaging/X86.h"

namespace imaging {

#ifdef TARVIK_X86
namespace {

#define TARVIK_AVX2 __attribute__((target("avx2")))

TARVIK_AVX2 inline __m256i Load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

TARVIK_AVX2 inline void Store(void* p, __m256i x) { _mm256_storeu_si256(static_cast<__m256i*>(p), x); }

TARVIK_AVX2 inline uint64_t Total(__m256i x)
{
    alignas(32) uint64_t q[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(q), x);
    return q[0] + q[1] + q[2] + q[3];
}

// ---- a period of 1 or 2 -----------------------------------------------------------

// Sample i of a block times i, 32-bit sums of 4 samples each: pairs of
// products fit 16 bits (255 x 31 x 2).
TARVIK_AVX2 inline __m256i Weighted(__m256i v, __m256i indices)
{
    return _mm256_madd_epi16(_mm256_maddubs_epi16(v, indices), _mm256_set1_epi16(1));
}

TARVIK_AVX2 inline __m256i Indices()
{
    return _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24,
                            25, 26, 27, 28, 29, 30, 31);
}

// Empties the 8-bit counts and 32-bit squares and weighted sums, which
// would overflow after 255 blocks, into the 64-bit sums.
TARVIK_AVX2 inline void EmptyCounts(__m256i& dark8, __m256i& bright8, __m256i squares32[2], __m256i& within32,
                                    __m256i& dark, __m256i& bright, __m256i squares[2], __m256i& within)
{
    const __m256i zero = _mm256_setzero_si256();
    within = _mm256_add_epi64(within, _mm256_cvtepu32_epi64(_mm256_castsi256_si128(within32)));
    within = _mm256_add_epi64(within, _mm256_cvtepu32_epi64(_mm256_extracti128_si256(within32, 1)));
    dark = _mm256_add_epi64(dark, _mm256_sad_epu8(dark8, zero));
    bright = _mm256_add_epi64(bright, _mm256_sad_epu8(bright8, zero));
    for (int i = 0; i < 2; ++i) {
        // Words 0-3 of each half were even columns, 4-7 odd.
        squares[0] = _mm256_add_epi64(squares[0], _mm256_cvtepu32_epi64(_mm256_castsi256_si128(squares32[i])));
        squares[1] = _mm256_add_epi64(squares[1], _mm256_cvtepu32_epi64(_mm256_extracti128_si256(squares32[i], 1)));
    }
    dark8 = bright8 = squares32[0] = squares32[1] = within32 = zero;
}

// One block of 32 samples into the counters; Split: each 16 samples put in
// order even columns, then odd, so that every sum over 8 neighbouring bytes
// or 2 neighbouring words is of one parity (indices: the samples' indices
// in the block, in the same order).
struct ParityCounts {
    __m256i minimum, maximum, sum, running, dark8, bright8, squares32[2], within32;
};

TARVIK_AVX2 inline __m256i SplitParities(__m256i v)
{
    return _mm256_shuffle_epi8(v, _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15, 0, 2, 4, 6,
                                                   8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15));
}

template <bool Split>
TARVIK_AVX2 inline void CountBlock(__m256i v, __m256i indices, ParityCounts& c)
{
    const __m256i zero = _mm256_setzero_si256();
    if (Split)
        v = SplitParities(v);
    c.within32 = _mm256_add_epi32(c.within32, Weighted(v, indices));
    c.minimum = _mm256_min_epu8(c.minimum, v);
    c.maximum = _mm256_max_epu8(c.maximum, v);
    c.dark8 = _mm256_sub_epi8(c.dark8, _mm256_cmpeq_epi8(v, zero));
    c.bright8 = _mm256_sub_epi8(c.bright8, _mm256_cmpeq_epi8(v, _mm256_set1_epi8(-1)));
    c.sum = _mm256_add_epi64(c.sum, _mm256_sad_epu8(v, zero));  // even, odd, even, odd when split
    c.running = _mm256_add_epi64(c.running, c.sum);
    const __m256i lo = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(v));
    const __m256i hi = _mm256_cvtepu8_epi16(_mm256_extracti128_si256(v, 1));
    c.squares32[0] = _mm256_add_epi32(c.squares32[0], _mm256_madd_epi16(lo, lo));
    c.squares32[1] = _mm256_add_epi32(c.squares32[1], _mm256_madd_epi16(hi, hi));
}

// Counts by column parity into p[0] (even) and p[1] (odd).
template <bool Split>
TARVIK_AVX2 size_t ParitiesAvx2(const uint8_t* s, size_t n, size_t step, RowCounts& p)
{
    const size_t blocks = n / 32;
    if (blocks == 0)
        return 0;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i indices = Split ? SplitParities(Indices()) : Indices();
    ParityCounts c{_mm256_set1_epi8(-1), zero, zero, zero, zero, zero, {zero, zero}, zero};
    __m256i gradient = zero, dark = zero, bright = zero, squares[2] = {zero, zero}, within = zero;
    CountBlock<Split>(Load(s), indices, c);
    for (size_t b = 1; b < blocks; ++b) {
        const __m256i v = Load(s + 32 * b);
        gradient = _mm256_add_epi64(gradient, _mm256_sad_epu8(v, Load(s + 32 * b - step)));
        CountBlock<Split>(v, indices, c);
        if (b % 255 == 254)
            EmptyCounts(c.dark8, c.bright8, c.squares32, c.within32, dark, bright, squares, within);
    }
    EmptyCounts(c.dark8, c.bright8, c.squares32, c.within32, dark, bright, squares, within);
    alignas(32) uint64_t q[4];
    Store(q, c.sum);
    p.sum[0] += q[0] + q[2], p.sum[1] += q[1] + q[3];
    // Each block's sum was added into running once for itself and each block
    // after it: sum x blocks - running is the sum of block index x block sum.
    p.moment += 32 * (Total(c.sum) * blocks - Total(c.running)) + Total(within);
    Store(q, dark);
    p.dark[0] += q[0] + q[2], p.dark[1] += q[1] + q[3];
    Store(q, bright);
    p.bright[0] += q[0] + q[2], p.bright[1] += q[1] + q[3];
    for (int k = 0; k < 2; ++k)
        p.squares[k] += Total(squares[k]);
    p.gradient += Total(gradient);
    alignas(32) uint8_t low[32], high[32];
    Store(low, c.minimum);
    Store(high, c.maximum);
    for (size_t j = 0; j < 32; ++j) {
        const size_t k = j % 16 < 8 ? 0 : 1;
        p.minimum[k] = std::min<int>(p.minimum[k], low[j]);
        p.maximum[k] = std::max<int>(p.maximum[k], high[j]);
    }
    // The gradient of the first block, which has no block before it.
    for (size_t i = step; i < 32; ++i)
        p.gradient += uint64_t(std::abs(int(s[i]) - int(s[i - step])));
    return blocks * 32;
}

// ---- a period of 3 or 4 -----------------------------------------------------------

constexpr size_t kLanes = 96;
// Blocks of kLanes samples a lane takes before its counters are emptied:
// 255 still fits the 8-bit counts.
constexpr size_t kBlocksPerRun = 255;

struct Lanes {
    uint16_t sum[kLanes];
    uint32_t squares[kLanes];
    uint16_t dark[kLanes], bright[kLanes];
    uint8_t minimum[kLanes], maximum[kLanes];
};

// Lanes 32 g to 32 g + 31 over blocks blocks: every counter in a register.
TARVIK_AVX2 void AddGroup(const uint8_t* s, size_t blocks, Lanes& a, size_t g)
{
    const size_t first = 32 * g;
    const __m256i zero = _mm256_setzero_si256(), full = _mm256_set1_epi8(-1);
    __m256i minimum = full, maximum = zero;
    __m256i dark = zero, bright = zero, sum0 = zero, sum1 = zero, sq[4] = {zero, zero, zero, zero};
    for (size_t b = 0; b < blocks; ++b) {
        const uint8_t* p = s + b * kLanes + first;
        const __m256i v = Load(p);
        minimum = _mm256_min_epu8(minimum, v);
        maximum = _mm256_max_epu8(maximum, v);
        dark = _mm256_sub_epi8(dark, _mm256_cmpeq_epi8(v, zero));
        bright = _mm256_sub_epi8(bright, _mm256_cmpeq_epi8(v, full));
        const __m256i lo = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        const __m256i hi = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        sum0 = _mm256_add_epi16(sum0, lo);
        sum1 = _mm256_add_epi16(sum1, hi);
        const __m256i lo2 = _mm256_mullo_epi16(lo, lo), hi2 = _mm256_mullo_epi16(hi, hi);
        sq[0] = _mm256_add_epi32(sq[0], _mm256_cvtepu16_epi32(_mm256_castsi256_si128(lo2)));
        sq[1] = _mm256_add_epi32(sq[1], _mm256_cvtepu16_epi32(_mm256_extracti128_si256(lo2, 1)));
        sq[2] = _mm256_add_epi32(sq[2], _mm256_cvtepu16_epi32(_mm256_castsi256_si128(hi2)));
        sq[3] = _mm256_add_epi32(sq[3], _mm256_cvtepu16_epi32(_mm256_extracti128_si256(hi2, 1)));
    }
    Store(a.minimum + first, minimum);
    Store(a.maximum + first, maximum);
    alignas(32) uint8_t darks[32], brights[32];
    Store(darks, dark);
    Store(brights, bright);
    Store(a.sum + first, sum0);
    Store(a.sum + first + 16, sum1);
    for (int i = 0; i < 4; ++i)
        Store(a.squares + first + 8 * i, sq[i]);
    for (size_t j = 0; j < 32; ++j) {
        a.dark[first + j] = darks[j];
        a.bright[first + j] = brights[j];
    }
}

// The gradient and the moment of samples 0 to end (a multiple of 32).
TARVIK_AVX2 void GradientMoment(const uint8_t* s, size_t end, size_t step, RowCounts& c)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i indices = Indices();
    __m256i gradient = zero, sum = zero, running = zero, within = zero;
    for (size_t i = 0; i < end; i += 32) {
        const __m256i v = Load(s + i);
        if (i > 0)
            gradient = _mm256_add_epi64(gradient, _mm256_sad_epu8(v, Load(s + i - step)));
        sum = _mm256_add_epi64(sum, _mm256_sad_epu8(v, zero));
        running = _mm256_add_epi64(running, sum);
        // 32-bit lanes of 4 weighted samples: 2^16 blocks fit.
        within = _mm256_add_epi32(within, Weighted(v, indices));
    }
    c.gradient += Total(gradient);
    alignas(32) uint32_t w[8];
    Store(w, within);
    c.moment += 32 * (Total(sum) * (end / 32) - Total(running));
    for (uint32_t x : w)
        c.moment += x;
    for (size_t i = step; i < 32; ++i)
        c.gradient += uint64_t(std::abs(int(s[i]) - int(s[i - step])));
}

size_t PixelsAvx2(const uint8_t* s, size_t n, size_t period, RowCounts& c)
{
    const size_t blocks = n / kLanes;
    if (blocks == 0)
        return 0;
    Lanes lanes;
    for (size_t done = 0; done < blocks;) {
        const size_t run = std::min(kBlocksPerRun, blocks - done);
        for (size_t g = 0; g < kLanes / 32; ++g)
            AddGroup(s + done * kLanes, run, lanes, g);
        done += run;
        for (size_t j = 0; j < kLanes; ++j) {
            const size_t k = j % period;
            c.sum[k] += lanes.sum[j];
            c.squares[k] += lanes.squares[j];
            c.dark[k] += lanes.dark[j];
            c.bright[k] += lanes.bright[j];
            c.minimum[k] = std::min<int>(c.minimum[k], lanes.minimum[j]);
            c.maximum[k] = std::max<int>(c.maximum[k], lanes.maximum[j]);
        }
    }
    GradientMoment(s, blocks * kLanes, period, c);
    return blocks * kLanes;
}

}  // namespace

size_t RowCountsAvx2(const uint8_t* s, size_t n, size_t period, RowCounts& c)
{
    if (period > 2)
        return PixelsAvx2(s, n, period, c);
    if (period == 2)
        return ParitiesAvx2<true>(s, n, 2, c);
    // Grey: counted by parity, then as one.
    RowCounts p;
    const size_t done = ParitiesAvx2<false>(s, n, 1, p);
    c.sum[0] += p.sum[0] + p.sum[1];
    c.squares[0] += p.squares[0] + p.squares[1];
    c.dark[0] += p.dark[0] + p.dark[1];
    c.bright[0] += p.bright[0] + p.bright[1];
    c.minimum[0] = std::min({c.minimum[0], p.minimum[0], p.minimum[1]});
    c.maximum[0] = std::max({c.maximum[0], p.maximum[0], p.maximum[1]});
    c.gradient += p.gradient;
    c.moment += p.moment;
    return done;
}

#else

size_t RowCountsAvx2(const uint8_t*, size_t, size_t, RowCounts&) { return 0; }

#endif

}  // namespace imaging
