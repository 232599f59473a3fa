// The row conversions. Each has a plain loop; the vector versions, chosen at
// run time, give the same bytes. Bounds: a vector step runs only while all
// it loads lies inside the source row and all it stores inside the
// destination row, the rest is left to the plain loop.
#include "PixelRows.h"

#include "RowKernels.h"
#include "platform/imaging/Simd.h"
#include "platform/imaging/YuvFixedPoint.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "platform/imaging/X86.h"

namespace imaging {

bool UseAvx2(Kernel kernel) { return SimdAtLeast(kernel, Simd::Avx2); }

bool UseAvx512(Kernel kernel) { return SimdAtLeast(kernel, Simd::Avx512); }

namespace {

#ifdef TARVIK_X86
bool UseSsse3() { return SimdAtLeast(Kernel::Rows, Simd::Ssse3); }
#endif

// ---- blue, green, red planes to interleaved pixels ----------------------------

#ifdef TARVIK_X86
// Byte k of the 48 bytes of 16 pixels is channel k % 3 (blue, green, red) of
// pixel k / 3; mask[part][channel] picks those bytes from the channel's plane.
struct InterleaveMasks {
    alignas(16) int8_t mask[3][3][16];
    constexpr InterleaveMasks() : mask()
    {
        for (int part = 0; part < 3; ++part)
            for (int channel = 0; channel < 3; ++channel)
                for (int j = 0; j < 16; ++j) {
                    const int k = 16 * part + j;
                    mask[part][channel][j] = int8_t(k % 3 == channel ? k / 3 : 0x80);
                }
    }
};
constexpr InterleaveMasks kInterleave;

__attribute__((target("ssse3"))) inline __m128i Mask(int part, int channel)
{
    return _mm_load_si128(reinterpret_cast<const __m128i*>(kInterleave.mask[part][channel]));
}

__attribute__((target("ssse3"))) inline __m128i Part(int part, __m128i b, __m128i g, __m128i r)
{
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b, Mask(part, 0)), _mm_shuffle_epi8(g, Mask(part, 1))),
                        _mm_shuffle_epi8(r, Mask(part, 2)));
}

// Stores of whole 16-byte blocks: streamed (past the caches, to an address on
// a 16-byte boundary) for images too large to stay in them, else plain.
template <bool kStream>
__attribute__((target("ssse3"))) inline void Put(uint8_t* dst, __m128i v)
{
    if (kStream)
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst), v);
    else
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
}

// 16 pixels, 48 bytes.
template <bool kStream>
__attribute__((target("ssse3"))) inline void Store48(__m128i b, __m128i g, __m128i r, uint8_t* dst)
{
    for (int part = 0; part < 3; ++part)
        Put<kStream>(dst + 16 * part, Part(part, b, g, r));
}

__attribute__((target("avx2"))) inline __m256i Mask256(int part, int channel)
{
    return _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i*>(kInterleave.mask[part][channel])));
}

__attribute__((target("avx2"))) inline __m256i Part256(int part, __m256i b, __m256i g, __m256i r)
{
    return _mm256_or_si256(
        _mm256_or_si256(_mm256_shuffle_epi8(b, Mask256(part, 0)), _mm256_shuffle_epi8(g, Mask256(part, 1))),
        _mm256_shuffle_epi8(r, Mask256(part, 2)));
}

// 32 pixels, 96 bytes: each 128-bit half interleaves its 16 pixels.
template <bool kStream>
__attribute__((target("avx2"))) inline void Store96(__m256i b, __m256i g, __m256i r, uint8_t* dst)
{
    const __m256i p[3] = {Part256(0, b, g, r), Part256(1, b, g, r), Part256(2, b, g, r)};
    for (int part = 0; part < 3; ++part) {
        Put<kStream>(dst + 16 * part, _mm256_castsi256_si128(p[part]));
        Put<kStream>(dst + 48 + 16 * part, _mm256_extracti128_si256(p[part], 1));
    }
}

// Any rearrangement of 48 bytes taken from up to four 16-byte blocks: output
// byte k is input byte source(k); mask[out][in] picks those from block in.
struct Rearrange48 {
    alignas(16) int8_t mask[3][4][16];
    template <class Source>
    constexpr explicit Rearrange48(Source source) : mask()
    {
        for (int out = 0; out < 3; ++out)
            for (int in = 0; in < 4; ++in)
                for (int j = 0; j < 16; ++j) {
                    const int k = source(16 * out + j);
                    mask[out][in][j] = int8_t(k / 16 == in ? k % 16 : 0x80);
                }
    }
};
constexpr Rearrange48 kSwap([](int k) { return 3 * (k / 3) + 2 - k % 3; });
constexpr Rearrange48 kRgbaToBgr([](int k) { return 4 * (k / 3) + 2 - k % 3; });
constexpr Rearrange48 kBgraToBgr([](int k) { return 4 * (k / 3) + k % 3; });

