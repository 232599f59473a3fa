// The halftone stretch: area averages when shrinking, smooth enlargement,
// orientation, and sizes at the edges.
#include "platform/imaging/display/Halftone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

struct Picture {
    int width, height;
    std::vector<uint8_t> bytes;  // top-down rows, no padding
    Picture(int w, int h) : width(w), height(h), bytes(size_t(w) * h * 3) {}
    void Set(int x, int y, uint8_t b, uint8_t g, uint8_t r)
    {
        uint8_t* p = &bytes[(size_t(y) * width + x) * 3];
        p[0] = b, p[1] = g, p[2] = r;
    }
    imaging::BgrView View() const { return {bytes.data(), ptrdiff_t(width) * 3, width, height}; }
};

std::vector<uint32_t> Stretch(const imaging::BgrView& v, int w, int h)
{
    std::vector<uint32_t> out(size_t(w) * h, 0);
    imaging::HalftoneStretch(v, out.data(), w, h, w);
    return out;
}

int Blue(uint32_t p) { return p & 0xff; }
int Red(uint32_t p) { return (p >> 16) & 0xff; }

// A 1-pixel checkerboard shrunk by 10 is even grey: a real area average,
// where point sampling would give black and white.
TEST(Halftone, CheckerboardShrinksToGrey)
{
    Picture p(400, 300);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x)
            if ((x + y) % 2)
                p.Set(x, y, 255, 255, 255);
    for (uint32_t px : Stretch(p.View(), 40, 30)) {
        ASSERT_NEAR(Blue(px), 128, 1);
        ASSERT_NEAR(Red(px), 128, 1);
    }
    // Also at a scale that is not a whole number.
    for (uint32_t px : Stretch(p.View(), 37, 23))
        ASSERT_NEAR(Blue(px), 128, 8);
}

// One white column among black ones weighs exactly its share of the area.
TEST(Halftone, AreaWeights)
{
    Picture p(4, 1);
    p.Set(1, 0, 255, 255, 255);
    const auto out = Stretch(p.View(), 2, 1);
    EXPECT_EQ(Blue(out[0]), 128);  // (0 + 255) / 2
    EXPECT_EQ(Blue(out[1]), 0);
    Picture q(3, 1);
    q.Set(1, 0, 255, 255, 255);
    const auto two = Stretch(q.View(), 2, 1);  // each output covers 1.5 source pixels
    EXPECT_EQ(Blue(two[0]), 85);               // 0.5 * 255 / 1.5
    EXPECT_EQ(Blue(two[1]), 85);
}

// Enlarging interpolates smoothly between neighbours, without steps.
TEST(Halftone, EnlargingIsSmooth)
{
    Picture p(2, 1);
    p.Set(1, 0, 200, 200, 200);
    const auto out = Stretch(p.View(), 8, 1);
    EXPECT_EQ(Blue(out[0]), 0);
    EXPECT_EQ(Blue(out[7]), 200);
    int distinct = 1;
    for (int x = 1; x < 8; ++x) {
        EXPECT_GE(Blue(out[x]), Blue(out[x - 1]));
        distinct += Blue(out[x]) != Blue(out[x - 1]);
    }
    EXPECT_GE(distinct, 5) << "enlargement must not just repeat pixels";
}

// Same size is an exact copy, colours in place, top row on top, for bottom-up
// pictures (negative pitch) too.
TEST(Halftone, IdentityAndOrientation)
{
    Picture p(3, 2);
    p.Set(0, 0, 255, 0, 0);    // blue, top left
    p.Set(2, 1, 0, 0, 255);    // red, bottom right
    imaging::BgrView view = p.View();
    auto out = Stretch(view, 3, 2);
    EXPECT_EQ(out[0], 0xff0000ffu);
    EXPECT_EQ(out[5], 0xffff0000u);
    // The same picture stored bottom-up.
    std::vector<uint8_t> flipped(p.bytes.size());
    std::copy(p.bytes.begin() + 9, p.bytes.end(), flipped.begin());
    std::copy(p.bytes.begin(), p.bytes.begin() + 9, flipped.begin() + 9);
    const imaging::BgrView up{flipped.data() + 9, -9, 3, 2};
    EXPECT_EQ(Stretch(up, 3, 2), out);
}

// Extreme shapes neither crash nor overflow: a very tall picture squeezed
// flat keeps its mean.
TEST(Halftone, ExtremeShapes)
{
    Picture tall(1, 70000);
    for (int y = 0; y < 70000; ++y)
        tall.Set(0, y, 255, 255, 255);
    EXPECT_EQ(Stretch(tall.View(), 1, 1)[0], 0xffffffffu);
    Picture dot(1, 1);
    dot.Set(0, 0, 10, 20, 30);
    for (uint32_t px : Stretch(dot.View(), 5, 3))
        EXPECT_EQ(px, 0xff1e140au);
    std::vector<uint32_t> none(4, 7);
    imaging::HalftoneStretch(dot.View(), none.data(), 0, 4, 1);
    imaging::HalftoneStretch({nullptr, 0, 0, 0}, none.data(), 2, 2, 2);
    EXPECT_EQ(none, std::vector<uint32_t>(4, 7));
}

}  // namespace
