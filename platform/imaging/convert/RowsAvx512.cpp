// The row conversions with AVX-512: 64 pixels a step, their 192 bytes of
// blue, green, red put together with byte permutes (VBMI) from one register
// a channel, wherever the channel's bytes sit in it. The bytes are the
// plain loops' (PixelRows.cpp), with the same fixed-point YUV.
#include "RowKernels.h"

#include "platform/imaging/YuvFixedPoint.h"

#include "platform/imaging/X86.h"

namespace imaging {

#ifdef TARVIK_X86
namespace {

#define TARVIK_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2")))

// Where pixel p of 64 sits in a channel's register: in order, or as packus
// leaves two registers of 32 16-bit lanes (per 128-bit lane 8 of the first,
// then 8 of the second).
constexpr int InOrder(int p) { return p; }
constexpr int Packed(int p) { return p < 32 ? 16 * (p / 8) + p % 8 : 16 * ((p - 32) / 8) + 8 + p % 8; }

// Output byte k of 192 is channel k % 3 of pixel k / 3: per 64-byte part,
// indices into blue (0..63) and green (64..127), and into red where mask is set.
struct Interleave {
    alignas(64) uint8_t blueGreen[3][64];
    alignas(64) uint8_t red[3][64];
    uint64_t mask[3];
    template <class Position>
    constexpr explicit Interleave(Position at) : blueGreen(), red(), mask()
    {
        for (int part = 0; part < 3; ++part)
            for (int j = 0; j < 64; ++j) {
                const int k = 64 * part + j, channel = k % 3, position = at(k / 3);
                blueGreen[part][j] = uint8_t(position + (channel == 1 ? 64 : 0));
                red[part][j] = uint8_t(position);
                if (channel == 2)
                    mask[part] |= uint64_t(1) << j;
            }
    }
};
constexpr Interleave kInOrder(InOrder);
constexpr Interleave kPacked(Packed);

TARVIK_AVX512 inline __m512i Load(const void* p) { return _mm512_loadu_si512(p); }
TARVIK_AVX512 inline __m512i Table(const uint8_t* p) { return _mm512_load_si512(p); }

TARVIK_AVX512 inline void Put(uint8_t* dst, __m512i v, bool stream)
{
    if (stream)
        _mm512_stream_si512(reinterpret_cast<__m512i*>(dst), v);
    else
        _mm512_storeu_si512(dst, v);
}

TARVIK_AVX512 inline void Store192(const Interleave& t, __m512i b, __m512i g, __m512i r, uint8_t* dst,
                                   bool stream)
{
    for (int part = 0; part < 3; ++part) {
        const __m512i bg = _mm512_permutex2var_epi8(b, Table(t.blueGreen[part]), g);
        Put(dst + 64 * part, _mm512_mask_permutexvar_epi8(bg, t.mask[part], Table(t.red[part]), r), stream);
    }
}

// ---- rearranging bytes --------------------------------------------------------

// Each 64-byte part of the output from a window of up to 128 bytes of the
// input: start[part] bytes into the step's input, index[part] into the
// window, of which the second 64 bytes are read as far as second[part].
struct Rearrange {
    alignas(64) uint8_t index[3][64];
    size_t start[3];
    uint64_t second[3];
    Rearrange(int bytesPerPixel, int blue, int red) : index(), start(), second()
    {
        const int at[3] = {blue, 1, red};
        for (int part = 0; part < 3; ++part) {
            start[part] = size_t(bytesPerPixel * ((64 * part) / 3) / 4 * 4);
            int last = 0;
            for (int j = 0; j < 64; ++j) {
                const int k = 64 * part + j;
                index[part][j] = uint8_t(bytesPerPixel * (k / 3) + at[k % 3] - int(start[part]));
                last = index[part][j] > last ? index[part][j] : last;
            }
            second[part] = last < 64 ? 0 : (uint64_t(2) << (last - 64)) - 1;
        }
    }
};

TARVIK_AVX512 size_t RearrangeSteps(const Rearrange& r, const uint8_t* src, uint8_t* dst, size_t i, size_t pixels,
                                    size_t bytesPerPixel, bool stream)
{
    const __m512i index[3] = {Table(r.index[0]), Table(r.index[1]), Table(r.index[2])};
    for (; i + 64 <= pixels; i += 64) {
        const uint8_t* in = src + i * bytesPerPixel;
        for (int part = 0; part < 3; ++part) {
            const uint8_t* w = in + r.start[part];
            const __m512i second = _mm512_maskz_loadu_epi8(r.second[part], w + 64);
            Put(dst + 3 * i + 64 * part, _mm512_permutex2var_epi8(Load(w), index[part], second), stream);
        }
    }
    return i;
}

// ---- YUV 4:2:2 ----------------------------------------------------------------

struct YuvConstants {
    __m512i low, c128, c16, ky, krv, kgu, kgv, kbu;
};

// 32 pixels in 16-bit lanes, as YuvAvx2 converts them.
TARVIK_AVX512 inline void Yuv32(const uint8_t* p, const YuvConstants& k, bool uyvy, bool limited, __m512i& b,
                                __m512i& g, __m512i& r)
{
    const __m512i in = Load(p);
    const __m512i y = uyvy ? _mm512_srli_epi16(in, 8) : _mm512_and_si512(in, k.low);
    const __m512i c = uyvy ? _mm512_and_si512(in, k.low) : _mm512_srli_epi16(in, 8);
    const __m512i u = _mm512_shufflehi_epi16(_mm512_shufflelo_epi16(c, 0xA0), 0xA0);
    const __m512i v = _mm512_shufflehi_epi16(_mm512_shufflelo_epi16(c, 0xF5), 0xF5);
    const __m512i u5 = _mm512_slli_epi16(_mm512_sub_epi16(u, k.c128), 5);
    const __m512i v5 = _mm512_slli_epi16(_mm512_sub_epi16(v, k.c128), 5);
    __m512i y5;
    if (limited) {
        y5 = _mm512_slli_epi16(_mm512_sub_epi16(y, k.c16), 5);
        y5 = _mm512_add_epi16(y5, _mm512_mulhrs_epi16(y5, k.ky));
    } else {
        y5 = _mm512_slli_epi16(y, 5);
    }
    const __m512i ub = limited ? _mm512_slli_epi16(u5, 1) : u5;
    b = _mm512_add_epi16(_mm512_add_epi16(y5, ub), _mm512_mulhrs_epi16(u5, k.kbu));
    g = _mm512_sub_epi16(_mm512_sub_epi16(y5, _mm512_mulhrs_epi16(u5, k.kgu)), _mm512_mulhrs_epi16(v5, k.kgv));
    r = _mm512_add_epi16(_mm512_add_epi16(y5, v5), _mm512_mulhrs_epi16(v5, k.krv));
    b = _mm512_srai_epi16(_mm512_add_epi16(b, k.c16), 5);
    g = _mm512_srai_epi16(_mm512_add_epi16(g, k.c16), 5);
    r = _mm512_srai_epi16(_mm512_add_epi16(r, k.c16), 5);
}

template <bool Uyvy, bool Limited>
TARVIK_AVX512 size_t YuvSteps(const uint8_t* src, uint8_t* dst, size_t i, size_t pixels, bool stream)
{
    const YuvCoefficients& c = Limited ? kLimited : kFull;
    const YuvConstants k{_mm512_set1_epi16(0x00ff),         _mm512_set1_epi16(128),
                         _mm512_set1_epi16(16),             _mm512_set1_epi16(int16_t(c.y)),
                         _mm512_set1_epi16(int16_t(c.rv)),  _mm512_set1_epi16(int16_t(c.gu)),
                         _mm512_set1_epi16(int16_t(c.gv)),  _mm512_set1_epi16(int16_t(c.bu))};
    for (; i + 64 <= pixels; i += 64) {
        __m512i b0, g0, r0, b1, g1, r1;
        Yuv32(src + 2 * i, k, Uyvy, Limited, b0, g0, r0);
        Yuv32(src + 2 * i + 64, k, Uyvy, Limited, b1, g1, r1);
        Store192(kPacked, _mm512_packus_epi16(b0, b1), _mm512_packus_epi16(g0, g1), _mm512_packus_epi16(r0, r1),
                 dst + 3 * i, stream);
    }
    return i;
}

// ---- Bayer ----------------------------------------------------------------------

// (p + q + r + s + 2) >> 2 from two byte averages, as Average4 in PixelRows.cpp.
TARVIK_AVX512 inline __m512i Average4(__m512i pq, __m512i pqOdd, __m512i rs, __m512i rsOdd)
{
    const __m512i excess = _mm512_and_si512(_mm512_and_si512(_mm512_or_si512(pqOdd, rsOdd), _mm512_xor_si512(pq, rs)),
                                            _mm512_set1_epi8(1));
    return _mm512_sub_epi8(_mm512_avg_epu8(pq, rs), excess);
}

// ---- deeper samples ---------------------------------------------------------------

// Packed samples of 10 or 12 bits from the least significant bit: for 32
// samples (4 x bits bytes), where each one's two bytes are and how far its
// top 8 bits lie up them; the second 32 samples index past the first 64 bytes.
struct Lsb {
    alignas(64) uint8_t pairs[2][64];
    alignas(64) uint16_t shifts[32];
    constexpr explicit Lsb(int bits) : pairs(), shifts()
    {
        for (int half = 0; half < 2; ++half)
            for (int s = 0; s < 32; ++s) {
                const int bit = (32 * half + s) * bits;
                pairs[half][2 * s] = uint8_t(bit / 8);
                pairs[half][2 * s + 1] = uint8_t(bit / 8 + 1);
                shifts[s] = uint16_t(bit % 8 + bits - 8);
            }
    }
};
constexpr Lsb kLsb10(10), kLsb12(12);

// The low byte of each 16-bit lane of a, then of b.
struct LowBytes {
    alignas(64) uint8_t index[64];
    constexpr LowBytes() : index()
    {
        for (int j = 0; j < 64; ++j)
            index[j] = uint8_t(2 * j);
    }
};
constexpr LowBytes kLowBytes;

// GigE Vision's 12 bits packed 2 in 3 bytes: the top 8 bits are bytes 0 and 2.
struct GigeTops {
    alignas(64) uint8_t index[64];
    constexpr GigeTops() : index()
    {
        for (int s = 0; s < 64; ++s)
            index[s] = uint8_t(3 * (s / 2) + 2 * (s % 2));
    }
};
constexpr GigeTops kGigeTops;

TARVIK_AVX512 inline __mmask64 FirstBytes(size_t n) { return n >= 64 ? ~__mmask64(0) : (__mmask64(1) << n) - 1; }

}  // namespace

TARVIK_AVX512 size_t ExpandAvx512(const uint8_t* src, uint8_t* dst, size_t i, size_t pixels, bool stream)
{
    for (; i + 64 <= pixels; i += 64) {
        const __m512i grey = Load(src + i);
        Store192(kInOrder, grey, grey, grey, dst + 3 * i, stream);
    }
    return i;
}

TARVIK_AVX512 size_t RearrangeAvx512(const uint8_t* src, uint8_t* dst, size_t i, size_t pixels,
                                     int bytesPerPixel, int blue, int red, bool stream)
{
    static const Rearrange swap(3, 2, 0), rgba(4, 2, 0), bgra(4, 0, 2);
    const Rearrange& r = bytesPerPixel == 3 ? swap : blue == 2 ? rgba : bgra;
    (void)red;
    return RearrangeSteps(r, src, dst, i, pixels, size_t(bytesPerPixel), stream);
}

TARVIK_AVX512 size_t YuvAvx512(const uint8_t* src, uint8_t* dst, size_t i, size_t pixels, bool uyvy, bool limited,
                               bool stream)
{
    if (uyvy)
        return limited ? YuvSteps<true, true>(src, dst, i, pixels, stream)
                       : YuvSteps<true, false>(src, dst, i, pixels, stream);
    return limited ? YuvSteps<false, true>(src, dst, i, pixels, stream)
                   : YuvSteps<false, false>(src, dst, i, pixels, stream);
}

TARVIK_AVX512 size_t DemosaicAvx512(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* dst, size_t x,
                                    size_t width, int xChannel, bool greenEven, bool stream)
{
    // Lane j is column x + j; which lanes are X sites depends on x's parity.
    const bool xSitesInOddLanes = (x % 2 == 1) != greenEven;
    const __mmask64 xSites = xSitesInOddLanes ? 0xAAAAAAAAAAAAAAAAull : 0x5555555555555555ull;
    const bool redRow = xChannel == 2;
    for (; x + 64 < width; x += 64) {
        const __m512i aL = Load(a + x - 1), a0 = Load(a + x), aR = Load(a + x + 1);
        const __m512i cL = Load(c + x - 1), c0 = Load(c + x), cR = Load(c + x + 1);
        const __m512i bL = Load(b + x - 1), b0 = Load(b + x), bR = Load(b + x + 1);
        const __m512i vertical = _mm512_avg_epu8(a0, c0), verticalOdd = _mm512_xor_si512(a0, c0);
        const __m512i left = _mm512_avg_epu8(aL, cL), leftOdd = _mm512_xor_si512(aL, cL);
        const __m512i right = _mm512_avg_epu8(aR, cR), rightOdd = _mm512_xor_si512(aR, cR);
        const __m512i horizontal = _mm512_avg_epu8(bL, bR), horizontalOdd = _mm512_xor_si512(bL, bR);
        const __m512i sides = Average4(vertical, verticalOdd, horizontal, horizontalOdd);
        const __m512i corners = Average4(left, leftOdd, right, rightOdd);
        const __m512i own = _mm512_mask_blend_epi8(xSites, horizontal, b0);
        const __m512i green = _mm512_mask_blend_epi8(xSites, b0, sides);
        const __m512i other = _mm512_mask_blend_epi8(xSites, vertical, corners);
        Store192(kInOrder, redRow ? other : own, green, redRow ? own : other, dst + 3 * x, stream);
    }
    return x;
}

TARVIK_AVX512 size_t TopEightAvx512(const cam::PixelFormat& format, const uint8_t* src, uint8_t* dst,
                                    size_t pixels, size_t rowBytes)
{
    const __m512i low = Table(kLowBytes.index);
    size_t i = 0;
    if (format.packing == cam::Packing::Word) {
        const __m512i mask = _mm512_set1_epi16(int16_t((1u << format.bits) - 1));
        const __m128i shift = _mm_cvtsi32_si128(format.bits - 8);
        for (; i + 64 <= pixels; i += 64) {
            const __m512i first = _mm512_srl_epi16(_mm512_and_si512(Load(src + 2 * i), mask), shift);
            const __m512i second = _mm512_srl_epi16(_mm512_and_si512(Load(src + 2 * i + 64), mask), shift);
            _mm512_storeu_si512(dst + i, _mm512_permutex2var_epi8(first, low, second));
        }
        return i;
    }
    if (format.packing == cam::Packing::GigePacked) {  // 10 or 12 bits, 2 samples in 3 bytes
        const size_t stepBytes = 96;
        const __m512i tops = Table(kGigeTops.index);
        for (; i + 64 <= pixels && (i / 64 + 1) * stepBytes <= rowBytes; i += 64) {
            const uint8_t* in = src + i / 64 * stepBytes;
            const __m512i second = _mm512_maskz_loadu_epi8(FirstBytes(stepBytes - 64), in + 64);
            _mm512_storeu_si512(dst + i, _mm512_permutex2var_epi8(Load(in), tops, second));
        }
        return i;
    }
    if (format.packing != cam::Packing::Lsb || (format.bits != 10 && format.bits != 12))
        return 0;
    const Lsb& plan = format.bits == 10 ? kLsb10 : kLsb12;
    const size_t stepBytes = size_t(format.bits) * 8;  // of 64 samples
    const __m512i pairs0 = Table(plan.pairs[0]), pairs1 = Table(plan.pairs[1]);
    const __m512i shifts = _mm512_load_si512(plan.shifts);
    for (; i + 64 <= pixels && (i / 64 + 1) * stepBytes <= rowBytes; i += 64) {
        const uint8_t* in = src + i / 64 * stepBytes;
        const __m512i a = Load(in), b = _mm512_maskz_loadu_epi8(FirstBytes(stepBytes - 64), in + 64);
        const __m512i first = _mm512_srlv_epi16(_mm512_permutexvar_epi8(pairs0, a), shifts);
        const __m512i second = _mm512_srlv_epi16(_mm512_permutex2var_epi8(a, pairs1, b), shifts);
        _mm512_storeu_si512(dst + i, _mm512_permutex2var_epi8(first, low, second));
    }
    return i;
}

TARVIK_AVX512 size_t CopyAvx512(const uint8_t* src, uint8_t* dst, size_t bytes, bool stream)
{
    size_t i = 0;
    for (; i + 256 <= bytes; i += 256)
        for (int j = 0; j < 4; ++j)
            Put(dst + i + 64 * j, Load(src + i + 64 * j), stream);
    for (; i + 64 <= bytes; i += 64)
        Put(dst + i, Load(src + i), stream);
    return i;
}

#else

size_t ExpandAvx512(const uint8_t*, uint8_t*, size_t i, size_t, bool) { return i; }
size_t RearrangeAvx512(const uint8_t*, uint8_t*, size_t i, size_t, int, int, int, bool) { return i; }
size_t YuvAvx512(const uint8_t*, uint8_t*, size_t i, size_t, bool, bool, bool) { return i; }
size_t DemosaicAvx512(const uint8_t*, const uint8_t*, const uint8_t*, uint8_t*, size_t x, size_t, int, bool, bool)
{
    return x;
}
size_t TopEightAvx512(const cam::PixelFormat&, const uint8_t*, uint8_t*, size_t, size_t) { return 0; }
size_t CopyAvx512(const uint8_t*, uint8_t*, size_t, bool) { return 0; }

#endif

}  // namespace imaging
