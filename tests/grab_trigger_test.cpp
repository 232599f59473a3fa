// --grab with a triggered camera, in the built program: a software trigger
// sent by Tarvik, a wait for an input line said and timed out in words, a
// camera that ignores triggers, and the refusals of --timeout and
// --trigger-rate.
#include "RunTarvik.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTest>

#include <csignal>

namespace {

constexpr char kSmall[] = "width=64,height=48";
const char kWaiting[] = "tarvik: waiting for a trigger on Line0 (TriggerMode is On)\n";

struct GrabRow {
    const char* name;
    QString sim;
    QStringList options;  // before --grab FILE
    int status;
    QString err;          // all of stderr
};

TEST(GrabTrigger, SoftwareLineIgnoredAndOff)
{
    const QStringList software = {"--set", "TriggerMode=On", "--set", "TriggerSource=Software"};
    const QStringList line = {"--set", "TriggerMode=On", "--set", "TriggerSource=Line0"};
    const GrabRow rows[] = {
        {"triggers off", kSmall, {}, 0, ""},
        {"software trigger sent by Tarvik", kSmall, software, 0, ""},
        {"line with edges", QString(kSmall) + ",line0=50", line, 0, kWaiting},
        {"line without edges", kSmall, line + QStringList{"--timeout", "0.5"}, 4,
         QString(kWaiting) + "tarvik: no frame within 0.5 s: the camera waits for a trigger on Line0 (TriggerMode=On); "
                             "trigger it or set TriggerMode=Off\n"},
        {"camera ignores software triggers", QString(kSmall) + ",software_trigger=ignored",
         software + QStringList{"--timeout", "1"}, 4,
         "tarvik: no frame within 1 s: the camera did not answer the software trigger Tarvik sent (TriggerMode=On, "
         "TriggerSource=Software); set TriggerMode=Off\n"},
        {"a longer time-out for a slow line", QString(kSmall) + ",line0=0.15", line + QStringList{"--timeout", "12"}, 0,
         kWaiting},
        // The acquisition's own trigger on a line holds the software frame trigger back: the line is named.
        {"acquisition waiting on a line",
         kSmall,
         QStringList{"--set", "TriggerSelector=AcquisitionStart", "--set", "TriggerMode=On", "--set",
                     "TriggerSource=Line0", "--set", "TriggerSelector=FrameStart"} +
             software + QStringList{"--timeout", "0.5"},
         4,
         "tarvik: no frame within 0.5 s: the acquisition itself waits for a trigger on Line0 "
         "(TriggerSelector=AcquisitionStart, TriggerMode=On), before which the frame trigger on Software brings "
         "nothing; trigger it or set TriggerMode=Off under that selector\n"},
        {"source the camera lacks", kSmall, {"--set", "TriggerMode=On", "--set", "TriggerSource=Line5"}, 3,
         "tarvik: cannot set TriggerSource: Line5 is not one of its entries: Software, Line0, Line1\n"},
    };
    harness::TempDir dir;
    for (const GrabRow& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = QString::fromStdString(dir.path + "/frame.png");
        QFile::remove(path);
        const TarvikRun r = RunTarvik(row.options + QStringList{"--grab", path}, row.sim);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err.toStdString(), row.err.toStdString());
        EXPECT_EQ(QFile::exists(path), row.status == 0);
    }
}

// --record of a triggered camera: its silence does not end the recording,
// and stderr says once what the camera waits for; one waiting for software
// triggers, which nothing sends, is said to give no frame.
TEST(GrabTrigger, RecordTriggered)
{
    const QStringList software = {"--set", "TriggerMode=On", "--set", "TriggerSource=Software"};
    const QStringList line = {"--set", "TriggerMode=On", "--set", "TriggerSource=Line0"};
    const struct {
        const char* name;
        QString sim;
        QStringList options;
        int status;
        QString errStart;  // stderr begins with this
    } rows[] = {
        {"triggers off", kSmall, {"--frames", "3"}, 0, "tarvik: recorded 3 frames"},
        {"line with edges", QString(kSmall) + ",line0=50", line + QStringList{"--frames", "3"}, 0,
         QString(kWaiting) + "tarvik: recorded 3 frames"},
        {"software trigger, never sent", kSmall, software + QStringList{"--seconds", "0.5"}, 4,
         "tarvik: the camera waits for software triggers (TriggerMode=On, TriggerSource=Software), which --record "
         "does not send: no frame comes until TriggerMode=Off\ntarvik: no frame came within the 0.5 s of the "
         "recording\n"},
    };
    harness::TempDir dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = QString::fromStdString(dir.path + "/") + row.name + ".mkv";
        const TarvikRun r = RunTarvik(row.options + QStringList{"--record", path}, row.sim);
        EXPECT_EQ(r.status, row.status) << r.err.toStdString();
        EXPECT_TRUE(r.err.startsWith(row.errStart.toUtf8())) << r.err.toStdString();
    }
}

