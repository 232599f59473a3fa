// One "GrapOnce" ladder through our camera library against the same ladder
// written directly on Aravis (stream, pushed buffer, start, pop, stop), on
// Aravis's fake GigE camera at 127.0.0.1, at its default size and its
// largest. Runs alternate between the two so that both see the same machine.
#include <arv.h>

#include "Timing.h"
#include "platform/camera/cam.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

ArvCamera* DirectCamera()
{
    GError* error = nullptr;
    GInetAddress* local = g_inet_address_new_from_string("127.0.0.1");
    ArvDevice* device = arv_gv_device_new(local, local, &error);
    g_object_unref(local);
    if (!device) {
        std::fprintf(stderr, "aravis_bench: no fake camera on 127.0.0.1: %s\n", error->message);
        std::exit(1);
    }
    ArvCamera* camera = arv_camera_new_with_device(device, &error);
    g_object_unref(device);
    return camera;
}

bool DirectLadder(ArvCamera* camera)
{
    GError* error = nullptr;
    const guint payload = arv_camera_get_payload(camera, &error);
    std::vector<uint8_t> memory(payload);
    ArvBuffer* buffer = arv_buffer_new(payload, memory.data());
    ArvStream* stream = arv_camera_create_stream(camera, nullptr, nullptr, &error);
    arv_stream_push_buffer(stream, buffer);
    arv_camera_start_acquisition(camera, &error);
    ArvBuffer* done = arv_stream_timeout_pop_buffer(stream, 5000000);
    const bool ok = done && arv_buffer_get_status(done) == ARV_BUFFER_STATUS_SUCCESS;
    arv_camera_stop_acquisition(camera, &error);
    if (done)
        g_object_unref(done);
    g_object_unref(stream);
    g_clear_error(&error);
    return ok;
}

bool OurLadder(CamHandle h)
{
    int64_t payload = 0;
    if (CamFeatureIntGet(h, "PayloadSize", &payload) != CAM_OK)
        return false;
    std::vector<uint8_t> memory(static_cast<size_t>(payload));
    CamFrame frame{};
    frame.buffer = memory.data();
    frame.bufferSize = uint32_t(payload);
    bool ok = false;
    if (CamFrameAnnounce(h, &frame, sizeof frame) == CAM_OK) {
        if (CamCaptureStart(h) == CAM_OK) {
            if (CamFrameQueue(h, &frame, nullptr) == CAM_OK &&
                CamFeatureCommandRun(h, "AcquisitionStart") == CAM_OK) {
                ok = CamFrameWait(h, &frame, 5000) == CAM_OK && frame.receiveStatus == CAM_FRAME_COMPLETE;
                CamFeatureCommandRun(h, "AcquisitionStop");
            }
            CamCaptureEnd(h);
        }
        CamFrameRevoke(h, &frame);
    }
    return ok;
}

void SetSize(int width, int height)
{
    ArvCamera* camera = DirectCamera();
    GError* error = nullptr;
    arv_camera_set_pixel_format_from_string(camera, "Mono8", &error);
    arv_camera_set_integer(camera, "Width", width, &error);
    arv_camera_set_integer(camera, "Height", height, &error);
    g_clear_error(&error);
    g_object_unref(camera);
}

void Run(int width, int height, int rounds)
{
    SetSize(width, height);
    std::vector<double> ours, direct;
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        {
            setenv("TARVIK_CAMERAS", "gige:127.0.0.1", 1);
            CamStartup();
            CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce");
            CamHandle h = 0;
            CamCameraOpen("gige:127.0.0.1", CAM_ACCESS_CONTROL, &h);
            ours.push_back(BestMs([&] { failures += !OurLadder(h); }, 1));
            CamShutdown();
        }
        ArvCamera* camera = DirectCamera();
        direct.push_back(BestMs([&] { failures += !DirectLadder(camera); }, 1));
        g_object_unref(camera);
    }
    std::sort(ours.begin(), ours.end());
    std::sort(direct.begin(), direct.end());
    const double o = ours[ours.size() / 2], d = direct[direct.size() / 2];
    std::printf("%d x %d Mono8, median of %d grabs each%s\n", width, height, rounds,
                failures ? " (some grabs failed!)" : "");
    std::printf("  our library     %8.2f ms   %.2f x direct Aravis (target <= 1.1)\n", o, o / d);
    std::printf("  direct Aravis   %8.2f ms\n", d);
}

}  // namespace

int main()
{
    Run(512, 512, 15);
    Run(2048, 2048, 15);
    SetSize(512, 512);
    return 0;
}
