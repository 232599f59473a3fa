/* Tarvik's camera library: a small C interface over the camera sources
 * (simulated camera, Aravis). Every operation returns a CamError; 0 is success.
 * Not thread-safe: call it from one thread. */
#ifndef TARVIK_CAM_H
#define TARVIK_CAM_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A handle is pointer-sized. 0 is never a valid handle; 1 is the library's
 * own system handle, which only knows the command "GeVDiscoveryAllOnce".
 * Camera handles start at 2 after each start-up and are not reused before
 * the next shut-down. */
typedef uintptr_t CamHandle;
#define CAM_SYSTEM_HANDLE ((CamHandle)1)

/* Error codes. Each has exactly one meaning. */
typedef int32_t CamError;
enum {
    CAM_OK = 0,
    CAM_ERR_INTERNAL = -1,        /* an unexpected failure inside the library */
    CAM_ERR_NOT_STARTED = -2,     /* CamStartup has not succeeded */
    CAM_ERR_BAD_HANDLE = -3,      /* handle 0, closed, or never issued */
    CAM_ERR_BAD_PARAMETER = -4,   /* a null pointer or an argument out of its range */
    CAM_ERR_NOT_FOUND = -5,       /* no camera or feature of that name */
    CAM_ERR_WRONG_TYPE = -6,      /* the feature exists but is of another type */
    CAM_ERR_INVALID_VALUE = -7,   /* the value is not accepted by the feature */
    CAM_ERR_BAD_SIZE = -8,        /* a record or buffer size does not match */
    CAM_ERR_NO_MEMORY = -9,       /* an allocation failed */
    CAM_ERR_TIMEOUT = -10,        /* nothing arrived within the time-out */
    CAM_ERR_INCOMPLETE = -11,     /* a transfer ended short */
    CAM_ERR_NOT_IMPLEMENTED = -12,/* the operation or option is not supported */
    CAM_ERR_BAD_SEQUENCE = -13,   /* call out of order (queue before announce, start twice ...) */
    CAM_ERR_ACCESS_DENIED = -14,  /* the camera is already open or refuses access */
    CAM_ERR_IO = -15,             /* the camera stopped answering or the transport failed */
    CAM_ERR_BAD_CONFIG = -16,     /* TARVIK_CAMERAS or a source's settings are invalid */
    CAM_ERR_NOT_GIGE = -17        /* the camera is not a GigE Vision camera: it has no IP settings */
};

/* The name of a code as written above ("CAM_ERR_TIMEOUT") and its meaning in
 * a few words ("nothing arrived in time"). Codes the library does not know
 * give "CAM_ERR_UNKNOWN" and a text saying so; never null. They work whether
 * or not the library is started. */
const char* CamErrorName(CamError error);
const char* CamErrorText(CamError error);

/* Access mode for CamCameraOpen: full control, one opener at a time. */
#define CAM_ACCESS_CONTROL 1u

/* Camera-information record, filled by CamCameraList. The strings belong to
 * the library and stay valid until CamShutdown. */
typedef struct CamCameraInfo {
    const char* cameraId;   /* pass to CamCameraOpen */
    const char* cameraName; /* for people */
    const char* sourceName; /* the camera source that found it, e.g. "sim" */
} CamCameraInfo;

/* Receive status of a frame after CamFrameWait succeeded. */
enum {
    CAM_FRAME_COMPLETE = 0,
    CAM_FRAME_INCOMPLETE = -1,  /* data missing (lost packets, aborted transfer) */
    CAM_FRAME_TOO_SMALL = -2,   /* the frame did not fit into the buffer */
    CAM_FRAME_INVALID = -3      /* the frame arrived damaged or of the wrong kind */
};

/* Frame record. The caller sets buffer and bufferSize before announcing it;
 * the library never changes buffer and never writes past bufferSize. */
