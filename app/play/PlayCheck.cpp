// A recording's check: its frames read once, in order, through the same
// picture statistics a live check sums up; its timing from the CSV; judged
// by the live check's Judge, with the recording's own findings (a frozen
// stretch, frames lost, a file cut short) added, and reported by the live
// check's report code.
#include "PlayCheck.h"

#include "app/Failures.h"
#include "app/check/CheckTiming.h"
#include "platform/camera/camtext.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Adds frame index to the stretches of check, joining it to the last one
// when it follows it.
void AddFailed(std::vector<FailedFrames>& runs, const char* check, uint64_t index)
{
    for (auto it = runs.rbegin(); it != runs.rend(); ++it)
        if (it->check == check) {
            if (index <= it->last + 1) {
                it->last = std::max(it->last, index);
                return;
            }
            break;
        }
    runs.push_back({check, index, index});
}

// "10-29, 41, 50-52" of check's stretches, the first few of them.
std::string Stretches(const std::vector<FailedFrames>& runs, const char* check)
{
    constexpr size_t kSaid = 8;
    std::string text;
    size_t n = 0;
    for (const FailedFrames& f : runs) {
        if (f.check != check)
            continue;
        if (n++ < kSaid)
            text += (text.empty() ? "" : ", ") + std::to_string(f.first) +
                    (f.last > f.first ? "-" + std::to_string(f.last) : "");
    }
    if (n > kSaid)
        text += " and " + std::to_string(n - kSaid) + " more";
    return text;
}

uint64_t FramesIn(const std::vector<FailedFrames>& runs, const char* check)
{
    uint64_t n = 0;
    for (const FailedFrames& f : runs)
        if (f.check == check)
            n += f.last - f.first + 1;
    return n;
}

double At(std::vector<double>& v, double p)
{
    const size_t i = std::min(v.size() - 1, size_t(std::ceil(p * double(v.size()))) - (p > 0 ? 1 : 0));
    std::nth_element(v.begin(), v.begin() + ptrdiff_t(i), v.end());
    return v[i];
}

// The stream's timing as a live check measures it, from the CSV's times.
void TimeFromCsv(const Recording& recording, CheckResult& r)
{
    std::vector<double> intervals;
    std::vector<FrameClock> clocks;
    for (uint64_t i = 0; i < recording.FrameCount(); ++i) {
        const RecordedFrame& f = recording.Frame(i);
        if (f.cameraTime && f.receiveTime)
            clocks.push_back({*f.cameraTime, *f.receiveTime});
        if (const std::optional<uint64_t> ns = recording.Interval(i))
            intervals.push_back(double(*ns) / 1e6);
    }
    MeasureClock(clocks, r);
    if (intervals.empty())
        return;
    double sum = 0;
    for (double v : intervals)
        sum += v;
    const double mean = sum / double(intervals.size());
    double squares = 0;
    for (double v : intervals)
        squares += (v - mean) * (v - mean);
    if (sum > 0)
        r.measuredRate = double(intervals.size()) / (sum / 1000);
    if (intervals.size() >= 2)
        r.intervalJitterMs = std::sqrt(squares / double(intervals.size()));
    r.intervalMaxMs = *std::max_element(intervals.begin(), intervals.end());
    r.intervalP99Ms = At(intervals, 0.99);
    r.intervalMedianMs = At(intervals, 0.5);
}

// Frames read ahead on a thread of their own while the one before is summed
// up, so that decoding and the statistics overlap; at most kAhead are held.
class ReadAhead {
public:
    struct Item {
        imaging::ReadFrame frame;
        std::string error;  // empty: read
    };
    explicit ReadAhead(imaging::SequenceReader& reader) : reader_(reader), thread_([this] { Run(); }) {}
    ~ReadAhead()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    // The next frame's, in order; call FrameCount() times.
    Item Next()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !items_.empty(); });
        Item item = std::move(items_.front());
        items_.pop_front();
        wake_.notify_all();
        return item;
    }

private:
    static constexpr size_t kAhead = 2;
    void Run()
    {
        for (uint64_t i = 0; i < reader_.FrameCount(); ++i) {
            Item item;
            if (!reader_.Read(i, &item.frame))
                item.error = reader_.Error().empty() ? std::string("not read") : reader_.Error();
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || items_.size() < kAhead; });
            if (stop_)
                return;
            items_.push_back(std::move(item));
            wake_.notify_all();
        }
    }
    imaging::SequenceReader& reader_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> items_;
    bool stop_ = false;
    std::thread thread_;  // last: started once the rest is made
};

// Reads every frame into the picture statistics; a frame that repeats the
// one before goes into a frozen stretch with it.
void ReadFrames(Recording& recording, CheckResult& r,
                const std::function<void(uint64_t done, uint64_t total, double rate)>& progress)
{
    imaging::SequenceReader& reader = recording.Reader();
    reader.ReadInOrder();
    const imaging::SequenceShape& shape = reader.Shape();
    imaging::PictureStats stats;
    const uint64_t total = reader.FrameCount();
    const Clock::time_point start = Clock::now();
    Clock::time_point said = start;
    bool lastAdded = false;
    ReadAhead ahead(reader);
    for (uint64_t i = 0; i < total; ++i) {
        const ReadAhead::Item item = ahead.Next();
        std::string why;
        if (!item.error.empty()) {
            why = "frame " + std::to_string(i) + " could not be read: " + item.error;
            AddFailed(r.failedFrames, "unreadable", i);
        } else {
            const imaging::ReadFrame& frame = item.frame;
            r.bytes += frame.size;
            const uint64_t changed = stats.Changed();
            if (!stats.Add({frame.data, frame.size, shape.width, shape.height, shape.format->name}))
                why = std::string("pixel format ") + shape.format->name + " is not supported";
            else if (lastAdded && stats.Changed() == changed) {
                AddFailed(r.failedFrames, "frozen", i - 1);
                AddFailed(r.failedFrames, "frozen", i);
            }
        }
        lastAdded = why.empty();
        if (!why.empty() && r.notAnalysed++ == 0)
            r.notAnalysedReason = why;
        if (progress && Clock::now() - said > std::chrono::milliseconds(250)) {
            said = Clock::now();
            progress(i + 1, total, double(i + 1) / std::chrono::duration<double>(said - start).count());
        }
    }
    r.picture = stats.Summary();
}

