// The opening and release sequences, call by call, against the recording
// camera library. Each case names the fault it catches.
#include "RecordingCamera.h"
#include "DialogHarness.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

const std::string S = "CamStartup() -> 0";
const std::string D = "CamFeatureCommandRun(1, \"GeVDiscoveryAllOnce\") -> 0";
const std::string L0 = "CamCameraList(null, 0, ptr, 24) -> 0";
const std::string L1 = "CamCameraList(ptr, 1, ptr, 24) -> 0";
const std::string O = "CamCameraOpen(\"cam-A\", 1, ptr) -> 0";
const std::string A = "CamFeatureCommandRun(2, \"GVSPAdjustPacketSize\") -> 0";
const std::string P = "CamFeatureCommandIsDone(2, \"GVSPAdjustPacketSize\", ptr) -> 0 x 2";
const std::string B = "CamFeatureEnumSet(2, \"PixelFormat\", \"BGR8Packed\") -> 0";
const std::string G = "CamFeatureEnumGet(2, \"PixelFormat\", ptr) -> 0";
const std::string H = "CamFeatureIntGet(2, \"Height\", ptr) -> 0";
const std::string W = "CamFeatureIntGet(2, \"Width\", ptr) -> 0";

using Lines = std::vector<std::string>;

void ResetCameraState()
{
    g_pCameraId = nullptr;
    g_hCamera = 0;
    g_pPixelFormat = nullptr;
    g_nWidth = g_nHeight = 0;
    g_image.Destroy();
}

// Exposes the routed handlers without a window: messages go through the
// dialog's own routing table.
struct Dlg : CTarvikDlg {
    void Open() { SendMessage(ui::Message::Clicked, IDC_INIT_GRAB_START); }
    void Release() { SendMessage(ui::Message::Clicked, IDC_GRAB_STOP_RELEASE); }
};

struct OpeningCase {
    const char* name;
    rec::Script script;
    CamHandle oldHandle;  // what the camera state held before opening
    Lines expected;
    bool imageCreated;
    bool clearPending;
};

void PrintTo(const OpeningCase& c, std::ostream* os) { *os << c.name; }

rec::Script Failing(std::map<std::string, CamError> failures)
{
    rec::Script s;
    s.failures = std::move(failures);
    return s;
}

rec::Script NoCamera()
{
    rec::Script s;
    s.cameraIds.clear();
    return s;
}

rec::Script AdjustAtFirstPoll()
{
    rec::Script s;
    s.adjustPollsUntilDone = 1;
    return s;
}

