// Live view's reduction of 8-bit Bayer, grey, YUV 4:2:2 and RGB bands with AVX-512.
// The portable path adds a band's rows into column sums in memory, then
// goes across them (for Bayer several times: pair terms, each colour's
// runs, edges). Here one pass goes across the band 64 bytes of its rows at
// a time: down its rows into sums held in registers, then along to each
// block's width (shifted adds), kept where blocks end (compress). Reading
// the frame and working on it overlap, where the portable path waits for
// one, then does the other. The integers are the portable path's, exactly.
//
// Bayer: the sums are split by column parity, so that a lane is a column
// pair; each colour's pair terms are summed two pairs at a time
// (multiply-add) before running along, and the terms at the blocks' edges
// are picked the same way.
#include "LiveKernels.h"

#include "platform/imaging/convert/PixelRows.h"
#include "platform/imaging/YuvFixedPoint.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "platform/imaging/X86.h"

namespace imaging {

#ifdef TARVIK_X86
namespace {

#define TARVIK_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,popcnt")))

constexpr size_t kLanes = 32;  // column pairs a vector: 64 bytes of a row

// ---- Bayer ------------------------------------------------------------------------

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

// Per column: 2^Shift x the band's sum + the row outside - its edge row
// (Shift 2 for red and blue, 3 for green; see RowMaker::BayerRow).
template <int Shift>
TARVIK_AVX512 inline __m512i Terms(__m512i sums, __m512i outside, __m512i inside)
{
    return _mm512_sub_epi16(_mm512_add_epi16(_mm512_slli_epi16(sums, Shift), outside), inside);
}

// The sum of lanes q - J + 1 .. q of d at each lane q, prev the vector before d.
template <int J>
TARVIK_AVX512 inline __m512i Sliding(__m512i d, __m512i prev)
{
    if constexpr (J <= 1)
        return d;
    else
        return _mm512_add_epi32(_mm512_maskz_alignr_epi32(0xffff, d, prev, 16 - (J - 1)), Sliding<J - 1>(d, prev));
}

// The same where blocks of J lanes end. Blocks of two lanes end in the odd
// lanes (a vector holds whole blocks): added within 64-bit lanes, without
// crossing lanes.
template <int J>
TARVIK_AVX512 inline __m512i Window(__m512i d, __m512i prev)
{
    if constexpr (J == 2)
        return _mm512_add_epi32(d, _mm512_slli_epi64(d, 32));
    else
        return Sliding<J>(d, prev);
}

// Indices that move a vector of 16-bit lanes up by s lanes (s < 32), the
// lanes before it taken from the vector before (permutex2var(before, this, it)).
TARVIK_AVX512 inline __m512i UpBy(int s)
{
    alignas(64) static const uint16_t lanes[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                                                   16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
    return _mm512_add_epi16(_mm512_load_si512(lanes), _mm512_set1_epi16(int16_t(32 - s)));
}

// What is kept of a band, each kind in sections stride bytes apart: each
// colour's runs per block (the colour in even rows, in odd rows, green), and
// the terms at the blocks' edges: where blocks start (the colour in even
// columns, then green's steps), where they end (the colour in odd columns).
struct Kept {
    int32_t* runs;
    uint16_t *starts, *ends;
};

struct Across {
    const uint8_t *first, *below, *above;  // the band's first row, the rows outside it
    size_t rowBytes;
    size_t pairs, bytes, step;  // pairs: of the blocks; bytes: of a row; step: bytes of 64 samples
    const uint8_t (*words)[64];  // deeper samples: see BayerBandsAvx512::words_, tops_
    const uint8_t (*tops)[64];
    const BlockLanes* lanes;
    Kept kept;
    size_t stride;
};

template <typename T>
inline T* Section(T* p, size_t stride, int section)
{
    return reinterpret_cast<T*>(reinterpret_cast<uintptr_t>(p) + stride * size_t(section));
}

// Deeper samples: their two bytes gathered per column parity and their
// top 8 bits picked from them, kept in registers across the band.
struct Gather {
    __m512i words[2], tops[2];
};

// 64 samples of a row from p, even columns and odd columns, as 16-bit
// lanes of their (top) 8 bits; bytes past the masks' ends read as 0.
template <bool Deep, bool Masked>
TARVIK_AVX512 inline void Columns(const Gather& g, const uint8_t* p, __mmask64 m, __mmask64 m2, __m512i (&c)[2])
{
    if constexpr (!Deep) {
        const __m512i v = RowBytes<Masked>(p, m);
        c[0] = ColumnOf<0>(v);
        c[1] = ColumnOf<1>(v);
    } else {
        const __m512i lo = RowBytes<Masked>(p, m), hi = _mm512_maskz_loadu_epi8(m2, p + 64);
        const __mmask64 low = 0x5555555555555555;  // the low byte of each lane; the high one is 0
        for (int parity = 0; parity < 2; ++parity)
            c[parity] = _mm512_maskz_multishift_epi64_epi8(
                low, g.tops[parity], _mm512_permutex2var_epi8(lo, g.words[parity], hi));
    }
}

// What one step across hands the next: each colour's terms two pairs at a
// time and the odd columns' sums in the rows where green is odd.
struct Carried {
    __m512i even, odd, green, greenOdd;
};

// One step across: the 32 column pairs from pair 32 i.
template <int Green, int H2, bool Deep, bool Masked>
TARVIK_AVX512 inline void AcrossAt(const Across& a, const Gather& g, size_t i, Carried& c, Kept& k)
{
    constexpr int Chroma = 1 - Green;  // the column of the colour in even rows; in odd rows it is Green's
    const size_t x = a.step * i;
    const size_t left = std::min(a.bytes - x, a.step);
    const __mmask64 m = Masked && left < 64 ? (__mmask64(1) << left) - 1 : ~__mmask64(0);
    const __mmask64 m2 = left <= 64 ? 0 : left >= 128 ? ~__mmask64(0) : (__mmask64(1) << (left - 64)) - 1;
    // Down: the band's rows into sums per row and column parity.
    __m512i sums[2][2] = {{_mm512_setzero_si512(), _mm512_setzero_si512()},
                          {_mm512_setzero_si512(), _mm512_setzero_si512()}};
    __m512i in0[2], in1[2];
    for (int j = 0; j < 4 * H2; ++j) {
        __m512i v[2];
        Columns<Deep, Masked>(g, a.first + size_t(j) * a.rowBytes + x, m, m2, v);
        sums[j & 1][0] = _mm512_add_epi16(sums[j & 1][0], v[0]);
        sums[j & 1][1] = _mm512_add_epi16(sums[j & 1][1], v[1]);
        if (j == 0)
            in0[0] = v[0], in0[1] = v[1];
        if (j == 4 * H2 - 1)
            in1[0] = v[0], in1[1] = v[1];
    }
    __m512i out0[2], out1[2];
    Columns<Deep, Masked>(g, a.below + x, m, m2, out0);
    Columns<Deep, Masked>(g, a.above + x, m, m2, out1);
    const __m512i evenTerms = Terms<2>(sums[0][Chroma], out0[Chroma], in0[Chroma]);
    const __m512i oddTerms = Terms<2>(sums[1][Green], out1[Green], in1[Green]);
    const __m512i green0 = Terms<3>(sums[0][Green], out0[Green], in0[Green]);
    const __m512i green1 = Terms<3>(sums[1][Chroma], out1[Chroma], in1[Chroma]);
    // Two pairs' terms at a time, then runs of a block's width, kept where
    // blocks end. Green's two rows are added first where that stays below
    // 2^15 (blocks up to 12 wide).
    const __m512i ones = _mm512_set1_epi16(1);
    const __m512i twoEven = _mm512_madd_epi16(evenTerms, ones), twoOdd = _mm512_madd_epi16(oddTerms, ones);
    const __m512i twoGreen = H2 <= 3 ? _mm512_madd_epi16(_mm512_add_epi16(green0, green1), ones)
                                     : _mm512_add_epi32(_mm512_madd_epi16(green0, ones),
                                                        _mm512_madd_epi16(green1, ones));
    const BlockLanes lanes = a.lanes[i];
    Store(k.runs, _mm512_maskz_compress_epi32(lanes.pairEnds, Window<H2>(twoEven, c.even)));
    Store(Section(k.runs, a.stride, 1), _mm512_maskz_compress_epi32(lanes.pairEnds, Window<H2>(twoOdd, c.odd)));
    Store(Section(k.runs, a.stride, 2), _mm512_maskz_compress_epi32(lanes.pairEnds, Window<H2>(twoGreen, c.green)));
    k.runs += _mm_popcnt_u32(lanes.pairEnds);
    c.even = twoEven;
    c.odd = twoOdd;
    c.green = twoGreen;
    // The colour in even columns keeps its terms where blocks start, the
    // one in odd columns where they end; green the step of its sums at each
    // start: the even column's sum in the rows where green is even, less
    // that of the odd column before it in the other rows (at the frame's
    // left edge that is mirrored: set apart).
    Store(k.starts, _mm512_maskz_compress_epi16(lanes.starts, Chroma ? oddTerms : evenTerms));
    Store(k.ends, _mm512_maskz_compress_epi16(lanes.ends, Chroma ? evenTerms : oddTerms));
    const __m512i greenOdd = sums[Chroma][1];
    const __m512i before = _mm512_permutex2var_epi16(c.greenOdd, UpBy(1), greenOdd);
    c.greenOdd = greenOdd;
    Store(Section(k.starts, a.stride, 1),
          _mm512_maskz_compress_epi16(lanes.starts, _mm512_sub_epi16(sums[Green][0], before)));
    k.starts += _mm_popcnt_u32(lanes.starts);
    k.ends += _mm_popcnt_u32(lanes.ends);
}

template <int Green, int H2, bool Deep>
TARVIK_AVX512 void AcrossBand(const Across& in)
{
    const Across a = in;
    Gather g;
    if constexpr (Deep)
        for (int parity = 0; parity < 2; ++parity) {
            g.words[parity] = _mm512_load_si512(a.words[parity]);
            g.tops[parity] = _mm512_load_si512(a.tops[parity]);
        }
    Carried c{_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512()};
    Kept k = a.kept;
    const size_t vectors = (a.pairs + kLanes - 1) / kLanes;
    size_t i = 0;
    for (; i < vectors && (i + 1) * a.step <= a.bytes; ++i)
        AcrossAt<Green, H2, Deep, false>(a, g, i, c, k);
    for (; i < vectors; ++i)
        AcrossAt<Green, H2, Deep, true>(a, g, i, c, k);
}

template <int Green, bool Deep, size_t... H>
void AcrossWith(size_t h2, const Across& a, std::index_sequence<H...>)
{
    ((h2 == H + 1 ? AcrossBand<Green, int(H + 1), Deep>(a) : void()), ...);
}

constexpr uint32_t kMaxH2 = 7;  // blocks up to 28 wide: every term below 2^15

// ---- Both -------------------------------------------------------------------------

// 16 values (fewer where the mask ends) widened to 32 bits.
TARVIK_AVX512 inline __m512i Widened(const uint16_t* e, __mmask16 m)
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

// n (up to 16) pixels of blue, green, red values, 3 bytes each.
TARVIK_AVX512 inline void StorePixels(uint8_t* out, size_t n, __m512i blue, __m512i green, __m512i red)
{
    alignas(64) static const uint8_t threeOfFour[64] = {
        0,  1,  2,  4,  5,  6,  8,  9,  10, 12, 13, 14, 16, 17, 18, 20, 21, 22, 24, 25, 26, 28,
        29, 30, 32, 33, 34, 36, 37, 38, 40, 41, 42, 44, 45, 46, 48, 49, 50, 52, 53, 54, 56, 57, 58, 60, 61, 62};
    const __m512i pixels =
        _mm512_or_si512(blue, _mm512_or_si512(_mm512_slli_epi32(green, 8), _mm512_slli_epi32(red, 16)));
    _mm512_mask_storeu_epi8(out, (__mmask64(1) << (3 * n)) - 1,
                            _mm512_permutexvar_epi8(_mm512_load_si512(threeOfFour), pixels));
}

// ---- YUV 4:2:2 ----------------------------------------------------------------

// 32 pixels of YUV 4:2:2 to blue, green, red, each 0 to 255 in 16-bit
// lanes (over the full range blue and red mixed, see YuvDown): the row
// conversion's arithmetic (YuvAvx2), 32 pixels a step. Over the full range
// Y' is Y x 32 exactly, so (Y' + t + 16) >> 5 is Y + ((t + 16) >> 5): each
// pair's colour terms are rounded once, at the pair, and each pixel adds
// its Y, clamped by saturation: Y + 32512 + t saturates at 32767 where Y +
// t passes 255, and less 32512 (unsigned) at 0 where it falls below 0.
template <bool Uyvy, bool Limited>
TARVIK_AVX512 inline void YuvPixels(__m512i in, __m512i& b, __m512i& g, __m512i& r)
{
    constexpr YuvCoefficients k = Limited ? kLimited : kFull;
    const __m512i zero = _mm512_setzero_si512();
    // Per pair, in its two lanes: U x 32 - 4096 and V x 32 - 4096.
    const __m512i chroma = _mm512_sub_epi16(_mm512_maddubs_epi16(in, _mm512_set1_epi16(Uyvy ? 0x20 : 0x2000)),
                                            _mm512_set1_epi16(4096));
    if constexpr (!Limited) {
        const __m512i bias = _mm512_set1_epi16(32767 - 255), round = _mm512_set1_epi16(1024);  // mulhrs: (t + 16) >> 5
        const __m512i y = Uyvy ? _mm512_or_si512(_mm512_srli_epi16(in, 8), bias)
                               : _mm512_ternarylogic_epi32(in, _mm512_set1_epi16(0xff), bias, 0xEA);  // in & ff | bias
        // Blue from U, red from V: 1 x it + its coefficient's fraction.
        const __m512i blueRed = _mm512_mulhrs_epi16(
            _mm512_add_epi16(chroma, _mm512_mulhrs_epi16(chroma, _mm512_set1_epi32(int(k.bu) | int(k.rv) << 16))),
            round);
        // Green: minus both, the pair's two lanes summed in each. The
        // coefficients are odd and |U x 32 - 4096| at most 4096, so their
        // products are never half way between two steps of 2^15, where
        // rounding a negated product would differ from negating it rounded.
        static_assert(k.gu % 2 == 1 && k.gv % 2 == 1, "odd coefficients: negated products round alike");
        const __m512i parts = _mm512_mulhrs_epi16(chroma, _mm512_set1_epi32(int((uint32_t(-k.gu) & 0xffff) | uint32_t(-k.gv) << 16)));
        const __m512i green = _mm512_mulhrs_epi16(_mm512_add_epi16(parts, _mm512_rol_epi32(parts, 16)), round);
        // A pair's two Y with its blue and red terms as they lie, then with
        // its Ys swapped: blue and red mixed (see YuvDown).
        b = _mm512_subs_epu16(_mm512_adds_epi16(y, blueRed), bias);
        g = _mm512_subs_epu16(_mm512_adds_epi16(y, green), bias);
        r = _mm512_subs_epu16(_mm512_adds_epi16(_mm512_rol_epi32(y, 16), blueRed), bias);
    } else {
        const __m512i c16 = _mm512_set1_epi16(16), top = _mm512_set1_epi16(255);
        const __m512i y = Uyvy ? _mm512_srli_epi16(in, 8) : _mm512_and_si512(in, _mm512_set1_epi16(0xff));
        // Each pixel's U and V, from the lanes of its pair.
        const __m512i u5 = _mm512_shuffle_epi8(
            chroma, _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13)));
        const __m512i v5 = _mm512_shuffle_epi8(
            chroma, _mm512_broadcast_i32x4(_mm_setr_epi8(2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15)));
        __m512i y5 = _mm512_slli_epi16(_mm512_sub_epi16(y, c16), 5);
        y5 = _mm512_add_epi16(y5, _mm512_mulhrs_epi16(y5, _mm512_set1_epi16(int16_t(k.y))));
        y5 = _mm512_add_epi16(y5, c16);  // rounding, for all three (no sum here leaves 16 bits)
        b = _mm512_add_epi16(_mm512_add_epi16(y5, _mm512_slli_epi16(u5, 1)),
                             _mm512_mulhrs_epi16(u5, _mm512_set1_epi16(int16_t(k.bu))));
        g = _mm512_sub_epi16(_mm512_sub_epi16(y5, _mm512_mulhrs_epi16(u5, _mm512_set1_epi16(int16_t(k.gu)))),
                             _mm512_mulhrs_epi16(v5, _mm512_set1_epi16(int16_t(k.gv))));
        r = _mm512_add_epi16(_mm512_add_epi16(y5, v5), _mm512_mulhrs_epi16(v5, _mm512_set1_epi16(int16_t(k.rv))));
        b = _mm512_min_epi16(_mm512_max_epi16(_mm512_srai_epi16(b, 5), zero), top);
        g = _mm512_min_epi16(_mm512_max_epi16(_mm512_srai_epi16(g, 5), zero), top);
        r = _mm512_min_epi16(_mm512_max_epi16(_mm512_srai_epi16(r, 5), zero), top);
    }
}

// A band's rows, how it is gone across and where its blocks' sums go.
struct BandAcross {
    const uint8_t* first;
    size_t rowBytes, bytes, vectors;  // bytes: of a row; vectors: steps of 32 pixels
    uint32_t k;
    const uint8_t* channels;  // 3 or 4 bytes a pixel: where blue's, green's, red's bytes are among 128
    int shift;                // grey 16-bit words: to their top 8 bits
    const uint8_t* pairs;     // grey packed samples: where each one's two bytes are among 64
    const uint16_t* shifts;   // and how far its top 8 bits are from its first
    const uint32_t* ends;     // per 32 pixels: where blocks end
    uint16_t* runs;           // per colour (blue, green, red; or grey), section values apart
    size_t section;
};

// YUV 4:2:2: 64 bytes (32 pixels) of each of k rows from p into their pixels' sums.
template <bool Uyvy, bool Limited>
struct YuvDown {
    static constexpr size_t kStep = 64;
    static constexpr int kColours = 3;

