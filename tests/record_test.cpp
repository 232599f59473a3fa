// Recording: the recorder's queue and CSV fed frames by hand (gaps, drops,
// incomplete frames, a failing writer, a frame of another size), and the
// real program's --record on the simulated camera: formats, faults, signals.
#include "DialogHarness.h"
#include "WaitFor.h"
#include "RunTarvik.h"
#include "SmallDisk.h"
#include "app/record/Recorder.h"
#include "platform/camera/camsim.h"
#include "platform/imaging/convert/PixelRows.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sys/mount.h>
#include <tiffio.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

std::string Contents(const QString& path)
{
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The CSV's lines after the header, each as "frame_id:written".
std::string CsvIdsAndWritten(const QString& path)
{
    std::istringstream in(Contents(path));
    std::string line, out;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::istringstream l(line);
        for (std::string f; std::getline(l, f, ',');)
            fields.push_back(f);
        out += (out.empty() ? "" : " ") + (fields.size() == 8 ? fields[1] + ":" + fields[7] : "?" + line);
    }
    return out;
}

// A writer that keeps what it is given; it fails from write failAt on (0:
// never) and holds every write while gated.
class FakeWriter : public imaging::SequenceWriter {
public:
    struct Shared {
        std::mutex mutex;
        std::condition_variable opened;
        bool gated = false;
        std::vector<std::string> frames;  // bytes of each frame written
        bool closed = false;
    };
    FakeWriter(Shared* shared, size_t failAt) : shared_(shared), failAt_(failAt) {}
    bool Open(const std::string&, const imaging::SequenceShape&, bool) override { return true; }
    bool Write(const imaging::SequenceFrame& frame) override
    {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        shared_->opened.wait(lock, [this] { return !shared_->gated; });
        if (failAt_ && ++writes_ >= failAt_)
            return error_ = "No space left on device", false;
        if (frame.index != shared_->frames.size())
            return error_ = "index out of order", false;
        shared_->frames.emplace_back(reinterpret_cast<const char*>(frame.data), size_t(frame.size));
        bytes_ += frame.size;
        return true;
    }
    bool Close() override
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->closed = true;
        return true;
    }
    const std::string& Error() const override { return error_; }
    uint64_t BytesWritten() const override { return bytes_; }

private:
    Shared* shared_;
    size_t failAt_;
    size_t writes_ = 0;
    uint64_t bytes_ = 0;
    std::string error_;
};

// One frame as the camera hands it over: its id, and what is odd about it.
struct Sent {
    uint64_t id;
    enum { Whole, Half, Wider } kind = Whole;
};

struct RecorderCase {
    const char* name;
    std::vector<Sent> frames;
    uint64_t bufferFrames;  // the queue's bound in frames; 0: the default
    uint64_t maxFrames;
    size_t failAt;          // the writer fails from this write on; 0: never
    bool gated;             // the writer holds every write until all frames were sent
    std::string csv;        // frame_id:written for each line
    Recorder::Counts counts;  // received, written, cameraDropped, queueDropped, incomplete
    Recorder::Stop stop;
};

void PrintTo(const RecorderCase& c, std::ostream* os) { *os << c.name; }

Recorder::Counts Counts(uint64_t received, uint64_t written, uint64_t cameraDropped, uint64_t queueDropped,
                        uint64_t incomplete)
{
    Recorder::Counts c;
    c.received = received;
    c.written = written;
    c.cameraDropped = cameraDropped;
    c.queueDropped = queueDropped;
    c.incomplete = incomplete;
    return c;
}

using S = Sent;
const uint64_t kFar = Recorder::kMaxGap + 2;

const RecorderCase kRecorderCases[] = {
    {"every frame", {{0}, {1}, {2}}, 0, 0, 0, false, "0:yes 1:yes 2:yes", Counts(3, 3, 0, 0, 0),
     Recorder::Stop::None},
    {"ids the camera skipped", {{5}, {6}, {9}, {10}}, 0, 0, 0, false, "5:yes 6:yes 7:skipped 8:skipped 9:yes 10:yes",
     Counts(4, 4, 2, 0, 0), Recorder::Stop::None},
    // A counter that starts again, or wraps, is no loss.
    {"ids that start again", {{7}, {3}, {3 + kFar}}, 0, 0, 0, false,
     "7:yes 3:yes " + std::to_string(3 + kFar) + ":yes", Counts(3, 3, 0, 0, 0), Recorder::Stop::None},
    {"incomplete frames are written", {{0}, {1, S::Half}, {2}}, 0, 0, 0, false, "0:yes 1:incomplete 2:yes",
     Counts(3, 3, 0, 0, 1), Recorder::Stop::None},
    // Two frames of room: one being written, one waiting; the camera is never held up.
    {"queue full", {{0}, {1}, {2}, {3}, {4}}, 2, 0, 0, true, "0:yes 1:yes 2:dropped 3:dropped 4:dropped",
     Counts(5, 2, 0, 3, 0), Recorder::Stop::None},
    {"disk full", {{0}, {1}, {2}, {3}}, 0, 0, 3, true, "0:yes 1:yes 2:failed 3:failed", Counts(4, 2, 0, 0, 0),
     Recorder::Stop::WriteFailed},
    {"frame of another size", {{0}, {1}, {2, S::Wider}, {3}}, 0, 0, 0, false, "0:yes 1:yes 2:refused",
     Counts(3, 2, 0, 0, 0), Recorder::Stop::FrameShape},
    {"--frames", {{0}, {1}, {2}, {3}}, 0, 2, 0, false, "0:yes 1:yes", Counts(2, 2, 0, 0, 0), Recorder::Stop::None},
};

class RecorderTest : public ::testing::TestWithParam<RecorderCase> {};

TEST_P(RecorderTest, QueueAndCsv)
{
    const RecorderCase& c = GetParam();
    QTemporaryDir dir;
    const cam::PixelFormat* mono = cam::FindPixelFormat("Mono8");
    const imaging::SequenceShape shape{mono, 8, 4};
    FakeWriter::Shared shared;
    shared.gated = c.gated;
    Recorder recorder;
    Recorder::Options options;
    options.path = dir.filePath("r.tiff").toStdString();
    options.bufferBytes = c.bufferFrames * 32;
    options.maxFrames = c.maxFrames;
    std::string error;
    ASSERT_TRUE(recorder.Begin(options, shape, "Width=8\n", &error, nullptr,
                               std::make_unique<FakeWriter>(&shared, c.failAt)))
        << error;
    std::vector<std::string> sent;
    for (const Sent& s : c.frames) {
        std::string pixels(32, char('a' + s.id % 26));
        CamFrame f{};
        f.buffer = pixels.data();
        f.bufferSize = 32;
        f.imageSize = s.kind == Sent::Half ? 16 : 32;
        f.width = s.kind == Sent::Wider ? 16 : 8;
        f.height = 4;
        f.frameId = s.id;
        f.timestamp = 1000 * s.id;
        f.receiveTime = 1700000000000000000ull + s.id;
        f.receiveStatus = s.kind == Sent::Half ? CAM_FRAME_INCOMPLETE : CAM_FRAME_COMPLETE;
        recorder.OnFrame(f);
        sent.push_back(pixels.substr(0, f.imageSize));
    }
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.gated = false;
        shared.opened.notify_all();
    }
    const Recorder::Result r = recorder.Finish(false);
    EXPECT_EQ(CsvIdsAndWritten(dir.filePath("r.tiff.csv")), c.csv);
    EXPECT_EQ(Contents(dir.filePath("r.tiff.settings")), "Width=8\n");
    EXPECT_EQ(r.counts.received, c.counts.received);
    EXPECT_EQ(r.counts.written, c.counts.written);
    EXPECT_EQ(r.counts.cameraDropped, c.counts.cameraDropped);
    EXPECT_EQ(r.counts.queueDropped, c.counts.queueDropped);
    EXPECT_EQ(r.counts.incomplete, c.counts.incomplete);
    EXPECT_EQ(r.stop, c.stop) << r.error;
    EXPECT_TRUE(shared.closed);
    // What was written is what the camera sent, frame for frame (the frames
    // written come first in every row).
    ASSERT_EQ(shared.frames.size(), c.counts.written);
    for (size_t i = 0; i < shared.frames.size(); ++i)
        EXPECT_EQ(shared.frames[i], sent[i]) << "frame " << i;
    // Every line has the frame's own fields: index, id, times, size, format.
    std::istringstream csv(Contents(dir.filePath("r.tiff.csv")));
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "index,frame_id,camera_timestamp_ns,receive_time_ns,width,height,pixel_format,written");
    if (c.frames.size() && c.frames[0].kind == Sent::Whole && c.frames[0].id == 0) {
        std::getline(csv, line);
        EXPECT_EQ(line, "0,0,,1700000000000000000,8,4,Mono8,yes");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RecorderTest, ::testing::ValuesIn(kRecorderCases),
                         [](const auto& info) { return harness::CaseName(info.param.name); });

