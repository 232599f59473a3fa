// A recording played in the viewer window, over a fake recording whose
// frames carry their own index in every sample: each key lands on its frame
// (index and pixels), play stops at the end, in/out marks and the export,
// saving through the file dialog, a damaged frame stepped past, drops and
// "Open recording…" opening a window, and a recording that cannot be opened.
#include "DialogHarness.h"
#include "FrameCounter.h"
#include "RunTarvik.h"
#include "TempDir.h"
#include "WaitFor.h"
#include "app/Failures.h"
#include "app/viewer/Player.h"
#include "platform/ui/Timeline.h"
#include "platform/ui/ViewerWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDropEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QProgressDialog>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <fstream>
#include <cmath>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kWidth = 64, kHeight = 8;

// What the tests ask of a recording, and what it was asked.
struct FakeLog {
    std::vector<std::pair<uint64_t, std::string>> saved;
    struct Exported {
        uint64_t first, last;
        std::string path;
        bool overwrite;
    };
    std::vector<Exported> exported;
    std::function<void()> duringExport;  // called as the first frame is written
    bool cancelSeen = false;
};
FakeLog g_log;

// Mono8 frames, every sample its frame's index (mod 251).
class FakeRecording : public PlaySource {
public:
    FakeRecording(std::string path, uint64_t frames) : path_(std::move(path)), count_(frames)
    {
        shape_.format = cam::FindPixelFormat("Mono8");
        shape_.width = kWidth;
        shape_.height = kHeight;
    }
    std::vector<Mark> marks;
    std::vector<std::string> warnings;
    std::set<uint64_t> damaged;
    uint64_t intervalNs = 100'000'000;

    std::string Path() const override { return path_; }
    const imaging::SequenceShape& Shape() const override { return shape_; }
    uint64_t FrameCount() const override { return count_; }
    bool Read(uint64_t index, imaging::ReadFrame* frame, std::string* error) override
    {
        if (index >= count_ || damaged.count(index)) {
            *error = "the file is damaged there";
            return false;
        }
        auto data = std::make_shared<std::vector<uint8_t>>(kWidth * kHeight, uint8_t(index % 251));
        frame->data = data->data();
        frame->size = data->size();
        frame->index = index;
        frame->keep = data;
        return true;
    }
    const std::vector<Mark>& Marks() const override { return marks; }
    std::optional<uint64_t> NextMark(uint64_t index, bool forward) const override
    {
        if (forward) {
            for (const Mark& m : marks)
                if (m.index > index)
                    return m.index;
        } else {
            for (auto m = marks.rbegin(); m != marks.rend(); ++m)
                if (m->index < index)
                    return m->index;
        }
        return std::nullopt;
    }
    std::optional<uint64_t> Interval(uint64_t) const override { return intervalNs; }
    uint64_t Step(uint64_t index, double seconds) const override
    {
        const double to = double(index) + seconds * 1e9 / double(intervalNs);
        return uint64_t(std::clamp(std::round(to), 0.0, double(count_ - 1)));
    }
    std::string StatusText(uint64_t index) const override
    {
        return "frame " + std::to_string(index) + " of " + std::to_string(count_);
    }
    const std::vector<std::string>& Warnings() const override { return warnings; }
    bool SaveFrame(uint64_t index, const std::string& path, bool, std::string*) override
    {
        g_log.saved.push_back({index, path});
        return true;
    }
    bool Export(uint64_t first, uint64_t last, const ExportOptions& options, std::string* error) override
    {
        for (uint64_t i = first; i <= last; ++i) {
            if (i == first && g_log.duringExport)
                g_log.duringExport();
            if (options.cancel && *options.cancel) {
                g_log.cancelSeen = true;
                *error = "cancelled";
                return false;
            }
            if (options.progress)
                options.progress(i - first + 1, last - first + 1);
        }
        g_log.exported.push_back({first, last, options.path, options.overwrite});
        return true;
    }

private:
    std::string path_;
    uint64_t count_;
    imaging::SequenceShape shape_;
};

