// The viewer's picture: the visible part of a frame at any zoom. Zoomed in,
// only the camera pixels the view shows are cut from the frame's rows and
// converted by the dialog's own conversion, so their colours are those it
// shows; zoomed out, live view's block reduction of the visible rows is
// averaged down to the screen's pixels.
#include "Inspect.h"

#include "platform/camera/campixel.h"
#include "platform/imaging/display/DisplayImage.h"
#include "platform/imaging/live/LiveReduce.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace imaging {
namespace {

using cam::PixelFormat;
using cam::Sampling;

// Zooms beyond these show nothing a person could use, and keep the
// arithmetic below far from overflow.
constexpr double kMinZoom = 1e-6, kMaxZoom = 1e6;
// Sums of the weights of the zoomed-out average: down, 256 x 255 fits the
// 16 bits the vector instructions multiply fastest; across, 4096 x that fits 32.
constexpr uint32_t kOneDown = 256, kOneAcross = 4096;

// What a screen pixel of one axis takes from the source: count weights
// from position first.
struct Taps {
    std::vector<int64_t> first;
    std::vector<uint32_t> count, offset;
    std::vector<uint16_t> weights;
};

// Kept between calls, so that showing frame after frame allocates nothing.
struct Scratch {
    std::vector<int64_t> columns, rows;  // zoomed in: the camera pixel of each screen column and row, -1 none
    std::vector<uint8_t> raw;             // the visible part of the frame's rows
    std::vector<uint8_t> bgr;             // it converted
    std::vector<uint8_t> extended;        // zoomed out: the reduction with a frame's last partial blocks
    std::vector<uint8_t> clipped;         // a mark per converted pixel, or per visible camera column zoomed out
    std::vector<uint32_t> screenOf;       // zoomed out: the first camera column of each screen column
    DisplayImage reduced;                 // zoomed out: the visible rows reduced by a whole block
    Taps across, down;
    std::vector<uint16_t> sums;  // a screen row's weighted sums of source rows
    struct Three {
        uint32_t at[3], weight[3];  // unused ones: at the first, weight 0
    };
    std::vector<Three> three;  // the taps across, when none has more than three
};

Scratch& TheScratch()
{
    thread_local Scratch scratch;
    return scratch;
}

uint64_t HeldRows(const Frame& frame, const PixelFormat& format)
{
    const uint64_t rowBytes = cam::RowBytes(format, frame.width);
    if (!frame.data || rowBytes == 0)
        return 0;
    return std::min<uint64_t>(frame.height, frame.size / rowBytes);
}

// Pixels a part of a row may start at: a whole byte, a YUV pair, a Bayer
// pattern's column parity.
uint64_t CutGroup(const PixelFormat& format)
{
    uint64_t group = 1;
    while (group * uint64_t(format.bitsPerPixel) % 8)
        ++group;
    if ((format.sampling == Sampling::Bayer || format.sampling == Sampling::Yuv422) && group % 2)
        group *= 2;
    return group;
}

// Where a part of a row reaching to column x (or beyond) starts, at or
// before x: at a cut group; in a YUV frame of odd width, never after the
// last whole pair, whose V the last pixel is shown with.
uint64_t CutStart(const PixelFormat& format, uint64_t x, uint64_t width)
{
    const uint64_t group = CutGroup(format);
    x = x / group * group;
    if (format.sampling == Sampling::Yuv422 && width % 2 && width >= 3)
        x = std::min(x, width - 3);
    return x;
}

// Calls mark(x) for each pixel x of a row of width pixels with a sample at
// full scale (possibly more than once).
template <class Mark>
void ScanClipped(const PixelFormat& format, const uint8_t* row, uint64_t width, Mark mark)
{
    const uint32_t full = (1u << format.bits) - 1;
    if (format.packing == cam::Packing::Byte) {
        const uint8_t* end = row + cam::RowBytes(format, width);
        const uint64_t bytesPerPixel = uint64_t(format.bitsPerPixel / 8);
        const bool yuyv = format.order[0] == 'Y';
        // Eight bytes at a time past those without a 255 (no zero byte in their complement).
        for (const uint8_t* p = row; p < end; ++p) {
            for (uint64_t word; end - p >= 8; p += 8) {
                std::memcpy(&word, p, 8);
                word = ~word;
                if ((word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull)
                    break;
            }
            while (p < end && *p != 255)
                ++p;
            if (p == end)
                break;
            const uint64_t i = uint64_t(p - row);
            switch (format.sampling) {
            case Sampling::Mono:
            case Sampling::Bayer: mark(i); break;
            case Sampling::Colour:
                if (format.order[i % bytesPerPixel] != 'a')
                    mark(i / bytesPerPixel);
                break;
            case Sampling::Yuv422: {
                const bool luma = (i % 2 == 0) == yuyv;
                if (luma) {
                    mark(i / 2);
                } else {  // U or V: both pixels of the pair
                    mark(i / 4 * 2);
                    if (i / 4 * 2 + 1 < width)
                        mark(i / 4 * 2 + 1);
                }
                break;
            }
            }
        }
        return;
    }
    if (format.packing == cam::Packing::Word) {
        for (uint64_t x = 0; x < width; ++x)
            if (((row[2 * x] | uint32_t(row[2 * x + 1]) << 8) & full) == full)
                mark(x);
        return;
    }
    for (uint64_t x = 0; x < width; ++x)
        if (cam::ReadSample(format, row, x) == full)
            mark(x);
}

// The camera pixel whose middle lies under each screen pixel's, zoomed in;
// -1 outside 0 to limit. The first and last of them inside into *low, *high.
void NearestPixels(std::vector<int64_t>& map, uint32_t n, double origin, double zoom, uint64_t limit,
                   int64_t* low, int64_t* high)
{
    map.resize(n);
    *low = INT64_MAX;
    *high = -1;
    for (uint32_t s = 0; s < n; ++s) {
        const double c = std::floor(origin + (s + 0.5) / zoom);
        map[s] = c >= 0 && c < double(limit) ? int64_t(c) : -1;
        if (map[s] >= 0) {
            *low = std::min(*low, map[s]);
            *high = std::max(*high, map[s]);
        }
    }
}

// The weights of the zoomed-out average along one axis: screen pixel s
// covers camera pixels origin + s / zoom to origin + (s + 1) / zoom, of
// which those inside 0 to limit count; the source's pixel i covers camera
// pixels start + i * block to start + (i + 1) * block, n of them, the last
// only last wide (a frame's last partial block). Where the source leaves a
// covered part out, the nearest source pixel stands for it.
void AverageTaps(Taps& taps, uint32_t screen, double origin, double zoom, double limit, double start, double block,
                 int64_t n, double last, uint32_t one)
{
    taps.first.assign(screen, 0);
    taps.count.assign(screen, 0);
    taps.offset.assign(screen, 0);
    taps.weights.clear();
    const double end = start + double(n - 1) * block + last;
    const auto low = [&](int64_t i) { return start + double(i) * block; };
    const auto high = [&](int64_t i) { return i == n - 1 ? end : start + double(i + 1) * block; };
    for (uint32_t s = 0; s < screen; ++s) {
        double a = std::max(origin + s / zoom, 0.0), b = std::min(origin + (s + 1) / zoom, limit);
        if (!(b - a > 1e-9) || n <= 0)  // (a sliver left by rounding is not a pixel covered)
            continue;
        taps.offset[s] = uint32_t(taps.weights.size());
        a = std::max(a, start);
        b = std::min(b, end);
        if (!(b - a > 1e-9)) {
            taps.first[s] = std::clamp<int64_t>(int64_t((a - start) / block), 0, n - 1);
            taps.count[s] = 1;
            taps.weights.push_back(uint16_t(one));
            continue;
        }
        const int64_t i0 = std::clamp<int64_t>(int64_t((a - start) / block), 0, n - 1);
        const int64_t i1 = std::clamp<int64_t>(int64_t(std::ceil((b - start) / block)), i0 + 1, n);
        double covered = 0;
        uint32_t given = 0;
        for (int64_t i = i0; i < i1; ++i) {
            covered += std::max(0.0, std::min(b, high(i)) - std::max(a, low(i)));
            // Rounded running totals: the weights add up to one exactly.
            const uint32_t upTo = i + 1 == i1 ? one : uint32_t(std::lround(one * std::min(1.0, covered / (b - a))));
            taps.weights.push_back(uint16_t(upTo - given));
            given = upTo;
        }
        taps.first[s] = i0;
        taps.count[s] = uint32_t(i1 - i0);
    }
}

// The average of columns c0 to c1 of rows r0 to r1 of a converted part
// width pixels wide, into out's blue, green, red.
void AverageOf(const std::vector<uint8_t>& bgr, uint64_t width, uint64_t c0, uint64_t c1, uint64_t r0, uint64_t r1,
               uint8_t* out)
{
    uint64_t sum[3] = {};
    for (uint64_t y = r0; y < r1; ++y)
        for (uint64_t x = c0; x < c1; ++x)
            for (int c = 0; c < 3; ++c)
                sum[c] += bgr[(y * width + x) * 3 + uint64_t(c)];
    const uint64_t n = std::max<uint64_t>((c1 - c0) * (r1 - r0), 1);
    for (int c = 0; c < 3; ++c)
        out[c] = uint8_t((sum[c] + n / 2) / n);
}

// Converts the frame's rows y0 to y1 (those it holds; the rest black), columns
// x0 to x1, into scratch.bgr, x1 - x0 pixels a row.
bool ConvertPart(const Frame& frame, const PixelFormat& format, uint64_t held, uint64_t x0, uint64_t x1, uint64_t y0,
                 uint64_t y1, Scratch& scratch)
{
    const uint64_t width = x1 - x0, rowBytes = cam::RowBytes(format, frame.width);
    const uint64_t partBytes = cam::RowBytes(format, width), skip = cam::RowBytes(format, x0);
    const uint64_t rows = y1 - y0, heldRows = held > y0 ? std::min(y1, held) - y0 : 0;
    scratch.raw.resize(partBytes * heldRows);
    scratch.bgr.resize(width * 3 * rows);
    for (uint64_t y = 0; y < heldRows; ++y)
        std::memcpy(scratch.raw.data() + y * partBytes, frame.data + (y0 + y) * rowBytes + skip, partBytes);
    const Frame part{scratch.raw.data(), scratch.raw.size(), uint32_t(width), uint32_t(heldRows), format.name};
    if (heldRows && ConvertFrame(part, scratch.bgr.data(), ptrdiff_t(width * 3)) != heldRows)
        return false;
    std::memset(scratch.bgr.data() + heldRows * width * 3, 0, (rows - heldRows) * width * 3);
    return true;
}

bool ZoomedIn(const Frame& frame, const PixelFormat& format, const View& view, uint32_t width, uint32_t height,
              const RenderOptions& options, QImage& image)
{
    Scratch& scratch = TheScratch();
    const uint64_t held = HeldRows(frame, format);
    int64_t left, right, top, bottom;
    NearestPixels(scratch.columns, width, view.left, view.zoom, frame.width, &left, &right);
    NearestPixels(scratch.rows, height, view.top, view.zoom, frame.height, &top, &bottom);
    const int64_t* columns = scratch.columns.data();
    const int64_t* rows = scratch.rows.data();
    // The demosaic mixes each pixel's neighbours: the part cut out reaches
    // beyond the visible pixels, so that those are converted as in the whole frame.
    const uint64_t group = CutGroup(format), margin = format.sampling == Sampling::Bayer ? 2 : 0;
    uint64_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    if (right >= 0 && top < int64_t(held)) {
        x0 = CutStart(format, uint64_t(std::max<int64_t>(left - int64_t(margin), 0)), frame.width);
        x1 = std::min<uint64_t>(frame.width, (uint64_t(right) + 1 + margin + group - 1) / group * group);
        y0 = uint64_t(std::max<int64_t>(top - int64_t(margin), 0)) & (margin ? ~uint64_t(1) : ~uint64_t(0));
        y1 = std::min<uint64_t>(held, uint64_t(std::min<int64_t>(bottom, int64_t(held) - 1)) + 1 + margin);
        if (!ConvertPart(frame, format, held, x0, x1, y0, y1, scratch))
            return false;
        if (options.markClipped) {
            const uint64_t partWidth = x1 - x0, partBytes = cam::RowBytes(format, partWidth);
            scratch.clipped.assign(partWidth * (y1 - y0), 0);
            for (uint64_t y = 0; y < y1 - y0; ++y) {
                uint8_t* marks = scratch.clipped.data() + y * partWidth;
                ScanClipped(format, scratch.raw.data() + y * partBytes, partWidth, [marks](uint64_t x) { marks[x] = 1; });
            }
        }
    }
    const uint64_t partWidth = x1 - x0;
    const QRgb background = options.background, black = qRgb(0, 0, 0);
    for (uint32_t sy = 0; sy < height; ++sy) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(int(sy)));
        const int64_t cy = rows[sy];
        if (sy > 0 && cy == rows[sy - 1]) {
            std::memcpy(line, image.constScanLine(int(sy - 1)), size_t(width) * 4);
            continue;
        }
        if (cy < 0) {
            std::fill(line, line + width, background);
            continue;
        }
        if (uint64_t(cy) >= held) {  // in the frame, but not sent: black, as the dialog shows it
            for (uint32_t sx = 0; sx < width; ++sx)
                line[sx] = columns[sx] < 0 ? background : black;
            continue;
        }
        const uint8_t* src = scratch.bgr.data() + (uint64_t(cy) - y0) * partWidth * 3;
        const uint8_t* marks = options.markClipped ? scratch.clipped.data() + (uint64_t(cy) - y0) * partWidth : nullptr;
        for (uint32_t sx = 0; sx < width; ++sx) {
            const int64_t cx = columns[sx];
            if (cx < 0) {
                line[sx] = background;
                continue;
            }
            const uint64_t i = uint64_t(cx) - x0;
            line[sx] = marks && marks[i] ? options.clippedColour : qRgb(src[3 * i + 2], src[3 * i + 1], src[3 * i]);
        }
    }
    return true;
}