// A writer that, as an encoder coding a frame a thread, still has the last
// frames it took to put in the file; it fails from write failAt on (0:
// never), or at Close, and those frames are then lost.
class HoldingWriter : public imaging::SequenceWriter {
public:
    HoldingWriter(uint64_t held, size_t failAt, bool closeFails) : held_(held), failAt_(failAt), closeFails_(closeFails)
    {
    }
    bool Open(const std::string&, const imaging::SequenceShape&, bool) override { return true; }
    bool Write(const imaging::SequenceFrame&) override
    {
        if (failAt_ && ++writes_ >= failAt_)
            return error_ = "No space left on device", false;
        return ++taken_, true;
    }
    bool Close() override
    {
        if (closeFails_)
            return error_ = "No space left on device", false;
        return held_ = 0, true;
    }
    const std::string& Error() const override { return error_; }
    uint64_t BytesWritten() const override { return 0; }
    uint64_t FramesHeld() const override { return std::min(held_, taken_); }

private:
    uint64_t held_, taken_ = 0;
    size_t failAt_, writes_ = 0;
    bool closeFails_;
    std::string error_;
};

// A frame's line waits until the writer has it in the file, the lines after
// it with it; what a failure left with the writer is listed failed, not kept.
TEST(RecorderHeldFrames, ListedOnceInTheFile)
{
    const struct {
        const char* name;
        std::vector<uint64_t> ids;
        uint64_t held;
        size_t failAt;
        bool closeFails;
        const char* csv;
        uint64_t written;
    } rows[] = {
        {"all kept", {0, 1, 2, 3}, 2, 0, false, "0:yes 1:yes 2:yes 3:yes", 4},
        {"disk full", {0, 1, 2, 3, 4}, 2, 5, false, "0:yes 1:yes 2:failed 3:failed 4:failed", 2},
        {"close fails", {0, 1, 3, 4}, 1, 0, true, "0:yes 1:yes 2:skipped 3:yes 4:failed", 3},
    };
    const cam::PixelFormat* mono = cam::FindPixelFormat("Mono8");
    for (const auto& row : rows) {
        QTemporaryDir dir;
        Recorder recorder;
        Recorder::Options options;
        options.path = dir.filePath("r.mkv").toStdString();
        std::string error;
        ASSERT_TRUE(recorder.Begin(options, {mono, 8, 4}, "", &error, nullptr,
                                   std::make_unique<HoldingWriter>(row.held, row.failAt, row.closeFails)))
            << error;
        std::string pixels(32, 'x');
        for (uint64_t id : row.ids) {
            CamFrame f{};
            f.buffer = pixels.data();
            f.bufferSize = f.imageSize = 32;
            f.width = 8, f.height = 4, f.frameId = id;
            recorder.OnFrame(f);
        }
        const Recorder::Result r = recorder.Finish(false);
        EXPECT_EQ(CsvIdsAndWritten(dir.filePath("r.mkv.csv")), row.csv) << row.name;
        EXPECT_EQ(r.counts.written, row.written) << row.name;
        EXPECT_EQ(r.stop, row.written == row.ids.size() ? Recorder::Stop::None : Recorder::Stop::WriteFailed)
            << row.name;
    }
}

// Frame buffers are made ready before the first frame, so that the camera
// thread's copy meets no page fault, yet never past the queue's bound.
TEST(RecorderBuffers, ReadyWithinTheBound)
{
    const struct {
        uint64_t boundFrames;  // --record-buffer in frames (under two is raised to two)
        uint64_t ready;        // frames' worth of buffers made ready at Begin
    } rows[] = {{1, 2}, {2, 2}, {3, 3}, {100, Recorder::kReadyBuffers}};
    const cam::PixelFormat* mono = cam::FindPixelFormat("Mono8");
    for (const auto& row : rows) {
        QTemporaryDir dir;
        FakeWriter::Shared shared;
        Recorder recorder;
        Recorder::Options options;
        options.path = dir.filePath("r.tiff").toStdString();
        options.bufferBytes = row.boundFrames * 32;
        std::string error;
        ASSERT_TRUE(recorder.Begin(options, {mono, 8, 4}, "", &error, nullptr,
                                   std::make_unique<FakeWriter>(&shared, 0)))
            << error;
        EXPECT_EQ(recorder.CountsNow().heldBytes, row.ready * 32) << row.boundFrames << " frames of room";
        std::string pixels(32, 'x');
        for (uint64_t id = 0; id < 20; ++id) {
            CamFrame f{};
            f.buffer = pixels.data();
            f.bufferSize = f.imageSize = 32;
            f.width = 8;
            f.height = 4;
            f.frameId = id;
            recorder.OnFrame(f);
            const Recorder::Counts c = recorder.CountsNow();
            EXPECT_LE(c.heldBytes, c.bufferBytes) << row.boundFrames << " frames of room, frame " << id;
        }
        const Recorder::Result r = recorder.Finish(false);
        EXPECT_EQ(r.counts.written + r.counts.queueDropped, 20u);
    }
}

// ---- the real program -------------------------------------------------------

struct RecordCase {
    const char* name;
    const char* sim;  // TARVIK_SIM
    // Bash, run in an empty folder. `run ARGS` runs the program, appending its
    // stderr to "err" and its status to "status"; "disk" is a small file
    // system with 64 KiB free where mounting is allowed. Status 77 skips.
    const char* script;
    const char* status;  // every run's status, in order
    const char* check;   // bash that must succeed afterwards (err holds stderr)
};

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

// The CSV's frame ids of the frames written, one line, and the ids 0..n-1.
#define WRITTEN_IDS(csv) "$(awk -F, 'NR>1 && ($8==\"yes\"||$8==\"incomplete\") {printf \"%s \", $2}' " csv ")"
#define IDS(n) "$(seq -s ' ' 0 $((" #n " - 1))) "
#define KEPT "$(sed -n 's/.* recording stopped, \\([0-9]*\\) frames kept$/\\1/p' err)"

