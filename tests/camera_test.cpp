// The camera library through its C interface, with the simulated camera.
#include "platform/camera/cam.h"
#include "platform/camera/camfeature.h"
#include "platform/camera/camsim.h"
#include "platform/camera/camtext.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// Starts the library on the simulated camera with the given settings and
// opens the first camera; shuts down afterwards.
class Library : public ::testing::Test {
protected:
    void Start(const char* sim = "", const char* cameras = nullptr)
    {
        if (cameras)
            setenv("TARVIK_CAMERAS", cameras, 1);
        else
            unsetenv("TARVIK_CAMERAS");
        setenv("TARVIK_SIM", sim, 1);
        ASSERT_EQ(CamStartup(), CAM_OK);
        ASSERT_EQ(CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce"), CAM_OK);
    }
    CamHandle OpenFirst()
    {
        CamCameraInfo info[1];
        uint32_t n = 0;
        EXPECT_EQ(CamCameraList(info, 1, &n, sizeof info[0]), CAM_OK);
        EXPECT_EQ(n, 1u);
        CamHandle h = 0;
        EXPECT_EQ(CamCameraOpen(info[0].cameraId, CAM_ACCESS_CONTROL, &h), CAM_OK);
        return h;
    }
    void TearDown() override
    {
        CamShutdown();
        unsetenv("TARVIK_CAMERAS");
        unsetenv("TARVIK_SIM");
    }
};

struct CallCase {
    const char* name;
    std::function<CamError(CamHandle camera)> call;
    CamError expected;
};

// Every operation refuses to run before start-up instead of touching state.
TEST_F(Library, EverythingFailsBeforeStartup)
{
    CamFrame frame{};
    uint32_t n = 0;
    int64_t v = 0;
    const char* s = nullptr;
    bool done = false;
    CamHandle h = 0;
    const std::vector<std::function<CamError()>> calls = {
        [&] { return CamShutdown(); },
        [&] { return CamCameraList(nullptr, 0, &n, sizeof(CamCameraInfo)); },
        [&] { return CamCameraOpen("sim-0", 1, &h); },
        [&] { return CamCameraClose(2); },
        [&] { return CamFeatureIntGet(2, "Width", &v); },
        [&] { return CamFeatureEnumGet(2, "PixelFormat", &s); },
        [&] { return CamFeatureEnumSet(2, "PixelFormat", "Mono8"); },
        [&] { return CamFeatureCommandRun(1, "GeVDiscoveryAllOnce"); },
        [&] { return CamFeatureCommandIsDone(1, "GeVDiscoveryAllOnce", &done); },
        [&] { return CamFrameAnnounce(2, &frame, sizeof frame); },
        [&] { return CamFrameRevoke(2, &frame); },
        [&] { return CamCaptureStart(2); },
        [&] { return CamCaptureEnd(2); },
        [&] { return CamFrameQueue(2, &frame, nullptr); },
        [&] { return CamFrameWait(2, &frame, 10); },
    };
    for (size_t i = 0; i < calls.size(); ++i)
        EXPECT_EQ(calls[i](), CAM_ERR_NOT_STARTED) << "call " << i;
}

// Bad handles, null pointers, wrong sizes and wrong names each give their own code.
TEST_F(Library, ArgumentErrors)
{
    CamHandle closed = 0;
    {
        // A camera opened and closed again leaves a stale handle.
        Start("count=2");
        CamCameraInfo info[2];
        uint32_t n = 0;
        ASSERT_EQ(CamCameraList(info, 2, &n, sizeof info[0]), CAM_OK);
        ASSERT_EQ(CamCameraOpen(info[0].cameraId, 1, &closed), CAM_OK);
        ASSERT_EQ(CamCameraClose(closed), CAM_OK);
    }
    CamHandle open = 0;
    {
        CamCameraInfo info[2];
        uint32_t n = 0;
        ASSERT_EQ(CamCameraList(info, 2, &n, sizeof info[0]), CAM_OK);
        ASSERT_EQ(CamCameraOpen(info[1].cameraId, 1, &open), CAM_OK);
    }
    int64_t v = 0;
    const char* s = nullptr;
    uint32_t n = 0;
    CamFrame frame{};
    const CallCase cases[] = {
        {"int get on handle 0", [&](CamHandle) { return CamFeatureIntGet(0, "Width", &v); }, CAM_ERR_BAD_HANDLE},
        {"int get on closed", [&](CamHandle) { return CamFeatureIntGet(closed, "Width", &v); }, CAM_ERR_BAD_HANDLE},
        {"close handle 0", [&](CamHandle) { return CamCameraClose(0); }, CAM_ERR_BAD_HANDLE},
        {"close closed", [&](CamHandle) { return CamCameraClose(closed); }, CAM_ERR_BAD_HANDLE},
        {"capture start on 0", [&](CamHandle) { return CamCaptureStart(0); }, CAM_ERR_BAD_HANDLE},
        {"list null count", [&](CamHandle) { return CamCameraList(nullptr, 0, nullptr, sizeof(CamCameraInfo)); }, CAM_ERR_BAD_PARAMETER},
        {"list bad size", [&](CamHandle) { return CamCameraList(nullptr, 0, &n, 8); }, CAM_ERR_BAD_SIZE},
        {"open null id", [&](CamHandle) { CamHandle h; return CamCameraOpen(nullptr, 1, &h); }, CAM_ERR_BAD_PARAMETER},
        {"open null out", [&](CamHandle) { return CamCameraOpen("sim-0", 1, nullptr); }, CAM_ERR_BAD_PARAMETER},
        {"open bad mode", [&](CamHandle) { CamHandle h; return CamCameraOpen("sim-0", 7, &h); }, CAM_ERR_BAD_PARAMETER},
        {"open unknown", [&](CamHandle) { CamHandle h; return CamCameraOpen("nope", 1, &h); }, CAM_ERR_NOT_FOUND},
        {"open twice", [&](CamHandle) { CamHandle h; return CamCameraOpen("sim-1", 1, &h); }, CAM_ERR_ACCESS_DENIED},
        {"int null name", [&](CamHandle h) { return CamFeatureIntGet(h, nullptr, &v); }, CAM_ERR_BAD_PARAMETER},
        {"int null out", [&](CamHandle h) { return CamFeatureIntGet(h, "Width", nullptr); }, CAM_ERR_BAD_PARAMETER},
        {"int unknown", [&](CamHandle h) { return CamFeatureIntGet(h, "NoSuchFeature", &v); }, CAM_ERR_NOT_FOUND},
        {"int of float", [&](CamHandle h) { return CamFeatureIntGet(h, "Gain", &v); }, CAM_ERR_WRONG_TYPE},
        {"value set not a number", [&](CamHandle h) { return CamFeatureValueSet(h, "ExposureTime", "1e400"); }, CAM_ERR_WRONG_TYPE},
        {"value set above range", [&](CamHandle h) { return CamFeatureValueSet(h, "Gain", "25"); }, CAM_ERR_INVALID_VALUE},
        {"value set off increment", [&](CamHandle h) { return CamFeatureValueSet(h, "Width", "13"); }, CAM_ERR_INVALID_VALUE},
        {"value set not an entry", [&](CamHandle h) { return CamFeatureValueSet(h, "ExposureAuto", "On"); }, CAM_ERR_INVALID_VALUE},
        {"value set read-only", [&](CamHandle h) { return CamFeatureValueSet(h, "SensorWidth", "8"); }, CAM_ERR_ACCESS_DENIED},
        {"value set disabled", [&](CamHandle h) { return CamFeatureValueSet(h, "AcquisitionFrameRate", "5"); }, CAM_ERR_ACCESS_DENIED},
        {"value set null", [&](CamHandle h) { return CamFeatureValueSet(h, "Gain", nullptr); }, CAM_ERR_BAD_PARAMETER},
        {"value of a command", [&](CamHandle h) { return CamFeatureValueGet(h, "AcquisitionStart", &s); }, CAM_ERR_WRONG_TYPE},
        {"value of a category", [&](CamHandle h) { return CamFeatureValueGet(h, "AnalogControl", &s); }, CAM_ERR_WRONG_TYPE},
        {"info size", [&](CamHandle h) { CamFeatureInfo i; return CamFeatureInfoGet(h, "Gain", &i, 8); }, CAM_ERR_BAD_SIZE},
        {"info size one short", [&](CamHandle h) { CamFeatureInfo i; return CamFeatureInfoGet(h, "Gain", &i, sizeof i - 1); }, CAM_ERR_BAD_SIZE},
        {"info record of an older caller", [&](CamHandle h) {
             CamFeatureInfo i{};
             i.representation = 77;  // past the older record: must stay as it is
             const CamError e = CamFeatureInfoGet(h, "Width", &i, offsetof(CamFeatureInfo, representation));
             return e == CAM_OK && i.representation == 77 && i.intIncrement == 4 ? CAM_OK : CAM_ERR_INTERNAL;
         }, CAM_OK},
        {"children of a feature", [&](CamHandle h) { uint32_t n; return CamFeatureChildren(h, "Gain", nullptr, 0, &n); }, CAM_ERR_WRONG_TYPE},
        {"children null count", [&](CamHandle h) { return CamFeatureChildren(h, "Root", nullptr, 0, nullptr); }, CAM_ERR_BAD_PARAMETER},
        {"int of enum", [&](CamHandle h) { return CamFeatureIntGet(h, "PixelFormat", &v); }, CAM_ERR_WRONG_TYPE},
        {"enum of int", [&](CamHandle h) { return CamFeatureEnumGet(h, "Width", &s); }, CAM_ERR_WRONG_TYPE},
        {"enum set bad value", [&](CamHandle h) { return CamFeatureEnumSet(h, "PixelFormat", "YUV422"); }, CAM_ERR_INVALID_VALUE},
        {"enum set null value", [&](CamHandle h) { return CamFeatureEnumSet(h, "PixelFormat", nullptr); }, CAM_ERR_BAD_PARAMETER},
        {"command of int", [&](CamHandle h) { return CamFeatureCommandRun(h, "Width"); }, CAM_ERR_WRONG_TYPE},
        {"command unknown", [&](CamHandle h) { return CamFeatureCommandRun(h, "Reboot"); }, CAM_ERR_NOT_FOUND},
        {"done null out", [&](CamHandle h) { return CamFeatureCommandIsDone(h, "AcquisitionStart", nullptr); }, CAM_ERR_BAD_PARAMETER},
        {"system knows only discovery", [&](CamHandle) { return CamFeatureCommandRun(1, "AcquisitionStart"); }, CAM_ERR_NOT_FOUND},
        {"system discovery is a command", [&](CamHandle) { return CamFeatureIntGet(1, "GeVDiscoveryAllOnce", &v); }, CAM_ERR_WRONG_TYPE},
        {"announce null", [&](CamHandle h) { return CamFrameAnnounce(h, nullptr, sizeof(CamFrame)); }, CAM_ERR_BAD_PARAMETER},
        {"announce bad record size", [&](CamHandle h) { return CamFrameAnnounce(h, &frame, 24); }, CAM_ERR_BAD_SIZE},
        {"announce no buffer", [&](CamHandle h) { return CamFrameAnnounce(h, &frame, sizeof frame); }, CAM_ERR_BAD_PARAMETER},
        {"queue before announce", [&](CamHandle h) { return CamFrameQueue(h, &frame, nullptr); }, CAM_ERR_BAD_SEQUENCE},
        {"wait without queue", [&](CamHandle h) { return CamFrameWait(h, &frame, 10); }, CAM_ERR_BAD_SEQUENCE},
        {"revoke unknown", [&](CamHandle h) { return CamFrameRevoke(h, &frame); }, CAM_ERR_BAD_SEQUENCE},
        {"end without start", [&](CamHandle h) { return CamCaptureEnd(h); }, CAM_ERR_BAD_SEQUENCE},
    };
    for (const CallCase& c : cases)
        EXPECT_EQ(c.call(open), c.expected) << c.name;
}

// Start-up twice is harmless; shut-down closes what is open; identifiers stay valid.
TEST_F(Library, Lifecycle)
{
    Start();
    ASSERT_EQ(CamStartup(), CAM_OK);
    CamCameraInfo info[1];
    uint32_t n = 0;
    ASSERT_EQ(CamCameraList(info, 1, &n, sizeof info[0]), CAM_OK);
    const char* id = info[0].cameraId;
    CamHandle h = 0;
    ASSERT_EQ(CamCameraOpen(id, 1, &h), CAM_OK);
    EXPECT_EQ(h, 2u);
    ASSERT_EQ(CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce"), CAM_OK);
    EXPECT_STREQ(id, "sim-0");
    ASSERT_EQ(CamShutdown(), CAM_OK);
    EXPECT_STREQ(id, "sim-0");
    // After a new start-up the old camera is closed: it can be opened again.
    Start();
    CamHandle again = 0;
    EXPECT_EQ(CamCameraOpen("sim-0", 1, &again), CAM_OK);
    EXPECT_EQ(CamFeatureIntGet(h, "Width", nullptr), CAM_ERR_BAD_PARAMETER);
}

// The list reports how many cameras there are, and fills no more than asked.
TEST_F(Library, CameraList)
{
    Start("count=3");
    uint32_t n = 0;
    ASSERT_EQ(CamCameraList(nullptr, 0, &n, sizeof(CamCameraInfo)), CAM_OK);
    EXPECT_EQ(n, 3u);
    CamCameraInfo info[3] = {};
    ASSERT_EQ(CamCameraList(info, 2, &n, sizeof info[0]), CAM_OK);
    EXPECT_EQ(n, 2u);
    EXPECT_STREQ(info[1].cameraId, "sim-1");
    EXPECT_STREQ(info[1].sourceName, "sim");
    EXPECT_EQ(info[2].cameraId, nullptr);
    CamShutdown();
    Start("count=0");
    ASSERT_EQ(CamCameraList(nullptr, 0, &n, sizeof(CamCameraInfo)), CAM_OK);
    EXPECT_EQ(n, 0u);
}

// Bad configuration fails start-up with its own code and one line on stderr.
TEST_F(Library, BadConfiguration)
{
    const struct {
        const char* cameras;
        const char* sim;
        const char* message;
    } cases[] = {
        {"sim,webcam", "", "unknown camera source \"webcam\""},
        {"sim,,sim", "", "empty source name"},
        {"sim:x", "", "takes no argument"},
        {"sim", "count=-1", "count must be"},
        {"sim", "width=wide", "width must be"},
        {"sim", "adjust=sometimes", "adjust must be"},
        {"sim", "gain=3", "unknown setting \"gain\""},
        // Control characters from the environment never break the one line.
        {"sim", "wid\nth=1", "unknown setting \"wid\\x0ath\""},
        {"sim\r", "", "unknown camera source \"sim\\x0d\""},
    };
    for (const auto& c : cases) {
        setenv("TARVIK_CAMERAS", c.cameras, 1);
        setenv("TARVIK_SIM", c.sim, 1);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(CamStartup(), CAM_ERR_BAD_CONFIG) << c.cameras << " " << c.sim;
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        uint32_t n = 0;
        EXPECT_EQ(CamCameraList(nullptr, 0, &n, sizeof(CamCameraInfo)), CAM_ERR_NOT_STARTED);
    }
}

// The settings parser: defaults, each key, and hostile numbers kept as given.
TEST(SimSettings, Parse)
{
    using cam::SimSettings;
    SimSettings s;
    std::string error;
    ASSERT_EQ(cam::ParseSimSettings(nullptr, &s, &error), CAM_OK);
    EXPECT_EQ(s.count, 1);
    EXPECT_EQ(s.width, 1292);
    EXPECT_EQ(s.height, 964);
    EXPECT_EQ(s.formats, (std::vector<std::string>{"BGR8Packed", "Mono8"}));
    ASSERT_EQ(cam::ParseSimSettings("count=0,width=-7,height=4294967301,formats=Mono8,adjust=never,"
                                    "frames=incomplete,payload=1099511627776",
                                    &s, &error),
              CAM_OK)
        << error;
    EXPECT_EQ(s.count, 0);
    EXPECT_EQ(s.width, -7);
    EXPECT_EQ(s.height, 4294967301);
    EXPECT_EQ(s.formats, (std::vector<std::string>{"Mono8"}));
    EXPECT_EQ(s.adjust, SimSettings::Adjust::Never);
    EXPECT_EQ(s.frames, SimSettings::Frames::Incomplete);
    EXPECT_TRUE(s.payloadOverride);
    EXPECT_EQ(s.payload, int64_t(1) << 40);
    for (const char* bad : {"count", "count=65", "width=", "width=1x", "height=99999999999999999999",
                            "formats=", "formats=Mono8+", "frames=some", "payload=big", ",",
                            "count=1,"}) {
        EXPECT_EQ(cam::ParseSimSettings(bad, &s, &error), CAM_ERR_BAD_CONFIG) << bad;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}

// Features of the simulated camera, as the opening sequence uses them.
TEST_F(Library, SimFeatures)
{
    Start("width=100,height=50,formats=Mono8,adjust=ok");
    CamHandle h = OpenFirst();
    int64_t v = 0;
    ASSERT_EQ(CamFeatureIntGet(h, "Width", &v), CAM_OK);
    EXPECT_EQ(v, 100);
    ASSERT_EQ(CamFeatureIntGet(h, "Height", &v), CAM_OK);
    EXPECT_EQ(v, 50);
    EXPECT_EQ(CamFeatureEnumSet(h, "PixelFormat", "BGR8Packed"), CAM_ERR_INVALID_VALUE);
    ASSERT_EQ(CamFeatureEnumSet(h, "PixelFormat", "Mono8"), CAM_OK);
    const char* format = nullptr;
    ASSERT_EQ(CamFeatureEnumGet(h, "PixelFormat", &format), CAM_OK);
    EXPECT_STREQ(format, "Mono8");
    ASSERT_EQ(CamFeatureIntGet(h, "PayloadSize", &v), CAM_OK);
    EXPECT_EQ(v, 5000);
    ASSERT_EQ(CamFeatureCommandRun(h, "GVSPAdjustPacketSize"), CAM_OK);
    int polls = 0;
    bool done = false;
    while (!done && polls < 100) {
        ASSERT_EQ(CamFeatureCommandIsDone(h, "GVSPAdjustPacketSize", &done), CAM_OK);
        ++polls;
    }
    EXPECT_TRUE(done);
    EXPECT_GT(polls, 1);

    CamShutdown();
    Start("adjust=missing");
    h = OpenFirst();
    EXPECT_EQ(CamFeatureCommandRun(h, "GVSPAdjustPacketSize"), CAM_ERR_NOT_FOUND);
    EXPECT_EQ(CamFeatureCommandIsDone(h, "GVSPAdjustPacketSize", &done), CAM_ERR_NOT_FOUND);

    CamShutdown();
    Start("adjust=never");
    h = OpenFirst();
    ASSERT_EQ(CamFeatureCommandRun(h, "GVSPAdjustPacketSize"), CAM_OK);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(CamFeatureCommandIsDone(h, "GVSPAdjustPacketSize", &done), CAM_OK);
        EXPECT_FALSE(done);
    }
}

// The trace names each call with its arguments and result, one line each.
TEST_F(Library, Trace)
{
    setenv("TARVIK_CAMERA_TRACE", "1", 1);
    ::testing::internal::CaptureStderr();
    Start();
    CamHandle h = OpenFirst();
    CamFeatureEnumSet(h, "PixelFormat", "BGR8Packed");
    CamFeatureEnumSet(h, "Pixel\"Format", nullptr);
    std::string err = ::testing::internal::GetCapturedStderr();
    unsetenv("TARVIK_CAMERA_TRACE");
    EXPECT_EQ(err,
              "cam: CamStartup() -> 0\n"
              "cam: CamFeatureCommandRun(1, \"GeVDiscoveryAllOnce\") -> 0\n"
              "cam: CamCameraList(ptr, 1, ptr, 24) -> 0\n"
              "cam: CamCameraOpen(\"sim-0\", 1, ptr) -> 0\n"
              "cam: CamFeatureEnumSet(2, \"PixelFormat\", \"BGR8Packed\") -> 0\n"
              "cam: CamFeatureEnumSet(2, \"Pixel\\\"Format\", null) -> -4\n");
}

// A buffer with guard bytes behind it, to see that nothing writes past its size.
struct GuardedBuffer {
    explicit GuardedBuffer(size_t n) : size(n), bytes(n + kGuard, 0xAB) {}
    bool GuardIntact() const
    {
        for (size_t i = size; i < bytes.size(); ++i)
            if (bytes[i] != 0xAB)
                return false;
        return true;
    }
    CamFrame Frame()
    {
        CamFrame frame{};
        frame.buffer = bytes.data();
        frame.bufferSize = static_cast<uint32_t>(size);
        return frame;
    }
    static constexpr size_t kGuard = 64;
    size_t size;
    std::vector<uint8_t> bytes;
};

class Frames : public Library {
protected:
    // Announce, start, queue and start acquisition, as the capture does.
    void Arm(CamHandle h, CamFrame* frame, GuardedBuffer& buffer)
    {
        frame->buffer = buffer.bytes.data();
        frame->bufferSize = static_cast<uint32_t>(buffer.size);
        ASSERT_EQ(CamFrameAnnounce(h, frame, sizeof *frame), CAM_OK);
        ASSERT_EQ(CamCaptureStart(h), CAM_OK);
        ASSERT_EQ(CamFrameQueue(h, frame, nullptr), CAM_OK);
        ASSERT_EQ(CamFeatureCommandRun(h, "AcquisitionStart"), CAM_OK);
    }
};

// A complete frame fills the caller's buffer in place with the test picture.
TEST_F(Frames, CompleteFrameFillsBuffer)
{
    Start("width=16,height=9");
    CamHandle h = OpenFirst();
    GuardedBuffer buffer(16 * 9 * 3);
    CamFrame frame{};
    Arm(h, &frame, buffer);
    ASSERT_EQ(CamFrameWait(h, &frame, 1000), CAM_OK);
    EXPECT_EQ(frame.receiveStatus, CAM_FRAME_COMPLETE);
    EXPECT_EQ(frame.buffer, buffer.bytes.data());
    EXPECT_EQ(frame.imageSize, 16u * 9 * 3);
    std::vector<uint8_t> expected(16 * 9 * 3);
    cam::RenderSimPicture(expected.data(), expected.size(), 16, 9, false, frame.frameId);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.bytes.begin()));
    EXPECT_TRUE(buffer.GuardIntact());
    EXPECT_EQ(CamFeatureCommandRun(h, "AcquisitionStop"), CAM_OK);
    EXPECT_EQ(CamCaptureEnd(h), CAM_OK);
    EXPECT_EQ(CamFrameRevoke(h, &frame), CAM_OK);
}

