// The instruction-set switch: what TARVIK_SIMD's words give, and every
// family the processor has against the plain loops, byte for byte, for the
// row conversions, live view's reduction and the halftone stretch (formats,
// widths whose vectors leave tails, destinations off their alignment,
// all-maximum samples).
#include "platform/camera/campixel.h"
#include "platform/imaging/display/DisplayImage.h"
#include "platform/imaging/display/Halftone.h"
#include "platform/imaging/live/LiveReduce.h"
#include "platform/imaging/convert/PixelConvert.h"
#include "platform/imaging/convert/PixelRows.h"
#include "platform/imaging/Simd.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using imaging::Simd;
using Bytes = std::vector<uint8_t>;

TEST(Simd, Words)
{
    struct Case {
        const char* word;
        Simd best, expected;
        const char* complaint;
    };
    const Case cases[] = {
        {nullptr, Simd::Avx2, Simd::Avx2, ""},
        {"", Simd::Avx512, Simd::Avx512, ""},
        {"plain", Simd::Avx512, Simd::Plain, ""},
        {"ssse3", Simd::Avx2, Simd::Ssse3, ""},
        {"avx2", Simd::Avx2, Simd::Avx2, ""},
        {"avx512", Simd::Avx512, Simd::Avx512, ""},
        {"avx512", Simd::Avx2, Simd::Avx2, "TARVIK_SIMD=avx512: this processor has no avx512, using avx2"},
        {"avx2", Simd::Plain, Simd::Plain, "TARVIK_SIMD=avx2: this processor has no avx2, using plain"},
        {"AVX2", Simd::Avx2, Simd::Avx2, "TARVIK_SIMD=AVX2 is not one of avx512, avx2, ssse3, plain; using avx2"},
        {"sse4", Simd::Avx512, Simd::Avx512,
         "TARVIK_SIMD=sse4 is not one of avx512, avx2, ssse3, plain; using avx512"},
        // Words that would not show as themselves on one line: quoted and
        // escaped, a long one cut, as other values are echoed.
        {"avx512 ", Simd::Avx512, Simd::Avx512,
         "TARVIK_SIMD=\"avx512 \" is not one of avx512, avx2, ssse3, plain; using avx512"},
        {" ", Simd::Avx2, Simd::Avx2, "TARVIK_SIMD=\" \" is not one of avx512, avx2, ssse3, plain; using avx2"},
        {"avx2\nplain", Simd::Avx2, Simd::Avx2,
         "TARVIK_SIMD=\"avx2\\x0aplain\" is not one of avx512, avx2, ssse3, plain; using avx2"},
        {"\xc3\xa9\xff\"\\", Simd::Plain, Simd::Plain,
         "TARVIK_SIMD=\"\xc3\xa9\\xff\\\"\\\\\" is not one of avx512, avx2, ssse3, plain; using plain"},
        {"avx512avx512avx512avx512avx512avx512avx512avx512avx512avx512avx512avx512avx512avx512avx512", Simd::Avx512,
         Simd::Avx512,
         "TARVIK_SIMD=avx512avx512avx512avx512avx512avx512avx512avx512avx512avx512\u2026 (90 bytes) is not one of avx512, "
         "avx2, ssse3, plain; using avx512"},
    };
    for (const Case& c : cases) {
        std::string complaint = "left over";
        EXPECT_EQ(imaging::SimdFromWord(c.word, c.best, &complaint), c.expected) << (c.word ? c.word : "unset");
        EXPECT_EQ(complaint, c.complaint) << (c.word ? c.word : "unset");
    }
}

// Setting a family the processor lacks gives its best; SetVectorRows is
// plain against the switch's choice.
TEST(Simd, SetFallsBackAndVectorRowsFollows)
{
    imaging::SetSimd(Simd::Avx512);
    EXPECT_EQ(imaging::ActiveSimd(), imaging::ProcessorSimd());
    imaging::SetVectorRows(false);
    EXPECT_EQ(imaging::ActiveSimd(), Simd::Plain);
    EXPECT_FALSE(imaging::UseAvx2());
    imaging::SetVectorRows(true);
    EXPECT_EQ(imaging::ActiveSimd(), imaging::DefaultSimd());
    EXPECT_EQ(imaging::ProcessorFamilies().front(), Simd::Plain);
    EXPECT_EQ(imaging::ProcessorFamilies().back(), imaging::ProcessorSimd());
}

// Restores the switch's choice after each case.
class Families : public ::testing::Test {
protected:
    void TearDown() override { imaging::SetVectorRows(true); }
};

