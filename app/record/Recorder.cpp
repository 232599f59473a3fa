// The recorder's queue, its writer thread, the CSV sidecar written through
// checked writes, and the counts.
#include "Recorder.h"

#include "platform/camera/camtext.h"
#include "platform/imaging/OutputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The CSV is written in pieces of about this size, or at least once a
// second, so that a power cut loses at most a second of lines.
constexpr size_t kCsvChunk = size_t(1) << 20;
constexpr auto kCsvInterval = std::chrono::seconds(1);

const char kCsvHeader[] = "index,frame_id,camera_timestamp_ns,receive_time_ns,width,height,pixel_format,written\n";

bool Exists(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// A FIFO or device is written into, never replaced: it is no file to lose.
bool Replaceable(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return Exists(path);  // a link that leads nowhere
    return !S_ISFIFO(st.st_mode) && !S_ISCHR(st.st_mode) && !S_ISSOCK(st.st_mode);
}

// Writes all of data to fd; 0, else the errno of the failure.
int WriteAll(int fd, const char* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n > 0)
            done += size_t(n);
        else if (n == 0)
            return EIO;
        else if (errno != EINTR)
            return errno;
    }
    return 0;
}

std::string InFolder(const std::string& folder, const char* name)
{
    return folder + (!folder.empty() && folder.back() == '/' ? "" : "/") + name;
}

// The frame files an earlier recording left in folder ("frame-000123.tiff"
// or ".png"): a new recording there would mix its frames with them.
std::vector<std::string> FrameFilesIn(const std::string& folder)
{
    std::vector<std::string> found;
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return found;
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        // Six digits or more: frame 1000000 and on have seven.
        const size_t dot = name.rfind('.');
        const bool digits = name.compare(0, 6, "frame-") == 0 && dot != std::string::npos && dot >= 12 &&
                            std::all_of(name.begin() + 6, name.begin() + long(dot),
                                        [](char c) { return c >= '0' && c <= '9'; });
        if (digits && (name.substr(dot) == ".tiff" || name.substr(dot) == ".png"))
            found.push_back(InFolder(folder, name.c_str()));
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
}

// A recording file that holds no frame is only a header, which readers take
// for a broken file: it goes (a FIFO or device, or a link, stays as it is).
bool RemoveIfEmpty(const std::string& path, imaging::SequenceFormat format)
{
    struct stat st {};
    return format != imaging::SequenceFormat::Directory && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           unlink(path.c_str()) == 0;
}

}  // namespace

Recorder::~Recorder()
{
    if (thread_.joinable())
        Finish(true);
}

std::string Recorder::CsvPath(const std::string& path, imaging::SequenceFormat format)
{
    return format == imaging::SequenceFormat::Directory ? InFolder(path, "frames.csv") : path + ".csv";
}

std::string Recorder::SettingsPath(const std::string& path, imaging::SequenceFormat format)
{
    return format == imaging::SequenceFormat::Directory ? InFolder(path, "camera.settings") : path + ".settings";
}

uint64_t Recorder::DefaultBufferBytes(uint64_t frameBytes)
{
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    const uint64_t memory = pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) : 0;
    return std::max(std::min(memory / 4, kMaxDefaultBuffer), 4 * frameBytes);
}

bool Recorder::CheckTarget(const std::string& path, bool overwrite, BeginError* kind, std::string* error)
{
    imaging::SequenceFormat format{};
    if (!imaging::SequenceFormatOf(path, &format)) {
        *kind = BeginError::NotWritten;
        *error = "cannot record to " + cam::Quoted(path) + ": the name must end in " + imaging::SequenceFileKinds();
        return false;
    }
    // Sidecars are files of their own: a FIFO or device there would hold the
    // recording up (or take its lines away), and is never replaced either.
    for (const std::string& sidecar : {CsvPath(path, format), SettingsPath(path, format)})
        if (Exists(sidecar) && !Replaceable(sidecar)) {
            *kind = BeginError::NotWritten;
            *error = "cannot write " + cam::Quoted(sidecar) + ": it is not a regular file";
            return false;
        }
    if (overwrite)
        return true;
    std::vector<std::string> taken = {CsvPath(path, format), SettingsPath(path, format)};
    if (format == imaging::SequenceFormat::Directory) {
        const std::vector<std::string> frames = FrameFilesIn(path);
        taken.insert(taken.end(), frames.begin(), frames.end());
    } else {
        taken.insert(taken.begin(), path);
    }
    for (const std::string& name : taken)
        if (Exists(name) && Replaceable(name)) {
            *kind = BeginError::Exists;
            *error = cam::Quoted(name) + " exists and is kept: --overwrite replaces it";
            return false;
        }
    return true;
}

