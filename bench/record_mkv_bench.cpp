// Times recording to Matroska with each codec against FFmpeg's own command
// line encoding the same frames with the same codec, slices and threads, both
// into a file system in memory. Prints frames per second and their ratio, and
// each codec's file size against FFV1's, measured in this one run; and Bayer
// mosaics recorded as their four colour planes against the mosaic as it is.
#include "NoisyFrame.h"
#include "Timing.h"
#include "platform/imaging/sequence/SequenceFile.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int Cores()
{
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

// The writer's rule: the fewest slices FFV1 lays out that give each thread one.
int SlicesFor(int threads)
{
    for (int slices : {4, 6, 9, 12, 16, 24, 30, 36, 42})
        if (slices >= threads)
            return slices;
    return 42;
}

long long RunCodec(const std::string& codec, const char* format, uint32_t w, uint32_t h, int frames, int runs,
                   const std::string& dir, long long ffv1Bytes);

// frames copies of frame recorded to path by the writer with options; false,
// said, when it failed.
bool Record(const std::string& path, const imaging::SequenceOptions& options, const char* format, uint32_t w,
            uint32_t h, const std::vector<uint8_t>& frame, int frames)
{
    auto writer = imaging::MakeMkvWriter(options);
    bool ok = writer->Open(path, {cam::FindPixelFormat(format), w, h}, true);
    for (int i = 0; ok && i < frames; ++i)
        ok = writer->Write({frame.data(), frame.size(), uint64_t(i), uint64_t(i + 1) * 5000000, 0});
    ok = writer->Close() && ok;
    if (!ok)
        std::printf("  recording failed: %s\n", writer->Error().c_str());
    return ok;
}

long long FileBytes(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : 0;
}

// A Bayer mosaic recorded as it is and as its four colour planes, in turns,
// with each codec that takes it: the planes' frames/s and size against the
// mosaic's with the same codec, and their size against FFV1's mosaic.
void RunBayer(const char* format, uint32_t w, uint32_t h, int frames, int runs, const std::string& dir)
{
    const std::vector<uint8_t> frame = NoisyFrame(format, w, h);
    const std::string path = dir + "/bayer.mkv";
    const int threads = Cores();
    long long ffv1Mosaic = 0;
    for (const std::string& codec : imaging::MkvCodecs()) {
        if (!imaging::MkvTakes({cam::FindPixelFormat(format), w, h}, codec, nullptr))
            continue;
        double ms[2] = {1e300, 1e300};
        long long bytes[2] = {};
        bool ok = true;
        for (int run = 0; run < runs; ++run)
            for (int planes = 0; planes < 2; ++planes) {
                imaging::SequenceOptions options{"tiff", threads, codec};
                options.bayerPlanes = planes;
                ms[planes] = std::min(
                    ms[planes], BestMs([&] { ok = Record(path, options, format, w, h, frame, frames) && ok; }, 1));
                bytes[planes] = FileBytes(path);
            }
        if (codec == "ffv1")
            ffv1Mosaic = bytes[0];
        const double fps[2] = {frames * 1000.0 / ms[0], frames * 1000.0 / ms[1]};
        std::printf("%s %ux%u as planes, %s, %d frames, %d threads:%s\n", format, w, h, codec.c_str(), frames,
                    threads, ok ? "" : "  (a run FAILED)");
        std::printf("  mosaic     %8.2f frames/s  (%lld bytes)\n", fps[0], bytes[0]);
        std::printf("  planes     %8.2f frames/s  (%lld bytes)\n", fps[1], bytes[1]);
        std::printf("  ratio      %8.2f x the mosaic's rate\n", fps[1] / fps[0]);
        std::printf("  size       %8.3f x the mosaic's with %s, %.3f x FFV1's mosaic\n", double(bytes[1]) / bytes[0],
                    codec.c_str(), ffv1Mosaic ? double(bytes[1]) / ffv1Mosaic : 0.0);
        unlink(path.c_str());
    }
}

void Run(const char* format, uint32_t w, uint32_t h, int frames, int runs, const std::string& dir)
{
    long long ffv1Bytes = 0;
    for (const std::string& codec : imaging::MkvCodecs())
        ffv1Bytes = RunCodec(codec, format, w, h, frames, runs, dir, ffv1Bytes);
}

// The recording's size; ffv1Bytes: FFV1's for the same frames (0: this is FFV1).
long long RunCodec(const std::string& codec, const char* format, uint32_t w, uint32_t h, int frames, int runs,
                   const std::string& dir, long long ffv1Bytes)
{
    const std::vector<uint8_t> frame = NoisyFrame(format, w, h);
    const std::string raw = dir + "/frames.raw", ours = dir + "/ours.mkv", theirs = dir + "/theirs.mkv";
    FILE* out = std::fopen(raw.c_str(), "wb");
    for (int i = 0; i < frames; ++i)
        std::fwrite(frame.data(), 1, frame.size(), out);
    if (std::fclose(out) != 0) {
        std::printf("  cannot write %s\n", raw.c_str());
        return 0;
    }
    const int threads = Cores(), slices = SlicesFor(threads);

    const std::string command = "ffmpeg -v error -y -f rawvideo -pix_fmt gray -s " + std::to_string(w) + "x" +
                                std::to_string(h) + " -i " + raw + " -threads " + std::to_string(threads) +
                                (codec == "ffv1" ? " -c:v ffv1 -level 3 -g 1 -slices " + std::to_string(slices) +
                                                       " -slicecrc 1 -context 0 "
                                                 : " -c:v " + codec + " ") +
                                theirs;
    // In turns, so that whatever else the machine does weighs on both alike.
    bool ok = true;
    double oursMs = 1e300, ffmpegMs = 1e300;
    for (int run = 0; run < runs; ++run) {
        oursMs = std::min(oursMs, BestMs(
                                      [&] {
                                          ok = ok && Record(ours, {"tiff", threads, codec}, format, w, h, frame,
                                                            frames);
                                      },
                                      1));
        ffmpegMs = std::min(ffmpegMs, BestMs([&] { ok = std::system(command.c_str()) == 0 && ok; }, 1));
    }
    struct stat a {}, b {};
    stat(ours.c_str(), &a);
    stat(theirs.c_str(), &b);
    const double oursFps = frames * 1000.0 / oursMs, ffmpegFps = frames * 1000.0 / ffmpegMs;
    std::printf("%s %ux%u, %s, %d frames, %d slices (FFV1), %d threads:\n", format, w, h, codec.c_str(), frames,
                slices, threads);
    std::printf("  recording  %8.1f frames/s  (%lld bytes)\n", oursFps, (long long)a.st_size);
    std::printf("  ffmpeg     %8.1f frames/s  (%lld bytes)\n", ffmpegFps, (long long)b.st_size);
    std::printf("  ratio      %8.2f x ffmpeg's rate%s\n", oursFps / ffmpegFps, ok ? "" : "  (a run FAILED)");
    if (ffv1Bytes > 0)
        std::printf("  size       %8.3f x FFV1's for the same frames\n", double(a.st_size) / double(ffv1Bytes));
    // FFmpeg 5.1's encoders take a worst-case packet buffer (FFV1 148 bytes
    // a pixel); the writer keeps it from becoming resident.
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("  peak memory of this process so far: %ld MB (a frame: %zu MB)\n", usage.ru_maxrss / 1024,
                frame.size() >> 20);
    unlink(raw.c_str());
    unlink(ours.c_str());
    unlink(theirs.c_str());
    return ffv1Bytes > 0 ? ffv1Bytes : (long long)a.st_size;
}

}  // namespace

// "bayer": the Bayer planes' rows alone.
int main(int argc, char** argv)
{
    struct stat st {};
    const std::string dir = stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
    if (argc < 2 || std::string(argv[1]) != "bayer") {
        Run("Mono8", 1292, 964, 150, 3, dir);
        Run("BayerRG8", 5472, 3648, 6, 3, dir);
    }
    RunBayer("BayerRG8", 5472, 3648, 6, 3, dir);
    RunBayer("BayerRG12", 5472, 3648, 6, 3, dir);
}
