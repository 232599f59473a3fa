// Times the frame copy into the display image against memcpy and a plain
// byte-by-byte loop, in one run, in every instruction-set family the
// processor has, and prints the ratios.
#include "FamilyTable.h"
#include "Timing.h"
#include "app/TarvikDlg.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace {

// The straightforward copy: every byte on its own.
void ByteLoop(const uint8_t* src, imaging::DisplayImage& image, int w, int h)
{
    uint8_t* top = image.GetBits();
    const int pitch = image.GetPitch();
    for (int i = 0; i < h; ++i)
        for (int j = 0; j < w; ++j)
            for (int k = 0; k < 3; ++k)
                top[ptrdiff_t(i) * pitch + j * 3 + k] = src[size_t(i) * w * 3 + j * 3 + k];
}

void Run(int w, int h, int runs)
{
    const size_t bgrBytes = size_t(w) * h * 3, monoBytes = size_t(w) * h;
    std::vector<uint8_t> bgr(bgrBytes), mono(monoBytes), dst(bgrBytes);
    for (size_t i = 0; i < bgrBytes; ++i)
        bgr[i] = static_cast<uint8_t>(i * 7);
    for (size_t i = 0; i < monoBytes; ++i)
        mono[i] = static_cast<uint8_t>(i * 3);
    g_nWidth = w;
    g_nHeight = h;
    imaging::DisplayImage image;
    image.Create(w, h, 24);

    const auto copy = [&] { std::memcpy(dst.data(), bgr.data(), bgrBytes); };
    char title[96];
    std::snprintf(title, sizeof title, "%d x %d into the display image", w, h);
    // The Mono8 destination is as large as a BGR8 frame: memcpy of those bytes.
    const std::vector<FamilyRow> rows = {
        {"BGR8 copy", "memcpy of the frame", "<= 1.0 / <= 1.2", copy, -1,
         [&] { CopyFrameToImage(bgr.data(), int64_t(bgrBytes), "BGR8Packed", image); }},
        {"Mono8 expand", "memcpy of the image", "<= 1.0 / <= 1.2", copy, -1,
         [&] { CopyFrameToImage(mono.data(), int64_t(monoBytes), "Mono8", image); }},
    };
    const auto ms = FamilyTable(title, imaging::Kernel::Rows, rows, runs);
    image.Create(w, h, 24);
    const double copySrc = BestMs(copy, runs);
    const double loop = BestMs([&] { ByteLoop(bgr.data(), image, w, h); }, runs);
    std::printf("  byte loop      %8.3f ms   %.2f x memcpy; our copy is %.1f x faster\n", loop, loop / copySrc,
                loop / ms[0].back());
}

}  // namespace

int main()
{
    Run(5472, 3648, 15);
    Run(1292, 964, 300);
    return 0;
}
