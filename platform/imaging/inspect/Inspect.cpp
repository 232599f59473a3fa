// The viewer's numbers straight from the frame as the camera sent it: the
// samples at a point, the histogram at the format's own depth and the
// sharpness of a rectangle. Drawing is InspectRender.cpp's.
#include "Inspect.h"

#include "platform/camera/campixel.h"
#include "platform/imaging/convert/PixelRows.h"
#include "platform/imaging/convert/SampleUnpack.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace imaging {
namespace {

using cam::PixelFormat;
using cam::Sampling;

const char* ColourName(char c)
{
    switch (c) {
    case 'R': return "red";
    case 'G': return "green";
    default: return "blue";
    }
}

// The rows whose bytes the frame holds whole.
uint64_t HeldRows(const Frame& frame, const PixelFormat& format)
{
    const uint64_t rowBytes = cam::RowBytes(format, frame.width);
    if (!frame.data || rowBytes == 0)
        return 0;
    return std::min<uint64_t>(frame.height, frame.size / rowBytes);
}

bool IsYuyv(const PixelFormat& format) { return format.order[0] == 'Y'; }

// The bytes of a YUV 4:2:2 pair's Y0, U, Y1 and V.
struct YuvBytes {
    int y0, u, y1, v;
};
YuvBytes YuvLayout(const PixelFormat& format) { return IsYuyv(format) ? YuvBytes{0, 1, 2, 3} : YuvBytes{1, 0, 3, 2}; }

// Where the histogram and the sharpness find their samples in a row of
// 8-bit samples (the frame's own bytes, or the top 8 bits of deeper ones):
// period samples repeat, position k of it being channel channelOf[y % 2][k]
// (-1: not counted, as alpha).
struct Layout {
    size_t period = 1;
    int channelOf[2][4] = {{-1, -1, -1, -1}, {-1, -1, -1, -1}};
    std::vector<std::string> names;
};

int ChannelIndex(Layout& l, const std::string& name)
{
    const auto it = std::find(l.names.begin(), l.names.end(), name);
    if (it != l.names.end())
        return int(it - l.names.begin());
    l.names.push_back(name);
    return int(l.names.size() - 1);
}

Layout LayoutOf(const PixelFormat& format)
{
    Layout l;
    switch (format.sampling) {
    case Sampling::Mono:
        l.names = {"grey"};
        l.channelOf[0][0] = l.channelOf[1][0] = 0;
        break;
    case Sampling::Bayer:
        l.period = 2;
        l.names = {"red", "green", "blue"};
        for (uint64_t y = 0; y < 2; ++y)
            for (uint64_t x = 0; x < 2; ++x)
                l.channelOf[y][x] = ChannelIndex(l, ColourName(cam::BayerColour(format, x, y)));
        break;
    case Sampling::Colour:
        l.names = {"red", "green", "blue"};
        l.period = std::strlen(format.order);
        for (size_t k = 0; k < l.period; ++k)
            l.channelOf[0][k] = l.channelOf[1][k] =
                format.order[k] == 'a' ? -1 : ChannelIndex(l, ColourName(format.order[k]));
        break;
    case Sampling::Yuv422: {
        l.names = {"Y", "U", "V"};
        l.period = 4;
        const YuvBytes b = YuvLayout(format);
        for (int parity = 0; parity < 2; ++parity) {
            l.channelOf[parity][b.y0] = l.channelOf[parity][b.y1] = 0;
            l.channelOf[parity][b.u] = 1;
            l.channelOf[parity][b.v] = 2;
        }
        break;
    }
    }
    return l;
}

// Samples of a row of width pixels as the histogram counts them: bytes for
// 8-bit formats, one sample a pixel for deeper ones.
uint64_t RowSamples(const PixelFormat& format, uint64_t width)
{
    return format.packing == cam::Packing::Byte ? cam::RowBytes(format, width) : width;
}

// Pixels whose samples start on a whole byte: packed rows are cut there.
uint64_t PackingGroup(const PixelFormat& format)
{
    uint64_t group = 1;
    while (group * uint64_t(format.bitsPerPixel) % 8)
        ++group;
    return group;
}

// ---- Histogram --------------------------------------------------------------

// 8-bit rows counted into 4 (or, for 3-sample pixels, 3) tables of 32-bit
// counts a lane, lane = sample index modulo 4 (3), so that runs of equal
// values do not wait on each other's stores; the lanes are then added into
// their channels. Two sets of tables for Bayer mosaics, one per row parity.
class ByteCounter {
public:
    ByteCounter(const Layout& layout, bool twoParities)
        : layout_(layout), lanes_(layout.period == 3 ? 3 : 4), parities_(twoParities ? 2 : 1)
    {
        std::memset(tables_, 0, sizeof tables_);
    }

