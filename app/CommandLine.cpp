// Options through QCommandLineParser: each command's table is added in the
// order --help lists them, and once the command asked for is known its own
// reader checks its options. --list over the same camera sequences as the
// window.
#include "CommandLine.h"

#include "Failures.h"
#include "platform/camera/camtext.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

const char kDescription[] =
    "Grab single frames from a machine-vision camera.\n"
    "\n"
    "Without options Tarvik opens its window. \"Init& GrapStart\" opens the first camera\n"
    "found, \"GrapOnce\" grabs one frame and shows it fitted into the picture area,\n"
    "\"GrapStop & Release\" lets the camera go. Ctrl+L shows frames live as the camera\n"
    "sends them, Ctrl+E opens a window of the camera's settings, Ctrl+R records every\n"
    "frame to a file until Ctrl+R again. Ctrl+S saves the frame at full resolution,\n"
    "Ctrl+C copies it; the picture area's tooltip tells the camera's state. Ctrl+I (or a\n"
    "double click on the picture) opens the viewer: zoom, pixel values, histogram, focus.\n"
    "Ctrl+O (or a recording dropped on the window) plays one in a viewer of its own.";

const char kEnvironmentHelp[] =
    "\n"
    "Environment:\n"
    "  TARVIK_CAMERAS       Camera sources in discovery order, comma-separated: sim (the\n"
    "                       simulated camera, the default), aravis (every GigE Vision and\n"
    "                       USB3 Vision camera; broadcasts), gige:HOST (one GigE Vision\n"
    "                       camera, no broadcast), aravis-fake.\n"
    "  TARVIK_SIM           Settings of the simulated camera, key=value pairs separated by\n"
    "                       commas: count, width, height, formats, adjust, frames, payload,\n"
    "                       frame, filled, rate, rated, picture, line0 and line1 (an input\n"
    "                       line's edges a second), line_jitter (us), clock_ppm,\n"
    "                       clock=backwards|jump, software_trigger=ignored|refused,\n"
    "                       noise (read noise, standard deviation in sample levels).\n"
    "  TARVIK_CAMERA_TRACE  1 writes every camera-library call and its result to stderr.\n";

const char kStatusHelp[] =
    "\n"
    "Exit status:\n"
    "  0   success\n"
    "  1   the window cannot be shown: no display\n"
    "  2   no camera found, or the --camera id is not among those found\n"
    "  3   the camera could not be opened or set up (busy included), or refused a --set\n"
    "      or --settings; a --settings file that cannot be read or is not NAME=VALUE lines\n"
    "  4   no complete frame: time-out, incomplete frame, a capture call failed, or a\n"
    "      pixel format Tarvik cannot show; --record: the camera stopped sending, sent a\n"
    "      frame of another size, or sends a pixel format or frame size the file cannot\n"
    "      keep; --play: the recording (or a frame of it) cannot be read, or the\n"
    "      export's format cannot keep its frames\n"
    "  5   the file (or standard output) could not be written; --record: a write failed\n"
    "      (a full disk), the frames before it are kept and the files stay readable; a\n"
    "      file of it is a device or a link that leads nowhere; another recording to\n"
    "      it runs; --play --record or --grab likewise, the frames written kept\n"
    "  6   --check: the verdict is fail (no frame, incomplete or missing frames, frames\n"
    "      that cannot be analysed, missing packets; with --trigger a trigger without\n"
    "      its frame, a frame no trigger asked for, a line's frames off --expect-rate);\n"
    "      the report is still written\n"
    "  7   --serve: the address cannot be listened on (the port taken, not this computer's)\n"
    "  8   --force-ip: the camera refused FORCEIP, is not found alone at its new address,\n"
    "      or the interface cannot be sent on\n"
    "  9   --network, --set-ip, --ip-mode: the camera is not a GigE Vision camera, or\n"
    "      its IP settings could not be read, or were refused or read back otherwise\n"
    "  64  usage: an unknown option, a missing argument or options that do not go together;\n"
    "      --play: a range or frame outside the recording, an output that exists without\n"
    "      --overwrite, or one that is the recording being read\n"
    "\n"
    "Examples:\n"
    "  $ tarvik --list\n"
    "  $ tarvik --grab cam.png || echo \"status $?\"\n"
    "  $ tarvik --camera sim-1 --pixel-format Mono8 --grab grey.tiff\n"
    "  $ TARVIK_CAMERAS=gige:192.168.10.20 tarvik --grab - > frame.png\n"
    "  $ tarvik --check --frames 300 --json > report.json\n"
    "  $ tarvik --serve 0.0.0.0:13956 --settings line1.settings\n"
    "  $ tarvik --check --all --prometheus --output /var/lib/prometheus/node-exporter/tarvik.prom\n"
    "  $ tarvik --check --trigger software --trigger-rate 50 --frames 200\n"
    "  $ tarvik --check --trigger line0 --expect-rate 25 --seconds 10\n"
    "  $ tarvik --record run.mkv --seconds 60 --set ExposureTime=2000\n"
    "  $ tarvik --live --record run.mkv\n"
    "  $ tarvik --play run.mkv --range 100-250 --record cut.mkv\n";

