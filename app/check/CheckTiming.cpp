// A triggered check runs its own stream rather than LiveStream's: a trigger
// must go out at its time and its frame be taken the moment it comes, on
// the one thread that makes the library's calls, without a hand-over that
// would add its own delay to what is measured.
#include "CheckTiming.h"

#include <algorithm>
#include <limits>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

Clock::duration FromMs(double ms)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
}

// Announces, queues and starts kFrames frames of the payload's size; on
// failure undoes what it did and says why.
class Capture {
public:
    Outcome Start()
    {
        if (Outcome o = MakeFrames(LiveStream::kFrames, frames_, memory_); o.Failed())
            return o;
        CamError err = CAM_OK;
        while (announced_ < frames_.size() &&
               (err = CamFrameAnnounce(g_hCamera, &frames_[announced_], sizeof(CamFrame))) == CAM_OK)
            ++announced_;
        if (err != CAM_OK)
            return Stopped(Step::Announce, err);
        if ((err = CamCaptureStart(g_hCamera)) != CAM_OK)
            return Stopped(Step::CaptureStart, err);
        capturing_ = true;
        for (CamFrame& f : frames_)
            if ((err = CamFrameQueue(g_hCamera, &f, nullptr)) != CAM_OK)
                return Stopped(Step::Queue, err);
        if ((err = CamFeatureCommandRun(g_hCamera, "AcquisitionStart")) != CAM_OK)
            return Stopped(Step::AcquisitionStart, err);
        acquiring_ = true;
        return {};
    }
    // The source's counters as the stream ends.
    std::vector<std::pair<std::string, double>> Stop()
    {
        std::vector<std::pair<std::string, double>> counters;
        if (acquiring_)
            CamFeatureCommandRun(g_hCamera, "AcquisitionStop");
        const char* name = nullptr;
        double value = 0;
        for (uint32_t i = 0; capturing_ && CamStreamCounterGet(g_hCamera, i, &name, &value) == CAM_OK; ++i)
            counters.emplace_back(name, value);
        if (capturing_)
            CamCaptureEnd(g_hCamera);
        for (size_t i = 0; i < announced_; ++i)
            CamFrameRevoke(g_hCamera, &frames_[i]);
        acquiring_ = capturing_ = false;
        announced_ = 0;
        return counters;
    }
    ~Capture() { Stop(); }

private:
    std::vector<std::unique_ptr<uint8_t[]>> memory_;
    std::vector<CamFrame> frames_;
    size_t announced_ = 0;
    bool capturing_ = false, acquiring_ = false;
};

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

