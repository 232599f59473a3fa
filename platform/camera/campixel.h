// The pixel formats cameras send, by the names their "PixelFormat"
// enumeration reports (GenICam PFNC names and GigE Vision legacy names): how
// samples are laid out in a frame. Shared by the simulated camera, which
// writes frames in them, and the conversion for display, which reads them.
#pragma once

#include <cstdint>

namespace cam {

enum class Sampling {
    Mono,    // one grey sample per pixel
    Bayer,   // one colour sample per pixel, in a 2 x 2 colour filter pattern
    Colour,  // three (or four) 8-bit samples per pixel
    Yuv422,  // Y per pixel, U and V per pair of pixels, 8 bits each
};

enum class Packing {
    Byte,        // 8-bit samples, one per byte
    Word,        // 16-bit little-endian words, the value in the low bits
    Lsb,         // PFNC "p": samples back to back, least significant bits first
    GigePacked,  // GigE Vision "Packed": 2 pixels in 3 bytes, high bits in bytes 0 and 2
};

// YUV 4:2:2: which matrix and range turn Y, U, V into red, green, blue.
enum class Matrix {
    None,
    FullRange601,     // ITU-R BT.601 coefficients, Y, U and V over 0 to 255 (as JPEG)
    LimitedRange601,  // ITU-R BT.601 coefficients, Y over 16 to 235, U and V over 16 to 240
};

struct PixelFormat {
    const char* name;
    Sampling sampling;
    Packing packing;
    int bits;          // significant bits per sample: 8, 10, 12, 14 or 16
    int bitsPerPixel;  // in the frame: 8, 10, 12, 16, 24 or 32
    // Bayer: colour of the top-left pixel, then its right neighbour, then the
    // first two of the next row, each 'R', 'G' or 'B'. Colour: byte order of
    // one pixel ("RGB", "BGR", "RGBa", "BGRa"). Yuv422: byte order of a pair
    // ("YUYV" or "UYVY").
    const char* order;
    Matrix matrix;
};

// The format of this name, or null when it is not one of those listed.
const PixelFormat* FindPixelFormat(const char* name);

// All of them, for tests and for trying each one.
const PixelFormat* PixelFormats(int* count);

// Bytes one row of width pixels takes: whole bytes, a packed row's last
// partial byte rounded up.
uint64_t RowBytes(const PixelFormat& format, uint64_t width);

// The colour ('R', 'G' or 'B') of the Bayer sample at column x, row y.
char BayerColour(const PixelFormat& format, uint64_t x, uint64_t y);

// Reads and writes sample number i of a row laid out in format's packing
// (Lsb, GigePacked, Word or Byte), the value in the format's own bits.
uint32_t ReadSample(const PixelFormat& format, const uint8_t* row, uint64_t i);
void WriteSample(const PixelFormat& format, uint8_t* row, uint64_t i, uint32_t value);

}  // namespace cam
