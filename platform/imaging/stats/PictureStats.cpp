// The statistics in one pass over each row: each row's samples counted per
// position of its period (a channel: of a pixel, of a Bayer pair) by the
// kernels of the processor's family (StatsKernels.h) and the plain loop
// here, which counts what they leave and gives the same counts alone; the
// counts are then added into their colour channel.
#include "PictureStats.h"

#include "platform/imaging/convert/PixelRows.h"
#include "StatsKernels.h"
#include "platform/camera/campixel.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace imaging {
namespace {

void CountPlain(const uint8_t* s, size_t from, size_t n, size_t period, RowCounts& c)
{
    for (size_t i = from, k = from % period; i < n; ++i, k = k + 1 == period ? 0 : k + 1) {
        const uint8_t v = s[i];
        c.sum[k] += v;
        c.squares[k] += uint32_t(v) * v;
        c.dark[k] += v == 0;
        c.bright[k] += v == 255;
        c.minimum[k] = std::min<int>(c.minimum[k], v);
        c.maximum[k] = std::max<int>(c.maximum[k], v);
        c.moment += uint64_t(i) * v;
        if (i >= period)
            c.gradient += uint64_t(std::abs(int(v) - int(s[i - period])));
    }
}

// Pixels of 3 or 4 samples without vector kernels: 96 lanes (whole pixels
// of either) of counters, which the compiler vectorises where the loop
// above, going from channel to channel, it cannot; whole blocks of 96
// samples, the rest left to CountPlain.
size_t PixelsPlain(const uint8_t* s, size_t n, size_t period, RowCounts& c)
{
    constexpr size_t kLanes = 96, kBlocksPerRun = 255;  // 255 x 255 fits 16 bits
    const size_t blocks = n / kLanes;
    for (size_t done = 0; done < blocks;) {
        const size_t run = std::min(kBlocksPerRun, blocks - done);
        uint16_t sum[kLanes] = {}, dark[kLanes] = {}, bright[kLanes] = {};
        uint32_t squares[kLanes] = {};
        uint8_t low[kLanes], high[kLanes] = {};
        std::memset(low, 255, sizeof low);
        for (const uint8_t* b = s + done * kLanes; b < s + (done + run) * kLanes; b += kLanes)
            for (size_t j = 0; j < kLanes; ++j) {
                const uint8_t v = b[j];
                sum[j] = uint16_t(sum[j] + v);
                squares[j] += uint32_t(v) * v;
                dark[j] = uint16_t(dark[j] + (v == 0));
                bright[j] = uint16_t(bright[j] + (v == 255));
                low[j] = std::min(low[j], v);
                high[j] = std::max(high[j], v);
            }
        for (size_t j = 0; j < kLanes; ++j) {
            const size_t k = j % period;
            c.sum[k] += sum[j];
            c.squares[k] += squares[j];
            c.dark[k] += dark[j];
            c.bright[k] += bright[j];
            c.minimum[k] = std::min<int>(c.minimum[k], low[j]);
            c.maximum[k] = std::max<int>(c.maximum[k], high[j]);
        }
        done += run;
    }
    const size_t end = blocks * kLanes;
    for (size_t i = period; i < end; ++i)
        c.gradient += uint64_t(std::abs(int(s[i]) - int(s[i - period])));
    for (size_t i = 0; i < end; ++i)
        c.moment += uint64_t(i) * s[i];
    return end;
}

// The counts of a row of n samples.
RowCounts CountRow(const uint8_t* s, size_t n, size_t period)
{
    RowCounts c;
    size_t done = 0;
    if (StatsAvx512())
        done = RowCountsAvx512(s, n, period, c);
    else if (UseAvx2(Kernel::Stats))
        done = RowCountsAvx2(s, n, period, c);
    else if (period > 2)
        done = PixelsPlain(s, n, period, c);
    CountPlain(s, done, n, period, c);
    return c;
}

// Which channel each sample of a row is, by its position modulo period,
// for rows of even and of odd index; -1 for samples not counted (alpha).
struct Layout {
    size_t period = 1;
    std::vector<std::string> channels[2];
};

std::string ColourName(char c)
{
    switch (c) {
    case 'R': return "red";
    case 'G': return "green";
    case 'B': return "blue";
    default: return std::string(1, c);
    }
}

Layout LayoutOf(const cam::PixelFormat& format)
{
    Layout l;
    switch (format.sampling) {
    case cam::Sampling::Mono: l.channels[0] = l.channels[1] = {"grey"}; break;
    case cam::Sampling::Bayer:
        l.period = 2;
        for (uint64_t y = 0; y < 2; ++y)
            for (uint64_t x = 0; x < 2; ++x)
                l.channels[y].push_back(ColourName(cam::BayerColour(format, x, y)));
        break;
    case cam::Sampling::Colour:
    case cam::Sampling::Yuv422:
        for (const char* c = format.order; *c; ++c)
            l.channels[0].push_back(*c == 'a' ? std::string() : ColourName(*c));
        l.period = l.channels[0].size();
        l.channels[1] = l.channels[0];
        break;
    }
    return l;
}

}  // namespace

