// --play's options and the commands that keep a range or a frame of a
// recording from the command line: the recording opened, the range checked
// against it, and the lines that say how it went.
#include "PlayCommand.h"

#include "RecordingExport.h"
#include "app/Failures.h"
#include "app/StopSignals.h"
#include "platform/camera/camtext.h"
#include "platform/imaging/files/OutputFile.h"
#include "platform/imaging/files/PictureFile.h"
#include "platform/imaging/sequence/SequenceFile.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

const char kPlayHelp[] =
    "\n"
    "Reviewing a recording (--play PATH):\n"
    "  --play PATH opens a recording Tarvik made (NAME.mkv, NAME.tif(f) or DIR/) in the\n"
    "  viewer window, with the CSV beside it when there. In the window Space plays or\n"
    "  pauses, Left/Right step one frame, Page Up/Down one second, Home/End, N/P the\n"
    "  next/previous mark, I/O the in/out marks; Ctrl+S saves the frame shown, Ctrl+C\n"
    "  copies it, Ctrl+E exports the in..out range. Without a window:\n"
    "    --play PATH --range A-B --record OUT   frames A to B (indexes from 0, both\n"
    "        included; A- to the end) into a new recording OUT of any recording format,\n"
    "        losslessly, with OUT.csv (their CSV lines, indexes from 0) and OUT.settings;\n"
    "        without --range the whole recording. --record-codec, --record-bayer,\n"
    "        --record-format and --overwrite as for --record; a .mkv keeps the\n"
    "        recording's codec unless --record-codec names one. A full disk stops it:\n"
    "        the frames written stay readable, with their CSV lines (status 5).\n"
    "    --play PATH --frame N --grab FILE      frame N as --grab saves a frame.\n"
    "  Neither ever writes onto the recording or its files, by any name for them.\n"
    "  --check --play PATH checks a recording as --check checks a camera.\n";

PlayOptionTable::PlayOptionTable()
    : play("play", "Open the recording at PATH (NAME.mkv, NAME.tif(f) or DIR/) in the viewer window; "
          "with --record or --grab keep a range or a frame of it without a window (see "
          "Reviewing a recording below).", "PATH"),
      range("range", "With --play --record: the frames to keep, A-B by index from 0, both included, "
          "or A- to the end (default all).", "A-B"),
      frame("frame", "With --play --grab: the frame to save, by index from 0.", "N")
{
}

QList<QCommandLineOption> PlayOptionTable::Options() const { return {play, range, frame}; }

Usage PlayOnlyOptionGiven(const ParsedOptions& options, const PlayOptionTable& table)
{
    for (const QCommandLineOption* only : {&table.range, &table.frame})
        if (options.IsSet(*only))
            return ("--" + only->names().first() + " goes with --play").toStdString();
    return std::nullopt;
}

namespace {

// A frame index: a whole number of at most 19 digits.
bool IndexOf(const QString& text, uint64_t* index)
{
    if (text.isEmpty() || text.size() > 19)
        return false;
    for (const QChar c : text)
        if (c < '0' || c > '9')
            return false;
    *index = text.toULongLong();
    return true;
}

}  // namespace

Usage ReadRange(const QString& text, uint64_t* first, std::optional<uint64_t>* last)
{
    const qsizetype dash = text.indexOf('-');
    uint64_t a = 0, b = 0;
    const bool open = dash == text.size() - 1;
    if (dash <= 0 || !IndexOf(text.left(dash), &a) || (!open && !IndexOf(text.mid(dash + 1), &b)))
        return ("--range needs A-B or A- (frame indexes from 0, B included), got '" + text + "'").toStdString();
    if (!open && b < a)
        return ("--range " + text + " ends before it begins: the first index comes first").toStdString();
    *first = a;
    *last = open ? std::nullopt : std::optional<uint64_t>(b);
    return std::nullopt;
}

Usage ReadPlayOptions(const ParsedOptions& options, const PlayOptionTable& table, PlayCommand* play)
{
    play->path = options.RawValue(table.play);
    imaging::SequenceFormat format{};
    if (!imaging::SequenceFormatOf(play->path, &format))
        return "--play needs a recording: a path ending in " + imaging::SequenceFileKinds() + ", got '" +
               play->path + "'";
    play->exportRange = options.IsSet(QStringLiteral("record"));
    play->saveFrame = options.IsSet(QStringLiteral("grab"));
    if (play->exportRange && play->saveFrame)
        return std::string("--play keeps a range with --record or a frame with --grab: use one of them");
    if (options.IsSet(table.range)) {
        if (!play->exportRange)
            return std::string("--range goes with --play and --record (the range into a new recording)");
        if (Usage u = ReadRange(options.Value(table.range), &play->first, &play->last))
            return u;
    }
    if (options.IsSet(table.frame)) {
        if (!play->saveFrame)
            return std::string("--frame goes with --play and --grab (for --record, --range N-N)");
        uint64_t n = 0;
        if (!IndexOf(options.Value(table.frame), &n))
            return ("--frame needs a frame index, a whole number from 0, got '" + options.Value(table.frame) + "'")
                .toStdString();
        play->frame = n;
    } else if (play->saveFrame) {
        return std::string("--play --grab needs --frame N: which frame to save");
    }
    return std::nullopt;
}

