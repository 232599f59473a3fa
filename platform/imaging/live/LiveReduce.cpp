// The reduction: every row of a block is added into 16-bit sums (the one
// pass over the whole frame, written for the compiler's vectoriser), then
// each block's sums become one pixel, by the way the format samples colour.
// Where the processor has AVX-512, the kernels of LiveAvx512.cpp take the
// bands they can, with the same results.
#include "LiveReduce.h"

#include "LiveKernels.h"
#include "platform/imaging/convert/PixelRows.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/imaging/X86.h"

namespace imaging {
namespace {

using cam::PixelFormat;
using cam::Sampling;

// The loops below are written for the compiler's vectoriser and built twice,
// for AVX2 and for the processors' baseline; the switch (Simd.h) picks one,
// where target_clones would pick by the processor whatever the switch says.
#ifdef TARVIK_X86
#define TARVIK_TWICE(name, params, args)                                                 \
    __attribute__((target("avx2"))) void name##Avx2 params { name##Loops args; }          \
    void name params                                                                      \
    {                                                                                     \
        if (UseAvx2(Kernel::Live))                                                                    \
            name##Avx2 args;                                                              \
        else                                                                              \
            name##Loops args;                                                             \
    }
#else
#define TARVIK_TWICE(name, params, args) \
    void name params { name##Loops args; }
#endif

// Bytes of 8-bit samples a pixel once unpacked (YUV rows become blue,
// green, red first: colours that a camera's YUV cannot hold clip, so
// averaging Y, U and V before converting would not give the same picture).
size_t SamplesPerPixel(const PixelFormat& format)
{
    switch (format.sampling) {
    case Sampling::Colour: return size_t(format.bitsPerPixel / 8);
    case Sampling::Yuv422: return 3;
    default: return 1;
    }
}

__attribute__((always_inline)) inline void AddRowLoops(const uint8_t* src, uint16_t* sums, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        sums[i] = uint16_t(sums[i] + src[i]);
}
TARVIK_TWICE(AddRow, (const uint8_t* src, uint16_t* sums, size_t n), (src, sums, n))

// Two rows at once: the sums are read and written half as often.
__attribute__((always_inline)) inline void AddRowsLoops(const uint8_t* a, const uint8_t* b, uint16_t* sums,
                                                        size_t n)
{
    for (size_t i = 0; i < n; ++i)
        sums[i] = uint16_t(sums[i] + a[i] + b[i]);
}
TARVIK_TWICE(AddRows, (const uint8_t* a, const uint8_t* b, uint16_t* sums, size_t n), (a, b, sums, n))

// Block sums to pixels, blue, green and red: each sum times inverse (1 /
// the samples' count) rounded to nearest (a division for every pixel would
// cost more than reading the frame), packed blue | green << 8 | red << 16.
__attribute__((always_inline)) inline void AveragesLoops(const int32_t* blue, const int32_t* green,
                                                         const int32_t* red, uint32_t* packed, size_t n,
                                                         float inverse)
{
    auto average = [inverse](int32_t sum) {
        const float v = float(sum) * inverse + 0.5f;
        return uint32_t(int32_t(v < 0 ? 0 : v > 255 ? 255 : v));
    };
    for (size_t i = 0; i < n; ++i)
        packed[i] = average(blue[i]) | average(green[i]) << 8 | average(red[i]) << 16;
}
TARVIK_TWICE(Averages, (const int32_t* blue, const int32_t* green, const int32_t* red, uint32_t* packed, size_t n,
             float inverse),
             (blue, green, red, packed, n, inverse))

// Packed pixels to three bytes each, n >= 1: four bytes stored per pixel,
// the fourth overwritten by the next pixel, the last pixel stored bytewise
// so that nothing past the row is touched.
void StorePixels(const uint32_t* packed, uint8_t* out, size_t n)
{
    for (size_t i = 0; i + 1 < n; ++i)
        std::memcpy(out + 3 * i, packed + i, 4);
    const uint32_t last = packed[n - 1];
    for (size_t c = 0; c < 3; ++c)
        out[3 * (n - 1) + c] = uint8_t(last >> (8 * c));
}

// A column pair's two samples, read as one word: the even column's in its
// low half. Reading words rather than every other sample saves the
// vectoriser its shuffles.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "column pairs are read as little-endian words");

template <typename Word, typename T>
__attribute__((always_inline)) inline Word PairAt(const T* samples, size_t p)
{
    Word w;
    std::memcpy(&w, samples + 2 * p, sizeof w);
    return w;
}

// One pass over the column pairs of a band of Bayer rows, per pair: the
// terms of the colour in even rows and of the colour in odd rows (4 x the
// band's sum + the row outside the band - its edge row inside, see
// RowMaker::BayerRow), and of green, in both rows. GreenColumn is green's
// column parity in even rows.
template <int GreenColumn>
__attribute__((always_inline)) inline void PairTermsOf(const uint16_t* even, const uint16_t* odd,
                                                       const uint8_t* const outside[2], const uint8_t* const inside[2],
                                                       int32_t* evenTerms, int32_t* oddTerms, int32_t* green,
                                                       size_t pairs)
{
    constexpr int greenShift = 16 * GreenColumn, otherShift = 16 - greenShift;
    const uint8_t *outside0 = outside[0], *outside1 = outside[1], *inside0 = inside[0], *inside1 = inside[1];
    // What is read never overlaps the terms written: no checks needed.
#if defined(__clang__)
#pragma clang loop vectorize(assume_safety)
#else
#pragma GCC ivdep
#endif
    for (size_t p = 0; p < pairs; ++p) {
        const uint32_t e = PairAt<uint32_t>(even, p), o = PairAt<uint32_t>(odd, p);
        // Edge rows' bytes widened to the sums' layout.
        auto wide = [p](const uint8_t* row) {
            const uint32_t w = PairAt<uint16_t>(row, p);
            return (w & 0xff) | (w & 0xff00) << 8;
        };
        const uint32_t out0 = wide(outside0), in0 = wide(inside0);
        const uint32_t out1 = wide(outside1), in1 = wide(inside1);
        auto at = [](uint32_t w, int shift) { return int32_t((w >> shift) & 0xffff); };
        evenTerms[p] = 4 * at(e, otherShift) + at(out0, otherShift) - at(in0, otherShift);
        oddTerms[p] = 4 * at(o, greenShift) + at(out1, greenShift) - at(in1, greenShift);
        green[p] = 8 * at(e, greenShift) + at(out0, greenShift) - at(in0, greenShift) + 8 * at(o, otherShift) +
                   at(out1, otherShift) - at(in1, otherShift);
    }
}

__attribute__((always_inline)) inline void PairTermsLoops(int greenColumn, const uint16_t* even,
                                                          const uint16_t* odd, const uint8_t* const outside[2],
                                                          const uint8_t* const inside[2], int32_t* evenTerms,
                                                          int32_t* oddTerms, int32_t* green, size_t pairs)
{
    if (greenColumn)
        PairTermsOf<1>(even, odd, outside, inside, evenTerms, oddTerms, green, pairs);
    else
        PairTermsOf<0>(even, odd, outside, inside, evenTerms, oddTerms, green, pairs);
}
TARVIK_TWICE(PairTerms, (int greenColumn, const uint16_t* even, const uint16_t* odd, const uint8_t* const outside[2],
             const uint8_t* const inside[2], int32_t* evenTerms, int32_t* oddTerms, int32_t* green, size_t pairs),
             (greenColumn, even, odd, outside, inside, evenTerms, oddTerms, green, pairs))

#ifdef TARVIK_X86
// Helpers of PairTermsAvx2 (a lambda would not take its target).
__attribute__((target("avx2"))) inline __m256i EdgeBytes(const uint8_t* row, size_t c)
{
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + c)));
}
__attribute__((target("avx2"))) inline __m256i SumWords(const uint16_t* sums, size_t c)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums + c));
}
// A pair's even column is its low half, its odd column its high half.
template <int Column>
__attribute__((target("avx2"))) inline __m256i ColumnOf(__m256i pairs)
{
    return Column ? _mm256_srli_epi32(pairs, 16) : _mm256_and_si256(pairs, _mm256_set1_epi32(0xffff));
}
__attribute__((target("avx2"))) inline void StoreTerms(int32_t* to, __m256i v)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), v);
}

