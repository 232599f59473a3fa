// Unpacking a frame's samples to whole bytes or 16-bit words, for the
// lossless sequence writers. The common layouts have loops of their own, for
// 20-megapixel frames at the camera's rate; the rest go sample by sample.
#include "SampleUnpack.h"

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

// PFNC "p" packing, least significant bits first.
uint64_t UnpackLsb10(const uint8_t* src, uint64_t samples, uint8_t* dst)
{
    const uint64_t groups = samples / 4;  // 4 samples in 5 bytes
    for (uint64_t g = 0; g < groups; ++g, src += 5, dst += 8) {
        const uint64_t w = uint64_t(src[0]) | uint64_t(src[1]) << 8 | uint64_t(src[2]) << 16 |
                           uint64_t(src[3]) << 24 | uint64_t(src[4]) << 32;
        for (int k = 0; k < 4; ++k)
            Put16(dst, k, uint32_t(w >> (10 * k)) & 0x3ff);
    }
    return groups * 4;
}

uint64_t UnpackLsb12(const uint8_t* src, uint64_t samples, uint8_t* dst)
{
    const uint64_t groups = samples / 2;  // 2 samples in 3 bytes
    for (uint64_t g = 0; g < groups; ++g, src += 3, dst += 4) {
        Put16(dst, 0, src[0] | uint32_t(src[1] & 0x0f) << 8);
        Put16(dst, 1, src[1] >> 4 | uint32_t(src[2]) << 4);
    }
    return groups * 2;
}

// GigE Vision "Packed": 2 samples in 3 bytes, high bits in bytes 0 and 2,
// the low bits of both in byte 1.
uint64_t UnpackGige(const uint8_t* src, uint64_t samples, int bits, uint8_t* dst)
{
    const int low = bits - 8;
    const uint32_t lowMask = (1u << low) - 1;
    const uint64_t groups = samples / 2;
    for (uint64_t g = 0; g < groups; ++g, src += 3, dst += 4) {
        Put16(dst, 0, uint32_t(src[0]) << low | (src[1] & lowMask));
        Put16(dst, 1, uint32_t(src[2]) << low | ((src[1] >> 4) & lowMask));
    }
    return groups * 2;
}

void UnpackColour(const cam::PixelFormat& format, const uint8_t* src, uint32_t width, uint8_t* dst)
{
    const bool bgr = format.order[0] == 'B';
    const int step = format.bitsPerPixel / 8;  // 3, or 4 with alpha
    if (!bgr && step == 3) {
        std::memcpy(dst, src, uint64_t(width) * 3);
        return;
    }
    const int r = bgr ? 2 : 0, b = bgr ? 0 : 2;
    for (uint32_t x = 0; x < width; ++x, src += step, dst += 3) {
        dst[0] = src[r];
        dst[1] = src[1];
        dst[2] = src[b];
    }
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
        done = format.bits == 10 ? UnpackLsb10(src, width, dst) : format.bits == 12 ? UnpackLsb12(src, width, dst) : 0;
        break;
    case cam::Packing::GigePacked:
        done = UnpackGige(src, width, format.bits, dst);
        break;
    }
    // The samples a whole group does not hold, and any depth without a loop.
    for (uint64_t i = done; i < width; ++i)
        Put16(dst, i, cam::ReadSample(format, src, i));
}

}  // namespace imaging
