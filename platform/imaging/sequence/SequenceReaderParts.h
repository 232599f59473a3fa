// What the three recording readers share: the frame buffers they hand out
// and take back, the pixel format a recorded one comes back in, and the
// bound on a frame's size checked before anything is allocated for it.
#pragma once
#include "platform/imaging/sequence/SequenceReader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace imaging {

// The most pixels a frame read back may have: what FFmpeg takes for a frame
// (the Matroska writer's limit, (w + 128) x (h + 128) < 2^28), for every
// format, so that a header claiming more is refused before any allocation.
constexpr uint64_t kMaxReadPixels = (uint64_t(1) << 28);

// Whether width x height pixels of bytesPerPixel can be a frame: neither 0
// nor past kMaxReadPixels; *why says what is accepted.
bool ReadableSize(uint64_t width, uint64_t height, std::string* why);

// The format frames recorded in format come back in: packed samples
// unpacked at their own depth (Mono12p as Mono12, BayerRG10Packed as
// BayerRG10), the rest as they are. Null for none.
const cam::PixelFormat* UnpackedFormat(const cam::PixelFormat* format);

// Frame buffers handed out with each frame: one the caller no longer holds
// (through ReadFrame::keep) is filled again, so that reading a recording of
// any length takes a few frames' memory.
class FramePool {
public:
    // A buffer of bytes, free for writing; null without memory.
    std::shared_ptr<std::vector<uint8_t>> Take(uint64_t bytes);

private:
    static constexpr size_t kKept = 4;
    std::vector<std::shared_ptr<std::vector<uint8_t>>> buffers_;
};

// What every reader keeps the same way: the shape, what opening found and
// the last failure, and the calls that hand them out.
class ReaderBase : public SequenceReader {
public:
    const SequenceShape& Shape() const override { return shape_; }
    const SequenceInfo& Info() const override { return info_; }
    const std::string& Error() const override { return error_; }

protected:
    bool Fail(const std::string& why)
    {
        error_ = why;
        return false;
    }

    SequenceShape shape_;
    SequenceInfo info_;
    std::string error_;
};

// Fills *frame from buffer.
void HandOut(const std::shared_ptr<std::vector<uint8_t>>& buffer, uint64_t index, int64_t fileTime, ReadFrame* frame);

std::unique_ptr<SequenceReader> MakeMkvReader();
std::unique_ptr<SequenceReader> MakeTiffReader();
std::unique_ptr<SequenceReader> MakeDirectoryReader();

}  // namespace imaging
