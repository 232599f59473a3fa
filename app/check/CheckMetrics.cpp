// Names follow Prometheus's practice: the tarvik_ prefix, base units in the
// name, one metric per kind of value with labels for its parts. Every value
// is a gauge: a check streams anew each time, so even its counts start from
// zero. A value that was not measured has no sample rather than a made-up one.
#include "CheckMetrics.h"

#include "platform/camera/camtext.h"

#include <prometheus/gauge.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <utility>

namespace {

// The families are registered as their first sample comes, so that none is
// left without samples; registering a name again gives the same family.
class Samples {
public:
    Samples(prometheus::Registry& registry, prometheus::Labels common)
        : registry_(registry), common_(std::move(common))
    {
    }

    void Set(const std::string& name, const std::string& help, double value, const prometheus::Labels& labels = {})
    {
        prometheus::Labels all = common_;
        for (const auto& [label, text] : labels)
            all[label] = Label(text);
        prometheus::BuildGauge().Name(name).Help(help).Register(registry_).Add(all).Set(value);
    }
    void Set(const std::string& name, const std::string& help, const std::optional<double>& value,
             const prometheus::Labels& labels = {})
    {
        if (value)
            Set(name, help, *value, labels);
    }

    // Label values must be UTF-8; quotes, backslashes and line breaks are the
    // serializer's to escape.
    static std::string Label(const std::string& text) { return cam::ValidUtf8(text); }

private:
    prometheus::Registry& registry_;
    const prometheus::Labels common_;
};

std::optional<double> Seconds(const std::optional<double>& ms)
{
    return ms ? std::optional<double>(*ms / 1000) : std::nullopt;
}

std::optional<double> Known(int64_t v)
{
    return v > 0 ? std::optional<double>(double(v)) : std::nullopt;
}

// A source counter's metric: its own name (Aravis's n_missing_packets gives
// tarvik_source_missing_packets), with what a metric name cannot hold made
// an underscore.
std::string SourceCounterMetric(const std::string& counter)
{
    std::string name = "tarvik_source_" + counter.substr(counter.rfind("n_", 0) == 0 ? 2 : 0);
    for (char& c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            c = '_';
    return name;
}

// The stream: asked for, frames by state, bytes, rate and intervals.
void AddStream(Samples& s, const CheckResult& r)
{
    if (r.asked)
        s.Set("tarvik_stream_asked_frames", "Frames the check asked for.", double(r.asked));
    else
        s.Set("tarvik_stream_asked_seconds", "How long the check streamed.", r.seconds);
    const char* frames = "Frames of the check's stream: completed, incomplete, timed out (never came), dropped.";
    for (const auto& [state, count] : {std::pair<const char*, uint64_t>{"completed", r.completed},
                                       {"incomplete", r.incomplete},
                                       {"timed_out", r.timedOut},
                                       {"dropped", r.dropped}})
        s.Set("tarvik_stream_frames", frames, double(count), {{"state", state}});
    s.Set("tarvik_stream_received_bytes", "Bytes of the frames received.", double(r.bytes));
    s.Set("tarvik_stream_frame_rate_hertz", "The frame rate measured.", r.measuredRate);
    s.Set("tarvik_stream_bytes_per_second", "Bytes a second received.",
          r.megabytesPerSecond ? std::optional<double>(*r.megabytesPerSecond * 1e6) : std::nullopt);
    s.Set("tarvik_stream_first_frame_seconds", "Time from the stream's start to its first frame.",
          Seconds(r.firstFrameMs));
    const char* interval = "Time between frames: median, 99th percentile, largest.";
    s.Set("tarvik_stream_frame_interval_seconds", interval, Seconds(r.intervalMedianMs), {{"statistic", "median"}});
    s.Set("tarvik_stream_frame_interval_seconds", interval, Seconds(r.intervalP99Ms), {{"statistic", "p99"}});
    s.Set("tarvik_stream_frame_interval_seconds", interval, Seconds(r.intervalMaxMs), {{"statistic", "max"}});
    for (const auto& [name, value] : r.counters)
        s.Set(SourceCounterMetric(name), "The stream source's own " + Samples::Label(name) + " over the check.",
              value);
}

// The triggers, when the check used them.
void AddTrigger(Samples& s, const CheckResult& r)
{
    if (r.triggerSource.empty())
        return;
    s.Set("tarvik_trigger_info", "The trigger the check used: the camera's TriggerSource entry.", 1,
          {{"source", r.triggerSource}});
    const char* triggers = "Triggers of the check: sent, answered by a frame, missed (no frame in time).";
    if (r.triggerSource == "Software") {
        s.Set("tarvik_trigger_triggers", triggers, double(r.triggersSent), {{"state", "sent"}});
        s.Set("tarvik_trigger_triggers", triggers, double(r.triggersAnswered), {{"state", "answered"}});
        s.Set("tarvik_trigger_triggers", triggers, double(r.missedTriggers), {{"state", "missed"}});
        s.Set("tarvik_trigger_extra_frames", "Frames no trigger asked for.", double(r.extraFrames));
    }
    s.Set("tarvik_trigger_camera_frame_time_seconds",
          "The camera's own time from a trigger to its frame: delay, exposure and readout.",
          Seconds(r.frameTimeMs));
    const char* latency = "Time from a software trigger sent to its frame received: median, 99th percentile, "
                          "largest.";
    s.Set("tarvik_trigger_latency_seconds", latency, Seconds(r.latencyMedianMs), {{"statistic", "median"}});
    s.Set("tarvik_trigger_latency_seconds", latency, Seconds(r.latencyP99Ms), {{"statistic", "p99"}});
    s.Set("tarvik_trigger_latency_seconds", latency, Seconds(r.latencyMaxMs), {{"statistic", "max"}});
    s.Set("tarvik_trigger_expected_frames", "Frames a line's triggers should have given at --expect-rate.",
          r.expectedFrames);
    s.Set("tarvik_stream_frame_interval_jitter_seconds", "Standard deviation of the time between frames.",
          Seconds(r.intervalJitterMs));
}

// The camera's clock, from frames that carried its timestamp.
void AddClock(Samples& s, const CheckResult& r)
{
    if (!r.clockFrames)
        return;
    s.Set("tarvik_clock_frames", "Frames that carried the camera's timestamp.", double(r.clockFrames));
    s.Set("tarvik_clock_drift_ppm", "How far the camera's clock runs off the computer's, in millionths.",
          r.clockDriftPpm);
    s.Set("tarvik_clock_drift_uncertainty_ppm", "How far the transfer's jitter may have moved the drift.",
          r.clockDriftSpreadPpm);
    const char* offset = "Receive time less the camera's timestamp, beyond the quickest frame's: median, "
                         "largest.";
    s.Set("tarvik_clock_offset_seconds", offset, Seconds(r.clockOffsetMedianMs), {{"statistic", "median"}});
    s.Set("tarvik_clock_offset_seconds", offset, Seconds(r.clockOffsetMaxMs), {{"statistic", "max"}});
    s.Set("tarvik_clock_steps_back", "Times the camera's clock went backwards between frames.",
          double(r.clockBackwards));
    s.Set("tarvik_clock_jumps", "Times the camera's clock jumped ahead by more than a second.",
          double(r.clockJumps));
}

// A GigE Vision link.
void AddLink(Samples& s, const CheckResult& r)
{
    if (r.transport != "GigE Vision")
        return;
    s.Set("tarvik_link_info", "The GigE Vision link: camera address, interface and its address.", 1,
          {{"address", r.address},
           {"interface", r.interfaceName},
           {"interface_address", r.interfaceAddress},
           {"loopback", r.loopback ? "true" : "false"}});
    s.Set("tarvik_link_mtu_bytes", "The interface's MTU.", Known(r.mtu));
    s.Set("tarvik_link_speed_bytes_per_second", "The interface's link speed.",
          r.speedMbps > 0 ? std::optional<double>(double(r.speedMbps) * 1e6 / 8) : std::nullopt);
    s.Set("tarvik_link_packet_size_bytes", "The camera's stream packet size (GevSCPSPacketSize).",
          Known(r.packetSize));
    if (r.interfaceMask.empty())
        return;  // the interface is not known: nothing to say of its subnet
    const std::vector<NetworkWarning> warnings = LinkWarnings(r);
    const char* help = "1 where the link has this problem: the camera outside the interface's subnet, "
                       "link-local beside another address, an MTU below the packet size.";
    for (auto [kind, name] : {std::pair{NetworkWarning::OutsideSubnet, "outside_subnet"},
                              std::pair{NetworkWarning::LinkLocal, "link_local"},
                              std::pair{NetworkWarning::SmallMtu, "mtu_below_packet_size"}}) {
        const bool has = std::any_of(warnings.begin(), warnings.end(),
                                     [kind = kind](const NetworkWarning& w) { return w.kind == kind; });
        s.Set("tarvik_link_problem", help, has ? 1.0 : 0.0, {{"problem", name}});
    }
}

// The pictures: format, size, what was analysed and each colour's levels.
void AddPicture(Samples& s, const CheckResult& r)
{
    if (!r.pixelFormat.empty())
        s.Set("tarvik_picture_info", "The pictures' pixel format.", 1, {{"pixel_format", r.pixelFormat}});
    s.Set("tarvik_picture_width_pixels", "The pictures' width.", double(r.width));
    s.Set("tarvik_picture_height_pixels", "The pictures' height.", double(r.height));
    s.Set("tarvik_picture_analysed_frames", "Complete frames whose picture was summed up.", double(r.picture.frames));
    s.Set("tarvik_picture_not_analysed_frames",
          "Complete frames that could not be summed up (another size, an unknown pixel format).",
          double(r.notAnalysed));
    s.Set("tarvik_picture_changed_frames", "Frames analysed that differ from the one before them.",
          double(r.picture.changed));
    if (r.picture.frames)
        s.Set("tarvik_picture_sharpness_ratio",
              "Mean difference of neighbouring samples of a colour, a share of full scale: higher is sharper.",
              r.picture.sharpness / 255);
    // Shares of full scale whatever the pixel format's depth.
    for (const imaging::ChannelStats& c : r.picture.channels) {
        s.Set("tarvik_picture_mean_ratio", "A colour's mean level, a share of full scale.", c.mean / 255,
              {{"channel", c.name}});
        s.Set("tarvik_picture_deviation_ratio", "A colour's standard deviation, a share of full scale.",
              c.deviation / 255, {{"channel", c.name}});
        const char* clipped = "Share of a colour's samples clipped at black or at white (full scale).";
        s.Set("tarvik_picture_clipped_ratio", clipped, c.dark, {{"channel", c.name}, {"end", "black"}});
        s.Set("tarvik_picture_clipped_ratio", clipped, c.bright, {{"channel", c.name}, {"end", "white"}});
    }
}

// A recording's losses from its CSV and its frames that failed, by check.
void AddRecording(Samples& s, const CheckResult& r)
{
    if (r.recording.empty())
        return;
    const char* lost = "Frames a recording's CSV says were lost beyond the ids the camera skipped.";
    s.Set("tarvik_recording_lost_frames", lost, double(r.droppedByTarvik), {{"state", "dropped"}});
    s.Set("tarvik_recording_lost_frames", lost, double(r.refused), {{"state", "refused"}});
    s.Set("tarvik_recording_lost_frames", lost, double(r.failedToWrite), {{"state", "failed"}});
    std::map<std::string, double> failed{{"frozen", 0}, {"lost", 0}, {"incomplete", 0}, {"unreadable", 0},
                                         {"interval", 0}};
    for (const FailedFrames& f : r.failedFrames)
        failed[f.check] += double(f.last - f.first + 1);
    for (const auto& [check, frames] : failed)
        s.Set("tarvik_recording_failed_frames", "A recording's frames that failed a check, by the check.", frames,
              {{"check", check}});
}

void AddResult(Samples& s, const CheckResult& r)
{
    s.Set("tarvik_check_verdict", "The check's verdict: 0 ok, 1 warn, 2 fail.", double(r.verdict));
    for (const Check& c : r.checks)
        s.Set("tarvik_check_level", "Each check's finding: 0 ok, 1 warn, 2 fail.", double(c.level),
              {{"check", c.name}});
    s.Set("tarvik_camera_info", "The camera checked; empty where it does not say.", 1,
          {{"id", r.id},
           {"name", r.name},
           {"vendor", r.vendor},
           {"model", r.model},
           {"serial", r.serial},
           {"firmware", r.firmware},
           {"transport", r.transport}});
    if (r.opened.Failed())
        return;  // nothing more is known of a camera that did not open
    s.Set("tarvik_camera_frame_rate_hertz", "The frame rate the camera says it sends.", r.cameraRate);
    AddStream(s, r);
    AddTrigger(s, r);
    AddClock(s, r);
    AddLink(s, r);
    AddPicture(s, r);
    AddRecording(s, r);
}

}  // namespace

void AddCheckMetrics(prometheus::Registry& registry, const std::vector<CheckResult>& results, bool cameraLabel)
{
    for (const CheckResult& r : results) {
        prometheus::Labels common;
        if (cameraLabel)
            common["camera"] = Samples::Label(r.id);
        Samples samples(registry, common);
        AddResult(samples, r);
    }
}

std::string MetricsText(const prometheus::Registry& registry)
{
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, registry.Collect());
    return out.str();
}
