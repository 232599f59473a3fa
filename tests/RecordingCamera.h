// A stand-in camera library for the dialog's tests: records every call, in the
// trace's format, and answers from a script that can make any call fail.
#pragma once

#include "platform/camera/cam.h"

#include <map>
#include <string>
#include <vector>

namespace rec {

struct Script {
    // Calls written as recorded (without the result), e.g.
    // "CamFeatureEnumSet(2, \"PixelFormat\", \"BGR8Packed\")", and the code they return.
    std::map<std::string, CamError> failures;
    std::vector<std::string> cameraIds = {"cam-A"};
    int adjustPollsUntilDone = 2;  // negative: never done
    std::string pixelFormat = "BGR8Packed";
    int64_t width = 640;
    int64_t height = 480;
    int64_t payload = 640 * 480 * 3;
    int32_t receiveStatus = CAM_FRAME_COMPLETE;
    // Bytes written into a frame's buffer on a successful wait (at most its size).
    std::vector<uint8_t> frameBytes;
};

// Clears the recording and installs a script.
void Reset(const Script& script = Script());
Script& CurrentScript();
// Each call as "Name(args) -> code".
const std::vector<std::string>& Calls();
// The calls with runs of identical lines folded into "line x N".
std::vector<std::string> FoldedCalls();
// Frames announced and not yet revoked.
int OpenAnnouncements();

}  // namespace rec