    template <bool Masked>
    TARVIK_AVX512 static void Run(const BandAcross& a, const uint8_t* p, __mmask64 m, __mmask64, __m512i sums[3])
    {
        for (uint32_t j = 0; j < a.k; ++j) {
            __m512i b, g, r;
            // Each row two steps ahead: k rows read side by side are more
            // streams than the processor follows on its own (about 10 %).
            _mm_prefetch(reinterpret_cast<const char*>(p + size_t(j) * a.rowBytes + 128), _MM_HINT_T0);
            YuvPixels<Uyvy, Limited>(RowBytes<Masked>(p + size_t(j) * a.rowBytes, m), b, g, r);
            sums[0] = _mm512_add_epi16(sums[0], b);
            sums[1] = _mm512_add_epi16(sums[1], g);
            sums[2] = _mm512_add_epi16(sums[2], r);
        }
        if constexpr (!Limited) {
            // Over the full range blue and red come mixed: per pair, the
            // first sums hold blue of the first pixel and red of the second,
            // the last blue of the second and red of the first.
            const __m512i mixed = sums[0], swapped = sums[2];
            sums[0] = _mm512_mask_blend_epi16(0xAAAAAAAA, mixed, _mm512_slli_epi32(swapped, 16));
            sums[2] = _mm512_mask_blend_epi16(0xAAAAAAAA, _mm512_srli_epi32(swapped, 16), mixed);
        }
    }
};

// Pixels of Bytes bytes, 32 of them from p in each of k rows, each channel
// picked into 16-bit lanes from the 128 bytes at p, into their sums.
template <int Bytes>
struct ChannelsDown {
    static constexpr size_t kStep = 32 * Bytes;
    static constexpr int kColours = 3;

