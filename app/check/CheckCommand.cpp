// --check's options and the command that checks cameras from the command
// line and writes the report.
#include "CheckCommand.h"

#include "CheckMetrics.h"
#include "CheckReport.h"
#include "CheckTiming.h"
#include "app/Failures.h"
#include "app/StopSignals.h"
#include "app/play/PlayCheck.h"
#include "platform/camera/camtext.h"
#include "platform/imaging/files/OutputFile.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

const char kCheckHelp[] =
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
    "  drift past --max-clock-drift, a step back or a jump warn.\n";

CheckOptionTable::CheckOptionTable()
    : check("check", "Without a window: open the camera, stream frames, release it and "
          "report whether camera and link can be trusted: complete frames, "
          "rate, packets, exposure, a frozen picture, with a verdict ok, warn "
          "or fail (status 6)."),
      all("all", "With --check: check every camera found, one after another."),
      frames("frames", "With --check: stream this many frames (default 100). With --record: "
          "record this many frames, then stop.", "N"),
      seconds("seconds", "With --check or --record: stream this long instead.", "S"),
      json("json", "With --check, --features or --network: as JSON, for programs."),
      prometheus("prometheus", "With --check: as Prometheus metrics in the text exposition "
          "format (with --all, a camera label on each sample), e.g. for "
          "node_exporter's textfile collector. A camera that does not "
          "open is reported as failing too."),
      output("output", "With --check: write the report to FILE instead of standard output. "
          "A file is written beside it under a temporary name and renamed over "
          "it once complete: readers see the old report or the new one, and a "
          "failed write (status 5) leaves the old one as it was.", "FILE"),
      rateShortfall("max-rate-shortfall", "With --check: warn when the measured rate is more "
          "than this many per cent below the camera's "
          "(default 10).", "PERCENT"),
      clipped("max-clipped", "With --check: warn when more than this many per cent of a "
          "colour's samples are black or at full scale (default 1).",
          "PERCENT"),
      trigger("trigger", "With --check: set TriggerMode On with this source and check the "
          "triggers: software (Tarvik fires TriggerSoftware, --frames times) or "
          "line0, line1 ... (the camera's input line).", "SOURCE"),
      triggerRate("trigger-rate", "With --check --trigger software: fire this many triggers a "
          "second, from 0.1 to 1000 (default: each once the frame of the "
          "one before came). With --live: send a software trigger this "
          "many times a second while live view runs (with TriggerMode=On "
          "and TriggerSource=Software).", "HZ"),
      expectRate("expect-rate", "With --check --trigger lineN: the frames a second the line "
          "should give; more or fewer fail.", "HZ"),
      maxClockDrift("max-clock-drift", "With --check: warn when the camera's clock runs more "
          "than this many ppm off the computer's (default 200).",
          "PPM")
{
}

QList<QCommandLineOption> CheckOptionTable::Options() const
{
    return {check,  all,     frames,  seconds, json,       prometheus,   output,
            rateShortfall, clipped, trigger, triggerRate, expectRate, maxClockDrift};
}

QList<const QCommandLineOption*> CheckOptionTable::CheckOnly() const
{
    return {&all, &frames, &seconds, &rateShortfall, &clipped, &prometheus, &output, &trigger, &expectRate,
            &maxClockDrift};
}

Usage CheckOnlyOptionGiven(const ParsedOptions& options, const CheckOptionTable& table, bool recording)
{
    for (const QCommandLineOption* only : table.CheckOnly()) {
        const bool length = only == &table.frames || only == &table.seconds;
        if ((recording && length) || !options.IsSet(*only))
            continue;
        return ("--" + only->names().first() + " goes with --check" + (length ? " or --record" : "")).toStdString();
    }
    return std::nullopt;
}

namespace {

// A threshold's value within [low, high]; the message says what it takes.
Usage ReadThreshold(const ParsedOptions& options, const QCommandLineOption& option, double low, double high,
                    const char* needs, double* value)
{
    if (!options.IsSet(option))
        return std::nullopt;
    double v = 0;
    if (!NumberIn(options.Value(option), low, high, &v))
        return ("--" + option.names().first() + " needs " + needs + ", got '" + options.Value(option) + "'")
            .toStdString();
    *value = v;
    return std::nullopt;
}

// --trigger, and the rates that go with its source.
Usage ReadTrigger(const ParsedOptions& options, const CheckOptionTable& table, CheckOptions* check)
{
    if (options.IsSet(table.trigger)) {
        check->trigger = options.Value(table.trigger).toStdString();
        if (TriggerSourceOf(check->trigger).empty())
            return ("--trigger needs software or an input line (line0, line1 ...), got '" +
                    options.Value(table.trigger) + "'")
                .toStdString();
    }
    const std::string source = TriggerSourceOf(check->trigger);
    if (options.IsSet(table.triggerRate) && source != "Software")
        return std::string("--trigger-rate goes with --check --trigger software: Tarvik fires only software "
                           "triggers");
    if (Usage u = ReadThreshold(options, table.triggerRate, 0.1, 1000, "triggers a second from 0.1 to 1000",
                                &check->triggerRate))
        return u;
    if (options.IsSet(table.expectRate) && (source.empty() || source == "Software"))
        return std::string("--expect-rate goes with --check --trigger line0 (or another input line): it counts "
                           "the frames a line's triggers give");
    return ReadThreshold(options, table.expectRate, 0.001, 100000, "frames a second from 0.001 to 100000",
                         &check->expectRate);
}

}  // namespace

