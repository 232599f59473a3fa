// Pixel-format conversion: hand-made frames with known display pixels (packed
// layouts bit by bit, Bayer by the bilinear rule, YUV by its matrix), every
// format with vector instructions and without, payloads one byte short,
// Bayer against OpenCV, and frames kept at full depth.
#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"
#include "platform/imaging/files/PictureData.h"
#include "platform/imaging/convert/PixelConvert.h"
#include "platform/imaging/convert/PixelRows.h"
#include "platform/imaging/Simd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#ifdef TARVIK_HAVE_OPENCV
#include <opencv2/imgproc.hpp>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

// The frame converted, rows of width * 3 bytes one after another; the source
// sits in a heap block of exactly its size, so that an over-read is caught.
Bytes Convert(const Bytes& frame, uint32_t width, uint32_t height, const char* format, uint64_t* rows = nullptr,
              int threads = 1)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[frame.size()]);
    std::copy(frame.begin(), frame.end(), exact.get());
    Bytes out(size_t(width) * 3 * height, 0xEE);
    const uint64_t n = imaging::ConvertFrame({exact.get(), frame.size(), width, height, format}, out.data(),
                                        ptrdiff_t(width) * 3, threads);
    if (rows)
        *rows = n;
    return out;
}

struct HandCase {
    const char* name;
    const char* format;
    uint32_t width, height;
    Bytes frame;
    Bytes expected;  // blue, green, red, row after row
};

void PrintTo(const HandCase& c, std::ostream* os) { *os << c.name; }

Bytes Grey(std::initializer_list<uint8_t> levels)
{
    Bytes out;
    for (uint8_t v : levels)
        out.insert(out.end(), {v, v, v});
    return out;
}

// A 3 x 3 mosaic: R G R / G B G / R G R for BayerRG. Each missing colour is
// the rounded average of that colour's samples among the neighbours inside.
const Bytes kMosaic = {10, 20, 30, 40, 50, 60, 70, 80, 90};
const Bytes kMosaicRg = {50, 30, 10, 50, 20, 20, 50, 40, 30,  //
                         50, 40, 40, 50, 50, 50, 50, 60, 60,  //
                         50, 60, 70, 50, 80, 80, 50, 70, 90};

Bytes SwapRedBlue(Bytes bgr)
{
    for (size_t i = 0; i + 2 < bgr.size(); i += 3)
        std::swap(bgr[i], bgr[i + 2]);
    return bgr;
}

const HandCase kHandCases[] = {
    {"Mono10 words", "Mono10", 3, 1, {0xFF, 0x03, 0x00, 0x02, 0x34, 0x01}, Grey({255, 128, 77})},
    {"Mono12 ignores bits above 12", "Mono12", 1, 1, {0xBC, 0xFA}, Grey({0xAB})},
    {"Mono14", "Mono14", 2, 1, {0xFF, 0x3F, 0x00, 0x20}, Grey({255, 128})},
    {"Mono16", "Mono16", 1, 1, {0x34, 0x12}, Grey({0x12})},
    // 0x3FF, 0x000, 0x155, 0x2AA packed least significant bits first.
    {"Mono10p", "Mono10p", 4, 1, {0xFF, 0x03, 0x50, 0x95, 0xAA}, Grey({255, 0, 85, 170})},
    // 0xABC, 0x123: low byte, both half bytes, high byte.
    {"Mono12p", "Mono12p", 2, 1, {0xBC, 0x3A, 0x12}, Grey({0xAB, 0x12})},
    // The same two values, high bits in bytes 0 and 2.
    {"Mono12Packed", "Mono12Packed", 2, 1, {0xAB, 0x3C, 0x12}, Grey({0xAB, 0x12})},
    // 0x3FD, 0x102.
    {"Mono10Packed", "Mono10Packed", 2, 1, {0xFF, 0x21, 0x40}, Grey({0xFF, 0x40})},
    {"Mono12p odd width", "Mono12p", 3, 1, {0xBC, 0x3A, 0x12, 0xFF, 0x0F}, Grey({0xAB, 0x12, 0xFF})},
    {"RGB8", "RGB8", 2, 1, {1, 2, 3, 4, 5, 6}, {3, 2, 1, 6, 5, 4}},
    {"RGB8Packed", "RGB8Packed", 1, 1, {1, 2, 3}, {3, 2, 1}},
    {"BGR8", "BGR8", 1, 1, {1, 2, 3}, {1, 2, 3}},
    {"RGBa8", "RGBa8", 2, 1, {1, 2, 3, 9, 4, 5, 6, 9}, {3, 2, 1, 6, 5, 4}},
    {"BGRa8", "BGRa8", 1, 1, {1, 2, 3, 9}, {1, 2, 3}},
    {"Bayer RG", "BayerRG8", 3, 3, kMosaic, kMosaicRg},
    {"Bayer BG", "BayerBG8", 3, 3, kMosaic, SwapRedBlue(kMosaicRg)},
    // The same samples at 12 bits, in each packing.
    {"Bayer RG 12", "BayerRG12", 3, 3, {160, 0, 64, 1, 224, 1, 128, 2, 32, 3, 192, 3, 96, 4, 0, 5, 160, 5},
     kMosaicRg},
    {"Bayer RG 12Packed", "BayerRG12Packed", 3, 3, {10, 0, 20, 30, 0, 40, 0, 50, 60, 0, 70, 0, 80, 90, 0},
     kMosaicRg},
    {"YUV limited range black and white", "YCbCr601_422_8", 2, 1, {16, 128, 235, 128}, Grey({0, 255})},
    {"YUV full range grey", "YUV422_8_UYVY", 2, 1, {128, 0, 128, 255}, Grey({0, 255})},
    // The last pixel has no pair: V comes from the pair before it.
    {"YUV odd width", "YUV422_8", 3, 1, {128, 128, 128, 128, 255, 128}, Grey({128, 128, 255})},
};

