// Times reading recordings back, against FFmpeg doing the same work: the
// next frame of a 20 MP BayerRG8 recording read and converted for display
// against libavcodec's decode of it plus the same conversion; a jump to a
// random frame against one step; frames a second reading 1292 x 964 Mono8
// against `ffmpeg -threads N -i rec.mkv -f null -`; and the peak memory of
// reading a 10 000-frame recording. Ratios are of this one run.
#include "NoisyFrame.h"
#include "Timing.h"
#include "platform/imaging/convert/PixelConvert.h"
#include "platform/imaging/sequence/SequenceReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

int Cores()
{
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

// The process's resident memory now, in MB (VmRSS).
double ResidentMb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024;
    return 0;
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// frames copies of a noisy frame, recorded as the program would at 30
// frames a second (its default codec for that rate unless codec is named).
std::string Make(const std::string& path, const char* format, uint32_t w, uint32_t h, int frames,
                 std::string codec = {})
{
    const imaging::SequenceShape shape{cam::FindPixelFormat(format), w, h};
    if (codec.empty())
        codec = imaging::DefaultMkvCodec(shape, 30);
    const std::vector<uint8_t> frame = NoisyFrame(format, w, h);
    auto writer = imaging::MakeMkvWriter({"tiff", Cores(), codec});
    bool ok = writer->Open(path, shape, true);
    for (int i = 0; ok && i < frames; ++i)
        ok = writer->Write({frame.data(), frame.size(), uint64_t(i), uint64_t(i + 1) * 33333333, 0});
    ok = writer->Close() && ok;
    if (!ok)
        std::printf("  cannot make %s: %s\n", path.c_str(), writer->Error().c_str());
    return ok ? codec : std::string();
}

// libavcodec alone: each packet decoded, each picture converted as the
// viewer converts a frame; the mean time of a frame over the file.
double FfmpegFrameMs(const std::string& path, const char* format, std::vector<uint8_t>* display)
{
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0)
        return 0;
    const AVCodecParameters* par = in->streams[0]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(ctx, par);
    // Slice threads, as the reader: frame threads would decode ahead of the
    // frame asked for, which stepping cannot.
    ctx->thread_count = Cores();
    ctx->thread_type = FF_THREAD_SLICE;
    avcodec_open2(ctx, codec, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* picture = av_frame_alloc();
    int frames = 0;
    const auto start = std::chrono::steady_clock::now();
    while (true) {
        if (av_read_frame(in, packet) < 0)
            break;
        avcodec_send_packet(ctx, packet);
        av_packet_unref(packet);
        if (avcodec_receive_frame(ctx, picture) < 0)
            continue;
        const imaging::Frame f{picture->data[0], uint64_t(picture->linesize[0]) * uint64_t(picture->height),
                               uint32_t(picture->width), uint32_t(picture->height), format};
        imaging::ConvertFrame(f, display->data(), ptrdiff_t(picture->width) * 3, imaging::WaitedThreads(f));
        av_frame_unref(picture);
        ++frames;
    }
    const double mean = Seconds(start) * 1000 / std::max(frames, 1);
    av_frame_free(&picture);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    avformat_close_input(&in);
    return mean;
}

// The reader: the mean time of reading the next frame and converting it,
// from the first frame on; *peakMb: the most resident memory after any.
double ReaderStepMs(imaging::SequenceReader& reader, std::vector<uint8_t>* display, double* peakMb = nullptr)
{
    const auto& s = reader.Shape();
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < reader.FrameCount(); ++i) {
        imaging::ReadFrame frame;
        if (!reader.Read(i, &frame))
            return 0;
        const imaging::Frame f{frame.data, frame.size, s.width, s.height, s.format->name};
        imaging::ConvertFrame(f, display->data(), ptrdiff_t(s.width) * 3, imaging::WaitedThreads(f));
        if (peakMb && i % 100 == 0)
            *peakMb = std::max(*peakMb, ResidentMb());
    }
    return Seconds(start) * 1000 / double(std::max<uint64_t>(reader.FrameCount(), 1));
}

