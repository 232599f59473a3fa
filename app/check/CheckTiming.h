// The check's timing beyond the free-running stream: a triggered stream run
// on the caller's thread (software triggers fired at a rate and matched to
// the frames they bring, or frames from an input line counted), and the
// camera's clock measured against the host's from the frames' times.
#pragma once

#include "HealthCheck.h"
#include "app/live/LiveStream.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// A frame's two times (see CamFrame).
struct FrameClock {
    uint64_t timestamp = 0;    // the camera's clock, ns; 0: none
    uint64_t receiveTime = 0;  // CLOCK_REALTIME, ns
};

// The trigger word of --trigger as the camera's TriggerSource entry:
// "software" is "Software", "line0" "Line0" (any case); empty for any other word.
std::string TriggerSourceOf(const std::string& word);

struct TriggeredStream {
    Outcome ended;  // why it stopped early, if it did
    std::vector<LiveStream::Arrival> arrivals;  // the first LiveStream::kMaxArrivals frames
    uint64_t completed = 0, incomplete = 0, bytes = 0;  // every frame's
    std::chrono::steady_clock::time_point lastArrival;  // the last frame's, kept or not
    std::vector<std::pair<std::string, double>> counters;  // the source's own, as it stopped
    uint64_t dropped = 0;                                  // frame ids skipped
    uint64_t sent = 0, answered = 0, missed = 0, extra = 0;
    // Trigger sent to frame received: the first LiveStream::kMaxArrivals
    // answered triggers', and the largest of all.
    std::vector<double> latenciesMs;
    double latencyMaxMs = 0;
    std::chrono::steady_clock::time_point started;
};

// Streams the open camera (set to TriggerMode On with options.trigger's
// source) on this thread. Software: fires TriggerSoftware options.frames
// times (or for options.seconds), at options.triggerRate a second or, at 0,
// each once the one before has its frame, never two closer than
// frameTimeMs (the camera's own time from a trigger to its frame; 0: not
// known, half a period); a frame answers the last trigger sent at least a
// little less than frameTimeMs before it, or the oldest, and the triggers
// before that one are missed, as is one with no frame within windowMs; a
// frame no trigger asked for is extra. A line: takes
// the frames as they come, for as long, giving up after silenceMs without
// one. frame is called for every frame received, before it is queued again;
// analyse tells whether there is time to look at its picture now.
TriggeredStream RunTriggeredStream(const CheckOptions& options, double frameTimeMs, double windowMs,
                                   double silenceMs,
                                   const std::function<void(const CamFrame& frame, bool analyse)>& frame);

// Fills the clock fields of r from the frames' times: the drift of the
// camera's clock against the host's over the longest stretch without a
// fault, from the earliest-arriving frames at either end (transfer delays
// only ever add), the offsets beyond the smallest, and the steps back or
// jumps between frames.
void MeasureClock(const std::vector<FrameClock>& frames, CheckResult& r);
