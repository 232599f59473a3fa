// The statistics in one pass over each row: 96 lanes of counters, as many
// as fit whole pixels of every sampling (1, 2, 3 or 4 samples apart), kept
// in vector registers where the processor has AVX2 (a plain loop elsewhere,
// with the same counts); each row's lanes are then added into their colour
// channel.
#include "PictureStats.h"

#include "PixelRows.h"
#include "platform/camera/campixel.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TARVIK_X86 1
#endif

namespace imaging {
namespace {

constexpr size_t kLanes = 96;
// Blocks of kLanes samples a lane takes before its counters are emptied:
// 255 still fits the 8-bit counts of the vector kernel.
constexpr size_t kBlocksPerRun = 255;

struct Lanes {
    uint16_t sum[kLanes];
    uint32_t squares[kLanes];
    uint16_t dark[kLanes], bright[kLanes];
    uint8_t minimum[kLanes], maximum[kLanes];
};

void AddBlocksPlain(const uint8_t* s, size_t blocks, Lanes& a)
{
    for (size_t b = 0; b < blocks; ++b, s += kLanes)
        for (size_t j = 0; j < kLanes; ++j) {
            const uint8_t v = s[j];
            a.sum[j] = uint16_t(a.sum[j] + v);
            a.squares[j] += uint32_t(v) * v;
            a.dark[j] = uint16_t(a.dark[j] + (v == 0));
            a.bright[j] = uint16_t(a.bright[j] + (v == 255));
            a.minimum[j] = std::min(a.minimum[j], v);
            a.maximum[j] = std::max(a.maximum[j], v);
        }
}

uint64_t GradientPlain(const uint8_t* s, size_t from, size_t n, size_t step)
{
    uint64_t total = 0;
    for (size_t i = from; i < n; ++i)
        total += uint64_t(std::abs(int(s[i]) - int(s[i - step])));
    return total;
}

#ifdef TARVIK_X86
// The vector kernels follow the row conversions' switch (UseAvx2), so that
// tests can check the plain loops against them.

// Lanes 32 g to 32 g + 31 over blocks blocks: every counter in a register.
__attribute__((target("avx2"))) void AddGroupAvx2(const uint8_t* s, size_t blocks, Lanes& a, size_t g)
{
    const size_t first = 32 * g;
    const __m256i zero = _mm256_setzero_si256(), full = _mm256_set1_epi8(-1);
    __m256i minimum = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.minimum + first));
    __m256i maximum = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.maximum + first));
    __m256i dark = zero, bright = zero, sum0 = zero, sum1 = zero, sq[4] = {zero, zero, zero, zero};
    for (size_t b = 0; b < blocks; ++b) {
        const uint8_t* p = s + b * kLanes + first;
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        minimum = _mm256_min_epu8(minimum, v);
        maximum = _mm256_max_epu8(maximum, v);
        dark = _mm256_sub_epi8(dark, _mm256_cmpeq_epi8(v, zero));
        bright = _mm256_sub_epi8(bright, _mm256_cmpeq_epi8(v, full));
        const __m256i lo = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        const __m256i hi = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        sum0 = _mm256_add_epi16(sum0, lo);
        sum1 = _mm256_add_epi16(sum1, hi);
        const __m256i lo2 = _mm256_mullo_epi16(lo, lo), hi2 = _mm256_mullo_epi16(hi, hi);
        sq[0] = _mm256_add_epi32(sq[0], _mm256_cvtepu16_epi32(_mm256_castsi256_si128(lo2)));
        sq[1] = _mm256_add_epi32(sq[1], _mm256_cvtepu16_epi32(_mm256_extracti128_si256(lo2, 1)));
        sq[2] = _mm256_add_epi32(sq[2], _mm256_cvtepu16_epi32(_mm256_castsi256_si128(hi2)));
        sq[3] = _mm256_add_epi32(sq[3], _mm256_cvtepu16_epi32(_mm256_extracti128_si256(hi2, 1)));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(a.minimum + first), minimum);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(a.maximum + first), maximum);
    alignas(32) uint8_t darks[32], brights[32];
    alignas(32) uint16_t sums[32];
    alignas(32) uint32_t squares[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(darks), dark);
    _mm256_store_si256(reinterpret_cast<__m256i*>(brights), bright);
    _mm256_store_si256(reinterpret_cast<__m256i*>(sums), sum0);
    _mm256_store_si256(reinterpret_cast<__m256i*>(sums + 16), sum1);
    for (int i = 0; i < 4; ++i)
        _mm256_store_si256(reinterpret_cast<__m256i*>(squares + 8 * i), sq[i]);
    for (size_t j = 0; j < 32; ++j) {
        a.sum[first + j] = uint16_t(a.sum[first + j] + sums[j]);
        a.squares[first + j] += squares[j];
        a.dark[first + j] = uint16_t(a.dark[first + j] + darks[j]);
        a.bright[first + j] = uint16_t(a.bright[first + j] + brights[j]);
    }
}

