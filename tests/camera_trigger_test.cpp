// The simulated camera's triggers and clock through the C interface: a frame
// per accepted trigger, triggers lost while the camera is busy, input lines
// that trigger on their own, and a clock that drifts or misbehaves.
#include "platform/camera/cam.h"
#include "platform/camera/camsim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// One simulated camera streaming into three small frames, with the settings
// given as NAME=VALUE applied before the acquisition starts.
class Triggered {
public:
    Triggered(const std::string& sim, const std::vector<std::pair<const char*, const char*>>& features)
    {
        unsetenv("TARVIK_CAMERAS");
        setenv("TARVIK_SIM", ("width=16,height=8,formats=Mono8" + (sim.empty() ? "" : "," + sim)).c_str(), 1);
        EXPECT_EQ(CamStartup(), CAM_OK);
        EXPECT_EQ(CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce"), CAM_OK);
        EXPECT_EQ(CamCameraOpen("sim-0", CAM_ACCESS_CONTROL, &h), CAM_OK);
        for (const auto& [name, value] : features)
            EXPECT_EQ(CamFeatureValueSet(h, name, value), CAM_OK) << name << "=" << value;
        for (size_t i = 0; i < 3; ++i) {
            records[i].buffer = buffers[i];
            records[i].bufferSize = sizeof buffers[i];
            EXPECT_EQ(CamFrameAnnounce(h, &records[i], sizeof records[i]), CAM_OK);
        }
        EXPECT_EQ(CamCaptureStart(h), CAM_OK);
        for (CamFrame& f : records)
            EXPECT_EQ(CamFrameQueue(h, &f, nullptr), CAM_OK);
        EXPECT_EQ(CamFeatureCommandRun(h, "AcquisitionStart"), CAM_OK);
    }
    ~Triggered()
    {
        CamShutdown();
        unsetenv("TARVIK_SIM");
    }
    // The next frame within ms, queued again at once; null on a time-out.
    CamFrame* Next(uint32_t ms)
    {
        CamFrame* f = nullptr;
        if (CamFrameWaitNext(h, &f, ms) != CAM_OK)
            return nullptr;
        EXPECT_EQ(CamFrameQueue(h, f, nullptr), CAM_OK);
        return f;
    }
    double Counter(const char* wanted)
    {
        const char* name = nullptr;
        double value = 0;
        for (uint32_t i = 0; CamStreamCounterGet(h, i, &name, &value) == CAM_OK; ++i)
            if (!std::strcmp(name, wanted))
                return value;
        ADD_FAILURE() << "no counter " << wanted;
        return -1;
    }

    CamHandle h = 0;
    uint8_t buffers[3][16 * 8];
    CamFrame records[3] = {};
};

// rate=1000: a frame's readout takes 1 ms; ExposureTime 1000 us: the camera
// is busy 2 ms from each trigger (plus its delay).
const char* const kFast = "rate=1000";

// Software triggers: a frame for each one the camera takes, none without,
// triggers fired while it is busy lost and counted, and one that ignores
// them sends nothing.
TEST(SimTriggers, SoftwareTriggerGivesOneFrameEach)
{
    const struct {
        const char* name;
        const char* sim;
        const char* delayUs;
        int burst;            // triggers fired back to back each time
        int frames, missed;   // over three bursts
        double minLatencyMs;  // from the first trigger of a burst to its frame
    } rows[] = {
        {"one each", kFast, "0", 1, 3, 0, 2},
        {"with a delay", kFast, "15000", 1, 3, 0, 17},
        {"fired while busy", kFast, "0", 3, 3, 6, 2},
        {"camera ignores them", "rate=1000,software_trigger=ignored", "0", 1, 0, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Triggered cam(row.sim, {{"TriggerMode", "On"},
                                {"TriggerSource", "Software"},
                                {"ExposureTime", "1000"},
                                {"TriggerDelay", row.delayUs}});
        EXPECT_EQ(cam.Next(30), nullptr) << "a frame without a trigger";
        int frames = 0;
        uint64_t lastId = 0;
        for (int b = 0; b < 3; ++b) {
            const auto fired = Clock::now();
            for (int i = 0; i < row.burst; ++i)
                ASSERT_EQ(CamFeatureCommandRun(cam.h, "TriggerSoftware"), CAM_OK);
            if (CamFrame* f = cam.Next(row.frames ? 1000 : 50)) {
                EXPECT_GE(MsSince(fired), row.minLatencyMs);
                EXPECT_EQ(f->receiveStatus, CAM_FRAME_COMPLETE);
                EXPECT_TRUE(frames == 0 || f->frameId == lastId + 1) << "frame ids count frames sent";
                lastId = f->frameId;
                ++frames;
            }
            EXPECT_EQ(cam.Next(20), nullptr) << "a second frame for one trigger";
        }
        EXPECT_EQ(frames, row.frames);
        EXPECT_EQ(cam.Counter("n_missed_triggers"), row.missed);
    }
}

// An input line triggers by itself: a frame per edge while the camera keeps
// up, about every other one lost when its frame takes longer than the period;
// the acquisition's own trigger holds back a free-running stream until it
// fires; triggers off leave the camera running free.
TEST(SimTriggers, LinesAndSelectors)
{
    const struct {
        const char* name;
        const char* sim;
        std::vector<std::pair<const char*, const char*>> features;
        int frames;            // waited for, each within 500 ms
        double minMs, maxMs;   // from the acquisition start to the last of them
        bool missesSome;
    } rows[] = {
        {"rising edges at 100 Hz", "rate=1000,line0=100",
         {{"TriggerMode", "On"}, {"TriggerSource", "Line0"}, {"ExposureTime", "1000"}}, 10, 85, 400, false},
        {"falling edges, jittered", "rate=1000,line1=100,line_jitter=2000",
         {{"TriggerMode", "On"}, {"TriggerSource", "Line1"}, {"TriggerActivation", "FallingEdge"},
          {"ExposureTime", "1000"}},
         10, 80, 400, false},
        {"frames longer than the period", "rate=1000,line0=200",
         {{"TriggerMode", "On"}, {"TriggerSource", "Line0"}, {"ExposureTime", "6000"}}, 6, 50, 400, true},
        {"a line the trigger does not listen to", "rate=1000,line1=100",
         {{"TriggerMode", "On"}, {"TriggerSource", "Line0"}}, 0, 0, 0, false},
        {"acquisition trigger on a line, then free", "rate=200,line0=20",
         {{"TriggerSelector", "AcquisitionStart"}, {"TriggerMode", "On"}, {"TriggerSource", "Line0"}}, 5, 20, 400,
         false},
        {"triggers off", "rate=200,line0=10", {{"TriggerSource", "Line0"}}, 5, 20, 300, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto start = Clock::now();
        Triggered cam(row.sim, row.features);
        int frames = 0;
        while (frames < row.frames && cam.Next(500))
            ++frames;
        EXPECT_EQ(frames, row.frames);
        if (row.frames) {
            EXPECT_GE(MsSince(start), row.minMs);
            EXPECT_LE(MsSince(start), row.maxMs);
        } else {
            EXPECT_EQ(cam.Next(100), nullptr);
        }
        EXPECT_EQ(cam.Counter("n_missed_triggers") > 0, row.missesSome);
    }
}

// The camera's clock: a drift in ppm shows between frames, a latch reads it,
// a reset restarts it, and its faults step it back or ahead once, at the
// fifth frame.
TEST(SimTriggers, CameraClock)
{
    const struct {
        const char* name;
        const char* sim;
        double ppm;           // expected drift, within 300 ppm of timing noise
        int64_t stepAtFifth;  // 0: none; <0 backwards; >0 ahead by at least this much ns
    } rows[] = {
        {"true", "rate=50", 0, 0},
        {"fast", "rate=50,clock_ppm=5000", 5000, 0},
        {"slow", "rate=50,clock_ppm=-5000", -5000, 0},
        {"backwards", "rate=50,clock=backwards", 0, -1},
        {"jump", "rate=50,clock=jump", 0, int64_t(3000) * 1000000000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Triggered cam(row.sim, {});
        std::vector<std::pair<uint64_t, uint64_t>> stamps;  // camera, host
        for (int i = 0; i < 12; ++i) {
            CamFrame* f = cam.Next(1000);
            ASSERT_NE(f, nullptr);
            stamps.push_back({f->timestamp, f->frameId});
        }
        const int64_t fifthStep = int64_t(stamps[4].first) - int64_t(stamps[3].first);
        if (row.stepAtFifth < 0)
            EXPECT_LT(fifthStep, 0);
        else if (row.stepAtFifth > 0)
            EXPECT_GT(fifthStep, row.stepAtFifth);
        else
            EXPECT_GT(fifthStep, 0);
        // Frames of a stream are stamped a frame period (20 ms) apart on the
        // camera's clock, so the drift shows in each period.
        const double camNs = double(stamps[11].first - stamps[5].first);
        const double hostNs = double(stamps[11].second - stamps[5].second) * 20e6;
        EXPECT_NEAR((camNs / hostNs - 1) * 1e6, row.ppm, 300);
    }

    Triggered cam("rate=50", {});
    const char* text = nullptr;
    ASSERT_EQ(CamFeatureCommandRun(cam.h, "TimestampLatch"), CAM_OK);
    ASSERT_EQ(CamFeatureValueGet(cam.h, "TimestampLatchValue", &text), CAM_OK);
    const uint64_t first = std::strtoull(text, nullptr, 10);
    EXPECT_GT(first, 0u);
    EXPECT_EQ(CamFeatureValueSet(cam.h, "TimestampLatchValue", "5"), CAM_ERR_ACCESS_DENIED);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(CamFeatureCommandRun(cam.h, "TimestampLatch"), CAM_OK);
    ASSERT_EQ(CamFeatureValueGet(cam.h, "TimestampLatchValue", &text), CAM_OK);
    EXPECT_GE(std::strtoull(text, nullptr, 10), first + 20000000);
    ASSERT_EQ(CamFeatureCommandRun(cam.h, "TimestampReset"), CAM_OK);
    ASSERT_EQ(CamFeatureCommandRun(cam.h, "TimestampLatch"), CAM_OK);
    ASSERT_EQ(CamFeatureValueGet(cam.h, "TimestampLatchValue", &text), CAM_OK);
    EXPECT_LT(std::strtoull(text, nullptr, 10), first);
}

// The trigger features by SFNC name: their entries, selected per trigger, and
// a source the camera lacks refused with the list.
TEST(SimTriggers, Features)
{
    Triggered cam("", {{"TriggerSelector", "AcquisitionStart"}, {"TriggerMode", "On"}});
    const char* text = nullptr;
    ASSERT_EQ(CamFeatureValueSet(cam.h, "TriggerSelector", "FrameStart"), CAM_OK);
    ASSERT_EQ(CamFeatureValueGet(cam.h, "TriggerMode", &text), CAM_OK);
    EXPECT_STREQ(text, "Off") << "each trigger has its own mode";
    const struct {
        const char* name;
        const char* value;
        CamError expected;
    } rows[] = {
        {"TriggerSource", "Line2", CAM_ERR_INVALID_VALUE}, {"TriggerSource", "Line1", CAM_OK},
        {"TriggerActivation", "AnyEdge", CAM_ERR_INVALID_VALUE}, {"TriggerDelay", "-1", CAM_ERR_INVALID_VALUE},
        {"TriggerDelay", "250.5", CAM_OK}, {"TriggerSoftware", "", CAM_OK},
        {"TriggerMode", "Maybe", CAM_ERR_INVALID_VALUE},
    };
    for (const auto& row : rows)
        EXPECT_EQ(CamFeatureValueSet(cam.h, row.name, row.value), row.expected) << row.name << "=" << row.value;
    CamFeatureInfo info{};
    ASSERT_EQ(CamFeatureInfoGet(cam.h, "TriggerSource", &info, sizeof info), CAM_OK);
    ASSERT_EQ(info.entryCount, 3u);
    EXPECT_STREQ(info.entries[0], "Software");
    EXPECT_STREQ(info.entries[2], "Line1");
}

// The settings keys of the lines, the clock and the faults.
TEST(SimTriggers, SettingsKeys)
{
    cam::SimSettings s;
    std::string error;
    ASSERT_EQ(cam::ParseSimSettings("line0=100,line1=0.5,line_jitter=250,clock_ppm=-40,clock=jump,"
                                    "software_trigger=ignored",
                                    &s, &error),
              CAM_OK)
        << error;
    EXPECT_EQ(s.lineHz[0], 100);
    EXPECT_EQ(s.lineHz[1], 0.5);
    EXPECT_EQ(s.lineJitterUs, 250);
    EXPECT_EQ(s.clockPpm, -40);
    EXPECT_EQ(s.clockFault, cam::SimSettings::ClockFault::Jump);
    EXPECT_TRUE(s.ignoresSoftwareTrigger);
    ASSERT_EQ(cam::ParseSimSettings("software_trigger=refused", &s, &error), CAM_OK) << error;
    EXPECT_TRUE(s.refusesSoftwareTrigger);
    EXPECT_FALSE(s.ignoresSoftwareTrigger);
    // Every key is named where an unknown one is refused.
    EXPECT_EQ(cam::ParseSimSettings("gain=3", &s, &error), CAM_ERR_BAD_CONFIG);
    EXPECT_NE(error.find("line0, line1, line_jitter, clock_ppm, clock, software_trigger"), std::string::npos) << error;
    for (const char* bad : {"line0=0", "line0=-5", "line1=fast", "line0=20000", "line_jitter=-1", "clock_ppm=1e6",
                            "clock_ppm=", "clock=sideways", "software_trigger=maybe"}) {
        EXPECT_EQ(cam::ParseSimSettings(bad, &s, &error), CAM_ERR_BAD_CONFIG) << bad;
        EXPECT_NE(error.find(std::string(bad).substr(0, std::string(bad).find('='))), std::string::npos) << error;
    }
}

}  // namespace
