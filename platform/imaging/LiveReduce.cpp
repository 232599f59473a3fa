// The reduction: every row of a block is added into 16-bit sums (the one
// pass over the whole frame, written for the compiler's vectoriser), then
// each block's sums become one pixel, by the way the format samples colour.
#include "LiveReduce.h"

#include "PixelRows.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace imaging {
namespace {

using cam::PixelFormat;
using cam::Sampling;

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

__attribute__((target_clones("avx2", "default"))) void AddRow(const uint8_t* src, uint16_t* sums, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        sums[i] = uint16_t(sums[i] + src[i]);
}

// sum / count rounded to nearest, count as 1 / count: a division for every
// pixel would cost more than reading the frame.
uint8_t Average(int64_t sum, double inverse)
{
    return uint8_t(std::clamp<int64_t>(int64_t(double(sum) * inverse + 0.5), 0, 255));
}

// Sum of count sums from first on, step apart.
uint32_t Sum(const uint16_t* first, uint32_t count, size_t step)
{
    uint32_t s = 0;
    for (uint32_t i = 0; i < count; ++i)
        s += first[i * step];
    return s;
}

// Per column of a band of Bayer rows of one parity: 4 x its sum + the row
// outside the band - the edge row inside (see RowMaker::BayerRow).
__attribute__((target_clones("avx2", "default"))) void NearTerms(const uint16_t* sums, const uint8_t* outside,
                                                                 const uint8_t* inside, int32_t* near, size_t n)
{
    for (size_t x = 0; x < n; ++x)
        near[x] = 4 * int32_t(sums[x]) + outside[x] - inside[x];
}

// Per column: green's terms, from the even rows where green sits at column
// parity greenEven, else from the odd rows.
__attribute__((target_clones("avx2", "default"))) void GreenTerms(const uint16_t* even, const uint16_t* odd,
                                                                  const int32_t* near0, const int32_t* near1,
                                                                  int32_t* green, size_t n, int64_t greenEven)
{
    for (size_t x = 0; x < n; ++x) {
        const int32_t fromEven = near0[x] + 4 * int32_t(even[x]), fromOdd = near1[x] + 4 * int32_t(odd[x]);
        green[x] = int64_t(x & 1) == greenEven ? fromEven : fromOdd;
    }
}

// One reduced row from the block's sums (for Bayer: sums of its even rows,
// then of its odd rows).
class RowMaker {
public:
    RowMaker(const Frame& frame, const PixelFormat& format, uint32_t k)
        : frame_(frame), format_(format), k_(k), outWidth_(frame.width / k)
    {
        if (format.sampling != Sampling::Bayer)
            return;
        int c = 0;
        for (int i = 0; i < 4; ++i) {
            const char colour = cam::BayerColour(format, uint64_t(i % 2), uint64_t(i / 2));
            if (colour == 'G' && i < 2)
                greenEven_ = i;
            else if (colour != 'G' && c < 2)
                chroma_[c++] = {colour == 'B' ? 0 : 2, i % 2, i / 2};
        }
        near_[0].resize(frame.width);
        near_[1].resize(frame.width);
        green_.resize(frame.width);
        zeros_.resize(frame.width);
    }

