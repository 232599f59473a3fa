// The simulated camera's picture=counter: the frame id it writes reads back
// from the frame in every pixel format, from its conversion for display,
// from a stream's frames and after ReverseX and noise.
#include "platform/camera/cam.h"
#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"
#include "platform/imaging/convert/PixelConvert.h"
#include "tests/FrameCounter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Size {
    uint32_t width, height;
    int64_t mask;  // the bits of the id the picture has room for
};

// Each format's frame, and its 8-bit BGR conversion, gives the id back;
// small pictures give the bits they hold.
TEST(SimCounter, ReadsBackInEveryFormat)
{
    const Size sizes[] = {{64, 48, 0xFFFFFFFF}, {101, 72, 0xFFFFFFFF}, {24, 16, 0x3F}};
    const int64_t ids[] = {0, 1, 0xA5C3F00F, 0xFFFFFFFF, 12345};
    int count = 0;
    const cam::PixelFormat* formats = cam::PixelFormats(&count);
    for (int i = 0; i < count; ++i) {
        const cam::PixelFormat& f = formats[i];
        for (const Size& s : sizes) {
            for (const int64_t id : ids) {
                SCOPED_TRACE(std::string(f.name) + " " + std::to_string(s.width) + "x" + std::to_string(s.height) +
                             " id " + std::to_string(id));
                std::vector<uint8_t> frame(size_t(cam::RowBytes(f, s.width) * s.height));
                cam::RenderSimFrame(frame.data(), frame.size(), s.width, s.height, f.name, uint64_t(id),
                                    cam::SimLook::Counter);
                EXPECT_EQ(frame_counter::FromFrame(frame.data(), frame.size(), s.width, s.height, f.name),
                          id & s.mask);
                if (!imaging::CanShow(f.name))
                    continue;
                std::vector<uint8_t> bgr(size_t(s.width) * s.height * 3);
                ASSERT_EQ(imaging::ConvertFrame({frame.data(), frame.size(), s.width, s.height, f.name}, bgr.data(),
                                                ptrdiff_t(s.width) * 3),
                          s.height);
                EXPECT_EQ(frame_counter::FromPicture(bgr.data(), s.width, s.height, ptrdiff_t(s.width) * 3, 3),
                          id & s.mask);
            }
        }
    }
}

// Pictures that are no counter are told apart rather than read as an id.
TEST(SimCounter, OtherPicturesHoldNone)
{
    const struct {
        cam::SimLook look;
        uint32_t width, height;
    } rows[] = {
        {cam::SimLook::Grey, 64, 48},    // mid grey everywhere
        {cam::SimLook::Soft, 64, 48},    // the bars: the green one's level lies between
        {cam::SimLook::Counter, 7, 48},  // too narrow for a block
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(int(r.look));
        std::vector<uint8_t> frame(size_t(r.width) * r.height);
        cam::RenderSimFrame(frame.data(), frame.size(), r.width, r.height, "Mono8", 3, r.look);
        EXPECT_EQ(frame_counter::FromFrame(frame.data(), frame.size(), r.width, r.height, "Mono8"),
                  frame_counter::kNoCounter);
    }
    EXPECT_EQ(frame_counter::FromFrame(nullptr, 0, 64, 48, "Mono8"), frame_counter::kNoCounter);
    std::vector<uint8_t> half(64 * 4);  // a frame cut before its blocks' centres
    EXPECT_EQ(frame_counter::FromFrame(half.data(), half.size(), 64, 48, "Mono8"), frame_counter::kNoCounter);
}

// A stream's frames (rendered as copies of its first with the changed rows
// redone) each carry their own frame id, mirrored or noisy too.
TEST(SimCounter, StreamFramesCarryTheirIds)
{
    const struct {
        const char* settings;
        const char* format;
    } rows[] = {
        {"picture=counter,width=64,height=48,rate=1000,formats=BayerRG8", "BayerRG8"},
        {"picture=counter,width=64,height=48,rate=1000,formats=Mono12p", "Mono12p"},
        {"picture=counter,width=96,height=64,rate=1000,formats=YUV422_8_UYVY,noise=6", "YUV422_8_UYVY"},
        {"picture=counter,width=64,height=48,rate=1000,formats=BGR8", "BGR8"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.settings);
        for (const bool mirror : {false, true}) {
            setenv("TARVIK_SIM", r.settings, 1);
            unsetenv("TARVIK_CAMERAS");
            ASSERT_EQ(CamStartup(), CAM_OK);
            ASSERT_EQ(CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce"), CAM_OK);
            CamCameraInfo info[1];
            uint32_t n = 0;
            ASSERT_EQ(CamCameraList(info, 1, &n, sizeof info[0]), CAM_OK);
            CamHandle h = 0;
            ASSERT_EQ(CamCameraOpen(info[0].cameraId, CAM_ACCESS_CONTROL, &h), CAM_OK);
            ASSERT_EQ(CamFeatureValueSet(h, "ReverseX", mirror ? "true" : "false"), CAM_OK);
            int64_t payload = 0;
            ASSERT_EQ(CamFeatureIntGet(h, "PayloadSize", &payload), CAM_OK);
            std::vector<std::vector<uint8_t>> buffers(2, std::vector<uint8_t>(size_t(payload)));
            std::vector<CamFrame> frames(2);
            for (size_t i = 0; i < frames.size(); ++i) {
                frames[i].buffer = buffers[i].data();
                frames[i].bufferSize = uint32_t(payload);
                ASSERT_EQ(CamFrameAnnounce(h, &frames[i], sizeof frames[i]), CAM_OK);
            }
            ASSERT_EQ(CamCaptureStart(h), CAM_OK);
            for (CamFrame& f : frames)
                ASSERT_EQ(CamFrameQueue(h, &f, nullptr), CAM_OK);
            ASSERT_EQ(CamFeatureCommandRun(h, "AcquisitionStart"), CAM_OK);
            for (int i = 0; i < 6; ++i) {
                CamFrame* f = nullptr;
                ASSERT_EQ(CamFrameWaitNext(h, &f, 5000), CAM_OK);
                EXPECT_EQ(frame_counter::FromFrame(static_cast<const uint8_t*>(f->buffer), f->imageSize, f->width,
                                                   f->height, r.format),
                          int64_t(f->frameId & 0xFFFFFFFF))
                    << (mirror ? "mirrored" : "");
                ASSERT_EQ(CamFrameQueue(h, f, nullptr), CAM_OK);
            }
            EXPECT_EQ(CamFeatureCommandRun(h, "AcquisitionStop"), CAM_OK);
            EXPECT_EQ(CamCaptureEnd(h), CAM_OK);
            for (CamFrame& f : frames)
                EXPECT_EQ(CamFrameRevoke(h, &f), CAM_OK);
            CamShutdown();
        }
    }
    unsetenv("TARVIK_SIM");
}

}  // namespace
