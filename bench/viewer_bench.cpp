// Times the viewer window's imaging on a 20-megapixel BayerRG8 frame shown
// in a 1280 x 1024 view, one thread: the view drawn at 1:1, 4:1 and fit, the
// histogram and the focus measure, each against what it is compared with in
// the same run; then the display path's share of a core at 30 frames a
// second and how far a sampled histogram strays from the full count.
#include "NoisyFrame.h"
#include "Timing.h"
#include "platform/imaging/inspect/Inspect.h"
#include "platform/imaging/live/LiveReduce.h"

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kWidth = 5472, kHeight = 3648, kViewWidth = 1280, kViewHeight = 1024;
constexpr int kRuns = 15;

void Row(const char* what, double ms, const char* against, double anchorMs, const char* target)
{
    std::printf("  %-38s %8.3f ms  %6.2f x %-34s %s\n", what, ms, ms / anchorMs, against, target);
}

}  // namespace

int main()
{
    const char* format = "BayerRG8";
    const std::vector<uint8_t> bytes = NoisyFrame(format, kWidth, kHeight);
    const imaging::Frame frame{bytes.data(), bytes.size(), kWidth, kHeight, format};
    static std::vector<uint8_t> copy(bytes.size());
    static std::vector<uint8_t> converted(size_t(kWidth) * 3 * kHeight);
    QImage view;
    const imaging::RenderOptions options;
    volatile double sink = 0;

    const double frameCopy = BestMs([&] { std::memcpy(copy.data(), bytes.data(), bytes.size()); }, kRuns);
    const size_t viewBytes = size_t(kViewWidth) * kViewHeight * 4;
    const double viewCopy = BestMs([&] { std::memcpy(copy.data(), bytes.data(), viewBytes); }, kRuns);
    // The camera bytes a 1:1 view shows, row by row as they lie in the frame.
    const double visibleCopy = BestMs(
        [&] {
            for (uint32_t y = 0; y < kViewHeight; ++y)
                std::memcpy(copy.data() + size_t(y) * kViewWidth, bytes.data() + size_t(1300 + y) * kWidth + 2000,
                            kViewWidth);
        },
        kRuns);
    const double convertAll =
        BestMs([&] { imaging::ConvertFrame(frame, converted.data(), ptrdiff_t(kWidth) * 3); }, 5);
    // A view in the middle of the frame, moved by a pixel each time as a pan would.
    double panX = 2000;
    auto render = [&](double zoom) {
        panX = panX == 2000 ? 2001 : 2000;
        imaging::RenderView(frame, {panX, 1300, zoom}, kViewWidth, kViewHeight, options, &view);
    };
    const double oneToOne = BestMs([&] { render(1); }, kRuns);
    const double fourToOne = BestMs([&] { render(4); }, kRuns);
    const double fitZoom = std::min(double(kViewWidth) / kWidth, double(kViewHeight) / kHeight);
    const double fit =
        BestMs([&] { imaging::RenderView(frame, {0, 0, fitZoom}, kViewWidth, kViewHeight, options, &view); }, kRuns);
    imaging::DisplayImage reduced;
    // Live view in the dialog reduces for its picture area; the fit view
    // reduces by the largest block that leaves a source pixel a screen pixel.
    const uint32_t k = imaging::LiveBlock(format, kWidth, kHeight, 606, 404);
    const double live = BestMs([&] { imaging::ReduceFrame(frame, k, reduced); }, kRuns);
    const double live4 = BestMs([&] { imaging::ReduceFrame(frame, 4, reduced); }, kRuns);
    // Fit as the window draws it: the whole frame reduced by live view's
    // block for its size on the canvas, scaled smoothly by the painter.
    QImage whole, canvas(kViewWidth, kViewHeight, QImage::Format_RGB32);
    const double fitWindow = BestMs(
        [&] {
            const uint32_t kw = imaging::ReduceWhole(frame, uint32_t(std::ceil(kWidth * fitZoom)),
                                                     uint32_t(std::ceil(kHeight * fitZoom)), &whole);
            canvas.fill(0);
            QPainter painter(&canvas);
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.drawImage(QRectF(0, 0, whole.width() * kw * fitZoom, whole.height() * kw * fitZoom), whole);
        },
        kRuns);
    imaging::RenderOptions marking;
    marking.markClipped = true;
    const double fitMarked =
        BestMs([&] { imaging::RenderView(frame, {0, 0, fitZoom}, kViewWidth, kViewHeight, marking, &view); }, kRuns);
    imaging::Histogram full, sampled;
    const uint32_t kRowStep = imaging::HistogramRowStep(frame);
    const double histogram = BestMs([&] { imaging::MakeHistogram(frame, 1, &full); }, kRuns);
    const double histogramSampled = BestMs([&] { imaging::MakeHistogram(frame, kRowStep, &sampled); }, kRuns);
    const double sharpness = BestMs([&] { sink = sink + imaging::Sharpness(frame, QRect(0, 0, kWidth, kHeight)); }, kRuns);

    std::printf("viewer imaging: %u x %u %s frame, %u x %u view, one thread (best of %d runs)\n", kWidth, kHeight,
                format, kViewWidth, kViewHeight, kRuns);
    std::printf("  %-38s %8.3f ms\n", "memcpy of the frame", frameCopy);
    Row("RenderView 1:1", oneToOne, "memcpy of the camera bytes shown", visibleCopy, "");
    Row("RenderView 1:1", oneToOne, "memcpy of the view image's bytes", viewCopy, "");
    Row("RenderView 1:1", oneToOne, "ConvertFrame of the whole frame", convertAll, "(<= 5 ms a pan step)");
    Row("RenderView 4:1", fourToOne, "memcpy of the view image's bytes", viewCopy, "");
    Row("RenderView 4:1", fourToOne, "ConvertFrame of the whole frame", convertAll, "");
    char what[64];
    std::snprintf(what, sizeof what, "RenderView fit (zoom %.3f)", fitZoom);
    char liveName[64];
    std::snprintf(liveName, sizeof liveName, "ReduceFrame k=%u (live view's)", k);
    Row(what, fit, liveName, live, "<= 1.5");
    Row(what, fit, "ReduceFrame k=4 (the same block)", live4, "");
    Row("fit as the window draws it", fitWindow, liveName, live, "<= 1.5");
    Row("  the same, clipped pixels marked", fitMarked, liveName, live, "");
    Row("MakeHistogram, every row", histogram, "memcpy of the frame", frameCopy, "<= 1.0");
    std::snprintf(what, sizeof what, "MakeHistogram, row step %u", kRowStep);
    Row(what, histogramSampled, "memcpy of the frame", frameCopy, "<= 1.0");
    Row("Sharpness of the whole frame", sharpness, "memcpy of the frame", frameCopy, "");

    // Live at 30 frames a second: every frame drawn at 1:1, the histogram
    // and the focus measure on every sixth (5 a second).
    const double perFrame = oneToOne + (histogramSampled + sharpness) / 6;
    std::printf("  display path at 30 frames/s, 1:1: %.3f ms a frame, %.3f of a core (target <= 0.35 with the "
                "rest of live view)\n",
                perFrame, perFrame * 30 / 1000);
    const double perFrameFit = fitWindow + (histogramSampled + sharpness) / 6;
    std::printf("  display path at 30 frames/s, fit: %.3f ms a frame, %.3f of a core; %.2f x live view's "
                "reduction alone\n",
                perFrameFit, perFrameFit * 30 / 1000, perFrameFit / live);

    // The sampled histogram against the full count, as shares of each channel.
    double worstBin = 0, worstBlack = 0, worstFull = 0;
    for (size_t c = 0; c < full.channels.size(); ++c) {
        const auto& a = full.channels[c];
        const auto& b = sampled.channels[c];
        const double na = double(a.total), nb = double(b.total);
        for (size_t v = 0; v < a.counts.size(); ++v)
            worstBin = std::max(worstBin, std::abs(a.counts[v] / na - b.counts[v] / nb));
        worstBlack = std::max(worstBlack, std::abs(a.black / na - b.black / nb));
        worstFull = std::max(worstFull, std::abs(a.full / na - b.full / nb));
    }
    std::printf("  row step %u against every row: largest difference of a bin's share %.5f%%, of the share at "
                "black %.5f%%, at full scale %.5f%%\n",
                kRowStep, 100 * worstBin, 100 * worstBlack, 100 * worstFull);
    return sink < 0;
}