bool PictureStats::Add(const Frame& frame)
{
    const cam::PixelFormat* format = frame.pixelFormat ? cam::FindPixelFormat(frame.pixelFormat) : nullptr;
    if (!format)
        return false;
    const Layout layout = LayoutOf(*format);
    // Positions to channel indices, per row parity.
    std::vector<int> channelOf[2];
    for (int parity = 0; parity < 2; ++parity)
        for (const std::string& name : layout.channels[parity]) {
            int index = -1;
            if (!name.empty()) {
                index = int(std::find(names_.begin(), names_.end(), name) - names_.begin());
                if (size_t(index) == names_.size()) {
                    names_.push_back(name);
                    totals_.emplace_back();
                }
            }
            channelOf[parity].push_back(index);
        }
    const bool eightBits = format->packing == cam::Packing::Byte;
    const uint64_t rowBytes = cam::RowBytes(*format, frame.width);
    const size_t samples = size_t(frame.width) * (eightBits ? size_t(format->bitsPerPixel / 8) : 1);
    const uint64_t rows = rowBytes && frame.data ? std::min<uint64_t>(frame.height, frame.size / rowBytes) : 0;
    if (!eightBits)
        row_.resize(samples);
    // The frame's fingerprint, for telling whether frames change: FNV-1a
    // over each row's counts and moment, and over 8 bytes of each row at a
    // place that moves from row to row.
    uint64_t print = 14695981039346656037ull;
    auto mix = [&print](uint64_t v) { print = (print ^ v) * 1099511628211ull; };
    const size_t period = layout.period;
    for (uint64_t y = 0; y < rows; ++y) {
        const uint8_t* s = frame.data + y * rowBytes;
        if (!eightBits) {
            TopEightBits(*format, s, row_.data(), samples);
            s = row_.data();
        }
        pairs_ += samples > period ? samples - period : 0;
        const RowCounts c = CountRow(s, samples, period);
        gradient_ += c.gradient;
        mix(c.moment);
        for (size_t k = 0; k < period; ++k) {
            mix(c.sum[k] << 32 ^ c.squares[k]);
            const int channel = channelOf[y % 2][k];
            if (channel < 0)
                continue;
            Totals& t = totals_[size_t(channel)];
            t.samples += samples / period + (k < samples % period ? 1 : 0);
            t.sum += c.sum[k];
            t.squares += c.squares[k];
            t.dark += c.dark[k];
            t.bright += c.bright[k];
            t.minimum = std::min(t.minimum, c.minimum[k]);
            t.maximum = std::max(t.maximum, c.maximum[k]);
        }
        if (samples >= 8) {
            uint64_t eight;
            std::memcpy(&eight, s + (y * 7919) % (samples - 7), 8);
            mix(eight);
        }
    }
    changed_ += frames_ > 0 && print != lastPrint_;
    lastPrint_ = print;
    ++frames_;
    return true;
}

PictureSummary PictureStats::Summary() const
{
    PictureSummary summary;
    summary.frames = frames_;
    summary.changed = changed_;
    summary.sharpness = pairs_ ? double(gradient_) / double(pairs_) : 0;
    for (size_t i = 0; i < names_.size(); ++i) {
        const Totals& t = totals_[i];
        ChannelStats c;
        c.name = names_[i];
        c.samples = t.samples;
        if (t.samples) {
            const double n = double(t.samples);
            c.mean = double(t.sum) / n;
            c.deviation = std::sqrt(std::max(0.0, double(t.squares) / n - c.mean * c.mean));
            c.minimum = t.minimum;
            c.maximum = t.maximum;
            c.dark = double(t.dark) / n;
            c.bright = double(t.bright) / n;
        }
        summary.channels.push_back(c);
    }
    return summary;
}

}  // namespace imaging
