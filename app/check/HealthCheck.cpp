// The check's run: features read before the stream (the stream's camera
// thread owns the library while it runs), frames taken as they come and
// summed up on this thread, the stream's timing and counters afterwards.
#include "HealthCheck.h"

#include "app/CameraSettings.h"
#include "CheckTiming.h"
#include "app/Failures.h"
#include "LinkInfo.h"
#include "app/network/HostNetwork.h"
#include "app/live/LiveStream.h"
#include "platform/camera/camsim.h"
#include "platform/camera/camtext.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

std::string StringFeature(const char* name)
{
    const char* v = nullptr;
    return CamFeatureStringGet(g_hCamera, name, &v) == CAM_OK && v ? v : "";
}

int64_t IntFeature(const char* name)
{
    int64_t v = -1;
    return CamFeatureIntGet(g_hCamera, name, &v) == CAM_OK ? v : -1;
}

std::string Detail(const char* key)
{
    const char* v = nullptr;
    return CamCameraDetailGet(g_hCamera, key, &v) == CAM_OK && v ? v : "";
}

// The source that listed the open camera, from the last discovery.
std::string SourceOfOpenCamera()
{
    uint32_t count = 0;
    if (!g_pCameraId || CamCameraList(nullptr, 0, &count, sizeof(CamCameraInfo)) != CAM_OK || count == 0)
        return {};
    std::vector<CamCameraInfo> list(count);
    if (CamCameraList(list.data(), count, &count, sizeof(CamCameraInfo)) != CAM_OK)
        return {};
    for (uint32_t i = 0; i < count && i < list.size(); ++i)
        if (list[i].cameraId && !std::strcmp(list[i].cameraId, g_pCameraId))
            return list[i].sourceName ? list[i].sourceName : "";
    return {};
}


