// Times the pixel-format conversion of a 20-megapixel frame into the display
// image, one thread, against OpenCV's cvtColor on the same pixels (Bayer
// bilinear, YUV 4:2:2) and against memcpy, and checks that the Bayer
// interior equals OpenCV's. Prints ratios measured in this one run.
#include "NoisyFrame.h"
#include "Timing.h"
#include "app/CameraSequences.h"
#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"
#include "platform/imaging/PixelRows.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int kWidth = 5472, kHeight = 3648, kRuns = 9;

std::vector<uint8_t> FrameIn(const char* format) { return NoisyFrame(format, kWidth, kHeight); }

double Ours(const char* format, const std::vector<uint8_t>& frame)
{
    return BestMs([&] { CopyFrameToImage(frame.data(), int64_t(frame.size()), format, g_image); }, kRuns);
}

// The display image, top row first, as a Mat to compare with OpenCV's.
cv::Mat Displayed()
{
    const imaging::DisplayImage& image = g_image;
    cv::Mat out(kHeight, kWidth, CV_8UC3);
    for (int y = 0; y < kHeight; ++y)
        std::memcpy(out.ptr(y), image.GetBits() + ptrdiff_t(y) * image.GetPitch(), size_t(kWidth) * 3);
    return out;
}

void Line(const char* what, double ms, double reference, const char* against, const char* target)
{
    std::printf("  %-26s %8.2f ms   %.2f x %s (target %s)\n", what, ms, ms / reference, against, target);
}

}  // namespace

int main()
{
    cv::setNumThreads(1);
    g_nWidth = kWidth;
    g_nHeight = kHeight;
    std::printf("%d x %d into the display image, one thread (best of %d runs)\n", kWidth, kHeight, kRuns);

    // Bayer: PFNC BayerRG is what OpenCV calls BayerBG.
    const std::vector<uint8_t> bayer = FrameIn("BayerRG8");
    const cv::Mat mosaic(kHeight, kWidth, CV_8UC1, const_cast<uint8_t*>(bayer.data()));
    cv::Mat cvBgr;
    const double cvBayer = BestMs([&] { cv::cvtColor(mosaic, cvBgr, cv::COLOR_BayerBG2BGR); }, kRuns);
    const double bayer8 = Ours("BayerRG8", bayer);
    cv::Mat diff;
    cv::absdiff(Displayed()(cv::Rect(1, 1, kWidth - 2, kHeight - 2)), cvBgr(cv::Rect(1, 1, kWidth - 2, kHeight - 2)), diff);
    double largest = 0;
    cv::minMaxLoc(diff.reshape(1), nullptr, &largest);
    std::printf("  OpenCV Bayer bilinear      %8.2f ms\n", cvBayer);
    Line("Bayer 8-bit", bayer8, cvBayer, "OpenCV", "<= 1.0");
    std::printf("  largest |ours - OpenCV| inside the border: %.0f levels (target <= 1)\n", largest);
    imaging::SetVectorRows(false);
    Line("Bayer 8-bit, plain loops", Ours("BayerRG8", bayer), cvBayer, "OpenCV", "none");
    imaging::SetVectorRows(true);
    const double bayer12p = Ours("BayerRG12p", FrameIn("BayerRG12p"));
    Line("Bayer 12p", bayer12p, bayer8, "our Bayer 8-bit", "<= 1.5");

    // YUV 4:2:2 in both byte orders.
    for (const auto& [format, code, name] :
         {std::tuple{"YUV422Packed", cv::COLOR_YUV2BGR_UYVY, "UYVY"},
          std::tuple{"YUV422_YUYV_Packed", cv::COLOR_YUV2BGR_YUY2, "YUYV"}}) {
        const std::vector<uint8_t> yuv = FrameIn(format);
        const cv::Mat packed(kHeight, kWidth, CV_8UC2, const_cast<uint8_t*>(yuv.data()));
        const double cvYuv = BestMs([&] { cv::cvtColor(packed, cvBgr, code); }, kRuns);
        std::printf("  OpenCV YUV 4:2:2 %s      %8.2f ms\n", name, cvYuv);
        Line(format, Ours(format, yuv), cvYuv, "OpenCV", "<= 1.0");
    }

    // Formats measured against copying memory.
    const std::vector<uint8_t> rgb = FrameIn("RGB8");
    std::vector<uint8_t> copy(rgb.size());
    const double frameCopy = BestMs([&] { std::memcpy(copy.data(), rgb.data(), rgb.size()); }, kRuns);
    Line("RGB8", Ours("RGB8", rgb), frameCopy, "memcpy of the frame", "<= 1.2");
    const double imageCopy = frameCopy;  // the display image's bytes are as many as an RGB8 frame's
    for (const char* format : {"Mono16", "Mono12p", "Mono12Packed"})
        Line(format, Ours(format, FrameIn(format)), imageCopy, "memcpy of the image", "<= 1.5");
    return 0;
}