#endif

// The first pixel from x on (stepping by step) whose bytes in dst start on a
// boundary of align bytes, or end.
size_t AlignedPixel(const uint8_t* dst, size_t x, size_t end, size_t step, size_t align)
{
    while (x < end && (reinterpret_cast<uintptr_t>(dst + 3 * x) & (align - 1)) != 0)
        x += step;
    return x < end ? x : end;
}

// ---- grey -------------------------------------------------------------------

void ExpandPlain(const uint8_t* src, uint8_t* dst, size_t pixels)
{
    for (size_t i = 0; i < pixels; ++i)
        dst[3 * i] = dst[3 * i + 1] = dst[3 * i + 2] = src[i];
}

#ifdef TARVIK_X86
template <bool kStream>
__attribute__((target("ssse3"))) size_t ExpandSsse3(const uint8_t* src, uint8_t* dst, size_t i, size_t pixels)
{
    for (; i + 16 <= pixels; i += 16) {
        const __m128i grey = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        Store48<kStream>(grey, grey, grey, dst + 3 * i);
    }
    return i;
}

template <bool kStream>
__attribute__((target("avx2"))) size_t ExpandAvx2(const uint8_t* src, uint8_t* dst, size_t i, size_t pixels)
{
    for (; i + 32 <= pixels; i += 32) {
        const __m256i grey = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        Store96<kStream>(grey, grey, grey, dst + 3 * i);
    }
    return i;
}
#endif

// ---- 8-bit colour -------------------------------------------------------------

#ifdef TARVIK_X86
// 16 pixels of kBytes bytes (kBytes 16-byte blocks) a step, 48 bytes out.
// The masks are loaded once; blocks an output takes nothing from are skipped.
template <int kBytes, bool kStream>
__attribute__((target("ssse3"))) size_t RearrangeSsse3(const Rearrange48& r, const uint8_t* src,
                                                        uint8_t* dst, size_t i, size_t pixels)
{
    __m128i mask[3][kBytes];
    bool used[3][kBytes];
    for (int out = 0; out < 3; ++out)
        for (int in = 0; in < kBytes; ++in) {
            mask[out][in] = _mm_load_si128(reinterpret_cast<const __m128i*>(r.mask[out][in]));
            used[out][in] = _mm_movemask_epi8(mask[out][in]) != 0xffff;
        }
    for (; i + 16 <= pixels; i += 16) {
        __m128i in[kBytes];
        for (int b = 0; b < kBytes; ++b)
            in[b] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + size_t(kBytes) * i) + b);
        for (int out = 0; out < 3; ++out) {
            __m128i v = _mm_setzero_si128();
            for (int b = 0; b < kBytes; ++b)
                if (used[out][b])
                    v = _mm_or_si128(v, _mm_shuffle_epi8(in[b], mask[out][b]));
            Put<kStream>(dst + 3 * i + 16 * out, v);
        }
    }
    return i;
}
#endif

// ---- deeper samples to 8 bits ---------------------------------------------------

#ifdef TARVIK_X86
// 16-bit words: 32 samples a step.
__attribute__((target("avx2"))) size_t WordsAvx2(const uint8_t* src, uint8_t* dst, size_t pixels, int bits)
{
    const __m256i mask = _mm256_set1_epi16(int16_t((1u << bits) - 1));
    const __m128i shift = _mm_cvtsi32_si128(bits - 8);
    size_t i = 0;
    for (; i + 32 <= pixels; i += 32) {
        const auto* in = reinterpret_cast<const __m256i*>(src + 2 * i);
        const __m256i lo = _mm256_srl_epi16(_mm256_and_si256(_mm256_loadu_si256(in), mask), shift);
        const __m256i hi = _mm256_srl_epi16(_mm256_and_si256(_mm256_loadu_si256(in + 1), mask), shift);
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), packed);
    }
    return i;
}

// Packed samples of 10 or 12 bits: a shuffle puts the two bytes holding each
// sample's top 8 bits into a 16-bit lane, a multiply shifts them to bits
// 8..15 (mod 2^16), and the high bytes are the result. 8 samples (bits
// bytes) from each 16-byte load, 16 a step.
struct PackedPlan {
    __m128i gather;
    __m128i scale;
    size_t bytesPer8;
};

__attribute__((target("ssse3"))) inline __m128i TopOf8(const uint8_t* p, const PackedPlan& plan)
{
    const __m128i words = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), plan.gather);
    return _mm_srli_epi16(_mm_mullo_epi16(words, plan.scale), 8);
}