// By the name: "broken*" cannot be opened, "marked*" has marks at 7, 20 and
// 25, "damaged*" cannot read frame 4, "warned*" warns; 30 frames.
std::unique_ptr<PlaySource> OpenFake(const std::string& path, std::string* error)
{
    const std::string name = path.substr(path.rfind('/') + 1);
    if (name.rfind("broken", 0) == 0) {
        *error = "cannot read \"" + path + "\": not a recording";
        return nullptr;
    }
    auto fake = std::make_unique<FakeRecording>(path, 30);
    fake->marks = {{Mark::Dropped, 7}, {Mark::Skipped, 20}, {Mark::LongInterval, 25}};
    if (name.rfind("damaged", 0) == 0)
        fake->damaged = {4};
    if (name.rfind("warned", 0) == 0)
        fake->warnings = {"no CSV beside it: frame ids and times are not known"};
    if (name.rfind("quick", 0) == 0)
        fake->intervalNs = 5'000'000;
    return fake;
}

// The program's own lines of what went to stderr (Qt's platform plugin adds its notes).
std::string OurLines(const std::string& err)
{
    std::string ours;
    size_t at = 0;
    while (at < err.size()) {
        const size_t end = std::min(err.find('\n', at), err.size());
        if (err.compare(at, 8, "tarvik: ") == 0)
            ours += err.substr(at, end - at) + "\n";
        at = end + 1;
    }
    return ours;
}

std::vector<ui::ViewerWindow*> PlayerWindows()
{
    std::vector<ui::ViewerWindow*> windows;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* v = dynamic_cast<ui::ViewerWindow*>(w); v && PlayerOf(v) && v->isVisible())
            windows.push_back(v);
    return windows;
}

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QStandardPaths::setTestModeEnabled(true);
        QSettings().remove("viewer");
        SetPlaySourceOpener(&OpenFake);
        g_log = {};
        windows_ = QApplication::topLevelWidgets().size();
    }
    void TearDown() override
    {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (PlayerOf(w))
                delete w;
        SetPlaySourceOpener(nullptr);
        ASSERT_SOON(QApplication::topLevelWidgets().size() == windows_ + others_);
    }
    // A window playing name, shown and taking keys.
    Player* Open(const std::string& name)
    {
        std::string error;
        ui::ViewerWindow* window = OpenRecordingWindow(nullptr, QRect(), "/recordings/" + name, &error);
        EXPECT_TRUE(window) << error;
        if (!window)
            return nullptr;
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window));
        return PlayerOf(window);
    }
    // The sample the window shows at (0, 0), from its pinned readout.
    static std::string ShownSample(Player* p)
    {
        p->Window()->Pin(QPoint(0, 0));
        return p->Window()->PinnedText();
    }
    qsizetype windows_ = 0;
    // PlayInWindow's, unused here: the test's application is there already.
    int argc_ = 1;
    char program_[7] = "tarvik";
    char* argv_[2] = {program_, nullptr};
    qsizetype others_ = 0;  // windows a case leaves for its fixture to close (the dialog)
};

struct Key {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
};

TEST_F(PlayerTest, EachKeyLandsOnItsFrame)
{
    const struct {
        const char* name;
        uint64_t from;
        std::vector<Key> keys;
        uint64_t expected;
    } rows[] = {
        {"right", 5, {{Qt::Key_Right}}, 6},
        {"left", 5, {{Qt::Key_Left}}, 4},
        {"left at the first", 0, {{Qt::Key_Left}}, 0},
        {"right at the last", 29, {{Qt::Key_Right}}, 29},
        {"back twice, then forward", 13, {{Qt::Key_Left}, {Qt::Key_Left}, {Qt::Key_Right}}, 12},
        {"page down: a second at 10 frames a second", 5, {{Qt::Key_PageDown}}, 15},
        {"page up: clamped at the first", 5, {{Qt::Key_PageUp}}, 0},
        {"home", 17, {{Qt::Key_Home}}, 0},
        {"end", 3, {{Qt::Key_End}}, 29},
        {"next mark", 0, {{Qt::Key_N}}, 7},
        {"next mark twice", 0, {{Qt::Key_N}, {Qt::Key_N}}, 20},
        {"next mark from one", 7, {{Qt::Key_N}}, 20},
        {"previous mark", 29, {{Qt::Key_P}}, 25},
        {"previous mark from between", 22, {{Qt::Key_P}}, 20},
        {"no next mark past the last", 26, {{Qt::Key_N}}, 26},
        {"no previous mark before the first", 3, {{Qt::Key_P}}, 3},
        {"shift+left pans, the frame stays", 5, {{Qt::Key_Left, Qt::ShiftModifier}}, 5},
        {"zoom keys leave the frame", 5, {{Qt::Key_Plus}, {Qt::Key_Minus}, {Qt::Key_1}, {Qt::Key_0}}, 5},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Player* p = Open("marked.mkv");
        ASSERT_TRUE(p);
        ASSERT_TRUE(p->Show(row.from));
        for (const Key& k : row.keys)
            QTest::keyClick(p->Window(), k.key, k.modifiers);
        EXPECT_EQ(p->Index(), row.expected);
        EXPECT_EQ(p->Timeline()->Position(), row.expected);
        EXPECT_NE(ShownSample(p).find("grey " + std::to_string(row.expected) + " "), std::string::npos) << ShownSample(p);
        EXPECT_NE(p->Status().find("frame " + std::to_string(row.expected) + " of 30"), std::string::npos);
        delete p->Window();
    }
}