// The camera never writes past the buffer, whatever payload it claims.
TEST_F(Frames, NeverWritesPastBuffer)
{
    const struct {
        const char* sim;
        size_t buffer;
        CamError announce;
    } cases[] = {
        {"width=16,height=9", 16 * 9 * 3 - 1, CAM_ERR_BAD_SIZE},  // smaller than the payload
        {"width=16,height=9,payload=100", 100, CAM_OK},           // payload short of the picture
        {"width=16,height=9,payload=0", 100, CAM_ERR_BAD_SIZE},
        {"width=16,height=9,payload=-5", 100, CAM_ERR_BAD_SIZE},
        {"width=4294967297,height=2,payload=64", 64, CAM_OK},     // absurd width
        {"width=-3,height=7,payload=64", 64, CAM_OK},
    };
    for (const auto& c : cases) {
        Start(c.sim);
        CamHandle h = OpenFirst();
        GuardedBuffer buffer(c.buffer);
        CamFrame frame = buffer.Frame();
        ASSERT_EQ(CamFrameAnnounce(h, &frame, sizeof frame), c.announce) << c.sim;
        if (c.announce == CAM_OK) {
            ASSERT_EQ(CamCaptureStart(h), CAM_OK);
            ASSERT_EQ(CamFrameQueue(h, &frame, nullptr), CAM_OK);
            ASSERT_EQ(CamFeatureCommandRun(h, "AcquisitionStart"), CAM_OK);
            EXPECT_EQ(CamFrameWait(h, &frame, 1000), CAM_OK) << c.sim;
            EXPECT_LE(frame.imageSize, c.buffer);
        }
        EXPECT_TRUE(buffer.GuardIntact()) << c.sim;
        CamShutdown();
    }
}

