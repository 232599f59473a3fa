// tarvik --check against the simulated camera with known faults: the
// verdict, the exit status and the report's fields, read back by a real
// JSON parser; option errors before any camera is touched.
#include "RunTarvik.h"
#include "WaitFor.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <string>

namespace {

using Outcome = TarvikRun;

Outcome Check(const QStringList& args, const QString& sim)
{
    return RunTarvik(args, sim);
}

// The checks of one camera's report by name, as "level: detail".
std::map<std::string, std::string> Checks(const QJsonObject& camera)
{
    std::map<std::string, std::string> checks;
    for (const QJsonValue& c : camera["checks"].toArray())
        checks[c["name"].toString().toStdString()] =
            (c["level"].toString() + ": " + c["detail"].toString()).toStdString();
    return checks;
}

std::string LevelOf(const std::map<std::string, std::string>& checks, const std::string& name)
{
    const auto it = checks.find(name);
    return it == checks.end() ? "absent" : it->second.substr(0, it->second.find(':'));
}

// A rate any machine keeps up with, also under the sanitizers: the default
// for so small a picture would be 1000 frames/s.
constexpr char kSmall[] = "width=160,height=120,picture=soft,rate=100";

// Each known fault gives its finding, the verdict it deserves and the exit
// status scripts act on.
TEST(Check, FaultsAndVerdicts)
{
    const struct {
        const char* name;
        QString sim;
        QStringList options;
        int status;
        const char* verdict;
        std::map<std::string, std::string> levels;  // check name: level
        // Check name: words its detail holds; "section/field": a number of the report.
        std::map<std::string, std::string> details = {};
        std::map<std::string, double> numbers = {};
    } cases[] = {
        {"clean",
         kSmall,
         {},
         0,
         "ok",
         {{"frames", "ok"}, {"completeness", "ok"}, {"rate", "ok"}, {"exposure", "ok"}, {"picture", "ok"}}},
        {"incomplete frames",
         QString(kSmall) + ",frames=incomplete",
         {},
         6,
         "fail",
         {{"frames", "fail"}, {"completeness", "fail"}}},
        {"slow rate", QString(kSmall) + ",rate=20,rated=40", {"--frames", "10"}, 0, "warn", {{"rate", "warn"}}},
        {"slow rate within a wider tolerance",
         QString(kSmall) + ",rate=20,rated=40",
         {"--frames", "10", "--max-rate-shortfall", "60"},
         0,
         "ok",
         {{"rate", "ok"}}},
        {"clipped bright", "width=160,height=120,picture=white,rate=100", {}, 0, "warn", {{"exposure", "warn"}}},
        {"clipped bars", "width=160,height=120,picture=bars,rate=100", {}, 0, "warn",
         {{"exposure", "warn"}, {"picture", "ok"}}},
        {"clipping allowed", "width=160,height=120,picture=bars,rate=100", {"--max-clipped", "50"}, 0, "ok",
         {{"exposure", "ok"}}},
        // The camera a newcomer checks first passes: its test pattern is seen in soft colours.
        {"the default camera", "", {}, 0, "ok", {{"exposure", "ok"}, {"picture", "ok"}}},
        {"frozen",
         "width=160,height=120,picture=still,rate=100",
         {"--max-clipped", "50"},
         0,
         "warn",
         {{"picture", "warn"}, {"exposure", "ok"}}},
        {"lens cap",
         "width=160,height=120,picture=black,rate=100",
         {},
         0,
         "warn",
         {{"picture", "warn"}, {"exposure", "warn"}}},
        {"no frame at all",
         QString(kSmall) + ",frames=none",
         {"--frames", "3"},
         6,
         "fail",
         {{"frames", "fail"}, {"completeness", "fail"}, {"rate", "ok"}}},
        {"nothing within --seconds",
         QString(kSmall) + ",frames=none",
         {"--seconds", "0.3"},
         6,
         "fail",
         {{"frames", "fail"}, {"completeness", "fail"}},
         {{"completeness", "no frame came"}},
         {{"stream/frames_timed_out", 1}, {"stream/frames_completed", 0}}},
        {"frames of another size than reported",
         "width=64,height=48,frame=32x24,rate=100",
         {},
         6,
         "fail",
         {{"frames", "fail"}, {"completeness", "ok"}},
         {{"frames", "20 complete frames, none could be analysed: frames of 32 x 24 pixels, not the 64 x 48 the "
                     "camera reported"}},
         {{"picture/frames_analysed", 0}}},
        {"pixel format not supported",
         "width=160,height=120,rate=100,formats=Foo",
         {},
         6,
         "fail",
         {{"frames", "fail"}, {"exposure", "absent"}},
         {{"frames", "none could be analysed: pixel format Foo is not supported"}},
         {{"picture/frames_analysed", 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList args = QStringList{"--check", "--json"} + c.options;
        if (!args.contains("--frames") && !args.contains("--seconds"))
            args << "--frames"
                 << "20";
        const Outcome r = Check(args, c.sim);
        ASSERT_EQ(r.status, c.status) << r.err.toStdString();
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(r.out, &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << r.out.toStdString();
        EXPECT_EQ(doc["verdict"].toString().toStdString(), c.verdict);
        const QJsonObject camera = doc["cameras"][0].toObject();
        EXPECT_EQ(camera["verdict"].toString().toStdString(), c.verdict);
        const auto checks = Checks(camera);
        for (const auto& [name, level] : c.levels)
            EXPECT_EQ(LevelOf(checks, name), level) << name << ": " << checks.count(name);
        for (const auto& [name, words] : c.details) {
            const std::string got = checks.count(name) ? checks.at(name) : "absent";
            EXPECT_NE(got.find(words), std::string::npos) << name << ": " << got;
        }
        for (const auto& [path, number] : c.numbers) {
            const QStringList at = QString::fromStdString(path).split('/');
            EXPECT_EQ(camera[at[0]][at[1]].toDouble(), number) << path;
        }
        EXPECT_EQ(LevelOf(checks, "packets"), "absent") << "no packet counters without a GigE camera";
    }
}

// A check leaves the camera's pixel format as it found it: it streams the
// camera's own format, and one --pixel-format asks for is put back.
TEST(Check, PixelFormatAsFound)
{
    const struct {
        const char* name;
        QString sim;
        QStringList options;
        const char* format;  // the report's
    } rows[] = {
        {"the camera's own", "width=64,height=48,rate=100,formats=Mono16+BGR8Packed", {}, "Mono16"},
        {"one the opening would not choose", "width=64,height=48,rate=100,formats=RGB8+Mono8", {}, "RGB8"},
        {"--pixel-format", "width=64,height=48,rate=100,formats=Mono16+BGR8Packed", {"--pixel-format", "BGR8Packed"},
         "BGR8Packed"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome r = Check(QStringList{"--check", "--json", "--frames", "3"} + row.options, row.sim);
        EXPECT_EQ(r.status, 0) << r.err.toStdString() << r.out.toStdString();
        const QJsonObject camera = QJsonDocument::fromJson(r.out)["cameras"][0].toObject();
        EXPECT_EQ(camera["picture"]["pixel_format"].toString().toStdString(), row.format);
    }
}

// A stop signal during a check that asked for its own pixel format ends the
// stream, the camera's format is put back and the camera closed, and then
// the signal ends the program as usual: a camera checked now and then must
// not be left in the check's format.
TEST(Check, StopSignalPutsPixelFormatBack)
{
    const struct {
        const char* name;
        int signal;
        QStringList options;
        const char* said;  // the last words on stderr
    } rows[] = {
        {"SIGTERM", SIGTERM, {}, "the camera's pixel format was put back\n"},
        {"SIGINT", SIGINT, {}, "the camera's pixel format was put back\n"},
        {"SIGHUP", SIGHUP, {}, "the camera's pixel format was put back\n"},
        {"SIGTERM, triggered", SIGTERM, {"--trigger", "software", "--trigger-rate", "20"},
         "the camera's trigger settings and pixel format were put back\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QProcessEnvironment env = TarvikEnvironment("width=64,height=48,rate=100,formats=BGR8Packed+Mono8", {});
        env.insert("TARVIK_CAMERA_TRACE", "1");
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(TARVIK_EXE, QStringList{"--check", "--pixel-format", "Mono8", "--frames", "100000"} + row.options);
        QByteArray err;
        ASSERT_SOON((err += p.readAllStandardError()).contains("CamFrameWaitNext") ||
                    err.contains("\"TriggerSoftware\""));
        ::kill(pid_t(p.processId()), row.signal);
        ASSERT_TRUE(p.waitForFinished(30000));
        err += p.readAllStandardError();
        EXPECT_EQ(p.exitStatus(), QProcess::CrashExit);
        const std::string after = err.mid(err.lastIndexOf("CamCaptureStart")).toStdString();
        EXPECT_NE(after.find("CamFeatureEnumSet(2, \"PixelFormat\", \"BGR8Packed\") -> 0"), std::string::npos)
            << after;
        EXPECT_NE(after.find("CamCameraClose(2) -> 0"), std::string::npos) << after;
        EXPECT_TRUE(QByteArray::fromStdString(after).endsWith(QByteArray("tarvik: --check stopped by a signal; ") +
                                                               row.said))
            << after;
    }
}

// The report's fields: numbers as numbers, the camera's identity, the
// stream measured against the camera's own rate, the source's counters
// under their own names, and the picture per channel.
TEST(Check, ReportFields)
{
    const Outcome r = Check({"--check", "--json", "--frames", "30"}, QString(kSmall) + ",rate=200");
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QJsonObject camera = QJsonDocument::fromJson(r.out)["cameras"][0].toObject();
    EXPECT_EQ(camera["camera"]["id"].toString(), "sim-0");
    EXPECT_EQ(camera["camera"]["source"].toString(), "sim");
    EXPECT_EQ(camera["camera"]["serial"].toString(), "SIM00000");
    EXPECT_EQ(camera["camera"]["transport"].toString(), "simulated");
    EXPECT_TRUE(camera["link"].isNull());
    const QJsonObject stream = camera["stream"].toObject();
    EXPECT_EQ(stream["frames_asked"].toInt(), 30);
    EXPECT_EQ(stream["frames_completed"].toInt(), 30);
    EXPECT_EQ(stream["frames_incomplete"].toInt(), 0);
    EXPECT_EQ(stream["camera_rate"].toDouble(), 200);
    EXPECT_NEAR(stream["measured_rate"].toDouble(), 200, 20);
    EXPECT_NEAR(stream["interval_median_ms"].toDouble(), 5, 1);
    EXPECT_GE(stream["interval_max_ms"].toDouble(), stream["interval_p99_ms"].toDouble());
    EXPECT_GE(stream["interval_p99_ms"].toDouble(), stream["interval_median_ms"].toDouble());
    EXPECT_GT(stream["first_frame_ms"].toDouble(), 0);
    EXPECT_NEAR(stream["megabytes_per_second"].toDouble(), 200 * 160 * 120 * 3 / 1e6, 2);
    EXPECT_GE(camera["counters"]["n_completed_buffers"].toInt(), 30);
    EXPECT_EQ(camera["counters"]["n_failures"].toInt(), 0);
    const QJsonObject picture = camera["picture"].toObject();
    EXPECT_EQ(picture["pixel_format"].toString(), "BGR8Packed");
    EXPECT_GE(picture["frames_analysed"].toInt(), 2);
    EXPECT_EQ(picture["frames_changed"].toInt(), picture["frames_analysed"].toInt() - 1);
    const QJsonArray channels = picture["channels"].toArray();
    ASSERT_EQ(channels.size(), 3);
    EXPECT_EQ(channels[0]["name"].toString(), "blue");
    for (const QJsonValue& c : channels) {
        EXPECT_EQ(c["minimum"].toInt(), 16) << "the soft picture's black";
        EXPECT_EQ(c["maximum"].toInt(), 235) << "and its white";
        EXPECT_EQ(c["dark_share"].toDouble(), 0);
    }
    // The same in words, for people.
    const Outcome text = Check({"--check", "--frames", "5"}, kSmall);
    EXPECT_EQ(text.status, 0);
    EXPECT_TRUE(text.out.contains("\nVerdict  ok\n")) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("5 frames asked: 5 complete")) << text.out.toStdString();
    EXPECT_TRUE(text.err.isEmpty()) << "no progress line when stderr is not a terminal";
}

// Frames that came complete but could not be analysed: the reason in words,
// and how many there were in both forms.
TEST(Check, FramesNotAnalysed)
{
    const Outcome text = Check({"--check", "--frames", "5"}, "width=160,height=120,rate=100,formats=Foo");
    EXPECT_EQ(text.status, 6);
    EXPECT_TRUE(text.out.contains("Checks   fail  frames       5 complete frames, none could be analysed: pixel "
                                  "format Foo is not supported\n"))
        << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("0 frames analysed (")) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains(" changed, sharpness unknown\n")) << text.out.toStdString();
    EXPECT_TRUE(text.out.endsWith("\nVerdict  fail\n")) << text.out.toStdString();

    const Outcome json = Check({"--check", "--json", "--frames", "5"}, "width=160,height=120,rate=100,formats=Foo");
    const QJsonObject picture = QJsonDocument::fromJson(json.out)["cameras"][0]["picture"].toObject();
    EXPECT_GE(picture["frames_not_analysed"].toInt(), 1);
    EXPECT_LE(picture["frames_not_analysed"].toInt(), 5);
    EXPECT_TRUE(picture["sharpness"].isNull()) << "nothing analysed, nothing to tell";
}

// --all: every camera in turn, the worst verdict overall; --seconds instead
// of --frames; a Bayer camera's colours counted apart.
TEST(Check, AllCamerasSecondsAndBayer)
{
    const Outcome all = Check({"--check", "--all", "--json", "--frames", "5"}, QString(kSmall) + ",count=3");
    ASSERT_EQ(all.status, 0) << all.err.toStdString();
    const QJsonArray cameras = QJsonDocument::fromJson(all.out)["cameras"].toArray();
    ASSERT_EQ(cameras.size(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(cameras[i]["camera"]["id"].toString(), QString("sim-%1").arg(i));

    const Outcome timed = Check({"--check", "--json", "--seconds", "0.3"}, QString(kSmall) + ",rate=100");
    ASSERT_EQ(timed.status, 0) << timed.err.toStdString();
    const QJsonObject stream = QJsonDocument::fromJson(timed.out)["cameras"][0]["stream"].toObject();
    EXPECT_TRUE(stream["frames_asked"].isNull());
    EXPECT_EQ(stream["seconds_asked"].toDouble(), 0.3);
    EXPECT_NEAR(stream["frames_completed"].toInt(), 30, 6);

    const Outcome bayer = Check({"--check", "--json", "--pixel-format", "BayerRG8", "--frames", "3"},
                                "width=160,height=120,formats=BayerRG8");
    ASSERT_EQ(bayer.status, 0) << bayer.err.toStdString();
    QStringList names;
    for (const QJsonValue& c : QJsonDocument::fromJson(bayer.out)["cameras"][0]["picture"]["channels"].toArray())
        names << c["name"].toString();
    EXPECT_EQ(names, (QStringList{"red", "green", "blue"}));
}

// --all goes on past a camera that does not open: the camera as it was
// listed and why it did not open, in both forms.
TEST(Check, AllCamerasOneNotOpened)
{
    const QString sim = "count=2,width=0,height=0";  // no picture of 0 pixels can be shown
    const Outcome text = Check({"--check", "--all", "--frames", "3"}, sim);
    EXPECT_EQ(text.status, 6);
    EXPECT_TRUE(text.out.contains("\nCamera   sim-1  Simulated camera 1 (sim)\n"
                                  "Verdict  fail: not opened: camera sim-1 reports a picture of 0 x 0 pixels, "
                                  "which cannot be shown\n"))
        << text.out.toStdString();

    const Outcome json = Check({"--check", "--all", "--json", "--frames", "3"}, sim);
    EXPECT_EQ(json.status, 6);
    const QJsonObject camera = QJsonDocument::fromJson(json.out)["cameras"][1].toObject();
    EXPECT_EQ(camera["camera"]["name"].toString(), "Simulated camera 1");
    EXPECT_EQ(camera["camera"]["source"].toString(), "sim");
    EXPECT_EQ(Checks(camera)["open"],
              "fail: not opened: camera sim-1 reports a picture of 0 x 0 pixels, which cannot be shown");
}

// Nothing to check, or options that do not go together: the statuses that
// stop before any check ran.
TEST(Check, StatusesBeforeAnyCheck)
{
    const struct {
        QStringList args;
        const char* sim;
        int status;
        const char* err;
    } cases[] = {
        {{"--check"}, "count=0", 2, "no camera found"},
        {{"--check", "--all"}, "count=0", 2, "no camera found"},
        {{"--check", "--camera", "sim-7"}, "count=2", 2, "sim-7"},
        {{"--check", "--frames", "0"}, "", 64, "--frames needs a whole number"},
        {{"--check", "--frames", "2.5"}, "", 64, "--frames needs a whole number"},
        {{"--check", "--seconds", "-1"}, "", 64, "--seconds needs a number"},
        {{"--check", "--frames", "3", "--seconds", "1"}, "", 64, "use one of them"},
        {{"--check", "--max-clipped", "101"}, "", 64, "--max-clipped needs a percentage"},
        {{"--check", "--all", "--camera", "sim-0"}, "", 64, "not with --camera"},
        {{"--check", "--grab", "x.png"}, "", 64, "not with --grab"},
        {{"--json"}, "", 64, "--json goes with --check"},
        {{"--frames", "3", "--grab", "x.png"}, "", 64, "--frames goes with --check"},
    };
    for (const auto& c : cases) {
        const Outcome r = Check(c.args, c.sim);
        EXPECT_EQ(r.status, c.status) << c.args.join(' ').toStdString() << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.err)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
}

}  // namespace
