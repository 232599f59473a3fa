// The command line: which command was asked for, handed over to that
// command's own reader, and what Tarvik does with no command of its own
// (help, version, the list of cameras).
#pragma once

#include "CameraSequences.h"
#include "app/check/CheckCommand.h"
#include "app/exporter/ServeCommand.h"
#include "app/grab/GrabCommand.h"
#include "app/live/LiveCommand.h"
#include "app/network/ForceIp.h"
#include "app/network/NetworkCommand.h"
#include "app/play/PlayCommand.h"
#include "app/record/RecordCommand.h"
#include "app/settings/SettingsCommand.h"
#include "app/viewer/ViewerCommand.h"

#include <string>

struct CommandLine {
    enum class Mode { Window, Help, Version, List, Grab, Check, Features, Record, Serve, Network, Usage,
                      SettingsRefused, ForceIp, Play };
    Mode mode = Mode::Window;
    OpenOptions open;        // every command that opens a camera
    std::string error;       // Mode::Usage, Mode::SettingsRefused: what is wrong
    LiveCommand live;        // Mode::Window
    bool inspect = false;    // Mode::Window: the viewer opens with live view
    GrabCommand grab;        // Mode::Grab
    CheckCommand check;      // Mode::Check; Mode::Serve: a probe's length and thresholds
    SettingsCommand settings;  // Mode::Features: printed after the settings (in open) were applied
    RecordCommand record;    // Mode::Record; Mode::Window with --live --record
    std::string serve;       // Mode::Serve: "[ADDRESS:]PORT" as given
    ForceIpCommand forceIp;  // Mode::ForceIp
    NetworkCommand network;  // Mode::Network
    PlayCommand play;        // Mode::Play (record or grab: what it keeps); Mode::Check with --play: path
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
// Starts the library, prints one camera per line as "<id>\t<name>\t<source>"
// (a GigE camera's address, MAC and interface after them), shuts the library
// down.
int ListCameras();
