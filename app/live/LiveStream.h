// Live view's stream, beside the one-shot sequences: frames as the open
// camera sends them, the newest complete one handed to whoever shows it.
//
// Threads: the camera library is for one thread at a time. While a stream
// runs, its camera thread makes every call into the library and the
// window's thread makes none; Start makes the calls before the thread
// begins and Stop those after it has been joined. The two threads share
// only the hand-over of frames, the counters and calls handed over with
// Call (camera settings changed while streaming), under one mutex. The
// camera thread never waits longer than a short slice, so Stop returns
// promptly whatever the camera does.
#pragma once

#include "app/CameraSequences.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// count frame records over buffers of the open camera's payload size, in
// frames and memory, or why they cannot be had (then both are left empty).
Outcome MakeFrames(size_t count, std::vector<CamFrame>& frames, std::vector<std::unique_ptr<uint8_t[]>>& memory);

class LiveStream {
public:
    // Frames announced for a stream. Two may be out of the camera's queue at
    // once: one being shown and the newest waiting to be; the other six
    // cover six frame periods (200 ms at 30 frames/s) by which handing a
    // frame back may be late before the camera runs out of frames.
    static constexpr size_t kFrames = 8;
    // Arrivals kept at most (24 MiB): a check of a day at 1000 frames/s
    // would otherwise keep 2 GB of them.
    static constexpr size_t kMaxArrivals = size_t(1) << 20;

    struct Counts {
        uint64_t received = 0;    // frames the camera handed back
        uint64_t shown = 0;       // frames taken for showing
        uint64_t incomplete = 0;  // received with data missing
        uint64_t incompleteShown = 0;  // of them, taken for showing (Options::showIncomplete)
        uint64_t replaced = 0;    // complete, but a newer one came before they were taken
        uint64_t dropped = 0;     // pictures the camera made but could not send (frame ids skipped)
        uint64_t bytes = 0;       // received
    };
    struct Rates {
        double received = 0, shown = 0, megabytes = 0;  // a second, over about the last second
    };

    // A frame taken for showing; give it back when done with it.
    struct Frame {
        const uint8_t* data = nullptr;
        int64_t size = 0;  // bytes the camera filled
        uint32_t width = 0, height = 0;  // the frame's own size; 0 where unknown
        uint64_t frameId = 0;
        CamFrame* record = nullptr;
        bool complete = true;  // false: data is missing (past size, or black within it)
    };
    // How long no complete frame must have come before an incomplete one is
    // offered for showing (Options::showIncomplete).
    static constexpr auto kIncompleteShownAfter = std::chrono::seconds(1);

    // What a stream keeps beyond its counters, for the health check.
    struct Options {
        bool arrivals = false;  // when each frame came, and whether complete
        bool counters = false;  // the source's own counters, read as the stream stops
        // Called on the camera thread for every frame the camera hands back (complete or not), before the
        // frame is offered for showing; must return at once (copy what it needs, never wait).
        std::function<void(const CamFrame& frame)> everyFrame;
        // Software triggers a second, sent on the camera thread while the
        // camera's frames wait for them (TriggerSource Software); 0: none.
        double triggerRate = 0;
        // Silence ends the stream even while the camera waits for triggers:
        // the health check's, which nothing triggers unless it does so itself.
        bool silenceEnds = false;
        // Incomplete frames are offered for showing too once no complete
        // one has come for kIncompleteShownAfter (the window: what came is
        // better than a picture that stands still); never for analysis.
        bool showIncomplete = false;
    };
    // What the camera's frames wait for, and how long it has waited.
    struct TriggerState {
        bool on = false;       // TriggerMode On: silence is the camera waiting, not an end
        std::string source;    // "Line0", "Software" ...
        double sinceFrame = 0; // seconds since the last frame, or since the stream started
        bool anyFrame = false;
        uint64_t sent = 0;     // software triggers sent by the stream
        uint64_t refused = 0;  // of them, refused by the camera
    };
    struct Arrival {
        std::chrono::steady_clock::time_point time;
        bool complete = false;
        uint64_t bytes = 0;
    };

    LiveStream() = default;
    ~LiveStream();  // stops a stream still running
    LiveStream(const LiveStream&) = delete;
    LiveStream& operator=(const LiveStream&) = delete;

    // Starts streaming the open camera (g_hCamera). newFrame is called on the
    // camera thread whenever a newer frame waits to be taken, once when the
    // stream ends by itself, and about twice a second while a triggered
    // camera waits or only incomplete frames come.
    Outcome Start(std::function<void()> newFrame, Options options);
    Outcome Start(std::function<void()> newFrame);
    // Stops the stream and lets go of its frames; any taken frame must have
    // been given back. Returns why the stream had ended by itself, if it had.
    Outcome Stop();
    bool Running() const { return thread_.joinable(); }

