// Fuzzes the halftone stretch with any picture and target size: reads stay
// inside the source, writes inside the target, every pixel opaque.
#include "platform/imaging/display/Halftone.h"
#include "platform/imaging/Simd.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    const int sw = data[0] % 64 + 1, sh = data[1] % 64 + 1;
    const int dw = data[2] + 1, dh = data[3] + 1;
    const bool bottomUp = data[4] & 1;
    imaging::SetSimd(imaging::Simd((data[4] >> 1) % (int(imaging::ProcessorSimd()) + 1)));
    std::vector<uint8_t> pixels(size_t(sw) * sh * 3);
    const size_t fill = size - 5;
    for (size_t i = 0; fill && i < pixels.size(); ++i)
        pixels[i] = data[5 + i % fill];
    const ptrdiff_t row = ptrdiff_t(sw) * 3;
    const imaging::BgrView view{bottomUp ? pixels.data() + (sh - 1) * row : pixels.data(), bottomUp ? -row : row, sw, sh};
    std::vector<uint32_t> out(size_t(dw) * dh);
    imaging::HalftoneStretch(view, out.data(), dw, dh, dw);
    for (uint32_t p : out)
        if ((p >> 24) != 0xff)
            __builtin_trap();
    return 0;
}
