// A separable filter: per axis a table of taps (first source index and integer
// weights) built from the covered area or from bilinear interpolation; rows
// are first combined vertically into one accumulator row, then horizontally.
// With AVX2 or AVX-512 (the switch, Simd.h) the vertical sums in 32 bits come
// from HalftoneSimd.cpp's kernels, the row's tail and every other case from
// the plain loop.
#include "Halftone.h"

#include "HalftoneKernels.h"
#include "platform/imaging/Simd.h"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

namespace imaging {
namespace {

// Weights are in 1/256 of a source pixel; sums are divided exactly, so the
// rounding of the weights never shifts the mean.
constexpr int kOne = 256;

struct Taps {
    std::vector<int> first;   // per output index
    std::vector<int> count;   // per output index
    std::vector<int> offset;  // into weights, per output index
    std::vector<uint32_t> weights;
    std::vector<uint64_t> total;  // sum of the weights, per output index
};

// Area average: output i covers source [i * s, (i + 1) * s) with s = src / dst.
Taps AreaTaps(int src, int dst)
{
    Taps t;
    const double scale = double(src) / dst;
    for (int i = 0; i < dst; ++i) {
        const double begin = i * scale, end = std::min<double>(src, (i + 1) * scale);
        int first = std::min(src - 1, int(begin));
        int last = std::max(first, std::min(src - 1, int(std::ceil(end)) - 1));
        t.first.push_back(first);
        t.count.push_back(last - first + 1);
        t.offset.push_back(int(t.weights.size()));
        uint64_t sum = 0;
        for (int k = first; k <= last; ++k) {
            const double covered = std::min<double>(end, k + 1) - std::max<double>(begin, k);
            uint32_t w = uint32_t(std::lround(std::max(0.0, covered) * kOne));
            t.weights.push_back(w);
            sum += w;
        }
        if (sum == 0) {  // a sliver thinner than the weight unit
            t.weights[t.offset.back()] = 1;
            sum = 1;
        }
        t.total.push_back(sum);
    }
    return t;
}

// Bilinear: output i samples the source at its centre, (i + 0.5) * s - 0.5.
Taps BilinearTaps(int src, int dst)
{
    Taps t;
    const double scale = double(src) / dst;
    for (int i = 0; i < dst; ++i) {
        const double at = std::clamp((i + 0.5) * scale - 0.5, 0.0, double(src - 1));
        const int first = std::min(int(at), src - 1);
        const uint32_t w1 = uint32_t(std::lround((at - first) * kOne));
        t.first.push_back(first);
        t.offset.push_back(int(t.weights.size()));
        if (w1 == 0 || first + 1 >= src) {
            t.count.push_back(1);
            t.weights.push_back(kOne);
        } else {
            t.count.push_back(2);
            t.weights.push_back(kOne - w1);
            t.weights.push_back(w1);
        }
        t.total.push_back(kOne);
    }
    return t;
}

Taps TapsFor(int src, int dst) { return dst < src ? AreaTaps(src, dst) : BilinearTaps(src, dst); }

// acc[i] (+)= weight * row[i] over a whole row: the hot loop, kept simple
// enough for the compiler to vectorise.
template <class Acc>
void Accumulate(Acc* __restrict acc, const uint8_t* __restrict row, size_t n, uint32_t weight,
                bool first)
{
    if (first) {
        for (size_t i = 0; i < n; ++i)
            acc[i] = Acc(weight) * row[i];
    } else {
        for (size_t i = 0; i < n; ++i)
            acc[i] += Acc(weight) * row[i];
    }
}

// The vertical sums of one output row: a kernel's whole steps, then the
// plain loop for the rest (all of it without a kernel, or with 64-bit sums).
template <class Acc>
void WeighRows(const WeightedRows& in, Acc* acc, size_t n)
{
    size_t done = 0;
    if constexpr (std::is_same_v<Acc, uint32_t>) {
        if (SimdAtLeast(Kernel::Halftone, Simd::Avx512))
            done = WeighRowsAvx512(in, acc, n);
        else if (SimdAtLeast(Kernel::Halftone, Simd::Avx2))
            done = WeighRowsAvx2(in, acc, n);
    }
    for (int k = 0; k < in.count; ++k)
        Accumulate(acc + done, in.rows[k] + done, n - done, in.weights[k], k == 0);
}

template <class Acc>
void Stretch(const BgrView& src, const Taps& tx, const Taps& ty, uint32_t* dst, int dstWidth,
             int dstHeight, ptrdiff_t dstStride)
{
    const size_t rowBytes = size_t(src.width) * 3;
    std::vector<Acc> acc(rowBytes);
    std::vector<const uint8_t*> rows;
    for (int y = 0; y < dstHeight; ++y) {
        rows.clear();
        for (int k = 0; k < ty.count[y]; ++k)
            rows.push_back(src.top + ptrdiff_t(ty.first[y] + k) * src.pitch);
        WeighRows(WeightedRows{rows.data(), ty.weights.data() + ty.offset[y], ty.count[y]}, acc.data(), rowBytes);
        uint32_t* out = dst + ptrdiff_t(y) * dstStride;
        for (int x = 0; x < dstWidth; ++x) {
            const Acc* a = acc.data() + size_t(tx.first[x]) * 3;
            const uint32_t* w = tx.weights.data() + tx.offset[x];
            uint64_t b = 0, g = 0, r = 0;
            for (int k = 0; k < tx.count[x]; ++k, a += 3) {
                b += uint64_t(w[k]) * a[0];
                g += uint64_t(w[k]) * a[1];
                r += uint64_t(w[k]) * a[2];
            }
            const uint64_t div = tx.total[x] * ty.total[y];
            const uint32_t bb = uint32_t((b + div / 2) / div), gg = uint32_t((g + div / 2) / div),
                           rr = uint32_t((r + div / 2) / div);
            out[x] = 0xff000000u | (rr << 16) | (gg << 8) | bb;
        }
    }
}

}  // namespace

void HalftoneStretch(const BgrView& src, uint32_t* dst, int dstWidth, int dstHeight,
                     ptrdiff_t dstStride)
{
    if (!src.top || src.width <= 0 || src.height <= 0 || !dst || dstWidth <= 0 || dstHeight <= 0)
        return;
    const Taps tx = TapsFor(src.width, dstWidth);
    const Taps ty = TapsFor(src.height, dstHeight);
    // 32-bit sums are enough unless a very tall picture is squeezed very flat.
    const uint64_t largest = *std::max_element(ty.total.begin(), ty.total.end()) * 255;
    if (largest <= UINT32_MAX)
        Stretch<uint32_t>(src, tx, ty, dst, dstWidth, dstHeight, dstStride);
    else
        Stretch<uint64_t>(src, tx, ty, dst, dstWidth, dstHeight, dstStride);
}

}  // namespace imaging