const RecordCase kRecordCases[] = {
    {"folder", "width=16,height=8,picture=still,rate=100", "run --grab ref.tiff; run --record out/ --frames 10", "0 0",
     "[ $(ls out | grep -c '^frame-.*\\.tiff$') = 10 ] && [ \"" WRITTEN_IDS("out/frames.csv") "\" = \"" IDS(10) "\" ]"
     " && grep -q '^tarvik: recorded 10 frames to \"out/\": 0 dropped by the camera, 0 dropped by Tarvik, 0 "
     "incomplete, [0-9]* bytes, [0-9.]* s$' err && grep -q '^PixelFormat=' out/camera.settings"
     " && tiffinfo out/frame-000010.tiff >/dev/null && cmp out/frame-000001.tiff ref.tiff"},
    {"folder of PNG files", "width=16,height=8,rate=100", "mkdir out; run --record out --frames 3 --record-format png", "0",
     "test -d out && [ $(ls out | grep -c '^frame-.*\\.png$') = 3 ]"},
    {"tiff", "width=16,height=8,formats=BayerRG8,rate=100", "run --record x.tiff --frames 5", "0",
     "[ $(tiffinfo x.tiff 2>/dev/null | grep -c 'TIFF Directory') = 5 ] && "
     "[ \"" WRITTEN_IDS("x.tiff.csv") "\" = \"" IDS(5) "\" ] && test -s x.tiff.settings"},
    {"mkv", "width=16,height=8,formats=Mono8,rate=100", "run --record x.mkv --frames 5", "0",
     "[ $(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 x.mkv) "
     "= 5 ] && [ \"" WRITTEN_IDS("x.mkv.csv") "\" = \"" IDS(5) "\" ]"},
    // A frame decodes alone: FFV1 once made a keyframe only of every 12th.
    {"mkv every frame a keyframe", "width=16,height=8,formats=Mono8,rate=100", "run --record x.mkv --frames 14", "0",
     "[ \"$(ffprobe -v error -show_entries packet=flags -of csv=p=0 x.mkv | sort | uniq -c | tr -s ' ')\" = ' 14 K_' ]"},
    {"codec that cannot keep the samples", "width=16,height=8,formats=Mono12",
     "run --record x.mkv --frames 1 --record-codec magicyuv", "4",
     "grep -q '^tarvik: cannot record Mono12 frames to \"x.mkv\": magicyuv keeps 8-bit samples only: Mono12 goes "
     "to ffvhuff or ffv1$' err && [ -z \"$(ls | grep -v '^err$\\|^status$')\" ]"},
    {"codec usage", "width=16,height=8",
     "run --record x.mkv --record-codec h264; run --record-codec ffv1; run --record x.tiff --record-codec ffv1;"
     "run --record d/ --record-codec magicyuv", "64 64 64 64",
     "[ -z \"$(ls | grep -v '^err$\\|^status$')\" ] && grep -c '^Usage: tarvik' err | grep -qx 4 &&"
     "grep -q -- \"--record-codec needs ffv1, magicyuv, ffvhuff, got 'h264'\" err &&"
     "grep -q -- '--record-codec goes with --record' err &&"
     "[ $(grep -c -- '--record-codec says how a .mkv recording is coded: the path must end in .mkv' err) = 2 ]"},
    {"bayer layout usage", "formats=BayerRG8",
     "run --record x.tiff --record-bayer planes; run --record x/ --record-bayer planes;"
     "run --record x.mkv --record-bayer diagonal; run --record-bayer planes", "64 64 64 64",
     "[ -z \"$(ls | grep -v '^err$\\|^status$')\" ] &&"
     "[ $(grep -c -- '--record-bayer goes with .mkv recordings only' err) = 2 ] &&"
     "grep -q -- \"--record-bayer needs mosaic or planes, got 'diagonal'\" err &&"
     "grep -q -- '--record-bayer goes with --record' err"},
    // Hours of recording are not lost to a typo.
    {"existing files without --overwrite", "width=16,height=8",
     "echo old >x.tiff; echo old >y.mkv.csv; mkdir d; echo old >d/frames.csv;"
     "run --record x.tiff --frames 2; run --record y.mkv; run --record d --frames 2", "64 64 64",
     "[ \"$(cat x.tiff)\" = old ] && [ \"$(cat y.mkv.csv)\" = old ] && [ \"$(cat d/frames.csv)\" = old ] &&"
     "! test -e x.tiff.csv && ! test -e y.mkv && [ $(ls d) = frames.csv ] &&"
     "grep -q '^tarvik: \"x.tiff\" exists and is kept: --overwrite replaces it$' err"},
    // The window refuses them before it opens (no display is needed to tell).
    {"--live --record: existing file", "width=16,height=8",
     "echo old >x.mkv; run --live --record x.mkv", "64",
     "[ \"$(cat x.mkv)\" = old ] && [ \"$(ls)\" = \"$(printf 'err\\nstatus\\nx.mkv')\" ] &&"
     "grep -q '^tarvik: \"x.mkv\" exists and is kept: --overwrite replaces it$' err"},
    {"--overwrite", "width=16,height=8,rate=100", "mkdir d; echo old >d/frames.csv; run --record d --frames 2 --overwrite",
     "0", "[ \"" WRITTEN_IDS("d/frames.csv") "\" = \"" IDS(2) "\" ]"},
    {"folder that cannot be made", "width=16,height=8",
     "touch file; run --record file/out/ --frames 2; run --record file/x.tiff --frames 2", "5 5",
     "! test -e file.csv && grep -q '^tarvik: cannot write \"file/out/\": ' err"},
    {"folder that cannot be written", "width=16,height=8",
     "[ $(id -u) != 0 ] || exit 77; mkdir ro; chmod 555 ro; run --record ro/out/ --frames 2", "5",
     "[ -z \"$(ls ro)\" ]"},
    // A FIFO can take a stream, not a file that is gone back over or a folder.
    {"fifo refused for tiff and folder", "width=16,height=8",
     "mkfifo f.tiff d; run --record f.tiff --frames 2; run --record d/ --frames 2", "5 5",
     "test -p f.tiff && test -p d"},
    {"fifo streamed for mkv", "width=16,height=8,formats=Mono8",
     "mkfifo f.mkv; cat f.mkv >got.mkv & run --record f.mkv --frames 5; wait", "0",
     "[ $(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 got.mkv) "
     "= 5 ]"},
    // A reader that goes away ends the recording as a full disk does, not the program.
    {"fifo whose reader goes away", "width=64,height=48,formats=Mono8,rate=200",
     "mkfifo f.mkv; head -c 3000 f.mkv >/dev/null & run --record f.mkv; wait", "5",
     "grep -q '^tarvik: cannot write \"f.mkv\": Broken pipe; recording stopped, [0-9]* frames kept$' err &&"
     "grep -q '^tarvik: recorded [0-9]* frames to \"f.mkv\": ' err && grep -q ',failed$' f.mkv.csv &&"
     "[ $(grep -c ',yes$' f.mkv.csv) = " KEPT " ]"},
    // The disk fills: every whole frame stays, readable, and the line says how many.
    {"disk fills up, folder", "width=64,height=64", "run --record disk/out/", "5",
     "grep -q 'No space left on device; recording stopped, [0-9]* frames kept$' err && [ " KEPT " -gt 0 ] &&"
     "[ $(ls disk/out | grep -c '^frame-') = " KEPT " ] && for f in disk/out/frame-*; do tiffinfo $f >/dev/null || "
     "exit 1; done"},
    {"disk fills up, tiff", "width=64,height=64", "run --record disk/x.tiff", "5",
     "grep -q 'No space left on device; recording stopped, [0-9]* frames kept$' err && [ " KEPT " -gt 0 ] &&"
     "[ $(tiffinfo disk/x.tiff 2>/dev/null | grep -c 'TIFF Directory') = " KEPT " ]"},
    {"disk fills up, mkv", "width=64,height=64,formats=Mono8,picture=soft", "run --record disk/x.mkv", "5",
     "grep -q 'No space left on device; recording stopped, [0-9]* frames kept$' err && [ " KEPT " -gt 0 ] &&"
     "[ $(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "
     "disk/x.mkv) = " KEPT " ]"},
    // A frame whose size is not the recording's ends it cleanly.
    {"frame of another size", "width=16,height=8,frame=16x4", "run --record out/ --frames 5", "4",
     "grep -q '^tarvik: the camera sent a frame of 16 x 4 pixels, not the 16 x 8 the recording began with; "
     "recording stopped, 0 frames kept$' err && [ \"$(tail -1 out/frames.csv | cut -d, -f5,6,8)\" = 16,4,refused ]"},
    // Frames the camera filled only in part are kept, and said to be incomplete.
    {"short frames incomplete", "width=64,height=32,formats=Mono8,filled=1000", "run --record x.tiff --frames 2", "0",
     "[ $(grep -c ',incomplete$' x.tiff.csv) = 2 ] && grep -q ' 2 incomplete, ' err"},
    // Only a regular file keeps a recording; a FIFO takes a stream.
    {"device refused for mkv", "width=16,height=8", "ln -s /dev/null null.mkv; run --record null.mkv --frames 2 --overwrite",
     "5", "grep -q 'a recording goes to a regular file, or is streamed into a FIFO' err && ! test -e null.mkv.csv"},
    // A folder holding an earlier recording's frames: kept without
    // --overwrite, replaced whole with it (no stale frame past the new end).
    {"earlier frames in a folder", "width=16,height=8",
     "mkdir d; echo keep >d/frame-000002.tiff; run --record d/ --frames 1; run --record d/ --frames 1 --overwrite",
     "64 0", "grep -q '\"d/frame-000002.tiff\" exists and is kept' err && [ \"$(ls d | grep -c '^frame-')\" = 1 ]"},
    // --seconds ends the recording on time, not at the next look at the clock.
    {"short --seconds", "width=16,height=8,formats=Mono8,rate=1000", "run --record x.tiff --seconds 0.05", "0",
     "n=$(grep -c ',yes$' x.tiff.csv) && [ $n -ge 5 ] && [ $n -le 90 ]"},
    // A sidecar is a file of its own: a FIFO there would hold the recording up.
    {"FIFO as a sidecar", "width=16,height=8", "mkfifo x.tiff.csv; run --record x.tiff --frames 1 --overwrite", "5",
     "grep -q '^tarvik: cannot write \"x.tiff.csv\": it is not a regular file$' err && ! test -e x.tiff && test -p x.tiff.csv"},
    // Frame numbers past 999999 have seven digits; they belong to the folder's recording too.
    {"earlier frames past a million", "width=16,height=8",
     "mkdir d; echo keep >d/frame-1000000.png; run --record d/ --frames 1; run --record d/ --frames 1 --overwrite",
     "64 0", "grep -q 'frame-1000000.png\" exists and is kept' err && ! test -e d/frame-1000000.png"},
    // A recording that keeps no frame leaves no bare header for readers to
    // choke on; its CSV says why.
    {"no frame kept", "width=16,height=8,frame=16x4", "run --record x.mkv --frames 3; run --record x.tiff --frames 3",
     "4 4",
     "! test -e x.mkv && ! test -e x.tiff && test -s x.mkv.csv && test -s x.tiff.csv &&"
     "grep -q '^tarvik: recorded no frame: \"x.mkv\" not kept: ' err &&"
     "grep -q '^tarvik: recorded no frame: \"x.tiff\" not kept: ' err"},
    // A small queue and a writer slower than the camera: frames are dropped
    // and counted, never waited for.
    {"tiny --record-buffer", "width=1292,height=964,formats=Mono8,rate=2000",
     "run --record out/ --frames 100 --record-buffer 1K --record-format png", "0",
     "n=$(sed -n 's/.*, \\([0-9]*\\) dropped by Tarvik,.*/\\1/p' err) && [ \"$n\" -gt 0 ] &&"
     "[ $(grep -c ',dropped$' out/frames.csv) = $n ] && [ $(ls out | grep -c '^frame-') = $((100 - n)) ]"},
    // YUV says its range and matrix, so that FFmpeg turns it into the
    // colours meant (a full-range picture taken as limited is up to 19 levels off).
    {"full-range YUV tagged", "width=16,height=8,formats=YUV422_8,rate=100", "run --record x.mkv --frames 1", "0",
     "[ \"$(ffprobe -v error -show_entries stream=color_range,color_space -of csv=p=0 x.mkv)\" = pc,smpte170m ]"},
    {"limited-range YUV tagged", "width=16,height=8,formats=YCbCr601_422_8,rate=100", "run --record x.mkv --frames 1",
     "0", "[ \"$(ffprobe -v error -show_entries stream=color_range,color_space -of csv=p=0 x.mkv)\" = tv,smpte170m ]"},
    // An odd 4:2:2 width once failed as a write (5): its frames are kept.
    {"odd YUV 4:2:2 width", "width=3,height=5,formats=YUV422_8,rate=100", "run --record x.mkv --frames 2", "0",
     "[ $(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 x.mkv) "
     "= 2 ]"},
    // A size the encoder takes no frame of is said before the stream starts,
    // as a format it cannot keep is; it is not a failed write (5).
    {"frame size FFV1 cannot keep", "width=8,height=4000000,formats=Mono8", "run --record x.mkv --frames 1", "4",
     "grep -q '^tarvik: cannot record Mono8 frames to \"x.mkv\": FFV1 cannot keep frames of 8 x 4000000 pixels: "
     "FFmpeg takes at most (width + 128) x (height + 128) = 268435454$' err && [ -z \"$(ls | grep -v '^err$\\|^status$')\" ]"},
    {"camera sends nothing", "width=16,height=8,frames=none", "run --record out/ --frames 2", "4",
     "grep -q '^tarvik: no frame within 5 s' err && grep -q 'recorded 0 frames' err"},
    {"usage", "width=16,height=8",
     "run --record x.avi; run --record x.tiff --frames 2 --seconds 1; run --record x.tiff --grab y.png;"
     "run --record x.tiff --check; run --record x.tiff --live --frames 2; run --overwrite; run --record x.tiff "
     "--record-buffer 2X; run --record x.tiff --record-format png; run --record x.tiff --all; run --frames 3",
     "64 64 64 64 64 64 64 64 64 64",
     "[ -z \"$(ls | grep -v '^err$\\|^status$')\" ] && grep -c '^Usage: tarvik' err | grep -qx 10 &&"
     "grep -q -- '--record needs a path ending in .mkv, .tif, .tiff, or a folder' err &&"
     "grep -q -- 'how long to record: use one of them' err && grep -q -- '--live --record records until Ctrl+R in the window' err &&"
     "grep -q -- '--frames goes with --check or --record' err"},
};