// PairTermsOf, 8 pairs a step, in 16-bit lanes: an edge row's bytes widened
// are already laid out as the sums are. Every term is at least 0 (a band's
// sum holds its edge row) and, for bands of at most 32 rows, below 2^16.
template <int GreenColumn>
__attribute__((target("avx2"))) size_t PairTermsAvx2(const uint16_t* even, const uint16_t* odd,
                                                     const uint8_t* const outside[2], const uint8_t* const inside[2],
                                                     int32_t* evenTerms, int32_t* oddTerms, int32_t* green,
                                                     size_t pairs)
{
    constexpr int Other = 1 - GreenColumn;
    size_t p = 0;
    for (; p + 8 <= pairs; p += 8) {
        const size_t c = 2 * p;
        const __m256i se = SumWords(even, c), so = SumWords(odd, c);
        // Per column: 4 x the band's sum + the row outside - the edge row, per row parity.
        const __m256i te = _mm256_sub_epi16(_mm256_add_epi16(_mm256_slli_epi16(se, 2), EdgeBytes(outside[0], c)),
                                            EdgeBytes(inside[0], c));
        const __m256i to = _mm256_sub_epi16(_mm256_add_epi16(_mm256_slli_epi16(so, 2), EdgeBytes(outside[1], c)),
                                            EdgeBytes(inside[1], c));
        const __m256i ge = _mm256_add_epi16(te, _mm256_slli_epi16(se, 2));
        const __m256i go = _mm256_add_epi16(to, _mm256_slli_epi16(so, 2));
        StoreTerms(evenTerms + p, ColumnOf<Other>(te));
        StoreTerms(oddTerms + p, ColumnOf<GreenColumn>(to));
        StoreTerms(green + p, _mm256_add_epi32(ColumnOf<GreenColumn>(ge), ColumnOf<Other>(go)));
    }
    return p;
}
#endif