// Bytes copied to end exactly where a page no one may read begins: a
// kernel reading one byte past its source stops the test there.
const uint8_t* AtPageEnd(const uint8_t* bytes, size_t size)
{
    static const size_t page = size_t(sysconf(_SC_PAGESIZE));
    static const size_t room = size_t(1) << 20;
    static uint8_t* const block = [] {
        void* p = mmap(nullptr, room + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED || mprotect(static_cast<uint8_t*>(p) + room, page, PROT_NONE) != 0)
            return static_cast<uint8_t*>(nullptr);
        return static_cast<uint8_t*>(p);
    }();
    if (!block || size > room)
        return nullptr;
    std::memcpy(block + room - size, bytes, size);
    return block + room - size;
}

// A row conversion: the source bytes it reads for n pixels, the bytes it
// writes, and the call.
struct RowCase {
    const char* name;
    std::function<size_t(size_t)> srcBytes, dstBytes;
    std::function<void(const uint8_t*, uint8_t*, size_t, bool)> run;
};

RowCase Packed(const char* format)
{
    const cam::PixelFormat& f = *cam::FindPixelFormat(format);
    return {format, [&f](size_t n) { return size_t(cam::RowBytes(f, n)); }, [](size_t n) { return n; },
            [&f](const uint8_t* s, uint8_t* d, size_t n, bool) { imaging::TopEightBits(f, s, d, n); }};
}

RowCase AddPacked(const char* format, bool two)
{
    const cam::PixelFormat& f = *cam::FindPixelFormat(format);
    const auto rowBytes = [&f](size_t n) { return size_t(cam::RowBytes(f, n)); };
    return {two ? "added, two rows" : "added", [rowBytes, two](size_t n) { return rowBytes(n) * (two ? 2 : 1); },
            [](size_t n) { return 2 * n; },
            [&f, rowBytes, two](const uint8_t* s, uint8_t* d, size_t n, bool) {
                // Sums start from the destination's own bytes, in 16-bit words
                // aligned as live view's are, wherever the destination lies.
                std::vector<uint16_t> sums(n);
                std::memcpy(sums.data(), d, 2 * n);
                imaging::AddTopEightBits(f, s, two ? s + rowBytes(n) : nullptr, sums.data(), n);
                std::memcpy(d, sums.data(), 2 * n);
            }};
}

RowCase Yuv(const char* name, bool uyvy, bool limited)
{
    return {name, [](size_t n) { return 2 * n; }, [](size_t n) { return 3 * n; },
            [uyvy, limited](const uint8_t* s, uint8_t* d, size_t n, bool stream) {
                imaging::YuvToBgr(s, d, n, uyvy, limited, stream);
            }};
}

RowCase Bayer(const char* name, const char* pattern, uint64_t y)
{
    return {name, [](size_t n) { return 3 * n; }, [](size_t n) { return 3 * n; },
            [pattern, y](const uint8_t* s, uint8_t* d, size_t n, bool stream) {
                imaging::DemosaicRow(s, s + n, s + 2 * n, d, n, pattern, y, stream);
            }};
}

std::vector<RowCase> RowCases()
{
    const auto times = [](size_t k) { return [k](size_t n) { return k * n; }; };
    std::vector<RowCase> cases = {
        {"grey", times(1), times(3),
         [](const uint8_t* s, uint8_t* d, size_t n, bool stream) { imaging::ExpandGreyToBgr(s, d, n, stream); }},
        {"BGR", times(3), times(3),
         [](const uint8_t* s, uint8_t* d, size_t n, bool stream) { imaging::CopyBgr(s, d, n, stream); }},
        {"RGB", times(3), times(3),
         [](const uint8_t* s, uint8_t* d, size_t n, bool stream) { imaging::SwapRedBlue(s, d, n, stream); }},
        {"RGBa", times(4), times(3),
         [](const uint8_t* s, uint8_t* d, size_t n, bool stream) { imaging::DropAlpha(s, d, n, true, stream); }},
        {"BGRa", times(4), times(3),
         [](const uint8_t* s, uint8_t* d, size_t n, bool stream) { imaging::DropAlpha(s, d, n, false, stream); }},
        Yuv("YUYV", false, false),
        Yuv("YUYV limited", false, true),
        Yuv("UYVY", true, false),
        Yuv("UYVY limited", true, true),
        Bayer("RGGB even row", "RGGB", 0),
        Bayer("RGGB odd row", "RGGB", 1),
        Bayer("GRBG even row", "GRBG", 2),
        Bayer("GBRG odd row", "GBRG", 3),
        Bayer("BGGR even row", "BGGR", 4),
    };
    for (const char* format : {"Mono10", "Mono12", "Mono16", "Mono10p", "Mono12p", "Mono10Packed", "Mono12Packed",
                               "Mono14", "BayerRG12p", "BayerGB10p", "BayerRG12Packed"}) {
        cases.push_back(Packed(format));
        for (const bool two : {false, true}) {
            RowCase c = AddPacked(format, two);
            if (cam::FindPixelFormat(format)->packing == cam::Packing::Word)
                break;  // added from 8-bit rows only
            cases.push_back(c);
        }
    }
    return cases;
}

