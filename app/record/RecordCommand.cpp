// The recording command: the camera opened as --grab opens it, live view's
// stream feeding the recorder, the signals that end it, and the lines that
// say how it went.
#include "RecordCommand.h"

#include "Recorder.h"
#include "app/Failures.h"
#include "app/live/LiveStream.h"
#include "app/StopSignals.h"
#include "platform/camera/camtext.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

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

}  // namespace

int RecordToFile(const CommandLine& commandLine)
{
    const CommandLine::Record& r = commandLine.record;
    // Before any thread starts, so that every thread inherits the mask.
    BlockStopSignals();

    std::string error;
    Recorder::BeginError kind = Recorder::BeginError::None;
    // A recording never replaces a file by mistake: said before the camera is opened.
    if (!Recorder::CheckTarget(r.path, r.overwrite, &kind, &error)) {
        std::fprintf(stderr, "tarvik: %s\n", error.c_str());
        return kind == Recorder::BeginError::Exists ? kExitUsage : kExitNotWritten;
    }
    const Outcome opened = OpenCamera(commandLine.open);
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
    options.sequence.frames = r.frames;  // a recording that surely stays small is classic TIFF
    Recorder recorder;
    if (!recorder.Begin(options, shape, SettingsFileText(), &error, &kind)) {
        std::fprintf(stderr, "tarvik: %s\n", error.c_str());
        ReleaseCamera();
        return kind == Recorder::BeginError::Exists        ? kExitUsage
               : kind == Recorder::BeginError::CannotRecord ? kExitNoFrame
                                                            : kExitNotWritten;
    }

    LiveStream stream;
    LiveStream::Options streamOptions;
    streamOptions.everyFrame = [&recorder](const CamFrame& frame) { recorder.OnFrame(frame); };
    Outcome ended = stream.Start({}, streamOptions);
    const bool terminal = isatty(STDERR_FILENO) == 1;
    // A triggered camera's silence does not end the recording: said once, so that it is not taken for a hang.
    if (const LiveStream::TriggerState t = stream.TriggerNow(); !ended.Failed() && t.on)
        std::fprintf(stderr, "tarvik: %s\n", RecordTriggerLine(t.source).c_str());
    int signals = 0;
    int firstSignal = 0;  // the one that stopped the recording, said in its closing line
    const auto started = Clock::now();
    bool timeUp = false;
    while (!ended.Failed()) {
        const double left = r.seconds > 0 ? r.seconds - std::chrono::duration<double>(Clock::now() - started).count()
                                          : 1;
        if ((firstSignal = StopSignalled(long(left * 1e9))) != 0) {
            ++signals;
            break;
        }
        const Recorder::Counts c = recorder.CountsNow();
        if (recorder.Failed() || (r.frames && c.received >= r.frames))
            break;
        if (r.seconds > 0 && std::chrono::duration<double>(Clock::now() - started).count() >= r.seconds) {
            timeUp = true;
            break;
        }
        ended = stream.Ended();
        if (terminal)
            Progress(c);
    }
    if (!ended.Failed())
        ended = stream.Stop();
    stream.Stop();
    // Said before the release, which can take seconds on a camera that is gone.
    ReportFailure(ended);
    ReleaseCamera();
    // What is queued is written; a second signal leaves the rest.
    while (signals < 2 && recorder.CountsNow().queued > 0)
        if (StopSignalled())
            ++signals;
        else if (terminal)
            Progress(recorder.CountsNow());
    // From the second signal on, one more ends the program at once: a writer
    // held in a write (a FIFO whose reader stopped reading, a stalled network
    // disk) must not keep it.
    if (signals >= 2)
        ReleaseStopSignals();
    const Recorder::Result result = recorder.Finish(signals >= 2);
    if (terminal)
        std::fputs("\r\033[K", stderr);
    const Recorder::Counts& c = result.counts;
    if (result.stop != Recorder::Stop::None)
        std::fprintf(stderr, "tarvik: %s\n", Recorder::StopLine(result).c_str());
    const bool nothing = timeUp && c.received == 0 && !ended.Failed();
    if (nothing)
        std::fprintf(stderr, "tarvik: no frame came within the %g s of the recording\n", r.seconds);
    std::fprintf(stderr, "tarvik: %s\n", (Recorder::ClosingLine(result, r.path) + StoppedBy(firstSignal)).c_str());
    if (result.stop == Recorder::Stop::WriteFailed)
        return kExitNotWritten;
    if (result.stop == Recorder::Stop::FrameShape || nothing)
        return kExitNoFrame;
    return ExitStatusFor(ended);
}
