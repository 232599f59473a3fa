// Kernels of the halftone stretch written for one instruction set
// (HalftoneSimd.cpp). Halftone.cpp chooses them by the switch and finishes
// each row with its one plain loop; a kernel goes from 0 in whole steps and
// returns where it stopped.
#pragma once

#include <cstddef>
#include <cstdint>

namespace imaging {

// Source rows and their weights (each at most 256) for one output row.
struct WeightedRows {
    const uint8_t* const* rows;
    const uint32_t* weights;
    int count;
};

// sums[i] = the weighted sum of the rows' byte i, for the first bytes of n,
// in 32 bits (the caller has made sure they fit).
size_t WeighRowsAvx2(const WeightedRows& in, uint32_t* sums, size_t n);
size_t WeighRowsAvx512(const WeightedRows& in, uint32_t* sums, size_t n);

}  // namespace imaging
