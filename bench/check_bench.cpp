// The health check's cost per frame: picture statistics of a 20-megapixel
// frame in each family of pixel formats, one thread, against memcpy of the
// frame's bytes. Prints ratios measured in this one run.
#include "NoisyFrame.h"
#include "Timing.h"
#include "platform/imaging/PictureStats.h"

#include <cstdio>
#include <cstring>
#include <vector>

int main()
{
    constexpr uint32_t kWidth = 5472, kHeight = 3648;
    constexpr int kRuns = 9;
    std::printf("picture statistics of a %u x %u frame, one thread, best of %d runs\n", kWidth, kHeight, kRuns);
    for (const char* format : {"Mono8", "BayerRG8", "RGB8", "YUV422_8", "Mono16", "Mono12p", "BayerRG12p"}) {
        const std::vector<uint8_t> frame = NoisyFrame(format, kWidth, kHeight);
        std::vector<uint8_t> copy(frame.size());
        imaging::PictureStats stats;
        const double ours = BestMs([&] { stats.Add({frame.data(), frame.size(), kWidth, kHeight, format}); }, kRuns);
        const double memcpyMs = BestMs([&] { std::memcpy(copy.data(), frame.data(), frame.size()); }, kRuns);
        std::printf("  %-11s %7.2f ms   %.2f x memcpy of its %zu bytes (target <= 1.0)\n", format, ours,
                    ours / memcpyMs, frame.size());
    }
    return 0;
}