// A small file system at path (2 MiB, as in RAM) with 64 KiB left; false
// where mounting is not allowed.
bool MountSmallDisk(const QString& path) { return harness::MountSmallDisk(path.toStdString(), 65536); }

class RecordProgram : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordProgram, Records)
{
    const RecordCase& c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const bool disk = std::strstr(c.script, "disk/") != nullptr;
    if (disk) {
        ASSERT_TRUE(QDir(dir.path()).mkdir("disk"));
        if (!MountSmallDisk(dir.filePath("disk")))
            GTEST_SKIP() << "no small file system: mounting is not allowed here";
    }
    struct Unmount {
        QString path;
        ~Unmount()
        {
            if (!path.isEmpty())
                umount(path.toLocal8Bit().constData());
        }
    } unmount{disk ? dir.filePath("disk") : QString()};
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "TARVIK_CAMERAS", "TARVIK_CAMERA_TRACE"})
        env.remove(name);
    env.insert("TARVIK_SIM", c.sim);
    env.insert("T", TARVIK_EXE);
    const QString script =
        QString("set -u\n"
                "run() { \"$T\" \"$@\" 2>>err; echo -n \"$? \" >>status; }\n") +
        c.script + "\n" + c.check + "\n";
    QProcess bash;
    bash.setProcessEnvironment(env);
    bash.setWorkingDirectory(dir.path());
    bash.start("bash", {"-c", script});
    ASSERT_TRUE(bash.waitForFinished(120000));
    if (bash.exitCode() == 77)
        GTEST_SKIP() << "not available here: " << c.script;
    EXPECT_EQ(QString::fromStdString(Contents(dir.filePath("status"))).trimmed().toStdString(), c.status)
        << Contents(dir.filePath("err"));
    EXPECT_EQ(bash.exitCode(), 0) << "check failed: " << c.check << "\n"
                                  << Contents(dir.filePath("err")) << bash.readAllStandardError().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Table, RecordProgram, ::testing::ValuesIn(kRecordCases),
                         [](const auto& info) { return harness::CaseName(info.param.name); });

// Where a recording and its sidecars may go, and what a start that fails or
// a recording that kept nothing leaves. NOTHING_OURS: no temporary file or
// lock of a recording is left in the folder.
#define NOTHING_OURS "[ -z \"$(ls -A | grep tarvik)\" ]"

