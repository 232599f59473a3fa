// The main dialog as a person meets it: built from its template, focus on the
// first button, keys, routing of clicks to the handlers, icon.
#include "DialogHarness.h"
#include "WaitFor.h"
#include "platform/camera/camsim.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using harness::Lines;
using harness::TraceOf;

class DialogTest : public ::testing::Test, public harness::ShownDialog {
protected:
    void SetUp() override
    {
        unsetenv("TARVIK_CAMERAS");
        unsetenv("TARVIK_SIM");
        harness::ResetCameraState();
        ASSERT_NO_FATAL_FAILURE(Show());
        widget->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(widget));
    }
    void TearDown() override { harness::ResetCameraState(); }
};

const Lines kRelease = {"cam: CamCameraClose(2) -> 0", "cam: CamShutdown() -> 0"};

// Every control sits where its dialog units put it, with its caption; the
// window has the template's caption and size, fixed, and no title-bar buttons.
TEST_F(DialogTest, BuiltFromTemplate)
{
    const struct {
        int id;
        const char* caption;
        int x, y, w, h;
    } controls[] = {
        {IDC_INIT_GRAB_START, "Init& GrapStart", 17, 29, 85, 14},
        {IDC_GRAB_STOP_RELEASE, "GrapStop & Release", 17, 64, 85, 14},
        {IDC_GRAB_ONCE, "GrapOnce", 17, 95, 85, 14},
        {IDC_PICTURE, nullptr, 123, 7, 303, 197},
    };
    const ui::DialogBaseUnits base = widget->baseUnits();
    const QFontMetrics metrics(widget->font());
    EXPECT_EQ(base.x, (metrics.horizontalAdvance(
                           "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2);
    EXPECT_EQ(base.y, metrics.height());
    EXPECT_DOUBLE_EQ(widget->font().pointSizeF(), 9.0);
    for (const auto& c : controls) {
        QWidget* w = widget->control(c.id);
        ASSERT_NE(w, nullptr) << c.id;
        const ui::Rect r = ui::DialogToPixels(c.x, c.y, c.w, c.h, base);
        EXPECT_EQ(w->geometry(), QRect(r.left, r.top, r.Width(), r.Height())) << c.id;
        if (c.caption) {
            EXPECT_EQ(Button(c.id)->text().toStdString(), c.caption);
        }
    }
    EXPECT_EQ(widget->windowTitle(), "Tarvik");
    const ui::Rect client = ui::DialogToPixels(0, 0, 441, 245, base);
    EXPECT_EQ(widget->size(), QSize(client.Width(), client.Height()));
    EXPECT_EQ(widget->minimumSize(), widget->maximumSize());
    const Qt::WindowFlags flags = widget->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    EXPECT_FALSE(flags & (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowSystemMenuHint));
    EXPECT_TRUE(dlg.m_picture.IsBound());
    EXPECT_EQ(dlg.m_picture.Id(), IDC_PICTURE);
    EXPECT_FALSE(dlg.m_bClearPending);
}

// Focus starts on the first button; Tab moves on; Esc ends the dialog.
TEST_F(DialogTest, FocusAndKeys)
{
    ASSERT_SOON(QApplication::focusWidget() == widget->control(IDC_INIT_GRAB_START));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_SOON(QApplication::focusWidget() == widget->control(IDC_GRAB_STOP_RELEASE));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_SOON(QApplication::focusWidget() == widget->control(IDC_GRAB_ONCE));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    ASSERT_SOON(!widget->isVisible());
    EXPECT_EQ(widget->result(), QDialog::Rejected);
}

// Enter and Space press the focused button, as a click would.
TEST_F(DialogTest, EnterAndSpacePressFocusedButton)
{
    ASSERT_SOON(QApplication::focusWidget() == widget->control(IDC_INIT_GRAB_START));
    Lines trace = TraceOf([&] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return); });
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front(), "cam: CamStartup() -> 0");
    EXPECT_NE(g_hCamera, 0u);
    Button(IDC_GRAB_STOP_RELEASE)->setFocus();
    ASSERT_SOON(QApplication::focusWidget() == widget->control(IDC_GRAB_STOP_RELEASE));
    EXPECT_EQ(TraceOf([&] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space); }), kRelease);
    EXPECT_TRUE(widget->isVisible());
}

