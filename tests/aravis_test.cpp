// Real cameras through Aravis, without any broadcast: the fake GigE Vision
// camera on 127.0.0.1 (started by the test fixture) and Aravis's in-process
// fake camera, driven through the real dialog and library.
// Aravis (GLib) first: Qt's keyword macros would break its headers.
#include <arv.h>

#include "DialogHarness.h"
#include "RunTarvik.h"
#include "ServeTarvik.h"
#include "WaitFor.h"
#include "app/live/LiveStream.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

namespace {

using harness::Lines;

std::string PidFile() { return FAKE_GV_PIDFILE; }

// Restarts the fake GigE camera with extra options (none: as the fixture runs it).
void RestartCamera(const QStringList& options = {})
{
    QStringList args = {FAKE_GV_SCRIPT, "restart", QString::fromStdString(PidFile())};
    ASSERT_EQ(QProcess::execute("bash", args + options), 0) << "could not restart the fake camera";
}

void KillCamera()
{
    std::ifstream in(PidFile());
    pid_t pid = 0;
    in >> pid;
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGKILL);
}

class AravisTest : public ::testing::Test, public harness::ShownDialog {
protected:
    void Use(const char* cameras)
    {
        setenv("TARVIK_CAMERAS", cameras, 1);
        unsetenv("TARVIK_SIM");
        ASSERT_NO_FATAL_FAILURE(Show());
    }
    void TearDown() override
    {
        harness::ResetCameraState();
        unsetenv("TARVIK_CAMERAS");
    }
    // The display image's pixels, top row first, padding left out.
    static std::vector<uint8_t> Pixels()
    {
        const imaging::DisplayImage& image = g_image;
        std::vector<uint8_t> out;
        for (int y = 0; y < image.GetHeight(); ++y) {
            const uint8_t* row = image.GetBits() + ptrdiff_t(y) * image.GetPitch();
            out.insert(out.end(), row, row + image.GetWidth() * 3);
        }
        return out;
    }
    // Grey levels expanded to equal blue, green and red.
    static bool IsGrey(const std::vector<uint8_t>& bgr)
    {
        for (size_t i = 0; i + 2 < bgr.size(); i += 3)
            if (bgr[i] != bgr[i + 1] || bgr[i] != bgr[i + 2])
                return false;
        return true;
    }
    // The opening sequence up to the packet-size step, then what follows it.
    static void ExpectOpening(const Lines& lines, const std::string& id, bool gige)
    {
        const Lines head = {
            "cam: CamStartup() -> 0",
            "cam: CamFeatureCommandRun(1, \"GeVDiscoveryAllOnce\") -> 0",
            "cam: CamCameraList(null, 0, ptr, 24) -> 0",
            "cam: CamCameraList(ptr, 1, ptr, 24) -> 0",
            "cam: CamCameraOpen(\"" + id + "\", 1, ptr) -> 0",
        };
        const Lines tail = {
            "cam: CamFeatureEnumSet(2, \"PixelFormat\", \"BGR8Packed\") -> -7",
            "cam: CamFeatureEnumSet(2, \"PixelFormat\", \"Mono8\") -> 0",
            "cam: CamFeatureEnumGet(2, \"PixelFormat\", ptr) -> 0",
            "cam: CamFeatureIntGet(2, \"Height\", ptr) -> 0",
            "cam: CamFeatureIntGet(2, \"Width\", ptr) -> 0",
        };
        Lines expected = head;
        const std::string run = "cam: CamFeatureCommandRun(2, \"GVSPAdjustPacketSize\") -> ";
        if (!gige) {
            expected.push_back(run + "-5");  // not a GigE camera: no such command, no polling
        } else if (lines.size() > 5 && lines[5] == run + "0") {
            expected.push_back(run + "0");  // negotiated: done at the first poll
            expected.push_back("cam: CamFeatureCommandIsDone(2, \"GVSPAdjustPacketSize\", ptr) -> 0");
        } else if (lines.size() > 5) {
            expected.push_back(lines[5]);  // negotiation failed: no polling
            EXPECT_EQ(lines[5].rfind(run, 0), 0u);
        }
        expected.insert(expected.end(), tail.begin(), tail.end());
        EXPECT_EQ(lines, expected);
        EXPECT_STREQ(g_pPixelFormat, "Mono8");
    }
};

const Lines& kLadder = harness::CaptureTrace();

// Grabs one Mono8 frame straight through Aravis, the way its own examples do.
std::vector<uint8_t> DirectGrab(int* width, int* height)
{
    GError* error = nullptr;
    GInetAddress* local = g_inet_address_new_from_string("127.0.0.1");
    ArvDevice* device = arv_gv_device_new(local, local, &error);
    g_object_unref(local);
    EXPECT_NE(device, nullptr) << (error ? error->message : "");
    if (!device)
        return {};
    ArvCamera* camera = arv_camera_new_with_device(device, &error);
    g_object_unref(device);
    arv_camera_set_pixel_format_from_string(camera, "Mono8", &error);
    std::vector<uint8_t> out;
    ArvBuffer* buffer = error ? nullptr : arv_camera_acquisition(camera, 5000000, &error);
    if (buffer && arv_buffer_get_status(buffer) == ARV_BUFFER_STATUS_SUCCESS) {
        size_t size = 0;
        const auto* data = static_cast<const uint8_t*>(arv_buffer_get_image_data(buffer, &size));
        *width = arv_buffer_get_image_width(buffer);
        *height = arv_buffer_get_image_height(buffer);
        out.assign(data, data + size);
    }
    if (buffer)
        g_object_unref(buffer);
    g_clear_error(&error);
    g_object_unref(camera);
    return out;
}

// Opening the GigE camera: "BGR8Packed" is refused, "Mono8" taken, the
// packet size negotiated once or not polled at all.
TEST_F(AravisTest, GigeOpening)
{
    Use("gige:127.0.0.1");
    ExpectOpening(TracedClick(IDC_INIT_GRAB_START), "gige:127.0.0.1", true);
    EXPECT_GT(g_image.GetWidth(), 0);
    EXPECT_GT(g_image.GetHeight(), 0);
}

// One grab shows the camera's grey levels as equal blue, green and red, the
// same picture as a frame grabbed directly through Aravis (the fake camera's
// ramp moves by one level per frame, so the two may differ by a constant).
TEST_F(AravisTest, GigeGrabMatchesDirectFrame)
{
    Use("gige:127.0.0.1");
    TracedClick(IDC_INIT_GRAB_START);
    EXPECT_EQ(TracedClick(IDC_GRAB_ONCE), kLadder);
    const std::vector<uint8_t> ours = Pixels();
    const int w = g_image.GetWidth(), h = g_image.GetHeight();
    ASSERT_TRUE(IsGrey(ours));
    TracedClick(IDC_GRAB_STOP_RELEASE);

    int dw = 0, dh = 0;
    const std::vector<uint8_t> direct = DirectGrab(&dw, &dh);
    ASSERT_EQ(dw, w);
    ASSERT_EQ(dh, h);
    ASSERT_EQ(direct.size(), size_t(w) * h);
    const int delta = (ours[0] - direct[0] + 255) % 255;
    size_t mismatches = 0;
    for (size_t i = 0; i < direct.size(); ++i)
        mismatches += ours[i * 3] != (direct[i] + delta) % 255;
    EXPECT_EQ(mismatches, 0u);
}