// Left and Right step frames in a recording; the view pans with Shift held
// and zooms with its own keys as before.
TEST_F(PlayerTest, ViewKeysStillMoveTheView)
{
    Player* p = Open("marked.mkv");
    ASSERT_TRUE(p);
    ui::ViewerWindow* v = p->Window();
    // Far enough in that the 64 x 8 frame is wider than the canvas.
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(v, Qt::Key_Plus);
    ASSERT_GT(v->View().zoom * kWidth, v->CanvasSize().width());
    EXPECT_FALSE(v->Fitting());
    const double zoom = v->View().zoom;
    const double left = v->View().left;
    QTest::keyClick(v, Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_NE(v->View().left, left);
    EXPECT_EQ(v->View().zoom, zoom);
    EXPECT_EQ(p->Index(), 0u);
    QTest::keyClick(v, Qt::Key_0);
    EXPECT_TRUE(v->Fitting());
}

TEST_F(PlayerTest, PlayReachesTheEndAndStops)
{
    const struct {
        const char* name;
        uint64_t from;
        bool fastest;
    } rows[] = {
        {"at the recorded pace", 20, false},
        {"as fast as frames decode", 0, true},
        {"from the last frame: again from the first", 29, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Player* p = Open("quick.mkv");
        ASSERT_TRUE(p);
        p->Show(row.from);
        if (row.fastest)
            QTest::keyClick(p->Window(), Qt::Key_F);
        EXPECT_EQ(p->Fastest(), row.fastest);
        QTest::keyClick(p->Window(), Qt::Key_Space);
        EXPECT_TRUE(p->Playing());
        EXPECT_NE(p->Status().find("playing"), std::string::npos);
        ASSERT_SOON(!p->Playing());
        EXPECT_EQ(p->Index(), 29u);
        EXPECT_NE(ShownSample(p).find("grey 29 "), std::string::npos);
        delete p->Window();
    }
}

TEST_F(PlayerTest, SpacePausesAndAStepPauses)
{
    Player* p = Open("marked.mkv");  // 100 ms a frame: 3 s to the end
    ASSERT_TRUE(p);
    for (const Key k : {Key{Qt::Key_Space}, Key{Qt::Key_Right}, Key{Qt::Key_Home}, Key{Qt::Key_N}}) {
        SCOPED_TRACE(k.key);
        p->Show(1);
        p->Play();
        ASSERT_TRUE(p->Playing());
        QTest::keyClick(p->Window(), k.key);
        EXPECT_FALSE(p->Playing());
    }
}

TEST_F(PlayerTest, InAndOutMakeTheRangeExported)
{
    const struct {
        const char* name;
        std::optional<uint64_t> in, out;  // the frame I (O) is pressed at
        uint64_t first, last;
    } rows[] = {
        {"in then out", 3, 9, 3, 9},
        {"out before in", 9, 3, 3, 9},
        {"in only: to the last", 12, std::nullopt, 12, 29},
        {"out only: from the first", std::nullopt, 6, 0, 6},
        {"neither: all", std::nullopt, std::nullopt, 0, 29},
        {"one frame", 4, 4, 4, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        g_log = {};
        Player* p = Open("marked.mkv");
        ASSERT_TRUE(p);
        if (row.in) {
            p->Show(*row.in);
            QTest::keyClick(p->Window(), Qt::Key_I);
        }
        if (row.out) {
            p->Show(*row.out);
            QTest::keyClick(p->Window(), Qt::Key_O);
        }
        EXPECT_EQ(p->Range(), std::make_pair(row.first, row.last));
        EXPECT_EQ(p->ExportTo("/recordings/cut.mkv", false), "");
        ASSERT_EQ(g_log.exported.size(), 1u);
        EXPECT_EQ(g_log.exported[0].first, row.first);
        EXPECT_EQ(g_log.exported[0].last, row.last);
        delete p->Window();
    }
}

// Ctrl+S and Ctrl+E ask for a name in Qt's file dialog (typed into its name
// field, as a person types it) and keep the frame shown or the range there.
TEST_F(PlayerTest, SaveAndExportAskWhere)
{
    harness::TempDir dir;
    const struct {
        const char* name;
        Qt::Key key;
        std::string typed;
    } rows[] = {
        {"save the frame", Qt::Key_S, dir / "frame.png"},
        {"export the range", Qt::Key_E, dir / "cut.mkv"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        g_log = {};
        Player* p = Open("marked.mkv");
        ASSERT_TRUE(p);
        p->Show(5);
        QTest::keyClick(p->Window(), Qt::Key_I);
        p->Show(8);
        QTimer person;
        QObject::connect(&person, &QTimer::timeout, [&] {
            if (auto* files = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                if (auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                    name->setText(QString::fromStdString(row.typed));
                else
                    files->selectFile(QString::fromStdString(row.typed));
                static_cast<QDialog*>(files)->accept();
            }
        });
        person.start(10);
        QTest::keyClick(p->Window(), row.key, Qt::ControlModifier);
        person.stop();
        if (row.key == Qt::Key_S) {
            ASSERT_EQ(g_log.saved.size(), 1u);
            EXPECT_EQ(g_log.saved[0].first, 8u);
            EXPECT_EQ(g_log.saved[0].second, row.typed);
        } else {
            ASSERT_EQ(g_log.exported.size(), 1u);
            EXPECT_EQ(g_log.exported[0].first, 5u);
            EXPECT_EQ(g_log.exported[0].last, 29u);
            EXPECT_EQ(g_log.exported[0].path, row.typed);
        }
        delete p->Window();
    }
}

// Cancel on the progress box, or closing the window, stops an export part
// way; the window closes only once the export has stopped reading.
TEST_F(PlayerTest, AnExportStopsPartWay)
{
    harness::TempDir dir;
    const struct {
        const char* name;
        bool close;  // else Cancel
    } rows[] = {
        {"Cancel on the progress box", false},
        {"the window closed", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        g_log = {};
        Player* p = Open("marked.mkv");
        ASSERT_TRUE(p);
        QPointer<ui::ViewerWindow> window = p->Window();
        g_log.duringExport = [&] {
            if (row.close) {
                window->close();
                EXPECT_TRUE(window && window->isVisible());  // not while the export reads
            } else if (auto* progress = window->findChild<QProgressDialog*>("exportProgress")) {
                progress->cancel();
            }
        };
        QString failure;
        QTimer person;
        QObject::connect(&person, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* files = qobject_cast<QFileDialog*>(modal)) {
                files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
                    ->setText(QString::fromStdString(dir / "cut.mkv"));
                static_cast<QDialog*>(files)->accept();
            } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                failure = box->text();
                box->close();
            }
        });
        person.start(10);
        QTest::keyClick(window, Qt::Key_E, Qt::ControlModifier);
        EXPECT_TRUE(g_log.cancelSeen);
        EXPECT_TRUE(g_log.exported.empty());
        if (row.close) {
            ASSERT_SOON(!window);
        } else {
            EXPECT_EQ(failure.toStdString(), "The range was not exported: cancelled");
            EXPECT_TRUE(window);
            delete window.data();
        }
    }
}

// Ctrl+C puts the frame shown on the clipboard at full resolution.
TEST_F(PlayerTest, CopyTakesTheFrameShown)
{
    for (const uint64_t index : {0u, 17u, 29u}) {
        SCOPED_TRACE(index);
        Player* p = Open("marked.mkv");
        ASSERT_TRUE(p);
        p->Show(index);
        QGuiApplication::clipboard()->clear();
        QTest::keyClick(p->Window(), Qt::Key_C, Qt::ControlModifier);
        const QImage copied = QGuiApplication::clipboard()->image();
        ASSERT_EQ(copied.size(), QSize(kWidth, kHeight));
        EXPECT_EQ(qGray(copied.pixel(kWidth - 1, kHeight - 1)), int(index));
        delete p->Window();
    }
}

// A frame that cannot be read says so instead of a picture, and the next
// step goes past it.
TEST_F(PlayerTest, ADamagedFrameIsSteppedPast)
{
    Player* p = Open("damaged.mkv");
    ASSERT_TRUE(p);
    p->Show(3);
    QTest::keyClick(p->Window(), Qt::Key_Right);
    EXPECT_EQ(p->Index(), 4u);
    EXPECT_EQ(p->Window()->FrameSize(), QSize());
    EXPECT_NE(p->Window()->ReadoutText().find("Frame 4 cannot be read: the file is damaged there"), std::string::npos);
    EXPECT_NE(p->Status().find("cannot be read"), std::string::npos);
    QTest::keyClick(p->Window(), Qt::Key_Right);
    EXPECT_EQ(p->Index(), 5u);
    EXPECT_NE(ShownSample(p).find("grey 5 "), std::string::npos);
    EXPECT_EQ(p->Status().find("cannot be read"), std::string::npos);
}

TEST_F(PlayerTest, StatusLineAndTimeline)
{
    const struct {
        const char* name;
        std::string file;
        std::string second;  // the status line's second line
    } rows[] = {
        {"warned on opening", "warned.mkv", "no CSV beside it: frame ids and times are not known"},
        {"nothing to warn of", "marked.mkv", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Player* p = Open(row.file);
        ASSERT_TRUE(p);
        const std::string status = p->Window()->StatusText();
        const size_t newline = status.find('\n');
        EXPECT_EQ(status.substr(0, newline), "frame 0 of 30");
        EXPECT_EQ(newline == std::string::npos ? "" : status.substr(newline + 1), row.second);
        EXPECT_EQ(p->Timeline()->Count(), 30u);
        // A click on the timeline's middle goes to the middle frame.
        QTest::mouseClick(p->Timeline(), Qt::LeftButton, {}, QPoint(p->Timeline()->XOf(14), 5));
        EXPECT_EQ(p->Index(), 14u);
        delete p->Window();
    }
}

TEST_F(PlayerTest, ARecordingThatCannotBeOpened)
{
    // In a window: a message box with the reason, no window left.
    QString said;
    QTimer person;
    QObject::connect(&person, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            said = box->text();
            box->close();
        }
    });
    person.start(10);
    EXPECT_EQ(OpenRecordingAsked(nullptr, QRect(), "/recordings/broken.mkv"), nullptr);
    person.stop();
    EXPECT_EQ(said.toStdString(), "cannot read \"/recordings/broken.mkv\": not a recording");
    EXPECT_TRUE(PlayerWindows().empty());

    // As --play: a line on stderr and the status of a file without a frame to show.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(PlayInWindow("/recordings/broken.mkv", argc_, argv_), kExitNoFrame);
    EXPECT_EQ(OurLines(::testing::internal::GetCapturedStderr()),
              "tarvik: cannot read \"/recordings/broken.mkv\": not a recording\n");
}

TEST_F(PlayerTest, PlayInWindowReturnsWhenTheWindowCloses)
{
    QTimer::singleShot(0, [] {
        for (ui::ViewerWindow* w : PlayerWindows())
            w->close();
    });
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(PlayInWindow("/recordings/warned.mkv", argc_, argv_), kExitSuccess);
    EXPECT_EQ(OurLines(::testing::internal::GetCapturedStderr()),
              "tarvik: no CSV beside it: frame ids and times are not known\n");
    ASSERT_SOON(PlayerWindows().empty());
}

// A file dropped on a window opens it: on a playing window it takes that
// one's place, on the dialog it opens beside it.
void Drop(QWidget* target, const std::string& path)
{
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    ASSERT_TRUE(drop.isAccepted());
}

TEST_F(PlayerTest, ADroppedRecordingTakesTheWindowsPlace)
{
    Player* p = Open("marked.mkv");
    ASSERT_TRUE(p);
    QPointer<ui::ViewerWindow> first = p->Window();
    ASSERT_NO_FATAL_FAILURE(Drop(first, "/recordings/warned.mkv"));
    ASSERT_SOON(!first);
    ASSERT_EQ(PlayerWindows().size(), 1u);
    EXPECT_EQ(PlayerOf(PlayerWindows()[0])->Source().Path(), "/recordings/warned.mkv");
}

class PlayerDialogTest : public PlayerTest, public harness::ShownDialog {
protected:
    void SetUp() override
    {
        PlayerTest::SetUp();
        others_ = 1;
        unsetenv("TARVIK_CAMERAS");
        harness::ResetCameraState();
    }
    void TearDown() override
    {
        delete dlg.ViewerWindow();
        harness::ResetCameraState();
        PlayerTest::TearDown();
    }
};

TEST_F(PlayerDialogTest, OpenRecordingFromTheMenuAndByADrop)
{
    ASSERT_NO_FATAL_FAILURE(Show());
    QAction* open = widget->commands()[ID_PICTURE_OPEN_RECORDING];
    ASSERT_TRUE(open);
    EXPECT_EQ(open->text().toStdString(), "Open recording…");
    EXPECT_EQ(open->shortcut(), QKeySequence("Ctrl+O"));
    EXPECT_TRUE(widget->control(IDC_PICTURE)->actions().contains(open));
    // The file dialog opens existing files only: one is there.
    harness::TempDir dir;
    const std::string chosen = dir / "marked.mkv";
    std::ofstream(chosen).put('\n');

    const struct {
        const char* name;
        std::function<void()> open;
        std::string path;
    } rows[] = {
        {"the context menu's entry",
         [&] {
             QTimer person;
             QObject::connect(&person, &QTimer::timeout, [&] {
                 if (auto* files = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                     files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
                         ->setText(QString::fromStdString(chosen));
                     static_cast<QDialog*>(files)->accept();
                 }
             });
             person.start(10);
             open->trigger();
         },
         chosen},
        {"a drop on the dialog", [&] { Drop(widget, "/recordings/warned.mkv"); }, "/recordings/warned.mkv"},
        {"a drop on the live viewer",
         [&] {
             dlg.OpenViewer();
             ASSERT_TRUE(dlg.ViewerWindow());
             Drop(dlg.ViewerWindow(), "/recordings/marked.mkv");
         },
         "/recordings/marked.mkv"},
    };
    const QImage before = Shown();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.open();
        ASSERT_SOON(PlayerWindows().size() == 1);
        ui::ViewerWindow* v = PlayerWindows()[0];
        EXPECT_EQ(PlayerOf(v)->Source().Path(), row.path);
        EXPECT_EQ(v->parentWidget(), widget);
        delete v;
        // The live viewer, where one was opened, stays as it was.
        if (dlg.ViewerWindow()) {
            EXPECT_TRUE(dlg.ViewerWindow()->isVisible());
        }
    }
    // The dialog's picture is as it was.
    EXPECT_EQ(Shown(), before);
}

// `tarvik --play PATH` over the built program without a display: a file
// that cannot be read is judged before the display is asked for.
TEST(PlayCommandWindow, WhatCannotBeOpenedSaysWhyWithoutADisplay)
{
    harness::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    {
        std::ofstream(dir / "empty.mkv");
        std::ofstream(dir / "text.mkv") << "not a recording\n";
    }
    const TarvikRun made = RunTarvik({"--record", QString::fromStdString(dir / "r.mkv"), "--frames", "3"},
                                     "width=64,height=48");
    ASSERT_EQ(made.status, kExitSuccess) << made.err.toStdString();
    const bool reads = !RunTarvik({"--play", QString::fromStdString(dir / "r.mkv"), "--frame", "0", "--grab",
                                   QString::fromStdString(dir / "f.png")},
                                  "")
                            .err.contains("not in this build");
    const struct {
        const char* name;
        std::string path;
        int status;
        std::string said;  // the start of stderr's one line
    } rows[] = {
        {"no such file", dir / "missing.mkv", kExitNoFrame, "tarvik: cannot read \"" + (dir / "missing.mkv")},
        {"an empty file", dir / "empty.mkv", kExitNoFrame, "tarvik: cannot read \"" + (dir / "empty.mkv")},
        {"not a recording", dir / "text.mkv", kExitNoFrame, "tarvik: cannot read \"" + (dir / "text.mkv")},
        {"a recording, no display", dir / "r.mkv", kExitNoDisplay, "tarvik: no display available"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.status == kExitNoDisplay && !reads) {
            std::printf("skipped \"%s\": the recording reader is not in this build yet\n", row.name);
            continue;
        }
        // No display at all: Qt's platform the tests choose is taken away too.
        QProcess p;
        QProcessEnvironment env = TarvikEnvironment("", "");
        env.remove("QT_QPA_PLATFORM");
        p.setProcessEnvironment(env);
        p.start(TARVIK_EXE, {"--play", QString::fromStdString(row.path)});
        TarvikRun r;
        if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit)
            r = {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
        else
            p.kill();
        EXPECT_EQ(r.status, row.status);
        const std::string err = r.err.toStdString();
        EXPECT_EQ(err.rfind(row.said, 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}

// Each recording format the program writes, deep frames included, and a
// Matroska file with a keyframe every 12th frame only (FFmpeg's FFV1
// default, as recordings made before): the keys land on the frame whose id
// the CSV gives for that index (the simulated camera writes its id into its
// pixels), backwards across keyframes and the gaps drops leave.
TEST_F(PlayerTest, EveryFormatStepsToTheFrameTheCsvNames)
{
    harness::TempDir dir;
    const struct {
        const char* name;
        std::string path, csv;
        QStringList options;
        QString sim;
    } rows[] = {
        {"Matroska, Bayer", dir / "b.mkv", dir / "b.mkv.csv", {}, "formats=BayerRG8"},
        {"Matroska, Mono12p", dir / "m12.mkv", dir / "m12.mkv.csv", {"--pixel-format", "Mono12p"},
         "formats=Mono12p+Mono8"},
        {"multi-page TIFF", dir / "t.tiff", dir / "t.tiff.csv", {}, "formats=Mono8"},
        {"a folder", dir / "f/", dir / "f/frames.csv", {}, "formats=Mono8"},
        {"Matroska, a keyframe every 12th", dir / "old.mkv", dir / "old.mkv.csv", {}, "formats=Mono8"},
    };
    SetPlaySourceOpener(&OpenPlaySource);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const bool old = row.path.find("old.mkv") != std::string::npos;
        const std::string recorded = old ? dir / "new.mkv" : row.path;
        QStringList args = {"--record", QString::fromStdString(recorded), "--frames", "20"};
        const TarvikRun made = RunTarvik(args + row.options, "width=320,height=240,picture=counter," + row.sim);
        ASSERT_EQ(made.status, kExitSuccess) << made.err.toStdString();
        if (old) {
            const std::string from = "'" + recorded + "'", to = "'" + row.path + "'";
            ASSERT_EQ(std::system(("ffmpeg -v error -i " + from + " -c:v ffv1 " + to + " && cp " + from + ".csv " +
                                   to + ".csv")
                                      .c_str()),
                      0);
        }
        // The id of each index, from the CSV.
        std::vector<int64_t> ids;
        std::ifstream csv(row.csv);
        std::string line;
        std::getline(csv, line);
        while (std::getline(csv, line))
            if (line.find(",yes") != std::string::npos)
                ids.push_back(std::stoll(line.substr(line.find(',') + 1)));
        std::string error;
        ui::ViewerWindow* window = OpenRecordingWindow(nullptr, QRect(), row.path, &error);
        if (!window && error.find("not in this build") != std::string::npos)
            GTEST_SKIP() << "the recording reader is not in this build yet";
        ASSERT_TRUE(window) << error;
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        Player* p = PlayerOf(window);
        ASSERT_EQ(p->Source().FrameCount(), ids.size());
        const auto idShown = [&] {
            imaging::ReadFrame f;
            std::string why;
            const imaging::SequenceShape& shape = p->Source().Shape();
            return p->Source().Read(p->Index(), &f, &why)
                       ? frame_counter::FromFrame(f.data, f.size, shape.width, shape.height, shape.format->name)
                       : frame_counter::kNoCounter;
        };
        // Frame 13 then back: 12 is a keyframe, 11 decodes from 0.
        for (const Qt::Key key : {Qt::Key_End, Qt::Key_Left, Qt::Key_Left, Qt::Key_Home, Qt::Key_Right,
                                  Qt::Key_PageDown, Qt::Key_Left, Qt::Key_Home, Qt::Key_PageUp}) {
            QTest::keyClick(window, key);
            EXPECT_EQ(idShown(), ids[p->Index()]) << "index " << p->Index();
        }
        p->Show(13);
        for (const uint64_t expected : {12u, 11u, 10u}) {
            QTest::keyClick(window, Qt::Key_Left);
            ASSERT_EQ(p->Index(), expected);
            EXPECT_EQ(idShown(), ids[expected]) << "index " << expected;
        }
        delete window;
    }
}

// A recording whose CSV tells of 2 ids skipped before frame 7 and a frame
// dropped before 12: N and P go to exactly those frames, and the status
// line says what the CSV says of the frame.
TEST_F(PlayerTest, MarksOfARecordedCsv)
{
    harness::TempDir dir;
    const std::string path = dir / "gaps.mkv";
    const TarvikRun made =
        RunTarvik({"--record", QString::fromStdString(path), "--frames", "20"}, "width=64,height=48,formats=Mono8");
    ASSERT_EQ(made.status, kExitSuccess) << made.err.toStdString();
    std::vector<std::string> lines;
    {
        std::ifstream in(path + ".csv");
        for (std::string line; std::getline(in, line);)
            lines.push_back(line + "\n");
    }
    ASSERT_EQ(lines.size(), 21u);
    lines[1 + 12].insert(0, ",211,,,64,48,Mono8,dropped\n");
    lines[1 + 7].insert(0, ",105,,,,,,skipped\n,106,,,,,,skipped\n");
    {
        std::ofstream out(path + ".csv", std::ios::trunc);
        for (const std::string& line : lines)
            out << line;
    }
    SetPlaySourceOpener(&OpenPlaySource);
    std::string error;
    ui::ViewerWindow* window = OpenRecordingWindow(nullptr, QRect(), path, &error);
    if (!window && error.find("not in this build") != std::string::npos)
        GTEST_SKIP() << "the opened recording is not in this build yet";
    ASSERT_TRUE(window) << error;
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    Player* p = PlayerOf(window);
    std::vector<uint64_t> marked;
    for (const Mark& m : p->Source().Marks())
        if (m.kind != Mark::LongInterval)  // the simulated camera's own timing may add some
            marked.push_back(m.index);
    EXPECT_EQ(marked, (std::vector<uint64_t>{7, 12}));

    const struct {
        const char* name;
        uint64_t from;
        Qt::Key key;
        uint64_t expected;
        const char* said;
    } rows[] = {
        {"next from the first", 0, Qt::Key_N, 7, "2 ids skipped before"},
        {"next from a mark", 7, Qt::Key_N, 12, "dropped"},
        {"previous from the last", 19, Qt::Key_P, 12, "dropped"},
        {"previous from between", 10, Qt::Key_P, 7, "skipped"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        p->Show(row.from);
        QTest::keyClick(window, row.key);
        // Long intervals may lie between; N and P stop at them too.
        while (p->Index() != row.expected && p->Index() != row.from &&
               (row.key == Qt::Key_N ? p->Index() < row.expected : p->Index() > row.expected))
            QTest::keyClick(window, row.key);
        EXPECT_EQ(p->Index(), row.expected);
        EXPECT_NE(p->Status().find(row.said), std::string::npos) << p->Status();
    }
    delete window;
}

}  // namespace
