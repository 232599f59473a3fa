// The viewer window over the real dialog and the simulated camera: opened
// three ways and closed leaving the dialog as it was, camera pixels drawn
// where they belong at 1:1 and 4:1, the readout and histogram against the
// simulated camera's own samples, reopened a hundred times during live
// view, a frame narrowed while zoomed in, and frames of 1 x 1 and 65535 x 1.
#include "DialogHarness.h"
#include "WaitFor.h"
#include "platform/camera/cam.h"
#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"
#include "platform/ui/ViewerGeometry.h"
#include "platform/ui/ViewerWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMouseEvent>
#include <QFontMetrics>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QWheelEvent>

#include <cmath>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using ui::viewer::PixelAt;
using ui::viewer::ToScreen;

// The simulated camera's still picture in format, as it sends it.
std::vector<uint8_t> SimFrame(const cam::PixelFormat& format, uint32_t width, uint32_t height)
{
    std::vector<uint8_t> frame(cam::RowBytes(format, width) * height);
    cam::RenderSimFrame(frame.data(), frame.size(), width, height, format.name, 0);
    return frame;
}

// What the readout says of the samples at (x, y), read here from the
// frame's bytes by its layout.
std::string ExpectedSamples(const cam::PixelFormat& format, const std::vector<uint8_t>& frame, uint32_t width,
                            uint32_t x, uint32_t y)
{
    const uint8_t* row = frame.data() + cam::RowBytes(format, width) * y;
    const std::string range = " (0–" + std::to_string((1u << format.bits) - 1) + ")";
    switch (format.sampling) {
    case cam::Sampling::Mono:
        return "grey " + std::to_string(cam::ReadSample(format, row, x)) + range;
    case cam::Sampling::Bayer: {
        const char site = cam::BayerColour(format, x, y);
        return std::string(site == 'R' ? "red" : site == 'G' ? "green" : "blue") + " site " +
               std::to_string(cam::ReadSample(format, row, x)) + range;
    }
    case cam::Sampling::Colour: {
        const std::string order = format.order;
        const uint8_t* p = row + x * (format.bitsPerPixel / 8);
        return "red " + std::to_string(p[order.find('R')]) + ", green " + std::to_string(p[order.find('G')]) +
               ", blue " + std::to_string(p[order.find('B')]) + range;
    }
    case cam::Sampling::Yuv422: {
        const std::string order = format.order;
        const uint8_t* pair = row + (x / 2) * 4;
        const size_t y0 = order.find('Y');
        return "Y " + std::to_string(pair[x % 2 ? order.find('Y', y0 + 1) : y0]) + ", U " +
               std::to_string(pair[order.find('U')]) + ", V " + std::to_string(pair[order.find('V')]) + range;
    }
    }
    return {};
}

long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

class ViewerTest : public ::testing::Test, public harness::ShownDialog {
protected:
    void SetUp() override
    {
        unsetenv("TARVIK_CAMERAS");
        harness::ResetCameraState();
        // The window's remembered place stays out of the person's settings.
        QStandardPaths::setTestModeEnabled(true);
        QSettings().remove("viewer");
    }
    void TearDown() override
    {
        if (widget)
            Click(IDC_GRAB_STOP_RELEASE);
        harness::ResetCameraState();
        unsetenv("TARVIK_SIM");
    }
    void OpenCamera(const std::string& sim)
    {
        setenv("TARVIK_SIM", sim.c_str(), 1);
        ASSERT_NO_FATAL_FAILURE(Show());
        Click(IDC_INIT_GRAB_START);
        ASSERT_NE(g_hCamera, 0u);
    }
    // The viewer opened by the dialog's call, exposed.
    ui::ViewerWindow* Viewer()
    {
        dlg.OpenViewer();
        ui::ViewerWindow* v = dlg.ViewerWindow();
        EXPECT_TRUE(v && QTest::qWaitForWindowExposed(v));
        return v;
    }
    // The canvas as drawn now.
    static QImage Canvas(ui::ViewerWindow* v) { return v->Canvas()->grab().toImage().convertToFormat(QImage::Format_RGB32); }
    static QPoint ScreenOf(ui::ViewerWindow* v, QPoint camera)
    {
        const QPointF s = ToScreen(v->View(), QPointF(camera.x() + 0.5, camera.y() + 0.5));
        return {int(std::floor(s.x())), int(std::floor(s.y()))};
    }
};

