// The check as Prometheus metrics: every output read by Prometheus's own
// promtool (which must find nothing to say), label values escaped as the
// exposition format asks, values left out where unknown, and --output
// replacing a file only with a complete one.
#include "RunTarvik.h"
#include "SmallDisk.h"
#include "TempDir.h"
#include "app/check/CheckMetrics.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// What `promtool check metrics` says of text: its status and all it wrote.
// scripts/deps.sh test installs it; a missing promtool fails the test.
std::pair<int, std::string> Promtool(const QByteArray& text)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("promtool", {"check", "metrics"});
    if (!p.waitForStarted())
        return {-1, "promtool cannot be run: scripts/deps.sh test installs it (Debian's prometheus package)"};
    p.write(text);
    p.closeWriteChannel();
    if (!p.waitForFinished(30000))
        return {-1, "promtool did not finish"};
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAll().toStdString()};
}

std::string Contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

constexpr char kSmall[] = "width=160,height=120,picture=soft,rate=100";

// tarvik --check --prometheus on the simulated camera with its faults: the
// status --check gives, the samples that tell the finding, and promtool's
// silence on each output.
TEST(Metrics, CheckOutputsPassPromtool)
{
    const struct {
        const char* name;
        QString sim;
        QStringList options;
        int status;
        std::vector<const char*> lines;   // whole lines the output holds
        std::vector<const char*> absent;  // text it must not hold
    } cases[] = {
        {"healthy",
         kSmall,
         {},
         0,
         {"tarvik_check_verdict 0", "tarvik_check_level{check=\"frames\"} 0",
          "tarvik_camera_info{firmware=\"1.0\",id=\"sim-0\",model=\"Simulated camera\",name=\"Simulated camera 0\","
          "serial=\"SIM00000\",transport=\"simulated\",vendor=\"Tarvik\"} 1",
          "tarvik_camera_frame_rate_hertz 100", "tarvik_stream_asked_frames 20",
          "tarvik_stream_frames{state=\"completed\"} 20", "tarvik_stream_frames{state=\"incomplete\"} 0",
          "tarvik_stream_frames{state=\"timed_out\"} 0", "tarvik_stream_frames{state=\"dropped\"} 0",
          "tarvik_stream_received_bytes 1152000", "tarvik_picture_info{pixel_format=\"BGR8Packed\"} 1",
          "tarvik_picture_width_pixels 160", "tarvik_picture_analysed_frames 20", "tarvik_picture_changed_frames 19",
          "tarvik_picture_clipped_ratio{channel=\"red\",end=\"white\"} 0", "tarvik_source_failures 0"},
         {"tarvik_link_", "tarvik_probe_", "camera=\"", "tarvik_stream_asked_seconds"}},
        {"incomplete frames",
         QString(kSmall) + ",frames=incomplete",
         {},
         6,
         {"tarvik_check_verdict 2", "tarvik_check_level{check=\"completeness\"} 2",
          "tarvik_stream_frames{state=\"completed\"} 0", "tarvik_picture_analysed_frames 0"},
         {"tarvik_picture_sharpness_ratio", "tarvik_picture_mean_ratio"}},
        {"frozen picture",
         "width=160,height=120,picture=still,rate=100",
         {"--max-clipped", "50"},
         0,
         {"tarvik_check_verdict 1", "tarvik_check_level{check=\"picture\"} 1", "tarvik_picture_changed_frames 0",
          "tarvik_picture_analysed_frames 20"},
         {}},
        {"uniform picture",
         "width=160,height=120,picture=black,rate=100",
         {},
         0,
         {"tarvik_check_verdict 1", "tarvik_picture_deviation_ratio{channel=\"blue\"} 0",
          "tarvik_picture_mean_ratio{channel=\"blue\"} 0",
          "tarvik_picture_clipped_ratio{channel=\"blue\",end=\"black\"} 1"},
         {}},
        {"slow rate",
         QString(kSmall) + ",rate=20,rated=40",
         {"--frames", "10"},
         0,
         {"tarvik_check_level{check=\"rate\"} 1", "tarvik_camera_frame_rate_hertz 40"},
         {}},
        {"--seconds",
         kSmall,
         {"--seconds", "0.3"},
         0,
         {"tarvik_stream_asked_seconds 0.3"},
         {"tarvik_stream_asked_frames"}},
        {"unknown camera: its verdict, status 2",
         "count=2",
         {"--camera", "sim-7"},
         2,
         {"tarvik_check_verdict 2", "tarvik_check_level{check=\"open\"} 2",
          "tarvik_camera_info{firmware=\"\",id=\"sim-7\",model=\"\",name=\"\",serial=\"\",transport=\"\","
          "vendor=\"\"} 1"},
         {"tarvik_stream_", "tarvik_picture_", "check=\"frames\""}},
        {"--all: a camera label on each sample",
         QString(kSmall) + ",count=3",
         {"--all", "--frames", "5"},
         0,
         {"tarvik_check_verdict{camera=\"sim-0\"} 0", "tarvik_check_verdict{camera=\"sim-2\"} 0",
          "tarvik_stream_frames{camera=\"sim-1\",state=\"completed\"} 5"},
         {"tarvik_check_verdict 0", "tarvik_stream_frames{state"}},
        {"--all with cameras that do not open",
         "count=2,width=0,height=0",
         {"--all", "--frames", "3"},
         6,
         {"tarvik_check_level{camera=\"sim-1\",check=\"open\"} 2",
          "tarvik_camera_info{camera=\"sim-1\",firmware=\"\",id=\"sim-1\",model=\"\",name=\"Simulated camera 1\","
          "serial=\"\",transport=\"\",vendor=\"\"} 1"},
         {}},
        {"software triggers the camera ignores: all missed",
         "width=160,height=120,picture=soft,rate=1000,software_trigger=ignored",
         {"--trigger", "software", "--frames", "5", "--set", "ExposureTime=1000"},
         6,
         {"tarvik_trigger_info{source=\"Software\"} 1", "tarvik_trigger_triggers{state=\"sent\"} 5",
          "tarvik_trigger_triggers{state=\"answered\"} 0", "tarvik_trigger_triggers{state=\"missed\"} 5",
          "tarvik_trigger_extra_frames 0", "tarvik_check_level{check=\"trigger\"} 2"},
         {"tarvik_trigger_latency_seconds"}},
        {"a line's triggers against the rate expected",
         "width=160,height=120,picture=soft,rate=1000,line0=100",
         {"--trigger", "line0", "--expect-rate", "100", "--frames", "30", "--set", "ExposureTime=1000"},
         0,
         {"tarvik_trigger_info{source=\"Line0\"} 1", "tarvik_check_level{check=\"trigger\"} 0"},
         {"tarvik_trigger_triggers"}},
        {"a clock running fast: its drift",
         "width=160,height=120,picture=soft,rate=50,clock_ppm=30000",
         {"--frames", "70"},
         0,
         {"tarvik_check_level{check=\"clock\"} 1", "tarvik_clock_frames 70", "tarvik_clock_steps_back 0"},
         {"tarvik_trigger_"}},
        {"--all without cameras: no metrics", "count=0", {"--all"}, 2, {}, {"tarvik_"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList args = QStringList{"--check", "--prometheus"} + c.options;
        if (!args.contains("--frames") && !args.contains("--seconds"))
            args << "--frames"
                 << "20";
        const TarvikRun r = RunTarvik(args, c.sim);
        ASSERT_EQ(r.status, c.status) << r.err.toStdString();
        const std::string out = r.out.toStdString();
        for (const char* line : c.lines)
            EXPECT_NE(("\n" + out).find("\n" + std::string(line) + "\n"), std::string::npos) << line << "\n" << out;
        for (const char* text : c.absent)
            EXPECT_EQ(out.find(text), std::string::npos) << text;
        const auto [status, said] = Promtool(r.out);
        EXPECT_EQ(status, 0) << said;
        EXPECT_EQ(said, "") << out;
    }
}

CheckResult Measured()
{
    CheckResult r;
    r.id = "cam-1";
    r.transport = "GigE Vision";
    r.asked = 10;
    r.completed = 10;
    r.checks = {{"frames", Level::Ok, ""}};
    return r;
}

// What a camera names itself goes into label values as it is; the format's
// escapes for quotes, backslashes and line breaks, and bytes that are not
// UTF-8 (which Prometheus refuses) as U+FFFD.
TEST(Metrics, LabelValuesEscaped)
{
    const struct {
        const char* name;
        std::string value;
        std::string escaped;
    } cases[] = {
        {"plain", "Line 3 left", "Line 3 left"},
        {"quotes", "say \"cheese\"", "say \\\"cheese\\\""},
        {"backslashes", "C:\\cams\\", "C:\\\\cams\\\\"},
        {"line breaks", "two\nlines\n", "two\\nlines\\n"},
        {"UTF-8 kept", "Kamera \xc3\xbc \xe2\x82\xac", "Kamera \xc3\xbc \xe2\x82\xac"},
        {"bytes not UTF-8", "caf\xe9 \xff\xfe", "caf\xef\xbf\xbd \xef\xbf\xbd\xef\xbf\xbd"},
        {"cut sequence", "end \xe2\x82", "end \xef\xbf\xbd\xef\xbf\xbd"},
        {"all at once", "\"\\\n\xc0\xaf", "\\\"\\\\\\n\xef\xbf\xbd\xef\xbf\xbd"},
        {"empty", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CheckResult r = Measured();
        r.id = r.name = r.vendor = r.serial = r.address = c.value;
        prometheus::Registry registry;
        AddCheckMetrics(registry, {r}, true);
        const std::string text = MetricsText(registry);
        for (const std::string label : {"camera", "id", "name", "vendor", "serial", "address"})
            EXPECT_NE(text.find(label + "=\"" + c.escaped + "\""), std::string::npos) << label << "\n" << text;
        const auto [status, said] = Promtool(QByteArray::fromStdString(text));
        EXPECT_EQ(status, 0) << said << text;
        EXPECT_EQ(said, "") << text;
    }
}

// A value not measured or not known has no sample, never a 0 or -1 that
// would read as one; those known are in base units.
TEST(Metrics, UnknownValuesLeftOut)
{
    const struct {
        const char* name;
        void (*change)(CheckResult&);
        std::vector<const char*> lines;
        std::vector<const char*> absent;
    } cases[] = {
        {"link unknown",
         [](CheckResult& r) { r.mtu = r.speedMbps = r.packetSize = -1; },
         {"tarvik_link_info{address=\"\",interface=\"\",interface_address=\"\",loopback=\"false\"} 1"},
         {"tarvik_link_mtu_bytes", "tarvik_link_speed", "tarvik_link_packet_size"}},
        {"link known",
         [](CheckResult& r) {
             r.mtu = 9000, r.speedMbps = 1000, r.packetSize = 8972;
             r.interfaceName = "eth1", r.loopback = true;
         },
         {"tarvik_link_mtu_bytes 9000", "tarvik_link_speed_bytes_per_second 125000000",
          "tarvik_link_packet_size_bytes 8972",
          "tarvik_link_info{address=\"\",interface=\"eth1\",interface_address=\"\",loopback=\"true\"} 1"},
         {}},
        {"not GigE: no link", [](CheckResult& r) { r.transport = "USB3 Vision", r.mtu = 1500; }, {}, {"tarvik_link_"}},
        {"rates and times unknown",
         [](CheckResult&) {},
         {"tarvik_stream_frames{state=\"completed\"} 10"},
         {"frame_rate_hertz", "bytes_per_second", "first_frame", "interval", "sharpness"}},
        {"rates and times in seconds and bytes",
         [](CheckResult& r) {
             r.cameraRate = 50, r.measuredRate = 49.5, r.megabytesPerSecond = 2.5, r.firstFrameMs = 125;
             r.intervalMedianMs = 20, r.intervalP99Ms = 25, r.intervalMaxMs = 40;
         },
         {"tarvik_camera_frame_rate_hertz 50", "tarvik_stream_frame_rate_hertz 49.5",
          "tarvik_stream_bytes_per_second 2500000", "tarvik_stream_first_frame_seconds 0.125",
          "tarvik_stream_frame_interval_seconds{statistic=\"median\"} 0.02",
          "tarvik_stream_frame_interval_seconds{statistic=\"p99\"} 0.025",
          "tarvik_stream_frame_interval_seconds{statistic=\"max\"} 0.04"},
         {}},
        {"source counters under their own names",
         [](CheckResult& r) { r.counters = {{"n_missing_packets", 3}, {"n_resent_packets", 7}, {"odd name-2", 1}}; },
         {"tarvik_source_missing_packets 3", "tarvik_source_resent_packets 7", "tarvik_source_odd_name_2 1"},
         {}},
        {"picture in shares of full scale",
         [](CheckResult& r) {
             r.picture.frames = 4, r.picture.changed = 3, r.picture.sharpness = 51;
             r.picture.channels = {{"grey", 100, 127.5, 25.5, 0, 255, 0.25, 0.5}};
         },
         {"tarvik_picture_sharpness_ratio 0.2", "tarvik_picture_mean_ratio{channel=\"grey\"} 0.5",
          "tarvik_picture_deviation_ratio{channel=\"grey\"} 0.1",
          "tarvik_picture_clipped_ratio{channel=\"grey\",end=\"black\"} 0.25",
          "tarvik_picture_clipped_ratio{channel=\"grey\",end=\"white\"} 0.5"},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CheckResult r = Measured();
        c.change(r);
        prometheus::Registry registry;
        AddCheckMetrics(registry, {r}, false);
        const std::string text = MetricsText(registry);
        for (const char* line : c.lines)
            EXPECT_NE(("\n" + text).find("\n" + std::string(line) + "\n"), std::string::npos) << line << "\n" << text;
        for (const char* part : c.absent)
            EXPECT_EQ(text.find(part), std::string::npos) << part << "\n" << text;
        const auto [status, said] = Promtool(QByteArray::fromStdString(text));
        EXPECT_EQ(status, 0) << said;
        EXPECT_EQ(said, "") << text;
    }
}

// --output: a new file, a file replaced by a new one (never written over in
// place: a hard link to it keeps the old content), and failures that leave
// the old file byte for byte with status 5, whatever the verdict.
TEST(Metrics, OutputFile)
{
    enum class Where { Folder, ReadOnlyFolder, FullDisk };
    const struct {
        const char* name;
        Where where;
        bool old;  // a file there before
        QString sim;
        QStringList options;
        int status;
        bool written;
    } cases[] = {
        {"new file", Where::Folder, false, kSmall, {"--prometheus"}, 0, true},
        {"file replaced", Where::Folder, true, kSmall, {"--prometheus"}, 0, true},
        {"failing verdict still written", Where::Folder, true, QString(kSmall) + ",frames=incomplete",
         {"--prometheus"}, 6, true},
        {"camera that does not open still written", Where::Folder, true, "count=1", {"--prometheus", "--camera", "x"},
         2, true},
        {"as JSON", Where::Folder, true, kSmall, {"--json"}, 0, true},
        {"folder that cannot be written", Where::ReadOnlyFolder, true, kSmall, {"--prometheus"}, 5, false},
        {"full disk", Where::FullDisk, true, kSmall, {"--prometheus"}, 5, false},
        {"full disk, failing verdict", Where::FullDisk, true, QString(kSmall) + ",frames=incomplete",
         {"--prometheus"}, 5, false},
    };
    const std::string old = "# an older report\ntarvik_check_verdict 0\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        harness::TempDir dir;
        ASSERT_FALSE(dir.path.empty());
        std::string folder = dir.path;
        struct Unmount {
            std::string path;
            ~Unmount()
            {
                if (!path.empty())
                    umount(path.c_str());
            }
        } unmount;
        if (c.where != Where::Folder) {
            folder = dir / "disk";
            ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
            if (!harness::MountSmallDisk(folder, 1 << 20))
                GTEST_SKIP() << "no small file system: mounting is not allowed here";
            unmount.path = folder;
        }
        const std::string file = folder + "/tarvik.prom", link = folder + "/tarvik.prom.link";
        if (c.old) {
            std::ofstream(file, std::ios::binary) << old;
            ASSERT_EQ(::link(file.c_str(), link.c_str()), 0);
        }
        if (c.where == Where::FullDisk) {
            ASSERT_TRUE(harness::LeaveFree(folder, 0));
        } else if (c.where == Where::ReadOnlyFolder) {
            ASSERT_EQ(mount("tmpfs", folder.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0) << strerror(errno);
        }

        const TarvikRun r = RunTarvik(QStringList{"--check", "--frames", "5", "--output",
                                                  QString::fromStdString(file)} + c.options, c.sim);
        EXPECT_EQ(r.status, c.status) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << "the report goes to the file only";
        const std::string now = Contents(file);
        if (c.written) {
            EXPECT_NE(now, old);
            if (c.options.contains("--json")) {
                EXPECT_EQ(now.rfind("{", 0), 0u) << now;
            } else {
                EXPECT_EQ(now.rfind("# HELP tarvik_check_verdict ", 0), 0u) << now;
                EXPECT_EQ(Promtool(QByteArray::fromStdString(now)), std::make_pair(0, std::string()));
            }
        } else {
            EXPECT_EQ(now, old) << "the old file byte for byte";
            EXPECT_TRUE(r.err.contains("tarvik: cannot write \"" + QByteArray::fromStdString(file) + "\": "))
                << r.err.toStdString();
        }
        if (c.old) {
            EXPECT_EQ(Contents(link), old) << "the file was replaced, not written over";
        }
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            left.push_back(entry.path().filename().string());
        std::sort(left.begin(), left.end());
        std::vector<std::string> expected = {"tarvik.prom"};
        if (c.old)
            expected.push_back("tarvik.prom.link");
        if (c.where != Where::Folder)
            expected.insert(expected.begin(), "fill");
        EXPECT_EQ(left, expected) << "no temporary file left behind";
    }
}

// Options that do not go together, refused before any camera is touched.
TEST(Metrics, UsageErrors)
{
    const struct {
        QStringList args;
        const char* err;
    } cases[] = {
        {{"--prometheus"}, "--prometheus goes with --check"},
        {{"--output", "x.prom", "--grab", "x.png"}, "--output goes with --check"},
        {{"--record", "x.mkv", "--prometheus"}, "--prometheus goes with --check"},
        {{"--check", "--json", "--prometheus"}, "use one of them"},
        {{"--check", "--output", ""}, "--output needs a file name"},
        {{"--check", "--output", "a", "--output", "b"}, "--output given more than once"},
    };
    for (const auto& c : cases) {
        const TarvikRun r = RunTarvik(c.args, "");
        EXPECT_EQ(r.status, 64) << c.args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(c.err)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
}

}  // namespace