// Frames that lose packets are never copied: the picture stays as it was.
TEST_F(AravisTest, LostPacketsAreNeverCopied)
{
    RestartCamera({"--gvsp-lost-ratio", "300"});
    Use("gige:127.0.0.1");
    TracedClick(IDC_INIT_GRAB_START);
    ASSERT_FALSE(g_image.IsNull());
    const std::vector<uint8_t> before = Pixels();
    for (int i = 0; i < 2; ++i) {
        const Lines ladder = TracedClick(IDC_GRAB_ONCE);
        ASSERT_EQ(ladder.size(), kLadder.size());
        EXPECT_EQ(ladder.back(), kLadder.back());
        EXPECT_EQ(Pixels(), before) << "an incomplete frame was copied";
    }
    TracedClick(IDC_GRAB_STOP_RELEASE);

    // The library reports such frames with a non-zero receive status (or none at all).
    ASSERT_EQ(CamStartup(), CAM_OK);
    ASSERT_EQ(CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce"), CAM_OK);
    CamHandle h = 0;
    ASSERT_EQ(CamCameraOpen("gige:127.0.0.1", 1, &h), CAM_OK);
    int64_t payload = 0;
    ASSERT_EQ(CamFeatureIntGet(h, "PayloadSize", &payload), CAM_OK);
    std::vector<uint8_t> memory(static_cast<size_t>(payload));
    CamFrame frame{};
    frame.buffer = memory.data();
    frame.bufferSize = uint32_t(payload);
    ASSERT_EQ(CamFrameAnnounce(h, &frame, sizeof frame), CAM_OK);
    ASSERT_EQ(CamCaptureStart(h), CAM_OK);
    ASSERT_EQ(CamFrameQueue(h, &frame, nullptr), CAM_OK);
    ASSERT_EQ(CamFeatureCommandRun(h, "AcquisitionStart"), CAM_OK);
    const CamError waited = CamFrameWait(h, &frame, 5000);
    EXPECT_TRUE(waited == CAM_ERR_TIMEOUT || (waited == CAM_OK && frame.receiveStatus != CAM_FRAME_COMPLETE))
        << waited << " status " << frame.receiveStatus;
    CamFeatureCommandRun(h, "AcquisitionStop");
    EXPECT_EQ(CamCaptureEnd(h), CAM_OK);
    EXPECT_EQ(CamFrameRevoke(h, &frame), CAM_OK);
    CamShutdown();
    RestartCamera();
}

// A camera that goes away: the next grab fails within its time-out without a
// crash, release still works, and the camera can be opened again once back.
TEST_F(AravisTest, CameraKilledAfterOpening)
{
    Use("gige:127.0.0.1");
    TracedClick(IDC_INIT_GRAB_START);
    TracedClick(IDC_GRAB_ONCE);
    const std::vector<uint8_t> before = Pixels();
    KillCamera();

    QElapsedTimer timer;
    timer.start();
    const Lines ladder = TracedClick(IDC_GRAB_ONCE);
    EXPECT_LT(timer.elapsed(), 20000);
    ASSERT_FALSE(ladder.empty());
    EXPECT_NE(ladder, kLadder) << "a grab from a dead camera reported success";
    EXPECT_EQ(Pixels(), before);

    timer.restart();
    EXPECT_EQ(TracedClick(IDC_GRAB_STOP_RELEASE).size(), 2u);
    EXPECT_LT(timer.elapsed(), 20000);
    EXPECT_EQ(g_hCamera, 0u);

    RestartCamera();
    ExpectOpening(TracedClick(IDC_INIT_GRAB_START), "gige:127.0.0.1", true);
    EXPECT_EQ(TracedClick(IDC_GRAB_ONCE), kLadder);
    EXPECT_TRUE(IsGrey(Pixels()));
}

// A camera that vanishes while a grab waits for its frame is reported as no
// longer answering, before the wait's time-out, not as a frame that did not come.
TEST_F(AravisTest, CameraVanishesDuringTheWait)
{
    // Waiting for a software trigger nobody sends, the camera answers but sends nothing.
    ASSERT_EQ(QProcess::execute("arv-tool-0.8", {"-a", "127.0.0.1", "control", "TriggerMode=On"}), 0);
    Use("gige:127.0.0.1");
    TracedClick(IDC_INIT_GRAB_START);
    std::thread killer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        KillCamera();
    });
    QElapsedTimer timer;
    timer.start();
    ::testing::internal::CaptureStderr();
    Click(IDC_GRAB_ONCE);
    const std::string err = ::testing::internal::GetCapturedStderr();
    killer.join();
    // The camera waits for its line: the grab says so while it waits.
    EXPECT_EQ(err, "tarvik: waiting for a trigger on Line0 (TriggerMode is On)\n"
                   "tarvik: waiting for the frame failed: the camera stopped answering (CAM_ERR_IO)\n");
    EXPECT_LT(timer.elapsed(), 14000) << "Aravis's own clean-up takes most of it";
    TracedClick(IDC_GRAB_STOP_RELEASE);
    RestartCamera();
}

// A camera that another program controls is still listed, without taking
// its control, and opening it says it is busy.
TEST_F(AravisTest, BusyCameraListedButNotOpened)
{
    GError* error = nullptr;
    GInetAddress* local = g_inet_address_new_from_string("127.0.0.1");
    ArvDevice* other = arv_gv_device_new(local, local, &error);  // takes control
    g_object_unref(local);
    ASSERT_NE(other, nullptr) << (error ? error->message : "");
    ASSERT_TRUE(arv_gv_device_is_controller(ARV_GV_DEVICE(other)));

    Use("gige:127.0.0.1");
    ::testing::internal::CaptureStderr();
    Click(IDC_INIT_GRAB_START);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "tarvik: cannot open camera gige:127.0.0.1: busy, another program controls it "
                   "(CAM_ERR_ACCESS_DENIED)\n");
    EXPECT_EQ(g_hCamera, 0u);
    EXPECT_TRUE(arv_gv_device_is_controller(ARV_GV_DEVICE(other)));
    TracedClick(IDC_GRAB_STOP_RELEASE);
    g_object_unref(other);

    // Once the other program lets go, it opens.
    ::testing::internal::CaptureStderr();
    Click(IDC_INIT_GRAB_START);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(g_hCamera, 0u);
}

// The fake GigE camera set beforehand, with another tool, to a format other
// than Mono8, running from its own description less the Mono8 entry (so that
// opening, which asks for "BGR8Packed", then "Mono8", keeps it): RGB8 and
// BayerGR8 show its colour ramp, Mono16 its grey one.
TEST_F(AravisTest, FormatsSetBeforehand)
{
    QProcess tool;
    tool.start("arv-tool-0.8", {"-a", "127.0.0.1", "genicam"});
    ASSERT_TRUE(tool.waitForFinished(20000));
    QString xml = QString::fromUtf8(tool.readAllStandardOutput());
    const QRegularExpression mono8(R"(<EnumEntry Name="Mono8".*?</EnumEntry>)",
                                   QRegularExpression::DotMatchesEverythingOption);
    ASSERT_TRUE(xml.contains(mono8));
    xml.remove(mono8);
    QTemporaryDir dir;
    QFile description(dir.filePath("no-mono8.xml"));
    ASSERT_TRUE(description.open(QIODevice::WriteOnly));
    description.write(xml.toUtf8());
    description.close();
    struct Restore {
        ~Restore() { RestartCamera(); }
    } restore;
    ASSERT_NO_FATAL_FAILURE(RestartCamera({"-g", description.fileName()}));
    Use("gige:127.0.0.1");

    std::map<std::string, std::vector<uint8_t>> shown;
    int w = 0, h = 0;
    for (const char* format : {"RGB8", "BayerGR8", "Mono16"}) {
        ASSERT_EQ(QProcess::execute("arv-tool-0.8", {"-a", "127.0.0.1", "control",
                                                     QString("PixelFormat=") + format}), 0);
        TracedClick(IDC_INIT_GRAB_START);
        ASSERT_STREQ(g_pPixelFormat, format);
        EXPECT_EQ(TracedClick(IDC_GRAB_ONCE), kLadder) << format;
        shown[format] = Pixels();
        w = g_image.GetWidth(), h = g_image.GetHeight();
        TracedClick(IDC_GRAB_STOP_RELEASE);
    }
    ASSERT_GT(w + h, 300) << "the ramp must run through all its colours";
    auto at = [&](const std::vector<uint8_t>& p, int x, int y) { return &p[(size_t(y) * w + x) * 3]; };

    // RGB8: the colour of a diagonal is one of the ramp's, and most are not grey.
    const std::vector<uint8_t>& rgb = shown["RGB8"];
    EXPECT_FALSE(IsGrey(rgb));
    int offDiagonal = 0;
    for (int y = 1; y < h; ++y)
        for (int x = 0; x + 1 < w; x += 7)
            offDiagonal += std::memcmp(at(rgb, x, y), at(rgb, x + 1, y - 1), 3) != 0;
    EXPECT_EQ(offDiagonal, 0);

    // BayerGR8: the same colours, decoded in the right order. Its frame may
    // be further along the ramp (which repeats every 255 steps): find how far.
    const std::vector<uint8_t>& bayer = shown["BayerGR8"];
    double best = 1e9;
    for (int shift = 0; shift < 255; ++shift) {
        double sum = 0;
        int n = 0;
        for (int y = 8; y < h - 8; y += 16)
            for (int x = 8; x < w - 8; x += 4) {
                const int s = (x + y + shift) % 255;  // a diagonal of the RGB8 frame with this colour
                const int rx = std::min(s, w - 1), ry = s - rx;
                if (ry >= h)
                    continue;
                for (int c = 0; c < 3; ++c)
                    sum += std::abs(at(bayer, x, y)[c] - at(rgb, rx, ry)[c]);
                n += 3;
            }
        best = std::min(best, sum / n);
    }
    EXPECT_LT(best, 8.0) << "BayerGR8 decoded in the wrong order";

    // Mono16: grey, one step up the ramp per pixel to the right.
    const std::vector<uint8_t>& mono = shown["Mono16"];
    EXPECT_TRUE(IsGrey(mono));
    int steps = 0, pairs = 0;
    for (int x = 1; x < w; ++x, ++pairs)
        steps += (at(mono, x, 0)[0] - at(mono, x - 1, 0)[0] + 256) % 256 == 1;
    EXPECT_GT(steps, pairs * 9 / 10);
}

