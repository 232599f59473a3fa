// Live view's stream over the real library and the simulated camera, with
// no window: the stream's calls, the hand-over of the newest frame, its
// counters, and the ways it ends by itself.
#include "DialogHarness.h"
#include "RunTarvik.h"
#include "WaitFor.h"
#include "app/settings/CameraSettingsSource.h"
#include "app/Failures.h"
#include "app/live/LiveStream.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>

namespace {

class LiveTest : public ::testing::Test {
protected:
    void Use(const char* sim)
    {
        unsetenv("TARVIK_CAMERAS");
        setenv("TARVIK_SIM", sim, 1);
        harness::ResetCameraState();
    }
    void Open(const char* sim)
    {
        Use(sim);
        ASSERT_FALSE(OpenCamera({}).Failed());
    }
    void TearDown() override
    {
        harness::ResetCameraState();
        unsetenv("TARVIK_SIM");
    }
    // Takes and gives back frames for a while, as the window does.
    int ShowFor(LiveStream& stream, std::chrono::milliseconds time)
    {
        int shown = 0;
        const auto end = std::chrono::steady_clock::now() + time;
        while (std::chrono::steady_clock::now() < end) {
            LiveStream::Frame frame;
            if (stream.Take(&frame)) {
                EXPECT_TRUE(CopyFrameToImage(frame.data, frame.size, g_pPixelFormat, g_image));
                stream.GiveBack(frame);
                ++shown;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return shown;
    }
};

// Frames are announced and queued once, acquisition started and stopped
// once, every frame revoked at the end; in between only waits and queues.
TEST_F(LiveTest, OneStartOneStopNoPerFrameAnnounce)
{
    ASSERT_NO_FATAL_FAILURE(Open("width=64,height=48,rate=200"));
    LiveStream stream;
    std::atomic<int> told{0};
    const harness::Lines trace = harness::TraceOf([&] {
        ASSERT_FALSE(stream.Start([&] { ++told; }).Failed());
        EXPECT_GT(ShowFor(stream, std::chrono::milliseconds(300)), 5);
        EXPECT_FALSE(stream.Stop().Failed());
    });
    auto count = [&](const std::string& call) {
        return std::count_if(trace.begin(), trace.end(),
                             [&](const std::string& l) { return l.find(call) != std::string::npos; });
    };
    EXPECT_EQ(count("CamFrameAnnounce"), long(LiveStream::kFrames));
    EXPECT_EQ(count("CamFrameRevoke(2, ptr) -> 0"), long(LiveStream::kFrames));
    EXPECT_EQ(count("\"AcquisitionStart\") -> 0"), 1);
    EXPECT_EQ(count("\"AcquisitionStop\") -> 0"), 1);
    EXPECT_EQ(count("CamCaptureStart(2) -> 0"), 1);
    EXPECT_EQ(count("CamCaptureEnd(2) -> 0"), 1);
    EXPECT_GT(count("CamFrameWaitNext(2, ptr, 100) -> 0"), 5);
    const auto firstWait = std::find_if(trace.begin(), trace.end(),
                                        [](const std::string& l) { return l.find("WaitNext") != std::string::npos; });
    EXPECT_EQ(std::find_if(firstWait, trace.end(),
                           [](const std::string& l) { return l.find("Announce") != std::string::npos; }),
              trace.end());
    const LiveStream::Counts c = stream.CountsNow();
    EXPECT_GE(c.received, c.shown);
    EXPECT_GT(c.shown, 5u);
    EXPECT_EQ(c.incomplete, 0u);
    EXPECT_GE(told.load(), int(c.shown));
    EXPECT_EQ(g_hCamera, 2u) << "the camera stays open";
}

// Incomplete frames are counted and never handed over; a camera that sends
// nothing ends the stream after the frame time-out, saying so once.
TEST_F(LiveTest, IncompleteFramesAndSilence)
{
    ASSERT_NO_FATAL_FAILURE(Open("width=16,height=8,rate=500,frames=incomplete"));
    LiveStream stream;
    ASSERT_FALSE(stream.Start(nullptr).Failed());
    EXPECT_EQ(ShowFor(stream, std::chrono::milliseconds(100)), 0);
    EXPECT_FALSE(stream.Stop().Failed());
    EXPECT_GT(stream.CountsNow().incomplete, 0u);
    EXPECT_EQ(stream.CountsNow().shown, 0u);
    harness::ResetCameraState();

    ASSERT_NO_FATAL_FAILURE(Open("width=16,height=8,frames=none"));
    std::atomic<int> told{0};
    ASSERT_FALSE(stream.Start([&] { ++told; }).Failed());
    const auto start = std::chrono::steady_clock::now();
    while (!stream.Ended().Failed() && std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const Outcome ended = stream.Stop();
    EXPECT_EQ(ended.step, Step::Wait);
    EXPECT_EQ(ended.code, CAM_ERR_TIMEOUT);
    EXPECT_EQ(told.load(), 1);
    EXPECT_EQ(Describe(ended), "no frame within 5 s (CAM_ERR_TIMEOUT)");
}

// Every frame the camera hands back reaches Options::everyFrame once, in
// order, whether it is shown, replaced by a newer one before it was taken,
// or incomplete; the ids it sees skip exactly the frames counted dropped
// (a hook that holds the camera thread, against its rule, makes the camera
// drop some).
TEST_F(LiveTest, EveryFrameSeesEveryFrameId)
{
    const struct {
        const char* sim;
        bool show;  // take frames as the window does, or leave them to be replaced
        int slow;   // frames for which the hook holds the camera thread 30 ms
    } rows[] = {
        {"width=64,height=48,rate=200", true, 0},
        {"width=64,height=48,rate=500", false, 0},
        {"width=16,height=8,rate=500,frames=incomplete", true, 0},
        {"width=16,height=8,rate=500", false, 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.sim);
        ASSERT_NO_FATAL_FAILURE(Open(row.sim));
        std::vector<uint64_t> ids;  // only the camera thread appends, until Stop has joined it
        LiveStream::Options options;
        options.everyFrame = [&](const CamFrame& frame) {
            ids.push_back(frame.frameId);
            if (ids.size() <= size_t(row.slow))
                std::this_thread::sleep_for(std::chrono::milliseconds(30));  // 15 frame periods
        };
        LiveStream stream;
        ASSERT_FALSE(stream.Start(nullptr, options).Failed());
        if (row.show)
            ShowFor(stream, std::chrono::milliseconds(200));
        else
            ASSERT_SOON_WITHIN(stream.CountsNow().received >= 20, 5000);
        EXPECT_FALSE(stream.Stop().Failed());
        const LiveStream::Counts c = stream.CountsNow();
        ASSERT_EQ(ids.size(), c.received);
        ASSERT_GT(ids.size(), 5u);
        uint64_t skipped = 0;
        for (size_t i = 1; i < ids.size(); ++i) {
            ASSERT_GT(ids[i], ids[i - 1]);
            skipped += ids[i] - ids[i - 1] - 1;
        }
        EXPECT_EQ(skipped, c.dropped);
        if (row.slow > 0)
            EXPECT_GT(c.dropped, 0u);
        harness::ResetCameraState();
    }
}

// Live view through the real dialog: Ctrl+L once a camera is open, the
// picture follows the camera and the tooltip counts; Ctrl+S saves the frame
// shown; GrapOnce ends live view keeping that frame; release, and closing
// the window, stop it without hanging.
TEST_F(LiveTest, DialogStartFollowFreezeRelease)
{
    Use("width=64,height=48,rate=100");
    QTemporaryDir dir;
    {
        harness::ShownDialog w;
        ASSERT_NO_FATAL_FAILURE(w.Show());
        auto liveKey = [&] { QTest::keyClick(w.widget, Qt::Key_L, Qt::ControlModifier); };
        liveKey();  // no camera: nothing to show live
        EXPECT_FALSE(w.dlg.IsCommandChecked(ID_PICTURE_LIVE));
        w.Click(IDC_INIT_GRAB_START);
        liveKey();
        ASSERT_TRUE(w.dlg.IsCommandChecked(ID_PICTURE_LIVE));
        ASSERT_SOON_WITHIN(g_lastFrame.valid && g_lastFrame.frameId >= 3, 5000);
        const QImage before = w.Shown();
        ASSERT_SOON_WITHIN(w.Shown() != before, 5000);
        QWidget* picture = w.widget->control(IDC_PICTURE);
        ASSERT_SOON_WITHIN(picture->toolTip().contains("live: "), 5000);
        EXPECT_EQ(w.dlg.SavePictureTo(dir.filePath("live.png").toStdString()), "");

        w.Click(IDC_GRAB_ONCE);
        EXPECT_FALSE(w.dlg.IsCommandChecked(ID_PICTURE_LIVE));
        const uint64_t frozen = g_lastFrame.frameId;
        const QImage still = w.Shown();
        QTest::qWait(100);
        EXPECT_EQ(g_lastFrame.frameId, frozen);
        EXPECT_EQ(w.Shown(), still);
        EXPECT_TRUE(w.dlg.IsCommandEnabled(ID_PICTURE_SAVE));

        liveKey();
        ASSERT_SOON_WITHIN(g_lastFrame.frameId > frozen, 5000);
        w.Click(IDC_GRAB_STOP_RELEASE);
        EXPECT_EQ(g_hCamera, 0u);
        EXPECT_FALSE(w.dlg.IsCommandChecked(ID_PICTURE_LIVE));
        EXPECT_FALSE(w.dlg.IsCommandEnabled(ID_PICTURE_LIVE));

        w.Click(IDC_INIT_GRAB_START);
        liveKey();
        ASSERT_SOON_WITHIN(g_lastFrame.valid, 5000);
    }  // closing the window during live view stops the stream
    EXPECT_TRUE(QImage(dir.filePath("live.png")).width() == 64);
}

// A frame much larger than the picture area is shown reduced straight from
// the camera's format; saving it, or freezing it with GrapOnce, still gives
// the whole frame at full depth.
TEST_F(LiveTest, DialogLargeFramesShownReducedKeptWhole)
{
    Use("width=2000,height=1500,formats=BayerRG12,rate=50");
    QTemporaryDir dir;
    {
        harness::ShownDialog w;
        ASSERT_NO_FATAL_FAILURE(w.Show());
        w.Click(IDC_INIT_GRAB_START);
        QTest::keyClick(w.widget, Qt::Key_L, Qt::ControlModifier);
        ASSERT_SOON_WITHIN(g_lastFrame.valid, 5000);
        EXPECT_LT(g_image.GetWidth(), 2000 / 2);
        const QString path = dir.filePath("live.png");
        ASSERT_EQ(w.dlg.SavePictureTo(path.toStdString()), "");
        const QImage saved(path);
        EXPECT_EQ(saved.width(), 2000);
        EXPECT_EQ(saved.depth(), 64) << "16 bits a sample";
        w.Click(IDC_GRAB_ONCE);
        EXPECT_EQ(g_image.GetWidth(), 2000);
        EXPECT_TRUE(g_lastFrame.deep);
    }
}

// --live opens the camera and starts live view with the dialog; a camera
// that falls silent ends it with one line and the reason in the tooltip,
// the last picture kept and the camera still open.
TEST_F(LiveTest, DialogStartedAtOnceAndEndedBySilence)
{
    Use("width=64,height=48,frames=none");
    {
        CTarvikDlg dlg({}, true);
        ::testing::internal::CaptureStderr();
        ASSERT_TRUE(dlg.Create());
        EXPECT_TRUE(dlg.IsCommandChecked(ID_PICTURE_LIVE));
        QWidget* picture = ui::WidgetOf(dlg)->control(IDC_PICTURE);
        ASSERT_SOON_WITHIN(!dlg.IsCommandChecked(ID_PICTURE_LIVE), 10000);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "tarvik: live view stopped: no frame within 5 s (CAM_ERR_TIMEOUT)\n");
        EXPECT_TRUE(picture->toolTip().endsWith("live view stopped: no frame within 5 s (CAM_ERR_TIMEOUT)"));
        EXPECT_NE(g_hCamera, 0u);
    }
}

// A camera that sends only incomplete frames: the stream offers them once
// no complete frame came for a while, if asked to (the window), never else
// (the health check); what arrived is handed over, the rest is not.
TEST_F(LiveTest, IncompleteFramesOfferedOnlyWhenAsked)
{
    for (const bool show : {true, false}) {
        SCOPED_TRACE(show ? "shown" : "not shown");
        ASSERT_NO_FATAL_FAILURE(Open("width=16,height=8,formats=Mono8,rate=100,frames=incomplete"));
        LiveStream::Options options;
        options.showIncomplete = show;
        LiveStream stream;
        std::atomic<int> told{0};
        // Taken before Start: the stream counts the wait from within it.
        const auto start = std::chrono::steady_clock::now();
        ASSERT_FALSE(stream.Start([&] { ++told; }, options).Failed());
        LiveStream::Frame frame;
        if (show) {
            ASSERT_SOON_WITHIN(stream.Take(&frame), 5000);
            EXPECT_GE(std::chrono::steady_clock::now() - start, LiveStream::kIncompleteShownAfter);
            EXPECT_FALSE(frame.complete);
            EXPECT_EQ(frame.size, 16 * 8 / 2) << "the half that came";
            stream.GiveBack(frame);
        } else {
            EXPECT_EQ(ShowFor(stream, LiveStream::kIncompleteShownAfter * 2), 0);
        }
        EXPECT_GT(told.load(), 0) << "whoever shows the stream hears of incomplete frames";
        EXPECT_FALSE(stream.Stop().Failed());
        const LiveStream::Counts c = stream.CountsNow();
        EXPECT_GT(c.incomplete, 0u);
        EXPECT_EQ(c.incompleteShown, show ? 1u : 0u);
        EXPECT_EQ(LiveLine(c, {}).find(" incomplete (1 shown), ") != std::string::npos, show) << LiveLine(c, {});
        harness::ResetCameraState();
    }
}

// --live on a camera that sends only incomplete frames: the picture shows
// what came and is black where nothing came (the simulated camera leaves
// bright bytes there), the tooltip counts them, and stderr says so once.
TEST_F(LiveTest, DialogShowsIncompleteFramesAndSaysSo)
{
    Use("width=64,height=48,formats=Mono8,rate=50,frames=incomplete");
    {
        ::testing::internal::CaptureStderr();
        CTarvikDlg dlg({}, true);
        ASSERT_TRUE(dlg.Create());
        QWidget* picture = ui::WidgetOf(dlg)->control(IDC_PICTURE);
        const QRegularExpression counted(" [1-9][0-9]* incomplete \\([1-9][0-9]* shown\\), ");
        ASSERT_SOON_WITHIN(counted.match(picture->toolTip()).hasMatch() && g_lastFrame.valid, 10000);
        // Rows of the display image (BGR): the top half came, the bottom half did not.
        auto rowLevel = [](int y) {
            const uint8_t* row = g_image.GetBits() + ptrdiff_t(y) * g_image.GetPitch();
            return std::accumulate(row, row + g_image.GetWidth() * 3, 0);
        };
        ASSERT_EQ(g_image.GetHeight(), 48);
        int top = 0;
        for (int y = 0; y < 24; ++y)
            top += rowLevel(y);
        EXPECT_GT(top, 0);
        for (int y = 24; y < 48; ++y)
            EXPECT_EQ(rowLevel(y), 0) << "row " << y;
        EXPECT_TRUE(dlg.IsCommandChecked(ID_PICTURE_LIVE));
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "tarvik: live view: no complete frame for 1 s, showing incomplete ones (what did not arrive is "
                  "black)\n");
    }
}

// The same through the real program, without a display of its own.
TEST(LiveProgram, IncompleteFramesSaidOnStderr)
{
    QProcess tarvik;
    QProcessEnvironment env = TarvikEnvironment("width=64,height=48,rate=50,frames=incomplete", {});
    env.insert("QT_QPA_PLATFORM", "offscreen");
    tarvik.setProcessEnvironment(env);
    tarvik.start(TARVIK_EXE, {"--live"});
    ASSERT_TRUE(tarvik.waitForStarted());
    QByteArray err;
    ASSERT_SOON_WITHIN((err += tarvik.readAllStandardError()).contains("showing incomplete ones"), 15000)
        << err.toStdString();
    tarvik.terminate();
    ASSERT_TRUE(tarvik.waitForFinished(10000));
    err += tarvik.readAllStandardError();
    EXPECT_EQ(err.count("tarvik: live view: no complete frame for 1 s"), 1) << err.toStdString();
}

}  // namespace

// Calls handed to a stream run on its camera thread while it streams, on
// the caller's thread before and after, and also once it has ended by
// itself; settings read, changed, saved and loaded that way while frames
// go on arriving.
TEST_F(LiveTest, CallsAndSettingsWhileStreaming)
{
    Open("width=64,height=48,rate=200");
    LiveStream stream;
    const auto here = std::this_thread::get_id();
    auto where = [&] {
        std::thread::id id;
        stream.Call([&] { id = std::this_thread::get_id(); });
        return id;
    };
    EXPECT_EQ(where(), here);
    ASSERT_FALSE(stream.Start(nullptr).Failed());
    EXPECT_NE(where(), here);

    CameraSettingsSource source(stream, nullptr);
    QTemporaryDir dir;
    const std::string file = dir.filePath("cam.txt").toStdString();
    EXPECT_EQ(source.Set("ExposureTime", "2000"), "");
    EXPECT_EQ(source.Save(file), "");
    EXPECT_EQ(source.Set("ExposureTime", "3000"), "");
    EXPECT_EQ(source.Load(file), "");
    const auto items = source.Items();
    const auto exposure = std::find_if(items.begin(), items.end(), [](auto& i) { return i.name == "ExposureTime"; });
    ASSERT_NE(exposure, items.end());
    EXPECT_EQ(exposure->value, "2000");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(source.Set("ExposureTme", "1"), "no feature \"ExposureTme\"; did you mean ExposureTime?");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "tarvik: no feature \"ExposureTme\"; did you mean ExposureTime?\n");
    EXPECT_GT(stream.CountsNow().received, 0u);
    stream.Stop();
    EXPECT_EQ(where(), here);

    // A stream that ended by itself takes no more calls, and none waits for it.
    setenv("TARVIK_SIM", "width=64,height=48,frames=none", 1);
    harness::ResetCameraState();
    ASSERT_FALSE(OpenCamera({}).Failed());
    ASSERT_FALSE(stream.Start(nullptr).Failed());
    ASSERT_SOON_WITHIN(stream.Ended().Failed(), 10000);
    EXPECT_EQ(where(), here);
    stream.Stop();
}
