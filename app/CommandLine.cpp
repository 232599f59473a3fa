// Options through QCommandLineParser; --list and --grab over the same camera
// sequences as the window.
#include "CommandLine.h"

#include "app/check/CheckReport.h"
#include "app/check/CheckTiming.h"
#include "Failures.h"
#include "StopSignals.h"
#include "app/check/CheckMetrics.h"
#include "exporter/Exporter.h"
#include "platform/camera/camfeature.h"
#include "platform/camera/camtext.h"
#include "platform/imaging/files/OutputFile.h"
#include "platform/imaging/sequence/SequenceFile.h"

#include <QCommandLineParser>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
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
    "Ctrl+C copies it; the picture area's tooltip tells the camera's state.";

const char kMore[] =
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
    "                       clock=backwards|jump, software_trigger=ignored|refused.\n"
    "  TARVIK_CAMERA_TRACE  1 writes every camera-library call and its result to stderr.\n"
    "\n"
    "Recording (--record PATH):\n"
    "  NAME.mkv       FFV1 (lossless) in Matroska, frame times from the camera's clock;\n"
    "                 read back with ffmpeg or ffprobe. Mono and Bayer as grey at 8 or 16\n"
    "                 bits (the Bayer pattern in the metadata), RGB as colour, YUV 4:2:2\n"
    "                 as it is; a FIFO is streamed into\n"
    "  NAME.tif(f)    one multi-page TIFF, a page per frame, 8 or 16 bits a sample (Bayer\n"
    "                 as its mosaic with the CFA tags, YUV as RGB); BigTIFF past 4 GB;\n"
    "                 read back with tiffinfo or any TIFF reader\n"
    "  DIR/           a file per frame, frame-000001.tiff (or .png with --record-format),\n"
    "                 as --grab writes them\n"
    "  Beside it PATH.csv (in a folder frames.csv): index,frame_id,camera_timestamp_ns,\n"
    "  receive_time_ns,width,height,pixel_format,written, a line per frame and per frame\n"
    "  id the camera skipped; written is yes, incomplete (written, what never came\n"
    "  black), dropped (Tarvik's queue was full), skipped (never sent), failed (not\n"
    "  written: writing had failed) or refused (a frame of another size, which ends the\n"
    "  recording). PATH.settings (in a folder camera.settings) holds the camera's\n"
    "  settings as recording began, for --settings. Ctrl+C (or SIGTERM, or SIGHUP unless\n"
    "  under nohup) stops and writes what is queued; a second Ctrl+C stops at once. A\n"
    "  closing line on stderr gives the frames written, dropped by the camera and by\n"
    "  Tarvik, incomplete, bytes, seconds, and \"; stopped by SIGINT\" when a signal\n"
    "  stopped it (also in the window, which the signal closes).\n"
    "  In the window Ctrl+R records from live view until Ctrl+R again, release or close;\n"
    "  --live --record PATH records from the start (not with --frames or --seconds).\n"
    "\n"
    "Triggers and the camera's clock (--check):\n"
    "  --trigger software sets TriggerMode=On, TriggerSource=Software (TriggerSelector\n"
    "  FrameStart where the camera has it), fires TriggerSoftware --frames times and\n"
    "  reports triggers sent, frames for them, missed (no frame within the camera's\n"
    "  frame time, delay + exposure + readout, times 1.5 plus 100 ms), extra frames and\n"
    "  the latency from trigger to frame (median, 99th percentile, largest); missed or\n"
    "  extra fail. --trigger line0 counts the frames the input line gives and their\n"
    "  intervals' jitter, against --expect-rate if given. The trigger settings are put\n"
    "  back afterwards. Every check with frames that carry the camera's timestamp\n"
    "  reports its clock: drift against the computer's in ppm (from a second of frames\n"
    "  on), how much later than the quickest frames arrive, steps back and jumps;\n"
    "  drift past --max-clock-drift, a step back or a jump warn.\n"
    "\n"
    "Serving (--serve [ADDRESS:]PORT, e.g. --serve 0.0.0.0:13956):\n"
    "  /probe?camera=ID  opens that camera, checks it as --check does, releases it and\n"
    "                    answers with the result as Prometheus metrics, with\n"
    "                    tarvik_probe_success and tarvik_probe_duration_seconds;\n"
    "                    &frames=N (1 to 10000) or &seconds=S (0.01 to 300) for how long.\n"
    "                    Probes take turns; each stops before Prometheus's scrape time-out\n"
    "                    (X-Prometheus-Scrape-Timeout-Seconds) with what it measured\n"
    "  /metrics          the exporter's own metrics: probes, connections dropped, process\n"
    "  /                 a page naming these and the cameras found now\n"
    "  --settings FILE applies at every probe; nothing in a URL changes a camera. Bad\n"
    "  parameters: 400; other methods than GET and HEAD: 405; other paths: 404. A request\n"
    "  must come whole within 3 s and 16 KiB; a client that hangs up ends its probe.\n"
    "  Ctrl+C, SIGTERM or SIGHUP stops, status 0.\n"
    "\n"
    "Feature values (--set, --settings):\n"
    "  whole numbers  decimal, an optional sign, leading zeros still decimal (0640 is\n"
    "                 640); a feature shown in hex (--features) also takes 0x and hex\n"
    "                 digits and is written as 0x and lower-case hex digits\n"
    "  numbers        decimal, an optional sign and exponent (2.5, -.5, 1e-3); no hex,\n"
    "                 inf or nan\n"
    "  booleans       true/false, on/off, yes/no, 1/0, in any case\n"
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
    "      keep\n"
    "  5   the file (or standard output) could not be written; --record: a write failed\n"
    "      (a full disk), the frames before it are kept and the files stay readable; a\n"
    "      file of it is a device or a link that leads nowhere; another recording to\n"
    "      it runs\n"
    "  6   --check: the verdict is fail (no frame, incomplete or missing frames, frames\n"
    "      that cannot be analysed, missing packets; with --trigger a trigger without\n"
    "      its frame, a frame no trigger asked for, a line's frames off --expect-rate);\n"
    "      the report is still written\n"
    "  7   --serve: the address cannot be listened on (the port taken, not this computer's)\n"
    "  64  usage: an unknown option, a missing argument or options that do not go together\n"
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
    "  $ tarvik --live --record run.mkv\n";

