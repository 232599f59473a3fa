// Shared by the tests that drive the real main dialog: a shown dialog with
// clicks, the picture area as painted, the camera calls a click makes, and a
// reset of the process-wide camera state between cases.
#pragma once

#include "app/TarvikDlg.h"
#include "platform/ui/DialogWindow.h"

#include <QImage>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace harness {

using Lines = std::vector<std::string>;

// Back to how the program starts: library shut down, no camera, no image.
inline void ResetCameraState()
{
    CamShutdown();
    g_pCameraId = nullptr;
    g_hCamera = 0;
    g_pPixelFormat = nullptr;
    g_nWidth = g_nHeight = 0;
    g_image.Destroy();
    g_pCameraName = nullptr;
    g_lastFrame = {};
}

// A test-name-safe version of a case's text.
inline std::string CaseName(std::string text)
{
    for (char& c : text)
        if (!isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return text;
}

// The library's trace lines ("cam: ...") of whatever action does.
template <class Action>
Lines TraceOf(Action action)
{
    setenv("TARVIK_CAMERA_TRACE", "1", 1);
    ::testing::internal::CaptureStderr();
    action();
    std::istringstream trace(::testing::internal::GetCapturedStderr());
    unsetenv("TARVIK_CAMERA_TRACE");
    Lines lines;
    for (std::string line; std::getline(trace, line);)
        if (line.rfind("cam: ", 0) == 0)
            lines.push_back(line);
    return lines;
}

// The trace of one complete "GrapOnce" on camera handle 2.
inline const Lines& CaptureTrace()
{
    static const Lines lines = {
        "cam: CamFeatureIntGet(2, \"PayloadSize\", ptr) -> 0",
        "cam: CamFrameAnnounce(2, ptr, " + std::to_string(sizeof(CamFrame)) + ") -> 0",
        "cam: CamCaptureStart(2) -> 0",
        "cam: CamFrameQueue(2, ptr, null) -> 0",
        "cam: CamFeatureCommandRun(2, \"AcquisitionStart\") -> 0",
        "cam: CamFrameWait(2, ptr, 5000) -> 0",
        "cam: CamFeatureCommandRun(2, \"AcquisitionStop\") -> 0",
        "cam: CamCaptureEnd(2) -> 0",
        "cam: CamFrameRevoke(2, ptr) -> 0",
    };
    return lines;
}

struct ShownDialog {
    // Builds and shows the dialog; call with ASSERT_NO_FATAL_FAILURE.
    void Show()
    {
        ASSERT_TRUE(dlg.Create());
        widget = ui::WidgetOf(dlg);
        widget->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(widget));
    }
    QPushButton* Button(int id) const { return qobject_cast<QPushButton*>(widget->control(id)); }
    void Click(int id) { QTest::mouseClick(Button(id), Qt::LeftButton); }
    Lines TracedClick(int id)
    {
        return TraceOf([&] { Click(id); });
    }
    // Paints the dialog now and returns what the picture area shows.
    QImage Shown()
    {
        widget->repaint();
        return widget->surface(IDC_PICTURE)->surface().copy();
    }

    CTarvikDlg dlg;
    ui::DialogWidget* widget = nullptr;
};

}  // namespace harness
