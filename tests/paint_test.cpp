// Painting the picture area, checked pixel by pixel in the regions that
// matter, through each state a user goes through; and the fit computation.
#include "DialogHarness.h"
#include "platform/camera/camsim.h"
#include "platform/ui/PaintDC.h"

#include <QApplication>
#include <QPainter>
#include <gtest/gtest.h>

#include <cstdlib>

namespace ui {
void PrintTo(const Rect& r, std::ostream* os)
{
    *os << "(" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ")";
}
}  // namespace ui

namespace {

struct FitCase {
    int32_t w, h;
    ui::Rect target;
    ui::Rect expected;
};

// Every worked example: double-precision scale, truncation, the +1 centring
// bias, and the short side left uncorrected.
TEST(FitRect, Examples)
{
    const FitCase cases[] = {
        {640, 480, {0, 0, 400, 400}, {0, 50, 400, 350}},
        {100, 100, {0, 0, 301, 200}, {51, 0, 251, 200}},
        {320, 240, {0, 0, 320, 240}, {0, 0, 320, 240}},
        {1292, 964, {0, 0, 395, 300}, {1, 3, 395, 297}},
        {7, 7, {0, 0, 61, 100}, {1, 20, 61, 80}},
        {1000, 10, {0, 0, 500, 500}, {0, 248, 500, 253}},  // wider than the area only
        {10, 1000, {0, 0, 500, 500}, {248, 0, 253, 500}},  // taller only
        {1292, 964, {5, 5, 400, 305}, {1, 3, 395, 297}},   // target origin is not added
        // Nothing to fit: empty.
        {0, 10, {0, 0, 100, 100}, {}},
        {10, -1, {0, 0, 100, 100}, {}},
        {10, 10, {0, 0, 0, 100}, {}},
        {10, 10, {50, 0, 10, 100}, {}},
        {1, 1, {INT32_MIN, 0, INT32_MAX, 100}, {}},
    };
    for (const FitCase& c : cases)
        EXPECT_EQ(FitRect(c.w, c.h, c.target), c.expected)
            << c.w << "x" << c.h << " into " << c.target.Width() << "x" << c.target.Height();
}

class PaintTest : public ::testing::Test, public harness::ShownDialog {
protected:
    void SetUp() override
    {
        unsetenv("TARVIK_CAMERAS");
        setenv("TARVIK_SIM", "width=1292,height=964", 1);
        ASSERT_NO_FATAL_FAILURE(Show());
        client = dlg.m_picture.GetClientRect();
    }
    void TearDown() override
    {
        harness::ResetCameraState();
        unsetenv("TARVIK_SIM");
    }
    static QColor Face() { return QApplication::palette().color(QPalette::Button); }
    static QColor Background() { return QApplication::palette().color(QPalette::Window); }

    // The simulated picture in rect: bars in order over the top two thirds,
    // the ramp rising left to right at the bottom.
    static void ExpectTestPicture(const QImage& shown, const ui::Rect& r)
    {
        for (int bar = 0; bar < 8; ++bar) {
            const uint8_t* c = cam::kSimBarColours[bar];
            const int x = r.left + (2 * bar + 1) * r.Width() / 16;
            const QColor got = shown.pixelColor(x, r.top + r.Height() / 3);
            EXPECT_EQ(got, QColor(c[2], c[1], c[0])) << "bar " << bar << " at x " << x;
        }
        const int bottom = r.bottom - 2;
        EXPECT_LT(qGray(shown.pixel(r.left + 1, bottom)), 20);
        EXPECT_GT(qGray(shown.pixel(r.right - 2, bottom)), 235);
        EXPECT_LT(qGray(shown.pixel(r.left + r.Width() / 4, bottom)),
                  qGray(shown.pixel(r.left + 3 * r.Width() / 4, bottom)));
    }