class HandMade : public ::testing::TestWithParam<HandCase> {
protected:
    void TearDown() override { imaging::SetVectorRows(true); }
};

TEST_P(HandMade, KnownPixels)
{
    const HandCase& c = GetParam();
    for (bool vector : {true, false}) {
        imaging::SetVectorRows(vector);
        uint64_t rows = 0;
        EXPECT_EQ(Convert(c.frame, c.width, c.height, c.format, &rows), c.expected) << "vector " << vector;
        EXPECT_EQ(rows, c.height);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, HandMade, ::testing::ValuesIn(kHandCases), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return name;
});

// YUV by its matrix over a grid of Y, U and V, within one level of the exact
// result, with and without vector instructions (a row long enough for both).
TEST(Conversion, YuvMatrices)
{
    for (const char* format : {"YUV422_8", "YCbCr601_422_8_CbYCrY"}) {
        const cam::PixelFormat& f = *cam::FindPixelFormat(format);
        const bool limited = f.matrix == cam::Matrix::LimitedRange601, uyvy = f.order[0] == 'U';
        Bytes frame;
        std::vector<std::array<double, 3>> expected;
        for (int y = 0; y < 256; y += 3)
            for (int u = 0; u < 256; u += 17)
                for (int v = 0; v < 256; v += 15) {
                    const Bytes pair = uyvy ? Bytes{uint8_t(u), uint8_t(y), uint8_t(v), uint8_t(y)}
                                            : Bytes{uint8_t(y), uint8_t(u), uint8_t(y), uint8_t(v)};
                    frame.insert(frame.end(), pair.begin(), pair.end());
                    const double yy = limited ? (y - 16) * 255.0 / 219 : y;
                    const double s = limited ? 255.0 / 224 : 1.0, uu = (u - 128) * s, vv = (v - 128) * s;
                    const std::array<double, 3> bgr = {yy + 1.772 * uu, yy - 0.344136 * uu - 0.714136 * vv,
                                                       yy + 1.402 * vv};
                    expected.push_back(bgr);
                    expected.push_back(bgr);
                }
        const uint32_t width = uint32_t(expected.size());
        for (bool vector : {true, false}) {
            imaging::SetVectorRows(vector);
            const Bytes out = Convert(frame, width, 1, format);
            int worst = 0;
            for (size_t i = 0; i < expected.size(); ++i)
                for (int c = 0; c < 3; ++c)
                    worst = std::max(worst, std::abs(out[3 * i + c] - int(std::lround(std::clamp(expected[i][c], 0.0, 255.0)))));
            EXPECT_LE(worst, 1) << format << " vector " << vector;
        }
    }
    imaging::SetVectorRows(true);
}

