// A frame's samples as they are, unpacked to 8 or 16 bits a sample, for
// lossless files: no demosaic, no colour conversion.
#pragma once
#include "platform/camera/campixel.h"
#include <cstdint>

namespace imaging {

// What one unpacked row holds.
struct UnpackedLayout {
    int samplesPerPixel = 1;  // 1 grey or Bayer mosaic; 3 colour (R, G, B order); 2 YUV 4:2:2 as it is (see below)
    int bitsPerSample = 8;    // 8, or 16 for formats of more than 8 bits (the value kept in its own bits, not shifted)
};
UnpackedLayout UnpackedLayoutOf(const cam::PixelFormat& format);
// Bytes of one unpacked row of width pixels.
uint64_t UnpackedRowBytes(const cam::PixelFormat& format, uint32_t width);
// Unpacks one row of width pixels from src (laid out in format, RowBytes(format, width) bytes) to dst
// (UnpackedRowBytes bytes): Mono/Bayer one sample a pixel (16-bit little-endian words for deeper formats);
// RGB/BGR/RGBa/BGRa as R, G, B (alpha dropped); YUV 4:2:2 as its bytes in Y0 U Y1 V order (UYVY reordered).
void UnpackRow(const cam::PixelFormat& format, const uint8_t* src, uint32_t width, uint8_t* dst);

}  // namespace imaging
