// The display image's layout and its refusal of sizes it cannot hold.
#include "platform/imaging/display/DisplayImage.h"
#include "platform/imaging/convert/PixelRows.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace {

using imaging::DisplayImage;

// Rows are padded to 4 bytes; the top row is the last in memory, so the pitch is negative.
TEST(DisplayImage, LayoutForSmallWidths)
{
    const int expectedRowBytes[] = {4, 8, 12, 12, 16, 20, 24, 24};
    for (int width = 1; width <= 8; ++width) {
        DisplayImage image;
        ASSERT_TRUE(image.Create(width, 3, 24));
        const int rowBytes = expectedRowBytes[width - 1];
        EXPECT_EQ(image.GetPitch(), -rowBytes) << width;
        EXPECT_EQ(image.GetWidth(), width);
        EXPECT_EQ(image.GetHeight(), 3);
        const uint8_t* base = static_cast<const uint8_t*>(image.GetBitmap());
        EXPECT_EQ(static_cast<const DisplayImage&>(image).GetBits(), base + 2 * rowBytes) << width;
        for (int i = 0; i < 3 * rowBytes; ++i)
            ASSERT_EQ(base[i], 0) << "not zero-filled at " << i;
    }
}

// Sizes that cannot be held fail and keep the bitmap the image had.
TEST(DisplayImage, FailuresKeepWhatWasHeld)
{
    const struct {
        int width, height, bpp;
        uint32_t flags;
    } bad[] = {
        {0, 5, 24, 0},       {5, 0, 24, 0},      {-1, 5, 24, 0},      {5, -1, 24, 0},
        {5, 5, 32, 0},       {5, 5, 24, 1},      {65535, 65535, 24, 0}, {INT_MAX, 1, 24, 0},
        {1, INT_MAX, 24, 0}, {INT_MAX, INT_MAX, 24, 0},
    };
    DisplayImage image;
    ASSERT_TRUE(image.Create(4, 2, 24));
    const void* bitmap = image.GetBitmap();
    for (const auto& c : bad) {
        EXPECT_FALSE(image.Create(c.width, c.height, c.bpp, c.flags)) << c.width << "x" << c.height;
        EXPECT_EQ(image.GetBitmap(), bitmap);
        EXPECT_EQ(image.GetWidth(), 4);
        EXPECT_EQ(image.GetPitch(), -12);
    }
    DisplayImage empty;
    EXPECT_FALSE(empty.Create(0, 0, 24));
    EXPECT_TRUE(empty.IsNull());
    EXPECT_EQ(empty.GetBits(), nullptr);
}

// Destroy empties the image and may be called on an empty one.
TEST(DisplayImage, Destroy)
{
    DisplayImage image;
    image.Destroy();
    EXPECT_TRUE(image.IsNull());
    ASSERT_TRUE(image.Create(10, 10, 24));
    const uint64_t generation = image.Generation();
    image.Destroy();
    EXPECT_TRUE(image.IsNull());
    EXPECT_EQ(image.GetWidth(), 0);
    EXPECT_EQ(image.GetPitch(), 0);
    EXPECT_GT(image.Generation(), generation);
}

// The largest accepted image is bounded by the documented limit.
TEST(DisplayImage, LimitIsExact)
{
    DisplayImage image;
    const int width = 4096;  // rows of 12288 bytes
    const int rows = static_cast<int>(DisplayImage::kMaxBytes / 12288);
    EXPECT_TRUE(image.Create(width, rows, 24));
    EXPECT_FALSE(image.Create(width, rows + 1, 24));
}

}  // namespace

namespace {

// Recreate gives the same result as Destroy then Create, reusing memory of the same size.
TEST(DisplayImage, Recreate)
{
    DisplayImage image;
    ASSERT_TRUE(image.Recreate(6, 2));  // from empty: 20-byte rows
    EXPECT_EQ(image.GetPitch(), -20);
    ASSERT_TRUE(image.Recreate(5, 2));  // 16-byte rows
    EXPECT_EQ(image.GetPitch(), -16);
    EXPECT_EQ(image.GetWidth(), 5);
    ASSERT_TRUE(image.Recreate(4, 2));  // 12-byte rows: another size
    EXPECT_EQ(image.GetPitch(), -12);
    const uint64_t generation = image.Generation();
    const void* bitmap = image.GetBitmap();
    ASSERT_TRUE(image.Recreate(4, 2));
    EXPECT_EQ(image.GetBitmap(), bitmap) << "same size must reuse the memory";
    EXPECT_GT(image.Generation(), generation);
    EXPECT_FALSE(image.Recreate(0, 2));
    EXPECT_TRUE(image.IsNull()) << "a failed recreate leaves no stale picture";
}

// The grey expansion gives blue = green = red for every length, across the
// 16-pixel blocks and their tails, and writes nothing beyond.
TEST(PixelRows, ExpandGreyToBgr)
{
    for (size_t n = 0; n <= 50; ++n) {
        std::vector<uint8_t> grey(n), out(3 * n + 8, 0xEE);
        for (size_t i = 0; i < n; ++i)
            grey[i] = static_cast<uint8_t>(i * 37 + 1);
        imaging::ExpandGreyToBgr(grey.data(), out.data(), n);
        for (size_t i = 0; i < n; ++i)
            for (int k = 0; k < 3; ++k)
                ASSERT_EQ(out[3 * i + k], grey[i]) << "n " << n << " pixel " << i;
        for (size_t i = 3 * n; i < out.size(); ++i)
            ASSERT_EQ(out[i], 0xEE) << "wrote past the row, n " << n;
    }
}

}  // namespace

// Pixels kept by someone else are never written again: a rebuild or a write
// gives the image memory of its own, and what was kept stays as it was.
TEST(DisplayImageSharing, KeptPixelsStayAsTheyWere)
{
    DisplayImage image;
    ASSERT_TRUE(image.Create(4, 2, 24));
    image.GetBits()[0] = 7;
    for (bool rebuild : {true, false}) {
        const std::shared_ptr<const uint8_t> kept = image.SharePixels();
        const uint8_t* keptTop = static_cast<const DisplayImage&>(image).GetBits();
        const uint8_t before = keptTop[0];
        if (rebuild) {
            ASSERT_TRUE(image.Recreate(4, 2));
        }
        uint8_t* top = image.GetBits();
        ASSERT_NE(top, nullptr);
        EXPECT_NE(top, keptTop) << (rebuild ? "rebuilt" : "written") << " into kept memory";
        top[0] = uint8_t(before + 1);
        EXPECT_EQ(keptTop[0], before);
    }
}
