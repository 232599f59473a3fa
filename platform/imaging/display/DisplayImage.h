// The off-screen display image: width x height pixels at 24 bits, bytes in
// blue, green, red order, rows padded to 4 bytes, stored bottom-up so that the
// row stride (pitch) seen from the top row is negative.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ui {

class PaintDC;
struct Rect;

enum RasterOp : uint32_t { kSrcCopy = 0xCC0020 };

}  // namespace ui

namespace imaging {

class DisplayImage {
public:
    // Largest bitmap Create accepts (rows x row bytes); bigger requests fail
    // instead of exhausting memory on a camera's say-so.
    static constexpr uint64_t kMaxBytes = 256ull << 20;

    DisplayImage() = default;
    DisplayImage(const DisplayImage&) = delete;
    DisplayImage& operator=(const DisplayImage&) = delete;

    // Only 24 bits per pixel and no flags are supported. Fails, keeping what
    // the image held, for a zero, negative or too large size. Pixels start at 0.
    bool Create(int width, int height, int bitsPerPixel, uint32_t flags = 0);
    // Destroy followed by Create, except that memory of the same size is reused
    // (unless someone shares it) and the pixels are then left as they were: for
    // callers that write every byte, so that a frame a second does not cost
    // fresh pages each time.
    bool Recreate(int width, int height);
    // Drops the bitmap; nothing happens when there is none.
    void Destroy();

    // Null when the image holds no bitmap.
    const void* GetBitmap() const { return bits_.get(); }
    bool IsNull() const { return !bits_; }
    int GetWidth() const { return width_; }
    int GetHeight() const { return height_; }
    // Address of the top row; null when empty. Writable access counts as a
    // change; while the pixels are shared it first gives the image a copy of
    // its own (null if that cannot be allocated).
    uint8_t* GetBits();
    const uint8_t* GetBits() const;
    // The pixel memory, for keeping the picture as it is now without copying:
    // the image never writes into memory that is shared.
    std::shared_ptr<const uint8_t> SharePixels() const { return bits_; }
    // Bytes from one row to the next one down: negative for this bottom-up layout.
    int GetPitch() const { return pitch_; }
    // Bytes per row, padding included, for a given width at 24 bits.
    static uint64_t RowBytes(uint64_t width) { return ((width * 24 + 31) / 32) * 4; }

    // Draws the whole image into dest on dc with dc's stretch mode (the image
    // sets none of its own). Only kSrcCopy is supported. Drawing belongs to
    // the window layer, which defines this (platform/ui/PaintDC.cpp).
    bool StretchBlt(ui::PaintDC& dc, const ui::Rect& dest, ui::RasterOp rop = ui::kSrcCopy) const;

    // Changes, to a value no image has had before, whenever the contents may
    // have changed (creation, destruction, writable access), so that drawings
    // of it can be cached.
    uint64_t Generation() const { return generation_; }

private:
    std::shared_ptr<uint8_t> bits_;
    int width_ = 0;
    int height_ = 0;
    int pitch_ = 0;
    uint64_t generation_ = 0;
};

}  // namespace imaging