// No frame within the time-out: the wait says so after about that long.
TEST_F(Frames, WaitHonoursTimeout)
{
    for (const char* sim : {"frames=none,width=8,height=8", "width=8,height=8"}) {
        Start(sim);
        CamHandle h = OpenFirst();
        GuardedBuffer buffer(8 * 8 * 3);
        CamFrame frame{};
        Arm(h, &frame, buffer);
        if (std::strcmp(sim, "width=8,height=8") == 0) {
            // Acquisition stopped: nothing arrives.
            ASSERT_EQ(CamFeatureCommandRun(h, "AcquisitionStop"), CAM_OK);
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(CamFrameWait(h, &frame, 50), CAM_ERR_TIMEOUT) << sim;
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
        CamShutdown();
    }
}

// Incomplete frames arrive with a non-zero receive status.
TEST_F(Frames, IncompleteFrame)
{
    Start("frames=incomplete,width=8,height=8");
    CamHandle h = OpenFirst();
    GuardedBuffer buffer(8 * 8 * 3);
    CamFrame frame{};
    Arm(h, &frame, buffer);
    ASSERT_EQ(CamFrameWait(h, &frame, 1000), CAM_OK);
    EXPECT_NE(frame.receiveStatus, CAM_FRAME_COMPLETE);
}

// Calls out of order are refused, and closing with frames in flight is clean.
TEST_F(Frames, Misuse)
{
    Start("width=8,height=8");
    CamHandle h = OpenFirst();
    GuardedBuffer buffer(8 * 8 * 3);
    CamFrame frame = buffer.Frame();
    CamFrame other = frame;
    EXPECT_EQ(CamFrameQueue(h, &frame, nullptr), CAM_ERR_BAD_SEQUENCE);  // before announce
    ASSERT_EQ(CamFrameAnnounce(h, &frame, sizeof frame), CAM_OK);
    EXPECT_EQ(CamFrameAnnounce(h, &frame, sizeof frame), CAM_ERR_BAD_SEQUENCE);  // twice
    EXPECT_EQ(CamFrameQueue(h, &frame, nullptr), CAM_ERR_BAD_SEQUENCE);  // before capture start
    ASSERT_EQ(CamCaptureStart(h), CAM_OK);
    EXPECT_EQ(CamCaptureStart(h), CAM_ERR_BAD_SEQUENCE);
    EXPECT_EQ(CamFrameWait(h, &frame, 10), CAM_ERR_BAD_SEQUENCE);  // not queued
    EXPECT_EQ(CamFrameQueue(h, &frame, [](CamHandle, CamFrame*) {}), CAM_ERR_NOT_IMPLEMENTED);
    ASSERT_EQ(CamFrameQueue(h, &frame, nullptr), CAM_OK);
    EXPECT_EQ(CamFrameQueue(h, &frame, nullptr), CAM_ERR_BAD_SEQUENCE);  // queued twice
    EXPECT_EQ(CamFrameRevoke(h, &other), CAM_ERR_BAD_SEQUENCE);  // never announced
    EXPECT_EQ(CamCameraClose(h), CAM_OK);
    EXPECT_EQ(CamFrameRevoke(h, &frame), CAM_ERR_BAD_HANDLE);
}

// The test picture: bar order, ramp direction, grey levels, a moving square.
TEST(SimPicture, Content)
{
    const uint32_t w = 80, h = 48;
    std::vector<uint8_t> bgr(w * h * 3), mono(w * h), next(w * h * 3);
    cam::RenderSimPicture(bgr.data(), bgr.size(), w, h, false, 0);
    cam::RenderSimPicture(mono.data(), mono.size(), w, h, true, 0);
    cam::RenderSimPicture(next.data(), next.size(), w, h, false, 1);
    for (int bar = 0; bar < 8; ++bar) {
        const uint32_t x = bar * 10 + 5;
        for (uint32_t y : {0u, h / 3, h * 2 / 3 - 1}) {
            const uint8_t* p = &bgr[(y * w + x) * 3];
            EXPECT_EQ((std::vector<uint8_t>(p, p + 3)),
                      (std::vector<uint8_t>(cam::kSimBarColours[bar], cam::kSimBarColours[bar] + 3)))
                << "bar " << bar << " row " << y;
            const uint8_t* c = cam::kSimBarColours[bar];
            EXPECT_EQ(mono[y * w + x], cam::SimLuma(c[0], c[1], c[2]));
        }
    }
    const uint8_t* bottom = &bgr[(h - 1) * w * 3];
    EXPECT_EQ(bottom[0], 0);
    EXPECT_EQ(bottom[(w - 1) * 3], 255);
    for (uint32_t x = 1; x < w; ++x)
        EXPECT_GE(bottom[x * 3], bottom[(x - 1) * 3]);
    EXPECT_EQ(cam::SimLuma(255, 255, 255), 255);
    EXPECT_EQ(cam::SimLuma(0, 0, 255), 76);  // red
    EXPECT_NE(bgr, next) << "successive frames must differ";
}

}  // namespace

