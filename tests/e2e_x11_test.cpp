// The real program in a real X server, driven with the keyboard the way a
// person would: Space presses the focused button, Tab moves on, Esc ends it.
// The screenshots are checked where the picture must be, and the call trace
// for the opening, capture and release sequences.
#include "DialogHarness.h"
#include "platform/camera/camsim.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QMap>
#include <QRegularExpression>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

namespace {

// Runs a helper program to the end; empty when it succeeded, else why not.
std::string RunTool(const QString& program, const QStringList& args, const QProcessEnvironment& env,
            QByteArray* out = nullptr)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(20000))
        return "timed out: " + program.toStdString();
    if (out)
        *out = p.readAllStandardOutput();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return program.toStdString() + " failed: " + p.readAllStandardError().toStdString();
    return {};
}

class X11Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int n = 90; n < 140 && display.isEmpty(); ++n) {
            if (QFile::exists(QString("/tmp/.X11-unix/X%1").arg(n)) ||
                QFile::exists(QString("/tmp/.X%1-lock").arg(n)))
                continue;
            xvfb.start("Xvfb", {QString(":%1").arg(n), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
            if (!xvfb.waitForStarted(5000))
                FAIL() << "Xvfb could not be started: is it installed?";
            QElapsedTimer t;
            t.start();
            while (!QFile::exists(QString("/tmp/.X11-unix/X%1").arg(n)) && t.elapsed() < 10000 &&
                   xvfb.state() == QProcess::Running)
                QThread::msleep(20);
            if (xvfb.state() == QProcess::Running && QFile::exists(QString("/tmp/.X11-unix/X%1").arg(n)))
                display = QString(":%1").arg(n);
        }
        ASSERT_FALSE(display.isEmpty()) << "no free X display";
        env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_QPA_PLATFORM");
        env.remove("TARVIK_CAMERAS");
        env.insert("DISPLAY", display);
        env.insert("TARVIK_SIM", "");
        env.insert("TARVIK_CAMERA_TRACE", "1");
    }
    void TearDown() override
    {
        if (app.state() != QProcess::NotRunning) {
            app.kill();
            app.waitForFinished(5000);
        }
        xvfb.terminate();
        xvfb.waitForFinished(5000);
    }

    // Starts the program and waits for its window to have the keyboard.
    void StartApp(QString* id, const QStringList& args = {})
    {
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::MergedChannels);  // the trace goes to stderr
        app.start(TARVIK_EXE, args);
        ASSERT_TRUE(app.waitForStarted(5000));
        QByteArray idOut;
        ASSERT_EQ(Xdotool({"search", "--sync", "--onlyvisible", "--name", "^Tarvik$"}, &idOut), "");
        *id = QString::fromUtf8(idOut.split('\n').first());
        ASSERT_EQ(Xdotool({"windowfocus", "--sync", *id}), "");
    }
    std::string Xdotool(const QStringList& args, QByteArray* out = nullptr)
    {
        return RunTool("xdotool", args, env, out);
    }
    // The window's rectangle on the screen.
    QRect WindowRect(const QString& id)
    {
        QByteArray out;
        EXPECT_EQ(Xdotool({"getwindowgeometry", "--shell", id}, &out), "");
        QMap<QString, int> v;
        for (const QByteArray& line : out.split('\n'))
            if (int eq = line.indexOf('='); eq > 0)
                v[QString::fromUtf8(line.left(eq))] = line.mid(eq + 1).toInt();
        return QRect(v["X"], v["Y"], v["WIDTH"], v["HEIGHT"]);
    }
    QImage Screenshot()
    {
        QByteArray png;
        EXPECT_EQ(RunTool("import", {"-display", display, "-window", "root", "png:-"}, env, &png), "");
        return QImage::fromData(png, "PNG").convertToFormat(QImage::Format_RGB32);
    }
    // Waits until the trace holds this many lines; returns all of it.
    QStringList TraceLines(int count)
    {
        QElapsedTimer t;
        t.start();
        QStringList lines;
        do {
            app.waitForReadyRead(50);
            trace += app.readAllStandardOutput();
            lines = QString::fromUtf8(trace).split('\n', Qt::SkipEmptyParts);
            lines = lines.filter(QRegularExpression("^cam: "));
            if (lines.size() >= count)
                break;
        } while (t.elapsed() < 10000);
        return lines;
    }

    QProcess xvfb, app;
    QString display;
    QProcessEnvironment env;
    QByteArray trace;
};