typedef struct CamFrame {
    void* buffer;
    uint32_t bufferSize;
    int32_t receiveStatus;   /* CAM_FRAME_..., valid after CamFrameWait returned CAM_OK */
    uint32_t imageSize;      /* bytes of buffer the frame filled; only these hold data */
    uint32_t width;          /* the frame's own size, 0 where the source does not know it */
    uint32_t height;
    uint32_t reserved;
    uint64_t frameId;        /* counts frames delivered by the camera */
    void* context[2];        /* free for the caller */
    /* When the frame was made and when it came, valid after CamFrameWait or
     * CamFrameWaitNext returned CAM_OK: */
    uint64_t timestamp;      /* the camera's clock, in ns; 0 where the camera gives none */
    uint64_t receiveTime;    /* the host's CLOCK_REALTIME as the frame was received, in ns since 1970 */
    /* Set by CamFrameAnnounce: what the camera waited for before it would
     * make a frame as it was announced: null when it makes them by itself,
     * else the source of its trigger ("Software", "Line0" ...) with
     * TriggerMode On. A string as for CamFeatureEnumGet. */
    const char* triggerSource;
} CamFrame;

typedef void (*CamFrameCallback)(CamHandle camera, CamFrame* frame);

/* Library life. CamStartup reads TARVIK_CAMERAS and the sources' settings; a
 * second call while started does nothing and succeeds. CamShutdown closes every
 * camera still open. */
CamError CamStartup(void);
CamError CamShutdown(void);

/* When the last CamStartup failed with CAM_ERR_BAD_CONFIG: what is wrong, in
 * one line (e.g. "TARVIK_SIM: unknown setting \"gain\" ..."), which CamStartup
 * has also written to stderr after "tarvik: ". Otherwise empty; never null. */
const char* CamConfigError(void);

/* With list null: *numFound receives the number of cameras found by the last
 * "GeVDiscoveryAllOnce". Otherwise up to listLength entries are filled and
 * *numFound receives how many. infoSize must be sizeof(CamCameraInfo). */
CamError CamCameraList(CamCameraInfo* list, uint32_t listLength, uint32_t* numFound,
                       uint32_t infoSize);
/* What the last discovery saw of a listed GigE Vision camera, without
 * opening it, by key: "address" (the address it answered from),
 * "mac_address" (six hex pairs joined by ':') and "interface_address" (the
 * local address that reaches it). CAM_ERR_NOT_FOUND for an id not listed or
 * an unknown key, CAM_ERR_NOT_GIGE for a camera of another transport.
 * Strings as for CamFeatureEnumGet. */
CamError CamCameraListedDetailGet(const char* cameraId, const char* key, const char** value);

/* accessMode must be CAM_ACCESS_CONTROL. *camera is written only on success. */
CamError CamCameraOpen(const char* cameraId, uint32_t accessMode, CamHandle* camera);
CamError CamCameraClose(CamHandle camera);

/* Features by name. Strings returned by CamFeatureEnumGet belong to the library
 * and stay valid for the life of the process. Out values are written only on
 * success. */
CamError CamFeatureIntGet(CamHandle handle, const char* name, int64_t* value);
CamError CamFeatureEnumGet(CamHandle handle, const char* name, const char** value);
CamError CamFeatureEnumSet(CamHandle handle, const char* name, const char* value);
CamError CamFeatureCommandRun(CamHandle handle, const char* name);
CamError CamFeatureCommandIsDone(CamHandle handle, const char* name, bool* isDone);
/* Float and string features; strings as for CamFeatureEnumGet. */
CamError CamFeatureFloatGet(CamHandle handle, const char* name, double* value);
CamError CamFeatureStringGet(CamHandle handle, const char* name, const char** value);

/* Every feature described, walked by category and read or set as text: for
 * the command line, settings files and the settings window. */