Usage ReadCheckOptions(const ParsedOptions& options, const CheckOptionTable& table, CheckCommand* check)
{
    if (options.IsSet(QStringLiteral("grab")) || options.IsSet(QStringLiteral("live")))
        return std::string("--check works without a window and writes a report: not with --grab or --live");
    if (options.IsSet(table.all) && options.IsSet(QStringLiteral("camera")))
        return std::string("--all checks every camera: not with --camera");
    CheckOptions& c = check->options;
    if (Usage u = ReadLength(options, "check", &c.frames, &c.seconds))
        return u;
    if (Usage u = ReadThreshold(options, table.rateShortfall, 0, 100, "a percentage from 0 to 100",
                                &c.maxRateShortfall))
        return u;
    if (Usage u = ReadThreshold(options, table.clipped, 0, 100, "a percentage from 0 to 100", &c.maxClipped))
        return u;
    if (Usage u = ReadTrigger(options, table, &c))
        return u;
    if (Usage u = ReadThreshold(options, table.maxClockDrift, 0, 1000000, "parts per million from 0 to 1000000",
                                &c.maxClockDrift))
        return u;
    check->allCameras = options.IsSet(table.all);
    check->json = options.IsSet(table.json);
    check->prometheus = options.IsSet(table.prometheus);
    if (check->prometheus && check->json)
        return std::string("--json and --prometheus are two forms of the report: use one of them");
    if (options.IsSet(table.output)) {
        check->outputFile = options.RawValue(table.output);
        if (check->outputFile.empty())
            return std::string("--output needs a file name");
    }
    return std::nullopt;
}

namespace {

// The check's report to --output, else to standard output; false, with a
// message, when it could not be written.
bool WriteReport(const CheckCommand& check, const std::string& report)
{
    if (check.outputFile.empty() || imaging::OutputFile::IsStandardOutput(check.outputFile))
        return WriteStandardOutput(report);
    imaging::OutputFile file;
    if (file.Open(check.outputFile) && file.Write(report.data(), report.size()) && file.Commit())
        return true;
    std::fprintf(stderr, "tarvik: cannot write %s: %s\n", cam::Quoted(check.outputFile).c_str(),
                 file.Error().c_str());
    return false;
}

// How a check holds the stop signals while it changes the camera.
struct SignalHold {
    bool formatPutBack = false;  // the check puts the camera's own pixel format back
    bool held = false;
};

// A check with --trigger sets the camera's trigger and puts it back as it
// lets the camera go: a stop signal (Ctrl+C, SIGTERM, the terminal gone) is
// held until then, ending the stream first, lest a camera left in trigger
// mode wait for triggers ever after. So is one during a check with
// --pixel-format, which puts the camera's own format back (unless a setting
// chose the format), lest the program using the camera find another.
// Blocked before the camera library starts a thread, so that every thread
// inherits the mask. SIGHUP stays ignored under nohup (StopSignals), as the
// exporter's does.
SignalHold HoldStopSignals(const OpenOptions& open, CheckOptions* options)
{
    SignalHold hold;
    hold.formatPutBack = !open.pixelFormat.empty() &&
                         std::none_of(open.settings.begin(), open.settings.end(),
                                      [](const Setting& s) { return s.name == "PixelFormat"; });
    hold.held = !options->trigger.empty() || hold.formatPutBack;
    if (hold.held) {
        BlockStopSignals();
        options->stopRequested = StopSignalPending;
    }
    return hold;
}

// The cameras --all checks, as listed, for a camera that then does not open.
struct Listed {
    std::vector<std::string> ids;  // empty: the camera --camera names, or the first
    std::vector<std::string> names, sources;
};

// Finds every camera for --all; the exit status when none could be listed
// (having written the metrics of no camera where metrics were asked for).
std::optional<int> ListForAll(const CheckCommand& check, Listed* listed)
{
    std::vector<CamCameraInfo> cameras;
    const Outcome found = FindCameras(&cameras);
    if (found.Failed()) {
        ReportFailure(found);
        ReleaseCamera();
        // Metrics of no camera rather than an older file's, which would
        // tell of cameras that are gone.
        if (check.prometheus && !WriteReport(check, ""))
            return kExitNotWritten;
        return ExitStatusFor(found);
    }
    for (const CamCameraInfo& c : cameras) {
        listed->ids.push_back(c.cameraId ? c.cameraId : "");
        listed->names.push_back(c.cameraName ? c.cameraName : "");
        listed->sources.push_back(c.sourceName ? c.sourceName : "");
    }
    ReleaseCamera();
    return std::nullopt;
}

// A stop signal held through a check: says what was put back, then lets the
// signal take its usual effect.
void EndBySignal(const SignalHold& hold, const CheckOptions& options, const CheckResult& result)
{
    const bool formatBack = hold.formatPutBack && result.formatNotPutBack.empty();
    std::string said = "tarvik: --check stopped by a signal";
    if (!options.trigger.empty() || formatBack)
        said += std::string("; the camera's ") +
                (options.trigger.empty() ? "pixel format was"
                 : formatBack            ? "trigger settings and pixel format were"
                                         : "trigger settings were") +
                " put back";
    std::fprintf(stderr, "%s\n", said.c_str());
    ReleaseStopSignals();
}

// The report in the form asked for.
std::string ReportOf(const CheckCommand& check, const std::vector<CheckResult>& results)
{
    if (check.prometheus) {
        prometheus::Registry registry;
        AddCheckMetrics(registry, results, check.allCameras);
        return MetricsText(registry);
    }
    if (check.json)
        return CheckJson(results);
    std::string report;
    for (size_t i = 0; i < results.size(); ++i)
        report += (i ? "\n" : "") + CheckText(results[i]);
    return report;
}

}  // namespace

