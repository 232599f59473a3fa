// --grab: its options, what they ask for, and the command that grabs one
// frame to a file without a window.
#pragma once

#include "app/CameraSequences.h"
#include "app/Options.h"

#include <QCommandLineOption>

#include <cstdint>
#include <string>

struct GrabCommand {
    std::string file;                     // where the frame goes ("-": standard output)
    uint32_t timeoutMs = kFrameTimeoutMs;  // how long to wait for the frame
};

// The grab's options with their help (--help lists --timeout apart, after
// the recording's options).
struct GrabOptionTable {
    QCommandLineOption grab;
    QCommandLineOption timeout;

    GrabOptionTable();
};

// --timeout, which only a grab waits by.
Usage ReadGrabTimeout(const ParsedOptions& options, const GrabOptionTable& table, GrabCommand* grab);
// --grab FILE, once the grab is the command asked for.
Usage ReadGrabFile(const ParsedOptions& options, const GrabOptionTable& table, GrabCommand* grab);

// Opens the camera, grabs one frame and releases the camera, exactly as the
// window's buttons do, then writes the frame to the file.
int GrabToFile(const OpenOptions& open, const GrabCommand& grab);
