// tarvik --check with triggers and the camera's clock, against the
// simulated camera's triggers, input lines and clock faults: the report's
// figures read back as JSON, the verdict and status; bad options refused
// before any camera is touched.
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

// Readout 1 ms (rate=1000), exposure 1 ms: the camera takes up to 500 triggers a second.
constexpr char kQuick[] = "width=160,height=120,picture=soft,rate=1000";
const QStringList kShortExposure = {"--set", "ExposureTime=1000"};

std::string LevelOf(const QJsonObject& camera, const QString& name)
{
    for (const QJsonValue& c : camera["checks"].toArray())
        if (c["name"].toString() == name)
            return (c["level"].toString() + ": " + c["detail"].toString()).toStdString();
    return "absent";
}

// Each row: what the camera does, the options, and what the report says.
TEST(TriggerCheck, TriggersAndClock)
{
    const struct {
        const char* name;
        QString sim;
        QStringList options;
        int status;
        std::map<QString, std::string> levels;  // check name: level and words its detail starts with
        std::map<QString, double> numbers;      // "section/field": value
        std::map<QString, double> atLeast;      // "section/field": at least this
    } rows[] = {
        {"software, one after another",
         kQuick,
         {"--trigger", "software", "--frames", "30"},
         0,
         {{"trigger", "ok: 30 triggers sent, 30 frames for them, 0 missed, 0 extra; latency median"}},
         {{"trigger/sent", 30}, {"trigger/answered", 30}, {"trigger/missed", 0}, {"trigger/extra_frames", 0}},
         {{"trigger/latency_median_ms", 2}, {"trigger/latency_max_ms", 2}}},
        {"software at a rate",
         kQuick,
         {"--trigger", "Software", "--trigger-rate", "100", "--frames", "40"},
         0,
         {{"trigger", "ok: 40 triggers sent, 40 frames"}, {"rate", "ok"}},
         {{"trigger/answered", 40}, {"trigger/rate_asked", 100}},
         {}},
        {"software faster than the camera takes",
         QString(kQuick) + ",rate=100",  // 10 ms readout + 1 ms exposure: at most 90 a second
         {"--trigger", "software", "--trigger-rate", "200", "--frames", "40"},
         6,
         {{"trigger", "fail: 40 triggers sent"}},
         {{"trigger/sent", 40}, {"trigger/extra_frames", 0}},
         {{"trigger/missed", 15}, {"counters/n_missed_triggers", 15}}},
        {"camera ignores software triggers",
         QString(kQuick) + ",software_trigger=ignored",
         {"--trigger", "software", "--frames", "5"},
         6,
         {{"trigger", "fail: 5 triggers sent, 0 frames for them, 5 missed"}, {"frames", "fail"}},
         {{"trigger/missed", 5}, {"trigger/answered", 0}},
         {}},
        // At just the rate it takes: answering none is not for coming early.
        {"camera ignores software triggers at its capacity",
         QString(kQuick) + ",software_trigger=ignored",
         kShortExposure + QStringList{"--trigger", "software", "--trigger-rate", "500", "--frames", "5"},
         6,
         {{"trigger", "fail: 5 triggers sent, 0 frames for them, 5 missed, 0 extra; the camera answered none: does it "
                      "take software triggers?"}},
         {{"trigger/answered", 0}},
         {}},
        {"camera refuses software triggers",
         QString(kQuick) + ",software_trigger=refused",
         {"--trigger", "software", "--frames", "5"},
         6,
         {{"completeness", "fail: no frame came; the stream stopped: the camera refused the software trigger "
                           "(TriggerSoftware): the camera is already open or refuses access (CAM_ERR_ACCESS_DENIED)"},
          {"trigger", "fail: 0 triggers sent"}},
         {{"trigger/sent", 0}},
         {}},
        {"the acquisition's own trigger left on",
         kQuick,
         {"--trigger", "software", "--frames", "3", "--set", "TriggerSelector=AcquisitionStart", "--set", "TriggerMode=On",
          "--set", "TriggerSource=Line1"},
         6,
         {{"trigger", "fail: 3 triggers sent, 0 frames for them, 3 missed, 0 extra; the acquisition itself waits for a "
                      "trigger on Line1 (TriggerSelector=AcquisitionStart, TriggerMode=On)"}},
         {},
         {}},
        {"line at the rate expected",
         QString(kQuick) + ",line0=100",
         {"--trigger", "line0", "--expect-rate", "100", "--frames", "30"},
         0,
         {{"trigger", "ok: 30 frames on Line0"}},
         {{"trigger/expected_rate", 100}},
         {{"trigger/interval_jitter_ms", 0}}},
        {"line giving half the frames expected",
         QString(kQuick) + ",line0=100",
         {"--trigger", "line0", "--expect-rate", "200", "--frames", "20"},
         6,
         {{"trigger", "fail: 20 frames on Line0"}},
         {},
         {}},
        {"line that never fires",
         QString(kQuick) + ",line1=100",
         {"--trigger", "line0", "--seconds", "0.5"},
         6,
         {{"trigger", "fail: 0 frames on Line0"}, {"frames", "fail"}},
         {},
         {}},
        // Far beyond what a loaded machine's scheduling can blur over 1.4 s.
        {"clock running fast",
         QString(kQuick) + ",rate=50,clock_ppm=30000",
         {"--frames", "70"},
         0,
         {{"clock", "warn: runs +"}},
         {},
         {{"clock/drift_ppm", 25000}}},
        {"clock fast, within a wider tolerance",
         QString(kQuick) + ",rate=50,clock_ppm=3000",
         {"--frames", "70", "--max-clock-drift", "50000"},
         0,
         {{"clock", "ok: runs +"}},
         {},
         {}},
        {"clock going backwards", QString(kQuick) + ",rate=100,clock=backwards",
         {"--frames", "20"}, 0, {{"clock", "warn:"}}, {{"clock/backwards", 1}}, {}},
        {"clock jumping", QString(kQuick) + ",rate=100,clock=jump",
         {"--trigger", "software", "--frames", "10"}, 0, {{"clock", "warn:"}, {"trigger", "ok"}},
         {{"clock/jumps", 1}}, {}},
        {"a few frames over more than a second", kQuick, {"--trigger", "software", "--trigger-rate", "1.5", "--frames", "3"},
         0, {{"clock", "ok: 3 frames in a row: too few to measure its drift"}}, {{"clock/frames", 3}}, {}},
        {"true clock, free run", QString(kQuick) + ",rate=50", {"--frames", "70"}, 0, {{"clock", "ok: runs"}},
         {{"clock/backwards", 0}}, {}},
        // A trigger left on without --trigger: the check ends on the silence and says what the camera waits for.
        {"trigger left on, software, no --trigger",
         kQuick,
         {"--frames", "5", "--set", "TriggerMode=On", "--set", "TriggerSource=Software"},
         6,
         {{"completeness", "fail: no frame came; the stream stopped: no frame within 5 s: the camera waits for a "
                           "software trigger (TriggerMode=On, TriggerSource=Software) and none was sent; set "
                           "TriggerMode=Off, or check the triggers with --trigger software"}},
         {{"stream/frames_timed_out", 5}},
         {}},
        {"trigger left on, a line without edges, --seconds",
         kQuick,
         {"--seconds", "0.5", "--set", "TriggerMode=On", "--set", "TriggerSource=Line1"},
         6,
         {{"completeness", "fail: no frame came; the stream stopped: no frame within 0.5 s: the camera waits for a "
                           "trigger on Line1 (TriggerMode=On); trigger it or set TriggerMode=Off"}},
         {},
         {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const TarvikRun r = RunTarvik(QStringList{"--check", "--json", "--max-clipped", "100"} + kShortExposure +
                                          row.options,
                                      row.sim);
        ASSERT_EQ(r.status, row.status) << r.err.toStdString() << r.out.toStdString();
        const QJsonObject camera = QJsonDocument::fromJson(r.out)["cameras"][0].toObject();
        for (const auto& [name, words] : row.levels)
            EXPECT_EQ(LevelOf(camera, name).rfind(words, 0), 0u) << LevelOf(camera, name);
        for (const auto& [path, value] : row.numbers) {
            const QStringList at = path.split('/');
            EXPECT_EQ(camera[at[0]][at[1]].toDouble(), value) << path.toStdString();
        }
        for (const auto& [path, value] : row.atLeast) {
            const QStringList at = path.split('/');
            EXPECT_GE(camera[at[0]][at[1]].toDouble(), value) << path.toStdString();
        }
    }
}

// The trigger goes back as it was: a later grab runs free again.
TEST(TriggerCheck, TriggerPutBack)
{
    const TarvikRun r = RunTarvik({"--check", "--trigger", "software", "--frames", "3", "--set",
                                   "TriggerSelector=AcquisitionStart", "--set", "TriggerSelector=FrameStart"},
                                  kQuick);
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("Trigger  Software")) << r.out.toStdString();
}

// The quick simulated camera with the camera library's calls traced on stderr.
QProcessEnvironment TracedQuickCamera()
{
    QProcessEnvironment env = TarvikEnvironment(kQuick, {});
    env.insert("TARVIK_CAMERA_TRACE", "1");
    return env;
}

// A stop signal during a triggered check ends the stream, the trigger is put
// back and the camera closed, and then the signal ends the program as usual.
TEST(TriggerCheck, StopSignalPutsTriggerBack)
{
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        QProcess p;
        p.setProcessEnvironment(TracedQuickCamera());
        p.start(TARVIK_EXE, {"--check", "--trigger", "software", "--trigger-rate", "20", "--frames", "10000"});
        QByteArray err;
        ASSERT_SOON((err += p.readAllStandardError()).contains("\"TriggerSoftware\""));
        ::kill(pid_t(p.processId()), sig);
        ASSERT_TRUE(p.waitForFinished(30000));
        err += p.readAllStandardError();
        EXPECT_EQ(p.exitStatus(), QProcess::CrashExit);
        EXPECT_TRUE(p.readAllStandardOutput().isEmpty());
        const QByteArray after = err.mid(err.lastIndexOf("\"TriggerSoftware\""));
        EXPECT_TRUE(after.contains("CamFeatureValueSet(2, \"TriggerMode\", \"Off\") -> 0")) << after.toStdString();
        EXPECT_TRUE(after.contains("CamCameraClose(2) -> 0")) << after.toStdString();
        EXPECT_TRUE(after.endsWith("tarvik: --check stopped by a signal; the camera's trigger settings were put back\n"))
            << after.toStdString();
    }
}