void ReadCamera(CheckResult& r)
{
    r.id = g_pCameraId ? g_pCameraId : "";
    r.name = g_pCameraName ? g_pCameraName : "";
    r.vendor = StringFeature("DeviceVendorName");
    r.model = StringFeature("DeviceModelName");
    r.serial = StringFeature("DeviceSerialNumber");
    r.firmware = StringFeature("DeviceFirmwareVersion");
    r.transport = Detail("transport");
    r.pixelFormat = g_pPixelFormat ? g_pPixelFormat : "";
    r.width = g_nWidth;
    r.height = g_nHeight;
    std::string rateFeature;
    if (const double rate = CameraFrameRate(&rateFeature); rate > 0) {
        r.cameraRate = rate;
        r.cameraRateFeature = rateFeature;
    }
    if (r.transport != "GigE Vision")
        return;
    r.address = Detail("address");
    r.interfaceAddress = Detail("interface_address");
    const LinkInfo link = InterfaceWithAddress(r.interfaceAddress);
    r.interfaceName = link.name;
    r.loopback = link.loopback;
    r.mtu = link.mtu;
    r.speedMbps = link.speedMbps;
    r.packetSize = IntFeature("GevSCPSPacketSize");
    if (const HostInterface host = InterfaceHolding(r.interfaceAddress); !host.name.empty()) {
        r.interfaceMask = Ipv4Text(host.mask);
        r.interfaceOtherAddress = host.otherAddress;
        r.interfaceOtherSubnets = host.otherSubnets;
    }
    r.packetDelay = IntFeature("GevSCPD");
}

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    const size_t i = size_t(std::ceil(p * double(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

void Time(CheckResult& r, const std::vector<LiveStream::Arrival>& arrivals, Clock::time_point started)
{
    for (const LiveStream::Arrival& a : arrivals) {
        ++(a.complete ? r.completed : r.incomplete);
        r.bytes += a.bytes;
    }
    if (arrivals.empty())
        return;
    auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    r.firstFrameMs = ms(arrivals.front().time - started);
    const double span = ms(arrivals.back().time - started);
    if (span > 0)
        r.megabytesPerSecond = double(r.bytes) / 1e6 / (span / 1000);
    if (arrivals.size() < 2)
        return;
    std::vector<double> intervals;
    for (size_t i = 1; i < arrivals.size(); ++i)
        intervals.push_back(ms(arrivals[i].time - arrivals[i - 1].time));
    const double between = ms(arrivals.back().time - arrivals.front().time);
    if (between > 0)
        r.measuredRate = double(arrivals.size() - 1) / (between / 1000);
    r.intervalMedianMs = Percentile(intervals, 0.5);
    r.intervalP99Ms = Percentile(intervals, 0.99);
    r.intervalMaxMs = *std::max_element(intervals.begin(), intervals.end());
}

// A triggered stream of the open camera: the frames and what the triggers brought.
void RunTriggered(const CheckOptions& options, CheckResult& r,
                  std::vector<FrameClock>& clocks, const std::function<void(const CamFrame&)>& look)
{
    r.triggerRate = options.triggerRate;
    if (const double ms = TriggeredFrameTimeMs(r.cameraRate.value_or(0)); ms > 0)
        r.frameTimeMs = ms;
    // A frame may come this much later than the camera's own time: its
    // transfer, the host's scheduling.
    r.windowMs = r.frameTimeMs ? *r.frameTimeMs * 1.5 + 100 : 1000;
    const double silenceMs =
        options.expectRate > 0 ? std::max(double(kFrameTimeoutMs), 3000 / options.expectRate) : kFrameTimeoutMs;
    TriggeredStream s = RunTriggeredStream(options, r.frameTimeMs.value_or(0), r.windowMs, silenceMs,
                                           [&](const CamFrame& f, bool analyse) {
        if (clocks.size() < LiveStream::kMaxArrivals)
            clocks.push_back({f.timestamp, f.receiveTime});
        if (analyse && f.receiveStatus == CAM_FRAME_COMPLETE)
            look(f);
    });
    r.ended = s.ended;
    r.dropped = s.dropped;
    r.counters = s.counters;
    r.triggersSent = s.sent;
    r.triggersAnswered = s.answered;
    r.missedTriggers = s.missed;
    r.extraFrames = s.extra;
    if (!s.latenciesMs.empty()) {
        r.latencyMedianMs = Percentile(s.latenciesMs, 0.5);
        r.latencyP99Ms = Percentile(s.latenciesMs, 0.99);
        r.latencyMaxMs = s.latencyMaxMs;
    }
    // Times from the frames kept; counts from all of them.
    Time(r, s.arrivals, s.started);
    r.completed = s.completed;
    r.incomplete = s.incomplete;
    r.bytes = s.bytes;
    if (s.arrivals.size() >= 3) {
        std::vector<double> intervals;
        double mean = 0, squares = 0;
        for (size_t i = 1; i < s.arrivals.size(); ++i)
            intervals.push_back(std::chrono::duration<double, std::milli>(s.arrivals[i].time - s.arrivals[i - 1].time)
                                    .count());
        for (double v : intervals)
            mean += v / double(intervals.size());
        for (double v : intervals)
            squares += (v - mean) * (v - mean);
        r.intervalJitterMs = std::sqrt(squares / double(intervals.size()));
        if (options.expectRate > 0)
            r.expectedFrames = std::chrono::duration<double>(s.lastArrival - s.arrivals.front().time).count() *
                                   options.expectRate +
                               1;
    }
    r.expectRate = options.expectRate;
    if (s.ended.step == Step::Wait && s.ended.code == CAM_ERR_TIMEOUT)
        r.timedOut = r.asked ? r.asked - std::min(r.asked, s.answered) : 1;
}

}  // namespace

std::vector<NetworkWarning> LinkWarnings(const CheckResult& r)
{
    HostInterface host;
    const std::optional<Ipv4> address = ParseIpv4(r.interfaceAddress);
    const std::optional<Ipv4> mask = ParseIpv4(r.interfaceMask);
    if (r.interfaceName.empty() || !address || !mask)
        return {};
    host.name = r.interfaceName;
    host.address = *address;
    host.mask = *mask;
    host.otherAddress = r.interfaceOtherAddress;
    host.otherSubnets = r.interfaceOtherSubnets;
    host.mtu = r.mtu;
    return NetworkWarnings(r.address, host, r.packetSize);
}

const char* LevelName(Level level)
{
    switch (level) {
    case Level::Ok: return "ok";
    case Level::Warn: return "warn";
    case Level::Fail: return "fail";
    }
    return "fail";
}

namespace {

// Takes the stream's frames to look at until the frames or seconds asked
// for, the stream's end, the deadline, a cancel or a stop request; whether
// the deadline or a cancel stopped it.
template <typename Look>
bool TakeFrames(LiveStream& stream, const CheckOptions& options, std::mutex& mutex, std::condition_variable& wake,
                bool& news, Look&& look)
{
    const auto start = Clock::now(),
               until =
                   start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    auto lastProgress = start;
    bool late = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            auto wakeBy = Clock::now() + std::chrono::milliseconds(100);
            if (options.deadline != Clock::time_point{})
                wakeBy = std::min(wakeBy, options.deadline);
            wake.wait_until(lock, wakeBy, [&] { return news; });
            news = false;
        }
        LiveStream::Frame frame;
        if (stream.Take(&frame)) {
            // Frames of another size than opening read would be laid out wrongly.
            look(frame.data, frame.size, frame.width, frame.height);
            stream.GiveBack(frame);
        }
        const LiveStream::Counts counts = stream.CountsNow();
        const auto now = Clock::now();
        if (options.progress && now - lastProgress >= std::chrono::milliseconds(250)) {
            options.progress(counts.received, stream.RatesNow().received);
            lastProgress = now;
        }
        late = (options.deadline != Clock::time_point{} && now >= options.deadline) ||
               (options.cancel && *options.cancel);
        const bool stop = options.stopRequested && options.stopRequested();
        if (stream.Ended().Failed() || late || stop ||
            (options.seconds > 0 ? now >= until : counts.received >= options.frames))
            break;
    }
    return late;
}

// The stopped stream's counts, times and time-outs into r.
void Tally(const LiveStream& stream, const CheckOptions& options, bool late, CheckResult& r)
{
    const LiveStream::Counts counts = stream.CountsNow();
    r.dropped = counts.dropped;
    r.counters = stream.SourceCounters();
    std::vector<LiveStream::Arrival> arrivals = stream.Arrivals();
    const bool allKept = arrivals.size() < LiveStream::kMaxArrivals;
    if (r.asked && arrivals.size() > r.asked)
        arrivals.resize(size_t(r.asked));  // frames that came after the last one asked for
    Time(r, arrivals, stream.Started());
    uint64_t received = arrivals.size();
    if (!allKept) {
        // Times from the frames kept; counts from all of them.
        received = r.asked ? std::min(r.asked, counts.received) : counts.received;
        r.incomplete = std::min(counts.incomplete, received);
        r.completed = received - r.incomplete;
        r.bytes = counts.bytes;
    }
    // Stopped from outside before a frame could come: no sign of a fault,
    // only of a check that had no time.
    r.outOfTime = late && received == 0 && !r.ended.Failed();
    if (r.ended.step == Step::Wait && r.ended.code == CAM_ERR_TIMEOUT)
        r.timedOut = r.asked ? r.asked - std::min(r.asked, received) : 1;
    else if (!r.asked && received == 0 && !r.ended.Failed() && !r.outOfTime) {
        r.timedOut = 1;  // --seconds ran out before the stream's own wait for the first frame did
        // Said as the stream's own wait would have said it.
        if (const LiveStream::TriggerState t = stream.TriggerNow(); t.on) {
            r.ended = Stopped(Step::Wait, CAM_ERR_TIMEOUT);
            r.ended.triggered = true;
            r.ended.trigger = t.source;
            r.ended.timeoutMs = uint32_t(options.seconds * 1000 + 0.5);
        }
    }
}

}  // namespace

