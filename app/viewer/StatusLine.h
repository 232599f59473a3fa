// The viewer's status line: what the camera, live view, a trigger and a
// recording are doing, in a line or two of text that is always in sight,
// in the same words as the picture area's tooltip.
#pragma once

#include "app/live/LiveStream.h"
#include "app/record/Recorder.h"

#include <cstdint>
#include <ctime>
#include <string>

struct StatusFacts {
    std::string cameraId;  // empty: no camera is open
    std::string cameraName;
    int64_t width = 0, height = 0;
    std::string pixelFormat;
    bool frameShown = false;
    uint64_t frameId = 0;
    std::time_t frameTime = 0;  // when the frame shown arrived; 0: not known

    bool live = false;
    LiveStream::Counts counts;
    LiveStream::Rates rates;
    LiveStream::TriggerState trigger;

    bool recording = false;
    std::string recordPath;
    Recorder::Counts record;

    std::string lastFailure;  // in words; empty: none
};

// The first line: the camera, its picture and live view's counts; the
// second, when there is something to say: the trigger awaited, the
// recording, frames that only come incomplete and the last failure.
// Lines are separated by '\n'.
std::string StatusLine(const StatusFacts& facts);