    // Runs task where calls into the camera library may be made now: on the
    // camera thread between its waits while it streams (within a wait
    // slice), else at once on the caller's thread. Returns when it has run.
    void Call(const std::function<void()>& task);

    // The newest complete frame (or incomplete one, see
    // Options::showIncomplete), if a new one came since the last take.
    bool Take(Frame* frame);
    void GiveBack(const Frame& frame);

    // Sends one software trigger where the library may be called now (see
    // Call); the camera's refusal, if it refused.
    CamError Trigger();
    TriggerState TriggerNow() const;

    // Why the stream ended by itself (no frame in time, the camera stopped
    // answering); no failure while it goes on.
    Outcome Ended() const;
    Counts CountsNow() const;
    Rates RatesNow() const;
    // With Options::arrivals: the frames received so far (the first
    // kMaxArrivals of them), and when AcquisitionStart was sent.
    std::vector<Arrival> Arrivals() const;
    std::chrono::steady_clock::time_point Started() const { return started_; }
    // With Options::counters, after Stop: the source's counters
    // (CamStreamCounterGet) as the stream ended.
    const std::vector<std::pair<std::string, double>>& SourceCounters() const { return sourceCounters_; }

private:
    void Run();
    // Run's steps, on the camera thread.
    struct Loop;
    bool TakeHandedOver();  // frames given back and a call waiting; false: stop
    uint32_t TriggerSlice(Loop& loop);  // sends a software trigger when due; how long to wait
    // After a wait: true to wait again; else end says why the stream ends (not failed: a frame came).
    bool WaitAgain(CamError err, const CamFrame* frame, Loop& loop, Outcome& end);
    void Received(CamFrame* frame, Loop& loop);  // counted, then offered for showing or queued again
    void Requeue(CamFrame* frame);  // camera thread only
    void ReadTrigger();             // camera thread, or before it runs
    CamError SendTrigger();         // the same

    using Clock = std::chrono::steady_clock;
    std::vector<std::unique_ptr<uint8_t[]>> memory_;
    std::vector<CamFrame> frames_;
    std::function<void()> newFrame_;
    std::string oldMode_;  // "AcquisitionMode" before the stream, if the camera has it
    Options options_;
    Clock::time_point started_;
    std::vector<std::pair<std::string, double>> sourceCounters_;
    std::thread thread_;

    mutable std::mutex mutex_;  // guards what follows
    bool stop_ = false;
    bool looping_ = false;                        // the camera thread takes calls
    const std::function<void()>* call_ = nullptr; // waiting for the camera thread
    bool callDone_ = false;
    std::condition_variable callDoneChanged_;
    CamFrame* newest_ = nullptr;           // waiting to be taken
    std::deque<CamFrame*> givenBack_;      // to be queued again by the camera thread
    Outcome ended_;
    Counts counts_;
    std::deque<std::pair<Clock::time_point, Counts>> history_;  // for the rates
    std::vector<Arrival> arrivals_;
    TriggerState trigger_;
    Clock::time_point lastFrame_;
    Clock::time_point lastComplete_;  // or when the stream started
};

// Shows a live frame fitted into target pixels of targetWidth x
// targetHeight: the display image becomes the frame reduced straight to
// about that size (imaging::ReduceFrame), or the whole frame when it is not much
// larger; it is the captured frame from then on. False when it cannot be
// shown: another size than opening read, or a format that cannot be shown.
bool ShowLiveFrame(const LiveStream::Frame& frame, uint32_t targetWidth, uint32_t targetHeight);
// Makes a live frame the captured frame as a grab does: the display image
// at full size, and a deep frame kept as it came, for saving at full depth.
bool KeepLiveFrame(const LiveStream::Frame& frame);
// The frame at full resolution and depth, converted now, for saving or
// copying while live view goes on.
imaging::Picture LiveFramePicture(const LiveStream::Frame& frame);

// Where a triggered camera waits: "waiting for trigger on Line0, last frame
// 2.5 s ago", with the software triggers sent and how many gave no frame.
std::string TriggerLine(const LiveStream::TriggerState& trigger, const LiveStream::Counts& counts);

// The tooltip's live line: "live: 30.0 frames/s (shown 30.0), 180 MB/s, 0 incomplete, 0 dropped",
// with "12 incomplete (3 shown)" once incomplete frames were shown.
std::string LiveLine(const LiveStream::Counts& counts, const LiveStream::Rates& rates);
