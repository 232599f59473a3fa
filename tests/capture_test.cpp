// The "GrapOnce" ladder against the recording camera library: every rung made
// to fail in turn, with the whole call sequence and its effects compared.
#include "RecordingCamera.h"
#include "DialogHarness.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

const std::string P = "CamFeatureIntGet(2, \"PayloadSize\", ptr) -> 0";
const std::string An = "CamFrameAnnounce(2, ptr, " + std::to_string(sizeof(CamFrame)) + ") -> 0";
const std::string CS = "CamCaptureStart(2) -> 0";
const std::string Q = "CamFrameQueue(2, ptr, null) -> 0";
const std::string AS = "CamFeatureCommandRun(2, \"AcquisitionStart\") -> 0";
const std::string W = "CamFrameWait(2, ptr, 5000) -> 0";
const std::string AStop = "CamFeatureCommandRun(2, \"AcquisitionStop\") -> 0";
const std::string CE = "CamCaptureEnd(2) -> 0";
const std::string R = "CamFrameRevoke(2, ptr) -> 0";

std::string Failed(const std::string& line, CamError code)
{
    return line.substr(0, line.size() - 1) + std::to_string(code);
}

std::string CallOf(const std::string& line) { return line.substr(0, line.find(" -> ")); }

// Records invalidations instead of relying on a paint arriving.
struct Dlg : CTarvikDlg {
    Dlg() { Create(); }
    void Grab() { SendMessage(ui::Message::Clicked, IDC_GRAB_ONCE); }
    void InvalidateRect(const ui::Rect& rect, bool erase) override
    {
        invalidated.push_back(rect);
        erased = erased || erase;
        CTarvikDlg::InvalidateRect(rect, erase);
    }
    ui::Rect PictureInClient() const { return ScreenToClient(m_picture.GetWindowRect()); }

    std::vector<ui::Rect> invalidated;
    bool erased = false;
};

// An opened 4 x 2 BGR camera as the opening sequence would leave it.
void OpenedCamera(const char* pixelFormat = "BGR8Packed")
{
    g_hCamera = 2;
    g_pCameraId = "cam-A";
    g_pPixelFormat = pixelFormat;
    g_nWidth = 4;
    g_nHeight = 2;
    g_image.Destroy();
    g_image.Create(4, 2, 24);
}

std::vector<uint8_t> Frame(size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(i + 1);
    return bytes;
}

// The top row of the display image, as bytes.
std::vector<uint8_t> TopRow()
{
    const uint8_t* top = static_cast<const imaging::DisplayImage&>(g_image).GetBits();
    return top ? std::vector<uint8_t>(top, top + 12) : std::vector<uint8_t>();
}

struct LadderCase {
    const char* name;
    std::map<std::string, CamError> failures;
    int32_t receiveStatus;
    int64_t payload;
    Lines expected;
    bool copied;
};

void PrintTo(const LadderCase& c, std::ostream* os) { *os << c.name; }

const LadderCase kLadder[] = {
    // A complete frame: the full ladder, copied, the picture invalidated.
    {"complete frame", {}, CAM_FRAME_COMPLETE, 24, {P, An, CS, Q, AS, W, AStop, CE, R}, true},
    // Nothing was allocated or announced when the payload cannot be read.
    {"payload unreadable", {{CallOf(P), CAM_ERR_IO}}, 0, 24, {Failed(P, CAM_ERR_IO)}, false},
    // Hostile payload sizes end the capture before anything is announced.
    {"payload zero", {}, 0, 0, {P}, false},
    {"payload negative", {}, 0, -24, {P}, false},
    {"payload beyond limit", {}, 0, kMaxPayloadSize + 1, {P}, false},
    {"payload 2^40", {}, 0, int64_t(1) << 40, {P}, false},
    // A failed announce frees the buffer only.
    {"announce fails", {{CallOf(An), CAM_ERR_BAD_SIZE}}, 0, 24, {P, Failed(An, CAM_ERR_BAD_SIZE)}, false},
    // A failed capture start revokes.
    {"capture start fails", {{CallOf(CS), CAM_ERR_IO}}, 0, 24, {P, An, Failed(CS, CAM_ERR_IO), R}, false},
    // A failed queue ends the capture and revokes, with no "AcquisitionStop".
    {"queue fails", {{CallOf(Q), CAM_ERR_BAD_SEQUENCE}}, 0, 24,
     {P, An, CS, Failed(Q, CAM_ERR_BAD_SEQUENCE), CE, R}, false},
    {"acquisition start fails", {{CallOf(AS), CAM_ERR_IO}}, 0, 24,
     {P, An, CS, Q, Failed(AS, CAM_ERR_IO), CE, R}, false},
    // After a successful "AcquisitionStart" the stop always runs.
    {"wait fails", {{CallOf(W), CAM_ERR_IO}}, 0, 24,
     {P, An, CS, Q, AS, Failed(W, CAM_ERR_IO), AStop, CE, R}, false},
    {"wait times out", {{CallOf(W), CAM_ERR_TIMEOUT}}, 0, 24,
     {P, An, CS, Q, AS, Failed(W, CAM_ERR_TIMEOUT), AStop, CE, R}, false},
    // An incomplete frame is never copied.
    {"incomplete frame", {}, CAM_FRAME_INCOMPLETE, 24, {P, An, CS, Q, AS, W, AStop, CE, R}, false},
    // The undo steps' codes change nothing.
    {"undo steps fail",
     {{CallOf(AStop), CAM_ERR_IO}, {CallOf(CE), CAM_ERR_IO}, {CallOf(R), CAM_ERR_IO}},
     CAM_FRAME_COMPLETE, 24,
     {P, An, CS, Q, AS, W, Failed(AStop, CAM_ERR_IO), Failed(CE, CAM_ERR_IO), Failed(R, CAM_ERR_IO)},
     true},
};

