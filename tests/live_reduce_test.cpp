// The live path: frames reduced straight from the camera's format, against
// the two-step path (converted at full size, then fitted by the halftone
// stretch), for every pixel format.
#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"
#include "platform/imaging/display/Halftone.h"
#include "platform/imaging/live/LiveReduce.h"
#include "platform/imaging/convert/PixelRows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

// Mean absolute difference, over every sample, of the live path's picture
// and the two-step path's at the same size.
double Difference(const std::vector<uint8_t>& bytes, const cam::PixelFormat& format, uint32_t width,
                  uint32_t height, uint32_t k)
{
    const imaging::Frame frame{bytes.data(), bytes.size(), width, height, format.name};
    std::vector<uint8_t> full(size_t(width) * 3 * height);
    imaging::ConvertFrame(frame, full.data(), ptrdiff_t(width) * 3);
    const int w = int(width / k), h = int(height / k);
    std::vector<uint32_t> fitted(size_t(w) * h);
    imaging::HalftoneStretch({full.data(), ptrdiff_t(width) * 3, int(width), int(height)}, fitted.data(), w, h, w);
    imaging::DisplayImage live;
    EXPECT_TRUE(imaging::ReduceFrame(frame, k, live)) << format.name;
    EXPECT_EQ(live.GetWidth(), w);
    EXPECT_EQ(live.GetHeight(), h);
    double sum = 0;
    for (int y = 0; y < h && live.GetHeight() == h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = live.GetBits() + ptrdiff_t(y) * live.GetPitch() + 3 * x;
            const uint32_t q = fitted[size_t(y) * w + x];
            for (int c = 0; c < 3; ++c)
                sum += std::abs(int(p[c]) - int((q >> (8 * c)) & 255));
        }
    return sum / (3.0 * w * h);
}

// Within 1.5 levels on the simulated picture and on noise, in every format:
// for Bayer mosaics the block sums weigh the samples just outside each block
// as the demosaic does, without a demosaic.
TEST(LiveReduce, CloseToTheTwoStepPath)
{
    int count = 0;
    const cam::PixelFormat* formats = cam::PixelFormats(&count);
    const uint32_t width = 960, height = 640;
    for (int i = 0; i < count; ++i) {
        const cam::PixelFormat& format = formats[i];
        std::vector<uint8_t> picture(size_t(cam::RowBytes(format, width)) * height);
        cam::RenderSimFrame(picture.data(), picture.size(), width, height, format.name, 3);
        std::vector<uint8_t> noise(picture.size());
        std::mt19937 random{unsigned(i)};
        for (uint8_t& b : noise)
            b = uint8_t(random());
        for (const uint32_t k : {4u, 10u}) {
            EXPECT_LE(Difference(picture, format, width, height, k), 1.5) << format.name << " k=" << k;
            EXPECT_LE(Difference(noise, format, width, height, k), 1.5) << format.name << " k=" << k;
        }
    }
}

// The block side: the reduced picture stays at least the target's size,
// whole colour filters in each block, no reduction when it would not be one.
TEST(LiveReduce, BlockSide)
{
    const struct {
        const char* format;
        uint32_t width, height, targetWidth, targetHeight, k;
    } cases[] = {
        {"Mono8", 5472, 3648, 606, 404, 9},   {"BayerRG8", 5472, 3648, 606, 404, 8},
        {"YUV422_8", 5472, 3648, 606, 404, 9}, {"RGB8", 5472, 3648, 300, 404, 9},
        {"Mono8", 1292, 964, 606, 452, 2},     {"BayerRG8", 1000, 700, 606, 404, 1},
        {"Mono8", 640, 480, 0, 0, 1},          {"Foo", 5472, 3648, 606, 404, 1},
        {"Mono8", 100000, 100000, 10, 10, 256},
    };
    for (const auto& c : cases)
        EXPECT_EQ(imaging::LiveBlock(c.format, c.width, c.height, c.targetWidth, c.targetHeight), c.k) << c.format;
}

// Rows a short frame does not hold are black, as in the full-size copy, and
// no byte of the image is left as it was.
TEST(LiveReduce, ShortFrameAndEveryByteWritten)
{
    std::vector<uint8_t> grey(64 * 40, 200);
    imaging::DisplayImage image;
    ASSERT_TRUE(image.Create(16, 10, 24));
    for (int y = 0; y < 10; ++y)
        std::memset(image.GetBits() + ptrdiff_t(y) * image.GetPitch(), 0x5a, size_t(-image.GetPitch()));
    const imaging::Frame half{grey.data(), 64 * 20, 64, 40, "Mono8"};  // 20 of 40 rows
    ASSERT_TRUE(imaging::ReduceFrame(half, 4, image));
    for (int y = 0; y < 10; ++y) {
        const uint8_t* row = image.GetBits() + ptrdiff_t(y) * image.GetPitch();
        for (int x = 0; x < -image.GetPitch(); ++x)
            ASSERT_EQ(row[x], x < 48 ? (y < 5 ? 200 : 0) : 0) << y << " " << x;
    }
    EXPECT_FALSE(imaging::ReduceFrame(half, 1, image));
    EXPECT_FALSE(imaging::ReduceFrame({grey.data(), grey.size(), 64, 40, "BayerRG8"}, 3, image));  // odd
    EXPECT_FALSE(imaging::ReduceFrame({grey.data(), grey.size(), 64, 40, "Foo"}, 4, image));
}