    ui::Rect client;
};

// The picture area through a session: frame, clear, picture, release, reopen.
TEST_F(PaintTest, States)
{
    const int w = client.Width(), h = client.Height();
    ASSERT_GT(w, 100);

    // Before opening: the dialog background inside a 1-pixel black frame.
    QImage shown = Shown();
    ASSERT_EQ(shown.size(), QSize(w, h));
    // Device pixels: on a high-density screen the picture is drawn at full resolution.
    const QWidget* picture = widget->control(IDC_PICTURE);
    EXPECT_EQ(w, qRound(picture->width() * picture->devicePixelRatioF()));
    for (QPoint p : {QPoint(0, 0), QPoint(w - 1, h - 1), QPoint(w / 2, 0), QPoint(0, h / 2)})
        EXPECT_EQ(shown.pixelColor(p), QColor(Qt::black)) << p.x() << "," << p.y();
    EXPECT_EQ(shown.pixelColor(w / 2, h / 2), Background());

    // After opening: cleared once (the frame is gone), a black rectangle where
    // the picture will be.
    Click(IDC_INIT_GRAB_START);
    shown = Shown();
    const ui::Rect fit = FitRect(1292, 964, client);
    ASSERT_GT(fit.Width(), 0);
    EXPECT_FALSE(dlg.m_bClearPending);
    EXPECT_EQ(shown.pixelColor(fit.left + fit.Width() / 2, fit.top + fit.Height() / 2), QColor(Qt::black));
    EXPECT_EQ(shown.pixelColor(fit.left, fit.top), QColor(Qt::black));
    EXPECT_EQ(shown.pixelColor(fit.right - 1, fit.bottom - 1), QColor(Qt::black));
    EXPECT_EQ(shown.pixelColor(w - 1, h - 1), Face()) << "frame not cleared";
    if (fit.left > 0) {
        EXPECT_EQ(shown.pixelColor(fit.left - 1, h / 2), Face());
    }
    if (fit.right < w) {
        EXPECT_EQ(shown.pixelColor(fit.right, h / 2), Face());
    }

    // After a grab: the picture fitted and centred.
    Click(IDC_GRAB_ONCE);
    const QImage first = Shown();
    ExpectTestPicture(first, fit);
    EXPECT_EQ(first.pixelColor(w - 1, h - 1), Face());

    // A second grab shows the new frame (the square has moved).
    Click(IDC_GRAB_ONCE);
    const QImage second = Shown();
    ExpectTestPicture(second, fit);
    EXPECT_NE(first, second);

    // After release the last picture stays.
    Click(IDC_GRAB_STOP_RELEASE);
    EXPECT_EQ(Shown(), second);

    // Reopening at another size clears once more and fits the new shape.
    setenv("TARVIK_SIM", "width=300,height=600", 1);
    Click(IDC_INIT_GRAB_START);
    shown = Shown();
    const ui::Rect tall = FitRect(300, 600, client);
    EXPECT_EQ(shown.pixelColor(tall.left - 2, h / 2), Face()) << "old picture not cleared";
    EXPECT_EQ(shown.pixelColor(tall.left + 1, h / 2), QColor(Qt::black));
    Click(IDC_GRAB_ONCE);
    ExpectTestPicture(Shown(), tall);
}

// Only the fitted rectangle is drawn: whatever else the area showed stays.
TEST_F(PaintTest, OutsideFitIsLeftAlone)
{
    setenv("TARVIK_SIM", "width=100,height=1000", 1);  // a narrow picture leaves wide margins
    Click(IDC_INIT_GRAB_START);
    Shown();
    QImage& surface = widget->surface(IDC_PICTURE)->surface();
    surface.setPixelColor(2, 2, Qt::red);  // as if something had drawn there
    Click(IDC_GRAB_ONCE);
    EXPECT_EQ(Shown().pixelColor(2, 2), QColor(Qt::red));
}

// A repaint with no new frame copies the cached picture instead of scaling again.
TEST_F(PaintTest, RepaintUsesCache)
{
    Click(IDC_INIT_GRAB_START);
    Click(IDC_GRAB_ONCE);
    Shown();
    const uint64_t scaled = ui::StretchedPictureCount();
    const QImage once = Shown();
    EXPECT_EQ(Shown(), once);
    EXPECT_EQ(ui::StretchedPictureCount(), scaled);
    Click(IDC_GRAB_ONCE);
    Shown();
    EXPECT_EQ(ui::StretchedPictureCount(), scaled + 1);
}

// Minimised, the dialog shows its icon centred (with the +1 bias) on the
// erased background, and the display image is not drawn.
TEST_F(PaintTest, MinimisedDrawsIcon)
{
    Click(IDC_INIT_GRAB_START);
    Click(IDC_GRAB_ONCE);
    const QImage before = Shown();
    widget->setWindowState(Qt::WindowMinimized);
    ASSERT_TRUE(dlg.IsIconic());
    QImage dialog(widget->size(), QImage::Format_RGB32);
    dialog.fill(Qt::magenta);
    widget->render(&dialog, QPoint(), QRegion(), QWidget::DrawWindowBackground);

    const int size = ui::GetSystemMetrics(ui::kSmCxIcon);
    const int x = (widget->width() - size + 1) / 2, y = (widget->height() - size + 1) / 2;
    QImage expected(widget->size(), QImage::Format_RGB32);
    expected.fill(Background());
    QPainter painter(&expected);
    painter.drawPixmap(x, y, widget->windowIcon().pixmap(size, size));
    painter.end();
    EXPECT_EQ(dialog, expected);
    EXPECT_EQ(widget->surface(IDC_PICTURE)->surface(), before);
    widget->setWindowState(Qt::WindowNoState);
}

}  // namespace