    template <bool Masked>
    TARVIK_AVX512 static void Run(const BandAcross& a, const uint8_t* p, __mmask64 m, __mmask64 m2, __m512i sums[3])
    {
        const __mmask64 low = 0x5555555555555555;  // the low byte of each lane; the high one is 0
        const __m512i at[3] = {_mm512_loadu_si512(a.channels), _mm512_loadu_si512(a.channels + 64),
                               _mm512_loadu_si512(a.channels + 128)};
        for (uint32_t j = 0; j < a.k; ++j) {
            const uint8_t* row = p + size_t(j) * a.rowBytes;
            const __m512i lo = RowBytes<Masked>(row, m), hi = _mm512_maskz_loadu_epi8(m2, row + 64);
            for (int c = 0; c < 3; ++c)
                sums[c] = _mm512_add_epi16(sums[c], _mm512_maskz_permutex2var_epi8(low, lo, at[c], hi));
        }
    }
};

// Running a row of sums along to each block's k columns: as sums of 1, 2,
// 4 ... 2^Top columns (each from the one before and itself moved up), added
// at their offsets for k's bits. Each level keeps its vector before.
template <int Top>
struct Along {
    int k;
    __m512i levelUp[Top], partUp[Top];
};

template <int Top>
TARVIK_AVX512 inline Along<Top> AlongOf(int k)
{
    Along<Top> a;
    a.k = k;
    for (int n = 0; n < Top; ++n) {
        a.levelUp[n] = UpBy(1 << n);
        a.partUp[n] = UpBy(0);
    }
    for (int n = Top - 1, at = 1 << Top; n >= 0; --n)
        if (k >> n & 1) {
            a.partUp[n] = UpBy(at);
            at += 1 << n;
        }
    return a;
}

template <int Top>
TARVIK_AVX512 inline __m512i RunAlong(const Along<Top>& a, __m512i sums, __m512i (&before)[Top + 1])
{
    __m512i level[Top + 1];
    level[0] = sums;
    for (int n = 0; n < Top; ++n)
        level[n + 1] = _mm512_add_epi16(level[n], _mm512_permutex2var_epi16(before[n], a.levelUp[n], level[n]));
    __m512i run = level[Top];
    for (int n = Top - 1; n >= 0; --n)
        if (a.k >> n & 1)
            run = _mm512_add_epi16(run, _mm512_permutex2var_epi16(before[n], a.partUp[n], level[n]));
    for (int n = 0; n <= Top; ++n)
        before[n] = level[n];
    return run;
}

// The highest power of two in k (2 to 16), for the templates taking it.
template <template <int> class F, typename... Args>
void WithTop(uint32_t k, Args&&... args)
{
    switch (31 - __builtin_clz(k)) {
    case 1: return F<1>::Run(args...);
    case 2: return F<2>::Run(args...);
    case 3: return F<3>::Run(args...);
    default: return F<4>::Run(args...);
    }
}

// Down the band's rows, 32 pixels at a time, and along each block.
template <class Down, int Top>
TARVIK_AVX512 void Band(const BandAcross& in)
{
    const BandAcross a = in;  // a copy the stores below cannot be taken to change
    constexpr int colours = Down::kColours;
    const Along<Top> along = AlongOf<Top>(int(a.k));
    __m512i before[colours][Top + 1];
    for (auto& colour : before)
        for (auto& level : colour)
            level = _mm512_setzero_si512();
    size_t kept = 0;
    for (size_t i = 0; i < a.vectors; ++i) {
        const size_t x = Down::kStep * i;
        __m512i sums[colours];
        for (auto& sum : sums)
            sum = _mm512_setzero_si512();
        // What is read: 64 bytes, and for pixels of 3 or 4 bytes up to 64 more.
        const size_t left = a.bytes - x;
        const __mmask64 more = left <= 64 ? 0 : left >= 128 ? ~__mmask64(0) : (__mmask64(1) << (left - 64)) - 1;
        if (left >= 64)
            Down::template Run<false>(a, a.first + x, ~__mmask64(0), more, sums);
        else
            Down::template Run<true>(a, a.first + x, (__mmask64(1) << left) - 1, more, sums);
        const uint32_t ends = a.ends[i];
        for (int c = 0; c < colours; ++c)
            Store(a.runs + size_t(c) * a.section + kept,
                  _mm512_maskz_compress_epi16(ends, RunAlong(along, sums[c], before[c])));
        kept += _mm_popcnt_u32(ends);
    }
}

template <class Down>
struct BandWith {
    template <int Top>
    struct Of {
        static void Run(const BandAcross& a) { Band<Down, Top>(a); }
    };
};

// ---- Mono -------------------------------------------------------------------------

enum class Samples { Bytes, Words, Packed };

// Grey samples, 32 of them from p in each of k rows, as their top 8 bits
// in 16-bit lanes (the bytes past the mask's end read as 0), into their
// sum. Packed samples have Bits bits, 10 or 12: 32 of them in 40 or 48 bytes.
template <Samples Kind, int Bits = 0>
struct GreyDown {
    static constexpr size_t kStep = Kind == Samples::Bytes ? 32 : Kind == Samples::Words ? 64 : 4 * Bits;
    static constexpr int kColours = 1;

