// The recording double of the camera library (see RecordingCamera.h).
#include "RecordingCamera.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace rec {
namespace {

Script g_script;
std::vector<std::string> g_calls;
std::vector<const CamFrame*> g_announced;
int g_polls = 0;

std::string Arg(const char* s) { return s ? "\"" + std::string(s) + "\"" : "null"; }
std::string Arg(const void* p) { return p ? "ptr" : "null"; }
std::string Arg(uint32_t n) { return std::to_string(n); }
std::string Arg(CamHandle h) { return std::to_string(h); }
std::string Arg(CamFrameCallback cb) { return cb ? "ptr" : "null"; }

template <class... Args>
std::string Call(const char* name, const Args&... args)
{
    std::string line = std::string(name) + "(";
    bool first = true;
    ((line += (first ? "" : ", ") + Arg(args), first = false), ...);
    return line + ")";
}

// Records the call and returns the scripted failure, or CAM_OK.
CamError Record(const std::string& call)
{
    auto it = g_script.failures.find(call);
    CamError result = it == g_script.failures.end() ? CAM_OK : it->second;
    g_calls.push_back(call + " -> " + std::to_string(result));
    return result;
}

}  // namespace

void Reset(const Script& script)
{
    g_script = script;
    g_calls.clear();
    g_announced.clear();
    g_polls = 0;
}

Script& CurrentScript() { return g_script; }
const std::vector<std::string>& Calls() { return g_calls; }
int OpenAnnouncements() { return static_cast<int>(g_announced.size()); }

std::vector<std::string> FoldedCalls()
{
    std::vector<std::string> out;
    for (size_t i = 0; i < g_calls.size();) {
        size_t j = i;
        while (j < g_calls.size() && g_calls[j] == g_calls[i])
            ++j;
        out.push_back(j - i > 1 ? g_calls[i] + " x " + std::to_string(j - i) : g_calls[i]);
        i = j;
    }
    return out;
}

}  // namespace rec

using namespace rec;

