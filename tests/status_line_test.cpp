// The viewer's status line: what it says of the camera, live view, a trigger
// awaited, a recording, frames that come only incomplete and a failure.
#include "app/viewer/StatusLine.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

StatusFacts Camera()
{
    StatusFacts f;
    f.cameraId = "sim-0";
    f.cameraName = "Simulated camera 0";
    f.width = 1292, f.height = 964;
    f.pixelFormat = "BayerRG8";
    f.frameShown = true;
    f.frameId = 41;
    return f;
}

StatusFacts Live()
{
    StatusFacts f = Camera();
    f.live = true;
    f.counts.received = 300, f.counts.shown = 290, f.counts.bytes = 1;
    f.rates = {30, 29.5, 37.4};
    return f;
}

const std::string kCamera = "Simulated camera 0 (sim-0), 1292 × 964, BayerRG8, frame 41";
const std::string kLive = kCamera + ", live: 30.0 frames/s (shown 29.5), 37 MB/s, 0 incomplete, 0 dropped";

TEST(StatusLine, Texts)
{
    const struct {
        const char* name;
        std::function<void(StatusFacts&)> change;
        bool live;
        std::string expected;
    } rows[] = {
        {"no camera", [](StatusFacts& f) { f = {}; }, false, "No camera open"},
        {"no camera, a failure", [](StatusFacts& f) { f = {}, f.lastFailure = "open failed: no camera found"; },
         false, "No camera open\nopen failed: no camera found"},
        {"camera at rest, no frame", [](StatusFacts& f) { f.frameShown = false; }, false,
         "Simulated camera 0 (sim-0), 1292 × 964, BayerRG8"},
        {"a camera without a name", [](StatusFacts& f) { f.cameraName.clear(); }, false,
         "sim-0 (sim-0), 1292 × 964, BayerRG8, frame 41"},
        {"a grabbed frame", [](StatusFacts&) {}, false, kCamera},
        {"live, counts and rates",
         [](StatusFacts& f) { f.counts.incomplete = 2, f.counts.dropped = 7; }, true,
         kCamera + ", live: 30.0 frames/s (shown 29.5), 37 MB/s, 2 incomplete, 7 dropped"},
        {"waiting for Line0",
         [](StatusFacts& f) { f.trigger = {true, "Line0", 2.5, true, 0, 0}; }, true,
         kLive + "\nwaiting for trigger on Line0, last frame 2.5 s ago"},
        {"waiting for a software trigger: the key that sends one",
         [](StatusFacts& f) { f.frameShown = false, f.counts = {}, f.rates = {}, f.trigger = {true, "Software", 4, false, 0, 0}; },
         true,
         "Simulated camera 0 (sim-0), 1292 × 964, BayerRG8, live: 0.0 frames/s (shown 0.0), 0 MB/s, 0 incomplete, "
         "0 dropped\nwaiting for trigger on Software, no frame yet, started 4.0 s ago (Ctrl+T sends one)"},
        {"only incomplete frames, none shown yet",
         [](StatusFacts& f) { f.frameShown = false, f.counts.incomplete = f.counts.received = 12, f.counts.shown = 0; },
         true,
         "Simulated camera 0 (sim-0), 1292 × 964, BayerRG8, live: 30.0 frames/s (shown 29.5), 37 MB/s, "
         "12 incomplete, 0 dropped\nonly incomplete frames come (12 so far)"},
        {"only incomplete frames, shown with their gaps black",
         [](StatusFacts& f) { f.counts.incomplete = f.counts.received = 40, f.counts.incompleteShown = 5; }, true,
         kCamera + ", live: 30.0 frames/s (shown 29.5), 37 MB/s, 40 incomplete (5 shown), 0 dropped\n"
                   "only incomplete frames come (40 so far): what did not arrive is black"},
        {"some incomplete among complete ones: nothing more to say",
         [](StatusFacts& f) { f.counts.incomplete = 3; }, true,
         kCamera + ", live: 30.0 frames/s (shown 29.5), 37 MB/s, 3 incomplete, 0 dropped"},
        {"recording to a file",
         [](StatusFacts& f) {
             f.recording = true, f.recordPath = "/tmp/shots/run 1.mkv";
             f.record.written = 1234, f.record.queueDropped = 2, f.record.seconds = 3725.9,
             f.record.megabytesPerSecond = 112.4;
         },
         true, kLive + "\nREC run 1.mkv 1:02:05, recording: 1234 frames, 2 dropped, 112 MB/s"},
        {"recording into a folder, just begun",
         [](StatusFacts& f) { f.recording = true, f.recordPath = "frames/", f.record.seconds = 0.4; }, true,
         kLive + "\nREC frames/ 0:00:00, recording: 0 frames, 0 dropped, 0 MB/s"},
        {"trigger, recording and a failure together",
         [](StatusFacts& f) {
             f.trigger = {true, "Line1", 0.1, true, 0, 0};
             f.recording = true, f.recordPath = "a.tif", f.record.seconds = 61;
             f.lastFailure = "cannot send a software trigger: refused";
         },
         true,
         kLive + "\nwaiting for trigger on Line1, last frame 0.1 s ago, REC a.tif 0:01:01, recording: 0 frames, "
                 "0 dropped, 0 MB/s, cannot send a software trigger: refused"},
        {"live view's counts only while it runs",
         [](StatusFacts& f) { f.trigger = {true, "Line0", 2.5, true, 0, 0}, f.counts.incomplete = 300; }, false,
         kCamera},
    };
    for (const auto& row : rows) {
        StatusFacts f = row.live ? Live() : Camera();
        row.change(f);
        EXPECT_EQ(StatusLine(f), row.expected) << row.name;
    }
}

}  // namespace