    template <bool Masked>
    TARVIK_AVX512 static void Run(const BandAcross& a, const uint8_t* p, __mmask64 m, __mmask64, __m512i sums[1])
    {
        for (uint32_t j = 0; j < a.k; ++j)
            sums[0] = _mm512_add_epi16(sums[0], Samples32<Masked>(a, p + size_t(j) * a.rowBytes, m));
    }

    template <bool Masked>
    TARVIK_AVX512 static __m512i Samples32(const BandAcross& a, const uint8_t* p, __mmask64 m)
    {
        if constexpr (Kind == Samples::Bytes) {
            return _mm512_cvtepu8_epi16(Masked ? _mm256_maskz_loadu_epi8(__mmask32(m), p)
                                               : _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
        } else if constexpr (Kind == Samples::Words) {
            return _mm512_and_si512(_mm512_srl_epi16(RowBytes<Masked>(p, m), _mm_cvtsi32_si128(a.shift)),
                                    _mm512_set1_epi16(0xff));
        } else {
            const __m512i words = _mm512_permutexvar_epi8(_mm512_loadu_si512(a.pairs), RowBytes<Masked>(p, m));
            return _mm512_and_si512(_mm512_srlv_epi16(words, _mm512_loadu_si512(a.shifts)),
                                    _mm512_set1_epi16(0xff));
        }
    }
};

// Where blocks of k pixels end among each 32 of the first pixels.
std::vector<uint32_t> BlockEnds(size_t pixels, uint32_t k)
{
    std::vector<uint32_t> ends((pixels + 31) / 32, 0);
    for (size_t x = k - 1; x < pixels; x += k)
        ends[x / 32] |= 1u << (x % 32);
    return ends;
}

}  // namespace

bool ColourBandsAvx512::Takes(const cam::PixelFormat& format, uint32_t width, uint32_t k)
{
    // 16-bit sums of a block's k x k samples.
    if (!UseAvx512(Kernel::Live) || k < 2 || k > 16 || format.packing != cam::Packing::Byte)
        return false;
    if (format.sampling == cam::Sampling::Yuv422)
        return width / k * k <= width / 2 * 2;  // blocks of whole pairs
    return format.sampling == cam::Sampling::Colour && (format.bitsPerPixel == 24 || format.bitsPerPixel == 32);
}

ColourBandsAvx512::ColourBandsAvx512(const cam::PixelFormat& format, uint32_t width, uint32_t k)
    : k_(k), blocks_(width / k), rowBytes_(size_t(cam::RowBytes(format, width)))
{
    ends_ = BlockEnds(size_t(blocks_) * k, k);
    section_ = blocks_ + 32;  // compressed stores write whole vectors
    runs_.resize(3 * section_);
    if (format.sampling == cam::Sampling::Yuv422) {
        const bool uyvy = std::string_view(format.order) == "UYVY";
        const bool limited = format.matrix == cam::Matrix::LimitedRange601;
        kind_ = uyvy ? (limited ? kUyvyLimited : kUyvy) : (limited ? kYuyvLimited : kYuyv);
        return;
    }
    const int bytes = format.bitsPerPixel / 8;
    kind_ = bytes == 3 ? kThreeBytes : kFourBytes;
    // Blue, green, red: where each pixel's byte of it is.
    const bool bgr = format.order[0] == 'B';
    const int offset[3] = {bgr ? 0 : 2, 1, bgr ? 2 : 0};
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 32; ++i)
            channels_[64 * c + 2 * i] = uint8_t(bytes * i + offset[c]);
}

