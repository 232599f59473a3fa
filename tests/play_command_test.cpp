// --play on the command line: what its options accept and refuse, and, over
// the built program, a range or a frame of a recording it made kept exactly
// as the recording holds it (read back by FFmpeg and libtiff), never onto the
// recording itself, and a full disk leaving a readable prefix.
#include "FrameCounter.h"
#include "RunTarvik.h"
#include "SmallDisk.h"
#include "TempDir.h"

#include "app/CommandLine.h"

#include <QImage>

#include <gtest/gtest.h>
#include <tiffio.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using harness::CommandOutput;

CommandLine Parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "tarvik");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    return ParseCommandLine(int(argv.size()), argv.data());
}

struct OptionRow {
    std::vector<std::string> args;
    CommandLine::Mode mode;
    std::string error;  // Mode::Usage: the whole message
};

TEST(PlayOptions, AcceptedAndRefused)
{
    using M = CommandLine::Mode;
    const std::vector<OptionRow> rows = {
        {{"--play", "r.mkv"}, M::Play, ""},
        {{"--play", "run/"}, M::Play, ""},
        {{"--play", "r.mkv", "--range", "100-250", "--record", "cut.tiff"}, M::Play, ""},
        {{"--play", "r.tif", "--range", "7-", "--record", "cut.mkv", "--record-codec", "ffvhuff", "--overwrite"},
         M::Play, ""},
        {{"--play", "r.mkv", "--record", "cut/", "--record-format", "png"}, M::Play, ""},
        {{"--play", "r.mkv", "--frame", "41237", "--grab", "f.png"}, M::Play, ""},
        {{"--check", "--play", "r.mkv"}, M::Check, ""},
        // Not a recording, a range or an index.
        {{"--play", "r.avi"}, M::Usage,
         "--play needs a recording: a path ending in .mkv, .tif, .tiff, or a folder (a name ending in /), got "
         "'r.avi'"},
        {{"--play", "r.mkv", "--range", "250-100", "--record", "c.mkv"}, M::Usage,
         "--range 250-100 ends before it begins: the first index comes first"},
        {{"--play", "r.mkv", "--range", "-5", "--record", "c.mkv"}, M::Usage,
         "--range needs A-B or A- (frame indexes from 0, B included), got '-5'"},
        {{"--play", "r.mkv", "--range", "1-2-3", "--record", "c.mkv"}, M::Usage,
         "--range needs A-B or A- (frame indexes from 0, B included), got '1-2-3'"},
        {{"--play", "r.mkv", "--range", "1..2", "--record", "c.mkv"}, M::Usage,
         "--range needs A-B or A- (frame indexes from 0, B included), got '1..2'"},
        {{"--play", "r.mkv", "--range", "99999999999999999999-", "--record", "c.mkv"}, M::Usage,
         "--range needs A-B or A- (frame indexes from 0, B included), got '99999999999999999999-'"},
        {{"--play", "r.mkv", "--frame", "-1", "--grab", "f.png"}, M::Usage,
         "--frame needs a frame index, a whole number from 0, got '-1'"},
        {{"--play", "r.mkv", "--frame", "3", "--grab", "f.gif"}, M::Usage,
         "--grab needs a file name ending in .png, .tif, .tiff, .bmp, .jpg, .jpeg, or -"},
        {{"--play", "r.mkv", "--range", "1-2", "--record", "c.avi"}, M::Usage,
         "--record needs a path ending in .mkv, .tif, .tiff, or a folder (a name ending in /), got 'c.avi'"},
        // What goes with what.
        {{"--range", "1-2", "--record", "c.mkv"}, M::Usage, "--range goes with --play"},
        {{"--frame", "3", "--grab", "f.png"}, M::Usage, "--frame goes with --play"},
        {{"--play", "r.mkv", "--range", "1-2"}, M::Usage,
         "--range goes with --play and --record (the range into a new recording)"},
        {{"--play", "r.mkv", "--frame", "3", "--record", "c.mkv"}, M::Usage,
         "--frame goes with --play and --grab (for --record, --range N-N)"},
        {{"--play", "r.mkv", "--grab", "f.png"}, M::Usage, "--play --grab needs --frame N: which frame to save"},
        {{"--play", "r.mkv", "--record", "c.mkv", "--grab", "f.png"}, M::Usage,
         "--play keeps a range with --record or a frame with --grab: use one of them"},
        {{"--play", "r.mkv", "--frame", "3", "--grab", "f.png", "--overwrite"}, M::Usage,
         "--overwrite goes with --record"},
        {{"--play", "r.mkv", "--live"}, M::Usage,
         "--live does not go with --play, which reads a recording, not a camera"},
        {{"--play", "r.mkv", "--camera", "sim-0"}, M::Usage,
         "--camera does not go with --play, which reads a recording, not a camera"},
        {{"--play", "r.mkv", "--set", "Width=8"}, M::Usage,
         "--set does not go with --play, which reads a recording, not a camera"},
        {{"--play", "r.mkv", "--record", "c.mkv", "--frames", "5"}, M::Usage,
         "--frames does not go with --play, which reads a recording, not a camera"},
        {{"--play", "r.mkv", "--serve", "9"}, M::Usage,
         "--serve does not go with --play, which reads a recording, not a camera"},
        {{"--check", "--play", "r.mkv", "--range", "1-2"}, M::Usage, "--range does not go with --check --play"},
        {{"--check", "--play", "r.mkv", "--grab", "f.png"}, M::Usage, "--grab does not go with --check --play"},
        {{"--list", "--play", "r.mkv"}, M::Usage, "--list goes with no other option"},
        {{"--play", "a.mkv", "--play", "b.mkv"}, M::Usage, "--play given more than once"},
    };
    for (const OptionRow& row : rows) {
        std::string args;
        for (const std::string& a : row.args)
            args += a + " ";
        const CommandLine cl = Parse(row.args);
        EXPECT_EQ(int(cl.mode), int(row.mode)) << args << cl.error;
        EXPECT_EQ(cl.error, row.error) << args;
    }
}

