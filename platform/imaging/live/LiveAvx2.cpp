// Live view's reduction of YUV 4:2:2 bands with AVX2: 16 pixels of each of
// a band's rows converted in registers (the AVX-512 kernel's arithmetic, see
// LiveAvx512.cpp's YuvPixels) and added down the band there, the column sums
// stored once a band, where the portable path converts each row into memory
// and then adds it.
#include "LiveKernels.h"

#include "platform/imaging/YuvFixedPoint.h"

#include "platform/imaging/X86.h"

namespace imaging {

#ifdef TARVIK_X86
namespace {

#define TARVIK_AVX2 __attribute__((target("avx2")))

// Swaps the two 16-bit halves of each 32-bit lane.
TARVIK_AVX2 inline __m256i SwapHalves(__m256i v)
{
    return _mm256_shuffle_epi8(v, _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0, 1,
                                                   6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
}

// 16 pixels to blue, green, red in 16-bit lanes, 0 to 255 (over the full
// range blue and red come mixed per pair, as in the AVX-512 kernel).
template <bool Uyvy, bool Limited>
TARVIK_AVX2 inline void YuvPixels(__m256i in, __m256i& b, __m256i& g, __m256i& r)
{
    constexpr YuvCoefficients k = Limited ? kLimited : kFull;
    const __m256i chroma = _mm256_sub_epi16(_mm256_maddubs_epi16(in, _mm256_set1_epi16(Uyvy ? 0x20 : 0x2000)),
                                            _mm256_set1_epi16(4096));
    if constexpr (!Limited) {
        const __m256i bias = _mm256_set1_epi16(32767 - 255), round = _mm256_set1_epi16(1024);
        const __m256i y = Uyvy ? _mm256_or_si256(_mm256_srli_epi16(in, 8), bias)
                               : _mm256_or_si256(_mm256_and_si256(in, _mm256_set1_epi16(0xff)), bias);
        const __m256i blueRed = _mm256_mulhrs_epi16(
            _mm256_add_epi16(chroma, _mm256_mulhrs_epi16(chroma, _mm256_set1_epi32(int(k.bu) | int(k.rv) << 16))),
            round);
        const __m256i parts =
            _mm256_mulhrs_epi16(chroma, _mm256_set1_epi32(int((uint32_t(-k.gu) & 0xffff) | uint32_t(-k.gv) << 16)));
        const __m256i green = _mm256_mulhrs_epi16(_mm256_add_epi16(parts, SwapHalves(parts)), round);
        b = _mm256_subs_epu16(_mm256_adds_epi16(y, blueRed), bias);
        g = _mm256_subs_epu16(_mm256_adds_epi16(y, green), bias);
        r = _mm256_subs_epu16(_mm256_adds_epi16(SwapHalves(y), blueRed), bias);
    } else {
        const __m256i zero = _mm256_setzero_si256(), c16 = _mm256_set1_epi16(16), top = _mm256_set1_epi16(255);
        const __m256i y = Uyvy ? _mm256_srli_epi16(in, 8) : _mm256_and_si256(in, _mm256_set1_epi16(0xff));
        const __m256i u5 = _mm256_shuffle_epi8(
            chroma, _mm256_setr_epi8(0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13, 0, 1, 0, 1, 4, 5, 4, 5, 8, 9,
                                     8, 9, 12, 13, 12, 13));
        const __m256i v5 = _mm256_shuffle_epi8(
            chroma, _mm256_setr_epi8(2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15, 2, 3, 2, 3, 6, 7, 6, 7,
                                     10, 11, 10, 11, 14, 15, 14, 15));
        __m256i y5 = _mm256_slli_epi16(_mm256_sub_epi16(y, c16), 5);
        y5 = _mm256_add_epi16(y5, _mm256_mulhrs_epi16(y5, _mm256_set1_epi16(int16_t(k.y))));
        y5 = _mm256_add_epi16(y5, c16);
        b = _mm256_add_epi16(_mm256_add_epi16(y5, _mm256_slli_epi16(u5, 1)),
                             _mm256_mulhrs_epi16(u5, _mm256_set1_epi16(int16_t(k.bu))));
        g = _mm256_sub_epi16(_mm256_sub_epi16(y5, _mm256_mulhrs_epi16(u5, _mm256_set1_epi16(int16_t(k.gu)))),
                             _mm256_mulhrs_epi16(v5, _mm256_set1_epi16(int16_t(k.gv))));
        r = _mm256_add_epi16(_mm256_add_epi16(y5, v5), _mm256_mulhrs_epi16(v5, _mm256_set1_epi16(int16_t(k.rv))));
        b = _mm256_min_epi16(_mm256_max_epi16(_mm256_srai_epi16(b, 5), zero), top);
        g = _mm256_min_epi16(_mm256_max_epi16(_mm256_srai_epi16(g, 5), zero), top);
        r = _mm256_min_epi16(_mm256_max_epi16(_mm256_srai_epi16(r, 5), zero), top);
    }
}

template <bool Uyvy, bool Limited>
TARVIK_AVX2 size_t Columns(const uint8_t* first, size_t rowBytes, uint32_t k, size_t pixels, uint16_t* const sums[3])
{
    size_t i = 0;
    for (; i + 16 <= pixels; i += 16) {
        __m256i s[3] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
        const uint8_t* p = first + 2 * i;
        for (uint32_t j = 0; j < k; ++j, p += rowBytes) {
            __m256i b, g, r;
            // Each row ahead, as the AVX-512 kernel does: k rows read side by
            // side are more streams than the processor follows on its own.
            _mm_prefetch(reinterpret_cast<const char*>(p + 256), _MM_HINT_T0);
            YuvPixels<Uyvy, Limited>(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), b, g, r);
            s[0] = _mm256_add_epi16(s[0], b);
            s[1] = _mm256_add_epi16(s[1], g);
            s[2] = _mm256_add_epi16(s[2], r);
        }
        if constexpr (!Limited) {
            // Per pair: the first sums hold blue of the first pixel and red of
            // the second, the last blue of the second and red of the first.
            const __m256i mixed = s[0], swapped = s[2];
            s[0] = _mm256_blend_epi16(mixed, _mm256_slli_epi32(swapped, 16), 0xAA);
            s[2] = _mm256_blend_epi16(_mm256_srli_epi32(swapped, 16), mixed, 0xAA);
        }
        for (int c = 0; c < 3; ++c)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums[c] + i), s[c]);
    }
    return i;
}

}  // namespace

size_t YuvColumnsAvx2(const uint8_t* first, size_t rowBytes, uint32_t k, size_t pixels, bool uyvy, bool limited,
                      uint16_t* const sums[3])
{
    if (uyvy)
        return limited ? Columns<true, true>(first, rowBytes, k, pixels, sums)
                       : Columns<true, false>(first, rowBytes, k, pixels, sums);
    return limited ? Columns<false, true>(first, rowBytes, k, pixels, sums)
                   : Columns<false, false>(first, rowBytes, k, pixels, sums);
}

#else

size_t YuvColumnsAvx2(const uint8_t*, size_t, uint32_t, size_t, bool, bool, uint16_t* const[3]) { return 0; }

#endif

}  // namespace imaging
