// Rectangles in pixels, as the dialog code uses them.
#pragma once

#include <cstdint>

namespace ui {

struct Rect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;

    int32_t Width() const { return right - left; }
    int32_t Height() const { return bottom - top; }
    bool operator==(const Rect&) const = default;
};

}  // namespace ui
