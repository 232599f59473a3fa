// The halftone stretch: a picture scaled to any size with each output pixel the
// area average of the source it covers when shrinking, and bilinear
// interpolation when enlarging (each axis on its own).
#pragma once

#include <cstddef>
#include <cstdint>

namespace imaging {

// A 24-bit blue, green, red picture addressed from its top row.
struct BgrView {
    const uint8_t* top;
    ptrdiff_t pitch;  // bytes from one row to the next one down; may be negative
    int width;
    int height;
};

// Writes dstWidth x dstHeight pixels as 0xffRRGGBB words, rows dstStride words
// apart. Does nothing when either picture is empty.
void HalftoneStretch(const BgrView& src, uint32_t* dst, int dstWidth, int dstHeight,
                     ptrdiff_t dstStride);

}  // namespace imaging
