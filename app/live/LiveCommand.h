// --live: its option and what it asks of the window.
#pragma once

#include "app/Options.h"

#include <QCommandLineOption>

struct LiveCommand {
    bool start = false;      // the window starts live view at once
    double triggerRate = 0;  // software triggers a second while live; 0: none
};

struct LiveOptionTable {
    QCommandLineOption live;

    LiveOptionTable();
};

// --trigger-rate without --check: the triggers live view sends. (With
// --check it is the check's, read with the check's other options.)
Usage ReadLiveTriggerRate(const ParsedOptions& options, LiveCommand* live);