__attribute__((target("avx2"))) uint64_t GradientAvx2(const uint8_t* s, size_t n, size_t step, size_t* done)
{
    __m256i total = _mm256_setzero_si256();
    size_t i = step;
    for (; i + 32 <= n; i += 32)
        total = _mm256_add_epi64(total,
                                 _mm256_sad_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i)),
                                                 _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i - step))));
    alignas(32) uint64_t parts[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(parts), total);
    *done = i;
    return parts[0] + parts[1] + parts[2] + parts[3];
}
#endif

// One row of a sampling that repeats every 1 or 2 samples (grey, Bayer),
// counted by column parity ("kind" 0 even, 1 odd), with the row's
// gradient and its moment: the sum of each sample times its index / 32,
// which moves when the picture does, where sums alone would not notice a
// sideways move.
struct Parities {
    uint64_t sum[2] = {}, squares[2] = {}, dark[2] = {}, bright[2] = {};
    int minimum[2] = {255, 255}, maximum[2] = {0, 0};
    uint64_t gradient = 0, moment = 0;
};

void ParitiesPlain(const uint8_t* s, size_t from, size_t n, size_t step, Parities& p)
{
    for (size_t i = from; i < n; ++i) {
        const uint8_t v = s[i];
        const size_t k = i & 1;
        p.sum[k] += v;
        p.squares[k] += uint32_t(v) * v;
        p.dark[k] += v == 0;
        p.bright[k] += v == 255;
        p.minimum[k] = std::min<int>(p.minimum[k], v);
        p.maximum[k] = std::max<int>(p.maximum[k], v);
        p.moment += uint64_t(i / 32) * v;
        if (i >= step)
            p.gradient += uint64_t(std::abs(int(v) - int(s[i - step])));
    }
}

#ifdef TARVIK_X86
// Empties the 8-bit counts and 32-bit squares, which would overflow after
// 255 blocks, into the 64-bit sums.
__attribute__((target("avx2"))) inline void EmptyCounts(__m256i& dark8, __m256i& bright8, __m256i squares32[2],
                                                        __m256i& dark, __m256i& bright, __m256i squares[2])
{
    const __m256i zero = _mm256_setzero_si256();
    dark = _mm256_add_epi64(dark, _mm256_sad_epu8(dark8, zero));
    bright = _mm256_add_epi64(bright, _mm256_sad_epu8(bright8, zero));
    for (int i = 0; i < 2; ++i) {
        // Words 0-3 of each half were even columns, 4-7 odd.
        squares[0] = _mm256_add_epi64(squares[0], _mm256_cvtepu32_epi64(_mm256_castsi256_si128(squares32[i])));
        squares[1] = _mm256_add_epi64(squares[1], _mm256_cvtepu32_epi64(_mm256_extracti128_si256(squares32[i], 1)));
    }
    dark8 = bright8 = squares32[0] = squares32[1] = zero;
}

__attribute__((target("avx2"), always_inline)) inline __m256i Load(const uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("avx2"), always_inline)) inline void Store(__m256i x, uint64_t* q)
{
    _mm256_store_si256(reinterpret_cast<__m256i*>(q), x);
}

// One block of 32 samples into the counters; Split: each 16 samples put in
// order even columns, then odd, so that every sum over 8 neighbouring bytes
// or 2 neighbouring words is of one parity.
struct ParityCounts {
    __m256i minimum, maximum, sum, running, dark8, bright8, squares32[2];
};

