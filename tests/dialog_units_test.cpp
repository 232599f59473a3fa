// Dialog-unit arithmetic.
#include "platform/ui/DialogUnits.h"

#include <gtest/gtest.h>

namespace {

TEST(DialogUnits, MulDivRoundsHalfAwayFromZero)
{
    const struct {
        int a, b, c, expected;
    } cases[] = {
        {441, 7, 4, 772},  // 771.75
        {17, 6, 4, 26},    // 25.5
        {-17, 6, 4, -26},  // -25.5
        {10, 3, 4, 8},     // 7.5
        {245, 15, 8, 459}, // 459.375
        {1, 1, 0, -1},
        {2000000000, 4, 8, 1000000000},  // no 32-bit overflow
    };
    for (const auto& c : cases)
        EXPECT_EQ(ui::MulDiv(c.a, c.b, c.c), c.expected) << c.a << "*" << c.b << "/" << c.c;
}

TEST(DialogUnits, BaseUnitsAndMapping)
{
    // 52 letters 364 pixels wide: 7 per letter; 389 still rounds to 7, 390 (7.5) up to 8.
    EXPECT_EQ(ui::BaseUnitsFromMetrics(364, 15).x, 7);
    EXPECT_EQ(ui::BaseUnitsFromMetrics(389, 15).x, 7);
    EXPECT_EQ(ui::BaseUnitsFromMetrics(390, 15).x, 8);
    EXPECT_EQ(ui::BaseUnitsFromMetrics(364, 15).y, 15);
    const ui::Rect r = ui::DialogToPixels(123, 7, 303, 197, {7, 15});
    EXPECT_EQ(r, (ui::Rect{215, 13, 215 + 530, 13 + 369}));
}

}  // namespace