namespace {

// Frames announced once and queued again after each use, as a stream does.
struct Stream {
    Stream(CamHandle camera, size_t frames, int64_t payload)
        : h(camera), buffers(frames, GuardedBuffer(size_t(payload))), records(frames)
    {
        for (size_t i = 0; i < frames; ++i) {
            records[i] = buffers[i].Frame();
            EXPECT_EQ(CamFrameAnnounce(h, &records[i], sizeof records[i]), CAM_OK);
        }
        EXPECT_EQ(CamCaptureStart(h), CAM_OK);
        for (CamFrame& f : records)
            EXPECT_EQ(CamFrameQueue(h, &f, nullptr), CAM_OK);
        EXPECT_EQ(CamFeatureCommandRun(h, "AcquisitionStart"), CAM_OK);
    }
    ~Stream()
    {
        EXPECT_EQ(CamFeatureCommandRun(h, "AcquisitionStop"), CAM_OK);
        EXPECT_EQ(CamCaptureEnd(h), CAM_OK);
        for (CamFrame& f : records)
            EXPECT_EQ(CamFrameRevoke(h, &f), CAM_OK);
    }
    size_t IndexOf(const CamFrame* f) const { return size_t(f - records.data()); }

    CamHandle h;
    std::vector<GuardedBuffer> buffers;
    std::vector<CamFrame> records;
};

// A stream hands its frames back oldest first, each holding the picture of
// its frame id exactly as a single grab renders it, in every way of laying
// out samples (the moving square redone rather than the whole frame), also
// mirrored by ReverseX.
TEST_F(Frames, StreamDeliversEveryPictureInOrder)
{
    for (const bool mirror : {false, true})
    for (const char* format : {"BGR8Packed", "Mono8", "BayerGB12p", "Mono10Packed", "YUV422_8_UYVY", "Mono16",
                               "RGBa8", "Foo"}) {
        // 101 x 72: the square (9 pixels) lands off every 8-pixel boundary.
        Start((std::string("width=101,height=72,rate=1000,formats=") + format).c_str());
        CamHandle h = OpenFirst();
        ASSERT_EQ(CamFeatureValueSet(h, "ReverseX", mirror ? "true" : "false"), CAM_OK);
        int64_t payload = 0;
        ASSERT_EQ(CamFeatureIntGet(h, "PayloadSize", &payload), CAM_OK);
        auto stream = std::make_unique<Stream>(h, 3, payload);
        std::vector<uint8_t> expected(size_t(payload), 0);
        for (uint64_t i = 0; i < 12; ++i) {
            CamFrame* f = nullptr;
            ASSERT_EQ(CamFrameWaitNext(h, &f, 1000), CAM_OK) << format;
            EXPECT_EQ(stream->IndexOf(f), i % 3) << format;
            EXPECT_GE(f->frameId, i) << format;
            EXPECT_EQ(f->receiveStatus, CAM_FRAME_COMPLETE);
            cam::RenderSimFrame(expected.data(), expected.size(), 101, 72, format, f->frameId, cam::SimLook::Bars,
                                {1, 0, mirror});
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stream->buffers[i % 3].bytes.begin()))
                << format << " frame " << f->frameId << (mirror ? " mirrored" : "");
            EXPECT_TRUE(stream->buffers[i % 3].GuardIntact());
            ASSERT_EQ(CamFrameQueue(h, f, nullptr), CAM_OK);
        }
        stream.reset();
        CamShutdown();
    }
}

