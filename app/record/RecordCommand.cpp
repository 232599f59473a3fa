// --record's options and the recording command: the camera opened as --grab
// opens it, live view's stream feeding the recorder, the signals that end
// it, and the lines that say how it went.
#include "RecordCommand.h"

#include "Recorder.h"
#include "app/Failures.h"
#include "app/live/LiveStream.h"
#include "app/StopSignals.h"
#include "platform/camera/camtext.h"
#include "platform/imaging/sequence/SequenceFile.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

const char kRecordHelp[] =
    "\n"
    "Recording (--record PATH):\n"
    "  NAME.mkv       FFV1 (lossless) in Matroska, frame times from the camera's clock;\n"
    "                 read back with ffmpeg or ffprobe. Mono and Bayer as grey at 8 or 16\n"
    "                 bits (the Bayer pattern in the metadata; with --record-bayer planes\n"
    "                 as its four colour planes, tagged BAYER_LAYOUT=planes), RGB as colour,\n"
    "                 YUV 4:2:2 as it is; a FIFO is streamed into\n"
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
    "  --live --record PATH records from the start (not with --frames or --seconds).\n";

RecordOptionTable::RecordOptionTable()
    : record("record", "Without a window: open the camera and keep every frame it sends in PATH "
          "until --frames, --seconds or Ctrl+C: NAME.mkv, NAME.tif, NAME.tiff or a "
          "folder DIR/ (see Recording below), with PATH.csv and PATH.settings "
          "beside it. With --live: the window records from the start until "
          "Ctrl+R, release or close.", "PATH"),
      overwrite("overwrite", "With --record: replace an existing recording and its .csv and "
          ".settings files, once every new file has opened (a start that "
          "fails keeps them)."),
      recordBuffer("record-buffer", "With --record: memory for frames waiting to be written, "
          "e.g. 512M or 2G (default a quarter of the memory, at most "
          "4G; at least two frames). A frame that finds it full is "
          "dropped and counted, never waited for.", "SIZE"),
      recordFormat("record-format", "With --record to a folder: tiff (the default) or png, a "
          "file per frame.", "FORMAT"),
      recordCodec("record-codec", "With --record to NAME.mkv: ffv1, magicyuv (8-bit only) or "
          "ffvhuff (see Recording below; default by the camera's data rate).", "NAME"),
      recordBayer("record-bayer", "With --record to NAME.mkv: mosaic (the default) keeps a Bayer "
          "frame as the camera sends it; planes keeps it as its four colour planes side by side "
          "(even rows and columns top left, even rows odd columns top right, odd rows even "
          "columns bottom left, odd rows odd columns bottom right): files 0.7 to 0.9 times the "
          "size, whatever the codec. Tarvik reads both back as the mosaic; ffmpeg needs a filter "
          "for planes (docs/recording.md). Other pixel formats and odd sizes are kept as they "
          "are.", "LAYOUT")
{
}

QList<QCommandLineOption> RecordOptionTable::Options() const
{
    return {record, overwrite, recordBuffer, recordFormat, recordCodec, recordBayer};
}

QList<const QCommandLineOption*> RecordOptionTable::RecordOnly() const
{
    return {&overwrite, &recordBuffer, &recordFormat, &recordCodec, &recordBayer};
}

Usage RecordOnlyOptionGiven(const ParsedOptions& options, const RecordOptionTable& table)
{
    for (const QCommandLineOption* only : table.RecordOnly())
        if (options.IsSet(*only))
            return ("--" + only->names().first() + " goes with --record").toStdString();
    return std::nullopt;
}

Usage RecordConflicts(const ParsedOptions& options)
{
    auto given = [&](const char* name) { return options.IsSet(QString::fromLatin1(name)); };
    if (given("grab") || given("check"))
        return std::string("--record streams the camera and writes every frame: not with --grab or --check");
    if (given("live") && (given("frames") || given("seconds")))
        return std::string("--live --record records until Ctrl+R in the window: not with --frames or --seconds");
    if (given("get") || given("features") || given("save-settings"))
        return std::string("--get, --features and --save-settings go without --record (the recording's "
                           ".settings file holds the camera's settings)");
    return std::nullopt;
}

