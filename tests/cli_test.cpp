// The command line of the real program, run with no display at all: every
// option, every exit status, the grabbed file pixel for pixel, and the same
// camera calls as the window makes.
#include "DialogHarness.h"
#include "platform/camera/camsim.h"

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>

namespace {

struct Result {
    int status = -1;
    QByteArray out, err;
    // The trace's "cam: " lines.
    harness::Lines Trace() const
    {
        harness::Lines lines;
        for (const QByteArray& line : err.split('\n'))
            if (line.startsWith("cam: "))
                lines.push_back(line.toStdString());
        return lines;
    }
};

Result Tarvik(const QStringList& args, const QString& sim = {}, const QString& display = {},
           bool trace = false)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "TARVIK_CAMERAS",
                             "TARVIK_SIM", "TARVIK_CAMERA_TRACE"})
        env.remove(name);
    if (!display.isEmpty())
        env.insert("DISPLAY", display);
    if (!sim.isEmpty())
        env.insert("TARVIK_SIM", sim);
    if (trace)
        env.insert("TARVIK_CAMERA_TRACE", "1");
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(TARVIK_EXE, args);
    Result r;
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.status = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

struct CliCase {
    const char* name;
    QStringList args;
    const char* sim;
    int status;
    const char* out;  // expected in stdout
    const char* err;  // expected in stderr (empty: stderr must be empty)
};

void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }

const char* kMissing = "/nonexistent-folder/frame.png";

const CliCase kCases[] = {
    {"help", {"--help"}, "", 0, "Usage: tarvik [options]", ""},
    {"version", {"--version"}, "", 0, "tarvik 1.0.0.1\n", ""},
    {"list", {"--list"}, "count=3", 0, "sim-0\tSimulated camera 0\tsim\nsim-1\tSimulated camera 1\tsim\n"
                                       "sim-2\tSimulated camera 2\tsim\n", ""},
    {"grab to stdout", {"--grab", "-"}, "width=8,height=4", 0, "\x89PNG", ""},
    {"list without camera", {"--list"}, "count=0", 2, "", "tarvik: no camera found (sources: sim)\n"},
    {"grab without camera", {"--grab", "-"}, "count=0", 2, "", "tarvik: no camera found (sources: sim)\n"},
    {"camera not listed", {"--camera", "sim-7", "--grab", "-"}, "count=3", 2, "",
     "tarvik: no camera \"sim-7\" among those found: sim-0, sim-1, sim-2\n"},
    {"camera cannot be set up", {"--grab", "-"}, "width=0", 3, "",
     "tarvik: camera sim-0 reports a picture of 0 x 964 pixels, which cannot be shown\n"},
    {"no frame in time", {"--grab", "-"}, "frames=none,width=8,height=4", 4, "",
     "tarvik: no frame within 5 s (CAM_ERR_TIMEOUT)\n"},
    {"incomplete frame", {"--grab", "-"}, "frames=incomplete,width=8,height=4", 4, "",
     "tarvik: frame incomplete, data was lost on the way\n"},
    {"format not shown", {"--grab", "-"}, "formats=Foo16,width=8,height=4", 4, "",
     "tarvik: pixel format \"Foo16\" is not supported, nothing to show\n"},
    {"folder missing", {"--grab", kMissing}, "width=8,height=4", 5, "",
     "tarvik: cannot write \"/nonexistent-folder/frame.png\": No such file or directory\n"},
    {"unknown option", {"--frobnicate"}, "", 64, "", "tarvik: Unknown option 'frobnicate'."},
    {"missing argument", {"--grab"}, "", 64, "", "tarvik: Missing value after '--grab'."},
    {"unknown file type", {"--grab", "frame.gif"}, "", 64, "", "--grab needs a file name ending in"},
    {"stray argument", {"frame.png"}, "", 64, "", "unexpected argument 'frame.png'"},
    {"list and grab", {"--list", "--grab", "-"}, "", 64, "", "--list goes with no other option"},
    {"live and grab", {"--live", "--grab", "-"}, "", 64, "", "--live opens the window; --grab works without one"},
    {"live without display", {"--live"}, "", 1, "", "tarvik: "},
    // Each number option says the range it really accepts.
    {"frames below the range", {"--check", "--frames", "0"}, "", 64, "",
     "tarvik: --frames needs a whole number from 1 to 1000000000, got '0'\n"},
    {"seconds below the range", {"--check", "--seconds", "0.0001"}, "", 64, "",
     "tarvik: --seconds needs a number of seconds from 0.001 to 86400, got '0.0001'\n"},
    {"seconds above the range", {"--check", "--seconds", "86401"}, "", 64, "",
     "tarvik: --seconds needs a number of seconds from 0.001 to 86400, got '86401'\n"},
    {"shortfall above the range", {"--check", "--max-rate-shortfall", "101"}, "", 64, "",
     "tarvik: --max-rate-shortfall needs a percentage from 0 to 100, got '101'\n"},
    {"clipped below the range", {"--check", "--max-clipped", "-1"}, "", 64, "",
     "tarvik: --max-clipped needs a percentage from 0 to 100, got '-1'\n"},
    {"save settings twice", {"--save-settings", "a.txt", "--save-settings", "b.txt"}, "", 64, "",
     "tarvik: --save-settings given more than once\n"},
    // Numbers are written as feature values are: no exponent for a count, no spaces.
    {"frames with an exponent", {"--check", "--frames", "1e2"}, "", 64, "", "got '1e2'\n"},
    {"frames with a space", {"--check", "--frames", " 2"}, "", 64, "", "got ' 2'\n"},
    {"seconds in hex", {"--check", "--seconds", "0x1p0"}, "", 64, "", "got '0x1p0'\n"},
    {"frames past 64 bits", {"--check", "--frames", "99999999999999999999"}, "", 64, "", "got '9999"},
    // Standard input is read once; standard output holds one thing.
    {"standard input twice", {"--settings", "-", "--settings", "-"}, "", 64, "",
     "tarvik: --settings - reads standard input, which can be read once: give it once\n"},
    {"settings without a name", {"--settings", ""}, "", 64, "", "tarvik: --settings needs a file name"},
    {"settings and features on standard output", {"--features", "--save-settings", "-"}, "", 64, "",
     "tarvik: --save-settings - writes to standard output, where --get and --features print"},
};

