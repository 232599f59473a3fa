// The health check's cost per frame: picture statistics of a 20-megapixel
// frame in each family of pixel formats, one thread, for each instruction-set
// family the processor has, against memcpy of the frame's bytes; "read" is
// a pass that only adds the frame's bytes (AVX2), the bound of reading them
// with the same access pattern. Prints ratios measured in this one run.
#include "NoisyFrame.h"
#include "Timing.h"
#include "platform/imaging/PictureStats.h"
#include "platform/imaging/Simd.h"

#include <immintrin.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

__attribute__((target("avx2"), noinline)) uint64_t ReadAll(const uint8_t* p, size_t n)
{
    __m256i total = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 32 <= n; i += 32)
        total = _mm256_add_epi64(total, _mm256_sad_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)),
                                                        _mm256_setzero_si256()));
    alignas(32) uint64_t q[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(q), total);
    return q[0] + q[1] + q[2] + q[3] + i;
}

}  // namespace

int main()
{
    constexpr uint32_t kWidth = 5472, kHeight = 3648;
    constexpr int kRuns = 9;
    const std::vector<imaging::Simd> families = imaging::ProcessorFamilies();
    std::printf("picture statistics of a %u x %u frame, one thread, best of %d runs, x memcpy of the frame's bytes\n"
                "(targets: avx512 <= 1.0, avx2 <= 1.3)\n",
                kWidth, kHeight, kRuns);
    std::printf("  %-11s %9s %10s %6s", "format", "bytes", "memcpy ms", "read");
    for (const imaging::Simd family : families)
        std::printf(" %7s", imaging::SimdName(family));
    std::printf("\n");
    volatile uint64_t sink = 0;
    for (const char* format : {"Mono8", "BayerRG8", "RGB8", "YUV422_8", "Mono16", "Mono12p", "BayerRG12p"}) {
        const std::vector<uint8_t> frame = NoisyFrame(format, kWidth, kHeight);
        std::vector<uint8_t> copy(frame.size());
        const auto memcpyMs = [&] {
            return BestMs([&] { std::memcpy(copy.data(), frame.data(), frame.size()); }, kRuns);
        };
        double base = memcpyMs();
        const double read = BestMs([&] { sink = sink + ReadAll(frame.data(), frame.size()); }, kRuns);
        std::vector<double> ms;
        for (const imaging::Simd family : families) {
            imaging::SetSimd(family);
            imaging::PictureStats stats;
            ms.push_back(BestMs([&] { stats.Add({frame.data(), frame.size(), kWidth, kHeight, format}); }, kRuns));
        }
        base = std::min(base, memcpyMs());  // the least disturbed of both
        std::printf("  %-11s %9zu %10.2f %6.2f", format, frame.size(), base, read / base);
        for (const double m : ms)
            std::printf(" %7.2f", m / base);
        std::printf("\n");
    }
    imaging::SetSimd(imaging::DefaultSimd());
    return 0;
}
