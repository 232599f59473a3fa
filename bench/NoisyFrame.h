// The benchmarks' test frame: the simulated picture in a pixel format, with
// some noise so that no conversion gets an easy ride.
#pragma once

#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"

#include <cstdint>
#include <random>
#include <vector>

inline std::vector<uint8_t> NoisyFrame(const char* format, uint32_t width, uint32_t height)
{
    const cam::PixelFormat& f = *cam::FindPixelFormat(format);
    std::vector<uint8_t> frame(size_t(cam::RowBytes(f, width)) * height);
    cam::RenderSimFrame(frame.data(), frame.size(), width, height, format, 0);
    std::mt19937 noise(7);
    for (size_t i = 0; i < frame.size(); i += 1 + noise() % 5)
        frame[i] ^= uint8_t(noise() & 3);
    return frame;
}