bool ZoomedOut(const Frame& frame, const PixelFormat& format, const View& view, uint32_t width, uint32_t height,
               const RenderOptions& options, QImage& image)
{
    Scratch& scratch = TheScratch();
    const uint64_t held = HeldRows(frame, format);
    const bool bayer = format.sampling == Sampling::Bayer;
    const double across = view.left + width / view.zoom, down = view.top + height / view.zoom;
    const bool visible = across > 0 && view.left < frame.width && down > 0 && view.top < frame.height;
    // The camera pixels the view covers, whole.
    const uint64_t cx0 = visible ? uint64_t(std::max(0.0, std::floor(view.left))) : 0;
    const uint64_t cx1 = visible ? uint64_t(std::min(double(frame.width), std::ceil(across))) : 0;
    const uint64_t cy0 = visible ? uint64_t(std::max(0.0, std::floor(view.top))) : 0;
    const uint64_t cy1 = visible ? uint64_t(std::min(double(frame.height), std::ceil(down))) : 0;

    // The largest block live view's reduction takes that leaves at least a
    // source pixel a screen pixel; none (1) where the frame is too small for it.
    uint64_t k = uint64_t(std::min(256.0, std::floor(1 / view.zoom)));
    k = std::min<uint64_t>({k, frame.width, frame.height});
    if (bayer)
        k &= ~uint64_t(1);
    const uint8_t* source = nullptr;
    ptrdiff_t pitch = 0;
    uint64_t sourceWidth = 0, sourceHeight = 0, startX = 0, startY = 0;
    double lastX = double(k), lastY = double(k);  // the last source column's and row's width
    if (visible && k >= 2) {
        // The blocks start at the view's first camera pixel (as near as a
        // packing group and the mosaic's parity allow), so that a whole
        // zoom such as 1:4 averages exactly the pixels each screen pixel
        // covers. A block's worth of rows above and below for the mosaic's mixing.
        const uint64_t group = CutGroup(format), margin = bayer ? k : 0;
        uint64_t x0 = cx0 / group * group;
        if (frame.width - x0 < k)
            x0 = (frame.width - k) / group * group;
        const uint64_t gridY = bayer ? cy0 & ~uint64_t(1) : cy0;
        uint64_t y0 = gridY >= margin ? gridY - margin : gridY;
        const uint64_t y1 = std::min<uint64_t>(frame.height, gridY + (cy1 - gridY + k - 1) / k * k + margin);
        if (y1 - y0 < k)  // the view shows only the last partial block
            y0 = (frame.height - k) & (bayer ? ~uint64_t(1) : ~uint64_t(0));
        const uint64_t rowBytes = cam::RowBytes(format, frame.width);
        const uint64_t heldHere = held > y0 ? std::min(held, y1) - y0 : 0;
        Frame part{heldHere ? frame.data + y0 * rowBytes : nullptr, heldHere * rowBytes, frame.width,
                   uint32_t(y1 - y0), frame.pixelFormat};
        uint64_t x1 = frame.width;
        if (x0 > 0) {
            // Blocks that do not start at the row's start: the visible columns
            // copied out (the reduction reads rows of a frame's own width).
            x1 = std::min<uint64_t>(frame.width, (cx1 + k + group - 1) / group * group);
            x1 = std::max(x1, std::min<uint64_t>(frame.width, x0 + k));
            const uint64_t partBytes = cam::RowBytes(format, x1 - x0), skip = cam::RowBytes(format, x0);
            scratch.raw.resize(partBytes * heldHere);
            for (uint64_t y = 0; y < heldHere; ++y)
                std::memcpy(scratch.raw.data() + y * partBytes, frame.data + (y0 + y) * rowBytes + skip, partBytes);
            part = {heldHere ? scratch.raw.data() : nullptr, partBytes * heldHere, uint32_t(x1 - x0),
                    uint32_t(y1 - y0), frame.pixelFormat};
        }
        if (!ReduceFrame(part, uint32_t(k), scratch.reduced))
            return false;
        source = scratch.reduced.GetBits();
        pitch = scratch.reduced.GetPitch();
        sourceWidth = uint64_t(scratch.reduced.GetWidth());
        sourceHeight = uint64_t(scratch.reduced.GetHeight());
        startX = x0;
        startY = y0;
        // The reduction leaves out a last partial block each way; where the
        // view reaches the frame's edge, those pixels' averages are added
        // as a narrower last source column and row.
        const uint64_t restX = x1 == frame.width ? x1 - x0 - sourceWidth * k : 0;
        const uint64_t restY = y1 == frame.height ? y1 - y0 - sourceHeight * k : 0;
        if (restX || restY) {
            const uint64_t w = sourceWidth + (restX ? 1 : 0), h = sourceHeight + (restY ? 1 : 0);
            scratch.extended.resize(w * h * 3);
            uint8_t* e = scratch.extended.data();
            for (uint64_t j = 0; j < sourceHeight; ++j)
                std::memcpy(e + j * w * 3, source + ptrdiff_t(j) * pitch, sourceWidth * 3);
            const uint64_t m = bayer ? 2 : 0;  // the demosaic's neighbours
            if (restX) {
                const uint64_t s0 = CutStart(format, frame.width - restX - std::min(m, frame.width - restX), frame.width);
                if (!ConvertPart(frame, format, held, s0, frame.width, y0, y1, scratch))
                    return false;
                const uint64_t sw = frame.width - s0, c0 = sw - restX;
                for (uint64_t j = 0; j < h; ++j)
                    AverageOf(scratch.bgr, sw, c0, sw, j * k, std::min((j + 1) * k, y1 - y0),
                              e + (j * w + sourceWidth) * 3);
            }
            if (restY) {
                const uint64_t top0 = frame.height - restY - std::min(m, frame.height - restY);
                const uint64_t s0 = bayer ? top0 & ~uint64_t(1) : top0;
                if (!ConvertPart(frame, format, held, x0, x1, s0, frame.height, scratch))
                    return false;
                const uint64_t r0 = frame.height - restY - s0;
                for (uint64_t i = 0; i < sourceWidth; ++i)
                    AverageOf(scratch.bgr, x1 - x0, i * k, (i + 1) * k, r0, r0 + restY,
                              e + (sourceHeight * w + i) * 3);
            }
            source = e;
            pitch = ptrdiff_t(w * 3);
            sourceWidth = w;
            sourceHeight = h;
            lastX = restX ? double(restX) : double(k);
            lastY = restY ? double(restY) : double(k);
        }
    } else if (visible) {
        k = 1;
        lastX = lastY = 1;
        const uint64_t group = CutGroup(format), margin = bayer ? 2 : 0;
        const uint64_t x0 = CutStart(format, cx0 >= margin ? cx0 - margin : 0, frame.width);
        const uint64_t x1 = std::min<uint64_t>(frame.width, (cx1 + margin + group - 1) / group * group);
        const uint64_t y0 = (cy0 >= margin ? cy0 - margin : 0) & (bayer ? ~uint64_t(1) : ~uint64_t(0));
        const uint64_t y1 = std::min<uint64_t>(frame.height, cy1 + margin);
        if (!ConvertPart(frame, format, held, x0, x1, y0, y1, scratch))
            return false;
        source = scratch.bgr.data();
        pitch = ptrdiff_t((x1 - x0) * 3);
        sourceWidth = x1 - x0;
        sourceHeight = y1 - y0;
        startX = x0;
        startY = y0;
    }
    AverageTaps(scratch.across, width, view.left, view.zoom, frame.width, double(startX), double(k),
                int64_t(sourceWidth), lastX, kOneAcross);
    AverageTaps(scratch.down, height, view.top, view.zoom, frame.height, double(startY), double(k),
                int64_t(sourceHeight), lastY, kOneDown);
    const Taps& across_ = scratch.across;
    const Taps& down_ = scratch.down;
    scratch.sums.resize(sourceWidth * 3);
    uint16_t* sums = scratch.sums.data();
    const size_t samples = size_t(sourceWidth * 3);
    // A screen pixel covers parts of at most three source pixels each way
    // (the block is the largest below a screen pixel, so it spans less than
    // two): those are summed by loops without a loop inside.
    const auto atMostThree = [](const Taps& t) {
        return std::all_of(t.count.begin(), t.count.end(), [](uint32_t n) { return n <= 3; });
    };
    const bool fewAcross = atMostThree(across_), fewDown = atMostThree(down_);
    if (fewAcross) {
        scratch.three.resize(width);
        for (uint32_t sx = 0; sx < width; ++sx) {
            Scratch::Three& t = scratch.three[sx];
            const uint32_t n = across_.count[sx];
            for (uint32_t i = 0; i < 3; ++i) {
                t.at[i] = uint32_t(across_.first[sx] + (i < n ? i : 0)) * 3;
                t.weight[i] = i < n ? across_.weights[across_.offset[sx] + i] : 0;
            }
        }
    }
    constexpr uint32_t one = kOneDown * kOneAcross, half = one / 2;
    const auto pixel = [](uint32_t r, uint32_t g, uint32_t b) {
        return qRgb(int((r + half) / one), int((g + half) / one), int((b + half) / one));
    };
    for (uint32_t sy = 0; sy < height; ++sy) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(int(sy)));
        if (!down_.count[sy]) {
            std::fill(line, line + width, options.background);
            continue;
        }
        const uint16_t* wy = down_.weights.data() + down_.offset[sy];
        if (fewDown) {
            const uint32_t n = down_.count[sy];
            const uint8_t* r0 = source + down_.first[sy] * pitch;
            const uint8_t* r1 = n > 1 ? r0 + pitch : r0;
            const uint8_t* r2 = n > 2 ? r1 + pitch : r0;
            const uint16_t w0 = wy[0], w1 = n > 1 ? wy[1] : 0, w2 = n > 2 ? wy[2] : 0;
            for (size_t t = 0; t < samples; ++t)
                sums[t] = uint16_t(w0 * r0[t] + w1 * r1[t] + w2 * r2[t]);
        } else {
            for (uint32_t j = 0; j < down_.count[sy]; ++j) {
                const uint8_t* row = source + (down_.first[sy] + j) * pitch;
                const uint16_t w = wy[j];
                if (j == 0)
                    for (size_t t = 0; t < samples; ++t)
                        sums[t] = uint16_t(w * row[t]);
                else
                    for (size_t t = 0; t < samples; ++t)
                        sums[t] = uint16_t(sums[t] + w * row[t]);
            }
        }
        for (uint32_t sx = 0; sx < width; ++sx) {
            const uint32_t n = across_.count[sx];
            if (!n) {
                line[sx] = options.background;
                continue;
            }
            if (fewAcross) {  // without a branch that guesses wrong between two and three
                const Scratch::Three& t = scratch.three[sx];
                const uint16_t *p0 = sums + t.at[0], *p1 = sums + t.at[1], *p2 = sums + t.at[2];
                const uint32_t w0 = t.weight[0], w1 = t.weight[1], w2 = t.weight[2];
                line[sx] = pixel(w0 * p0[2] + w1 * p1[2] + w2 * p2[2], w0 * p0[1] + w1 * p1[1] + w2 * p2[1],
                                 w0 * p0[0] + w1 * p1[0] + w2 * p2[0]);
                continue;
            }
            const uint16_t* wx = across_.weights.data() + across_.offset[sx];
            const uint16_t* s = sums + across_.first[sx] * 3;
            uint32_t b = 0, g = 0, r = 0;
            for (uint32_t i = 0; i < n; ++i, s += 3) {
                b += uint32_t(wx[i]) * s[0];
                g += uint32_t(wx[i]) * s[1];
                r += uint32_t(wx[i]) * s[2];
            }
            line[sx] = pixel(r, g, b);
        }
    }
    if (options.markClipped && visible) {
        // Each screen column marks the visible camera columns whose middle
        // lies in it, from first[sx] to first[sx + 1]; a flag per camera
        // column gathers the camera rows of one screen row.
        std::vector<uint32_t>& first = scratch.screenOf;
        first.assign(size_t(width) + 1, uint32_t(cx1 - cx0));
        for (uint64_t x = cx1; x-- > cx0;) {
            const double sx = std::floor((double(x) + 0.5 - view.left) * view.zoom);
            if (sx >= 0 && sx < width)
                first[size_t(sx)] = uint32_t(x - cx0);
        }
        for (uint32_t sx = width; sx-- > 0;)  // columns with none start where the next one does
            first[sx] = std::min(first[sx], first[sx + 1]);
        std::vector<uint8_t>& flags = scratch.clipped;
        flags.assign(cx1 - cx0, 0);
        // 8-bit grey and mosaics, the most common large frames, without a
        // branch a pixel: a picture may be clipped in a quarter of them.
        const bool bytes = format.packing == cam::Packing::Byte &&
                           (format.sampling == Sampling::Mono || format.sampling == Sampling::Bayer);
        const uint64_t rowBytes = cam::RowBytes(format, frame.width);
        int64_t marking = -1;  // the screen row the flags are for
        const auto paint = [&] {
            if (marking < 0)
                return;
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(int(marking)));
            for (uint32_t sx = 0; sx < width; ++sx) {
                uint8_t any = 0;
                for (uint32_t x = first[sx]; x < first[sx + 1]; ++x)
                    any |= flags[x];
                if (any)
                    line[sx] = options.clippedColour;
            }
            std::fill(flags.begin(), flags.end(), 0);
        };
        for (uint64_t y = cy0; y < std::min(cy1, held); ++y) {
            const double sy = std::floor((double(y) + 0.5 - view.top) * view.zoom);
            if (!(sy >= 0 && sy < height))
                continue;
            if (int64_t(sy) != marking) {
                paint();
                marking = int64_t(sy);
            }
            const uint8_t* row = frame.data + y * rowBytes;
            if (bytes) {
                const uint8_t* visibleRow = row + cx0;
                uint8_t* f = flags.data();
                for (uint64_t x = 0; x < cx1 - cx0; ++x)
                    f[x] |= uint8_t(visibleRow[x] == 255);
            } else {
                ScanClipped(format, row, frame.width, [&](uint64_t x) {
                    if (x >= cx0 && x < cx1)
                        flags[x - cx0] = 1;
                });
            }
        }
        paint();
    }
    return true;
}

}  // namespace

