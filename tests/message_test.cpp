// What a person reads when a button fails: one line on stderr for each way an
// opening or a grab can stop, the same words in the picture area's tooltip,
// and nothing at all when everything works.
#include "RecordingCamera.h"
#include "DialogHarness.h"

#include <gtest/gtest.h>

namespace {

struct MessageCase {
    const char* name;
    std::map<std::string, CamError> failures;
    void (*tweak)(rec::Script&);
    bool grab;  // open, then grab
    const char* expected;  // the whole of stderr
};

void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.name; }

const std::string kGrab = "CamFrameWait(2, ptr, 5000)";
const std::string kAnnounce = "CamFrameAnnounce(2, ptr, " + std::to_string(sizeof(CamFrame)) + ")";

const MessageCase kCases[] = {
    {"all well", {}, nullptr, true, ""},
    {"start-up", {{"CamStartup()", CAM_ERR_BAD_CONFIG}}, nullptr, false,
     "tarvik: the camera library could not start: TARVIK_CAMERAS or a source's settings are "
     "invalid (CAM_ERR_BAD_CONFIG)\n"},
    {"discovery", {{"CamFeatureCommandRun(1, \"GeVDiscoveryAllOnce\")", CAM_ERR_IO}}, nullptr, false,
     "tarvik: looking for cameras failed: the camera stopped answering (CAM_ERR_IO)\n"},
    {"no camera", {}, [](rec::Script& s) { s.cameraIds.clear(); }, false,
     "tarvik: no camera found (sources: sim)\n"},
    // The open fails and the handle left over cannot go on: the open is the reason.
    {"busy",
     {{"CamCameraOpen(\"cam-A\", 1, ptr)", CAM_ERR_ACCESS_DENIED},
      {"CamFeatureEnumGet(0, \"PixelFormat\", ptr)", CAM_ERR_BAD_HANDLE}},
     nullptr, false,
     "tarvik: cannot open camera cam-A: busy, another program controls it (CAM_ERR_ACCESS_DENIED)\n"},
    {"pixel format unreadable", {{"CamFeatureEnumGet(2, \"PixelFormat\", ptr)", CAM_ERR_IO}}, nullptr,
     false,
     "tarvik: cannot read the pixel format of camera cam-A: the camera stopped answering "
     "(CAM_ERR_IO)\n"},
    {"no picture size", {}, [](rec::Script& s) { s.width = 0; }, false,
     "tarvik: camera cam-A reports a picture of 0 x 480 pixels, which cannot be shown\n"},
    {"payload unreadable", {{"CamFeatureIntGet(2, \"PayloadSize\", ptr)", CAM_ERR_WRONG_TYPE}}, nullptr,
     true,
     "tarvik: cannot read the frame size (PayloadSize): the feature is of another type "
     "(CAM_ERR_WRONG_TYPE)\n"},
    {"payload refused", {}, [](rec::Script& s) { s.payload = -1; }, true,
     "tarvik: the camera's frame size of -1 bytes is refused (1 byte to 256 MiB)\n"},
    {"announce", {{kAnnounce, CAM_ERR_BAD_SIZE}}, nullptr, true,
     "tarvik: cannot hand the camera a frame buffer: a record or buffer size does not match "
     "(CAM_ERR_BAD_SIZE)\n"},
    {"capture start", {{"CamCaptureStart(2)", CAM_ERR_IO}}, nullptr, true,
     "tarvik: the capture could not start: the camera stopped answering (CAM_ERR_IO)\n"},
    {"acquisition start", {{"CamFeatureCommandRun(2, \"AcquisitionStart\")", CAM_ERR_ACCESS_DENIED}},
     nullptr, true,
     "tarvik: the camera did not start sending (AcquisitionStart): the camera is already open or "
     "refuses access (CAM_ERR_ACCESS_DENIED)\n"},
    {"time-out", {{kGrab, CAM_ERR_TIMEOUT}}, nullptr, true,
     "tarvik: no frame within 5 s (CAM_ERR_TIMEOUT)\n"},
    {"wait fails", {{kGrab, CAM_ERR_IO}}, nullptr, true,
     "tarvik: waiting for the frame failed: the camera stopped answering (CAM_ERR_IO)\n"},
    {"incomplete", {}, [](rec::Script& s) { s.receiveStatus = CAM_FRAME_INCOMPLETE; }, true,
     "tarvik: frame incomplete, data was lost on the way\n"},
    {"too small", {}, [](rec::Script& s) { s.receiveStatus = CAM_FRAME_TOO_SMALL; }, true,
     "tarvik: the frame was larger than its buffer, nothing to show\n"},
    {"damaged", {}, [](rec::Script& s) { s.receiveStatus = CAM_FRAME_INVALID; }, true,
     "tarvik: the frame arrived damaged (status -3)\n"},
    {"unknown format", {}, [](rec::Script& s) { s.pixelFormat = "Foo"; }, true,
     "tarvik: pixel format \"Foo\" is not supported, nothing to show\n"},
};

class MessageTest : public ::testing::TestWithParam<MessageCase>, public harness::ShownDialog {
protected:
    void SetUp() override
    {
        harness::ResetCameraState();
        unsetenv("TARVIK_CAMERAS");
    }
    void TearDown() override { harness::ResetCameraState(); }
};

TEST_P(MessageTest, OneLinePerFailure)
{
    const MessageCase& c = GetParam();
    rec::Script s;
    s.failures = c.failures;
    s.payload = 640 * 480 * 3;
    if (c.tweak)
        c.tweak(s);
    rec::Reset(s);
    ASSERT_NO_FATAL_FAILURE(Show());
    ::testing::internal::CaptureStderr();
    Click(IDC_INIT_GRAB_START);
    if (c.grab)
        Click(IDC_GRAB_ONCE);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, c.expected);

    // The tooltip tells the same failure after what it says of the camera.
    const std::string tip = dlg.m_picture.GetToolTip();
    if (err.empty()) {
        EXPECT_EQ(tip.rfind("recorded (cam-A), 640 × 480, BGR8Packed, frame 0 at ", 0), 0u) << tip;
    } else {
        const std::string reason = err.substr(8, err.size() - 9);  // without "tarvik: " and "\n"
        const std::string action = c.grab ? "last grab failed: " : "opening failed: ";
        EXPECT_EQ(tip.substr(tip.size() - action.size() - reason.size()), action + reason) << tip;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, MessageTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return harness::CaseName(info.param.name); });

// Releasing says nothing, and the tooltip is back to the start.
TEST(Messages, ReleaseIsQuiet)
{
    harness::ResetCameraState();
    rec::Reset();
    harness::ShownDialog shown;
    ASSERT_NO_FATAL_FAILURE(shown.Show());
    EXPECT_EQ(shown.dlg.m_picture.GetToolTip(), "No camera open");
    ::testing::internal::CaptureStderr();
    shown.Click(IDC_GRAB_STOP_RELEASE);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(shown.dlg.m_picture.GetToolTip(), "No camera open");
    harness::ResetCameraState();
}

}  // namespace