__attribute__((target("ssse3"))) size_t PackedSsse3(const uint8_t* src, uint8_t* dst, size_t pixels,
                                                     size_t rowBytes, const PackedPlan& plan)
{
    size_t i = 0;
    for (; i + 16 <= pixels && (i / 8 + 1) * plan.bytesPer8 + 16 <= rowBytes; i += 16) {
        const uint8_t* in = src + (i / 8) * plan.bytesPer8;
        const __m128i out = _mm_packus_epi16(TopOf8(in, plan), TopOf8(in + plan.bytesPer8, plan));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), out);
    }
    return i;
}

// The same, 32 samples a step: each 128-bit half of a register takes its own
// 8 samples' bytes.
__attribute__((target("avx2"))) inline __m256i TopOf16(const uint8_t* p, size_t step, __m256i gather, __m256i scale)
{
    const __m256i bytes = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + step)), 1);
    return _mm256_srli_epi16(_mm256_mullo_epi16(_mm256_shuffle_epi8(bytes, gather), scale), 8);
}

__attribute__((target("avx2"))) size_t PackedAvx2(const uint8_t* src, uint8_t* dst, size_t pixels,
                                                   size_t rowBytes, const PackedPlan& plan)
{
    const __m256i gather = _mm256_broadcastsi128_si256(plan.gather);
    const __m256i scale = _mm256_broadcastsi128_si256(plan.scale);
    const size_t b = plan.bytesPer8;
    size_t i = 0;
    for (; i + 32 <= pixels && (i / 8 + 3) * b + 16 <= rowBytes; i += 32) {
        const uint8_t* in = src + (i / 8) * b;
        const __m256i first = TopOf16(in, b, gather, scale), second = TopOf16(in + 2 * b, b, gather, scale);
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), packed);
    }
    return i;
}

// Packed samples' top 8 bits added into 16-bit sums, of one row or of two
// (Two), 16 samples a step; returns how many, those whose loads stay inside
// rows of rowBytes.
template <bool Two>
__attribute__((target("avx2"))) size_t AddPackedAvx2(const uint8_t* a, const uint8_t* b, uint16_t* sums,
                                                     size_t pixels, size_t rowBytes, const PackedPlan& plan)
{
    const __m256i gather = _mm256_broadcastsi128_si256(plan.gather);
    const __m256i scale = _mm256_broadcastsi128_si256(plan.scale);
    const size_t step = plan.bytesPer8;
    // Step n reads from 2 n step to 2 n step + step + 16.
    const size_t steps = std::min(pixels / 16, rowBytes >= step + 16 ? (rowBytes - step - 16) / (2 * step) + 1 : 0);
    for (size_t n = 0; n < steps; ++n, a += 2 * step, b += Two ? 2 * step : 0, sums += 16) {
        __m256i s = _mm256_add_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums)),
                                     TopOf16(a, step, gather, scale));
        if (Two)
            s = _mm256_add_epi16(s, TopOf16(b, step, gather, scale));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums), s);
    }
    return steps * 16;
}

// The top 8 bits of k rows' packed samples added down the band into 16-bit
// sums per column, in registers, each sum stored once: of every row
// (Parities 1), or of even and odd rows apart (2, the odd rows' sums pixels
// after the even rows'); rows apart bytes apart. 16 samples a step; returns
// how many, those whose loads stay inside rows of rowBytes.
template <int Parities>
__attribute__((target("avx2"))) size_t SumPackedAvx2(const uint8_t* first, size_t apart, uint32_t k,
                                                     uint16_t* sums, size_t pixels, size_t rowBytes,
                                                     const PackedPlan& plan)
{
    const __m256i gather = _mm256_broadcastsi128_si256(plan.gather);
    const __m256i scale = _mm256_broadcastsi128_si256(plan.scale);
    const size_t step = plan.bytesPer8;
    const size_t steps = std::min(pixels / 16, rowBytes >= step + 16 ? (rowBytes - step - 16) / (2 * step) + 1 : 0);
    for (size_t n = 0; n < steps; ++n) {
        const uint8_t* p = first + 2 * step * n;
        // Two rows a step, the even one's into s[0], the odd one's into s[1]
        // (k rows read side by side are more streams than the processor
        // follows on its own: each is fetched ahead).
        __m256i s[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
        uint32_t j = 0;
        for (; j + 2 <= k; j += 2, p += 2 * apart) {
            _mm_prefetch(reinterpret_cast<const char*>(p + 192), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(p + apart + 192), _MM_HINT_T0);
            s[0] = _mm256_add_epi16(s[0], TopOf16(p, step, gather, scale));
            s[1] = _mm256_add_epi16(s[1], TopOf16(p + apart, step, gather, scale));
        }
        if (j < k)  // k odd: grey only
            s[0] = _mm256_add_epi16(s[0], TopOf16(p, step, gather, scale));
        if (Parities == 1)
            s[0] = _mm256_add_epi16(s[0], s[1]);
        for (int parity = 0; parity < Parities; ++parity)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + size_t(parity) * pixels + 16 * n), s[parity]);
    }
    return steps * 16;
}

