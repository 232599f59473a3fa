// Row conversions for the display image, written for whole-frame speed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ui {

// dst receives 3 * pixels bytes: each grey byte of src as blue = green = red.
void ExpandGreyToBgr(const uint8_t* src, uint8_t* dst, size_t pixels);

}  // namespace ui