// Under nohup a triggered check is not ended by SIGHUP: it goes on to its
// report, as a plain check does.
TEST(TriggerCheck, NohupKeepsItGoing)
{
    QProcess p;
    p.setProcessEnvironment(TracedQuickCamera());
    p.setChildProcessModifier([] { ::signal(SIGHUP, SIG_IGN); });
    p.start(TARVIK_EXE, {"--check", "--trigger", "software", "--trigger-rate", "20", "--frames", "30"});
    QByteArray err;
    ASSERT_SOON((err += p.readAllStandardError()).contains("\"TriggerSoftware\""));
    ::kill(pid_t(p.processId()), SIGHUP);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    const QByteArray out = p.readAllStandardOutput();
    EXPECT_TRUE(out.contains("Trigger  Software at 20/s: 30 sent")) << out.toStdString();
    EXPECT_FALSE((err + p.readAllStandardError()).contains("stopped by a signal"));
}

// Software triggers at just the rate the camera takes (10 ms exposure and
// 10 ms readout: 50 a second): each gets its frame, or the report says why
// some could not.
TEST(TriggerCheck, AtTheCamerasCapacity)
{
    const TarvikRun r = RunTarvik({"--check", "--json", "--max-clipped", "100", "--set", "ExposureTime=10000",
                                   "--trigger", "software", "--trigger-rate", "50", "--frames", "100"},
                                  QString(kQuick) + ",rate=100");
    const QJsonObject camera = QJsonDocument::fromJson(r.out)["cameras"][0].toObject();
    EXPECT_EQ(camera["trigger"]["frame_time_ms"].toDouble(), 20);
    const std::string trigger = LevelOf(camera, "trigger");
    if (r.status == 0)
        EXPECT_EQ(trigger.rfind("ok: 100 triggers sent, 100 frames for them, 0 missed", 0), 0u) << trigger;
    else
        EXPECT_NE(trigger.find("50 triggers/s is about the most the camera can take (50.0/s: 20.00 ms a frame)"),
                  std::string::npos)
            << trigger;
}

