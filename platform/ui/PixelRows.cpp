// Grey-to-BGR expansion: SSSE3 byte shuffles where the processor has them
// (16 pixels per 3 stores), a plain loop elsewhere.
#include "PixelRows.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TARVIK_X86 1
#endif

namespace ui {

static void ExpandPlain(const uint8_t* src, uint8_t* dst, size_t pixels)
{
    for (size_t i = 0; i < pixels; ++i)
        dst[3 * i] = dst[3 * i + 1] = dst[3 * i + 2] = src[i];
}

#ifdef TARVIK_X86
__attribute__((target("ssse3"))) static void ExpandSsse3(const uint8_t* src, uint8_t* dst,
                                                          size_t pixels)
{
    const __m128i first = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m128i second = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m128i third = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    size_t i = 0;
    for (; i + 16 <= pixels; i += 16) {
        const __m128i grey = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        auto* out = reinterpret_cast<__m128i*>(dst + 3 * i);
        _mm_storeu_si128(out, _mm_shuffle_epi8(grey, first));
        _mm_storeu_si128(out + 1, _mm_shuffle_epi8(grey, second));
        _mm_storeu_si128(out + 2, _mm_shuffle_epi8(grey, third));
    }
    ExpandPlain(src + i, dst + 3 * i, pixels - i);
}
#endif

void ExpandGreyToBgr(const uint8_t* src, uint8_t* dst, size_t pixels)
{
#ifdef TARVIK_X86
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3) {
        ExpandSsse3(src, dst, pixels);
        return;
    }
#endif
    ExpandPlain(src, dst, pixels);
}

}  // namespace ui