const OpeningCase kOpeningCases[] = {
    // The whole sequence in order, image sized from the camera, clear requested.
    {"normal", rec::Script(), 0, {S, D, L0, L1, O, A, P, B, G, H, W}, true, true},
    // Polling stops at the first "done".
    {"adjust done at once", AdjustAtFirstPoll(), 0,
     {S, D, L0, L1, O, A, "CamFeatureCommandIsDone(2, \"GVSPAdjustPacketSize\", ptr) -> 0", B, G, H, W},
     true, true},
    // No camera: nothing is opened and no second list call is made.
    {"no camera", NoCamera(), 0, {S, D, L0}, false, false},
    {"start-up fails", Failing({{"CamStartup()", CAM_ERR_BAD_CONFIG}}), 0, {"CamStartup() -> -16"},
     false, false},
    {"discovery fails",
     Failing({{"CamFeatureCommandRun(1, \"GeVDiscoveryAllOnce\")", CAM_ERR_IO}}), 0,
     {S, "CamFeatureCommandRun(1, \"GeVDiscoveryAllOnce\") -> -15"}, false, false},
    {"camera list fails", Failing({{"CamCameraList(null, 0, ptr, 24)", CAM_ERR_IO}}), 0,
     {S, D, "CamCameraList(null, 0, ptr, 24) -> -15"}, false, false},
    // A failed second list call leaves no identifier: opening stops.
    {"filling the list fails", Failing({{"CamCameraList(ptr, 1, ptr, 24)", CAM_ERR_IO}}), 0,
     {S, D, L0, "CamCameraList(ptr, 1, ptr, 24) -> -15"}, false, false},
    // A failed open goes on, without packet-size tuning, on the handle held before.
    {"open fails", Failing({{"CamCameraOpen(\"cam-A\", 1, ptr)", CAM_ERR_ACCESS_DENIED}}), 7,
     {S, D, L0, L1, "CamCameraOpen(\"cam-A\", 1, ptr) -> -14",
      "CamFeatureEnumSet(7, \"PixelFormat\", \"BGR8Packed\") -> 0",
      "CamFeatureEnumGet(7, \"PixelFormat\", ptr) -> 0", "CamFeatureIntGet(7, \"Height\", ptr) -> 0",
      "CamFeatureIntGet(7, \"Width\", ptr) -> 0"},
     true, true},
    // A camera without the command is not polled.
    {"adjust unknown",
     Failing({{"CamFeatureCommandRun(2, \"GVSPAdjustPacketSize\")", CAM_ERR_NOT_FOUND}}), 0,
     {S, D, L0, L1, O, "CamFeatureCommandRun(2, \"GVSPAdjustPacketSize\") -> -5", B, G, H, W}, true,
     true},
    // A failing done query ends the polling.
    {"adjust query fails",
     Failing({{"CamFeatureCommandIsDone(2, \"GVSPAdjustPacketSize\", ptr)", CAM_ERR_IO}}), 0,
     {S, D, L0, L1, O, A, "CamFeatureCommandIsDone(2, \"GVSPAdjustPacketSize\", ptr) -> -15", B, G,
      H, W},
     true, true},
    // "BGR8Packed" refused: "Mono8" is set and opening completes.
    {"BGR8Packed rejected",
     Failing({{"CamFeatureEnumSet(2, \"PixelFormat\", \"BGR8Packed\")", CAM_ERR_INVALID_VALUE}}), 0,
     {S, D, L0, L1, O, A, P, "CamFeatureEnumSet(2, \"PixelFormat\", \"BGR8Packed\") -> -7",
      "CamFeatureEnumSet(2, \"PixelFormat\", \"Mono8\") -> 0", G, H, W},
     true, true},
    // The second pixel format's result is not examined.
    {"both formats rejected",
     Failing({{"CamFeatureEnumSet(2, \"PixelFormat\", \"BGR8Packed\")", CAM_ERR_INVALID_VALUE},
              {"CamFeatureEnumSet(2, \"PixelFormat\", \"Mono8\")", CAM_ERR_INVALID_VALUE}}),
     0,
     {S, D, L0, L1, O, A, P, "CamFeatureEnumSet(2, \"PixelFormat\", \"BGR8Packed\") -> -7",
      "CamFeatureEnumSet(2, \"PixelFormat\", \"Mono8\") -> -7", G, H, W},
     true, true},
    // No pixel format read back: no image, no clear.
    {"pixel format unreadable",
     Failing({{"CamFeatureEnumGet(2, \"PixelFormat\", ptr)", CAM_ERR_IO}}), 0,
     {S, D, L0, L1, O, A, P, B, "CamFeatureEnumGet(2, \"PixelFormat\", ptr) -> -15"}, false, false},
    // Unread sizes stay 0, so the image cannot be created; the clear is still requested.
    {"width and height unreadable",
     Failing({{"CamFeatureIntGet(2, \"Height\", ptr)", CAM_ERR_IO},
              {"CamFeatureIntGet(2, \"Width\", ptr)", CAM_ERR_IO}}),
     0,
     {S, D, L0, L1, O, A, P, B, G, "CamFeatureIntGet(2, \"Height\", ptr) -> -15",
      "CamFeatureIntGet(2, \"Width\", ptr) -> -15"},
     false, true},
};

class OpeningTest : public ::testing::TestWithParam<OpeningCase> {
protected:
    void SetUp() override { ResetCameraState(); }
    void TearDown() override { ResetCameraState(); }
};

TEST_P(OpeningTest, CallsInOrderAndLeavesState)
{
    const OpeningCase& c = GetParam();
    rec::Reset(c.script);
    g_hCamera = c.oldHandle;
    Dlg dlg;
    dlg.Open();
    EXPECT_EQ(rec::FoldedCalls(), c.expected);
    EXPECT_EQ(!g_image.IsNull(), c.imageCreated);
    if (c.imageCreated) {
        EXPECT_EQ(g_image.GetWidth(), 640);
        EXPECT_EQ(g_image.GetHeight(), 480);
    }
    EXPECT_EQ(dlg.m_bClearPending, c.clearPending);
}