class CliTest : public ::testing::TestWithParam<CliCase> {};

TEST_P(CliTest, StatusAndOutput)
{
    const CliCase& c = GetParam();
    const Result r = Tarvik(c.args, c.sim);
    EXPECT_EQ(r.status, c.status) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(c.out)) << r.out.left(200).toStdString();
    if (*c.err) {
        EXPECT_TRUE(r.err.contains(c.err)) << r.err.toStdString();
    } else {
        EXPECT_EQ(r.err.toStdString(), "");
    }
    EXPECT_FALSE(QFile::exists(kMissing));
}

INSTANTIATE_TEST_SUITE_P(Table, CliTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return harness::CaseName(info.param.name); });

// The help names every option, variable and status.
TEST(Cli, HelpIsComplete)
{
    const QByteArray help = Tarvik({"--help"}).out;
    for (const char* word : {"--list", "--camera", "--pixel-format", "--grab", "--version",
                             "TARVIK_CAMERAS", "TARVIK_SIM", "TARVIK_CAMERA_TRACE", "Exit status:",
                             "\n  0 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  5 ", "\n  64 "})
        EXPECT_TRUE(help.contains(word)) << word;
}

// The file holds the simulated camera's first frame exactly, in colour and in
// grey, written without any display (not even an unreachable one is touched).
TEST(Cli, GrabbedFileIsTheFrame)
{
    QTemporaryDir dir;
    for (const bool mono : {false, true}) {
        const QString path = dir.filePath(mono ? "grey.png" : "colour.tiff");
        const Result r = Tarvik({"--grab", path}, mono ? "width=97,height=61,formats=Mono8" : "width=97,height=61",
                             ":9999");
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        std::vector<uint8_t> frame(97 * 61 * (mono ? 1 : 3));
        cam::RenderSimPicture(frame.data(), frame.size(), 97, 61, mono, 0);
        const QImage expected = QImage(frame.data(), 97, 61, mono ? 97 : 97 * 3,
                                       mono ? QImage::Format_Grayscale8 : QImage::Format_BGR888)
                                    .convertToFormat(QImage::Format_RGB32);
        EXPECT_EQ(QImage(path).convertToFormat(QImage::Format_RGB32), expected) << path.toStdString();
    }
}

