// --record: a recording run from the command line, without a window.
#pragma once

#include "app/CommandLine.h"

// Opens the camera as --grab does, streams it into a Recorder until
// --frames, --seconds, SIGINT or SIGTERM (a second one aborts), prints a
// progress line when stderr is a terminal and a closing line always, and
// releases the camera. Returns the exit status.
int RecordToFile(const CommandLine& commandLine);
