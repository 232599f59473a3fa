// The viewer's imaging against references the tests compute themselves:
// samples written with cam::WriteSample read back at their own depth, the
// histogram against a plain count, each camera pixel's block on screen
// against the conversion of the whole frame, the zoomed-out picture against
// an area average, the sharpness against the health check's. Frames lie in
// buffers of exactly their size, so that a read past one is a read past the
// allocation.
#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"
#include "platform/imaging/convert/PixelRows.h"
#include "platform/imaging/inspect/Inspect.h"
#include "platform/imaging/stats/PictureStats.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// A frame's bytes, allocated at exactly their size.
struct Bytes {
    explicit Bytes(uint64_t n) : size(n), data(new uint8_t[n]()) {}
    uint64_t size;
    std::unique_ptr<uint8_t[]> data;
};

std::vector<const cam::PixelFormat*> AllFormats()
{
    int count = 0;
    const cam::PixelFormat* formats = cam::PixelFormats(&count);
    std::vector<const cam::PixelFormat*> all;
    for (int i = 0; i < count; ++i)
        all.push_back(&formats[i]);
    return all;
}

// Samples a row holds in the layout WriteSample indexes: a pixel's for Mono
// and Bayer, a byte's for the 8-bit colour and YUV layouts.
uint64_t SamplesPerRow(const cam::PixelFormat& f, uint32_t width)
{
    return f.packing == cam::Packing::Byte ? cam::RowBytes(f, width) : width;
}

// Every sample random, a third of them at 0 or at full scale.
Bytes RandomFrame(const cam::PixelFormat& f, uint32_t width, uint32_t height, uint32_t seed)
{
    Bytes b(cam::RowBytes(f, width) * height);
    std::mt19937 random(seed);
    const uint32_t full = (1u << f.bits) - 1;
    for (uint32_t y = 0; y < height; ++y)
        for (uint64_t i = 0; i < SamplesPerRow(f, width); ++i)
            cam::WriteSample(f, b.data.get() + y * cam::RowBytes(f, width), i,
                             random() % 3 == 0 ? (random() & 1) * full : random() & full);
    return b;
}

std::string Name(char c)
{
    switch (c) {
    case 'R': return "red";
    case 'G': return "green";
    case 'B': return "blue";
    case 'a': return "";
    default: return std::string(1, c);  // Y, U, V
    }
}

// The channel sample i of row y belongs to, by the test's own reading of the layout.
std::string ChannelOf(const cam::PixelFormat& f, uint64_t i, uint64_t y)
{
    switch (f.sampling) {
    case cam::Sampling::Mono: return "grey";
    case cam::Sampling::Bayer: return Name(f.order[(y % 2) * 2 + i % 2]);
    case cam::Sampling::Colour: return Name(f.order[i % uint64_t(f.bitsPerPixel / 8)]);
    case cam::Sampling::Yuv422: return Name(f.order[i % 4]);
    }
    return "";
}