bool Recorder::Begin(const Options& options, const imaging::SequenceShape& shape, const std::string& settingsText,
                     std::string* error, BeginError* kind, std::unique_ptr<imaging::SequenceWriter> writer)
{
    error->clear();
    BeginError ignored = BeginError::None;
    if (!kind)
        kind = &ignored;
    *kind = BeginError::None;
    imaging::SequenceFormat format{};
    if (!CheckTarget(options.path, options.overwrite, kind, error) ||
        !imaging::SequenceFormatOf(options.path, &format))
        return false;
    std::string why;
    if (!writer && !imaging::CanRecord(format, shape, &why)) {
        *kind = BeginError::CannotRecord;
        *error = "cannot record " + std::string(shape.format->name) + " frames to " + cam::Quoted(options.path) +
                 (why.empty() ? "" : ": " + why);
        return false;
    }
    if (!writer)
        writer = imaging::MakeSequenceWriter(format, options.sequence);
    *kind = BeginError::NotWritten;
    if (!writer) {
        *error = "cannot record " + std::string(shape.format->name) + " frames to " + cam::Quoted(options.path);
        *kind = BeginError::CannotRecord;
        return false;
    }
    // The recording first: where it cannot be made, nothing else is.
    if (!writer->Open(options.path, shape, options.overwrite)) {
        *error = "cannot write " + cam::Quoted(options.path) + ": " + writer->Error();
        return false;
    }
    csvPath_ = CsvPath(options.path, format);
    const std::string settingsPath = SettingsPath(options.path, format);
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (options.overwrite ? O_TRUNC : O_EXCL);
    csv_ = open(csvPath_.c_str(), flags, 0666);
    int failure = csv_ < 0 ? errno : WriteAll(csv_, kCsvHeader, std::strlen(kCsvHeader));
    if (failure) {
        *error = "cannot write " + cam::Quoted(csvPath_) + ": " + std::strerror(failure);
    } else {
        imaging::OutputFile settings;
        if (!settings.Open(settingsPath) || !settings.Write(settingsText.data(), settingsText.size()) ||
            !settings.Commit())
            *error = "cannot write " + cam::Quoted(settingsPath) + ": " + settings.Error();
    }
    if (!error->empty()) {
        if (csv_ >= 0) {
            close(csv_);
            unlink(csvPath_.c_str());
            csv_ = -1;
        }
        writer->Close();
        RemoveIfEmpty(options.path, format);
        return false;
    }
    // Replacing a recording in a folder replaces all of it: frames of the
    // earlier one past this one's end would read as part of it. Only once
    // everything else has opened, so that a failed start leaves them.
    if (format == imaging::SequenceFormat::Directory && options.overwrite)
        for (const std::string& old : FrameFilesIn(options.path))
            if (unlink(old.c_str()) != 0 && errno != ENOENT) {
                *error = "cannot replace " + cam::Quoted(old) + ": " + std::strerror(errno);
                close(csv_);
                csv_ = -1;
                writer->Close();
                return false;
            }
    options_ = options;
    shape_ = shape;
    frameBytes_ = cam::RowBytes(*shape.format, shape.width) * shape.height;
    const uint64_t bound = options.bufferBytes ? options.bufferBytes : DefaultBufferBytes(frameBytes_);
    writer_ = std::move(writer);
    index_ = 0;
    begun_ = csvFlushed_ = Clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.clear();
        spare_.clear();
        finishing_ = aborting_ = any_ = false;
        lastId_ = 0;
        counts_ = {};
        // Below two frames nothing could be written while the next one comes.
        counts_.bufferBytes = std::max(bound, 2 * frameBytes_);
        stop_ = Stop::None;
        error_.clear();
        history_.clear();
    }
    *kind = BeginError::None;
    // Buffers ready before the first frame comes.
    for (size_t i = 0; i < kReadyBuffers; ++i)
        if (!AddSpare())
            break;
    thread_ = std::thread(&Recorder::Run, this);
    preparer_ = std::thread(&Recorder::Prepare, this);
    return true;
}