// Every format: the vector and plain conversions give the same bytes, on
// odd sizes wide enough for whole vector steps and their remainders; a
// payload one byte short loses exactly its last row, and nothing past it is read.
TEST(Conversion, EveryFormat)
{
    int count = 0;
    const cam::PixelFormat* formats = cam::PixelFormats(&count);
    for (int i = 0; i < count; ++i) {
        const cam::PixelFormat& f = formats[i];
        for (uint32_t width : {101u, 7u}) {
            const uint32_t height = 9;
            Bytes frame(size_t(cam::RowBytes(f, width)) * height);
            cam::RenderSimFrame(frame.data(), frame.size(), width, height, f.name, 0);
            imaging::SetVectorRows(false);
            const Bytes plain = Convert(frame, width, height, f.name);
            imaging::SetVectorRows(true);
            uint64_t rows = 0;
            EXPECT_EQ(Convert(frame, width, height, f.name, &rows), plain) << f.name << " " << width;
            EXPECT_EQ(rows, height);
            frame.pop_back();
            const Bytes shorter = Convert(frame, width, height, f.name, &rows);
            EXPECT_EQ(rows, height - 1) << f.name;
            // Rows not next to the missing one are as before.
            const size_t kept = size_t(width) * 3 * (height - 2);
            EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + kept, shorter.begin())) << f.name;
        }
    }
    EXPECT_FALSE(imaging::CanShow("YUV411_8_UYYVYY"));
    EXPECT_FALSE(imaging::CanShow(nullptr));
}

// Rows split between threads give the same bytes as one thread, whatever
// the split: heights that leave an odd band, fewer rows than threads, a
// payload cut short.
TEST(Conversion, SplitBetweenThreadsIsTheSame)
{
    int count = 0;
    const cam::PixelFormat* formats = cam::PixelFormats(&count);
    for (int i = 0; i < count; ++i) {
        const cam::PixelFormat& f = formats[i];
        if (!imaging::CanShow(f.name))
            continue;
        for (const uint32_t height : {1u, 2u, 3u, 9u, 10u}) {
            const uint32_t width = 37;
            Bytes frame(size_t(cam::RowBytes(f, width)) * height);
            cam::RenderSimFrame(frame.data(), frame.size(), width, height, f.name, 0);
            for (const bool cut : {false, true}) {
                if (cut)
                    frame.resize(frame.size() - frame.size() / 3);
                uint64_t oneRows = 0, rows = 0;
                const Bytes one = Convert(frame, width, height, f.name, &oneRows);
                for (const int threads : {2, 3, 8}) {
                    EXPECT_EQ(Convert(frame, width, height, f.name, &rows, threads), one)
                        << f.name << " height " << height << " threads " << threads << (cut ? " cut" : "");
                    EXPECT_EQ(rows, oneRows) << f.name;
                }
            }
        }
    }
}

// Bands of rows over threads, with each instruction-set family's kernels,
// give the plain loops' bytes on one thread: rows wide enough for the
// vector steps and their tails, and frames large enough that the image is
// written past the caches (streamed stores start each band's rows).
TEST(Conversion, EveryFamilySplitsLikeThePlainLoops)
{
    const struct {
        const char* format;
        uint32_t width, height;
    } cases[] = {
        {"Mono8", 301, 7},          {"Mono12p", 301, 7},      {"BayerRG8", 301, 9},  {"BayerGB12p", 302, 6},
        {"RGB8", 301, 5},           {"BGRa8", 301, 5},        {"YUV422_8", 301, 7},  {"YUV422_8_UYVY", 302, 5},
        {"BayerRG8", 2400, 2400},
    };
    for (const auto& c : cases) {
        const cam::PixelFormat& f = *cam::FindPixelFormat(c.format);
        Bytes frame(size_t(cam::RowBytes(f, c.width)) * c.height);
        std::mt19937 random(c.width + c.height);
        for (uint8_t& b : frame)
            b = uint8_t(random());
        imaging::SetSimd(imaging::Simd::Plain);
        const Bytes one = Convert(frame, c.width, c.height, c.format);
        for (const imaging::Simd family : imaging::ProcessorFamilies()) {
            imaging::SetSimd(family);
            for (const int threads : {1, 2, 3}) {
                SCOPED_TRACE(std::string(c.format) + " " + std::to_string(c.width) + " x " + std::to_string(c.height) +
                             " " + imaging::SimdName(family) + " threads " + std::to_string(threads));
                EXPECT_TRUE(Convert(frame, c.width, c.height, c.format, nullptr, threads) == one);
            }
        }
    }
    imaging::SetSimd(imaging::DefaultSimd());
}

