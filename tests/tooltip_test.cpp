// The picture area's tooltip while it shows: its text follows live view's
// state in place, and only its own tip is touched, never after it was told
// to go.
#include "DialogHarness.h"
#include "WaitFor.h"

#include <QApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QToolTip>

#include <functional>
#include <memory>

namespace {

class TooltipTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("TARVIK_CAMERAS");
        setenv("TARVIK_SIM", "width=64,height=48,formats=Mono8,rate=100", 1);
        harness::ResetCameraState();
    }
    void TearDown() override
    {
        QToolTip::hideText();
        harness::ResetCameraState();
        unsetenv("TARVIK_SIM");
    }
};

// Shows widget's tooltip as Qt does when the pointer rests on it.
void Hover(QWidget* widget)
{
    const QPoint centre = widget->rect().center();
    QHelpEvent help(QEvent::ToolTip, centre, widget->mapToGlobal(centre));
    QApplication::sendEvent(widget, &help);
}

using Then = std::function<QString(QWidget* picture, std::unique_ptr<QLabel>& other)>;

// Live view runs, the picture area's tip is shown, then does what then does
// (which returns the tip that must stay, if any).
void Check(const Then& then, bool follows)
{
    harness::ShownDialog w;
    ASSERT_NO_FATAL_FAILURE(w.Show());
    w.Click(IDC_INIT_GRAB_START);
    QTest::keyClick(w.widget, Qt::Key_L, Qt::ControlModifier);
    ASSERT_TRUE(w.dlg.IsCommandChecked(ID_PICTURE_LIVE));
    QWidget* picture = w.widget->control(IDC_PICTURE);
    ASSERT_SOON(picture->toolTip().contains("live: "));
    Hover(picture);
    ASSERT_SOON(QToolTip::isVisible());
    ASSERT_EQ(QToolTip::text(), picture->toolTip());
    std::unique_ptr<QLabel> other;
    const QString stays = then(picture, other);
    const QString was = QToolTip::text();
    // Live view's line changes a few times a second (its frame id at least).
    const QString before = picture->toolTip();
    ASSERT_SOON(picture->toolTip() != before);
    const QString next = picture->toolTip();
    ASSERT_SOON(picture->toolTip() != next);
    if (follows) {
        ASSERT_SOON(QToolTip::isVisible() && QToolTip::text() != was && QToolTip::text() == picture->toolTip());
    } else if (!stays.isEmpty()) {
        EXPECT_TRUE(QToolTip::isVisible());
        EXPECT_EQ(QToolTip::text(), stays);
    } else {
        ASSERT_SOON(!QToolTip::isVisible());
        const QString hidden = picture->toolTip();
        ASSERT_SOON(picture->toolTip() != hidden);
        EXPECT_FALSE(QToolTip::isVisible()) << "a tip told to go came back";
    }
    QToolTip::hideText();
    ASSERT_SOON(!QToolTip::isVisible());
}

TEST_F(TooltipTest, FollowsLiveViewWhileShown)
{
    const struct {
        const char* name;
        // After the picture area's tip shows; returns the tip that must stay, if any.
        Then then;
        bool follows;  // the tip showing takes the picture area's new text
    } rows[] = {
        {"the picture area's tip, left alone", [](QWidget*, std::unique_ptr<QLabel>&) { return QString(); }, true},
        {"the pointer left the picture area",
         [](QWidget* picture, std::unique_ptr<QLabel>&) {
             QEvent leave(QEvent::Leave);
             QApplication::sendEvent(picture, &leave);
             return QString();
         },
         false},
        {"another window's tip shows",
         [](QWidget*, std::unique_ptr<QLabel>& other) {
             other = std::make_unique<QLabel>("another window");
             other->setToolTip("another window's tip");
             other->show();
             // Its window coming up hides every tip first.
             EXPECT_TRUE(QTest::qWaitForWindowActive(other.get()));
             QApplication::processEvents();
             Hover(other.get());
             return other->toolTip();
         },
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(Check(row.then, row.follows));
        harness::ResetCameraState();
    }
}

}  // namespace

