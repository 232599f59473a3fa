// The library core: start-up state, handles, argument checks, the order of the
// frame calls, and the call trace (TARVIK_CAMERA_TRACE=1). Sources do the rest.
#include "cam.h"
#include "camfeature.h"
#include "camsource.h"

#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <time.h>

namespace {

using namespace cam;

struct OpenCamera {
    std::string id;
    std::unique_ptr<Device> device;
    std::vector<CamFrame*> announced;
    std::vector<CamFrame*> older;  // announced by a caller whose record ends before the times
    std::deque<CamFrame*> queued;
    bool capturing = false;
};

struct Found {
    const char* id;    // interned
    const char* name;  // interned
    const char* sourceName;  // interned
    const char* address;  // interned, as the rest
    const char* macAddress;
    const char* interfaceAddress;
    Source* source;
};

struct Library {
    bool started = false;
    std::vector<NamedSource> sources;
    std::vector<Found> found;
    std::map<CamHandle, OpenCamera> cameras;
    CamHandle nextHandle = 2;
    std::string configError;  // why the last start-up failed, if it was the settings
};

Library& Lib()
{
    static Library lib;
    return lib;
}

// Strings handed out stay valid for the life of the process: callers may keep
// a pointer past a shut-down, and the set of distinct strings is small.
const char* Intern(const std::string& s)
{
    static std::set<std::string> pool;
    return pool.insert(s).first->c_str();
}

// ---- tracing ---------------------------------------------------------------

std::string Arg(const char* s) { return s ? Quoted(s) : "null"; }
std::string Arg(const void* p) { return p ? "ptr" : "null"; }
std::string Arg(uint32_t n) { return std::to_string(n); }
std::string Arg(CamHandle h) { return std::to_string(h); }
std::string Arg(CamFrameCallback cb) { return cb ? "ptr" : "null"; }

template <class... Args>
CamError Traced(const char* function, CamError result, const Args&... args)
{
    if (TraceEnabled()) {
        std::string line = std::string("cam: ") + function + "(";
        bool first = true;
        ((line += (first ? "" : ", ") + Arg(args), first = false), ...);
        line += ") -> " + std::to_string(result) + "\n";
        std::fputs(line.c_str(), stderr);
    }
    return result;
}

// ---- checks -----------------------------------------------------------------

CamError FindCamera(CamHandle handle, OpenCamera** camera)
{
    Library& lib = Lib();
    if (!lib.started)
        return CAM_ERR_NOT_STARTED;
    auto it = lib.cameras.find(handle);
    if (it == lib.cameras.end())
        return CAM_ERR_BAD_HANDLE;
    *camera = &it->second;
    return CAM_OK;
}

// Features of the system handle: only discovery.
const char kDiscovery[] = "GeVDiscoveryAllOnce";

CamError RunDiscovery()
{
    Library& lib = Lib();
    std::vector<Found> found;
    for (size_t i = 0; i < lib.sources.size(); ++i) {
        std::vector<CameraEntry> entries;
        NamedSource& named = lib.sources[i];
        // One source failing must not hide the cameras of the others.
        CamError err = named.source->Discover(&entries);
        if (err != CAM_OK)
            std::fprintf(stderr, "tarvik: camera source %s: discovery failed (%s)\n",
                         Quoted(named.name).c_str(), CamErrorName(err));
        for (const CameraEntry& e : entries)
            found.push_back({Intern(e.id), Intern(e.name), Intern(named.name), Intern(e.address),
                             Intern(e.macAddress), Intern(e.interfaceAddress), named.source.get()});
    }
    lib.found = std::move(found);
    return CAM_OK;
}

void CloseCamera(OpenCamera& camera)
{
    if (camera.capturing)
        camera.device->EndCapture();
    for (CamFrame* frame : camera.announced)
        camera.device->Revoke(frame);
    camera.device.reset();
}

template <class Fn>
CamError WithCamera(CamHandle handle, Fn fn)
{
    OpenCamera* camera = nullptr;
    CamError err = FindCamera(handle, &camera);
    return err != CAM_OK ? err : fn(*camera);
}

// Four decimal numbers 0-255 joined by dots, without leading zeros (which
// some readers take for octal).
bool IsDottedIpv4(const std::string& text)
{
    int parts = 0;
    size_t i = 0;
    while (parts < 4) {
        size_t start = i;
        int value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3)
            value = value * 10 + (text[i++] - '0');
        if (i == start || value > 255 || (text[start] == '0' && i - start > 1))
            return false;
        if (++parts < 4 && (i >= text.size() || text[i++] != '.'))
            return false;
    }
    return i == text.size();
}

