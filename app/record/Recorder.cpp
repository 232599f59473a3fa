// The recorder's queue, its writer thread, the CSV sidecar written through
// checked writes, and the counts.
#include "Recorder.h"

#include "platform/camera/camtext.h"
#include "platform/imaging/files/OutputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The CSV's lines are written as each frame is, so that the disk filling up
// with frames leaves the lines of those it holds; they are kept in memory up
// to this size only while one entry (a long run of skipped ids) makes them.
// Synced at least once a second, so that a power cut loses at most a second
// of lines.
constexpr size_t kCsvChunk = size_t(1) << 20;
constexpr auto kCsvInterval = std::chrono::seconds(1);

const char kCsvHeader[] = "index,frame_id,camera_timestamp_ns,receive_time_ns,width,height,pixel_format,written\n";

// What a path names, links followed.
enum class Node { Missing, DanglingLink, Regular, Folder, Fifo, Other };

Node NodeOf(const std::string& path, struct stat* found = nullptr)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            return Node::DanglingLink;
        return Node::Missing;
    }
    if (found)
        *found = st;
    if (S_ISREG(st.st_mode))
        return Node::Regular;
    if (S_ISDIR(st.st_mode))
        return Node::Folder;
    return S_ISFIFO(st.st_mode) ? Node::Fifo : Node::Other;
}

const char kDanglingLink[] = "it is a symbolic link to a file that does not exist";

std::string WithoutSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The file a path leads to, links followed; the path itself where it does not exist.
std::string RealPathOf(const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    if (!real)
        return path;
    const std::string result = real;
    std::free(real);
    return result;
}

// A name too long for the lock's additions is locked under a digest of it:
// under one shared name, recordings to different long names in a folder (or
// the folder's own) would refuse each other.
std::string LockBeside(const std::string& file)
{
    const std::string name = imaging::LastPartOf(file);
    if (name.size() + 13 <= NAME_MAX)
        return imaging::FolderOf(file) + "/." + name + ".tarvik-lock";
    uint64_t digest = 14695981039346656037ull;  // FNV-1a
    for (const unsigned char c : name)
        digest = (digest ^ c) * 1099511628211ull;
    char tail[40];
    std::snprintf(tail, sizeof tail, "/.tarvik-lock-%016llx", (unsigned long long)digest);
    return imaging::FolderOf(file) + tail;
}

// The lock file beside a recording (beside the file a link leads to, so
// that two names for one recording share it): ".NAME.tarvik-lock"; in a
// folder recording's own folder ".tarvik-lock", as its parent may well be
// one the user cannot write (a disk's mount point).
std::string LockPathOf(const std::string& path, imaging::SequenceFormat format)
{
    const std::string bare = WithoutSlashes(path);
    if (format == imaging::SequenceFormat::Directory)
        return RealPathOf(bare) + "/.tarvik-lock";
    std::string real = RealPathOf(bare);
    if (real == bare)  // not there yet: its folder's real name
        real = RealPathOf(imaging::FolderOf(bare)) + "/" + imaging::LastPartOf(bare);
    return LockBeside(real);
}

// TakeLock's failure when something other than a file is in the lock's
// place: it is neither used nor removed (a FIFO or device there is someone's).
constexpr int kLockNotAFile = -1;

// Takes the lock at lockPath: 0 and *fd, else the errno (EWOULDBLOCK: a
// running recording holds it) or kLockNotAFile. An flock goes with its
// process, so that a killed recording's file locks nothing. It is opened for
// reading only, which an flock needs: a lock another user's killed recording
// left is one this user may read but not write.
int TakeLock(const std::string& lockPath, int* fd)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        struct stat there {};
        if (lstat(lockPath.c_str(), &there) == 0 && !S_ISREG(there.st_mode))
            return S_ISDIR(there.st_mode) ? EISDIR : S_ISLNK(there.st_mode) ? ELOOP : kLockNotAFile;
        const int f = open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
        if (f < 0)
            return errno;
        struct stat opened {};
        if (fstat(f, &opened) != 0 || !S_ISREG(opened.st_mode)) {  // put there since the look
            close(f);
            return kLockNotAFile;
        }
        if (flock(f, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            close(f);
            return err;
        }
        // A holder removes the file as it lets go: a lock taken on the
        // removed file would lock nothing, so it is taken again.
        struct stat held {}, named {};
        if (fstat(f, &held) == 0 && stat(lockPath.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            // Readable by all whatever the umask, so that the file a killed
            // recording leaves locks out no other user; only the owner may
            // change its mode, and a lock works without it.
            if (held.st_uid == geteuid())
                (void)fchmod(f, 0644);
            *fd = f;
            return 0;
        }
        close(f);
    }
    return EWOULDBLOCK;
}

