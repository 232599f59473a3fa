// Live view's 8-bit Bayer bands with AVX-512. The portable path keeps a
// band's column sums column by column and goes across them several times
// (pair terms, then each colour's runs, then edges); here the sums are kept
// split by column parity, so that a vector lane is a column pair, and one
// pass across gives each colour's pair terms, sums them two pairs at a time
// (multiply-add), runs the sums along to a block's width (shifted adds) and
// keeps the lanes where blocks end (compress), with the terms at the blocks'
// edges picked the same way. The integers are the portable path's, exactly.
#include "LiveKernels.h"

#include "PixelRows.h"

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
// GCC 12's AVX-512 intrinsics pass an undefined vector as the merge source
// of unmasked operations, which its own analysis then reports.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#define TARVIK_X86 1
#endif

namespace imaging {

#ifdef TARVIK_X86
namespace {

#define TARVIK_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,popcnt")))

constexpr size_t kLanes = 32;  // column pairs a vector: 64 bytes of a row

TARVIK_AVX512 inline __m512i Load(const void* p) { return _mm512_loadu_si512(p); }
TARVIK_AVX512 inline void Store(void* p, __m512i v) { _mm512_storeu_si512(p, v); }

// 64 bytes of a row, the bytes past the mask's end read as 0.
template <bool Masked>
TARVIK_AVX512 inline __m512i RowBytes(const uint8_t* p, __mmask64 m)
{
    return Masked ? _mm512_maskz_loadu_epi8(m, p) : _mm512_loadu_si512(p);
}

// A pair's even column is its low byte, its odd column its high byte.
template <int Column>
TARVIK_AVX512 inline __m512i ColumnOf(__m512i bytes)
{
    return Column ? _mm512_srli_epi16(bytes, 8) : _mm512_and_si512(bytes, _mm512_set1_epi16(0xff));
}

// The column sums are kept per 32 pairs, as four vectors: even rows' even
// and odd columns, then odd rows' (Sums(i) + 2 * row parity + column parity).
TARVIK_AVX512 inline uint16_t* SumsAt(uint16_t* sums, size_t i) { return sums + 4 * kLanes * i; }

// N rows of parity r added into the column sums of their 64 bytes at x, or
// stored there when first.
template <int N, bool Masked>
TARVIK_AVX512 inline void AddRowsAt(const uint8_t* const rows[], uint16_t* sums, size_t x, __mmask64 m, bool first)
{
    uint16_t* to = SumsAt(sums, x / 64);
    __m512i e = first ? _mm512_setzero_si512() : Load(to);
    __m512i o = first ? _mm512_setzero_si512() : Load(to + kLanes);
    for (int j = 0; j < N; ++j) {
        const __m512i v = RowBytes<Masked>(rows[j] + x, m);
        e = _mm512_add_epi16(e, ColumnOf<0>(v));
        o = _mm512_add_epi16(o, ColumnOf<1>(v));
    }
    Store(to, e);
    Store(to + kLanes, o);
}

template <int N>
TARVIK_AVX512 void AddRows(const uint8_t* const rows[], uint16_t* sums, size_t bytes, bool first)
{
    size_t x = 0;
    for (; x + 64 <= bytes; x += 64)
        AddRowsAt<N, false>(rows, sums, x, ~__mmask64(0), first);
    if (x < bytes)
        AddRowsAt<N, true>(rows, sums, x, (__mmask64(1) << (bytes - x)) - 1, first);
}

// Per column: 2^Shift x the band's sum + the row outside - its edge row
// (Shift 2 for red and blue, 3 for green; see RowMaker::BayerRow).
template <int Shift>
TARVIK_AVX512 inline __m512i Terms(__m512i sums, __m512i outside, __m512i inside)
{
    return _mm512_sub_epi16(_mm512_add_epi16(_mm512_slli_epi16(sums, Shift), outside), inside);
}

// The sum of lanes q - J + 1 .. q of d at each lane q, prev the vector before d.
template <int J>
TARVIK_AVX512 inline __m512i Window(__m512i d, __m512i prev)
{
    if constexpr (J <= 1)
        return d;
    else
        return _mm512_add_epi32(_mm512_maskz_alignr_epi32(0xffff, d, prev, 16 - (J - 1)), Window<J - 1>(d, prev));
}

TARVIK_AVX512 inline void Keep32(int32_t* to, size_t& n, __mmask16 m, __m512i v)
{
    Store(to + n, _mm512_maskz_compress_epi32(m, v));
    n += _mm_popcnt_u32(m);
}

TARVIK_AVX512 inline void Keep16(uint16_t* to, size_t& n, __mmask32 m, __m512i v)
{
    Store(to + n, _mm512_maskz_compress_epi16(m, v));
    n += _mm_popcnt_u32(m);
}

// Indices picking, for each 16-bit lane, the lane before it: from the
// first vector, and for lane 0 the last lane of the second.
TARVIK_AVX512 inline __m512i PreviousLane()
{
    alignas(64) static const uint16_t lanes[32] = {63, 0,  1,  2,  3,  4,  5,  6,  7,  8,  9,
                                                   10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                                                   21, 22, 23, 24, 25, 26, 27, 28, 29, 30};
    return _mm512_load_si512(lanes);
}

struct Across {
    const uint16_t* sums;
    const uint8_t *below, *first, *above, *last;  // the rows outside the band, and its edge rows
    size_t pairs, bytes;                          // pairs: of the blocks; bytes: of a row
    const uint32_t *starts, *ends;
    const uint16_t* pairEnds;
    int32_t *runEven, *runOdd, *runGreen;  // each colour's runs per block
    uint16_t *edgeEven, *edgeOdd, *steps;  // its terms at block edges, green's steps
    const char* next;  // the next band and the row below it, fetched while this one is summed across
};

// What one step across hands the next: each colour's terms two pairs at a
// time, the odd columns' sums in the rows where green is odd, and how many
// values of each kind were kept.
struct Carried {
    __m512i even, odd, green, greenOdd;
    size_t runs, evenEdges, oddEdges, steps;
};

// One step across: the 32 column pairs from pair 32 i.
template <int Green, int H2, bool Masked>
TARVIK_AVX512 inline void AcrossAt(const Across& a, size_t i, Carried& c)
{
    constexpr int Chroma = 1 - Green;  // the column of the colour in even rows; in odd rows it is Green's
    const size_t x = 2 * kLanes * i;
    const __mmask64 m = Masked ? (__mmask64(1) << (a.bytes - x)) - 1 : ~__mmask64(0);
    // As many lines a step as the next band has rows, and one more: its
    // rows and the row below it arrive while this band is summed across
    // (for rows of the frame's width; past them, less is fetched ahead).
    if (a.next)
        for (int j = 0; j <= 4 * H2; ++j)
            _mm_prefetch(a.next + 64 * ((4 * H2 + 1) * i + size_t(j)), _MM_HINT_T1);
    const __m512i out0 = RowBytes<Masked>(a.below + x, m), in0 = RowBytes<Masked>(a.first + x, m);
    const __m512i out1 = RowBytes<Masked>(a.above + x, m), in1 = RowBytes<Masked>(a.last + x, m);
    const uint16_t* sums = a.sums + 4 * kLanes * i;
    const __m512i evenTerms = Terms<2>(Load(sums + Chroma * kLanes), ColumnOf<Chroma>(out0), ColumnOf<Chroma>(in0));
    const __m512i oddTerms = Terms<2>(Load(sums + (2 + Green) * kLanes), ColumnOf<Green>(out1), ColumnOf<Green>(in1));
    const __m512i green0 = Terms<3>(Load(sums + Green * kLanes), ColumnOf<Green>(out0), ColumnOf<Green>(in0));
    const __m512i green1 = Terms<3>(Load(sums + (2 + Chroma) * kLanes), ColumnOf<Chroma>(out1), ColumnOf<Chroma>(in1));
    // Two pairs' terms at a time, then runs of a block's width, kept where blocks end.
    const __m512i ones = _mm512_set1_epi16(1);
    const __m512i twoEven = _mm512_madd_epi16(evenTerms, ones), twoOdd = _mm512_madd_epi16(oddTerms, ones);
    const __m512i twoGreen = _mm512_add_epi32(_mm512_madd_epi16(green0, ones), _mm512_madd_epi16(green1, ones));
    const __mmask16 blockEnds = a.pairEnds[i];
    Store(a.runEven + c.runs, _mm512_maskz_compress_epi32(blockEnds, Window<H2>(twoEven, c.even)));
    Store(a.runOdd + c.runs, _mm512_maskz_compress_epi32(blockEnds, Window<H2>(twoOdd, c.odd)));
    Store(a.runGreen + c.runs, _mm512_maskz_compress_epi32(blockEnds, Window<H2>(twoGreen, c.green)));
    c.runs += _mm_popcnt_u32(blockEnds);
    c.even = twoEven;
    c.odd = twoOdd;
    c.green = twoGreen;
    // A colour in even columns needs its terms where blocks start, in odd
    // columns where they end.
    const uint32_t starts = a.starts[i], ends = a.ends[i];
    const uint32_t evenAt = Chroma ? ends : starts, oddAt = Green ? ends : starts;
    Store(a.edgeEven + c.evenEdges, _mm512_maskz_compress_epi16(evenAt, evenTerms));
    Store(a.edgeOdd + c.oddEdges, _mm512_maskz_compress_epi16(oddAt, oddTerms));
    c.evenEdges += _mm_popcnt_u32(evenAt);
    c.oddEdges += _mm_popcnt_u32(oddAt);
    // Green's step at each boundary between blocks: the sum of the even
    // column in the rows where green is even, less that of the odd column
    // before it in the other rows.
    const __m512i greenOdd = Load(sums + (2 * Chroma + 1) * kLanes);
    const __m512i before = _mm512_permutex2var_epi16(greenOdd, PreviousLane(), c.greenOdd);
    c.greenOdd = greenOdd;
    const uint32_t stepsAt = i == 0 ? starts & ~1u : starts;  // the frame's left edge is mirrored: done apart
    Store(a.steps + c.steps,
          _mm512_maskz_compress_epi16(stepsAt, _mm512_sub_epi16(Load(sums + 2 * Green * kLanes), before)));
    c.steps += _mm_popcnt_u32(stepsAt);
}

template <int Green, int H2>
TARVIK_AVX512 void AcrossBand(const Across& in)
{
    const Across a = in;
    Carried c{_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
              0, 0, 0, 0};
    const size_t vectors = (a.pairs + kLanes - 1) / kLanes;
    size_t i = 0;
    for (; i < vectors && 2 * (i + 1) * kLanes <= a.bytes; ++i)
        AcrossAt<Green, H2, false>(a, i, c);
    for (; i < vectors; ++i)
        AcrossAt<Green, H2, true>(a, i, c);
}

template <int Green, size_t... H>
void AcrossWith(size_t h2, const Across& a, std::index_sequence<H...>)
{
    ((h2 == H + 1 ? AcrossBand<Green, int(H + 1)>(a) : void()), ...);
}

constexpr uint32_t kMaxH2 = 7;  // blocks up to 28 wide: every term below 2^15

// Per 16 blocks from b: the block sums of the chroma colours and green (see Finish).
TARVIK_AVX512 inline __m512i Edges(const uint16_t* e, __mmask16 m)
{
    return _mm512_cvtepu16_epi32(_mm256_maskz_loadu_epi16(m, e));
}

// sum x inverse + 0.5, each rounded, clamped to 0 to 255 and truncated.
TARVIK_AVX512 inline __m512i Average(__m512 inverse, __m512i sum)
{
    constexpr int kNearest = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
    const __m512 v = _mm512_add_round_ps(_mm512_mul_round_ps(_mm512_cvtepi32_ps(sum), inverse, kNearest),
                                         _mm512_set1_ps(0.5f), kNearest);
    return _mm512_cvttps_epi32(_mm512_min_ps(_mm512_max_ps(v, _mm512_setzero_ps()), _mm512_set1_ps(255.0f)));
}

}  // namespace

bool BayerBandsAvx512::Takes(uint32_t width, uint32_t k)
{
    return UseAvx512() && k % 4 == 0 && k / 4 <= kMaxH2 && width >= k;
}

BayerBandsAvx512::BayerBandsAvx512(uint32_t width, uint32_t k, int greenColumn, bool blueInEvenRows)
    : width_(width), k_(k), blocks_(width / k), green_(greenColumn), blueInEvenRows_(blueInEvenRows)
{
    const size_t h = k / 2;
    pairs_ = size_t(blocks_) * h;
    // Every pair of the row, and one vector more, read where a step needs
    // the pair after the last block.
    sums_.assign(4 * kLanes * ((size_t(width) / 2 + 1 + kLanes - 1) / kLanes + 1), 0);
    const size_t across = (pairs_ + kLanes - 1) / kLanes;
    starts_.assign(across, 0);
    ends_.assign(across, 0);
    pairEnds_.assign(across, 0);
    for (size_t p = 0; p < pairs_; ++p) {
        const uint32_t bit = 1u << (p % kLanes);
        if (p % h == 0)
            starts_[p / kLanes] |= bit;
        if ((p + 1) % h == 0)
            ends_[p / kLanes] |= bit;
        if (p % 2 == 1 && (p + 1) % h == 0)
            pairEnds_[p / kLanes] |= uint16_t(1u << (p % kLanes / 2));
    }
    // Compressed stores write whole vectors past the last value kept.
    for (auto& runs : runs_)
        runs.resize(blocks_ + 2 + kLanes);
    for (auto& edges : edges_)
        edges.resize(blocks_ + 2 + kLanes);
}

uint16_t BayerBandsAvx512::SumAt(int rowParity, size_t x) const
{
    const size_t p = x / 2;
    return sums_[4 * kLanes * (p / kLanes) + size_t(2 * rowParity + int(x & 1)) * kLanes + p % kLanes];
}

int64_t BayerBandsAvx512::Mirrored(int64_t x) const { return x < 0 ? 1 : x >= int64_t(width_) ? width_ - 2 : x; }

// As RowMaker::BayerRow's near: 4 x the band's sum + the row outside - the edge row.
int32_t BayerBandsAvx512::NearTerm(const BayerBand& band, int rowParity, int64_t x) const
{
    const size_t i = size_t(Mirrored(x));
    const uint8_t* outside = rowParity ? band.above : band.below;
    const uint8_t* inside = rowParity ? band.first + (k_ - 1) * band.rowBytes : band.first;
    return 4 * int32_t(SumAt(rowParity, i)) + outside[i] - inside[i];
}

int32_t BayerBandsAvx512::GreenSum(int64_t x) const
{
    const size_t i = size_t(Mirrored(x));
    return SumAt(int(i & 1) == green_ ? 0 : 1, i);
}

void BayerBandsAvx512::Reduce(const BayerBand& band, uint8_t* out)
{
    const size_t h = k_ / 2;
    // Down: the rows of each parity into their column sums, four at a time.
    const size_t bytes = std::min<size_t>(width_, size_t(blocks_) * k_ + 2);
    for (int r = 0; r < 2; ++r)
        for (size_t j = 0; j < h; j += 4) {
            const uint8_t* rows[4];
            const size_t n = std::min<size_t>(4, h - j);
            for (size_t i = 0; i < n; ++i)
                rows[i] = band.first + (size_t(r) + 2 * (j + i)) * band.rowBytes;
            uint16_t* sums = sums_.data() + 2 * r * kLanes;
            switch (n) {
            case 1: AddRows<1>(rows, sums, bytes, j == 0); break;
            case 2: AddRows<2>(rows, sums, bytes, j == 0); break;
            case 3: AddRows<3>(rows, sums, bytes, j == 0); break;
            default: AddRows<4>(rows, sums, bytes, j == 0); break;
            }
        }
    // Across. Edge terms are kept from index 1 on: the one before the
    // first block, and after the last, are filled in below.
    Across a{sums_.data(),
             band.below,
             band.first,
             band.above,
             band.first + (k_ - 1) * band.rowBytes,
             pairs_,
             width_,
             starts_.data(),
             ends_.data(),
             pairEnds_.data(),
             runs_[0].data(),
             runs_[1].data(),
             runs_[2].data(),
             edges_[0].data() + 1,
             edges_[1].data() + 1,
             edges_[2].data() + 2,
             reinterpret_cast<const char*>(band.next)};
    if (green_)
        AcrossWith<1>(h / 2, a, std::make_index_sequence<kMaxH2>());
    else
        AcrossWith<0>(h / 2, a, std::make_index_sequence<kMaxH2>());
    // At the frame's edges the terms are mirrored.
    const int64_t end = int64_t(pairs_) * 2;
    for (int r = 0; r < 2; ++r) {
        uint16_t* e = edges_[r].data() + 1;
        if ((r ? green_ : 1 - green_) == 0)
            e[blocks_] = uint16_t(NearTerm(band, r, end));
        else
            e[-1] = uint16_t(NearTerm(band, r, 1));
    }
    uint16_t* steps = edges_[2].data() + 1;  // steps[b]: at block b's left edge
    steps[0] = uint16_t(GreenSum(0) - GreenSum(-1));
    steps[blocks_] = uint16_t(GreenSum(end) - GreenSum(end - 1));
    Finish(out);
}

// Per chroma colour, in even columns: 4 x its run + its term where the
// next block starts - where its own does; in odd columns: + where the block
// before ends - where its own does. Green: its run + the steps of its sums
// at the block's two edges. Then each sum times 1 / (4 k^2), rounded to
// nearest and stored as RowMaker::Pixels stores it (the multiplication and
// the addition rounded apart, as there, not fused).
TARVIK_AVX512 void BayerBandsAvx512::Finish(uint8_t* out)
{
    const ptrdiff_t other[2] = {green_ ? 1 : -1, green_ ? -1 : 1};
    const uint16_t* e[2] = {edges_[0].data() + 1, edges_[1].data() + 1};
    const uint16_t* steps = edges_[2].data() + 1;
    const __m512 inverse = _mm512_set1_ps(1.0f / float(4 * k_ * k_));
    // Blue, green, red of 16 pixels, 4 bytes each, to 3 bytes each.
    alignas(64) static const uint8_t threeOfFour[64] = {
        0,  1,  2,  4,  5,  6,  8,  9,  10, 12, 13, 14, 16, 17, 18, 20, 21, 22, 24, 25, 26, 28,
        29, 30, 32, 33, 34, 36, 37, 38, 40, 41, 42, 44, 45, 46, 48, 49, 50, 52, 53, 54, 56, 57, 58, 60, 61, 62};
    const __m512i pack = _mm512_load_si512(threeOfFour);
    for (size_t b = 0; b < blocks_; b += 16) {
        const size_t n = std::min<size_t>(16, blocks_ - b);
        const __mmask16 m = __mmask16((1u << n) - 1);
        __m512i chroma[2];
        for (int r = 0; r < 2; ++r) {
            const __m512i run = _mm512_maskz_loadu_epi32(m, runs_[r].data() + b);
            const __m512i edge = _mm512_sub_epi32(Edges(e[r] + ptrdiff_t(b) + other[r], m), Edges(e[r] + b, m));
            chroma[r] = Average(inverse, _mm512_add_epi32(_mm512_slli_epi32(run, 2), edge));
        }
        const __m512i run = _mm512_maskz_loadu_epi32(m, runs_[2].data() + b);
        const __m512i after = _mm512_cvtepi16_epi32(_mm256_maskz_loadu_epi16(m, steps + b + 1));
        const __m512i at = _mm512_cvtepi16_epi32(_mm256_maskz_loadu_epi16(m, steps + b));
        const __m512i green = Average(inverse, _mm512_add_epi32(run, _mm512_sub_epi32(after, at)));
        const __m512i blue = chroma[blueInEvenRows_ ? 0 : 1], red = chroma[blueInEvenRows_ ? 1 : 0];
        const __m512i pixels = _mm512_or_si512(blue, _mm512_or_si512(_mm512_slli_epi32(green, 8),
                                                                     _mm512_slli_epi32(red, 16)));
        _mm512_mask_storeu_epi8(out + 3 * b, (__mmask64(1) << (3 * n)) - 1, _mm512_permutexvar_epi8(pack, pixels));
    }
}

#else

bool BayerBandsAvx512::Takes(uint32_t, uint32_t) { return false; }

#endif

}  // namespace imaging