bool Contains(const std::vector<CamFrame*>& v, const CamFrame* f)
{
    return std::find(v.begin(), v.end(), f) != v.end();
}

bool Contains(const std::deque<CamFrame*>& v, const CamFrame* f)
{
    return std::find(v.begin(), v.end(), f) != v.end();
}

void Unqueue(OpenCamera& camera, const CamFrame* frame)
{
    camera.queued.erase(std::remove(camera.queued.begin(), camera.queued.end(), frame),
                        camera.queued.end());
}

// Writes the times of a frame that came back, where its record has room for them.
void StoreTimes(const OpenCamera& camera, CamFrame* frame, const FrameTimes& times)
{
    if (Contains(camera.older, frame))
        return;
    uint64_t received = times.receiveTime;
    if (received == 0) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        received = uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
    }
    frame->timestamp = times.timestamp;
    frame->receiveTime = received;
}

// What a camera's frames wait for, read from the device here rather than
// asked by the caller, so that a camera running free costs the caller's
// capture no call: null unless TriggerMode is On.
const char* TriggerSourceOf(Device& device)
{
    std::string mode, source;
    if (device.GetEnum("TriggerMode", &mode) != CAM_OK || mode != "On")
        return nullptr;
    // A camera that will not say which source still waits for something.
    return Intern(device.GetEnum("TriggerSource", &source) == CAM_OK ? source : "");
}

// Shared by every feature call: a started library, a name, and either a
// camera handle or the system handle.
template <class CameraFn, class SystemFn>
CamError Feature(CamHandle handle, const char* name, const void* out, CameraFn onCamera,
                 SystemFn onSystem)
{
    if (!Lib().started)
        return CAM_ERR_NOT_STARTED;
    if (!name || !out)
        return CAM_ERR_BAD_PARAMETER;
    if (handle == CAM_SYSTEM_HANDLE)
        return onSystem();
    return WithCamera(handle, [&](OpenCamera& c) -> CamError { return onCamera(*c.device); });
}

CamError SystemNotFound(const char* name)
{
    return std::strcmp(name, kDiscovery) == 0 ? CAM_ERR_WRONG_TYPE : CAM_ERR_NOT_FOUND;
}

// A list of names interned, itself kept for the life of the process.
const std::vector<const char*>& InternList(const std::vector<std::string>& names)
{
    static std::map<std::vector<std::string>, std::vector<const char*>> lists;
    auto [list, added] = lists.try_emplace(names);
    if (added)
        for (const std::string& n : names)
            list->second.push_back(Intern(n));
    return list->second;
}

// A description as the C record, its strings and lists interned.
CamFeatureInfo InfoOf(const FeatureDescription& f)
{
    const std::vector<const char*>& entries = InternList(f.entries);
    const std::vector<const char*>& selected = InternList(f.selected);
    CamFeatureInfo info{};
    info.name = Intern(f.name);
    info.displayName = Intern(f.displayName);
    info.description = Intern(f.description);
    info.unit = Intern(f.unit);
    info.type = f.type;
    info.access = f.access;
    info.visibility = f.visibility;
    info.intMinimum = f.intMinimum;
    info.intMaximum = f.intMaximum;
    info.intIncrement = f.intIncrement;
    info.floatMinimum = f.floatMinimum;
    info.floatMaximum = f.floatMaximum;
    info.floatIncrement = f.floatIncrement;
    info.entryCount = uint32_t(entries.size());
    info.entries = entries.data();
    info.selectedCount = uint32_t(selected.size());
    info.selected = selected.data();
    info.representation = f.representation;
    return info;
}