CheckResult CheckOpenCamera(const CheckOptions& options)
{
    CheckResult r;
    ReadCamera(r);
    r.asked = options.seconds > 0 ? 0 : options.frames;
    r.seconds = options.seconds;
    r.triggerSource = TriggerSourceOf(options.trigger);
    imaging::PictureStats stats;
    std::vector<FrameClock> clocks;  // filled on the camera thread while the stream runs
    // A frame's picture summed up, or why it cannot be.
    auto look = [&](const uint8_t* data, int64_t size, uint32_t width, uint32_t height) {
        std::string why;
        if (!FitsOpenedSize(width, height))
            why = "frames of " + std::to_string(width) + " x " + std::to_string(height) + " pixels, not the " +
                  std::to_string(uint32_t(g_nWidth)) + " x " + std::to_string(uint32_t(g_nHeight)) +
                  " the camera reported";
        else if (!stats.Add({data, uint64_t(std::max<int64_t>(0, size)), uint32_t(g_nWidth), uint32_t(g_nHeight),
                             g_pPixelFormat}))
            why = "pixel format " + cam::OneLine(g_pPixelFormat ? g_pPixelFormat : "") + " is not supported";
        if (!why.empty() && r.notAnalysed++ == 0)
            r.notAnalysedReason = why;
    };
    if (!r.triggerSource.empty()) {
        RunTriggered(options, r, clocks, [&](const CamFrame& f) {
            look(static_cast<const uint8_t*>(f.buffer), f.imageSize, f.width, f.height);
        });
        MeasureClock(clocks, r);
        r.picture = stats.Summary();
        return r;
    }

    std::mutex mutex;
    std::condition_variable wake;
    bool news = false;
    LiveStream stream;
    const Outcome started = stream.Start(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            news = true;
            wake.notify_one();
        },
        {true, true,
         [&](const CamFrame& f) {
             std::lock_guard<std::mutex> lock(mutex);
             if (clocks.size() < LiveStream::kMaxArrivals)
                 clocks.push_back({f.timestamp, f.receiveTime});
         },
         0, true});
    if (started.Failed()) {
        r.ended = started;
        return r;
    }
    const bool late = TakeFrames(stream, options, mutex, wake, news, look);
    r.ended = stream.Stop();
    Tally(stream, options, late, r);
    r.picture = stats.Summary();
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (r.asked && clocks.size() > r.asked)
            clocks.resize(size_t(r.asked));  // as the arrivals: the frames asked for
        MeasureClock(clocks, r);
    }
    return r;
}