const RecordCase kTargetCases[] = {
    // A device is never written, a block device no more than /dev/null: the
    // loop device's file stays zeros.
    {"block device as recording or sidecar", "width=16,height=8",
     "[ $(id -u) = 0 ] && command -v losetup >/dev/null || exit 77; truncate -s 1M img;"
     "dev=$(losetup -f --show img) || exit 77; ln -s $dev r.mkv.csv; ln -s $dev s.tiff.settings; ln -s $dev t.mkv;"
     "run --record r.mkv --frames 2 --overwrite; run --record s.tiff --frames 2 --overwrite;"
     "run --record t.mkv --frames 2 --overwrite; losetup -d $dev",
     "5 5 5",
     "[ -z \"$(tr -d '\\0' <img)\" ] && ! test -e r.mkv && ! test -e s.tiff && ! test -e t.mkv.csv &&"
     "grep -q '^tarvik: cannot write \"r.mkv.csv\": it is not a regular file$' err &&"
     "grep -q '^tarvik: cannot write \"s.tiff.settings\": it is not a regular file$' err &&"
     "grep -q '^tarvik: cannot write \"t.mkv\": a recording goes to a regular file' err && " NOTHING_OURS},
    // A link that leads nowhere is refused for every file of a recording,
    // before any is written: no file appears where it points, the link stays.
    {"links that lead nowhere", "width=16,height=8",
     "ln -s elsewhere.mkv a.mkv; ln -s b.csv b.mkv.csv; ln -s c.settings c.tiff.settings; mkdir d;"
     "ln -s gone d/frames.csv; run --record a.mkv --frames 2 --overwrite; run --record b.mkv --frames 2 --overwrite;"
     "run --record c.tiff --frames 2; run --record d/ --frames 2 --overwrite; mkdir e; ln -s gone e/frame-000001.tiff;"
     "run --record e/ --frames 2",
     "5 5 5 5 64",
     "test -L a.mkv && test -L b.mkv.csv && test -L c.tiff.settings && test -L d/frames.csv &&"
     "[ \"$(ls | sort | tr '\\n' ' ')\" = 'a.mkv b.mkv.csv c.tiff.settings d e err status ' ] &&"
     "[ \"$(ls e)\" = frame-000001.tiff ] && grep -q 'frame-000001.tiff\" exists and is kept' err &&"
     "[ \"$(ls d)\" = frames.csv ] && [ $(grep -c 'symbolic link to a file that does not exist$' err) = 4 ] &&"
     NOTHING_OURS},
    // A link to a file is followed: the file is replaced, the link stays.
    {"links to files followed", "width=16,height=8,formats=Mono8,rate=100",
     "echo old >real.mkv; echo old >real.csv; ln -s real.mkv rec.mkv; ln -s real.csv rec.mkv.csv;"
     "run --record rec.mkv --frames 2 --overwrite",
     "0",
     "test -L rec.mkv && test -L rec.mkv.csv && [ $(grep -c ',yes$' real.csv) = 2 ] && [ $(ffprobe -v error "
     "-count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 real.mkv) = 2 ] && "
     NOTHING_OURS},
    // A start that fails with --overwrite leaves the earlier recording whole.
    {"failed start keeps the earlier recording", "width=16,height=8,formats=Mono8,rate=100",
     "run --record f.mkv --frames 2; cp f.mkv f.old; cp f.mkv.csv csv.old; rm f.mkv.settings;"
     "mkdir f.mkv.settings; run --record f.mkv --frames 3 --overwrite",
     "0 5",
     "cmp f.mkv f.old && cmp f.mkv.csv csv.old && test -d f.mkv.settings && " NOTHING_OURS},
    {"failed start on a full disk keeps the earlier recording", "width=16,height=8,formats=Mono8,rate=100",
     "run --record disk/f.tiff --frames 2; cp disk/f.tiff f.old; cp disk/f.tiff.csv csv.old;"
     "cp disk/f.tiff.settings settings.old; cat /dev/zero >disk/pad 2>/dev/null;"
     "run --record disk/f.tiff --frames 3 --overwrite",
     "0 5",
     "cmp disk/f.tiff f.old && cmp disk/f.tiff.csv csv.old && cmp disk/f.tiff.settings settings.old &&"
     "[ -z \"$(ls -A disk | grep tarvik)\" ]"},
    // The CSV ends on a whole line whatever the disk let it write.
    {"disk fills up, CSV whole lines", "width=16,height=8,formats=Mono8,rate=1000", "run --record disk/x.mkv", "5",
     "grep -q 'No space left on device; recording stopped' err && [ \"$(tail -c 1 disk/x.mkv.csv | od -An -c | "
     "tr -d ' ')\" = '\\n' ] && awk -F, 'NF != 8 { exit 1 }' disk/x.mkv.csv"},
    // The frames a full disk still took have their lines: the CSV is not a
    // second behind the recording when the disk fills up (one frame at most,
    // when the CSV's own write is the one that finds the disk full).
    {"disk fills up, CSV lines of the frames kept", "width=64,height=48,formats=Mono8,rate=1000",
     "run --record disk/x.mkv", "5",
     "n=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "
     "disk/x.mkv); y=$(grep -c ',yes$' disk/x.mkv.csv); [ $n -gt 0 ] && [ $y -le $n ] && [ $((n - y)) -le 1 ]"},
    // An encoder that codes a frame a thread holds the last few back: those
    // it held when the disk filled are not counted as kept, nor listed so.
    {"disk fills up, frames still being coded not kept", "width=256,height=128,formats=BayerRG8,rate=1000,noise=20",
     "for c in ffv1 magicyuv ffvhuff; do for b in mosaic planes; do rm -f disk/x.mkv*;"
     "run --record disk/x.mkv --record-codec $c --record-bayer $b; echo \"$c $b $(ffprobe -v error -count_frames "
     "-select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 disk/x.mkv) $(grep -c ',yes$' "
     "disk/x.mkv.csv) $(grep -o '[0-9]* frames kept' err | tail -1)\" >>kept; done; done",
     "5 5 5 5 5 5",
     "cat kept >&2; [ $(wc -l <kept) = 6 ] && awk '$3 < 1 || $4 > $3 || $3 - $4 > 1 || $5 != $3 { exit 1 }' kept"},
    // What a recording that kept no frame leaves does not stand in the way
    // of trying again under its name.
    {"retry after no frame kept", "width=16,height=8,frame=16x4",
     "run --record x.mkv --frames 3; run --record x.mkv --frames 3; run --record d/ --frames 3;"
     "run --record d/ --frames 3",
     "4 4 4 4",
     "! grep -q 'exists' err && [ $(grep -c ',refused$' x.mkv.csv) = 1 ] && [ $(grep -c ',refused$' d/frames.csv) = 1 ]"
     " && test -s x.mkv.settings && test -s d/camera.settings && " NOTHING_OURS},
    // A refused frame is not counted as an incomplete one kept.
    {"refused frame not incomplete", "width=64,height=48,frame=64x40", "run --record x.mkv --frames 2", "4",
     "grep -q '^tarvik: recorded no frame: \"x.mkv\" not kept: 0 dropped by the camera, 0 dropped by Tarvik, 0 "
     "incomplete, ' err && [ \"$(tail -1 x.mkv.csv | cut -d, -f5,6,8)\" = 64,40,refused ]"},
    // What a killed folder recording left half written goes with --overwrite;
    // other hidden files stay.
    {"half-written frames of a killed recording", "width=16,height=8",
     "mkdir d; echo x >d/frame-000001.tiff; echo half >d/.frame-000002.tiff.tarvik-Ab12Cd;"
     "echo half >d/.frame-1000000.png.tarvik-Ab12Cd; echo mine >d/.notes; echo mine >d/.frame-notes.tarvik-x;"
     "echo held >d/.frame-000003.tiff.tarvik-lock; run --record d/ --frames 1 --overwrite",
     "0",
     "[ \"$(ls -A d | sort | tr '\\n' ' ')\" = '.frame-000003.tiff.tarvik-lock .frame-notes.tarvik-x .notes "
     "camera.settings frame-000001.tiff frames.csv ' ]"},
    // A sidecar that leads to another file of the recording is refused: the
    // files put in place would take its lines away.
    {"sidecar a link to a file of the recording", "width=16,height=8",
     "run --record x.mkv --frames 2; rm x.mkv.csv; ln -s x.mkv x.mkv.csv; run --record x.mkv --frames 3 --overwrite;"
     "run --record d/ --frames 2; rm d/camera.settings; ln -s frames.csv d/camera.settings;"
     "run --record d/ --frames 3 --overwrite; run --record e/ --frames 2; rm e/frames.csv;"
     "ln -s frame-000002.tiff e/frames.csv; run --record e/ --frames 1 --overwrite",
     "0 5 0 5 0 5",
     "grep -q '^tarvik: cannot write \"x.mkv.csv\": it is the same file as \"x.mkv\", through a link$' err &&"
     "grep -q '^tarvik: cannot write \"d/frames.csv\": it is the same file as \"d/camera.settings\"' err &&"
     "grep -q '^tarvik: cannot write \"e/frames.csv\": it is the same file as \"e/frame-000002.tiff\"' err &&"
     "test -L x.mkv.csv && [ $(ls -A e | wc -l) = 4 ] && " NOTHING_OURS},
    // A FIFO in a folder this user cannot write, through a link from one
    // that can, is streamed into as ever.
    {"FIFO in a folder not writable, through a link", "width=16,height=8,formats=Mono8,rate=100",
     "[ $(id -u) = 0 ] && id nobody >/dev/null 2>&1 || exit 77; chmod 755 .; mkdir pipes home; mkfifo pipes/p;"
     "chmod 666 pipes/p; chown nobody home; ln -s ../pipes/p home/rec.mkv; timeout 20 cat pipes/p >got & cd home;"
     "runuser -u nobody -- \"$T\" --record rec.mkv --frames 2 2>>../err; echo -n \"$? \" >>../status; cd ..; wait",
     "0",
     "[ $(grep -c ',yes$' home/rec.mkv.csv) = 2 ] && test -s got && [ -z \"$(ls -A home pipes | grep tarvik)\" ]"},
    // Names too long for the lock's additions have locks of their own: two
    // such recordings in a folder, and the folder's own, run side by side.
    {"long names, locks of their own", "width=16,height=8,formats=Mono8,rate=100",
     "mkdir f; a=f/$(printf 'a%.0s' $(seq 240)).mkv; b=f/$(printf 'b%.0s' $(seq 240)).mkv; mkfifo $a;"
     "\"$T\" --record $a --frames 3 2>>err & until ls -A f | grep -q tarvik-lock; do :; done;"
     "run --record $b --frames 2; run --record f/ --frames 2; cat $a >/dev/null; wait",
     "0 0",
     "[ $(grep -c ',yes$' f/a*.csv) = 3 ] && [ $(grep -c ',yes$' f/b*.csv) = 2 ] && "
     "[ $(grep -c ',yes$' f/frames.csv) = 2 ] && [ -z \"$(ls -A f | grep tarvik)\" ]"},
    // A file of the recording that only its owner may replace (another
    // user's, in a folder with the sticky bit) is refused before anything
    // is replaced: found as the files are put in place, the earlier
    // recording's settings were already replaced.
    {"another user's sidecar in a sticky folder", "width=16,height=8,formats=Mono8,rate=100",
     "[ $(id -u) = 0 ] && id nobody >/dev/null 2>&1 || exit 77; chmod 1777 .; mkdir -m 1777 d;"
     "nob() { runuser -u nobody -- env TARVIK_SIM=$1 \"$T\" \"${@:2}\" 2>>err; echo -n \"$? \" >>status; };"
     "nob width=16,height=8 --record x.mkv --frames 2; cp x.mkv.csv c; rm x.mkv.csv; cp c x.mkv.csv;"
     "chmod 666 x.mkv.csv; cp x.mkv.settings s; nob width=32,height=8 --record x.mkv --frames 3 --overwrite;"
     "nob width=16,height=8 --record d/ --frames 2; cp d/frames.csv dc; mv d/frame-000002.tiff f;"
     "cp f d/frame-000002.tiff; nob width=16,height=8 --record d/ --frames 1 --overwrite",
     "0 5 0 5",
     "cmp x.mkv.settings s && cmp x.mkv.csv c && cmp d/frames.csv dc && test -e d/frame-000001.tiff &&"
     "[ $(grep -c 'it belongs to another user, in a folder where only its owner may replace it$' err) = 2 ] &&"
     "[ -z \"$(ls -A . d | grep tarvik)\" ]"},
    // Something other than a file in a lock's place is someone's: neither
    // taken for the lock nor removed.
    {"lock name taken by a FIFO or folder", "width=16,height=8",
     "mkfifo .a.mkv.tarvik-lock; mkdir -p d/.tarvik-lock; run --record a.mkv --frames 2;"
     "run --record d/ --frames 2",
     "5 5",
     "test -p .a.mkv.tarvik-lock && test -d d/.tarvik-lock && ! test -e a.mkv &&"
     "grep -q 'a.mkv.tarvik-lock\": it is not a regular file$' err && grep -q 'tarvik-lock\": Is a directory$' err"},
    // A lock another user's killed recording left (theirs, only readable)
    // holds nothing for this one.
    {"stale lock of another user", "width=16,height=8",
     "[ $(id -u) = 0 ] && id nobody >/dev/null 2>&1 || exit 77; chmod 1777 .; touch .a.mkv.tarvik-lock;"
     "runuser -u nobody -- \"$T\" --record a.mkv --frames 2 2>>err; echo -n \"$? \" >>status",
     "0",
     "[ $(grep -c ',yes$' a.mkv.csv) = 2 ] && [ $(stat -c %U a.mkv) = nobody ]"},
    // The same when the killed recording ran under umask 077: its lock is
    // still one another user may open to lock.
    {"stale lock of another user under umask 077", "width=16,height=8",
     "[ $(id -u) = 0 ] && id nobody >/dev/null 2>&1 || exit 77; chmod 1777 .;"
     "(umask 077; exec \"$T\" --record a.mkv --seconds 60 2>/dev/null) & p=$!;"
     "for i in $(seq 600); do [ -s a.mkv.csv ] && break; sleep 0.05; done; kill -9 $p; wait $p; rm a.mkv a.mkv.*;"
     "runuser -u nobody -- \"$T\" --record a.mkv --frames 2 2>>err; echo -n \"$? \" >>status",
     "0",
     "[ $(grep -c ',yes$' a.mkv.csv) = 2 ] && [ $(stat -c %U a.mkv) = nobody ]"},
    // A failed --overwrite of a folder leaves the earlier recording whole,
    // its frames too.
    {"folder in a frame file's place", "width=16,height=8",
     "run --record d/ --frames 2; cp d/frames.csv csv.old; cp d/camera.settings settings.old;"
     "mkdir d/frame-000005.tiff; run --record d/ --frames 3 --overwrite; rmdir d/frame-000005.tiff;"
     "mkdir d/.frame-000007.tiff.tarvik-xAb12C; run --record d/ --frames 3 --overwrite",
     "0 5 5",
     "cmp d/frames.csv csv.old && cmp d/camera.settings settings.old && test -s d/frame-000001.tiff &&"
     "test -s d/frame-000002.tiff && grep -q '^tarvik: cannot replace \"d/frame-000005.tiff\": it is a folder' err &&"
     "[ -z \"$(ls -A d | grep 'tarvik-[^x]')\" ]"},
};

