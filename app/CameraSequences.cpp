// The opening, capture and release sequences over the camera library and the
// frame copy.
#include "CameraSequences.h"

#include "platform/camera/camtext.h"
#include "platform/imaging/convert/PixelConvert.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

const char* g_pCameraId = nullptr;
CamHandle g_hCamera = 0;
const char* g_pPixelFormat = nullptr;
int64_t g_nWidth = 0;
int64_t g_nHeight = 0;
imaging::DisplayImage g_image;
const char* g_pCameraName = nullptr;
CapturedFrame g_lastFrame;
bool g_keepFrameBuffer = false;

namespace {

constexpr uint32_t kAccessMode = CAM_ACCESS_CONTROL;

// A camera that never reports its packet size negotiation done must not hang
// the program: poll gently and give up after a while, then go on opening.
constexpr auto kAdjustPollPause = std::chrono::milliseconds(1);
constexpr auto kAdjustPollLimit = std::chrono::seconds(10);

// The settings opening was given, applied once the camera is open even when
// no picture can be had from it yet (opened): a picture's size or format may
// be just what they change. Their refusal, else the picture's shape read
// again when they changed it, else opened.
Outcome ApplyOpenSettings(const std::vector<Setting>& settings, Outcome opened)
{
    if (settings.empty())
        return opened;
    bool shapeChanged = false, usage = false;
    const std::string refused = ApplySettings(settings, &shapeChanged, &usage);
    if (!refused.empty())
        return Stopped(usage ? Step::SettingUsage : Step::Settings, CAM_OK, refused);
    return shapeChanged ? ReadPictureShape() : opened;
}

// A triggered camera may keep the frame waiting for the whole time-out: in
// slices then, so that whoever waits can go on showing that it does.
CamError WaitForFrame(CamFrame& frame, const GrabOptions& options)
{
    if (!frame.triggerSource || !options.whileWaiting)
        return CamFrameWait(g_hCamera, &frame, options.timeoutMs);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now());
        const CamError err =
            CamFrameWait(g_hCamera, &frame, uint32_t(std::clamp<int64_t>(left.count(), 0, kWaitSliceMs)));
        if (err != CAM_ERR_TIMEOUT || left.count() <= int64_t(kWaitSliceMs))
            return err;
        options.whileWaiting();
    }
}

}  // namespace

bool PictureMissing(const Outcome& outcome)
{
    return outcome.step == Step::PixelFormatRead || outcome.step == Step::PictureSize;
}

Outcome Stopped(Step step, CamError code, std::string subject)
{
    Outcome o;
    o.step = step;
    o.code = code;
    o.subject = std::move(subject);
    return o;
}

bool FitsOpenedSize(uint32_t width, uint32_t height)
{
    return (width == 0 || width == static_cast<uint32_t>(g_nWidth)) &&
           (height == 0 || height == static_cast<uint32_t>(g_nHeight));
}

Outcome ReadPayloadSize(int64_t* payload)
{
    if (g_hCamera == 0)
        return Stopped(Step::NotOpen);
    if (CamError err = CamFeatureIntGet(g_hCamera, "PayloadSize", payload); err != CAM_OK)
        return Stopped(Step::PayloadRead, err);
    // A camera's word is not enough to allocate any amount of memory.
    if (*payload <= 0 || *payload > kMaxPayloadSize) {
        Outcome outcome = Stopped(Step::PayloadSize);
        outcome.value = *payload;
        return outcome;
    }
    return {};
}

