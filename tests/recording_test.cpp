// The opened recording (app/play/Recording) over a recording the real program
// made, its CSV rewritten by each row: what a killed, cut or hand-edited CSV
// leaves usable, what Warnings() says of it, and the marks, steps, status
// text and exported lines of a CSV with known gaps and times.
#include "RunTarvik.h"
#include "TempDir.h"

#include "app/play/Recording.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

namespace {

constexpr uint64_t kFrames = 20;
constexpr char kHeader[] = "index,frame_id,camera_timestamp_ns,receive_time_ns,width,height,pixel_format,written";

// Frame i's line: camera time i ms, plus 10 ms from frame 16 on (a long
// interval before 16), received 1.7e18 ns + the same.
std::string FrameLine(uint64_t i, const char* written = "yes")
{
    const uint64_t t = i * 1000000 + (i >= 16 ? 10000000 : 0);
    return std::to_string(i) + "," + std::to_string(i + 100) + "," + std::to_string(t) + "," +
           std::to_string(1700000000000000000ull + t) + ",64,48,Mono8," + written;
}

using Lines = std::vector<std::string>;
Lines CleanCsv()
{
    Lines l{kHeader};
    for (uint64_t i = 0; i < kFrames; ++i)
        l.push_back(FrameLine(i));
    return l;
}

// Made once: 20 frames from the simulated camera.
class RecordingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new harness::TempDir;
        const TarvikRun r = RunTarvik({"--record", QString::fromStdString(*dir_ / "base.mkv"), "--frames",
                                       QString::number(kFrames)},
                                      "width=64,height=48,formats=Mono8,picture=counter");
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
    }
    static void TearDownTestSuite() { delete dir_; }

    // A copy of the recording with csv (none when nullopt) beside it.
    std::string Copy(const std::string& name, const std::optional<std::string>& csv)
    {
        const std::string path = *dir_ / name;
        std::filesystem::copy_file(*dir_ / "base.mkv", path, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::remove(path + ".csv");
        if (csv)
            std::ofstream(path + ".csv", std::ios::binary) << *csv;
        return path;
    }
    static harness::TempDir* dir_;
};
harness::TempDir* RecordingTest::dir_ = nullptr;

std::string Join(const Lines& lines, bool lastNewline = true)
{
    std::string s;
    for (size_t i = 0; i < lines.size(); ++i)
        s += lines[i] + (i + 1 < lines.size() || lastNewline ? "\n" : "");
    return s;
}

std::string Said(const Recording& r)
{
    std::string s;
    for (const std::string& w : r.Warnings())
        s += w + "\n";
    return s;
}

struct BadCsv {
    const char* name;
    std::function<std::optional<std::string>()> csv;
    const char* warning;  // a line of Warnings() holds this ("" : none said)
    std::vector<uint64_t> unlisted;  // frames left without a line
};