void ColourBandsAvx512::Reduce(const uint8_t* first, size_t rowBytes, uint8_t* out)
{
    const BandAcross a{first, rowBytes, rowBytes_, ends_.size(), k_, channels_, 0, nullptr, nullptr,
                       ends_.data(), runs_.data(), section_};
    switch (kind_) {
    case kYuyv: WithTop<BandWith<YuvDown<false, false>>::Of>(k_, a); break;
    case kYuyvLimited: WithTop<BandWith<YuvDown<false, true>>::Of>(k_, a); break;
    case kUyvy: WithTop<BandWith<YuvDown<true, false>>::Of>(k_, a); break;
    case kUyvyLimited: WithTop<BandWith<YuvDown<true, true>>::Of>(k_, a); break;
    case kThreeBytes: WithTop<BandWith<ChannelsDown<3>>::Of>(k_, a); break;
    default: WithTop<BandWith<ChannelsDown<4>>::Of>(k_, a); break;
    }
    Finish(out);
}

// Each block's sums times 1 / k^2, rounded as RowMaker::Pixels rounds them.
TARVIK_AVX512 void ColourBandsAvx512::Finish(uint8_t* out)
{
    const __m512 inverse = _mm512_set1_ps(1.0f / float(k_ * k_));
    for (size_t b = 0; b < blocks_; b += 16) {
        const size_t n = std::min<size_t>(16, blocks_ - b);
        const __mmask16 m = __mmask16((1u << n) - 1);
        __m512i colour[3];
        for (int c = 0; c < 3; ++c)
            colour[c] = Average(inverse, Widened(runs_.data() + size_t(c) * section_ + b, m));
        StorePixels(out + 3 * b, n, colour[0], colour[1], colour[2]);
    }
}

