// Matroska recordings read back by FFmpeg's own programs: every frame decodes
// to the camera's samples byte for byte, with its time, also when the writer is
// killed, the disk fills up or the file is a FIFO.
#include "SmallDisk.h"
#include "TempDir.h"
#include "platform/imaging/sequence/SequenceFile.h"
#include "platform/imaging/sequence/SequenceReader.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using harness::CommandOutput;
using harness::TempDir;

std::string Probe(const std::string& path, const std::string& what)
{
    return CommandOutput("ffprobe -v error -select_streams v:0 " + what + " -of csv=p=0 '" + path + "' 2>/dev/null");
}

int FramesIn(const std::string& path)
{
    return std::atoi(Probe(path, "-count_frames -show_entries stream=nb_read_frames").c_str());
}

// YUV recordings say they are full range (those of kFormats are): asked for
// the same range, FFmpeg leaves the samples as they are.
Bytes Decoded(const std::string& path, const char* pixelFormat)
{
    const std::string range = std::string(pixelFormat) == "yuyv422" ? " -vf scale=out_range=full" : "";
    const std::string out =
        CommandOutput("ffmpeg -v error -i '" + path + "'" + range + " -f rawvideo -pix_fmt " + pixelFormat + " -");
    return Bytes(out.begin(), out.end());
}

// The samples as the recording keeps them: 8 or 16 bits each, colour as R, G,
// B, YUV 4:2:2 as Y0 U Y1 V (what rawvideo yuyv422 gives back).
void UnpackRow(const cam::PixelFormat& f, const uint8_t* src, uint32_t width, Bytes* out)
{
    if (f.sampling == cam::Sampling::Colour) {
        const int step = f.bitsPerPixel / 8;
        for (uint32_t x = 0; x < width; ++x)
            for (char c : {'R', 'G', 'B'})
                out->push_back(src[x * step + (std::strchr(f.order, c) - f.order)]);
    } else if (f.sampling == cam::Sampling::Yuv422) {
        const int order[4] = {f.order[0] == 'Y' ? 0 : 1, f.order[0] == 'Y' ? 1 : 0, f.order[0] == 'Y' ? 2 : 3,
                              f.order[0] == 'Y' ? 3 : 2};
        for (uint32_t x = 0; x < width * 2; ++x)
            out->push_back(src[x / 4 * 4 + order[x % 4]]);
    } else {
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t v = cam::ReadSample(f, src, x);
            out->push_back(uint8_t(v));
            if (f.bits > 8)
                out->push_back(uint8_t(v >> 8));
        }
    }
}

// Frames of random samples; the recording's bytes of frame i are those of
// frames[i] up to sizes[i], black after.
struct Take {
    const cam::PixelFormat* format;
    uint32_t width, height;
    std::vector<Bytes> frames;
    std::vector<uint64_t> sizes;

    Take(const char* name, uint32_t w, uint32_t h, int count) : format(cam::FindPixelFormat(name)), width(w), height(h)
    {
        std::mt19937 random(uint32_t(count * 131 + w));
        for (int i = 0; i < count; ++i) {
            Bytes frame(cam::RowBytes(*format, w) * h);
            if (format->packing == cam::Packing::Byte)
                for (uint8_t& b : frame)
                    b = uint8_t(random());
            else
                for (uint64_t s = 0; s < uint64_t(w) * h; ++s)
                    cam::WriteSample(*format, frame.data() + s / w * cam::RowBytes(*format, w), s % w, random());
            frames.push_back(frame);
            sizes.push_back(frame.size());
        }
    }
    Bytes Expected(size_t count) const
    {
        Bytes out;
        for (size_t i = 0; i < count; ++i) {
            Bytes frame = frames[i];
            std::fill(frame.begin() + long(sizes[i]), frame.end(), 0);
            for (uint32_t y = 0; y < height; ++y)
                UnpackRow(*format, frame.data() + y * cam::RowBytes(*format, width), width, &out);
        }
        return out;
    }
    bool Write(imaging::SequenceWriter& writer, size_t i, uint64_t timestamp = 0, uint64_t receiveTime = 0) const
    {
        return writer.Write({frames[i].data(), sizes[i], i, timestamp, receiveTime ? receiveTime : 1000 + i});
    }
};