// Frames too small to repay a thread stay on one; large ones take the
// cores, never more than 8.
TEST(Conversion, WaitedThreadsFollowTheFrameSize)
{
    const int cores = int(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    const struct {
        uint32_t width, height;
        int threads;
    } cases[] = {
        {640, 480, 1}, {1024, 1023, 1}, {1024, 2048, std::min(cores, 2)}, {5472, 3648, std::min(cores, 19)},
        {0, 0, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(imaging::WaitedThreads({nullptr, 0, c.width, c.height, "Mono8"}), c.threads)
            << c.width << " x " << c.height;
}

#ifdef TARVIK_HAVE_OPENCV
// Inside its border, the demosaic equals OpenCV's bilinear one, in each of the
// four orders (OpenCV names an order by its second row); no border pixel is
// black where the mosaic is bright.
TEST(Conversion, BayerAsOpenCv)
{
    const struct {
        const char* format;
        int code;
    } cases[] = {{"BayerRG8", cv::COLOR_BayerBG2BGR}, {"BayerGR8", cv::COLOR_BayerGB2BGR},
                 {"BayerGB8", cv::COLOR_BayerGR2BGR}, {"BayerBG8", cv::COLOR_BayerRG2BGR}};
    const int w = 131, h = 37;
    std::mt19937 random(3);
    Bytes mosaic(size_t(w) * h);
    for (uint8_t& b : mosaic)
        b = uint8_t(64 + random() % 192);
    for (const auto& c : cases) {
        for (bool vector : {true, false}) {
            imaging::SetVectorRows(vector);
            const Bytes ours = Convert(mosaic, w, h, c.format);
            cv::Mat reference;
            cv::cvtColor(cv::Mat(h, w, CV_8UC1, mosaic.data()), reference, c.code);
            int worst = 0, blackEdges = 0;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    for (int ch = 0; ch < 3; ++ch) {
                        const int v = ours[(size_t(y) * w + x) * 3 + ch];
                        if (x == 0 || y == 0 || x == w - 1 || y == h - 1)
                            blackEdges += v == 0;
                        else
                            worst = std::max(worst, std::abs(v - reference.at<cv::Vec3b>(y, x)[ch]));
                    }
            EXPECT_LE(worst, 1) << c.format << " vector " << vector;
            EXPECT_EQ(blackEdges, 0) << c.format;
        }
    }
    imaging::SetVectorRows(true);
}
#endif

// Frames deeper than 8 bits keep every bit, shifted up to 16: grey for Mono,
// red, green, blue for Bayer; 8-bit formats have no deep picture.
TEST(Conversion, DeepPictures)
{
    const Bytes mono = {0xBC, 0x0A, 0x23, 0x01};  // Mono12: 0xABC, 0x123
    const imaging::Picture grey = imaging::DeepPicture({mono.data(), mono.size(), 2, 1, "Mono12"});
    ASSERT_FALSE(grey.IsNull());
    ASSERT_EQ(grey.data()->format, QImage::Format_Grayscale16);
    const auto* g = reinterpret_cast<const uint16_t*>(grey.data()->Row(0));
    EXPECT_EQ(g[0], 0xABC0);
    EXPECT_EQ(g[1], 0x1230);

    const Bytes bayer = {10, 0, 20, 30, 0, 40, 0, 50, 60, 0, 70, 0, 80, 90, 0};  // kMosaic, 12Packed
    const imaging::Picture colour = imaging::DeepPicture({bayer.data(), bayer.size(), 3, 3, "BayerRG12Packed"});
    ASSERT_FALSE(colour.IsNull());
    ASSERT_EQ(colour.data()->format, QImage::Format_RGBX64);
    EXPECT_EQ(colour.BitsPerSample(), 16);
    for (int y = 0; y < 3; ++y) {
        const auto* rgbx = reinterpret_cast<const uint16_t*>(colour.data()->Row(y));
        for (int x = 0; x < 3; ++x)
            for (int c = 0; c < 3; ++c)  // red, green, blue against blue, green, red
                EXPECT_EQ(rgbx[4 * x + c], kMosaicRg[(3 * y + x) * 3 + 2 - c] << 8) << x << "," << y;
    }
    EXPECT_TRUE(imaging::DeepPicture({mono.data(), mono.size(), 2, 1, "Mono8"}).IsNull());
}

}  // namespace
