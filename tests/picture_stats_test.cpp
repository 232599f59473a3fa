// The health check's picture statistics against a plain count of each
// sample, in every way of sampling colour, with the vector kernels and
// without, at sizes that leave partial blocks; and whether frames change.
#include "platform/camera/campixel.h"
#include "platform/imaging/stats/PictureStats.h"
#include "platform/imaging/convert/PixelRows.h"
#include "platform/imaging/Simd.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

// Channel of sample i of row y, as a camera lays it out; empty for alpha.
std::string ChannelOf(const cam::PixelFormat& f, size_t i, uint64_t y)
{
    auto name = [](char c) { return c == 'R' ? "red" : c == 'G' ? "green" : c == 'B' ? "blue" : ""; };
    switch (f.sampling) {
    case cam::Sampling::Mono: return "grey";
    case cam::Sampling::Bayer: return name(cam::BayerColour(f, i, y));
    case cam::Sampling::Colour: return name(f.order[i % size_t(f.bitsPerPixel / 8)]);
    case cam::Sampling::Yuv422: return std::string(1, f.order[i % 4]);
    }
    return "";
}

TEST(PictureStats, MatchesAPlainCount)
{
    const struct {
        const char* format;
        uint32_t width, height;
    } cases[] = {
        {"Mono8", 1, 1},     {"Mono8", 1000, 9},   {"Mono8", 33, 5},      {"BayerGB8", 67, 4},
        {"BayerRG8", 2, 3},  {"Mono12p", 35, 3},   {"BayerBG16", 40, 2},  {"RGB8", 45, 3},
        {"BGRa8", 30, 3},    {"YUV422_8", 50, 3},  {"YUV422_8_UYVY", 9, 2}, {"Mono8", 9000, 2},
    };
    for (const bool vector : {true, false}) {
        imaging::SetVectorRows(vector);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.format) + (vector ? " vector" : " plain") + " " + std::to_string(c.width));
            const cam::PixelFormat& f = *cam::FindPixelFormat(c.format);
            const uint64_t rowBytes = cam::RowBytes(f, c.width);
            std::vector<uint8_t> frame(size_t(rowBytes) * c.height);
            std::mt19937 random(c.width);
            for (uint8_t& b : frame)  // many samples at both ends
                b = uint8_t(random() % 3 == 0 ? (random() & 1) * 255 : random());
            imaging::PictureStats stats;
            ASSERT_TRUE(stats.Add({frame.data(), frame.size(), c.width, c.height, c.format}));
            const imaging::PictureSummary summary = stats.Summary();

            struct Count {
                uint64_t n = 0, sum = 0, squares = 0, dark = 0, bright = 0;
                int low = 255, high = 0;
            };
            std::map<std::string, Count> expected;
            const bool eight = f.packing == cam::Packing::Byte;
            const size_t samples = eight ? size_t(c.width) * size_t(f.bitsPerPixel / 8) : c.width;
            uint64_t gradient = 0, pairs = 0;
            const size_t step = f.sampling == cam::Sampling::Mono ? 1 : f.sampling == cam::Sampling::Bayer ? 2
                                : f.sampling == cam::Sampling::Yuv422 ? 4 : size_t(f.bitsPerPixel / 8);
            for (uint64_t y = 0; y < c.height; ++y) {
                const uint8_t* row = frame.data() + y * rowBytes;
                std::vector<int> v(samples);
                for (size_t i = 0; i < samples; ++i)
                    v[i] = eight ? row[i] : int(cam::ReadSample(f, row, i) >> (f.bits - 8));
                for (size_t i = 0; i < samples; ++i) {
                    if (i >= step)
                        gradient += uint64_t(std::abs(v[i] - v[i - step])), ++pairs;
                    const std::string ch = ChannelOf(f, i, y);
                    if (ch.empty())
                        continue;
                    Count& e = expected[ch];
                    ++e.n, e.sum += v[i], e.squares += uint64_t(v[i] * v[i]);
                    e.dark += v[i] == 0, e.bright += v[i] == 255;
                    e.low = std::min(e.low, v[i]), e.high = std::max(e.high, v[i]);
                }
            }
            ASSERT_EQ(summary.channels.size(), expected.size());
            for (const imaging::ChannelStats& got : summary.channels) {
                SCOPED_TRACE(got.name);
                ASSERT_EQ(expected.count(got.name), 1u);
                const Count& e = expected[got.name];
                const double mean = double(e.sum) / double(e.n);
                EXPECT_EQ(got.samples, e.n);
                EXPECT_DOUBLE_EQ(got.mean, mean);
                EXPECT_NEAR(got.deviation, std::sqrt(double(e.squares) / double(e.n) - mean * mean), 1e-9);
                EXPECT_EQ(got.minimum, e.low);
                EXPECT_EQ(got.maximum, e.high);
                EXPECT_DOUBLE_EQ(got.dark, double(e.dark) / double(e.n));
                EXPECT_DOUBLE_EQ(got.bright, double(e.bright) / double(e.n));
            }
            EXPECT_DOUBLE_EQ(summary.sharpness, pairs ? double(gradient) / double(pairs) : 0);
        }
    }
    imaging::SetVectorRows(true);
}