// Opened from the menu entry, by a double click on the picture area and by
// the dialog's call; opened again, it is the same window; closed, the
// dialog shows and says what it did before.
TEST_F(ViewerTest, OpensThreeWaysAndLeavesTheDialogAsItWas)
{
    ASSERT_NO_FATAL_FAILURE(OpenCamera("width=64,height=48"));
    Click(IDC_GRAB_ONCE);
    ASSERT_TRUE(g_lastFrame.valid);
    QAction* inspect = widget->commands()[ID_PICTURE_INSPECT];
    ASSERT_TRUE(inspect);
    EXPECT_EQ(inspect->text().toStdString(), "Inspect…");
    EXPECT_EQ(inspect->shortcut(), QKeySequence("Ctrl+I"));

    const QImage before = Shown();
    const std::string tip = dlg.m_picture.GetToolTip();
    const int windows = QApplication::topLevelWidgets().size();
    const struct {
        const char* how;
        std::function<void()> open;
    } cases[] = {
        {"menu entry", [&] { inspect->trigger(); }},
        // Sent as it arrives (QTest's double click reaches X's plugin late).
        {"double click",
         [&] {
             QWidget* picture = widget->control(IDC_PICTURE);
             const QPointF at = QPointF(picture->rect().center());
             QMouseEvent click(QEvent::MouseButtonDblClick, at, picture->mapToGlobal(at), Qt::LeftButton,
                               Qt::LeftButton, Qt::NoModifier);
             QApplication::sendEvent(picture, &click);
         }},
        {"call", [&] { dlg.OpenViewer(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        c.open();
        ASSERT_SOON(dlg.ViewerWindow() && dlg.ViewerWindow()->isVisible());
        ui::ViewerWindow* v = dlg.ViewerWindow();
        EXPECT_TRUE(v->isWindow());
        // Beside the dialog, not over it, where the screen has room for both.
        const QRect screen = widget->screen()->availableGeometry();
        if (screen.right() - widget->frameGeometry().right() >= 8 + 400) {
            EXPECT_FALSE(v->frameGeometry().intersects(widget->frameGeometry()))
                << "viewer " << v->frameGeometry().x() << "," << v->frameGeometry().y() << " "
                << v->frameGeometry().width() << "x" << v->frameGeometry().height() << ", dialog "
                << widget->frameGeometry().x() << "," << widget->frameGeometry().y() << " "
                << widget->frameGeometry().width() << "x" << widget->frameGeometry().height();
        }
        dlg.OpenViewer();
        EXPECT_EQ(dlg.ViewerWindow(), v) << "opened again: the same window";
        EXPECT_EQ(QApplication::topLevelWidgets().size(), windows + 1);
        // The status line says what the picture area's tooltip says, always in sight.
        EXPECT_EQ(v->findChild<QLabel*>("status")->text().toStdString(), tip);
        EXPECT_TRUE(v->findChild<QLabel*>("status")->isVisible());
        // Grabbed before it opened: the samples of an 8-bit frame were not kept.
        EXPECT_NE(v->ReadoutText().find("GrapOnce grabs one"), std::string::npos) << v->ReadoutText();
        QPointer<ui::ViewerWindow> closing(v);
        v->close();
        ASSERT_SOON(closing.isNull());
        ASSERT_SOON(dlg.ViewerWindow() == nullptr);
        ASSERT_SOON(QApplication::topLevelWidgets().size() == windows);
        EXPECT_EQ(Shown(), before);
        EXPECT_EQ(dlg.m_picture.GetToolTip(), tip);
    }
}

// At 1:1 and 4:1 each camera pixel of the still picture is a block of
// zoom x zoom canvas pixels of its colour where the view puts it, the
// frame's neighbourhood the background.
TEST_F(ViewerTest, PixelsLandWhereTheyBelong)
{
    ASSERT_NO_FATAL_FAILURE(OpenCamera("width=64,height=48,formats=BGR8Packed,picture=still"));
    ui::ViewerWindow* v = Viewer();
    ASSERT_TRUE(v);
    Click(IDC_GRAB_ONCE);
    ASSERT_EQ(v->FrameSize(), QSize(64, 48));
    const cam::PixelFormat& format = *cam::FindPixelFormat("BGR8Packed");
    const std::vector<uint8_t> frame = SimFrame(format, 64, 48);
    const auto colour = [&](QPoint p) {
        const uint8_t* bgr = frame.data() + (p.y() * 64 + p.x()) * 3;
        return qRgb(bgr[2], bgr[1], bgr[0]);
    };
    const struct {
        Qt::Key key;
        int presses;
        int zoom;
    } cases[] = {{Qt::Key_1, 1, 1}, {Qt::Key_Plus, 3, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.zoom);
        // Keys may reach the window later than they are sent (X's plugin).
        QTest::keyClick(v, Qt::Key_0);
        ASSERT_SOON(v->Fitting());
        QTest::keyClick(v, Qt::Key_1);
    ASSERT_SOON(v->View().zoom == 1);
        for (int i = 1; i < c.presses; ++i)
            QTest::keyClick(v, c.key);
        ASSERT_SOON(v->View().zoom == c.zoom);
        const QImage shot = Canvas(v);
        for (const QPoint p : {QPoint(0, 0), QPoint(63, 47), QPoint(10, 5), QPoint(40, 40), QPoint(31, 20), QPoint(63, 0)}) {
            const QPoint s = ScreenOf(v, p) - QPoint(c.zoom / 2, c.zoom / 2);
            for (int dy = 0; dy < c.zoom; ++dy)
                for (int dx = 0; dx < c.zoom; ++dx)
                    ASSERT_EQ(shot.pixel(s + QPoint(dx, dy)), colour(p))
                        << "pixel " << p.x() << "," << p.y() << " block " << dx << "," << dy;
        }
        // The frame is smaller than the canvas: just outside it, the background.
        const QPoint corner = ScreenOf(v, QPoint(0, 0)) - QPoint(c.zoom / 2, c.zoom / 2);
        EXPECT_EQ(shot.pixel(corner - QPoint(1, 1)), imaging::RenderOptions().background);
    }
    // Clipped: the white bar at full scale painted over, the ramp below it not.
    v->findChild<QCheckBox*>("clipped")->click();
    const QImage marked = Canvas(v);
    EXPECT_EQ(marked.pixel(ScreenOf(v, {0, 0})), imaging::RenderOptions().clippedColour);
    EXPECT_EQ(marked.pixel(ScreenOf(v, {40, 40})), colour({40, 40}));
}

// The readout under the pointer and at a pinned point: the camera's
// samples at their own depth, as the simulated camera made them.
TEST_F(ViewerTest, ReadoutIsTheCamerasSamples)
{
    for (const char* name : {"Mono8", "Mono12", "BayerRG12p", "RGB8", "YUV422_8"}) {
        SCOPED_TRACE(name);
        const cam::PixelFormat& format = *cam::FindPixelFormat(name);
        ASSERT_NO_FATAL_FAILURE(OpenCamera(std::string("width=64,height=48,picture=still,formats=") + name));
        ASSERT_STREQ(g_pPixelFormat, name);
        ui::ViewerWindow* v = Viewer();
        ASSERT_TRUE(v);
        Click(IDC_GRAB_ONCE);
        ASSERT_EQ(v->FrameSize(), QSize(64, 48));
        const std::vector<uint8_t> frame = SimFrame(format, 64, 48);
        QTest::keyClick(v, Qt::Key_Plus);  // past fit, so that each pixel has a few screen pixels
        ASSERT_SOON(!v->Fitting());
        for (const QPoint p : {QPoint(5, 5), QPoint(13, 3), QPoint(1, 40), QPoint(62, 47), QPoint(63, 46)}) {
            const std::string expected = "x " + std::to_string(p.x()) + ", y " + std::to_string(p.y()) + ": " +
                                         ExpectedSamples(format, frame, 64, p.x(), p.y());
            const QPoint s = ScreenOf(v, p);
            ASSERT_EQ(PixelAt(v->View(), s), p);
            const QPoint at = s / v->Canvas()->devicePixelRatioF();
            QMouseEvent move(QEvent::MouseMove, QPointF(at), v->Canvas()->mapToGlobal(QPointF(at)), Qt::NoButton,
                             Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(v->Canvas(), &move);
            ASSERT_SOON(v->ReadoutText().rfind(expected, 0) == 0) << v->ReadoutText() << "\nwanted " << expected;
            QTest::mouseClick(v->Canvas(), Qt::LeftButton, {}, at);
            EXPECT_EQ(v->PinnedText().rfind("Pinned " + expected, 0), 0u) << v->PinnedText();
        }
        v->close();
        Click(IDC_GRAB_STOP_RELEASE);
        harness::ResetCameraState();
    }
}

// At fit the whole frame stays in sight as the window is resized: fit is
// worked out from the canvas's new size, which the layout gives it after
// the window's.
TEST_F(ViewerTest, FitFollowsTheWindowsSize)
{
    // A deep frame grabbed before it opens: the window has it before it is laid out.
    ASSERT_NO_FATAL_FAILURE(OpenCamera("width=1292,height=964,formats=Mono12"));
    Click(IDC_GRAB_ONCE);
    ui::ViewerWindow* v = Viewer();
    ASSERT_TRUE(v);
    ASSERT_EQ(v->FrameSize(), QSize(1292, 964));
    ASSERT_SOON(v->View().zoom == ui::viewer::FitZoom(v->FrameSize(), v->CanvasSize()));
    for (const QSize size : {QSize(700, 500), QSize(1200, 900), QSize(500, 700), QSize(900, 640)}) {
        SCOPED_TRACE(testing::Message() << size.width() << "x" << size.height());
        v->resize(size);
        ASSERT_SOON(v->View().zoom == ui::viewer::FitZoom(v->FrameSize(), v->CanvasSize()));
        EXPECT_TRUE(v->Fitting());
    }
}

// Opened during live view, the window has a frame before it is laid out.
TEST_F(ViewerTest, FitWhenOpenedDuringLiveView)
{
    ASSERT_NO_FATAL_FAILURE(OpenCamera("width=1292,height=964,rate=50"));
    widget->commands()[ID_PICTURE_LIVE]->trigger();
    ASSERT_SOON(g_lastFrame.valid);
    ui::ViewerWindow* v = Viewer();
    ASSERT_TRUE(v);
    ASSERT_SOON(v->FrameSize() == QSize(1292, 964));
    ASSERT_SOON(v->View().zoom == ui::viewer::FitZoom(v->FrameSize(), v->CanvasSize()));
}

// A pinned point's values follow the frames that come: a darker grab, then
// live view.
TEST_F(ViewerTest, PinnedPointFollowsNewFrames)
{
    ASSERT_NO_FATAL_FAILURE(OpenCamera("width=64,height=48,formats=Mono8,picture=still,rate=100"));
    ui::ViewerWindow* v = Viewer();
    ASSERT_TRUE(v);
    Click(IDC_GRAB_ONCE);
    QTest::keyClick(v, Qt::Key_1);
    ASSERT_SOON(v->View().zoom == 1);
    QTest::mouseClick(v->Canvas(), Qt::LeftButton, {}, ScreenOf(v, {5, 5}) / v->Canvas()->devicePixelRatioF());
    const auto pinned = [] { return "Pinned x 5, y 5: grey " + std::to_string(g_lastFrame.deep.get()[5 * 64 + 5]) + " "; };
    ASSERT_EQ(v->PinnedText().rfind(pinned(), 0), 0u) << v->PinnedText();
    const std::string first = v->PinnedText();
    ASSERT_EQ(CamFeatureValueSet(g_hCamera, "ExposureTime", "2500"), CAM_OK);
    Click(IDC_GRAB_ONCE);
    EXPECT_EQ(v->PinnedText().rfind(pinned(), 0), 0u) << v->PinnedText();
    EXPECT_NE(v->PinnedText(), first);

    ASSERT_EQ(CamFeatureValueSet(g_hCamera, "ExposureTime", "10000"), CAM_OK);
    widget->commands()[ID_PICTURE_LIVE]->trigger();
    ASSERT_SOON(v->PinnedText() == first);
}

// The histogram's counts and the shares at black and full scale, against
// counts made here from the simulated camera's samples.
TEST_F(ViewerTest, HistogramCountsTheSamples)
{
    for (const char* name : {"Mono8", "Mono12"}) {
        SCOPED_TRACE(name);
        const cam::PixelFormat& format = *cam::FindPixelFormat(name);
        ASSERT_NO_FATAL_FAILURE(OpenCamera(std::string("width=64,height=48,picture=still,formats=") + name));
        ui::ViewerWindow* v = Viewer();
        ASSERT_TRUE(v);
        Click(IDC_GRAB_ONCE);
        v->UpdateMeasures();
        const std::vector<uint8_t> frame = SimFrame(format, 64, 48);
        std::vector<uint64_t> counts(size_t(1) << format.bits);
        for (uint32_t y = 0; y < 48; ++y)
            for (uint32_t x = 0; x < 64; ++x)
                ++counts[cam::ReadSample(format, frame.data() + cam::RowBytes(format, 64) * y, x)];
        const imaging::Histogram& h = v->Histogram();
        ASSERT_EQ(h.channels.size(), 1u);
        EXPECT_EQ(h.channels[0].counts, counts);
        char shares[96];
        std::snprintf(shares, sizeof shares, "grey: black %.2f %%, full scale %.2f %%", 100.0 * counts.front() / 3072,
                      100.0 * counts.back() / 3072);
        EXPECT_EQ(v->findChild<QLabel*>("clipping")->text().toStdString(), shares);
        v->close();
        Click(IDC_GRAB_STOP_RELEASE);
        harness::ResetCameraState();
    }
}

// Shift and a drag: the focus measure's area, in camera pixels; Whole frame
// puts it back.
TEST_F(ViewerTest, FocusAreaByShiftDrag)
{
    ASSERT_NO_FATAL_FAILURE(OpenCamera("width=64,height=48,picture=still"));
    ui::ViewerWindow* v = Viewer();
    ASSERT_TRUE(v);
    Click(IDC_GRAB_ONCE);
    QTest::keyClick(v, Qt::Key_1);
    ASSERT_SOON(v->View().zoom == 1);
    v->UpdateMeasures();
    const double whole = v->Focus();
    QWidget* canvas = v->Canvas();
    const double dpr = canvas->devicePixelRatioF();
    QTest::mousePress(canvas, Qt::LeftButton, Qt::ShiftModifier, ScreenOf(v, {4, 2}) / dpr);
    QTest::mouseMove(canvas, ScreenOf(v, {20, 30}) / dpr);
    QTest::mouseRelease(canvas, Qt::LeftButton, Qt::ShiftModifier, ScreenOf(v, {20, 30}) / dpr);
    EXPECT_EQ(v->FocusArea(), QRect(QPoint(4, 2), QPoint(20, 30)));
    EXPECT_EQ(v->Focus(), imaging::Sharpness(imaging::Frame{g_lastFrame.deep.get(), uint64_t(g_lastFrame.deepSize),
                                                            64, 48, g_pPixelFormat},
                                             QRect(QPoint(4, 2), QPoint(20, 30))));
    v->findChild<QPushButton*>("wholeFrame")->click();
    EXPECT_TRUE(v->FocusArea().isEmpty());
    EXPECT_EQ(v->Focus(), whole);
}

// During live view the window opens on the frame shown and closes a hundred
// times; no window is left behind, memory stays flat and live view goes on.
TEST_F(ViewerTest, ReopenedAHundredTimesDuringLiveView)
{
    ASSERT_NO_FATAL_FAILURE(OpenCamera("width=320,height=240,rate=100"));
    widget->commands()[ID_PICTURE_LIVE]->trigger();
    ASSERT_SOON(g_lastFrame.valid);
    const int windows = QApplication::topLevelWidgets().size();
    long rss = 0;
    for (int i = 0; i < 100; ++i) {
        SCOPED_TRACE(i);
        ui::ViewerWindow* v = Viewer();
        ASSERT_TRUE(v);
        ASSERT_SOON(v->FrameSize() == QSize(320, 240));
        if (i % 2)
            QTest::keyClick(v, Qt::Key_Plus);
        v->repaint();
        v->close();
        ASSERT_SOON(dlg.ViewerWindow() == nullptr);
        if (i == 9)
            rss = ResidentKiB();  // after what the first few make for good (fonts, caches)
    }
    ASSERT_SOON(QApplication::topLevelWidgets().size() == windows);
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer holds freed memory back (its quarantine, 256 MB), so
    // resident memory says nothing there; its leak check does.
    EXPECT_LT(ResidentKiB() - rss, 16 * 1024) << "KiB grown over 90 openings";
#endif
    EXPECT_TRUE(dlg.IsCommandChecked(ID_PICTURE_LIVE));
    const uint64_t id = g_lastFrame.frameId;
    ASSERT_SOON(g_lastFrame.frameId > id);
}

// Zoomed in at a far corner, the frame narrows (Width from the settings
// window): the view comes back within the new frame, the next frames are
// shown and read, grabbed and live.
TEST_F(ViewerTest, NarrowedWhileZoomedIn)
{
    ASSERT_NO_FATAL_FAILURE(OpenCamera("width=64,height=48,rate=100"));
    widget->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(widget));
    QTest::keyClick(widget, Qt::Key_E, Qt::ControlModifier);
    ASSERT_TRUE(dlg.SettingsWindow());
    QWidget* settings = dlg.SettingsWindow()->widget();
    ui::ViewerWindow* v = Viewer();
    ASSERT_TRUE(v);
    Click(IDC_GRAB_ONCE);
    v->ZoomTo(16);
    imaging::View far = v->View();
    far.left = far.top = 1e6;
    v->SetView(far);
    const QSize canvas = v->CanvasSize();
    EXPECT_DOUBLE_EQ(v->View().left, 64 - canvas.width() / 16.0 < 0 ? v->View().left : std::round((64 - canvas.width() / 16.0) * 16) / 16);

    settings->findChild<QSpinBox*>("Width")->setValue(32);
    ASSERT_SOON(g_nWidth == int64_t(32));
    v->repaint();
    Click(IDC_GRAB_ONCE);
    ASSERT_EQ(v->FrameSize(), QSize(32, 48));
    const auto inSight = [&] {
        const imaging::View view = v->View();
        const double seen = v->CanvasSize().width() / view.zoom;
        return view.zoom == 16 && (seen >= 32 ? view.left < 0 : view.left >= 0 && view.left + seen <= 32.0001);
    };
    EXPECT_TRUE(inSight());
    v->repaint();
    EXPECT_NE(v->DescribeAt(ScreenOf(v, {31, 47})).find("x 31, y 47: "), std::string::npos);
    EXPECT_EQ(v->DescribeAt(ScreenOf(v, {31, 47})).find("outside"), std::string::npos);

    widget->commands()[ID_PICTURE_LIVE]->trigger();
    ASSERT_SOON(dlg.IsCommandChecked(ID_PICTURE_LIVE) && v->FrameSize() == QSize(32, 48));
    v->repaint();
    EXPECT_TRUE(inSight());
}

// A frame of one pixel and one of a single row 65535 long: fit, every zoom
// step both ways, the wheel, the arrows; the view stays within its limits
// and the end pixels are read.
TEST_F(ViewerTest, OnePixelAndOneLongRow)
{
    const struct {
        uint32_t width, height;
    } cases[] = {{1, 1}, {65535, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        ASSERT_NO_FATAL_FAILURE(OpenCamera("width=" + std::to_string(c.width) + ",height=" + std::to_string(c.height)));
        ui::ViewerWindow* v = Viewer();
        ASSERT_TRUE(v);
        Click(IDC_GRAB_ONCE);
        ASSERT_EQ(v->FrameSize(), QSize(int(c.width), int(c.height)));
        // The canvas's size may still settle (X's plugin): fit as it is now.
        const auto fitNow = [&] { return ui::viewer::FitZoom(v->FrameSize(), v->CanvasSize()); };
        const auto withinLimits = [&] {
            const imaging::View view = v->View();
            const double fit = fitNow();
            return std::isfinite(view.left) && std::isfinite(view.top) && view.zoom <= ui::viewer::kMaxZoom &&
                   view.zoom >= std::min(fit, 1.0) * (1 - 1e-9);
        };
        for (int i = 0; i < 12; ++i) {
            QTest::keyClick(v, Qt::Key_Plus);
            ASSERT_TRUE(withinLimits());
        }
        ASSERT_SOON(v->View().zoom == ui::viewer::kMaxZoom);
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(v, Qt::Key_Right);
        ASSERT_TRUE(withinLimits());
        v->repaint();
        const QPointF centre = QPointF(v->Canvas()->rect().center());
        for (int delta : {-120, -120, -120, -120, -120, -120, -120, -120, -120, -120, -120, -120, -120, 120, 120}) {
            QWheelEvent wheel(centre, v->Canvas()->mapToGlobal(centre), {}, {0, delta}, Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QApplication::sendEvent(v->Canvas(), &wheel);
            ASSERT_TRUE(withinLimits());
        }
        for (int i = 0; i < 24; ++i) {
            QTest::keyClick(v, Qt::Key_Minus);
            ASSERT_TRUE(withinLimits());
        }
        ASSERT_SOON(v->View().zoom == std::min(fitNow(), 1.0));
        v->repaint();
        v->ZoomFit();
        v->repaint();
        for (uint32_t x : {0u, c.width - 1}) {
            SCOPED_TRACE(x);
            // At fit a long row's pixels are a fraction of a screen pixel:
            // read them at 1:1, each brought into view.
            imaging::View at = v->View();
            at.zoom = 1;
            at.left = x;
            v->SetView(at);
            const std::string text = v->DescribeAt(ScreenOf(v, QPoint(int(x), 0)));
            EXPECT_EQ(text.rfind("x " + std::to_string(x) + ", y 0: ", 0), 0u) << text;
            EXPECT_EQ(text.find("outside"), std::string::npos) << text;
        }
        v->close();
        Click(IDC_GRAB_STOP_RELEASE);
        harness::ResetCameraState();
    }
}

// What the status line says while a recording runs, while the camera waits
// for Line0 and while only incomplete frames come; in a wide window and a
// narrow one, all of its text is in sight (wrapped, not cut).
TEST_F(ViewerTest, StatusLineSaysWhatGoesOn)
{
    QTemporaryDir dir;
    const std::string run = dir.path().toStdString() + "/run.mkv";
    const struct {
        const char* name;
        const char* sim;
        std::function<void(ViewerTest&)> start;  // after the camera opened
        const char* status;                      // a regular expression for the line
        const char* readout;                     // and for the readout line; null: not checked
    } rows[] = {
        {"recording", "width=64,height=48,formats=Mono8,rate=100",
         [&](ViewerTest& t) {
             Recorder::Options options;
             options.path = run;
             ASSERT_EQ(t.dlg.RecordTo(options), "");
         },
         "\nREC run\\.mkv 0:0\\d:\\d\\d, recording: [1-9]\\d* frames, 0 dropped, \\d+ MB/s$", nullptr},
        {"waiting for Line0", "width=64,height=48,rate=100",
         [](ViewerTest& t) {
             ASSERT_EQ(CamFeatureValueSet(g_hCamera, "TriggerMode", "On"), CAM_OK);
             ASSERT_EQ(CamFeatureValueSet(g_hCamera, "TriggerSource", "Line0"), CAM_OK);
             t.widget->commands()[ID_PICTURE_LIVE]->trigger();
         },
         "\nwaiting for trigger on Line0, no frame yet, started \\d+\\.\\d s ago$",
         // Live view runs: Ctrl+L would stop it, not start it.
         "^No frame yet from live view \\(the line below says what it waits for\\)$"},
        {"only incomplete frames", "width=64,height=48,rate=100,frames=incomplete",
         [](ViewerTest& t) { t.widget->commands()[ID_PICTURE_LIVE]->trigger(); },
         "\nonly incomplete frames come \\(\\d+ so far\\)", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(OpenCamera(row.sim));
        ui::ViewerWindow* v = Viewer();
        ASSERT_TRUE(v);
        ASSERT_NO_FATAL_FAILURE(row.start(*this));
        auto* status = v->findChild<QLabel*>("status");
        const QRegularExpression expected(row.status);
        ASSERT_SOON(expected.match(status->text()).hasMatch()) << status->text().toStdString();
        if (row.readout)
            EXPECT_TRUE(QRegularExpression(row.readout).match(QString::fromStdString(v->ReadoutText())).hasMatch())
                << v->ReadoutText();
        for (int width : {1000, 420, 260}) {
            SCOPED_TRACE(width);
            v->resize(width, v->height());
            ASSERT_SOON(v->width() <= std::max(width, v->minimumWidth()));
            v->UpdateMeasures();
            const QString text = status->text();
            ASSERT_TRUE(expected.match(text).hasMatch()) << text.toStdString();
            // The lines the text takes at the label's width, each word whole.
            ASSERT_SOON(status->contentsRect().height() >=
                        QFontMetrics(status->font())
                            .boundingRect(status->contentsRect(), Qt::TextWordWrap, status->text())
                            .height())
                << status->text().toStdString() << " in " << status->contentsRect().width() << " x "
                << status->contentsRect().height();
            EXPECT_TRUE(status->isVisible());
        }
        QPointer<ui::ViewerWindow> closing(v);
        v->close();
        ASSERT_SOON(closing.isNull());
        Click(IDC_GRAB_STOP_RELEASE);
        harness::ResetCameraState();
    }
}

// The simulated lens over the viewer: the focus value of its picture is
// highest at the lens's best position and falls either way, and the peak
// holds the highest seen.
TEST_F(ViewerTest, FocusPeaksAtTheLensBestPosition)
{
    ASSERT_NO_FATAL_FAILURE(OpenCamera("width=160,height=120"));
    ui::ViewerWindow* v = Viewer();
    ASSERT_TRUE(v);
    const struct {
        int position;
    } rows[] = {{0}, {300}, {560}, {600}, {640}, {900}, {1000}};
    std::map<int, double> focus;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.position);
        ASSERT_EQ(CamFeatureValueSet(g_hCamera, "FocusPosition", std::to_string(row.position).c_str()), CAM_OK);
        Click(IDC_GRAB_ONCE);
        v->UpdateMeasures();
        focus[row.position] = v->Focus();
        EXPECT_GT(v->Focus(), 0);
    }
    for (const auto& [position, value] : focus) {
        if (position != 600) {
            EXPECT_LT(value, focus[600]) << position;
        }
    }
    EXPECT_LT(focus[300], focus[560]);
    EXPECT_LT(focus[900], focus[640]);
    EXPECT_DOUBLE_EQ(v->FocusPeak(), focus[600]);
}

// At fit the whole frame is drawn from live view's block reduction scaled
// by the painter (the dialog's own during live view when near the size):
// the picture is the exact average RenderView gives but for the edges
// between areas, for grabbed and live frames of each kind of format.
TEST_F(ViewerTest, FitIsTheAverageOfTheFrame)
{
    const struct {
        const char* format;
        bool live;
    } rows[] = {{"Mono8", false}, {"BayerRG8", false}, {"YUV422_8", false}, {"BayerRG8", true}, {"RGB8", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.format) + (row.live ? ", live" : ", grabbed"));
        ASSERT_NO_FATAL_FAILURE(OpenCamera(std::string("width=2584,height=1928,rate=50,picture=still,formats=") +
                                           row.format));
        ui::ViewerWindow* v = Viewer();
        ASSERT_TRUE(v);
        if (row.live)
            widget->commands()[ID_PICTURE_LIVE]->trigger();
        else
            Click(IDC_GRAB_ONCE);
        ASSERT_SOON(v->FrameSize() == QSize(2584, 1928));
        v->ZoomFit();
        ASSERT_LT(v->View().zoom, 0.5) << "the frame is shown reduced";
        v->repaint();
        const QImage shot = Canvas(v);
        const cam::PixelFormat& format = *cam::FindPixelFormat(row.format);
        const std::vector<uint8_t> bytes = SimFrame(format, 2584, 1928);
        QImage exact;
        ASSERT_TRUE(imaging::RenderView({bytes.data(), bytes.size(), 2584, 1928, row.format}, v->View(),
                                        uint32_t(shot.width()), uint32_t(shot.height()), {}, &exact));
        ASSERT_EQ(exact.size(), shot.size());
        double total = 0;
        int64_t far = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) {
                const QRgb a = shot.pixel(x, y), b = exact.pixel(x, y);
                const int d = std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                        std::abs(qBlue(a) - qBlue(b))});
                total += d;
                far += d > 32;
            }
        const double pixels = double(shot.width()) * shot.height();
        EXPECT_LT(total / pixels, 2.0) << "mean difference from the exact average";
        EXPECT_LT(double(far) / pixels, 0.02) << "pixels far from the exact average";
        Click(IDC_GRAB_STOP_RELEASE);
        harness::ResetCameraState();
    }
}

}  // namespace