// Bad options and a source the camera lacks: refused with the reason, no report.
TEST(TriggerCheck, Refusals)
{
    const struct {
        const char* name;
        QStringList options;
        int status;
        const char* err;
    } rows[] = {
        {"source the camera lacks", {"--trigger", "line7"}, 3,
         "tarvik: --trigger: cannot set TriggerSource: Line7 is not one of its entries: Software, Line0, Line1\n"},
        {"unknown word", {"--trigger", "encoder"}, 64,
         "tarvik: --trigger needs software or an input line (line0, line1 ...), got 'encoder'\n"},
        {"rate 0", {"--trigger", "software", "--trigger-rate", "0"}, 64,
         "tarvik: --trigger-rate needs triggers a second from 0.1 to 1000, got '0'\n"},
        {"rate negative", {"--trigger", "software", "--trigger-rate", "-5"}, 64, "got '-5'\n"},
        {"rate not a number", {"--trigger", "software", "--trigger-rate", "fast"}, 64, "got 'fast'\n"},
        {"rate without a software trigger", {"--trigger", "line0", "--trigger-rate", "10"}, 64,
         "tarvik: --trigger-rate goes with --check --trigger software"},
        {"expected rate without a line", {"--expect-rate", "10"}, 64,
         "tarvik: --expect-rate goes with --check --trigger line0"},
        {"expected rate with software", {"--trigger", "software", "--expect-rate", "10"}, 64,
         "tarvik: --expect-rate goes with --check --trigger line0"},
        {"clock drift negative", {"--max-clock-drift", "-1"}, 64,
         "tarvik: --max-clock-drift needs parts per million from 0 to 1000000, got '-1'\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const TarvikRun r = RunTarvik(QStringList{"--check", "--frames", "3"} + row.options, kQuick);
        EXPECT_EQ(r.status, row.status);
        EXPECT_TRUE(r.err.startsWith(row.err) || r.err.contains(row.err)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
    }
    const TarvikRun grab = RunTarvik({"--grab", "-", "--trigger", "software"}, kQuick);
    EXPECT_EQ(grab.status, 64);
    EXPECT_TRUE(grab.err.contains("--trigger goes with --check")) << grab.err.toStdString();
}

}  // namespace