    void Row(const uint8_t* s, size_t n, uint64_t y, Histogram& h)
    {
        if (pending_ + n > UINT32_MAX)
            Flush(h);
        pending_ += n;
        uint32_t(*t)[256] = tables_[parities_ == 2 ? y % 2 : 0];
        size_t i = 0;
        if (lanes_ == 4) {
            for (; i + 4 <= n; i += 4) {
                ++t[0][s[i]];
                ++t[1][s[i + 1]];
                ++t[2][s[i + 2]];
                ++t[3][s[i + 3]];
            }
        } else {
            for (; i + 3 <= n; i += 3) {
                ++t[0][s[i]];
                ++t[1][s[i + 1]];
                ++t[2][s[i + 2]];
            }
        }
        for (; i < n; ++i)
            ++t[i % lanes_][s[i]];
    }

    void Flush(Histogram& h)
    {
        for (size_t parity = 0; parity < parities_; ++parity)
            for (size_t lane = 0; lane < lanes_; ++lane) {
                const int channel = layout_.channelOf[parity][lane % layout_.period];
                uint32_t* t = tables_[parity][lane];
                if (channel >= 0) {
                    uint64_t* counts = h.channels[size_t(channel)].counts.data();
                    for (int v = 0; v < 256; ++v)
                        counts[v] += t[v];
                }
                std::memset(t, 0, sizeof tables_[parity][lane]);
            }
        pending_ = 0;
    }

private:
    const Layout& layout_;
    size_t lanes_, parities_;
    uint64_t pending_ = 0;  // samples in the tables: a lane's count stays below 2^32
    uint32_t tables_[2][4][256];
};

}  // namespace

SampleReadout ReadSamples(const Frame& frame, uint32_t x, uint32_t y)
{
    SampleReadout r;
    const PixelFormat* format = cam::FindPixelFormat(frame.pixelFormat);
    if (!format)
        return r;
    r.bits = format->bits;
    if (x >= frame.width || y >= HeldRows(frame, *format))
        return r;
    const uint64_t rowBytes = cam::RowBytes(*format, frame.width);
    const uint8_t* row = frame.data + uint64_t(y) * rowBytes;
    switch (format->sampling) {
    case Sampling::Mono: r.samples.emplace_back("grey", cam::ReadSample(*format, row, x)); break;
    case Sampling::Bayer:
        r.samples.emplace_back(ColourName(cam::BayerColour(*format, x, y)), cam::ReadSample(*format, row, x));
        break;
    case Sampling::Colour: {
        const uint8_t* p = row + uint64_t(x) * uint64_t(format->bitsPerPixel / 8);
        for (char want : {'R', 'G', 'B'})
            r.samples.emplace_back(ColourName(want), p[std::strchr(format->order, want) - format->order]);
        break;
    }
    case Sampling::Yuv422: {
        const YuvBytes b = YuvLayout(*format);
        const uint8_t* pair = row + uint64_t(x / 2) * 4;
        const bool whole = uint64_t(x / 2) * 4 + 4 <= rowBytes;
        r.samples.emplace_back("Y", pair[x % 2 ? b.y1 : b.y0]);
        r.samples.emplace_back("U", pair[b.u]);
        // A last pixel without a pair is shown with the V of the pair
        // before it, as the conversion does; a frame 1 pixel wide has none.
        if (whole)
            r.samples.emplace_back("V", pair[b.v]);
        else if (x >= 2)
            r.samples.emplace_back("V", pair[b.v - 4]);
        break;
    }
    }
    r.valid = true;
    return r;
}

