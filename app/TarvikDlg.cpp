// The main dialog's routing table, the camera state and the opening, release
// and capture sequences.
#include "TarvikDlg.h"

#include "platform/ui/PaintDC.h"
#include "platform/ui/PixelRows.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

const char* g_pCameraId = nullptr;
CamHandle g_hCamera = 0;
const char* g_pPixelFormat = nullptr;
int64_t g_nWidth = 0;
int64_t g_nHeight = 0;
ui::DisplayImage g_image;

namespace {

constexpr uint32_t kAccessMode = CAM_ACCESS_CONTROL;

// A camera that never reports its packet size negotiation done must not hang
// the program: poll gently and give up after a while, then go on opening.
constexpr auto kAdjustPollPause = std::chrono::milliseconds(1);
constexpr auto kAdjustPollLimit = std::chrono::seconds(10);

constexpr uint32_t kFrameTimeoutMs = 5000;

bool IsBgr8(const char* pixelFormat)
{
    return pixelFormat &&
           (std::strcmp(pixelFormat, "BGR8Packed") == 0 || std::strcmp(pixelFormat, "BGR8") == 0);
}

bool IsMono8(const char* pixelFormat)
{
    return pixelFormat && std::strcmp(pixelFormat, "Mono8") == 0;
}

}  // namespace

const ui::MessageMapEntry<CTarvikDlg> CTarvikDlg::messageMap[] = {
    {ui::Message::Paint, 0, &CTarvikDlg::OnPaint},
    {ui::Message::QueryDragIcon, 0, &CTarvikDlg::OnQueryDragIcon},
    {ui::Message::Clicked, IDC_INIT_GRAB_START, &CTarvikDlg::OnBnClickedInitGrabStart},
    {ui::Message::Clicked, IDC_GRAB_STOP_RELEASE, &CTarvikDlg::OnBnClickedGrabStopRelease},
    {ui::Message::Clicked, IDC_GRAB_ONCE, &CTarvikDlg::OnBnClickedGrabOnce},
};

CTarvikDlg::CTarvikDlg() : ui::Dialog(IDD), m_bClearPending(false)
{
    m_hIcon = ui::LoadIcon(IDR_MAINFRAME);
}

void CTarvikDlg::DoDataExchange(ui::DataExchange* pDX)
{
    ui::Dialog::DoDataExchange(pDX);
    pDX->BindControl(IDC_PICTURE, m_picture);
}

bool CTarvikDlg::OnInitDialog()
{
    ui::Dialog::OnInitDialog();
    SetIcon(m_hIcon, true);
    SetIcon(m_hIcon, false);
    return true;
}

bool CTarvikDlg::OnMessage(ui::Message message, int id, ui::MessageData* data)
{
    return ui::DispatchMessage(this, messageMap, message, id, data);
}

ui::Rect FitRect(int32_t imageWidth, int32_t imageHeight, const ui::Rect& target)
{
    const int64_t RW = int64_t(target.right) - target.left;
    const int64_t RH = int64_t(target.bottom) - target.top;
    // Nothing can be fitted into or from an empty rectangle.
    if (imageWidth <= 0 || imageHeight <= 0 || RW <= 0 || RH <= 0 || RW > INT32_MAX ||
        RH > INT32_MAX)
        return {};
    const double sx = double(RW) / imageWidth;
    const double sy = double(RH) / imageHeight;
    const double scale = sy <= sx ? sy : sx;
    // Truncation may leave the side that sets the scale one pixel short; that stays.
    const int64_t W = int64_t(imageWidth * scale);
    const int64_t H = int64_t(imageHeight * scale);
    const int64_t left = (RW + 1 - W) / 2;
    const int64_t top = (RH + 1 - H) / 2;
    return {int32_t(left), int32_t(top), int32_t(left + W), int32_t(top + H)};
}