struct Options {
    QCommandLineOption help{{"h", "help"}, "Show this help and exit."};
    QCommandLineOption version{{"v", "version"}, "Show the version and exit."};
    QCommandLineOption list{"list", "List the cameras found, one per line: id, name and source, "
                                    "separated by tabs."};
    QCommandLineOption camera{"camera", "Open the listed camera with this id instead of the first one "
                                        "(in the window and with --grab).", "ID"};
    QCommandLineOption pixelFormat{"pixel-format", "Ask the camera for this pixel format first; if "
                                                   "it refuses, BGR8Packed, else Mono8. A check (--check, "
                                                   "--serve) takes the camera's own format unless this asks "
                                                   "for one, and puts the camera's own back.", "NAME"};
    QCommandLineOption live{"live", "Open the window, open the camera and start live view at once: frames as "
                                    "the camera sends them, for a monitor (Ctrl+L in the window). With --record PATH: "
                                    "and record from the start (Ctrl+R in the window)."};
    QCommandLineOption grab{"grab", "Without a window: open the camera, grab one frame, release the "
                                    "camera and write the frame at full resolution to FILE, in the "
                                    "format its extension names (" +
                                        QString::fromStdString(imaging::PictureFileExtensions()) +
                                        "); - writes PNG to standard output.", "FILE"};
    QCommandLineOption check{"check", "Without a window: open the camera, stream frames, release it and "
                                      "report whether camera and link can be trusted: complete frames, "
                                      "rate, packets, exposure, a frozen picture, with a verdict ok, warn "
                                      "or fail (status 6)."};
    QCommandLineOption all{"all", "With --check: check every camera found, one after another."};
    QCommandLineOption frames{"frames", "With --check: stream this many frames (default 100). With --record: "
                                        "record this many frames, then stop.", "N"};
    QCommandLineOption seconds{"seconds", "With --check or --record: stream this long instead.", "S"};
    QCommandLineOption record{"record", "Without a window: open the camera and keep every frame it sends in PATH "
                                        "until --frames, --seconds or Ctrl+C: NAME.mkv, NAME.tif, NAME.tiff or a "
                                        "folder DIR/ (see Recording below), with PATH.csv and PATH.settings "
                                        "beside it. With --live: the window records from the start until "
                                        "Ctrl+R, release or close.", "PATH"};
    QCommandLineOption overwrite{"overwrite", "With --record: replace an existing recording and its .csv and "
                                              ".settings files, once every new file has opened (a start that "
                                              "fails keeps them)."};
    QCommandLineOption recordBuffer{"record-buffer", "With --record: memory for frames waiting to be written, "
                                                     "e.g. 512M or 2G (default a quarter of the memory, at most "
                                                     "4G; at least two frames). A frame that finds it full is "
                                                     "dropped and counted, never waited for.", "SIZE"};
    QCommandLineOption recordFormat{"record-format", "With --record to a folder: tiff (the default) or png, a "
                                                     "file per frame.", "FORMAT"};
    QCommandLineOption json{"json", "With --check or --features: as JSON, for programs."};
    QCommandLineOption prometheus{"prometheus", "With --check: as Prometheus metrics in the text exposition "
                                                "format (with --all, a camera label on each sample), e.g. for "
                                                "node_exporter's textfile collector. A camera that does not "
                                                "open is reported as failing too."};
    QCommandLineOption output{"output", "With --check: write the report to FILE instead of standard output. "
                                        "A file is written beside it under a temporary name and renamed over "
                                        "it once complete: readers see the old report or the new one, and a "
                                        "failed write (status 5) leaves the old one as it was.", "FILE"};
    QCommandLineOption set{"set", "Set a camera feature right after opening, before anything is grabbed "
                                  "(repeatable, applied in order; NAME alone runs a command). With --grab, "
                                  "--check, --record or --live; alone it sets and releases the camera.",
                            "NAME=VALUE"};
    QCommandLineOption get{"get", "Print a camera feature as NAME=VALUE (repeatable).", "NAME"};
    QCommandLineOption features{"features", "Print every camera feature by category: name, type, access, value, "
                                            "range or entries, unit."};
    QCommandLineOption settings{"settings", "Apply a settings file (NAME=VALUE lines) right after opening, "
                                            "before any --set (repeatable, applied in order; - reads "
                                            "standard input).", "FILE"};
    QCommandLineOption saveSettings{"save-settings", "Write the camera's writable features to FILE as NAME=VALUE "
                                                     "lines that apply again.", "FILE"};
    QCommandLineOption rateShortfall{"max-rate-shortfall", "With --check: warn when the measured rate is more "
                                                           "than this many per cent below the camera's "
                                                           "(default 10).", "PERCENT"};
    QCommandLineOption clipped{"max-clipped", "With --check: warn when more than this many per cent of a "
                                              "colour's samples are black or at full scale (default 1).",
                               "PERCENT"};