enum {
    CAM_TYPE_INTEGER = 1,
    CAM_TYPE_FLOAT = 2,
    CAM_TYPE_ENUMERATION = 3,
    CAM_TYPE_BOOLEAN = 4,
    CAM_TYPE_STRING = 5,
    CAM_TYPE_COMMAND = 6,
    CAM_TYPE_CATEGORY = 7
};
/* Access as the camera allows it now (it may change with other features). */
enum { CAM_ACCESS_NONE = 0, CAM_ACCESS_READ = 1, CAM_ACCESS_WRITE = 2, CAM_ACCESS_READ_WRITE = 3 };
enum { CAM_VISIBILITY_BEGINNER = 0, CAM_VISIBILITY_EXPERT = 1, CAM_VISIBILITY_GURU = 2, CAM_VISIBILITY_INVISIBLE = 3 };
/* How an integer's value is written: in decimal, or as 0x and hex digits. */
enum { CAM_REPRESENTATION_DECIMAL = 0, CAM_REPRESENTATION_HEX = 1 };

/* A feature's description. Strings and the entry list belong to the library
 * and stay valid for the life of the process; absent ones are "". */
typedef struct CamFeatureInfo {
    const char* name;
    const char* displayName;
    const char* description;
    const char* unit;       /* e.g. "us", "dB" */
    int32_t type;           /* CAM_TYPE_... */
    int32_t access;         /* CAM_ACCESS_... */
    int32_t visibility;     /* CAM_VISIBILITY_... */
    int64_t intMinimum, intMaximum, intIncrement;         /* CAM_TYPE_INTEGER */
    double floatMinimum, floatMaximum, floatIncrement;    /* CAM_TYPE_FLOAT; increment 0: none */
    uint32_t entryCount;    /* CAM_TYPE_ENUMERATION: the entries available now */
    const char* const* entries;
    uint32_t selectedCount; /* a selector: the features whose value depends on its entry */
    const char* const* selected;
    int32_t representation; /* CAM_TYPE_INTEGER: CAM_REPRESENTATION_... */
} CamFeatureInfo;

/* infoSize must be sizeof(CamFeatureInfo), or for a caller built before
 * representation was added offsetof(CamFeatureInfo, representation): then
 * only the fields before it are written. */
CamError CamFeatureInfoGet(CamHandle handle, const char* name, CamFeatureInfo* info, uint32_t infoSize);
/* The features and categories a category lists, in the camera's order;
 * "Root" is the top. With names null, *count receives how many; otherwise
 * up to length names are filled and *count receives how many. */
CamError CamFeatureChildren(CamHandle handle, const char* category, const char** names, uint32_t length,
                            uint32_t* count);
/* A value as text: integers in decimal (0x and lower-case hex digits where
 * the representation is CAM_REPRESENTATION_HEX), floats as the shortest text that
 * reads back the same, booleans "true" or "false", enumerations by entry
 * name. Set refuses with CAM_ERR_ACCESS_DENIED a feature that is not
 * writable now, with CAM_ERR_WRONG_TYPE text that is not of the feature's
 * type, with CAM_ERR_INVALID_VALUE a value out of range, off the increment
 * or not an available entry; a command is run by setting it to "". */
CamError CamFeatureValueGet(CamHandle handle, const char* name, const char** text);
CamError CamFeatureValueSet(CamHandle handle, const char* name, const char* text);

/* What the source knows of an open camera beyond its features, by key:
 * "transport" ("GigE Vision", "USB3 Vision" or "simulated"), and for GigE
 * Vision "address" (the camera's IP address) and "interface_address" (the
 * local address that reaches it). CAM_ERR_NOT_FOUND for a key the source
 * cannot tell. Strings as for CamFeatureEnumGet. */
CamError CamCameraDetailGet(CamHandle camera, const char* key, const char** value);

/* A GigE Vision camera's IP settings, as its bootstrap registers hold them.
 * Addresses are dotted IPv4 text, "" where the camera does not tell. */
