// Where a sequence stopped, in words for people and as an exit status for
// scripts: the one place that says what a failure means to the user.
#include "Failures.h"

#include "platform/camera/camtext.h"

#include <cstdio>
#include <cstdlib>

namespace {

// "the camera stopped answering (CAM_ERR_IO)"
std::string Because(CamError code)
{
    return std::string(CamErrorText(code)) + " (" + CamErrorName(code) + ")";
}

std::string WhyNotOpened(CamError code)
{
    switch (code) {
    case CAM_ERR_ACCESS_DENIED:
        return std::string("busy, another program controls it (") + CamErrorName(code) + ")";
    case CAM_ERR_NOT_FOUND:
        return std::string("it is no longer there (") + CamErrorName(code) + ")";
    case CAM_ERR_IO:
    case CAM_ERR_TIMEOUT:
        return std::string("it does not answer (") + CamErrorName(code) + ")";
    default:
        return Because(code);
    }
}

// Camera sources as TARVIK_CAMERAS names them, for "no camera found".
std::string Sources()
{
    const char* v = std::getenv("TARVIK_CAMERAS");
    const std::string text = v && *v ? v : "sim";
    std::string out;
    for (char c : text)
        if (c != ' ' && c != '\t')
            out += c == ',' ? std::string(", ") : std::string(1, c);
    return cam::OneLine(out);
}

// "Line0", or words for a camera that would not name its source.
std::string SourceName(const std::string& source)
{
    return source.empty() ? std::string("a source it does not name") : cam::OneLine(source);
}

// "5 s", "0.5 s", "120 s"
std::string Seconds(uint32_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
    return text;
}

}  // namespace

std::string TriggerWaitLine(const std::string& source)
{
    return "waiting for a trigger on " + SourceName(source) + " (TriggerMode is On)";
}

std::string RecordTriggerLine(const std::string& source)
{
    if (source == kSoftwareTrigger)
        return "the camera waits for software triggers (TriggerMode=On, TriggerSource=Software), which --record "
               "does not send: no frame comes until TriggerMode=Off";
    return TriggerWaitLine(source);
}

std::string TriggerRateNote(double rate, bool on, const std::string& source, double most)
{
    char hz[32];
    std::snprintf(hz, sizeof hz, "%g", rate);
    if (!on)
        return std::string("--trigger-rate ") + hz +
               " sends software triggers, but the camera's TriggerMode is Off: it makes frames by itself and "
               "none are sent";
    if (source != kSoftwareTrigger)
        return std::string("--trigger-rate ") + hz + " sends software triggers, but the camera waits for " +
               SourceName(source) + " (TriggerSource): none are sent until TriggerSource=Software";
    if (most > 0 && rate > most) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%.4g", most);
        return std::string("--trigger-rate ") + hz + " is above the " + limit +
               " frames/s the camera can make as set: triggers that come while it is busy are lost (the tooltip "
               "counts them)";
    }
    return {};
}

namespace {

// A wait for a frame that failed: a trigger's silence named as what the
// camera waits for.
std::string WaitFailed(const Outcome& o)
{
    // Named as the check names it: frame triggers count only once it has fired.
    if (o.code == CAM_ERR_TIMEOUT && o.triggered && !o.acquisitionTrigger.empty())
        return "no frame within " + Seconds(o.timeoutMs) + ": the acquisition itself waits for a trigger on " +
               SourceName(o.acquisitionTrigger) +
               " (TriggerSelector=AcquisitionStart, TriggerMode=On), before which the frame trigger on " +
               SourceName(o.trigger) + " brings nothing; trigger it or set TriggerMode=Off under that selector";
    if (o.code == CAM_ERR_TIMEOUT && o.triggered && o.trigger == kSoftwareTrigger && o.triggerSent)
        return "no frame within " + Seconds(o.timeoutMs) +
               ": the camera did not answer the software trigger Tarvik sent (TriggerMode=On, "
               "TriggerSource=Software); set TriggerMode=Off";
    if (o.code == CAM_ERR_TIMEOUT && o.triggered && o.trigger == kSoftwareTrigger)
        return "no frame within " + Seconds(o.timeoutMs) +
               ": the camera waits for a software trigger (TriggerMode=On, TriggerSource=Software) and none "
               "was sent; set TriggerMode=Off, or check the triggers with --trigger software";
    if (o.code == CAM_ERR_TIMEOUT && o.triggered)
        return "no frame within " + Seconds(o.timeoutMs) + ": the camera waits for a trigger on " +
               SourceName(o.trigger) + " (TriggerMode=On); trigger it or set TriggerMode=Off";
    if (o.code == CAM_ERR_TIMEOUT)
        return "no frame within " + Seconds(o.timeoutMs) + " (" + CamErrorName(o.code) + ")";
    return "waiting for the frame failed: " + Because(o.code);
}

// A frame that came damaged.
std::string FrameDamaged(const Outcome& o)
{
    switch (o.frameStatus) {
    case CAM_FRAME_INCOMPLETE:
        return "frame incomplete, data was lost on the way";
    case CAM_FRAME_TOO_SMALL:
        return "the frame was larger than its buffer, nothing to show";
    default:
        return "the frame arrived damaged (status " + std::to_string(o.frameStatus) + ")";
    }
}

}  // namespace