// The same frame again is no change; a picture moved sideways by one pixel,
// whose sums stay the same, is one.
TEST(PictureStats, TellsWhetherFramesChange)
{
    const uint32_t width = 200, height = 4;
    std::vector<uint8_t> frame(width * height, 0);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 50; x < 60; ++x)
            frame[y * width + x] = 200;
    std::vector<uint8_t> moved(frame.size(), 0);
    for (size_t i = 1; i < moved.size(); ++i)
        moved[i] = frame[i - 1];
    imaging::PictureStats stats;
    for (const auto* f : {&frame, &frame, &moved, &moved, &frame})
        ASSERT_TRUE(stats.Add({f->data(), f->size(), width, height, "Mono8"}));
    EXPECT_EQ(stats.Summary().frames, 5u);
    EXPECT_EQ(stats.Summary().changed, 2u);
    EXPECT_FALSE(stats.Add({frame.data(), frame.size(), width, height, "Foo"}));
}

// Every instruction-set family the processor has gives the plain loops'
// figures exactly, whatever a row leaves past whole vectors, over rows long
// enough to empty the kernels' narrow counters more than once, and with
// every sample at its maximum (the largest sums those counters take).
TEST(PictureStats, EveryFamilyMatchesThePlainLoops)
{
    enum Fill { kNoise, kMaximum, kZero };
    const struct {
        const char* format;
        uint32_t width, height;
        Fill fill;
    } cases[] = {
        {"Mono8", 63, 3, kNoise},         {"Mono8", 129, 4, kNoise},      {"Mono8", 40000, 2, kMaximum},
        {"Mono8", 40001, 2, kNoise},      {"BayerRG8", 64, 2, kNoise},    {"BayerGB8", 131, 5, kNoise},
        {"BayerRG8", 20000, 3, kMaximum}, {"RGB8", 21, 2, kNoise},        {"RGB8", 65, 3, kNoise},
        {"RGB8", 200, 3, kNoise},         {"RGB8", 17000, 2, kMaximum},   {"BGR8", 17001, 2, kNoise},
        {"BGRa8", 47, 3, kNoise},         {"RGBa8", 5000, 2, kMaximum},   {"YUV422_8", 33, 2, kNoise},
        {"YUV422_8", 9001, 2, kMaximum},  {"YUV422_8_UYVY", 130, 3, kNoise}, {"Mono16", 70, 3, kNoise},
        {"Mono12p", 101, 3, kNoise},      {"Mono12p", 20000, 2, kMaximum}, {"BayerRG12p", 98, 4, kNoise},
        {"Mono8", 300, 2, kZero},         {"RGB8", 300, 2, kZero},
    };
    for (const auto& c : cases) {
        const cam::PixelFormat& f = *cam::FindPixelFormat(c.format);
        std::vector<uint8_t> frame(size_t(cam::RowBytes(f, c.width)) * c.height);
        std::mt19937 random(c.width);
        for (uint8_t& b : frame)
            b = c.fill == kMaximum ? 255 : c.fill == kZero ? 0 : uint8_t(random() % 3 == 0 ? (random() & 1) * 255 : random());
        std::vector<uint8_t> moved(frame.size(), 0);  // one byte to the right
        std::copy(frame.begin(), frame.end() - 1, moved.begin() + 1);
        auto summarise = [&](imaging::Simd family) {
            imaging::SetSimd(family);
            imaging::PictureStats stats;
            for (const auto* data : {&frame, &frame, &moved})
                EXPECT_TRUE(stats.Add({data->data(), data->size(), c.width, c.height, c.format}));
            return stats.Summary();
        };
        const imaging::PictureSummary plain = summarise(imaging::Simd::Plain);
        for (const imaging::Simd family : imaging::ProcessorFamilies()) {
            SCOPED_TRACE(std::string(c.format) + " " + std::to_string(c.width) + " " + imaging::SimdName(family));
            const imaging::PictureSummary got = summarise(family);
            EXPECT_EQ(got.sharpness, plain.sharpness);
            EXPECT_EQ(got.frames, plain.frames);
            EXPECT_EQ(got.changed, plain.changed);
            ASSERT_EQ(got.channels.size(), plain.channels.size());
            for (size_t i = 0; i < got.channels.size(); ++i) {
                const imaging::ChannelStats &a = got.channels[i], &b = plain.channels[i];
                SCOPED_TRACE(b.name);
                EXPECT_EQ(a.name, b.name);
                EXPECT_EQ(a.samples, b.samples);
                EXPECT_EQ(a.mean, b.mean);
                EXPECT_EQ(a.deviation, b.deviation);
                EXPECT_EQ(a.minimum, b.minimum);
                EXPECT_EQ(a.maximum, b.maximum);
                EXPECT_EQ(a.dark, b.dark);
                EXPECT_EQ(a.bright, b.bright);
            }
        }
    }
    imaging::SetSimd(imaging::DefaultSimd());
}

}  // namespace
