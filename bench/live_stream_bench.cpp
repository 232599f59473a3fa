// Live view end to end without a window: the simulated camera streaming at
// a set rate into LiveStream, and a display loop that does what the window
// does with each notice (take the newest frame, reduce it to 606 x 404,
// give the one before back). Reads the stream's own counters, and times
// the display path against the wall clock. One run.
#include "app/live/LiveStream.h"

#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

void Run(int width, int height, const char* format, double rate, double seconds)
{
    const std::string sim = "width=" + std::to_string(width) + ",height=" + std::to_string(height) +
                            ",formats=" + format + ",rate=" + std::to_string(rate);
    setenv("TARVIK_SIM", sim.c_str(), 1);
    unsetenv("TARVIK_CAMERAS");
    if (OpenCamera({}).Failed()) {
        std::printf("  could not open the simulated camera\n");
        return;
    }
    std::mutex mutex;
    std::condition_variable told;
    bool notice = false;
    LiveStream stream;
    stream.Start([&] {
        std::lock_guard<std::mutex> lock(mutex);
        notice = true;
        told.notify_one();
    });
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    Clock::duration busy{};
    LiveStream::Frame shown;
    while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            told.wait_for(lock, std::chrono::milliseconds(100), [&] { return notice; });
            notice = false;
        }
        const auto began = Clock::now();
        LiveStream::Frame frame;
        if (stream.Take(&frame)) {
            ShowLiveFrame(frame, 606, 404);
            if (shown.record)
                stream.GiveBack(shown);
            shown = frame;
        }
        busy += Clock::now() - began;
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (shown.record)
        stream.GiveBack(shown);
    const LiveStream::Counts c = stream.CountsNow();
    stream.Stop();
    ReleaseCamera();
    std::printf("%d x %d %s at %.0f frames/s, %.1f s, %zu frames announced (%.0f MB)\n", width, height, format,
                rate, wall, LiveStream::kFrames, double(LiveStream::kFrames) * width * height *
                (std::string(format) == "BGR8Packed" ? 3 : 1) / 1e6);
    std::printf("  received %.1f frames/s, shown %.1f (%.3f x the rate), %llu dropped for lack of frames, "
                "%llu incomplete\n",
                double(c.received) / wall, double(c.shown) / wall, double(c.shown) / wall / rate,
                (unsigned long long)c.dropped, (unsigned long long)c.incomplete);
    std::printf("  the display path took %.2f of one core\n", std::chrono::duration<double>(busy).count() / wall);
}

}  // namespace

int main()
{
    Run(5472, 3648, "BayerRG8", 30, 4);
    Run(1292, 964, "Mono8", 500, 3);
    return 0;
}