std::string Describe(const Outcome& o)
{
    switch (o.step) {
    case Step::None:
        return {};
    case Step::Startup:
        if (!o.subject.empty())
            return o.subject;  // what is wrong with the settings
        return "the camera library could not start: " + Because(o.code);
    case Step::Discovery:
        return "looking for cameras failed: " + Because(o.code);
    case Step::CameraList:
        return "the cameras found could not be listed: " + Because(o.code);
    case Step::NoCamera:
        return "no camera found (sources: " + Sources() + ")";
    case Step::NotListed: {
        std::string ids;
        for (const std::string& id : o.found)
            ids += (ids.empty() ? "" : ", ") + cam::OneLine(id);
        return "no camera " + cam::Quoted(o.subject) + " among those found: " + ids;
    }
    case Step::ListMemory:
        return "not enough memory for the list of cameras";
    case Step::Open:
        return "cannot open camera " + cam::OneLine(o.subject) + ": " + WhyNotOpened(o.code);
    case Step::PixelFormatRead:
        return "cannot read the pixel format of camera " + cam::OneLine(o.subject) + ": " + Because(o.code);
    case Step::PictureSize:
        return "camera " + cam::OneLine(o.subject) + " reports a picture of " + std::to_string(g_nWidth) +
               " x " + std::to_string(g_nHeight) + " pixels, which cannot be shown";
    case Step::NotOpen:
        return "no camera is open";
    case Step::Settings:
    case Step::SettingUsage:
        return o.subject;
    case Step::PayloadRead:
        return "cannot read the frame size (PayloadSize): " + Because(o.code);
    case Step::PayloadSize:
        return "the camera's frame size of " + std::to_string(o.value) +
               " bytes is refused (1 byte to 256 MiB)";
    case Step::FrameMemory:
        return "not enough memory for a frame of " + std::to_string(o.value) + " bytes";
    case Step::Announce:
        return "cannot hand the camera a frame buffer: " + Because(o.code);
    case Step::CaptureStart:
        return "the capture could not start: " + Because(o.code);
    case Step::Queue:
        return "cannot queue the frame buffer: " + Because(o.code);
    case Step::AcquisitionStart:
        return "the camera did not start sending (AcquisitionStart): " + Because(o.code);
    case Step::Trigger:
        return "the camera refused the software trigger (TriggerSoftware): " + Because(o.code);
    case Step::Wait:
        return WaitFailed(o);
    case Step::FrameStatus:
        return FrameDamaged(o);
    case Step::FrameSize:
        return "the camera sent a frame of " + std::to_string(o.frameWidth) + " x " +
               std::to_string(o.frameHeight) + " pixels, not the " +
               std::to_string(static_cast<uint32_t>(g_nWidth)) + " x " +
               std::to_string(static_cast<uint32_t>(g_nHeight)) +
               " it reported when opened; nothing to show";
    case Step::PixelFormat:
        return "pixel format " + cam::Quoted(o.subject) + " is not supported, nothing to show";
    }
    return "an unknown failure";
}

ExitStatus ExitStatusFor(const Outcome& outcome)
{
    switch (outcome.step) {
    case Step::None:
        return kExitSuccess;
    case Step::Startup:
    case Step::Discovery:
    case Step::CameraList:
    case Step::NoCamera:
    case Step::NotListed:
        return kExitNoCamera;
    case Step::ListMemory:
    case Step::Open:
    case Step::PixelFormatRead:
    case Step::PictureSize:
    case Step::NotOpen:
        return kExitNotOpened;
    case Step::PayloadRead:
    case Step::PayloadSize:
    case Step::FrameMemory:
    case Step::Announce:
    case Step::CaptureStart:
    case Step::Queue:
    case Step::AcquisitionStart:
    case Step::Trigger:
    case Step::Wait:
    case Step::FrameStatus:
    case Step::FrameSize:
    case Step::PixelFormat:
        return kExitNoFrame;
    case Step::Settings:
        return kExitNotOpened;
    case Step::SettingUsage:
        return kExitUsage;
    }
    return kExitNoFrame;
}

void ReportFailure(const Outcome& outcome)
{
    // The library writes what is wrong with its settings itself.
    if (!outcome.Failed() || (outcome.step == Step::Startup && !outcome.subject.empty()))
        return;
    const std::string line = "tarvik: " + Describe(outcome) + "\n";
    std::fputs(line.c_str(), stderr);
}