__attribute__((target("ssse3"))) PackedPlan PlanFor(const cam::PixelFormat& f)
{
    if (f.packing == cam::Packing::GigePacked)  // the top 8 bits are bytes 0 and 2 of each 3
        return {_mm_setr_epi8(-1, 0, -1, 2, -1, 3, -1, 5, -1, 6, -1, 8, -1, 9, -1, 11),
                _mm_set1_epi16(1), 12};
    if (f.bits == 12)
        return {_mm_setr_epi8(0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11),
                _mm_setr_epi16(16, 1, 16, 1, 16, 1, 16, 1), 12};
    return {_mm_setr_epi8(0, 1, 1, 2, 2, 3, 3, 4, 5, 6, 6, 7, 7, 8, 8, 9),
            _mm_setr_epi16(64, 16, 4, 1, 64, 16, 4, 1), 10};
}
#endif

// ---- YUV 4:2:2 ------------------------------------------------------------------

inline int MulQ15(int a, int c) { return (a * c + 0x4000) >> 15; }
inline uint8_t Clamp8(int v5)
{
    const int v = (v5 + 16) >> 5;
    return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

void YuvPixel(int y, int u5, int v5, bool limited, uint8_t* out)
{
    const YuvCoefficients& k = limited ? kLimited : kFull;
    int y5 = limited ? (y - 16) * 32 : y * 32;
    if (limited)
        y5 += MulQ15(y5, k.y);
    out[0] = Clamp8(y5 + k.bu2 * u5 + MulQ15(u5, k.bu));
    out[1] = Clamp8(y5 - MulQ15(u5, k.gu) - MulQ15(v5, k.gv));
    out[2] = Clamp8(y5 + v5 + MulQ15(v5, k.rv));
}

void YuvPlain(const uint8_t* src, uint8_t* dst, size_t from, size_t pixels, bool uyvy, bool limited)
{
    const int yAt = uyvy ? 1 : 0, cAt = uyvy ? 0 : 1;
    for (size_t i = from; i < pixels; i += 2) {
        const uint8_t* p = src + 2 * i;
        const int u5 = (p[cAt] - 128) * 32;
        const bool pair = i + 1 < pixels;
        const int v = pair ? p[cAt + 2] : i >= 2 ? p[cAt - 2] : 128;
        const int v5 = (v - 128) * 32;
        YuvPixel(p[yAt], u5, v5, limited, dst + 3 * i);
        if (pair)
            YuvPixel(p[yAt + 2], u5, v5, limited, dst + 3 * i + 3);
    }
}

#ifdef TARVIK_X86
template <bool kStream>
__attribute__((target("avx2"))) size_t YuvAvx2(const uint8_t* src, uint8_t* dst, size_t i, size_t pixels,
                                                bool uyvy, bool limited)
{
    const YuvCoefficients& k = limited ? kLimited : kFull;
    const __m256i low = _mm256_set1_epi16(0x00ff), c128 = _mm256_set1_epi16(128),
                  c16 = _mm256_set1_epi16(16);
    const __m256i ky = _mm256_set1_epi16(int16_t(k.y)), krv = _mm256_set1_epi16(int16_t(k.rv)),
                  kgu = _mm256_set1_epi16(int16_t(k.gu)), kgv = _mm256_set1_epi16(int16_t(k.gv)),
                  kbu = _mm256_set1_epi16(int16_t(k.bu));
    for (; i + 16 <= pixels; i += 16) {
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 2 * i));
        const __m256i y = uyvy ? _mm256_srli_epi16(in, 8) : _mm256_and_si256(in, low);
        const __m256i c = uyvy ? _mm256_and_si256(in, low) : _mm256_srli_epi16(in, 8);
        // Each pixel takes U from the even lane of its pair and V from the odd one.
        const __m256i u = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(c, 0xA0), 0xA0);
        const __m256i v = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(c, 0xF5), 0xF5);
        const __m256i u5 = _mm256_slli_epi16(_mm256_sub_epi16(u, c128), 5);
        const __m256i v5 = _mm256_slli_epi16(_mm256_sub_epi16(v, c128), 5);
        __m256i y5;
        if (limited) {
            y5 = _mm256_slli_epi16(_mm256_sub_epi16(y, c16), 5);
            y5 = _mm256_add_epi16(y5, _mm256_mulhrs_epi16(y5, ky));
        } else {
            y5 = _mm256_slli_epi16(y, 5);
        }
        const __m256i ub = limited ? _mm256_slli_epi16(u5, 1) : u5;
        __m256i b = _mm256_add_epi16(_mm256_add_epi16(y5, ub), _mm256_mulhrs_epi16(u5, kbu));
        __m256i g = _mm256_sub_epi16(_mm256_sub_epi16(y5, _mm256_mulhrs_epi16(u5, kgu)),
                                     _mm256_mulhrs_epi16(v5, kgv));
        __m256i r = _mm256_add_epi16(_mm256_add_epi16(y5, v5), _mm256_mulhrs_epi16(v5, krv));
        b = _mm256_srai_epi16(_mm256_add_epi16(b, c16), 5);
        g = _mm256_srai_epi16(_mm256_add_epi16(g, c16), 5);
        r = _mm256_srai_epi16(_mm256_add_epi16(r, c16), 5);
        const __m256i rb = _mm256_permute4x64_epi64(_mm256_packus_epi16(r, b), 0xD8);
        const __m256i gg = _mm256_permute4x64_epi64(_mm256_packus_epi16(g, g), 0xD8);
        Store48<kStream>(_mm256_extracti128_si256(rb, 1), _mm256_castsi256_si128(gg),
                         _mm256_castsi256_si128(rb), dst + 3 * i);
    }
    return i;
}
#endif