bool MonoBandsAvx512::Takes(const cam::PixelFormat& format, uint32_t k)
{
    // 16-bit sums of a block's k x k samples.
    if (!UseAvx512(Kernel::Live) || k < 2 || k > 16 || format.sampling != cam::Sampling::Mono)
        return false;
    switch (format.packing) {
    case cam::Packing::Byte: return format.bits == 8;
    case cam::Packing::Word: return format.bits >= 8 && format.bits <= 16;
    case cam::Packing::Lsb: return format.bits == 10 || format.bits == 12;  // 32 samples in 40 or 48 bytes
    default: return false;
    }
}

MonoBandsAvx512::MonoBandsAvx512(const cam::PixelFormat& format, uint32_t width, uint32_t k)
    : k_(k), blocks_(width / k), kind_(int(format.packing)), bits_(format.bits),
      rowBytes_(size_t(cam::RowBytes(format, width))), ends_(BlockEnds(size_t(blocks_) * k, k)), runs_(blocks_ + 32)
{
    // Packed samples: each one's 16-bit word starts at the byte holding its
    // first bit, which its 8 to 12 bits never run past.
    for (uint32_t i = 0; i < 32; ++i) {
        const uint32_t bit = i * uint32_t(bits_);
        pairs_[2 * i] = uint8_t(bit / 8);
        pairs_[2 * i + 1] = uint8_t(bit / 8 + 1);
        shifts_[i] = uint16_t(bit % 8 + uint32_t(bits_) - 8);
    }
}

