// Where a sequence stopped, in words for people and as an exit status for
// scripts.
#pragma once

#include "CameraSequences.h"

#include <string>

// The failure in words, for one line after "tarvik: ", e.g. "no frame within
// 5 s (CAM_ERR_TIMEOUT)". Empty when nothing failed.
std::string Describe(const Outcome& outcome);
// While a grab waits for a trigger on an input line: "waiting for a trigger
// on Line0 (TriggerMode is On)".
std::string TriggerWaitLine(const std::string& source);
// As a recording starts on a camera whose frames wait for a trigger: the
// wait for a line, as a grab says it; for the software trigger, which a
// recording does not send, that no frame will come.
std::string RecordTriggerLine(const std::string& source);
// What --trigger-rate HZ will not do on a camera with the trigger (on, from
// source) that can make at most `most` frames a second (0: it does not
// say); empty when nothing stands in its way.
std::string TriggerRateNote(double rate, bool on, const std::string& source, double most);
// Writes "tarvik: <Describe>" to stderr when the outcome is a failure that
// the camera library has not written itself.
void ReportFailure(const Outcome& outcome);

// Exit statuses of the command line, one meaning each.
enum ExitStatus {
    kExitSuccess = 0,
    kExitNoDisplay = 1,    // the window cannot be shown
    kExitNoCamera = 2,     // no camera found, or not the one asked for
    kExitNotOpened = 3,    // the camera could not be opened or set up
    kExitNoFrame = 4,      // no complete frame that can be shown
    kExitNotWritten = 5,   // the file could not be written
    kExitCheckFailed = 6,  // a health check's verdict is fail
    kExitNotServed = 7,    // --serve cannot listen on its address
    kExitNotForced = 8,    // --force-ip: refused, not found alone at the new address, or not sent
    kExitNetwork = 9,      // --network, --set-ip, --ip-mode: not a GigE camera, or its IP settings refused
    kExitUsage = 64,       // unknown option, missing argument, bad combination
};
// The status for where a sequence stopped; kExitSuccess when it did not.
ExitStatus ExitStatusFor(const Outcome& outcome);
