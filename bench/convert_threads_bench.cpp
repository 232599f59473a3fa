// The full-size conversion someone waits for (a grab, a picture saved or
// copied) of a 20-megapixel frame, on one thread and split over the cores,
// against OpenCV's cvtColor on the same pixels, like with like: one thread
// against cv::setNumThreads(1), the cores against OpenCV's default threads.
// A column per instruction-set family, with the machine's load before and
// after (other work shares the cores).
#include "FamilyTable.h"
#include "NoisyFrame.h"
#include "platform/imaging/convert/PixelConvert.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr uint32_t kWidth = 5472, kHeight = 3648;

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
    const int cores = imaging::WaitedThreads({nullptr, 0, kWidth, kHeight, "Mono8"});
    std::printf("load before: %s; OpenCV's default threads %d, ours %d\n", Load().c_str(), defaultThreads, cores);
    // PFNC BayerRG is what OpenCV calls BayerBG.
    const std::tuple<const char*, int, int> formats[] = {{"YUV422_8_UYVY", cv::COLOR_YUV2BGR_UYVY, CV_8UC2},
                                                         {"YUV422_8", cv::COLOR_YUV2BGR_YUY2, CV_8UC2},
                                                         {"BayerRG8", cv::COLOR_BayerBG2BGR, CV_8UC1}};
    std::vector<std::vector<uint8_t>> frames;
    std::vector<cv::Mat> in;
    for (const auto& [format, code, type] : formats) {
        frames.push_back(NoisyFrame(format, kWidth, kHeight));
        in.emplace_back(int(kHeight), int(kWidth), type, frames.back().data());
    }
    std::vector<uint8_t> out(size_t(kWidth) * 3 * kHeight);
    cv::Mat cvOut;
    std::vector<FamilyRow> rows;
    for (const int threads : {1, cores})
        for (size_t i = 0; i < frames.size(); ++i) {
            const auto& [format, code, type] = formats[i];
            FamilyRow row;
            row.name = std::string(format) + ", " + std::to_string(threads) + (threads == 1 ? " thread" : " threads");
            row.anchor = threads == 1 ? "OpenCV, 1 thread" : "OpenCV, default threads";
            row.targets = threads == 1 ? "-" : "0.8 / 1.0";
            const int cvThreads = threads == 1 ? 1 : defaultThreads;
            row.anchorRun = [&, i, code = code, cvThreads] {
                cv::setNumThreads(cvThreads);
                cv::cvtColor(in[i], cvOut, code);
            };
            row.ours = [&, i, format = format, threads] {
                imaging::ConvertFrame({frames[i].data(), frames[i].size(), kWidth, kHeight, format}, out.data(),
                                      ptrdiff_t(kWidth) * 3, threads);
            };
            rows.push_back(row);
        }
    FamilyTable("5472 x 3648 into blue, green, red rows, like with like against OpenCV cvtColor", imaging::Kernel::Rows, rows, 15);
    cv::setNumThreads(defaultThreads);
    std::printf("load after: %s\n", Load().c_str());
    return 0;
}
