// The full-size conversion someone waits for (a grab, a picture saved or
// copied) of a 20-megapixel frame, on one thread and split over the cores,
// against OpenCV's cvtColor on the same pixels, like with like: one thread
// against cv::setNumThreads(1), the cores against OpenCV's default threads.
// A column per instruction-set family; ratios measured in this one run, with
// the machine's load before and after (other work shares the cores).
#include "NoisyFrame.h"
#include "Timing.h"
#include "platform/imaging/PixelConvert.h"
#include "platform/imaging/Simd.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr uint32_t kWidth = 5472, kHeight = 3648;
constexpr int kRuns = 15;

std::string Load()
{
    std::string one, five;
    std::ifstream("/proc/loadavg") >> one >> five;
    return one + " (1 min), " + five + " (5 min)";
}

}  // namespace

int main()
{
    const int defaultThreads = cv::getNumThreads();
    const imaging::Frame probe{nullptr, 0, kWidth, kHeight, "Mono8"};
    const int cores = imaging::WaitedThreads(probe);
    const std::vector<imaging::Simd> families = imaging::ProcessorFamilies();
    std::printf("%u x %u into blue, green, red rows, best of %d runs; load %s\n", kWidth, kHeight, kRuns,
                Load().c_str());
    std::printf("ours on 1 thread / OpenCV on 1; ours on %d threads / OpenCV on its default %d\n"
                "(targets, both cores: avx512 <= 0.8, avx2 <= 1.0)\n",
                cores, defaultThreads);
    std::printf("  %-20s %-8s %9s", "format", "threads", "OpenCV ms");
    for (const imaging::Simd family : families)
        std::printf(" %7s", imaging::SimdName(family));
    std::printf("\n");
    std::vector<uint8_t> out(size_t(kWidth) * 3 * kHeight);
    // PFNC BayerRG is what OpenCV calls BayerBG.
    for (const auto& [format, code, channels] :
         {std::tuple{"YUV422_8_UYVY", cv::COLOR_YUV2BGR_UYVY, CV_8UC2},
          std::tuple{"YUV422_8", cv::COLOR_YUV2BGR_YUY2, CV_8UC2},
          std::tuple{"BayerRG8", cv::COLOR_BayerBG2BGR, CV_8UC1}}) {
        const std::vector<uint8_t> frame = NoisyFrame(format, kWidth, kHeight);
        const cv::Mat in(int(kHeight), int(kWidth), channels, const_cast<uint8_t*>(frame.data()));
        cv::Mat cvOut;
        for (const int threads : {1, cores}) {
            cv::setNumThreads(threads == 1 ? 1 : defaultThreads);
            const double cvMs = BestMs([&] { cv::cvtColor(in, cvOut, code); }, kRuns);
            std::printf("  %-20s %-8d %9.2f", format, threads, cvMs);
            for (const imaging::Simd family : families) {
                imaging::SetSimd(family);
                const double ms = BestMs([&] {
                    imaging::ConvertFrame({frame.data(), frame.size(), kWidth, kHeight, format}, out.data(),
                                          ptrdiff_t(kWidth) * 3, threads);
                }, kRuns);
                std::printf(" %7.2f", ms / cvMs);
            }
            std::printf("\n");
        }
    }
    imaging::SetSimd(imaging::DefaultSimd());
    cv::setNumThreads(defaultThreads);
    std::printf("load after: %s\n", Load().c_str());
    return 0;
}
