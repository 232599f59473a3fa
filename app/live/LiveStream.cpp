// The stream: its start and stop over the camera library, the camera
// thread's loop, the hand-over of the newest frame, and its counters.
#include "LiveStream.h"

#include "platform/imaging/live/LiveReduce.h"
#include "platform/imaging/convert/PixelConvert.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <utility>

namespace {

// How long the camera thread waits at a time, so that it sees Stop soon.
constexpr uint32_t kSliceMs = 100;
constexpr auto kRateWindow = std::chrono::seconds(1);
// How often a triggered camera's silence is told to whoever shows the stream.
constexpr auto kWaitingNotice = std::chrono::milliseconds(500);

}  // namespace

Outcome MakeFrames(size_t count, std::vector<CamFrame>& frames, std::vector<std::unique_ptr<uint8_t[]>>& memory)
{
    frames.clear();
    memory.clear();
    int64_t payload = 0;
    if (Outcome o = ReadPayloadSize(&payload); o.Failed())
        return o;
    frames.assign(count, CamFrame{});
    for (CamFrame& f : frames) {
        memory.emplace_back(new (std::nothrow) uint8_t[size_t(payload)]);
        if (!memory.back()) {
            Outcome o = Stopped(Step::FrameMemory);
            o.value = payload;
            frames.clear();
            memory.clear();
            return o;
        }
        f.buffer = memory.back().get();
        f.bufferSize = uint32_t(payload);
    }
    return {};
}

LiveStream::~LiveStream() { Stop(); }

Outcome LiveStream::Start(std::function<void()> newFrame)
{
    return Start(std::move(newFrame), Options());
}

Outcome LiveStream::Start(std::function<void()> newFrame, Options options)
{
    if (Running())
        return {};
    if (Outcome o = MakeFrames(kFrames, frames_, memory_); o.Failed())
        return o;
    // Each step that succeeded is undone if a later one fails.
    size_t announced = 0;
    CamError err = CAM_OK;
    while (announced < frames_.size() &&
           (err = CamFrameAnnounce(g_hCamera, &frames_[announced], sizeof(CamFrame))) == CAM_OK)
        ++announced;
    Outcome outcome;
    if (err != CAM_OK) {
        outcome = Stopped(Step::Announce, err);
    } else if ((err = CamCaptureStart(g_hCamera)) != CAM_OK) {
        outcome = Stopped(Step::CaptureStart, err);
    } else {
        for (CamFrame& f : frames_)
            if (err == CAM_OK && (err = CamFrameQueue(g_hCamera, &f, nullptr)) != CAM_OK)
                outcome = Stopped(Step::Queue, err);
        // A camera set to take single frames is put in continuous mode for
        // the stream and back afterwards.
        const char* mode = nullptr;
        oldMode_.clear();
        if (err == CAM_OK && CamFeatureEnumGet(g_hCamera, "AcquisitionMode", &mode) == CAM_OK && mode &&
            std::strcmp(mode, "Continuous") != 0 &&
            CamFeatureEnumSet(g_hCamera, "AcquisitionMode", "Continuous") == CAM_OK)
            oldMode_ = mode;
        started_ = Clock::now();
        if (err == CAM_OK && (err = CamFeatureCommandRun(g_hCamera, "AcquisitionStart")) != CAM_OK)
            outcome = Stopped(Step::AcquisitionStart, err);
        if (err != CAM_OK) {
            if (!oldMode_.empty())
                CamFeatureEnumSet(g_hCamera, "AcquisitionMode", oldMode_.c_str());
            CamCaptureEnd(g_hCamera);
        }
    }
    if (err != CAM_OK) {
        for (size_t i = 0; i < announced; ++i)
            CamFrameRevoke(g_hCamera, &frames_[i]);
        frames_.clear();
        memory_.clear();
        return outcome;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = false;
        looping_ = true;
        call_ = nullptr;
        newest_ = nullptr;
        givenBack_.clear();
        ended_ = {};
        counts_ = {};
        history_.clear();
        arrivals_.clear();
        // Announcing read what the frames wait for: a camera running free is asked nothing more.
        trigger_ = {};
        trigger_.on = frames_.front().triggerSource != nullptr;
        trigger_.source = trigger_.on ? frames_.front().triggerSource : "";
        lastFrame_ = lastComplete_ = started_;
    }
    options_ = options;
    sourceCounters_.clear();
    newFrame_ = std::move(newFrame);
    thread_ = std::thread(&LiveStream::Run, this);
    return {};
}