std::string TriggerSourceOf(const std::string& word)
{
    std::string w = word;
    std::transform(w.begin(), w.end(), w.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (w == "software")
        return "Software";
    if (w.size() > 4 && w.size() <= 6 && w.compare(0, 4, "line") == 0 &&
        std::all_of(w.begin() + 4, w.end(), [](unsigned char c) { return std::isdigit(c); }))
        return "Line" + w.substr(4);
    return {};
}

TriggeredStream RunTriggeredStream(const CheckOptions& options, double frameTimeMs, double windowMs,
                                   double silenceMs,
                                   const std::function<void(const CamFrame& frame, bool analyse)>& frame)
{
    TriggeredStream s;
    Capture capture;
    s.started = Clock::now();
    if (Outcome o = capture.Start(); o.Failed()) {
        s.ended = o;
        s.counters = capture.Stop();
        return s;
    }
    const bool software = TriggerSourceOf(options.trigger) == "Software";
    const auto until = s.started + FromMs(options.seconds * 1000);
    const auto period = options.triggerRate > 0 ? FromMs(1000 / options.triggerRate) : Clock::duration::zero();
    // A trigger within the camera's own time of the one before finds it
    // still busy and is lost: one that went out late is caught up only as
    // far as that allows, never in a burst.
    const auto leastGap = std::min(period, std::max(period / 2, FromMs(frameTimeMs)));
    const double minLatencyMs = frameTimeMs * 0.9;
    // Sent triggers waiting for their frame, oldest first.
    std::deque<Clock::time_point> waiting;
    auto next = s.started;  // when the next trigger goes out
    auto lastFrame = s.started, lastAnalysed = s.started - std::chrono::hours(1);
    Clock::duration analysing{};  // how long the last look at a picture took
    uint64_t lastId = 0;
    bool stopped = false;
    auto more = [&](Clock::time_point now) {
        return options.seconds > 0 ? now < until : (software ? s.sent : s.answered + s.extra) < options.frames;
    };
    for (;;) {
        if (options.stopRequested && options.stopRequested()) {
            stopped = true;
            break;
        }
        auto now = Clock::now();
        // The library's waits count whole milliseconds: the last fraction
        // before a trigger is due is slept here, so that it goes out on time.
        if (software && period.count() > 0 && more(now) && now < next && next - now < std::chrono::milliseconds(1)) {
            std::this_thread::sleep_until(next);
            now = Clock::now();
        }
        if (software && more(now) && now >= next && (period.count() > 0 || waiting.empty())) {
            const auto fired = Clock::now();
            const CamError err = CamFeatureValueSet(g_hCamera, "TriggerSoftware", "");
            if (err != CAM_OK) {
                s.ended = Stopped(Step::Trigger, err);
                break;
            }
            ++s.sent;
            waiting.push_back(fired);
            next = period.count() > 0 ? std::max(next + period, fired + leastGap) : fired;
            now = Clock::now();
        }
        while (!waiting.empty() && now - waiting.front() > FromMs(windowMs)) {
            ++s.missed;
            waiting.pop_front();
        }
        const bool sending = software && more(now);
        if (!software && !more(now))
            break;
        if (software && !sending && waiting.empty())
            break;
        if (!software && now - lastFrame > FromMs(silenceMs)) {
            s.ended = Stopped(Step::Wait, CAM_ERR_TIMEOUT);
            break;
        }
        // Wait for a frame until the next trigger is due or the oldest one
        // gives up, a short slice at most.
        auto wake = now + std::chrono::milliseconds(100);
        bool triggerDue = false;  // woken for the next trigger: never after it is due
        if (sending && (period.count() > 0 || waiting.empty()) && next <= wake)
            wake = next, triggerDue = true;
        if (!waiting.empty() && waiting.front() + FromMs(windowMs) < wake)
            wake = waiting.front() + FromMs(windowMs), triggerDue = false;
        if (!software && options.seconds > 0)
            wake = std::min(wake, until);
        const double waitMs = std::max(0.0, Ms(wake - now));
        CamFrame* f = nullptr;
        const CamError err =
            CamFrameWaitNext(g_hCamera, &f, uint32_t(triggerDue ? std::floor(waitMs) : std::ceil(waitMs)));
        if (err == CAM_ERR_TIMEOUT)
            continue;
        if (err != CAM_OK || !f) {
            s.ended = Stopped(err == CAM_ERR_BAD_SEQUENCE ? Step::Queue : Step::Wait, err != CAM_OK ? err : CAM_ERR_INTERNAL);
            break;
        }
        const auto came = Clock::now();
        lastFrame = came;
        if (!s.arrivals.empty() && f->frameId > lastId + 1)
            s.dropped += f->frameId - lastId - 1;
        lastId = f->frameId;
        if (s.arrivals.size() < LiveStream::kMaxArrivals)
            s.arrivals.push_back({came, f->receiveStatus == CAM_FRAME_COMPLETE, f->imageSize});
        ++(f->receiveStatus == CAM_FRAME_COMPLETE ? s.completed : s.incomplete);
        s.bytes += f->imageSize;
        s.lastArrival = came;
        if (software && waiting.empty()) {
            ++s.extra;
        } else if (software) {
            // The frame answers the last trigger sent at least the camera's
            // own time before it; older ones the camera lost. Without that
            // time, the oldest.
            auto answers = waiting.begin();
            while (minLatencyMs > 0 && answers + 1 != waiting.end() && came - *(answers + 1) >= FromMs(minLatencyMs))
                ++answers;
            s.missed += uint64_t(answers - waiting.begin());
            const double latency = Ms(came - *answers);
            if (s.latenciesMs.size() < LiveStream::kMaxArrivals)
                s.latenciesMs.push_back(latency);
            s.latencyMaxMs = std::max(s.latencyMaxMs, latency);
            waiting.erase(waiting.begin(), answers + 1);
            ++s.answered;
        } else {
            ++s.answered;
        }
        // Pictures are looked at a few times a second, and only with time
        // to spare before the next trigger: the look must not delay it.
        const bool spare = !software || (waiting.empty() && (period.count() == 0 || next - came > 2 * analysing));
        const bool analyse = spare && came - lastAnalysed >= std::chrono::milliseconds(100);
        frame(*f, analyse);
        if (analyse) {
            lastAnalysed = came;
            analysing = Clock::now() - came;
        }
        CamFrameQueue(g_hCamera, f, nullptr);
    }
    // Frames that come after the last trigger had its own are extra.
    if (software && !s.ended.Failed() && !stopped) {
        const auto linger = Clock::now() + FromMs(std::min(windowMs, 1000.0));
        for (auto now = Clock::now(); now < linger; now = Clock::now()) {
            CamFrame* f = nullptr;
            if (CamFrameWaitNext(g_hCamera, &f, uint32_t(std::ceil(Ms(linger - now)))) != CAM_OK || !f)
                break;
            ++s.extra;
            frame(*f, false);
            CamFrameQueue(g_hCamera, f, nullptr);
        }
    }
    s.counters = capture.Stop();
    return s;
}

namespace {

// The longest stretch of frames without a fault of the camera's clock (a
// step back, or a jump), counting the faults into r.
std::vector<FrameClock> LongestStretch(const std::vector<FrameClock>& stamped, CheckResult& r)
{
    // Faults split the frames into stretches; a jump is a step of the
    // camera's clock more than a second (and a tenth) off the host's.
    size_t best = 0, bestEnd = 1, begin = 0;
    for (size_t i = 1; i <= stamped.size(); ++i) {
        bool fault = false;
        if (i < stamped.size()) {
            const double camera = double(int64_t(stamped[i].timestamp - stamped[i - 1].timestamp));
            const double host = double(int64_t(stamped[i].receiveTime - stamped[i - 1].receiveTime));
            if (camera < 0)
                ++r.clockBackwards, fault = true;
            else if (std::fabs(camera - host) > 1e9 + 0.1 * std::fabs(host))
                ++r.clockJumps, fault = true;
        }
        if (fault || i == stamped.size()) {
            if (i - begin > bestEnd - best)
                best = begin, bestEnd = i;
            begin = i;
        }
    }
    return std::vector<FrameClock>(stamped.begin() + std::ptrdiff_t(best), stamped.begin() + std::ptrdiff_t(bestEnd));
}

}  // namespace

void MeasureClock(const std::vector<FrameClock>& frames, CheckResult& r)
{
    std::vector<FrameClock> stamped;
    for (const FrameClock& f : frames)
        if (f.timestamp)
            stamped.push_back(f);
    r.clockFrames = stamped.size();
    if (stamped.size() < 2)
        return;
    const std::vector<FrameClock> run = LongestStretch(stamped, r);
    r.clockStretchFrames = run.size();
    // Times from the stretch's first frame, where a double holds ns exactly.
    auto host = [&](const FrameClock& f) { return double(int64_t(f.receiveTime - run.front().receiveTime)); };
    auto camera = [&](const FrameClock& f) { return double(int64_t(f.timestamp - run.front().timestamp)); };
    double drift = 0;
    // Under a second, a tenth of a millisecond of scheduling would read as
    // a hundred ppm: too short to tell.
    if (run.size() >= 4 && host(run.back()) >= 1e9) {
        // Transfer delays only ever add to the offset: the frame that came
        // soonest after its stamp in the first third and in the last third
        // lie on the clocks' true relation, whatever the others' delays.
        const size_t third = run.size() / 3;
        auto soonest = [&](size_t from, size_t to) {
            size_t at = from;
            for (size_t i = from; i < to; ++i)
                if (host(run[i]) - camera(run[i]) < host(run[at]) - camera(run[at]))
                    at = i;
            return at;
        };
        const size_t a = soonest(0, third), b = soonest(run.size() - third, run.size());
        // How sharply the soonest frames stand out: the lead of the soonest
        // over the one a fifth of the way up (the third at least), at either
        // end, over the span between. Measured against the drift found, as
        // over a third a drifting clock's own slope would read as jitter.
        auto lead = [&](size_t from, size_t to) {
            std::vector<double> o;
            for (size_t i = from; i < to; ++i)
                o.push_back(host(run[i]) - camera(run[i]) / (1 + drift));
            std::sort(o.begin(), o.end());
            return o[std::min(o.size() - 1, std::max<size_t>(2, o.size() / 5))] - o[0];
        };
        const double hostSpan = host(run[b]) - host(run[a]);
        if (hostSpan > 0) {
            drift = (camera(run[b]) - camera(run[a])) / hostSpan - 1;
            r.clockDriftPpm = drift * 1e6;
            double spread = lead(0, third) + lead(run.size() - third, run.size());
            // A host busy through a whole stretch of the run delays even its
            // soonest frame: a floor raised by a millisecond over a third of
            // a 4 s run reads as hundreds of ppm. Where the soonest frame of
            // each sixth lies off the line the estimate draws shows how far
            // the floor moved; twice that is what it may have put the ends off.
            const size_t parts = run.size() >= 12 ? 6 : 3;
            // Each sixth's floor is its lowest frame against that line, not
            // its soonest against the host's clock: a drifting clock moves
            // the soonest to a sixth's end whatever its delay, and the
            // delays' spread would then read as the floor's.
            double below = 0, above = 0;
            for (size_t p = 0; p < parts; ++p) {
                double floor = std::numeric_limits<double>::infinity();
                for (size_t i = run.size() * p / parts; i < run.size() * (p + 1) / parts; ++i)
                    floor = std::min(floor, host(run[i]) - host(run[a]) -
                                                (camera(run[i]) - camera(run[a])) / (1 + drift));
                below = std::min(below, floor), above = std::max(above, floor);
            }
            spread = std::max(spread, 2 * (above - below));
            r.clockDriftSpreadPpm = spread / hostSpan * 1e6;
        }
    }
    std::vector<double> offsets;
    for (const FrameClock& f : run)
        offsets.push_back(host(f) - camera(f) / (1 + drift));
    const double least = *std::min_element(offsets.begin(), offsets.end());
    for (double& o : offsets)
        o = (o - least) / 1e6;
    r.clockOffsetMedianMs = Median(offsets);
    r.clockOffsetMaxMs = *std::max_element(offsets.begin(), offsets.end());
}