INSTANTIATE_TEST_SUITE_P(Targets, RecordProgram, ::testing::ValuesIn(kTargetCases),
                         [](const auto& info) { return harness::CaseName(info.param.name); });


// SIGINT and SIGTERM end a recording cleanly, status 0, with the closing
// line; a second SIGINT stops at once, the files still whole.
struct SignalCase {
    const char* name;
    std::vector<int> sent;  // in order
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

const SignalCase kSignalCases[] = {
    {"SIGINT", {SIGINT}},
    {"SIGTERM", {SIGTERM}},
    {"SIGINT twice", {SIGINT, SIGINT}},
    {"SIGHUP", {SIGHUP}},  // the terminal gone
};

class RecordSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(RecordSignal, StopsCleanly)
{
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "TARVIK_CAMERAS", "TARVIK_CAMERA_TRACE"})
        env.remove(name);
    env.insert("TARVIK_SIM", "width=64,height=48,rate=200");
    QProcess tarvik;
    tarvik.setProcessEnvironment(env);
    tarvik.setWorkingDirectory(dir.path());
    tarvik.start(TARVIK_EXE, {"--record", "out/"});
    ASSERT_TRUE(tarvik.waitForStarted());
    ASSERT_SOON(QFile::exists(dir.filePath("out/frame-000005.tiff")));
    for (int s : GetParam().sent)
        ::kill(pid_t(tarvik.processId()), s);
    ASSERT_TRUE(tarvik.waitForFinished(30000));
    EXPECT_EQ(tarvik.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(tarvik.exitCode(), 0);
    const QString err = tarvik.readAllStandardError();
    EXPECT_TRUE(err.contains(QRegularExpression("^tarvik: recorded [0-9]+ frames to \"out/\": 0 dropped by the "
                                                "camera, [0-9]+ dropped by Tarvik, 0 incomplete",
                                                QRegularExpression::MultilineOption)))
        << err.toStdString();
    // Every frame the CSV says was written is there, and only those.
    const std::string written = CsvIdsAndWritten(dir.filePath("out/frames.csv"));
    const QStringList files = QDir(dir.filePath("out")).entryList({"frame-*"});
    size_t yes = 0;
    for (size_t at = 0; (at = written.find(":yes", at)) != std::string::npos; ++at)
        ++yes;
    EXPECT_EQ(size_t(files.size()), yes);
}

INSTANTIATE_TEST_SUITE_P(Table, RecordSignal, ::testing::ValuesIn(kSignalCases),
                         [](const auto& info) { return harness::CaseName(info.param.name); });

// A recording ended by a stop signal says which in its closing line, after
// the usual figures; one under nohup is not ended by SIGHUP. The same for the
// window's recording (--live --record, no display needed offscreen): the
// stream stopped, the queue written, the files closed, status 0.
struct SignalledCase {
    const char* name;
    QStringList options;  // before --record PATH
    const char* path;     // in the test's folder
    int ignored;          // the signal it was started ignoring (nohup: SIGHUP); 0: none
    std::vector<int> sent;
    const char* closing;  // a pattern for the closing line's end, after the seconds
    int frames;           // the recording holds this many; -1: any, as the closing line says
};

void PrintTo(const SignalledCase& c, std::ostream* os) { *os << c.name; }

const SignalledCase kSignalledCases[] = {
    {"SIGTERM named", {}, "out/", 0, {SIGTERM}, "; stopped by SIGTERM", -1},
    {"SIGINT named, mkv", {}, "run.mkv", 0, {SIGINT}, "; stopped by SIGINT", -1},
    {"--frames reached, none named", {"--frames", "8"}, "out/", 0, {}, "", 8},
    {"SIGHUP under nohup goes on to --frames", {"--frames", "60"}, "out/", SIGHUP, {SIGHUP}, "", 60},
    // A script's background job: Ctrl+C meant for the script spares it.
    {"SIGINT ignored from the start goes on to --frames", {"--frames", "60"}, "out/", SIGINT, {SIGINT}, "", 60},
    {"window, SIGINT", {"--live"}, "run.mkv", 0, {SIGINT}, "; stopped by SIGINT", -1},
    {"window, SIGTERM", {"--live"}, "run.mkv", 0, {SIGTERM}, "; stopped by SIGTERM", -1},
    {"window, SIGHUP", {"--live"}, "out/", 0, {SIGHUP}, "; stopped by SIGHUP", -1},
    // SIGHUP is lost on it; the SIGTERM after it ends it.
    {"window under nohup", {"--live"}, "run.mkv", SIGHUP, {SIGHUP, SIGTERM}, "; stopped by SIGTERM", -1},
    {"window started ignoring SIGINT", {"--live"}, "run.mkv", SIGINT, {SIGINT, SIGTERM}, "; stopped by SIGTERM", -1},
};

// The frames a recording holds, as ffprobe or the folder's files say.
int FramesHeld(const QString& path)
{
    if (path.endsWith('/'))
        return int(QDir(path).entryList({"frame-*"}, QDir::Files).size());
    QProcess tool;
    tool.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                           "stream=nb_read_frames", "-of", "csv=p=0", path});
    if (!tool.waitForFinished(30000))
        return -1;
    bool ok = false;
    const int n = tool.readAllStandardOutput().trimmed().toInt(&ok);
    return ok ? n : -1;
}

// The lines of a recording's CSV after the header.
int CsvLines(const QString& csv)
{
    const std::string text = Contents(csv);
    return text.empty() ? 0 : int(std::count(text.begin(), text.end(), '\n')) - 1;
}

class RecordSignalled : public ::testing::TestWithParam<SignalledCase> {};