    QCommandLineOption timeout{"timeout", "With --grab: wait this many seconds for the frame, from 0.1 to 3600 "
                                          "(default 5), e.g. for a camera waiting for a trigger on an input line.",
                               "S"};
    QCommandLineOption trigger{"trigger", "With --check: set TriggerMode On with this source and check the "
                                          "triggers: software (Tarvik fires TriggerSoftware, --frames times) or "
                                          "line0, line1 ... (the camera's input line).", "SOURCE"};
    QCommandLineOption triggerRate{"trigger-rate", "With --check --trigger software: fire this many triggers a "
                                                   "second, from 0.1 to 1000 (default: each once the frame of the "
                                                   "one before came). With --live: send a software trigger this "
                                                   "many times a second while live view runs (with TriggerMode=On "
                                                   "and TriggerSource=Software).", "HZ"};
    QCommandLineOption expectRate{"expect-rate", "With --check --trigger lineN: the frames a second the line "
                                                 "should give; more or fewer fail.", "HZ"};
    QCommandLineOption maxClockDrift{"max-clock-drift", "With --check: warn when the camera's clock runs more "
                                                        "than this many ppm off the computer's (default 200).",
                                     "PPM"};
    QCommandLineOption serve{"serve", "Without a window: serve the check to Prometheus over HTTP on PORT, "
                                      "at 127.0.0.1 unless an ADDRESS is given (0.0.0.0: every interface), "
                                      "until Ctrl+C, SIGTERM or SIGHUP: /probe?camera=ID checks that camera when "
                                      "scraped (see Serving below).", "[ADDRESS:]PORT"};

    QList<QCommandLineOption*> CheckOnly()
    {
        return {&all, &frames, &seconds, &rateShortfall, &clipped, &prometheus, &output, &trigger, &expectRate,
                &maxClockDrift};
    }
    QList<QCommandLineOption*> RecordOnly() { return {&overwrite, &recordBuffer, &recordFormat}; }

    void AddTo(QCommandLineParser& parser)
    {
        parser.setApplicationDescription(QString::fromUtf8(kDescription));
        parser.addOptions({help, version, list, camera, pixelFormat, live, grab, check, all, frames, seconds, json,
                           prometheus, output, rateShortfall, clipped, trigger, triggerRate, expectRate,
                           maxClockDrift, set, get, features, settings, saveSettings, record, overwrite,
                           recordBuffer, recordFormat, timeout, serve});
    }
};

// A number option's value within [low, high], written as feature values
// are; false when it is not one.
bool NumberIn(const QString& text, double low, double high, double* value)
{
    return cam::ParseNumber(text.toStdString(), value) && *value >= low && *value <= high;
}

// The same for a whole number.
bool WholeNumberIn(const QString& text, int64_t low, int64_t high, int64_t* value)
{
    return cam::ParseWholeNumber(text.toStdString(), value) && *value >= low && *value <= high;
}

// A size such as 512M or 2G: bytes, or K, M, G, T for powers of 1024 (an
// optional iB or B after them); false when it is not one from 1 byte to 1 TiB.
bool SizeIn(const QString& text, uint64_t* bytes)
{
    QString t = text.trimmed().toUpper();
    for (const char* unit : {"IB", "B"})
        if (t.size() > 1 && t.endsWith(unit) && !t.at(t.size() - int(std::strlen(unit)) - 1).isDigit()) {
            t.chop(int(std::strlen(unit)));
            break;
        }
    int shift = 0;
    if (!t.isEmpty() && QString("KMGT").contains(t.back())) {
        shift = 10 * (int(QString("KMGT").indexOf(t.back())) + 1);
        t.chop(1);
    }
    bool ok = false;
    const qulonglong n = t.toULongLong(&ok);
    if (!ok || n == 0 || n > (qulonglong(1) << (40 - shift)))
        return false;
    *bytes = uint64_t(n) << shift;
    return true;
}