TEST(Inspect, ReadsTheCamerasOwnSamples)
{
    for (const cam::PixelFormat* f : AllFormats())
        for (const uint32_t width : {6u, 7u}) {
            SCOPED_TRACE(std::string(f->name) + " width " + std::to_string(width));
            const uint32_t height = 3;
            const Bytes b = RandomFrame(*f, width, height, width);
            const imaging::Frame frame{b.data.get(), b.size, width, height, f->name};
            const uint64_t rowBytes = cam::RowBytes(*f, width);
            const struct {
                uint32_t x, y;
            } points[] = {{0, 0}, {1, 0}, {2, 1}, {width - 2, 2}, {width - 1, height - 1}};
            for (const auto& p : points) {
                SCOPED_TRACE(std::to_string(p.x) + "," + std::to_string(p.y));
                const uint8_t* row = b.data.get() + p.y * rowBytes;
                auto sample = [&](uint64_t i) { return cam::ReadSample(*f, row, i); };
                std::vector<std::pair<std::string, uint32_t>> expected;
                switch (f->sampling) {
                case cam::Sampling::Mono: expected = {{"grey", sample(p.x)}}; break;
                case cam::Sampling::Bayer: expected = {{ChannelOf(*f, p.x, p.y), sample(p.x)}}; break;
                case cam::Sampling::Colour: {
                    const uint64_t n = uint64_t(f->bitsPerPixel / 8);
                    const std::string order = f->order;
                    for (char c : {'R', 'G', 'B'})
                        expected.emplace_back(Name(c), sample(p.x * n + order.find(c)));
                    break;
                }
                case cam::Sampling::Yuv422: {
                    const std::string order = f->order;  // of a pair's 4 bytes
                    const uint64_t pair = p.x / 2 * 4;
                    const uint64_t y = pair + (p.x % 2 ? order.rfind('Y') : order.find('Y'));
                    expected = {{"Y", sample(y)}, {"U", sample(pair + order.find('U'))}};
                    // A last pixel without a pair: the V shown is that of the pair before.
                    const uint64_t v = pair + 4 <= rowBytes ? pair + order.find('V') : pair - 4 + order.find('V');
                    expected.emplace_back("V", sample(v));
                    break;
                }
                }
                const imaging::SampleReadout r = imaging::ReadSamples(frame, p.x, p.y);
                EXPECT_TRUE(r.valid);
                EXPECT_EQ(r.bits, f->bits);
                EXPECT_EQ(r.samples, expected);
            }
            // Outside the frame, and rows a short frame does not hold.
            EXPECT_FALSE(imaging::ReadSamples(frame, width, 0).valid);
            EXPECT_FALSE(imaging::ReadSamples(frame, 0, height).valid);
            const imaging::Frame shortFrame{b.data.get(), b.size - 1, width, height, f->name};
            EXPECT_TRUE(imaging::ReadSamples(shortFrame, width - 1, height - 2).valid);
            EXPECT_FALSE(imaging::ReadSamples(shortFrame, 0, height - 1).valid);
        }
}

// The plain count: every sample of the rows counted, into its channel.
std::map<std::string, std::vector<uint64_t>> CountByHand(const cam::PixelFormat& f, const uint8_t* data,
                                                          uint32_t width, uint64_t rows, uint32_t rowStep)
{
    std::map<std::string, std::vector<uint64_t>> counts;
    for (uint64_t y = 0; y < rows; ++y) {
        // Mosaics are sampled by pairs of rows, so that every site counts.
        if ((f.sampling == cam::Sampling::Bayer ? y / 2 : y) % rowStep)
            continue;
        for (uint64_t i = 0; i < SamplesPerRow(f, width); ++i) {
            const std::string name = ChannelOf(f, i, y);
            if (name.empty())
                continue;
            std::vector<uint64_t>& c = counts[name];
            c.resize(size_t(1) << f.bits);
            ++c[cam::ReadSample(f, data + y * cam::RowBytes(f, width), i)];
        }
    }
    return counts;
}