Outcome LiveStream::Stop()
{
    if (!Running())
        return Ended();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    thread_.join();
    CamFeatureCommandRun(g_hCamera, "AcquisitionStop");
    const char* name = nullptr;
    double value = 0;
    for (uint32_t i = 0; options_.counters && CamStreamCounterGet(g_hCamera, i, &name, &value) == CAM_OK; ++i)
        sourceCounters_.emplace_back(name, value);
    if (!oldMode_.empty())
        CamFeatureEnumSet(g_hCamera, "AcquisitionMode", oldMode_.c_str());
    CamCaptureEnd(g_hCamera);  // takes back every frame still queued
    for (CamFrame& f : frames_)
        CamFrameRevoke(g_hCamera, &f);
    frames_.clear();
    memory_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    newest_ = nullptr;
    givenBack_.clear();
    return ended_;
}

// The camera thread's own state from one wait to the next; the mutex guards none of it.
struct LiveStream::Loop {
    Clock::time_point lastFrame;
    Clock::time_point lastAlive;  // a frame, or a triggered camera known to wait
    Clock::time_point lastNotice;
    Clock::time_point nextTrigger;
    Clock::duration triggerPeriod;
    uint64_t lastId = 0;
    bool any = false;
};

void LiveStream::Run()
{
    const auto started = Clock::now();
    Loop loop{started, started, started, started,
              std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(options_.triggerRate > 0 ? 1 / options_.triggerRate : 0))};
    // Whatever way the loop ends, calls are no longer taken: a caller
    // waiting in Call runs its task itself.
    struct EndCalls {
        LiveStream* stream;
        ~EndCalls()
        {
            std::lock_guard<std::mutex> lock(stream->mutex_);
            stream->looping_ = false;
            stream->callDoneChanged_.notify_all();
        }
    } endCalls{this};
    for (;;) {
        if (!TakeHandedOver())
            return;
        const uint32_t slice = TriggerSlice(loop);
        CamFrame* f = nullptr;
        const CamError err = CamFrameWaitNext(g_hCamera, &f, slice);
        Outcome end;
        if (WaitAgain(err, f, loop, end))
            continue;
        if (end.Failed()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ended_ = end;
            }
            if (newFrame_)
                newFrame_();
            return;
        }
        Received(f, loop);
    }
}

bool LiveStream::TakeHandedOver()
{
    std::deque<CamFrame*> back;
    const std::function<void()>* call = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_)
            return false;
        back.swap(givenBack_);
        call = std::exchange(call_, nullptr);
    }
    for (CamFrame* f : back)
        Requeue(f);
    if (call) {
        (*call)();
        ReadTrigger();  // a setting may have switched triggers on or off
        std::lock_guard<std::mutex> lock(mutex_);
        callDone_ = true;
        callDoneChanged_.notify_all();
    }
    return true;
}