// Over the built program -------------------------------------------------

// Every frame of a .mkv as FFmpeg decodes it, in the layout named.
std::string MkvFrames(const std::string& path, const char* layout)
{
    return CommandOutput("ffmpeg -nostdin -v error -i '" + path +
                  "' -fps_mode passthrough -enc_time_base -1 -f rawvideo -pix_fmt " + layout + " -");
}

// Every page of a TIFF as libtiff reads its strips.
std::string TiffFrames(const std::string& path)
{
    std::string all;
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (!tiff)
        return all;
    do {
        for (tstrip_t s = 0; s < TIFFNumberOfStrips(tiff); ++s) {
            std::string strip(size_t(TIFFStripSize(tiff)), '\0');
            const tmsize_t n = TIFFReadEncodedStrip(tiff, s, strip.data(), tmsize_t(strip.size()));
            if (n > 0)
                all.append(strip.data(), size_t(n));
        }
    } while (TIFFReadDirectory(tiff));
    TIFFClose(tiff);
    return all;
}

// A folder's PNG frames as grey samples (the red of the grey grabs keep).
std::string FolderFrames(const std::string& folder)
{
    std::string all;
    for (int i = 1;; ++i) {
        char name[40];
        std::snprintf(name, sizeof name, "/frame-%06d.png", i);
        const QImage image(QString::fromStdString(folder + name));
        if (image.isNull())
            return all;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                all.push_back(char(qRed(image.pixel(x, y))));
    }
}

std::string Frames(const std::string& path, const char* layout)
{
    if (path.back() == '/')
        return FolderFrames(path);
    return path.size() > 4 && path.substr(path.size() - 4) == ".mkv" ? MkvFrames(path, layout) : TiffFrames(path);
}

// The CSV lines of frames first..last with their indexes from 0, and the
// lines without an index (ids skipped, frames dropped) between them: what
// an export's CSV holds.
std::string CsvOf(const std::string& csv, uint64_t first, uint64_t last)
{
    std::istringstream in(harness::Contents(csv));
    std::string line, out, gap;
    std::getline(in, line);
    out = line + "\n";
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == ',') {
            gap += line + "\n";
            continue;
        }
        const uint64_t index = std::stoull(line.substr(0, line.find(',')));
        if (index >= first && index <= last)
            out += (index > first ? gap : "") + std::to_string(index - first) + line.substr(line.find(',')) + "\n";
        gap.clear();
    }
    return out;
}

