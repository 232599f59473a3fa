// Options through QCommandLineParser; --list and --grab over the same camera
// sequences as the window.
#include "CommandLine.h"

#include "platform/camera/camtext.h"
#include "platform/imaging/OutputFile.h"

#include <QCommandLineParser>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char kDescription[] =
    "Grab single frames from a machine-vision camera.\n"
    "\n"
    "Without options Tarvik opens its window. \"Init& GrapStart\" opens the first camera\n"
    "found, \"GrapOnce\" grabs one frame and shows it fitted into the picture area,\n"
    "\"GrapStop & Release\" lets the camera go. Ctrl+L shows frames live as the camera\n"
    "sends them. Ctrl+S saves the frame at full resolution, Ctrl+C copies it; the picture\n"
    "area's tooltip tells the camera's state.";

const char kMore[] =
    "\n"
    "Environment:\n"
    "  TARVIK_CAMERAS       Camera sources in discovery order, comma-separated: sim (the\n"
    "                       simulated camera, the default), aravis (every GigE Vision and\n"
    "                       USB3 Vision camera; broadcasts), gige:HOST (one GigE Vision\n"
    "                       camera, no broadcast), aravis-fake.\n"
    "  TARVIK_SIM           Settings of the simulated camera, key=value pairs separated by\n"
    "                       commas: count, width, height, formats, adjust, frames, payload,\n"
    "                       frame, filled, rate.\n"
    "  TARVIK_CAMERA_TRACE  1 writes every camera-library call and its result to stderr.\n"
    "\n"
    "Exit status:\n"
    "  0   success\n"
    "  1   the window cannot be shown: no display\n"
    "  2   no camera found, or the --camera id is not among those found\n"
    "  3   the camera could not be opened or set up (busy included)\n"
    "  4   no complete frame: time-out, incomplete frame, a capture call failed, or a\n"
    "      pixel format Tarvik cannot show\n"
    "  5   the file could not be written\n"
    "  64  usage: an unknown option, a missing argument or options that do not go together\n"
    "\n"
    "Examples:\n"
    "  $ tarvik --list\n"
    "  $ tarvik --grab cam.png || echo \"status $?\"\n"
    "  $ tarvik --camera sim-1 --pixel-format Mono8 --grab grey.tiff\n"
    "  $ TARVIK_CAMERAS=gige:192.168.10.20 tarvik --grab - > frame.png\n";

struct Options {
    QCommandLineOption help{{"h", "help"}, "Show this help and exit."};
    QCommandLineOption version{{"v", "version"}, "Show the version and exit."};
    QCommandLineOption list{"list", "List the cameras found, one per line: id, name and source, "
                                    "separated by tabs."};
    QCommandLineOption camera{"camera", "Open the listed camera with this id instead of the first one "
                                        "(in the window and with --grab).", "ID"};
    QCommandLineOption pixelFormat{"pixel-format", "Ask the camera for this pixel format first; if "
                                                   "it refuses, BGR8Packed, else Mono8.", "NAME"};
    QCommandLineOption live{"live", "Open the window, open the camera and start live view at once: frames as "
                                    "the camera sends them, for a monitor (Ctrl+L in the window)."};
    QCommandLineOption grab{"grab", "Without a window: open the camera, grab one frame, release the "
                                    "camera and write the frame at full resolution to FILE, in the "
                                    "format its extension names (" +
                                        QString::fromStdString(imaging::PictureFileExtensions()) +
                                        "); - writes PNG to standard output.", "FILE"};

    void AddTo(QCommandLineParser& parser)
    {
        parser.setApplicationDescription(QString::fromUtf8(kDescription));
        parser.addOptions({help, version, list, camera, pixelFormat, live, grab});
    }
};

// An option's value as the bytes given, which QString would turn into U+FFFD
// where they are not UTF-8 (Linux file names are bytes, not text). Walks the
// arguments as QCommandLineParser does: "--name value" or "--name=value",
// and nothing after "--".
std::string RawValue(int argc, char** argv, const QCommandLineOption& option,
                     const QList<QCommandLineOption*>& takingValues)
{
    const std::string name = "--" + option.names().first().toStdString();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--")
            break;
        if (arg == name && i + 1 < argc)
            return argv[i + 1];
        if (arg.rfind(name + "=", 0) == 0)
            return arg.substr(name.size() + 1);
        for (const QCommandLineOption* other : takingValues)
            if (arg == "--" + other->names().first().toStdString())
                ++i;  // its value is not an option
    }
    return {};
}

// Writes out what is buffered for standard output; false, with a message,
// when it could not be written (a full disk, a closed pipe, /dev/full).
bool StandardOutputWritten()
{
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return true;
    std::fprintf(stderr, "tarvik: cannot write standard output: %s\n",
                 errno ? std::strerror(errno) : "an output error");
    return false;
}

}  // namespace

