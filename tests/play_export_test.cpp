// Keeping a range or a frame of a recording (app/play/RecordingExport), over
// a recording made up here: frames of known bytes behind the reader's
// interface and CSV lines of known text, for what a recording made by the
// program cannot show (a damaged frame part way, a cancel, an earlier file
// replaced, deep frames saved at full depth); read back by FFmpeg and Qt.
#include "TempDir.h"

#include "app/play/RecordingExport.h"

#include <QImage>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using harness::CommandOutput;

// What the made-up recording holds.
struct Made {
    std::string format = "Mono8";
    uint32_t width = 32, height = 16;
    uint64_t frames = 12;
    int64_t failAt = -1;   // a frame the reader cannot read (a damaged stretch)
} g_made;

// Frame i's sample j: different in every frame and everywhere in it, within
// the format's bits.
uint16_t SampleOf(uint64_t i, uint64_t j, int bits)
{
    uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull ^ (j * 0xBF58476D1CE4E5B9ull);
    x ^= x >> 31;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 29;
    return uint16_t(x & ((1u << bits) - 1));
}

std::string FrameBytes(uint64_t i)
{
    const cam::PixelFormat* f = cam::FindPixelFormat(g_made.format.c_str());
    const uint64_t samples = uint64_t(g_made.width) * g_made.height;
    std::string bytes;
    for (uint64_t j = 0; j < samples; ++j) {
        const uint16_t v = f->bits > 8 ? SampleOf(i, j, f->bits) : uint16_t((i * 7 + j) & 0xFF);
        bytes.push_back(char(v & 0xFF));
        if (f->bits > 8)
            bytes.push_back(char(v >> 8));
    }
    return bytes;
}

class MadeReader : public imaging::SequenceReader {
public:
    bool Open(const std::string&) override { return true; }
    const imaging::SequenceShape& Shape() const override { return shape_; }
    const imaging::SequenceInfo& Info() const override { return info_; }
    uint64_t FrameCount() const override { return g_made.frames; }
    bool Read(uint64_t index, imaging::ReadFrame* frame) override
    {
        if (int64_t(index) == g_made.failAt) {
            error_ = "a damaged frame";
            return false;
        }
        auto bytes = std::make_shared<std::string>(FrameBytes(index));
        frame->data = reinterpret_cast<const uint8_t*>(bytes->data());
        frame->size = bytes->size();
        frame->index = index;
        frame->fileTime = int64_t(index) * 40000000;
        frame->keep = bytes;
        return true;
    }
    const std::string& Error() const override { return error_; }

    imaging::SequenceShape shape_{cam::FindPixelFormat(g_made.format.c_str()), g_made.width, g_made.height};
    imaging::SequenceInfo info_;
    std::string error_;
};

const char kHeader[] = "index,frame_id,camera_timestamp_ns,receive_time_ns,width,height,pixel_format,written\n";

// The CSV line of frame i after its index.
std::string LineOf(uint64_t i)
{
    return "," + std::to_string(1000 + i) + "," + std::to_string(i * 40000000) + "," +
           std::to_string(1700000000000000000ull + i * 40000000) + "," + std::to_string(g_made.width) + "," +
           std::to_string(g_made.height) + "," + g_made.format + ",yes\n";
}

}  // namespace

// The opened recording, as far as keeping a part of it needs it.
bool Recording::Open(const std::string& path, std::string*)
{
    path_ = path;
    reader_ = std::make_unique<MadeReader>();
    frames_.assign(g_made.frames, RecordedFrame{});
    for (uint64_t i = 0; i < g_made.frames; ++i) {
        frames_[i].index = i;
        frames_[i].listed = true;
        frames_[i].cameraTime = i * 40000000;
        frames_[i].receiveTime = 1700000000000000000ull + i * 40000000;
    }
    return true;
}

uint64_t Recording::FrameCount() const { return frames_.size(); }

const RecordedFrame& Recording::Frame(uint64_t index) const { return frames_.at(index); }

std::string Recording::CsvLines(uint64_t first, uint64_t last) const
{
    std::string text = kHeader;
    for (uint64_t i = first; i <= last; ++i)
        text += std::to_string(i - first) + LineOf(i);
    return text;
}

