// Times saving a 20-megapixel frame as PNG, as Ctrl+S and --grab do, against
// OpenCV's cv::imwrite at its defaults on the same pixels, and compares the
// file sizes. Two pictures: the simulated camera's and one with sensor-like
// noise. Prints ratios measured in this one run.
#include "Timing.h"
#include "app/CameraSequences.h"
#include "platform/camera/camsim.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <sys/stat.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

long long FileSize(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

void Run(const char* what, const std::vector<uint8_t>& bgr, int w, int h, int runs)
{
    g_nWidth = w;
    g_nHeight = h;
    CopyFrameToImage(bgr.data(), int64_t(bgr.size()), "BGR8Packed", g_image);
    g_lastFrame.valid = true;
    const cv::Mat mat(h, w, CV_8UC3, const_cast<uint8_t*>(bgr.data()));
    const std::string ours = "/tmp/tarvik-save-bench.png", theirs = "/tmp/tarvik-save-bench-cv.png";

    std::string error;
    const double oursMs = BestMs([&] { error = imaging::SavePicture(CapturedPicture(), ours); }, runs);
    const double cvMs = BestMs([&] { cv::imwrite(theirs, mat); }, runs);
    if (!error.empty())
        std::printf("  save failed: %s\n", error.c_str());
    const long long oursSize = FileSize(ours), cvSize = FileSize(theirs);
    std::printf("%s, %d x %d (best of %d runs)\n", what, w, h, runs);
    std::printf("  ours, as Ctrl+S saves       %8.1f ms  %10lld bytes\n", oursMs, oursSize);
    std::printf("  cv::imwrite PNG              %8.1f ms  %10lld bytes\n", cvMs, cvSize);
    std::printf("  time %.2f x OpenCV (target <= 1.2), size %.2f x OpenCV (target <= 1.3)\n",
                oursMs / cvMs, double(oursSize) / double(cvSize));
    std::remove(ours.c_str());
    std::remove(theirs.c_str());
}

}  // namespace

int main()
{
    const int w = 5472, h = 3648, runs = 5;
    std::vector<uint8_t> bgr(size_t(w) * h * 3);
    cam::RenderSimPicture(bgr.data(), bgr.size(), w, h, false, 0);
    Run("simulated camera picture", bgr, w, h, runs);

    // Smooth shading with a few levels of noise in every sample, as sensors give.
    std::mt19937 noise(1);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &bgr[(size_t(y) * w + x) * 3];
            const int level = (x / 7 + y / 5) & 255;
            p[0] = uint8_t(std::min(255, level + int(noise() % 8)));
            p[1] = uint8_t(std::min(255, level * 3 / 4 + int(noise() % 8)));
            p[2] = uint8_t(std::max(0, 255 - level - int(noise() % 8)));
        }
    Run("noisy picture", bgr, w, h, runs);
    return 0;
}
