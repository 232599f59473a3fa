// Fuzzes the display image: any sequence of create, recreate, destroy and
// writes through the top-row address and pitch stays in bounds.
#include "platform/imaging/display/DisplayImage.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    imaging::DisplayImage image;
    for (size_t i = 0; i + 9 <= size; i += 9) {
        int32_t w, h;
        std::memcpy(&w, data + i + 1, 4);
        std::memcpy(&h, data + i + 5, 4);
        // Sizes up to the limit are legal but slow to fill: write only small ones.
        const bool small = int64_t(w) * h > 0 && int64_t(w) * h <= (1 << 16);
        switch (data[i] % 4) {
        case 0: image.Create(w, h, data[i] & 0x80 ? 24 : 32, data[i] & 0x40); break;
        case 1: image.Recreate(w, h); break;
        case 2: image.Destroy(); break;
        case 3: break;
        }
        if (image.IsNull() != (image.GetBits() == nullptr))
            __builtin_trap();
        if (!image.IsNull() && small && int64_t(image.GetWidth()) * image.GetHeight() <= (1 << 16)) {
            uint8_t* top = image.GetBits();
            for (int y = 0; y < image.GetHeight(); ++y)
                std::memset(top + ptrdiff_t(y) * image.GetPitch(), 0x5a, size_t(-image.GetPitch()));
        }
    }
    return 0;
}
