// Recording from the window: "Record…" (Ctrl+R) over live view, each way a
// recording ends, what the files hold afterwards (read by ffprobe and
// tiffinfo) and what the tooltip says while and after it records.
#include "DialogHarness.h"
#include "TempDir.h"
#include "SmallDisk.h"
#include "WaitFor.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <csignal>

#include <fstream>
#include <functional>
#include <sstream>

namespace {

using harness::Contents;

// The frames a recording holds, as tools nobody here wrote read them.
int FramesIn(const std::string& path)
{
    QProcess tool;
    const QString p = QString::fromStdString(path);
    if (p.endsWith('/'))
        return int(QDir(p).entryList({"frame-*"}, QDir::Files).size());
    if (p.endsWith(".mkv"))
        tool.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                               "stream=nb_read_frames", "-of", "csv=p=0", p});
    else
        tool.start("bash", {"-c", "tiffinfo \"$0\" 2>/dev/null | grep -c 'TIFF Directory'", p});
    if (!tool.waitForFinished(30000))
        return -1;
    bool ok = false;
    const int n = tool.readAllStandardOutput().trimmed().toInt(&ok);
    return ok ? n : -1;
}

// The CSV's frame ids of the frames written.
std::vector<uint64_t> WrittenIds(const std::string& csv)
{
    std::vector<uint64_t> ids;
    std::istringstream in(Contents(csv));
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        const QStringList f = QString::fromStdString(line).split(',');
        if (f.size() >= 8 && (f[7] == "yes" || f[7] == "incomplete"))
            ids.push_back(f[1].toULongLong());
    }
    return ids;
}

std::string CsvOf(const std::string& path)
{
    imaging::SequenceFormat format{};
    EXPECT_TRUE(imaging::SequenceFormatOf(path, &format));
    return Recorder::CsvPath(path, format);
}