// The black frame of the picture area: the rows inside the window with the
// longest runs of black pixels are its top and bottom edges.
QRect FindFrame(const QImage& shot, const QRect& window)
{
    int top = -1, bottom = -1, left = 0, right = 0;
    for (int y = window.top(); y <= window.bottom(); ++y) {
        int bestStart = 0, bestLen = 0, start = 0, len = 0;
        for (int x = window.left(); x <= window.right(); ++x) {
            if ((shot.pixel(x, y) & 0xffffff) == 0) {
                if (len++ == 0)
                    start = x;
                if (len > bestLen)
                    bestLen = len, bestStart = start;
            } else {
                len = 0;
            }
        }
        if (bestLen >= 100) {
            if (top < 0)
                top = y, left = bestStart, right = bestStart + bestLen - 1;
            bottom = y;
        }
    }
    return top < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

// Polls until check holds, for up to 10 s: the screen shows a paint some time
// after the event that caused it.
template <class Check>
bool Eventually(Check check)
{
    QElapsedTimer t;
    t.start();
    while (!check()) {
        if (t.elapsed() > 10000)
            return false;
        QThread::msleep(50);
    }
    return true;
}

bool Near(QRgb a, QColor b)
{
    return std::abs(qRed(a) - b.red()) <= 2 && std::abs(qGreen(a) - b.green()) <= 2 &&
           std::abs(qBlue(a) - b.blue()) <= 2;
}

TEST_F(X11Test, OpenGrabReleaseAndEsc)
{
    QString id;
    ASSERT_NO_FATAL_FAILURE(StartApp(&id));
    const QRect window = WindowRect(id);
    ASSERT_GT(window.width(), 300);

    // Before opening: a black frame on the dialog background (once painted).
    QImage shot;
    QRect frame;
    ASSERT_TRUE(Eventually([&] { return (frame = FindFrame(shot = Screenshot(), window)).isValid(); }))
        << "no picture frame on screen";
    const ui::Rect client{0, 0, frame.width(), frame.height()};

    // Space on the focused first button opens the camera.
    ASSERT_EQ(Xdotool({"key", "space"}), "");
    QStringList lines = TraceLines(13);
    const QStringList opening = {
        "cam: CamStartup() -> 0",
        "cam: CamFeatureCommandRun(1, \"GeVDiscoveryAllOnce\") -> 0",
        "cam: CamCameraList(null, 0, ptr, 24) -> 0",
        "cam: CamCameraList(ptr, 1, ptr, 24) -> 0",
        "cam: CamCameraOpen(\"sim-0\", 1, ptr) -> 0",
        "cam: CamFeatureCommandRun(2, \"GVSPAdjustPacketSize\") -> 0",
        "cam: CamFeatureCommandIsDone(2, \"GVSPAdjustPacketSize\", ptr) -> 0",
        "cam: CamFeatureCommandIsDone(2, \"GVSPAdjustPacketSize\", ptr) -> 0",
        "cam: CamFeatureCommandIsDone(2, \"GVSPAdjustPacketSize\", ptr) -> 0",
        "cam: CamFeatureEnumSet(2, \"PixelFormat\", \"BGR8Packed\") -> 0",
        "cam: CamFeatureEnumGet(2, \"PixelFormat\", ptr) -> 0",
        "cam: CamFeatureIntGet(2, \"Height\", ptr) -> 0",
        "cam: CamFeatureIntGet(2, \"Width\", ptr) -> 0",
    };
    EXPECT_EQ(lines.mid(0, 13).join('\n').toStdString(), opening.join('\n').toStdString());

    // Tab, Tab to "GrapOnce", Space grabs one frame.
    ASSERT_EQ(Xdotool({"key", "Tab", "Tab", "space"}), "");
    lines = TraceLines(22);
    QStringList capture;
    for (const std::string& line : harness::CaptureTrace())
        capture << QString::fromStdString(line);
    EXPECT_EQ(lines.mid(13).join('\n').toStdString(), capture.join('\n').toStdString());
    const ui::Rect fit = FitRect(1292, 964, client);
    const QPoint origin = frame.topLeft();
    const QPoint firstBar = origin + QPoint(fit.left + fit.Width() / 16, fit.top + fit.Height() / 3);
    Eventually([&] { return Near((shot = Screenshot()).pixel(firstBar), Qt::white); });
    for (int bar = 0; bar < 8; ++bar) {
        const uint8_t* c = cam::kSimBarColours[bar];
        const QPoint at = origin + QPoint(fit.left + (2 * bar + 1) * fit.Width() / 16,
                                          fit.top + fit.Height() / 3);
        EXPECT_TRUE(Near(shot.pixel(at), QColor(c[2], c[1], c[0])))
            << "bar " << bar << " shows " << std::hex << shot.pixel(at);
    }
    const int bottom = origin.y() + fit.bottom - 2;
    EXPECT_LT(qGray(shot.pixel(origin.x() + fit.left + 1, bottom)), 20);
    EXPECT_GT(qGray(shot.pixel(origin.x() + fit.right - 2, bottom)), 235);

    // Shift+Tab back to "GrapStop & Release", Space releases.
    ASSERT_EQ(Xdotool({"key", "shift+Tab", "space"}), "");
    lines = TraceLines(24);
    EXPECT_EQ(lines.mid(22).join('\n').toStdString(),
              "cam: CamCameraClose(2) -> 0\ncam: CamShutdown() -> 0");

    // Esc ends the program.
    ASSERT_EQ(Xdotool({"key", "Escape"}), "");
    ASSERT_TRUE(app.waitForFinished(10000)) << "Esc did not end the program";
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
}

// The simulated camera's first frame as the program shows it.
QImage SimulatedFrame(int width, int height)
{
    std::vector<uint8_t> bgr(size_t(width) * height * 3);
    cam::RenderSimPicture(bgr.data(), bgr.size(), width, height, false, 0);
    return QImage(bgr.data(), width, height, width * 3, QImage::Format_BGR888)
        .convertToFormat(QImage::Format_RGB32);
}

// Ctrl+S through the real file dialog, with a name typed as a person would,
// and Ctrl+C read back from the X clipboard as image/png.
TEST_F(X11Test, SaveAndCopyThePicture)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    env.insert("HOME", home.path());
    QString id;
    ASSERT_NO_FATAL_FAILURE(StartApp(&id));
    ASSERT_EQ(Xdotool({"key", "space", "Tab", "Tab", "space"}), "");
    ASSERT_EQ(TraceLines(22).size(), 22);
    const QImage expected = SimulatedFrame(1292, 964);

    ASSERT_EQ(Xdotool({"key", "ctrl+s"}), "");
    ASSERT_EQ(Xdotool({"search", "--sync", "--onlyvisible", "--name", "^Save picture as$"}), "");
    const QString typed = home.filePath("first frame");
    ASSERT_EQ(Xdotool({"type", "--delay", "10", typed}), "");
    ASSERT_EQ(Xdotool({"key", "Return"}), "");
    const QString saved = typed + ".png";  // the PNG filter's extension, added by the dialog
    QImage file;
    ASSERT_TRUE(Eventually([&] { return !(file = QImage(saved)).isNull(); })) << "nothing at " << saved.toStdString();
    EXPECT_EQ(file.convertToFormat(QImage::Format_RGB32), expected);

    ASSERT_EQ(Xdotool({"windowfocus", "--sync", id}), "");
    ASSERT_EQ(Xdotool({"key", "ctrl+c"}), "");
    QImage pasted;
    ASSERT_TRUE(Eventually([&] {
        QByteArray png;
        return RunTool("xclip", {"-selection", "clipboard", "-t", "image/png", "-o"}, env, &png).empty() &&
               !(pasted = QImage::fromData(png, "PNG")).isNull();
    })) << "no image/png on the clipboard";
    EXPECT_EQ(pasted.convertToFormat(QImage::Format_RGB32), expected);

    ASSERT_EQ(Xdotool({"key", "Escape"}), "");
    ASSERT_TRUE(app.waitForFinished(10000));
}

