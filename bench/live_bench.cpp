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
#include "platform/imaging/live/LiveReduce.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <immintrin.h>

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

// The memory bound of a band kernel: the frame read once as the kernels read
// it, down a band's k rows 32 bytes at a time, each row fetched ahead,
// then across, with nothing done to the bytes but folding them together.
__attribute__((target("avx2"))) uint64_t ReadInBands(const std::vector<uint8_t>& frame, size_t rowBytes, uint32_t k)
{
    __m256i folded = _mm256_setzero_si256();
    const size_t bands = frame.size() / rowBytes / k;
    for (size_t band = 0; band < bands; ++band) {
        const uint8_t* first = frame.data() + band * k * rowBytes;
        for (size_t x = 0; x + 32 <= rowBytes; x += 32)
            for (uint32_t j = 0; j < k; ++j) {
                const uint8_t* p = first + j * rowBytes + x;
                _mm_prefetch(reinterpret_cast<const char*>(p + 256), _MM_HINT_T0);
                folded = _mm256_xor_si256(folded, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
            }
    }
    alignas(32) uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), folded);
    return lanes[0] ^ lanes[1] ^ lanes[2] ^ lanes[3];
}

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
    FamilyTable(title, imaging::Kernel::Live, rows, kRuns);

    // Where a format stays above its target: how far reading alone goes.
    std::printf("memory bound: the frame only read, in bands of k rows as the kernels read it (best of %d runs)\n",
                kRuns);
    for (const char* format : {"YUV422_8", "Mono12p", "BayerRG12p", "BayerRG8"}) {
        const std::vector<uint8_t> frame = FrameIn(format);
        const size_t rowBytes = size_t(cam::RowBytes(*cam::FindPixelFormat(format), kWidth));
        const uint32_t k = imaging::LiveBlock(format, kWidth, kHeight, kTargetWidth, kTargetHeight);
        volatile uint64_t sink = 0;
        double read = 1e300, copied = 1e300;
        for (int run = 0; run < kRuns; ++run) {
            copied = std::min(copied, BestMs([&] { std::memcpy(copy.data(), frame.data(), frame.size()); }, 1));
            read = std::min(read, BestMs([&] { sink = sink ^ ReadInBands(frame, rowBytes, k); }, 1));
        }
        std::printf("  %-22s %8.2f ms   %.2f x memcpy of the frame\n", format, read, read / copied);
    }
    return 0;
}