TEST(Inspect, HistogramCountsEverySampleAtItsDepth)
{
    const struct {
        uint32_t width, height, rowStep;
        bool shortFrame;
    } cases[] = {
        {37, 6, 1, false}, {1, 1, 1, false}, {64, 9, 3, false}, {37, 7, 2, false}, {21, 5, 1, true},
    };
    imaging::Histogram h;  // one for all: its bins are reused or remade as the format changes
    for (const cam::PixelFormat* f : AllFormats())
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(f->name) + " " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                         " step " + std::to_string(c.rowStep));
            const Bytes b = RandomFrame(*f, c.width, c.height, c.width * c.height);
            const uint64_t size = c.shortFrame ? b.size - 1 : b.size;
            const uint64_t rows = c.shortFrame ? c.height - 1 : c.height;
            ASSERT_TRUE(imaging::MakeHistogram({b.data.get(), size, c.width, c.height, f->name}, c.rowStep, &h));
            const auto expected = CountByHand(*f, b.data.get(), c.width, rows, c.rowStep);
            EXPECT_EQ(h.bits, f->bits);
            EXPECT_EQ(h.rowStep, c.rowStep);
            for (const imaging::Histogram::Channel& channel : h.channels) {
                SCOPED_TRACE(channel.name);
                ASSERT_EQ(channel.counts.size(), size_t(1) << f->bits);
                const auto it = expected.find(channel.name);
                const std::vector<uint64_t> want =
                    it == expected.end() ? std::vector<uint64_t>(channel.counts.size()) : it->second;
                EXPECT_EQ(channel.counts, want);
                uint64_t total = 0;
                for (uint64_t n : want)
                    total += n;
                EXPECT_EQ(channel.total, total);
                EXPECT_EQ(channel.black, want.front());
                EXPECT_EQ(channel.full, want.back());
            }
            EXPECT_EQ(h.channels.size(), f->sampling == cam::Sampling::Mono ? 1u : 3u);
            for (const auto& [name, counts] : expected) {
                bool listed = false;
                for (const auto& channel : h.channels)
                    listed = listed || channel.name == name;
                EXPECT_TRUE(listed) << name;
            }
        }
    EXPECT_FALSE(imaging::MakeHistogram({nullptr, 0, 4, 4, "Mono9"}, 1, &h));
}

TEST(Inspect, TheStreamingRowStepCountsAboutTwoMillionSamplesOfEveryColour)
{
    const struct {
        const char* format;
        uint32_t width, height;
    } cases[] = {{"BayerRG8", 5472, 3648}, {"Mono12p", 4000, 3000}, {"RGB8", 1292, 964}, {"Mono8", 64, 48}};
    imaging::Histogram h;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const cam::PixelFormat& f = *cam::FindPixelFormat(c.format);
        const Bytes b(cam::RowBytes(f, c.width) * c.height);
        const imaging::Frame frame{b.data.get(), b.size, c.width, c.height, c.format};
        ASSERT_TRUE(imaging::MakeHistogram(frame, imaging::HistogramRowStep(frame), &h));
        const uint64_t all = SamplesPerRow(f, c.width) * c.height;
        uint64_t counted = 0;
        for (const auto& channel : h.channels) {
            EXPECT_GT(channel.total, 0u) << channel.name;
            counted += channel.total;
        }
        EXPECT_TRUE(counted == all || (counted >= 1500000 && counted <= 2100000)) << counted << " of " << all;
    }
}

// The colour the whole frame's conversion gives at (x, y).
QRgb Converted(const std::vector<uint8_t>& bgr, uint32_t width, int64_t x, int64_t y)
{
    const uint8_t* p = bgr.data() + (uint64_t(y) * width + uint64_t(x)) * 3;
    return qRgb(p[2], p[1], p[0]);
}