// Esc with a camera open ends the program cleanly: the camera is not
// released on the way out, yet nothing crashes and nothing is reported.
TEST_F(X11Test, EscWithCameraOpen)
{
    // Opening and one grab: the simulated camera polls its packet size three
    // times, the in-process fake camera has no such command.
    const std::pair<const char*, int> sources[] = {{"sim", 22}, {"aravis-fake", 20}};
    for (const auto& [cameras, calls] : sources) {
        env.insert("TARVIK_CAMERAS", cameras);
        trace.clear();
        QString id;
        ASSERT_NO_FATAL_FAILURE(StartApp(&id));
        ASSERT_EQ(Xdotool({"key", "space", "Tab", "Tab", "space"}), "");
        const QStringList lines = TraceLines(calls);
        ASSERT_EQ(lines.size(), calls) << cameras;
        EXPECT_EQ(lines.last().toStdString(), "cam: CamFrameRevoke(2, ptr) -> 0") << cameras;
        ASSERT_EQ(Xdotool({"key", "Escape"}), "");
        ASSERT_TRUE(app.waitForFinished(10000)) << cameras;
        trace += app.readAllStandardOutput();
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << cameras;
        EXPECT_EQ(app.exitCode(), 0) << cameras;
        EXPECT_FALSE(trace.contains("Sanitizer")) << trace.toStdString();
        EXPECT_FALSE(trace.contains("runtime error")) << trace.toStdString();
        EXPECT_FALSE(trace.contains("CamCameraClose")) << "the camera must not be released";
    }
}