// ---- Bayer ----------------------------------------------------------------------

inline int ChannelOf(char colour) { return colour == 'B' ? 0 : colour == 'G' ? 1 : 2; }

// Any pixel, edges included: the average of each missing colour's samples
// among the neighbours that exist. A colour with none there (frames one
// pixel wide or high) takes the pixel's own value.
template <class T>
void DemosaicGeneric(const T* above, const T* row, const T* below, T* dst, size_t width,
                     const char* pattern, uint64_t y, size_t from, size_t to)
{
    const T* rows[3] = {above, row, below};
    for (size_t x = from; x < to; ++x) {
        uint32_t sum[3] = {}, count[3] = {};
        for (int dy = 0; dy < 3; ++dy) {
            if (!rows[dy])
                continue;
            const uint64_t py = (y + dy + 1) % 2;  // the parity of row y + dy - 1
            for (int dx = -1; dx <= 1; ++dx) {
                if ((dx < 0 && x == 0) || (dx > 0 && x + 1 >= width) || (dy == 1 && dx == 0))
                    continue;
                const size_t xx = x + dx;
                const int c = ChannelOf(pattern[py * 2 + xx % 2]);
                sum[c] += rows[dy][xx];
                ++count[c];
            }
        }
        const int own = ChannelOf(pattern[(y % 2) * 2 + x % 2]);
        for (int c = 0; c < 3; ++c)
            dst[3 * x + c] = c == own || count[c] == 0 ? row[x] : T((sum[c] + count[c] / 2) / count[c]);
    }
}

// Pixels with all eight neighbours. In a row of G and X (the row's other
// colour) with Y in the rows above and below: a G pixel takes X from its
// left and right, Y from above and below; an X pixel takes G from its four
// sides and Y from its four corners.
struct RowColours {
    int x, y;  // channels of the row's non-green colour and of the other one
    bool greenEven;
};

RowColours ColoursOf(const char* pattern, uint64_t y)
{
    const char even = pattern[(y % 2) * 2], odd = pattern[(y % 2) * 2 + 1];
    const char x = even == 'G' ? odd : even;
    return {ChannelOf(x), ChannelOf(x == 'R' ? 'B' : 'R'), even == 'G'};
}

void DemosaicInteriorPlain(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* dst,
                           size_t from, size_t to, RowColours k)
{
    for (size_t x = from; x < to; ++x) {
        uint8_t* out = dst + 3 * x;
        if ((x % 2 == 0) == k.greenEven) {
            out[1] = b[x];
            out[k.x] = uint8_t((b[x - 1] + b[x + 1] + 1) >> 1);
            out[k.y] = uint8_t((a[x] + c[x] + 1) >> 1);
        } else {
            out[k.x] = b[x];
            out[1] = uint8_t((a[x] + c[x] + b[x - 1] + b[x + 1] + 2) >> 2);
            out[k.y] = uint8_t((a[x - 1] + a[x + 1] + c[x - 1] + c[x + 1] + 2) >> 2);
        }
    }
}