TEST_F(RecordingTest, EveryFrameOpensWhateverTheCsvHolds)
{
    const std::vector<BadCsv> rows = {
        {"as written", [] { return Join(CleanCsv()); }, "", {}},
        {"no CSV", [] { return std::nullopt; }, "no CSV", {0, 19}},
        {"empty CSV", [] { return std::string(); }, "is empty: it is not used", {0, 19}},
        {"not our header", [] { Lines l = CleanCsv(); l[0] = "a,b,c"; return Join(l); },
         "does not start with the header", {0, 19}},
        {"cut mid-line (killed)", [] { std::string s = Join(CleanCsv()); return s.substr(0, s.find("\n10,") + 6); },
         "the CSV lists 10 frames, the file holds 20: 10 frames have no line", {10, 19}},
        {"cut mid-line is said", [] { std::string s = Join(CleanCsv()); return s.substr(0, s.find("\n10,") + 6); },
         "ends mid-line", {}},
        {"last line without its newline", [] { return Join(CleanCsv(), false); }, "ends mid-line", {19}},
        {"lines missing", [] { Lines l = CleanCsv(); l.erase(l.begin() + 6, l.begin() + 8); return Join(l); },
         "2 frames have no line", {5, 6}},
        {"more lines than frames", [] { Lines l = CleanCsv(); for (uint64_t i = 20; i < 25; ++i) l.push_back(FrameLine(i)); return Join(l); },
         "the CSV lists 25 frames, the file holds 20: a recording cut short", {}},
        {"a number edited by hand", [] { Lines l = CleanCsv(); l[4] = "3,12x,3000000,1,64,48,Mono8,yes"; return Join(l); },
         "1 line of the CSV could not be used (line 5: frame_id '12x' is not a whole number)", {3}},
        {"indexes out of order", [] { Lines l = CleanCsv(); std::swap(l[5], l[6]); return Join(l); },
         "index 4 comes after index 5", {4}},
        {"written not a state", [] { Lines l = CleanCsv(); l[3] = FrameLine(2, "maybe"); return Join(l); },
         "written is 'maybe', not yes, incomplete", {2}},
        {"a field too many", [] { Lines l = CleanCsv(); l[3] += ",x"; return Join(l); }, "not the header's 8", {2}},
        {"a size out of range", [] { Lines l = CleanCsv(); l[3] = "2,102,2000000,1,99999999999,48,Mono8,yes"; return Join(l); },
         "width '99999999999' is not a size", {2}},
        {"a number past 64 bits", [] { Lines l = CleanCsv(); l[3] = "2,18446744073709551616,2,1,64,48,Mono8,yes"; return Join(l); },
         "is not a whole number", {2}},
        {"a line far too long", [] { Lines l = CleanCsv(); l.insert(l.begin() + 3, std::string(200000, '7')); return Join(l); },
         "longer than 512 characters", {}},
        {"CRLF line ends (saved by a Windows editor)", [] { std::string s; for (const std::string& l : CleanCsv()) s += l + "\r\n"; return s; },
         "", {}},
        {"a byte order mark before the header", [] { return "\xEF\xBB\xBF" + Join(CleanCsv()); }, "", {}},
        {"an index beyond the file amid the lines", [] { Lines l = CleanCsv(); l[20] = FrameLine(900); return Join(l); },
         "the CSV lists 1 index beyond the file's 20 frames", {19}},
    };
    for (const BadCsv& row : rows) {
        SCOPED_TRACE(row.name);
        Recording r;
        std::string error;
        ASSERT_TRUE(r.Open(Copy("bad.mkv", row.csv()), &error)) << error;
        EXPECT_EQ(r.FrameCount(), kFrames);
        const std::string said = Said(r);
        if (*row.warning)
            EXPECT_NE(said.find(row.warning), std::string::npos) << said;
        else
            EXPECT_EQ(said, "");
        for (uint64_t i : row.unlisted)
            EXPECT_FALSE(r.Frame(i).listed) << i;
        if (r.HasCsv() && !r.Frame(0).listed)
            ADD_FAILURE() << "frame 0's line was not used";
    }
}

// A pipe or a folder by the CSV's name is no CSV, and opening waits for no writer.
TEST_F(RecordingTest, NotAFileByTheCsvsName)
{
    for (const bool pipe : {true, false}) {
        SCOPED_TRACE(pipe ? "a pipe" : "a folder");
        const std::string path = Copy(pipe ? "pipe.mkv" : "folder.mkv", std::nullopt);
        ASSERT_EQ(pipe ? mkfifo((path + ".csv").c_str(), 0600) : mkdir((path + ".csv").c_str(), 0700), 0);
        Recording r;
        std::string error;
        ASSERT_TRUE(r.Open(path, &error)) << error;
        EXPECT_EQ(r.FrameCount(), kFrames);
        EXPECT_NE(Said(r).find("no CSV"), std::string::npos) << Said(r);
    }
}

// The CSV with a gap of each kind: 2 ids skipped before frame 7, frame 9
// incomplete, one dropped before 12, one refused before 15, a long interval
// before 16.
Lines GappedCsv()
{
    Lines l = CleanCsv();
    l[1 + 15].insert(0, ",,,,64,48,Mono8,refused\n");
    l[1 + 12].insert(0, ",211,,,64,48,Mono8,dropped\n");
    l[1 + 9] = FrameLine(9, "incomplete");
    l[1 + 7].insert(0, ",105,,,,,,skipped\n,106,,,,,,skipped\n");
    return l;
}

TEST_F(RecordingTest, MarksAtExactlyTheGapsOfTheCsv)
{
    Recording r;
    std::string error;
    ASSERT_TRUE(r.Open(Copy("gaps.mkv", Join(GappedCsv())), &error)) << error;
    EXPECT_EQ(Said(r), "");
    std::vector<std::pair<Mark::Kind, uint64_t>> marks;
    for (const Mark& m : r.Marks())
        marks.push_back({m.kind, m.index});
    const std::vector<std::pair<Mark::Kind, uint64_t>> expected = {
        {Mark::Skipped, 7}, {Mark::Incomplete, 9}, {Mark::Dropped, 12}, {Mark::Refused, 15}, {Mark::LongInterval, 16}};
    EXPECT_EQ(marks, expected);
    EXPECT_EQ(r.Frame(7).skippedBefore, 2u);
    EXPECT_EQ(r.Totals().skipped, 2u);
}

