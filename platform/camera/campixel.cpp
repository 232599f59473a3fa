// The table of pixel formats and the packing of their samples.
#include "campixel.h"

#include <cstring>
#include <iterator>

namespace cam {
namespace {

constexpr Matrix kNo = Matrix::None;
constexpr Matrix kFull = Matrix::FullRange601;
constexpr Matrix kLimited = Matrix::LimitedRange601;

#define TARVIK_BAYER(pattern, order)                                                         \
    {"Bayer" pattern "8", Sampling::Bayer, Packing::Byte, 8, 8, order, kNo},                 \
    {"Bayer" pattern "10", Sampling::Bayer, Packing::Word, 10, 16, order, kNo},              \
    {"Bayer" pattern "12", Sampling::Bayer, Packing::Word, 12, 16, order, kNo},              \
    {"Bayer" pattern "16", Sampling::Bayer, Packing::Word, 16, 16, order, kNo},              \
    {"Bayer" pattern "10p", Sampling::Bayer, Packing::Lsb, 10, 10, order, kNo},              \
    {"Bayer" pattern "12p", Sampling::Bayer, Packing::Lsb, 12, 12, order, kNo},              \
    {"Bayer" pattern "10Packed", Sampling::Bayer, Packing::GigePacked, 10, 12, order, kNo},  \
    {"Bayer" pattern "12Packed", Sampling::Bayer, Packing::GigePacked, 12, 12, order, kNo}

const PixelFormat kFormats[] = {
    {"Mono8", Sampling::Mono, Packing::Byte, 8, 8, "", kNo},
    {"Mono10", Sampling::Mono, Packing::Word, 10, 16, "", kNo},
    {"Mono12", Sampling::Mono, Packing::Word, 12, 16, "", kNo},
    {"Mono14", Sampling::Mono, Packing::Word, 14, 16, "", kNo},
    {"Mono16", Sampling::Mono, Packing::Word, 16, 16, "", kNo},
    {"Mono10p", Sampling::Mono, Packing::Lsb, 10, 10, "", kNo},
    {"Mono12p", Sampling::Mono, Packing::Lsb, 12, 12, "", kNo},
    {"Mono10Packed", Sampling::Mono, Packing::GigePacked, 10, 12, "", kNo},
    {"Mono12Packed", Sampling::Mono, Packing::GigePacked, 12, 12, "", kNo},
    TARVIK_BAYER("RG", "RGGB"),
    TARVIK_BAYER("GR", "GRBG"),
    TARVIK_BAYER("GB", "GBRG"),
    TARVIK_BAYER("BG", "BGGR"),
    {"RGB8", Sampling::Colour, Packing::Byte, 8, 24, "RGB", kNo},
    {"RGB8Packed", Sampling::Colour, Packing::Byte, 8, 24, "RGB", kNo},
    {"BGR8", Sampling::Colour, Packing::Byte, 8, 24, "BGR", kNo},
    {"BGR8Packed", Sampling::Colour, Packing::Byte, 8, 24, "BGR", kNo},
    {"RGBa8", Sampling::Colour, Packing::Byte, 8, 32, "RGBa", kNo},
    {"BGRa8", Sampling::Colour, Packing::Byte, 8, 32, "BGRa", kNo},
    {"RGBA8Packed", Sampling::Colour, Packing::Byte, 8, 32, "RGBa", kNo},
    {"BGRA8Packed", Sampling::Colour, Packing::Byte, 8, 32, "BGRa", kNo},
    {"YUV422_8", Sampling::Yuv422, Packing::Byte, 8, 16, "YUYV", kFull},
    {"YUV422_8_UYVY", Sampling::Yuv422, Packing::Byte, 8, 16, "UYVY", kFull},
    {"YUV422_8_UYV", Sampling::Yuv422, Packing::Byte, 8, 16, "UYVY", kFull},
    {"YUV422Packed", Sampling::Yuv422, Packing::Byte, 8, 16, "UYVY", kFull},
    {"YUV422_YUYV_Packed", Sampling::Yuv422, Packing::Byte, 8, 16, "YUYV", kFull},
    {"YCbCr422_8", Sampling::Yuv422, Packing::Byte, 8, 16, "YUYV", kFull},
    {"YCbCr422_8_CbYCrY", Sampling::Yuv422, Packing::Byte, 8, 16, "UYVY", kFull},
    {"YCbCr601_422_8", Sampling::Yuv422, Packing::Byte, 8, 16, "YUYV", kLimited},
    {"YCbCr601_422_8_CbYCrY", Sampling::Yuv422, Packing::Byte, 8, 16, "UYVY", kLimited},
};

#undef TARVIK_BAYER

}  // namespace

const PixelFormat* FindPixelFormat(const char* name)
{
    if (!name)
        return nullptr;
    for (const PixelFormat& f : kFormats)
        if (std::strcmp(f.name, name) == 0)
            return &f;
    return nullptr;
}

const PixelFormat* PixelFormats(int* count)
{
    *count = int(std::size(kFormats));
    return kFormats;
}

uint64_t RowBytes(const PixelFormat& format, uint64_t width)
{
    return (width * uint64_t(format.bitsPerPixel) + 7) / 8;
}

char BayerColour(const PixelFormat& format, uint64_t x, uint64_t y)
{
    return format.order[(y % 2) * 2 + x % 2];
}

uint32_t ReadSample(const PixelFormat& format, const uint8_t* row, uint64_t i)
{
    const uint32_t mask = (1u << format.bits) - 1;
    switch (format.packing) {
    case Packing::Byte:
        return row[i];
    case Packing::Word:
        return (row[2 * i] | uint32_t(row[2 * i + 1]) << 8) & mask;
    case Packing::Lsb: {
        const uint64_t bit = i * uint64_t(format.bits);
        const uint8_t* p = row + bit / 8;
        const unsigned shift = unsigned(bit % 8);
        // Only the bytes this sample touches are read.
        uint32_t word = 0;
        for (unsigned b = 0; b * 8 < shift + unsigned(format.bits); ++b)
            word |= uint32_t(p[b]) << (8 * b);
        return (word >> shift) & mask;
    }
    case Packing::GigePacked: {
        const uint8_t* p = row + (i / 2) * 3;
        const int low = format.bits - 8;
        const uint32_t lowBits = i % 2 ? p[1] >> 4 : p[1];
        return (uint32_t(p[i % 2 ? 2 : 0]) << low | (lowBits & ((1u << low) - 1))) & mask;
    }
    }
    return 0;
}

void WriteSample(const PixelFormat& format, uint8_t* row, uint64_t i, uint32_t value)
{
    value &= (1u << format.bits) - 1;
    switch (format.packing) {
    case Packing::Byte:
        row[i] = uint8_t(value);
        return;
    case Packing::Word:
        row[2 * i] = uint8_t(value);
        row[2 * i + 1] = uint8_t(value >> 8);
        return;
    case Packing::Lsb: {
        const uint64_t bit = i * uint64_t(format.bits);
        uint8_t* p = row + bit / 8;
        const unsigned shift = unsigned(bit % 8);
        const uint32_t mask = ((1u << format.bits) - 1) << shift;
        for (unsigned b = 0; b * 8 < shift + unsigned(format.bits); ++b) {
            const uint8_t keep = uint8_t(~(mask >> (8 * b)));
            p[b] = uint8_t((p[b] & keep) | ((value << shift) >> (8 * b)));
        }
        return;
    }
    case Packing::GigePacked: {
        uint8_t* p = row + (i / 2) * 3;
        const int low = format.bits - 8;
        const uint8_t lowBits = uint8_t(value & ((1u << low) - 1));
        p[i % 2 ? 2 : 0] = uint8_t(value >> low);
        p[1] = i % 2 ? uint8_t((p[1] & 0x0f) | lowBits << 4) : uint8_t((p[1] & 0xf0) | lowBits);
        return;
    }
    }
}

}  // namespace cam