uint32_t LiveStream::TriggerSlice(Loop& loop)
{
    uint32_t slice = kSliceMs;
    if (loop.triggerPeriod.count() > 0 && TriggerNow().on && TriggerNow().source == kSoftwareTrigger) {
        const auto now = Clock::now();
        if (now >= loop.nextTrigger) {
            SendTrigger();
            // Late by more than a period: the rate goes on from now rather than catching up in a burst.
            loop.nextTrigger = std::max(loop.nextTrigger + loop.triggerPeriod, now);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(loop.nextTrigger - Clock::now());
        slice = uint32_t(std::clamp<int64_t>(left.count(), 1, kSliceMs));
    }
    return slice;
}

bool LiveStream::WaitAgain(CamError err, const CamFrame* f, Loop& loop, Outcome& end)
{
    if (err == CAM_ERR_TIMEOUT) {
        const auto now = Clock::now();
        if (now - loop.lastNotice >= kWaitingNotice && TriggerNow().on) {
            loop.lastNotice = now;
            if (newFrame_)
                newFrame_();
        }
        if (now - loop.lastAlive < std::chrono::milliseconds(kFrameTimeoutMs))
            return true;
        // Silence is how a triggered camera waits; one switched to
        // triggers since the stream started is asked before it ends.
        ReadTrigger();
        const TriggerState trigger = TriggerNow();
        if (trigger.on && !options_.silenceEnds) {
            loop.lastAlive = now;
            return true;
        }
        end = Stopped(Step::Wait, CAM_ERR_TIMEOUT);
        end.triggered = trigger.on;
        end.trigger = trigger.source;
    } else if (err == CAM_ERR_BAD_SEQUENCE) {
        // No frame is queued: they are being shown, or the camera refused
        // them back. The first comes back soon; the second must not spin
        // for ever.
        if (Clock::now() - loop.lastFrame < std::chrono::milliseconds(kFrameTimeoutMs)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return true;
        }
        end = Stopped(Step::Queue, err);
    } else if (err != CAM_OK || !f) {
        end = Stopped(Step::Wait, err != CAM_OK ? err : CAM_ERR_INTERNAL);
    }
    return false;
}

void LiveStream::Received(CamFrame* f, Loop& loop)
{
    loop.lastFrame = loop.lastAlive = Clock::now();
    const auto lastFrame = loop.lastFrame;
    if (options_.everyFrame)
        options_.everyFrame(*f);
    const bool complete = f->receiveStatus == CAM_FRAME_COMPLETE;
    bool offered = false;
    CamFrame* replaced = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Counts& c = counts_;
        lastFrame_ = lastFrame;
        ++c.received;
        c.bytes += f->imageSize;
        if (loop.any && f->frameId > loop.lastId + 1)
            c.dropped += f->frameId - loop.lastId - 1;  // ids that wrap around count nothing
        // An incomplete frame is offered only when no complete one came
        // for a while, and never in place of a complete one waiting.
        offered = complete || (options_.showIncomplete && lastFrame - lastComplete_ >= kIncompleteShownAfter &&
                               (!newest_ || newest_->receiveStatus != CAM_FRAME_COMPLETE));
        if (complete)
            lastComplete_ = lastFrame;
        else
            ++c.incomplete;
        if (offered) {
            replaced = newest_;
            c.replaced += replaced && replaced->receiveStatus == CAM_FRAME_COMPLETE ? 1 : 0;
            newest_ = f;
        }
        if (options_.arrivals && arrivals_.size() < kMaxArrivals)
            arrivals_.push_back({lastFrame, complete, f->imageSize});
        if (history_.empty() || lastFrame - history_.back().first >= kRateWindow / 4)
            history_.emplace_back(lastFrame, c);
        while (history_.size() > 8)
            history_.pop_front();
    }
    loop.any = true;
    loop.lastId = f->frameId;
    if (!offered)
        Requeue(f);
    if (replaced)
        Requeue(replaced);
    if (offered && newFrame_) {
        newFrame_();
    } else if (newFrame_ && lastFrame - loop.lastNotice >= kWaitingNotice) {
        // Whoever shows the stream hears of incomplete frames too, to count them.
        loop.lastNotice = lastFrame;
        newFrame_();
    }
}

void LiveStream::Call(const std::function<void()>& task)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (looping_) {
        call_ = &task;
        callDone_ = false;
        callDoneChanged_.wait(lock, [this] { return callDone_ || !looping_; });
        // The loop ended before it took the task: nothing else calls the library now.
        if (callDone_)
            return;
        call_ = nullptr;
    }
    lock.unlock();
    task();
}

void LiveStream::ReadTrigger()
{
    const char* mode = nullptr;
    const char* source = nullptr;
    const bool on = CamFeatureEnumGet(g_hCamera, "TriggerMode", &mode) == CAM_OK && mode && !std::strcmp(mode, "On");
    if (on && (CamFeatureEnumGet(g_hCamera, "TriggerSource", &source) != CAM_OK || !source))
        source = "";
    std::lock_guard<std::mutex> lock(mutex_);
    trigger_.on = on;
    trigger_.source = on ? source : "";
}

CamError LiveStream::SendTrigger()
{
    const CamError err = CamFeatureCommandRun(g_hCamera, "TriggerSoftware");
    std::lock_guard<std::mutex> lock(mutex_);
    ++trigger_.sent;
    trigger_.refused += err != CAM_OK ? 1 : 0;
    return err;
}

CamError LiveStream::Trigger()
{
    CamError err = CAM_OK;
    Call([&] { err = SendTrigger(); });
    return err;
}

LiveStream::TriggerState LiveStream::TriggerNow() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    TriggerState t = trigger_;
    t.anyFrame = counts_.received > 0;
    t.sinceFrame = std::chrono::duration<double>(Clock::now() - lastFrame_).count();
    return t;
}

void LiveStream::Requeue(CamFrame* frame)
{
    // A frame that cannot be queued again is left out of the stream; the
    // others go on.
    CamFrameQueue(g_hCamera, frame, nullptr);
}

bool LiveStream::Take(Frame* frame)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!newest_)
        return false;
    CamFrame* f = newest_;
    newest_ = nullptr;
    ++counts_.shown;
    const bool complete = f->receiveStatus == CAM_FRAME_COMPLETE;
    counts_.incompleteShown += complete ? 0 : 1;
    *frame = {static_cast<const uint8_t*>(f->buffer), std::min<int64_t>(f->imageSize, f->bufferSize), f->width,
              f->height, f->frameId, f, complete};
    return true;
}

void LiveStream::GiveBack(const Frame& frame)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (frame.record)
        givenBack_.push_back(frame.record);
}

Outcome LiveStream::Ended() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

