// Opening a recording by its name, and what the readers of each format share.
#include "platform/imaging/sequence/SequenceReaderParts.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace imaging {

bool ReadableSize(uint64_t width, uint64_t height, std::string* why)
{
    if (width == 0 || height == 0) {
        *why = "it claims frames of " + std::to_string(width) + " x " + std::to_string(height) + " pixels";
        return false;
    }
    if (width > kMaxReadPixels || height > kMaxReadPixels || width * height > kMaxReadPixels) {
        *why = "it claims frames of " + std::to_string(width) + " x " + std::to_string(height) +
               " pixels; at most " + std::to_string(kMaxReadPixels) + " pixels a frame are read";
        return false;
    }
    return true;
}

const cam::PixelFormat* UnpackedFormat(const cam::PixelFormat* format)
{
    if (!format || format->packing == cam::Packing::Byte || format->packing == cam::Packing::Word)
        return format;
    // Lsb and GigePacked are grey and Bayer formats only.
    std::string name = format->sampling == cam::Sampling::Bayer
                           ? "Bayer" + std::string(format->order, 2) + std::to_string(format->bits)
                           : "Mono" + std::to_string(format->bits);
    const cam::PixelFormat* unpacked = cam::FindPixelFormat(name.c_str());
    return unpacked ? unpacked : format;
}

std::shared_ptr<std::vector<uint8_t>> FramePool::Take(uint64_t bytes)
{
    try {
        for (auto& b : buffers_) {
            if (b.use_count() == 1) {
                b->resize(size_t(bytes));
                return b;
            }
        }
        auto fresh = std::make_shared<std::vector<uint8_t>>(size_t(bytes));
        // Past kKept held by callers, a buffer is theirs alone: not kept here.
        if (buffers_.size() < kKept)
            buffers_.push_back(fresh);
        return fresh;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void HandOut(const std::shared_ptr<std::vector<uint8_t>>& buffer, uint64_t index, int64_t fileTime, ReadFrame* frame)
{
    frame->data = buffer->data();
    frame->size = buffer->size();
    frame->index = index;
    frame->fileTime = fileTime;
    frame->keep = buffer;
}

std::unique_ptr<SequenceReader> OpenSequence(const std::string& path, std::string* error)
{
    const std::string prefix = "cannot read \"" + path + "\": ";
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        *error = prefix + std::strerror(errno);
        return nullptr;
    }
    SequenceFormat format;
    if (S_ISDIR(st.st_mode)) {
        format = SequenceFormat::Directory;
    } else if (!SequenceFormatOf(path, &format) || format == SequenceFormat::Directory) {
        *error = prefix + "a recording is a " + SequenceFileKinds();
        return nullptr;
    }
    std::unique_ptr<SequenceReader> reader = format == SequenceFormat::Mkv    ? MakeMkvReader()
                                             : format == SequenceFormat::Tiff ? MakeTiffReader()
                                                                              : MakeDirectoryReader();
    if (!reader->Open(path)) {
        *error = prefix + reader->Error();
        return nullptr;
    }
    return reader;
}

}  // namespace imaging