INSTANTIATE_TEST_SUITE_P(Table, OpeningTest, ::testing::ValuesIn(kOpeningCases),
                         [](const auto& info) { return harness::CaseName(info.param.name); });

class CameraStateTest : public ::testing::Test {
protected:
    void SetUp() override { ResetCameraState(); }
    void TearDown() override { ResetCameraState(); }
};

// A camera that never reports done must not hang opening: it gives up and goes on.
TEST_F(CameraStateTest, AdjustNeverDoneIsBounded)
{
    rec::Script s;
    s.adjustPollsUntilDone = -1;
    rec::Reset(s);
    Dlg dlg;
    const auto start = std::chrono::steady_clock::now();
    dlg.Open();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::seconds(10));
    EXPECT_LT(elapsed, std::chrono::seconds(60));
    Lines folded = rec::FoldedCalls();
    ASSERT_EQ(folded.size(), 11u);
    EXPECT_EQ(Lines(folded.begin(), folded.begin() + 6), (Lines{S, D, L0, L1, O, A}));
    EXPECT_EQ(folded[6].rfind("CamFeatureCommandIsDone(2, \"GVSPAdjustPacketSize\", ptr) -> 0 x ", 0), 0u);
    EXPECT_EQ(Lines(folded.begin() + 7, folded.end()), (Lines{B, G, H, W}));
    EXPECT_FALSE(g_image.IsNull());
}

// Release before any opening still closes handle 0 and shuts the library down.
TEST_F(CameraStateTest, ReleaseBeforeOpening)
{
    rec::Reset();
    Dlg dlg;
    dlg.Release();
    EXPECT_EQ(rec::Calls(), (Lines{"CamCameraClose(0) -> 0", "CamShutdown() -> 0"}));
    EXPECT_TRUE(g_image.IsNull());
    EXPECT_EQ(g_hCamera, 0u);
    EXPECT_EQ(g_pCameraId, nullptr);
}

// Release after opening clears handle, identifier and image but keeps the
// pixel format, the sizes and the clear flag.
TEST_F(CameraStateTest, ReleaseAfterOpening)
{
    rec::Reset();
    Dlg dlg;
    dlg.Open();
    rec::Reset();
    dlg.Release();
    EXPECT_EQ(rec::Calls(), (Lines{"CamCameraClose(2) -> 0", "CamShutdown() -> 0"}));
    EXPECT_TRUE(g_image.IsNull());
    EXPECT_EQ(g_hCamera, 0u);
    EXPECT_EQ(g_pCameraId, nullptr);
    EXPECT_STREQ(g_pPixelFormat, "BGR8Packed");
    EXPECT_EQ(g_nWidth, 640);
    EXPECT_EQ(g_nHeight, 480);
    EXPECT_TRUE(dlg.m_bClearPending);
}

// Opening twice runs the whole sequence again and recreates the image at the new size.
TEST_F(CameraStateTest, OpeningTwiceRecreatesImage)
{
    rec::Reset();
    Dlg dlg;
    dlg.Open();
    const uint64_t firstGeneration = g_image.Generation();
    dlg.m_bClearPending = false;  // as a paint would leave it
    rec::CurrentScript().width = 320;
    rec::CurrentScript().height = 200;
    dlg.Open();
    Lines once = {S, D, L0, L1, O, A, P, B, G, H, W};
    Lines twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(rec::FoldedCalls(), twice);
    EXPECT_EQ(g_image.GetWidth(), 320);
    EXPECT_EQ(g_image.GetHeight(), 200);
    EXPECT_GT(g_image.Generation(), firstGeneration);
    EXPECT_TRUE(dlg.m_bClearPending);
}

// Only the low 32 bits of the camera's width and height size the image.
TEST_F(CameraStateTest, ImageUsesLow32BitsOfSize)
{
    rec::Script s;
    s.width = (int64_t(1) << 32) + 5;
    s.height = (int64_t(1) << 33) + 3;
    rec::Reset(s);
    Dlg dlg;
    dlg.Open();
    EXPECT_EQ(g_image.GetWidth(), 5);
    EXPECT_EQ(g_image.GetHeight(), 3);
}

}  // namespace