TEST(Inspect, ZoomedInEachCameraPixelIsABlockOfItsConvertedColour)
{
    const uint32_t width = 23, height = 11;
    const struct {
        double left, top, zoom;
        uint32_t viewWidth, viewHeight;
        bool shortFrame;
    } cases[] = {
        {0, 0, 1, 23, 11, false},  {5, 3, 1, 9, 5, false},    {-3, -2, 1, 30, 20, false},
        {7, 1, 4, 20, 16, false},  {-1, 5, 4, 40, 40, false}, {19, 9, 3, 33, 27, false},
        {1, 1, 2, 50, 30, true},   {40, 0, 2, 8, 8, false},   {22, 10, 2, 8, 8, false},
    };
    imaging::RenderOptions options;
    options.background = qRgb(1, 2, 3);
    QImage image;
    for (const cam::PixelFormat* f : AllFormats()) {
        const Bytes b = RandomFrame(*f, width, height, 5);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(f->name) + " at " + std::to_string(c.left) + "," + std::to_string(c.top) +
                         " zoom " + std::to_string(c.zoom));
            // A short frame lacks its last row: the dialog shows it black.
            const imaging::Frame frame{b.data.get(), c.shortFrame ? b.size - 1 : b.size, width, height, f->name};
            std::vector<uint8_t> bgr(size_t(width) * height * 3);  // rows not converted stay black
            ASSERT_EQ(imaging::ConvertFrame(frame, bgr.data(), width * 3), c.shortFrame ? height - 1 : height);
            ASSERT_TRUE(imaging::RenderView(frame, {c.left, c.top, c.zoom}, c.viewWidth, c.viewHeight, options,
                                            &image));
            ASSERT_EQ(image.size(), QSize(int(c.viewWidth), int(c.viewHeight)));
            std::vector<QRgb> expected(size_t(c.viewWidth) * c.viewHeight, options.background);
            const int z = int(c.zoom);
            for (int64_t y = 0; y < height; ++y)
                for (int64_t x = 0; x < width; ++x) {
                    const QRgb colour = Converted(bgr, width, x, y);
                    for (int64_t sy = (y - int64_t(c.top)) * z; sy < (y + 1 - int64_t(c.top)) * z; ++sy)
                        for (int64_t sx = (x - int64_t(c.left)) * z; sx < (x + 1 - int64_t(c.left)) * z; ++sx)
                            if (sx >= 0 && sy >= 0 && sx < c.viewWidth && sy < c.viewHeight)
                                expected[size_t(sy) * c.viewWidth + size_t(sx)] = colour;
                }
            int wrong = 0;
            for (uint32_t sy = 0; sy < c.viewHeight; ++sy)
                for (uint32_t sx = 0; sx < c.viewWidth; ++sx)
                    if (image.pixel(int(sx), int(sy)) != expected[size_t(sy) * c.viewWidth + sx] && wrong++ < 3)
                        ADD_FAILURE() << "screen " << sx << "," << sy << ": " << std::hex
                                      << image.pixel(int(sx), int(sy)) << " not "
                                      << expected[size_t(sy) * c.viewWidth + sx];
        }
    }
}

// An area average of the whole frame's conversion, each camera pixel
// weighted by how much of it the screen pixel covers.
QRgb AreaAverage(const std::vector<uint8_t>& bgr, uint32_t width, uint32_t height, double x0, double y0,
                 double side)
{
    double sum[3] = {}, weights = 0;
    for (int64_t y = int64_t(std::floor(y0)); y < std::ceil(y0 + side); ++y)
        for (int64_t x = int64_t(std::floor(x0)); x < std::ceil(x0 + side); ++x) {
            if (x < 0 || y < 0 || x >= width || y >= height)
                continue;
            const double w = (std::min(x0 + side, x + 1.0) - std::max(x0, double(x))) *
                             (std::min(y0 + side, y + 1.0) - std::max(y0, double(y)));
            const uint8_t* p = bgr.data() + (uint64_t(y) * width + uint64_t(x)) * 3;
            for (int c = 0; c < 3; ++c)
                sum[c] += w * p[c];
            weights += w;
        }
    return qRgb(int(std::lround(sum[2] / weights)), int(std::lround(sum[1] / weights)),
                int(std::lround(sum[0] / weights)));
}

