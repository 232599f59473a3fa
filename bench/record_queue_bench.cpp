// The recorder's copy of a frame on the camera thread while the writer falls
// behind (frames 20 MP, 10 a second, the writer held): OnFrame, against a
// copy into memory newly taken from the system (what the camera thread pays
// without buffers made ready), against memcpy into memory already touched.
#include "app/record/Recorder.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Holds every write until released, so that frames stay queued.
class HeldWriter : public imaging::SequenceWriter {
public:
    bool Open(const std::string&, const imaging::SequenceShape&, bool) override { return true; }
    bool Write(const imaging::SequenceFrame&) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        released_.wait(lock, [this] { return open_; });
        return true;
    }
    bool Close() override { return true; }
    const std::string& Error() const override { return error_; }
    uint64_t BytesWritten() const override { return 0; }
    void Release()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        released_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool open_ = false;
    std::string error_;
};

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double Ms(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main()
{
    // Large blocks always from the system and back, as in a program's first
    // recording; else the allocator would keep the last round's pages.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    const uint32_t width = 5472, height = 3648;
    const uint64_t bytes = uint64_t(width) * height;
    const int frames = 10, rounds = 3;
    std::vector<uint8_t> picture(bytes, 7), touched(bytes, 0);
    char folder[] = "/tmp/record-queue-bench.XXXXXX";
    if (!mkdtemp(folder))
        return 1;
    const std::string path = std::string(folder) + "/r.tiff";
    std::vector<double> onFrame, fresh, plain;
    for (int round = 0; round < rounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        std::memcpy(touched.data(), picture.data(), bytes);
        plain.push_back(Ms(start));
        start = std::chrono::steady_clock::now();
        {
            std::unique_ptr<uint8_t[]> newMemory(new uint8_t[bytes]);
            std::memcpy(newMemory.get(), picture.data(), bytes);
            fresh.push_back(Ms(start));
        }

        auto writer = std::make_unique<HeldWriter>();
        HeldWriter* held = writer.get();
        Recorder recorder;
        Recorder::Options options;
        options.path = path;
        options.overwrite = true;
        options.bufferBytes = 16 * bytes;
        std::string error;
        if (!recorder.Begin(options, {cam::FindPixelFormat("BayerRG8"), width, height}, "", &error, nullptr,
                            std::move(writer))) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        const auto begun = std::chrono::steady_clock::now();
        for (int i = 0; i < frames; ++i) {
            CamFrame f{};
            f.buffer = picture.data();
            f.bufferSize = f.imageSize = uint32_t(bytes);
            f.width = width;
            f.height = height;
            f.frameId = uint64_t(i);
            std::this_thread::sleep_until(begun + std::chrono::milliseconds(100 * (i + 1)));
            start = std::chrono::steady_clock::now();
            recorder.OnFrame(f);
            onFrame.push_back(Ms(start));
        }
        held->Release();
        recorder.Finish(false);
    }
    for (const char* sidecar : {"", ".csv", ".settings"})
        unlink((path + sidecar).c_str());
    rmdir(folder);
    const double r = Median(onFrame), worst = *std::max_element(onFrame.begin(), onFrame.end());
    const double f = Median(fresh), p = Median(plain);
    std::printf("20 MP frame on the camera thread, writer behind: OnFrame %.2f ms (worst %.2f), copy into new "
                "memory %.2f ms, memcpy into touched memory %.2f ms\n",
                r, worst, f, p);
    std::printf("ratios: OnFrame/memcpy %.2f, new memory/memcpy %.2f, OnFrame/new memory %.2f\n", r / p, f / p,
                r / f);
    return 0;
}