// Live view in a real window: --live shows the camera's frames as they come,
// Ctrl+L stops and starts it, and Esc during live view ends the program
// cleanly, the stream stopped first.
TEST_F(X11Test, LiveViewInARealWindow)
{
    env.insert("TARVIK_SIM", "rate=30");
    QString id;
    ASSERT_NO_FATAL_FAILURE(StartApp(&id, {"--live"}));
    const QRect window = WindowRect(id);
    auto shown = [&] { return Screenshot().copy(window); };
    const QImage first = shown();
    EXPECT_TRUE(Eventually([&] { return shown() != first; })) << "the picture does not follow the camera";

    ASSERT_EQ(Xdotool({"key", "ctrl+l"}), "");
    QImage still;
    ASSERT_TRUE(Eventually([&] {
        const QImage a = shown();
        QThread::msleep(300);
        return (still = shown()) == a;
    })) << "the picture goes on changing after live view stopped";
    ASSERT_EQ(Xdotool({"key", "ctrl+l"}), "");
    EXPECT_TRUE(Eventually([&] { return shown() != still; })) << "live view did not start again";

    ASSERT_EQ(Xdotool({"key", "Escape"}), "");
    ASSERT_TRUE(app.waitForFinished(10000));
    trace += app.readAllStandardOutput();
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
    EXPECT_FALSE(trace.contains("Sanitizer")) << trace.toStdString();
    EXPECT_FALSE(trace.contains("runtime error")) << trace.toStdString();
    EXPECT_EQ(trace.count("\"AcquisitionStart\") -> 0"), 2);
    EXPECT_EQ(trace.count("\"AcquisitionStop\") -> 0"), 2) << "every stream stopped, the last on the way out";
    EXPECT_TRUE(trace.contains("CamFrameWaitNext(2, ptr, 100) -> 0"));
}

// --live --inspect: the viewer opens beside the centred dialog, wholly on
// the screen (its status line at its bottom in sight) although no side of
// the dialog has room for it at its wanted size, and follows live view.
TEST_F(X11Test, LiveInspectOpensTheViewerOnTheScreen)
{
    const struct {
        const char* sim;
        bool moves;  // the picture changes from frame to frame
    } rows[] = {{"width=1292,height=964,rate=30", true}, {"width=1,height=1,rate=30", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.sim);
        QTemporaryDir settings;  // no place remembered from another run
        env.insert("XDG_CONFIG_HOME", settings.path());
        env.insert("TARVIK_SIM", row.sim);
        QString id;
        ASSERT_NO_FATAL_FAILURE(StartApp(&id, {"--live", "--inspect"}));
        QByteArray out;
        ASSERT_EQ(Xdotool({"search", "--sync", "--onlyvisible", "--name", "^Inspect$"}, &out), "");
        const QString viewer = QString::fromUtf8(out.split('\n').first());
        const QImage screen = Screenshot();
        QRect shown;
        ASSERT_TRUE(Eventually([&] {
            shown = WindowRect(viewer);
            return shown.height() >= 300;
        }));
        EXPECT_TRUE(screen.rect().contains(shown))
            << "viewer at " << shown.x() << "," << shown.y() << " " << shown.width() << "x" << shown.height();
        if (row.moves) {
            const QRect inside = shown.intersected(screen.rect());
            const QImage first = Screenshot().copy(inside);
            EXPECT_TRUE(Eventually([&] { return Screenshot().copy(inside) != first; }))
                << "the viewer does not follow live view";
        }
        ASSERT_EQ(Xdotool({"windowfocus", "--sync", id}), "");
        ASSERT_EQ(Xdotool({"key", "Escape"}), "");
        ASSERT_TRUE(app.waitForFinished(10000));
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(app.exitCode(), 0);
        trace.clear();
    }
}