// Sum of h terms, h known to the compiler where it is small: the loops over
// blocks then unroll and vectorise instead of running a loop of a few
// steps per block.
template <size_t H, typename T>
__attribute__((always_inline)) inline int32_t Run(const T* terms, size_t h, size_t step = 1)
{
    int32_t s = 0;
    for (size_t j = 0; j < (H ? H : h); ++j)
        s += terms[j * step];
    return s;
}

// Calls f with the run length as a compile-time constant where it is 1 to
// 10, else as 0 (known at run time only).
template <typename F>
__attribute__((always_inline)) inline void WithRun(size_t h, F f)
{
    switch (h) {
    case 1: return f(std::integral_constant<size_t, 1>());
    case 2: return f(std::integral_constant<size_t, 2>());
    case 3: return f(std::integral_constant<size_t, 3>());
    case 4: return f(std::integral_constant<size_t, 4>());
    case 5: return f(std::integral_constant<size_t, 5>());
    case 6: return f(std::integral_constant<size_t, 6>());
    case 7: return f(std::integral_constant<size_t, 7>());
    case 8: return f(std::integral_constant<size_t, 8>());
    case 9: return f(std::integral_constant<size_t, 9>());
    case 10: return f(std::integral_constant<size_t, 10>());
    default: return f(std::integral_constant<size_t, 0>());
    }
}

// Per block of h column pairs: 4 x the sum of its terms + the terms at its
// edges (terms[-1] and terms[runs * h] must be readable): for a colour in
// even columns the block's first term counts 3 times and the next block's
// first once; in odd columns its last 3 times and the previous block's last
// once.
__attribute__((always_inline)) inline void BlockSumsLoops(const int32_t* terms, int32_t* sums, size_t blocks,
                                                          size_t h, bool oddColumns)
{
    WithRun(h, [&](auto H) {
        const ptrdiff_t plus = oddColumns ? -1 : ptrdiff_t(h), minus = oddColumns ? ptrdiff_t(h) - 1 : 0;
        for (size_t b = 0; b < blocks; ++b) {
            const int32_t* t = terms + b * h;
            sums[b] = 4 * Run<H>(t, h) + t[plus] - t[minus];
        }
    });
}
TARVIK_TWICE(BlockSums, (const int32_t* terms, int32_t* sums, size_t blocks, size_t h, bool oddColumns),
             (terms, sums, blocks, h, oddColumns))