TEST_P(RecordSignalled, ClosingLineSaysWhy)
{
    const SignalledCase& c = GetParam();
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "TARVIK_CAMERAS", "TARVIK_CAMERA_TRACE"})
        env.remove(name);
    env.insert("TARVIK_SIM", "width=64,height=48,formats=Mono8,rate=20");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess tarvik;
    tarvik.setProcessEnvironment(env);
    tarvik.setWorkingDirectory(dir.path());
    if (c.ignored)
        tarvik.setChildProcessModifier([s = c.ignored] { ::signal(s, SIG_IGN); });
    const QString path = dir.filePath(c.path);
    const QString csv = path.endsWith('/') ? path + "frames.csv" : path + ".csv";
    tarvik.start(TARVIK_EXE, c.options + QStringList{"--record", c.path});
    ASSERT_TRUE(tarvik.waitForStarted());
    if (!c.sent.empty()) {
        // Frames are being written (the CSV is flushed about once a second).
        ASSERT_SOON_WITHIN(CsvLines(csv) >= 3, 15000) << tarvik.readAllStandardError().toStdString();
        for (int s : c.sent)
            ::kill(pid_t(tarvik.processId()), s);
    }
    ASSERT_TRUE(tarvik.waitForFinished(30000));
    const QString err = tarvik.readAllStandardError();
    EXPECT_EQ(tarvik.exitStatus(), QProcess::NormalExit) << err.toStdString();
    EXPECT_EQ(tarvik.exitCode(), 0) << err.toStdString();
    const QRegularExpression closing("^tarvik: recorded (\\d+) frames to \"" + QRegularExpression::escape(c.path) +
                                         "\": \\d+ dropped by the camera, 0 dropped by Tarvik, 0 incomplete, \\d+ "
                                         "bytes, [\\d.]+ s" + c.closing + "$",
                                     QRegularExpression::MultilineOption);
    const auto m = closing.match(err);
    ASSERT_TRUE(m.hasMatch()) << err.toStdString();
    const int recorded = m.captured(1).toInt();
    if (c.frames >= 0)
        EXPECT_EQ(recorded, c.frames);
    EXPECT_EQ(FramesHeld(path), recorded);
    EXPECT_EQ(CsvLines(csv), recorded);
    if (path.endsWith(".mkv")) {
        // Closed: the file says how long it is.
        QProcess probe;
        probe.start("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path});
        ASSERT_TRUE(probe.waitForFinished(30000));
        bool ok = false;
        EXPECT_GT(probe.readAllStandardOutput().trimmed().toDouble(&ok), 0);
        EXPECT_TRUE(ok);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RecordSignalled, ::testing::ValuesIn(kSignalledCases),
                         [](const auto& info) { return harness::CaseName(info.param.name); });

// ---- lossless, as tools nobody here wrote read it back -----------------------

// What a reader gets back for a frame the simulated camera sent: the samples
// as they are (12-bit packed ones as 16-bit little-endian words, unpacked here
// by hand), YUV in a TIFF as the RGB it turns into.
std::string Decoded(const std::string& format, bool tiff, const std::string& sent, uint32_t width)
{
    if (format == "BayerRG12p") {  // two samples in three bytes, low bits first
        std::string out;
        for (size_t i = 0; i + 2 < sent.size(); i += 3) {
            const uint8_t b0 = uint8_t(sent[i]), b1 = uint8_t(sent[i + 1]), b2 = uint8_t(sent[i + 2]);
            for (const unsigned v : {unsigned(b0 | (b1 & 15) << 8), unsigned(b1 >> 4 | b2 << 4)})
                out += {char(v & 255), char(v >> 8)};
        }
        return out;
    }
    if (format == "YUV422_8" && tiff) {
        std::string rgb;
        std::vector<uint8_t> bgr(size_t(width) * 3);
        for (size_t row = 0; row < sent.size(); row += 2 * size_t(width)) {
            imaging::YuvToBgr(reinterpret_cast<const uint8_t*>(sent.data()) + row, bgr.data(), width, false, false);
            for (uint32_t x = 0; x < width; ++x)
                rgb += {char(bgr[3 * x + 2]), char(bgr[3 * x + 1]), char(bgr[3 * x])};
        }
        return rgb;
    }
    return sent;
}

// Every page of a TIFF, its rows back to back, as libtiff reads them.
std::vector<std::string> TiffPages(const QString& path)
{
    std::vector<std::string> pages;
    TIFF* tif = TIFFOpen(path.toLocal8Bit().constData(), "r");
    if (!tif)
        return pages;
    do {
        uint32_t height = 0;
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
        const tmsize_t row = TIFFScanlineSize(tif);
        std::string page(size_t(row) * height, '\0');
        for (uint32_t y = 0; y < height; ++y)
            if (TIFFReadScanline(tif, &page[size_t(row) * y], y, 0) < 0)
                page = "unreadable row " + std::to_string(y);
        pages.push_back(page);
    } while (TIFFReadDirectory(tif));
    TIFFClose(tif);
    return pages;
}

// The frame ids of the frames written, by their index in the recording.
std::vector<uint64_t> WrittenIds(const QString& csv)
{
    std::vector<uint64_t> ids;
    std::istringstream in(Contents(csv));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream l(line);
        for (std::string field; std::getline(l, field, ',');)
            f.push_back(field);
        if (f.size() == 8 && (f[7] == "yes") && f[0] == std::to_string(ids.size()))
            ids.push_back(std::stoull(f[1]));
    }
    return ids;
}

struct LosslessCase {
    const char* format;       // the camera's pixel format
    const char* file;         // x.mkv or x.tiff
    const char* ffmpegPixels; // MKV: the -pix_fmt FFmpeg decodes to
    const char* codec = nullptr;  // --record-codec; none: the default
};

void PrintTo(const LosslessCase& c, std::ostream* os)
{
    *os << c.format << " " << c.file << (c.codec ? std::string(" ") + c.codec : "");
}

const LosslessCase kLosslessCases[] = {
    {"Mono8", "x.mkv", "gray"},        {"Mono12", "x.mkv", "gray16le"}, {"BayerRG8", "x.mkv", "gray"},
    {"BayerRG12p", "x.mkv", "gray16le"}, {"RGB8", "x.mkv", "rgb24"},    {"YUV422_8", "x.mkv", "yuyv422"},
    {"Mono8", "x.tiff", nullptr},      {"Mono12", "x.tiff", nullptr},   {"BayerRG8", "x.tiff", nullptr},
    {"BayerRG12p", "x.tiff", nullptr}, {"RGB8", "x.tiff", nullptr},     {"YUV422_8", "x.tiff", nullptr},
    {"Mono8", "x.mkv", "gray", "magicyuv"},        {"BayerRG8", "x.mkv", "gray", "magicyuv"},
    {"RGB8", "x.mkv", "rgb24", "magicyuv"},        {"Mono8", "x.mkv", "gray", "ffvhuff"},
    {"Mono12", "x.mkv", "gray16le", "ffvhuff"},    {"BayerRG12p", "x.mkv", "gray16le", "ffvhuff"},
    {"RGB8", "x.mkv", "rgb24", "ffvhuff"},         {"YUV422_8", "x.mkv", "yuyv422", "ffvhuff"},
};

class RecordLossless : public ::testing::TestWithParam<LosslessCase> {};

// Each frame decoded by FFmpeg's command line or by libtiff is, byte for
// byte, the picture the simulated camera sends for the frame id the CSV gives
// it (the square in it moves with the id, so no two frames are alike).
// distinct: frames of different ids differ (a frame too small for the
// moving square need not).
void ExpectReadsBack(const LosslessCase& c, uint32_t width, uint32_t height, bool distinct)
{
    const int frames = 6;
    QTemporaryDir dir;
    QStringList args{"--record", c.file, "--frames", QString::number(frames)};
    if (c.codec)
        args << "--record-codec" << c.codec;
    const TarvikRun run = RunTarvik(args,
                                    QString("width=%1,height=%2,rate=100,formats=%3").arg(width).arg(height).arg(c.format),
                                    {}, dir.path());
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const std::vector<uint64_t> ids = WrittenIds(dir.filePath(QString(c.file) + ".csv"));
    ASSERT_EQ(ids.size(), size_t(frames));

    std::vector<std::string> decoded;
    if (c.ffmpegPixels) {
        QProcess ffmpeg;
        ffmpeg.setWorkingDirectory(dir.path());
        // The recording says its YUV is full range: asked for the same range,
        // FFmpeg leaves the samples as they are.
        QStringList range;
        if (std::string(c.ffmpegPixels) == "yuyv422")
            range = {"-vf", "scale=out_range=full"};
        ffmpeg.start("ffmpeg", QStringList{"-v", "error", "-i", c.file, "-fps_mode", "passthrough"} + range +
                                   QStringList{"-f", "rawvideo", "-pix_fmt", c.ffmpegPixels, "-"});
        ASSERT_TRUE(ffmpeg.waitForFinished(60000));
        ASSERT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.readAllStandardError().toStdString();
        const QByteArray all = ffmpeg.readAllStandardOutput();
        ASSERT_EQ(all.size() % frames, 0) << all.size();
        const int each = all.size() / frames;
        for (int i = 0; i < frames; ++i)
            decoded.emplace_back(all.constData() + i * each, size_t(each));
    } else {
        decoded = TiffPages(dir.filePath(c.file));
    }
    ASSERT_EQ(decoded.size(), size_t(frames));
    const cam::PixelFormat* f = cam::FindPixelFormat(c.format);
    ASSERT_TRUE(f);
    std::string sent(cam::RowBytes(*f, width) * height, '\0');
    auto picture = [&](uint64_t id) {
        cam::RenderSimFrame(reinterpret_cast<uint8_t*>(&sent[0]), sent.size(), width, height, c.format, id);
        return Decoded(c.format, !c.ffmpegPixels, sent, width);
    };
    for (int i = 0; i < frames; ++i) {
        const std::string expected = picture(ids[size_t(i)]);
        EXPECT_EQ(decoded[size_t(i)].size(), expected.size()) << "frame " << i;
        EXPECT_TRUE(decoded[size_t(i)] == expected) << "frame " << i << " (id " << ids[size_t(i)] << ")";
        if (distinct) {
            EXPECT_FALSE(decoded[size_t(i)] == picture(ids[size_t(i)] + 1)) << "frames alike: the ids prove nothing";
        }
    }
    // The 12-bit samples hold the picture the 8-bit format shows, in their top bits.
    if (f->bits == 12) {
        const std::string eight = f->sampling == cam::Sampling::Bayer ? "BayerRG8" : "Mono8";
        std::string low(size_t(width) * height, '\0');
        cam::RenderSimFrame(reinterpret_cast<uint8_t*>(&low[0]), low.size(), width, height, eight, ids[0]);
        for (size_t px = 0; px < low.size(); ++px) {
            const unsigned v = uint8_t(decoded[0][2 * px]) | uint8_t(decoded[0][2 * px + 1]) << 8;
            ASSERT_EQ(v >> 4, uint8_t(low[px])) << eight << " pixel " << px;
        }
    }
}