// An option's values in the order given, as the bytes given, which QString
// would turn into U+FFFD where they are not UTF-8 (Linux file names are
// bytes, not text). Walks the arguments as QCommandLineParser does:
// "--name value" or "--name=value", and nothing after "--".
std::vector<std::string> RawValues(int argc, char** argv, const QCommandLineOption& option,
                                   const QList<QCommandLineOption*>& takingValues)
{
    const std::string name = "--" + option.names().first().toStdString();
    std::vector<std::string> values;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--")
            break;
        if (arg == name && i + 1 < argc)
            values.push_back(argv[i + 1]);
        else if (arg.rfind(name + "=", 0) == 0)
            values.push_back(arg.substr(name.size() + 1));
        for (const QCommandLineOption* other : takingValues)
            if (arg == "--" + other->names().first().toStdString())
                ++i;  // its value is not an option
    }
    return values;
}

std::string RawValue(int argc, char** argv, const QCommandLineOption& option,
                     const QList<QCommandLineOption*>& takingValues)
{
    const std::vector<std::string> values = RawValues(argc, argv, option, takingValues);
    return values.empty() ? std::string() : values.front();
}

// Writes out what is buffered for standard output; false, with a message,
// when it could not be written (a full disk, a closed pipe, /dev/full).
// failedWith: the errno of a write that already failed, if one did.
bool StandardOutputWritten(int failedWith = 0)
{
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout) && !failedWith)
        return true;
    const int error = failedWith ? failedWith : errno;
    std::fprintf(stderr, "tarvik: cannot write standard output: %s\n",
                 error ? std::strerror(error) : "an output error");
    return false;
}

// Text longer than standard output's buffer fails while it is written, not
// when it is flushed: the reason is kept from then.
bool WriteStandardOutput(const std::string& text)
{
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    return StandardOutputWritten(written ? 0 : (errno ? errno : EIO));
}

