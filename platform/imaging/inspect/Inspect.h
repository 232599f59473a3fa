// Looking closely at one frame, for the viewer window: a part of it drawn at
// any zoom, the camera's own samples at a point, the histogram of its
// samples at their own depth and the sharpness of a rectangle. Works on the
// frame as the camera sent it, never on a converted copy of all of it.
#pragma once

#include "platform/imaging/convert/PixelConvert.h"

#include <QImage>
#include <QRect>

#include <cstdint>
#include <string>
#include <vector>

namespace imaging {

// The camera's samples at one pixel, at the format's own depth.
struct SampleReadout {
    bool valid = false;  // (x, y) lies in the frame and the frame holds that row
    int bits = 8;        // values run from 0 to 2^bits - 1
    // A name and value per sample: Mono "grey"; Bayer the site's colour
    // ("red", "green" or "blue"); RGB/BGR "red", "green", "blue"; YUV 4:2:2
    // "Y", "U", "V" (U and V those of the pixel's pair; a last pixel without
    // a pair has the V of the pair before it, as it is shown, and none in a
    // frame 1 pixel wide).
    std::vector<std::pair<std::string, uint32_t>> samples;
};
SampleReadout ReadSamples(const Frame& frame, uint32_t x, uint32_t y);

// Counts of a frame's samples at their own depth, per channel: Mono one,
// Bayer one per colour site (red, green, blue), RGB three, YUV Y, U and V.
struct Histogram {
    int bits = 8;  // each channel has 2^bits bins
    struct Channel {
        std::string name;
        std::vector<uint64_t> counts;
        uint64_t total = 0;  // samples counted
        uint64_t black = 0;  // of them at 0
        uint64_t full = 0;   // of them at 2^bits - 1
    };
    std::vector<Channel> channels;
    uint32_t rowStep = 1;  // every rowStep-th row was counted (1: all of them)
};
// Counts every rowStep-th row of the frame (1: every row) into *histogram,
// whose bins are reused when the format stays. False when the format is
// unknown; rows the frame does not hold are not counted.
// Mosaics are counted by pairs of rows (every rowStep-th pair), so that
// every colour site is counted whatever the step.
bool MakeHistogram(const Frame& frame, uint32_t rowStep, Histogram* histogram);
// The row step for a histogram shown while frames stream: about 2 million
// samples counted, which takes about as long as copying a 20-megapixel
// frame once; 1 for frames up to that size. Each share it shows is then
// that of the rows counted: for pictures that change from row to row, off
// from the whole frame's by less than 0.5 / sqrt(samples of the channel)
// (one standard deviation; 0.07 % for a mosaic's red at 2 million).
uint32_t HistogramRowStep(const Frame& frame);

// Which part of a frame a view shows: the camera position at the view's
// top-left corner and the zoom, screen pixels per camera pixel.
struct View {
    double left = 0, top = 0;
    double zoom = 1;
};
struct RenderOptions {
    bool markClipped = false;          // paint pixels with a sample at full scale in clippedColour
    QRgb clippedColour = qRgb(255, 0, 255);
    QRgb background = qRgb(64, 64, 64);  // where the view lies outside the frame
};
// Draws what a view of width x height screen pixels shows of frame into
// *image (recreated as RGB32 at that size when it differs): at zoom 1 and
// above each camera pixel a block of screen pixels (nearest neighbour), only
// the visible camera pixels converted; below 1 each screen pixel the average
// of the camera pixels it covers. Screen pixel (sx, sy) shows, zoomed in,
// the camera pixel under its middle, floor(left + (sx + 0.5) / zoom); zoomed
// out it covers left + sx / zoom to left + (sx + 1) / zoom. Rows of the
// frame its size does not hold are black, as the dialog shows them. False
// when the format cannot be shown, the position is not finite, the zoom is
// not between 1e-6 and 1e6, the size is 0 or above 32768, or the image
// cannot be made. Memory for the visible part is kept between calls (per
// thread), and *image reused while its size stays and nothing shares it.
bool RenderView(const Frame& frame, const View& view, uint32_t width, uint32_t height,
                const RenderOptions& options, QImage* image);

// The whole frame as live view shows it in the dialog, for a painter to
// scale smoothly to its place on the screen: reduced by live view's block k
// (LiveBlock: the largest that leaves the picture at least targetWidth x
// targetHeight) into *image, RGB32 of frame.width / k x frame.height / k
// (a last partial block each way left out, as live view leaves it). Far
// cheaper than RenderView below 1:1, which weighs each screen pixel's share
// of every camera pixel. Returns k; 1 when the frame is too small for a
// block of 2 (then *image is untouched: draw with RenderView); 0 when the
// format cannot be shown or memory is short.
uint32_t ReduceWhole(const Frame& frame, uint32_t targetWidth, uint32_t targetHeight, QImage* image);

// The health check's sharpness measure over a rectangle of camera pixels
// (clipped to the frame): the mean absolute difference of each sample and
// its same-colour neighbour to the left, in 8-bit levels. 0 for a
// rectangle with no such pairs or a format that is unknown.
double Sharpness(const Frame& frame, const QRect& rect);

}  // namespace imaging