// Aravis's in-process fake camera: the same opening and grab, no network.
TEST_F(AravisTest, InProcessFake)
{
    Use("aravis-fake");
    ExpectOpening(TracedClick(IDC_INIT_GRAB_START), "aravis-fake", false);
    EXPECT_EQ(TracedClick(IDC_GRAB_ONCE), kLadder);
    const std::vector<uint8_t> pixels = Pixels();
    ASSERT_TRUE(IsGrey(pixels));
    // The fake camera's diagonal ramp: each pixel one level above its left neighbour.
    const int w = g_image.GetWidth();
    size_t mismatches = 0;
    for (size_t i = 3; i < size_t(w) * 3; i += 3)
        mismatches += pixels[i] != (pixels[i - 3] + 1) % 255;
    EXPECT_EQ(mismatches, 0u);
}

// A camera that lets its width change while it streams (Aravis's fake does):
// a new width from the settings window during live view restarts the stream
// with frames of that width instead of leaving them unshown.
TEST_F(AravisTest, NewWidthDuringLiveView)
{
    Use("aravis-fake");
    Click(IDC_INIT_GRAB_START);
    ASSERT_NE(g_hCamera, 0u);
    widget->commands()[ID_PICTURE_LIVE]->trigger();
    ASSERT_SOON(g_lastFrame.valid);
    widget->commands()[ID_CAMERA_SETTINGS]->trigger();
    ASSERT_TRUE(dlg.SettingsWindow());
    auto* width = dlg.SettingsWindow()->widget()->findChild<QSpinBox*>("Width");
    ASSERT_TRUE(width && width->isEnabled());
    width->setValue(256);
    ASSERT_SOON(g_nWidth == 256);
    EXPECT_TRUE(dlg.IsCommandChecked(ID_PICTURE_LIVE)) << "live view goes on";
    const uint64_t after = g_lastFrame.frameId;
    ASSERT_SOON(g_lastFrame.valid && g_lastFrame.frameId != after);
    EXPECT_EQ(dlg.SettingsWindow()->Message(), "");
    TracedClick(IDC_GRAB_STOP_RELEASE);
}

// The command line reaches the GigE camera by its address alone: listed with
// its model name, and one frame grabbed to a file without any display.
TEST(AravisCommandLine, ListAndGrabThroughGige)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "TARVIK_SIM"})
        env.remove(name);
    env.insert("TARVIK_CAMERAS", "gige:127.0.0.1");
    QTemporaryDir dir;
    const QString path = dir.filePath("gige.png");
    QProcess list, grab;
    for (QProcess* p : {&list, &grab})
        p->setProcessEnvironment(env);
    list.start(TARVIK_EXE, {"--list"});
    ASSERT_TRUE(list.waitForFinished(30000));
    EXPECT_EQ(list.exitCode(), 0) << list.readAllStandardError().toStdString();
    const QList<QByteArray> fields = list.readAllStandardOutput().trimmed().split('\t');
    // The three fields as always, then the GigE camera's address, MAC and interface.
    ASSERT_EQ(fields.size(), 6);
    EXPECT_EQ(fields[3], "127.0.0.1");
    EXPECT_EQ(fields[5], "lo");
    EXPECT_EQ(fields[0], "gige:127.0.0.1");
    EXPECT_FALSE(fields[1].isEmpty());
    EXPECT_EQ(fields[2], "gige:127.0.0.1");

    grab.start(TARVIK_EXE, {"--grab", path});
    ASSERT_TRUE(grab.waitForFinished(30000));
    EXPECT_EQ(grab.exitCode(), 0) << grab.readAllStandardError().toStdString();
    const QImage image = QImage(path).convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(image.isNull());
    bool grey = true;
    for (int y = 0; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7)
            grey = grey && qRed(image.pixel(x, y)) == qGreen(image.pixel(x, y)) &&
                   qGreen(image.pixel(x, y)) == qBlue(image.pixel(x, y));
    EXPECT_TRUE(grey) << "the fake camera opens in Mono8";
}