TEST_F(RecordingTest, IncompleteFramesOfTheRealProgramAreMarked)
{
    const std::string path = *dir_ / "incomplete.mkv";
    const TarvikRun made = RunTarvik({"--record", QString::fromStdString(path), "--frames", "6"},
                                     "width=64,height=48,formats=Mono8,frames=incomplete");
    ASSERT_EQ(made.status, 0) << made.err.toStdString();
    Recording r;
    std::string error;
    ASSERT_TRUE(r.Open(path, &error)) << error;
    ASSERT_EQ(r.FrameCount(), 6u);
    // Only the incomplete marks: a busy machine may make the camera skip ids too.
    std::vector<uint64_t> incomplete;
    for (const Mark& m : r.Marks())
        if (m.kind == Mark::Incomplete)
            incomplete.push_back(m.index);
    EXPECT_EQ(incomplete, (std::vector<uint64_t>{0, 1, 2, 3, 4, 5}));
}

TEST_F(RecordingTest, StepsMarksAndIntervalsOverTheGappedCsv)
{
    Recording r;
    std::string error;
    ASSERT_TRUE(r.Open(Copy("steps.mkv", Join(GappedCsv())), &error)) << error;
    struct Row {
        const char* name;
        std::function<std::optional<uint64_t>()> got;
        std::optional<uint64_t> expected;
    };
    const std::vector<Row> rows = {
        {"interval of 1 ms", [&] { return r.Interval(0); }, 1000000},
        {"the long interval", [&] { return r.Interval(15); }, 11000000},
        {"none after the last frame", [&] { return r.Interval(19); }, std::nullopt},
        {"5 ms forward", [&] { return r.Step(0, 0.005); }, 5},
        {"3 ms back", [&] { return r.Step(10, -0.003); }, 7},
        {"over the long interval", [&] { return r.Step(14, 0.003); }, 16},
        {"a second past the end", [&] { return r.Step(18, 1); }, 19},
        {"a second before the start", [&] { return r.Step(2, -1); }, 0},
        {"next mark", [&] { return r.NextMark(0, true); }, 7},
        {"next mark from a mark", [&] { return r.NextMark(7, true); }, 9},
        {"previous mark", [&] { return r.NextMark(12, false); }, 9},
        {"none before the first", [&] { return r.NextMark(7, false); }, std::nullopt},
        {"none after the last", [&] { return r.NextMark(16, true); }, std::nullopt},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.got(), row.expected) << row.name;
}

TEST_F(RecordingTest, StatusTextAndExportedLines)
{
    Recording r;
    std::string error;
    ASSERT_TRUE(r.Open(Copy("status.mkv", Join(GappedCsv())), &error)) << error;
    const std::string seven = r.StatusText(7);
    EXPECT_EQ(seven.rfind("frame 7 of 20 · id 107 · camera 0.007000 s · +1.0 ms · received ", 0), 0u) << seven;
    EXPECT_NE(seven.find(".007 · 2 ids skipped before"), std::string::npos) << seven;
    EXPECT_NE(r.StatusText(9).find("· incomplete"), std::string::npos);
    const Lines l = CleanCsv();
    EXPECT_EQ(r.CsvLines(6, 8), std::string(kHeader) + "\n0" + l[7].substr(1) + "\n,105,,,,,,skipped\n,106,,,,,,skipped\n1" +
                                    l[8].substr(1) + "\n2" + l[9].substr(1) + "\n");
    // What was lost before the range's first frame goes with it.
    EXPECT_EQ(r.CsvLines(7, 7), std::string(kHeader) + "\n,105,,,,,,skipped\n,106,,,,,,skipped\n0" + l[8].substr(1) + "\n");
    Recording none;
    ASSERT_TRUE(none.Open(Copy("none.mkv", std::nullopt), &error)) << error;
    EXPECT_EQ(none.CsvLines(0, 3), "");
    EXPECT_EQ(none.StatusText(3), "frame 3 of 20");
}

}  // namespace