// Pictures made while the program holds every frame are lost, as with a real
// camera: the frame ids skip them. Misuse is refused.
TEST_F(Frames, StreamLosesWhatNoFrameWasQueuedFor)
{
    Start("width=16,height=8,rate=2000");
    CamHandle h = OpenFirst();
    CamFrame* f = nullptr;
    EXPECT_EQ(CamFrameWaitNext(h, &f, 10), CAM_ERR_BAD_SEQUENCE);  // nothing queued
    EXPECT_EQ(CamFrameWaitNext(h, nullptr, 10), CAM_ERR_BAD_PARAMETER);
    {
        Stream stream(h, 2, 16 * 8 * 3);
        uint64_t last = 0;
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(CamFrameWaitNext(h, &f, 1000), CAM_OK);
            if (i > 0) {
                EXPECT_GT(f->frameId, last + 1) << "a picture made while no frame was queued arrived";
            }
            last = f->frameId;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // 40 pictures at 2000 a second
            ASSERT_EQ(CamFrameQueue(h, f, nullptr), CAM_OK);
        }
    }
    EXPECT_EQ(CamFeatureCommandRun(h, "AcquisitionStart"), CAM_OK);
    EXPECT_EQ(CamFrameWaitNext(h, &f, 10), CAM_ERR_BAD_SEQUENCE);  // capture ended: nothing queued
}