struct FormatCase {
    const char* format;
    const char* decodeAs;  // rawvideo pixel format of the samples UnpackRow gives
    const char* tags;      // what ffprobe reports of the stream's tags
    const char* codec = "ffv1";
};

const FormatCase kFormats[] = {
    {"Mono8", "gray", "Mono8"},
    {"Mono12", "gray16le", "Mono12"},
    {"Mono12p", "gray16le", "Mono12p"},
    {"BayerRG8", "gray", "BayerRG8,RGGB"},
    {"BayerGB12p", "gray16le", "BayerGB12p,GBRG"},
    {"RGB8", "rgb24", "RGB8"},
    {"BGRa8", "rgb24", "BGRa8"},
    {"YUV422_8", "yuyv422", "YUV422_8"},
    {"YUV422_8_UYVY", "yuyv422", "YUV422_8_UYVY"},
    {"Mono8", "gray", "Mono8", "magicyuv"},
    {"BayerRG8", "gray", "BayerRG8,RGGB", "magicyuv"},
    {"RGB8", "rgb24", "RGB8", "magicyuv"},
    {"BGRa8", "rgb24", "BGRa8", "magicyuv"},
    {"Mono8", "gray", "Mono8", "ffvhuff"},
    {"Mono12p", "gray16le", "Mono12p", "ffvhuff"},
    {"BayerGB12p", "gray16le", "BayerGB12p,GBRG", "ffvhuff"},
    {"RGB8", "rgb24", "RGB8", "ffvhuff"},
    {"YUV422_8", "yuyv422", "YUV422_8", "ffvhuff"},
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.format << " " << c.codec; }

class MkvFormatTest : public ::testing::TestWithParam<FormatCase> {};

// Three frames, the last one cut short by the camera (part of a row, then
// nothing): every sample comes back, the missing ones black.
TEST_P(MkvFormatTest, DecodesToTheSamples)
{
    const FormatCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.path + "/f.mkv";
    Take take(c.format, 38, 11, 3);
    take.sizes[2] = take.sizes[2] / 2 + 3;
    imaging::SequenceOptions options;
    options.codec = c.codec;
    auto writer = imaging::MakeMkvWriter(options);
    ASSERT_TRUE(writer->Open(path, {take.format, take.width, take.height}, false)) << writer->Error();
    for (size_t i = 0; i < 3; ++i)
        ASSERT_TRUE(take.Write(*writer, i, 7000000000 + i * 40000000)) << writer->Error();
    ASSERT_TRUE(writer->Close()) << writer->Error();
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(writer->BytesWritten(), uint64_t(st.st_size));

    EXPECT_EQ(FramesIn(path), 3);
    EXPECT_EQ(Probe(path, "-show_entries stream=codec_name"), std::string(c.codec) + "\n");
    // Every frame decodes alone.
    EXPECT_EQ(Probe(path, "-show_entries packet=flags"), "K_\nK_\nK_\n");
    EXPECT_EQ(Probe(path, "-show_entries stream_tags=PIXEL_FORMAT,BAYER_PATTERN"), std::string(c.tags) + "\n");
    EXPECT_EQ(Probe(path, "-show_entries packet=pts"), "0\n40\n80\n");
    EXPECT_TRUE(Decoded(path, c.decodeAs) == take.Expected(3));
}

INSTANTIATE_TEST_SUITE_P(Table, MkvFormatTest, ::testing::ValuesIn(kFormats), [](const auto& info) {
    const std::string codec = info.param.codec;
    return std::string(info.param.format) + (codec == "ffv1" ? "" : "_" + codec);
});

struct TimeCase {
    const char* name;
    uint64_t timestamp[4];    // the camera's clock, ns
    uint64_t receiveTime[4];  // the host's, ns
    const char* pts;          // in the file, ms
};

constexpr uint64_t kMs = 1000000, kNow = 1700000000000000000;
const TimeCase kTimes[] = {
    {"CameraClock", {5000 * kMs, 5005 * kMs, 5012 * kMs, 6000 * kMs}, {kNow, kNow, kNow, kNow}, "0\n5\n12\n1000\n"},
    {"NoCameraClock", {0, 0, 0, 0}, {kNow, kNow + 33 * kMs, kNow + 66 * kMs, kNow + 99 * kMs}, "0\n33\n66\n99\n"},
    {"ClockStandsStill", {9 * kMs, 14 * kMs, 14 * kMs, 14 * kMs}, {kNow, kNow, kNow, kNow}, "0\n5\n6\n7\n"},
    {"ClockGoesBack", {9 * kMs, 20 * kMs, 3 * kMs, 30 * kMs}, {kNow, kNow, kNow, kNow}, "0\n11\n12\n21\n"},
};

