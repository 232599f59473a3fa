// What review keeps of a recording: a range written through the recording
// writers with the CSV and settings lines that belong to it, and one frame
// saved through the picture files, with the recorder's care for files that
// exist and never a write onto the recording being read.
#include "RecordingExport.h"

#include "app/record/Recorder.h"
#include "platform/camera/camtext.h"
#include "platform/imaging/convert/PixelConvert.h"
#include "platform/imaging/files/OutputFile.h"
#include "platform/imaging/sequence/SequenceReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

// A settings file is a few hundred lines; anything far larger beside a
// recording is not one, and is not read into memory whole.
constexpr uint64_t kMaxSettingsBytes = uint64_t(16) << 20;

std::string WithoutSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The file a path leads to, links followed; empty where nothing is there.
std::string RealPathOf(const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    if (!real)
        return {};
    const std::string result = real;
    std::free(real);
    return result;
}

bool SameNode(const std::string& a, const std::string& b)
{
    struct stat sa {}, sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// The files of the recording being read: the recording (a folder's own
// folder) and its sidecars.
struct Source {
    imaging::SequenceFormat format = imaging::SequenceFormat::Mkv;
    std::string path, csv, settings;
};

Source SourceOf(const Recording& recording)
{
    Source s;
    s.path = WithoutSlashes(recording.Path());
    if (!imaging::SequenceFormatOf(recording.Path(), &s.format))
        s.format = imaging::SequenceFormat::Mkv;
    s.csv = Recorder::CsvPath(recording.Path(), s.format);
    s.settings = Recorder::SettingsPath(recording.Path(), s.format);
    return s;
}

// Why a file written at target would harm the recording being read, by any
// name for it (a link, a hard link, "./x"); empty when it would not.
std::string HarmsSource(const Source& source, const std::string& target)
{
    const std::string bare = WithoutSlashes(target);
    for (const std::string& own : {source.path, source.csv, source.settings})
        if (SameNode(bare, own))
            return "cannot write " + cam::Quoted(target) + ": it is " +
                   (own == source.path ? std::string("the recording being read")
                                       : cam::Quoted(own) + ", a file of the recording being read");
    // A folder recording's frames are files of their own: a file of that
    // name in its folder would replace one.
    if (source.format == imaging::SequenceFormat::Directory) {
        const std::string folder = RealPathOf(imaging::FolderOf(bare));
        if (!folder.empty() && folder == RealPathOf(source.path) &&
            imaging::LastPartOf(bare).compare(0, 6, "frame-") == 0)
            return "cannot write " + cam::Quoted(target) + ": it is a frame file of the recording being read";
    }
    return {};
}

void Say(std::string* error, KeepError* kind, KeepError k, const std::string& text)
{
    *error = text;
    if (kind)
        *kind = k;
}

// The settings file beside the recording; false, with *why, when one is
// there but cannot be read (none there: true, empty).
bool ReadSettings(const std::string& path, std::string* text, std::string* why)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return true;
    if (!S_ISREG(st.st_mode) || uint64_t(st.st_size) > kMaxSettingsBytes) {
        *why = cam::Quoted(path) + " is not a settings file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    if (!in && !in.eof()) {
        *why = "cannot read " + cam::Quoted(path) + ": " + std::strerror(errno ? errno : EIO);
        return false;
    }
    *text = all.str();
    return true;
}

// The Matroska codec of an export: the one asked for, else the recording's
// own where the writer has it (an export is as fast and as large as the
// recording was), else the default.
std::string CodecOf(Recording& recording, const ExportOptions& options)
{
    if (!options.sequence.codec.empty())
        return options.sequence.codec;
    const std::string& own = recording.Reader().Info().codec;
    const auto& codecs = imaging::MkvCodecs();
    return std::find(codecs.begin(), codecs.end(), own) != codecs.end() ? own : std::string();
}