// Sums of each run of h terms.
template <typename T>
__attribute__((always_inline)) inline void RunSumsOf(const T* terms, int32_t* sums, size_t runs, size_t h)
{
    WithRun(h, [&](auto H) {
        for (size_t r = 0; r < runs; ++r)
            sums[r] = Run<H>(terms + r * h, h);
    });
}

__attribute__((always_inline)) inline void RunSumsLoops(const int32_t* terms, int32_t* sums, size_t runs,
                                                        size_t h)
{
    RunSumsOf(terms, sums, runs, h);
}
TARVIK_TWICE(RunSums, (const int32_t* terms, int32_t* sums, size_t runs, size_t h), (terms, sums, runs, h))

__attribute__((always_inline)) inline void MonoSumsLoops(const uint16_t* columns, int32_t* sums, size_t blocks,
                                                         size_t k)
{
    RunSumsOf(columns, sums, blocks, k);
}
TARVIK_TWICE(MonoSums, (const uint16_t* columns, int32_t* sums, size_t blocks, size_t k), (columns, sums, blocks, k))

// Per block of k pixels of c samples each: the sum of the samples at offset
// channel.
__attribute__((always_inline)) inline void ChannelSumsLoops(const uint16_t* columns, int32_t* sums,
                                                            size_t blocks, size_t k, size_t c, size_t channel)
{
    WithRun(k, [&](auto K) {
        for (size_t b = 0; b < blocks; ++b)
            sums[b] = Run<K>(columns + b * k * c + channel, k, c);
    });
}
TARVIK_TWICE(ChannelSums, (const uint16_t* columns, int32_t* sums, size_t blocks, size_t k, size_t c,
             size_t channel),
             (columns, sums, blocks, k, c, channel))

// Green's block sums get its edge terms, the differences of its values at
// the boundaries on either side.
__attribute__((always_inline)) inline void AddEdgesLoops(int32_t* sums, const int32_t* bounds, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        sums[i] += bounds[i + 1] - bounds[i];
}
TARVIK_TWICE(AddEdges, (int32_t* sums, const int32_t* bounds, size_t n), (sums, bounds, n))

// One reduced row from the block's sums (for Bayer: sums of its even rows,
// then of its odd rows).
class RowMaker {
public:
    RowMaker(const Frame& frame, const PixelFormat& format, uint32_t k)
        : frame_(frame), format_(format), k_(k), outWidth_(frame.width / k)
    {
        for (auto& runs : runs_)
            runs.resize(outWidth_);
        packed_.resize(outWidth_);
        if (format.sampling != Sampling::Bayer)
            return;
        greenEven_ = cam::BayerColour(format, 0, 0) == 'G' ? 0 : 1;
        blueInEvenRows_ = cam::BayerColour(format, uint64_t(1 - greenEven_), 0) == 'B';
        for (auto& terms : terms_)
            terms.resize(size_t(outWidth_) * (k / 2) + 2);
        bounds_.resize(size_t(outWidth_) + 1);
        zeros_.resize(frame.width);
    }

    void Make(const uint16_t* sums, size_t perRow, uint8_t* out)
    {
        const size_t k = k_;
        const float inverse = 1.0f / float(k * k);
        int32_t *blue = runs_[0].data(), *green = runs_[1].data(), *red = runs_[2].data();
        switch (format_.sampling) {
        case Sampling::Mono:
            MonoSums(sums, green, outWidth_, k);
            Pixels(green, green, green, out, inverse);
            return;
        case Sampling::Colour:
        case Sampling::Yuv422: {
            const size_t c = SamplesPerPixel(format_);
            const bool bgr = format_.sampling == Sampling::Yuv422 || format_.order[0] == 'B';
            ChannelSums(sums, blue, outWidth_, k, c, bgr ? 0 : 2);
            ChannelSums(sums, green, outWidth_, k, c, 1);
            ChannelSums(sums, red, outWidth_, k, c, bgr ? 2 : 0);
            Pixels(blue, green, red, out, inverse);
            return;
        }
        case Sampling::Bayer: BayerRow(sums, sums + perRow, out); return;
        }
    }

