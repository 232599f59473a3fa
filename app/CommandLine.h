// The command line: options, help, and what Tarvik does without a window
// (list the cameras, grab one frame to a file, check cameras).
#pragma once

#include "CameraSequences.h"
#include "app/check/HealthCheck.h"

#include <string>
#include <vector>

struct CommandLine {
    enum class Mode { Window, Help, Version, List, Grab, Check, Features, Record, Serve, Usage, SettingsRefused };
    Mode mode = Mode::Window;
    OpenOptions open;
    bool live = false;       // Mode::Window: start live view at once
    std::string grabFile;    // Mode::Grab: where the frame goes ("-": standard output)
    uint32_t grabTimeoutMs = kFrameTimeoutMs;  // Mode::Grab: how long to wait for the frame
    double triggerRate = 0;  // Mode::Window with live: software triggers a second; 0: none
    std::string error;       // Mode::Usage, Mode::SettingsRefused: what is wrong
    // Mode::Check; Mode::Serve: thresholds and a probe's length
    CheckOptions check;
    bool allCameras = false;
    bool json = false;  // Mode::Check, Mode::Features
    bool prometheus = false;  // Mode::Check: the report as Prometheus metrics
    std::string outputFile;   // Mode::Check: where the report goes (empty: standard output)
    // Mode::Features: printed after the settings (in open) were applied
    std::vector<std::string> gets;
    bool features = false;
    std::string saveSettingsFile;
    // Mode::Record
    struct Record {
        std::string path;          // NAME.mkv, NAME.tif(f) or DIR/
        uint64_t frames = 0;       // stop after this many; 0: no limit
        double seconds = 0;        // stop after this long; 0: no limit
        bool overwrite = false;
        uint64_t bufferBytes = 0;  // the queue's bound; 0: the default
        std::string frameFileFormat = "tiff";  // a folder's files
    } record;
    // Mode::Serve: "[ADDRESS:]PORT" as given
    std::string serve;
};

// Makes sure descriptors 0, 1 and 2 are open before anything else opens a
// file: one that is closed gets /dev/null opened the other way round, so
// that output to a closed standard output fails instead of landing in
// whatever file took its number.
void OpenStandardDescriptors();

// Reads the options; needs no application object and no display. File names
// and camera ids keep the bytes they were given.
CommandLine ParseCommandLine(int argc, char** argv);

// Each returns the exit status. None of them touches a display.
int ShowHelp();
int ShowVersion();
int ShowUsageError(const std::string& error);
// A --settings file that cannot be read or is not settings: the message as it
// is (made safe where it was written), status 3 as for a refused --set.
int ShowSettingsRefused(const std::string& error);
// Starts the library, prints one camera per line as "<id>\t<name>\t<source>",
// shuts the library down.
int ListCameras();
// Opens the camera, grabs one frame and releases the camera, exactly as the
// window's buttons do, then writes the frame to the file.
int GrabToFile(const CommandLine& commandLine);
// Checks the camera (or every camera) and prints the report, or writes it to
// --output, replacing the file only once it is complete; status 6 when the
// verdict is fail. As metrics, a camera that does not open is reported too.
int CheckCameras(const CommandLine& commandLine);
// Serves the health check to Prometheus until SIGINT or SIGTERM.
int ServeCameras(const CommandLine& commandLine);
// Opens the camera (applying --settings and --set), prints --get and
// --features, writes --save-settings, releases the camera.
int ShowFeatures(const CommandLine& commandLine);