// The CSV of the frames kept: written whole before the frames (so that a
// disk the frames fill still holds it), cut to the frames kept when fewer
// are. The text is rewritten in the blocks it already has: that needs no room.
bool CutCsv(imaging::OutputFile& csv, const std::string& text, std::string* why)
{
    if (!csv.Replacing()) {
        *why = "it is not a regular file";
        return false;
    }
    if (!csv.Seek(0) || !csv.Write(text.data(), text.size())) {
        *why = csv.Error();
        return false;
    }
    if (ftruncate(csv.Descriptor(), off_t(text.size())) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool ExportRange(Recording& recording, uint64_t first, uint64_t last, const ExportOptions& options,
                 std::string* error, KeepError* kind, uint64_t* kept)
{
    if (kind)
        *kind = KeepError::None;
    if (kept)
        *kept = 0;
    const uint64_t count = recording.FrameCount();
    if (first > last || last >= count) {
        Say(error, kind, KeepError::Range,
            "frames " + std::to_string(first) + " to " + std::to_string(last) + " are not in " +
                cam::Quoted(recording.Path()) + ", which has " + std::to_string(count) + " frames (0 to " +
                std::to_string(count ? count - 1 : 0) + ")");
        return false;
    }
    const std::string& path = options.path;
    imaging::SequenceFormat format{};
    if (!imaging::SequenceFormatOf(path, &format)) {
        Say(error, kind, KeepError::NotWritten,
            "cannot export to " + cam::Quoted(path) + ": the name must end in " + imaging::SequenceFileKinds());
        return false;
    }
    // Never the recording being read, not even with overwrite: its frames
    // would be gone before they were read.
    const Source source = SourceOf(recording);
    for (const std::string& target : {path, Recorder::CsvPath(path, format), Recorder::SettingsPath(path, format)})
        if (const std::string harm = HarmsSource(source, target); !harm.empty()) {
            Say(error, kind, KeepError::SameFile, harm);
            return false;
        }
    Recorder::BeginError begin = Recorder::BeginError::None;
    if (!Recorder::CheckTarget(path, options.overwrite, &begin, error)) {
        if (kind)
            *kind = begin == Recorder::BeginError::Exists ? KeepError::Exists : KeepError::NotWritten;
        return false;
    }

    imaging::SequenceReader& reader = recording.Reader();
    const imaging::SequenceShape shape = reader.Shape();
    imaging::SequenceOptions sequence = options.sequence;
    sequence.frames = last - first + 1;  // a range that surely stays small is classic TIFF
    if (format == imaging::SequenceFormat::Mkv)
        sequence.codec = CodecOf(recording, options);
    std::string why;
    if (!imaging::CanRecord(format, shape, sequence.codec, &why)) {
        Say(error, kind, KeepError::CannotRecord,
            "cannot export " + std::string(shape.format->name) + " frames to " + cam::Quoted(path) +
                (why.empty() ? "" : ": " + why));
        return false;
    }
    std::unique_ptr<imaging::SequenceWriter> writer = imaging::MakeSequenceWriter(format, sequence);
    Recorder::SayBayerPlanesNote(format, shape, sequence);
    if (!writer) {
        Say(error, kind, KeepError::CannotRecord,
            "cannot export " + std::string(shape.format->name) + " frames to " + cam::Quoted(path));
        return false;
    }

    // The sidecars first, under temporary names until the end: a start that
    // fails leaves the files that were there as they were.
    std::string settingsText;
    if (!ReadSettings(source.settings, &settingsText, &why)) {
        Say(error, kind, KeepError::NotRead, why);
        return false;
    }
    // A folder's sidecars are in it: it is made first (as its writer would).
    if (format == imaging::SequenceFormat::Directory && mkdir(WithoutSlashes(path).c_str(), 0777) != 0 &&
        errno != EEXIST) {
        Say(error, kind, KeepError::NotWritten, "cannot write " + cam::Quoted(path) + ": " + std::strerror(errno));
        return false;
    }
    const std::string csvText = recording.CsvLines(first, last);
    const std::string csvPath = Recorder::CsvPath(path, format), settingsPath = Recorder::SettingsPath(path, format);
    imaging::OutputFile csv, settings;
    auto sidecarFailed = [&](imaging::OutputFile& file, const std::string& name) {
        Say(error, kind, KeepError::NotWritten, "cannot write " + cam::Quoted(name) + ": " + file.Error());
        csv.Cancel();
        settings.Cancel();
        return false;
    };
    if (!csvText.empty() && (!csv.Open(csvPath) || !csv.Write(csvText.data(), csvText.size())))
        return sidecarFailed(csv, csvPath);
    if (!settingsText.empty() &&
        (!settings.Open(settingsPath) || !settings.Write(settingsText.data(), settingsText.size())))
        return sidecarFailed(settings, settingsPath);

    // A file that exists is replaced once the export has ended: written
    // beside it (beside the file a link leads to, the link stays) until then.
    const std::string bare = WithoutSlashes(path);
    std::string replaced, temporary;
    struct stat old {};
    if (format != imaging::SequenceFormat::Directory && stat(bare.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        replaced = RealPathOf(bare);
        const int fd = imaging::MakeReplacement(replaced, &old, &temporary);
        if (fd < 0) {
            csv.Cancel();
            settings.Cancel();
            Say(error, kind, KeepError::NotWritten, "cannot write " + cam::Quoted(path) + ": " + std::strerror(-fd));
            return false;
        }
        close(fd);
    }
    const std::vector<std::string> staleFrames =
        format == imaging::SequenceFormat::Directory && options.overwrite ? Recorder::Replaced(path)
                                                                           : std::vector<std::string>();
    if (!writer->Open(temporary.empty() ? path : temporary, shape, options.overwrite || !temporary.empty())) {
        const std::string failure = writer->Error();
        if (!temporary.empty())
            unlink(temporary.c_str());
        csv.Cancel();
        settings.Cancel();
        Say(error, kind, KeepError::NotWritten, "cannot write " + cam::Quoted(path) + ": " + failure);
        return false;
    }
    // Replacing a folder recording replaces all of it: frames of the earlier
    // one past this one's end would read as part of it. (The sidecars are
    // not among them: they are replaced by name.)
    for (const std::string& stale : staleFrames)
        if (stale != csvPath && stale != settingsPath && unlink(stale.c_str()) != 0 && errno != ENOENT) {
            Say(error, kind, KeepError::NotWritten, "cannot replace " + cam::Quoted(stale) + ": " +
                                                        std::strerror(errno));
            writer->Close();
            csv.Cancel();
            settings.Cancel();
            return false;
        }

    // The frames, each as the recording holds it.
    const uint64_t total = last - first + 1;
    uint64_t written = 0;
    std::string stopped;
    KeepError stopKind = KeepError::None;
    for (uint64_t i = first; i <= last; ++i) {
        if (options.cancel && options.cancel->load()) {
            stopKind = KeepError::Cancelled;
            stopped = "cancelled";
            break;
        }
        imaging::ReadFrame read;
        if (!reader.Read(i, &read)) {
            stopKind = KeepError::NotRead;
            stopped = "cannot read frame " + std::to_string(i) + " of " + cam::Quoted(recording.Path()) + ": " +
                      reader.Error();
            break;
        }
        const RecordedFrame& listed = recording.Frame(i);
        imaging::SequenceFrame frame;
        frame.data = read.data;
        frame.size = read.size;
        frame.index = written;
        // The recording's pace: the camera's times where the CSV has them,
        // else the file's own (one more, as 0 means none).
        frame.timestamp = listed.cameraTime ? *listed.cameraTime : read.fileTime >= 0 ? uint64_t(read.fileTime) + 1 : 0;
        frame.receiveTime = listed.receiveTime.value_or(0);
        if (!writer->Write(frame)) {
            stopKind = KeepError::NotWritten;
            stopped = "cannot write " + cam::Quoted(path) + ": " + writer->Error();
            break;
        }
        ++written;
        if (options.progress)
            options.progress(written, total);
    }
    if (!writer->Close() && stopKind == KeepError::None) {
        stopKind = KeepError::NotWritten;
        stopped = "cannot write " + cam::Quoted(path) + ": " + writer->Error();
    }
    // A Matroska encoder holds a few frames back (its threads): those it
    // still held when the disk filled are not in the file. What is kept is
    // what a reader finds there.
    if (stopKind == KeepError::NotWritten && written > 0 && format == imaging::SequenceFormat::Mkv) {
        std::string unread;
        const std::unique_ptr<imaging::SequenceReader> back =
            imaging::OpenSequence(temporary.empty() ? path : temporary, &unread);
        written = back ? std::min(written, back->FrameCount()) : 0;
    }
    if (kept)
        *kept = written;

    // Nothing kept: nothing replaced, and no bare header left (readers take
    // it for a broken file).
    if (written == 0 && stopKind != KeepError::None) {
        if (!temporary.empty())
            unlink(temporary.c_str());
        else if (format != imaging::SequenceFormat::Directory)
            if (struct stat st {}; lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                unlink(path.c_str());
        csv.Cancel();
        settings.Cancel();
        Say(error, kind, stopKind, stopped + "; nothing exported");
        return false;
    }
    std::string sidecarNote;
    if (written < total && !csvText.empty() &&
        !CutCsv(csv, recording.CsvLines(first, first + written - 1), &why))
        sidecarNote = "; its CSV " + cam::Quoted(csvPath) + " could not be cut to them (" + why +
                      ") and lists the whole range";
    if (!temporary.empty() && rename(temporary.c_str(), replaced.c_str()) != 0) {
        const int err = errno;
        unlink(temporary.c_str());
        csv.Cancel();
        settings.Cancel();
        Say(error, kind, KeepError::NotWritten,
            "cannot replace " + cam::Quoted(path) + ": " + std::strerror(err) + "; it is kept as it was");
        return false;
    }
    for (auto [file, name] : {std::pair{&csv, &csvPath}, std::pair{&settings, &settingsPath}})
        if ((file->Replacing() || file->Descriptor() >= 0) && !file->Commit()) {
            if (stopKind == KeepError::None) {
                stopKind = KeepError::NotWritten;
                stopped = "cannot write " + cam::Quoted(*name) + ": " + file->Error();
            } else {
                sidecarNote += "; " + cam::Quoted(*name) + " could not be written (" + file->Error() + ")";
            }
        }
    if (stopKind == KeepError::None)
        return true;
    const uint64_t lastKept = first + written - 1;
    Say(error, kind, stopKind,
        stopped + "; export stopped, " + std::to_string(written) + " of " + std::to_string(total) +
            " frames kept (" + std::to_string(first) + " to " + std::to_string(lastKept) + "), " +
            cam::Quoted(path) + " readable up to them" + sidecarNote);
    return false;
}

bool SaveRecordedFrame(Recording& recording, uint64_t index, const std::string& path, bool overwrite,
                       std::string* error, KeepError* kind)
{
    if (kind)
        *kind = KeepError::None;
    const uint64_t count = recording.FrameCount();
    if (index >= count) {
        Say(error, kind, KeepError::Range,
            "frame " + std::to_string(index) + " is not in " + cam::Quoted(recording.Path()) + ", which has " +
                std::to_string(count) + " frames (0 to " + std::to_string(count ? count - 1 : 0) + ")");
        return false;
    }
    const bool standardOutput = imaging::OutputFile::IsStandardOutput(path);
    if (!standardOutput) {
        if (imaging::PictureFormatOf(path).empty()) {
            Say(error, kind, KeepError::NotWritten,
                "cannot save a frame to " + cam::Quoted(path) + ": the name must end in " +
                    imaging::PictureFileExtensions());
            return false;
        }
        if (const std::string harm = HarmsSource(SourceOf(recording), path); !harm.empty()) {
            Say(error, kind, KeepError::SameFile, harm);
            return false;
        }
        struct stat st {};
        if (!overwrite && lstat(path.c_str(), &st) == 0) {
            Say(error, kind, KeepError::Exists, cam::Quoted(path) + " exists and is kept");
            return false;
        }
    }
    imaging::SequenceReader& reader = recording.Reader();
    imaging::ReadFrame read;
    if (!reader.Read(index, &read)) {
        Say(error, kind, KeepError::NotRead,
            "cannot read frame " + std::to_string(index) + " of " + cam::Quoted(recording.Path()) + ": " +
                reader.Error());
        return false;
    }
    const imaging::SequenceShape& shape = reader.Shape();
    const imaging::Picture picture =
        imaging::FramePicture({read.data, read.size, shape.width, shape.height, shape.format->name});
    if (picture.IsNull()) {
        Say(error, kind, KeepError::CannotRecord,
            "cannot make a picture of " + std::string(reader.Shape().format->name) + " frames of " +
                std::to_string(reader.Shape().width) + " x " + std::to_string(reader.Shape().height));
        return false;
    }
    if (const std::string failure = imaging::SavePicture(picture, path); !failure.empty()) {
        Say(error, kind, KeepError::NotWritten,
            "cannot write " + (standardOutput ? std::string("standard output") : cam::Quoted(path)) + ": " +
                failure);
        return false;
    }
    return true;
}