// The check's report to --output, else to standard output; false, with a
// message, when it could not be written.
bool WriteReport(const CommandLine& commandLine, const std::string& report)
{
    if (commandLine.outputFile.empty() || imaging::OutputFile::IsStandardOutput(commandLine.outputFile))
        return WriteStandardOutput(report);
    imaging::OutputFile file;
    if (file.Open(commandLine.outputFile) && file.Write(report.data(), report.size()) && file.Commit())
        return true;
    std::fprintf(stderr, "tarvik: cannot write %s: %s\n", cam::Quoted(commandLine.outputFile).c_str(),
                 file.Error().c_str());
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

namespace {

// The options without the settings files, whose names go to *settingsFiles.
CommandLine ParseOptions(int argc, char** argv, std::vector<std::string>* settingsFiles)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    Options o;
    o.AddTo(parser);

    CommandLine cl;
    auto usageOf = [&](const std::string& error) {
        cl.mode = CommandLine::Mode::Usage;
        cl.error = error;
        return cl;
    };
    auto usage = [&](const QString& error) { return usageOf(error.toStdString()); };
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return usage("unexpected argument '" + parser.positionalArguments().first() + "'");
    const QList<QCommandLineOption*> takingValues = {&o.camera,  &o.pixelFormat,   &o.grab,    &o.frames,
                                                     &o.seconds, &o.rateShortfall, &o.clipped, &o.set,
                                                     &o.get,     &o.settings,      &o.saveSettings, &o.record,
                                                     &o.recordBuffer, &o.recordFormat, &o.output, &o.trigger,
                                                     &o.triggerRate,  &o.expectRate,   &o.maxClockDrift,
                                                     &o.timeout,   &o.serve};
    if (parser.isSet(o.help))
        return cl.mode = CommandLine::Mode::Help, cl;
    if (parser.isSet(o.version))
        return cl.mode = CommandLine::Mode::Version, cl;
    for (const QCommandLineOption* once : takingValues)
        if (once != &o.set && once != &o.get && once != &o.settings && parser.values(*once).size() > 1)
            return usage("--" + once->names().first() + " given more than once");
    cl.open.cameraId = RawValue(argc, argv, o.camera, takingValues);
    cl.open.pixelFormat = parser.value(o.pixelFormat).toStdString();
    if (parser.isSet(o.camera) && cl.open.cameraId.empty())
        return usage("--camera needs a camera id");
    if (parser.isSet(o.pixelFormat) && cl.open.pixelFormat.empty())
        return usage("--pixel-format needs a pixel format name");
    const bool reading = parser.isSet(o.get) || parser.isSet(o.features) || parser.isSet(o.saveSettings);
    if (parser.isSet(o.list)) {
        if (parser.isSet(o.grab) || parser.isSet(o.camera) || parser.isSet(o.pixelFormat) || parser.isSet(o.live) ||
            parser.isSet(o.check) || parser.isSet(o.set) || parser.isSet(o.settings) || parser.isSet(o.record) ||
            parser.isSet(o.serve) || reading)
            return usage("--list goes with no other option");
        return cl.mode = CommandLine::Mode::List, cl;
    }
    *settingsFiles = RawValues(argc, argv, o.settings, takingValues);
    if (std::count(settingsFiles->begin(), settingsFiles->end(), std::string()) > 0)
        return usage("--settings needs a file name, or - for standard input");
    if (std::count(settingsFiles->begin(), settingsFiles->end(), std::string("-")) > 1)
        return usage("--settings - reads standard input, which can be read once: give it once");
    const bool serving = parser.isSet(o.serve);
    if (serving) {
        // Each probe names its camera in the URL; only the operator's
        // settings file changes a camera, never a request.
        for (const QCommandLineOption* other : {&o.camera, &o.live, &o.grab, &o.check, &o.all, &o.json, &o.prometheus,
                                                &o.output, &o.set, &o.get, &o.features, &o.saveSettings, &o.record,
                                                &o.overwrite, &o.recordBuffer, &o.recordFormat, &o.timeout,
                                                &o.trigger, &o.triggerRate, &o.expectRate})
            if (parser.isSet(*other))
                return usage("--serve goes with --settings, --pixel-format, --frames, --seconds, --max-rate-shortfall, "
                             "--max-clipped and --max-clock-drift only, not with --" + other->names().first());
        cl.serve = RawValue(argc, argv, o.serve, takingValues);
        exporter::ListenAddress listen;
        std::string why;
        if (!exporter::ParseListenAddress(cl.serve, &listen, &why))
            return usageOf("--serve needs [ADDRESS:]PORT: " + why);
    }
    for (const std::string& text : RawValues(argc, argv, o.set, takingValues)) {
        Setting setting;
        if (!ParseSetting(text, "--set", &setting))
            return usageOf("--set needs NAME=VALUE (or NAME alone for a command), got '" + text + "'");
        cl.open.settings.push_back(setting);
    }
    for (const std::string& name : RawValues(argc, argv, o.get, takingValues)) {
        if (name.empty())
            return usage("--get needs a feature name");
        cl.gets.push_back(name);
    }
    cl.features = parser.isSet(o.features);
    cl.json = parser.isSet(o.json);
    if (parser.isSet(o.saveSettings)) {
        cl.saveSettingsFile = RawValue(argc, argv, o.saveSettings, takingValues);
        if (cl.saveSettingsFile.empty())
            return usage("--save-settings needs a file name");
        if (imaging::OutputFile::IsStandardOutput(cl.saveSettingsFile) && (parser.isSet(o.get) || cl.features))
            return usage("--save-settings - writes to standard output, where --get and --features print: use a file "
                         "name, or one of them");
    }
    if (reading && (parser.isSet(o.grab) || parser.isSet(o.check) || parser.isSet(o.live)))
        return usage("--get, --features and --save-settings go without --grab, --check and --live");
    if (cl.json && !parser.isSet(o.check) && !cl.features)
        return usage("--json goes with --check or --features");
    const bool recording = parser.isSet(o.record);
    if (!recording)
        for (const QCommandLineOption* only : o.RecordOnly())
            if (parser.isSet(*only))
                return usage("--" + only->names().first() + " goes with --record");
    double number = 0;
    if (parser.isSet(o.timeout)) {
        if (!parser.isSet(o.grab))
            return usage("--timeout goes with --grab");
        if (!NumberIn(parser.value(o.timeout), 0.1, 3600, &number))
            return usage("--timeout needs seconds from 0.1 to 3600, got '" + parser.value(o.timeout) + "'");
        cl.grabTimeoutMs = uint32_t(number * 1000 + 0.5);
    }
    // With --check it is read below, with the check's other options.
    if (parser.isSet(o.triggerRate) && !parser.isSet(o.check)) {
        if (!parser.isSet(o.live))
            return usage("--trigger-rate goes with --check --trigger software or --live");
        if (!NumberIn(parser.value(o.triggerRate), 0.1, 1000, &number))
            return usage("--trigger-rate needs triggers a second from 0.1 to 1000, got '" +
                         parser.value(o.triggerRate) + "'");
        cl.triggerRate = number;
    }
    // --frames and --seconds: how long to check or record.
    auto length = [&](const char* what, uint64_t* frames, double* seconds) {
        if (parser.isSet(o.frames) && parser.isSet(o.seconds))
            return usage(QString("--frames and --seconds both say how long to ") + what + ": use one of them");
        double v = 0;
        if (parser.isSet(o.frames)) {
            int64_t n = 0;
            if (!WholeNumberIn(parser.value(o.frames), 1, 1000000000, &n))
                return usage("--frames needs a whole number from 1 to 1000000000, got '" + parser.value(o.frames) +
                             "'");
            *frames = uint64_t(n);
        }
        if (parser.isSet(o.seconds)) {
            if (!NumberIn(parser.value(o.seconds), 0.001, 86400, &v))
                return usage("--seconds needs a number of seconds from 0.001 to 86400, got '" +
                             parser.value(o.seconds) + "'");
            *seconds = v;
        }
        return cl;
    };
    if (recording) {
        if (parser.isSet(o.grab) || parser.isSet(o.check))
            return usage("--record streams the camera and writes every frame: not with --grab or --check");
        if (parser.isSet(o.live) && (parser.isSet(o.frames) || parser.isSet(o.seconds)))
            return usage("--live --record records until Ctrl+R in the window: not with --frames or --seconds");
        if (reading)
            return usage("--get, --features and --save-settings go without --record (the recording's "
                         ".settings file holds the camera's settings)");
        for (const QCommandLineOption* only : o.CheckOnly())
            if (only != &o.frames && only != &o.seconds && parser.isSet(*only))
                return usage("--" + only->names().first() + " goes with --check");
        CommandLine::Record& r = cl.record;
        r.path = RawValue(argc, argv, o.record, takingValues);
        imaging::SequenceFormat format{};
        if (!imaging::SequenceFormatOf(r.path, &format))
            return usageOf("--record needs a path ending in " + imaging::SequenceFileKinds() + ", got '" + r.path +
                           "'");
        if (length("record", &r.frames, &r.seconds).mode == CommandLine::Mode::Usage)
            return cl;
        r.overwrite = parser.isSet(o.overwrite);
        if (parser.isSet(o.recordBuffer) && !SizeIn(parser.value(o.recordBuffer), &r.bufferBytes))
            return usage("--record-buffer needs a size from 1 byte to 1T, such as 512M or 2G (K, M, G, T: powers "
                         "of 1024), got '" + parser.value(o.recordBuffer) + "'");
        if (parser.isSet(o.recordFormat)) {
            r.frameFileFormat = parser.value(o.recordFormat).toStdString();
            if (r.frameFileFormat != "tiff" && r.frameFileFormat != "png")
                return usage("--record-format needs tiff or png, got '" + parser.value(o.recordFormat) + "'");
            if (format != imaging::SequenceFormat::Directory)
                return usage("--record-format says which files a folder gets: the path must be a folder (a name "
                             "ending in /)");
        }
        // With --live: the window records from the start.
        cl.live = parser.isSet(o.live);
        return cl.mode = cl.live ? CommandLine::Mode::Window : CommandLine::Mode::Record, cl;
    }
    if (!parser.isSet(o.check) && !serving) {
        for (const QCommandLineOption* only : o.CheckOnly())
            if (parser.isSet(*only))
                return usage("--" + only->names().first() + " goes with --check" +
                             (only == &o.frames || only == &o.seconds ? " or --record" : ""));
    } else {
        if (parser.isSet(o.grab) || parser.isSet(o.live))
            return usage("--check works without a window and writes a report: not with --grab or --live");
        if (parser.isSet(o.all) && parser.isSet(o.camera))
            return usage("--all checks every camera: not with --camera");
        if (length("check", &cl.check.frames, &cl.check.seconds).mode == CommandLine::Mode::Usage)
            return cl;
        double v = 0;
        if (parser.isSet(o.rateShortfall)) {
            if (!NumberIn(parser.value(o.rateShortfall), 0, 100, &v))
                return usage("--max-rate-shortfall needs a percentage from 0 to 100, got '" +
                             parser.value(o.rateShortfall) + "'");
            cl.check.maxRateShortfall = v;
        }
        if (parser.isSet(o.clipped)) {
            if (!NumberIn(parser.value(o.clipped), 0, 100, &v))
                return usage("--max-clipped needs a percentage from 0 to 100, got '" + parser.value(o.clipped) + "'");
            cl.check.maxClipped = v;
        }
        if (parser.isSet(o.trigger)) {
            cl.check.trigger = parser.value(o.trigger).toStdString();
            if (TriggerSourceOf(cl.check.trigger).empty())
                return usage("--trigger needs software or an input line (line0, line1 ...), got '" +
                             parser.value(o.trigger) + "'");
        }
        const std::string source = TriggerSourceOf(cl.check.trigger);
        if (parser.isSet(o.triggerRate)) {
            if (source != "Software")
                return usage("--trigger-rate goes with --check --trigger software: Tarvik fires only software "
                             "triggers");
            if (!NumberIn(parser.value(o.triggerRate), 0.1, 1000, &v))
                return usage("--trigger-rate needs triggers a second from 0.1 to 1000, got '" +
                             parser.value(o.triggerRate) + "'");
            cl.check.triggerRate = v;
        }
        if (parser.isSet(o.expectRate)) {
            if (source.empty() || source == "Software")
                return usage("--expect-rate goes with --check --trigger line0 (or another input line): it counts "
                             "the frames a line's triggers give");
            if (!NumberIn(parser.value(o.expectRate), 0.001, 100000, &v))
                return usage("--expect-rate needs frames a second from 0.001 to 100000, got '" +
                             parser.value(o.expectRate) + "'");
            cl.check.expectRate = v;
        }
        if (parser.isSet(o.maxClockDrift)) {
            if (!NumberIn(parser.value(o.maxClockDrift), 0, 1000000, &v))
                return usage("--max-clock-drift needs parts per million from 0 to 1000000, got '" +
                             parser.value(o.maxClockDrift) + "'");
            cl.check.maxClockDrift = v;
        }
        cl.allCameras = parser.isSet(o.all);
        cl.prometheus = parser.isSet(o.prometheus);
        if (cl.prometheus && cl.json)
            return usage("--json and --prometheus are two forms of the report: use one of them");
        if (parser.isSet(o.output)) {
            cl.outputFile = RawValue(argc, argv, o.output, takingValues);
            if (cl.outputFile.empty())
                return usage("--output needs a file name");
        }
        return cl.mode = serving ? CommandLine::Mode::Serve : CommandLine::Mode::Check, cl;
    }
    if (parser.isSet(o.live) && parser.isSet(o.grab))
        return usage("--live opens the window; --grab works without one: use one of them");
    cl.live = parser.isSet(o.live);
    if (!cl.live && !parser.isSet(o.grab) && (reading || !cl.open.settings.empty() || !settingsFiles->empty()))
        return cl.mode = CommandLine::Mode::Features, cl;
    if (parser.isSet(o.grab)) {
        cl.grabFile = RawValue(argc, argv, o.grab, takingValues);
        if (imaging::PictureFormatOf(cl.grabFile).empty())
            return usage("--grab needs a file name ending in " +
                         QString::fromStdString(imaging::PictureFileExtensions()) + ", or -");
        cl.mode = CommandLine::Mode::Grab;
    }
    return cl;
}

}  // namespace

