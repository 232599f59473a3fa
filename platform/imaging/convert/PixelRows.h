// Row conversions into the display image's blue, green, red pixels, written
// for whole-frame speed: vector instructions where the processor has them
// (AVX2, SSSE3), plain loops elsewhere, with the same results.
#pragma once

#include "platform/camera/campixel.h"
#include "platform/imaging/Simd.h"

#include <cstddef>
#include <cstdint>

namespace imaging {

// Whether the conversions may use vector instructions: on, the family the
// switch chose for each kernel (Simd.h); off, the plain loops. Tests and
// benchmarks that pick a family call SetSimd instead.
void SetVectorRows(bool enabled);
bool VectorRows();
// Whether kernel's AVX2 code runs: the switch's family for it is AVX2 or
// above (Simd.h: each kernel has its own default).
bool UseAvx2(Kernel kernel = Kernel::Rows);
// Whether kernel's AVX-512 code runs (AVX-512 BW, VL, VBMI and VBMI2).
bool UseAvx512(Kernel kernel = Kernel::Rows);

// The functions writing blue, green, red rows write exactly 3 * pixels bytes
// of dst. With stream, their vector stores bypass the caches: for images too
// large to stay in them, where that saves reading the memory before writing it.

// Each grey byte of src as blue = green = red.
void ExpandGreyToBgr(const uint8_t* src, uint8_t* dst, size_t pixels, bool stream = false);

// Blue, green, red bytes as they are (a copy; streamed past the caches
// where the switch allows AVX-512, as the conversions are).
void CopyBgr(const uint8_t* src, uint8_t* dst, size_t pixels, bool stream = false);

// Red, green, blue bytes to blue, green, red.
void SwapRedBlue(const uint8_t* src, uint8_t* dst, size_t pixels, bool stream = false);

// Four bytes a pixel (red, green, blue, alpha when rgba, else blue, green,
// red, alpha) to blue, green, red; alpha is dropped.
void DropAlpha(const uint8_t* src, uint8_t* dst, size_t pixels, bool rgba, bool stream = false);

// The 8 most significant of each sample's bits, for the first pixels samples
// of a row in format's packing (one sample a pixel: Mono and Bayer formats).
// Reads no more than cam::RowBytes(format, pixels) bytes.
void TopEightBits(const cam::PixelFormat& format, const uint8_t* src, uint8_t* dst, size_t pixels);

// The same top 8 bits of row a, and of row b unless it is null, added into
// 16-bit sums, for the first pixels samples; straight from the rows, for
// live view's block sums.
void AddTopEightBits(const cam::PixelFormat& format, const uint8_t* a, const uint8_t* b, uint16_t* sums,
                     size_t pixels);

// Live view's block sums straight from a band of k rows of packed samples
// (10 or 12 bits, PFNC or GigE Vision), rowBytes apart: per column, the sum
// of the top 8 bits of every row (parities 1), or of the even rows into
// sums and of the odd rows into sums + pixels (parities 2). Returns the
// columns summed, from the first: 0 where no kernel takes them, the rest
// the caller's.
size_t SumPackedBand(const cam::PixelFormat& format, const uint8_t* first, size_t rowBytes, uint32_t k,
                     int parities, uint16_t* sums, size_t pixels);

// YUV 4:2:2, 2 bytes a pixel (uyvy: U Y0 V Y1, else Y0 U Y1 V), with
// ITU-R BT.601 coefficients over the full or the limited range. A last
// pixel without a pair takes V from the pair before it (128 when none).
void YuvToBgr(const uint8_t* src, uint8_t* dst, size_t pixels, bool uyvy, bool limitedRange,
              bool stream = false);

// Bilinear demosaic of one row of a Bayer mosaic: each missing colour is the
// average of the samples of that colour in the pixel's 3 x 3 neighbourhood
// (rounded to nearest), using only samples inside the frame. above and below
// are the rows next to it, null at the frame's top and bottom edges. pattern
// is the 2 x 2 colour filter (cam::PixelFormat::order) and y the row's index.
void DemosaicRow(const uint8_t* above, const uint8_t* row, const uint8_t* below, uint8_t* dst,
                 size_t width, const char* pattern, uint64_t y, bool stream = false);
// The same for 16-bit samples (three 16-bit samples a pixel in dst: blue,
// green, red), for keeping deep frames; plain loops only.
void DemosaicRow16(const uint16_t* above, const uint16_t* row, const uint16_t* below, uint16_t* dst,
                   size_t width, const char* pattern, uint64_t y);

}  // namespace imaging
