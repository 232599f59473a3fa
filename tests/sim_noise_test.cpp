// The simulated camera's read noise (TARVIK_SIM noise=SIGMA): its size in
// every packing, new in every frame, clipped rather than wrapped, and the
// key's values refused as the other keys' are.
#include "platform/camera/cam.h"
#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kW = 200, kH = 120;

std::vector<uint8_t> Flat(const cam::PixelFormat& f, cam::SimLook look)
{
    std::vector<uint8_t> frame(size_t(cam::RowBytes(f, kW)) * kH);
    cam::RenderSimFrame(frame.data(), frame.size(), kW, kH, f.name, 0, look);
    return frame;
}

// Every sample of a frame, row by row (alpha left out).
std::vector<int> Samples(const cam::PixelFormat& f, const std::vector<uint8_t>& frame)
{
    std::vector<int> out;
    const uint64_t row = cam::RowBytes(f, kW);
    const uint64_t perRow = f.sampling == cam::Sampling::Colour ? row : f.sampling == cam::Sampling::Yuv422 ? row : kW;
    for (uint64_t y = 0; y < kH; ++y)
        for (uint64_t i = 0; i < perRow; ++i)
            if (!(f.sampling == cam::Sampling::Colour && f.bitsPerPixel == 32 && i % 4 == 3))
                out.push_back(int(cam::ReadSample(f, frame.data() + y * row, i)));
    return out;
}

struct Moments {
    double mean = 0, sd = 0;
};

Moments Difference(const std::vector<int>& a, const std::vector<int>& b)
{
    Moments m;
    for (size_t i = 0; i < a.size(); ++i)
        m.mean += a[i] - b[i];
    m.mean /= double(a.size());
    for (size_t i = 0; i < a.size(); ++i)
        m.sd += (a[i] - b[i] - m.mean) * (a[i] - b[i] - m.mean);
    m.sd = std::sqrt(m.sd / double(a.size()));
    return m;
}

// The noise on a flat grey picture has the standard deviation asked for, in
// the format's own levels, whatever its packing; and the next frame's differs.
TEST(SimNoise, SizeInEveryPacking)
{
    struct Case {
        const char* format;
        double sigma;
    } cases[] = {
        {"Mono8", 1},        {"Mono8", 6},         {"BayerRG8", 20},     {"BGR8", 3},     {"BGRa8", 3},
        {"YUV422Packed", 2}, {"Mono12", 40},       {"BayerGB16", 900},   {"Mono10", 4},   {"Mono10p", 5},
        {"BayerRG12p", 16},  {"Mono12Packed", 12}, {"BayerRG10Packed", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.format) + " sigma " + std::to_string(c.sigma));
        const cam::PixelFormat& f = *cam::FindPixelFormat(c.format);
        cam::SimNoise noise;
        noise.Prepare(c.sigma);
        const std::vector<uint8_t> clean = Flat(f, cam::SimLook::Grey);
        std::vector<uint8_t> first = clean, second = clean;
        noise.Add(first.data(), first.size(), kW, &f, 1);
        noise.Add(second.data(), second.size(), kW, &f, 2);
        const Moments m = Difference(Samples(f, first), Samples(f, clean));
        EXPECT_NEAR(m.sd, c.sigma, c.sigma * 0.06 + 0.05);
        EXPECT_NEAR(m.mean, 0, c.sigma * 0.05);
        // Temporal: two frames' noise is unrelated (the sd of the difference
        // of two independent noises is sigma times the root of 2).
        const Moments between = Difference(Samples(f, first), Samples(f, second));
        EXPECT_NEAR(between.sd, c.sigma * std::sqrt(2.0), c.sigma * 0.1 + 0.05);
        if (f.bitsPerPixel == 32) {
            for (size_t i = 3; i < first.size(); i += 4)
                ASSERT_EQ(first[i], 255) << "alpha at " << i;
        }
    }
}

// Clipped at 0 and full scale, not wrapped: on black about half the samples
// stay 0 and none comes out bright; on white the same the other way.
TEST(SimNoise, ClipsAtBothEnds)
{
    struct Case {
        const char* format;
        cam::SimLook look;
        double sigma;
    } cases[] = {
        {"Mono8", cam::SimLook::Black, 10},      {"Mono8", cam::SimLook::White, 10},
        {"Mono16", cam::SimLook::Black, 500},    {"Mono16", cam::SimLook::White, 500},
        {"BayerRG12p", cam::SimLook::Black, 30}, {"Mono12Packed", cam::SimLook::White, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.format) + (c.look == cam::SimLook::Black ? " black" : " white"));
        const cam::PixelFormat& f = *cam::FindPixelFormat(c.format);
        const int top = (1 << f.bits) - 1, end = c.look == cam::SimLook::Black ? 0 : top;
        cam::SimNoise noise;
        noise.Prepare(c.sigma);
        std::vector<uint8_t> frame = Flat(f, c.look);
        noise.Add(frame.data(), frame.size(), kW, &f, 5);
        size_t atEnd = 0, far = 0;
        const std::vector<int> samples = Samples(f, frame);
        for (int v : samples) {
            atEnd += v == end;
            far += std::abs(v - end) > 6 * c.sigma;
        }
        EXPECT_NEAR(double(atEnd) / double(samples.size()), 0.5, 0.05);
        EXPECT_EQ(far, 0u);
    }
}