// The options every command that opens a camera shares, and those that are
// commands of their own.
struct CommonOptionTable {
    QCommandLineOption help;
    QCommandLineOption version;
    QCommandLineOption list;
    QCommandLineOption camera;
    QCommandLineOption pixelFormat;

    CommonOptionTable()
        :
          help({"h", "help"}, "Show this help and exit."),
          version({"v", "version"}, "Show the version and exit."),
          list("list", "List the cameras found, one per line: id, name and source, "
              "separated by tabs; for a GigE camera then its address, MAC and "
              "interface."),
          camera("camera", "Open the listed camera with this id instead of the first one "
              "(in the window and with --grab).", "ID"),
          pixelFormat("pixel-format", "Ask the camera for this pixel format first; if "
              "it refuses, BGR8Packed, else Mono8. A check (--check, "
              "--serve) takes the camera's own format unless this asks "
              "for one, and puts the camera's own back.", "NAME")
    {
    }
};

struct OptionTables {
    CommonOptionTable common;
    LiveOptionTable live;
    ViewerOptionTable viewer;
    GrabOptionTable grab;
    CheckOptionTable check;
    SettingsOptionTable settings;
    RecordOptionTable record;
    ServeOptionTable serve;
    NetworkOptionTable network;
    ForceIpOptionTable forceIp;
    PlayOptionTable play;

    QList<QCommandLineOption> InHelpOrder() const
    {
        return QList<QCommandLineOption>{common.help, common.version, common.list, common.camera, common.pixelFormat,
                                         live.live, viewer.inspect, grab.grab} +
               check.Options() + settings.Options() + record.Options() +
               QList<QCommandLineOption>{grab.timeout, serve.serve} + network.Options() + forceIp.Options() +
               play.Options();
    }

    void AddTo(QCommandLineParser& parser) const
    {
        parser.setApplicationDescription(QString::fromUtf8(kDescription));
        parser.addOptions(InHelpOrder());
    }

    // The names of the options that take a value, for walking the arguments.
    std::vector<std::string> ValueOptions() const
    {
        std::vector<std::string> names;
        for (const QCommandLineOption& option : InHelpOrder())
            if (!option.valueName().isEmpty())
                names.push_back(option.names().first().toStdString());
        return names;
    }
};

// Every option that takes a value may be given once but these, which
// repeat. A repeat is reported for the first of them in this order.
const char* const kGivenOnce[] = {"camera",        "pixel-format",  "grab",         "frames",
                                  "seconds",       "max-rate-shortfall", "max-clipped", "save-settings",
                                  "record",        "record-buffer", "record-format", "output",
                                  "trigger",       "trigger-rate",  "expect-rate",  "max-clock-drift",
                                  "timeout",       "serve",         "play",         "range",
                                  "frame"};

