// The frame copy into the display image: layout, orientation, pixel formats
// and bounds. Each row of the table is one frame and the image it must give.
#include "DialogHarness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct CopyCase {
    const char* name;
    int64_t width, height;
    const char* format;
    Bytes frame;         // the payload, exactly as long as the camera says
    std::vector<Bytes> rows;  // expected image rows from the top, pixel bytes only (no padding)
    bool imageExists;
};

void PrintTo(const CopyCase& c, std::ostream* os) { *os << c.name; }

Bytes Seq(size_t n, uint8_t from = 1)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(from + i);
    return b;
}

const CopyCase kCases[] = {
    // One pixel: the row holds 4 bytes, the first three are the frame's.
    {"1x1", 1, 1, "BGR8Packed", {7, 8, 9}, {{7, 8, 9}}, true},
    // Width 5: source rows 15 bytes apart, image rows 16: nothing skipped or repeated.
    {"width 5", 5, 2, "BGR8Packed", Seq(30), {Seq(15, 1), Seq(15, 16)}, true},
    // The frame's first row is the picture's top row.
    {"first row blue", 2, 2, "BGR8Packed", {255, 0, 0, 255, 0, 0, 0, 0, 9, 0, 0, 9},
     {{255, 0, 0, 255, 0, 0}, {0, 0, 9, 0, 0, 9}}, true},
    // Both names of the BGR format copy alike.
    {"BGR8 name", 1, 1, "BGR8", {1, 2, 3}, {{1, 2, 3}}, true},
    // Grey levels become equal blue, green and red; odd widths end cleanly.
    {"Mono8", 3, 2, "Mono8", {1, 2, 3, 4, 5, 6},
     {{1, 1, 1, 2, 2, 2, 3, 3, 3}, {4, 4, 4, 5, 5, 5, 6, 6, 6}}, true},
    {"Mono8 width 1", 1, 3, "Mono8", {9, 8, 7}, {{9, 9, 9}, {8, 8, 8}, {7, 7, 7}}, true},
    // A short payload: the whole rows it holds are copied, the rest stays black.
    {"short payload", 2, 3, "BGR8Packed", Seq(16),
     {Seq(6, 1), Seq(6, 7), Bytes(6, 0)}, true},
    {"short Mono8 payload", 4, 2, "Mono8", {5, 6, 7},
     {Bytes(12, 0), Bytes(12, 0)}, true},
    // Bytes beyond the picture are ignored.
    {"long payload", 1, 1, "BGR8Packed", Seq(100), {{1, 2, 3}}, true},
    // A format the copy does not know: nothing is copied.
    {"unknown format", 2, 1, "YUV411_8_UYYVYY", Seq(6), {Bytes(6, 0)}, true},
    {"no format", 2, 1, nullptr, Seq(6), {Bytes(6, 0)}, true},
    // No image can be made: nothing is written.
    {"zero width", 0, 4, "BGR8Packed", Seq(12), {}, false},
    {"negative height", 4, -1, "BGR8Packed", Seq(12), {}, false},
    // Only the low 32 bits of the opened size count.
    {"low 32 bits", (int64_t(1) << 32) + 1, 1, "BGR8Packed", {4, 5, 6}, {{4, 5, 6}}, true},
};

class CopyTest : public ::testing::TestWithParam<CopyCase> {
protected:
    void TearDown() override { g_image.Destroy(); }
};

TEST_P(CopyTest, ImageHoldsFrame)
{
    const CopyCase& c = GetParam();
    g_nWidth = c.width;
    g_nHeight = c.height;
    // Exactly payload-sized heap block, so that an over-read trips AddressSanitizer.
    std::unique_ptr<uint8_t[]> payload(new uint8_t[c.frame.size()]);
    std::copy(c.frame.begin(), c.frame.end(), payload.get());
    CopyFrameToImage(payload.get(), static_cast<int64_t>(c.frame.size()), c.format, g_image);
    ASSERT_EQ(!g_image.IsNull(), c.imageExists);
    if (!c.imageExists)
        return;
    ASSERT_EQ(g_image.GetHeight(), static_cast<int>(c.rows.size()));
    const imaging::DisplayImage& image = g_image;
    const int rowBytes = -image.GetPitch();
    for (size_t r = 0; r < c.rows.size(); ++r) {
        const uint8_t* row = image.GetBits() + ptrdiff_t(r) * image.GetPitch();
        EXPECT_EQ(Bytes(row, row + c.rows[r].size()), c.rows[r]) << "row " << r;
        for (int pad = static_cast<int>(c.rows[r].size()); pad < rowBytes; ++pad)
            EXPECT_EQ(row[pad], 0) << "padding written in row " << r;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CopyTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return harness::CaseName(info.param.name); });

// Each copy starts from a fresh image: the previous picture does not show through.
TEST(Copy, RecreatesImage)
{
    g_nWidth = 2;
    g_nHeight = 1;
    Bytes first = Seq(6);
    CopyFrameToImage(first.data(), 6, "BGR8Packed", g_image);
    CopyFrameToImage(first.data(), 3, "BGR8Packed", g_image);  // not even one row
    const imaging::DisplayImage& image = g_image;
    EXPECT_EQ(Bytes(image.GetBits(), image.GetBits() + 6), Bytes(6, 0));
    g_image.Destroy();
}

}  // namespace