uint32_t ReduceWhole(const Frame& frame, uint32_t targetWidth, uint32_t targetHeight, QImage* image)
{
    if (!image || !CanShow(frame.pixelFormat))
        return 0;
    const uint32_t k = LiveBlock(frame.pixelFormat, frame.width, frame.height, targetWidth, targetHeight);
    if (k < 2)
        return 1;
    DisplayImage& reduced = TheScratch().reduced;
    try {
        if (!ReduceFrame(frame, k, reduced))
            return 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
    const int w = reduced.GetWidth(), h = reduced.GetHeight();
    if (image->width() != w || image->height() != h || image->format() != QImage::Format_RGB32)
        *image = QImage(w, h, QImage::Format_RGB32);
    if (image->isNull())
        return 0;
    const uint8_t* source = reduced.GetBits();
    const ptrdiff_t pitch = reduced.GetPitch();
    for (int y = 0; y < h; ++y) {
        const uint8_t* bgr = source + ptrdiff_t(y) * pitch;
        auto* line = reinterpret_cast<QRgb*>(image->scanLine(y));
        for (int x = 0; x < w; ++x, bgr += 3)
            line[x] = qRgb(bgr[2], bgr[1], bgr[0]);
    }
    return k;
}

bool RenderView(const Frame& frame, const View& view, uint32_t width, uint32_t height, const RenderOptions& options,
                QImage* image)
{
    const PixelFormat* format = cam::FindPixelFormat(frame.pixelFormat);
    if (!format || !CanShow(frame.pixelFormat) || !image || width == 0 || height == 0)
        return false;
    if (!std::isfinite(view.left) || !std::isfinite(view.top) || !(view.zoom >= kMinZoom && view.zoom <= kMaxZoom))
        return false;
    // Views larger than any screen are refused rather than allocated.
    if (width > 32768 || height > 32768)
        return false;
    if (image->width() != int(width) || image->height() != int(height) || image->format() != QImage::Format_RGB32)
        *image = QImage(int(width), int(height), QImage::Format_RGB32);
    if (image->isNull())
        return false;
    try {
        return view.zoom >= 1 ? ZoomedIn(frame, *format, view, width, height, options, *image)
                              : ZoomedOut(frame, *format, view, width, height, options, *image);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace imaging
