// --check: its options, what they ask for, and the command that checks the
// camera (or every camera) and writes the report.
#pragma once

#include "HealthCheck.h"
#include "app/CameraSequences.h"
#include "app/Options.h"

#include <QCommandLineOption>
#include <QList>

#include <string>

// What --check (and --serve, for a probe's length and thresholds) asks for.
struct CheckCommand {
    CheckOptions options;
    bool allCameras = false;
    bool json = false;
    bool prometheus = false;  // the report as Prometheus metrics
    std::string outputFile;   // where the report goes (empty: standard output)
    std::string recording;    // --check --play PATH: the recording checked instead of a camera
};

// The check's options with their help, in the order --help lists them.
struct CheckOptionTable {
    QCommandLineOption check;
    QCommandLineOption all;
    QCommandLineOption frames;
    QCommandLineOption seconds;
    QCommandLineOption json;
    QCommandLineOption prometheus;
    QCommandLineOption output;
    QCommandLineOption rateShortfall;
    QCommandLineOption clipped;
    QCommandLineOption trigger;
    QCommandLineOption triggerRate;
    QCommandLineOption expectRate;
    QCommandLineOption maxClockDrift;

    CheckOptionTable();
    QList<QCommandLineOption> Options() const;
    // Those that mean nothing without --check (--frames and --seconds also
    // go with --record).
    QList<const QCommandLineOption*> CheckOnly() const;
};

// Without --check (or --serve): the first option given that only a check
// reads. recording: --record is asked for, which reads --frames and
// --seconds itself.
Usage CheckOnlyOptionGiven(const ParsedOptions& options, const CheckOptionTable& table, bool recording);
// With --check or --serve: reads the length, thresholds, trigger and the
// report's form and place.
Usage ReadCheckOptions(const ParsedOptions& options, const CheckOptionTable& table, CheckCommand* check);

// The help's section on triggers and the camera's clock.
extern const char kCheckHelp[];

// Checks the camera (or every camera) and prints the report, or writes it to
// --output, replacing the file only once it is complete; status 6 when the
// verdict is fail. As metrics, a camera that does not open is reported too.
// With check.recording, checks that recording instead (CheckRecording).
int CheckCameras(const OpenOptions& open, const CheckCommand& check);

// Writes the results' report as check asks and gives the exit status of
// their verdict: 6 when any fails, 5 when the report cannot be written.
int ReportCheckResults(const CheckCommand& check, const std::vector<CheckResult>& results);