#ifdef TARVIK_X86
// (p + q + r + s + 2) >> 2 from two byte averages of pairs, exactly: the
// average of averages rounds up once too often when either pair had an odd
// sum and the two averages differ in their lowest bit.
__attribute__((target("avx2"))) inline __m256i Average4(__m256i pq, __m256i pqOdd, __m256i rs,
                                                        __m256i rsOdd)
{
    const __m256i one = _mm256_set1_epi8(1);
    const __m256i excess = _mm256_and_si256(
        _mm256_and_si256(_mm256_or_si256(pqOdd, rsOdd), _mm256_xor_si256(pq, rs)), one);
    return _mm256_sub_epi8(_mm256_avg_epu8(pq, rs), excess);
}

__attribute__((target("avx2"))) inline __m256i Load(const uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// 32 pixels a step from x (at least 1), while x + 32 < width (so x + 32 is
// readable).
template <bool kStream>
__attribute__((target("avx2"))) size_t DemosaicAvx2(const uint8_t* a, const uint8_t* b, const uint8_t* c,
                                                     uint8_t* dst, size_t x, size_t width, RowColours k)
{
    // Lane j of a step is column x + j: which lanes are X sites depends on
    // x's parity, which all steps share.
    const __m256i oddLanes = _mm256_set1_epi16(int16_t(0xff00));
    const bool xSitesInOddLanes = (x % 2 == 1) != k.greenEven;
    const __m256i xSites = xSitesInOddLanes ? oddLanes : _mm256_xor_si256(oddLanes, _mm256_set1_epi8(-1));
    for (; x + 32 < width; x += 32) {
        const __m256i aL = Load(a + x - 1), a0 = Load(a + x), aR = Load(a + x + 1);
        const __m256i cL = Load(c + x - 1), c0 = Load(c + x), cR = Load(c + x + 1);
        const __m256i bL = Load(b + x - 1), b0 = Load(b + x), bR = Load(b + x + 1);
        const __m256i vertical = _mm256_avg_epu8(a0, c0), verticalOdd = _mm256_xor_si256(a0, c0);
        const __m256i left = _mm256_avg_epu8(aL, cL), leftOdd = _mm256_xor_si256(aL, cL);
        const __m256i right = _mm256_avg_epu8(aR, cR), rightOdd = _mm256_xor_si256(aR, cR);
        const __m256i horizontal = _mm256_avg_epu8(bL, bR), horizontalOdd = _mm256_xor_si256(bL, bR);
        const __m256i sides = Average4(vertical, verticalOdd, horizontal, horizontalOdd);
        const __m256i corners = Average4(left, leftOdd, right, rightOdd);

        const __m256i own = _mm256_blendv_epi8(horizontal, b0, xSites);
        const __m256i green = _mm256_blendv_epi8(b0, sides, xSites);
        const __m256i other = _mm256_blendv_epi8(vertical, corners, xSites);
        const bool redRow = k.x == 2;
        Store96<kStream>(redRow ? other : own, green, redRow ? own : other, dst + 3 * x);
    }
    return x;
}
#endif

}  // namespace

bool VectorRows() { return ActiveSimd() != Simd::Plain; }

void SetVectorRows(bool enabled)
{
    if (enabled)
        ResetSimd();
    else
        SetSimd(Simd::Plain);
}

// Runs a vector kernel from pixel from on and returns where it stopped. When
// streaming, the plain loop first takes the pixels before the first one
// whose bytes start on a boundary of align bytes, the kernel's stores'
// (stepping by step pixels).
template <class Kernel, class Plain>
size_t RunVector(Kernel kernel, Plain plain, bool stream, const uint8_t* dst, size_t from, size_t end,
                 size_t step, size_t align = 16)
{
    const size_t start = stream ? AlignedPixel(dst, from, end, step, align) : from;
    plain(from, start);
    if (!stream)
        return kernel(std::false_type(), start);
    const size_t stopped = kernel(std::true_type(), start);
#ifdef TARVIK_X86
    _mm_sfence();  // streamed stores are seen before anything that follows
#endif
    return stopped;
}

#define TARVIK_STREAMED decltype(streamed)::value

void ExpandGreyToBgr(const uint8_t* src, uint8_t* dst, size_t pixels, bool stream)
{
    auto plain = [&](size_t from, size_t to) { ExpandPlain(src + from, dst + 3 * from, to - from); };
    size_t done = 0;
#ifdef TARVIK_X86
    if (UseAvx512())
        done = RunVector([&](auto streamed, size_t start) {
            return ExpandAvx512(src, dst, start, pixels, TARVIK_STREAMED);
        }, plain, stream, dst, 0, pixels, 1, 64);
    else if (UseAvx2())
        done = RunVector([&](auto streamed, size_t start) {
            return ExpandAvx2<TARVIK_STREAMED>(src, dst, start, pixels);
        }, plain, stream, dst, 0, pixels, 1);
    else if (UseSsse3())
        done = RunVector([&](auto streamed, size_t start) {
            return ExpandSsse3<TARVIK_STREAMED>(src, dst, start, pixels);
        }, plain, stream, dst, 0, pixels, 1);
#endif
    plain(done, pixels);
}

