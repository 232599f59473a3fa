// The simulated camera's read noise (TARVIK_SIM noise=SIGMA): cheap enough
// for a 20-megapixel stream on one core, because the Gaussian numbers are
// drawn once and each frame replays them from places of its own.
#include "camsim.h"
#include "campixel.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <random>

namespace cam {
namespace {

// The table is much longer than a segment, and every segment starts at a
// place of its own, so that neither neighbouring segments nor frames share
// their noise, and no pattern repeats at a fixed distance across a frame.
constexpr size_t kTableLength = size_t(1) << 20;
constexpr size_t kSegment = 4096;

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15u;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}

// Blocks of a fixed count, so that the compiler makes vector code of them
// at -O2; the rest one by one.
constexpr size_t kBlock = 32;

void AddBytes(uint8_t* __restrict p, size_t n, const int16_t* __restrict noise)
{
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock)
        for (size_t j = 0; j < kBlock; ++j)
            p[i + j] = uint8_t(std::clamp(int(p[i + j]) + noise[i + j], 0, 255));
    for (; i < n; ++i)
        p[i] = uint8_t(std::clamp(int(p[i]) + noise[i], 0, 255));
}

void AddWords(uint8_t* __restrict p, size_t n, const int16_t* __restrict noise, int top)
{
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + kBlock <= n; i += kBlock) {
            uint16_t w[kBlock];
            std::memcpy(w, p + 2 * i, sizeof w);
            for (size_t j = 0; j < kBlock; ++j)
                w[j] = uint16_t(std::clamp(int(w[j]) + noise[i + j], 0, top));
            std::memcpy(p + 2 * i, w, sizeof w);
        }
    }
    // Little-endian words on any host: the bytes put together by hand.
    for (; i < n; ++i) {
        const int v = std::clamp(int(p[2 * i] | p[2 * i + 1] << 8) + noise[i], 0, top);
        p[2 * i] = uint8_t(v);
        p[2 * i + 1] = uint8_t(v >> 8);
    }
}

}  // namespace

void SimNoise::Prepare(double sigma)
{
    sigma_ = sigma;
    table_.clear();
    if (sigma <= 0)
        return;
    // A fixed seed: the same noise every run, so that a failing test can be
    // run again and see the same frames.
    std::mt19937_64 random(37);
    std::normal_distribution<double> gauss(0, sigma);
    table_.resize(kTableLength + kSegment);
    for (size_t i = 0; i < kTableLength; ++i)
        table_[i] = int16_t(std::clamp(std::lround(gauss(random)), -32767L, 32767L));
    std::copy_n(table_.begin(), kSegment, table_.begin() + kTableLength);
}

const int16_t* SimNoise::At(uint64_t frameNo, uint64_t segment) const
{
    return table_.data() + (Mix(frameNo * 0x100000001B3u ^ Mix(segment)) & (kTableLength - 1));
}

void SimNoise::Add(uint8_t* frame, size_t size, uint32_t width, const PixelFormat* format, uint64_t frameNo) const
{
    if (table_.empty() || !frame || size == 0 || width == 0)
        return;
    // Unknown formats are sent as blue, green, red bytes.
    const Packing packing = format ? format->packing : Packing::Byte;
    if (packing == Packing::Byte) {
        for (size_t at = 0, s = 0; at < size; at += kSegment, ++s)
            AddBytes(frame + at, std::min(kSegment, size - at), At(frameNo, s));
        // The fourth byte of a 32-bit colour pixel is alpha, always opaque.
        if (format && format->sampling == Sampling::Colour && format->bitsPerPixel == 32)
            for (size_t at = 3; at < size; at += 4)
                frame[at] = 255;
        return;
    }
    const int top = (1 << format->bits) - 1;
    if (packing == Packing::Word) {
        const size_t samples = size / 2;
        for (size_t i = 0, s = 0; i < samples; i += kSegment, ++s)
            AddWords(frame + 2 * i, std::min(kSegment, samples - i), At(frameNo, s), top);
        return;
    }
    // Packed samples: one at a time, only those whose bits all came.
    const uint64_t rowBytes = RowBytes(*format, width);
    uint64_t segment = 0;
    for (uint64_t y = 0; y * rowBytes < size; ++y) {
        uint8_t* row = frame + y * rowBytes;
        const uint64_t bytes = std::min<uint64_t>(rowBytes, size - y * rowBytes);
        const uint64_t samples = std::min<uint64_t>(width, bytes * 8 / uint64_t(format->bitsPerPixel));
        for (uint64_t i = 0; i < samples; i += kSegment, ++segment) {
            const int16_t* noise = At(frameNo, segment);
            for (uint64_t j = i; j < std::min<uint64_t>(samples, i + kSegment); ++j)
                WriteSample(*format, row, j,
                            uint32_t(std::clamp(int(ReadSample(*format, row, j)) + noise[j - i], 0, top)));
        }
    }
}

}  // namespace cam