class LadderTest : public ::testing::TestWithParam<LadderCase> {
protected:
    void TearDown() override
    {
        g_hCamera = 0;
        g_image.Destroy();
    }
};

TEST_P(LadderTest, CallsUndoAndEffects)
{
    const LadderCase& c = GetParam();
    rec::Script s;
    s.failures = c.failures;
    s.receiveStatus = c.receiveStatus;
    s.payload = c.payload;
    s.frameBytes = Frame(24);
    rec::Reset(s);
    Dlg dlg;
    OpenedCamera();
    dlg.Grab();
    EXPECT_EQ(rec::Calls(), c.expected);
    EXPECT_EQ(rec::OpenAnnouncements(), 0);
    if (c.copied) {
        EXPECT_EQ(TopRow(), Frame(12));
        ASSERT_EQ(dlg.invalidated.size(), 1u);
        EXPECT_EQ(dlg.invalidated[0], dlg.PictureInClient());
        EXPECT_NE(dlg.invalidated[0].Width(), 0);
        EXPECT_FALSE(dlg.erased);
    } else {
        EXPECT_EQ(TopRow(), std::vector<uint8_t>(12, 0)) << "display image touched";
        EXPECT_TRUE(dlg.invalidated.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Table, LadderTest, ::testing::ValuesIn(kLadder),
                         [](const auto& info) { return harness::CaseName(info.param.name); });

class CaptureTest : public LadderTest {};

// Before opening (or after release) a grab calls nothing at all.
TEST_F(CaptureTest, GrabWithoutCameraCallsNothing)
{
    rec::Reset();
    g_hCamera = 0;
    Dlg dlg;
    dlg.Grab();
    EXPECT_TRUE(rec::Calls().empty());
    EXPECT_TRUE(dlg.invalidated.empty());
}

// Ten presses make ten full ladders: nothing is left over between them.
TEST_F(CaptureTest, TenPressesTenLadders)
{
    rec::Script s;
    s.frameBytes = Frame(24);
    s.payload = 24;
    rec::Reset(s);
    Dlg dlg;
    OpenedCamera();
    for (int i = 0; i < 10; ++i)
        dlg.Grab();
    Lines expected;
    for (int i = 0; i < 10; ++i)
        expected.insert(expected.end(), {P, An, CS, Q, AS, W, AStop, CE, R});
    EXPECT_EQ(rec::Calls(), expected);
    EXPECT_EQ(dlg.invalidated.size(), 10u);
    EXPECT_EQ(rec::OpenAnnouncements(), 0);
}

// A camera that switched to "Mono8" delivers one byte per pixel: the copy
// expands it and reads no more than the payload.
TEST_F(CaptureTest, Mono8FrameIsExpanded)
{
    rec::Script s;
    s.frameBytes = {10, 20, 30, 40, 50, 60, 70, 80};
    s.payload = 8;
    rec::Reset(s);
    Dlg dlg;
    OpenedCamera("Mono8");
    dlg.Grab();
    EXPECT_EQ(TopRow(), (std::vector<uint8_t>{10, 10, 10, 20, 20, 20, 30, 30, 30, 40, 40, 40}));
}

}  // namespace
