// The simulated camera streaming at a set rate, read as fast as it comes
// (each frame queued again at once): frames received against the rate
// asked, pictures lost, and the share of one core the camera's side took,
// all measured in this one run; with the camera's read noise (noise=SIGMA)
// and without.
#include "platform/camera/cam.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void Run(int width, int height, const char* format, double rate, double seconds, double noise = 0)
{
    const std::string sim = "width=" + std::to_string(width) + ",height=" + std::to_string(height) +
                            ",formats=" + format + ",rate=" + std::to_string(rate) +
                            ",noise=" + std::to_string(noise);
    setenv("TARVIK_SIM", sim.c_str(), 1);
    unsetenv("TARVIK_CAMERAS");
    CamHandle h = 0;
    CamCameraInfo info{};
    uint32_t n = 0;
    int64_t payload = 0;
    if (CamStartup() != CAM_OK || CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce") != CAM_OK ||
        CamCameraList(&info, 1, &n, sizeof info) != CAM_OK || n != 1 ||
        CamCameraOpen(info.cameraId, CAM_ACCESS_CONTROL, &h) != CAM_OK ||
        CamFeatureIntGet(h, "PayloadSize", &payload) != CAM_OK) {
        std::printf("  could not open the simulated camera\n");
        return;
    }
    const size_t kFrames = 4;
    std::vector<std::vector<uint8_t>> memory(kFrames, std::vector<uint8_t>(size_t(payload)));
    std::vector<CamFrame> frames(kFrames);
    for (size_t i = 0; i < kFrames; ++i) {
        frames[i].buffer = memory[i].data();
        frames[i].bufferSize = uint32_t(payload);
        CamFrameAnnounce(h, &frames[i], sizeof frames[i]);
    }
    CamCaptureStart(h);
    for (CamFrame& f : frames)
        CamFrameQueue(h, &f, nullptr);
    CamFeatureCommandRun(h, "AcquisitionStart");

    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    uint64_t received = 0, first = 0, last = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
        CamFrame* f = nullptr;
        if (CamFrameWaitNext(h, &f, 1000) != CAM_OK)
            break;
        if (received++ == 0)
            first = f->frameId;
        last = f->frameId;
        CamFrameQueue(h, f, nullptr);
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;
    CamFeatureCommandRun(h, "AcquisitionStop");
    CamCaptureEnd(h);
    for (CamFrame& f : frames)
        CamFrameRevoke(h, &f);
    CamShutdown();

    const uint64_t lost = received ? last - first + 1 - received : 0;
    std::printf("%d x %d %s at %.0f frames/s, noise %g, %zu frames queued, %.1f s\n", width, height, format,
                rate, noise, kFrames, wall);
    std::printf("  received %.1f frames/s (%.3f x the rate asked), %llu lost; the camera's side took %.2f of "
                "one core (target < 1)\n",
                double(received) / wall, double(received) / wall / rate, (unsigned long long)lost, cpu / wall);
}

}  // namespace

int main()
{
    Run(5472, 3648, "BayerRG8", 30, 4);
    Run(5472, 3648, "BayerRG8", 30, 4, 3);
    Run(5472, 3648, "BayerRG12", 30, 4, 12);
    Run(1292, 964, "Mono8", 500, 2);
    Run(1292, 964, "Mono8", 500, 2, 3);
    Run(1292, 964, "BGR8Packed", 500, 2);
    return 0;
}