void CTarvikDlg::OnPaint()
{
    if (IsIconic()) {
        ui::PaintDC dc(*this);
        ui::MessageData erase;
        erase.dc = &dc;
        SendMessage(ui::Message::IconEraseBackground, 0, &erase);

        const int cxIcon = ui::GetSystemMetrics(ui::kSmCxIcon);
        const int cyIcon = ui::GetSystemMetrics(ui::kSmCyIcon);
        const ui::Rect rect = GetClientRect();
        const int x = (rect.Width() - cxIcon + 1) / 2;
        const int y = (rect.Height() - cyIcon + 1) / 2;
        dc.DrawIcon(x, y, m_hIcon);
        return;
    }

    DefaultOnPaint();
    if (g_image.IsNull())
        return;
    ui::PaintDC dc(m_picture);
    ui::Rect rect = m_picture.GetClientRect();
    if (m_bClearPending) {
        m_bClearPending = false;
        ui::SolidBrush clearBrush(ui::GetSysColor(ui::kColorBtnFace));
        dc.FillRect(rect, clearBrush);
    }
    rect = FitRect(g_image.GetWidth(), g_image.GetHeight(), rect);
    dc.SetStretchBltMode(ui::kHalftone);
    g_image.StretchBlt(dc, rect, ui::kSrcCopy);
}

ui::Icon CTarvikDlg::OnQueryDragIcon() { return m_hIcon; }