// Jumps to random frames, each read and converted: the median time.
double ReaderJumpMs(imaging::SequenceReader& reader, std::vector<uint8_t>* display, int jumps)
{
    std::mt19937 pick(11);
    std::vector<double> ms;
    const auto& s = reader.Shape();
    uint64_t last = 0;
    for (int j = 0; j < jumps; ++j) {
        uint64_t i = pick() % reader.FrameCount();
        if (i == last + 1 || i == last)
            i = (i + 2) % reader.FrameCount();  // a jump, not a step
        const auto start = std::chrono::steady_clock::now();
        imaging::ReadFrame frame;
        if (!reader.Read(i, &frame))
            return 0;
        const imaging::Frame f{frame.data, frame.size, s.width, s.height, s.format->name};
        imaging::ConvertFrame(f, display->data(), ptrdiff_t(s.width) * 3, imaging::WaitedThreads(f));
        ms.push_back(Seconds(start) * 1000);
        last = i;
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

void Memory(const std::string& dir)
{
    std::printf("== peak memory reading a 10000-frame recording (320 x 240 Mono8)\n");
    const std::string path = dir + "/play-long.mkv";
    if (Make(path, "Mono8", 320, 240, 10000, "ffv1").empty())
        return;
    const double before = ResidentMb();
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    auto reader = imaging::OpenSequence(path, &error);
    if (!reader) {
        std::printf("  %s\n", error.c_str());
        return;
    }
    const double openMs = Seconds(start) * 1000;
    std::vector<uint8_t> display(320 * 240 * 3);
    double peak = ResidentMb();
    const double step = ReaderStepMs(*reader, &display, &peak);
    const double jump = ReaderJumpMs(*reader, &display, 200);
    peak = std::max(peak, ResidentMb());
    std::printf("  opened in %.1f ms (%llu frames), a step %.3f ms, a jump %.3f ms\n", openMs,
                (unsigned long long)reader->FrameCount(), step, jump);
    std::printf("  resident before opening %.1f MB, at most %.1f MB while reading every frame and 200 jumps "
                "(+%.1f MB; a frame is %.2f MB)\n",
                before, peak, peak - before, 320.0 * 240 / 1e6);
    // The same file cut before its index, as a killed recording is: its
    // frames found by going through its elements.
    reader.reset();
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && truncate(path.c_str(), st.st_size - 64) == 0) {
        const auto cutStart = std::chrono::steady_clock::now();
        auto cut = imaging::OpenSequence(path, &error);
        const double cutMs = Seconds(cutStart) * 1000;
        const double cutJump = cut ? ReaderJumpMs(*cut, &display, 200) : 0;
        std::printf("  cut before its index: opened in %.1f ms (%llu frames), a jump %.3f ms\n", cutMs,
                    cut ? (unsigned long long)cut->FrameCount() : 0ull, cutJump);
    }
    std::remove(path.c_str());
}

void Bayer20(const std::string& dir)
{
    const uint32_t w = 5472, h = 3648;
    std::printf("== 20 MP BayerRG8 (%u x %u): the next frame read and converted for display\n", w, h);
    const std::string path = dir + "/play-20mp.mkv";
    const std::string codec = Make(path, "BayerRG8", w, h, 8);
    if (codec.empty())
        return;
    std::vector<uint8_t> display(size_t(w) * h * 3);
    std::string error;
    auto reader = imaging::OpenSequence(path, &error);
    if (!reader) {
        std::printf("  %s\n", error.c_str());
        return;
    }
    // In turns, so that whatever else the machine does weighs on both alike.
    double ours = 1e300, theirs = 1e300, jump = 1e300;
    for (int run = 0; run < 3; ++run) {
        ours = std::min(ours, ReaderStepMs(*reader, &display));
        theirs = std::min(theirs, FfmpegFrameMs(path, "BayerRG8", &display));
        jump = std::min(jump, ReaderJumpMs(*reader, &display, 8));
    }
    std::printf("  %s, %d threads: reader %.1f ms, libavcodec %.1f ms: %.2fx (target <= 1.2x)\n", codec.c_str(),
                Cores(), ours, theirs, ours / theirs);
    std::printf("  a jump to a random frame %.1f ms, one step %.1f ms: %.2fx (target <= 1.2x)\n", jump, ours,
                jump / ours);
    std::remove(path.c_str());
}

void Throughput(const std::string& dir)
{
    const uint32_t w = 1292, h = 964;
    const int frames = 300;
    std::printf("== 1292 x 964 Mono8, %d frames: frames a second read\n", frames);
    for (const char* codec : {"ffv1", "magicyuv"}) {
        const std::string path = dir + "/play-mono8.mkv";
        if (Make(path, "Mono8", w, h, frames, codec).empty())
            return;
        const std::string command =
            "ffmpeg -v error -threads " + std::to_string(Cores()) + " -i " + path + " -f null - >/dev/null";
        double ours = 0, theirs = 0;
        for (int run = 0; run < 5; ++run) {
            std::string error;
            const auto start = std::chrono::steady_clock::now();
            auto reader = imaging::OpenSequence(path, &error);
            if (!reader) {
                std::printf("  %s\n", error.c_str());
                return;
            }
            imaging::ReadFrame frame;
            for (uint64_t i = 0; i < reader->FrameCount(); ++i)
                reader->Read(i, &frame);
            ours = std::max(ours, double(reader->FrameCount()) / Seconds(start));
            const auto ffStart = std::chrono::steady_clock::now();
            if (std::system(command.c_str()) != 0)
                std::printf("  ffmpeg failed\n");
            theirs = std::max(theirs, frames / Seconds(ffStart));
        }
        std::printf("  %s, %d threads: reader %.0f frames/s, ffmpeg %.0f frames/s: %.2fx (target >= 0.9x)\n", codec,
                    Cores(), ours, theirs, ours / theirs);
        std::remove(path.c_str());
    }
}

}  // namespace

int main()
{
    struct stat st;
    // A name of its own: others may run it at the same time.
    const std::string dir = std::string(stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp") + "/play-bench-" +
                            std::to_string(getpid());
    if (mkdir(dir.c_str(), 0700) != 0) {
        std::printf("cannot make %s\n", dir.c_str());
        return 1;
    }
    Memory(dir);  // first, while the process's peak is its own
    Throughput(dir);
    Bayer20(dir);
    rmdir(dir.c_str());
    return 0;
}