void OpenStandardDescriptors()
{
    // Opened for the other direction, so that using one fails instead of
    // silently reading or writing nothing.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // Descriptors are handed out lowest first, so this is fd itself.
        const int opened = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (opened >= 0 && opened != fd)
            close(opened);
    }
}

CommandLine ParseCommandLine(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    Options o;
    o.AddTo(parser);

    CommandLine cl;
    auto usage = [&](const QString& error) {
        cl.mode = CommandLine::Mode::Usage;
        cl.usageError = error.toStdString();
        return cl;
    };
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return usage("unexpected argument '" + parser.positionalArguments().first() + "'");
    const QList<QCommandLineOption*> takingValues = {&o.camera, &o.pixelFormat, &o.grab};
    if (parser.isSet(o.help))
        return cl.mode = CommandLine::Mode::Help, cl;
    if (parser.isSet(o.version))
        return cl.mode = CommandLine::Mode::Version, cl;
    for (const QCommandLineOption* once : takingValues)
        if (parser.values(*once).size() > 1)
            return usage("--" + once->names().first() + " given more than once");
    cl.open.cameraId = RawValue(argc, argv, o.camera, takingValues);
    cl.open.pixelFormat = parser.value(o.pixelFormat).toStdString();
    if (parser.isSet(o.camera) && cl.open.cameraId.empty())
        return usage("--camera needs a camera id");
    if (parser.isSet(o.pixelFormat) && cl.open.pixelFormat.empty())
        return usage("--pixel-format needs a pixel format name");
    if (parser.isSet(o.list)) {
        if (parser.isSet(o.grab) || parser.isSet(o.camera) || parser.isSet(o.pixelFormat) || parser.isSet(o.live))
            return usage("--list goes with no other option");
        return cl.mode = CommandLine::Mode::List, cl;
    }
    if (parser.isSet(o.live) && parser.isSet(o.grab))
        return usage("--live opens the window; --grab works without one: use one of them");
    cl.live = parser.isSet(o.live);
    if (parser.isSet(o.grab)) {
        cl.grabFile = RawValue(argc, argv, o.grab, takingValues);
        if (imaging::PictureFormatOf(cl.grabFile).empty())
            return usage("--grab needs a file name ending in " +
                         QString::fromStdString(imaging::PictureFileExtensions()) + ", or -");
        cl.mode = CommandLine::Mode::Grab;
    }
    return cl;
}

int ShowHelp()
{
    QCommandLineParser parser;
    Options o;
    o.AddTo(parser);
    const QString text = parser.helpText().replace("<executable_name>", "tarvik") + kMore;
    std::fputs(text.toLocal8Bit().constData(), stdout);
    return StandardOutputWritten() ? kExitSuccess : kExitNotWritten;
}

int ShowVersion()
{
    std::printf("tarvik %s\n", TARVIK_VERSION);
    return StandardOutputWritten() ? kExitSuccess : kExitNotWritten;
}

int ShowUsageError(const std::string& error)
{
    std::fprintf(stderr,
                 "tarvik: %s\n"
                 "Usage: tarvik [--camera ID] [--pixel-format NAME] [--live | --grab FILE]\n"
                 "       tarvik --list | --help | --version\n",
                 cam::Escaped(error).c_str());
    return kExitUsage;
}

int ListCameras()
{
    std::vector<CamCameraInfo> cameras;
    const Outcome found = FindCameras(&cameras);
    auto field = [](const char* text) { return cam::OneLine(text ? text : ""); };
    for (const CamCameraInfo& c : cameras)
        std::printf("%s\t%s\t%s\n", field(c.cameraId).c_str(), field(c.cameraName).c_str(),
                    field(c.sourceName).c_str());
    const bool written = StandardOutputWritten();
    CamShutdown();
    ReportFailure(found);
    return found.Failed() || written ? ExitStatusFor(found) : kExitNotWritten;
}

int GrabToFile(const CommandLine& commandLine)
{
    Outcome outcome = OpenCamera(commandLine.open);
    if (!outcome.Failed())
        outcome = GrabFrame();
    const imaging::Picture picture = CapturedPicture();  // kept past the release
    // Said before the release, which can take seconds on a camera that is gone.
    ReportFailure(outcome);
    ReleaseCamera();
    if (outcome.Failed())
        return ExitStatusFor(outcome);
    const std::string error = imaging::SavePicture(picture, commandLine.grabFile);
    if (!error.empty()) {
        const std::string where = imaging::OutputFile::IsStandardOutput(commandLine.grabFile)
            ? "standard output"
            : cam::Quoted(commandLine.grabFile);
        std::fprintf(stderr, "tarvik: cannot write %s: %s\n", where.c_str(), error.c_str());
        return kExitNotWritten;
    }
    return kExitSuccess;
}