template <bool Split>
__attribute__((target("avx2"), always_inline)) inline void CountBlock(__m256i v, ParityCounts& c)
{
    const __m256i zero = _mm256_setzero_si256();
    if (Split)
        v = _mm256_shuffle_epi8(v, _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15, 0, 2, 4,
                                                    6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15));
    c.minimum = _mm256_min_epu8(c.minimum, v);
    c.maximum = _mm256_max_epu8(c.maximum, v);
    c.dark8 = _mm256_sub_epi8(c.dark8, _mm256_cmpeq_epi8(v, zero));
    c.bright8 = _mm256_sub_epi8(c.bright8, _mm256_cmpeq_epi8(v, _mm256_set1_epi8(-1)));
    c.sum = _mm256_add_epi64(c.sum, _mm256_sad_epu8(v, zero));  // even, odd, even, odd when split
    c.running = _mm256_add_epi64(c.running, c.sum);
    const __m256i lo = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(v));
    const __m256i hi = _mm256_cvtepu8_epi16(_mm256_extracti128_si256(v, 1));
    c.squares32[0] = _mm256_add_epi32(c.squares32[0], _mm256_madd_epi16(lo, lo));
    c.squares32[1] = _mm256_add_epi32(c.squares32[1], _mm256_madd_epi16(hi, hi));
}

// The row's whole 32-sample blocks into p; returns how many samples that is.
template <bool Split>
__attribute__((target("avx2"))) size_t ParitiesAvx2(const uint8_t* s, size_t n, size_t step, Parities& p)
{
    const size_t blocks = n / 32;
    if (blocks == 0 || step > 32)
        return 0;
    const __m256i zero = _mm256_setzero_si256();
    ParityCounts c{_mm256_set1_epi8(-1), zero, zero, zero, zero, zero, {zero, zero}};
    __m256i gradient = zero, dark = zero, bright = zero, squares[2] = {zero, zero};
    CountBlock<Split>(Load(s), c);
    for (size_t b = 1; b < blocks; ++b) {
        const __m256i v = Load(s + 32 * b);
        gradient = _mm256_add_epi64(gradient, _mm256_sad_epu8(v, Load(s + 32 * b - step)));
        CountBlock<Split>(v, c);
        if (b % 255 == 254)
            EmptyCounts(c.dark8, c.bright8, c.squares32, dark, bright, squares);
    }
    EmptyCounts(c.dark8, c.bright8, c.squares32, dark, bright, squares);
    alignas(32) uint64_t q[4], r[4];
    Store(c.sum, q);
    p.sum[0] += q[0] + q[2], p.sum[1] += q[1] + q[3];
    // Each block's sum was added into running once for itself and each block
    // after it: sum x blocks - running is the sum of block index x block sum.
    _mm256_store_si256(reinterpret_cast<__m256i*>(r), c.running);
    p.moment += (q[0] + q[1] + q[2] + q[3]) * blocks - (r[0] + r[1] + r[2] + r[3]);
    Store(dark, q);
    p.dark[0] += q[0] + q[2], p.dark[1] += q[1] + q[3];
    Store(bright, q);
    p.bright[0] += q[0] + q[2], p.bright[1] += q[1] + q[3];
    for (int k = 0; k < 2; ++k) {
        Store(squares[k], q);
        p.squares[k] += q[0] + q[1] + q[2] + q[3];
    }
    Store(gradient, q);
    p.gradient += q[0] + q[1] + q[2] + q[3];
    alignas(32) uint8_t low[32], high[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(low), c.minimum);
    _mm256_store_si256(reinterpret_cast<__m256i*>(high), c.maximum);
    for (size_t j = 0; j < 32; ++j) {
        const size_t k = j % 16 < 8 ? 0 : 1;
        p.minimum[k] = std::min<int>(p.minimum[k], low[j]);
        p.maximum[k] = std::max<int>(p.maximum[k], high[j]);
    }
    // The gradient of the first block, which has no block before it.
    for (size_t i = step; i < 32; ++i)
        p.gradient += uint64_t(std::abs(int(s[i]) - int(s[i - step])));
    return blocks * 32;
}
#endif