    void Make(const uint16_t* sums, size_t perRow, uint8_t* out)
    {
        const uint32_t k = k_;
        const double n = 1.0 / (double(k) * k);
        switch (format_.sampling) {
        case Sampling::Mono:
            for (uint32_t ox = 0; ox < outWidth_; ++ox)
                std::memset(out + 3 * ox, Average(Sum(sums + size_t(ox) * k, k, 1), n), 3);
            return;
        case Sampling::Colour:
        case Sampling::Yuv422: {
            const size_t c = SamplesPerPixel(format_);
            const bool bgr = format_.sampling == Sampling::Yuv422 || format_.order[0] == 'B';
            const size_t blue = bgr ? 0 : 2, red = 2 - blue;
            for (uint32_t ox = 0; ox < outWidth_; ++ox) {
                const uint16_t* block = sums + size_t(ox) * k * c;
                out[3 * ox] = Average(Sum(block + blue, k, c), n);
                out[3 * ox + 1] = Average(Sum(block + 1, k, c), n);
                out[3 * ox + 2] = Average(Sum(block + red, k, c), n);
            }
            return;
        }
        case Sampling::Bayer:
            BayerRow(sums, sums + perRow, out);
            return;
        }
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
        const size_t width = frame_.width;
        auto row = [&](const uint8_t* r) { return r ? r : zeros_.data(); };
        const uint8_t *in0 = row(edge[1]), *in1 = row(edge[2]), *out0 = row(edge[3]), *out1 = row(edge[0]);
        int32_t *n0 = near_[0].data(), *n1 = near_[1].data(), *g = green_.data();
        NearTerms(even, out0, in0, n0, width);
        NearTerms(odd, out1, in1, n1, width);
        GreenTerms(even, odd, n0, n1, g, width, greenEven_);
        // Mirrored at the frame's left and right edges, as the rows are.
        auto at = [&](int64_t x) { return size_t(x < 0 ? 1 : x >= int64_t(width) ? int64_t(width) - 2 : x); };
        auto greenSum = [&](int64_t x) -> int64_t {
            const size_t i = at(x);
            return int64_t(i & 1) == greenEven_ ? even[i] : odd[i];
        };
        const int64_t k = k_;
        const double scale = 1.0 / double(4 * k * k);
        for (uint32_t ox = 0; ox < outWidth_; ++ox) {
            const int64_t x0 = int64_t(ox) * k, x1 = x0 + k - 1;
            int64_t sum[3] = {};  // blue, green, red
            // Red and blue: along the block's columns of their parity, with
            // the first column (or the one just before) and the one after.
            for (const Site& site : chroma_) {
                const int32_t* n = near_[site.rowParity].data();
                int64_t h = 0;
                for (int64_t x = x0 + site.columnParity; x <= x1; x += 2)
                    h += n[x];
                sum[site.colour] =
                    4 * h + (site.columnParity ? n[at(x0 - 1)] - n[x1] : n[at(x1 + 1)] - n[x0]);
            }
            int64_t green = 0;
            for (int64_t x = x0; x <= x1; ++x)
                green += g[x];
            sum[1] = green + greenSum(x0 - 1) + greenSum(x1 + 1) - greenSum(x0) - greenSum(x1);
            for (int i = 0; i < 3; ++i)
                out[3 * ox + i] = Average(sum[i], scale);
        }
    }

    struct Site {
        int colour;  // 0 blue, 2 red
        int columnParity, rowParity;
    };
    Site chroma_[2] = {};
    int64_t greenEven_ = 0;  // green's column parity in even rows
    std::vector<int32_t> near_[2], green_;
    std::vector<uint8_t> zeros_;  // a row the frame does not hold

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
        // A row as 8-bit samples where the frame's are not.
        const bool yuv = format->sampling == Sampling::Yuv422;
        std::vector<uint8_t> eight(yuv ? perRow : format->packing == cam::Packing::Byte ? 0 : frame.width);
        std::vector<uint8_t> edges[4];
        for (auto& e : edges)
            e.resize(bayer ? eight.size() : 0);
        RowMaker maker(frame, *format, k);
        uint8_t* top = image.GetBits();
        const ptrdiff_t pitch = image.GetPitch();
        const size_t padding = size_t(-pitch) - size_t(outWidth) * 3;
        for (uint32_t oy = 0; oy < outHeight; ++oy) {
            std::fill(sums.begin(), sums.end(), 0);
            for (uint64_t y = uint64_t(oy) * k; y < uint64_t(oy + 1) * k && y < held; ++y) {
                const uint8_t* src = frame.data + y * rowBytes;
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
                    if (y < held) {
                        const uint8_t* src = frame.data + y * rowBytes;
                        if (!eight.empty()) {
                            TopEightBits(*format, src, edges[i].data(), frame.width);
                            src = edges[i].data();
                        }
                        maker.edge[i] = src;
                    }
                }
            }
            uint8_t* out = top + ptrdiff_t(oy) * pitch;
            maker.Make(sums.data(), perRow, out);
            std::memset(out + size_t(outWidth) * 3, 0, padding);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace imaging