// noise=0 adds nothing, and a frame cut short gets noise only where it came.
TEST(SimNoise, NoneAndShortFrames)
{
    const cam::PixelFormat& f = *cam::FindPixelFormat("Mono16");
    const std::vector<uint8_t> clean = Flat(f, cam::SimLook::Grey);
    cam::SimNoise none;
    none.Prepare(0);
    std::vector<uint8_t> frame = clean;
    none.Add(frame.data(), frame.size(), kW, &f, 3);
    EXPECT_EQ(frame, clean);
    cam::SimNoise noise;
    noise.Prepare(50);
    frame = clean;
    const size_t cut = 1001;  // inside a sample
    noise.Add(frame.data(), cut, kW, &f, 3);
    EXPECT_NE(frame, clean);
    EXPECT_TRUE(std::equal(frame.begin() + cut, frame.end(), clean.begin() + cut));
}

// Through the camera: a still picture with noise differs in every frame.
TEST(SimNoise, CameraFramesDiffer)
{
    setenv("TARVIK_SIM", "width=64,height=48,formats=Mono8,picture=still,noise=3", 1);
    unsetenv("TARVIK_CAMERAS");
    ASSERT_EQ(CamStartup(), CAM_OK);
    ASSERT_EQ(CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce"), CAM_OK);
    CamCameraInfo info[1];
    uint32_t n = 0;
    ASSERT_EQ(CamCameraList(info, 1, &n, sizeof info[0]), CAM_OK);
    ASSERT_EQ(n, 1u);
    CamHandle h = 0;
    ASSERT_EQ(CamCameraOpen(info[0].cameraId, CAM_ACCESS_CONTROL, &h), CAM_OK);
    std::vector<uint8_t> a(64 * 48), b(64 * 48);
    CamFrame fa{}, fb{};
    fa.buffer = a.data(), fa.bufferSize = uint32_t(a.size());
    fb.buffer = b.data(), fb.bufferSize = uint32_t(b.size());
    ASSERT_EQ(CamFrameAnnounce(h, &fa, sizeof fa), CAM_OK);
    ASSERT_EQ(CamFrameAnnounce(h, &fb, sizeof fb), CAM_OK);
    ASSERT_EQ(CamCaptureStart(h), CAM_OK);
    ASSERT_EQ(CamFrameQueue(h, &fa, nullptr), CAM_OK);
    ASSERT_EQ(CamFrameQueue(h, &fb, nullptr), CAM_OK);
    ASSERT_EQ(CamFeatureCommandRun(h, "AcquisitionStart"), CAM_OK);
    ASSERT_EQ(CamFrameWait(h, &fa, 2000), CAM_OK);
    ASSERT_EQ(CamFrameWait(h, &fb, 2000), CAM_OK);
    std::vector<uint8_t> clean(a.size());
    cam::RenderSimFrame(clean.data(), clean.size(), 64, 48, "Mono8", 0);
    EXPECT_NE(a, clean);
    EXPECT_NE(a, b);
    CamCameraClose(h);
    CamShutdown();
    unsetenv("TARVIK_SIM");
}

// The key's values: a standard deviation from 0 to 4096; others refused
// with the key named and what it accepts.
TEST(SimNoise, SettingsKey)
{
    struct Case {
        const char* text;
        bool ok;
        double sigma;
    } cases[] = {
        {"noise=0", true, 0},   {"noise=2.5", true, 2.5}, {"noise=4096", true, 4096}, {"noise=-1", false, 0},
        {"noise=", false, 0},   {"noise=loud", false, 0}, {"noise=4097", false, 0},  {"noise=nan", false, 0},
        {"noise=3x", false, 0}, {"noise=inf", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        cam::SimSettings s;
        std::string error;
        if (c.ok) {
            ASSERT_EQ(cam::ParseSimSettings(c.text, &s, &error), CAM_OK) << error;
            EXPECT_EQ(s.noise, c.sigma);
        } else {
            EXPECT_EQ(cam::ParseSimSettings(c.text, &s, &error), CAM_ERR_BAD_CONFIG);
            EXPECT_EQ(error, "TARVIK_SIM: noise must be a standard deviation in sample levels, from 0 to 4096, got \"" +
                                 std::string(c.text + 6) + "\"");
        }
    }
    cam::SimSettings s;
    std::string error;
    EXPECT_EQ(cam::ParseSimSettings("gain=3", &s, &error), CAM_ERR_BAD_CONFIG);
    EXPECT_NE(error.find("software_trigger, noise)"), std::string::npos) << error;
}

}  // namespace
