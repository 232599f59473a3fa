// The main dialog's routing table, the camera state and the opening, release
// and capture sequences.
#include "TarvikDlg.h"

#include <chrono>
#include <cstdlib>
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

bool CTarvikDlg::OnMessage(ui::Message message, int id, ui::MessageResult* result)
{
    return ui::DispatchMessage(this, messageMap, message, id, result);
}

void CTarvikDlg::OnPaint() {}

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

void CTarvikDlg::OnBnClickedGrabOnce() {}
