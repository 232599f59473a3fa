// A recording opened for review: its frames (through the sequence reader)
// joined with the lines of its CSV sidecar, the marks worth stepping to, and
// the words the status line and messages use for a frame.
#pragma once

#include "platform/imaging/sequence/SequenceReader.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One CSV line of a frame in the recording, or the gap or loss before it.
struct RecordedFrame {
    uint64_t index = 0;           // its place in the recording
    bool listed = false;          // the CSV has a line for it (false: no CSV, or no line for this index)
    uint64_t frameId = 0;
    std::optional<uint64_t> cameraTime;   // ns, the camera's clock
    std::optional<uint64_t> receiveTime;  // ns since 1970, the host's clock
    bool incomplete = false;
    // Lines between the frame before and this one: ids the camera skipped,
    // frames dropped from the queue, frames refused.
    uint64_t skippedBefore = 0, droppedBefore = 0, refusedBefore = 0;
};

// A place on the timeline worth a look.
struct Mark {
    enum Kind { Skipped, Dropped, Incomplete, Refused, LongInterval } kind;
    uint64_t index;  // the frame at (or after) it
};

class Recording {
public:
    // Opens path and its CSV (PATH.csv, in a folder frames.csv) when there.
    // False, with *error in words, when no frame can be shown; a CSV that is
    // missing, damaged or does not match the file is no error: Warnings() says so.
    bool Open(const std::string& path, std::string* error);

    const std::string& Path() const { return path_; }
    imaging::SequenceReader& Reader() { return *reader_; }
    uint64_t FrameCount() const;
    // What the CSV says of frame index (listed false without it).
    const RecordedFrame& Frame(uint64_t index) const;
    // Every mark, in index order.
    const std::vector<Mark>& Marks() const { return marks_; }
    // The next (forward) or previous mark's frame from index; none: nullopt.
    std::optional<uint64_t> NextMark(uint64_t index, bool forward) const;
    // The time from frame index to the one after it at the recorded pace, in
    // ns: the camera's timestamps, else the receive times (the CSV's); none
    // where the CSV has no times for them (the file's own are the reader's).
    std::optional<uint64_t> Interval(uint64_t index) const;
    // The frame index seconds (negative: back) away, clamped to the
    // recording; a frame without an interval counts as the median one (at 25
    // frames a second when no interval is known).
    uint64_t Step(uint64_t index, double seconds) const;
    // "frame 41 of 500 · id 1042 · camera 12.345678 s · +33.3 ms · received
    // 19:04:05.123 · incomplete; 2 ids skipped before" for the status line.
    std::string StatusText(uint64_t index) const;
    // Said once on opening: a CSV missing, cut or not matching, a file cut short.
    const std::vector<std::string>& Warnings() const { return warnings_; }
    // The CSV's lines (header included) that belong to frames first..last,
    // each after the lines of what was lost before it (the first's too),
    // index renumbered from 0, for an exported range; empty without a CSV.
    std::string CsvLines(uint64_t first, uint64_t last) const;

    // What the CSV counted over the whole recording, for a check of it.
    struct CsvTotals {
        uint64_t listed = 0;  // lines of frames written (with an index), those beyond the file's too
        uint64_t skipped = 0, dropped = 0, refused = 0, failed = 0, incomplete = 0;
        uint64_t trailing = 0;  // lost after the last frame listed, so on no frame's count
        uint64_t badLines = 0;  // lines not used: garbage, out of order
        bool unusable = false;  // there, but empty or not under the recorder's header: not used
    };
    const CsvTotals& Totals() const { return totals_; }
    bool HasCsv() const { return !csvPath_.empty(); }

private:
    std::string path_, csvPath_;
    std::unique_ptr<imaging::SequenceReader> reader_;
    std::vector<RecordedFrame> frames_;
    std::vector<std::string> csvLines_;  // per frame, as read, for export
    std::vector<Mark> marks_;
    std::vector<std::string> warnings_;
    enum class TimeSource { None, Camera, Receive } times_ = TimeSource::None;
    std::optional<uint64_t> median_;  // of the intervals, ns
    CsvTotals totals_;

    void ReadCsv();
    void FindMarks();
};