// A string a device gives, interned for the caller.
template <class Get>
CamError Text(const char** value, Get get)
{
    std::string text;
    CamError err = get(&text);
    if (err == CAM_OK)
        *value = Intern(text);
    return err;
}

}  // namespace

bool cam::TraceEnabled()
{
    const char* v = std::getenv("TARVIK_CAMERA_TRACE");
    return v && std::strcmp(v, "1") == 0;
}

extern "C" {

CamError CamStartup(void)
{
    Library& lib = Lib();
    if (lib.started)
        return Traced("CamStartup", CAM_OK);
    std::string& error = lib.configError;
    error.clear();
    CamError err = CreateSources(std::getenv("TARVIK_CAMERAS"), &lib.sources, &error);
    if (err != CAM_OK) {
        std::fprintf(stderr, "tarvik: %s\n", error.c_str());
        lib.sources.clear();
        return Traced("CamStartup", err);
    }
    lib.started = true;
    lib.found.clear();
    lib.nextHandle = 2;
    return Traced("CamStartup", CAM_OK);
}

const char* CamConfigError(void) { return Lib().configError.c_str(); }

CamError CamShutdown(void)
{
    Library& lib = Lib();
    if (!lib.started)
        return Traced("CamShutdown", CAM_ERR_NOT_STARTED);
    for (auto& [handle, camera] : lib.cameras)
        CloseCamera(camera);
    lib.cameras.clear();
    lib.found.clear();
    lib.sources.clear();
    lib.started = false;
    return Traced("CamShutdown", CAM_OK);
}

CamError CamCameraList(CamCameraInfo* list, uint32_t listLength, uint32_t* numFound,
                       uint32_t infoSize)
{
    auto result = [&]() -> CamError {
        Library& lib = Lib();
        if (!lib.started)
            return CAM_ERR_NOT_STARTED;
        if (!numFound)
            return CAM_ERR_BAD_PARAMETER;
        if (infoSize != sizeof(CamCameraInfo))
            return CAM_ERR_BAD_SIZE;
        if (!list) {
            *numFound = static_cast<uint32_t>(lib.found.size());
            return CAM_OK;
        }
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(listLength, lib.found.size()));
        for (uint32_t i = 0; i < n; ++i) {
            const Found& f = lib.found[i];
            list[i].cameraId = f.id;
            list[i].cameraName = f.name;
            list[i].sourceName = f.sourceName;
        }
        *numFound = n;
        return CAM_OK;
    }();
    return Traced("CamCameraList", result, static_cast<const void*>(list), listLength,
                  static_cast<const void*>(numFound), infoSize);
}

CamError CamCameraOpen(const char* cameraId, uint32_t accessMode, CamHandle* camera)
{
    auto result = [&]() -> CamError {
        Library& lib = Lib();
        if (!lib.started)
            return CAM_ERR_NOT_STARTED;
        if (!cameraId || !camera)
            return CAM_ERR_BAD_PARAMETER;
        if (accessMode != CAM_ACCESS_CONTROL)
            return CAM_ERR_BAD_PARAMETER;
        auto known = std::find_if(lib.found.begin(), lib.found.end(), [&](const Found& f) {
            return std::strcmp(f.id, cameraId) == 0;
        });
        if (known == lib.found.end())
            return CAM_ERR_NOT_FOUND;
        for (const auto& [handle, open] : lib.cameras)
            if (open.id == cameraId)
                return CAM_ERR_ACCESS_DENIED;
        std::unique_ptr<Device> device;
        CamError err = known->source->Open(cameraId, &device);
        if (err != CAM_OK)
            return err;
        CamHandle handle = lib.nextHandle++;
        OpenCamera& open = lib.cameras[handle];
        open.id = cameraId;
        open.device = std::move(device);
        *camera = handle;
        return CAM_OK;
    }();
    return Traced("CamCameraOpen", result, cameraId, accessMode, static_cast<const void*>(camera));
}

