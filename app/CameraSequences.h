// The camera state and the opening, capture and release sequences, shared by
// the window's buttons and the command line, and where they stopped.
#pragma once

#include "CameraSettings.h"
#include "platform/camera/cam.h"
#include "platform/imaging/display/DisplayImage.h"
#include "platform/imaging/files/PictureFile.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The one camera this program works with, shared for the life of the process.
extern const char* g_pCameraId;
extern CamHandle g_hCamera;
extern const char* g_pPixelFormat;
extern int64_t g_nWidth;
extern int64_t g_nHeight;
extern imaging::DisplayImage g_image;
// For people: the name the camera was listed with; null when none is open.
extern const char* g_pCameraName;

// The frame the display image holds, if any: set by a grab whose frame was
// shown, cleared by the next opening or release.
struct CapturedFrame {
    bool valid = false;
    uint64_t frameId = 0;
    std::time_t time = 0;  // when it arrived
    // A frame of more than 8 bits a sample as it arrived, so that saving it
    // keeps every bit: the capture's buffer, kept instead of freed. Frames
    // of 8 bits too while g_keepFrameBuffer is set.
    std::shared_ptr<const uint8_t> deep;
    int64_t deepSize = 0;
};
extern CapturedFrame g_lastFrame;
// Set while the viewer window is open, which reads the camera's own samples
// of the frame captured: its buffer is kept whatever the format (no camera
// call changes for it).
extern bool g_keepFrameBuffer;

// Largest "PayloadSize" a capture allocates a buffer for.
constexpr int64_t kMaxPayloadSize = int64_t(imaging::DisplayImage::kMaxBytes);
// How long a capture waits for its frame.
constexpr uint32_t kFrameTimeoutMs = 5000;
// What a camera set to TriggerMode On waits for when its source is the
// software command, which Tarvik then sends itself.
constexpr const char* kSoftwareTrigger = "Software";

// Where a sequence stopped, and why.
enum class Step {
    None,            // it ran to its end
    Startup,         // CamStartup failed
    Discovery,       // "GeVDiscoveryAllOnce" failed
    CameraList,      // CamCameraList failed
    NoCamera,        // discovery found no camera
    NotListed,       // the camera asked for is not among those found
    ListMemory,      // no memory for the camera list
    Open,            // the camera could not be opened, and nothing could go on without it
    PixelFormatRead, // "PixelFormat" could not be read
    PictureSize,     // opening ended, but no display image can have the camera's size
    NotOpen,         // a grab with no camera open
    PayloadRead,     // "PayloadSize" could not be read
    PayloadSize,     // "PayloadSize" out of range
    FrameMemory,     // no memory for the frame buffer
    Announce,        // CamFrameAnnounce failed
    CaptureStart,    // CamCaptureStart failed
    Queue,           // CamFrameQueue failed
    AcquisitionStart,// "AcquisitionStart" failed
    Trigger,         // "TriggerSoftware" failed
    Wait,            // CamFrameWait failed (CAM_ERR_TIMEOUT: no frame in time)
    FrameStatus,     // the frame arrived with a non-zero receive status
    FrameSize,       // a complete frame of another width or height than opening read
    PixelFormat,     // a complete frame in a pixel format that cannot be shown
    Settings,        // the camera refused a setting (subject: what it accepts)
    SettingUsage,    // a setting given without the value its feature needs
};

struct Outcome {
    Step step = Step::None;
    CamError code = CAM_OK;     // of the call that failed, where one did
    int32_t frameStatus = 0;    // Step::FrameStatus
    uint32_t frameWidth = 0;    // Step::FrameSize: the frame's own size
    uint32_t frameHeight = 0;
    int64_t value = 0;          // Step::PayloadSize, FrameMemory: the size; FindCameras: the
                                // number of cameras the library reported
    std::string subject;        // the camera id or pixel format concerned; Step::Startup:
                                // what is wrong with the settings, if that was it
    std::vector<std::string> found;  // Step::NotListed: the ids that were found
    std::string trigger;        // a grab: the trigger source the camera waited for (TriggerMode On)
    std::string acquisitionTrigger;  // a triggered grab that timed out: what the acquisition itself waits for
    bool triggered = false;     // and that is what it waited for
    bool triggerSent = false;   // a grab: Tarvik sent the software trigger it waited for
    uint32_t timeoutMs = kFrameTimeoutMs;  // a grab: how long it waited for the frame
    bool completed = false;     // the sequence reached its last step
    bool imageUpdated = false;  // a grab copied a frame into the display image

    bool Failed() const { return step != Step::None; }
};

struct OpenOptions {
    std::string cameraId;     // open this listed camera instead of the first one
    std::string pixelFormat;  // ask for this format before the usual ones
    std::vector<Setting> settings = {};  // applied in order once the camera is open
};

// An outcome stopped at step, for the sequences and the stream beside them.
Outcome Stopped(Step step, CamError code = CAM_OK, std::string subject = {});

