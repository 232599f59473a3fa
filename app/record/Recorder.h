// Recording: every frame a stream hands over, copied at once into a queue in
// memory of bounded size and written by a thread of its own into a sequence
// file, with a line per frame (and per frame id the camera skipped) in a CSV
// sidecar and the camera's settings beside it.
//
// Threads: OnFrame is called on the camera thread and never waits for the
// disk: a frame that does not fit in the queue is dropped and counted. The
// writer thread takes frames from the queue in order. Begin, Finish,
// CountsNow and Failed are for the thread that owns the recorder.
#pragma once

#include "platform/camera/cam.h"
#include "platform/imaging/sequence/SequenceFile.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Recorder {
public:
    // A gap in frame ids larger than this is the camera's counter starting
    // again, not frames lost: no stream keeps running that long without one.
    static constexpr uint64_t kMaxGap = uint64_t(1) << 20;
    // The default queue bound: a quarter of the memory, at most this.
    static constexpr uint64_t kMaxDefaultBuffer = uint64_t(4) << 30;
    // Frame buffers kept touched and waiting for the camera thread, also
    // while the writer falls behind: enough for a burst of frames.
    static constexpr size_t kReadyBuffers = 3;

    struct Options {
        std::string path;               // the recording: NAME.mkv, NAME.tif(f) or DIR/
        bool overwrite = false;         // replace an existing recording and its sidecars
        uint64_t bufferBytes = 0;       // the queue's bound; 0: DefaultBufferBytes
        uint64_t maxFrames = 0;         // frames taken at most (later ones are ignored); 0: no limit
        imaging::SequenceOptions sequence;
    };

    struct Counts {
        uint64_t received = 0;       // frames OnFrame took (up to maxFrames)
        uint64_t written = 0;        // frames in the recording
        uint64_t cameraDropped = 0;  // frame ids the camera skipped
        uint64_t queueDropped = 0;   // frames dropped because the queue was full (or on abort)
        uint64_t incomplete = 0;     // received with data missing; written, the rest black
        uint64_t bytes = 0;          // written to the recording
        uint64_t queued = 0;         // frames waiting to be written
        uint64_t heldBytes = 0;      // memory the queue holds now (frames waiting, being written, spare)
        uint64_t bufferBytes = 0;    // the queue's bound
        double seconds = 0;          // since Begin
        double megabytesPerSecond = 0;  // written, over about the last second
    };

    // Why Begin could not start.
    enum class BeginError {
        None,
        Exists,       // a file it would write exists and overwrite was not given
        NotWritten,   // a file could not be created or written
        CannotRecord  // the pixel format cannot be kept in this format
    };

    // Where a recording stopped by itself.
    enum class Stop {
        None,
        WriteFailed,  // the recording or its CSV could not be written (Error says why)
        FrameShape,   // a frame of another size came (Error says which)
    };

    struct Result {
        Counts counts;
        Stop stop = Stop::None;
        std::string error;  // Stop::WriteFailed, Stop::FrameShape: in words, without "tarvik: "
        bool removedEmpty = false;  // no frame was kept: the recording's file was removed
    };

    Recorder() = default;
    ~Recorder();  // aborts a recording still running
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // The sidecars of a recording at path: "NAME.mkv.csv" and "NAME.mkv.settings";
    // in a folder "DIR/frames.csv" and "DIR/camera.settings".
    static std::string CsvPath(const std::string& path, imaging::SequenceFormat format);
    static std::string SettingsPath(const std::string& path, imaging::SequenceFormat format);
    // Says once on stderr when a .mkv recording asked for Bayer planes keeps frames of shape as they are (not a
    // mosaic, or of an odd size), so that nobody looks for planes that are not there.
    static void SayBayerPlanesNote(imaging::SequenceFormat format, const imaging::SequenceShape& shape,
                                   const imaging::SequenceOptions& sequence);
    // A quarter of the memory, at most kMaxDefaultBuffer, and at least four frames.
    static uint64_t DefaultBufferBytes(uint64_t frameBytes);
    // Whether a recording may go to path: its format is known; no file of it
    // is a device, socket or a symbolic link that leads nowhere (links to
    // files are followed); no other recording to it runs; and, without
    // overwrite, neither it nor a sidecar exists (an empty folder may be
    // recorded into, and the CSV and settings a recording that kept no frame
    // left are replaced). False, with *error in words.
    static bool CheckTarget(const std::string& path, bool overwrite, BeginError* kind, std::string* error);
    // The files of an earlier recording that one to path with overwrite
    // replaces: the recording (in a folder, its frame files in order), its
    // CSV and its settings, those of them that exist.
    static std::vector<std::string> Replaced(const std::string& path);

    // Starts a recording of frames of shape: checks the target, takes its
    // lock, writes the settings sidecar (settingsText, as the camera was at
    // the start), opens the recording and the CSV and starts the writer
    // thread. Files that exist are written under temporary names beside them
    // and put in place only once all have opened. writer, when given, is used
    // instead of the format's own (for tests). False, with *error in words,
    // when it cannot start; nothing of it is left then but what the writer's
    // Open created, and every earlier file is as it was.
    bool Begin(const Options& options, const imaging::SequenceShape& shape, const std::string& settingsText,
               std::string* error, BeginError* kind = nullptr,
               std::unique_ptr<imaging::SequenceWriter> writer = nullptr);
    // On the camera thread, for every frame the camera hands back: copies it
    // into the queue, or counts it dropped when the queue is full. Never waits
    // for the writer.
    void OnFrame(const CamFrame& frame);
    // Whether the recording stopped by itself (the writer failed, a frame of
    // another size came): the stream should stop.
    bool Failed() const;
    Counts CountsNow() const;
    // Ends the recording: without abort every frame queued is written first;
    // with abort only the frame being written is finished, the others are
    // counted dropped. Then the recording and its CSV are closed, synced; a
    // recording file that holds no frame is removed (a reader would take its
    // bare header for a broken file).
    Result Finish(bool abort);

    // "recording: 1234 frames, 0 dropped, 112 MB/s", for a tooltip.
    static std::string RecordLine(const Counts& counts);
    // How a recording to path ended, for standard error: "cannot write ...;
    // recording stopped, 12 frames kept" when it stopped by itself (empty
    // otherwise), and the closing line "recorded 12 frames to ...: ..."; both
    // without "tarvik: " and newline.
    static std::string StopLine(const Result& result);
    static std::string ClosingLine(const Result& result, const std::string& path);

