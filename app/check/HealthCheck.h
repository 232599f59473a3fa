// The health check: a stream of the open camera measured, its pictures
// summed up, and each finding judged ok, warn or fail. Words and layout of
// the report are CheckReport's business.
#pragma once

#include "app/CameraSequences.h"
#include "app/network/HostNetwork.h"
#include "platform/imaging/stats/PictureStats.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct CheckOptions {
    uint64_t frames = 100;         // stop after this many frames ...
    double seconds = 0;            // ... or, when above 0, after this long instead
    double maxRateShortfall = 10;  // per cent below the camera's rate before a warning
    double maxClipped = 1;         // per cent of a channel's samples at either end
    // Triggers: empty runs the camera free. "software" sets TriggerMode On
    // with source Software and fires TriggerSoftware frames times (or for
    // seconds) at triggerRate a second (0: each once the one before has its
    // frame); "line0" ... waits for the camera's input line and counts its
    // frames against expectRate a second (0: not counted).
    std::string trigger;
    double triggerRate = 0;
    double expectRate = 0;
    double maxClockDrift = 200;  // ppm the camera's clock may run off the host's before a warning
    // When set, the stream stops by then whatever frames or seconds say, and
    // the result holds what came until then (a scrape that will give up).
    std::chrono::steady_clock::time_point deadline{};
    // When set, the stream stops as at the deadline once it turns true.
    const std::atomic<bool>* cancel = nullptr;
    // Called now and then while frames come: received so far, frames a second.
    std::function<void(uint64_t received, double rate)> progress;
    // Asked between waits of a check's stream: whether to end it now (a
    // stop signal came), so that the trigger and pixel format are put back.
    std::function<bool()> stopRequested;
};

enum class Level { Ok, Warn, Fail };

// A picture each of whose channels spreads less than this (standard
// deviation, in levels of 255) is taken for near-uniform: a lens cap, a
// dark room, a camera looking at a wall.
constexpr double kUniformDeviation = 2.0;

struct Check {
    std::string name;  // "frames", "completeness", "packets", "rate", "packet_size", "exposure", "picture",
                       // "trigger", "clock"
    Level level = Level::Ok;
    std::string detail;
};

// A stretch of a recording's frames that failed one of its checks.
struct FailedFrames {
    std::string check;             // "frozen", "lost", "incomplete", "unreadable", "interval"
    uint64_t first = 0, last = 0;  // indexes in the recording, both included
};

struct CheckResult {
    // The camera.
    std::string id, name, source;
    std::string vendor, model, serial, firmware;  // empty where the camera lacks the feature
    std::string transport;                        // "GigE Vision", "USB3 Vision", "simulated"
    // GigE Vision link; empty or -1 where unknown.
    std::string address, interfaceName, interfaceAddress;
    bool loopback = false;
    int64_t mtu = -1, speedMbps = -1, packetSize = -1, packetDelay = -1;
    // The interface's subnet, and whether it holds an address that is not
    // link-local: a camera outside it, or link-local beside it, is hard to reach.
    std::string interfaceMask;
    bool interfaceOtherAddress = false;
    std::vector<Subnet> interfaceOtherSubnets;
    // What stopped things before or during the stream, if anything did.
    Outcome opened, ended;
    // The deadline or a cancel stopped the stream before its first frame:
    // the camera was not judged, whatever the checks say.
    bool outOfTime = false;
    // The camera's own pixel format when the check asked for another and
    // could not put it back (the camera lost, or it refused).
    std::string formatNotPutBack;
    // The stream.
    uint64_t asked = 0;  // 0 with --seconds
    double seconds = 0;
    uint64_t completed = 0, incomplete = 0, timedOut = 0, dropped = 0, bytes = 0;
    std::optional<double> cameraRate;  // frames a second the camera says it sends
    std::string cameraRateFeature;
    std::optional<double> measuredRate, megabytesPerSecond, firstFrameMs;
    std::optional<double> intervalMedianMs, intervalP99Ms, intervalMaxMs;
    std::vector<std::pair<std::string, double>> counters;  // the source's own
    // Triggers (CheckOptions::trigger); all 0 or empty when it ran free.
    std::string triggerSource;         // the camera's TriggerSource entry: "Software", "Line0"
    // What the acquisition's own trigger (TriggerSelector AcquisitionStart)
    // waits for when it is on; empty when off or the camera has none.
    std::string acquisitionTrigger;
    double triggerRate = 0;            // software triggers a second asked; 0: each after the last frame
    std::optional<double> frameTimeMs;  // the camera's own time from a trigger to its frame: delay,
                                        // exposure and readout at the camera's rate; unknown if unread
    double windowMs = 0;               // a trigger without a frame this long after it is missed
    uint64_t triggersSent = 0, triggersAnswered = 0, missedTriggers = 0, extraFrames = 0;
    std::optional<double> latencyMedianMs, latencyP99Ms, latencyMaxMs;  // trigger sent to frame received
    double expectRate = 0;                  // a line's frames a second expected; 0: not counted
    std::optional<double> expectedFrames;   // at that rate over the time the frames came in
    std::optional<double> intervalJitterMs;  // standard deviation of the intervals between frames
    // The camera's clock, from frames that carry its timestamp.
    uint64_t clockFrames = 0;
    uint64_t clockStretchFrames = 0;  // of them, in the longest stretch without a fault: the drift's
    std::optional<double> clockDriftPpm;  // its rate against the host's, less 1, in millionths
    std::optional<double> clockDriftSpreadPpm;  // how far off the transfer's jitter may have put it
    // Receive time less timestamp, beyond the smallest of them (the
    // transfer's delay over its quickest), with the drift taken out.
    std::optional<double> clockOffsetMedianMs, clockOffsetMaxMs;
    uint64_t clockBackwards = 0, clockJumps = 0;  // steps back, and jumps of over a second
    // The pictures.
    std::string pixelFormat;
    int64_t width = 0, height = 0;
    imaging::PictureSummary picture;
    // Complete frames taken for the picture that could not be summed up,
    // and why the first of them could not: another size than the camera
    // reported, or a pixel format Tarvik does not know.
    uint64_t notAnalysed = 0;
    std::string notAnalysedReason;
    // A recording's check (--check --play): its path (empty for a camera),
    // what its CSV says was lost beyond the ids skipped (dropped above), and
    // the frames that failed, for finding them in the recording.
    std::string recording;
    uint64_t droppedByTarvik = 0, refused = 0, failedToWrite = 0;
    std::vector<FailedFrames> failedFrames;
    // Judged.
    std::vector<Check> checks;
    Level verdict = Level::Ok;
};

// Checks the camera OpenCamera has opened (the library's g_hCamera): its
// features, then a stream of options.frames frames (or options.seconds).
// The camera stays open.
CheckResult CheckOpenCamera(const CheckOptions& options);

// Opens the camera open names, checks it as CheckOpenCamera does, releases
// it and judges the result. A camera that does not open gives a result whose
// opened says why, judged as failing.
CheckResult CheckCamera(const OpenOptions& open, const CheckOptions& options);

// Fills result.checks and result.verdict from what was measured.
void Judge(CheckResult& result, const CheckOptions& options);

// What is wrong between a GigE camera's address and the interface reaching
// it (see NetworkWarnings); empty for other cameras.
std::vector<NetworkWarning> LinkWarnings(const CheckResult& result);

const char* LevelName(Level level);  // "ok", "warn", "fail"