void DropLock(const std::string& lockPath, int fd)
{
    unlink(lockPath.c_str());
    close(fd);
}

// Whether the CSV at path is one a recording that kept no frame left: the
// header, then only lines without an index (skipped, dropped, refused).
bool NothingKeptCsv(const std::string& path)
{
    if (NodeOf(path) != Node::Regular)
        return false;
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || line + "\n" != kCsvHeader)
        return false;
    while (std::getline(in, line))
        if (line.empty() || line[0] != ',')
            return false;
    return !in.bad();
}

// Shortens the file at fd to length; false when it cannot.
bool CutTo(int fd, uint64_t length) { return ftruncate(fd, off_t(length)) == 0; }

// Writes all of data to fd; 0, else the errno of the failure, with *written
// (when given) the bytes that were written before it.
int WriteAll(int fd, const char* data, size_t size, size_t* written = nullptr)
{
    size_t done = 0;
    int failure = 0;
    while (done < size && !failure) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n > 0)
            done += size_t(n);
        else if (n == 0)
            failure = EIO;
        else if (errno != EINTR)
            failure = errno;
    }
    if (written)
        *written = done;
    return failure;
}

std::string InFolder(const std::string& folder, const char* name)
{
    return folder + (!folder.empty() && folder.back() == '/' ? "" : "/") + name;
}

// Whether name is a frame file's: "frame-" and six digits or more (frame
// 1000000 and on have seven), then ".tiff" or ".png".
bool IsFrameName(const std::string& name)
{
    const size_t dot = name.rfind('.');
    const bool digits = name.compare(0, 6, "frame-") == 0 && dot != std::string::npos && dot >= 12 &&
                        std::all_of(name.begin() + 6, name.begin() + long(dot),
                                    [](char c) { return c >= '0' && c <= '9'; });
    return digits && (name.substr(dot) == ".tiff" || name.substr(dot) == ".png");
}

// The frame files an earlier recording left in folder ("frame-000123.tiff"
// or ".png"): a new recording there would mix its frames with them. With
// temporaries also the hidden ".frame-000123.tiff.tarvik-XXXXXX" a killed
// recording left half written (six characters after the dash, as mkstemp
// makes them: a frame file's lock, ".frame-000123.tiff.tarvik-lock", is a
// running recording's and stays).
std::vector<std::string> FrameFilesIn(const std::string& folder, bool temporaries = false)
{
    std::vector<std::string> found;
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return found;
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        const size_t temporary = name.rfind(".tarvik-");
        const bool halfWritten = temporaries && name[0] == '.' && temporary != std::string::npos &&
                                 temporary > 1 && name.size() - temporary == std::strlen(".tarvik-XXXXXX") &&
                                 IsFrameName(name.substr(1, temporary - 1));
        if (IsFrameName(name) || halfWritten)
            found.push_back(InFolder(folder, name.c_str()));
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
}

