// Reads back the frame id the simulated camera's picture=counter writes into
// its pixels (cam::kSimCounterBits blocks along the top), from a camera frame
// in any pixel format or from an 8-bit grey or colour picture made of one,
// so that a test can tell which frame it holds after recording, reading back,
// demosaicking or saving.
#pragma once

#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>

namespace frame_counter {

constexpr int64_t kNoCounter = -1;

// The id from the level at each block's centre (level(x, y) from 0 to top):
// below a third of top a clear bit, above two thirds a set one, anything
// between (or a picture too small to hold a block) no counter at all.
inline int64_t Decode(uint32_t width, uint32_t height, uint32_t top,
                      const std::function<int64_t(uint64_t x, uint64_t y)>& level)
{
    const uint64_t rows = cam::SimCounterRows(width, height);
    const uint64_t perRow = width / cam::kSimCounterBlock;
    if (rows == 0 || top == 0)
        return kNoCounter;
    int64_t id = 0;
    for (uint64_t bit = 0; bit < uint64_t(cam::kSimCounterBits); ++bit) {
        const uint64_t x = bit % perRow * cam::kSimCounterBlock + cam::kSimCounterBlock / 2;
        const uint64_t y = bit / perRow * cam::kSimCounterBlock + cam::kSimCounterBlock / 2;
        if (y >= rows)
            break;  // the blocks the picture has no room for
        const int64_t v = level(x, y);
        if (v < 0)
            return kNoCounter;
        if (3 * v > 2 * int64_t(top))
            id |= int64_t(1) << bit;
        else if (3 * v >= int64_t(top))
            return kNoCounter;
    }
    return id;
}

// From a camera frame of size bytes laid out in pixelFormat (grey or Bayer
// samples, colour bytes by their green, YUV by its Y).
inline int64_t FromFrame(const uint8_t* data, uint64_t size, uint32_t width, uint32_t height,
                         const char* pixelFormat)
{
    const cam::PixelFormat* f = cam::FindPixelFormat(pixelFormat);
    if (!f || !data)
        return kNoCounter;
    const uint64_t rowBytes = cam::RowBytes(*f, width);
    const uint32_t top = f->sampling == cam::Sampling::Mono || f->sampling == cam::Sampling::Bayer
                             ? (uint32_t(1) << f->bits) - 1
                             : 255;
    return Decode(width, height, top, [&](uint64_t x, uint64_t y) -> int64_t {
        if ((y + 1) * rowBytes > size)
            return -1;
        const uint8_t* row = data + y * rowBytes;
        switch (f->sampling) {
        case cam::Sampling::Mono:
        case cam::Sampling::Bayer: return cam::ReadSample(*f, row, x);
        case cam::Sampling::Colour: return row[x * uint64_t(f->bitsPerPixel / 8) + 1];
        case cam::Sampling::Yuv422: return row[2 * x + (std::strcmp(f->order, "UYVY") == 0 ? 1 : 0)];
        }
        return -1;
    });
}

// From an 8-bit picture whose rows are pitch bytes apart, channels bytes a
// pixel (1: grey; 3 or 4: colour in any order, read by its second byte).
inline int64_t FromPicture(const uint8_t* pixels, uint32_t width, uint32_t height, ptrdiff_t pitch, int channels)
{
    if (!pixels || channels < 1)
        return kNoCounter;
    return Decode(width, height, 255, [&](uint64_t x, uint64_t y) -> int64_t {
        return pixels[ptrdiff_t(y) * pitch + ptrdiff_t(x) * channels + (channels > 1 ? 1 : 0)];
    });
}

}  // namespace frame_counter