bool Recorder::SpareWanted() const
{
    return !finishing_ && spare_.size() < kReadyBuffers && counts_.heldBytes + frameBytes_ <= counts_.bufferBytes;
}

bool Recorder::AddSpare()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!SpareWanted())
            return true;
        counts_.heldBytes += frameBytes_;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[frameBytes_]);
    // A byte a page brings every page in; the copy fills the rest.
    const long page = sysconf(_SC_PAGE_SIZE);
    for (uint64_t at = 0; buffer && at < frameBytes_; at += uint64_t(page > 0 ? page : 4096))
        buffer[at] = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!buffer) {
        counts_.heldBytes -= frameBytes_;
        return false;
    }
    spare_.push_back(std::move(buffer));
    return true;
}

void Recorder::Prepare()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            spareTaken_.wait(lock, [this] { return finishing_ || SpareWanted(); });
            if (finishing_)
                return;
        }
        // Out of memory: the camera thread takes what it can get itself, or drops.
        if (!AddSpare())
            return;
    }
}

void Recorder::OnFrame(const CamFrame& frame)
{
    Entry entry;
    entry.frameId = frame.frameId;
    entry.timestamp = frame.timestamp;
    entry.receiveTime = frame.receiveTime;
    entry.width = frame.width ? frame.width : shape_.width;
    entry.height = frame.height ? frame.height : shape_.height;
    entry.size = std::min<uint64_t>({frame.imageSize, frame.bufferSize, frameBytes_});
    // A frame reported complete that fills less than its picture lost data
    // all the same: its rows past the end are black, and it is said so.
    entry.incomplete = frame.receiveStatus != CAM_FRAME_COMPLETE || entry.size < frameBytes_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finishing_ || stop_ != Stop::None || (options_.maxFrames && counts_.received >= options_.maxFrames))
            return;
        if (any_ && frame.frameId > lastId_ + 1 && frame.frameId - lastId_ - 1 <= kMaxGap) {
            Entry gap;
            gap.kind = Entry::Skipped;
            gap.frameId = lastId_ + 1;
            gap.skipped = frame.frameId - lastId_ - 1;
            counts_.cameraDropped += gap.skipped;
            queue_.push_back(std::move(gap));
            changed_.notify_all();
        }
        any_ = true;
        lastId_ = frame.frameId;
        ++counts_.received;
        counts_.incomplete += entry.incomplete ? 1 : 0;
        if (entry.width != shape_.width || entry.height != shape_.height) {
            char what[160];
            std::snprintf(what, sizeof what, "the camera sent a frame of %u x %u pixels, not the %u x %u the "
                          "recording began with", entry.width, entry.height, shape_.width, shape_.height);
            Fail(Stop::FrameShape, what);
            // Its line says why the recording ends here.
            entry.kind = Entry::Refused;
            queue_.push_back(std::move(entry));
            changed_.notify_all();
            return;
        }
        if (!spare_.empty()) {
            entry.data = std::move(spare_.back());
            spare_.pop_back();
            spareTaken_.notify_one();
        } else if (counts_.heldBytes + frameBytes_ <= counts_.bufferBytes) {
            counts_.heldBytes += frameBytes_;  // allocated below, outside the lock
        } else {
            entry.kind = Entry::Dropped;
            ++counts_.queueDropped;
            queue_.push_back(std::move(entry));
            changed_.notify_all();
            return;
        }
    }
    if (!entry.data)
        entry.data.reset(new (std::nothrow) uint8_t[frameBytes_]);
    if (entry.data)
        std::memcpy(entry.data.get(), frame.buffer, entry.size);
    // Only this thread adds entries, so the order stays that of the frames.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!entry.data) {
        counts_.heldBytes -= frameBytes_;
        entry.kind = Entry::Dropped;
        ++counts_.queueDropped;
    } else {
        ++counts_.queued;
    }
    queue_.push_back(std::move(entry));
    changed_.notify_all();
}

