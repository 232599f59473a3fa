// Dialog units: positions in a dialog template are given in quarters of the
// font's average character width and eighths of its height.
#pragma once

#include "Geometry.h"

namespace ui {

struct DialogBaseUnits {
    int x = 0;  // average width of the 52 letters A-Z a-z, rounded
    int y = 0;  // font height
};

// a * b / c rounded half away from zero, computed in 64 bits; c == 0 gives -1.
int MulDiv(int a, int b, int c);

// From the width of the string "A..Za..z" and the font height, in pixels.
DialogBaseUnits BaseUnitsFromMetrics(int widthOf52Letters, int fontHeight);

// x and width scale by base.x / 4, y and height by base.y / 8, each on its own.
Rect DialogToPixels(int x, int y, int width, int height, DialogBaseUnits base);

}  // namespace ui