    // From each colour's sums per column (blue, green, red).
    void MakeFromColumns(const uint16_t* const columns[3], uint8_t* out)
    {
        for (int c = 0; c < 3; ++c)
            ChannelSums(columns[c], runs_[c].data(), outWidth_, k_, 1, 0);
        Pixels(runs_[0].data(), runs_[1].data(), runs_[2].data(), out, 1.0f / float(k_ * k_));
    }

    void Pixels(const int32_t* blue, const int32_t* green, const int32_t* red, uint8_t* out, float inverse)
    {
        Averages(blue, green, red, packed_.data(), outWidth_, inverse);
        StorePixels(packed_.data(), out, outWidth_);
    }

    // Rows next to a band of Bayer rows, which the bilinear demosaic mixes
    // into its edges: above it, its first, its last and below it (each one
    // mirrored inside the frame at the frame's edge, as the demosaic uses
    // only samples inside it). Null where the frame does not hold them.
    const uint8_t* edge[4] = {};

private:
    // A block's average of the bilinear demosaic's colours is a sum of its
    // samples and of those just outside it, with fixed weights: for red and
    // blue (interpolated along each axis) the product of per-axis weights 2
    // inside, 1.5 on the block's edge and 0.5 just outside; for green (the
    // average of its four neighbours) 1.5 inside, 1.25 on an edge and 0.25
    // just outside along rows, plus 0.5, 0.25 and 0.25 along columns. So
    // each block comes out as the two-step path would give it, without a
    // demosaic. Weights are kept four times over, as integers: per column
    // and row parity p, near[p] = 4 x (the band's sum) + (the row outside)
    // - (the edge row inside), and the green of a column is near + 4 x sum.
    void BayerRow(const uint16_t* even, const uint16_t* odd, uint8_t* out)
    {
        const int64_t width = frame_.width, k = k_;
        const size_t h = k_ / 2, pairs = size_t(outWidth_) * h;
        auto row = [&](const uint8_t* r) { return r ? r : zeros_.data(); };
        // Per row parity: the band's sums, the row outside it, its edge row.
        const uint16_t* sum[2] = {even, odd};
        const uint8_t* outside[2] = {row(edge[3]), row(edge[0])};
        const uint8_t* inside[2] = {row(edge[1]), row(edge[2])};
        // Mirrored at the frame's left and right edges, as the rows are.
        auto at = [&](int64_t x) { return size_t(x < 0 ? 1 : x >= width ? width - 2 : x); };
        auto near = [&](int r, size_t x) { return 4 * int32_t(sum[r][x]) + outside[r][x] - inside[r][x]; };
        auto greenSum = [&](int64_t x) -> int32_t {
            const size_t i = at(x);
            return sum[int64_t(i & 1) == greenEven_ ? 0 : 1][i];
        };
        // Each colour's terms per column pair are summed per block; the
        // terms at a block's edges are shared with the block beside it, and
        // at the frame's edges mirrored.
        const size_t ge = size_t(greenEven_), go = 1 - ge;
        int32_t *evenTerms = terms_[0].data() + 1, *oddTerms = terms_[1].data() + 1, *greenTerms = terms_[2].data();
        size_t done = 0;
#ifdef TARVIK_X86
        if (UseAvx2(Kernel::Live) && k <= 32)
            done = ge ? PairTermsAvx2<1>(even, odd, outside, inside, evenTerms, oddTerms, greenTerms, pairs)
                      : PairTermsAvx2<0>(even, odd, outside, inside, evenTerms, oddTerms, greenTerms, pairs);
#endif
        const uint8_t* outsideRest[2] = {outside[0] + 2 * done, outside[1] + 2 * done};
        const uint8_t* insideRest[2] = {inside[0] + 2 * done, inside[1] + 2 * done};
        PairTerms(int(ge), even + 2 * done, odd + 2 * done, outsideRest, insideRest, evenTerms + done,
                  oddTerms + done, greenTerms + done, pairs - done);
        for (int r = 0; r < 2; ++r) {
            const int c = r ? int(ge) : int(go);  // the chroma colour's column in rows of parity r
            int32_t* t = terms_[r].data() + 1;
            t[-1] = c ? t[0] : 0;
            t[pairs] = c ? 0 : near(r, at(int64_t(pairs) * 2));
            BlockSums(t, runs_[r].data(), outWidth_, h, c == 1);
        }
        RunSums(terms_[2].data(), runs_[2].data(), outWidth_, h);
        // Green's edge terms: at a boundary between blocks (an even column),
        // its sum in that column less its sum in the column before.
        int32_t* bounds = bounds_.data();
        const uint16_t* evenColumns = sum[ge];
        const uint16_t* oddColumns = sum[go];
        for (size_t b = 1; b < outWidth_; ++b)
            bounds[b] = int32_t(evenColumns[b * size_t(k)]) - oddColumns[b * size_t(k) - 1];
        bounds[0] = greenSum(0) - greenSum(-1);
        bounds[outWidth_] = greenSum(int64_t(outWidth_) * k) - greenSum(int64_t(outWidth_) * k - 1);
        AddEdges(runs_[2].data(), bounds, outWidth_);
        const int32_t* blue = runs_[blueInEvenRows_ ? 0 : 1].data();
        const int32_t* red = runs_[blueInEvenRows_ ? 1 : 0].data();
        Pixels(blue, runs_[2].data(), red, out, 1.0f / float(4 * k * k));
    }

public:
    int GreenColumn() const { return int(greenEven_); }
    bool BlueInEvenRows() const { return blueInEvenRows_; }

private:
    int64_t greenEven_ = 0;        // green's column parity in even rows
    bool blueInEvenRows_ = false;  // else red
    // Sums per block of each colour (for Bayer mosaics: the colour in even
    // rows, in odd rows, then green); for Bayer mosaics also each colour's terms
    // per column pair (for chroma with one more at each end) and green's edge
    // terms per boundary between blocks.
    std::vector<int32_t> runs_[3], terms_[3], bounds_;
    std::vector<uint32_t> packed_;  // a row of pixels before they are stored
    std::vector<uint8_t> zeros_;    // a row the frame does not hold