Usage RepeatedOption(const ParsedOptions& options)
{
    for (const char* name : kGivenOnce)
        if (options.Values(QString::fromLatin1(name)).size() > 1)
            return "--" + std::string(name) + " given more than once";
    return std::nullopt;
}

// --camera and --pixel-format, which every command that opens a camera reads.
Usage ReadOpenOptions(const ParsedOptions& options, const CommonOptionTable& table, OpenOptions* open)
{
    open->cameraId = options.RawValue(table.camera);
    open->pixelFormat = options.Value(table.pixelFormat).toStdString();
    if (options.IsSet(table.camera) && open->cameraId.empty())
        return std::string("--camera needs a camera id");
    if (options.IsSet(table.pixelFormat) && open->pixelFormat.empty())
        return std::string("--pixel-format needs a pixel format name");
    return std::nullopt;
}

// --list, which goes with no option that opens, changes or reads a camera.
Usage ListConflicts(const ParsedOptions& options, const OptionTables& t)
{
    for (const QCommandLineOption* other : {&t.grab.grab, &t.common.camera, &t.common.pixelFormat, &t.live.live,
                                            &t.check.check, &t.settings.set, &t.settings.settings, &t.record.record,
                                            &t.serve.serve, &t.network.network, &t.network.setIp,
                                            &t.network.ipMode, &t.play.play})
        if (options.IsSet(*other))
            return std::string("--list goes with no other option");
    if (ReadsFeatures(options, t.settings))
        return std::string("--list goes with no other option");
    return std::nullopt;
}

// --network, --set-ip, --ip-mode: with --camera and --json alone.
Usage ReadNetwork(const ParsedOptions& options, const OptionTables& t, CommandLine* cl)
{
    QList<QCommandLineOption> others = QList<QCommandLineOption>{t.grab.grab, t.grab.timeout, t.common.pixelFormat,
                                                                 t.live.live, t.settings.set, t.settings.settings,
                                                                 t.serve.serve} +
                                       t.check.Options() + t.record.Options() + t.play.Options();
    for (const QCommandLineOption& other : others)
        if (other.names() != t.check.json.names() && options.IsSet(other))
            return "--" + other.names().first().toStdString() + " does not go with --network, --set-ip or --ip-mode";
    if (ReadsFeatures(options, t.settings))
        return std::string("--network, --set-ip and --ip-mode go with --camera and --json alone");
    cl->mode = CommandLine::Mode::Network;
    return ReadNetworkOptions(options, t.network, options.IsSet(t.check.json), &cl->network);
}

// --record, from the command line or (with --live) in the window.
Usage ReadRecording(const ParsedOptions& options, const OptionTables& t, CommandLine* cl)
{
    if (Usage u = RecordConflicts(options))
        return u;
    if (Usage u = CheckOnlyOptionGiven(options, t.check, true))
        return u;
    if (Usage u = ReadRecordOptions(options, t.record, &cl->record))
        return u;
    // With --live: the window records from the start.
    cl->live.start = options.IsSet(t.live.live);
    cl->mode = cl->live.start ? CommandLine::Mode::Window : CommandLine::Mode::Record;
    return std::nullopt;
}

// No command of its own: the window, a grab, or the settings alone.
Usage ReadWindowOrGrab(const ParsedOptions& options, const OptionTables& t, bool settingsFiles, CommandLine* cl)
{
    const bool grab = options.IsSet(t.grab.grab);
    if (options.IsSet(t.live.live) && grab)
        return std::string("--live opens the window; --grab works without one: use one of them");
    cl->live.start = options.IsSet(t.live.live);
    if (!cl->live.start && !grab &&
        (ReadsFeatures(options, t.settings) || !cl->open.settings.empty() || settingsFiles)) {
        cl->mode = CommandLine::Mode::Features;
        return std::nullopt;
    }
    if (grab) {
        if (Usage u = ReadGrabFile(options, t.grab, &cl->grab))
            return u;
        cl->mode = CommandLine::Mode::Grab;
    }
    return std::nullopt;
}