// The Parities of a row of n samples.
Parities RowParities(const uint8_t* s, size_t n, size_t step)
{
    Parities p;
    size_t done = 0;
#ifdef TARVIK_X86
    if (UseAvx2())
        done = step == 2 ? ParitiesAvx2<true>(s, n, step, p) : ParitiesAvx2<false>(s, n, step, p);
#endif
    ParitiesPlain(s, done, n, step, p);
    return p;
}

// Adds blocks of kLanes samples (at most kBlocksPerRun) into the lanes.
void AddBlocks(const uint8_t* s, size_t blocks, Lanes& a)
{
#ifdef TARVIK_X86
    if (UseAvx2()) {
        for (size_t g = 0; g < kLanes / 32; ++g)
            AddGroupAvx2(s, blocks, a, g);
        return;
    }
#endif
    AddBlocksPlain(s, blocks, a);
}

// Sum of the absolute differences of each sample and the one step before it.
uint64_t Gradient(const uint8_t* s, size_t n, size_t step)
{
    size_t done = step;
    uint64_t total = 0;
#ifdef TARVIK_X86
    if (UseAvx2())
        total = GradientAvx2(s, n, step, &done);
#endif
    return total + GradientPlain(s, done, n, step);
}

// Which channel each sample of a row is, by its position modulo period,
// for rows of even and of odd index; -1 for samples not counted (alpha).
struct Layout {
    size_t period = 1;
    std::vector<std::string> channels[2];
};

std::string ColourName(char c)
{
    switch (c) {
    case 'R': return "red";
    case 'G': return "green";
    case 'B': return "blue";
    default: return std::string(1, c);
    }
}

Layout LayoutOf(const cam::PixelFormat& format)
{
    Layout l;
    switch (format.sampling) {
    case cam::Sampling::Mono: l.channels[0] = l.channels[1] = {"grey"}; break;
    case cam::Sampling::Bayer:
        l.period = 2;
        for (uint64_t y = 0; y < 2; ++y)
            for (uint64_t x = 0; x < 2; ++x)
                l.channels[y].push_back(ColourName(cam::BayerColour(format, x, y)));
        break;
    case cam::Sampling::Colour:
    case cam::Sampling::Yuv422:
        for (const char* c = format.order; *c; ++c)
            l.channels[0].push_back(*c == 'a' ? std::string() : ColourName(*c));
        l.period = l.channels[0].size();
        l.channels[1] = l.channels[0];
        break;
    }
    return l;
}

}  // namespace