namespace {

// The frames a .mkv holds, as FFmpeg decodes them.
std::string MkvFrames(const std::string& path, int bits)
{
    return CommandOutput("ffmpeg -nostdin -v error -i '" + path +
                  "' -fps_mode passthrough -enc_time_base -1 -f rawvideo -pix_fmt " + (bits > 8 ? "gray16le" : "gray") +
                  " -");
}



std::string Expected(uint64_t first, uint64_t last)
{
    std::string all;
    for (uint64_t i = first; i <= last; ++i)
        all += FrameBytes(i);
    return all;
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// With overwrite an earlier file is replaced once the export is whole.
TEST(Export, OverwriteReplacesAnEarlierFile)
{
    g_made = Made{};
    harness::TempDir dir;
    Write(dir / "r.mkv", "the recording");
    Write(dir / "old.mkv", "an earlier one");
    Write(dir / "old.mkv.csv", "earlier lines");
    Recording recording;
    std::string error;
    ASSERT_TRUE(recording.Open(dir / "r.mkv", &error));
    ExportOptions options;
    options.path = dir / "old.mkv";
    options.overwrite = true;
    ASSERT_TRUE(ExportRange(recording, 2, 4, options, &error)) << error;
    EXPECT_TRUE(MkvFrames(options.path, 8) == Expected(2, 4));
    EXPECT_EQ(harness::Contents(dir / "old.mkv.csv"), recording.CsvLines(2, 4));
}

// A frame that cannot be read, or a cancel, ends the export with the frames
// before it kept, readable, and the CSV cut to their lines.
TEST(Export, StoppedPartWayKeepsWhatWasWritten)
{
    struct {
        const char* name;
        int64_t failAt;
        bool cancel;
        KeepError kind;
        uint64_t kept;
    } const cases[] = {
        {"damaged frame", 6, false, KeepError::NotRead, 4},
        {"damaged first frame", 2, false, KeepError::NotRead, 0},
        {"cancelled", -1, true, KeepError::Cancelled, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_made = Made{};
        g_made.failAt = c.failAt;
        harness::TempDir dir;
        Write(dir / "r.mkv", "the recording");
        Recording recording;
        std::string error;
        ASSERT_TRUE(recording.Open(dir / "r.mkv", &error));
        std::atomic<bool> cancel{c.cancel};
        ExportOptions options;
        options.path = dir / "cut.mkv";
        options.cancel = &cancel;
        KeepError kind = KeepError::None;
        uint64_t kept = 99;
        EXPECT_FALSE(ExportRange(recording, 2, 9, options, &error, &kind, &kept));
        EXPECT_EQ(kind, c.kind) << error;
        EXPECT_EQ(kept, c.kept);
        if (c.kept == 0) {
            // A file of no frame is a bare header, which readers take for a broken file.
            EXPECT_NE(access(options.path.c_str(), F_OK), 0);
            EXPECT_NE(error.find("nothing exported"), std::string::npos) << error;
            continue;
        }
        EXPECT_NE(error.find(std::to_string(c.kept) + " of 8 frames kept"), std::string::npos) << error;
        EXPECT_TRUE(MkvFrames(options.path, 8) == Expected(2, 2 + c.kept - 1));
        EXPECT_EQ(harness::Contents(options.path + ".csv"), recording.CsvLines(2, 2 + c.kept - 1));
    }
}

struct SaveCase {
    const char* name;
    const char* format;
    const char* target;
    bool overwrite;
    uint64_t index;
    KeepError kind;  // None: saved
};

void PrintTo(const SaveCase& c, std::ostream* os) { *os << c.name; }

class SaveFrame : public ::testing::TestWithParam<SaveCase> {};

// A frame saved as a grab keeps it: 8-bit samples as they are, deeper ones
// filling 16 bits; never onto the recording or an earlier file without overwrite.
TEST_P(SaveFrame, AsAGrabKeepsIt)
{
    const SaveCase& c = GetParam();
    g_made = Made{};
    g_made.format = c.format;
    harness::TempDir dir;
    Write(dir / "r.tiff", "the recording");
    Write(dir / "old.png", "an earlier one");
    Recording recording;
    std::string error;
    ASSERT_TRUE(recording.Open(dir / "r.tiff", &error));
    KeepError kind = KeepError::None;
    const bool saved = SaveRecordedFrame(recording, c.index, dir / c.target, c.overwrite, &error, &kind);
    EXPECT_EQ(kind, c.kind) << error;
    EXPECT_EQ(harness::Contents(dir / "r.tiff"), "the recording");
    if (c.kind != KeepError::None) {
        EXPECT_FALSE(saved);
        EXPECT_EQ(harness::Contents(dir / "old.png"), "an earlier one");
        return;
    }
    ASSERT_TRUE(saved) << error;
    const QImage image(QString::fromStdString(dir / c.target));
    ASSERT_EQ(image.width(), int(g_made.width));
    const int bits = cam::FindPixelFormat(c.format)->bits;
    const std::string frame = FrameBytes(c.index);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const size_t j = size_t(y) * g_made.width + size_t(x);
            const int expected = bits > 8 ? (uint8_t(frame[2 * j]) | uint8_t(frame[2 * j + 1]) << 8) << (16 - bits)
                                          : uint8_t(frame[j]);
            const int got = bits > 8 ? image.pixelColor(x, y).rgba64().red() : qRed(image.pixel(x, y));
            ASSERT_EQ(got, expected) << "at " << x << "," << y;
        }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SaveFrame,
    ::testing::Values(SaveCase{"Mono8Png", "Mono8", "f.png", false, 7, KeepError::None},
                      SaveCase{"Mono12PngFullDepth", "Mono12", "f.png", false, 3, KeepError::None},
                      SaveCase{"OverAnEarlierFile", "Mono8", "old.png", true, 0, KeepError::None},
                      SaveCase{"EarlierFileKept", "Mono8", "old.png", false, 0, KeepError::Exists},
                      SaveCase{"OntoTheRecording", "Mono8", "r.tiff", true, 0, KeepError::SameFile},
                      SaveCase{"NotAPictureName", "Mono8", "f.mkv", true, 0, KeepError::NotWritten},
                      SaveCase{"PastTheEnd", "Mono8", "f.png", false, 12, KeepError::Range}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