CamError CamCameraClose(CamHandle handle)
{
    CamError result = WithCamera(handle, [&](OpenCamera& c) -> CamError {
        CloseCamera(c);
        Lib().cameras.erase(handle);
        return CAM_OK;
    });
    return Traced("CamCameraClose", result, handle);
}

CamError CamFeatureIntGet(CamHandle handle, const char* name, int64_t* value)
{
    CamError result = Feature(
        handle, name, value, [&](Device& d) -> CamError { return d.GetInt(name, value); },
        [&] { return SystemNotFound(name); });
    return Traced("CamFeatureIntGet", result, handle, name, static_cast<const void*>(value));
}

CamError CamFeatureEnumGet(CamHandle handle, const char* name, const char** value)
{
    CamError result = Feature(
        handle, name, value,
        [&](Device& d) -> CamError {
            std::string text;
            CamError err = d.GetEnum(name, &text);
            if (err == CAM_OK)
                *value = Intern(text);
            return err;
        },
        [&] { return SystemNotFound(name); });
    return Traced("CamFeatureEnumGet", result, handle, name, static_cast<const void*>(value));
}

CamError CamFeatureEnumSet(CamHandle handle, const char* name, const char* value)
{
    CamError result = Feature(
        handle, name, value, [&](Device& d) -> CamError { return d.SetEnum(name, value); },
        [&] { return SystemNotFound(name); });
    return Traced("CamFeatureEnumSet", result, handle, name, value);
}

CamError CamFeatureCommandRun(CamHandle handle, const char* name)
{
    CamError result = Feature(
        handle, name, name, [&](Device& d) -> CamError { return d.RunCommand(name); },
        [&] { return std::strcmp(name, kDiscovery) == 0 ? RunDiscovery() : CAM_ERR_NOT_FOUND; });
    return Traced("CamFeatureCommandRun", result, handle, name);
}

CamError CamFeatureCommandIsDone(CamHandle handle, const char* name, bool* isDone)
{
    CamError result = Feature(
        handle, name, isDone, [&](Device& d) -> CamError { return d.IsCommandDone(name, isDone); },
        [&]() -> CamError {
            if (std::strcmp(name, kDiscovery) != 0)
                return CAM_ERR_NOT_FOUND;
            *isDone = true;  // discovery runs to completion inside the command
            return CAM_OK;
        });
    return Traced("CamFeatureCommandIsDone", result, handle, name,
                  static_cast<const void*>(isDone));
}

CamError CamFeatureFloatGet(CamHandle handle, const char* name, double* value)
{
    CamError result = Feature(
        handle, name, value, [&](Device& d) -> CamError { return d.GetFloat(name, value); },
        [&] { return SystemNotFound(name); });
    return Traced("CamFeatureFloatGet", result, handle, name, static_cast<const void*>(value));
}

CamError CamFeatureStringGet(CamHandle handle, const char* name, const char** value)
{
    CamError result = Feature(
        handle, name, value,
        [&](Device& d) { return Text(value, [&](std::string* t) { return d.GetString(name, t); }); },
        [&] { return SystemNotFound(name); });
    return Traced("CamFeatureStringGet", result, handle, name, static_cast<const void*>(value));
}

