// Kernels of the picture statistics written for one instruction set; the
// portable counting (PictureStats.cpp) chooses them and finishes each row
// with its plain loop, getting the very same counts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace imaging {

// What a row's 8-bit samples add up to, per position modulo the row's
// period (1 to 4 samples, one for each channel of a pixel or Bayer pair).
struct RowCounts {
    uint64_t sum[4] = {}, squares[4] = {}, dark[4] = {}, bright[4] = {};  // dark: at 0, bright: at 255
    int minimum[4] = {255, 255, 255, 255}, maximum[4] = {};
    // Absolute differences of each sample and the one a period before it;
    // the sum of each sample times its index, which moves when the picture
    // does, where the sums alone would not notice a sideways move.
    uint64_t gradient = 0, moment = 0;
};

// Each counts the first samples of a row of n into c and returns how many;
// the plain loop counts the rest. The AVX2 kernels count whole vectors,
// the AVX-512 one every sample of rows of at least one vector (the last
// vector's samples past the row masked). period 1 to 4.
size_t RowCountsAvx2(const uint8_t* s, size_t n, size_t period, RowCounts& c);
size_t RowCountsAvx512(const uint8_t* s, size_t n, size_t period, RowCounts& c);

// Whether RowCountsAvx512 may run: the switch allows AVX-512 and the
// processor has its dot products of bytes (VNNI) too.
bool StatsAvx512();

}  // namespace imaging
