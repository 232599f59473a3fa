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

// Frames first..last (both included) of recording into options.path, with
// PATH.csv (the lines of those frames, renumbered) and PATH.settings (the
// recording's own) beside it. Each frame written decodes as the same frame
// of recording, byte for byte. False, with *error in words.
bool ExportRange(Recording& recording, uint64_t first, uint64_t last, const ExportOptions& options,
                 std::string* error);

// Frame index of recording saved at path as --grab saves a frame (format by
// the name, full resolution, deep frames at full depth). False, with *error.
bool SaveRecordedFrame(Recording& recording, uint64_t index, const std::string& path, bool overwrite,
                       std::string* error);