LiveStream::Counts LiveStream::CountsNow() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

std::vector<LiveStream::Arrival> LiveStream::Arrivals() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return arrivals_;
}

LiveStream::Rates LiveStream::RatesNow() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (history_.size() < 2)
        return {};
    const auto& [now, c] = history_.back();
    // The oldest snapshot within about a second of the newest.
    auto from = history_.begin();
    while (std::next(from) != history_.end() - 1 && now - std::next(from)->first >= kRateWindow)
        ++from;
    const double seconds = std::chrono::duration<double>(now - from->first).count();
    if (seconds <= 0)
        return {};
    return {double(c.received - from->second.received) / seconds, double(c.shown - from->second.shown) / seconds,
            double(c.bytes - from->second.bytes) / seconds / 1e6};
}

namespace {

imaging::Frame FrameOf(const LiveStream::Frame& frame)
{
    return {frame.data, uint64_t(std::max<int64_t>(0, frame.size)), static_cast<uint32_t>(g_nWidth),
            static_cast<uint32_t>(g_nHeight), g_pPixelFormat};
}

}  // namespace

bool ShowLiveFrame(const LiveStream::Frame& frame, uint32_t targetWidth, uint32_t targetHeight)
{
    if (!FitsOpenedSize(frame.width, frame.height))
        return false;
    const imaging::Frame f = FrameOf(frame);
    const uint32_t k = imaging::LiveBlock(g_pPixelFormat, f.width, f.height, targetWidth, targetHeight);
    const bool shown = k > 1 ? imaging::ReduceFrame(f, k, g_image)
                             : CopyFrameToImage(frame.data, frame.size, g_pPixelFormat, g_image);
    g_lastFrame = {};
    if (shown)
        g_lastFrame = {true, frame.frameId, std::time(nullptr), nullptr, 0};
    return shown;
}

bool KeepLiveFrame(const LiveStream::Frame& frame)
{
    g_lastFrame = {};
    if (!FitsOpenedSize(frame.width, frame.height) ||
        !CopyFrameToImage(frame.data, frame.size, g_pPixelFormat, g_image, true))
        return false;
    g_lastFrame = {true, frame.frameId, std::time(nullptr), nullptr, 0};
    if ((imaging::IsDeep(g_pPixelFormat) || g_keepFrameBuffer) && frame.size > 0) {
        if (auto* copy = static_cast<uint8_t*>(std::malloc(size_t(frame.size)))) {
            std::memcpy(copy, frame.data, size_t(frame.size));
            g_lastFrame.deep.reset(copy, [](const uint8_t* p) { std::free(const_cast<uint8_t*>(p)); });
            g_lastFrame.deepSize = frame.size;
        }
    }
    return true;
}

imaging::Picture LiveFramePicture(const LiveStream::Frame& frame)
{
    if (!FitsOpenedSize(frame.width, frame.height))
        return {};
    if (imaging::Picture deep = imaging::DeepPicture(FrameOf(frame)); !deep.IsNull())
        return deep;
    imaging::DisplayImage full;
    if (!CopyFrameToImage(frame.data, frame.size, g_pPixelFormat, full, true))
        return {};
    return imaging::Picture::FromDisplayImage(full);  // shares the pixels past full's end
}

std::string TriggerLine(const LiveStream::TriggerState& trigger, const LiveStream::Counts& counts)
{
    if (!trigger.on)
        return {};
    char line[200];
    std::snprintf(line, sizeof line, "waiting for trigger on %s, %s %.1f s ago",
                  trigger.source.empty() ? "a source it does not name" : trigger.source.c_str(),
                  trigger.anyFrame ? "last frame" : "no frame yet, started", trigger.sinceFrame);
    std::string text = line;
    if (trigger.sent > 0) {
        const uint64_t lost = trigger.sent > counts.received ? trigger.sent - counts.received : 0;
        text += ", " + std::to_string(trigger.sent) + " software triggers sent, " + std::to_string(lost) +
                " without a frame";
        if (trigger.refused)
            text += ", " + std::to_string(trigger.refused) + " refused";
    }
    return text;
}

std::string LiveLine(const LiveStream::Counts& counts, const LiveStream::Rates& rates)
{
    char shown[40] = "";
    if (counts.incompleteShown)
        std::snprintf(shown, sizeof shown, " (%llu shown)", (unsigned long long)counts.incompleteShown);
    char line[200];
    std::snprintf(line, sizeof line, "live: %.1f frames/s (shown %.1f), %.0f MB/s, %llu incomplete%s, %llu dropped",
                  rates.received, rates.shown, rates.megabytes, (unsigned long long)counts.incomplete, shown,
                  (unsigned long long)counts.dropped);
    return line;
}