    const Frame& frame_;
    const PixelFormat& format_;
    uint32_t k_;
    uint32_t outWidth_;
};

}  // namespace

uint32_t LiveBlock(const char* pixelFormat, uint32_t width, uint32_t height, uint32_t targetWidth,
                   uint32_t targetHeight)
{
    const PixelFormat* format = cam::FindPixelFormat(pixelFormat);
    if (!format || targetWidth == 0 || targetHeight == 0)
        return 1;
    // 16-bit sums hold up to 257 rows of 8-bit samples.
    uint32_t k = std::min({width / targetWidth, height / targetHeight, 256u});
    if (format->sampling == Sampling::Bayer)
        k &= ~1u;
    return k >= 2 ? k : 1;
}

bool ReduceFrame(const Frame& frame, uint32_t k, DisplayImage& image)
{
    const PixelFormat* format = cam::FindPixelFormat(frame.pixelFormat);
    if (!format || !CanShow(frame.pixelFormat) || k < 2 || k > 256)
        return false;
    const bool bayer = format->sampling == Sampling::Bayer;
    if (bayer && k % 2)
        return false;
    const uint32_t outWidth = frame.width / k, outHeight = frame.height / k;
    if (outWidth == 0 || outHeight == 0 || outWidth > INT32_MAX || outHeight > INT32_MAX ||
        !image.Recreate(int(outWidth), int(outHeight)))
        return false;
    const uint64_t rowBytes = cam::RowBytes(*format, frame.width);
    const uint64_t held = frame.data ? std::min<uint64_t>(frame.height, frame.size / rowBytes) : 0;
    const size_t perRow = size_t(frame.width) * SamplesPerPixel(*format);
    try {
        std::vector<uint16_t> sums(perRow * (bayer ? 2 : 1));
        // A row as 8-bit samples where the frame's are not, and are not
        // added straight from the frame.
        const bool yuv = format->sampling == Sampling::Yuv422;
        const bool packed = format->packing == cam::Packing::Lsb || format->packing == cam::Packing::GigePacked;
        const bool direct = format->packing == cam::Packing::Byte || packed;
        std::vector<uint8_t> eight(yuv ? perRow : direct ? 0 : frame.width);
        std::vector<uint8_t> edges[4];
        const bool eightBitRows = format->packing == cam::Packing::Byte;
        for (auto& e : edges)
            e.resize(bayer && !eightBitRows ? frame.width : 0);
        // A band's last row and the row below it are the next band's row
        // above and first row: each row is converted once.
        int64_t converted[4] = {-1, -1, -1, -1};  // the row each of edges holds
        auto EightBitRow = [&](int slot, int64_t y) {
            for (int j = slot + 1; j < 4; ++j)
                if (converted[j] == y) {
                    std::swap(edges[slot], edges[j]);
                    std::swap(converted[slot], converted[j]);
                    break;
                }
            for (int j = 0; j < slot; ++j)
                if (converted[j] == y)
                    return static_cast<const uint8_t*>(edges[j].data());
            if (converted[slot] != y) {
                TopEightBits(*format, frame.data + uint64_t(y) * rowBytes, edges[slot].data(), frame.width);
                converted[slot] = y;
            }
            return static_cast<const uint8_t*>(edges[slot].data());
        };
        RowMaker maker(frame, *format, k);
        std::unique_ptr<BayerBandsAvx512> fastBayer;
        std::unique_ptr<ColourBandsAvx512> fastColour;
        if (ColourBandsAvx512::Takes(*format, frame.width, k))
            fastColour = std::make_unique<ColourBandsAvx512>(*format, frame.width, k);
        std::unique_ptr<MonoBandsAvx512> fastMono;
        if (MonoBandsAvx512::Takes(*format, k))
            fastMono = std::make_unique<MonoBandsAvx512>(*format, frame.width, k);
        if (BayerBandsAvx512::Takes(*format, frame.width, k))
            fastBayer = std::make_unique<BayerBandsAvx512>(*format, frame.width, k, maker.GreenColumn(),
                                                           maker.BlueInEvenRows());
        // YUV with AVX2: each colour's sums per column of a band, the
        // kernel's whole steps, then the columns left converted as rows.
        const bool yuvColumns = yuv && !fastColour && UseAvx2(Kernel::Live);
        const size_t used = size_t(outWidth) * k;  // the columns the blocks cover
        std::vector<uint16_t> columnSums(yuvColumns ? 3 * used : 0);
        uint16_t* const columns[3] = {columnSums.data(), columnSums.data() + used, columnSums.data() + 2 * used};
        const bool uyvy = std::string_view(format->order) == "UYVY";
        const bool limited = format->matrix == cam::Matrix::LimitedRange601;
        auto YuvBand = [&](const uint8_t* band, size_t apart) {
            const size_t done = YuvColumnsAvx2(band, apart, k, used, uyvy, limited, columns);
            if (done == used)
                return;
            // From a pair before, so that a last pixel without its pair takes
            // the V of the pair before it, as across the whole row.
            const size_t from = done >= 2 ? done - 2 : 0;
            for (size_t x = done; x < used; ++x)
                columns[0][x] = columns[1][x] = columns[2][x] = 0;
            for (uint32_t j = 0; j < k; ++j) {
                YuvToBgr(band + j * apart + 2 * from, eight.data(), frame.width - from, uyvy, limited);
                for (size_t x = done; x < used; ++x)
                    for (int c = 0; c < 3; ++c)
                        columns[c][x] = uint16_t(columns[c][x] + eight[3 * (x - from) + size_t(c)]);
            }
        };
        uint8_t* top = image.GetBits();
        const ptrdiff_t pitch = image.GetPitch();
        const size_t padding = size_t(-pitch) - size_t(outWidth) * 3;
        for (uint32_t oy = 0; oy < outHeight; ++oy) {
            uint8_t* out = top + ptrdiff_t(oy) * pitch;
            const uint64_t first = uint64_t(oy) * k, end = std::min<uint64_t>(first + k, held);
            // A band the frame holds whole, with the rows next to it.
            const uint64_t below = first + k < frame.height ? first + k : first + k - 2;
            if (fastBayer && first + k <= held && below < held) {
                const uint8_t* band = frame.data + first * rowBytes;
                fastBayer->Reduce({band, rowBytes, first ? band - rowBytes : band + rowBytes,
                                   frame.data + below * rowBytes},
                                  out);
                std::memset(out + size_t(outWidth) * 3, 0, padding);
                continue;
            }
            if (fastMono && first + k <= held) {
                fastMono->Reduce(frame.data + first * rowBytes, rowBytes, out);
                std::memset(out + size_t(outWidth) * 3, 0, padding);
                continue;
            }
            if (fastColour && first + k <= held) {
                fastColour->Reduce(frame.data + first * rowBytes, rowBytes, out);
                std::memset(out + size_t(outWidth) * 3, 0, padding);
                continue;
            }
            if (yuvColumns && first + k <= held) {
                YuvBand(frame.data + first * rowBytes, rowBytes);
                maker.MakeFromColumns(columns, out);
                std::memset(out + size_t(outWidth) * 3, 0, padding);
                continue;
            }
            // Packed rows: a band the frame holds whole summed down in
            // registers, the columns left after the kernel's steps row by row.
            const size_t summed = packed && first + k <= held
                                      ? SumPackedBand(*format, frame.data + first * rowBytes, rowBytes, k,
                                                      bayer ? 2 : 1, sums.data(), perRow)
                                      : 0;
            if (summed) {
                const int shift = format->bits - 8;
                for (int parity = 0; parity < (bayer ? 2 : 1); ++parity)
                    std::fill(sums.begin() + ptrdiff_t(size_t(parity) * perRow + summed),
                              sums.begin() + ptrdiff_t(size_t(parity + 1) * perRow), 0);
                for (uint64_t y = first; y < end; ++y) {
                    const uint8_t* src = frame.data + y * rowBytes;
                    uint16_t* to = sums.data() + (bayer ? size_t(y % 2) * perRow : 0);
                    for (size_t x = summed; x < perRow; ++x)
                        to[x] = uint16_t(to[x] + (cam::ReadSample(*format, src, x) >> shift));
                }
            }
            if (!summed)
                std::fill(sums.begin(), sums.end(), 0);
            uint64_t y = summed ? end : first;
            if (!yuv && direct && !summed) {
                // Rows as they are: two of the same parity at a time.
                const uint64_t apart = bayer ? 2 : 1;
                for (; y + 2 * apart <= end; y += 2 * apart)
                    for (uint64_t r = y; r < y + apart; ++r) {
                        const uint8_t *a = frame.data + r * rowBytes, *b = frame.data + (r + apart) * rowBytes;
                        uint16_t* to = sums.data() + (bayer ? size_t(r % 2) * perRow : 0);
                        if (packed)
                            AddTopEightBits(*format, a, b, to, perRow);
                        else
                            AddRows(a, b, to, perRow);
                    }
            }
            for (; y < end; ++y) {
                const uint8_t* src = frame.data + y * rowBytes;
                if (packed) {
                    AddTopEightBits(*format, src, nullptr, sums.data() + (bayer ? size_t(y % 2) * perRow : 0), perRow);
                    continue;
                }
                if (yuv) {
                    YuvToBgr(src, eight.data(), frame.width, std::string_view(format->order) == "UYVY",
                             format->matrix == cam::Matrix::LimitedRange601);
                    src = eight.data();
                } else if (!eight.empty()) {
                    TopEightBits(*format, src, eight.data(), frame.width);
                    src = eight.data();
                }
                AddRow(src, sums.data() + (bayer ? size_t(y % 2) * perRow : 0), perRow);
            }
            if (bayer) {
                const int64_t y0 = int64_t(oy) * k, last = y0 + k - 1;
                const int64_t rows[4] = {y0 > 0 ? y0 - 1 : y0 + 1, y0, last,
                                         last + 1 < int64_t(frame.height) ? last + 1 : last - 1};
                for (int i = 0; i < 4; ++i) {
                    const uint64_t y = uint64_t(rows[i]);
                    maker.edge[i] = nullptr;
                    if (y >= held)
                        continue;
                    maker.edge[i] = eightBitRows ? frame.data + y * rowBytes : EightBitRow(i, rows[i]);
                }
            }
            maker.Make(sums.data(), perRow, out);
            std::memset(out + size_t(outWidth) * 3, 0, padding);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace imaging