namespace {

int StatusFor(KeepError kind)
{
    switch (kind) {
    case KeepError::None:
    case KeepError::Cancelled:
        return kExitSuccess;
    case KeepError::Range:
    case KeepError::Exists:
    case KeepError::SameFile:
        return kExitUsage;
    case KeepError::CannotRecord:
    case KeepError::NotRead:
        return kExitNoFrame;
    case KeepError::NotWritten:
        break;
    }
    return kExitNotWritten;
}

// "100 to 250 (151 frames)" of a range, for the lines that say what happened.
std::string RangeWords(uint64_t first, uint64_t last)
{
    const uint64_t n = last - first + 1;
    return std::to_string(first) + " to " + std::to_string(last) + " (" + std::to_string(n) +
           (n == 1 ? " frame)" : " frames)");
}

int ExportFromRecording(Recording& recording, const PlayCommand& play, const RecordCommand& record)
{
    const uint64_t count = recording.FrameCount();
    const uint64_t last = play.last.value_or(count ? count - 1 : 0);
    if (count == 0 || play.first >= count || last >= count) {
        const std::string has = count == 0 ? "has no frame"
                                           : "has " + std::to_string(count) + " frames, indexes 0 to " +
                                                 std::to_string(count - 1);
        std::fprintf(stderr, "tarvik: --range %llu-%s: %s %s\n", (unsigned long long)play.first,
                     play.last ? std::to_string(*play.last).c_str() : "", cam::Quoted(recording.Path()).c_str(),
                     has.c_str());
        return kExitUsage;
    }
    ExportOptions options;
    options.path = record.path;
    options.overwrite = record.overwrite;
    options.sequence.codec = record.codec;
    options.sequence.bayerPlanes = record.bayerPlanes;
    options.sequence.frameFileFormat = record.frameFileFormat;
    const bool terminal = isatty(STDERR_FILENO) == 1;
    if (terminal)
        options.progress = [](uint64_t done, uint64_t total) {
            if (done % 16 == 0 || done == total)
                std::fprintf(stderr, "\rtarvik: exporting: %llu of %llu frames\033[K", (unsigned long long)done,
                             (unsigned long long)total);
        };
    // Ctrl+C stops at the next frame and keeps the frames written, as a
    // recording does.
    std::atomic<bool> cancel{false}, done{false};
    options.cancel = &cancel;
    std::thread watcher([&] {
        while (!done.load())
            if (TakeStopSignal(100 * 1000 * 1000))
                cancel = true;
    });
    std::string error;
    KeepError kind = KeepError::None;
    uint64_t kept = 0;
    const bool ok = ExportRange(recording, play.first, last, options, &error, &kind, &kept);
    done = true;
    watcher.join();
    if (terminal)
        std::fputs("\r\033[K", stderr);
    if (!ok)
        std::fprintf(stderr, "tarvik: %s\n", error.c_str());
    if (ok || kept > 0)
        std::fprintf(stderr, "tarvik: exported frames %s of %s to %s\n",
                     RangeWords(play.first, play.first + (ok ? last - play.first + 1 : kept) - 1).c_str(),
                     cam::Quoted(recording.Path()).c_str(), cam::Quoted(record.path).c_str());
    return ok ? kExitSuccess : StatusFor(kind);
}

int SaveFromRecording(Recording& recording, const PlayCommand& play, const GrabCommand& grab)
{
    std::string error;
    KeepError kind = KeepError::None;
    // As --grab: the file named is replaced (never one of the recording's).
    if (!SaveRecordedFrame(recording, *play.frame, grab.file, true, &error, &kind)) {
        std::fprintf(stderr, "tarvik: %s\n", error.c_str());
        return StatusFor(kind);
    }
    return kExitSuccess;
}

}  // namespace

int KeepFromRecording(const PlayCommand& play, const RecordCommand& record, const GrabCommand& grab)
{
    // An export takes Ctrl+C as "stop here, keep what is written": the
    // signals are blocked before the reader or the writer start threads, so
    // that each inherits the mask. Saving one frame keeps their default, so
    // that a read that never returns can still be ended.
    if (!play.saveFrame)
        BlockStopSignals();
    Recording recording;
    std::string error;
    if (!recording.Open(play.path, &error)) {
        std::fprintf(stderr, "tarvik: %s\n", error.c_str());
        return kExitNoFrame;
    }
    for (const std::string& warning : recording.Warnings())
        std::fprintf(stderr, "tarvik: %s\n", warning.c_str());
    return play.saveFrame ? SaveFromRecording(recording, play, grab) : ExportFromRecording(recording, play, record);
}