// The settings window in a real X server, by keyboard: Ctrl+E opens it, the
// filter finds a feature and Tab reaches its editor. A value the camera takes
// darkens the live picture; one it refuses is reported as the command line
// reports it.
TEST_F(X11Test, SettingsWindow)
{
    env.insert("TARVIK_SIM", "rate=30");
    QString id;
    ASSERT_NO_FATAL_FAILURE(StartApp(&id, {"--live"}));
    const QRect window = WindowRect(id);
    auto level = [&] {
        const QImage shot = Screenshot().copy(window);
        double sum = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x)
                sum += qGray(shot.pixel(x, y));
        return sum / (double(shot.width()) * shot.height());
    };
    const double bright = level();

    ASSERT_EQ(Xdotool({"key", "ctrl+e"}), "");
    QByteArray out;
    ASSERT_EQ(Xdotool({"search", "--sync", "--onlyvisible", "--name", "^Camera settings"}, &out), "");
    const QString settings = QString::fromUtf8(out.split('\n').first());
    // Below the main window, which the screenshots look at; there is no window manager to place it.
    ASSERT_EQ(Xdotool({"windowmove", "--sync", settings, "0", QString::number(window.bottom() + 10)}), "");
    ASSERT_EQ(Xdotool({"windowfocus", "--sync", settings}), "");
    ASSERT_EQ(Xdotool({"type", "ExposureTime"}), "");
    ASSERT_EQ(Xdotool({"key", "Tab", "Tab", "Tab", "ctrl+a"}), "");
    ASSERT_EQ(Xdotool({"type", "2500"}), "");
    ASSERT_EQ(Xdotool({"key", "Return"}), "");
    EXPECT_TRUE(Eventually([&] { return level() < bright - 20; })) << "the live picture did not darken";

    // The picture's width is fixed while the camera streams: live view stops first.
    ASSERT_EQ(Xdotool({"windowfocus", "--sync", id}), "");
    ASSERT_EQ(Xdotool({"key", "ctrl+l"}), "");
    ASSERT_EQ(Xdotool({"windowfocus", "--sync", settings}), "");
    ASSERT_EQ(Xdotool({"key", "shift+Tab", "shift+Tab", "shift+Tab", "ctrl+a"}), "");
    ASSERT_EQ(Xdotool({"type", "Width"}), "");
    ASSERT_EQ(Xdotool({"key", "Tab", "Tab", "Tab", "ctrl+a"}), "");
    ASSERT_EQ(Xdotool({"type", "641"}), "");
    ASSERT_EQ(Xdotool({"key", "Return"}), "");
    EXPECT_TRUE(Eventually([&] {
        app.waitForReadyRead(50);
        trace += app.readAllStandardOutput();
        return trace.contains("tarvik: cannot set Width: 641 is not a step of 4 from 8");
    })) << trace.toStdString();

    ASSERT_EQ(Xdotool({"windowfocus", "--sync", id}), "");
    ASSERT_EQ(Xdotool({"key", "Escape"}), "");
    ASSERT_TRUE(app.waitForFinished(10000));
    trace += app.readAllStandardOutput();
    EXPECT_EQ(app.exitCode(), 0);
    EXPECT_FALSE(trace.contains("Sanitizer")) << trace.toStdString();
    EXPECT_TRUE(trace.contains("CamFeatureValueSet(2, \"ExposureTime\", \"2500\") -> 0"));
    EXPECT_FALSE(trace.contains("CamFeatureValueSet(2, \"Width\"")) << "a refused value is never sent";
}

