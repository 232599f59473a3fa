// The report's two forms. JSON through Qt's document classes: field names in
// snake_case, numbers as numbers, null where a value is not known.
#include "CheckReport.h"

#include "app/Failures.h"
#include "platform/camera/camtext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

// Text from a camera, on one line and with bytes that are not UTF-8 escaped.
std::string Clean(const std::string& s)
{
    return cam::OneLine(s.c_str());
}

QString Q(const std::string& s)
{
    return QString::fromStdString(Clean(s));
}

QJsonValue Number(const std::optional<double>& v)
{
    return v ? QJsonValue(*v) : QJsonValue();
}
QJsonValue Number(int64_t v)
{
    return v >= 0 ? QJsonValue(double(v)) : QJsonValue();
}
QJsonValue Text(const std::string& s)
{
    return s.empty() ? QJsonValue() : QJsonValue(Q(s));
}

// A GigE Vision link; empty for other transports.
QJsonObject LinkJson(const CheckResult& r)
{
    QJsonObject link;
    if (r.transport == "GigE Vision")
        link = {{"address", Text(r.address)},
                {"interface", Text(r.interfaceName)},
                {"interface_address", Text(r.interfaceAddress)},
                {"loopback", r.loopback},
                {"mtu", Number(r.mtu)},
                {"speed_mbps", Number(r.speedMbps)},
                {"packet_size", Number(r.packetSize)},
                {"packet_delay", Number(r.packetDelay)}};
    return link;
}

// The stream's frames, rates and intervals.
QJsonObject StreamJson(const CheckResult& r)
{
    QJsonObject stream{{"frames_asked", r.asked ? QJsonValue(double(r.asked)) : QJsonValue()},
                       {"seconds_asked", r.seconds > 0 ? QJsonValue(r.seconds) : QJsonValue()},
                       {"frames_completed", double(r.completed)},
                       {"frames_incomplete", double(r.incomplete)},
                       {"frames_timed_out", double(r.timedOut)},
                       {"frames_dropped", double(r.dropped)},
                       {"camera_rate", Number(r.cameraRate)},
                       {"camera_rate_feature", Text(r.cameraRateFeature)},
                       {"measured_rate", Number(r.measuredRate)},
                       {"megabytes_per_second", Number(r.megabytesPerSecond)},
                       {"first_frame_ms", Number(r.firstFrameMs)},
                       {"interval_median_ms", Number(r.intervalMedianMs)},
                       {"interval_p99_ms", Number(r.intervalP99Ms)},
                       {"interval_max_ms", Number(r.intervalMaxMs)},
                       {"stopped", r.ended.Failed() ? QJsonValue(Q(Describe(r.ended))) : QJsonValue()}};
    return stream;
}

// The pictures and each colour.
QJsonObject PictureJson(const CheckResult& r)
{
    QJsonArray channels;
    for (const imaging::ChannelStats& c : r.picture.channels)
        channels.append(QJsonObject{{"name", Q(c.name)},
                                    {"mean", c.mean},
                                    {"deviation", c.deviation},
                                    {"minimum", c.minimum},
                                    {"maximum", c.maximum},
                                    {"dark_share", c.dark},
                                    {"bright_share", c.bright}});
    QJsonObject picture{{"pixel_format", Text(r.pixelFormat)},
                        {"width", double(r.width)},
                        {"height", double(r.height)},
                        {"frames_analysed", double(r.picture.frames)},
                        {"frames_not_analysed", double(r.notAnalysed)},
                        {"frames_changed", double(r.picture.changed)},
                        {"sharpness", r.picture.frames ? QJsonValue(r.picture.sharpness) : QJsonValue()},
                        {"channels", channels}};
    return picture;
}

