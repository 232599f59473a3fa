// Stands in for the sequence writers while they are not in this tree: the
// folder format only, each frame's bytes as they came. Built only where
// platform/imaging/SequenceFile.cpp is missing.
#include "platform/imaging/SequenceFile.h"
#include "platform/imaging/OutputFile.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace imaging {

namespace {

class RawFolder : public SequenceWriter {
public:
    bool Open(const std::string& path, const SequenceShape&, bool) override
    {
        folder_ = path.back() == '/' ? path : path + "/";
        if (mkdir(folder_.c_str(), 0777) != 0 && errno != EEXIST)
            return error_ = std::strerror(errno), false;
        return true;
    }
    bool Write(const SequenceFrame& frame) override
    {
        char name[32];
        std::snprintf(name, sizeof name, "frame-%06llu.tiff", (unsigned long long)frame.index + 1);
        OutputFile out;
        if (!out.Open(folder_ + name) || !out.Write(frame.data, frame.size) || !out.Commit())
            return error_ = out.Error(), false;
        bytes_ += frame.size;
        return true;
    }
    bool Close() override { return true; }
    const std::string& Error() const override { return error_; }
    uint64_t BytesWritten() const override { return bytes_; }

private:
    std::string folder_, error_;
    uint64_t bytes_ = 0;
};

}  // namespace

bool SequenceFormatOf(const std::string& path, SequenceFormat* format)
{
    struct stat st {};
    if (!path.empty() && (path.back() == '/' || (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))))
        return *format = SequenceFormat::Directory, true;
    for (const char* tail : {".mkv", ".tif", ".tiff"})
        if (path.size() > std::strlen(tail) && path.compare(path.size() - std::strlen(tail), std::string::npos, tail) == 0)
            return *format = tail[1] == 'm' ? SequenceFormat::Mkv : SequenceFormat::Tiff, true;
    return false;
}

std::string SequenceFileKinds() { return ".mkv, .tif, .tiff, or a folder (a name ending in /)"; }

std::unique_ptr<SequenceWriter> MakeSequenceWriter(SequenceFormat format, const SequenceOptions&)
{
    return format == SequenceFormat::Directory ? std::make_unique<RawFolder>() : nullptr;
}

bool CanRecord(SequenceFormat format, const cam::PixelFormat&, std::string* why)
{
    if (format != SequenceFormat::Directory)
        *why = "this build cannot write this format";
    return format == SequenceFormat::Directory;
}

}  // namespace imaging
