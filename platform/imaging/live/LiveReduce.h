// Frames for live view: straight from the camera's pixel format to a picture
// k times smaller each way, each pixel the average of the k x k camera
// pixels it covers (for Bayer mosaics: of each colour's samples among them,
// without a demosaic), reading the frame once. The painting then fits that
// small picture as it fits any other.
#pragma once

#include "platform/imaging/display/DisplayImage.h"
#include "platform/imaging/convert/PixelConvert.h"

#include <cstdint>

namespace imaging {

// The block side k for showing a frame of width x height in target pixels
// of targetWidth x targetHeight: the largest k that leaves the reduced
// picture at least the target's size, even for Bayer mosaics (so that each
// block holds whole 2 x 2 colour filters), at most 256; 1 (no reduction)
// when none fits.
uint32_t LiveBlock(const char* pixelFormat, uint32_t width, uint32_t height, uint32_t targetWidth,
                   uint32_t targetHeight);

// Writes the frame reduced by k (2 to 256, even for Bayer) into image, recreated at
// width / k x height / k (a last partial block each way is left out). Rows
// the frame does not hold count as black, as in the full-size copy. False
// when the format cannot be shown or the image cannot be made.
bool ReduceFrame(const Frame& frame, uint32_t k, DisplayImage& image);

}  // namespace imaging