// Keys and clicks that come while GrapOnce waits for a triggered camera's
// frame wait for the grab, and are taken as soon as it ends, not at the next
// event the window happens to get (the held ones were left behind until the
// mouse moved).
TEST_F(X11Test, InputHeldDuringATriggeredGrab)
{
    const struct {
        const char* name;
        QStringList keys;  // sent while the grab waits
    } cases[] = {
        {"Esc", {"key", "Escape"}},
        {"Esc after a click", {"click", "1", "key", "Escape"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        env.insert("TARVIK_SIM", "width=64,height=48,formats=Mono8");
        trace.clear();
        QString id;
        ASSERT_NO_FATAL_FAILURE(
            StartApp(&id, {"--live", "--set", "TriggerMode=On", "--set", "TriggerSource=Line0"}));
        // GrapOnce ends live view; again, it waits for the line, up to 5 s.
        ASSERT_EQ(Xdotool({"key", "Tab", "Tab", "space", "space"}), "");
        ASSERT_TRUE(Eventually([&] {
            app.waitForReadyRead(50);
            trace += app.readAllStandardOutput();
            return trace.contains("tarvik: waiting for a trigger on Line0");
        })) << trace.toStdString();
        ASSERT_EQ(Xdotool(c.keys), "");
        ASSERT_TRUE(app.waitForFinished(15000)) << trace.toStdString();
        trace += app.readAllStandardOutput();
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(app.exitCode(), 0);
        EXPECT_TRUE(trace.contains("no frame within 5 s: the camera waits for a trigger on Line0"));
    }
}

// A recording the person ends (Ctrl+R) into a FIFO whose reader stopped
// reading cannot be written to its end: stop signals still reach the program.
// One closes the window once the files are closed (here: the reader gone);
// a second leaves the rest, a third ends the program whatever it waits for.
TEST_F(X11Test, StopSignalsWhileAnEndedRecordingWaits)
{
    const struct {
        const char* name;
        int sent;  // SIGTERMs
        bool readerLeaves;  // after the signals
        bool cleanEnd;      // status 0, the closing line said
    } cases[] = {
        {"one signal, then the reader goes", 1, true, true},
        {"three signals", 3, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString fifo = dir.filePath("run.mkv");
        ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        // A reader that never reads, its pipe as small as it gets.
        const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
        ::fcntl(reader, F_SETPIPE_SZ, 4096);
        env.insert("TARVIK_SIM", "width=1280,height=960,formats=Mono8,rate=100");
        env.remove("TARVIK_CAMERA_TRACE");
        trace.clear();
        QString id;
        ASSERT_NO_FATAL_FAILURE(StartApp(&id, {"--live", "--record", fifo}));
        // The pipe full: the recording's writer waits in a write.
        ASSERT_TRUE(Eventually([&] {
            for (const QString& task : QDir(QString("/proc/%1/task").arg(app.processId())).entryList(QDir::Dirs))
                if (QFile f(QString("/proc/%1/task/%2/wchan").arg(app.processId()).arg(task));
                    f.open(QIODevice::ReadOnly) && f.readAll().contains("pipe_write"))
                    return true;
            return false;
        }));
        ASSERT_EQ(Xdotool({"key", "ctrl+r"}), "");
        // Ctrl+R taken: the window's thread waits on the writing, out of
        // its event loop's poll.
        const QString wchan = QString("/proc/%1/wchan").arg(app.processId());
        auto waitsOnWriting = [&] {
            QFile f(wchan);
            return f.open(QIODevice::ReadOnly) && !f.readAll().startsWith("poll");
        };
        ASSERT_TRUE(Eventually([&] { return waitsOnWriting() && waitsOnWriting() && waitsOnWriting(); }));
        for (int i = 0; i < c.sent; ++i) {
            ::kill(pid_t(app.processId()), SIGTERM);
            app.waitForFinished(300);
        }
        if (c.readerLeaves)
            ::close(reader);
        const bool ended = app.state() == QProcess::NotRunning || app.waitForFinished(15000);
        trace += app.readAllStandardOutput();
        ASSERT_TRUE(ended) << trace.toStdString();
        if (!c.readerLeaves)
            ::close(reader);
        trace += app.readAllStandardOutput();
        if (c.cleanEnd) {
            EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(app.exitCode(), 0);
            EXPECT_TRUE(trace.contains("tarvik: recorded ")) << trace.toStdString();
        }
    }
}

}  // namespace