bool Recorder::Failed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_ != Stop::None;
}

Recorder::Counts Recorder::CountsNow() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    Counts c = counts_;
    const auto now = Clock::now();
    c.seconds = std::chrono::duration<double>(now - begun_).count();
    if (history_.empty() || now - history_.back().first >= std::chrono::milliseconds(250))
        history_.emplace_back(now, c.bytes);
    while (history_.size() > 5)
        history_.pop_front();
    const double span = std::chrono::duration<double>(history_.back().first - history_.front().first).count();
    if (span > 0)
        c.megabytesPerSecond = double(history_.back().second - history_.front().second) / span / 1e6;
    return c;
}

Recorder::Result Recorder::Finish(bool abort)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finishing_ = true;
        aborting_ = aborting_ || abort;
        changed_.notify_all();
        spareTaken_.notify_all();
    }
    if (thread_.joinable())
        thread_.join();
    if (preparer_.joinable())
        preparer_.join();
    Result result;
    if (writer_) {
        const bool closed = writer_->Close();
        const uint64_t bytes = writer_->BytesWritten();
        std::lock_guard<std::mutex> lock(mutex_);
        counts_.bytes = bytes;
        if (!closed)
            Fail(Stop::WriteFailed, "cannot write " + cam::Quoted(options_.path) + ": " + writer_->Error());
        // The CSV says why no frame came.
        imaging::SequenceFormat format{};
        if (counts_.written == 0 && imaging::SequenceFormatOf(options_.path, &format) &&
            RemoveIfEmpty(options_.path, format))
            counts_.bytes = 0, removedEmpty_ = true;
    }
    if (csv_ >= 0) {
        FlushCsv(true);
        if (close(csv_) != 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            Fail(Stop::WriteFailed, "cannot write " + cam::Quoted(csvPath_) + ": " + std::strerror(errno));
        }
        csv_ = -1;
    }
    writer_.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    spare_.clear();
    counts_.heldBytes = 0;
    result.counts = counts_;
    result.counts.seconds = std::chrono::duration<double>(Clock::now() - begun_).count();
    if (result.counts.seconds > 0)
        result.counts.megabytesPerSecond = double(counts_.bytes) / result.counts.seconds / 1e6;
    result.stop = stop_;
    result.error = error_;
    result.removedEmpty = removedEmpty_;
    return result;
}

std::string Recorder::RecordLine(const Counts& counts)
{
    char line[160];
    std::snprintf(line, sizeof line, "recording: %llu frames, %llu dropped, %.0f MB/s",
                  (unsigned long long)counts.written, (unsigned long long)counts.queueDropped,
                  counts.megabytesPerSecond);
    return line;
}

std::string Recorder::StopLine(const Result& result)
{
    if (result.stop == Stop::None)
        return {};
    return result.error + "; recording stopped, " + std::to_string(result.counts.written) + " frames kept";
}

std::string Recorder::ClosingLine(const Result& result, const std::string& path)
{
    const Counts& c = result.counts;
    char numbers[200];
    std::snprintf(numbers, sizeof numbers,
                  ": %llu dropped by the camera, %llu dropped by Tarvik, %llu incomplete, %llu bytes, %.1f s",
                  (unsigned long long)c.cameraDropped, (unsigned long long)c.queueDropped,
                  (unsigned long long)c.incomplete, (unsigned long long)c.bytes, c.seconds);
    if (result.removedEmpty)
        return "recorded no frame: " + cam::Quoted(path) + " not kept" + numbers;
    return "recorded " + std::to_string(c.written) + " frames to " + cam::Quoted(path) + numbers;
}