// The triggers; empty when the camera ran free.
QJsonObject TriggerJson(const CheckResult& r)
{
    QJsonObject trigger;
    if (!r.triggerSource.empty())
        trigger = {{"source", Q(r.triggerSource)},
                   {"rate_asked", r.triggerRate > 0 ? QJsonValue(r.triggerRate) : QJsonValue()},
                   {"frame_time_ms", Number(r.frameTimeMs)},
                   {"window_ms", r.windowMs},
                   {"sent", double(r.triggersSent)},
                   {"answered", double(r.triggersAnswered)},
                   {"missed", double(r.missedTriggers)},
                   {"extra_frames", double(r.extraFrames)},
                   {"latency_median_ms", Number(r.latencyMedianMs)},
                   {"latency_p99_ms", Number(r.latencyP99Ms)},
                   {"latency_max_ms", Number(r.latencyMaxMs)},
                   {"expected_rate", r.expectRate > 0 ? QJsonValue(r.expectRate) : QJsonValue()},
                   {"expected_frames", Number(r.expectedFrames)},
                   {"interval_jitter_ms", Number(r.intervalJitterMs)}};
    return trigger;
}

// The camera's clock; empty when no frame carried its timestamp.
QJsonObject ClockJson(const CheckResult& r)
{
    QJsonObject clock;
    if (r.clockFrames)
        clock = {{"frames", double(r.clockFrames)},
                 {"drift_ppm", Number(r.clockDriftPpm)},
                 {"drift_spread_ppm", Number(r.clockDriftSpreadPpm)},
                 {"offset_median_ms", Number(r.clockOffsetMedianMs)},
                 {"offset_max_ms", Number(r.clockOffsetMaxMs)},
                 {"backwards", double(r.clockBackwards)},
                 {"jumps", double(r.clockJumps)}};
    return clock;
}

// A recording's losses and the frames that failed, as stretches of indexes.
QJsonObject RecordingJson(const CheckResult& r)
{
    QJsonArray failed;
    for (const FailedFrames& f : r.failedFrames)
        failed.append(QJsonObject{{"check", Q(f.check)}, {"first", double(f.first)}, {"last", double(f.last)}});
    return {{"path", Q(r.recording)},
            {"frames_dropped_by_tarvik", double(r.droppedByTarvik)},
            {"frames_refused", double(r.refused)},
            {"frames_not_written", double(r.failedToWrite)},
            {"failed_frames", failed}};
}

QJsonObject CameraJson(const CheckResult& r)
{
    QJsonObject camera{{"id", Q(r.id)},
                       {"name", Text(r.name)},
                       {"source", Text(r.source)},
                       {"vendor", Text(r.vendor)},
                       {"model", Text(r.model)},
                       {"serial", Text(r.serial)},
                       {"firmware", Text(r.firmware)},
                       {"transport", Text(r.transport)}};
    const QJsonObject link = LinkJson(r);
    QJsonObject counters;
    for (const auto& [name, value] : r.counters)
        counters[Q(name)] = value;
    const QJsonObject trigger = TriggerJson(r);
    const QJsonObject clock = ClockJson(r);
    QJsonArray checks;
    for (const Check& c : r.checks)
        checks.append(QJsonObject{{"name", Q(c.name)}, {"level", LevelName(c.level)}, {"detail", Q(c.detail)}});
    return {{"camera", camera},
            {"link", link.isEmpty() ? QJsonValue() : QJsonValue(link)},
            {"stream", StreamJson(r)},
            {"counters", counters},
            {"picture", PictureJson(r)},
            {"trigger", trigger.isEmpty() ? QJsonValue() : QJsonValue(trigger)},
            {"clock", clock.isEmpty() ? QJsonValue() : QJsonValue(clock)},
            {"checks", checks},
            {"recording", r.recording.empty() ? QJsonValue() : QJsonValue(RecordingJson(r))},
            {"verdict", LevelName(r.verdict)}};
}

std::string Optional(const std::optional<double>& v, const char* format)
{
    return v ? Format(format, *v) : std::string("unknown");
}

// One line of the report: its label in a column of its own.
void Line(std::string& out, const char* label, const std::string& text)
{
    out += Format("%-9s%s\n", label, text.c_str());
}