TEST(Inspect, ZoomedOutEachScreenPixelIsTheAverageOfThoseItCovers)
{
    const uint32_t width = 240, height = 160;
    // Whole zooms (1:2, 1:4 ...) from a block-aligned view are averaged exactly (within rounding),
    // on noise. Other zooms and views are averaged from whole blocks, and mosaics per colour site
    // by the live reduction rather than demosaiced first: checked on a smooth picture, within a
    // few levels.
    const struct {
        const char* format;
        double left, top, zoom;
        bool noise;
        int tolerance;
    } cases[] = {
        {"Mono8", 0, 0, 0.5, true, 1},       {"RGB8", 10, 20, 0.25, true, 1},  {"Mono12", 0, 0, 0.125, true, 1},
        {"YUV422_8", 0, 0, 0.5, false, 2},   {"Mono8", 0, 0, 0.75, true, 1},   {"BGRa8", 3.5, 7.25, 0.6, true, 1},
        {"Mono8", -20, -10, 0.3, false, 3},  {"BayerRG8", 0, 0, 0.5, false, 3}, {"BayerGB12p", 8, 4, 0.2, false, 3},
        {"RGB8", 100, 50, 0.05, true, 1},    {"Mono8", 7, 3, 0.3, false, 3},   {"YUV422_8_UYVY", 0, 0, 0.01, false, 3},
    };
    imaging::RenderOptions options;
    options.background = qRgb(1, 2, 3);
    QImage image;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.format) + " zoom " + std::to_string(c.zoom));
        const cam::PixelFormat& f = *cam::FindPixelFormat(c.format);
        Bytes b = RandomFrame(f, width, height, 9);
        const uint64_t samples = SamplesPerRow(f, width);
        for (uint32_t y = 0; y < height && !c.noise; ++y)  // a gentle slope across and down
            for (uint64_t i = 0; i < samples; ++i)
                cam::WriteSample(f, b.data.get() + y * cam::RowBytes(f, width), i,
                                 uint32_t(((1u << f.bits) - 1) * (i * width / samples + y) / (width + height)));
        const imaging::Frame frame{b.data.get(), b.size, width, height, c.format};
        std::vector<uint8_t> bgr(size_t(width) * height * 3);
        ASSERT_EQ(imaging::ConvertFrame(frame, bgr.data(), width * 3), height);
        const uint32_t viewWidth = 64, viewHeight = 48;
        ASSERT_TRUE(imaging::RenderView(frame, {c.left, c.top, c.zoom}, viewWidth, viewHeight, options, &image));
        int wrong = 0;
        for (uint32_t sy = 0; sy < viewHeight; ++sy)
            for (uint32_t sx = 0; sx < viewWidth; ++sx) {
                const double x0 = c.left + sx / c.zoom, y0 = c.top + sy / c.zoom, side = 1 / c.zoom;
                const QRgb got = image.pixel(int(sx), int(sy));
                if (x0 + side <= 1e-9 || y0 + side <= 1e-9 || x0 >= width || y0 >= height) {
                    EXPECT_EQ(got, options.background) << sx << "," << sy;
                    continue;
                }
                // Screen pixels across the frame's edge: averaged over its part.
                const QRgb want = AreaAverage(bgr, width, height, x0, y0, side);
                const int off = std::max({std::abs(qRed(got) - qRed(want)), std::abs(qGreen(got) - qGreen(want)),
                                          std::abs(qBlue(got) - qBlue(want))});
                if (off > c.tolerance && wrong++ < 3)
                    ADD_FAILURE() << "screen " << sx << "," << sy << ": " << std::hex << got << " not " << want;
            }
    }
}

TEST(Inspect, ClippedPixelsArePaintedOver)
{
    // One pixel with a sample at full scale at (x, y), the rest below it.
    const struct {
        const char* format;
        uint64_t sample;  // the WriteSample index set to full scale in row y
        std::vector<uint32_t> pixels;  // the pixels of row y it clips
    } cases[] = {
        {"Mono8", 5, {5}},          {"Mono12", 5, {5}},          {"BayerRG12p", 6, {6}}, {"Mono10Packed", 3, {3}},
        {"RGB8", 3 * 4 + 1, {4}},   {"BGRa8", 4 * 2 + 3, {}},    {"YUV422_8", 2 * 4 + 1, {4, 5}},
        {"YUV422_8_UYVY", 4 + 3, {3}},
    };
    const uint32_t width = 12, height = 6, y = 3;
    imaging::RenderOptions options;
    options.markClipped = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const cam::PixelFormat& f = *cam::FindPixelFormat(c.format);
        Bytes b(cam::RowBytes(f, width) * height);
        for (uint32_t row = 0; row < height; ++row)
            for (uint64_t i = 0; i < SamplesPerRow(f, width); ++i)
                cam::WriteSample(f, b.data.get() + row * cam::RowBytes(f, width), i, (1u << f.bits) / 2 + i);
        cam::WriteSample(f, b.data.get() + y * cam::RowBytes(f, width), c.sample, (1u << f.bits) - 1);
        const imaging::Frame frame{b.data.get(), b.size, width, height, c.format};
        QImage image;
        ASSERT_TRUE(imaging::RenderView(frame, {0, 0, 2}, width * 2, height * 2, options, &image));
        for (uint32_t py = 0; py < height; ++py)
            for (uint32_t px = 0; px < width; ++px) {
                const bool clipped = py == y && std::find(c.pixels.begin(), c.pixels.end(), px) != c.pixels.end();
                EXPECT_EQ(image.pixel(int(px * 2 + 1), int(py * 2 + 1)) == options.clippedColour, clipped)
                    << px << "," << py;
            }
        // Zoomed out: the screen pixel covering it.
        ASSERT_TRUE(imaging::RenderView(frame, {0, 0, 0.5}, width / 2, height / 2, options, &image));
        for (uint32_t py = 0; py < height / 2; ++py)
            for (uint32_t px = 0; px < width / 2; ++px) {
                bool clipped = false;
                for (uint32_t p : c.pixels)
                    clipped = clipped || (py == y / 2 && px == p / 2);
                EXPECT_EQ(image.pixel(int(px), int(py)) == options.clippedColour, clipped) << px << "," << py;
            }
    }
}