bool MakeHistogram(const Frame& frame, uint32_t rowStep, Histogram* histogram)
{
    const PixelFormat* format = cam::FindPixelFormat(frame.pixelFormat);
    if (!format || !histogram)
        return false;
    Histogram& h = *histogram;
    const Layout layout = LayoutOf(*format);
    const size_t bins = size_t(1) << format->bits;
    bool same = h.bits == format->bits && h.channels.size() == layout.names.size();
    for (size_t c = 0; same && c < layout.names.size(); ++c)
        same = h.channels[c].name == layout.names[c] && h.channels[c].counts.size() == bins;
    if (!same) {
        h.channels.assign(layout.names.size(), {});
        for (size_t c = 0; c < layout.names.size(); ++c)
            h.channels[c].name = layout.names[c];
    }
    for (Histogram::Channel& c : h.channels) {
        c.counts.assign(bins, 0);
        c.total = c.black = c.full = 0;
    }
    h.bits = format->bits;
    h.rowStep = std::max<uint32_t>(rowStep, 1);

    const uint64_t rows = HeldRows(frame, *format);
    const uint64_t rowBytes = cam::RowBytes(*format, frame.width);
    const size_t samples = size_t(RowSamples(*format, frame.width));
    const bool bayer = format->sampling == Sampling::Bayer;
    // Mosaics are sampled a pair of rows at a time, so that every colour
    // site is counted whatever the step.
    const auto counted = [&](uint64_t y) { return (bayer ? y / 2 : y) % h.rowStep == 0; };
    const auto next = [&](uint64_t y) {
        if (h.rowStep == 1)
            return y + 1;
        if (bayer)
            return y % 2 == 0 ? y + 1 : y - 1 + 2 * uint64_t(h.rowStep);
        return y + h.rowStep;
    };
    if (format->packing == cam::Packing::Byte) {
        ByteCounter counter(layout, bayer);
        for (uint64_t y = 0; y < rows; y = next(y))
            if (counted(y))
                counter.Row(frame.data + y * rowBytes, samples, y, h);
        counter.Flush(h);
    } else {
        // Deeper samples: one pixel each, read from 16-bit words or unpacked.
        const bool words = format->packing == cam::Packing::Word;
        const uint32_t mask = uint32_t(bins - 1);
        thread_local std::vector<uint16_t> unpacked;
        if (!words)
            unpacked.resize(samples);
        for (uint64_t y = 0; y < rows; y = next(y)) {
            if (!counted(y))
                continue;
            const uint8_t* s = frame.data + y * rowBytes;
            if (!words) {
                UnpackRow(*format, s, frame.width, reinterpret_cast<uint8_t*>(unpacked.data()));
                s = reinterpret_cast<const uint8_t*>(unpacked.data());
            }
            uint64_t* even = h.channels[size_t(layout.channelOf[y % 2][0])].counts.data();
            uint64_t* odd = h.channels[size_t(layout.channelOf[y % 2][layout.period - 1])].counts.data();
            // Little-endian words, not necessarily aligned in the frame.
            const auto at = [s, mask](size_t x) { return (s[2 * x] | uint32_t(s[2 * x + 1]) << 8) & mask; };
            size_t x = 0;
            for (; x + 2 <= samples; x += 2) {
                ++even[at(x)];
                ++odd[at(x + 1)];
            }
            if (x < samples)
                ++even[at(x)];
        }
    }
    for (Histogram::Channel& c : h.channels) {
        for (uint64_t n : c.counts)
            c.total += n;
        c.black = c.counts.front();
        c.full = c.counts.back();
    }
    return true;
}

uint32_t HistogramRowStep(const Frame& frame)
{
    const PixelFormat* format = cam::FindPixelFormat(frame.pixelFormat);
    if (!format)
        return 1;
    constexpr uint64_t kSamples = 2u << 20;
    const uint64_t samples = RowSamples(*format, frame.width) * uint64_t(frame.height);
    return uint32_t(std::clamp<uint64_t>((samples + kSamples - 1) / kSamples, 1, UINT32_MAX));
}

double Sharpness(const Frame& frame, const QRect& rect)
{
    const PixelFormat* format = cam::FindPixelFormat(frame.pixelFormat);
    if (!format || rect.isEmpty())
        return 0;
    const int64_t x0 = std::max<int64_t>(rect.left(), 0);
    const int64_t x1 = std::min<int64_t>(int64_t(rect.right()) + 1, frame.width);
    const int64_t y0 = std::max<int64_t>(rect.top(), 0);
    const int64_t y1 = std::min<int64_t>(int64_t(rect.bottom()) + 1, int64_t(HeldRows(frame, *format)));
    if (x0 >= x1 || y0 >= y1)
        return 0;
    const Layout layout = LayoutOf(*format);
    const size_t period = layout.period;
    const uint64_t rowBytes = cam::RowBytes(*format, frame.width);
    const bool eightBits = format->packing == cam::Packing::Byte;
    // Samples first to last of each row; deeper rows are cut at a whole
    // byte before the first and their top 8 bits taken from there.
    const uint64_t bytesPerPixel = eightBits ? uint64_t(format->bitsPerPixel / 8) : 1;
    const uint64_t start = eightBits ? uint64_t(x0) : uint64_t(x0) / PackingGroup(*format) * PackingGroup(*format);
    const size_t first = size_t((uint64_t(x0) - start) * bytesPerPixel);
    const size_t last = size_t((uint64_t(x1) - start) * bytesPerPixel);
    if (last - first <= period)
        return 0;
    thread_local std::vector<uint8_t> eight;
    if (!eightBits)
        eight.resize(last);
    uint64_t gradient = 0;
    for (int64_t y = y0; y < y1; ++y) {
        const uint8_t* s = frame.data + uint64_t(y) * rowBytes + cam::RowBytes(*format, start);
        if (!eightBits) {
            TopEightBits(*format, s, eight.data(), last);
            s = eight.data();
        }
        // A row's sum fits 32 bits (2^32 / 255 samples), which the compiler vectorises.
        uint32_t sum = 0;
        size_t i = first + period;
        for (; i < last;) {
            const size_t end = std::min(last, i + (size_t(1) << 24));
            for (; i < end; ++i)
                sum += uint32_t(std::abs(int(s[i]) - int(s[i - period])));
            gradient += sum;
            sum = 0;
        }
    }
    const uint64_t pairs = uint64_t(y1 - y0) * (last - first - period);
    return double(gradient) / double(pairs);
}

}  // namespace imaging