// The library's calls: with triggers off not one more than before; with a
// software source one TriggerSoftware, after AcquisitionStart and before the wait.
TEST(GrabTrigger, CallsOnlyWhenTriggered)
{
    const struct {
        const char* name;
        QStringList options;
        std::vector<std::string> grabCalls;  // the calls between PayloadSize and the wait, in order
    } rows[] = {
        {"off", {}, {"CamFrameAnnounce", "CamCaptureStart", "CamFrameQueue", "\"AcquisitionStart\""}},
        {"software",
         {"--set", "TriggerMode=On", "--set", "TriggerSource=Software"},
         {"CamFrameAnnounce", "CamCaptureStart", "CamFrameQueue", "\"AcquisitionStart\"", "\"TriggerSoftware\""}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "TARVIK_CAMERAS"})
            env.remove(name);
        env.insert("TARVIK_SIM", kSmall);
        env.insert("TARVIK_CAMERA_TRACE", "1");
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(TARVIK_EXE, row.options + QStringList{"--grab", "-"});
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 0);
        const QStringList lines = QString(p.readAllStandardError()).split('\n');
        const auto payload = std::find_if(lines.begin(), lines.end(),
                                          [](const QString& l) { return l.contains("\"PayloadSize\""); });
        const auto wait = std::find_if(lines.begin(), lines.end(),
                                       [](const QString& l) { return l.startsWith("cam: CamFrameWait("); });
        ASSERT_LT(payload, wait);
        std::vector<std::string> between;
        for (auto it = payload + 1; it != wait; ++it)
            between.push_back(it->mid(5, it->indexOf(" -> ") - 5).toStdString());
        ASSERT_EQ(between.size(), row.grabCalls.size()) << ::testing::PrintToString(between);
        for (size_t i = 0; i < between.size(); ++i)
            EXPECT_NE(between[i].find(row.grabCalls[i]), std::string::npos) << between[i];
        auto count = [&](const char* text) {
            return std::count_if(lines.begin(), lines.end(), [&](const QString& l) { return l.contains(text); });
        };
        EXPECT_EQ(count(row.options.isEmpty() ? "Trigger" : "\"TriggerSoftware\""), row.options.isEmpty() ? 0 : 1);
    }
}

// --live --trigger-rate above what the camera takes as set (10 ms exposure
// and 10 ms readout: 50 triggers a second) is said once as live view
// starts, though the camera could make more frames running free.
TEST(GrabTrigger, LiveRateAboveTheCamera)
{
    QProcessEnvironment env = TarvikEnvironment(QString(kSmall) + ",rate=100", {});
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(TARVIK_EXE, {"--live", "--trigger-rate", "500", "--set", "ExposureTime=10000", "--set", "TriggerMode=On",
                         "--set", "TriggerSource=Software"});
    QByteArray err;
    const QByteArray note = "tarvik: --trigger-rate 500 is above the 50 frames/s the camera can make as set: "
                            "triggers that come while it is busy are lost";
    const bool said = QTest::qWaitFor([&] { return (err += p.readAllStandardError()).contains(note); }, 10000);
    ::kill(pid_t(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_TRUE(said) << err.toStdString();
    EXPECT_EQ((err + p.readAllStandardError()).count(note), 1);
}

TEST(GrabTrigger, OptionRefusals)
{
    const struct {
        const char* name;
        QStringList options;
        const char* err;
    } rows[] = {
        {"timeout 0", {"--grab", "x.png", "--timeout", "0"}, "--timeout needs seconds from 0.1 to 3600, got '0'"},
        {"timeout negative", {"--grab", "x.png", "--timeout", "-3"}, "got '-3'"},
        {"timeout not a number", {"--grab", "x.png", "--timeout", "soon"}, "got 'soon'"},
        {"timeout huge", {"--grab", "x.png", "--timeout", "1e9"}, "got '1e9'"},
        {"timeout without --grab", {"--timeout", "3"}, "--timeout goes with --grab"},
        {"rate 0", {"--live", "--trigger-rate", "0"}, "--trigger-rate needs triggers a second from 0.1 to 1000, got '0'"},
        {"rate negative", {"--live", "--trigger-rate", "-2"}, "got '-2'"},
        {"rate not a number", {"--live", "--trigger-rate", "often"}, "got 'often'"},
        {"rate above any camera", {"--live", "--trigger-rate", "5000"}, "got '5000'"},
        {"rate without --live", {"--grab", "x.png", "--trigger-rate", "5"},
         "--trigger-rate goes with --check --trigger software or --live"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const TarvikRun r = RunTarvik(row.options, kSmall);
        EXPECT_EQ(r.status, 64);
        EXPECT_TRUE(r.err.contains(row.err)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
}

}  // namespace