// Each button's click reaches its own handler, and only that one.
TEST_F(DialogTest, ClicksAreRouted)
{
    // Before opening, "GrapOnce" calls nothing.
    EXPECT_TRUE(TracedClick(IDC_GRAB_ONCE).empty());
    const Lines trace = TracedClick(IDC_INIT_GRAB_START);
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front(), "cam: CamStartup() -> 0");
    EXPECT_EQ(trace.back(), "cam: CamFeatureIntGet(2, \"Width\", ptr) -> 0");
    EXPECT_EQ(g_image.GetWidth(), 1292);
    EXPECT_EQ(g_image.GetHeight(), 964);
    EXPECT_TRUE(dlg.m_bClearPending);
    EXPECT_EQ(TracedClick(IDC_GRAB_STOP_RELEASE), kRelease);
    EXPECT_TRUE(g_image.IsNull());
    EXPECT_EQ(g_hCamera, 0u);
}

// The application icon is the window's icon, in every size, and the drag icon.
TEST_F(DialogTest, Icon)
{
    ASSERT_FALSE(dlg.m_hIcon.IsNull());
    EXPECT_EQ(dlg.GetIcon(true), dlg.m_hIcon);
    EXPECT_EQ(dlg.GetIcon(false), dlg.m_hIcon);
    const QList<QSize> sizes = widget->windowIcon().availableSizes();
    for (int size : {16, 24, 32, 48, 256})
        EXPECT_TRUE(sizes.contains(QSize(size, size))) << size;
    ui::MessageData result;
    EXPECT_TRUE(dlg.SendMessage(ui::Message::QueryDragIcon, 0, &result));
    EXPECT_EQ(result.icon, dlg.m_hIcon);
}

// The simulated camera end to end: after opening and one grab the display image
// holds the test picture the right way up, in colour and in grey.
TEST_F(DialogTest, GrabShowsSimulatedPicture)
{
    const struct {
        const char* sim;
        bool mono;
    } cases[] = {{"width=320,height=240", false}, {"width=320,height=240,formats=Mono8", true}};
    for (const auto& c : cases) {
        setenv("TARVIK_SIM", c.sim, 1);
        Click(IDC_INIT_GRAB_START);
        Click(IDC_GRAB_ONCE);
        ASSERT_EQ(g_image.GetWidth(), 320) << c.sim;
        ASSERT_EQ(g_image.GetHeight(), 240);
        const imaging::DisplayImage& image = g_image;
        auto pixel = [&](int x, int y) {
            const uint8_t* p = image.GetBits() + ptrdiff_t(y) * image.GetPitch() + x * 3;
            return std::vector<uint8_t>(p, p + 3);
        };
        for (int bar = 0; bar < 8; ++bar) {
            const uint8_t* b = cam::kSimBarColours[bar];
            const uint8_t grey = cam::SimLuma(b[0], b[1], b[2]);
            const std::vector<uint8_t> expected =
                c.mono ? std::vector<uint8_t>{grey, grey, grey} : std::vector<uint8_t>(b, b + 3);
            EXPECT_EQ(pixel(bar * 40 + 20, 0), expected) << c.sim << " bar " << bar;
        }
        EXPECT_EQ(pixel(0, 239), (std::vector<uint8_t>{0, 0, 0})) << c.sim;
        EXPECT_EQ(pixel(319, 239), (std::vector<uint8_t>{255, 255, 255})) << c.sim;
        Click(IDC_GRAB_STOP_RELEASE);
    }
}

}  // namespace