int ReportCheckResults(const CheckCommand& check, const std::vector<CheckResult>& results)
{
    if (!WriteReport(check, ReportOf(check, results)))
        return kExitNotWritten;
    const bool failed =
        std::any_of(results.begin(), results.end(), [](const CheckResult& r) { return r.verdict == Level::Fail; });
    return failed ? kExitCheckFailed : kExitSuccess;
}

int CheckCameras(const OpenOptions& open, const CheckCommand& check)
{
    if (!check.recording.empty())
        return CheckRecording(check.recording, check);
    CheckOptions options = check.options;
    const SignalHold hold = HoldStopSignals(open, &options);
    const bool terminal = isatty(STDERR_FILENO) == 1;
    if (terminal)
        options.progress = [](uint64_t received, double rate) {
            // The camera being checked is the open one.
            std::fprintf(stderr, "\rtarvik: checking %s: %llu frames, %.1f frames/s\033[K",
                         cam::OneLine(g_pCameraId ? g_pCameraId : "").c_str(), (unsigned long long)received, rate);
        };
    Listed listed;
    if (check.allCameras)
        if (const std::optional<int> status = ListForAll(check, &listed))
            return *status;
    std::vector<CheckResult> results;
    int notChecked = kExitSuccess;  // the status of the one camera that did not open
    for (size_t i = 0; i < std::max<size_t>(1, listed.ids.size()); ++i) {
        OpenOptions one = open;
        if (!listed.ids.empty())
            one.cameraId = listed.ids[i];
        CheckResult result = CheckCamera(one, options);
        if (terminal)
            std::fputs("\r\033[K", stderr);
        // Said apart from the report: a camera left in the check's format
        // would surprise the program that uses it next.
        if (!result.formatNotPutBack.empty())
            std::fprintf(stderr, "tarvik: could not put the pixel format of camera %s back to %s\n",
                         cam::OneLine(result.id).c_str(), cam::OneLine(result.formatNotPutBack).c_str());
        if (hold.held && StopSignalPending()) {
            EndBySignal(hold, options, result);
            return kExitCheckFailed;  // not reached: the signal now takes its usual effect
        }
        if (result.opened.Failed()) {
            ReportFailure(result.opened);
            if (listed.ids.empty()) {
                // Nothing was checked; metrics still say so, as a probe does.
                if (!check.prometheus)
                    return ExitStatusFor(result.opened);
                notChecked = ExitStatusFor(result.opened);
            } else {
                result.name = listed.names[i];
                result.source = listed.sources[i];
            }
        }
        results.push_back(result);
    }
    if (!WriteReport(check, ReportOf(check, results)))
        return kExitNotWritten;
    if (notChecked != kExitSuccess)
        return notChecked;
    const bool failed =
        std::any_of(results.begin(), results.end(), [](const CheckResult& r) { return r.verdict == Level::Fail; });
    return failed ? kExitCheckFailed : kExitSuccess;
}