void MonoBandsAvx512::Reduce(const uint8_t* first, size_t rowBytes, uint8_t* out)
{
    const BandAcross a{first,  rowBytes,     rowBytes_,    ends_.size(), k_, nullptr, bits_ - 8, pairs_,
                       shifts_, ends_.data(), runs_.data(), runs_.size()};
    if (kind_ == int(cam::Packing::Byte))
        WithTop<BandWith<GreyDown<Samples::Bytes>>::Of>(k_, a);
    else if (kind_ == int(cam::Packing::Word))
        WithTop<BandWith<GreyDown<Samples::Words>>::Of>(k_, a);
    else if (bits_ == 10)
        WithTop<BandWith<GreyDown<Samples::Packed, 10>>::Of>(k_, a);
    else
        WithTop<BandWith<GreyDown<Samples::Packed, 12>>::Of>(k_, a);
    Finish(out);
}

// Each block's sum times 1 / k^2 as grey, rounded as RowMaker::Pixels rounds it.
TARVIK_AVX512 void MonoBandsAvx512::Finish(uint8_t* out)
{
    const __m512 inverse = _mm512_set1_ps(1.0f / float(k_ * k_));
    for (size_t b = 0; b < blocks_; b += 16) {
        const size_t n = std::min<size_t>(16, blocks_ - b);
        const __m512i grey = Average(inverse, Widened(runs_.data() + b, __mmask16((1u << n) - 1)));
        StorePixels(out + 3 * b, n, grey, grey, grey);
    }
}

// ---- Bayer bands ------------------------------------------------------------------

bool BayerBandsAvx512::Takes(const cam::PixelFormat& format, uint32_t width, uint32_t k)
{
    if (!UseAvx512(Kernel::Live) || format.sampling != cam::Sampling::Bayer || k % 4 || k / 4 > kMaxH2 || width < k)
        return false;
    switch (format.packing) {
    case cam::Packing::Byte: return format.bits == 8;
    case cam::Packing::Word: return format.bits >= 8 && format.bits <= 16;
    case cam::Packing::Lsb: return format.bits == 10 || format.bits == 12;
    default: return format.bitsPerPixel == 12;  // GigE Vision's 2 samples in 3 bytes
    }
}

BayerBandsAvx512::BayerBandsAvx512(const cam::PixelFormat& format, uint32_t width, uint32_t k, int greenColumn,
                                   bool blueInEvenRows)
    : format_(&format), width_(width), k_(k), blocks_(width / k), green_(greenColumn),
      blueInEvenRows_(blueInEvenRows), rowBytes_(size_t(cam::RowBytes(format, width))),
      step_(size_t(format.bitsPerPixel) * 8)
{
    // Where each sample's top 8 bits start among the step's bits; a 16-bit
    // word from the byte holding that bit holds all 8. Sample 63's second
    // byte may lie past the 128 (16-bit words): it is never used there.
    for (int s = 0; s < 64; ++s) {
        const int bits = format.bits;
        int top = 0;
        switch (format.packing) {
        case cam::Packing::Word: top = 16 * s + bits - 8; break;
        case cam::Packing::Lsb: top = s * bits + bits - 8; break;
        default: top = s / 2 * 24 + s % 2 * 16; break;  // GigE Vision: bytes 0 and 2 of 3
        }
        const int lane = s / 2;
        words_[s % 2][2 * lane] = uint8_t(top / 8 % 128);
        words_[s % 2][2 * lane + 1] = uint8_t((top / 8 + 1) % 128);
        tops_[s % 2][2 * lane] = uint8_t(16 * (lane % 4) + top % 8);
    }
    const size_t h = k / 2;
    pairs_ = size_t(blocks_) * h;
    lanes_.assign((pairs_ + kLanes - 1) / kLanes, BlockLanes{0, 0, 0});
    for (size_t p = 0; p < pairs_; ++p) {
        BlockLanes& lanes = lanes_[p / kLanes];
        if (p % h == 0)
            lanes.starts |= 1u << (p % kLanes);
        if ((p + 1) % h == 0) {
            lanes.ends |= 1u << (p % kLanes);
            lanes.pairEnds |= uint16_t(1u << (p % kLanes / 2));
        }
    }
    // Compressed stores write whole vectors past the last value kept; edge
    // terms have one place more before the first block.
    section_ = blocks_ + 2 + kLanes;
    runs_.resize(3 * section_);
    edges_.resize(3 * 2 * section_ + 1);
}

int32_t BayerBandsAvx512::SampleAt(const uint8_t* row, size_t x) const
{
    if (format_->packing == cam::Packing::Byte)
        return row[x];
    return int32_t(cam::ReadSample(*format_, row, x) >> (format_->bits - 8));
}

int32_t BayerBandsAvx512::SumAt(const BayerBand& band, int rowParity, size_t x) const
{
    int32_t sum = 0;
    for (size_t y = size_t(rowParity); y < k_; y += 2)
        sum += SampleAt(band.first + y * band.rowBytes, x);
    return sum;
}

int64_t BayerBandsAvx512::Mirrored(int64_t x) const { return x < 0 ? 1 : x >= int64_t(width_) ? width_ - 2 : x; }

// As RowMaker::BayerRow's near: 4 x the band's sum + the row outside - the edge row.
int32_t BayerBandsAvx512::NearTerm(const BayerBand& band, int rowParity, int64_t x) const
{
    const size_t i = size_t(Mirrored(x));
    const uint8_t* outside = rowParity ? band.above : band.below;
    const uint8_t* inside = rowParity ? band.first + (k_ - 1) * band.rowBytes : band.first;
    return 4 * SumAt(band, rowParity, i) + SampleAt(outside, i) - SampleAt(inside, i);
}