TEST(Inspect, SharpnessIsTheHealthChecksMeasure)
{
    for (const cam::PixelFormat* f : AllFormats())
        for (const uint32_t width : {1u, 2u, 33u, 64u}) {
            SCOPED_TRACE(std::string(f->name) + " width " + std::to_string(width));
            const uint32_t height = 5;
            const Bytes b = RandomFrame(*f, width, height, width + 1);
            const imaging::Frame frame{b.data.get(), b.size, width, height, f->name};
            imaging::PictureStats stats;
            ASSERT_TRUE(stats.Add(frame));
            EXPECT_EQ(imaging::Sharpness(frame, QRect(0, 0, int(width), int(height))), stats.Summary().sharpness);
            EXPECT_EQ(imaging::Sharpness(frame, QRect(-5, -5, INT_MAX, INT_MAX)), stats.Summary().sharpness);
            // A rectangle: the same sum over its columns and rows only.
            const uint64_t spp = f->packing == cam::Packing::Byte ? uint64_t(f->bitsPerPixel / 8) : 1;
            const uint64_t period = f->sampling == cam::Sampling::Mono ? 1
                                    : f->sampling == cam::Sampling::Bayer ? 2
                                    : f->sampling == cam::Sampling::Yuv422 ? 4
                                                                           : spp;
            const QRect rect(width / 4 + 1, 1, width / 2 + 1, 3);
            std::vector<uint8_t> eight(width * spp);
            uint64_t sum = 0, pairs = 0;
            for (int y = rect.top(); y <= rect.bottom(); ++y) {
                const uint8_t* row = b.data.get() + uint64_t(y) * cam::RowBytes(*f, width);
                if (f->packing == cam::Packing::Byte)
                    std::copy(row, row + width * spp, eight.begin());
                else
                    imaging::TopEightBits(*f, row, eight.data(), width);
                const uint64_t first = uint64_t(rect.left()) * spp;
                const uint64_t last = std::min<uint64_t>(width, uint64_t(rect.right()) + 1) * spp;
                for (uint64_t i = first + period; i < last; ++i, ++pairs)
                    sum += uint64_t(std::abs(int(eight[i]) - int(eight[i - period])));
            }
            EXPECT_DOUBLE_EQ(imaging::Sharpness(frame, rect), pairs ? double(sum) / double(pairs) : 0);
        }
}