CommandLine ParseCommandLine(int argc, char** argv)
{
    // Read only once the options go together, so that a usage error
    // leaves standard input unread.
    std::vector<std::string> files;
    CommandLine cl = ParseOptions(argc, argv, &files);
    if (cl.mode == CommandLine::Mode::Usage || files.empty())
        return cl;
    std::vector<Setting> settings;
    for (const std::string& file : files)
        if (!ReadSettingsFile(file, &settings, &cl.error))
            return cl.mode = CommandLine::Mode::SettingsRefused, cl;
    cl.open.settings.insert(cl.open.settings.begin(), settings.begin(), settings.end());
    return cl;
}

int ShowHelp()
{
    QCommandLineParser parser;
    Options o;
    o.AddTo(parser);
    const QString text = parser.helpText().replace("<executable_name>", "tarvik") + kMore;
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
    if (!outcome.Failed()) {
        GrabOptions options;
        options.timeoutMs = commandLine.grabTimeoutMs;
        options.waitingForTrigger = [](const std::string& source) {
            std::fprintf(stderr, "tarvik: %s\n", TriggerWaitLine(source).c_str());
        };
        outcome = GrabFrame(options);
    }
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

int CheckCameras(const CommandLine& commandLine)
{
    CheckOptions options = commandLine.check;
    // A check with --trigger sets the camera's trigger and puts it back as it
    // lets the camera go: a stop signal (Ctrl+C, SIGTERM, the terminal gone)
    // is held until then, ending the stream first, lest a camera left in
    // trigger mode wait for triggers ever after. So is one during a check
    // with --pixel-format, which puts the camera's own format back (unless a
    // setting chose the format), lest the program using the camera find
    // another. Blocked before the camera library starts a thread, so that
    // every thread inherits the mask. SIGHUP stays ignored under nohup
    // (StopSignals), as the exporter's does.
    const bool formatPutBack =
        !commandLine.open.pixelFormat.empty() &&
        std::none_of(commandLine.open.settings.begin(), commandLine.open.settings.end(),
                     [](const Setting& s) { return s.name == "PixelFormat"; });
    const bool holdSignals = !options.trigger.empty() || formatPutBack;
    if (holdSignals) {
        BlockStopSignals();
        options.stopRequested = StopSignalPending;
    }
    const bool terminal = isatty(STDERR_FILENO) == 1;
    if (terminal)
        options.progress = [](uint64_t received, double rate) {
            // The camera being checked is the open one.
            std::fprintf(stderr, "\rtarvik: checking %s: %llu frames, %.1f frames/s\033[K",
                         cam::OneLine(g_pCameraId ? g_pCameraId : "").c_str(), (unsigned long long)received, rate);
        };
    std::vector<std::string> ids;  // empty: the camera --camera names, or the first
    std::vector<std::string> names, sources;  // as listed, for a camera that then does not open
    if (commandLine.allCameras) {
        std::vector<CamCameraInfo> cameras;
        const Outcome found = FindCameras(&cameras);
        if (found.Failed()) {
            ReportFailure(found);
            ReleaseCamera();
            // Metrics of no camera rather than an older file's, which would
            // tell of cameras that are gone.
            if (commandLine.prometheus && !WriteReport(commandLine, ""))
                return kExitNotWritten;
            return ExitStatusFor(found);
        }
        for (const CamCameraInfo& c : cameras) {
            ids.push_back(c.cameraId ? c.cameraId : "");
            names.push_back(c.cameraName ? c.cameraName : "");
            sources.push_back(c.sourceName ? c.sourceName : "");
        }
        ReleaseCamera();
    }
    std::vector<CheckResult> results;
    int notChecked = kExitSuccess;  // the status of the one camera that did not open
    for (size_t i = 0; i < std::max<size_t>(1, ids.size()); ++i) {
        OpenOptions open = commandLine.open;
        if (!ids.empty())
            open.cameraId = ids[i];
        CheckResult result = CheckCamera(open, options);
        if (terminal)
            std::fputs("\r\033[K", stderr);
        // Said apart from the report: a camera left in the check's format
        // would surprise the program that uses it next.
        if (!result.formatNotPutBack.empty())
            std::fprintf(stderr, "tarvik: could not put the pixel format of camera %s back to %s\n",
                         cam::OneLine(result.id).c_str(), cam::OneLine(result.formatNotPutBack).c_str());
        if (holdSignals && StopSignalPending()) {
            const bool formatBack = formatPutBack && result.formatNotPutBack.empty();
            std::string said = "tarvik: --check stopped by a signal";
            if (!options.trigger.empty() || formatBack)
                said += std::string("; the camera's ") +
                        (options.trigger.empty() ? "pixel format was"
                         : formatBack            ? "trigger settings and pixel format were"
                                                 : "trigger settings were") +
                        " put back";
            std::fprintf(stderr, "%s\n", said.c_str());
            // The signal now takes its usual effect.
            ReleaseStopSignals();
            return kExitCheckFailed;  // not reached
        }
        if (result.opened.Failed()) {
            ReportFailure(result.opened);
            if (ids.empty()) {
                // Nothing was checked; metrics still say so, as a probe does.
                if (!commandLine.prometheus)
                    return ExitStatusFor(result.opened);
                notChecked = ExitStatusFor(result.opened);
            } else {
                result.name = names[i];
                result.source = sources[i];
            }
        }
        results.push_back(result);
    }
    std::string report;
    if (commandLine.prometheus) {
        prometheus::Registry registry;
        AddCheckMetrics(registry, results, commandLine.allCameras);
        report = MetricsText(registry);
    } else if (commandLine.json) {
        report = CheckJson(results);
    } else {
        for (size_t i = 0; i < results.size(); ++i)
            report += (i ? "\n" : "") + CheckText(results[i]);
    }
    if (!WriteReport(commandLine, report))
        return kExitNotWritten;
    if (notChecked != kExitSuccess)
        return notChecked;
    const bool failed =
        std::any_of(results.begin(), results.end(), [](const CheckResult& r) { return r.verdict == Level::Fail; });
    return failed ? kExitCheckFailed : kExitSuccess;
}

int ServeCameras(const CommandLine& commandLine)
{
    exporter::ServeOptions options;
    std::string why;
    exporter::ParseListenAddress(commandLine.serve, &options.listen, &why);  // checked when parsed
    options.open = commandLine.open;
    options.check = commandLine.check;
    options.version = TARVIK_VERSION;
    return exporter::Serve(options);
}

int ShowFeatures(const CommandLine& commandLine)
{
    // Features are read and changed without a picture: a camera set to a
    // size that cannot be shown is put right here.
    const Outcome opened = OpenCamera(commandLine.open);
    if (opened.Failed() && !PictureMissing(opened)) {
        ReportFailure(opened);
        ReleaseCamera();
        return ExitStatusFor(opened);
    }
    std::string out;
    const std::string refused = GetFeatures(commandLine.gets, &out);
    if (commandLine.features)
        out += commandLine.json ? FeaturesJson() : FeaturesText();
    const std::string notSaved =
        refused.empty() && !commandLine.saveSettingsFile.empty() ? SaveSettingsFile(commandLine.saveSettingsFile) : "";
    ReleaseCamera();
    if (!refused.empty()) {
        std::fprintf(stderr, "tarvik: %s\n", refused.c_str());
        return kExitNotOpened;
    }
    if (!notSaved.empty()) {
        std::fprintf(stderr, "tarvik: %s\n", notSaved.c_str());
        return kExitNotWritten;
    }
    return WriteStandardOutput(out) ? kExitSuccess : kExitNotWritten;
}
