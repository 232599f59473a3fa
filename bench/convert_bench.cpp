// Times the pixel-format conversion of a 20-megapixel frame into the display
// image, one thread, in every instruction-set family the processor has,
// against OpenCV's cvtColor on the same pixels (one thread: Bayer bilinear,
// YUV 4:2:2), our Bayer 8-bit and memcpy of the bytes, and checks that the
// Bayer interior equals OpenCV's. Prints one table of ratios measured in
// this one run.
#include "FamilyTable.h"
#include "NoisyFrame.h"
#include "Timing.h"
#include "app/CameraSequences.h"
#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"
#include "platform/imaging/convert/PixelRows.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <immintrin.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int kWidth = 5472, kHeight = 3648, kRuns = 9;

std::vector<uint8_t> FrameIn(const char* format) { return NoisyFrame(format, kWidth, kHeight); }

void Ours(const char* format, const std::vector<uint8_t>& frame)
{
    CopyFrameToImage(frame.data(), int64_t(frame.size()), format, g_image);
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


// The memory bound of the demosaic: each row read with the rows above and
// below it, as the kernels read them, and three bytes a pixel streamed into
// the display image, with nothing done to the bytes but folding them together.
__attribute__((target("avx2"))) inline __m256i At(const uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("avx2"))) void ReadThreeRowsStreamOut(const uint8_t* frame)
{
    imaging::DisplayImage& image = g_image;
    for (int y = 1; y + 1 < kHeight; ++y) {
        const uint8_t* b = frame + size_t(y) * kWidth;
        uint8_t* out = image.GetBits() + ptrdiff_t(y) * image.GetPitch();
        out += (32 - reinterpret_cast<uintptr_t>(out) % 32) % 32;
        for (size_t x = 0; x + 32 + 11 <= size_t(kWidth); x += 32) {
            const __m256i v = _mm256_xor_si256(_mm256_xor_si256(At(b - kWidth + x), At(b + x)), At(b + kWidth + x));
            for (int part = 0; part < 3; ++part)
                _mm256_stream_si256(reinterpret_cast<__m256i*>(out + 3 * x + 32 * part), v);
        }
    }
    _mm_sfence();
}

// Where BayerRG8's time goes, per family: the whole conversion, the row
// kernel alone (its three rows and its output row in the caches), the
// kernel with its output streamed into the image (rows still in the
// caches), and the memory bound above; each the best of runs, against
// OpenCV measured in the same turns.
void BayerTimeGoes(const std::vector<uint8_t>& bayer, const cv::Mat& mosaic, cv::Mat& cvBgr, int runs)
{
    const std::vector<imaging::Simd> families = imaging::ProcessorFamilies();
    static std::vector<uint8_t> row(size_t(kWidth) * 3);
    enum { kWhole, kAlone, kStreamed, kBound, kParts };
    std::vector<std::array<double, kParts>> ms(families.size());
    for (auto& f : ms)
        f.fill(1e300);
    double openCv = 1e300;
    auto rowsInCache = [&](bool toImage) {
        imaging::DisplayImage& image = g_image;
        for (int y = 1; y + 1 < kHeight; ++y) {
            const uint8_t* b = bayer.data() + size_t(y % 8 + 1) * kWidth;
            uint8_t* out = toImage ? image.GetBits() + ptrdiff_t(y) * image.GetPitch() : row.data();
            imaging::DemosaicRow(b - kWidth, b, b + kWidth, out, kWidth, "RGGB", uint64_t(y), toImage);
        }
    };
    for (int run = 0; run < runs; ++run) {
        openCv = std::min(openCv, BestMs([&] { cv::cvtColor(mosaic, cvBgr, cv::COLOR_BayerBG2BGR); }, 1));
        for (size_t f = 0; f < families.size(); ++f) {
            imaging::SetSimd(families[f]);
            ms[f][kWhole] = std::min(ms[f][kWhole], BestMs([&] { Ours("BayerRG8", bayer); }, 1));
            ms[f][kAlone] = std::min(ms[f][kAlone], BestMs([&] { rowsInCache(false); }, 1));
            ms[f][kStreamed] = std::min(ms[f][kStreamed], BestMs([&] { rowsInCache(true); }, 1));
            ms[f][kBound] = std::min(ms[f][kBound], BestMs([&] { ReadThreeRowsStreamOut(bayer.data()); }, 1));
        }
    }
    imaging::ResetSimd();
    std::printf("where BayerRG8's time goes (best of %d runs; ms, and x OpenCV bilinear at %.2f ms)\n", runs, openCv);
    std::printf("  (* the default for the demosaic on this processor)\n");
    const char* const parts[kParts] = {"whole conversion", "row kernel alone, in the caches",
                                       "row kernel, streamed into the image", "memory bound (3 rows in, 3 B/px out)"};
    for (int p = 0; p < kParts; ++p) {
        std::printf("  %-38s", parts[p]);
        for (size_t f = 0; f < families.size(); ++f)
            std::printf("  %s%s %6.2f (%.2f)", imaging::SimdName(families[f]),
                        families[f] == imaging::KernelSimd(imaging::Kernel::Demosaic) ? "*" : "", ms[f][size_t(p)],
                        ms[f][size_t(p)] / openCv);
        std::printf("\n");
    }
}

}  // namespace