// --play without --check: a recording, kept in part (--record, --grab) or
// opened in the window, with no option that opens or reads a camera.
Usage ReadPlaying(const ParsedOptions& options, const OptionTables& t, CommandLine* cl)
{
    const QList<QCommandLineOption> goesWith = t.play.Options() + QList<QCommandLineOption>{
        t.record.record, t.record.overwrite, t.record.recordFormat, t.record.recordCodec, t.record.recordBayer,
        t.grab.grab};
    for (const QCommandLineOption& option : t.InHelpOrder()) {
        const bool allowed = std::any_of(goesWith.begin(), goesWith.end(), [&](const QCommandLineOption& o) {
            return o.names() == option.names();
        });
        if (!allowed && options.IsSet(option))
            return "--" + option.names().first().toStdString() +
                   " does not go with --play, which reads a recording, not a camera";
    }
    if (Usage u = ReadPlayOptions(options, t.play, &cl->play))
        return u;
    if (cl->play.exportRange)
        if (Usage u = ReadRecordOptions(options, t.record, &cl->record))
            return u;
    if (!cl->play.exportRange)
        if (Usage u = RecordOnlyOptionGiven(options, t.record))
            return u;
    if (cl->play.saveFrame)
        if (Usage u = ReadGrabFile(options, t.grab, &cl->grab))
            return u;
    cl->mode = CommandLine::Mode::Play;
    return std::nullopt;
}

// --check --play: the recording's check reads its own options; what keeps
// a part of a recording or reads a camera does not go with it.
Usage ReadCheckPlaying(const ParsedOptions& options, const OptionTables& t, CommandLine* cl)
{
    for (const QCommandLineOption* other : {&t.play.range, &t.play.frame, &t.record.record, &t.grab.grab,
                                            &t.live.live, &t.serve.serve, &t.check.all, &t.check.trigger})
        if (options.IsSet(*other))
            return "--" + other->names().first().toStdString() + " does not go with --check --play";
    cl->play.path = options.RawValue(t.play.play);
    cl->check.recording = cl->play.path;
    return std::nullopt;
}

// Which command was asked for, each command's options read by its own
// reader. The order of the steps is the order in which a usage error is
// found when several things are wrong.
Usage ReadCommand(const ParsedOptions& options, const OptionTables& t, CommandLine* cl,
                  std::vector<std::string>* settingsFiles)
{
    if (Usage u = RepeatedOption(options))
        return u;
    if (Usage u = ReadOpenOptions(options, t.common, &cl->open))
        return u;
    if (options.IsSet(t.common.list)) {
        cl->mode = CommandLine::Mode::List;
        return ListConflicts(options, t);
    }
    if (NetworkAsked(options, t.network))
        return ReadNetwork(options, t, cl);
    if (options.IsSet(t.play.play) && !options.IsSet(t.check.check))
        return ReadPlaying(options, t, cl);
    if (options.IsSet(t.play.play)) {
        if (Usage u = ReadCheckPlaying(options, t, cl))
            return u;
    } else if (Usage u = PlayOnlyOptionGiven(options, t.play)) {
        return u;
    }
    if (Usage u = ReadSettingsFileNames(options, t.settings, settingsFiles))
        return u;
    const bool serving = options.IsSet(t.serve.serve);
    if (serving)
        if (Usage u = ReadServeOptions(options, t.serve, &cl->serve))
            return u;
    if (Usage u = ReadSettingsOptions(options, t.settings, &cl->open.settings, &cl->settings))
        return u;
    const bool recording = options.IsSet(t.record.record);
    if (!recording)
        if (Usage u = RecordOnlyOptionGiven(options, t.record))
            return u;
    if (Usage u = ReadGrabTimeout(options, t.grab, &cl->grab))
        return u;
    if (Usage u = ReadLiveTriggerRate(options, &cl->live))
        return u;
    if (Usage u = ReadInspect(options, t.viewer, &cl->inspect))
        return u;
    if (recording)
        return ReadRecording(options, t, cl);
    if (!options.IsSet(t.check.check) && !serving) {
        if (Usage u = CheckOnlyOptionGiven(options, t.check, false))
            return u;
        return ReadWindowOrGrab(options, t, !settingsFiles->empty(), cl);
    }
    if (Usage u = ReadCheckOptions(options, t.check, &cl->check))
        return u;
    cl->mode = serving ? CommandLine::Mode::Serve : CommandLine::Mode::Check;
    return std::nullopt;
}