// The vector kernels give the very picture the plain loops give, whatever
// the row's length leaves for the plain tail; packed samples, added
// straight from the frame, give the picture of the 8-bit format of their
// top 8 bits.
TEST(LiveReduce, VectorKernelsAndPackedSamples)
{
    const struct {
        const char* format;
        const char* eightBitTwin;  // null: none
    } cases[] = {{"BayerRG8", nullptr}, {"BayerGB8", nullptr}, {"Mono12p", "Mono8"},
                 {"BayerRG12p", "BayerRG8"}, {"BayerGB12p", "BayerGB8"}, {"Mono10p", "Mono8"},
                 {"Mono12Packed", "Mono8"}};
    auto bytesOf = [](const imaging::DisplayImage& image) {
        const uint8_t* first = image.GetBits() + (image.GetHeight() - 1) * image.GetPitch();
        return std::vector<uint8_t>(first, first + size_t(-image.GetPitch()) * size_t(image.GetHeight()));
    };
    for (const auto& c : cases)
        for (const uint32_t width : {960u, 1002u, 38u})
            for (const uint32_t k : {4u, 8u, 10u}) {
                const cam::PixelFormat& format = *cam::FindPixelFormat(c.format);
                const uint32_t height = 40;
                const size_t rowBytes = size_t(cam::RowBytes(format, width));
                std::vector<uint8_t> frame(rowBytes * height);
                std::mt19937 random{width + k};
                for (uint8_t& b : frame)
                    b = uint8_t(random());
                const std::string where = std::string(c.format) + " width " + std::to_string(width) + " k " +
                                          std::to_string(k);
                imaging::DisplayImage image;
                std::vector<uint8_t> pictures[2];
                for (const bool vector : {true, false}) {
                    imaging::SetVectorRows(vector);
                    EXPECT_TRUE(imaging::ReduceFrame({frame.data(), frame.size(), width, height, c.format}, k, image));
                    imaging::SetVectorRows(true);
                    pictures[vector] = bytesOf(image);
                }
                EXPECT_EQ(pictures[true], pictures[false]) << where;
                if (!c.eightBitTwin)
                    continue;
                std::vector<uint8_t> eight(size_t(width) * height);
                for (uint32_t y = 0; y < height; ++y)
                    imaging::TopEightBits(format, frame.data() + y * rowBytes, eight.data() + size_t(y) * width, width);
                ASSERT_TRUE(imaging::ReduceFrame({eight.data(), eight.size(), width, height, c.eightBitTwin}, k, image));
                EXPECT_EQ(pictures[true], bytesOf(image)) << where;
            }
}

// Bands reduced by the vector kernels (which take only some block sides,
// and only bands the frame holds whole, with the rows around them for
// Bayer mosaics) give the plain loops' picture: every colour filter, YUV
// byte order and range, grey samples of 8 and 16 bits, 12 bits in 16 (every
// bit set in some: the ones above the 12 are not the picture's), packed,
// red, green, blue in either order and 3 or 4 bytes,
// every side up to 32, rows whose length leaves
// partial vectors, blocks that end at the frame's right edge or short of
// it, frames cut short.
TEST(LiveReduce, BandsOfEverySide)
{
    auto bytesOf = [](const imaging::DisplayImage& image) {
        const uint8_t* first = image.GetBits() + (image.GetHeight() - 1) * image.GetPitch();
        return std::vector<uint8_t>(first, first + size_t(-image.GetPitch()) * size_t(image.GetHeight()));
    };
    auto expectSame = [&](const imaging::Frame& frame, uint32_t k, const std::string& where) {
        imaging::DisplayImage image;
        std::vector<uint8_t> pictures[2];
        for (const bool vector : {true, false}) {
            imaging::SetVectorRows(vector);
            EXPECT_TRUE(imaging::ReduceFrame(frame, k, image));
            imaging::SetVectorRows(true);
            pictures[vector] = bytesOf(image);
        }
        EXPECT_EQ(pictures[true], pictures[false]) << where;
    };
    for (const char* format : {"BayerRG8", "BayerGR8", "BayerBG8", "BayerGB8", "YUV422_8", "YUV422_8_UYVY",
                               "YCbCr601_422_8", "YCbCr601_422_8_CbYCrY", "Mono8", "Mono12", "Mono16", "Mono10p",
                               "Mono12p", "Mono12Packed", "RGB8", "BGR8", "RGBa8", "BGRa8"}) {
        const cam::PixelFormat& f = *cam::FindPixelFormat(format);
        const bool bayer = f.sampling == cam::Sampling::Bayer;
        for (uint32_t k = 2; k <= 32; k += bayer ? 2 : 1)
            for (const uint32_t width : {5 * k, 5 * k + 1, 1002u, 2051u}) {
                const uint32_t height = 3 * k + 3;
                const size_t rowBytes = size_t(cam::RowBytes(f, width));
                std::vector<uint8_t> frame(rowBytes * height);
                std::mt19937 random{width * k};
                for (uint8_t& b : frame)
                    b = uint8_t(random());
                const std::string where =
                    std::string(format) + " k " + std::to_string(k) + " width " + std::to_string(width);
                for (const size_t held : {frame.size(), rowBytes * (2 * k + 1) - 1})
                    expectSame({frame.data(), held, width, height, format}, k, where);
                // Every sample at its largest: the sums at their largest.
                if (width == 1002) {
                    std::fill(frame.begin(), frame.end(), uint8_t(255));
                    expectSame({frame.data(), frame.size(), width, height, format}, k, where + " all 255");
                }
            }
    }
}

}  // namespace