// What a row conversion writes, from src, into a destination dstOffset
// bytes past a 64-byte boundary; the source ends at a page end, so that an
// over-read is caught.
Bytes RunRow(const RowCase& c, const Bytes& src, size_t n, size_t dstOffset, bool stream)
{
    const uint8_t* exact = AtPageEnd(src.data(), src.size());
    EXPECT_NE(exact, nullptr);
    const size_t bytes = c.dstBytes(n);
    // 64 bytes either side show a write outside the row.
    std::vector<uint8_t> block(bytes + 256, 0x5A);
    uint8_t* aligned = block.data() + 64 + (64 - reinterpret_cast<uintptr_t>(block.data()) % 64) % 64;
    c.run(exact, aligned + dstOffset, n, stream);
    return Bytes(aligned - 64, aligned + dstOffset + bytes + 64);
}

TEST_F(Families, RowsAsPlainLoops)
{
    const std::vector<Simd> families = imaging::ProcessorFamilies();
    std::mt19937 random{28};
    // Every width to 130, then around multiples of 64 and 128.
    std::vector<size_t> widths;
    for (size_t n = 1; n <= 130; ++n)
        widths.push_back(n);
    for (const size_t n : {191, 192, 193, 255, 256, 257, 383, 384, 385, 511, 512, 513, 1001})
        widths.push_back(n);
    for (const RowCase& c : RowCases())
        for (const size_t n : widths)
            for (const int fill : {-1, 0, 255}) {
                Bytes src(c.srcBytes(n));
                for (uint8_t& b : src)
                    b = fill < 0 ? uint8_t(random()) : uint8_t(fill);
                for (const size_t dstOffset : {0, 5})
                    for (const bool stream : {false, true}) {
                        imaging::SetSimd(Simd::Plain);
                        const Bytes plain = RunRow(c, src, n, dstOffset, stream);
                        for (const Simd family : families) {
                            imaging::SetSimd(family);
                            EXPECT_EQ(RunRow(c, src, n, dstOffset, stream), plain)
                                << c.name << ", " << n << " pixels, fill " << fill << ", offset " << dstOffset
                                << (stream ? ", streamed, " : ", ") << imaging::SimdName(family);
                        }
                    }
            }
}

const char* const kFormats[] = {"Mono8", "Mono12", "Mono16", "Mono10p", "Mono12p", "Mono10Packed", "Mono12Packed",
                                "BayerRG8", "BayerGB8", "BayerGR12p", "BayerBG10p", "BayerRG12Packed", "BayerRG16",
                                "RGB8", "BGR8", "RGBa8", "BGRa8", "YUV422_8", "YUV422_8_UYVY", "YCbCr601_422_8",
                                "YCbCr601_422_8_CbYCrY"};

Bytes RandomFrame(const char* format, uint32_t width, uint32_t height, int fill)
{
    Bytes frame(size_t(cam::RowBytes(*cam::FindPixelFormat(format), width)) * height);
    std::mt19937 random{width * height};
    for (uint8_t& b : frame)
        b = fill < 0 ? uint8_t(random()) : uint8_t(fill);
    return frame;
}

