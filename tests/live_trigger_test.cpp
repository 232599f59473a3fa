// Live view with a triggered camera, over the real library and the simulated
// camera: silence that is the camera waiting, triggers switched on while it
// streams, software triggers one at a time and at a rate, and the words the
// tooltip and stderr use for them.
#include "DialogHarness.h"
#include "WaitFor.h"
#include "app/CameraSettings.h"
#include "app/Failures.h"
#include "app/live/LiveStream.h"

#include <QTimer>

#include <cstdlib>

namespace {

class LiveTriggerTest : public ::testing::Test {
protected:
    void Open(const char* sim)
    {
        unsetenv("TARVIK_CAMERAS");
        setenv("TARVIK_SIM", sim, 1);
        harness::ResetCameraState();
        ASSERT_FALSE(OpenCamera({}).Failed());
    }
    void TearDown() override
    {
        harness::ResetCameraState();
        unsetenv("TARVIK_SIM");
    }
    static std::string Set(LiveStream& stream, std::vector<Setting> settings)
    {
        std::string refused;
        bool shape = false, usage = false;
        stream.Call([&] { refused = ApplySettings(settings, &shape, &usage); });
        return refused;
    }
};

const std::vector<Setting> kSoftware = {{"TriggerMode", "On", true, "test"}, {"TriggerSource", "Software", true, "test"}};

// Switched on while streaming: the stream keeps going past the silence
// time-out, says what it waits for, and a trigger brings a frame.
TEST_F(LiveTriggerTest, SwitchedOnWhileStreamingWaitsForTriggers)
{
    ASSERT_NO_FATAL_FAILURE(Open("width=64,height=48,rate=100"));
    LiveStream stream;
    std::atomic<int> told{0};
    ASSERT_FALSE(stream.Start([&] { ++told; }).Failed());
    ASSERT_SOON(stream.CountsNow().received > 3);
    ASSERT_EQ(Set(stream, kSoftware), "");
    const LiveStream::TriggerState on = stream.TriggerNow();
    EXPECT_TRUE(on.on);
    EXPECT_EQ(on.source, "Software");
    // Past the silence that ends a free-running camera's stream.
    ASSERT_SOON_WITHIN(stream.TriggerNow().sinceFrame > (kFrameTimeoutMs + 1000) / 1000.0, kFrameTimeoutMs + 4000);
    EXPECT_FALSE(stream.Ended().Failed()) << Describe(stream.Ended());
    const int toldBefore = told.load();
    ASSERT_SOON(told.load() > toldBefore) << "the window hears of the wait";
    const uint64_t before = stream.CountsNow().received;
    EXPECT_EQ(stream.Trigger(), CAM_OK);
    ASSERT_SOON(stream.CountsNow().received == before + 1);
    EXPECT_EQ(stream.TriggerNow().sent, 1u);
    EXPECT_FALSE(stream.Stop().Failed());
}

// Software triggers at a rate: one frame each while the camera keeps up;
// none sent when the camera waits for a line instead or runs free.
TEST_F(LiveTriggerTest, TriggerRate)
{
    const struct {
        const char* name;
        std::vector<Setting> settings;
        bool sends;
    } rows[] = {
        {"software", kSoftware, true},
        {"a line", {{"TriggerMode", "On", true, "test"}, {"TriggerSource", "Line0", true, "test"}}, false},
        {"off", {}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(Open("width=64,height=48,rate=100"));
        bool shape = false, usage = false;
        ASSERT_EQ(ApplySettings(row.settings, &shape, &usage), "");
        LiveStream stream;
        LiveStream::Options options;
        options.triggerRate = 50;
        ASSERT_FALSE(stream.Start(nullptr, options).Failed());
        if (row.sends) {
            ASSERT_SOON(stream.TriggerNow().sent >= 20);
            ASSERT_SOON(stream.CountsNow().received >= 15);
            EXPECT_EQ(stream.TriggerNow().refused, 0u);
        } else {
            // A while of the stream: frames of a camera running free, or a line's silence.
            ASSERT_SOON(stream.CountsNow().received > 20 || stream.TriggerNow().sinceFrame > 0.3);
            EXPECT_EQ(stream.TriggerNow().sent, 0u);
        }
        EXPECT_FALSE(stream.Stop().Failed());
        harness::ResetCameraState();
    }
}

// GrapOnce while live view waits for a line that never fires: live view
// ends saying that it had no frame to keep; the grab that follows waits for
// the trigger with the window still painting and its tooltip saying so.
TEST_F(LiveTriggerTest, GrapOnceWhileWaiting)
{
    unsetenv("TARVIK_CAMERAS");
    setenv("TARVIK_SIM", "width=64,height=48", 1);
    harness::ResetCameraState();
    ::testing::internal::CaptureStderr();
    QString during, after, first;
    {
        harness::ShownDialog w;
        ASSERT_NO_FATAL_FAILURE(w.Show());
        w.Click(IDC_INIT_GRAB_START);
        bool shape = false, usage = false;
        ASSERT_EQ(ApplySettings({{"TriggerMode", "On", true, "test"}, {"TriggerSource", "Line0", true, "test"}}, &shape,
                                &usage),
                  "");
        QTest::keyClick(w.widget, Qt::Key_L, Qt::ControlModifier);
        ASSERT_TRUE(w.dlg.IsCommandChecked(ID_PICTURE_LIVE));
        QWidget* picture = w.widget->control(IDC_PICTURE);
        w.Click(IDC_GRAB_ONCE);
        EXPECT_FALSE(w.dlg.IsCommandChecked(ID_PICTURE_LIVE));
        first = picture->toolTip();
        QTimer::singleShot(300, [&] { during = picture->toolTip(); });
        w.Click(IDC_GRAB_ONCE);
        after = picture->toolTip();
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(first.endsWith("live view ended with no frame to keep: the camera was waiting for a trigger on Line0 "
                               "(TriggerMode is On); GrapOnce again grabs one"))
        << first.toStdString();
    EXPECT_TRUE(during.endsWith("waiting for a trigger on Line0 (TriggerMode is On)")) << during.toStdString();
    EXPECT_NE(after.indexOf("last grab failed: no frame within 5 s: the camera waits for a trigger on Line0"), -1)
        << after.toStdString();
    EXPECT_NE(err.find("tarvik: live view ended with no frame to keep"), std::string::npos) << err;
}

TEST(TriggerWords, TooltipAndNotes)
{
    LiveStream::TriggerState waiting;
    waiting.on = true;
    waiting.source = "Line0";
    waiting.sinceFrame = 2.54;
    waiting.anyFrame = true;
    LiveStream::TriggerState none = waiting;
    none.anyFrame = false;
    LiveStream::TriggerState sent = waiting;
    sent.source = "Software";
    sent.sent = 12;
    sent.refused = 1;
    LiveStream::Counts counts;
    counts.received = 9;
    const struct {
        const char* name;
        LiveStream::TriggerState trigger;
        std::string line;
    } lines[] = {
        {"off", LiveStream::TriggerState(), ""},
        {"after a frame", waiting, "waiting for trigger on Line0, last frame 2.5 s ago"},
        {"before any", none, "waiting for trigger on Line0, no frame yet, started 2.5 s ago"},
        {"software sent", sent,
         "waiting for trigger on Software, last frame 2.5 s ago, 12 software triggers sent, 3 without a frame, 1 refused"},
    };
    for (const auto& row : lines)
        EXPECT_EQ(TriggerLine(row.trigger, counts), row.line) << row.name;

    const struct {
        const char* name;
        double rate;
        bool on;
        const char* source;
        double most;
        const char* note;  // its start; empty: none
    } notes[] = {
        {"fine", 50, true, "Software", 200, ""},
        {"camera does not say", 500, true, "Software", 0, ""},
        {"above the camera", 500, true, "Software", 200, "--trigger-rate 500 is above the 200 frames/s"},
        {"mode off", 10, false, "", 0, "--trigger-rate 10 sends software triggers, but the camera's TriggerMode is Off"},
        {"a line", 10, true, "Line0", 0, "--trigger-rate 10 sends software triggers, but the camera waits for Line0"},
        {"recording a line", 0, true, "Line0", 0, "waiting for a trigger on Line0 (TriggerMode is On)"},
        {"recording, software", 0, true, "Software", 0,
         "the camera waits for software triggers (TriggerMode=On, TriggerSource=Software), which --record does not "
         "send"},
    };
    for (const auto& row : notes) {
        // A rate of 0: the line a recording starts with.
        const std::string note = row.rate > 0 ? TriggerRateNote(row.rate, row.on, row.source, row.most)
                                              : RecordTriggerLine(row.source);
        EXPECT_EQ(note.substr(0, std::strlen(row.note)), row.note) << row.name;
        EXPECT_EQ(note.empty(), !*row.note) << row.name;
    }

    auto timedOut = [](bool triggered, const char* source, uint32_t ms, bool sent = false) {
        Outcome o = Stopped(Step::Wait, CAM_ERR_TIMEOUT);
        o.triggered = triggered;
        o.trigger = source;
        o.timeoutMs = ms;
        o.triggerSent = sent;
        return o;
    };
    const struct {
        Outcome outcome;
        const char* text;
    } described[] = {
        {timedOut(false, "", kFrameTimeoutMs), "no frame within 5 s (CAM_ERR_TIMEOUT)"},
        {timedOut(true, "Line1", 30000),
         "no frame within 30 s: the camera waits for a trigger on Line1 (TriggerMode=On); trigger it or set "
         "TriggerMode=Off"},
        {timedOut(true, "", 5000),
         "no frame within 5 s: the camera waits for a trigger on a source it does not name (TriggerMode=On); "
         "trigger it or set TriggerMode=Off"},
        {timedOut(true, "Software", 1000, true),
         "no frame within 1 s: the camera did not answer the software trigger Tarvik sent (TriggerMode=On, "
         "TriggerSource=Software); set TriggerMode=Off"},
        // The health check's stream, which sends none unless --trigger software.
        {timedOut(true, "Software", 5000),
         "no frame within 5 s: the camera waits for a software trigger (TriggerMode=On, TriggerSource=Software) and "
         "none was sent; set TriggerMode=Off, or check the triggers with --trigger software"},
        {Stopped(Step::Trigger, CAM_ERR_ACCESS_DENIED),
         "the camera refused the software trigger (TriggerSoftware): "},
    };
    for (const auto& row : described)
        EXPECT_EQ(Describe(row.outcome).substr(0, std::strlen(row.text)), row.text);
    EXPECT_EQ(ExitStatusFor(Stopped(Step::Trigger, CAM_ERR_IO)), kExitNoFrame);
}

}  // namespace