bool PictureStats::Add(const Frame& frame)
{
    const cam::PixelFormat* format = frame.pixelFormat ? cam::FindPixelFormat(frame.pixelFormat) : nullptr;
    if (!format)
        return false;
    const Layout layout = LayoutOf(*format);
    // Lanes to channel indices, per row parity.
    std::vector<int> laneChannel[2];
    for (int parity = 0; parity < 2; ++parity)
        for (size_t j = 0; j < kLanes; ++j) {
            const std::string& name = layout.channels[parity][j % layout.period];
            int index = -1;
            if (!name.empty()) {
                index = int(std::find(names_.begin(), names_.end(), name) - names_.begin());
                if (size_t(index) == names_.size()) {
                    names_.push_back(name);
                    totals_.emplace_back();
                }
            }
            laneChannel[parity].push_back(index);
        }
    const bool eightBits = format->packing == cam::Packing::Byte;
    const uint64_t rowBytes = cam::RowBytes(*format, frame.width);
    const size_t samples = size_t(frame.width) * (eightBits ? size_t(format->bitsPerPixel / 8) : 1);
    const uint64_t rows = rowBytes && frame.data ? std::min<uint64_t>(frame.height, frame.size / rowBytes) : 0;
    if (!eightBits)
        row_.resize(samples);
    // The frame's fingerprint, for telling whether frames change: FNV-1a
    // over the lanes' sums each time they are emptied and over 8 bytes of
    // each row at a place that moves from row to row.
    uint64_t print = 14695981039346656037ull;
    auto mix = [&print](uint64_t v) { print = (print ^ v) * 1099511628211ull; };
    // Lanes for rows of even and of odd index (their channels differ in
    // Bayer mosaics), emptied into the totals every kBlocksPerRun blocks.
    Lanes lanes[2];
    size_t used[2] = {0, 0};
    auto empty = [&](int parity) {
        Lanes& l = lanes[parity];
        for (size_t j = 0; j < kLanes && used[parity]; ++j) {
            mix(uint64_t(l.sum[j]) << 32 | l.squares[j]);
            const int c = laneChannel[parity][j];
            if (c < 0)
                continue;
            Totals& t = totals_[size_t(c)];
            t.samples += used[parity];
            t.sum += l.sum[j];
            t.squares += l.squares[j];
            t.dark += l.dark[j];
            t.bright += l.bright[j];
            t.minimum = std::min<int>(t.minimum, l.minimum[j]);
            t.maximum = std::max<int>(t.maximum, l.maximum[j]);
        }
        std::memset(&l, 0, sizeof l);
        std::memset(l.minimum, 255, sizeof l.minimum);
        used[parity] = 0;
    };
    empty(0);
    empty(1);
    for (uint64_t y = 0; y < rows; ++y) {
        const uint8_t* s = frame.data + y * rowBytes;
        if (!eightBits) {
            TopEightBits(*format, s, row_.data(), samples);
            s = row_.data();
        }
        const int parity = int(y % 2);
        pairs_ += samples > layout.period ? samples - layout.period : 0;
        if (layout.period <= 2) {
            const Parities p = RowParities(s, samples, layout.period);
            gradient_ += p.gradient;
            mix(p.moment);
            for (size_t k = 0; k < 2; ++k) {
                mix(p.sum[k] << 32 ^ p.squares[k]);
                Totals& t = totals_[size_t(laneChannel[parity][k])];
                t.samples += samples / 2 + (k == 0 ? samples % 2 : 0);
                t.sum += p.sum[k];
                t.squares += p.squares[k];
                t.dark += p.dark[k];
                t.bright += p.bright[k];
                t.minimum = std::min(t.minimum, p.minimum[k]);
                t.maximum = std::max(t.maximum, p.maximum[k]);
            }
            continue;
        }
        gradient_ += Gradient(s, samples, layout.period);
        const size_t blocks = samples / kLanes;
        for (size_t done = 0; done < blocks;) {
            const size_t run = std::min(kBlocksPerRun - used[parity], blocks - done);
            AddBlocks(s + done * kLanes, run, lanes[parity]);
            used[parity] += run;
            done += run;
            if (used[parity] == kBlocksPerRun)
                empty(parity);
        }
        const std::vector<int>& channel = laneChannel[parity];
        for (size_t i = blocks * kLanes; i < samples; ++i) {
            const uint8_t v = s[i];
            mix(v);
            if (channel[i % kLanes] < 0)
                continue;
            Totals& t = totals_[size_t(channel[i % kLanes])];
            ++t.samples;
            t.sum += v;
            t.squares += uint64_t(v) * v;
            t.dark += v == 0;
            t.bright += v == 255;
            t.minimum = std::min<int>(t.minimum, v);
            t.maximum = std::max<int>(t.maximum, v);
        }
        if (samples >= 8) {
            uint64_t eight;
            std::memcpy(&eight, s + (y * 7919) % (samples - 7), 8);
            mix(eight);
        }
    }
    empty(0);
    empty(1);
    changed_ += frames_ > 0 && print != lastPrint_;
    lastPrint_ = print;
    ++frames_;
    return true;
}

PictureSummary PictureStats::Summary() const
{
    PictureSummary summary;
    summary.frames = frames_;
    summary.changed = changed_;
    summary.sharpness = pairs_ ? double(gradient_) / double(pairs_) : 0;
    for (size_t i = 0; i < names_.size(); ++i) {
        const Totals& t = totals_[i];
        ChannelStats c;
        c.name = names_[i];
        c.samples = t.samples;
        if (t.samples) {
            const double n = double(t.samples);
            c.mean = double(t.sum) / n;
            c.deviation = std::sqrt(std::max(0.0, double(t.squares) / n - c.mean * c.mean));
            c.minimum = t.minimum;
            c.maximum = t.maximum;
            c.dark = double(t.dark) / n;
            c.bright = double(t.bright) / n;
        }
        summary.channels.push_back(c);
    }
    return summary;
}

}  // namespace imaging