Usage ReadRecordOptions(const ParsedOptions& options, const RecordOptionTable& table, RecordCommand* record)
{
    record->path = options.RawValue(table.record);
    imaging::SequenceFormat format{};
    if (!imaging::SequenceFormatOf(record->path, &format))
        return "--record needs a path ending in " + imaging::SequenceFileKinds() + ", got '" + record->path + "'";
    if (Usage u = ReadLength(options, "record", &record->frames, &record->seconds))
        return u;
    record->overwrite = options.IsSet(table.overwrite);
    if (options.IsSet(table.recordBuffer) && !SizeIn(options.Value(table.recordBuffer), &record->bufferBytes))
        return ("--record-buffer needs a size from 1 byte to 1T, such as 512M or 2G (K, M, G, T: powers of 1024), "
                "got '" + options.Value(table.recordBuffer) + "'")
            .toStdString();
    if (options.IsSet(table.recordFormat)) {
        record->frameFileFormat = options.Value(table.recordFormat).toStdString();
        if (record->frameFileFormat != "tiff" && record->frameFileFormat != "png")
            return ("--record-format needs tiff or png, got '" + options.Value(table.recordFormat) + "'").toStdString();
        if (format != imaging::SequenceFormat::Directory)
            return std::string("--record-format says which files a folder gets: the path must be a folder (a name "
                               "ending in /)");
    }
    if (options.IsSet(table.recordCodec)) {
        record->codec = options.Value(table.recordCodec).toStdString();
        const auto& codecs = imaging::MkvCodecs();
        if (std::find(codecs.begin(), codecs.end(), record->codec) == codecs.end()) {
            std::string names;
            for (const std::string& c : codecs)
                names += (names.empty() ? "" : ", ") + c;
            return "--record-codec needs " + names + ", got '" + record->codec + "'";
        }
        if (format != imaging::SequenceFormat::Mkv)
            return std::string("--record-codec says how a .mkv recording is coded: the path must end in .mkv");
    }
    if (options.IsSet(table.recordBayer)) {
        const QString layout = options.Value(table.recordBayer);
        if (layout != "mosaic" && layout != "planes")
            return ("--record-bayer needs mosaic or planes, got '" + layout + "'").toStdString();
        if (format != imaging::SequenceFormat::Mkv)
            return std::string("--record-bayer goes with .mkv recordings only: the path must end in .mkv");
        record->bayerPlanes = layout == "planes";
    }
    return std::nullopt;
}