// The link's lines.
void LinkText(std::string& out, const CheckResult& r)
{
    if (r.transport == "GigE Vision") {
        Line(out, "Link", Format("camera %s through %s (%s)%s, MTU %s, speed %s", Clean(r.address).c_str(),
                            r.interfaceName.empty() ? "an unknown interface" : Clean(r.interfaceName).c_str(),
                            Clean(r.interfaceAddress).c_str(), r.loopback ? ", loopback" : "",
                            r.mtu > 0 ? std::to_string(r.mtu).c_str() : "unknown",
                            r.speedMbps > 0 ? (std::to_string(r.speedMbps) + " Mbit/s").c_str() : "unknown"));
        Line(out, "", Format("packet size %s, packet delay %s",
                        r.packetSize > 0 ? std::to_string(r.packetSize).c_str() : "unknown",
                        r.packetDelay >= 0 ? std::to_string(r.packetDelay).c_str() : "unknown"));
    } else if (!r.transport.empty()) {
        Line(out, "Link", Clean(r.transport));
    }
}

// The stream's lines.
void StreamText(std::string& out, const CheckResult& r)
{
    const std::string asked =
        r.asked ? Format("%llu frames asked", (unsigned long long)r.asked) : Format("%g s asked", r.seconds);
    Line(out, "Stream", Format("%s: %llu complete, %llu incomplete, %llu timed out, %llu dropped", asked.c_str(),
                          (unsigned long long)r.completed, (unsigned long long)r.incomplete,
                          (unsigned long long)r.timedOut, (unsigned long long)r.dropped));
    Line(out, "", Optional(r.measuredRate, "%.1f frames/s") + " (camera: " +
                 (r.cameraRate ? Format("%.1f, %s", *r.cameraRate, r.cameraRateFeature.c_str()) : "unknown") + "), " +
                 Optional(r.megabytesPerSecond, "%.1f MB/s") + ", first frame after " +
                 Optional(r.firstFrameMs, "%.1f ms"));
    Line(out, "", "interval median " + Optional(r.intervalMedianMs, "%.2f ms") + ", 99th percentile " +
                 Optional(r.intervalP99Ms, "%.2f ms") + ", largest " + Optional(r.intervalMaxMs, "%.2f ms"));
    if (r.ended.Failed())
        Line(out, "", "stopped: " + Describe(r.ended));
}

// The triggers', the clock's and the source's counters' lines.
void TriggerText(std::string& out, const CheckResult& r)
{
    if (r.triggerSource == "Software") {
        Line(out, "Trigger", Format("Software at %s: %llu sent, %llu frames for them, %llu missed, %llu extra",
                               r.triggerRate > 0 ? Format("%g/s", r.triggerRate).c_str() : "each once the last one's frame came",
                               (unsigned long long)r.triggersSent, (unsigned long long)r.triggersAnswered,
                               (unsigned long long)r.missedTriggers, (unsigned long long)r.extraFrames));
        Line(out, "", "latency median " + Optional(r.latencyMedianMs, "%.2f ms") + ", 99th percentile " +
                     Optional(r.latencyP99Ms, "%.2f ms") + ", largest " + Optional(r.latencyMaxMs, "%.2f ms") +
                     " (camera's own " + Optional(r.frameTimeMs, "%.2f ms") + ")");
    } else if (!r.triggerSource.empty()) {
        Line(out, "Trigger", Format("%s: %llu frames", Clean(r.triggerSource).c_str(), (unsigned long long)r.triggersAnswered) +
                            (r.expectedFrames ? Format(", %.0f expected at %g/s", *r.expectedFrames, r.expectRate) : "") +
                            ", interval jitter " + Optional(r.intervalJitterMs, "%.3f ms"));
    }
    if (r.clockFrames)
        Line(out, "Clock", "drift " + Optional(r.clockDriftPpm, "%+.1f ppm") +
                          (r.clockDriftSpreadPpm ? Format(" (within %.1f)", *r.clockDriftSpreadPpm) : "") +
                          ", offset beyond the quickest median " +
                          Optional(r.clockOffsetMedianMs, "%.2f ms") + ", largest " +
                          Optional(r.clockOffsetMaxMs, "%.2f ms") +
                          Format(", %llu backwards, %llu jumps", (unsigned long long)r.clockBackwards,
                                 (unsigned long long)r.clockJumps));
    std::string counters;
    for (const auto& [name, value] : r.counters)
        counters += (counters.empty() ? "" : ", ") + Clean(name) + " " + Format("%.15g", value);
    if (!counters.empty())
        Line(out, "Counters", counters);
}