CamError CamFeatureInfoGet(CamHandle handle, const char* name, CamFeatureInfo* info, uint32_t infoSize)
{
    CamError result = Feature(
        handle, name, info,
        [&](Device& d) -> CamError {
            if (infoSize != sizeof(CamFeatureInfo) && infoSize != offsetof(CamFeatureInfo, representation))
                return CAM_ERR_BAD_SIZE;
            FeatureDescription f;
            const CamError err = d.Describe(name, &f);
            if (err == CAM_OK) {
                const CamFeatureInfo whole = InfoOf(f);
                std::memcpy(static_cast<void*>(info), &whole, infoSize);  // an older caller's record is shorter
            }
            return err;
        },
        [&] { return SystemNotFound(name); });
    return Traced("CamFeatureInfoGet", result, handle, name, static_cast<const void*>(info), infoSize);
}

CamError CamFeatureChildren(CamHandle handle, const char* category, const char** names, uint32_t length,
                            uint32_t* count)
{
    CamError result = Feature(
        handle, category, count,
        [&](Device& d) -> CamError {
            std::vector<std::string> children;
            const CamError err = d.Children(category, &children);
            if (err != CAM_OK)
                return err;
            uint32_t n = 0;
            for (; names && n < length && n < children.size(); ++n)
                names[n] = Intern(children[n]);
            *count = names ? n : uint32_t(children.size());
            return CAM_OK;
        },
        [&] { return CAM_ERR_NOT_FOUND; });
    return Traced("CamFeatureChildren", result, handle, category, static_cast<const void*>(names), length,
                  static_cast<const void*>(count));
}

CamError CamFeatureValueGet(CamHandle handle, const char* name, const char** text)
{
    CamError result = Feature(
        handle, name, text,
        [&](Device& d) { return Text(text, [&](std::string* t) { return d.GetText(name, t); }); },
        [&] { return SystemNotFound(name); });
    return Traced("CamFeatureValueGet", result, handle, name, static_cast<const void*>(text));
}

CamError CamFeatureValueSet(CamHandle handle, const char* name, const char* text)
{
    CamError result = Feature(
        handle, name, text,
        [&](Device& d) -> CamError {
            FeatureDescription f;
            CamError err = d.Describe(name, &f);
            if (err != CAM_OK)
                return err;
            if (!(f.access & CAM_ACCESS_WRITE))
                return CAM_ERR_ACCESS_DENIED;
            std::string value, why;
            if ((err = CheckFeatureValue(InfoOf(f), text, &value, &why)) != CAM_OK)
                return err;
            return d.SetText(name, value);
        },
        [&] { return std::strcmp(name, kDiscovery) == 0 && !*text ? RunDiscovery() : SystemNotFound(name); });
    return Traced("CamFeatureValueSet", result, handle, name, text);
}

CamError CamCameraDetailGet(CamHandle handle, const char* key, const char** value)
{
    CamError result = Feature(
        handle, key, value,
        [&](Device& d) { return Text(value, [&](std::string* t) { return d.GetDetail(key, t); }); },
        [] { return CAM_ERR_NOT_FOUND; });
    return Traced("CamCameraDetailGet", result, handle, key, static_cast<const void*>(value));
}

CamError CamCameraListedDetailGet(const char* cameraId, const char* key, const char** value)
{
    auto result = [&]() -> CamError {
        Library& lib = Lib();
        if (!lib.started)
            return CAM_ERR_NOT_STARTED;
        if (!cameraId || !key || !value)
            return CAM_ERR_BAD_PARAMETER;
        for (const Found& f : lib.found) {
            if (std::strcmp(f.id, cameraId))
                continue;
            if (!*f.address)
                return CAM_ERR_NOT_GIGE;
            const char* v = !std::strcmp(key, "address")             ? f.address
                            : !std::strcmp(key, "mac_address")       ? f.macAddress
                            : !std::strcmp(key, "interface_address") ? f.interfaceAddress
                                                                     : nullptr;
            if (!v)
                return CAM_ERR_NOT_FOUND;
            *value = v;
            return CAM_OK;
        }
        return CAM_ERR_NOT_FOUND;
    }();
    return Traced("CamCameraListedDetailGet", result, cameraId, key, static_cast<const void*>(value));
}