namespace {

// A trigger rate this close to the most the camera can take leaves no room
// for the transfer's or the host's jitter.
constexpr double kNearCapacity = 0.98;

std::string AcquisitionWaits(const CheckResult& r)
{
    return "; the acquisition itself waits for a trigger on " + cam::OneLine(r.acquisitionTrigger) +
           " (TriggerSelector=AcquisitionStart, TriggerMode=On)";
}

// Software: each trigger must bring one frame; a line: its frames at the
// expected rate, within the rate's shortfall either way.
template <class Add, class Text>
void JudgeTriggers(const CheckResult& r, const CheckOptions& options, Add add, Text text)
{
    using ull = unsigned long long;
    auto latency = [&] {
        return r.latencyMedianMs ? text("; latency median %.2f ms, 99th percentile %.2f ms, largest %.2f ms",
                                        *r.latencyMedianMs, *r.latencyP99Ms, *r.latencyMaxMs)
                                 : std::string();
    };
    if (r.triggerSource == "Software") {
        std::string detail = text("%llu triggers sent, %llu frames for them, %llu missed, %llu extra",
                                  ull(r.triggersSent), ull(r.triggersAnswered), ull(r.missedTriggers),
                                  ull(r.extraFrames)) +
                             latency();
        if (r.missedTriggers && r.frameTimeMs && r.triggerRate > 1000 / *r.frameTimeMs)
            detail += text("; %g triggers/s is more than the camera can take (%.1f/s: %.2f ms a frame): "
                           "%llu triggers lost",
                           r.triggerRate, 1000 / *r.frameTimeMs, *r.frameTimeMs, ull(r.missedTriggers));
        else if (r.missedTriggers && r.triggersAnswered && r.frameTimeMs &&
                 r.triggerRate >= kNearCapacity * 1000 / *r.frameTimeMs)
            detail += text("; %g triggers/s is about the most the camera can take (%.1f/s: %.2f ms a frame): a "
                           "trigger that reaches it the least bit early finds it still busy and is lost",
                           r.triggerRate, 1000 / *r.frameTimeMs, *r.frameTimeMs);
        else if (r.missedTriggers && r.triggersAnswered == 0 && r.acquisitionTrigger.empty())
            detail += "; the camera answered none: does it take software triggers?";
        if (r.triggersAnswered == 0 && !r.acquisitionTrigger.empty())
            detail += AcquisitionWaits(r);
        add("trigger", r.missedTriggers || r.extraFrames || !r.triggersSent ? Level::Fail : Level::Ok, detail);
        return;
    }
    std::string detail = text("%llu frames on %s", ull(r.triggersAnswered), r.triggerSource.c_str());
    if (r.triggersAnswered == 0 && !r.acquisitionTrigger.empty())
        detail += AcquisitionWaits(r);
    if (r.intervalJitterMs)
        detail += text("; intervals %.2f ms median, jitter %.3f ms", r.intervalMedianMs.value_or(0),
                       *r.intervalJitterMs);
    Level level = r.triggersAnswered ? Level::Ok : Level::Fail;
    if (r.expectRate > 0 && r.expectedFrames) {
        const double expected = *r.expectedFrames, off = double(r.triggersAnswered) - expected;
        detail += text("; %.0f expected at %g/s", expected, r.expectRate);
        if (std::fabs(off) > std::max(1.0, expected * options.maxRateShortfall / 100)) {
            detail += off < 0 ? text(": %.0f triggers without a frame", -off) : text(": %.0f frames too many", off);
            level = Level::Fail;
        }
    }
    add("trigger", level, detail);
}

// Whether complete frames came that the picture can be made of.
template <class Add, class Text>
void JudgeFrames(const CheckResult& r, Add add, Text text)
{
    using ull = unsigned long long;
    const uint64_t received = r.completed + r.incomplete;
    // A frame the picture cannot be made of is of no use however complete
    // it came, as --grab finds.
    if (!r.completed)
        add("frames", Level::Fail, "no complete frame");
    else if (r.notAnalysed)
        add("frames", Level::Fail,
            text("%llu complete frames, ", ull(r.completed)) +
                (r.picture.frames ? text("%llu could not be analysed: ", ull(r.notAnalysed))
                                  : std::string("none could be analysed: ")) +
                r.notAnalysedReason);
    else
        add("frames", Level::Ok, text("%llu complete frames", ull(r.completed)));
    // An empty stream is not a complete one.
    if (r.incomplete || r.timedOut || r.ended.Failed() || !received) {
        std::string detail = received ? text("%llu of %llu frames incomplete", ull(r.incomplete), ull(received))
                                      : std::string("no frame came");
        if (r.timedOut && received)
            detail += text(", %llu never came", ull(r.timedOut));
        if (r.ended.Failed())
            detail += "; the stream stopped: " + Describe(r.ended);
        add("completeness", Level::Fail, detail);
    } else {
        add("completeness", Level::Ok, "every frame complete");
    }
}

// The packets the source lost or resent, and the rate against the camera's.
template <class Add, class Text>
void JudgeRate(const CheckResult& r, const CheckOptions& options, Add add, Text text)
{
    auto counter = [&](const char* name) -> std::optional<double> {
        for (const auto& [n, v] : r.counters)
            if (n == name)
                return v;
        return std::nullopt;
    };
    const auto missing = counter("n_missing_packets"), resent = counter("n_resent_packets");
    if (missing || resent) {
        const double m = missing.value_or(0), s = resent.value_or(0);
        add("packets", m > 0 ? Level::Fail : s > 0 ? Level::Warn : Level::Ok, text("%.0f missing, %.0f resent", m, s));
    }
    if (!r.triggerSource.empty()) {
        // The triggers set the rate, not the camera.
        add("rate", Level::Ok,
            r.measuredRate ? text("%.1f frames/s as triggered", *r.measuredRate) : std::string("too few frames to measure"));
    } else if (r.cameraRate && r.measuredRate) {
        const double floor = *r.cameraRate * (1 - options.maxRateShortfall / 100);
        add("rate", *r.measuredRate < floor ? Level::Warn : Level::Ok,
            text("%.1f frames/s measured, the camera says %.1f (%s)", *r.measuredRate, *r.cameraRate,
                 r.cameraRateFeature.c_str()));
    } else {
        add("rate", Level::Ok,
            r.measuredRate ? text("%.1f frames/s; the camera does not say its rate", *r.measuredRate)
                           : std::string("too few frames to measure"));
    }
}

// The camera's clock: its drift, steps back and jumps.
template <class Add, class Text>
void JudgeClock(const CheckResult& r, const CheckOptions& options, Add add, Text text)
{
    using ull = unsigned long long;
    if (r.clockFrames < 2)
        return;
    // Only a drift beyond what the transfer's jitter can make up is one.
    const bool drifts = r.clockDriftPpm &&
                        std::fabs(*r.clockDriftPpm) - r.clockDriftSpreadPpm.value_or(0) > options.maxClockDrift;
    std::string detail = r.clockDriftPpm ? text("runs %+.0f ppm (within %.0f) against the host's",
                                                *r.clockDriftPpm, r.clockDriftSpreadPpm.value_or(0))
                         : r.clockStretchFrames < 4
                             ? text("%llu frames in a row: too few to measure its drift", ull(r.clockStretchFrames))
                             : std::string("under a second of frames: too short to measure its drift");
    if (r.clockOffsetMedianMs)
        detail += text("; frames arrive %.2f ms (median), at most %.2f ms later than the quickest",
                       *r.clockOffsetMedianMs, *r.clockOffsetMaxMs);
    if (drifts)
        detail += text("; more than %g ppm off", options.maxClockDrift);
    if (r.clockBackwards)
        detail += text("; went backwards %llu times", ull(r.clockBackwards));
    if (r.clockJumps)
        detail += text("; jumped %llu times", ull(r.clockJumps));
    add("clock", drifts || r.clockBackwards || r.clockJumps ? Level::Warn : Level::Ok, detail);
}

// A GigE Vision link's packet size against its MTU, and the camera's
// address against the interface's subnet.
template <class Add, class Text>
void JudgeLink(const CheckResult& r, Add add, Text text)
{
    if (r.transport != "GigE Vision")
        return;
    bool outside = false, smallMtu = false;
    for (const NetworkWarning& w : LinkWarnings(r)) {
        outside = outside || w.kind == NetworkWarning::OutsideSubnet;
        smallMtu = smallMtu || w.kind == NetworkWarning::SmallMtu;
        add(w.kind == NetworkWarning::OutsideSubnet ? "subnet"
            : w.kind == NetworkWarning::LinkLocal   ? "link_local"
                                                    : "packet_size",
            Level::Warn, w.text);
    }
    if (!outside && !r.interfaceMask.empty())
        add("subnet", Level::Ok, text("camera %s in the subnet of %s", r.address.c_str(), r.interfaceName.c_str()));
    if (smallMtu)
        return;
    if (r.loopback)
        add("packet_size", Level::Ok, "loopback interface: no link to tune");
    else if (r.mtu > 0 && r.packetSize > 0)
        // The packet size counts the IP and UDP headers, as the MTU does;
        // a camera's increment may keep it somewhat below.
        add("packet_size", r.packetSize < r.mtu * 9 / 10 ? Level::Warn : Level::Ok,
            text("%lld-byte packets on an interface with a %lld-byte MTU%s", (long long)r.packetSize,
                 (long long)r.mtu, r.packetSize < r.mtu * 9 / 10 && r.mtu > 1500 ? " (jumbo frames unused)" : ""));
}

// The exposure, and a frozen or near-uniform picture.
template <class Add, class Text>
void JudgePicture(const CheckResult& r, const CheckOptions& options, Add add, Text text)
{
    using ull = unsigned long long;
    if (!r.picture.frames)
        return;
    double dark = 0, bright = 0;
    bool uniform = true;
    for (const imaging::ChannelStats& c : r.picture.channels) {
        dark = std::max(dark, c.dark * 100);
        bright = std::max(bright, c.bright * 100);
        uniform = uniform && c.deviation < kUniformDeviation;
    }
    const bool clipped = dark > options.maxClipped || bright > options.maxClipped;
    add("exposure", clipped ? Level::Warn : Level::Ok,
        text("%.2f %% of a channel's samples at black, %.2f %% at full scale", dark, bright));
    const bool frozen = r.picture.frames > 1 && r.picture.changed == 0;
    std::string found;
    if (frozen)
        found = text("frozen: none of %llu frames differed from the one before", ull(r.picture.frames));
    if (uniform)
        found += std::string(frozen ? "; " : "") + "near-uniform picture (lens cap?)";
    if (!found.empty())
        add("picture", Level::Warn, found);
    else
        add("picture", Level::Ok,
            text("%llu of %llu frames changed, sharpness %.2f", ull(r.picture.changed), ull(r.picture.frames),
                 r.picture.sharpness));
}

}  // namespace