void Recorder::Run()
{
    for (;;) {
        Entry entry;
        bool writeFrame = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return !queue_.empty() || finishing_; });
            if (queue_.empty())
                break;
            entry = std::move(queue_.front());
            queue_.pop_front();
            writeFrame = !aborting_ && stop_ != Stop::WriteFailed;
        }
        WriteEntry(entry, writeFrame);
        if (entry.data) {
            std::lock_guard<std::mutex> lock(mutex_);
            spare_.push_back(std::move(entry.data));
            --counts_.queued;
        }
    }
}

bool Recorder::WriteEntry(Entry& entry, bool writeFrame)
{
    switch (entry.kind) {
    case Entry::Skipped: {
        Entry one;
        for (uint64_t i = 0; i < entry.skipped; ++i) {
            one.frameId = entry.frameId + i;
            CsvLine(one, "skipped", false);
        }
        return true;
    }
    case Entry::Dropped:
        return CsvLine(entry, "dropped", false);
    case Entry::Refused:
        return CsvLine(entry, "refused", false);
    case Entry::Frame:
        break;
    }
    if (!writeFrame) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_ == Stop::WriteFailed)
            return CsvLine(entry, "failed", false);
        ++counts_.queueDropped;  // dropped by an abort
        entry.kind = Entry::Dropped;
    }
    if (entry.kind == Entry::Dropped)
        return CsvLine(entry, "dropped", false);
    imaging::SequenceFrame frame;
    frame.data = entry.data.get();
    frame.size = entry.size;
    frame.index = index_;
    frame.timestamp = entry.timestamp;
    frame.receiveTime = entry.receiveTime;
    const bool written = writer_->Write(frame);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        counts_.bytes = writer_->BytesWritten();
        if (written)
            ++counts_.written;
        else
            Fail(Stop::WriteFailed, "cannot write " + cam::Quoted(options_.path) + ": " + writer_->Error());
    }
    if (!written)
        return CsvLine(entry, "failed", false);
    const bool line = CsvLine(entry, entry.incomplete ? "incomplete" : "yes", true);
    ++index_;
    return line;
}

bool Recorder::CsvLine(const Entry& entry, const char* written, bool indexed)
{
    char line[256];
    auto number = [](uint64_t n, bool shown) { return shown ? std::to_string(n) : std::string(); };
    const bool frame = std::strcmp(written, "skipped") != 0;
    std::snprintf(line, sizeof line, "%s,%llu,%s,%s,%s,%s,%s,%s\n", number(index_, indexed).c_str(),
                  (unsigned long long)entry.frameId, number(entry.timestamp, frame && entry.timestamp).c_str(),
                  number(entry.receiveTime, frame).c_str(), number(entry.width, frame).c_str(),
                  number(entry.height, frame).c_str(), frame ? shape_.format->name : "", written);
    csvBuffer_ += line;
    if (csvBuffer_.size() < kCsvChunk && Clock::now() - csvFlushed_ < kCsvInterval)
        return true;
    // Synced as well: written lines a power cut could still take are no
    // better than lines kept in memory.
    return FlushCsv(true);
}

bool Recorder::FlushCsv(bool sync)
{
    csvFlushed_ = Clock::now();
    if (csv_ < 0)
        return false;
    int failure = WriteAll(csv_, csvBuffer_.data(), csvBuffer_.size());
    csvBuffer_.clear();
    if (!failure && sync && fsync(csv_) != 0 && errno != EINVAL)
        failure = errno;
    if (!failure)
        return true;
    std::lock_guard<std::mutex> lock(mutex_);
    Fail(Stop::WriteFailed, "cannot write " + cam::Quoted(csvPath_) + ": " + std::strerror(failure));
    close(csv_);  // the lines after a failed one would not follow on
    csv_ = -1;
    return false;
}

void Recorder::Fail(Stop stop, const std::string& error)
{
    if (stop_ != Stop::None)
        return;  // the first reason is the one that counts
    stop_ = stop;
    error_ = error;
}
