// The display image's memory: one zeroed block, bottom-up rows, shared
// with pictures kept of it until the image is written again.
#include "DisplayImage.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace imaging {

// Generations are unique across all images, so a drawing cached for one
// image can never be mistaken for another's.
static uint64_t NextGeneration()
{
    static std::atomic<uint64_t> counter{0};
    return ++counter;
}

// Bytes of a width x height bitmap, or 0 when it cannot be held.
static uint64_t BitmapBytes(int width, int height)
{
    if (width <= 0 || height <= 0)
        return 0;
    const uint64_t total = DisplayImage::RowBytes(static_cast<uint64_t>(width)) * static_cast<uint64_t>(height);
    return total > DisplayImage::kMaxBytes ? 0 : total;
}

bool DisplayImage::Create(int width, int height, int bitsPerPixel, uint32_t flags)
{
    const uint64_t total = BitmapBytes(width, height);
    if (total == 0 || bitsPerPixel != 24 || flags != 0)
        return false;
    const uint64_t rowBytes = RowBytes(static_cast<uint64_t>(width));
    // calloc hands back zeroed pages without touching them first.
    auto* block = static_cast<uint8_t*>(std::calloc(1, static_cast<size_t>(total)));
    if (!block)
        return false;
    bits_.reset(block, std::free);
    width_ = width;
    height_ = height;
    pitch_ = -static_cast<int>(rowBytes);
    generation_ = NextGeneration();
    return true;
}

bool DisplayImage::Recreate(int width, int height)
{
    const uint64_t total = BitmapBytes(width, height);
    if (bits_ && bits_.use_count() == 1 && total != 0 && total == uint64_t(-pitch_) * uint64_t(height_)) {
        width_ = width;
        height_ = height;
        pitch_ = -static_cast<int>(RowBytes(static_cast<uint64_t>(width)));
        generation_ = NextGeneration();
        return true;
    }
    Destroy();
    return Create(width, height, 24, 0);
}

void DisplayImage::Destroy()
{
    if (!bits_)
        return;
    bits_.reset();
    width_ = height_ = pitch_ = 0;
    generation_ = NextGeneration();
}

const uint8_t* DisplayImage::GetBits() const
{
    if (!bits_)
        return nullptr;
    // Bottom-up: the top row is the last one in memory.
    return bits_.get() + static_cast<size_t>(height_ - 1) * static_cast<size_t>(-pitch_);
}

uint8_t* DisplayImage::GetBits()
{
    generation_ = NextGeneration();
    if (bits_ && bits_.use_count() > 1) {
        const size_t total = size_t(-pitch_) * size_t(height_);
        auto* block = static_cast<uint8_t*>(std::malloc(total));
        if (!block)
            return nullptr;
        std::memcpy(block, bits_.get(), total);
        bits_.reset(block, std::free);
    }
    return const_cast<uint8_t*>(static_cast<const DisplayImage*>(this)->GetBits());
}

}  // namespace imaging