enum {
    CAM_IP_MODE_NONE = 0,        /* no mode enabled that the library knows */
    CAM_IP_MODE_PERSISTENT = 1,  /* the persistent address below */
    CAM_IP_MODE_DHCP = 2,
    CAM_IP_MODE_LINK_LOCAL = 3   /* 169.254.0.0/16, what a camera falls back to */
};
typedef struct CamNetworkInfo {
    char address[16], mask[16], gateway[16];  /* in use now */
    char macAddress[18];
    /* The configuration as the camera reports it: the mode it selects at
     * power-up (CAM_IP_MODE_...), and each of its switches. */
    int32_t mode;
    bool dhcpEnabled, persistentEnabled, linkLocalEnabled;
    /* Applied at power-up or device reset when the persistent mode is selected. */
    char persistentAddress[16], persistentMask[16], persistentGateway[16];
} CamNetworkInfo;

/* CAM_ERR_NOT_GIGE for a camera of another transport (the simulated one,
 * USB3 Vision, Aravis's in-process fake). infoSize must be
 * sizeof(CamNetworkInfo). */
CamError CamNetworkGet(CamHandle camera, CamNetworkInfo* info, uint32_t infoSize);
/* Writes the persistent address, mask and gateway (gateway may be null or
 * "" for none). The camera uses them at its next power-up or device reset,
 * and only in the persistent mode. CAM_ERR_INVALID_VALUE for text that is
 * not a dotted IPv4 address; nothing is written then. */
CamError CamNetworkPersistentSet(CamHandle camera, const char* address, const char* mask, const char* gateway);
/* Selects the mode used at the next power-up or device reset. */
CamError CamNetworkModeSet(CamHandle camera, int32_t mode);

/* Single-frame capture: announce, capture start, queue, (acquisition start),
 * wait, capture end, revoke. frameSize must be sizeof(CamFrame), or for a
 * caller built before the times were added offsetof(CamFrame, timestamp),
 * or before the trigger was added offsetof(CamFrame, triggerSource): then
 * nothing from that field on is ever written. Callbacks are not
 * supported: pass null to CamFrameQueue.
 *
 * Continuous capture (a stream): announce several frames once, capture
 * start, queue them all, "AcquisitionStart"; then CamFrameWaitNext hands
 * back each frame as the camera filled it, oldest first, and the caller
 * queues it again once done with it. A camera that finds no frame queued
 * when it has a picture ready drops that picture: frameId then skips as
 * many. "AcquisitionStop", capture end (which takes back every frame still
 * queued) and a revoke of each frame end the stream. */
CamError CamFrameAnnounce(CamHandle camera, CamFrame* frame, uint32_t frameSize);
CamError CamFrameRevoke(CamHandle camera, CamFrame* frame);
CamError CamCaptureStart(CamHandle camera);
CamError CamCaptureEnd(CamHandle camera);
CamError CamFrameQueue(CamHandle camera, CamFrame* frame, CamFrameCallback callback);
CamError CamFrameWait(CamHandle camera, CamFrame* frame, uint32_t timeoutMs);
/* Waits for whichever queued frame the camera fills next; on success *frame
 * points to it and it is no longer queued. CAM_ERR_BAD_SEQUENCE when no
 * frame is queued; CAM_ERR_TIMEOUT when none came in time, CAM_ERR_IO when
 * the camera stopped answering (every frame then stays queued). */
CamError CamFrameWaitNext(CamHandle camera, CamFrame** frame, uint32_t timeoutMs);
/* The counters the source keeps while capturing, counted from CamCaptureStart,
 * by index from 0, under the source's own names (for Aravis its stream's
 * statistics: "n_completed_buffers", "n_missing_packets" ...); strings as for
 * CamFeatureEnumGet. CAM_ERR_NOT_FOUND past the last counter,
 * CAM_ERR_BAD_SEQUENCE outside a capture. */
CamError CamStreamCounterGet(CamHandle camera, uint32_t index, const char** name, double* value);

#ifdef __cplusplus
}
#endif

#endif