// Whole frames: rows split between threads (more threads than rows, a
// single row over several), the rows kept for Bayer's neighbours with one
// or two rows, frames cut short inside a row (a short grab), every format,
// the frame's last byte at a page end; against the plain loops on one thread.
TEST_F(Families, FramesAsPlainLoops)
{
    for (const char* format : kFormats)
        for (const uint32_t width : {1u, 2u, 37u, 64u, 130u, 1001u})
            for (const uint32_t height : {1u, 2u, 7u})
                for (const bool cut : {false, true})
                    for (const int fill : {-1, 255}) {
                        const Bytes frame = RandomFrame(format, width, height, fill);
                        const size_t rowBytes = size_t(cam::RowBytes(*cam::FindPixelFormat(format), width));
                        const size_t size = cut ? frame.size() - (rowBytes + 1) / 2 : frame.size();
                        const uint8_t* data = AtPageEnd(frame.data(), size);
                        ASSERT_NE(data, nullptr);
                        Bytes plain;
                        for (const Simd family : imaging::ProcessorFamilies())
                            for (const int threads : {1, 2, 3, 8}) {
                                imaging::SetSimd(family);
                                Bytes out(size_t(width) * 3 * height, 0xEE);
                                const uint64_t rows = imaging::ConvertFrame({data, size, width, height, format},
                                                                            out.data(), ptrdiff_t(width) * 3, threads);
                                EXPECT_EQ(rows, cut ? height - 1 : height) << format;
                                if (plain.empty())
                                    plain = out;
                                EXPECT_EQ(out, plain) << format << ", " << width << " x " << height << ", fill "
                                                      << fill << (cut ? ", cut, " : ", ") << threads
                                                      << " threads, " << imaging::SimdName(family);
                            }
                    }
}

// Live view's reduction: AVX-512 bands, AVX2 loops and plain loops give one
// picture, for block sides the AVX-512 kernels take and ones they leave.
TEST_F(Families, LiveReductionAsPlainLoops)
{
    auto bytesOf = [](const imaging::DisplayImage& image) {
        const uint8_t* first = image.GetBits() + (image.GetHeight() - 1) * image.GetPitch();
        return Bytes(first, first + size_t(-image.GetPitch()) * size_t(image.GetHeight()));
    };
    for (const char* format : kFormats)
        for (const uint32_t k : {2u, 4u, 6u, 8u, 16u, 20u})
            for (const uint32_t width : {5 * k + 1, 1003u})
                for (const int fill : {-1, 255}) {
                    const uint32_t height = 2 * k + 3;
                    const Bytes frame = RandomFrame(format, width, height, fill);
                    const uint8_t* data = AtPageEnd(frame.data(), frame.size());
                    Bytes pictures[4];
                    for (const Simd family : imaging::ProcessorFamilies()) {
                        imaging::SetSimd(family);
                        imaging::DisplayImage image;
                        ASSERT_TRUE(imaging::ReduceFrame({data, frame.size(), width, height, format}, k,
                                                         image));
                        pictures[int(family)] = bytesOf(image);
                        EXPECT_EQ(pictures[int(family)], pictures[0])
                            << format << ", k " << k << ", width " << width << ", fill " << fill << ", "
                            << imaging::SimdName(family);
                    }
                }
}

// YUV bands summed per column (AVX2, and AVX-512 for blocks its band
// kernel leaves): blocks that end on a row's last pixel without its pair,
// columns left after the kernel's steps, up to the largest block.
TEST_F(Families, LiveYuvColumnsAsPlainLoops)
{
    struct Case {
        uint32_t k, width;
    };
    const Case cases[] = {{3, 1001}, {7, 1001}, {5, 35}, {13, 13}, {17, 17}, {17, 17 * 9}, {33, 33 * 3}, {256, 513}};
    for (const char* format : {"YUV422_8", "YUV422_8_UYVY", "YCbCr601_422_8", "YCbCr601_422_8_CbYCrY"})
        for (const Case& c : cases)
            for (const int fill : {-1, 255}) {
                const uint32_t height = c.k + 1;
                const Bytes frame = RandomFrame(format, c.width, height, fill);
                const uint8_t* data = AtPageEnd(frame.data(), frame.size());
                Bytes pictures[4];
                for (const Simd family : imaging::ProcessorFamilies()) {
                    imaging::SetSimd(family);
                    imaging::DisplayImage image;
                    ASSERT_TRUE(imaging::ReduceFrame({data, frame.size(), c.width, height, format}, c.k, image));
                    const uint8_t* bits = image.GetBits();
                    pictures[int(family)].assign(bits, bits + size_t(image.GetWidth()) * 3);
                    EXPECT_EQ(pictures[int(family)], pictures[0]) << format << ", k " << c.k << ", width " << c.width
                                                                  << ", fill " << fill << ", "
                                                                  << imaging::SimdName(family);
                }
            }
}