// The recording's own findings beyond what a live check judges.
void JudgeRecording(Recording& recording, CheckResult& r)
{
    auto add = [&r](const char* name, Level level, std::string detail) {
        r.checks.push_back({name, level, std::move(detail)});
        r.verdict = std::max(r.verdict, level);
    };
    const Recording::CsvTotals& t = recording.Totals();
    for (uint64_t i = 0; i < recording.FrameCount(); ++i) {
        const RecordedFrame& f = recording.Frame(i);
        if (f.skippedBefore || f.droppedBefore || f.refusedBefore)
            AddFailed(r.failedFrames, "lost", i);
        if (f.incomplete)
            AddFailed(r.failedFrames, "incomplete", i);
    }
    for (const Mark& m : recording.Marks())
        if (m.kind == Mark::LongInterval)
            AddFailed(r.failedFrames, "interval", m.index);
    std::sort(r.failedFrames.begin(), r.failedFrames.end(), [](const FailedFrames& a, const FailedFrames& b) {
        return a.check != b.check ? a.check < b.check : a.first < b.first;
    });
    const uint64_t lost = t.skipped + t.dropped + t.refused + t.failed;
    if (!recording.HasCsv())
        add("lost", Level::Ok, "no CSV: frames lost while recording are not known");
    else if (lost)
        add("lost", Level::Fail,
            std::to_string(t.skipped) + " ids skipped by the camera, " + std::to_string(t.dropped) +
                " frames dropped by Tarvik, " + std::to_string(t.refused) + " refused, " + std::to_string(t.failed) +
                " not written; before frames " +
                (FramesIn(r.failedFrames, "lost") ? Stretches(r.failedFrames, "lost") : std::string("none")) +
                (t.trailing ? " and after the last" : ""));
    else
        add("lost", Level::Ok, "no frame lost");
    if (const uint64_t n = FramesIn(r.failedFrames, "frozen"))
        add("frozen", Level::Fail,
            std::to_string(n) + " frames in stretches that repeat a frame: " + Stretches(r.failedFrames, "frozen"));
    else
        add("frozen", Level::Ok, "every frame differs from the one before");
    if (const uint64_t n = FramesIn(r.failedFrames, "interval"))
        add("interval", Level::Warn,
            std::to_string(n) + " frames came over 1.5 times the median interval after the one before: " +
                Stretches(r.failedFrames, "interval"));
    std::string warned;
    for (const std::string& w : recording.Warnings())
        warned += (warned.empty() ? "" : "; ") + w;
    // A recording without a CSV is still whole; one cut short or not
    // matching its CSV is not.
    const bool mismatch = !recording.Reader().Info().complete || t.badLines || t.unusable ||
                          (recording.HasCsv() && t.listed != recording.FrameCount());
    add("file", mismatch ? Level::Warn : Level::Ok, warned.empty() ? "whole, its CSV matching" : warned);
}

}  // namespace

CheckResult CheckOpenedRecording(Recording& recording, const CheckOptions& options,
                                 const std::function<void(uint64_t done, uint64_t total, double rate)>& progress)
{
    CheckResult r;
    const imaging::SequenceReader& reader = recording.Reader();
    const imaging::SequenceInfo& info = reader.Info();
    r.recording = recording.Path();
    r.id = recording.Path();
    r.name = info.codec.empty() ? "" : info.codec;
    r.source = "recording";
    r.pixelFormat = info.recordedFormat.empty() ? reader.Shape().format->name : info.recordedFormat;
    r.width = reader.Shape().width;
    r.height = reader.Shape().height;
    r.asked = reader.FrameCount();
    ReadFrames(recording, r, progress);
    const Recording::CsvTotals& t = recording.Totals();
    const uint64_t read = r.asked - FramesIn(r.failedFrames, "unreadable");
    r.incomplete = std::min(read, t.incomplete);
    r.completed = read - r.incomplete;
    r.dropped = t.skipped;
    r.droppedByTarvik = t.dropped;
    r.refused = t.refused;
    r.failedToWrite = t.failed;
    TimeFromCsv(recording, r);
    Judge(r, options);
    JudgeRecording(recording, r);
    return r;
}

int CheckRecording(const std::string& path, const CheckCommand& check)
{
    Recording recording;
    std::string error;
    if (!recording.Open(path, &error)) {
        std::fprintf(stderr, "tarvik: %s\n", error.c_str());
        return kExitNoFrame;
    }
    std::function<void(uint64_t, uint64_t, double)> progress;
    const bool terminal = isatty(STDERR_FILENO) == 1;
    if (terminal)
        progress = [&path](uint64_t done, uint64_t total, double rate) {
            std::fprintf(stderr, "\rtarvik: checking %s: %llu of %llu frames, %.1f frames/s\033[K",
                         cam::Quoted(path).c_str(), (unsigned long long)done, (unsigned long long)total, rate);
        };
    const CheckResult result = CheckOpenedRecording(recording, check.options, progress);
    if (terminal)
        std::fputs("\r\033[K", stderr);
    return ReportCheckResults(check, {result});
}