// The pictures' lines and the checks'.
void PictureText(std::string& out, const CheckResult& r)
{
    Line(out, "Picture",
         Format("%s %lld x %lld, %llu frames analysed%s, %llu changed, sharpness %s", Clean(r.pixelFormat).c_str(),
                (long long)r.width, (long long)r.height, (unsigned long long)r.picture.frames,
                r.notAnalysed ? Format(" (%llu could not be)", (unsigned long long)r.notAnalysed).c_str() : "",
                (unsigned long long)r.picture.changed,
                r.picture.frames ? Format("%.2f", r.picture.sharpness).c_str() : "unknown"));
    for (const imaging::ChannelStats& c : r.picture.channels)
        Line(out, "",
             Format("%-6s mean %6.1f  deviation %5.1f  min %3d  max %3d  black %5.2f %%  full %5.2f %%",
                    Clean(c.name).c_str(), c.mean, c.deviation, c.minimum, c.maximum, c.dark * 100, c.bright * 100));
    // A recording's frames that failed, by check, each stretch as first-last.
    std::string failed;
    for (size_t i = 0; i < r.failedFrames.size(); ++i) {
        const FailedFrames& f = r.failedFrames[i];
        const bool first = !i || r.failedFrames[i - 1].check != f.check;
        failed += (first ? (failed.empty() ? "" : "; ") + f.check + " " : std::string(", ")) +
                  std::to_string(f.first) + (f.last > f.first ? "-" + std::to_string(f.last) : "");
    }
    if (!failed.empty())
        Line(out, "Frames", failed);
    for (size_t i = 0; i < r.checks.size(); ++i) {
        const Check& c = r.checks[i];
        Line(out, i ? "" : "Checks", Format("%-4s  %-12s %s", LevelName(c.level), c.name.c_str(), Clean(c.detail).c_str()));
    }
}

}  // namespace

std::string CheckText(const CheckResult& r)
{
    std::string out;
    // A camera that was not opened may have no name to tell.
    Line(out, "Camera", Clean(r.id) + (r.name.empty() ? "" : "  " + Clean(r.name)) +
                       (r.source.empty() ? "" : " (" + Clean(r.source) + ")"));
    std::string identity;
    for (const auto& [label, value] : {std::pair<const char*, const std::string&>{"vendor ", r.vendor},
                                       {"model ", r.model},
                                       {"serial ", r.serial},
                                       {"firmware ", r.firmware}})
        if (!value.empty())
            identity += (identity.empty() ? "" : ", ") + std::string(label) + Clean(value);
    if (!identity.empty())
        Line(out, "", identity);
    if (r.opened.Failed()) {
        Line(out, "Verdict", std::string("fail: not opened: ") + Describe(r.opened));
        return out;
    }
    LinkText(out, r);
    StreamText(out, r);
    TriggerText(out, r);
    PictureText(out, r);
    Line(out, "Verdict", LevelName(r.verdict));
    return out;
}

std::string CheckJson(const std::vector<CheckResult>& results)
{
    QJsonArray cameras;
    Level worst = Level::Ok;
    for (const CheckResult& r : results) {
        cameras.append(CameraJson(r));
        worst = std::max(worst, r.verdict);
    }
    const QJsonObject all{{"cameras", cameras}, {"verdict", LevelName(worst)}};
    return QJsonDocument(all).toJson(QJsonDocument::Indented).toStdString();
}