int32_t BayerBandsAvx512::GreenSum(const BayerBand& band, int64_t x) const
{
    const size_t i = size_t(Mirrored(x));
    return SumAt(band, int(i & 1) == green_ ? 0 : 1, i);
}

void BayerBandsAvx512::Reduce(const BayerBand& band, uint8_t* out)
{
    const size_t h = k_ / 2;
    // Down the band's rows and across, 64 columns at a time.
    uint16_t* edges = edges_.data() + 1;
    const size_t stride = section_ * sizeof(int32_t);
    const Across a{band.first,
                   band.below,
                   band.above,
                   band.rowBytes,
                   pairs_,
                   rowBytes_,
                   step_,
                   words_,
                   tops_,
                   lanes_.data(),
                   {runs_.data(), edges, Section(edges, stride, 2)},
                   stride};
    const auto h2s = std::make_index_sequence<kMaxH2>();
    const bool deep = format_->packing != cam::Packing::Byte;
    if (green_)
        deep ? AcrossWith<1, true>(h / 2, a, h2s) : AcrossWith<1, false>(h / 2, a, h2s);
    else
        deep ? AcrossWith<0, true>(h / 2, a, h2s) : AcrossWith<0, false>(h / 2, a, h2s);
    // At the frame's edges the terms are mirrored: the colour in even
    // columns at the right (the pair after the last block), the one in odd
    // columns at the left, green at both.
    const int64_t end = int64_t(pairs_) * 2;
    const int evenColumnRows = 1 - green_;  // the rows whose colour is in even columns
    edges[blocks_] = uint16_t(NearTerm(band, evenColumnRows, end));
    Section(edges, stride, 2)[-1] = uint16_t(NearTerm(band, 1 - evenColumnRows, 1));
    uint16_t* steps = Section(edges, stride, 1);  // steps[b]: at block b's left edge
    steps[0] = uint16_t(GreenSum(band, 0) - GreenSum(band, -1));
    steps[blocks_] = uint16_t(GreenSum(band, end) - GreenSum(band, end - 1));
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
    // Per row parity: its colour's edge terms, and where the other edge's is.
    const size_t stride = section_ * sizeof(int32_t);
    const uint16_t* edges = edges_.data() + 1;
    const uint16_t* e[2] = {Section(edges, stride, green_ ? 0 : 2), Section(edges, stride, green_ ? 2 : 0)};
    const ptrdiff_t other[2] = {green_ ? 1 : -1, green_ ? -1 : 1};
    const uint16_t* steps = Section(edges, stride, 1);
    const int32_t* runs[3] = {runs_.data(), runs_.data() + section_, runs_.data() + 2 * section_};
    const __m512 inverse = _mm512_set1_ps(1.0f / float(4 * k_ * k_));
    for (size_t b = 0; b < blocks_; b += 16) {
        const size_t n = std::min<size_t>(16, blocks_ - b);
        const __mmask16 m = __mmask16((1u << n) - 1);
        __m512i chroma[2];
        for (int r = 0; r < 2; ++r) {
            const __m512i run = _mm512_maskz_loadu_epi32(m, runs[r] + b);
            const __m512i edge = _mm512_sub_epi32(Widened(e[r] + ptrdiff_t(b) + other[r], m), Widened(e[r] + b, m));
            chroma[r] = Average(inverse, _mm512_add_epi32(_mm512_slli_epi32(run, 2), edge));
        }
        const __m512i run = _mm512_maskz_loadu_epi32(m, runs[2] + b);
        const __m512i after = _mm512_cvtepi16_epi32(_mm256_maskz_loadu_epi16(m, steps + b + 1));
        const __m512i at = _mm512_cvtepi16_epi32(_mm256_maskz_loadu_epi16(m, steps + b));
        const __m512i green = Average(inverse, _mm512_add_epi32(run, _mm512_sub_epi32(after, at)));
        StorePixels(out + 3 * b, n, chroma[blueInEvenRows_ ? 0 : 1], green, chroma[blueInEvenRows_ ? 1 : 0]);
    }
}

#else

// Never taken: nothing to reduce with.
bool BayerBandsAvx512::Takes(const cam::PixelFormat&, uint32_t, uint32_t) { return false; }
BayerBandsAvx512::BayerBandsAvx512(const cam::PixelFormat&, uint32_t, uint32_t, int, bool) {}
void BayerBandsAvx512::Reduce(const BayerBand&, uint8_t*) {}
bool ColourBandsAvx512::Takes(const cam::PixelFormat&, uint32_t, uint32_t) { return false; }
ColourBandsAvx512::ColourBandsAvx512(const cam::PixelFormat&, uint32_t, uint32_t) {}
void ColourBandsAvx512::Reduce(const uint8_t*, size_t, uint8_t*) {}
bool MonoBandsAvx512::Takes(const cam::PixelFormat&, uint32_t) { return false; }
MonoBandsAvx512::MonoBandsAvx512(const cam::PixelFormat&, uint32_t, uint32_t) {}
void MonoBandsAvx512::Reduce(const uint8_t*, size_t, uint8_t*) {}

#endif

}  // namespace imaging