// The options without the settings files, whose names go to *settingsFiles.
CommandLine ParseOptions(int argc, char** argv, std::vector<std::string>* settingsFiles)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    const OptionTables t;
    t.AddTo(parser);

    CommandLine cl;
    Usage usage;
    if (!parser.parse(arguments))
        usage = parser.errorText().toStdString();
    else if (parser.isSet(t.forceIp.forceIp) || parser.isSet(t.forceIp.interface)) {
        // Its address follows the MAC as an argument of its own.
        usage = ReadForceIpOptions(ParsedOptions(parser, argc, argv, t.ValueOptions()), t.forceIp, t.InHelpOrder(),
                                   parser.positionalArguments(), argc, argv, &cl.forceIp);
        cl.mode = CommandLine::Mode::ForceIp;
    } else if (!parser.positionalArguments().isEmpty())
        usage = ("unexpected argument '" + parser.positionalArguments().first() + "'").toStdString();
    else if (parser.isSet(t.common.help))
        cl.mode = CommandLine::Mode::Help;
    else if (parser.isSet(t.common.version))
        cl.mode = CommandLine::Mode::Version;
    else
        usage = ReadCommand(ParsedOptions(parser, argc, argv, t.ValueOptions()), t, &cl, settingsFiles);
    if (usage) {
        cl.mode = CommandLine::Mode::Usage;
        cl.error = *usage;
    }
    return cl;
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
    // Read only once the options go together, so that a usage error
    // leaves standard input unread.
    std::vector<std::string> files;
    CommandLine cl = ParseOptions(argc, argv, &files);
    if (cl.mode == CommandLine::Mode::Usage || files.empty())
        return cl;
    if (!ApplySettingsFiles(files, &cl.open.settings, &cl.error))
        cl.mode = CommandLine::Mode::SettingsRefused;
    return cl;
}

int ShowHelp()
{
    QCommandLineParser parser;
    const OptionTables t;
    t.AddTo(parser);
    // Each command's section, in the order they always came.
    const QString text = parser.helpText().replace("<executable_name>", "tarvik") + kEnvironmentHelp +
                         kRecordHelp + kPlayHelp + kCheckHelp + kServeHelp + kSettingsHelp + kNetworkHelp +
                         kForceIpHelp + kStatusHelp;
    return WriteStandardOutput(text.toLocal8Bit().toStdString()) ? kExitSuccess : kExitNotWritten;
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

int ShowSettingsRefused(const std::string& error)
{
    std::fprintf(stderr, "tarvik: %s\n", error.c_str());
    return kExitNotOpened;
}

int ListCameras()
{
    std::vector<CamCameraInfo> cameras;
    const Outcome found = FindCameras(&cameras);
    auto field = [](const char* text) { return cam::OneLine(text ? text : ""); };
    std::vector<std::string> warnings;
    for (const CamCameraInfo& c : cameras) {
        std::string warning;
        const std::string network = ListedNetworkFields(c, &warning);
        std::printf("%s\t%s\t%s%s\n", field(c.cameraId).c_str(), field(c.cameraName).c_str(),
                    field(c.sourceName).c_str(), network.c_str());
        if (!warning.empty())
            warnings.push_back(warning);
    }
    // After the list, which programs read from standard output.
    for (const std::string& w : warnings)
        std::fprintf(stderr, "tarvik: %s\n", w.c_str());
    const bool written = StandardOutputWritten();
    CamShutdown();
    ReportFailure(found);
    return found.Failed() || written ? ExitStatusFor(found) : kExitNotWritten;
}