// Whether this user may put a file in the place of the one at path, or
// remove it: in a folder with the sticky bit (/tmp) only the file's owner,
// the folder's or root may (an approximation of the capability).
bool MayReplace(const std::string& path)
{
    struct stat file {}, folder {};
    if (lstat(path.c_str(), &file) != 0 || stat(imaging::FolderOf(path).c_str(), &folder) != 0 ||
        !(folder.st_mode & S_ISVTX))
        return true;
    const uid_t me = geteuid();
    return me == 0 || file.st_uid == me || folder.st_uid == me;
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
    Unlock();
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

namespace {

// The recording's files that cannot be written as they are: a link that
// leads nowhere, a device, a sidecar that is no regular file or that is
// another file of the recording through a link.
std::optional<std::string> NodeRefusal(const std::string& path, imaging::SequenceFormat format)
{
    auto refuse = [](const std::string& name, const std::string& why) {
        return std::optional<std::string>("cannot write " + cam::Quoted(name) + ": " + why);
    };
    // A link is followed to the file it leads to, for the recording and its
    // sidecars alike (the link stays); one that leads nowhere is refused, as
    // a grab refuses it, rather than making a file wherever it points. A
    // device never holds a recording: one into /dev/null would say it kept
    // frames, one into a disk would overwrite it.
    switch (NodeOf(WithoutSlashes(path))) {
    case Node::DanglingLink:
        return refuse(path, kDanglingLink);
    case Node::Other:
        return refuse(path, "a recording goes to a regular file, or is streamed into a FIFO");
    default:
        break;
    }
    // Sidecars are files of their own: a FIFO or device there would hold the
    // recording up (or take its lines away), and is never written either.
    const std::string csv = Recorder::CsvPath(path, format), settings = Recorder::SettingsPath(path, format);
    for (const std::string& sidecar : {csv, settings}) {
        const Node node = NodeOf(sidecar);
        if (node == Node::DanglingLink)
            return refuse(sidecar, kDanglingLink);
        if (node != Node::Missing && node != Node::Regular)
            return refuse(sidecar, "it is not a regular file");
    }
    // A sidecar that is a link to another file of the recording would be
    // replaced by that file as the files are put in place: the recording
    // would say it kept its lines, and they would be gone.
    // (In a folder only a sidecar that is a link can lead to a frame: the
    // frames are replaced and removed by their names.)
    std::vector<std::string> files = {csv, settings};
    if (format != imaging::SequenceFormat::Directory) {
        files.push_back(path);
    } else if (struct stat st {}; (lstat(csv.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ||
                                  (lstat(settings.c_str(), &st) == 0 && S_ISLNK(st.st_mode))) {
        const std::vector<std::string> frames = FrameFilesIn(path, true);
        files.insert(files.end(), frames.begin(), frames.end());
    }
    for (size_t i = 0; i < 2; ++i) {
        const std::string real = NodeOf(files[i]) == Node::Regular ? RealPathOf(files[i]) : std::string();
        for (size_t j = i + 1; j < files.size() && !real.empty(); ++j)
            if (NodeOf(files[j]) == Node::Regular && RealPathOf(files[j]) == real)
                return refuse(files[i], "it is the same file as " + cam::Quoted(files[j]) + ", through a link");
    }
    return std::nullopt;
}

// The earlier files a start would have to replace but could not.
std::optional<std::string> ReplaceRefusal(const std::string& path, imaging::SequenceFormat format, bool overwrite)
{
    // A folder with a frame file's name cannot go with the earlier frames,
    // nor can a file that only its owner may replace or remove (another
    // user's in a folder with the sticky bit, such as /tmp, unless the folder
    // is ours): found once the new files are in place, either would fail the
    // start after the earlier recording was gone, so both are refused first.
    auto refuseReplacing = [](const std::string& name, const char* why) {
        return std::optional<std::string>("cannot replace " + cam::Quoted(name) + ": " + why);
    };
    const std::string csv = Recorder::CsvPath(path, format), settings = Recorder::SettingsPath(path, format);
    const char* notOurs = "it belongs to another user, in a folder where only its owner may replace it";
    if (overwrite && format == imaging::SequenceFormat::Directory)
        for (const std::string& frame : FrameFilesIn(path, true)) {
            if (struct stat st {}; lstat(frame.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                return refuseReplacing(frame, "it is a folder, not a frame file");
            if (!MayReplace(frame))
                return refuseReplacing(frame, notOurs);
        }
    std::vector<std::string> replaced = {csv, settings};
    if (overwrite && format != imaging::SequenceFormat::Directory)
        replaced.push_back(path);
    for (const std::string& name : replaced)
        if ((overwrite || NothingKeptCsv(csv)) && NodeOf(name) == Node::Regular && !MayReplace(RealPathOf(name)))
            return refuseReplacing(name, notOurs);
    return std::nullopt;
}

// Without --overwrite: an earlier recording's file that the name would replace.
std::optional<std::string> TakenFile(const std::string& path, imaging::SequenceFormat format)
{
    const std::string csv = Recorder::CsvPath(path, format), settings = Recorder::SettingsPath(path, format);
    std::vector<std::string> taken;
    bool recordingThere = false;
    if (format == imaging::SequenceFormat::Directory) {
        taken = FrameFilesIn(path);
        recordingThere = !taken.empty();
    } else {
        recordingThere = NodeOf(path) == Node::Regular;
        taken.push_back(path);
    }
    // What a recording that kept no frame left does not hold the name: its
    // CSV says only why nothing was kept, and a retry replaces it.
    if (recordingThere || !NothingKeptCsv(csv)) {
        taken.push_back(csv);
        taken.push_back(settings);
    }
    for (const std::string& name : taken)
        if (const Node node = NodeOf(name); node == Node::Regular || node == Node::Folder ||
                                            node == Node::DanglingLink) {  // a frame's link is the folder's
            return cam::Quoted(name) + " exists and is kept: --overwrite replaces it";
        }
    return std::nullopt;
}

}  // namespace

bool Recorder::CheckTarget(const std::string& path, bool overwrite, BeginError* kind, std::string* error)
{
    imaging::SequenceFormat format{};
    if (!imaging::SequenceFormatOf(path, &format)) {
        *kind = BeginError::NotWritten;
        *error = "cannot record to " + cam::Quoted(path) + ": the name must end in " + imaging::SequenceFileKinds();
        return false;
    }
    if (std::optional<std::string> refused = NodeRefusal(path, format)) {
        *kind = BeginError::NotWritten;
        *error = *refused;
        return false;
    }
    // Said before the camera is opened, which a running recording holds.
    int lock = -1;
    const std::string lockPath = LockPathOf(path, format);
    const int locked = TakeLock(lockPath, &lock);
    if (locked == 0)
        DropLock(lockPath, lock);
    else if (locked == EWOULDBLOCK) {
        *kind = BeginError::NotWritten;
        *error = "cannot record to " + cam::Quoted(path) + ": another recording to it is running";
        return false;
    }
    if (std::optional<std::string> refused = ReplaceRefusal(path, format, overwrite)) {
        *kind = BeginError::NotWritten;
        *error = *refused;
        return false;
    }
    if (overwrite)
        return true;
    if (std::optional<std::string> taken = TakenFile(path, format)) {
        *kind = BeginError::Exists;
        *error = *taken;
        return false;
    }
    return true;
}

std::vector<std::string> Recorder::Replaced(const std::string& path)
{
    imaging::SequenceFormat format{};
    if (!imaging::SequenceFormatOf(path, &format))
        return {};
    std::vector<std::string> files;
    if (format == imaging::SequenceFormat::Directory) {
        files = FrameFilesIn(path);
    } else if (NodeOf(path) == Node::Regular) {
        files.push_back(path);
    }
    for (const std::string& sidecar : {CsvPath(path, format), SettingsPath(path, format)})
        if (NodeOf(sidecar) == Node::Regular)
            files.push_back(sidecar);
    return files;
}

bool Recorder::Lock(const std::string& path, imaging::SequenceFormat format, std::string* error)
{
    lockPath_ = LockPathOf(path, format);
    int failure = TakeLock(lockPath_, &lockFd_);
    // A FIFO is written in place, also in a folder this user cannot write
    // (reached through a link from one that can): there it is locked beside
    // the link, for the recordings through that link.
    if ((failure == EACCES || failure == EROFS) && NodeOf(WithoutSlashes(path)) == Node::Fifo) {
        lockPath_ = LockBeside(WithoutSlashes(path));
        failure = TakeLock(lockPath_, &lockFd_);
    }
    if (failure == 0)
        return true;
    lockFd_ = -1;
    struct stat st {};
    if (failure == EWOULDBLOCK)
        *error = "cannot record to " + cam::Quoted(path) + ": another recording to it is running";
    else if (failure == kLockNotAFile || lstat(lockPath_.c_str(), &st) == 0)  // something else in its place
        *error = "cannot write " + cam::Quoted(path) + ": its lock " + cam::Quoted(lockPath_) + ": " +
                 (failure == kLockNotAFile ? "it is not a regular file" : std::strerror(failure));
    else
        *error = "cannot write " + cam::Quoted(path) + ": " + std::strerror(failure);
    return false;
}

void Recorder::Unlock()
{
    if (lockFd_ >= 0)
        DropLock(lockPath_, lockFd_);
    lockFd_ = -1;
}

bool Recorder::OpenRecording(const Options& options, imaging::SequenceFormat format,
                             const imaging::SequenceShape& shape, imaging::SequenceWriter& writer,
                             Replacing* recording, std::string* error)
{
    struct stat old {};
    bool opened = false;
    if (format != imaging::SequenceFormat::Directory && NodeOf(options.path, &old) == Node::Regular) {
        recording->target = RealPathOf(options.path);
        const int fd = imaging::MakeReplacement(recording->target, &old, &recording->temporary);
        if (fd < 0) {
            *error = "cannot write " + cam::Quoted(options.path) + ": " + std::strerror(-fd);
            Unlock();
            return false;
        }
        close(fd);
        opened = writer.Open(recording->temporary, shape, true);
        if (!opened)
            unlink(recording->temporary.c_str());
    } else {
        opened = writer.Open(options.path, shape, options.overwrite);
    }
    if (!opened) {
        *error = "cannot write " + cam::Quoted(options.path) + ": " + writer.Error();
        Unlock();
        return false;
    }
    if (format == imaging::SequenceFormat::Directory && !Lock(options.path, format, error)) {
        writer.Close();
        return false;
    }
    return true;
}

void Recorder::Start(const Options& options, const imaging::SequenceShape& shape,
                     std::unique_ptr<imaging::SequenceWriter> writer)
{
    options_ = options;
    shape_ = shape;
    frameBytes_ = cam::RowBytes(*shape.format, shape.width) * shape.height;
    const uint64_t bound = options.bufferBytes ? options.bufferBytes : DefaultBufferBytes(frameBytes_);
    writer_ = std::move(writer);
    index_ = 0;
    held_.clear();
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
    // Buffers ready before the first frame comes.
    for (size_t i = 0; i < kReadyBuffers; ++i)
        if (!AddSpare())
            break;
    thread_ = std::thread(&Recorder::Run, this);
    preparer_ = std::thread(&Recorder::Prepare, this);
}

void Recorder::OpenSidecars(const Options& options, imaging::SequenceFormat format, const std::string& settingsText,
                            Replacing* recording, Replacing* csv, std::string* error)
{
    struct stat old {};
    csvPath_ = CsvPath(options.path, format);
    const std::string settingsPath = SettingsPath(options.path, format);
    const bool csvThere = NodeOf(csvPath_, &old) == Node::Regular;
    csv->target = csvThere ? RealPathOf(csvPath_) : csvPath_;
    csv_ = imaging::MakeReplacement(csv->target, csvThere ? &old : nullptr, &csv->temporary);
    int failure = csv_ < 0 ? -csv_ : WriteAll(csv_, kCsvHeader, std::strlen(kCsvHeader));
    csvLength_ = std::strlen(kCsvHeader);
    imaging::OutputFile settings;
    if (failure)
        *error = "cannot write " + cam::Quoted(csvPath_) + ": " + std::strerror(failure);
    else if (!settings.Open(settingsPath) || !settings.Write(settingsText.data(), settingsText.size()) ||
             !settings.Commit())
        *error = "cannot write " + cam::Quoted(settingsPath) + ": " + settings.Error();
    // The settings are in place (renamed by Commit); the recording goes last.
    auto putInPlace = [error](Replacing& file, const std::string& name) {
        if (!error->empty() || file.temporary.empty())
            return;
        if (rename(file.temporary.c_str(), file.target.c_str()) != 0)
            *error = "cannot write " + cam::Quoted(name) + ": " + std::strerror(errno);
        else
            file.temporary.clear();
    };
    putInPlace(*csv, csvPath_);
    putInPlace(*recording, options.path);
}

void Recorder::SayBayerPlanesNote(imaging::SequenceFormat format, const imaging::SequenceShape& shape,
                                  const imaging::SequenceOptions& sequence)
{
    if (format != imaging::SequenceFormat::Mkv || !sequence.bayerPlanes)
        return;
    if (const std::string note = imaging::MkvBayerPlanesNote(shape); !note.empty())
        std::fprintf(stderr, "tarvik: --record-bayer planes: %s\n", note.c_str());
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
    if (!writer && !imaging::CanRecord(format, shape, options.sequence.codec, &why)) {
        *kind = BeginError::CannotRecord;
        *error = "cannot record " + std::string(shape.format->name) + " frames to " + cam::Quoted(options.path) +
                 (why.empty() ? "" : ": " + why);
        return false;
    }
    if (!writer)
        writer = imaging::MakeSequenceWriter(format, options.sequence);
    SayBayerPlanesNote(format, shape, options.sequence);
    *kind = BeginError::NotWritten;
    if (!writer) {
        *error = "cannot record " + std::string(shape.format->name) + " frames to " + cam::Quoted(options.path);
        *kind = BeginError::CannotRecord;
        return false;
    }
    // A folder's lock is in it, once the writer has made it.
    if (format != imaging::SequenceFormat::Directory && !Lock(options.path, format, error))
        return false;
    // A file that exists is written under a temporary name beside it (beside
    // the file a link leads to) and put in its place only once every file of
    // the recording has opened: a start that fails leaves the earlier
    // recording as it was. New files are made under their own names.
    // The recording first: where it cannot be made, nothing else is.
    Replacing recording, csv;
    if (!OpenRecording(options, format, shape, *writer, &recording, error))
        return false;
    OpenSidecars(options, format, settingsText, &recording, &csv, error);
    if (!error->empty()) {
        if (csv_ >= 0)
            close(csv_);
        csv_ = -1;
        if (!csv.temporary.empty())
            unlink(csv.temporary.c_str());
        writer->Close();
        if (!recording.temporary.empty())
            unlink(recording.temporary.c_str());
        else if (recording.target.empty())
            RemoveIfEmpty(options.path, format);
        Unlock();
        return false;
    }
    // Replacing a recording in a folder replaces all of it: frames of the
    // earlier one past this one's end would read as part of it, and what a
    // killed one left half written goes too. Only once everything else has
    // opened, so that a failed start leaves them.
    if (format == imaging::SequenceFormat::Directory && options.overwrite)
        for (const std::string& stale : FrameFilesIn(options.path, true))
            if (unlink(stale.c_str()) != 0 && errno != ENOENT) {
                *error = "cannot replace " + cam::Quoted(stale) + ": " + std::strerror(errno);
                close(csv_);
                csv_ = -1;
                writer->Close();
                Unlock();
                return false;
            }
    Start(options, shape, std::move(writer));
    *kind = BeginError::None;
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
        // A refused frame is not kept, so not kept incomplete either.
        counts_.incomplete += entry.incomplete ? 1 : 0;
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
        ReleaseLines(!closed);
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
    Unlock();
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
        FlushCsv(Clock::now() - csvFlushed_ >= kCsvInterval);
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
    if (!written) {
        ReleaseLines(true);
        return CsvLine(entry, "failed", false);
    }
    const bool line = CsvLine(entry, entry.incomplete ? "incomplete" : "yes", true);
    ++index_;
    return line;
}

bool Recorder::CsvLine(const Entry& entry, const char* written, bool indexed)
{
    char rest[256];
    auto number = [](uint64_t n, bool shown) { return shown ? std::to_string(n) : std::string(); };
    const bool frame = std::strcmp(written, "skipped") != 0;
    std::snprintf(rest, sizeof rest, ",%llu,%s,%s,%s,%s,%s,", (unsigned long long)entry.frameId,
                  number(entry.timestamp, frame && entry.timestamp).c_str(), number(entry.receiveTime, frame).c_str(),
                  number(entry.width, frame).c_str(), number(entry.height, frame).c_str(),
                  frame ? shape_.format->name : "");
    held_.push_back({indexed, index_, rest, written});
    return ReleaseLines(false);
}

bool Recorder::ReleaseLines(bool lost)
{
    uint64_t frames = 0;
    for (const Line& l : held_)
        frames += l.indexed ? 1 : 0;
    uint64_t whole = frames - std::min(frames, writer_ ? writer_->FramesHeld() : 0);
    uint64_t failed = 0;
    for (; !held_.empty(); held_.pop_front()) {
        const Line& l = held_.front();
        if (l.indexed && !whole && !lost)
            break;
        const bool kept = !l.indexed || whole;
        if (l.indexed && kept)
            --whole;
        else if (l.indexed)
            ++failed;
        csvBuffer_ += (l.indexed && kept ? std::to_string(l.index) : std::string()) + l.rest +
                      (kept ? l.written : "failed") + "\n";
    }
    if (failed) {
        std::lock_guard<std::mutex> lock(mutex_);
        counts_.written -= failed;
    }
    return csvBuffer_.size() < kCsvChunk || FlushCsv(false);
}

bool Recorder::FlushCsv(bool sync)
{
    if (sync)
        csvFlushed_ = Clock::now();
    if (csv_ < 0)
        return false;
    size_t written = 0;
    int failure = csvBuffer_.empty() ? 0 : WriteAll(csv_, csvBuffer_.data(), csvBuffer_.size(), &written);
    if (failure == 0) {
        csvLength_ += csvBuffer_.size();
    } else {  // a line a full disk cut short would read as a whole one; the whole ones before it stay
        const size_t end = csvBuffer_.rfind('\n', written ? written - 1 : 0);
        const size_t whole = written && end != std::string::npos ? end + 1 : 0;
        if (CutTo(csv_, csvLength_ + whole))
            csvLength_ += whole;
    }
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
