// Times live view's display path on a 20-megapixel frame, one thread: the
// frame reduced straight from its pixel format to about the size a window
// shows (imaging::ReduceFrame), against memcpy of the frame's bytes, and for
// BayerRG8 against OpenCV's bilinear cvtColor followed by an area resize of
// the same frame. Prints ratios measured in this one run.
#include "NoisyFrame.h"
#include "Timing.h"
#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"
#include "platform/imaging/LiveReduce.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kWidth = 5472, kHeight = 3648, kTargetWidth = 606, kTargetHeight = 404;
constexpr int kRuns = 9;

std::vector<uint8_t> FrameIn(const char* format) { return NoisyFrame(format, kWidth, kHeight); }

}  // namespace

int main()
{
    cv::setNumThreads(1);
    imaging::DisplayImage image;
    std::printf("%u x %u frame shown in %u x %u, one thread, best of %d runs\n", kWidth, kHeight, kTargetWidth,
                kTargetHeight, kRuns);
    for (const char* format : {"BayerRG8", "Mono8", "YUV422_8", "RGB8", "Mono12p", "Mono16", "BayerRG12p"}) {
        const std::vector<uint8_t> frame = FrameIn(format);
        std::vector<uint8_t> copy(frame.size());
        const imaging::Frame f{frame.data(), frame.size(), kWidth, kHeight, format};
        const uint32_t k = imaging::LiveBlock(format, kWidth, kHeight, kTargetWidth, kTargetHeight);
        const double ours = BestMs([&] { imaging::ReduceFrame(f, k, image); }, kRuns);
        const double memcpyMs = BestMs([&] { std::memcpy(copy.data(), frame.data(), frame.size()); }, kRuns);
        std::printf("  %-11s k=%u %7.2f ms   %.2f x memcpy of its %zu bytes (target <= 1.0)\n", format, k, ours,
                    ours / memcpyMs, frame.size());
        if (std::strcmp(format, "BayerRG8") == 0) {
            const cv::Mat mosaic(int(kHeight), int(kWidth), CV_8UC1, const_cast<uint8_t*>(frame.data()));
            cv::Mat bgr, small;
            const double cvMs = BestMs(
                [&] {
                    cv::cvtColor(mosaic, bgr, cv::COLOR_BayerBG2BGR);
                    cv::resize(bgr, small, cv::Size(int(kWidth / k), int(kHeight / k)), 0, 0, cv::INTER_AREA);
                },
                kRuns);
            std::printf("  %-11s       %7.2f ms   OpenCV cvtColor + resize; ours %.3f x that (target <= 0.1)\n", "",
                        cvMs, ours / cvMs);
        }
    }
    return 0;
}
