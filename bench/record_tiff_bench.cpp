// Times recording 20-megapixel BayerRG8 frames to a multi-page TIFF and to a
// folder of one file a frame, against dd writing as many bytes of zeros to the
// same file system (bs=20M conv=fdatasync): the disk's own pace. Prints the
// ratios measured in this one run.
// Usage: record_tiff_bench [FOLDER [FRAMES]]  (default: /tmp, 30 frames)
#include "Timing.h"
#include "platform/camera/camsim.h"
#include "platform/imaging/convert/SampleUnpack.h"
#include "platform/imaging/sequence/SequenceFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Camera bytes a second the writer keeps up with, whole recording, sync
// included; *written, where asked, the file bytes a second.
double Record(imaging::SequenceFormat format, const imaging::SequenceOptions& options, const std::string& path,
              const std::vector<std::vector<uint8_t>>& frames, int count, uint32_t w, uint32_t h,
              double* written = nullptr)
{
    auto writer = imaging::MakeSequenceWriter(format, options);
    const auto start = std::chrono::steady_clock::now();
    bool ok = writer->Open(path, {cam::FindPixelFormat("BayerRG8"), w, h}, true);
    for (int i = 0; ok && i < count; ++i) {
        const std::vector<uint8_t>& f = frames[size_t(i) % frames.size()];
        ok = writer->Write({f.data(), f.size(), uint64_t(i)});
    }
    ok = writer->Close() && ok;
    const double s = Seconds(start);
    if (!ok) {
        std::printf("  %s: failed: %s\n", path.c_str(), writer->Error().c_str());
        return 0;
    }
    if (written)
        *written = double(writer->BytesWritten()) / s;
    return double(frames[0].size()) * count / s;
}

double Dd(const std::string& folder, int count)
{
    const std::string file = folder + "/record-bench-dd.bin";
    const std::string command =
        "dd if=/dev/zero of='" + file + "' bs=20M count=" + std::to_string(count) + " conv=fdatasync 2>/dev/null";
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    const double s = Seconds(start);
    std::remove(file.c_str());
    return status == 0 ? 20.0 * 1024 * 1024 * count / s : 0;
}

// Milliseconds to unpack one frame of each kind of layout, best of 5.
void UnpackTimes(uint32_t w, uint32_t h)
{
    std::printf("unpacking one %u x %u frame (target: a few ms)\n", w, h);
    for (const char* name : {"BayerRG8", "Mono12", "Mono16", "Mono10p", "Mono12p", "Mono12Packed", "RGB8", "BGRa8",
                             "YUV422_8_UYVY"}) {
        const cam::PixelFormat& f = *cam::FindPixelFormat(name);
        std::vector<uint8_t> src(cam::RowBytes(f, w) * h, 0x5a), dst(imaging::UnpackedRowBytes(f, w) * h);
        const double ms = BestMs(
            [&] {
                for (uint32_t y = 0; y < h; ++y)
                    imaging::UnpackRow(f, src.data() + y * cam::RowBytes(f, w), w,
                                       dst.data() + y * imaging::UnpackedRowBytes(f, w));
            },
            5);
        std::printf("  %-14s %6.1f ms  %6.0f MB/s out\n", name, ms, dst.size() / ms / 1e3);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string folder = argc > 1 ? argv[1] : "/tmp";
    const int count = argc > 2 ? std::atoi(argv[2]) : 30;
    const uint32_t w = 5472, h = 3648;
    // A few different frames, so that no cache of one frame's pages flatters the writers.
    std::vector<std::vector<uint8_t>> frames(4, std::vector<uint8_t>(size_t(w) * h));
    for (size_t i = 0; i < frames.size(); ++i)
        cam::RenderSimFrame(frames[i].data(), frames[i].size(), w, h, "BayerRG8", i);

    const std::string tiff = folder + "/record-bench.tiff", dir = folder + "/record-bench-frames/";
    // dd and the TIFF writer in turns, the best of each kept: a shared disk's
    // pace wanders, and the disk at its best is the bar.
    double dd = 0, tiffRate = 0;
    for (int round = 0; round < 3; ++round) {
        dd = std::max(dd, Dd(folder, count));
        tiffRate = std::max(tiffRate, Record(imaging::SequenceFormat::Tiff, {}, tiff, frames, count, w, h));
        std::remove(tiff.c_str());
    }
    imaging::SequenceOptions png;
    png.frameFileFormat = "png";
    double dirTiffFiles = 0;
    const double dirTiff = Record(imaging::SequenceFormat::Directory, {}, dir, frames, count, w, h, &dirTiffFiles);
    std::filesystem::remove_all(dir);
    const double dirPng = Record(imaging::SequenceFormat::Directory, png, dir, frames, count, w, h);
    std::filesystem::remove_all(dir);

    const double mb = 1e6, frame = double(frames[0].size());
    std::printf("%d frames of %u x %u BayerRG8 (%.1f MB each) to %s\n", count, w, h, frame / mb, folder.c_str());
    std::printf("  dd bs=20M conv=fdatasync      %7.1f MB/s  (best of 3, as the TIFF)\n", dd / mb);
    std::printf("  multi-page TIFF               %7.1f MB/s  %6.1f frames/s  %.2f x dd (target >= 0.9)\n",
                tiffRate / mb, tiffRate / frame, tiffRate / dd);
    std::printf("  folder, frame-N.tiff          %7.1f MB/s  %6.1f frames/s  %.2f x dd (target >= 0.9)\n",
                dirTiff / mb, dirTiff / frame, dirTiff / dd);
    // A file holds 3 bytes a camera byte: at the disk's pace that is 0.33 x dd in camera bytes.
    std::printf("    its files' bytes            %7.1f MB/s                   %.2f x dd\n", dirTiffFiles / mb,
                dirTiffFiles / dd);
    std::printf("  folder, frame-N.png           %7.1f MB/s  %6.1f frames/s  %.2f x dd\n", dirPng / mb,
                dirPng / frame, dirPng / dd);
    std::printf("  (camera bytes a second; the folder's files hold each frame demosaicked, 3 bytes a pixel)\n");
    UnpackTimes(w, h);
    return 0;
}
