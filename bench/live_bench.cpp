// Times live view's display path on a 20-megapixel frame, one thread, in
// every instruction-set family the processor has: the frame reduced
// straight from its pixel format to about the size a window shows
// (imaging::ReduceFrame), against memcpy of the frame's bytes, and for
// BayerRG8 also against OpenCV's bilinear cvtColor followed by an area
// resize of the same frame. Prints one table of ratios measured in this run.
#include "FamilyTable.h"
#include "NoisyFrame.h"
#include "Timing.h"
#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"
#include "platform/imaging/LiveReduce.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <iterator>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kWidth = 5472, kHeight = 3648, kTargetWidth = 606, kTargetHeight = 404;
constexpr int kRuns = 9;

std::vector<uint8_t> FrameIn(const char* format) { return NoisyFrame(format, kWidth, kHeight); }

}  // namespace

int main()
{
    cv::setNumThreads(1);
    static imaging::DisplayImage image;
    char title[128];
    std::snprintf(title, sizeof title, "%u x %u frame shown in %u x %u, one thread", kWidth, kHeight, kTargetWidth,
                  kTargetHeight);
    const char* const formats[] = {"BayerRG8", "Mono8", "YUV422_8", "YUV422_8_UYVY", "RGB8", "BGRa8",
                                   "Mono12p", "Mono16", "BayerRG12p"};
    std::vector<std::vector<uint8_t>> frames;
    frames.reserve(std::size(formats));  // the rows keep references to them
    static std::vector<uint8_t> copy(size_t(kWidth) * kHeight * 4);  // the largest frame
    std::vector<FamilyRow> rows;
    for (const char* format : formats) {
        frames.push_back(FrameIn(format));
        const std::vector<uint8_t>& frame = frames.back();
        const uint32_t k = imaging::LiveBlock(format, kWidth, kHeight, kTargetWidth, kTargetHeight);
        auto reduce = [&frame, format, k] {
            imaging::ReduceFrame({frame.data(), frame.size(), kWidth, kHeight, format}, k, image);
        };
        rows.push_back({std::string(format) + " k=" + std::to_string(k), "memcpy of the frame",
                        "<= 1.0 / <= 1.5", [&frame] { std::memcpy(copy.data(), frame.data(), frame.size()); }, -1,
                        reduce});
        if (std::strcmp(format, "BayerRG8") == 0) {
            static cv::Mat bgr, small;
            rows.push_back({"BayerRG8 k=" + std::to_string(k), "OpenCV Bayer + resize", "<= 0.1",
                            [&frame, k] {
                                const cv::Mat mosaic(int(kHeight), int(kWidth), CV_8UC1,
                                                     const_cast<uint8_t*>(frame.data()));
                                cv::cvtColor(mosaic, bgr, cv::COLOR_BayerBG2BGR);
                                cv::resize(bgr, small, cv::Size(int(kWidth / k), int(kHeight / k)), 0, 0,
                                           cv::INTER_AREA);
                            },
                            -1, reduce});
        }
    }
    FamilyTable(title, rows, kRuns);
    return 0;
}