namespace {

// Pixels of bytesPerPixel bytes, blue at byte blue and red at byte red, to
// blue, green, red.
void RearrangeRow(const uint8_t* src, uint8_t* dst, size_t pixels, bool stream, int bytesPerPixel,
                  int blue, int red, [[maybe_unused]] const void* masks)
{
    auto plain = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            const uint8_t* p = src + size_t(bytesPerPixel) * i;
            dst[3 * i] = p[blue];
            dst[3 * i + 1] = p[1];
            dst[3 * i + 2] = p[red];
        }
    };
    size_t done = 0;
#ifdef TARVIK_X86
    const auto& r = *static_cast<const Rearrange48*>(masks);
    if (UseAvx512())
        done = RunVector([&](auto streamed, size_t start) {
            return RearrangeAvx512(src, dst, start, pixels, bytesPerPixel, blue, red, TARVIK_STREAMED);
        }, plain, stream, dst, 0, pixels, 1, 64);
    else if (UseSsse3())
        done = RunVector([&](auto streamed, size_t start) {
            return bytesPerPixel == 3 ? RearrangeSsse3<3, TARVIK_STREAMED>(r, src, dst, start, pixels)
                                      : RearrangeSsse3<4, TARVIK_STREAMED>(r, src, dst, start, pixels);
        }, plain, stream, dst, 0, pixels, 1);
#endif
    plain(done, pixels);
}

}  // namespace

void CopyBgr(const uint8_t* src, uint8_t* dst, size_t pixels, bool stream)
{
    const size_t bytes = 3 * pixels;
    size_t done = 0;
#ifdef TARVIK_X86
    // memcpy streams only copies far larger than a row.
    if (stream && UseAvx512()) {
        done = std::min(bytes, size_t(-reinterpret_cast<uintptr_t>(dst) & 63));
        std::memcpy(dst, src, done);
        done += CopyAvx512(src + done, dst + done, bytes - done, true);
        _mm_sfence();
    }
#endif
    std::memcpy(dst + done, src + done, bytes - done);
}

void SwapRedBlue(const uint8_t* src, uint8_t* dst, size_t pixels, bool stream)
{
#ifdef TARVIK_X86
    const void* masks = &kSwap;
#else
    const void* masks = nullptr;
#endif
    RearrangeRow(src, dst, pixels, stream, 3, 2, 0, masks);
}

void DropAlpha(const uint8_t* src, uint8_t* dst, size_t pixels, bool rgba, bool stream)
{
#ifdef TARVIK_X86
    const void* masks = rgba ? &kRgbaToBgr : &kBgraToBgr;
#else
    const void* masks = nullptr;
#endif
    RearrangeRow(src, dst, pixels, stream, 4, rgba ? 2 : 0, rgba ? 0 : 2, masks);
}

void TopEightBits(const cam::PixelFormat& format, const uint8_t* src, uint8_t* dst, size_t pixels)
{
    if (format.packing == cam::Packing::Byte) {
        std::memcpy(dst, src, pixels);
        return;
    }
    size_t i = 0;
#ifdef TARVIK_X86
    if (UseAvx512())
        i = TopEightAvx512(format, src, dst, pixels, cam::RowBytes(format, pixels));
    if (format.packing == cam::Packing::Word) {
        if (UseAvx2())
            i += WordsAvx2(src + 2 * i, dst + i, pixels - i, format.bits);
    } else if (UseSsse3()) {
        const PackedPlan plan = PlanFor(format);
        const size_t rowBytes = cam::RowBytes(format, pixels);
        if (UseAvx2() && i == 0)
            i = PackedAvx2(src, dst, pixels, rowBytes, plan);
        const size_t skipped = i / 8 * plan.bytesPer8;  // i is a multiple of 8
        i += PackedSsse3(src + skipped, dst + i, pixels - i, rowBytes - skipped, plan);
    }
#endif
    const int shift = format.bits - 8;
    for (; i < pixels; ++i)
        dst[i] = uint8_t(cam::ReadSample(format, src, i) >> shift);
}

