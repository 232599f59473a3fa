// The main dialog: three buttons that open, grab from and release the camera,
// and a framed picture area that shows the last frame.
#pragma once

#include "platform/camera/cam.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/DisplayImage.h"
#include "res/resource.h"

#include <cstdint>

class CTarvikDlg : public ui::Dialog {
public:
    enum { IDD = IDD_TARVIK_DIALOG };

    CTarvikDlg();

protected:
    void DoDataExchange(ui::DataExchange* pDX) override;
    bool OnInitDialog() override;
    bool OnMessage(ui::Message message, int id, ui::MessageData* data) override;

    void OnPaint();
    ui::Icon OnQueryDragIcon();
    void OnBnClickedInitGrabStart();
    void OnBnClickedGrabStopRelease();
    void OnBnClickedGrabOnce();

public:
    bool m_bClearPending;
    ui::Icon m_hIcon;
    ui::Control m_picture;

private:
    static const ui::MessageMapEntry<CTarvikDlg> messageMap[];
};

// The one camera this program works with, shared by every dialog for the life
// of the process.
extern const char* g_pCameraId;
extern CamHandle g_hCamera;
extern const char* g_pPixelFormat;
extern int64_t g_nWidth;
extern int64_t g_nHeight;
extern ui::DisplayImage g_image;

// Largest "PayloadSize" a capture allocates a buffer for.
constexpr int64_t kMaxPayloadSize = int64_t(ui::DisplayImage::kMaxBytes);

// Rebuilds image at the size read when the camera was opened and copies a
// frame of that camera into it: "BGR8Packed" (or "BGR8") bytes unchanged,
// "Mono8" grey levels as equal blue, green and red. Never reads more than
// nPayloadSize bytes of source; only whole rows it holds are copied. Other
// pixel formats copy nothing.
// The rectangle, measured from target's origin, into which a picture of
// imageWidth x imageHeight is drawn: scaled to fit with its aspect kept and
// centred. Empty when either side is empty.
ui::Rect FitRect(int32_t imageWidth, int32_t imageHeight, const ui::Rect& target);

void CopyFrameToImage(const void* source, int64_t nPayloadSize, const char* pPixelFormat,
                      ui::DisplayImage& image);