// Skips a test while reading recordings back is not in the build yet.
#define SKIP_WITHOUT_READER(run)                                                    \
    if ((run).err.contains("reading recordings back is not in this build yet"))     \
    GTEST_SKIP() << "the recording reader is not in this build yet"

struct KeepRow {
    const char* name;
    const char* sim;        // the recording's camera
    const char* recording;  // made by --record
    const char* range;      // --range
    uint64_t first, last;
    const char* target;
    const char* layout;     // what FFmpeg decodes a .mkv as
};

void PrintTo(const KeepRow& r, std::ostream* os) { *os << r.name; }

class PlayKeeps : public ::testing::TestWithParam<KeepRow> {};

// tarvik --play REC --range A-B --record OUT: the frames of OUT are those of
// REC, byte for byte, and its CSV their lines renumbered.
TEST_P(PlayKeeps, RangeByteForByte)
{
    const KeepRow& r = GetParam();
    harness::TempDir dir;
    const QString folder = QString::fromStdString(dir.path);
    TarvikRun run = RunTarvik({"--record", r.recording, "--frames", "12"}, r.sim, {}, folder);
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    QStringList keep = {"--play", r.recording, "--range", r.range, "--record", r.target};
    if (QString(r.target).endsWith('/'))
        keep << "--record-format" << "png";  // read back with Qt
    run = RunTarvik(keep, {}, {}, folder);
    SKIP_WITHOUT_READER(run);
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const std::string whole = Frames(dir / r.recording, r.layout);
    const size_t frameBytes = whole.size() / 12;
    ASSERT_GT(frameBytes, 0u);
    const std::string cut = Frames(dir / r.target, r.layout);
    EXPECT_EQ(cut.size(), (r.last - r.first + 1) * frameBytes);
    EXPECT_TRUE(cut == whole.substr(r.first * frameBytes, (r.last - r.first + 1) * frameBytes));
    const std::string target = r.target;
    const bool folderTarget = target.back() == '/';
    const std::string source = r.recording;
    const std::string sourceCsv = dir / (source.back() == '/' ? source + "frames.csv" : source + ".csv");
    EXPECT_EQ(harness::Contents(dir / (folderTarget ? target + "frames.csv" : target + ".csv")),
              CsvOf(sourceCsv, r.first, r.last));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PlayKeeps,
    ::testing::Values(
        KeepRow{"BayerMkvToMkv", "width=64,height=48,formats=BayerRG8", "r.mkv", "3-8", 3, 8, "cut.mkv", "gray"},
        KeepRow{"Mono12MkvToMkvToEnd", "width=64,height=48,formats=Mono12", "r.mkv", "9-", 9, 11, "cut.mkv",
                "gray16le"},
        KeepRow{"MkvToTiff", "width=64,height=48,formats=Mono8", "r.mkv", "0-4", 0, 4, "cut.tiff", "gray"},
        KeepRow{"TiffToTiff", "width=64,height=48,formats=BayerRG8", "r.tiff", "2-5", 2, 5, "cut.tif", "gray"},
        KeepRow{"MonoMkvToFolder", "width=64,height=48,formats=Mono8", "r.mkv", "1-3", 1, 3, "cut/", "gray"}),
    [](const auto& info) { return std::string(info.param.name); });

// A .tiff recording exported to .mkv: FFmpeg's decode of the new file equals
// libtiff's pages of the old.
TEST(PlayKeepsAcross, TiffToMkv)
{
    harness::TempDir dir;
    const QString folder = QString::fromStdString(dir.path);
    TarvikRun run = RunTarvik({"--record", "r.tiff", "--frames", "8"}, "width=64,height=48,formats=Mono8", {}, folder);
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    run = RunTarvik({"--play", "r.tiff", "--range", "2-6", "--record", "cut.mkv"}, {}, {}, folder);
    SKIP_WITHOUT_READER(run);
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const std::string pages = TiffFrames(dir / "r.tiff");
    EXPECT_TRUE(MkvFrames(dir / "cut.mkv", "gray") == pages.substr(2 * 64 * 48, 5 * 64 * 48));
}

// The frame id the CSV gives frame index, -1 where it has no line for it.
int64_t FrameIdOf(const std::string& csv, uint64_t index)
{
    std::istringstream in(harness::Contents(csv));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        const size_t comma = line.find(',');
        if (comma > 0 && comma != std::string::npos && std::stoull(line.substr(0, comma)) == index)
            return std::stoll(line.substr(comma + 1, line.find(',', comma + 1) - comma - 1));
    }
    return -1;
}

