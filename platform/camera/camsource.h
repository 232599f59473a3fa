// The internal seam between the library core and the camera sources: a source
// finds cameras and opens them; an opened camera answers features and frames.
#pragma once

#include "cam.h"
#include "camtext.h"

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace cam {

struct CameraEntry {
    std::string id;    // unique across all sources of one start-up
    std::string name;  // for people
    // GigE Vision only (see CamCameraListedDetailGet).
    std::string address, macAddress, interfaceAddress;
};

// A feature as a source describes it (see CamFeatureInfo).
struct FeatureDescription {
    std::string name, displayName, description, unit;
    int32_t type = 0, access = CAM_ACCESS_NONE, visibility = CAM_VISIBILITY_BEGINNER;
    int64_t intMinimum = 0, intMaximum = 0, intIncrement = 1;
    int32_t representation = CAM_REPRESENTATION_DECIMAL;
    double floatMinimum = 0, floatMaximum = 0, floatIncrement = 0;
    std::vector<std::string> entries;  // available now
    std::vector<std::string> selected;  // a selector: what it selects
};

// When a frame was made and when it came (see CamFrame); 0 where the device
// cannot tell: the core then takes the host's time as the wait returns.
struct FrameTimes {
    uint64_t timestamp = 0;    // the camera's clock, ns
    uint64_t receiveTime = 0;  // CLOCK_REALTIME, ns since 1970
};

// One opened camera. The core has already checked handles, pointers and the
// order of the frame calls; a device only does the camera's part.
class Device {
public:
    virtual ~Device() = default;

    virtual CamError GetInt(const char* name, int64_t* value) = 0;
    virtual CamError GetEnum(const char* name, std::string* value) = 0;
    virtual CamError SetEnum(const char* name, const char* value) = 0;
    virtual CamError RunCommand(const char* name) = 0;
    virtual CamError IsCommandDone(const char* name, bool* done) = 0;
    virtual CamError GetFloat(const char* name, double* value) = 0;
    virtual CamError GetString(const char* name, std::string* value) = 0;
    // See CamCameraDetailGet.
    virtual CamError GetDetail(const char* key, std::string* value) = 0;
    // See CamFeatureInfoGet, CamFeatureChildren, CamFeatureValueGet and
    // CamFeatureValueSet; SetText gets a value the core has checked against
    // Describe, written as CamFeatureValueGet writes it.
    virtual CamError Describe(const char* name, FeatureDescription* description) = 0;
    virtual CamError Children(const char* category, std::vector<std::string>* names) = 0;
    virtual CamError GetText(const char* name, std::string* text) = 0;
    virtual CamError SetText(const char* name, const std::string& text) = 0;

    virtual CamError Announce(CamFrame* frame) = 0;
    virtual void Revoke(CamFrame* frame) = 0;
    virtual CamError StartCapture() = 0;
    virtual void EndCapture() = 0;
    virtual CamError Queue(CamFrame* frame) = 0;
    // Returns CAM_OK with frame->receiveStatus set and *times filled once the
    // queued frame came back, or an error (CAM_ERR_TIMEOUT, CAM_ERR_IO ...)
    // with the frame still queued. The times go into the record through the
    // core alone: a caller's record may end before them.
    virtual CamError Wait(CamFrame* frame, uint32_t timeoutMs, FrameTimes* times) = 0;
    // The same for whichever frame comes back next; queued holds the queued
    // frames, oldest first (never empty). *frame must be one of them.
    virtual CamError WaitNext(const std::deque<CamFrame*>& queued, CamFrame** frame, uint32_t timeoutMs,
                              FrameTimes* times) = 0;
    // The stream's counters while capturing, as CamStreamCounterGet names them.
    virtual std::vector<std::pair<std::string, double>> StreamCounters() = 0;
    // See CamNetworkGet, CamNetworkPersistentSet, CamNetworkModeSet: only
    // GigE Vision devices have IP settings. The core has checked the text.
    virtual CamError GetNetwork(CamNetworkInfo*) { return CAM_ERR_NOT_GIGE; }
    virtual CamError SetPersistentIp(const std::string&, const std::string&, const std::string&)
    {
        return CAM_ERR_NOT_GIGE;
    }
    virtual CamError SetIpMode(int32_t) { return CAM_ERR_NOT_GIGE; }
};

class Source {
public:
    virtual ~Source() = default;
    // Runs this source's discovery and returns the cameras it now sees.
    virtual CamError Discover(std::vector<CameraEntry>* found) = 0;
    // Opens a camera this source reported; CAM_ERR_NOT_FOUND if it is not one of its own.
    virtual CamError Open(const std::string& id, std::unique_ptr<Device>* device) = 0;
};

// Creates a source from the argument after its name in TARVIK_CAMERAS
// ("gige:HOST" gives "HOST"; empty for plain names). On failure returns null
// and puts a one-line reason into *error.
using SourceFactory = std::unique_ptr<Source> (*)(const std::string& argument, std::string* error);

struct SourceKind {
    const char* name;
    bool takesArgument;  // written as name:ARGUMENT
    SourceFactory create;
};

// The table of camera sources, in camsources.cpp.
const std::vector<SourceKind>& SourceKinds();

// Whether TARVIK_CAMERA_TRACE=1 asks for every call (and its failures' causes) on stderr.
bool TraceEnabled();

struct NamedSource {
    std::string name;  // as written in TARVIK_CAMERAS
    std::unique_ptr<Source> source;
};

// Builds the sources named in a TARVIK_CAMERAS value (null or empty: "sim").
CamError CreateSources(const char* value, std::vector<NamedSource>* sources, std::string* error);

// One constructor per source file.
std::unique_ptr<Source> CreateSimSource(const std::string& argument, std::string* error);
std::unique_ptr<Source> CreateAravisSource(const std::string& argument, std::string* error);
std::unique_ptr<Source> CreateAravisFakeSource(const std::string& argument, std::string* error);
std::unique_ptr<Source> CreateGigeSource(const std::string& host, std::string* error);

}  // namespace cam