// The host's real time, as the library stamps a frame's arrival.
uint64_t RealTimeNs()
{
    return uint64_t(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

// Each frame carries the camera's clock and the host's time of arrival, in
// single grabs and in streams: the simulated camera's clock advances with its
// frame pacing, a frame period per frame id. A caller built before the times
// announces the shorter record and finds nothing past it written.
TEST_F(Frames, FramesCarryTheirTimes)
{
    constexpr uint64_t kPeriodNs = 5000000;  // rate=200
    constexpr uint64_t kUntouched = 0xABABABABABABABABu;
    const struct {
        const char* name;
        bool stream;
        uint32_t recordSize;
    } rows[] = {
        {"single grabs", false, sizeof(CamFrame)},
        {"stream", true, sizeof(CamFrame)},
        {"single grabs, older record", false, offsetof(CamFrame, timestamp)},
        {"stream, older record", true, offsetof(CamFrame, timestamp)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Start("width=16,height=8,rate=200");
        CamHandle h = OpenFirst();
        std::vector<GuardedBuffer> buffers(2, GuardedBuffer(16 * 8 * 3));
        CamFrame records[2];
        for (size_t i = 0; i < 2; ++i) {
            std::memset(static_cast<void*>(&records[i]), 0xAB, sizeof records[i]);
            records[i].buffer = buffers[i].bytes.data();
            records[i].bufferSize = uint32_t(buffers[i].size);
            ASSERT_EQ(CamFrameAnnounce(h, &records[i], row.recordSize), CAM_OK);
        }
        ASSERT_EQ(CamCaptureStart(h), CAM_OK);
        for (size_t i = 0; i < (row.stream ? 2 : 1); ++i)
            ASSERT_EQ(CamFrameQueue(h, &records[i], nullptr), CAM_OK);
        ASSERT_EQ(CamFeatureCommandRun(h, "AcquisitionStart"), CAM_OK);
        uint64_t lastStamp = 0, lastId = 0;
        for (int i = 0; i < 6; ++i) {
            CamFrame* f = &records[0];
            const uint64_t before = RealTimeNs();
            ASSERT_EQ(row.stream ? CamFrameWaitNext(h, &f, 1000) : CamFrameWait(h, f, 1000), CAM_OK);
            const uint64_t after = RealTimeNs();
            if (row.recordSize < sizeof(CamFrame)) {
                EXPECT_EQ(f->timestamp, kUntouched);
                EXPECT_EQ(f->receiveTime, kUntouched);
            } else {
                EXPECT_GE(f->receiveTime, before);
                EXPECT_LE(f->receiveTime, after);
                EXPECT_GT(f->timestamp, lastStamp);
                if (row.stream && i > 0) {
                    const int64_t off = int64_t(f->timestamp - lastStamp) - int64_t((f->frameId - lastId) * kPeriodNs);
                    EXPECT_LT(std::llabs(off), 1000) << "ns off the frame pacing";
                }
            }
            lastStamp = f->timestamp;
            lastId = f->frameId;
            ASSERT_EQ(CamFrameQueue(h, f, nullptr), CAM_OK);
        }
        EXPECT_EQ(CamFeatureCommandRun(h, "AcquisitionStop"), CAM_OK);
        EXPECT_EQ(CamCaptureEnd(h), CAM_OK);
        for (CamFrame& f : records)
            EXPECT_EQ(CamFrameRevoke(h, &f), CAM_OK);
        CamShutdown();
    }
    // Any other record size is refused.
    Start("width=16,height=8");
    CamHandle h = OpenFirst();
    GuardedBuffer buffer(16 * 8 * 3);
    CamFrame frame = buffer.Frame();
    for (const uint32_t size : {uint32_t(offsetof(CamFrame, timestamp) + 8), uint32_t(sizeof(CamFrame) + 8), 0u})
        EXPECT_EQ(CamFrameAnnounce(h, &frame, size), CAM_ERR_BAD_SIZE) << size;
}

}  // namespace

namespace {

// Values as text: whole numbers, numbers, booleans and entries parsed
// whole and checked against range, increment and entries.
TEST(FeatureValues, CheckedAgainstTheDescription)
{
    static const char* const entries[] = {"Off", "Once", "Continuous"};
    CamFeatureInfo integer{};
    integer.type = CAM_TYPE_INTEGER, integer.intMinimum = 8, integer.intMaximum = 64, integer.intIncrement = 4;
    integer.unit = "px";
    CamFeatureInfo real{};
    real.type = CAM_TYPE_FLOAT, real.floatMinimum = 0.5, real.floatMaximum = 10, real.floatIncrement = 0.5;
    CamFeatureInfo choice{};
    choice.type = CAM_TYPE_ENUMERATION, choice.entryCount = 3, choice.entries = entries;
    CamFeatureInfo flag{};
    flag.type = CAM_TYPE_BOOLEAN;
    CamFeatureInfo wide{};
    wide.type = CAM_TYPE_INTEGER, wide.intMinimum = INT64_MIN, wide.intMaximum = INT64_MAX, wide.intIncrement = 1;
    CamFeatureInfo hex = wide;
    hex.intMinimum = -16, hex.intMaximum = 0xffff, hex.representation = CAM_REPRESENTATION_HEX;
    CamFeatureInfo gain{};
    gain.type = CAM_TYPE_FLOAT, gain.floatMinimum = 0, gain.floatMaximum = 48, gain.unit = "dB";
    const struct {
        const CamFeatureInfo* info;
        std::string text;
        CamError result;
        const char* canonical;  // on success; else a part of why
    } cases[] = {
        {&integer, "16", CAM_OK, "16"},           {&integer, "0x10", CAM_ERR_WRONG_TYPE, "expects a whole number, got 0x10"},
        // Leading zeros are decimal; no other base for a decimal feature.
        {&integer, "040", CAM_OK, "40"},          {&integer, "08", CAM_OK, "8"},
        {&integer, "+016", CAM_OK, "16"},         {&integer, "0640", CAM_ERR_INVALID_VALUE, "0640 is above the maximum 64 px"},
        {&integer, "0b10", CAM_ERR_WRONG_TYPE, "whole number"},
        {&integer, "-", CAM_ERR_WRONG_TYPE, "whole number"},
        {&integer, "--8", CAM_ERR_WRONG_TYPE, "whole number"},
        {&integer, "16 ", CAM_ERR_WRONG_TYPE, "got \"16 \""},
        {&wide, "-9223372036854775808", CAM_OK, "-9223372036854775808"},
        {&wide, "9223372036854775807", CAM_OK, "9223372036854775807"},
        // Past the 64-bit range is still a whole number, past any limit.
        {&wide, "9223372036854775808", CAM_ERR_INVALID_VALUE, "9223372036854775808 is above the maximum"},
        {&wide, "-9223372036854775809", CAM_ERR_INVALID_VALUE, "-9223372036854775809 is below the minimum"},
        // A feature shown in hex takes either and writes 0x and lower case.
        {&hex, "0x1F", CAM_OK, "0x1f"},           {&hex, "31", CAM_OK, "0x1f"},
        {&hex, "0X00ff", CAM_OK, "0xff"},         {&hex, "-0x10", CAM_OK, "-0x10"},
        {&hex, "0x10000", CAM_ERR_INVALID_VALUE, "0x10000 is above the maximum 0xffff"},
        {&hex, "0x", CAM_ERR_WRONG_TYPE, "decimal, or 0x and hex digits"},
        {&hex, "0x-1", CAM_ERR_WRONG_TYPE, "whole number"},
        {&hex, "ff", CAM_ERR_WRONG_TYPE, "whole number"},
        {&integer, "12abc", CAM_ERR_WRONG_TYPE, "whole number"},
        {&integer, " 16", CAM_ERR_WRONG_TYPE, "whole number"},
        {&integer, "99999999999999999999", CAM_ERR_INVALID_VALUE, "above the maximum 64 px"},
        {&integer, "-99999999999999999999", CAM_ERR_INVALID_VALUE, "below the minimum 8 px"},
        {&integer, "4", CAM_ERR_INVALID_VALUE, "4 is below the minimum 8 px"},
        {&integer, "68", CAM_ERR_INVALID_VALUE, "68 is above the maximum 64 px"},
        {&integer, "10", CAM_ERR_INVALID_VALUE, "not a step of 4 from 8"},
        {&real, "2.5", CAM_OK, "2.5"},            {&real, "1e1", CAM_OK, "10"},
        {&real, "nan", CAM_ERR_WRONG_TYPE, "a number"},
        {&real, "1e400", CAM_ERR_WRONG_TYPE, "a number"},
        {&real, "2.25", CAM_ERR_INVALID_VALUE, "not a step of 0.5"},
        {&real, "0x1p2", CAM_ERR_WRONG_TYPE, "a number"},
        {&real, "inf", CAM_ERR_WRONG_TYPE, "a number"},
        {&real, "1e", CAM_ERR_WRONG_TYPE, "a number"},
        {&real, "1.5.0", CAM_ERR_WRONG_TYPE, "a number"},
        {&real, ".", CAM_ERR_WRONG_TYPE, "a number"},
        {&real, ".5", CAM_OK, "0.5"},            {&real, "+05.e0", CAM_OK, "5"},
        {&real, "1e-320", CAM_ERR_INVALID_VALUE, "1e-320 is below the minimum 0.5"},
        {&gain, "-0", CAM_OK, "0"},               {&gain, "-0.0e5", CAM_OK, "0"},
        {&gain, "1e-300", CAM_OK, "1e-300"},
        // Closer to 0 than a double holds as it is: a number all the same.
        {&gain, "1e-320", CAM_ERR_INVALID_VALUE, "1e-320 is too close to 0 to be set: it would be rounded"},
        {&gain, "1e-400", CAM_ERR_INVALID_VALUE, "too close to 0"},
        {&gain, "0.000000000000000000001e-310", CAM_ERR_INVALID_VALUE, "too close to 0"},
        {&gain, "-1e-400", CAM_ERR_INVALID_VALUE, "-1e-400 is below the minimum 0 dB"},
        {&gain, "1e400", CAM_ERR_WRONG_TYPE, "a number"},
        {&gain, "100000000000000000000000000000000000000000000000000000000000e300", CAM_ERR_WRONG_TYPE, "a number"},
        {&gain, std::string(1 << 20, 'x'), CAM_ERR_WRONG_TYPE,
         "got xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\u2026 (1048576 bytes)"},
        {&gain, " 1", CAM_ERR_WRONG_TYPE, "got \" 1\""},
        {&choice, "Once", CAM_OK, "Once"},
        {&choice, "once", CAM_ERR_INVALID_VALUE, "not one of its entries: Off, Once, Continuous"},
        {&flag, "on", CAM_OK, "true"},            {&flag, "0", CAM_OK, "false"},
        {&flag, "yes please", CAM_ERR_WRONG_TYPE, "true or false"},
        {&flag, "TRUE", CAM_OK, "true"},          {&flag, "Off", CAM_OK, "false"},
        {&flag, "YES", CAM_OK, "true"},           {&flag, "no", CAM_OK, "false"},
        {&flag, "maybe", CAM_ERR_WRONG_TYPE, "expects true or false (or on/off, yes/no, 1/0, in any case), got maybe"},
        {&flag, "tru", CAM_ERR_WRONG_TYPE, "true or false"},
    };
    for (const auto& c : cases) {
        std::string canonical, why;
        const std::string head = c.text.substr(0, 80);
        EXPECT_EQ(cam::CheckFeatureValue(*c.info, c.text, &canonical, &why), c.result) << head;
        if (c.result == CAM_OK)
            EXPECT_EQ(canonical, c.canonical) << head;
        else
            EXPECT_NE(why.find(c.canonical), std::string::npos) << head << ": " << why.substr(0, 200);
        EXPECT_LT(why.size(), 200u) << head;  // a refusal is one line, whatever it echoes
    }
    for (const double v : {0.1, 10000.0, 1e6, 30.777762076658572, 1e-7, -2.5, 1e300})
        EXPECT_EQ(std::strtod(cam::FloatText(v).c_str(), nullptr), v) << cam::FloatText(v);
    EXPECT_EQ(cam::FloatText(10000), "10000");
    EXPECT_EQ(cam::FloatText(-0.0), "0");
}

}  // namespace

// What a message shows of text from outside: nothing that breaks the line,
// and nothing that hides itself (a name with a zero-width space or a
// byte-order mark in it reads as the plain name on a terminal).
TEST(MessageText, SeenAsItIs)
{
    const struct {
        const char* text;
        const char* oneLine;
    } rows[] = {
        {"Width", "Width"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},  // letters of any script stay
        {"a\"b", "\"a\\\"b\""},
        {"x\x1by", "\"x\\x1by\""},
        {"caf\xe9", "\"caf\\xe9\""},  // not UTF-8
        {"\xe2\x80\x8bWidth", "\"\\u200bWidth\""},          // zero-width space
        {"\xef\xbb\xbfHeight", "\"\\ufeffHeight\""},        // byte-order mark
        {"Mono8\xc2\xa0", "\"Mono8\\u00a0\""},               // no-break space
        {"a\xe2\x80\xae" "b", "\"a\\u202eb\""},                // right-to-left override
        {"a\xe2\x80\xa8" "b", "\"a\\u2028b\""},                // line separator
        {"a\xc2\x85" "b", "\"a\\u0085b\""},                     // next line (C1)
        {"a\xf3\xa0\x80\x81" "b", "\"a\\U000e0001b\""},       // language tag
    };
    for (const auto& r : rows)
        EXPECT_EQ(cam::OneLine(r.text), r.oneLine) << r.text;
}