void Judge(CheckResult& r, const CheckOptions& options)
{
    auto add = [&](const char* name, Level level, std::string detail) {
        r.checks.push_back({name, level, std::move(detail)});
        r.verdict = std::max(r.verdict, level);
    };
    auto text = [](const char* format, auto... args) {
        char line[256];
        std::snprintf(line, sizeof line, format, args...);
        return std::string(line);
    };
    if (r.opened.Failed()) {
        add("open", Level::Fail, "not opened: " + Describe(r.opened));
        return;
    }
    JudgeFrames(r, add, text);
    JudgeRate(r, options, add, text);
    if (!r.triggerSource.empty())
        JudgeTriggers(r, options, add, text);
    JudgeClock(r, options, add, text);
    JudgeLink(r, add, text);
    JudgePicture(r, options, add, text);
}

namespace {

// Puts back the pixel format the camera had before the check asked for
// the one --pixel-format names, unless a setting the user gave chose one:
// a camera checked now and then must not change under the program using it.
// checked: the format the check streamed. False when the format should go
// back and could not, which the user must hear of.
bool PutFormatBack(const OpenOptions& open, const std::string& found, const std::string& checked)
{
    const bool setByUser = std::any_of(open.settings.begin(), open.settings.end(),
                                       [](const Setting& s) { return s.name == "PixelFormat"; });
    if (g_hCamera == 0 || found.empty() || setByUser || checked == found)
        return true;
    const char* now = nullptr;
    if (CamFeatureEnumGet(g_hCamera, "PixelFormat", &now) == CAM_OK && now && found == now)
        return true;
    return CamFeatureEnumSet(g_hCamera, "PixelFormat", found.c_str()) == CAM_OK;
}

}  // namespace

