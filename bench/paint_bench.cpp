// Times the halftone stretch of a 20-megapixel display image into the real
// picture area against OpenCV's area resize (one thread), in every
// instruction-set family the processor has, and Qt's smooth scaling, a
// repaint with no new frame, and how far our pixels are from OpenCV's.
// Prints ratios measured in this one run.
#include "FamilyTable.h"
#include "Timing.h"
#include "app/TarvikDlg.h"
#include "platform/camera/camsim.h"
#include "platform/ui/DialogWindow.h"
#include "platform/imaging/display/Halftone.h"

#include <QApplication>
#include <QImage>
#include <QTest>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int w = 5472, h = 3648, runs = 9;

    // The real dialog on the simulated camera at 20 megapixels.
    setenv("TARVIK_SIM", "width=5472,height=3648", 1);
    unsetenv("TARVIK_CAMERAS");
    CTarvikDlg dlg;
    dlg.Create();
    ui::DialogWidget* widget = ui::WidgetOf(dlg);
    widget->show();
    if (!QTest::qWaitForWindowExposed(widget))
        return 1;
    QTest::mouseClick(widget->control(IDC_INIT_GRAB_START), Qt::LeftButton);
    QTest::mouseClick(widget->control(IDC_GRAB_ONCE), Qt::LeftButton);
    if (g_image.GetWidth() != w) {
        std::fprintf(stderr, "paint_bench: the simulated camera did not deliver a frame\n");
        return 1;
    }
    const ui::Rect fit = FitRect(w, h, dlg.m_picture.GetClientRect());
    const int fw = fit.Width(), fh = fit.Height();
    const imaging::DisplayImage& image = g_image;
    const imaging::BgrView view{image.GetBits(), image.GetPitch(), w, h};

    // Top-down copies for the other libraries (not timed).
    std::vector<uint8_t> topDown(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        std::memcpy(&topDown[size_t(y) * w * 3], view.top + ptrdiff_t(y) * view.pitch, size_t(w) * 3);
    cv::Mat src(h, w, CV_8UC3, topDown.data());
    cv::Mat cvOut;
    cv::setNumThreads(1);
    std::vector<uint32_t> ours(size_t(fw) * fh);

    char title[128];
    std::snprintf(title, sizeof title, "%d x %d fitted to %d x %d, one thread", w, h, fw, fh);
    const auto stretch = [&] { imaging::HalftoneStretch(view, ours.data(), fw, fh, fw); };
    const auto area = [&] { cv::resize(src, cvOut, cv::Size(fw, fh), 0, 0, cv::INTER_AREA); };
    const std::vector<std::vector<double>> ms =
        FamilyTable(title, imaging::Kernel::Halftone, {{"halftone fit", "OpenCV INTER_AREA", "<= 0.4 / <= 0.5", area, -1, stretch}}, runs);
    const double tOurs = ms[0].back();
    const double tCv = BestMs(area, runs);
    const QImage qsrc(topDown.data(), w, h, w * 3, QImage::Format_BGR888);
    QImage qOut;
    const double tQt = BestMs([&] { qOut = qsrc.scaled(fw, fh, Qt::IgnoreAspectRatio, Qt::SmoothTransformation); }, runs);

    widget->repaint();  // the first paint stretches and caches
    std::vector<double> repaints;
    for (int i = 0; i < 50; ++i)
        repaints.push_back(BestMs([&] { widget->repaint(); }, 1));
    std::sort(repaints.begin(), repaints.end());
    const double tRepaint = repaints[repaints.size() / 2];

    double diff = 0;
    for (int y = 0; y < fh; ++y)
        for (int x = 0; x < fw; ++x) {
            const uint32_t p = ours[size_t(y) * fw + x];
            const cv::Vec3b c = cvOut.at<cv::Vec3b>(y, x);
            diff += std::abs(int(p & 0xff) - c[0]) + std::abs(int((p >> 8) & 0xff) - c[1]) +
                    std::abs(int((p >> 16) & 0xff) - c[2]);
        }
    diff /= double(fw) * fh * 3;

    std::printf("%d x %d into the picture area, fitted to %d x %d (best of %d runs, %s)\n", w, h, fw, fh, runs,
                imaging::SimdName(imaging::KernelSimd(imaging::Kernel::Halftone)));
    std::printf("  our halftone stretch   %8.2f ms\n", tOurs);
    std::printf("  OpenCV INTER_AREA      %8.2f ms   (one thread)\n", tCv);
    std::printf("  Qt smooth scaling      %8.2f ms   %.2f x OpenCV\n", tQt, tQt / tCv);
    std::printf("  repaint, no new frame  %8.3f ms   median of 50 (target <= 1 ms)\n", tRepaint);
    std::printf("  mean |ours - OpenCV|   %8.3f levels per channel (target <= 1.0)\n", diff);
    CamShutdown();
    return 0;
}