// tarvik --check over the GigE link: clean on loopback, then with packets
// lost, which Aravis's own counters report and the verdict follows.
TEST(AravisCommandLine, CheckThroughGige)
{
    auto check = [](int* status) {
        const TarvikRun r = RunTarvik({"--check", "--json", "--frames", "20"}, {}, "gige:127.0.0.1");
        *status = r.status;
        return QJsonDocument::fromJson(r.out)["cameras"][0].toObject();
    };
    auto level = [](const QJsonObject& camera, const char* name) {
        for (const QJsonValue& c : camera["checks"].toArray())
            if (c["name"].toString() == name)
                return c["level"].toString().toStdString();
        return std::string("absent");
    };
    int status = -1;
    const QJsonObject clean = check(&status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(clean["verdict"].toString(), "ok");
    EXPECT_EQ(level(clean, "packets"), "ok");
    EXPECT_EQ(level(clean, "packet_size"), "ok");
    EXPECT_EQ(clean["link"]["address"].toString(), "127.0.0.1");
    EXPECT_EQ(clean["link"]["interface"].toString(), "lo");
    EXPECT_TRUE(clean["link"]["loopback"].toBool());
    EXPECT_GT(clean["link"]["packet_size"].toInt(), 0);
    EXPECT_EQ(clean["counters"]["n_missing_packets"].toInt(), 0);
    EXPECT_GE(clean["counters"]["n_completed_buffers"].toInt(), 20);
    EXPECT_EQ(clean["stream"]["frames_completed"].toInt(), 20);

    ASSERT_NO_FATAL_FAILURE(RestartCamera({"-r", "30"}));  // 30 packets in 1000 lost
    const QJsonObject lossy = check(&status);
    ASSERT_NO_FATAL_FAILURE(RestartCamera());
    EXPECT_EQ(status, 6);
    EXPECT_EQ(lossy["verdict"].toString(), "fail");
    EXPECT_EQ(level(lossy, "packets"), "fail");
    EXPECT_GT(lossy["counters"]["n_missing_packets"].toInt(), 0);
    EXPECT_GT(lossy["stream"]["frames_incomplete"].toInt(), 0);
}

// --check --trigger on Aravis's fake cameras, over the feature tree: the
// GigE one sends a frame per TriggerSoftware and nothing for Line0; the
// in-process one runs at 25 frames/s with TriggerMode On whatever the source,
// so its frames come as a line's would and software triggers get frames
// they did not ask for.
TEST(AravisCommandLine, TriggersOnTheFakeCameras)
{
    const struct {
        const char* name;
        const char* cameras;
        QStringList options;
        int status;
        const char* trigger;  // the trigger check's level
        std::map<QString, double> numbers, atLeast;
    } rows[] = {
        {"gige, software", "gige:127.0.0.1", {"--trigger", "software", "--frames", "50"}, 0, "ok",
         {{"sent", 50}, {"answered", 50}, {"missed", 0}, {"extra_frames", 0}}, {{"latency_median_ms", 0.001}}},
        {"gige, line0 never fires", "gige:127.0.0.1", {"--trigger", "line0", "--seconds", "1"}, 6, "fail",
         {{"answered", 0}}, {}},
        {"in-process, line0 at 25/s", "aravis-fake", {"--trigger", "line0", "--expect-rate", "25", "--frames", "20"},
         0, "ok", {{"answered", 20}}, {{"interval_jitter_ms", 0}}},
        {"in-process, software triggers ignored", "aravis-fake", {"--trigger", "software", "--frames", "10"}, 6,
         "fail", {{"sent", 10}}, {{"extra_frames", 5}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const TarvikRun r = RunTarvik(QStringList{"--check", "--json", "--max-clipped", "100"} + row.options, {},
                                      row.cameras);
        EXPECT_EQ(r.status, row.status) << r.err.toStdString();
        const QJsonObject camera = QJsonDocument::fromJson(r.out)["cameras"][0].toObject();
        std::string level = "absent";
        for (const QJsonValue& c : camera["checks"].toArray())
            if (c["name"].toString() == "trigger")
                level = c["level"].toString().toStdString();
        EXPECT_EQ(level, row.trigger);
        for (const auto& [field, value] : row.numbers)
            EXPECT_EQ(camera["trigger"][field].toDouble(), value) << field.toStdString();
        for (const auto& [field, value] : row.atLeast)
            EXPECT_GE(camera["trigger"][field].toDouble(), value) << field.toStdString();
    }
}

// tarvik --serve against the fake GigE camera: the id its landing page
// lists, probed (and released) once clean and once losing packets.
TEST(AravisCommandLine, ServeProbesGige)
{
    serve::Tarvik tarvik;
    ASSERT_NO_FATAL_FAILURE(tarvik.Start({}, {}, "gige:127.0.0.1"));
    const std::string landing = serve::Get(tarvik.Port(), "/").body;
    std::smatch link;
    ASSERT_TRUE(std::regex_search(landing, link, std::regex("href=\"/probe\\?camera=([^\"]+)\""))) << landing;
    const std::string probe = "/probe?camera=" + link[1].str() + "&frames=20";
    struct Row {
        QStringList cameraOptions;
        double verdict;
        bool missing;  // packets
    } rows[] = {{{}, 0, false}, {{"-r", "30"}, 2, true}};  // 30 packets in 1000 lost
    for (const Row& row : rows) {
        ASSERT_NO_FATAL_FAILURE(RestartCamera(row.cameraOptions));
        const std::string text =
            serve::Get(tarvik.Port(), probe, "X-Prometheus-Scrape-Timeout-Seconds: 10\r\n").body;
        const std::string shown = row.cameraOptions.join(' ').toStdString() + " " + probe + "\n" + text;
        EXPECT_EQ(serve::Sample(text, "tarvik_probe_success"), 1) << shown;
        EXPECT_EQ(serve::Sample(text, "tarvik_check_verdict"), row.verdict) << shown;
        EXPECT_NE(text.find("transport=\"GigE Vision\""), std::string::npos) << shown;
        EXPECT_EQ(serve::Sample(text, "tarvik_source_missing_packets") > 0, row.missing) << shown;
    }
    ASSERT_NO_FATAL_FAILURE(RestartCamera());
    EXPECT_EQ(tarvik.Stop(), 0);
}

// A check or a probe leaves the camera in the pixel format another tool
// set: the camera checked every minute must not change under the program
// using it. --pixel-format is the check's own, put back at release.
TEST(AravisCommandLine, CheckLeavesThePixelFormat)
{
    auto format = [] {
        QProcess tool;
        tool.start("arv-tool-0.8", {"-a", "127.0.0.1", "control", "PixelFormat"});
        EXPECT_TRUE(tool.waitForFinished(30000));
        return QString::fromUtf8(tool.readAllStandardOutput()).section(' ', 2, 2).trimmed().toStdString();
    };
    const struct {
        const char* name;
        const char* before;  // set with Aravis's own tool
        bool probe;          // through --serve, else --check
        QStringList options;
        const char* checked;  // the format the check reports
    } rows[] = {
        {"check, Mono16", "Mono16", false, {}, "Mono16"},
        {"check, RGB8", "RGB8", false, {}, "RGB8"},
        {"check, --pixel-format Mono8", "Mono16", false, {"--pixel-format", "Mono8"}, "Mono8"},
        {"probe, Mono16", "Mono16", true, {}, "Mono16"},
        {"probe, RGB8", "RGB8", true, {}, "RGB8"},
        {"probe, --pixel-format Mono8", "Mono16", true, {"--pixel-format", "Mono8"}, "Mono8"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(QProcess::execute("arv-tool-0.8", {"-a", "127.0.0.1", "control",
                                                     QString("PixelFormat=") + row.before}), 0);
        ASSERT_EQ(format(), row.before);
        std::string checked;
        if (row.probe) {
            serve::Tarvik tarvik;
            ASSERT_NO_FATAL_FAILURE(tarvik.Start(row.options, {}, "gige:127.0.0.1"));
            const std::string text = serve::Get(tarvik.Port(), "/probe?camera=gige:127.0.0.1&frames=5").body;
            EXPECT_EQ(serve::Sample(text, "tarvik_probe_success"), 1) << text;
            EXPECT_EQ(serve::Sample(text, "tarvik_picture_info{pixel_format=\"" + std::string(row.checked) + "\"}"), 1)
                << text;
            EXPECT_EQ(tarvik.Stop(), 0);
        } else {
            const TarvikRun r =
                RunTarvik(QStringList{"--check", "--json", "--frames", "5"} + row.options, {}, "gige:127.0.0.1");
            EXPECT_EQ(r.status, 0) << r.err.toStdString() << r.out.toStdString();
            EXPECT_EQ(QJsonDocument::fromJson(r.out)["cameras"][0]["picture"]["pixel_format"].toString().toStdString(),
                      row.checked);
        }
        EXPECT_EQ(format(), row.before) << "the camera's pixel format changed";
    }
    ASSERT_NO_FATAL_FAILURE(RestartCamera());
}

// A camera that stops answering during a check with --pixel-format cannot
// be given its own format back: the user hears so, rather than finding the
// camera changed later.
TEST(AravisCommandLine, CheckSaysWhenThePixelFormatCannotGoBack)
{
    ASSERT_EQ(QProcess::execute("arv-tool-0.8", {"-a", "127.0.0.1", "control", "PixelFormat=Mono16"}), 0);
    QProcessEnvironment env = TarvikEnvironment({}, "gige:127.0.0.1");
    env.insert("TARVIK_CAMERA_TRACE", "1");
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(TARVIK_EXE, {"--check", "--pixel-format", "Mono8", "--seconds", "120"});
    QByteArray err;
    ASSERT_SOON((err += p.readAllStandardError()).contains("CamCaptureStart"));
    std::ifstream in(PidFile());
    pid_t camera = 0;
    in >> camera;
    ASSERT_GT(camera, 0);
    // Stopped, not gone: it answers again once the check is over.
    ::kill(camera, SIGSTOP);
    const bool finished = p.waitForFinished(60000);
    ::kill(camera, SIGCONT);
    ASSERT_TRUE(finished);
    err += p.readAllStandardError();
    EXPECT_TRUE(err.contains("tarvik: could not put the pixel format of camera gige:127.0.0.1 back to Mono16\n"))
        << err.toStdString();
    ASSERT_NO_FATAL_FAILURE(RestartCamera());
}

// --check --all past a GigE camera that another program controls: listed
// with its name, said to be busy, and the camera after it still checked.
TEST(AravisCommandLine, CheckAllPastABusyGigeCamera)
{
    GError* error = nullptr;
    GInetAddress* local = g_inet_address_new_from_string("127.0.0.1");
    ArvDevice* other = arv_gv_device_new(local, local, &error);  // takes control
    g_object_unref(local);
    ASSERT_NE(other, nullptr) << (error ? error->message : "");
    const TarvikRun r =
        RunTarvik({"--check", "--all", "--frames", "3"}, "width=160,height=120,rate=100", "gige:127.0.0.1,sim");
    g_object_unref(other);
    EXPECT_EQ(r.status, 6) << r.err.toStdString();
    const QRegularExpression busy("^Camera   gige:127\\.0\\.0\\.1  [^\"\\n]+ \\(gige:127\\.0\\.0\\.1\\)\n"
                                  "Verdict  fail: not opened: cannot open camera gige:127\\.0\\.0\\.1: busy, "
                                  "another program controls it \\(CAM_ERR_ACCESS_DENIED\\)\n\n"
                                  "Camera   sim-0  ");
    EXPECT_TRUE(busy.match(QString::fromUtf8(r.out)).hasMatch()) << r.out.toStdString();
}

// --set on the GigE camera: the value lands in the camera (Aravis's own
// tool reads it back), and a new size is grabbed at that size.
TEST(AravisCommandLine, SetThroughGige)
{
    auto tarvik = [](const QStringList& args) {
        const TarvikRun r = RunTarvik(args, {}, "gige:127.0.0.1");
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        return r.out;
    };
    EXPECT_EQ(tarvik({"--set", "TestRegister=42", "--get", "TestRegister"}), "TestRegister=42\n");
    QProcess tool;
    tool.start("arv-tool-0.8", {"-a", "127.0.0.1", "control", "TestRegister"});
    ASSERT_TRUE(tool.waitForFinished(30000));
    EXPECT_TRUE(tool.readAllStandardOutput().startsWith("TestRegister = 42 ")) << "set in the camera itself";

    QTemporaryDir dir;
    const QString path = dir.filePath("small.png");
    tarvik({"--set", "Width=256", "--set", "Height=128", "--grab", path});
    EXPECT_EQ(QImage(path).size(), QSize(256, 128));
    ASSERT_NO_FATAL_FAILURE(RestartCamera());  // its defaults back for the other cases
}

// Cameras whose picture cannot be had, from descriptions of their own served
// by the fake camera: one without PixelFormat, whose features are of many
// kinds of node, and one whose region reads 20000 x 20000. Their features
// are listed, read, changed, saved and loaded all the same; a grab or a
// check fails with what stops the picture, until a setting puts it right.
TEST(AravisCommandLine, PictureMissing)
{
    const char kNoFormat[] = "cannot read the pixel format of camera gige:127.0.0.1";
    const char kTooLarge[] = "reports a picture of 20000 x 20000 pixels, which cannot be shown";
    const struct {
        const char* description;  // under tests/data, served from this row on
        QStringList args;         // "@" stands for the test's folder
        int status;
        const char* out;    // expected in stdout
        const char* err;    // expected in stderr (empty: stderr must be empty)
        const char* saved;  // expected in @/cam.txt, when not empty
        QSize picture;      // of @/x.png; empty: none is written
    } cases[] = {
        {"no-pixel-format.xml", {"--features"}, 0, "LightBrightness", "", "", {}},
        {"no-pixel-format.xml", {"--get", "DeviceTemperature", "--get", "PayloadSize"}, 0,
         "DeviceTemperature=20.5\nPayloadSize=262144\n", "", "", {}},
        {"no-pixel-format.xml",
         {"--set", "LightSelector=Bar", "--set", "LightBrightness=77", "--set", "LightEnable=true", "--set",
          "BinningHorizontal=4", "--set", "DeviceUserID=bench", "--save-settings", "@/cam.txt"},
         0, "", "", "LightSelector=Bar\nLightEnable=true\nLightBrightness=77\n", {}},
        {"no-pixel-format.xml", {"--get", "BinningHorizontal", "--get", "DeviceUserID"}, 0,
         "BinningHorizontal=4\nDeviceUserID=bench\n", "", "", {}},
        {"no-pixel-format.xml", {"--settings", "@/small.txt", "--get", "Width"}, 0, "Width=256\n", "", "", {}},
        {"no-pixel-format.xml", {"--set", "LightBrightness=300"}, 3, "", "cannot set LightBrightness", "", {}},
        {"no-pixel-format.xml", {"--grab", "@/x.png"}, 3, "", kNoFormat, "", {}},
        {"no-pixel-format.xml", {"--check", "--frames", "3"}, 3, "", kNoFormat, "", {}},
        {"wide-region.xml", {"--features"}, 0, "20000", "", "", {}},
        {"wide-region.xml", {"--get", "Width"}, 0, "Width=20000\n", "", "", {}},
        {"wide-region.xml", {"--save-settings", "@/cam.txt"}, 0, "", "", "Width=20000\nHeight=20000\n", {}},
        {"wide-region.xml", {"--grab", "@/x.png"}, 3, "", kTooLarge, "", {}},
        {"wide-region.xml", {"--check", "--frames", "3"}, 3, "", kTooLarge, "", {}},
        {"wide-region.xml", {"--set", "Width=640", "--set", "Height=480", "--grab", "@/x.png"}, 0, "", "", "",
         {640, 480}},
        {"wide-region.xml", {"--settings", "@/small.txt", "--grab", "@/x.png"}, 0, "", "", "", {256, 128}},
    };
    struct Restore {
        ~Restore() { RestartCamera(); }
    } restore;
    QString served;
    for (const auto& c : cases) {
        const QString description = QStringLiteral(TARVIK_TEST_DATA "/") + c.description;
        if (description != served) {
            served = description;
            ASSERT_NO_FATAL_FAILURE(RestartCamera({"-g", served}));
        }
        QTemporaryDir dir;
        QFile small(dir.filePath("small.txt"));
        ASSERT_TRUE(small.open(QIODevice::WriteOnly) && small.write("Width=256\nHeight=128\n") > 0);
        small.close();
        QStringList args;
        for (const QString& a : c.args)
            args << QString(a).replace("@", dir.path());
        const std::string row = std::string(c.description) + " " + args.join(' ').toStdString();
        const TarvikRun r = RunTarvik(args, {}, "gige:127.0.0.1");
        EXPECT_EQ(r.status, c.status) << row << ": " << r.err.toStdString();
        EXPECT_TRUE(r.out.contains(c.out)) << row << ": " << r.out.left(300).toStdString();
        if (*c.err)
            EXPECT_TRUE(r.err.contains(c.err)) << row << ": " << r.err.toStdString();
        else
            EXPECT_EQ(r.err.toStdString(), "") << row;
        if (*c.saved) {
            QFile saved(dir.filePath("cam.txt"));
            EXPECT_TRUE(saved.open(QIODevice::ReadOnly) && saved.readAll().contains(c.saved)) << row;
        }
        EXPECT_EQ(QImage(dir.filePath("x.png")).size(), c.picture.isValid() ? c.picture : QSize(0, 0)) << row;
    }
}

// Sources combine in the order given; a GigE address where nothing answers
// adds no camera and says so, the other sources still count.
TEST(AravisSources, CombinedInOrder)
{
    const struct {
        const char* cameras;
        Lines ids;
    } cases[] = {
        {"gige:127.0.0.1,sim", {"gige:127.0.0.1", "sim-0"}},
        {"sim,gige:127.0.0.1", {"sim-0", "gige:127.0.0.1"}},
        {"aravis-fake,sim", {"aravis-fake", "sim-0"}},
        {"gige:127.0.0.9,sim", {"sim-0"}},  // loopback, nobody there
    };
    for (const auto& c : cases) {
        setenv("TARVIK_CAMERAS", c.cameras, 1);
        unsetenv("TARVIK_SIM");
        ASSERT_EQ(CamStartup(), CAM_OK) << c.cameras;
        ::testing::internal::CaptureStderr();
        ASSERT_EQ(CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce"), CAM_OK);
        const std::string err = ::testing::internal::GetCapturedStderr();
        CamCameraInfo info[4] = {};
        uint32_t n = 0;
        ASSERT_EQ(CamCameraList(info, 4, &n, sizeof info[0]), CAM_OK);
        Lines ids;
        for (uint32_t i = 0; i < n; ++i)
            ids.push_back(info[i].cameraId);
        EXPECT_EQ(ids, c.ids) << c.cameras;
        EXPECT_EQ(err.find("no GigE Vision camera answered") != std::string::npos, c.ids.size() == 1)
            << c.cameras << ": " << err;
        CamShutdown();
    }
    unsetenv("TARVIK_CAMERAS");
}

// The fake GigE camera streams into frames announced once and queued again
// after each use: they come back complete, frame ids rising; with packets
// lost on the way some come back incomplete, and the stream goes on.
TEST(AravisStream, FramesComeBackAndAreQueuedAgain)
{
    for (const bool lossy : {false, true}) {
        if (lossy) {
            ASSERT_NO_FATAL_FAILURE(RestartCamera({"--gvsp-lost-ratio", "300"}));
        }
        setenv("TARVIK_CAMERAS", "gige:127.0.0.1", 1);
        ASSERT_EQ(CamStartup(), CAM_OK);
        ASSERT_EQ(CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce"), CAM_OK);
        CamHandle h = 0;
        ASSERT_EQ(CamCameraOpen("gige:127.0.0.1", CAM_ACCESS_CONTROL, &h), CAM_OK);
        int64_t payload = 0;
        ASSERT_EQ(CamFeatureIntGet(h, "PayloadSize", &payload), CAM_OK);
        std::vector<std::vector<uint8_t>> memory(3, std::vector<uint8_t>(size_t(payload)));
        std::vector<CamFrame> frames(3);
        for (size_t i = 0; i < frames.size(); ++i) {
            frames[i].buffer = memory[i].data();
            frames[i].bufferSize = uint32_t(payload);
            ASSERT_EQ(CamFrameAnnounce(h, &frames[i], sizeof frames[i]), CAM_OK);
        }
        ASSERT_EQ(CamCaptureStart(h), CAM_OK);
        for (CamFrame& f : frames)
            ASSERT_EQ(CamFrameQueue(h, &f, nullptr), CAM_OK);
        ASSERT_EQ(CamFeatureCommandRun(h, "AcquisitionStart"), CAM_OK);
        int complete = 0, incomplete = 0;
        uint64_t lastId = 0;
        for (int i = 0; i < 12; ++i) {
            CamFrame* f = nullptr;
            const CamError err = CamFrameWaitNext(h, &f, 5000);
            if (lossy && err == CAM_ERR_TIMEOUT)
                continue;  // every packet of a frame can be lost
            ASSERT_EQ(err, CAM_OK) << i;
            ASSERT_TRUE(f >= frames.data() && f < frames.data() + frames.size());
            (f->receiveStatus == CAM_FRAME_COMPLETE ? complete : incomplete)++;
            if (f->receiveStatus == CAM_FRAME_COMPLETE) {
                EXPECT_GT(f->frameId, lastId);
                lastId = f->frameId;
            }
            ASSERT_EQ(CamFrameQueue(h, f, nullptr), CAM_OK);
        }
        if (lossy) {
            EXPECT_GT(incomplete, 0);
        } else {
            EXPECT_EQ(complete, 12);
        }
        EXPECT_EQ(CamFeatureCommandRun(h, "AcquisitionStop"), CAM_OK);
        EXPECT_EQ(CamCaptureEnd(h), CAM_OK);
        for (CamFrame& f : frames)
            EXPECT_EQ(CamFrameRevoke(h, &f), CAM_OK);
        CamShutdown();
    }
    RestartCamera();
    unsetenv("TARVIK_CAMERAS");
}

// Frames from Aravis carry the buffer's timestamp, increasing, and the
// host's real time of arrival, in single grabs and in streams. Aravis's
// in-process fake camera: no network, nothing shared with other tests.
TEST(AravisStream, FramesCarryTheirTimes)
{
    auto realTime = [] {
        return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count());
    };
    for (const bool stream : {false, true}) {
        SCOPED_TRACE(stream ? "stream" : "single grabs");
        setenv("TARVIK_CAMERAS", "aravis-fake", 1);
        ASSERT_EQ(CamStartup(), CAM_OK);
        ASSERT_EQ(CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce"), CAM_OK);
        CamHandle h = 0;
        ASSERT_EQ(CamCameraOpen("aravis-fake", CAM_ACCESS_CONTROL, &h), CAM_OK);
        int64_t payload = 0;
        ASSERT_EQ(CamFeatureIntGet(h, "PayloadSize", &payload), CAM_OK);
        std::vector<std::vector<uint8_t>> memory(2, std::vector<uint8_t>(size_t(payload)));
        std::vector<CamFrame> frames(2);
        for (size_t i = 0; i < frames.size(); ++i) {
            frames[i].buffer = memory[i].data();
            frames[i].bufferSize = uint32_t(payload);
            ASSERT_EQ(CamFrameAnnounce(h, &frames[i], sizeof frames[i]), CAM_OK);
        }
        ASSERT_EQ(CamCaptureStart(h), CAM_OK);
        for (size_t i = 0; i < (stream ? frames.size() : 1); ++i)
            ASSERT_EQ(CamFrameQueue(h, &frames[i], nullptr), CAM_OK);
        ASSERT_EQ(CamFeatureCommandRun(h, "AcquisitionStart"), CAM_OK);
        uint64_t lastStamp = 0;
        for (int i = 0; i < 4; ++i) {
            CamFrame* f = &frames[0];
            const uint64_t before = realTime();
            ASSERT_EQ(stream ? CamFrameWaitNext(h, &f, 5000) : CamFrameWait(h, f, 5000), CAM_OK) << i;
            const uint64_t after = realTime();
            EXPECT_GT(f->timestamp, lastStamp) << i;
            // Aravis stamps the arrival on its stream thread: before the wait
            // returned, and after it began but for a frame already waiting.
            EXPECT_LE(f->receiveTime, after) << i;
            EXPECT_GE(f->receiveTime, before - uint64_t(1000000000)) << i;
            lastStamp = f->timestamp;
            ASSERT_EQ(CamFrameQueue(h, f, nullptr), CAM_OK);
        }
        EXPECT_EQ(CamFeatureCommandRun(h, "AcquisitionStop"), CAM_OK);
        EXPECT_EQ(CamCaptureEnd(h), CAM_OK);
        for (CamFrame& f : frames)
            EXPECT_EQ(CamFrameRevoke(h, &f), CAM_OK);
        CamShutdown();
    }
    unsetenv("TARVIK_CAMERAS");
}

// Live view's stream from the fake GigE camera: frames arrive and are shown;
// killing the camera mid-stream ends the stream, saying it stopped answering.
TEST_F(AravisTest, LiveStreamEndsWhenTheCameraDies)
{
    Use("gige:127.0.0.1");
    Click(IDC_INIT_GRAB_START);
    ASSERT_NE(g_hCamera, 0u);
    LiveStream stream;
    ASSERT_FALSE(stream.Start(nullptr).Failed());
    int shown = 0;
    for (int i = 0; i < 500 && shown < 3; ++i) {
        LiveStream::Frame frame;
        if (stream.Take(&frame)) {
            shown += ShowLiveFrame(frame, 100, 75) ? 1 : 0;
            stream.GiveBack(frame);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(shown, 3);
    KillCamera();
    QElapsedTimer timer;
    timer.start();
    while (!stream.Ended().Failed() && timer.elapsed() < 10000)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_LT(timer.elapsed(), 5000) << "a vanished camera is noticed within about a second";
    const Outcome ended = stream.Stop();
    EXPECT_EQ(ended.step, Step::Wait);
    EXPECT_EQ(ended.code, CAM_ERR_IO);
    TracedClick(IDC_GRAB_STOP_RELEASE);
    RestartCamera();
}

// Frames kept in a recording, as FFmpeg and libtiff's own tools count them.
int FramesIn(const QString& path)
{
    QProcess p;
    if (path.endsWith(".mkv"))
        p.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                            "stream=nb_read_frames", "-of", "csv=p=0", path});
    else
        p.start("bash", {"-c", "tiffinfo \"$0\" 2>/dev/null | grep -c 'TIFF Directory'", path});
    if (!p.waitForFinished(60000))
        return -1;
    bool ok = false;
    const int n = p.readAllStandardOutput().trimmed().toInt(&ok);
    return ok ? n : -1;
}

// The CSV's lines of frames written, split into fields.
std::vector<QStringList> WrittenLines(const QString& csv)
{
    QFile f(csv);
    std::vector<QStringList> lines;
    if (!f.open(QIODevice::ReadOnly))
        return lines;
    f.readLine();
    while (!f.atEnd()) {
        const QStringList fields = QString(f.readLine()).trimmed().split(',');
        if (fields.size() == 8 && fields[7] == "yes")
            lines.push_back(fields);
    }
    return lines;
}

// --record on the GigE camera: the recording reads back whole with the
// camera's own timestamps; the camera killed mid-recording ends it with
// status 4, every frame written before it still readable.
TEST(AravisCommandLine, RecordThroughGige)
{
    for (const char* file : {"x.mkv", "x.tiff"}) {
        SCOPED_TRACE(file);
        QTemporaryDir dir;
        const TarvikRun run = RunTarvik({"--record", file, "--frames", "5"}, {}, "gige:127.0.0.1", dir.path());
        ASSERT_EQ(run.status, 0) << run.err.toStdString();
        EXPECT_EQ(FramesIn(dir.filePath(file)), 5);
        const std::vector<QStringList> lines = WrittenLines(dir.filePath(QString(file) + ".csv"));
        ASSERT_EQ(lines.size(), 5u);
        for (size_t i = 1; i < lines.size(); ++i) {
            EXPECT_GT(lines[i][2].toULongLong(), lines[i - 1][2].toULongLong()) << "camera timestamps, line " << i;
            EXPECT_GE(lines[i][3].toULongLong(), lines[i - 1][3].toULongLong()) << "receive times, line " << i;
        }
        EXPECT_NE(lines[0][2], "");
        EXPECT_TRUE(run.err.contains("tarvik: recorded 5 frames")) << run.err.toStdString();

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "TARVIK_SIM", "TARVIK_CAMERA_TRACE"})
            env.remove(name);
        env.insert("TARVIK_CAMERAS", "gige:127.0.0.1");
        const QString path = dir.filePath(QString("gone.") + QFileInfo(file).suffix());
        QProcess tarvik;
        tarvik.setProcessEnvironment(env);
        tarvik.start(TARVIK_EXE, {"--record", path});
        ASSERT_TRUE(tarvik.waitForStarted());
        ASSERT_SOON_WITHIN(WrittenLines(path + ".csv").size() >= 3, 15000);
        KillCamera();
        const bool finished = tarvik.waitForFinished(30000);
        RestartCamera();
        ASSERT_TRUE(finished);
        EXPECT_EQ(tarvik.exitCode(), 4);
        const QString err = tarvik.readAllStandardError();
        const QRegularExpressionMatch kept =
            QRegularExpression("^tarvik: recorded ([0-9]+) frames to ", QRegularExpression::MultilineOption).match(err);
        ASSERT_TRUE(kept.hasMatch()) << err.toStdString();
        EXPECT_GE(kept.captured(1).toInt(), 3);
        EXPECT_EQ(FramesIn(path), kept.captured(1).toInt()) << err.toStdString();
        EXPECT_EQ(int(WrittenLines(path + ".csv").size()), kept.captured(1).toInt());
    }
}

// A Mono8 frame of the fake camera held to what it sent: its picture is the
// same along each anti-diagonal (its level follows x + y + frame id), so the
// level most pixels of a diagonal have, black aside (where more than half of
// a diagonal was lost), is what the camera sent there; any other level but
// black is an older frame's.
struct Diagonals {
    int64_t older = 0;  // pixels of an older frame
    int64_t black = 0;
};
Diagonals JudgeDiagonals(const uint8_t* p, int width, int height)
{
    std::vector<std::map<uint8_t, int>> levels(255);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (p[y * width + x])
                ++levels[size_t((x + y) % 255)][p[y * width + x]];
    std::vector<uint8_t> sent(255);
    for (size_t d = 0; d < 255; ++d)
        if (!levels[d].empty())
            sent[d] = std::max_element(levels[d].begin(), levels[d].end(), [](auto& a, auto& b) {
                          return a.second < b.second;
                      })->first;
    Diagonals j;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint8_t v = p[y * width + x];
            j.black += v == 0;  // the picture itself is black along one diagonal in 255
            j.older += v != 0 && v != sent[size_t((x + y) % 255)];
        }
    return j;
}

// Lost GVSP packets (the fake camera drops the given share, per thousand):
// an incomplete frame is recorded with what came, and black where a packet
// was lost, never with the bytes of the older frame its buffer held.
TEST(AravisCommandLine, LostPacketsRecordedBlackNeverStale)
{
    const struct {
        const char* lost;
        int frames;
        QStringList controls;  // set with Aravis's own tool first
    } rows[] = {
        {"10", 60, {}},
        {"200", 40, {}},
        // Packets of 5 bytes each, fewer than a mark's 8, and a frame that
        // is no whole number of them (301 x 41).
        {"200", 20, {"Width=301", "Height=41", "ArvGevSCPSPacketSize=41", "AcquisitionFrameRate=10"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.lost + (" " + row.controls.join(' ')).toStdString());
        RestartCamera({"--gvsp-lost-ratio", row.lost});
        for (const QString& control : row.controls)
            ASSERT_EQ(QProcess::execute("arv-tool-0.8", {"-a", "127.0.0.1", "control", control}), 0) << control.toStdString();
        QTemporaryDir dir;
        const TarvikRun run = RunTarvik({"--record", "loss.mkv", "--frames", QString::number(row.frames)}, {},
                                        "gige:127.0.0.1", dir.path());
        RestartCamera();
        ASSERT_EQ(run.status, 0) << run.err.toStdString();
        // A frame whose leader packet was lost has no id of its own: it must
        // not count the camera's whole id range as dropped.
        const QRegularExpressionMatch dropped =
            QRegularExpression("recorded [0-9]+ frames to .*: ([0-9]+) dropped by the camera").match(run.err);
        ASSERT_TRUE(dropped.hasMatch()) << run.err.toStdString();
        EXPECT_LT(dropped.captured(1).toInt(), row.frames) << run.err.toStdString();
        QFile csv(dir.filePath("loss.mkv.csv"));
        ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
        csv.readLine();
        std::vector<bool> incomplete;
        int width = 0, height = 0;
        while (!csv.atEnd()) {
            const QStringList f = QString(csv.readLine()).trimmed().split(',');
            if (f.size() == 8 && (f[7] == "yes" || f[7] == "incomplete")) {
                incomplete.push_back(f[7] == "incomplete");
                width = f[4].toInt(), height = f[5].toInt();
                ASSERT_EQ(f[6], "Mono8");
            }
        }
        ASSERT_EQ(int(incomplete.size()), row.frames);
        ASSERT_GT(std::count(incomplete.begin(), incomplete.end(), true), 0) << "no packet was lost";
        QProcess ffmpeg;
        ffmpeg.start("ffmpeg", {"-v", "error", "-i", dir.filePath("loss.mkv"), "-fps_mode", "passthrough", "-f",
                                "rawvideo", "-pix_fmt", "gray", "-"});
        ASSERT_TRUE(ffmpeg.waitForFinished(60000));
        const QByteArray raw = ffmpeg.readAllStandardOutput();
        const qsizetype frameBytes = qsizetype(width) * height;
        ASSERT_GT(width + height, 255) << "every diagonal level appears";
        ASSERT_EQ(raw.size(), frameBytes * row.frames) << ffmpeg.readAllStandardError().toStdString();
        for (int i = 0; i < row.frames; ++i) {
            if (!incomplete[size_t(i)])
                continue;
            const Diagonals j =
                JudgeDiagonals(reinterpret_cast<const uint8_t*>(raw.constData() + frameBytes * i), width, height);
            EXPECT_EQ(j.older, 0) << "frame " << i << ": pixels of an older frame";
            EXPECT_LT(j.black, frameBytes / 2) << "frame " << i << ": most packets came, yet it is black";
        }
    }
}

// Whether the camera's packets carry extended ids sets where each packet's
// data lies. Cameras declare GevGVSPExtendedIDMode as an enumeration (Off,
// On) or as a boolean: both are read, neither taken for "not extended"
// because of its type. The fake camera, given each in its own description,
// sends no extended ids (Off).
TEST(AravisStream, ExtendedIdModeReadOfEitherType)
{
    QProcess dump;
    dump.start("arv-tool-0.8", {"-a", "127.0.0.1", "genicam"});
    ASSERT_TRUE(dump.waitForFinished(30000));
    const QString xml = QString::fromUtf8(dump.readAllStandardOutput());
    const qsizetype end = xml.lastIndexOf("</RegisterDescription>");
    ASSERT_GT(end, 0) << "no description from the fake camera";
    const struct {
        const char* type;
        const char* node;  // on the fake camera's free test register
        const char* off;
    } rows[] = {
        {"enumeration",
         "<Enumeration Name=\"GevGVSPExtendedIDMode\" NameSpace=\"Standard\">"
         "<EnumEntry Name=\"Off\"><Value>0</Value></EnumEntry><EnumEntry Name=\"On\"><Value>1</Value></EnumEntry>"
         "<pValue>TestRegister</pValue></Enumeration>",
         "Off"},
        {"boolean",
         "<Boolean Name=\"GevGVSPExtendedIDMode\" NameSpace=\"Standard\"><pValue>TestRegister</pValue>"
         "<OnValue>1</OnValue><OffValue>0</OffValue></Boolean>",
         "false"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.type);
        QTemporaryDir dir;
        QFile described(dir.filePath("fake.xml"));
        ASSERT_TRUE(described.open(QIODevice::WriteOnly));
        ASSERT_GT(described.write((xml.left(end) + row.node + xml.mid(end)).toUtf8()), 0);
        described.close();
        ASSERT_NO_FATAL_FAILURE(RestartCamera({"-g", described.fileName()}));
        ASSERT_EQ(QProcess::execute("arv-tool-0.8", {"-a", "127.0.0.1", "control",
                                                     QString("GevGVSPExtendedIDMode=") + row.off}), 0);
        QProcess tarvik;
        QProcessEnvironment env = TarvikEnvironment({}, "gige:127.0.0.1");
        env.insert("TARVIK_CAMERA_TRACE", "1");
        tarvik.setProcessEnvironment(env);
        tarvik.setWorkingDirectory(dir.path());
        tarvik.start(TARVIK_EXE, {"--grab", "g.png"});
        ASSERT_TRUE(tarvik.waitForFinished(60000));
        const QString err = QString::fromUtf8(tarvik.readAllStandardError());
        // What is asked is that the mode was read; a frame a busy loopback
        // lost a packet of (status 4, "damaged") is no sign of the reading.
        EXPECT_TRUE(tarvik.exitCode() == 0 || err.contains("the frame arrived damaged")) << err.toStdString();
        EXPECT_FALSE(err.contains("aravis: GevGVSPExtendedIDMode:")) << err.toStdString();
    }
    ASSERT_NO_FATAL_FAILURE(RestartCamera());
}

// The same frames in live view, where no complete frame comes: those taken
// for showing keep what came and are black where packets were lost.
TEST_F(AravisTest, LostPacketsShownBlackNeverStale)
{
    RestartCamera({"--gvsp-lost-ratio", "200"});
    Use("gige:127.0.0.1");
    Click(IDC_INIT_GRAB_START);
    ASSERT_NE(g_hCamera, 0u);
    ASSERT_STREQ(g_pPixelFormat, "Mono8");
    LiveStream::Options options;
    options.showIncomplete = true;
    LiveStream stream;
    ASSERT_FALSE(stream.Start(nullptr, options).Failed());
    for (int taken = 0; taken < 3; ++taken) {
        LiveStream::Frame frame;
        ASSERT_SOON_WITHIN(stream.Take(&frame), 10000);
        const int64_t bytes = int64_t(g_nWidth) * g_nHeight;
        ASSERT_EQ(frame.size, bytes);
        if (!frame.complete) {
            const Diagonals j = JudgeDiagonals(frame.data, int(g_nWidth), int(g_nHeight));
            EXPECT_EQ(j.older, 0) << "pixels of an older frame";
            EXPECT_LT(j.black, bytes / 2) << "most packets came, yet it is black";
        }
        stream.GiveBack(frame);
    }
    EXPECT_GT(stream.CountsNow().incompleteShown, 0u);
    EXPECT_FALSE(stream.Stop().Failed());
    Click(IDC_GRAB_STOP_RELEASE);
    RestartCamera();
}

// gige:HOST takes a discovery answer from HOST only: another host on the
// network cannot pose as the camera.
TEST(AravisSources, DiscoveryAnswerFromTheCameraOnly)
{
    auto bound = [](const char* address, uint16_t port) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, address, &a.sin_addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << address;
        return fd;
    };
    const int camera = bound("127.0.0.5", 3956), impostor = bound("127.0.0.6", 0);
    for (const bool fromCamera : {true, false}) {
        // Answers every discovery request it gets, from the camera's address or another.
        std::atomic<bool> stop{false};
        std::thread answerer([&] {
            while (!stop) {
                pollfd p{camera, POLLIN, 0};
                if (poll(&p, 1, 50) != 1)
                    continue;
                uint8_t request[64];
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t n = recvfrom(camera, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &length);
                uint8_t ack[8 + 0xf8] = {0x00, 0x00, 0x00, 0x03, 0x00, 0xf8};
                if (n >= 8)
                    std::memcpy(ack + 6, request + 6, 2);  // the request id
                std::strcpy(reinterpret_cast<char*>(ack + 8 + 0x68), "Answering camera");
                sendto(fromCamera ? camera : impostor, ack, sizeof ack, 0, reinterpret_cast<sockaddr*>(&from),
                       length);
            }
        });
        setenv("TARVIK_CAMERAS", "gige:127.0.0.5", 1);
        ASSERT_EQ(CamStartup(), CAM_OK);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce"), CAM_OK);
        ::testing::internal::GetCapturedStderr();
        CamCameraInfo info{};
        uint32_t n = 0;
        EXPECT_EQ(CamCameraList(&info, 1, &n, sizeof info), CAM_OK);
        EXPECT_EQ(n, fromCamera ? 1u : 0u);
        if (n == 1) {
            EXPECT_STREQ(info.cameraName, "Answering camera");
        }
        CamShutdown();
        stop = true;
        answerer.join();
    }
    close(camera);
    close(impostor);
    unsetenv("TARVIK_CAMERAS");
}

}  // namespace
