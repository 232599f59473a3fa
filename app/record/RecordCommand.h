// --record: its options, what they ask for, and a recording run from the
// command line, without a window.
#pragma once

#include "app/CameraSequences.h"
#include "app/Options.h"

#include <QCommandLineOption>
#include <QList>

#include <cstdint>
#include <string>

// What --record asks for (also of the window, with --live).
struct RecordCommand {
    std::string path;          // NAME.mkv, NAME.tif(f) or DIR/
    uint64_t frames = 0;       // stop after this many; 0: no limit
    double seconds = 0;        // stop after this long; 0: no limit
    bool overwrite = false;
    uint64_t bufferBytes = 0;  // the queue's bound; 0: the default
    std::string frameFileFormat = "tiff";  // a folder's files
    std::string codec;                     // a .mkv's codec; empty: by the camera's data rate
    bool bayerPlanes = false;              // a .mkv keeps a Bayer mosaic as its four colour planes
};

struct RecordOptionTable {
    QCommandLineOption record;
    QCommandLineOption overwrite;
    QCommandLineOption recordBuffer;
    QCommandLineOption recordFormat;
    QCommandLineOption recordCodec;
    QCommandLineOption recordBayer;

    RecordOptionTable();
    QList<QCommandLineOption> Options() const;
    // Those that mean nothing without --record.
    QList<const QCommandLineOption*> RecordOnly() const;
};

// Without --record: the first option given that only a recording reads.
Usage RecordOnlyOptionGiven(const ParsedOptions& options, const RecordOptionTable& table);
// With --record: the commands and options a recording does not go with.
// (The check's own options are refused apart, by the check's table.)
Usage RecordConflicts(const ParsedOptions& options);
// With --record: the path, its length and how it is written.
Usage ReadRecordOptions(const ParsedOptions& options, const RecordOptionTable& table, RecordCommand* record);

// The help's section on recording.
extern const char kRecordHelp[];

// Opens the camera as --grab does, streams it into a Recorder until
// --frames, --seconds, SIGINT or SIGTERM (a second one aborts), prints a
// progress line when stderr is a terminal and a closing line always, and
// releases the camera. Returns the exit status.
int RecordToFile(const OpenOptions& open, const RecordCommand& record);
