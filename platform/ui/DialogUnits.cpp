// Dialog-unit arithmetic, kept free of any window system so it can be tested alone.
#include "DialogUnits.h"

#include <cstdint>

namespace ui {

int MulDiv(int a, int b, int c)
{
    if (c == 0)
        return -1;
    int64_t product = int64_t(a) * b;
    bool negative = (product < 0) != (c < 0);
    int64_t num = product < 0 ? -product : product;
    int64_t den = c < 0 ? -int64_t(c) : c;
    int64_t q = (num + den / 2) / den;
    return static_cast<int>(negative ? -q : q);
}

DialogBaseUnits BaseUnitsFromMetrics(int widthOf52Letters, int fontHeight)
{
    return {(widthOf52Letters / 26 + 1) / 2, fontHeight};
}

Rect DialogToPixels(int x, int y, int width, int height, DialogBaseUnits base)
{
    int left = MulDiv(x, base.x, 4);
    int top = MulDiv(y, base.y, 8);
    return {left, top, left + MulDiv(width, base.x, 4), top + MulDiv(height, base.y, 8)};
}

}  // namespace ui
