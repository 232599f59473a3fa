// Kernels of live view's reduction written for one instruction set; the
// portable reduction (LiveReduce.cpp) chooses them where they apply and
// gets the very same sums from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace imaging {

// A band of k rows of an 8-bit Bayer mosaic and the rows next to it.
struct BayerBand {
    const uint8_t* first;  // the band's first row; the others follow rowBytes apart
    size_t rowBytes;
    const uint8_t* above;  // the rows just outside the band, mirrored inside the
    const uint8_t* below;  // frame at its top and bottom edges
    const uint8_t* next;   // the next band's first row, null when there is none
};

// The block sums of 8-bit Bayer bands with AVX-512 (see
// RowMaker::BayerRow for what they are): one pass down the band's rows into
// column sums split by column parity, one pass across them giving every
// block's sums at once, while the next band is fetched into the cache.
class BayerBandsAvx512 {
public:
    // Whether it takes blocks of side k in frames of this width, on this processor.
    static bool Takes(uint32_t width, uint32_t k);

    // greenColumn: green's column parity in even rows.
    BayerBandsAvx512(uint32_t width, uint32_t k, int greenColumn, bool blueInEvenRows);

    // The band's row of pixels, blue, green, red, 3 x width / k bytes.
    void Reduce(const BayerBand& band, uint8_t* out);

private:
    uint16_t SumAt(int rowParity, size_t x) const;
    int32_t NearTerm(const BayerBand& band, int rowParity, int64_t x) const;
    int32_t GreenSum(int64_t x) const;
    int64_t Mirrored(int64_t x) const;
    void Finish(uint8_t* out);

    uint32_t width_, k_, blocks_;
    int green_;
    bool blueInEvenRows_;
    size_t pairs_;  // the column pairs of the band's blocks
    // Column sums of the band's rows per row and column parity, a lane a
    // column pair, kept per 32 pairs.
    std::vector<uint16_t> sums_;
    // Per 32 pairs: lanes where a block starts or ends, and (per 16 lanes of
    // two pairs each) where a block's last two pairs end.
    std::vector<uint32_t> starts_, ends_;
    std::vector<uint16_t> pairEnds_;
    // What the pass across gives: each colour's sums of pair terms per
    // block, its terms at the blocks' edges and green's steps between blocks.
    std::vector<int32_t> runs_[3];
    std::vector<uint16_t> edges_[3];
};

}  // namespace imaging
