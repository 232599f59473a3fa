// Fuzzes the frame copy: any opened size, pixel format (every one the
// conversion knows, an unknown one and none) and payload. The sanitizers
// catch any read past the payload or write past the image.
#include "app/TarvikDlg.h"
#include "platform/camera/campixel.h"
#include "platform/imaging/Simd.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 17)
        return 0;
    int64_t width, height;
    std::memcpy(&width, data, 8);
    std::memcpy(&height, data + 8, 8);
    int count = 0;
    const cam::PixelFormat* known = cam::PixelFormats(&count);
    const int pick = data[16] % (count + 2);
    const char* format = pick < count ? known[pick].name : pick == count ? "Foo16" : nullptr;
    // Every family the processor has, plain included.
    imaging::SetSimd(imaging::Simd((data[16] >> 6) % (int(imaging::ProcessorSimd()) + 1)));
    // Keep each run small enough to be quick; huge sizes are refused before
    // any copy and have their own tests.
    const uint64_t w = uint32_t(width), h = uint32_t(height);
    if (w * h > (uint64_t(1) << 20))
        return 0;
    g_nWidth = width;
    g_nHeight = height;
    // The payload in a block of exactly its size.
    std::vector<uint8_t> payload(data + 17, data + size);
    static imaging::DisplayImage image;
    CopyFrameToImage(payload.empty() ? nullptr : payload.data(), int64_t(payload.size()), format, image);
    if (!image.IsNull() && (image.GetWidth() != int32_t(uint32_t(width)) || image.GetHeight() != int32_t(uint32_t(height))))
        __builtin_trap();
    return 0;
}
