// Keeping what review found: one frame of a recording saved as --grab saves
// a frame, and a range of frames written losslessly to a new recording with
// the CSV lines and settings that belong to it.
#pragma once

#include "app/play/Recording.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

struct ExportOptions {
    std::string path;              // the new recording: NAME.mkv, NAME.tif(f) or DIR/
    bool overwrite = false;        // replace what is there (never the recording being read)
    imaging::SequenceOptions sequence;
    // Called now and then: frames written so far of total.
    std::function<void(uint64_t done, uint64_t total)> progress;
    const std::atomic<bool>* cancel = nullptr;  // turns true: stop, keeping the frames written
};

// Why ExportRange or SaveRecordedFrame stopped, for the exit status.
enum class KeepError {
    None,
    Range,         // first..last (or the index) is not within the recording
    Exists,        // the target exists and overwrite was not given
    SameFile,      // the target is the recording being read, or one of its files
    CannotRecord,  // the target's format cannot keep frames of the recording's shape
    NotRead,       // a frame could not be read from the recording (damaged there)
    NotWritten,    // a file could not be made or written (a full disk)
    Cancelled,     // cancel turned true
};

// Frames first..last (both included) of recording into options.path, with
// PATH.csv (the lines of those frames, renumbered) and PATH.settings (the
// recording's own) beside it. Each frame written decodes as the same frame
// of recording, byte for byte. False, with *error in words.
// A failure part way keeps the frames written, readable, with their CSV
// lines, and *error says how many; *kept (when given) counts them.
bool ExportRange(Recording& recording, uint64_t first, uint64_t last, const ExportOptions& options,
                 std::string* error, KeepError* kind = nullptr, uint64_t* kept = nullptr);

// Frame index of recording saved at path as --grab saves a frame (format by
// the name, full resolution, deep frames at full depth). False, with *error.
// "-" writes PNG to standard output; an existing file is replaced only with
// overwrite, and never one of the recording's own.
bool SaveRecordedFrame(Recording& recording, uint64_t index, const std::string& path, bool overwrite,
                       std::string* error, KeepError* kind = nullptr);