extern "C" {

CamError CamStartup(void) { return Record(Call("CamStartup")); }
const char* CamConfigError(void) { return ""; }
CamError CamShutdown(void) { return Record(Call("CamShutdown")); }

CamError CamCameraList(CamCameraInfo* list, uint32_t listLength, uint32_t* numFound,
                       uint32_t infoSize)
{
    CamError r = Record(Call("CamCameraList", static_cast<const void*>(list), listLength,
                             static_cast<const void*>(numFound), infoSize));
    if (r != CAM_OK)
        return r;
    uint32_t n = static_cast<uint32_t>(g_script.cameraIds.size());
    if (list) {
        n = std::min(n, listLength);
        for (uint32_t i = 0; i < n; ++i)
            list[i] = {g_script.cameraIds[i].c_str(), "recorded", "rec"};
    }
    *numFound = n;
    return r;
}

CamError CamCameraOpen(const char* cameraId, uint32_t accessMode, CamHandle* camera)
{
    CamError r = Record(Call("CamCameraOpen", cameraId, accessMode, static_cast<const void*>(camera)));
    if (r == CAM_OK)
        *camera = 2;
    return r;
}

CamError CamCameraClose(CamHandle camera) { return Record(Call("CamCameraClose", camera)); }

CamError CamFeatureIntGet(CamHandle handle, const char* name, int64_t* value)
{
    CamError r = Record(Call("CamFeatureIntGet", handle, name, static_cast<const void*>(value)));
    if (r == CAM_OK) {
        if (!std::strcmp(name, "Width"))
            *value = g_script.width;
        else if (!std::strcmp(name, "Height"))
            *value = g_script.height;
        else if (!std::strcmp(name, "PayloadSize"))
            *value = g_script.payload;
    }
    return r;
}

CamError CamFeatureEnumGet(CamHandle handle, const char* name, const char** value)
{
    CamError r = Record(Call("CamFeatureEnumGet", handle, name, static_cast<const void*>(value)));
    if (r == CAM_OK)
        *value = g_script.pixelFormat.c_str();
    return r;
}

CamError CamFeatureEnumSet(CamHandle handle, const char* name, const char* value)
{
    return Record(Call("CamFeatureEnumSet", handle, name, value));
}

CamError CamFeatureCommandRun(CamHandle handle, const char* name)
{
    CamError r = Record(Call("CamFeatureCommandRun", handle, name));
    if (r == CAM_OK && !std::strcmp(name, "GVSPAdjustPacketSize"))
        g_polls = 0;
    return r;
}

CamError CamFeatureCommandIsDone(CamHandle handle, const char* name, bool* isDone)
{
    CamError r = Record(Call("CamFeatureCommandIsDone", handle, name, static_cast<const void*>(isDone)));
    if (r == CAM_OK)
        *isDone = g_script.adjustPollsUntilDone >= 0 && ++g_polls >= g_script.adjustPollsUntilDone;
    return r;
}

CamError CamFrameAnnounce(CamHandle camera, CamFrame* frame, uint32_t frameSize)
{
    CamError r = Record(Call("CamFrameAnnounce", camera, static_cast<const void*>(frame), frameSize));
    if (r == CAM_OK)
        g_announced.push_back(frame);
    return r;
}

CamError CamFrameRevoke(CamHandle camera, CamFrame* frame)
{
    CamError r = Record(Call("CamFrameRevoke", camera, static_cast<const void*>(frame)));
    g_announced.erase(std::remove(g_announced.begin(), g_announced.end(), frame), g_announced.end());
    return r;
}

CamError CamCaptureStart(CamHandle camera) { return Record(Call("CamCaptureStart", camera)); }
CamError CamCaptureEnd(CamHandle camera) { return Record(Call("CamCaptureEnd", camera)); }

CamError CamFrameQueue(CamHandle camera, CamFrame* frame, CamFrameCallback callback)
{
    return Record(Call("CamFrameQueue", camera, static_cast<const void*>(frame), callback));
}

CamError CamFrameWait(CamHandle camera, CamFrame* frame, uint32_t timeoutMs)
{
    CamError r = Record(Call("CamFrameWait", camera, static_cast<const void*>(frame), timeoutMs));
    if (r == CAM_OK) {
        size_t n = std::min<size_t>(frame->bufferSize, g_script.frameBytes.size());
        if (n)
            std::memcpy(frame->buffer, g_script.frameBytes.data(), n);
        frame->imageSize = uint32_t(n);
        frame->receiveStatus = g_script.receiveStatus;
        // A camera without a clock, received now, as the library fills the times.
        frame->timestamp = 0;
        frame->receiveTime = uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
    }
    return r;
}

CamError CamFrameWaitNext(CamHandle camera, CamFrame** frame, uint32_t timeoutMs)
{
    return Record(Call("CamFrameWaitNext", camera, static_cast<const void*>(frame), timeoutMs));
}

// The health check's and the settings' calls: recorded, and the camera has
// none of it.
CamError CamFeatureFloatGet(CamHandle handle, const char* name, double* value)
{
    const CamError r = Record(Call("CamFeatureFloatGet", handle, name, static_cast<const void*>(value)));
    return r == CAM_OK ? CAM_ERR_NOT_FOUND : r;
}

CamError CamFeatureStringGet(CamHandle handle, const char* name, const char** value)
{
    const CamError r = Record(Call("CamFeatureStringGet", handle, name, static_cast<const void*>(value)));
    return r == CAM_OK ? CAM_ERR_NOT_FOUND : r;
}

CamError CamCameraDetailGet(CamHandle camera, const char* key, const char** value)
{
    const CamError r = Record(Call("CamCameraDetailGet", camera, key, static_cast<const void*>(value)));
    return r == CAM_OK ? CAM_ERR_NOT_FOUND : r;
}

CamError CamFeatureInfoGet(CamHandle handle, const char* name, CamFeatureInfo* info, uint32_t infoSize)
{
    const CamError r = Record(Call("CamFeatureInfoGet", handle, name, static_cast<const void*>(info), infoSize));
    return r == CAM_OK ? CAM_ERR_NOT_FOUND : r;
}

CamError CamFeatureChildren(CamHandle handle, const char* category, const char** names, uint32_t length,
                            uint32_t* count)
{
    const CamError r = Record(Call("CamFeatureChildren", handle, category, static_cast<const void*>(names), length,
                                   static_cast<const void*>(count)));
    return r == CAM_OK ? CAM_ERR_NOT_FOUND : r;
}

CamError CamFeatureValueGet(CamHandle handle, const char* name, const char** text)
{
    const CamError r = Record(Call("CamFeatureValueGet", handle, name, static_cast<const void*>(text)));
    return r == CAM_OK ? CAM_ERR_NOT_FOUND : r;
}

CamError CamFeatureValueSet(CamHandle handle, const char* name, const char* text)
{
    const CamError r = Record(Call("CamFeatureValueSet", handle, name, text));
    return r == CAM_OK ? CAM_ERR_NOT_FOUND : r;
}

CamError CamStreamCounterGet(CamHandle camera, uint32_t index, const char** name, double* value)
{
    const CamError r = Record(Call("CamStreamCounterGet", camera, index, static_cast<const void*>(name),
                                   static_cast<const void*>(value)));
    return r == CAM_OK ? CAM_ERR_NOT_FOUND : r;
}

}  // extern "C"