// The frames the closing line on stderr says were recorded to path; -1 without one.
int Recorded(const std::string& err, const std::string& path)
{
    const QRegularExpression closing(
        "^tarvik: recorded (\\d+) frames to \"" + QRegularExpression::escape(QString::fromStdString(path)) +
            "\": \\d+ dropped by the camera, \\d+ dropped by Tarvik, \\d+ incomplete, \\d+ bytes, [\\d.]+ s(; stopped by SIG[A-Z]+)?$",
        QRegularExpression::MultilineOption);
    const auto m = closing.match(QString::fromStdString(err));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

class RecordWindowTest : public ::testing::Test {
protected:
    void Use(const char* sim)
    {
        unsetenv("TARVIK_CAMERAS");
        setenv("TARVIK_SIM", sim, 1);
        harness::ResetCameraState();
    }
    void TearDown() override
    {
        harness::ResetCameraState();
        unsetenv("TARVIK_SIM");
    }
    QTemporaryDir dir;
};

// A recording ends with each of these and leaves files that hold every
// frame the closing line counts, a CSV line each.
struct EndCase {
    const char* name;
    const char* path;  // in the test's folder
    std::function<void(harness::ShownDialog&)> end;  // null: the window is closed
    bool liveAfter;
};

void Key(harness::ShownDialog& w, Qt::Key key) { QTest::keyClick(w.widget, key, Qt::ControlModifier); }

const EndCase kEndCases[] = {
    {"Ctrl+R again", "run.mkv", [](harness::ShownDialog& w) { Key(w, Qt::Key_R); }, true},
    {"GrapStop & Release", "run.tiff", [](harness::ShownDialog& w) { w.Click(IDC_GRAB_STOP_RELEASE); }, false},
    {"Init& GrapStart", "out/", [](harness::ShownDialog& w) { w.Click(IDC_INIT_GRAB_START); }, false},
    {"GrapOnce", "run.mkv", [](harness::ShownDialog& w) { w.Click(IDC_GRAB_ONCE); }, false},
    {"Ctrl+L", "run.tif", [](harness::ShownDialog& w) { Key(w, Qt::Key_L); }, false},
    {"closing the window", "run.mkv", nullptr, false},
    {"closing the window, folder", "out/", nullptr, false},
};

TEST_F(RecordWindowTest, EndsLeavingValidFiles)
{
    for (const EndCase& c : kEndCases) {
        SCOPED_TRACE(c.name);
        Use("width=64,height=48,formats=Mono8,rate=100");
        const std::string path = dir.path().toStdString() + "/" + c.path;
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
        ::testing::internal::CaptureStderr();
        {
            harness::ShownDialog w;
            ASSERT_NO_FATAL_FAILURE(w.Show());
            EXPECT_FALSE(w.dlg.IsCommandEnabled(ID_PICTURE_RECORD));
            Recorder::Options options;
            options.path = path;
            EXPECT_EQ(w.dlg.RecordTo(options), "no camera is open");
            w.Click(IDC_INIT_GRAB_START);
            EXPECT_TRUE(w.dlg.IsCommandEnabled(ID_PICTURE_RECORD));
            // Live view is not running: recording starts it.
            ASSERT_EQ(w.dlg.RecordTo(options), "");
            EXPECT_TRUE(w.dlg.IsCommandChecked(ID_PICTURE_RECORD));
            EXPECT_TRUE(w.dlg.IsCommandChecked(ID_PICTURE_LIVE));
            QWidget* picture = w.widget->control(IDC_PICTURE);
            const QRegularExpression line("live: .*, recording: [1-9]\\d* frames, 0 dropped, \\d+ MB/s$");
            ASSERT_SOON(line.match(picture->toolTip()).hasMatch());
            if (c.end) {
                c.end(w);
                EXPECT_FALSE(w.dlg.Recording());
                EXPECT_FALSE(w.dlg.IsCommandChecked(ID_PICTURE_RECORD));
                EXPECT_EQ(w.dlg.IsCommandChecked(ID_PICTURE_LIVE), c.liveAfter);
                EXPECT_FALSE(picture->toolTip().contains("recording"));
            }
        }
        const std::string err = ::testing::internal::GetCapturedStderr();
        const int recorded = Recorded(err, path);
        EXPECT_GE(recorded, 1) << err;
        EXPECT_EQ(FramesIn(path), recorded);
        const std::vector<uint64_t> ids = WrittenIds(CsvOf(path));
        EXPECT_EQ(int(ids.size()), recorded);
        for (size_t i = 1; i < ids.size(); ++i)
            EXPECT_GT(ids[i], ids[i - 1]);
        harness::ResetCameraState();
    }
}

// A small file system at path (2 MiB, in RAM) with free bytes left; false
// where mounting is not allowed.
bool MountSmallDisk(const QString& path, qint64 free)
{
    return harness::MountSmallDisk(path.toStdString(), uint64_t(free));
}

// A recording that stops by itself says why in the tooltip and on stderr;
// live view goes on, and the files hold the frames kept.
struct SelfStopCase {
    const char* name;
    const char* sim;
    const char* path;  // "disk/": on a small file system
    const char* why;   // the tooltip's end and stderr's line, a pattern
};

const SelfStopCase kSelfStopCases[] = {
    {"full disk", "width=256,height=256,formats=Mono8,rate=100", "disk/run.tiff",
     "cannot write \"[^\"]*/disk/run.tiff\": No space left on device; recording stopped, (\\d+) frames kept"},
    {"frame of another size", "width=16,height=8,frame=16x4,rate=100", "out/",
     "the camera sent a frame of 16 x 4 pixels, not the 16 x 8 the recording began with; recording stopped, "
     "(\\d+) frames kept"},
};

TEST_F(RecordWindowTest, StopsByItselfSayingWhy)
{
    for (const SelfStopCase& c : kSelfStopCases) {
        SCOPED_TRACE(c.name);
        Use(c.sim);
        QTemporaryDir tmp;
        const QString disk = tmp.filePath("disk");
        const bool small = QString(c.path).startsWith("disk/");
        if (small) {
            QDir(tmp.path()).mkdir("disk");
            if (!MountSmallDisk(disk, 256 * 1024)) {
                std::printf("skipped %s: mounting is not allowed here\n", c.name);
                continue;
            }
        }
        struct Unmount {
            QString path;
            ~Unmount()
            {
                if (!path.isEmpty())
                    umount(path.toLocal8Bit().constData());
            }
        } unmount{small ? disk : QString()};
        const std::string path = tmp.path().toStdString() + "/" + c.path;
        const QRegularExpression why(QString(c.why) + "$");
        ::testing::internal::CaptureStderr();
        {
            harness::ShownDialog w;
            ASSERT_NO_FATAL_FAILURE(w.Show());
            w.Click(IDC_INIT_GRAB_START);
            Recorder::Options options;
            options.path = path;
            ASSERT_EQ(w.dlg.RecordTo(options), "");
            ASSERT_SOON_WITHIN(!w.dlg.Recording(), 10000);
            QWidget* picture = w.widget->control(IDC_PICTURE);
            ASSERT_SOON(why.match(picture->toolTip()).hasMatch() && picture->toolTip().contains("live: "));
            EXPECT_FALSE(w.dlg.IsCommandChecked(ID_PICTURE_RECORD));
            EXPECT_TRUE(w.dlg.IsCommandChecked(ID_PICTURE_LIVE));
        }
        const std::string err = ::testing::internal::GetCapturedStderr();
        const auto said = QRegularExpression("^tarvik: " + QString(c.why) + "$", QRegularExpression::MultilineOption)
                              .match(QString::fromStdString(err));
        ASSERT_TRUE(said.hasMatch()) << err;
        const int kept = said.captured(1).toInt();
        EXPECT_EQ(Recorded(err, path), kept);
        EXPECT_EQ(FramesIn(path), kept);
        EXPECT_EQ(int(WrittenIds(CsvOf(path)).size()), kept);
        harness::ResetCameraState();
    }
}

// --live --record PATH: the window opens the camera and records from the
// stream's first frame on, until it is closed.
TEST_F(RecordWindowTest, StartedAtOnce)
{
    Use("width=64,height=48,formats=Mono8,rate=100");
    Recorder::Options options;
    options.path = dir.filePath("start.tiff").toStdString();
    ::testing::internal::CaptureStderr();
    {
        CTarvikDlg dlg({}, true, options);
        ASSERT_TRUE(dlg.Create());
        EXPECT_TRUE(dlg.Recording());
        EXPECT_TRUE(dlg.IsCommandChecked(ID_PICTURE_RECORD));
        EXPECT_TRUE(dlg.IsCommandChecked(ID_PICTURE_LIVE));
        QWidget* picture = ui::WidgetOf(dlg)->control(IDC_PICTURE);
        ASSERT_SOON(picture->toolTip().contains(QRegularExpression("recording: [3-9]\\d* frames")));
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::vector<uint64_t> ids = WrittenIds(options.path + ".csv");
    ASSERT_FALSE(ids.empty()) << err;
    EXPECT_EQ(ids.front(), 0u) << "the first frame the stream received";
    EXPECT_EQ(Recorded(err, options.path), int(ids.size()));
    EXPECT_EQ(FramesIn(options.path), int(ids.size()));
    EXPECT_NE(Contents(options.path + ".settings").find("PixelFormat=Mono8"), std::string::npos);
}

// A stop signal while the window waits on a person in a dialog of its own:
// the dialog is closed unanswered, the window with it, the recording ended
// whole; nothing is left open and nothing crashes, whichever window owned it.
struct DialogOpenCase {
    const char* name;
    bool recording;
    std::function<void(harness::ShownDialog&)> ask;  // returns once the dialog was closed
};

void SettingsButton(harness::ShownDialog& w, const char* name)
{
    Key(w, Qt::Key_E);
    ASSERT_TRUE(w.dlg.SettingsWindow());
    QWidget* settings = w.dlg.SettingsWindow()->widget();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(settings));
    QTest::mouseClick(settings->findChild<QPushButton*>(name), Qt::LeftButton);
}

const DialogOpenCase kDialogOpenCases[] = {
    {"settings window's Save…", false, [](harness::ShownDialog& w) { SettingsButton(w, "save"); }},
    {"settings window's Load…", false, [](harness::ShownDialog& w) { SettingsButton(w, "load"); }},
    {"settings window's Save…, recording", true, [](harness::ShownDialog& w) { SettingsButton(w, "save"); }},
    {"Save picture as", false, [](harness::ShownDialog& w) { Key(w, Qt::Key_S); }},
    {"Record…", false, [](harness::ShownDialog& w) { Key(w, Qt::Key_R); }},
};

TEST_F(RecordWindowTest, StopSignalWithADialogOpen)
{
    for (const DialogOpenCase& c : kDialogOpenCases) {
        SCOPED_TRACE(c.name);
        Use("width=64,height=48,formats=Mono8,rate=50");
        const std::string path = dir.path().toStdString() + "/run.mkv";
        QFile::remove(QString::fromStdString(path));
        QFile::remove(QString::fromStdString(path + ".csv"));
        ::testing::internal::CaptureStderr();
        bool closed = false;
        {
            harness::ShownDialog w;
            ASSERT_NO_FATAL_FAILURE(w.Show());
            w.Click(IDC_INIT_GRAB_START);
            Key(w, Qt::Key_L);
            ASSERT_SOON(g_lastFrame.valid);
            if (c.recording) {
                Recorder::Options options;
                options.path = path;
                ASSERT_EQ(w.dlg.RecordTo(options), "");
            }
            // The signal comes while the dialog waits.
            QTimer signal;
            QObject::connect(&signal, &QTimer::timeout, [&] {
                QWidget* modal = QApplication::activeModalWidget();
                if (closed || !modal || modal == w.widget)
                    return;
                closed = true;
                w.dlg.CloseBySignal(SIGTERM);
            });
            signal.start(10);
            ASSERT_NO_FATAL_FAILURE(c.ask(w));
            signal.stop();
            EXPECT_TRUE(closed);
            EXPECT_FALSE(w.widget->isVisible());
            EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
            EXPECT_EQ(w.dlg.SettingsWindow(), nullptr);
            EXPECT_FALSE(w.dlg.IsCommandChecked(ID_PICTURE_LIVE));
            EXPECT_FALSE(w.dlg.Recording());
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            for (QWidget* top : QApplication::topLevelWidgets())
                EXPECT_FALSE(top->isVisible()) << top->windowTitle().toStdString();
        }
        const std::string err = ::testing::internal::GetCapturedStderr();
        if (c.recording) {
            const int recorded = Recorded(err, path);
            EXPECT_NE(err.find("; stopped by SIGTERM\n"), std::string::npos) << err;
            EXPECT_EQ(FramesIn(path), recorded);
            EXPECT_EQ(int(WrittenIds(CsvOf(path)).size()), recorded);
        }
        harness::ResetCameraState();
    }
}

}  // namespace