// Deeper Bayer and grey rows reduced straight from the frame (AVX-512 bands
// for Bayer, AVX2 band sums for packed rows): every packing, rows whose
// last step of 64 samples ends before and after its first 64 bytes, 10-bit
// rows ending inside a byte, blocks the AVX-512 kernel leaves (6, 9, up to
// 255 rows), and frames that stop inside a band.
TEST_F(Families, LiveDeepRowsAsPlainLoops)
{
    struct Case {
        const char* format;
        uint32_t k, width;
    };
    const Case cases[] = {
        {"BayerRG12p", 4, 202},       {"BayerRG12p", 8, 242},      {"BayerGB10p", 4, 202},
        {"BayerGR10p", 12, 250},      {"BayerBG12Packed", 8, 242}, {"BayerRG10Packed", 4, 202},
        {"BayerGR10", 8, 242},        {"BayerGB12", 4, 202},       {"BayerRG16", 28, 1003},
        {"BayerBG12p", 28, 1003},     {"BayerRG12p", 6, 202},      {"BayerGB10Packed", 254, 300},
        {"Mono12p", 9, 242},          {"Mono10p", 255, 300},       {"Mono12Packed", 20, 1003},
    };
    auto bytesOf = [](const imaging::DisplayImage& image) {
        const uint8_t* first = image.GetBits() + (image.GetHeight() - 1) * image.GetPitch();
        return Bytes(first, first + size_t(-image.GetPitch()) * size_t(image.GetHeight()));
    };
    for (const Case& c : cases)
        for (const int fill : {-1, 255})
            for (const bool cut : {false, true}) {
                const uint32_t height = 2 * c.k + 3;
                Bytes frame = RandomFrame(c.format, c.width, height, fill);
                // Cut: the frame ends half way into the second band's last row.
                const size_t rowBytes = size_t(cam::RowBytes(*cam::FindPixelFormat(c.format), c.width));
                const size_t size = cut ? rowBytes * (2 * c.k - 1) + rowBytes / 2 : frame.size();
                const uint8_t* data = AtPageEnd(frame.data(), size);
                Bytes pictures[4];
                for (const Simd family : imaging::ProcessorFamilies()) {
                    imaging::SetSimd(family);
                    imaging::DisplayImage image;
                    ASSERT_TRUE(imaging::ReduceFrame({data, size, c.width, height, c.format}, c.k, image));
                    pictures[int(family)] = bytesOf(image);
                    EXPECT_EQ(pictures[int(family)], pictures[0])
                        << c.format << ", k " << c.k << ", width " << c.width << ", fill " << fill
                        << (cut ? ", cut, " : ", ") << imaging::SimdName(family);
                }
            }
}

// The halftone stretch: shrinking (area sums, with more than 256 rows of
// full weight in one output row), enlarging, both at once, rows whose
// 32 or 64 bytes a step leave tails, pictures stored bottom-up, and sums
// too large for 32 bits (the plain loop in every family).
TEST_F(Families, HalftoneAsPlainLoops)
{
    struct Case {
        int width, height, dstWidth, dstHeight;
    };
    const Case cases[] = {
        {1001, 37, 97, 5},  {64, 64, 7, 9},     {22, 3, 5, 2},     {5, 4, 23, 17},    {300, 7, 40, 31},
        {43, 1000, 11, 1},  {2000, 600, 517, 345}, {21, 21, 21, 21}, {1, 70000, 1, 1},  {129, 2, 130, 1},
    };
    for (const Case& c : cases)
        for (const int fill : {-1, 255})
            for (const bool bottomUp : {false, true}) {
                const Bytes bytes = RandomFrame("BGR8", uint32_t(c.width), uint32_t(c.height), fill);
                const ptrdiff_t pitch = ptrdiff_t(c.width) * 3;
                const imaging::BgrView view{bottomUp ? bytes.data() + (c.height - 1) * pitch : bytes.data(),
                                            bottomUp ? -pitch : pitch, c.width, c.height};
                std::vector<uint32_t> pictures[4];
                for (const Simd family : imaging::ProcessorFamilies()) {
                    imaging::SetSimd(family);
                    std::vector<uint32_t>& out = pictures[int(family)];
                    out.assign(size_t(c.dstWidth) * c.dstHeight, 0);
                    imaging::HalftoneStretch(view, out.data(), c.dstWidth, c.dstHeight, c.dstWidth);
                    EXPECT_EQ(out, pictures[0]) << c.width << " x " << c.height << " to " << c.dstWidth << " x "
                                                << c.dstHeight << ", fill " << fill << (bottomUp ? ", bottom-up, " : ", ")
                                                << imaging::SimdName(family);
                }
            }
}

}  // namespace