TEST_P(RecordLossless, ReadsBackAsSent) { ExpectReadsBack(GetParam(), 64, 48, true); }

INSTANTIATE_TEST_SUITE_P(Table, RecordLossless, ::testing::ValuesIn(kLosslessCases), [](const auto& info) {
    return harness::CaseName(std::string(info.param.format) + " " + info.param.file +
                             (info.param.codec ? std::string(" ") + info.param.codec : ""));
});

// The program's peak resident memory (kB) recording frames of 2000 x 1500
// Mono8 to file with args; 0 when it did not run or failed.
long PeakKilobytes(const std::string& file, const std::vector<std::string>& args, const std::string& dir)
{
    const pid_t pid = fork();
    if (pid == 0) {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("TARVIK_CAMERAS");
        setenv("TARVIK_SIM", "width=2000,height=1500,formats=Mono8,rate=20", 1);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        std::vector<std::string> all{TARVIK_EXE, "--record", file, "--frames", "4", "--record-buffer", "16M"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        execv(TARVIK_EXE, argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return 0;
    return usage.ru_maxrss;
}

// The encoders' worst-case packet buffers once made every page of them
// resident (FFV1 148 bytes a pixel: 444 MB here, 2 GB at 20 MP): a Matroska
// recording now takes no more than a TIFF one of the same frames plus a few
// frames (one a thread with the encoder, and its packet).
class RecordMemory : public ::testing::TestWithParam<const char*> {};

TEST_P(RecordMemory, FewFramesAboveTiff)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer's redzones and quarantine make peak memory no measure of the writer's";
#endif
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const long tiff = PeakKilobytes("x.tiff", {}, dir.path().toStdString());
    const long mkv = PeakKilobytes("x.mkv", {"--record-codec", GetParam()}, dir.path().toStdString());
    ASSERT_GT(tiff, 0);
    ASSERT_GT(mkv, 0);
    const long frameKilobytes = 2000 * 1500 / 1024;
    EXPECT_LE(mkv, tiff + 12 * frameKilobytes) << "TIFF " << tiff << " kB";
}

INSTANTIATE_TEST_SUITE_P(Table, RecordMemory, ::testing::Values("ffv1", "magicyuv", "ffvhuff"));

struct MkvSizeCase {
    LosslessCase format;
    uint32_t width, height;
};

void PrintTo(const MkvSizeCase& c, std::ostream* os) { *os << c.format.format << " " << c.width << "x" << c.height; }

// Frames two rows high or two columns wide once decoded as a black row and
// the first (FFV1 slices of one row), and one pixel high or wide ones were
// refused as a failed write: each is kept exactly.
const MkvSizeCase kMkvSizeCases[] = {
    {{"Mono8", "x.mkv", "gray"}, 63, 2},          {{"Mono16", "x.mkv", "gray16le"}, 64, 2},
    {{"RGB8", "x.mkv", "rgb24"}, 1292, 2},        {{"BayerRG12p", "x.mkv", "gray16le"}, 4000, 2},
    {{"Mono8", "x.mkv", "gray"}, 2, 64},          {{"Mono8", "x.mkv", "gray"}, 2, 1000},
    {{"Mono8", "x.mkv", "gray"}, 1, 5},           {{"Mono8", "x.mkv", "gray"}, 5, 1},
};

class RecordMkvSize : public ::testing::TestWithParam<MkvSizeCase> {};

TEST_P(RecordMkvSize, ReadsBackAsSent)
{
    const MkvSizeCase& c = GetParam();
    ExpectReadsBack(c.format, c.width, c.height, false);
}

INSTANTIATE_TEST_SUITE_P(Table, RecordMkvSize, ::testing::ValuesIn(kMkvSizeCases), [](const auto& info) {
    return harness::CaseName(std::string(info.param.format.format) + " " + std::to_string(info.param.width) + "x" +
                             std::to_string(info.param.height));
});

}  // namespace

// A second recording to a path is refused while the first runs, by any name
// for it; a lock a killed recording left blocks nothing.
struct LockCase {
    const char* path;                // the first recording's
    const char* link;                // made a symbolic link to it
    std::vector<const char*> names;  // for it, the link's among them
    const char* csv;
    const char* lock;
};

void PrintTo(const LockCase& c, std::ostream* os) { *os << c.path; }

const LockCase kLockCases[] = {
    {"x.mkv", "link.mkv", {"x.mkv", "./x.mkv", "link.mkv"}, "x.mkv.csv", ".x.mkv.tarvik-lock"},
    {"out/", "link", {"out/", "out", ".//out//", "link"}, "out/frames.csv", "out/.tarvik-lock"},
};

class RecordLock : public ::testing::TestWithParam<LockCase> {};

TEST_P(RecordLock, OneRecordingAtATime)
{
    const LockCase& c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString sim = "width=64,height=48,formats=Mono8,rate=100";
    QProcess first;
    first.setProcessEnvironment(TarvikEnvironment(sim, {}));
    first.setWorkingDirectory(dir.path());
    first.start(TARVIK_EXE, {"--record", c.path});
    ASSERT_TRUE(first.waitForStarted());
    ASSERT_SOON(QFile::exists(dir.filePath(c.csv)));
    ASSERT_TRUE(QFile::link(QString(c.path).remove('/'), dir.filePath(c.link)));
    for (const char* name : c.names) {
        const TarvikRun second = RunTarvik({"--record", name, "--frames", "3", "--overwrite"}, sim, {}, dir.path());
        EXPECT_EQ(second.status, 5) << name << ": " << second.err.toStdString();
        EXPECT_TRUE(second.err.contains("another recording to it is running")) << second.err.toStdString();
    }
    ::kill(pid_t(first.processId()), SIGINT);
    ASSERT_TRUE(first.waitForFinished(30000));
    EXPECT_EQ(first.exitCode(), 0) << first.readAllStandardError().toStdString();
    // The first recording's CSV is its own: whole lines, every index once.
    const std::vector<uint64_t> ids = WrittenIds(dir.filePath(c.csv));
    std::istringstream csv(Contents(dir.filePath(c.csv)));
    size_t lines = 0, others = 0;  // others: ids a loaded machine's camera skipped
    for (std::string line; std::getline(csv, line); ++lines) {
        EXPECT_EQ(std::count(line.begin(), line.end(), ','), 7) << line;
        others += line.ends_with(",skipped") || line.ends_with(",dropped") ? 1 : 0;
    }
    EXPECT_EQ(lines, ids.size() + others + 1);
    EXPECT_FALSE(QFile::exists(dir.filePath(c.lock)));

    ASSERT_TRUE(QFile::remove(dir.filePath(c.csv)));  // the killed one's own lines are waited for
    QProcess killed;
    killed.setProcessEnvironment(TarvikEnvironment(sim, {}));
    killed.setWorkingDirectory(dir.path());
    killed.start(TARVIK_EXE, {"--record", c.path, "--overwrite"});
    ASSERT_TRUE(killed.waitForStarted());
    ASSERT_SOON(Contents(dir.filePath(c.csv)).find(",yes\n") != std::string::npos);
    ::kill(pid_t(killed.processId()), SIGKILL);
    ASSERT_TRUE(killed.waitForFinished(30000));
    ASSERT_TRUE(QFile::exists(dir.filePath(c.lock)));
    const TarvikRun again = RunTarvik({"--record", c.path, "--frames", "3", "--overwrite"}, sim, {}, dir.path());
    EXPECT_EQ(again.status, 0) << again.err.toStdString();
    EXPECT_EQ(WrittenIds(dir.filePath(c.csv)).size(), 3u);
    EXPECT_FALSE(QFile::exists(dir.filePath(c.lock)));
}

INSTANTIATE_TEST_SUITE_P(Table, RecordLock, ::testing::ValuesIn(kLockCases),
                         [](const auto& info) { return harness::CaseName(info.param.path); });
