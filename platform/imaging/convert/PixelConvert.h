// Camera frames into pictures: every pixel format of cam::FindPixelFormat
// into the display image's blue, green, red rows, and frames deeper than 8
// bits into 16-bit pictures that keep every bit.
#pragma once

#include "platform/imaging/files/PictureFile.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace imaging {

// A frame as the camera delivered it.
struct Frame {
    const uint8_t* data;
    uint64_t size;  // bytes of data that may be read
    uint32_t width;
    uint32_t height;
    const char* pixelFormat;
};

// Whether frames in this pixel format can be shown.
bool CanShow(const char* pixelFormat);

// Writes the frame's first rows into the rows at top, pitch bytes apart
// (width * 3 bytes each, nothing beyond): as many as frame.size holds whole,
// at most height. Reads nothing past frame.size. Returns how many rows it
// wrote; 0 when the format cannot be shown. With threads > 1 the rows are
// split between that many threads (the caller's one of them), for large
// frames that must be converted at a camera's pace.
uint64_t ConvertFrame(const Frame& frame, uint8_t* top, ptrdiff_t pitch, int threads = 1);

// Runs convert over bands of rows 0 to rows, split between threads threads
// (the caller's one of them); false when a band ran out of memory.
bool SplitRows(uint64_t rows, int threads, const std::function<void(uint64_t first, uint64_t last)>& convert);

// Threads for converting a frame someone waits for (a grab, a picture saved
// or copied, a recording's frames): the processor's cores (at most 8), one
// for frames too small to repay starting threads.
int WaitedThreads(const Frame& frame);

// Whether the format has more than 8 bits a sample.
bool IsDeep(const char* pixelFormat);

// A deep frame at full depth: grey for Mono formats, red, green, blue for
// Bayer ones, each sample shifted up to fill 16 bits; the rows the data does
// not hold are black. Null for other formats and when memory runs out.
Picture DeepPicture(const Frame& frame);

// The frame at full resolution, as a grab keeps it: deep frames through
// DeepPicture, the others converted to 8-bit colour, the rows the data does
// not hold black. Null when the format cannot be shown or memory runs out.
Picture FramePicture(const Frame& frame);

}  // namespace imaging