void AddTopEightBits(const cam::PixelFormat& format, const uint8_t* a, const uint8_t* b, uint16_t* sums,
                     size_t pixels)
{
    size_t i = 0;
#ifdef TARVIK_X86
    if (format.packing != cam::Packing::Byte && format.packing != cam::Packing::Word && UseAvx2(Kernel::Live)) {
        const PackedPlan plan = PlanFor(format);
        const size_t rowBytes = size_t(cam::RowBytes(format, pixels));
        i = b ? AddPackedAvx2<true>(a, b, sums, pixels, rowBytes, plan)
              : AddPackedAvx2<false>(a, b, sums, pixels, rowBytes, plan);
    }
#endif
    const int shift = format.bits - 8;
    for (; i < pixels; ++i)
        sums[i] = uint16_t(sums[i] + (cam::ReadSample(format, a, i) >> shift) +
                           (b ? cam::ReadSample(format, b, i) >> shift : 0));
}

size_t SumPackedBand(const cam::PixelFormat& format, const uint8_t* first, size_t rowBytes, uint32_t k,
                     int parities, uint16_t* sums, size_t pixels)
{
#ifdef TARVIK_X86
    if ((format.packing == cam::Packing::Lsb || format.packing == cam::Packing::GigePacked) && UseAvx2(Kernel::Live)) {
        const PackedPlan plan = PlanFor(format);
        const size_t held = size_t(cam::RowBytes(format, pixels));
        return parities == 2 ? SumPackedAvx2<2>(first, rowBytes, k, sums, pixels, held, plan)
                             : SumPackedAvx2<1>(first, rowBytes, k, sums, pixels, held, plan);
    }
#endif
    (void)format, (void)first, (void)rowBytes, (void)k, (void)parities, (void)sums, (void)pixels;
    return 0;
}

void YuvToBgr(const uint8_t* src, uint8_t* dst, size_t pixels, bool uyvy, bool limitedRange, bool stream)
{
    auto plain = [&](size_t from, size_t to) { YuvPlain(src, dst, from, to, uyvy, limitedRange); };
    size_t done = 0;
#ifdef TARVIK_X86
    // Pairs of pixels share their colour: steps start on even pixels.
    if (UseAvx512())
        done = RunVector([&](auto streamed, size_t start) {
            return YuvAvx512(src, dst, start, pixels, uyvy, limitedRange, TARVIK_STREAMED);
        }, plain, stream, dst, 0, pixels, 2, 64);
    else if (UseAvx2())
        done = RunVector([&](auto streamed, size_t start) {
            return YuvAvx2<TARVIK_STREAMED>(src, dst, start, pixels, uyvy, limitedRange);
        }, plain, stream, dst, 0, pixels, 2);
#endif
    plain(done, pixels);
}

void DemosaicRow(const uint8_t* above, const uint8_t* row, const uint8_t* below, uint8_t* dst,
                 size_t width, const char* pattern, uint64_t y, bool stream)
{
    if (!above || !below || width < 3) {
        DemosaicGeneric(above, row, below, dst, width, pattern, y, 0, width);
        return;
    }
    DemosaicGeneric(above, row, below, dst, width, pattern, y, 0, 1);
    const RowColours k = ColoursOf(pattern, y);
    auto plain = [&](size_t from, size_t to) { DemosaicInteriorPlain(above, row, below, dst, from, to, k); };
    size_t x = 1;
#ifdef TARVIK_X86
    if (UseAvx512(Kernel::Demosaic) && width >= 66) {
        // The pixels before the first streamed store's boundary and those
        // after the last whole step: one step each, stored as they lie and
        // overlapping the steps beside them, not up to 63 pixels each in
        // the plain loop (which took as long as the rest of the row).
        auto step = [&](size_t at, bool streamed) {
            return DemosaicAvx512(above, row, below, dst, at, std::min(width, at + 65), k.x, k.greenEven, streamed);
        };
        size_t start = 1;
        if (stream) {
            start = AlignedPixel(dst, 1, width - 1, 1, 64);  // at most 64 on
            step(1, false);
        }
        if (start + 64 < width) {
            DemosaicAvx512(above, row, below, dst, start, width, k.x, k.greenEven, stream);
            if (stream)
                _mm_sfence();  // streamed stores are seen before anything that follows
        }
        x = step(width - 65, false);
    } else if (UseAvx2(Kernel::Demosaic))
        x = RunVector([&](auto streamed, size_t start) {
            return DemosaicAvx2<TARVIK_STREAMED>(above, row, below, dst, start, width, k);
        }, plain, stream, dst, 1, width - 1, 1);
#endif
    plain(x, width - 1);
    DemosaicGeneric(above, row, below, dst, width, pattern, y, width - 1, width);
}

void DemosaicRow16(const uint16_t* above, const uint16_t* row, const uint16_t* below, uint16_t* dst,
                   size_t width, const char* pattern, uint64_t y)
{
    DemosaicGeneric(above, row, below, dst, width, pattern, y, 0, width);
}

}  // namespace imaging