TEST(Inspect, BadInputNeverReadsOutsideTheFrame)
{
    const struct {
        const char* format;
        uint32_t width, height;
        int64_t lessBytes;  // < 0: a frame of 0 bytes
    } frames[] = {
        {"Mono8", 1, 1, 0},     {"BayerRG8", 65535, 1, 0}, {"Mono12p", 65535, 1, 0}, {"YUV422_8", 1, 1, 0},
        {"RGB8", 40, 30, -1},   {"BayerGR10p", 41, 31, 3}, {"BayerBG8", 1, 1, 0},    {"BGRa8", 17, 9, 1},
    };
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const struct {
        imaging::View view;
        bool drawn;  // a view that can be drawn, even if all of it is background
    } views[] = {
        {{0, 0, 1}, true},        {{-3.5, -2.25, 16}, true}, {{0, 0, 0.001}, true},     {{1e9, 1e9, 1}, true},
        {{-1e300, 1e300, 0.5}, true}, {{1e15, -1e15, 4}, true}, {{60000, 0, 0.37}, true}, {{nan, 0, 1}, false},
        {{0, inf, 1}, false},     {{0, 0, 0}, false},        {{0, 0, inf}, false},      {{0, 0, nan}, false},
        {{0, 0, -1}, false},      {{0, 0, 1e-300}, false},   {{-inf, 0, 2}, false},
    };
    imaging::RenderOptions options;
    options.markClipped = true;
    QImage image;
    imaging::Histogram h;
    for (const auto& fr : frames) {
        const cam::PixelFormat& f = *cam::FindPixelFormat(fr.format);
        const uint64_t full = cam::RowBytes(f, fr.width) * fr.height;
        Bytes b(fr.lessBytes < 0 ? 0 : full - uint64_t(fr.lessBytes));
        for (uint64_t i = 0; i < b.size; ++i)
            b.data[i] = uint8_t(i * 37);
        const imaging::Frame frame{b.data.get(), b.size, fr.width, fr.height, fr.format};
        SCOPED_TRACE(std::string(fr.format) + " " + std::to_string(fr.width) + "x" + std::to_string(fr.height) +
                     " in " + std::to_string(b.size) + " bytes");
        for (const auto& v : views) {
            SCOPED_TRACE(std::to_string(v.view.left) + "," + std::to_string(v.view.top) + " zoom " +
                         std::to_string(v.view.zoom));
            EXPECT_EQ(imaging::RenderView(frame, v.view, 37, 23, options, &image), v.drawn);
            EXPECT_EQ(imaging::RenderView(frame, v.view, 1, 1, options, &image), v.drawn);
        }
        EXPECT_FALSE(imaging::RenderView(frame, {0, 0, 1}, 0, 10, options, &image));
        EXPECT_FALSE(imaging::RenderView(frame, {0, 0, 1}, 10, 10, options, nullptr));
        EXPECT_TRUE(imaging::MakeHistogram(frame, 1, &h));
        EXPECT_TRUE(imaging::MakeHistogram(frame, UINT32_MAX, &h));
        for (const QRect& r : {QRect(0, 0, INT_MAX, INT_MAX), QRect(INT_MIN, INT_MIN, INT_MAX, INT_MAX),
                               QRect(QPoint(INT_MAX - 1, 0), QPoint(INT_MAX, 1)), QRect(5, 5, -3, -3)}) {
            const double s = imaging::Sharpness(frame, r);
            EXPECT_TRUE(s >= 0 && s <= 255) << s;
        }
        for (const uint32_t x : {0u, fr.width - 1, fr.width, UINT32_MAX})
            for (const uint32_t y : {0u, fr.height - 1, fr.height, UINT32_MAX}) {
                const imaging::SampleReadout r = imaging::ReadSamples(frame, x, y);
                const bool held = x < fr.width && y < fr.height && (uint64_t(y) + 1) * cam::RowBytes(f, fr.width) <= b.size;
                EXPECT_EQ(r.valid, held) << x << "," << y;
            }
    }
    // A frame with no bytes at all shows as black where the frame lies.
    const imaging::Frame empty{nullptr, 0, 8, 8, "Mono8"};
    ASSERT_TRUE(imaging::RenderView(empty, {-1, -1, 1}, 4, 4, {}, &image));
    EXPECT_EQ(image.pixel(0, 0), imaging::RenderOptions().background);
    EXPECT_EQ(image.pixel(2, 2), qRgb(0, 0, 0));
    EXPECT_FALSE(imaging::RenderView({nullptr, 0, 8, 8, "Mono9"}, {0, 0, 1}, 4, 4, {}, &image));
}

}  // namespace