Outcome FindCameras(std::vector<CamCameraInfo>* cameras)
{
    uint32_t camCount = 0;
    uint32_t nFoundCount = 0;
    CamError err = CamStartup();
    if (err != CAM_OK)
        return Stopped(Step::Startup, err, err == CAM_ERR_BAD_CONFIG ? CamConfigError() : "");
    if ((err = CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce")) != CAM_OK)
        return Stopped(Step::Discovery, err);
    if ((err = CamCameraList(nullptr, 0, &camCount, sizeof(CamCameraInfo))) != CAM_OK)
        return Stopped(Step::CameraList, err);

    Outcome o;
    if (camCount == 0) {
        o = Stopped(Step::NoCamera);
    } else if (auto* pCameraList =
                   static_cast<CamCameraInfo*>(std::calloc(camCount, sizeof(CamCameraInfo)))) {
        err = CamCameraList(pCameraList, camCount, &nFoundCount, sizeof(CamCameraInfo));
        if (err == CAM_OK)
            cameras->assign(pCameraList, pCameraList + std::min(nFoundCount, camCount));
        std::free(pCameraList);  // the strings belong to the library
        if (err != CAM_OK)
            o = Stopped(Step::CameraList, err);
        else if (cameras->empty())
            o = Stopped(Step::NoCamera);
    } else {
        o = Stopped(Step::ListMemory);
    }
    o.value = camCount;
    return o;
}

Outcome OpenCamera(const OpenOptions& options, std::string* formatFound)
{
    bool bIsCommandDone = false;
    g_lastFrame = {};

    std::vector<CamCameraInfo> cameras;
    Outcome found = FindCameras(&cameras);
    // No camera reported at all forgets the camera; a list that could not be
    // filled keeps the one chosen before, if any, and opens that again.
    if (found.step == Step::NoCamera && found.value == 0)
        g_pCameraId = nullptr;
    const bool listNotFilled =
        found.value > 0 && (found.step == Step::CameraList || found.step == Step::NoCamera);
    if (found.Failed() && !listNotFilled)
        return found;
    if (!found.Failed()) {
        auto chosen = cameras.begin();
        if (!options.cameraId.empty()) {
            chosen = std::find_if(cameras.begin(), cameras.end(), [&](const CamCameraInfo& c) {
                return c.cameraId && options.cameraId == c.cameraId;
            });
            if (chosen == cameras.end()) {
                Outcome o = Stopped(Step::NotListed, CAM_OK, options.cameraId);
                for (const CamCameraInfo& c : cameras)
                    o.found.push_back(c.cameraId ? c.cameraId : "");
                return o;
            }
        }
        g_pCameraId = chosen->cameraId;
        g_pCameraName = chosen->cameraName;
    }
    if (!g_pCameraId)
        return found.Failed() ? found : Stopped(Step::NoCamera);

    const CamError openError = CamCameraOpen(g_pCameraId, kAccessMode, &g_hCamera);
    if (openError == CAM_OK) {
        if (CamFeatureCommandRun(g_hCamera, "GVSPAdjustPacketSize") == CAM_OK) {
            const auto giveUp = std::chrono::steady_clock::now() + kAdjustPollLimit;
            while (CamFeatureCommandIsDone(g_hCamera, "GVSPAdjustPacketSize", &bIsCommandDone) ==
                       CAM_OK &&
                   !bIsCommandDone && std::chrono::steady_clock::now() < giveUp)
                std::this_thread::sleep_for(kAdjustPollPause);
        }
    }

    // A failed open still goes on with whatever handle the camera state holds.
    if (formatFound) {
        const char* found = nullptr;
        *formatFound = CamFeatureEnumGet(g_hCamera, "PixelFormat", &found) == CAM_OK && found ? found : "";
    }
    const bool askedFormat = !options.pixelFormat.empty() &&
        CamFeatureEnumSet(g_hCamera, "PixelFormat", options.pixelFormat.c_str()) == CAM_OK;
    if (!askedFormat && !formatFound && CamFeatureEnumSet(g_hCamera, "PixelFormat", "BGR8Packed") != CAM_OK)
        CamFeatureEnumSet(g_hCamera, "PixelFormat", "Mono8");
    if (CamError err = CamFeatureEnumGet(g_hCamera, "PixelFormat", &g_pPixelFormat); err != CAM_OK) {
        // When that handle cannot go on, the failed open is the reason to give.
        if (openError != CAM_OK)
            return Stopped(Step::Open, openError, g_pCameraId);
        return ApplyOpenSettings(options.settings, Stopped(Step::PixelFormatRead, err, g_pCameraId));
    }
    CamFeatureIntGet(g_hCamera, "Height", &g_nHeight);
    CamFeatureIntGet(g_hCamera, "Width", &g_nWidth);

    // Only the low 32 bits of the camera's numbers size the image.
    g_image.Destroy();
    g_image.Create(static_cast<int32_t>(static_cast<uint32_t>(g_nWidth)),
                   static_cast<int32_t>(static_cast<uint32_t>(g_nHeight)), 24, 0);
    Outcome o = ApplyOpenSettings(
        options.settings, g_image.IsNull() ? Stopped(Step::PictureSize, CAM_OK, g_pCameraId) : Outcome());
    o.completed = true;
    return o;
}

Outcome ReadPictureShape()
{
    if (CamError err = CamFeatureEnumGet(g_hCamera, "PixelFormat", &g_pPixelFormat); err != CAM_OK)
        return Stopped(Step::PixelFormatRead, err, g_pCameraId ? g_pCameraId : "");
    CamFeatureIntGet(g_hCamera, "Height", &g_nHeight);
    CamFeatureIntGet(g_hCamera, "Width", &g_nWidth);
    g_lastFrame = {};
    g_image.Destroy();
    g_image.Create(static_cast<int32_t>(static_cast<uint32_t>(g_nWidth)),
                   static_cast<int32_t>(static_cast<uint32_t>(g_nHeight)), 24, 0);
    return g_image.IsNull() ? Stopped(Step::PictureSize, CAM_OK, g_pCameraId ? g_pCameraId : "") : Outcome();
}

imaging::Picture CapturedPicture()
{
    if (!g_lastFrame.valid)
        return {};
    if (g_lastFrame.deep) {
        const imaging::Frame frame{g_lastFrame.deep.get(), uint64_t(g_lastFrame.deepSize),
                              static_cast<uint32_t>(g_nWidth), static_cast<uint32_t>(g_nHeight),
                              g_pPixelFormat};
        if (imaging::Picture deep = imaging::DeepPicture(frame); !deep.IsNull())
            return deep;
    }
    return imaging::Picture::FromDisplayImage(g_image);
}

void ReleaseCamera()
{
    CamCameraClose(g_hCamera);
    CamShutdown();
    g_image.Destroy();
    g_hCamera = 0;
    g_pCameraId = nullptr;
    g_pCameraName = nullptr;
    g_lastFrame = {};
}

bool CopyFrameToImage(const void* source, int64_t nPayloadSize, const char* pPixelFormat,
                      imaging::DisplayImage& image, bool waited)
{
    const uint32_t width = static_cast<uint32_t>(g_nWidth);
    const uint32_t height = static_cast<uint32_t>(g_nHeight);

    // A new image of the opened size; its memory is reused, so every byte is
    // written below: converted rows, their padding, and zeros for the rest.
    if (!image.Recreate(static_cast<int32_t>(width), static_cast<int32_t>(height)))
        return false;
    uint8_t* top = image.GetBits();
    const ptrdiff_t pitch = image.GetPitch();
    const imaging::Frame frame{static_cast<const uint8_t*>(source),
                          nPayloadSize > 0 ? uint64_t(nPayloadSize) : 0, width, height, pPixelFormat};
    const uint64_t rows = imaging::ConvertFrame(frame, top, pitch, waited ? imaging::WaitedThreads(frame) : 1);

    const size_t pixelBytes = size_t(width) * 3;
    const size_t padding = size_t(-pitch) - pixelBytes;
    auto row = [&](uint64_t i) { return top + ptrdiff_t(i) * pitch; };
    for (uint64_t i = rows; i < height; ++i)
        std::memset(row(i), 0, pixelBytes);
    if (padding)
        for (uint64_t i = 0; i < height; ++i)
            std::memset(row(i) + pixelBytes, 0, padding);
    return imaging::CanShow(pPixelFormat);
}

double CameraFrameRate(std::string* feature)
{
    // The rate the camera will really send where it says one, else the one set.
    for (const char* name : {"AcquisitionResultingFrameRate", "ResultingFrameRate", "AcquisitionFrameRate"}) {
        double rate = 0;
        if (CamFeatureFloatGet(g_hCamera, name, &rate) == CAM_OK && std::isfinite(rate) && rate > 0) {
            if (feature)
                *feature = name;
            return rate;
        }
    }
    return 0;
}

double TriggeredFrameTimeMs(double rate)
{
    auto get = [](const char* name) {
        double v = 0;
        return CamFeatureFloatGet(g_hCamera, name, &v) == CAM_OK && std::isfinite(v) ? v : 0;
    };
    // Delay and exposure in us; the readout at the camera's rate.
    const double exposure = get("ExposureTime");
    if (rate <= 0 || exposure <= 0)
        return 0;
    return get("TriggerDelay") / 1000 + exposure / 1000 + 1000 / rate;
}

std::string AcquisitionTriggerSource(const CamFeatureInfo& selector)
{
    const bool has = std::any_of(selector.entries, selector.entries + selector.entryCount,
                                 [](const char* e) { return e && !std::strcmp(e, "AcquisitionStart"); });
    const char* value = nullptr;
    if (!has || CamFeatureValueGet(g_hCamera, "TriggerSelector", &value) != CAM_OK || !value)
        return {};
    const std::string was = value;
    if (CamFeatureValueSet(g_hCamera, "TriggerSelector", "AcquisitionStart") != CAM_OK)
        return {};
    std::string source;
    if (CamFeatureValueGet(g_hCamera, "TriggerMode", &value) == CAM_OK && value && !std::strcmp(value, "On"))
        source = CamFeatureValueGet(g_hCamera, "TriggerSource", &value) == CAM_OK && value && *value
                     ? value
                     : "a source it does not name";
    CamFeatureValueSet(g_hCamera, "TriggerSelector", was.c_str());
    return source;
}

namespace {

// The grab's one frame buffer, of the payload's size, or why there is none.
Outcome AllocateGrabBuffer(CamFrame& frame, int64_t& nPayloadSize)
{
    Outcome outcome;
    if ((outcome = ReadPayloadSize(&nPayloadSize)).Failed())
        return outcome;
    frame.buffer = std::malloc(static_cast<size_t>(nPayloadSize));
    if (!frame.buffer) {
        outcome = Stopped(Step::FrameMemory);
        outcome.value = nPayloadSize;
        return outcome;
    }
    frame.bufferSize = static_cast<uint32_t>(nPayloadSize);
    return outcome;
}

// A deep frame shown stays as it came (filled bytes), for saving at full depth; any other buffer goes.
void KeepOrFreeBuffer(const CamFrame& frame, bool keepBuffer, int64_t filled)
{
    if (keepBuffer) {
        g_lastFrame.deep.reset(static_cast<const uint8_t*>(frame.buffer),
                               [](const uint8_t* p) { std::free(const_cast<uint8_t*>(p)); });
        g_lastFrame.deepSize = filled;
    } else {
        std::free(frame.buffer);
    }
}

// What the frame record says of triggers, and what the acquisition waits for where a triggered grab timed out.
void TellTrigger(const CamFrame& frame, Outcome& outcome)
{
    outcome.triggered = frame.triggerSource != nullptr;
    outcome.triggerSent = frame.triggerSource && std::strcmp(frame.triggerSource, kSoftwareTrigger) == 0;
    outcome.trigger = frame.triggerSource ? frame.triggerSource : "";
    // A frame trigger that brought nothing may be waiting behind the
    // acquisition's own trigger, which the frame record does not tell: asked
    // only then, so that a grab that works is called as before.
    if (outcome.triggered && outcome.step == Step::Wait && outcome.code == CAM_ERR_TIMEOUT) {
        CamFeatureInfo selector{};
        if (CamFeatureInfoGet(g_hCamera, "TriggerSelector", &selector, sizeof selector) == CAM_OK)
            outcome.acquisitionTrigger = AcquisitionTriggerSource(selector);
    }
}

}  // namespace

Outcome GrabFrame(const GrabOptions& options)
{
    int64_t nPayloadSize = 0;
    int64_t filled = 0;
    CamFrame frame{};
    Outcome outcome;
    bool keepBuffer = false;

    if ((outcome = AllocateGrabBuffer(frame, nPayloadSize)).Failed())
        return outcome;

    // Each rung that succeeds is undone, in reverse order, whatever follows it.
    CamError err = CamFrameAnnounce(g_hCamera, &frame, sizeof(frame));
    if (err != CAM_OK) {
        outcome = Stopped(Step::Announce, err);
    } else {
        if ((err = CamCaptureStart(g_hCamera)) != CAM_OK) {
            outcome = Stopped(Step::CaptureStart, err);
        } else {
            if ((err = CamFrameQueue(g_hCamera, &frame, nullptr)) != CAM_OK) {
                outcome = Stopped(Step::Queue, err);
            } else if ((err = CamFeatureCommandRun(g_hCamera, "AcquisitionStart")) != CAM_OK) {
                outcome = Stopped(Step::AcquisitionStart, err);
            } else {
                // The record says what the camera waits for, so that one
                // running free is asked nothing more.
                const bool software = frame.triggerSource && std::strcmp(frame.triggerSource, kSoftwareTrigger) == 0;
                if (frame.triggerSource && !software && options.waitingForTrigger)
                    options.waitingForTrigger(frame.triggerSource);
                if (software && (err = CamFeatureCommandRun(g_hCamera, "TriggerSoftware")) != CAM_OK) {
                    outcome = Stopped(Step::Trigger, err);
                } else if ((err = WaitForFrame(frame, options)) != CAM_OK) {
                    outcome = Stopped(Step::Wait, err);
                } else if (frame.receiveStatus != CAM_FRAME_COMPLETE) {
                    outcome = Stopped(Step::FrameStatus);
                    outcome.frameStatus = frame.receiveStatus;
                } else if (!FitsOpenedSize(frame.width, frame.height)) {
                    outcome = Stopped(Step::FrameSize);
                    outcome.frameWidth = frame.width;
                    outcome.frameHeight = frame.height;
                } else {
                    // Only what the camera wrote: the rest of the buffer is
                    // whatever the heap held before.
                    filled = std::min<int64_t>(frame.imageSize, nPayloadSize);
                    const bool shown = CopyFrameToImage(frame.buffer, filled, g_pPixelFormat, g_image, true);
                    // The display image no longer holds the frame before: only
                    // a frame shown can be kept.
                    g_lastFrame = {};
                    if (shown) {
                        g_lastFrame = {true, frame.frameId, std::time(nullptr), nullptr, 0};
                        keepBuffer = imaging::IsDeep(g_pPixelFormat) || g_keepFrameBuffer;
                    } else if (g_image.IsNull()) {
                        outcome = Stopped(Step::PictureSize, CAM_OK, g_pCameraId ? g_pCameraId : "");
                    } else {
                        outcome = Stopped(Step::PixelFormat, CAM_OK,
                                          g_pPixelFormat ? g_pPixelFormat : "");
                    }
                    outcome.imageUpdated = true;
                }
                CamFeatureCommandRun(g_hCamera, "AcquisitionStop");
            }
            CamCaptureEnd(g_hCamera);
        }
        CamFrameRevoke(g_hCamera, &frame);
    }
    KeepOrFreeBuffer(frame, keepBuffer, filled);
    TellTrigger(frame, outcome);
    outcome.timeoutMs = options.timeoutMs;
    outcome.completed = true;
    return outcome;
}

std::string PictureStatus(const std::string& cameraId, const std::string& cameraName, int64_t width, int64_t height,
                          const std::string& pixelFormat, const uint64_t* frameId, std::time_t frameTime,
                          const std::string& lastFailure)
{
    std::string text;
    if (cameraId.empty()) {
        text = "No camera open";
    } else {
        text = (cameraName.empty() ? cameraId : cameraName) + " (" + cameraId + "), " + std::to_string(width) +
               " × " + std::to_string(height) + ", " + pixelFormat;
        if (frameId) {
            text += ", frame " + std::to_string(*frameId);
            char clock[16] = "";
            if (frameTime != 0 && std::strftime(clock, sizeof clock, "%H:%M:%S", std::localtime(&frameTime)))
                text += std::string(" at ") + clock;
        }
    }
    return lastFailure.empty() ? text : text + ", " + lastFailure;
}
