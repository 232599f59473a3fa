// Unpacking a frame's samples to whole bytes or 16-bit words, for the
// lossless sequence writers. The common layouts have loops of their own, for
// 20-megapixel frames at the camera's rate; the rest go sample by sample.
#include "SampleUnpack.h"

#include "PixelRows.h"

#include <cstring>

namespace imaging {

namespace {

inline void Put16(uint8_t* dst, uint64_t i, uint32_t v)
{
    dst[2 * i] = uint8_t(v);
    dst[2 * i + 1] = uint8_t(v >> 8);
}

// 16-bit words, the value in the low bits: copied, with the bits above the
// format's own cleared (as cam::ReadSample reads them).
void UnpackWords(const uint8_t* src, uint64_t samples, int bits, uint8_t* dst)
{
    if (bits >= 16) {
        std::memcpy(dst, src, samples * 2);
        return;
    }
    const uint8_t highMask = uint8_t((1u << (bits - 8)) - 1);
    for (uint64_t i = 0; i < samples; ++i) {
        dst[2 * i] = src[2 * i];
        dst[2 * i + 1] = src[2 * i + 1] & highMask;
    }
}

// Four samples at a time: loaded 8 bytes at once while 8 bytes remain, and
// stored as four little-endian words at once.
inline uint64_t Load64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? v : __builtin_bswap64(v);
}

inline void Store4(uint8_t* dst, uint64_t s0, uint64_t s1, uint64_t s2, uint64_t s3)
{
    uint64_t v = s0 | s1 << 16 | s2 << 32 | s3 << 48;
    if (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__)
        v = __builtin_bswap64(v);
    std::memcpy(dst, &v, 8);
}

// PFNC "p" packing, least significant bits first: 4 samples in 5 bytes (10
// bits) or 6 bytes (12 bits).
uint64_t UnpackLsb(const uint8_t* src, uint64_t samples, int bits, uint64_t rowBytes, uint8_t* dst)
{
    const uint64_t groupBytes = uint64_t(bits) / 2;
    const uint64_t mask = (1u << bits) - 1;
    uint64_t done = 0;
    for (; done + 4 <= samples && (done / 4) * groupBytes + 8 <= rowBytes; done += 4, src += groupBytes, dst += 8) {
        const uint64_t w = Load64(src);
        Store4(dst, w & mask, (w >> bits) & mask, (w >> 2 * bits) & mask, (w >> 3 * bits) & mask);
    }
    return done;
}

// GigE Vision "Packed": 2 samples in 3 bytes, high bits in bytes 0 and 2,
// the low bits of both in byte 1.
uint64_t UnpackGige(const uint8_t* src, uint64_t samples, int bits, uint64_t rowBytes, uint8_t* dst)
{
    const int low = bits - 8;
    const uint64_t lowMask = (1u << low) - 1;
    uint64_t done = 0;
    for (; done + 4 <= samples && (done / 2) * 3 + 8 <= rowBytes; done += 4, src += 6, dst += 8) {
        const uint64_t w = Load64(src);
        const uint64_t b0 = w & 0xff, b1 = (w >> 8) & 0xff, b2 = (w >> 16) & 0xff;
        const uint64_t b3 = (w >> 24) & 0xff, b4 = (w >> 32) & 0xff, b5 = (w >> 40) & 0xff;
        Store4(dst, b0 << low | (b1 & lowMask), b2 << low | ((b1 >> 4) & lowMask), b3 << low | (b4 & lowMask),
               b5 << low | ((b4 >> 4) & lowMask));
    }
    return done;
}

// The display's row kernels (vectorised) give R, G, B when told the bytes
// are in the other order: blue, green, red out of what they take for red,
// green, blue is red, green, blue out of blue, green, red.
void UnpackColour(const cam::PixelFormat& format, const uint8_t* src, uint32_t width, uint8_t* dst)
{
    const bool bgr = format.order[0] == 'B';
    if (format.bitsPerPixel == 32)
        DropAlpha(src, dst, width, /*rgba=*/bgr);
    else if (bgr)
        SwapRedBlue(src, dst, width);
    else
        std::memcpy(dst, src, uint64_t(width) * 3);
}

}  // namespace

UnpackedLayout UnpackedLayoutOf(const cam::PixelFormat& format)
{
    UnpackedLayout layout;
    layout.samplesPerPixel = format.sampling == cam::Sampling::Colour   ? 3
                             : format.sampling == cam::Sampling::Yuv422 ? 2
                                                                        : 1;
    layout.bitsPerSample = format.bits > 8 ? 16 : 8;
    return layout;
}

uint64_t UnpackedRowBytes(const cam::PixelFormat& format, uint32_t width)
{
    const UnpackedLayout layout = UnpackedLayoutOf(format);
    return uint64_t(width) * uint64_t(layout.samplesPerPixel) * uint64_t(layout.bitsPerSample / 8);
}

void UnpackRow(const cam::PixelFormat& format, const uint8_t* src, uint32_t width, uint8_t* dst)
{
    switch (format.sampling) {
    case cam::Sampling::Colour:
        UnpackColour(format, src, width, dst);
        return;
    case cam::Sampling::Yuv422:
        if (format.order[0] == 'Y') {
            std::memcpy(dst, src, uint64_t(width) * 2);
        } else {  // U Y0 V Y1: each byte pair swapped gives Y0 U Y1 V
            for (uint64_t i = 0; i + 1 < uint64_t(width) * 2; i += 2) {
                dst[i] = src[i + 1];
                dst[i + 1] = src[i];
            }
        }
        return;
    case cam::Sampling::Mono:
    case cam::Sampling::Bayer:
        break;
    }

    uint64_t done = 0;
    switch (format.packing) {
    case cam::Packing::Byte:
        std::memcpy(dst, src, width);
        return;
    case cam::Packing::Word:
        UnpackWords(src, width, format.bits, dst);
        return;
    case cam::Packing::Lsb:
        if (format.bits == 10 || format.bits == 12)
            done = UnpackLsb(src, width, format.bits, cam::RowBytes(format, width), dst);
        break;
    case cam::Packing::GigePacked:
        done = UnpackGige(src, width, format.bits, cam::RowBytes(format, width), dst);
        break;
    }
    // The samples a whole group does not hold, and any depth without a loop.
    for (uint64_t i = done; i < width; ++i)
        Put16(dst, i, cam::ReadSample(format, src, i));
}

}  // namespace imaging