// --grab makes exactly the calls of the window's three buttons.
TEST(Cli, GrabTraceIsTheWindows)
{
    unsetenv("TARVIK_CAMERAS");
    setenv("TARVIK_SIM", "width=16,height=8", 1);
    harness::ResetCameraState();
    harness::ShownDialog window;
    ASSERT_NO_FATAL_FAILURE(window.Show());
    harness::Lines expected = window.TracedClick(IDC_INIT_GRAB_START);
    for (int id : {IDC_GRAB_ONCE, IDC_GRAB_STOP_RELEASE})
        for (const std::string& line : window.TracedClick(id))
            expected.push_back(line);
    harness::ResetCameraState();
    unsetenv("TARVIK_SIM");

    const Result r = Tarvik({"--grab", "-"}, "width=16,height=8", {}, true);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.Trace(), expected);
}

// --camera opens the one asked for; --pixel-format is asked first and the
// usual formats follow when the camera refuses it.
TEST(Cli, CameraAndPixelFormat)
{
    const struct {
        QStringList args;
        const char* sim;
        harness::Lines expected;  // trace lines that must appear one after another
    } cases[] = {
        {{"--camera", "sim-2"}, "count=3", {"cam: CamCameraOpen(\"sim-2\", 1, ptr) -> 0"}},
        {{"--pixel-format", "Mono8"}, "",
         {"cam: CamFeatureEnumSet(2, \"PixelFormat\", \"Mono8\") -> 0",
          "cam: CamFeatureEnumGet(2, \"PixelFormat\", ptr) -> 0"}},
        {{"--pixel-format", "Mono16"}, "",
         {"cam: CamFeatureEnumSet(2, \"PixelFormat\", \"Mono16\") -> -7",
          "cam: CamFeatureEnumSet(2, \"PixelFormat\", \"BGR8Packed\") -> 0",
          "cam: CamFeatureEnumGet(2, \"PixelFormat\", ptr) -> 0"}},
    };
    for (const auto& c : cases) {
        const QString sim = QString("width=8,height=4") + (*c.sim ? "," : "") + c.sim;
        const Result r = Tarvik(c.args + QStringList{"--grab", "-"}, sim, {}, true);
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        const harness::Lines trace = r.Trace();
        EXPECT_NE(std::search(trace.begin(), trace.end(), c.expected.begin(), c.expected.end()),
                  trace.end())
            << r.err.toStdString();
    }
}

}  // namespace

namespace {

// The window takes the same choice of camera and pixel format.
TEST(Cli, WindowTakesTheOptions)
{
    unsetenv("TARVIK_CAMERAS");
    setenv("TARVIK_SIM", "count=3,width=8,height=4", 1);
    harness::ResetCameraState();
    {
        CTarvikDlg dlg(OpenOptions{"sim-2", "Mono8"});
        ASSERT_TRUE(dlg.Create());
        dlg.SendMessage(ui::Message::Clicked, IDC_INIT_GRAB_START);
        EXPECT_STREQ(g_pCameraId, "sim-2");
        EXPECT_STREQ(g_pPixelFormat, "Mono8");
    }
    harness::ResetCameraState();
    unsetenv("TARVIK_SIM");
}

}  // namespace
