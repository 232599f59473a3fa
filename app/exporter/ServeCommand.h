// --serve: its option, what it asks for, and the command that runs the
// exporter from the command line.
#pragma once

#include "app/CameraSequences.h"
#include "app/Options.h"
#include "app/check/HealthCheck.h"

#include <QCommandLineOption>

#include <string>

struct ServeOptionTable {
    QCommandLineOption serve;

    ServeOptionTable();
};

// --serve [ADDRESS:]PORT (into *address as given), refusing every option
// that would let a request change a camera or that a probe does not read.
Usage ReadServeOptions(const ParsedOptions& options, const ServeOptionTable& table, std::string* address);

// The help's section on serving.
extern const char kServeHelp[];

// Serves the health check to Prometheus until SIGINT or SIGTERM; check: a
// probe's length and thresholds.
int ServeCameras(const OpenOptions& open, const std::string& address, const CheckOptions& check);