namespace {

using Clock = std::chrono::steady_clock;

// How often the loop looks at the counts (and the progress line is drawn).
constexpr long kPollNs = 100 * 1000 * 1000;

// The stop signals (StopSignals.h), blocked in every thread and taken one at
// a time: no handler runs in the middle of anything. Waits up to a poll period
// (less when the recording's time ends sooner); the signal that came, or 0.
int StopSignalled(long ns = kPollNs)
{
    return TakeStopSignal(std::max(1L, std::min(ns, kPollNs)));
}

void Progress(const Recorder::Counts& c)
{
    const double fill = c.bufferBytes ? 100.0 * double(c.heldBytes) / double(c.bufferBytes) : 0;
    std::fprintf(stderr,
                 "\rtarvik: recording: %llu frames written, %llu dropped, %.1f MB/s, %.1f s, queue %.0f%%\033[K",
                 (unsigned long long)c.written, (unsigned long long)(c.cameraDropped + c.queueDropped),
                 c.megabytesPerSecond, c.seconds, fill);
}

// Checks the target, opens the camera and begins the recording; the exit
// status when it ended there.
std::optional<int> Begin(const OpenOptions& open, const RecordCommand& r, Recorder& recorder)
{
    std::string error;
    Recorder::BeginError kind = Recorder::BeginError::None;
    // A recording never replaces a file by mistake: said before the camera is opened.
    if (!Recorder::CheckTarget(r.path, r.overwrite, &kind, &error)) {
        std::fprintf(stderr, "tarvik: %s\n", error.c_str());
        return kind == Recorder::BeginError::Exists ? kExitUsage : kExitNotWritten;
    }
    const Outcome opened = OpenCamera(open);
    if (opened.Failed()) {
        ReportFailure(opened);
        ReleaseCamera();
        return ExitStatusFor(opened);
    }
    imaging::SequenceShape shape;
    shape.format = cam::FindPixelFormat(g_pPixelFormat);
    shape.width = uint32_t(g_nWidth);
    shape.height = uint32_t(g_nHeight);
    if (!shape.format) {
        std::fprintf(stderr, "tarvik: cannot record frames in pixel format %s, which Tarvik does not know\n",
                     cam::Quoted(g_pPixelFormat ? g_pPixelFormat : "").c_str());
        ReleaseCamera();
        return kExitNoFrame;
    }
    // Ctrl+C while the camera opened: nothing is begun.
    if (StopSignalled(1)) {
        ReleaseCamera();
        std::fputs("tarvik: stopped before the recording began; nothing written\n", stderr);
        return kExitSuccess;
    }
    Recorder::Options options;
    options.path = r.path;
    options.overwrite = r.overwrite;
    options.bufferBytes = r.bufferBytes;
    options.maxFrames = r.frames;
    options.sequence.frameFileFormat = r.frameFileFormat;
    options.sequence.codec = r.codec;
    options.sequence.bayerPlanes = r.bayerPlanes;
    imaging::SequenceFormat format{};
    if (r.codec.empty() && imaging::SequenceFormatOf(r.path, &format) && format == imaging::SequenceFormat::Mkv)
        options.sequence.codec = imaging::DefaultMkvCodec(shape, CameraFrameRate());
    options.sequence.frames = r.frames;  // a recording that surely stays small is classic TIFF
    if (!recorder.Begin(options, shape, SettingsFileText(), &error, &kind)) {
        std::fprintf(stderr, "tarvik: %s\n", error.c_str());
        ReleaseCamera();
        return kind == Recorder::BeginError::Exists        ? kExitUsage
               : kind == Recorder::BeginError::CannotRecord ? kExitNoFrame
                                                            : kExitNotWritten;
    }
    return std::nullopt;
}

// How the stream into the recorder ended.
struct Streamed {
    Outcome ended;
    int signalsTaken = 0;
    int firstSignal = 0;  // the one that stopped the recording, said in its closing line
    bool timeUp = false;
};

// Feeds the recorder from live view's stream until --frames, --seconds, a
// stop signal, a failed write or the camera's end.
Streamed StreamUntilStopped(const RecordCommand& r, Recorder& recorder, bool terminal)
{
    LiveStream stream;
    LiveStream::Options streamOptions;
    streamOptions.everyFrame = [&recorder](const CamFrame& frame) { recorder.OnFrame(frame); };
    Streamed s;
    s.ended = stream.Start({}, streamOptions);
    // A triggered camera's silence does not end the recording: said once, so that it is not taken for a hang.
    if (const LiveStream::TriggerState t = stream.TriggerNow(); !s.ended.Failed() && t.on)
        std::fprintf(stderr, "tarvik: %s\n", RecordTriggerLine(t.source).c_str());
    const auto started = Clock::now();
    while (!s.ended.Failed()) {
        const double left = r.seconds > 0 ? r.seconds - std::chrono::duration<double>(Clock::now() - started).count()
                                          : 1;
        if ((s.firstSignal = StopSignalled(long(left * 1e9))) != 0) {
            ++s.signalsTaken;
            break;
        }
        const Recorder::Counts c = recorder.CountsNow();
        if (recorder.Failed() || (r.frames && c.received >= r.frames))
            break;
        if (r.seconds > 0 && std::chrono::duration<double>(Clock::now() - started).count() >= r.seconds) {
            s.timeUp = true;
            break;
        }
        s.ended = stream.Ended();
        if (terminal)
            Progress(c);
    }
    if (!s.ended.Failed())
        s.ended = stream.Stop();
    stream.Stop();
    return s;
}

// Writes what is queued (a second signal leaves the rest), finishes the
// files and says how the recording went; the exit status.
int Finish(const RecordCommand& r, Recorder& recorder, Streamed s, bool terminal)
{
    while (s.signalsTaken < 2 && recorder.CountsNow().queued > 0)
        if (StopSignalled())
            ++s.signalsTaken;
        else if (terminal)
            Progress(recorder.CountsNow());
    // From the second signal on, one more ends the program at once: a writer
    // held in a write (a FIFO whose reader stopped reading, a stalled network
    // disk) must not keep it.
    if (s.signalsTaken >= 2)
        ReleaseStopSignals();
    const Recorder::Result result = recorder.Finish(s.signalsTaken >= 2);
    if (terminal)
        std::fputs("\r\033[K", stderr);
    const Recorder::Counts& c = result.counts;
    if (result.stop != Recorder::Stop::None)
        std::fprintf(stderr, "tarvik: %s\n", Recorder::StopLine(result).c_str());
    const bool nothing = s.timeUp && c.received == 0 && !s.ended.Failed();
    if (nothing)
        std::fprintf(stderr, "tarvik: no frame came within the %g s of the recording\n", r.seconds);
    std::fprintf(stderr, "tarvik: %s\n", (Recorder::ClosingLine(result, r.path) + StoppedBy(s.firstSignal)).c_str());
    if (result.stop == Recorder::Stop::WriteFailed)
        return kExitNotWritten;
    if (result.stop == Recorder::Stop::FrameShape || nothing)
        return kExitNoFrame;
    return ExitStatusFor(s.ended);
}

}  // namespace

int RecordToFile(const OpenOptions& open, const RecordCommand& r)
{
    // Before any thread starts, so that every thread inherits the mask.
    BlockStopSignals();
    Recorder recorder;
    if (const std::optional<int> status = Begin(open, r, recorder))
        return *status;
    const bool terminal = isatty(STDERR_FILENO) == 1;
    const Streamed streamed = StreamUntilStopped(r, recorder, terminal);
    // Said before the release, which can take seconds on a camera that is gone.
    ReportFailure(streamed.ended);
    ReleaseCamera();
    return Finish(r, recorder, streamed, terminal);
}