private:
    // One CSV line to come, in frame order, with the frame's copy if it has one.
    struct Entry {
        enum Kind { Frame, Dropped, Skipped, Refused } kind = Frame;
        uint64_t frameId = 0, timestamp = 0, receiveTime = 0;
        uint64_t skipped = 0;  // Skipped: how many ids from frameId on
        uint32_t width = 0, height = 0;
        uint64_t size = 0;     // Frame: bytes the camera filled
        bool incomplete = false;
        std::unique_ptr<uint8_t[]> data;
    };

    void Run();      // the writer thread
    void Prepare();  // the thread that keeps spare buffers ready
    // Whether a spare buffer is wanted: fewer than kReadyBuffers, and room
    // for one more within the bound. Under mutex_.
    bool SpareWanted() const;
    // Makes one spare buffer if one is wanted, each of its pages touched so
    // that the camera thread's copy into it meets no page fault (a new page costs
    // far more than the copy). Never on the camera thread. False when memory
    // ran out.
    bool AddSpare();
    bool WriteEntry(Entry& entry, bool writeFrame);
    bool CsvLine(const Entry& entry, const char* written, bool indexed);
    // Moves the CSV lines no frame still with the writer holds back into the
    // CSV's buffer. lost: the writer failed, the frames it held never reach
    // the file: their lines say failed and they are no longer counted.
    bool ReleaseLines(bool lost);
    bool FlushCsv(bool sync);
    void Fail(Stop stop, const std::string& error);  // under mutex_
    // The lock beside the recording that keeps a second recording to it from
    // starting; false, with *error, when it is taken or cannot be made.
    bool Lock(const std::string& path, imaging::SequenceFormat format, std::string* error);
    void Unlock();
    // A file of the recording that exists, written under a temporary name
    // beside it until it is put in its place.
    struct Replacing {
        std::string temporary, target;
    };
    // Begin's steps: the recording's own file opened (under a temporary name
    // where one exists), the folder's lock taken; false, with *error, having
    // let everything go. Then the state reset and the threads started.
    bool OpenRecording(const Options& options, imaging::SequenceFormat format, const imaging::SequenceShape& shape,
                       imaging::SequenceWriter& writer, Replacing* recording, std::string* error);
    // The CSV file and the settings file made, and the files that replace
    // others put in their places; *error set when one could not be.
    void OpenSidecars(const Options& options, imaging::SequenceFormat format, const std::string& settingsText,
                      Replacing* recording, Replacing* csv, std::string* error);
    void Start(const Options& options, const imaging::SequenceShape& shape,
               std::unique_ptr<imaging::SequenceWriter> writer);

    using Clock = std::chrono::steady_clock;
    Options options_;
    imaging::SequenceShape shape_;
    uint64_t frameBytes_ = 0;  // the most a frame of shape_ holds
    std::string csvPath_;
    std::unique_ptr<imaging::SequenceWriter> writer_;
    int csv_ = -1;
    uint64_t csvLength_ = 0;  // the CSV's bytes on the disk, whole lines only
    int lockFd_ = -1;
    std::string lockPath_;
    std::string csvBuffer_;  // writer thread only, as are the three below
    // A CSV line to come: a frame's waits until the writer has the frame
    // whole in the file (an encoder's threads hold a few back), and those
    // after it wait with it.
    struct Line {
        bool indexed;    // a frame the writer took: its line has an index and waits for it
        uint64_t index;
        std::string rest;  // the fields from frame_id to pixel_format, with their commas
        const char* written;
    };
    std::deque<Line> held_;
    Clock::time_point csvFlushed_;
    uint64_t index_ = 0;     // the next frame's index in the recording
    Clock::time_point begun_;
    std::thread thread_, preparer_;

    mutable std::mutex mutex_;  // guards what follows
    std::condition_variable changed_;
    std::condition_variable spareTaken_;  // for the preparer
    std::deque<Entry> queue_;
    std::vector<std::unique_ptr<uint8_t[]>> spare_;  // frame buffers for reuse
    bool finishing_ = false, aborting_ = false;
    bool any_ = false;
    uint64_t lastId_ = 0;
    Counts counts_;
    Stop stop_ = Stop::None;
    std::string error_;
    bool removedEmpty_ = false;
    mutable std::deque<std::pair<Clock::time_point, uint64_t>> history_;  // bytes written, for the rate
};
