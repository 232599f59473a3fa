// Recordings read back: made by the real program from the simulated camera
// with each frame's id in its pixels (picture=counter), every frame found
// in order, backwards and by jumps, byte for byte as FFmpeg decodes it; and
// damaged, foreign and hostile files each said in words, never a crash.
#include "platform/imaging/sequence/SequenceReader.h"
#include "tests/FrameCounter.h"
#include "tests/RunTarvik.h"
#include "tests/TempDir.h"
#include "tests/WaitFor.h"

#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using harness::Contents;
using harness::TempDir;

constexpr int kFrames = 26;  // across two of an old file's 12-frame groups

QString Sim(const std::string& format, int width = 64, int height = 48)
{
    return QString::fromStdString("picture=counter,rate=200,width=" + std::to_string(width) +
                                  ",height=" + std::to_string(height) + ",formats=" + format);
}

// codec: Matroska's --record-codec, or "png" for a folder's frame files.
bool Record(const std::string& path, const std::string& format, int frames, const std::string& codec = {},
            int width = 64, int height = 48)
{
    QStringList args = {"--pixel-format", QString::fromStdString(format), "--record", QString::fromStdString(path),
                        "--frames", QString::number(frames)};
    if (codec == "png")
        args << "--record-format" << "png";
    else if (!codec.empty())
        args << "--record-codec" << QString::fromStdString(codec);
    const TarvikRun run = RunTarvik(args, Sim(format, width, height));
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    return run.status == 0;
}

// The frame ids of the frames the CSV beside a recording says are in it.
std::vector<int64_t> WrittenIds(const std::string& csv)
{
    std::vector<int64_t> ids;
    std::istringstream in(Contents(csv));
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::stringstream s(line);
        for (std::string cell; std::getline(s, cell, ',');)
            cells.push_back(cell);
        if (cells.size() >= 8 && cells[7] == "yes")
            ids.push_back(std::stoll(cells[1]));
    }
    return ids;
}