void CTarvikDlg::OnBnClickedInitGrabStart()
{
    uint32_t camCount = 0;
    uint32_t nFoundCount = 0;
    bool bIsCommandDone = false;
    CamCameraInfo* pCameraList = nullptr;

    if (CamStartup() != CAM_OK)
        return;
    if (CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce") != CAM_OK)
        return;
    if (CamCameraList(nullptr, 0, &camCount, sizeof(CamCameraInfo)) != CAM_OK)
        return;

    if (camCount == 0) {
        g_pCameraId = nullptr;
    } else {
        pCameraList = static_cast<CamCameraInfo*>(std::calloc(camCount, sizeof(CamCameraInfo)));
        if (!pCameraList)
            return;
        if (CamCameraList(pCameraList, camCount, &nFoundCount, sizeof(CamCameraInfo)) == CAM_OK &&
            nFoundCount != 0)
            g_pCameraId = pCameraList[0].cameraId;
    }
    std::free(pCameraList);  // the identifier string belongs to the library
    if (!g_pCameraId)
        return;

    if (CamCameraOpen(g_pCameraId, kAccessMode, &g_hCamera) == CAM_OK) {
        if (CamFeatureCommandRun(g_hCamera, "GVSPAdjustPacketSize") == CAM_OK) {
            const auto giveUp = std::chrono::steady_clock::now() + kAdjustPollLimit;
            while (CamFeatureCommandIsDone(g_hCamera, "GVSPAdjustPacketSize", &bIsCommandDone) ==
                       CAM_OK &&
                   !bIsCommandDone && std::chrono::steady_clock::now() < giveUp)
                std::this_thread::sleep_for(kAdjustPollPause);
        }
    }

    // A failed open still goes on with whatever handle the camera state holds.
    if (CamFeatureEnumSet(g_hCamera, "PixelFormat", "BGR8Packed") != CAM_OK)
        CamFeatureEnumSet(g_hCamera, "PixelFormat", "Mono8");
    if (CamFeatureEnumGet(g_hCamera, "PixelFormat", &g_pPixelFormat) != CAM_OK)
        return;
    CamFeatureIntGet(g_hCamera, "Height", &g_nHeight);
    CamFeatureIntGet(g_hCamera, "Width", &g_nWidth);

    // Only the low 32 bits of the camera's numbers size the image.
    g_image.Destroy();
    g_image.Create(static_cast<int32_t>(static_cast<uint32_t>(g_nWidth)),
                   static_cast<int32_t>(static_cast<uint32_t>(g_nHeight)), 24, 0);
    m_bClearPending = true;
}

void CTarvikDlg::OnBnClickedGrabStopRelease()
{
    CamCameraClose(g_hCamera);
    CamShutdown();
    g_image.Destroy();
    g_hCamera = 0;
    g_pCameraId = nullptr;
}

void CopyFrameToImage(const void* source, int64_t nPayloadSize, const char* pPixelFormat,
                      ui::DisplayImage& image)
{
    const uint32_t width = static_cast<uint32_t>(g_nWidth);
    const uint32_t height = static_cast<uint32_t>(g_nHeight);

    // A new image of the opened size; its memory is reused, so every byte is
    // written below: copied rows, their padding, and zeros for the rest.
    if (!image.Recreate(static_cast<int32_t>(width), static_cast<int32_t>(height)))
        return;
    const bool bgr = IsBgr8(pPixelFormat);
    const bool mono = IsMono8(pPixelFormat);
    uint64_t rows = 0;
    const uint64_t srcRowBytes = uint64_t(width) * (bgr ? 3 : 1);
    if (source && nPayloadSize > 0 && (bgr || mono))
        rows = std::min<uint64_t>(height, uint64_t(nPayloadSize) / srcRowBytes);

    const auto* src = static_cast<const uint8_t*>(source);
    uint8_t* top = image.GetBits();
    const ptrdiff_t pitch = image.GetPitch();
    const size_t pixelBytes = size_t(width) * 3;
    const size_t padding = size_t(-pitch) - pixelBytes;
    auto row = [&](uint64_t i) { return top + ptrdiff_t(i) * pitch; };
    for (uint64_t i = 0; i < rows; ++i) {
        if (bgr)
            std::memcpy(row(i), src + i * srcRowBytes, pixelBytes);
        else
            ui::ExpandGreyToBgr(src + i * srcRowBytes, row(i), width);
    }
    for (uint64_t i = rows; i < height; ++i)
        std::memset(row(i), 0, pixelBytes);
    if (padding)
        for (uint64_t i = 0; i < height; ++i)
            std::memset(row(i) + pixelBytes, 0, padding);
}

void CTarvikDlg::OnBnClickedGrabOnce()
{
    int64_t nPayloadSize = 0;
    CamFrame frame{};
    ui::Rect rect;

    if (g_hCamera == 0)
        return;
    if (CamFeatureIntGet(g_hCamera, "PayloadSize", &nPayloadSize) != CAM_OK)
        return;
    // A camera's word is not enough to allocate any amount of memory.
    if (nPayloadSize <= 0 || nPayloadSize > kMaxPayloadSize)
        return;
    frame.buffer = std::malloc(static_cast<size_t>(nPayloadSize));
    if (!frame.buffer)
        return;
    frame.bufferSize = static_cast<uint32_t>(nPayloadSize);

    // Each rung that succeeds is undone, in reverse order, whatever follows it.
    if (CamFrameAnnounce(g_hCamera, &frame, sizeof(frame)) == CAM_OK) {
        if (CamCaptureStart(g_hCamera) == CAM_OK) {
            if (CamFrameQueue(g_hCamera, &frame, nullptr) == CAM_OK &&
                CamFeatureCommandRun(g_hCamera, "AcquisitionStart") == CAM_OK) {
                if (CamFrameWait(g_hCamera, &frame, kFrameTimeoutMs) == CAM_OK &&
                    frame.receiveStatus == CAM_FRAME_COMPLETE) {
                    CopyFrameToImage(frame.buffer, nPayloadSize, g_pPixelFormat, g_image);
                    rect = ScreenToClient(m_picture.GetWindowRect());
                    InvalidateRect(rect, false);
                }
                CamFeatureCommandRun(g_hCamera, "AcquisitionStop");
            }
            CamCaptureEnd(g_hCamera);
        }
        CamFrameRevoke(g_hCamera, &frame);
    }
    std::free(frame.buffer);
}