int main()
{
    cv::setNumThreads(1);
    g_nWidth = kWidth;
    g_nHeight = kHeight;
    char title[128];
    std::snprintf(title, sizeof title, "%d x %d into the display image, one thread", kWidth, kHeight);

    // Bayer: PFNC BayerRG is what OpenCV calls BayerBG.
    const std::vector<uint8_t> bayer = FrameIn("BayerRG8"), bayer12p = FrameIn("BayerRG12p");
    const cv::Mat mosaic(kHeight, kWidth, CV_8UC1, const_cast<uint8_t*>(bayer.data()));
    cv::Mat cvBgr;
    std::vector<FamilyRow> rows;
    rows.push_back({"BayerRG8", "OpenCV bilinear", "<= 0.5 / <= 0.7",
                    [&] { cv::cvtColor(mosaic, cvBgr, cv::COLOR_BayerBG2BGR); }, -1,
                    [&] { Ours("BayerRG8", bayer); }});
    rows.push_back({"BayerRG12p", "our BayerRG8", "<= 1.3 / <= 1.5", nullptr, 0, [&] { Ours("BayerRG12p", bayer12p); }});
    // Demosaic rows, their own kernel (BayerRG12p's top 8 bits are taken by
    // the rows kernel, a small part of its time).
    rows[0].kernel = rows[1].kernel = imaging::Kernel::Demosaic;

    // YUV 4:2:2 in both byte orders and both ranges.
    std::vector<std::vector<uint8_t>> frames;
    std::vector<cv::Mat> packed;
    frames.reserve(16);
    packed.reserve(16);
    for (const auto& [format, code] : {std::pair{"YUV422Packed", cv::COLOR_YUV2BGR_UYVY},
                                       std::pair{"YUV422_YUYV_Packed", cv::COLOR_YUV2BGR_YUY2},
                                       std::pair{"YCbCr601_422_8", cv::COLOR_YUV2BGR_YUY2}}) {
        frames.push_back(FrameIn(format));
        packed.emplace_back(kHeight, kWidth, CV_8UC2, frames.back().data());
        const cv::Mat& in = packed.back();
        const std::vector<uint8_t>& frame = frames.back();
        const int cvCode = code;
        rows.push_back({format, "OpenCV cvtColor", "<= 0.8 / <= 1.0", [&in, &cvBgr, cvCode] { cv::cvtColor(in, cvBgr, cvCode); },
                        -1, [format = format, &frame] { Ours(format, frame); }});
    }

    // Formats measured against copying memory: the frame's bytes, or the
    // display image's (as many as an RGB8 frame's) where those are more.
    const std::vector<uint8_t> rgb = FrameIn("RGB8");
    static std::vector<uint8_t> copy(size_t(kWidth) * kHeight * 4);  // the largest frame
    const auto memcpyOf = [](const std::vector<uint8_t>& bytes) {
        return [&bytes] { std::memcpy(copy.data(), bytes.data(), bytes.size()); };
    };
    for (const char* format : {"BGR8", "RGB8", "BGRa8", "Mono8", "Mono16", "Mono12p", "Mono12Packed"}) {
        frames.push_back(FrameIn(format));
        const std::vector<uint8_t>& frame = frames.back();
        const bool smaller = frame.size() < rgb.size();
        rows.push_back({format, smaller ? "memcpy of the image" : "memcpy of the frame", "<= 1.0 / <= 1.2",
                        memcpyOf(smaller ? rgb : frame), -1, [format, &frame] { Ours(format, frame); }});
    }
    FamilyTable(title, imaging::Kernel::Rows, rows, kRuns);

    // The Bayer interior, as the default family converts it, against OpenCV's.
    Ours("BayerRG8", bayer);
    cv::cvtColor(mosaic, cvBgr, cv::COLOR_BayerBG2BGR);
    cv::Mat diff;
    cv::absdiff(Displayed()(cv::Rect(1, 1, kWidth - 2, kHeight - 2)), cvBgr(cv::Rect(1, 1, kWidth - 2, kHeight - 2)), diff);
    double largest = 0;
    cv::minMaxLoc(diff.reshape(1), nullptr, &largest);
    std::printf("  largest |ours - OpenCV| inside the border: %.0f levels (target <= 1)\n", largest);
    BayerTimeGoes(bayer, mosaic, cvBgr, kRuns);
    return 0;
}