CheckResult CheckCamera(const OpenOptions& open, const CheckOptions& options)
{
    // The simulated camera's test pattern clips by design: a check sees it
    // in soft colours unless TARVIK_SIM names a picture.
    struct SoftSim {
        const cam::SimLook was = cam::SimUnnamedLook();
        SoftSim() { cam::SetSimUnnamedLook(cam::SimLook::Soft); }
        ~SoftSim() { cam::SetSimUnnamedLook(was); }
    } softSim;
    std::string formatFound;
    const Outcome opened = OpenCamera(open, &formatFound);
    if (opened.Failed()) {
        // What is known of a camera that was found but did not open.
        CheckResult failed;
        failed.id = g_pCameraId ? g_pCameraId : open.cameraId;
        failed.name = g_pCameraName ? g_pCameraName : "";
        failed.source = g_pCameraId ? SourceOfOpenCamera() : "";
        PutFormatBack(open, formatFound, "");
        ReleaseCamera();
        failed.opened = opened;
        Judge(failed, options);
        return failed;
    }
    // The trigger is set as --set would set it, so that a source the camera
    // lacks is refused in the same words, with its entries; what was set
    // is put back before the camera is let go, lest it wait for triggers
    // ever after.
    const std::string checked = g_pPixelFormat ? g_pPixelFormat : "";
    std::vector<Setting> trigger, before;
    std::string acquisitionTrigger;
    auto putBack = [&before] {
        bool shapeChanged = false, usage = false;
        std::reverse(before.begin(), before.end());  // the selector last, so the others go back under it
        ApplySettings(before, &shapeChanged, &usage);
    };
    if (!options.trigger.empty()) {
        CamFeatureInfo info{};
        if (CamFeatureInfoGet(g_hCamera, "TriggerSelector", &info, sizeof info) == CAM_OK) {
            trigger.push_back({"TriggerSelector", "FrameStart", true, "--trigger"});
            acquisitionTrigger = AcquisitionTriggerSource(info);
        }
        trigger.push_back({"TriggerMode", "On", true, "--trigger"});
        trigger.push_back({"TriggerSource", TriggerSourceOf(options.trigger), true, "--trigger"});
        // Each is read just before it is set: the mode and source under the
        // selector's new entry.
        std::string refused;
        for (const Setting& t : trigger) {
            const char* value = nullptr;
            if (CamFeatureValueGet(g_hCamera, t.name.c_str(), &value) == CAM_OK && value)
                before.push_back({t.name, value, true, "--trigger"});
            bool shapeChanged = false, usage = false;
            refused = ApplySettings({t}, &shapeChanged, &usage);
            if (!refused.empty())
                break;
        }
        if (!refused.empty()) {
            putBack();
            const bool formatBack = PutFormatBack(open, formatFound, checked);
            ReleaseCamera();
            CheckResult failed;
            failed.id = open.cameraId;
            failed.formatNotPutBack = formatBack ? "" : formatFound;
            failed.opened = Stopped(Step::Settings, CAM_OK, refused);
            Judge(failed, options);
            return failed;
        }
    }
    CheckResult result = CheckOpenCamera(options);
    result.source = SourceOfOpenCamera();
    result.acquisitionTrigger = acquisitionTrigger;
    putBack();
    if (!PutFormatBack(open, formatFound, checked))
        result.formatNotPutBack = formatFound;
    ReleaseCamera();
    Judge(result, options);
    return result;
}