int RunTool(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// Every frame as ffmpeg decodes it into pixFmt, back to back.
std::string FfmpegFrames(const std::string& path, const std::string& pixFmt, const std::string& out)
{
    EXPECT_EQ(RunTool("ffmpeg", {"-v", "error", "-y", "-i", QString::fromStdString(path), "-f", "rawvideo", "-pix_fmt",
                             QString::fromStdString(pixFmt), QString::fromStdString(out)}),
              0);
    return Contents(out);
}

// A frame's bytes in ffmpeg's layout: YUV 4:2:2 in planes (which ffmpeg
// gives without changing the range), the rest as they are.
std::string AsFfmpegLays(const imaging::SequenceReader& r, const imaging::ReadFrame& f, const std::string& pixFmt)
{
    const std::string bytes(reinterpret_cast<const char*>(f.data), f.size);
    if (pixFmt != "yuv422p")
        return bytes;
    const bool uyvy = r.Shape().format->order[0] == 'U';
    std::string y, u, v;
    for (size_t i = 0; i + 3 < bytes.size(); i += 4) {
        y += bytes[i + (uyvy ? 1 : 0)], y += bytes[i + (uyvy ? 3 : 2)];
        u += bytes[i + (uyvy ? 0 : 1)], v += bytes[i + (uyvy ? 2 : 3)];
    }
    return y + u + v;
}

int64_t CounterOf(const imaging::SequenceReader& r, const imaging::ReadFrame& f)
{
    return frame_counter::FromFrame(f.data, f.size, r.Shape().width, r.Shape().height, r.Shape().format->name);
}

// Reads index and checks the id in its pixels.
void ExpectFrame(imaging::SequenceReader& r, uint64_t index, int64_t id)
{
    imaging::ReadFrame f;
    ASSERT_TRUE(r.Read(index, &f)) << "frame " << index << ": " << r.Error();
    EXPECT_EQ(f.index, index);
    EXPECT_EQ(CounterOf(r, f), id & 0xFFFFFFFF) << "frame " << index;
}

// Forwards, backwards, and jumps each way across the 12-frame groups.
void Walk(imaging::SequenceReader& r, const std::vector<int64_t>& ids)
{
    ASSERT_EQ(r.FrameCount(), ids.size());
    for (uint64_t i = 0; i < ids.size(); ++i)
        ExpectFrame(r, i, ids[i]);
    for (uint64_t i = ids.size(); i-- > 0;)
        ExpectFrame(r, i, ids[i]);
    for (uint64_t i : {23ull, 11ull, 12ull, 0ull, 25ull, 13ull, 13ull, 24ull, 1ull})
        if (i < ids.size())
            ExpectFrame(r, i, ids[i]);
}

// Every format, pixel format and codec reads back frame by frame as the
// camera sent it: the id in every frame's pixels is the CSV's, stepping
// either way; Matroska's frames byte for byte as ffmpeg decodes them.
TEST(SequenceReader, ReadsWhatTheProgramRecorded)
{
    struct Case {
        const char* name;        // the recording's file name
        const char* format;      // the camera's
        const char* codec;       // Matroska's, empty: its default
        const char* readAs;      // the format frames come back in
        const char* ffmpegAs;    // ffmpeg's layout of the same bytes (Matroska)
    } cases[] = {
        {"mono8.mkv", "Mono8", "", "Mono8", "gray"},
        {"mono12p.mkv", "Mono12p", "", "Mono12", "gray16le"},
        {"bayer8.mkv", "BayerRG8", "ffvhuff", "BayerRG8", "gray"},
        {"bayer12.mkv", "BayerRG12", "ffv1", "BayerRG12", "gray16le"},
        {"bgr.mkv", "BGR8", "", "BGRa8", "bgr0"},
        {"bgr-magic.mkv", "BGR8", "magicyuv", "BGR8", "bgr24"},
        {"uyvy.mkv", "YUV422_8_UYVY", "ffvhuff", "YUV422_8_UYVY", "yuv422p"},
        {"mono8-magic.mkv", "Mono8", "magicyuv", "Mono8", "gray"},
        {"mono8.tiff", "Mono8", "", "Mono8", ""},
        {"bayer12.tiff", "BayerRG12p", "", "BayerRG12", ""},
        {"bgr.tiff", "BGR8", "", "RGB8", ""},
        {"mono8-dir", "Mono8", "", "RGB8", ""},
        {"mono12-dir", "Mono12", "", "Mono16", ""},
        {"bayer8-png-dir", "BayerRG8", "png", "RGB8", ""},
        {"mono12-png-dir", "Mono12", "png", "Mono16", ""},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / c.name;
        const bool folder = std::string(c.name).find("-dir") != std::string::npos;
        ASSERT_TRUE(Record(folder ? path + "/" : path, c.format, kFrames, c.codec));
        const std::vector<int64_t> ids = WrittenIds(folder ? path + "/frames.csv" : path + ".csv");
        ASSERT_GT(ids.size(), 12u);
        std::string error;
        auto reader = imaging::OpenSequence(path, &error);
        ASSERT_TRUE(reader) << error;
        EXPECT_STREQ(reader->Shape().format->name, c.readAs);
        EXPECT_EQ(reader->Shape().width, 64u);
        EXPECT_TRUE(reader->Info().complete) << reader->Info().note;
        if (!folder)
            EXPECT_EQ(reader->Info().recordedFormat, c.format);
        Walk(*reader, ids);
        if (!*c.ffmpegAs)
            continue;
        const std::string decoded = FfmpegFrames(path, c.ffmpegAs, dir / "raw");
        const uint64_t frameBytes = decoded.size() / ids.size();
        ASSERT_EQ(decoded.size(), frameBytes * ids.size());
        // Read as a check reads, once in order (a frame a thread), the same
        // frames come; steps and jumps still land after it.
        auto inOrder = imaging::OpenSequence(path, &error);
        ASSERT_TRUE(inOrder) << error;
        inOrder->ReadInOrder();
        for (imaging::SequenceReader* r : {reader.get(), inOrder.get()})
            for (uint64_t i = 0; i < ids.size(); ++i) {
                imaging::ReadFrame f;
                ASSERT_TRUE(r->Read(i, &f)) << r->Error();
                ASSERT_EQ(f.size, frameBytes);
                EXPECT_TRUE(AsFfmpegLays(*r, f, c.ffmpegAs) == decoded.substr(i * frameBytes, frameBytes))
                    << "frame " << i << (r == inOrder.get() ? ", read in order" : "");
            }
        Walk(*inOrder, ids);
    }
}

// Files not made by the program: an FFmpeg-made FFV1 with its keyframe every
// 12th frame (as recordings before were) steps to the right frame each way;
// another codec (MPEG-4 with frames decoded ahead) is read as colour.
TEST(SequenceReader, ReadsFilesFfmpegMade)
{
    TempDir dir;
    ASSERT_TRUE(Record(dir / "mono.mkv", "Mono8", kFrames));
    ASSERT_TRUE(Record(dir / "bayer.mkv", "BayerGB8", kFrames));
    const std::vector<int64_t> ids = WrittenIds(dir / "mono.mkv.csv");
    const struct {
        const char* name;
        const char* from;
        QStringList codec;
        const char* readAs;
        bool exact;  // lossless: every id reads back
    } rows[] = {
        {"gop12.mkv", "mono.mkv", {"-map_metadata:s:v", "-1", "-c:v", "ffv1", "-g", "12"}, "Mono8", true},
        {"gop12-bgr.mkv", "mono.mkv", {"-c:v", "ffv1", "-g", "12", "-pix_fmt", "bgr0"}, "BGRa8", true},
        {"mpeg4.mkv", "mono.mkv", {"-c:v", "mpeg4", "-q:v", "1", "-bf", "2", "-g", "12"}, "BGR8", false},
        // The mosaic's filter tagged, not the pixel format.
        {"pattern-only.mkv", "bayer.mkv", {"-c", "copy", "-metadata:s:v:0", "PIXEL_FORMAT="}, "BayerGB8", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string out = dir / row.name;
        ASSERT_EQ(RunTool("ffmpeg", QStringList{"-v", "error", "-y", "-i", QString::fromStdString(dir / row.from),
                                                "-fps_mode", "passthrough"} +
                                        row.codec + QStringList{QString::fromStdString(out)}),
                  0);
        std::string error;
        auto reader = imaging::OpenSequence(out, &error);
        ASSERT_TRUE(reader) << error;
        EXPECT_STREQ(reader->Shape().format->name, row.readAs);
        EXPECT_TRUE(reader->Info().complete) << reader->Info().note;
        if (row.exact) {
            Walk(*reader, WrittenIds(dir / (std::string(row.from) + ".csv")));
            continue;
        }
        ASSERT_EQ(reader->FrameCount(), ids.size());
        EXPECT_NE(reader->Info().note.find("read as BGR8"), std::string::npos) << reader->Info().note;
        for (uint64_t i : {5ull, 0ull, 25ull, 12ull, 11ull, 13ull}) {
            imaging::ReadFrame f;
            ASSERT_TRUE(reader->Read(i, &f)) << reader->Error();
            EXPECT_EQ(CounterOf(*reader, f), ids[i]) << "frame " << i;
        }
        // Frames decoded ahead of the one shown, and a frame a thread: in
        // order, every one is still the frame asked for.
        auto inOrder = imaging::OpenSequence(out, &error);
        ASSERT_TRUE(inOrder) << error;
        inOrder->ReadInOrder();
        for (uint64_t i = 0; i < ids.size(); ++i) {
            imaging::ReadFrame f;
            ASSERT_TRUE(inOrder->Read(i, &f)) << inOrder->Error();
            EXPECT_EQ(CounterOf(*inOrder, f), ids[i]) << "frame " << i << ", read in order";
        }
    }
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

void Truncate(const std::string& path, uint64_t size)
{
    std::filesystem::resize_file(path, size);
}

// A little-endian TIFF of one page claiming width x height 8-bit grey pixels
// with a strip of 16 bytes.
std::string ClaimingTiff(uint32_t width, uint32_t height)
{
    std::string t("II*\0\x08\0\0\0", 8);
    auto u16 = [&](uint16_t v) { t += char(v & 0xFF), t += char(v >> 8); };
    auto u32 = [&](uint32_t v) { u16(uint16_t(v & 0xFFFF)), u16(uint16_t(v >> 16)); };
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t value) {
        u16(tag), u16(type), u32(1);
        if (type == 3)
            u16(uint16_t(value)), u16(0);
        else
            u32(value);
    };
    u16(8);
    entry(256, 4, width);
    entry(257, 4, height);
    entry(258, 3, 8);
    entry(259, 3, 1);
    entry(262, 3, 1);
    entry(273, 4, 8 + 2 + 8 * 12 + 4);
    entry(278, 4, height);
    entry(279, 4, 16);
    u32(0);
    t += std::string(16, '\0');
    return t;
}

// A copy of a classic little-endian TIFF of three pages or more whose last
// page leads on to its second again, as a damaged file's page list can.
std::string LoopingTiff(const std::string& from, const std::string& to)
{
    std::ifstream in(from, std::ios::binary);
    std::string t((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto u16 = [&](size_t at) { return uint32_t(uint8_t(t[at])) | uint32_t(uint8_t(t[at + 1])) << 8; };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    if (t.size() < 8 || t.compare(0, 4, std::string("II*\0", 4)) != 0)
        return std::string();
    std::vector<uint32_t> pages;
    size_t next = 0;
    for (uint32_t page = u32(4); page && page + 2 <= t.size() && pages.size() < 1000; page = u32(next)) {
        pages.push_back(page);
        next = page + 2 + 12 * size_t(u16(page));
        if (next + 4 > t.size())
            return std::string();
    }
    if (pages.size() < 3)
        return std::string();
    for (int i = 0; i < 4; ++i)
        t[next + size_t(i)] = char(pages[1] >> (8 * i));
    WriteFile(to, t);
    return to;
}

struct BadCase {
    const char* name;
    // Makes the file or folder at path from a clean recording rec of kFrames
    // (tiff: rec.tiff, mkv: rec.mkv, folder: rec-dir), returns what to open.
    std::function<std::string(const TempDir& dir)> make;
    bool opens;
    const char* said;  // in Error() when it does not open, in Info().note when it does
    bool complete;
};

// Damaged, cut, foreign and hostile inputs: each opened or refused with what
// is wrong in words, and whatever opens reads each of its frames as the
// clean recording holds it.
TEST(SequenceReader, BadInput)
{
    TempDir dir;
    ASSERT_TRUE(Record(dir / "rec.mkv", "Mono8", kFrames));
    ASSERT_TRUE(Record(dir / "rec.tiff", "Mono8", kFrames));
    ASSERT_TRUE(Record(dir / "small.tiff", "Mono8", 3, "", 32, 24));
    ASSERT_TRUE(Record(dir / "rec-dir/", "Mono8", 6));
    ASSERT_TRUE(Record(dir / "wide.mkv", "Mono8", 2, "", 256, 256));
    const std::vector<int64_t> ids = WrittenIds(dir / "rec.mkv.csv");
    const std::vector<int64_t> tiffIds = WrittenIds(dir / "rec.tiff.csv");
    const uint64_t mkvSize = std::filesystem::file_size(dir / "rec.mkv");
    const uint64_t tiffSize = std::filesystem::file_size(dir / "rec.tiff");
    auto copy = [&](const std::string& from, const std::string& to) {
        std::filesystem::copy_file(dir / from, dir / to, std::filesystem::copy_options::overwrite_existing);
        return dir / to;
    };
    auto cut = [&](const std::string& from, const std::string& to, uint64_t size) {
        const std::string path = copy(from, to);
        Truncate(path, size);
        return path;
    };
    const BadCase cases[] = {
        {"empty mkv", [&](const TempDir& d) { WriteFile(d / "empty.mkv", ""); return d / "empty.mkv"; }, false,
         "the file is empty", true},
        {"empty tiff", [&](const TempDir& d) { WriteFile(d / "empty.tiff", ""); return d / "empty.tiff"; }, false,
         "the file is empty", true},
        {"text as mkv",
         [&](const TempDir& d) {
             WriteFile(d / "x.mkv", "index,frame_id\n0,0\n");
             return d / "x.mkv";
         },
         false, "not a Matroska recording", true},
        {"text as tiff",
         [&](const TempDir& d) {
             WriteFile(d / "x.tiff", "not a picture at all");
             return d / "x.tiff";
         },
         false, "not a TIFF file", true},
        {"mkv holding sound only",
         [&](const TempDir& d) {
             EXPECT_EQ(RunTool("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i", "anullsrc", "-t", "0.2",
                                          QString::fromStdString(d / "sound.mkv")}),
                       0);
             return d / "sound.mkv";
         },
         false, "the file holds no video", true},
        {"tiff a pipe",
         [&](const TempDir& d) { EXPECT_EQ(::mkfifo((d / "pipe.tiff").c_str(), 0600), 0); return d / "pipe.tiff"; },
         false, "a TIFF recording is a regular file", true},
        {"tiff a device",
         [&](const TempDir& d) {
             std::filesystem::create_symlink("/dev/zero", d / "zero.tiff");
             return d / "zero.tiff";
         },
         false, "a TIFF recording is a regular file", true},
        {"tiff cut in its header", [&](const TempDir&) { return cut("rec.tiff", "head.tiff", 6); }, false,
         "not a TIFF file", true},
        {"not a recording's name", [&](const TempDir& d) { WriteFile(d / "x.avi", "RIFF"); return d / "x.avi"; }, false,
         "a recording is a", true},
        {"mkv cut in its header", [&](const TempDir&) { return cut("rec.mkv", "head.mkv", 100); }, false, "", true},
        {"mkv cut mid-frame", [&](const TempDir&) { return cut("rec.mkv", "mid.mkv", mkvSize * 6 / 10); }, true,
         "the file ends early", false},
        {"mkv cut before its index", [&](const TempDir&) { return cut("rec.mkv", "cues.mkv", mkvSize - 40); }, true,
         "", false},
        {"tiff cut mid-page", [&](const TempDir&) { return cut("rec.tiff", "mid.tiff", tiffSize * 6 / 10); }, true,
         "the file ends early", false},
        {"tiff pages differ",
         [&](const TempDir& d) {
             EXPECT_EQ(RunTool("tiffcp", {QString::fromStdString(d / "rec.tiff"),
                                          QString::fromStdString(d / "small.tiff"),
                                          QString::fromStdString(d / "mixed.tiff")}),
                       0);
             return d / "mixed.tiff";
         },
         true, "page 27 holds 32 x 24", false},
        {"tiff pages looping back", [&](const TempDir& d) { return LoopingTiff(d / "rec.tiff", d / "loop.tiff"); },
         true, "leads back to an earlier page", false},
        {"tiff claiming 100000 x 100000",
         [&](const TempDir& d) { WriteFile(d / "huge.tiff", ClaimingTiff(100000, 100000)); return d / "huge.tiff"; },
         false, "100000 x 100000", true},
        {"mkv claiming 65535 x 65535",
         [&](const TempDir&) {
             const std::string path = copy("wide.mkv", "huge.mkv");
             std::string bytes = Contents(path);
             for (const char* id : {"\xB0\x82\x01\x00", "\xBA\x82\x01\x00"}) {
                 const size_t at = bytes.find(std::string(id, 4));
                 EXPECT_LT(at, 4096u);
                 if (at < 4096)
                     bytes.replace(at + 2, 2, "\xFF\xFF");
             }
             WriteFile(path, bytes);
             return path;
         },
         false, "65535 x 65535", true},
        {"folder with a frame file missing",
         [&](const TempDir& d) {
             std::filesystem::remove(d / "rec-dir/frame-000003.tiff");
             return d / "rec-dir";
         },
         true, "frame-000003", false},
        {"folder with frame files of numbers far apart",
         [&](const TempDir& d) {
             std::filesystem::create_directory(d / "far");
             std::filesystem::copy_file(d / "rec-dir/frame-000001.tiff", d / "far/frame-000001.tiff");
             std::filesystem::copy_file(d / "rec-dir/frame-000001.tiff", d / "far/frame-999999999999.tiff");
             return d / "far";
         },
         true, "frame-999999999999.tiff and the files after it are left out", true},
        {"folder without frame files",
         [&](const TempDir& d) {
             std::filesystem::create_directory(d / "none");
             return d / "none";
         },
         false, "no frame files", true},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.make(dir);
        std::string error;
        auto reader = imaging::OpenSequence(path, &error);
        if (!c.opens) {
            ASSERT_FALSE(reader);
            EXPECT_EQ(error.rfind("cannot read \"" + path + "\": ", 0), 0u) << error;
            EXPECT_NE(error.find(c.said), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(reader) << error;
        EXPECT_EQ(reader->Info().complete, c.complete) << reader->Info().note;
        EXPECT_NE(reader->Info().note.find(c.said), std::string::npos) << reader->Info().note;
        const std::vector<int64_t>& expected = path.find(".tiff") != std::string::npos ? tiffIds : ids;
        EXPECT_GT(reader->FrameCount(), 0u);
        if (path.find("rec-dir") != std::string::npos) {
            // The indexes stay the CSV's: the missing one says so, the others read.
            const std::vector<int64_t> dirIds = WrittenIds(dir / "rec-dir/frames.csv");
            ASSERT_EQ(reader->FrameCount(), dirIds.size());
            imaging::ReadFrame f;
            EXPECT_FALSE(reader->Read(2, &f));
            EXPECT_NE(reader->Error().find("frame-000003"), std::string::npos) << reader->Error();
            for (uint64_t i : {5ull, 3ull, 1ull, 0ull, 4ull})
                ExpectFrame(*reader, i, dirIds[i]);
            continue;
        }
        EXPECT_LE(reader->FrameCount(), expected.size());
        for (uint64_t i = reader->FrameCount(); i-- > 0;)
            ExpectFrame(*reader, i, expected[i]);
        imaging::ReadFrame f;
        EXPECT_FALSE(reader->Read(reader->FrameCount(), &f));
        EXPECT_NE(reader->Error().find("no frame"), std::string::npos) << reader->Error();
    }
}

// A recording whose program was killed (SIGKILL) mid-way: no index, the last
// cluster perhaps cut; its whole frames are read, and it says it ends early.
TEST(SequenceReader, RecordingOfAKilledProgram)
{
    TempDir dir;
    const std::string path = dir / "killed.mkv";
    QProcess p;
    p.setProcessEnvironment(TarvikEnvironment(Sim("Mono8"), {}));
    p.start(TARVIK_EXE, {"--record", QString::fromStdString(path), "--frames", "100000"});
    ASSERT_TRUE(p.waitForStarted());
    ASSERT_SOON_WITHIN(WrittenIds(path + ".csv").size() >= 15, 30000);  // a loaded machine starts slowly
    ::kill(pid_t(p.processId()), SIGKILL);
    ASSERT_TRUE(p.waitForFinished());
    const std::vector<int64_t> ids = WrittenIds(path + ".csv");
    std::string error;
    auto reader = imaging::OpenSequence(path, &error);
    ASSERT_TRUE(reader) << error;
    EXPECT_FALSE(reader->Info().complete);
    EXPECT_NE(reader->Info().note.find("the file ends early"), std::string::npos) << reader->Info().note;
    // The CSV's line may come before or after its frame reached the file.
    ASSERT_GE(reader->FrameCount() + 2, ids.size() > 2 ? ids.size() - 2 : 0);
    ASSERT_LE(reader->FrameCount(), ids.size() + 2);
    for (uint64_t i = reader->FrameCount(); i-- > 0;)
        if (i < ids.size())
            ExpectFrame(*reader, i, ids[i]);
}

// Frames handed out stay as they were while held, whatever is read after;
// those let go are filled again, so that a long recording takes a few
// frames' memory.
TEST(SequenceReader, FramesHeldAndReused)
{
    TempDir dir;
    for (const char* name : {"r.mkv", "r.tiff"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(Record(dir / name, "Mono8", kFrames));
        const std::vector<int64_t> ids = WrittenIds(dir / (std::string(name) + ".csv"));
        std::string error;
        auto reader = imaging::OpenSequence(dir / name, &error);
        ASSERT_TRUE(reader) << error;
        imaging::ReadFrame held;
        ASSERT_TRUE(reader->Read(3, &held));
        std::map<const uint8_t*, int> buffers;
        for (uint64_t i = 0; i < reader->FrameCount(); ++i) {
            imaging::ReadFrame f;
            ASSERT_TRUE(reader->Read(i, &f));
            buffers[f.data]++;
            EXPECT_NE(f.data, held.data);
        }
        EXPECT_EQ(CounterOf(*reader, held), ids[3]);
        EXPECT_LE(buffers.size(), 4u);
    }
}

}  // namespace