CamError CamNetworkGet(CamHandle handle, CamNetworkInfo* info, uint32_t infoSize)
{
    CamError result = WithCamera(handle, [&](OpenCamera& c) -> CamError {
        if (!info)
            return CAM_ERR_BAD_PARAMETER;
        if (infoSize != sizeof(CamNetworkInfo))
            return CAM_ERR_BAD_SIZE;
        CamNetworkInfo read{};
        CamError err = c.device->GetNetwork(&read);
        if (err == CAM_OK)
            *info = read;
        return err;
    });
    return Traced("CamNetworkGet", result, handle, static_cast<const void*>(info), infoSize);
}

CamError CamNetworkPersistentSet(CamHandle handle, const char* address, const char* mask, const char* gateway)
{
    CamError result = WithCamera(handle, [&](OpenCamera& c) -> CamError {
        if (!address || !mask)
            return CAM_ERR_BAD_PARAMETER;
        const std::string g = gateway ? gateway : "";
        if (!IsDottedIpv4(address) || !IsDottedIpv4(mask) || (!g.empty() && !IsDottedIpv4(g)))
            return CAM_ERR_INVALID_VALUE;
        return c.device->SetPersistentIp(address, mask, g);
    });
    return Traced("CamNetworkPersistentSet", result, handle, address, mask, gateway);
}

CamError CamNetworkModeSet(CamHandle handle, int32_t mode)
{
    CamError result = WithCamera(handle, [&](OpenCamera& c) -> CamError {
        if (mode != CAM_IP_MODE_PERSISTENT && mode != CAM_IP_MODE_DHCP && mode != CAM_IP_MODE_LINK_LOCAL)
            return CAM_ERR_BAD_PARAMETER;
        return c.device->SetIpMode(mode);
    });
    return Traced("CamNetworkModeSet", result, handle, uint32_t(mode));
}

CamError CamFrameAnnounce(CamHandle handle, CamFrame* frame, uint32_t frameSize)
{
    CamError result = WithCamera(handle, [&](OpenCamera& c) -> CamError {
        if (!frame)
            return CAM_ERR_BAD_PARAMETER;
        const bool older = frameSize == offsetof(CamFrame, timestamp);
        const bool untriggered = frameSize == offsetof(CamFrame, triggerSource);
        if (frameSize != sizeof(CamFrame) && !older && !untriggered)
            return CAM_ERR_BAD_SIZE;
        if (!frame->buffer || frame->bufferSize == 0)
            return CAM_ERR_BAD_PARAMETER;
        if (Contains(c.announced, frame))
            return CAM_ERR_BAD_SEQUENCE;
        CamError err = c.device->Announce(frame);
        if (err == CAM_OK)
            c.announced.push_back(frame);
        if (err == CAM_OK && older)
            c.older.push_back(frame);
        if (err == CAM_OK && frameSize == sizeof(CamFrame))
            frame->triggerSource = TriggerSourceOf(*c.device);
        return err;
    });
    return Traced("CamFrameAnnounce", result, handle, static_cast<const void*>(frame), frameSize);
}

CamError CamFrameRevoke(CamHandle handle, CamFrame* frame)
{
    CamError result = WithCamera(handle, [&](OpenCamera& c) -> CamError {
        if (!frame)
            return CAM_ERR_BAD_PARAMETER;
        if (!Contains(c.announced, frame))
            return CAM_ERR_BAD_SEQUENCE;
        // A queued frame may still be written into until the capture ends.
        if (Contains(c.queued, frame))
            return CAM_ERR_BAD_SEQUENCE;
        c.device->Revoke(frame);
        c.announced.erase(std::find(c.announced.begin(), c.announced.end(), frame));
        c.older.erase(std::remove(c.older.begin(), c.older.end(), frame), c.older.end());
        return CAM_OK;
    });
    return Traced("CamFrameRevoke", result, handle, static_cast<const void*>(frame));
}