// --frame N --grab FILE saves frame N and no other: the id the simulated
// camera wrote into its pixels is the one the CSV gives index N, in each
// recording format, forwards and back.
TEST(PlayKeepsAcross, GrabbedFrameIsTheOneAsked)
{
    const struct {
        const char* formats;
        const char* recording;
        const char* csv;
        std::vector<uint64_t> indexes;
    } rows[] = {
        {"BayerRG8", "r.mkv", "r.mkv.csv", {0, 7, 3, 11}},
        {"Mono12", "r.mkv", "r.mkv.csv", {5, 1}},
        {"BGR8", "r.tiff", "r.tiff.csv", {9, 2}},
        {"Mono8", "run/", "run/frames.csv", {4, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.formats) + " " + row.recording);
        harness::TempDir dir;
        const QString folder = QString::fromStdString(dir.path);
        TarvikRun run = RunTarvik({"--record", row.recording, "--frames", "12"},
                                  QString("width=256,height=64,picture=counter,formats=") + row.formats, {}, folder);
        ASSERT_EQ(run.status, 0) << run.err.toStdString();
        for (const uint64_t index : row.indexes) {
            run = RunTarvik({"--play", row.recording, "--frame", QString::number(index), "--grab", "f.png"}, {}, {},
                            folder);
            SKIP_WITHOUT_READER(run);
            ASSERT_EQ(run.status, 0) << run.err.toStdString();
            const QImage image = QImage(QString::fromStdString(dir / "f.png")).convertToFormat(QImage::Format_RGB888);
            const int64_t id = frame_counter::FromPicture(image.constBits(), uint32_t(image.width()),
                                                          uint32_t(image.height()), image.bytesPerLine(), 3);
            EXPECT_EQ(id, FrameIdOf(dir / row.csv, index)) << "index " << index;
        }
    }
}

struct RefuseRow {
    const char* name;
    QStringList args;   // after --play r.mkv
    int status;
    const char* said;   // in what stderr says
};

void PrintTo(const RefuseRow& r, std::ostream* os) { *os << r.name; }

class PlayRefuses : public ::testing::TestWithParam<RefuseRow> {};

// Refused with a message and the status, and every file there kept as it was.
TEST_P(PlayRefuses, FilesKept)
{
    const RefuseRow& r = GetParam();
    harness::TempDir dir;
    const QString folder = QString::fromStdString(dir.path);
    TarvikRun run = RunTarvik({"--record", "r.mkv", "--frames", "5"}, "width=64,height=48,formats=Mono8", {}, folder);
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    { std::ofstream(dir / "old.mkv") << "an earlier one"; }
    ASSERT_EQ(symlink("r.mkv", (dir / "link.mkv").c_str()), 0);
    ASSERT_EQ(link((dir / "r.mkv").c_str(), (dir / "hard.mkv").c_str()), 0);
    const std::string before = harness::Contents(dir / "r.mkv"), csv = harness::Contents(dir / "r.mkv.csv");
    run = RunTarvik(QStringList{"--play", "r.mkv"} + r.args, {}, {}, folder);
    SKIP_WITHOUT_READER(run);
    EXPECT_EQ(run.status, r.status) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(r.said)) << run.err.toStdString();
    EXPECT_TRUE(harness::Contents(dir / "r.mkv") == before);
    EXPECT_EQ(harness::Contents(dir / "r.mkv.csv"), csv);
    EXPECT_EQ(harness::Contents(dir / "old.mkv"), "an earlier one");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayRefuses,
    ::testing::Values(
        RefuseRow{"OntoItself", {"--record", "r.mkv", "--overwrite"}, 64, "it is the recording being read"},
        RefuseRow{"OntoItselfThroughALink", {"--record", "link.mkv", "--overwrite"}, 64,
                  "it is the recording being read"},
        RefuseRow{"OntoItselfByAnotherName", {"--record", "./r.mkv", "--overwrite"}, 64,
                  "it is the recording being read"},
        RefuseRow{"OntoItselfThroughAHardLink", {"--record", "hard.mkv", "--overwrite"}, 64,
                  "it is the recording being read"},
        RefuseRow{"ExistingKept", {"--record", "old.mkv"}, 64, "exists and is kept: --overwrite replaces it"},
        RefuseRow{"RangePastTheEnd", {"--range", "3-9", "--record", "c.mkv"}, 64, "has 5 frames, indexes 0 to 4"},
        RefuseRow{"StartPastTheEnd", {"--range", "5-", "--record", "c.mkv"}, 64, "has 5 frames, indexes 0 to 4"},
        RefuseRow{"FramePastTheEnd", {"--frame", "5", "--grab", "f.png"}, 64, "which has 5 frames (0 to 4)"}),
    [](const auto& info) { return std::string(info.param.name); });