// The pixel format changed from the settings window between runs of live
// view (the camera holds it read-only while it streams) while zoomed in at
// 4:1 with a point pinned: the pinned values and the readout
// under the cursor follow at the new format's depth, the zoom stays; then
// the frame made smaller than the pinned point says it is outside.
TEST_F(ViewerTest, PixelFormatChangedWhileZoomedAndPinned)
{
    ASSERT_NO_FATAL_FAILURE(
        OpenCamera("width=64,height=48,picture=still,rate=100,formats=Mono8+Mono12+BayerRG12p+RGB8+YUV422_8"));
    widget->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(widget));
    QTest::keyClick(widget, Qt::Key_E, Qt::ControlModifier);
    ASSERT_TRUE(dlg.SettingsWindow());
    QWidget* settings = dlg.SettingsWindow()->widget();
    ui::ViewerWindow* v = Viewer();
    ASSERT_TRUE(v);
    widget->commands()[ID_PICTURE_LIVE]->trigger();
    ASSERT_SOON(v->FrameSize() == QSize(64, 48));
    v->ZoomTo(4);
    const QPoint pin(13, 3), hover(40, 41);
    v->Pin(pin);
    const QPoint at = ScreenOf(v, hover) / v->Canvas()->devicePixelRatioF();
    QMouseEvent move(QEvent::MouseMove, QPointF(at), v->Canvas()->mapToGlobal(QPointF(at)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(v->Canvas(), &move);

    for (const char* name : {"Mono12", "BayerRG12p", "RGB8", "YUV422_8", "Mono8"}) {
        SCOPED_TRACE(name);
        const cam::PixelFormat& format = *cam::FindPixelFormat(name);
        const std::vector<uint8_t> frame = SimFrame(format, 64, 48);
        auto* combo = settings->findChild<QComboBox*>("PixelFormat");
        ASSERT_TRUE(combo);
        // Read-only while the camera streams: live view stopped around the change.
        widget->commands()[ID_PICTURE_LIVE]->trigger();
        ASSERT_SOON(!dlg.IsCommandChecked(ID_PICTURE_LIVE));
        emit combo->activated(combo->findText(name));
        ASSERT_SOON(std::string(g_pPixelFormat) == name);
        widget->commands()[ID_PICTURE_LIVE]->trigger();
        ASSERT_SOON(dlg.IsCommandChecked(ID_PICTURE_LIVE));
        const auto expect = [&](QPoint p) {
            return "x " + std::to_string(p.x()) + ", y " + std::to_string(p.y()) + ": " +
                   ExpectedSamples(format, frame, 64, p.x(), p.y());
        };
        ASSERT_SOON(v->PinnedText().rfind("Pinned " + expect(pin), 0) == 0)
            << v->PinnedText() << "\nwanted " << expect(pin);
        // The pointer again where it was: the canvas may have moved under it
        // as the window laid itself out for the new format's texts.
        const QPoint again = ScreenOf(v, hover) / v->Canvas()->devicePixelRatioF();
        QMouseEvent moved(QEvent::MouseMove, QPointF(again), v->Canvas()->mapToGlobal(QPointF(again)), Qt::NoButton,
                          Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(v->Canvas(), &moved);
        ASSERT_SOON(v->ReadoutText().rfind(expect(hover), 0) == 0) << v->ReadoutText() << "\nwanted " << expect(hover);
        EXPECT_EQ(v->View().zoom, 4);
        EXPECT_TRUE(dlg.IsCommandChecked(ID_PICTURE_LIVE));
    }

    // Smaller than the pinned point: said so, not a stale value.
    v->Pin(QPoint(50, 40));
    widget->commands()[ID_PICTURE_LIVE]->trigger();
    ASSERT_SOON(!dlg.IsCommandChecked(ID_PICTURE_LIVE));
    settings->findChild<QSpinBox*>("Width")->setValue(32);
    settings->findChild<QSpinBox*>("Height")->setValue(24);
    ASSERT_SOON(g_nWidth == int64_t(32) && g_nHeight == int64_t(24));
    widget->commands()[ID_PICTURE_LIVE]->trigger();
    ASSERT_SOON(v->FrameSize() == QSize(32, 24));
    ASSERT_SOON(v->PinnedText().rfind("Pinned x 50, y 40: outside the frame", 0) == 0) << v->PinnedText();
    EXPECT_TRUE(dlg.IsCommandChecked(ID_PICTURE_LIVE));
}

// The keys the viewer's own texts name (Ctrl+L in its notes, Ctrl+T in the
// status line of a camera waiting for a software trigger) and the dialog's
// other stream commands act from the viewer too, while it is the active window.
TEST_F(ViewerTest, DialogKeysActFromTheViewer)
{
    ASSERT_NO_FATAL_FAILURE(OpenCamera("width=64,height=48,rate=100"));
    ui::ViewerWindow* v = Viewer();
    ASSERT_TRUE(v);
    v->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(v));
    const struct {
        const char* name;
        std::function<void()> before;
        Qt::Key key;
        std::function<bool()> done;
    } rows[] = {
        {"Ctrl+L starts live view", [] {}, Qt::Key_L, [&] { return dlg.IsCommandChecked(ID_PICTURE_LIVE); }},
        {"Ctrl+L ends it", [] {}, Qt::Key_L, [&] { return !dlg.IsCommandChecked(ID_PICTURE_LIVE); }},
        {"Ctrl+T sends a software trigger",
         [&] {
             ASSERT_EQ(CamFeatureValueSet(g_hCamera, "TriggerMode", "On"), CAM_OK);
             ASSERT_EQ(CamFeatureValueSet(g_hCamera, "TriggerSource", "Software"), CAM_OK);
             widget->commands()[ID_PICTURE_LIVE]->trigger();
             ASSERT_SOON(dlg.IsCommandChecked(ID_PICTURE_LIVE) && dlg.IsCommandEnabled(ID_PICTURE_TRIGGER));
             ASSERT_FALSE(g_lastFrame.valid);
         },
         Qt::Key_T, [] { return g_lastFrame.valid; }},
        {"Ctrl+E opens the settings window", [] {}, Qt::Key_E, [&] { return dlg.SettingsWindow() != nullptr; }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(row.before());
        v->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(v));
        QTest::keyClick(v, row.key, Qt::ControlModifier);
        ASSERT_SOON(row.done());
    }
}

// A double click on the picture area while GrapOnce waits for a trigger on
// Line0 (a pulse every two seconds): nothing hangs, and the viewer opens
// once the grab is done, showing the frame that came.
TEST_F(ViewerTest, DoubleClickWhileAGrabWaitsForATrigger)
{
    ASSERT_NO_FATAL_FAILURE(OpenCamera("width=64,height=48,formats=Mono8,line0=0.5"));
    ASSERT_EQ(CamFeatureValueSet(g_hCamera, "TriggerMode", "On"), CAM_OK);
    ASSERT_EQ(CamFeatureValueSet(g_hCamera, "TriggerSource", "Line0"), CAM_OK);
    QWidget* picture = widget->control(IDC_PICTURE);
    bool sent = false;
    QTimer::singleShot(200, [&] {
        const QPointF at = QPointF(picture->rect().center());
        for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                                        QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
            auto* e = new QMouseEvent(type, at, picture->mapToGlobal(at), Qt::LeftButton,
                                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                                      Qt::NoModifier);
            QApplication::postEvent(picture, e);
        }
        sent = true;
    });
    Click(IDC_GRAB_ONCE);
    ASSERT_SOON(sent);
    ASSERT_TRUE(g_lastFrame.valid);
    ASSERT_SOON(dlg.ViewerWindow() && dlg.ViewerWindow()->isVisible());
    ui::ViewerWindow* v = dlg.ViewerWindow();
    ASSERT_SOON(v->FrameSize() == QSize(64, 48) || v->ReadoutText().find("GrapOnce") != std::string::npos)
        << v->ReadoutText();
}
