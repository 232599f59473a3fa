// The health check's judgement: each finding against its threshold, at and
// beside the edge, and the verdict as the worst of them; the report of a
// camera that did not open.
#include "app/check/CheckReport.h"
#include "app/check/CheckTiming.h"
#include "app/check/HealthCheck.h"
#include "app/check/LinkInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

namespace {

// A clean GigE camera's result: every frame complete at the camera's rate, a
// picture with detail, jumbo packets on a 9000-byte link.
CheckResult Clean()
{
    CheckResult r;
    r.transport = "GigE Vision";
    r.mtu = 9000;
    r.packetSize = 8996;
    r.asked = r.completed = 100;
    r.cameraRate = 30;
    r.measuredRate = 30;
    r.counters = {{"n_missing_packets", 0}, {"n_resent_packets", 0}};
    r.picture.frames = 51;
    r.picture.changed = 50;
    r.picture.channels = {{"grey", 1000, 120, 40, 0, 255, 0.002, 0.001}};
    return r;
}

TEST(Judge, EachFindingAgainstItsThreshold)
{
    const struct {
        const char* name;
        void (*change)(CheckResult&);
        const char* check;
        Level level;
        Level verdict;
    } cases[] = {
        {"clean", [](CheckResult&) {}, "packets", Level::Ok, Level::Ok},
        {"no complete frame", [](CheckResult& r) { r.completed = 0, r.incomplete = 100; }, "frames", Level::Fail,
         Level::Fail},
        {"one incomplete", [](CheckResult& r) { r.incomplete = 1; }, "completeness", Level::Fail, Level::Fail},
        {"timed out", [](CheckResult& r) { r.timedOut = 3; }, "completeness", Level::Fail, Level::Fail},
        {"stream stopped", [](CheckResult& r) { r.ended = Stopped(Step::Wait, CAM_ERR_IO); }, "completeness",
         Level::Fail, Level::Fail},
        {"missing packets", [](CheckResult& r) { r.counters[0].second = 1; }, "packets", Level::Fail, Level::Fail},
        {"resent packets", [](CheckResult& r) { r.counters[1].second = 4; }, "packets", Level::Warn, Level::Warn},
        {"rate 10 % short", [](CheckResult& r) { r.measuredRate = 27.0; }, "rate", Level::Ok, Level::Ok},
        {"rate more than 10 % short", [](CheckResult& r) { r.measuredRate = 26.9; }, "rate", Level::Warn, Level::Warn},
        {"rate unknown", [](CheckResult& r) { r.cameraRate.reset(); }, "rate", Level::Ok, Level::Ok},
        {"jumbo frames unused", [](CheckResult& r) { r.packetSize = 1500; }, "packet_size", Level::Warn, Level::Warn},
        {"standard MTU", [](CheckResult& r) { r.mtu = 1500, r.packetSize = 1500; }, "packet_size", Level::Ok,
         Level::Ok},
        {"loopback", [](CheckResult& r) { r.loopback = true, r.packetSize = 1400; }, "packet_size", Level::Ok,
         Level::Ok},
        {"1 % clipped", [](CheckResult& r) { r.picture.channels[0].bright = 0.01; }, "exposure", Level::Ok, Level::Ok},
        {"more than 1 % clipped", [](CheckResult& r) { r.picture.channels[0].dark = 0.0101; }, "exposure", Level::Warn,
         Level::Warn},
        {"frozen", [](CheckResult& r) { r.picture.changed = 0; }, "picture", Level::Warn, Level::Warn},
        {"lens cap", [](CheckResult& r) { r.picture.channels[0].deviation = 1.9; }, "picture", Level::Warn,
         Level::Warn},
        {"no frame analysed", [](CheckResult& r) { r.notAnalysed = 3, r.picture = {}; }, "frames", Level::Fail,
         Level::Fail},
        {"a frame not analysed", [](CheckResult& r) { r.notAnalysed = 1; }, "frames", Level::Fail, Level::Fail},
        {"no frame at all", [](CheckResult& r) { r.completed = 0, r.measuredRate.reset(); }, "completeness",
         Level::Fail, Level::Fail},
        {"not opened", [](CheckResult& r) { r.opened = Stopped(Step::Open, CAM_ERR_ACCESS_DENIED, "x"); }, "open",
         Level::Fail, Level::Fail},
    };
    for (const auto& c : cases) {
        CheckResult r = Clean();
        c.change(r);
        Judge(r, CheckOptions{});
        std::map<std::string, Level> levels;
        for (const Check& k : r.checks)
            levels[k.name] = k.level;
        ASSERT_EQ(levels.count(c.check), 1u) << c.name;
        EXPECT_EQ(levels[c.check], c.level) << c.name << ": " << c.check;
        EXPECT_EQ(r.verdict, c.verdict) << c.name;
    }
}

// The clock's drift judged from frames' times made up as a host delivers
// them: a floor of 300 us, up to 400 us more (spread evenly, in an order
// without a pattern), and a host busy through a stretch of the run, which
// raises every frame's delay in it. A true clock never reads as drifting;
// one that does drift still does, jitter and all.
TEST(Judge, ClockDriftOnABusyHost)
{
    const struct {
        const char* name;
        double ppm;                    // the camera's clock, fast by
        double hz;                     // frames a second
        int frames;
        int busyFrom, busyTo;          // frames delivered late ...
        double busyUs;                 // ... by this much more
        Level level;
    } rows[] = {
        {"true clock, last third busy", 0, 25, 100, 67, 100, 1700, Level::Ok},
        {"true clock, first third busy", 0, 25, 100, 0, 33, 1700, Level::Ok},
        {"true clock, busy from the middle on", 0, 25, 100, 50, 100, 2500, Level::Ok},
        {"true clock, busy for the last sixth", 0, 25, 100, 84, 100, 3000, Level::Ok},
        {"true clock, a quiet host", 0, 25, 100, 0, 0, 0, Level::Ok},
        {"clock 1000 ppm fast", 1000, 25, 100, 0, 0, 0, Level::Warn},
        {"clock 1000 ppm slow, a busy sixth in the middle", -1000, 25, 100, 40, 57, 1000, Level::Warn},
        {"clock 30000 ppm fast, 1.4 s", 30000, 50, 70, 0, 0, 0, Level::Warn},
        // A drift as large as a sixth's jitter must not pass for jitter itself.
        {"clock 300 ppm fast, a quiet host", 300, 25, 100, 0, 0, 0, Level::Warn},
        {"clock 300 ppm slow, a quiet host", -300, 25, 100, 0, 0, 0, Level::Warn},
    };
    for (const auto& row : rows) {
        std::vector<FrameClock> frames;
        for (int i = 0; i < row.frames; ++i) {
            const double t = i / row.hz * 1e9;  // ns
            const double delay = 300e3 + double((i * 37) % row.frames) / row.frames * 400e3 +
                                 (i >= row.busyFrom && i < row.busyTo ? row.busyUs * 1e3 : 0);
            frames.push_back({uint64_t(1e9 + t * (1 + row.ppm * 1e-6)), uint64_t(1.7e18 + t + delay)});
        }
        CheckResult r;
        MeasureClock(frames, r);
        Judge(r, CheckOptions{});
        const auto clock = std::find_if(r.checks.begin(), r.checks.end(), [](const Check& c) { return c.name == "clock"; });
        ASSERT_NE(clock, r.checks.end()) << row.name;
        EXPECT_EQ(clock->level, row.level) << row.name << ": " << clock->detail;
    }
}

// A camera that did not open: who it is as far as known, and why, in words.
TEST(CheckText, NotOpened)
{
    const struct {
        const char* name;
        const char* source;
        CamError code;
        const char* text;
    } cases[] = {
        {"", "", CAM_ERR_ACCESS_DENIED,
         "Camera   gige:127.0.0.1\n"
         "Verdict  fail: not opened: cannot open camera gige:127.0.0.1: busy, another program controls it "
         "(CAM_ERR_ACCESS_DENIED)\n"},
        {"Fake", "gige:127.0.0.1", CAM_ERR_TIMEOUT,
         "Camera   gige:127.0.0.1  Fake (gige:127.0.0.1)\n"
         "Verdict  fail: not opened: cannot open camera gige:127.0.0.1: it does not answer (CAM_ERR_TIMEOUT)\n"},
    };
    for (const auto& c : cases) {
        CheckResult r;
        r.id = "gige:127.0.0.1";
        r.name = c.name;
        r.source = c.source;
        r.opened = Stopped(Step::Open, c.code, r.id);
        Judge(r, CheckOptions{});
        EXPECT_EQ(CheckText(r), c.text);
    }
}

// The interface of a local address: the loopback one, and none for an
// address no interface has or text that is no address.
TEST(LinkInfo, InterfaceOfAnAddress)
{
    const LinkInfo lo = InterfaceWithAddress("127.0.0.1");
    EXPECT_FALSE(lo.name.empty());
    EXPECT_TRUE(lo.loopback);
    EXPECT_GT(lo.mtu, 0);
    for (const char* nowhere : {"192.0.2.1", "", "not an address", "127.0.0.1/../../etc"})
        EXPECT_TRUE(InterfaceWithAddress(nowhere).name.empty()) << nowhere;
}

}  // namespace