void PrintTo(const TimeCase& c, std::ostream* os) { *os << c.name; }

class MkvTimeTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(MkvTimeTest, FramesFollowOneAnother)
{
    const TimeCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.path + "/t.mkv";
    Take take("Mono8", 8, 4, 4);
    auto writer = imaging::MakeMkvWriter({});
    ASSERT_TRUE(writer->Open(path, {take.format, take.width, take.height}, false));
    for (size_t i = 0; i < 4; ++i)
        ASSERT_TRUE(take.Write(*writer, i, c.timestamp[i], c.receiveTime[i]));
    ASSERT_TRUE(writer->Close());
    EXPECT_EQ(Probe(path, "-show_entries packet=pts"), c.pts);
}

INSTANTIATE_TEST_SUITE_P(Table, MkvTimeTest, ::testing::ValuesIn(kTimes),
                         [](const auto& info) { return std::string(info.param.name); });

struct OpenCase {
    const char* name;
    const char* existing;  // what is at the path before: "" nothing, "file", "dir"
    bool overwrite;
    const char* error;     // "" when it opens
};

const OpenCase kOpens[] = {
    {"New", "", false, ""},
    {"ExistingKept", "file", false, "File exists"},
    {"ExistingReplaced", "file", true, ""},
    {"Folder", "dir", true, "Is a directory"},
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class MkvOpenTest : public ::testing::TestWithParam<OpenCase> {};

// Hours of recording are not lost to a typo: an existing file is replaced
// only when asked; a refused path is left as it was.
TEST_P(MkvOpenTest, ExistingFilesKept)
{
    const OpenCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.path + "/o.mkv";
    if (std::string(c.existing) == "file") {
        std::ofstream(path) << "old";
    } else if (*c.existing) {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    }
    Take take("Mono8", 8, 4, 1);
    auto writer = imaging::MakeMkvWriter({});
    EXPECT_EQ(writer->Open(path, {take.format, take.width, take.height}, c.overwrite), !*c.error);
    EXPECT_EQ(writer->Error(), c.error);
    if (*c.error) {
        if (std::string(c.existing) == "file") {
            EXPECT_EQ(CommandOutput("cat '" + path + "'"), "old");
        }
        return;
    }
    ASSERT_TRUE(take.Write(*writer, 0));
    ASSERT_TRUE(writer->Close());
    EXPECT_EQ(FramesIn(path), 1);
}

INSTANTIATE_TEST_SUITE_P(Table, MkvOpenTest, ::testing::ValuesIn(kOpens),
                         [](const auto& info) { return std::string(info.param.name); });


struct StopCase {
    const char* name;
    uint64_t free;  // what a small disk has left free
};

const StopCase kStops[] = {
    {"DiskFullAtFirstFrame", 16384},
    {"DiskFullLater", 600000},
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class MkvStopTest : public ::testing::TestWithParam<StopCase> {};

// A full disk stops the recording with its reason; the file holds every frame
// written before, each one whole and decoding to its samples.
TEST_P(MkvStopTest, WholeFramesKept)
{
    const StopCase& c = GetParam();
    TempDir dir;
    const std::string disk = dir.path + "/disk";
    ASSERT_EQ(mkdir(disk.c_str(), 0700), 0);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=2m") != 0)
        GTEST_SKIP() << "no small file system: mounting is not allowed here";
    struct Unmount {
        std::string path;
        ~Unmount() { umount(path.c_str()); }
    } unmount{disk};
    ASSERT_TRUE(harness::LeaveFree(disk, c.free));
    const std::string path = disk + "/s.mkv";
    Take take("Mono8", 320, 240, 40);  // noise: about 80 KB a frame
    auto writer = imaging::MakeMkvWriter({});
    ASSERT_TRUE(writer->Open(path, {take.format, take.width, take.height}, false)) << writer->Error();
    size_t kept = 0;
    while (kept < take.frames.size() && take.Write(*writer, kept))
        ++kept;
    EXPECT_EQ(writer->Close(), false);
    EXPECT_EQ(writer->Error(), "No space left on device");
    EXPECT_LT(kept, take.frames.size());
    EXPECT_EQ(FramesIn(path), int(kept));
    EXPECT_TRUE(Decoded(path, "gray") == take.Expected(kept)) << kept << " frames kept";
}

INSTANTIATE_TEST_SUITE_P(Table, MkvStopTest, ::testing::ValuesIn(kStops),
                         [](const auto& info) { return std::string(info.param.name); });

struct CutCase {
    const char* name;
    int64_t from;    // bytes into the second frame where a kill cuts the file: from its start,
    bool fromEnd;    // or back from its end
    int frames;      // whole frames left
    const char* codec = "ffv1";
};

const CutCase kCuts[] = {
    {"IntoClusterHeader", 10, false, 1},
    {"MidFrame", 40000, false, 1},
    {"LastByteMissing", 1, true, 1},
    {"Whole", 0, true, 2},
    {"MidFrameMagicYuv", 40000, false, 1, "magicyuv"},
    {"LastByteMissingMagicYuv", 1, true, 1, "magicyuv"},
    {"MidFrameFfvHuff", 40000, false, 1, "ffvhuff"},
    {"LastByteMissingFfvHuff", 1, true, 1, "ffvhuff"},
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class MkvCutTest : public ::testing::TestWithParam<CutCase> {};

// A writer killed in the middle of a write leaves the file's bytes up to
// some point: readers take the whole frames before it and only those. The
// file is read while the writer is still open: each frame is on disk as soon
// as Write returns.
TEST_P(MkvCutTest, OnlyWholeFramesRead)
{
    const CutCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.path + "/k.mkv", cut = dir.path + "/cut.mkv";
    Take take("Mono8", 320, 240, 3);
    imaging::SequenceOptions options;
    options.codec = c.codec;
    // One thread: each frame on disk when Write returns (with more, the
    // fast codecs hold a frame a thread).
    if (std::string(c.codec) != "ffv1")
        options.threads = 1;
    auto writer = imaging::MakeMkvWriter(options);
    ASSERT_TRUE(writer->Open(path, {take.format, take.width, take.height}, false));
    std::vector<uint64_t> ends{writer->BytesWritten()};
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(take.Write(*writer, i));
        ends.push_back(writer->BytesWritten());
    }
    const uint64_t at = c.fromEnd ? ends[2] - uint64_t(c.from) : ends[1] + uint64_t(c.from);
    ASSERT_LT(at, ends[3]);
    CommandOutput("head -c " + std::to_string(at) + " '" + path + "' > '" + cut + "'");
    EXPECT_EQ(FramesIn(cut), c.frames);
    EXPECT_TRUE(Decoded(cut, "gray") == take.Expected(size_t(c.frames)));
}

INSTANTIATE_TEST_SUITE_P(Table, MkvCutTest, ::testing::ValuesIn(kCuts),
                         [](const auto& info) { return std::string(info.param.name); });

struct FifoCase {
    const char* name;
    const char* reader;  // shell command reading $1 (the FIFO) into out.mkv
    bool whole;          // it reads to the end; else it goes away early
};

const FifoCase kFifos[] = {
    {"ReadToTheEnd", "cat \"$1\" > out.mkv", true},
    {"ReaderGoesAway", "head -c 100 \"$1\" > out.mkv", false},
};

void PrintTo(const FifoCase& c, std::ostream* os) { *os << c.name; }

class MkvFifoTest : public ::testing::TestWithParam<FifoCase> {};

// A FIFO is streamed into; a reader that goes away fails the write, not the
// program.
TEST_P(MkvFifoTest, Streamed)
{
    const FifoCase& c = GetParam();
    TempDir dir;
    const std::string fifo = dir.path + "/fifo.mkv";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        if (chdir(dir.path.c_str()) == 0)
            execlp("sh", "sh", "-c", c.reader, "sh", fifo.c_str(), nullptr);
        _exit(127);
    }
    Take take("Mono8", 320, 240, 30);
    auto writer = imaging::MakeMkvWriter({});
    ASSERT_TRUE(writer->Open(fifo, {take.format, take.width, take.height}, false)) << writer->Error();
    size_t written = 0;
    while (written < take.frames.size() && take.Write(*writer, written, 1000 + written * kMs))
        ++written;
    const bool closed = writer->Close();
    int status = 0;
    ASSERT_EQ(waitpid(reader, &status, 0), reader);
    if (c.whole) {
        EXPECT_TRUE(closed) << writer->Error();
        EXPECT_EQ(written, take.frames.size());
        EXPECT_EQ(FramesIn(dir.path + "/out.mkv"), int(written));
        EXPECT_TRUE(Decoded(dir.path + "/out.mkv", "gray") == take.Expected(written));
        // A stream never learns its size nor gets an index: it ends where it
        // ends, which is no sign of a recording cut or killed.
        std::string error;
        auto read = imaging::OpenSequence(dir.path + "/out.mkv", &error);
        ASSERT_TRUE(read) << error;
        EXPECT_TRUE(read->Info().complete) << read->Info().note;
        EXPECT_EQ(read->FrameCount(), written);
    } else {
        EXPECT_LT(written, take.frames.size());
        EXPECT_FALSE(closed);
        EXPECT_EQ(writer->Error(), "Broken pipe");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, MkvFifoTest, ::testing::ValuesIn(kFifos),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Every frame once, whatever rate FFmpeg guesses from two of them.
Bytes EachFrame(const std::string& path, const char* pixelFormat)
{
    const std::string out = CommandOutput("ffmpeg -v error -i '" + path +
                                          "' -fps_mode passthrough -enc_time_base -1 -f rawvideo -pix_fmt " +
                                          pixelFormat + " -");
    return Bytes(out.begin(), out.end());
}

// YUV 4:2:2 as FFmpeg's planar yuv422p gives it back: Y, then U, then V, a
// chroma sample per pair; an odd width's last pixel has no V of its own: the
// pair before it lends its V (128 in a frame one pixel wide).
Bytes Planar(const Take& take, size_t count)
{
    const cam::PixelFormat& f = *take.format;
    const uint32_t w = take.width, cw = (w + 1) / 2;
    const int y0 = f.order[0] == 'Y' ? 0 : 1, u = f.order[0] == 'Y' ? 1 : 0, y1 = y0 + 2, v = u + 2;
    Bytes out;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* frame = take.frames[i].data();
        const uint64_t rowBytes = cam::RowBytes(f, w);
        Bytes planes[3];
        for (uint32_t y = 0; y < take.height; ++y) {
            const uint8_t* row = frame + y * rowBytes;
            for (uint32_t x = 0; x < w; ++x)
                planes[0].push_back(row[x / 2 * 4 + (x % 2 ? y1 : y0)]);
            for (uint32_t x = 0; x < cw; ++x) {
                planes[1].push_back(row[x * 4 + u]);
                planes[2].push_back(2 * x + 1 < w ? row[x * 4 + v] : x > 0 ? row[(x - 1) * 4 + v] : 128);
            }
        }
        for (const Bytes& p : planes)
            out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

struct SizeCase {
    const char* format;
    uint32_t width, height;
    const char* decodeAs;  // as in kFormats; yuv422p: planar
};

// Frames a slice of one row or column would take (FFV1 places such a slice
// wrongly and readers drop it), one pixel high or wide, an odd 4:2:2 width.
const SizeCase kSizes[] = {
    {"Mono8", 63, 2, "gray"},          {"Mono16", 64, 2, "gray16le"},   {"RGB8", 1292, 2, "rgb24"},
    {"BayerRG12p", 4000, 2, "gray16le"}, {"Mono8", 2, 64, "gray"},      {"Mono8", 2, 1000, "gray"},
    {"BGR8", 3, 3, "rgb24"},           {"Mono8", 1, 5, "gray"},         {"Mono8", 5, 1, "gray"},
    {"Mono8", 1, 1, "gray"},           {"Mono12", 4000, 1, "gray16le"}, {"BGRa8", 1, 700, "rgb24"},
    {"YUV422_8", 3, 5, "yuv422p"},     {"YUV422_8_UYVY", 2, 2, "yuv422p"}, {"YUV422_8", 1, 1, "yuv422p"},
    {"YUV422_8", 1000, 2, "yuv422p"},  {"Mono8", 7, 7, "gray"},         {"YUV422_8_UYVY", 5, 2, "yuv422p"},
    {"YCbCr601_422_8", 1, 3, "yuv422p"}, {"Mono8", 1292, 964, "gray"},
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.format << " " << c.width << "x" << c.height; }

class MkvSizeTest : public ::testing::TestWithParam<SizeCase> {};

// Every frame size a camera can send is kept exactly (or refused before the
// recording, which none of these is).
TEST_P(MkvSizeTest, DecodesToTheSamples)
{
    const SizeCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.path + "/s.mkv";
    Take take(c.format, c.width, c.height, 2);
    std::string why;
    EXPECT_TRUE(imaging::CanRecord(imaging::SequenceFormat::Mkv, {take.format, c.width, c.height}, &why)) << why;
    auto writer = imaging::MakeMkvWriter({});
    ASSERT_TRUE(writer->Open(path, {take.format, take.width, take.height}, false)) << writer->Error();
    for (size_t i = 0; i < 2; ++i)
        ASSERT_TRUE(take.Write(*writer, i, 1000 + i * 40000000)) << writer->Error();
    ASSERT_TRUE(writer->Close()) << writer->Error();
    EXPECT_EQ(FramesIn(path), 2);
    const bool planar = std::string(c.decodeAs) == "yuv422p";
    const Bytes expected = planar ? Planar(take, 2) : take.Expected(2), got = EachFrame(path, c.decodeAs);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

INSTANTIATE_TEST_SUITE_P(Table, MkvSizeTest, ::testing::ValuesIn(kSizes), [](const auto& info) {
    return std::string(info.param.format) + "_" + std::to_string(info.param.width) + "x" +
           std::to_string(info.param.height);
});

struct RefusedCase {
    const char* name;
    const char* format;
    uint32_t width, height;
    const char* why;
    const char* codec = "";
};

const RefusedCase kRefused[] = {
    {"NoPixels", "Mono8", 0, 5, "frames of 0 x 5 pixels hold no picture"},
    {"AboveFFmpegsLimit", "Mono8", 16384, 16384,
     "FFV1 cannot keep frames of 16384 x 16384 pixels: FFmpeg takes at most (width + 128) x (height + 128) = 268435454"},
    {"OneColumnTooTall", "Mono8", 1, 300000000,
     "FFV1 cannot keep frames of 1 x 300000000 pixels: FFmpeg takes at most (width + 128) x (height + 128) = 268435454"},
    {"DeepSamplesInMagicYuv", "Mono12", 64, 48, "magicyuv keeps 8-bit samples only: Mono12 goes to ffvhuff or ffv1",
     "magicyuv"},
    {"DeepMosaicInMagicYuv", "BayerRG16", 64, 48,
     "magicyuv keeps 8-bit samples only: BayerRG16 goes to ffvhuff or ffv1", "magicyuv"},
    {"FullRangeYuvInMagicYuv", "YUV422_8_UYVY", 64, 48,
     "magicyuv files are read as limited-range YUV: YUV422_8_UYVY (full range) goes to ffvhuff or ffv1", "magicyuv"},
    {"UnknownCodec", "Mono8", 64, 48, "unknown codec 'h264': ffv1, magicyuv, ffvhuff", "h264"},
    {"OddWidthYuvInFfvhuff", "YCbCr601_422_8", 3, 2,
     "ffvhuff keeps YUV 4:2:2 frames of an even width only: 3 x 2 pixels in YCbCr601_422_8 go to ffv1", "ffvhuff"},
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class MkvRefusedTest : public ::testing::TestWithParam<RefusedCase> {};

// What the encoder cannot take is said before a recording begins, with why.
TEST_P(MkvRefusedTest, SaidUpFront)
{
    const RefusedCase& c = GetParam();
    std::string why;
    EXPECT_FALSE(imaging::CanRecord(imaging::SequenceFormat::Mkv, {cam::FindPixelFormat(c.format), c.width, c.height},
                                    c.codec, &why));
    EXPECT_EQ(why, c.why);
}

struct DefaultCodecCase {
    const char* format;
    uint32_t width, height;
    double rate;  // frames a second; 0: not known
    const char* codec;
};

// FFV1 up to 8 MB/s of samples (what it encodes on two cores), else the fast
// codec for the depth.
const DefaultCodecCase kDefaultCodecs[] = {
    {"Mono8", 640, 480, 25, "ffv1"},          // 7.7 MB/s
    {"Mono8", 640, 480, 30, "magicyuv"},      // 9.2 MB/s
    {"Mono8", 1292, 964, 500, "magicyuv"},    //
    {"BayerRG8", 5472, 3648, 30, "magicyuv"}, // 20 MP
    {"BayerRG8", 5472, 3648, 0.3, "ffv1"},    // 6 MB/s
    {"BayerRG8", 5472, 3648, 0, "ffv1"},      // rate not known: as before
    {"Mono12p", 640, 480, 13, "ffv1"},        // two bytes a sample: 8.0 MB/s
    {"Mono12p", 640, 480, 14, "ffvhuff"},
    {"BayerRG16", 5472, 3648, 30, "ffvhuff"},
    {"RGB8", 1000, 1000, 3, "magicyuv"},      // three samples a pixel: 9 MB/s
    {"YUV422_8", 1000, 1000, 4, "ffv1"},      // two: 8 MB/s
    {"YUV422_8", 1000, 1000, 5, "ffvhuff"},   // full range: MagicYUV's reader says limited
    {"YCbCr601_422_8", 1000, 1000, 5, "magicyuv"},
    {"Mono8", 16384, 16384, 30, "ffv1"},      // no codec takes it: refused as FFV1
    {"YUV422_8", 1001, 1000, 5, "ffv1"},      // FFVHuff refuses an odd width of YUV
    {"YCbCr601_422_8", 1001, 1000, 5, "magicyuv"},
};

void PrintTo(const DefaultCodecCase& c, std::ostream* os)
{
    *os << c.format << " " << c.width << "x" << c.height << " at " << c.rate;
}

class MkvDefaultCodecTest : public ::testing::TestWithParam<DefaultCodecCase> {};

TEST_P(MkvDefaultCodecTest, KeepsUpWithTheCamera)
{
    const DefaultCodecCase& c = GetParam();
    EXPECT_EQ(imaging::DefaultMkvCodec({cam::FindPixelFormat(c.format), c.width, c.height}, c.rate), c.codec);
}

INSTANTIATE_TEST_SUITE_P(Table, MkvDefaultCodecTest, ::testing::ValuesIn(kDefaultCodecs));

INSTANTIATE_TEST_SUITE_P(Table, MkvRefusedTest, ::testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

struct ColourCase {
    const char* format;
    const char* tags;     // ffprobe's color_range,color_space
    uint8_t white;        // what FFmpeg makes of Y 235, U and V 128 in RGB
};

// Full range is 235 as it is; limited range 235 is white.
const ColourCase kColours[] = {
    {"YUV422_8", "pc,smpte170m", 235},
    {"YUV422_8_UYVY", "pc,smpte170m", 235},
    {"YCbCr422_8_CbYCrY", "pc,smpte170m", 235},
    {"YCbCr601_422_8", "tv,smpte170m", 255},
};

void PrintTo(const ColourCase& c, std::ostream* os) { *os << c.format; }

class MkvColourTest : public ::testing::TestWithParam<ColourCase> {};

// The stream says which range and matrix its YUV has, so that readers turn
// it into the colours the camera meant.
TEST_P(MkvColourTest, RangeTagged)
{
    const ColourCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.path + "/c.mkv";
    Take take(c.format, 4, 2, 1);
    const bool yFirst = take.format->order[0] == 'Y';
    for (size_t i = 0; i < take.frames[0].size(); ++i)
        take.frames[0][i] = (i % 2 == 0) == yFirst ? 235 : 128;
    auto writer = imaging::MakeMkvWriter({});
    ASSERT_TRUE(writer->Open(path, {take.format, take.width, take.height}, false)) << writer->Error();
    ASSERT_TRUE(take.Write(*writer, 0)) << writer->Error();
    ASSERT_TRUE(writer->Close()) << writer->Error();
    EXPECT_EQ(Probe(path, "-show_entries stream=color_range,color_space"), std::string(c.tags) + "\n");
    const Bytes rgb = EachFrame(path, "rgb24");
    ASSERT_EQ(rgb.size(), 4u * 2 * 3);
    EXPECT_EQ(rgb[0], c.white);
    EXPECT_EQ(rgb[1], c.white);
    EXPECT_EQ(rgb[2], c.white);
}

INSTANTIATE_TEST_SUITE_P(Table, MkvColourTest, ::testing::ValuesIn(kColours),
                         [](const auto& info) { return std::string(info.param.format); });

}  // namespace
