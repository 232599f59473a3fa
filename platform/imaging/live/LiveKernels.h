// Kernels of live view's reduction written for one instruction set; the
// portable reduction (LiveReduce.cpp) chooses them where they apply and
// gets the very same sums from them.
#pragma once

#include "platform/camera/campixel.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace imaging {

// A band of k rows of a Bayer mosaic and the rows next to it.
struct BayerBand {
    const uint8_t* first;  // the band's first row; the others follow rowBytes apart
    size_t rowBytes;
    const uint8_t* above;  // the rows just outside the band, mirrored inside the
    const uint8_t* below;  // frame at its top and bottom edges
};

// Where blocks start and end among 32 column pairs, and where their last two
// pairs end among 16 lanes of two pairs each.
struct BlockLanes {
    uint32_t starts, ends;
    uint16_t pairEnds;
};

// The rows of pixels of Bayer bands with AVX-512, from the block sums
// RowMaker::BayerRow makes, without a pass over the frame before them:
// 8-bit samples as they are, deeper ones (16-bit words, 10 or 12 bits
// packed) by their top 8 bits, picked straight from the frame's rows.
class BayerBandsAvx512 {
public:
    // Whether it takes frames in this format and width with blocks of side k, on this processor.
    static bool Takes(const cam::PixelFormat& format, uint32_t width, uint32_t k);

    // greenColumn: green's column parity in even rows.
    BayerBandsAvx512(const cam::PixelFormat& format, uint32_t width, uint32_t k, int greenColumn,
                     bool blueInEvenRows);

    // The band's row of pixels, blue, green, red, 3 x width / k bytes.
    void Reduce(const BayerBand& band, uint8_t* out);

private:
    int32_t SampleAt(const uint8_t* row, size_t x) const;
    int32_t SumAt(const BayerBand& band, int rowParity, size_t x) const;
    int32_t NearTerm(const BayerBand& band, int rowParity, int64_t x) const;
    int32_t GreenSum(const BayerBand& band, int64_t x) const;
    int64_t Mirrored(int64_t x) const;
    void Finish(uint8_t* out);

    const cam::PixelFormat* format_;
    uint32_t width_, k_, blocks_;
    int green_;
    bool blueInEvenRows_;
    size_t pairs_;  // the column pairs of the band's blocks
    size_t rowBytes_, step_;  // a row's bytes, and those of its 64 samples a step
    // Deeper samples, per 64: where the two bytes holding each one's top 8
    // bits are among 128 (even columns, then odd, in 16-bit lanes), and
    // where its top 8 bits start in its 64-bit lane.
    alignas(64) uint8_t words_[2][64] = {};
    alignas(64) uint8_t tops_[2][64] = {};
    std::vector<BlockLanes> lanes_;  // per 32 pairs
    // What the pass across keeps, in sections of section_ values: each
    // colour's runs per block (the colour in even rows, in odd rows, green);
    // the terms at the blocks' edges (of the colour in even columns where
    // blocks start, green's steps there, of the colour in odd columns where
    // they end), 16-bit, in sections as many bytes apart.
    size_t section_;
    std::vector<int32_t> runs_;
    std::vector<uint16_t> edges_;
};

// The rows of pixels of colour bands with AVX-512: YUV 4:2:2 (8 bits,
// either byte order, full or limited range; each pixel converted as the row
// conversion converts it) and 8-bit red, green, blue in 3 or 4 bytes a
// pixel, added down the band and across each block in registers.
class ColourBandsAvx512 {
public:
    // Whether it takes frames of this format and width with blocks of side k, on this processor.
    static bool Takes(const cam::PixelFormat& format, uint32_t width, uint32_t k);

    ColourBandsAvx512(const cam::PixelFormat& format, uint32_t width, uint32_t k);

    // The row of pixels of the k rows from first, blue, green, red, 3 x width / k bytes.
    void Reduce(const uint8_t* first, size_t rowBytes, uint8_t* out);

private:
    void Finish(uint8_t* out);

    enum { kYuyv, kYuyvLimited, kUyvy, kUyvyLimited, kThreeBytes, kFourBytes };
    uint32_t k_, blocks_;
    size_t rowBytes_;
    int kind_ = kYuyv;
    std::vector<uint32_t> ends_;  // per 32 pixels: where blocks end
    size_t section_;
    std::vector<uint16_t> runs_;  // each block's sums: blue, green, red, section_ apart
    // Red, green, blue pixels, per 32: where each one's blue, green, red
    // bytes are among 128, in the low byte of 16-bit lanes.
    alignas(64) uint8_t channels_[3 * 64] = {};
};

// The rows of pixels of grey bands (8-bit samples, 16-bit words of 8 to 16
// significant bits, or 10 or 12 bits packed from the least significant
// bit, their top 8 bits taken) with AVX-512, added down the band and across
// each block in registers.
class MonoBandsAvx512 {
public:
    // Whether it takes frames in this format with blocks of side k, on this processor.
    static bool Takes(const cam::PixelFormat& format, uint32_t k);

    MonoBandsAvx512(const cam::PixelFormat& format, uint32_t width, uint32_t k);

    // The row of pixels of the k rows from first, grey, 3 x width / k bytes.
    void Reduce(const uint8_t* first, size_t rowBytes, uint8_t* out);

private:
    void Finish(uint8_t* out);

    uint32_t k_, blocks_;
    int kind_, bits_;  // the samples' packing and significant bits
    size_t rowBytes_;
    std::vector<uint32_t> ends_;  // per 32 pixels: where blocks end
    std::vector<uint16_t> runs_;  // each block's sum
    // Packed samples, per 32: where each one's two bytes are, how far its top 8 bits are shifted.
    alignas(64) uint8_t pairs_[64] = {};
    alignas(64) uint16_t shifts_[32] = {};
};

// With AVX2 (LiveAvx2.cpp): the sums down k rows from first, rowBytes
// apart, of YUV 4:2:2 pixels converted as YuvToBgr converts them, per
// colour (blue, green, red) and column, from column 0 in steps of 16;
// returns where it stopped (pixels at most: the row's whole pairs).
size_t YuvColumnsAvx2(const uint8_t* first, size_t rowBytes, uint32_t k, size_t pixels, bool uyvy, bool limited,
                      uint16_t* const sums[3]);

}  // namespace imaging