// Whether a frame of its own width x height (0 where the source does not
// know) fits the size read at opening: one of another size would be laid
// out wrongly.
bool FitsOpenedSize(uint32_t width, uint32_t height);

// "PayloadSize" of the open camera, refused outside 1 byte to 256 MiB
// before anything is allocated for it.
Outcome ReadPayloadSize(int64_t* payload);

// The frame the last grab showed, at full resolution and, for frames of more
// than 8 bits a sample, at full depth; null when there is none.
imaging::Picture CapturedPicture();

// The picture's state in words, shared by the picture area's tooltip and the
// viewer's status line: "No camera open", or the camera, its picture size
// and pixel format, the frame shown, and the last failure. An empty id is no
// camera open; frameId null: no frame; frameTime 0: when it came is unknown.
std::string PictureStatus(const std::string& cameraId, const std::string& cameraName, int64_t width, int64_t height,
                          const std::string& pixelFormat, const uint64_t* frameId, std::time_t frameTime,
                          const std::string& lastFailure);

// Starts the library and finds the cameras; fills cameras when it succeeds.
Outcome FindCameras(std::vector<CamCameraInfo>* cameras);

// Opening: start-up, discovery, the first camera (or options.cameraId),
// packet size, pixel format ("BGR8Packed", else "Mono8"; options.pixelFormat
// first when given), picture size, a display image of that size; then
// options.settings, if any, and the picture's shape read again when they
// changed it. The settings are applied even when the pixel format or the
// picture's size failed, so that they can put right what stopped it.
// With formatFound (a check, which must leave the camera as it found it),
// opening chooses no format of its own, asking only for options.pixelFormat
// if given, and formatFound receives the format the camera had before that
// (empty when it could not be read), for the caller to put back.
Outcome OpenCamera(const OpenOptions& options, std::string* formatFound = nullptr);
// Whether what stopped opening is only the picture (Step::PixelFormatRead,
// Step::PictureSize): the camera is open, its features can be read and
// changed, but nothing can be grabbed.
bool PictureMissing(const Outcome& outcome);
// After settings changed the picture's size or format: reads PixelFormat,
// Height and Width again and rebuilds the display image, as opening does.
Outcome ReadPictureShape();
// The rate the open camera says it sends: AcquisitionResultingFrameRate,
// ResultingFrameRate or AcquisitionFrameRate, the first it has; 0 when it
// says none. *feature: which one.
double CameraFrameRate(std::string* feature = nullptr);
// The open camera's own time from a trigger to its frame, in ms, as it is
// set now: TriggerDelay, ExposureTime and the readout at rate frames a
// second; 0 when the exposure or the rate is not known. A trigger sooner
// than this after the one before finds the camera busy.
double TriggeredFrameTimeMs(double rate);
// The source the acquisition's own trigger waits for when it is on
// (TriggerSelector=AcquisitionStart, TriggerMode=On): until it fires, frame
// triggers bring nothing. Read under that selector entry, the selector then
// put back; empty when it is off or the camera has no such entry (selector:
// TriggerSelector's description).
std::string AcquisitionTriggerSource(const CamFeatureInfo& selector);

struct GrabOptions {
    uint32_t timeoutMs = kFrameTimeoutMs;
    // Called before the wait when the camera waits for a trigger Tarvik does
    // not send (an input line), with its source.
    std::function<void(const std::string& source)> waitingForTrigger;
    // When given, a triggered camera's frame is waited for in slices of
    // kWaitSliceMs, this called between them (the window paints meanwhile);
    // a camera running free is waited for in one call, as always.
    std::function<void()> whileWaiting;
};
// The slices of GrabOptions::whileWaiting.
constexpr uint32_t kWaitSliceMs = 50;
// One frame into the display image, each step undone in reverse order. A
// camera whose frames wait for the software trigger gets one once
// acquisition has started; one that runs free is called exactly as before.
Outcome GrabFrame(const GrabOptions& options = {});
// Closes the camera, shuts the library down, drops the display image.
void ReleaseCamera();

// Rebuilds image at the size read when the camera was opened and copies a
// frame of that camera into it, converted from its pixel format: "BGR8Packed"
// (or "BGR8") bytes unchanged, grey levels as equal blue, green and red,
// Bayer mosaics demosaiced, and so on for every format imaging::CanShow knows.
// Never reads more than nPayloadSize bytes of source (the bytes the frame
// filled, not the size of its buffer); only whole rows it holds are copied,
// the rest is black. Other pixel formats copy nothing;
// false then, and when the image cannot be made. With waited, the rows are
// split over the processor's cores (imaging::WaitedThreads), for a frame
// someone waits for.
bool CopyFrameToImage(const void* source, int64_t nPayloadSize, const char* pPixelFormat,
                      imaging::DisplayImage& image, bool waited = false);
