// --check --play: a recording checked as --check checks a camera, from its
// frames (the same picture verdicts) and its CSV (the stream's timing), with
// the frames that failed named by their indexes.
#pragma once

#include "app/check/CheckCommand.h"
#include "app/play/Recording.h"

#include <cstdint>
#include <functional>
#include <string>

// Reads every frame of the opened recording and judges it; progress (may
// be empty) is called now and then with the frames read and their rate.
CheckResult CheckOpenedRecording(Recording& recording, const CheckOptions& options,
                                 const std::function<void(uint64_t done, uint64_t total, double rate)>& progress);

// Opens the recording at path, checks it and writes the report as check
// asks (text, --json, --prometheus; --output). The exit status is a live
// check's: 6 when the verdict is fail, 5 when the report could not be
// written; 4 when the recording cannot be read.
int CheckRecording(const std::string& path, const CheckCommand& check);