// A disk that fills part way through an export: status 5, the frames
// written readable with their CSV lines, and the message says how many.
TEST(PlayKeepsAcross, FullDiskLeavesAReadablePrefix)
{
    harness::TempDir dir, small;
    if (getuid() != 0 || !harness::MountSmallDisk(small.path, 600 * 1024))
        GTEST_SKIP() << "mounting a small file system needs root";
    const QString folder = QString::fromStdString(dir.path);
    TarvikRun run = RunTarvik({"--record", "r.mkv", "--frames", "30"},
                              "width=256,height=256,formats=Mono8,noise=60", {}, folder);
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const std::string target = small / "cut.mkv";
    run = RunTarvik({"--play", "r.mkv", "--record", QString::fromStdString(target)}, {}, {}, folder);
    if (run.err.contains("reading recordings back is not in this build yet")) {
        umount2(small.path.c_str(), MNT_DETACH);
        GTEST_SKIP() << "the recording reader is not in this build yet";
    }
    EXPECT_EQ(run.status, 5) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("No space left on device")) << run.err.toStdString();
    std::smatch kept;
    const std::string err = run.err.toStdString();
    ASSERT_TRUE(std::regex_search(err, kept, std::regex("([0-9]+) of 30 frames kept"))) << err;
    const uint64_t n = std::stoull(kept[1]);
    ASSERT_GT(n, 0u);
    const size_t frameBytes = 256 * 256;
    EXPECT_TRUE(MkvFrames(target, "gray") == MkvFrames(dir / "r.mkv", "gray").substr(0, n * frameBytes));
    EXPECT_EQ(harness::Contents(target + ".csv"), CsvOf(dir / "r.mkv.csv", 0, n - 1));
    umount2(small.path.c_str(), MNT_DETACH);
}

// A folder recording whose frame file is no file: a pipe by that name must not
// hold the program waiting for a writer, and each says what it is.
TEST(PlayKeepsAcross, FrameFileThatIsNoFile)
{
    const struct {
        const char* name;
        const char* format;  // --record-format of the folder
        const char* frame;   // the frame file replaced
        bool fifo;           // by a pipe, else by a folder
        QStringList args;    // after --play DIR/
    } rows[] = {
        {"first png a pipe", "png", "frame-000001.png", true, {"--frame", "0", "--grab", "g.png"}},
        {"later png a pipe", "png", "frame-000002.png", true, {"--frame", "1", "--grab", "g.png"}},
        {"later tiff a pipe", "tiff", "frame-000002.tiff", true, {"--frame", "1", "--grab", "g.png"}},
        {"first tiff a folder", "tiff", "frame-000001.tiff", false, {"--range", "0-1", "--record", "o.mkv"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        harness::TempDir dir;
        const QString folder = QString::fromStdString(dir.path);
        TarvikRun run = RunTarvik({"--record", "r/", "--frames", "3", "--record-format", row.format},
                                  "width=32,height=24,formats=Mono8", {}, folder);
        ASSERT_EQ(run.status, 0) << run.err.toStdString();
        const std::string frame = dir / ("r/" + std::string(row.frame));
        ASSERT_EQ(::unlink(frame.c_str()), 0);
        ASSERT_EQ(row.fifo ? ::mkfifo(frame.c_str(), 0600) : ::mkdir(frame.c_str(), 0700), 0);
        run = RunTarvik(QStringList{"--play", "r/"} + row.args, {}, {}, folder);
        EXPECT_EQ(run.status, 4) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains((std::string(row.frame) + " cannot be read: it is not a regular file").c_str()))
            << run.err.toStdString();
    }
}

}  // namespace