CamError CamCaptureStart(CamHandle handle)
{
    CamError result = WithCamera(handle, [&](OpenCamera& c) -> CamError {
        if (c.capturing)
            return CAM_ERR_BAD_SEQUENCE;
        CamError err = c.device->StartCapture();
        c.capturing = err == CAM_OK;
        return err;
    });
    return Traced("CamCaptureStart", result, handle);
}

CamError CamCaptureEnd(CamHandle handle)
{
    CamError result = WithCamera(handle, [&](OpenCamera& c) -> CamError {
        if (!c.capturing)
            return CAM_ERR_BAD_SEQUENCE;
        c.device->EndCapture();
        c.queued.clear();
        c.capturing = false;
        return CAM_OK;
    });
    return Traced("CamCaptureEnd", result, handle);
}

CamError CamFrameQueue(CamHandle handle, CamFrame* frame, CamFrameCallback callback)
{
    CamError result = WithCamera(handle, [&](OpenCamera& c) -> CamError {
        if (!frame)
            return CAM_ERR_BAD_PARAMETER;
        if (callback)
            return CAM_ERR_NOT_IMPLEMENTED;
        if (!Contains(c.announced, frame) || !c.capturing || Contains(c.queued, frame))
            return CAM_ERR_BAD_SEQUENCE;
        CamError err = c.device->Queue(frame);
        if (err == CAM_OK)
            c.queued.push_back(frame);
        return err;
    });
    return Traced("CamFrameQueue", result, handle, static_cast<const void*>(frame), callback);
}

CamError CamFrameWait(CamHandle handle, CamFrame* frame, uint32_t timeoutMs)
{
    CamError result = WithCamera(handle, [&](OpenCamera& c) -> CamError {
        if (!frame)
            return CAM_ERR_BAD_PARAMETER;
        if (!Contains(c.queued, frame))
            return CAM_ERR_BAD_SEQUENCE;
        FrameTimes times;
        CamError err = c.device->Wait(frame, timeoutMs, &times);
        if (err == CAM_OK) {
            Unqueue(c, frame);
            StoreTimes(c, frame, times);
        }
        return err;
    });
    return Traced("CamFrameWait", result, handle, static_cast<const void*>(frame), timeoutMs);
}

CamError CamFrameWaitNext(CamHandle handle, CamFrame** frame, uint32_t timeoutMs)
{
    CamError result = WithCamera(handle, [&](OpenCamera& c) -> CamError {
        if (!frame)
            return CAM_ERR_BAD_PARAMETER;
        if (c.queued.empty())
            return CAM_ERR_BAD_SEQUENCE;
        CamFrame* next = nullptr;
        FrameTimes times;
        CamError err = c.device->WaitNext(c.queued, &next, timeoutMs, &times);
        if (err != CAM_OK)
            return err;
        if (!Contains(c.queued, next))
            return CAM_ERR_INTERNAL;
        Unqueue(c, next);
        StoreTimes(c, next, times);
        *frame = next;
        return CAM_OK;
    });
    return Traced("CamFrameWaitNext", result, handle, static_cast<const void*>(frame), timeoutMs);
}

CamError CamStreamCounterGet(CamHandle handle, uint32_t index, const char** name, double* value)
{
    CamError result = WithCamera(handle, [&](OpenCamera& c) -> CamError {
        if (!name || !value)
            return CAM_ERR_BAD_PARAMETER;
        if (!c.capturing)
            return CAM_ERR_BAD_SEQUENCE;
        const auto counters = c.device->StreamCounters();
        if (index >= counters.size())
            return CAM_ERR_NOT_FOUND;
        *name = Intern(counters[index].first);
        *value = counters[index].second;
        return CAM_OK;
    });
    return Traced("CamStreamCounterGet", result, handle, index, static_cast<const void*>(name),
                  static_cast<const void*>(value));
}

}  // extern "C"
