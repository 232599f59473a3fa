// The simulated camera's lens through the camera library's C interface: the
// picture is sharpest, by the health check's measure, at the lens's best
// position and softer the further FocusPosition is from it, and a stream
// out of focus sends what a single render of that frame makes.
#include "platform/camera/cam.h"
#include "platform/camera/camsim.h"
#include "platform/imaging/stats/PictureStats.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

// The first simulated camera with these settings, streaming into frames of
// its own; the library is shut down afterwards.
class Lens {
public:
    explicit Lens(const std::string& sim)
    {
        unsetenv("TARVIK_CAMERAS");
        setenv("TARVIK_SIM", sim.c_str(), 1);
        started_ = CamStartup() == CAM_OK && CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce") == CAM_OK &&
                   CamCameraOpen("sim-0", CAM_ACCESS_CONTROL, &h) == CAM_OK &&
                   CamFeatureIntGet(h, "PayloadSize", &payload) == CAM_OK;
    }
    ~Lens()
    {
        if (streaming_) {
            CamFeatureCommandRun(h, "AcquisitionStop");
            CamCaptureEnd(h);
            for (CamFrame& f : frames_)
                CamFrameRevoke(h, &f);
        }
        CamShutdown();
        unsetenv("TARVIK_SIM");
    }
    bool Started() const { return started_; }

    bool Stream()
    {
        buffers_.assign(3, std::vector<uint8_t>(size_t(payload)));
        frames_.assign(3, CamFrame{});
        for (size_t i = 0; i < frames_.size(); ++i) {
            frames_[i].buffer = buffers_[i].data();
            frames_[i].bufferSize = uint32_t(payload);
            if (CamFrameAnnounce(h, &frames_[i], sizeof frames_[i]) != CAM_OK)
                return false;
        }
        if (CamCaptureStart(h) != CAM_OK)
            return false;
        streaming_ = true;
        for (CamFrame& f : frames_)
            if (CamFrameQueue(h, &f, nullptr) != CAM_OK)
                return false;
        return CamFeatureCommandRun(h, "AcquisitionStart") == CAM_OK;
    }

    // The next frame's bytes and id, its frame queued again.
    bool Next(std::vector<uint8_t>* bytes, uint64_t* id = nullptr)
    {
        CamFrame* f = nullptr;
        if (CamFrameWaitNext(h, &f, 2000) != CAM_OK || f->receiveStatus != CAM_FRAME_COMPLETE)
            return false;
        const auto* data = static_cast<const uint8_t*>(f->buffer);
        bytes->assign(data, data + f->imageSize);
        if (id)
            *id = f->frameId;
        return CamFrameQueue(h, f, nullptr) == CAM_OK;
    }

    CamHandle h = 0;
    int64_t payload = 0;

private:
    bool started_ = false, streaming_ = false;
    std::vector<std::vector<uint8_t>> buffers_;
    std::vector<CamFrame> frames_;
};

cam::SimTone Focused(int position, bool mirror = false)
{
    cam::SimTone tone;
    tone.mirror = mirror;
    tone.defocus = std::abs(position - cam::kSimFocusBest) / double(cam::kSimFocusRange);
    return tone;
}

// The lens is turned while the camera streams, as a person focusing does:
// each frame is the single render of its picture at that position (at the
// best one, also after others, the picture without a lens), and sharper the
// nearer the best one.
TEST(SimLens, SharpestAtTheBestPositionAndSofterAwayFromIt)
{
    // Each row: a position nearer the best one, then one further on the same side.
    const struct {
        int nearer, further;
    } rows[] = {
        {600, 601}, {601, 610}, {610, 650}, {650, 800}, {800, 1000},
        {600, 599}, {599, 580}, {580, 400}, {400, 200}, {200, 0},
    };
    for (const char* format : {"Mono8", "BGR8Packed", "BayerRG8", "Mono12p", "YUV422_8"}) {
        SCOPED_TRACE(format);
        // A still picture: where the moving square is changes the measure too.
        Lens lens(std::string("width=320,height=240,rate=1000,picture=still,formats=") + format);
        ASSERT_TRUE(lens.Started());
        int64_t position = -1;
        ASSERT_EQ(CamFeatureIntGet(lens.h, "FocusPosition", &position), CAM_OK);
        EXPECT_EQ(position, cam::kSimFocusBest) << "a fresh camera is in focus";
        ASSERT_TRUE(lens.Stream());
        std::map<int, double> sharpness;
        std::vector<uint8_t> bytes, expected(size_t(lens.payload));
        for (const auto& row : rows) {
            for (const int at : {row.nearer, row.further}) {
                ASSERT_EQ(CamFeatureValueSet(lens.h, "FocusPosition", std::to_string(at).c_str()), CAM_OK) << at;
                ASSERT_TRUE(lens.Next(&bytes)) << at;
                cam::RenderSimFrame(expected.data(), expected.size(), 320, 240, format, 0, cam::SimLook::Bars,
                                    Focused(at));
                EXPECT_TRUE(bytes == expected) << "FocusPosition " << at;
                imaging::PictureStats stats;
                ASSERT_TRUE(stats.Add({bytes.data(), bytes.size(), 320, 240, format}));
                sharpness[at] = stats.Summary().sharpness;
            }
            EXPECT_GT(sharpness[row.nearer], sharpness[row.further])
                << "FocusPosition " << row.nearer << " against " << row.further;
        }
    }
}

// Out of focus, a stream redoes only the rows the moving square's blur
// reaches; each frame must still be the single render of its id.
TEST(SimLens, StreamOutOfFocusIsTheSingleRender)
{
    const struct {
        const char* format;
        int position;
        bool mirror;
    } rows[] = {{"BGR8Packed", 300, false}, {"BayerGB12p", 637, true}, {"YUV422_8_UYVY", 590, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.format);
        // 101 x 72: the square (9 pixels) lands off every 8-pixel boundary.
        Lens lens(std::string("width=101,height=72,rate=1000,formats=") + row.format);
        ASSERT_TRUE(lens.Started());
        ASSERT_EQ(CamFeatureValueSet(lens.h, "ReverseX", row.mirror ? "true" : "false"), CAM_OK);
        ASSERT_EQ(CamFeatureValueSet(lens.h, "FocusPosition", std::to_string(row.position).c_str()), CAM_OK);
        ASSERT_TRUE(lens.Stream());
        std::vector<uint8_t> bytes, expected(size_t(lens.payload));
        for (int i = 0; i < 6; ++i) {
            uint64_t id = 0;
            ASSERT_TRUE(lens.Next(&bytes, &id));
            cam::RenderSimFrame(expected.data(), expected.size(), 101, 72, row.format, id, cam::SimLook::Bars,
                                Focused(row.position, row.mirror));
            EXPECT_TRUE(bytes == expected) << "frame " << id;
        }
    }
}

}  // namespace
