// Fuzzes live view's reduction and the check's statistics: any frame size,
// block side, pixel format (every one known, an unknown one) and payload,
// with every kernel family. The sanitizers catch any read past the payload
// or write past the image.
#include "platform/camera/campixel.h"
#include "platform/imaging/live/LiveReduce.h"
#include "platform/imaging/stats/PictureStats.h"
#include "platform/imaging/Simd.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 7)
        return 0;
    uint16_t width, height;
    std::memcpy(&width, data, 2);
    std::memcpy(&height, data + 2, 2);
    const uint32_t k = data[4];
    int count = 0;
    const cam::PixelFormat* known = cam::PixelFormats(&count);
    const int pick = data[5] % (count + 1);
    const char* format = pick < count ? known[pick].name : "Foo16";
    imaging::SetSimd(imaging::Simd(data[6] % (int(imaging::ProcessorSimd()) + 1)));
    // Keep each run quick.
    if (uint64_t(width) * height > (uint64_t(1) << 20))
        return 0;
    // The payload in a block of exactly its size.
    std::vector<uint8_t> payload(data + 7, data + size);
    static imaging::DisplayImage image;
    const imaging::Frame frame{payload.empty() ? nullptr : payload.data(), payload.size(), width, height, format};
    if (imaging::ReduceFrame(frame, k, image) &&
        (image.GetWidth() != int(width / k) || image.GetHeight() != int(height / k)))
        __builtin_trap();
    // The check's statistics read the same frames.
    imaging::PictureStats stats;
    stats.Add(frame);
    return 0;
}
