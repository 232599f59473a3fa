// What a stream's pictures hold, for the health check: per colour channel
// the mean, spread, lowest and highest level and the share of clipped
// samples; a sharpness figure; and whether frames change at all. Levels are
// the samples' 8 most significant bits (0 to 255) whatever the format's
// depth, as the picture is shown.
#pragma once

#include "platform/imaging/convert/PixelConvert.h"

#include <cstdint>
#include <string>
#include <vector>

namespace imaging {

struct ChannelStats {
    std::string name;  // "grey", "red", "green", "blue", "Y", "U", "V"
    uint64_t samples = 0;
    double mean = 0, deviation = 0;  // standard deviation
    int minimum = 0, maximum = 0;
    double dark = 0, bright = 0;  // shares of samples at 0 and at 255
};

struct PictureSummary {
    std::vector<ChannelStats> channels;
    // Mean absolute difference of each sample and its neighbour of the same
    // colour to the left, in levels: higher is sharper (a focus aid).
    double sharpness = 0;
    uint64_t frames = 0;   // added
    uint64_t changed = 0;  // differing from the frame added before them
};

class PictureStats {
public:
    // Adds a frame's whole rows (those its size holds). False, adding
    // nothing, when its pixel format is not one Tarvik knows.
    bool Add(const Frame& frame);
    PictureSummary Summary() const;
    // Frames so far that differ from the one added before them: a frame
    // that leaves it as it was repeats the one before.
    uint64_t Changed() const { return changed_; }

private:
    struct Totals {
        uint64_t samples = 0, sum = 0, squares = 0, dark = 0, bright = 0;
        int minimum = 255, maximum = 0;
    };
    std::vector<std::string> names_;
    std::vector<Totals> totals_;
    uint64_t gradient_ = 0, pairs_ = 0;
    uint64_t frames_ = 0, changed_ = 0, lastPrint_ = 0;
    std::vector<uint8_t> row_;  // a row's samples as 8 bits where they are not
};

}  // namespace imaging
