// Row conversion kernels written for one instruction set (AVX-512 BW, VL,
// VBMI, VBMI2: RowsAvx512.cpp). The entry points of PixelRows.cpp choose
// them by the switch and finish each row with their one plain loop; a
// kernel converts pixels from i on in whole steps and returns where it
// stopped, never reading or writing outside the rows it is given.
#pragma once

#include "platform/camera/campixel.h"

#include <cstddef>
#include <cstdint>

namespace imaging {

// The pixel from which a streamed kernel's stores are on 64-byte boundaries
// is the caller's to find; with stream, dst + 3 * i is on one.
size_t ExpandAvx512(const uint8_t* src, uint8_t* dst, size_t i, size_t pixels, bool stream);

// Pixels of bytesPerPixel (3 or 4) bytes, blue at byte blue and red at byte
// red (green at 1), to blue, green, red.
size_t RearrangeAvx512(const uint8_t* src, uint8_t* dst, size_t i, size_t pixels, int bytesPerPixel, int blue,
                       int red, bool stream);

// YUV 4:2:2 as YuvToBgr; i even.
size_t YuvAvx512(const uint8_t* src, uint8_t* dst, size_t i, size_t pixels, bool uyvy, bool limited,
                 bool stream);

// The interior of a Bayer row as DemosaicRow: from x (at least 1) while
// x + 64 < width. xChannel: the row's non-green colour (0 blue, 2 red);
// greenEven: green in its even columns.
size_t DemosaicAvx512(const uint8_t* above, const uint8_t* row, const uint8_t* below, uint8_t* dst, size_t x,
                      size_t width, int xChannel, bool greenEven, bool stream);

// TopEightBits of samples in 16-bit words or packed (10 or 12 bits from
// the least significant bit, or 12 in GigE Vision's 2 in 3 bytes), reading
// no more than rowBytes bytes of src.
size_t TopEightAvx512(const cam::PixelFormat& format, const uint8_t* src, uint8_t* dst, size_t pixels,
                      size_t rowBytes);

// bytes of src to dst; with stream, dst is on a 64-byte boundary.
size_t CopyAvx512(const uint8_t* src, uint8_t* dst, size_t bytes, bool stream);

}  // namespace imaging
