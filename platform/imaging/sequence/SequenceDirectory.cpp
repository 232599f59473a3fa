// Sequences as a folder of picture files, one a frame, each saved as a grab
// is: the frame converted for display (deep frames at their full depth) and
// written whole under its name (frame-000001.tiff, ...) or not at all.
#include "SequenceFile.h"

#include "platform/imaging/display/DisplayImage.h"
#include "platform/imaging/convert/PixelConvert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace imaging {

namespace {

class DirectoryWriter final : public SequenceWriter {
public:
    explicit DirectoryWriter(const SequenceOptions& options) : options_(options) {}

    bool Open(const std::string& path, const SequenceShape& shape, bool overwrite) override;
    bool Write(const SequenceFrame& frame) override;
    bool Close() override;
    const std::string& Error() const override { return error_; }
    uint64_t BytesWritten() const override { return written_; }

private:
    bool Fail(int errnum) { return Fail(std::string(std::strerror(errnum))); }
    bool Fail(const std::string& why)
    {
        if (error_.empty())
            error_ = why;
        return false;
    }
    std::string FrameName(uint64_t index) const;
    Picture PictureOf(const SequenceFrame& frame);

    SequenceOptions options_;
    SequenceShape shape_;
    std::string folder_;  // ending in '/'
    bool overwrite_ = false;
    bool open_ = false;
    uint64_t written_ = 0;
    std::string error_;
    // Kept from frame to frame: fresh pages for each 60 MB picture cost more
    // than converting into them.
    DisplayImage image_;
};

std::string DirectoryWriter::FrameName(uint64_t index) const
{
    char name[64];
    std::snprintf(name, sizeof name, "frame-%06llu.%s", (unsigned long long)(index + 1),
                  options_.frameFileFormat.c_str());
    return folder_ + name;
}

bool DirectoryWriter::Open(const std::string& path, const SequenceShape& shape, bool overwrite)
{
    error_.clear();
    if (options_.frameFileFormat != "tiff" && options_.frameFileFormat != "png")
        return Fail("frames in a folder are kept as tiff or png files");
    if (!shape.format || shape.width == 0 || shape.height == 0)
        return Fail("no frame size or pixel format to record");
    if (!CanShow(shape.format->name))
        return Fail(std::string("frames in ") + shape.format->name + " cannot be saved as pictures");
    shape_ = shape;
    overwrite_ = overwrite;
    folder_ = path.empty() || path.back() == '/' ? path : path + "/";
    std::string bare = path;  // "run/" names run, whatever it is
    while (bare.size() > 1 && bare.back() == '/')
        bare.pop_back();
    struct stat st;
    if (::stat(bare.c_str(), &st) == 0) {
        if (S_ISFIFO(st.st_mode))
            return Fail("frames cannot be kept a file each in a FIFO (.mkv can stream into one)");
        if (!S_ISDIR(st.st_mode))
            return Fail(std::strerror(ENOTDIR));
    } else if (::mkdir(bare.c_str(), 0777) != 0) {
        return Fail(errno);
    }
    if (::access(bare.c_str(), W_OK | X_OK) != 0)
        return Fail(errno);
    if (!overwrite && ::access(FrameName(0).c_str(), F_OK) == 0)
        return Fail(FrameName(0) + ": " + std::strerror(EEXIST));
    open_ = true;
    return true;
}

// The frame as a grab keeps it: deep formats at 16 bits a sample, the rest
// as the display image's 8-bit colour.
Picture DirectoryWriter::PictureOf(const SequenceFrame& frame)
{
    const Frame f{frame.data, frame.data ? frame.size : 0, shape_.width, shape_.height, shape_.format->name};
    if (Picture deep = DeepPicture(f); !deep.IsNull())
        return deep;
    if (shape_.width > INT32_MAX || shape_.height > INT32_MAX ||
        !image_.Recreate(int(shape_.width), int(shape_.height)))
        return {};
    uint8_t* top = image_.GetBits();
    const ptrdiff_t pitch = image_.GetPitch();
    // Converting a large frame takes as long as writing it: its rows are
    // split over the cores (the folder writer's thread one of them).
    const uint64_t rows = ConvertFrame(f, top, pitch, WaitedThreads(f));
    for (uint64_t y = rows; y < shape_.height; ++y)  // what the frame does not hold is black
        std::memset(top + ptrdiff_t(y) * pitch, 0, size_t(shape_.width) * 3);
    return Picture::FromDisplayImage(image_);
}

bool DirectoryWriter::Write(const SequenceFrame& frame)
{
    if (!open_ || !error_.empty())
        return Fail("the folder is not open");
    const std::string name = FrameName(frame.index);
    if (!overwrite_ && ::access(name.c_str(), F_OK) == 0)
        return Fail(name + ": " + std::strerror(EEXIST));
    const Picture picture = PictureOf(frame);
    if (picture.IsNull())
        return Fail("no memory for the frame's picture");
    const std::string why = SavePicture(picture, name, options_.frameFileFormat);
    if (!why.empty())
        return Fail(why);
    struct stat st;
    if (::stat(name.c_str(), &st) == 0)
        written_ += uint64_t(st.st_size);
    return true;
}

bool DirectoryWriter::Close()
{
    if (!open_)
        return error_.empty();
    open_ = false;
    // Each file was synced before its rename; the names are the folder's.
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return Fail(errno);
    if (::fsync(fd) != 0)
        Fail(errno);
    ::close(fd);
    return error_.empty();
}

}  // namespace

std::unique_ptr<SequenceWriter> MakeDirectoryWriter(const SequenceOptions& options)
{
    return std::make_unique<DirectoryWriter>(options);
}

}  // namespace imaging
