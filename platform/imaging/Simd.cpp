// TARVIK_SIMD read once, each kernel's default family and why, and the
// family in force.
#include "Simd.h"

#include "platform/camera/camtext.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <algorithm>
#include <string>

namespace imaging {
namespace {

constexpr const char* kNames[] = {"plain", "ssse3", "avx2", "avx512"};

Simd Detect()
{
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2"))
        return Simd::Avx512;
    if (__builtin_cpu_supports("avx2"))
        return Simd::Avx2;
    if (__builtin_cpu_supports("ssse3"))
        return Simd::Ssse3;
#endif
    return Simd::Plain;
}

// Kernels ask on every row: a relaxed load, set by tests between frames.
std::atomic<int> g_active{-1};

constexpr const char* kKernelNames[] = {"rows", "demosaic", "live", "statistics", "halftone"};

// The family each kernel runs fastest with, by maker, as the benchmarks in
// bench/ measured it (docs/building.md); a family the processor lacks gives
// way to its best. Makers without figures here (Intel among them) take the
// best family for every kernel. AMD EPYC with AVX-512, 20 MP frames, one
// thread, times in ms, AVX2 against AVX-512, several runs on a shared machine:
// - rows (convert_bench): AVX-512 wins where its wider lanes carry whole
//   pixels: YUV 4:2:2 16.0 against 9.6, Mono16 9.0 against 7.6, Mono12p
//   10.5 against 4.8, BGRa8 13.6 against 9.7; AVX2 wins RGB8 (7.8 / 8.8)
//   and Mono12Packed (7.3 / 8.8), by less.
// - demosaic (convert_bench, BayerRG8): AVX2 9.5 (0.56-0.57x OpenCV), AVX-512
//   11.0 (0.66-0.75x): its 3-row windows need cross-lane permutes that cost
//   more than the wider lanes save.
// - live (live_bench): AVX-512 everywhere, BayerRG8 k=8 6.9 against 1.1,
//   YUV422_8 8.4 against 3.2, Mono16 even (2.5 / 2.5).
// - statistics (check_bench): AVX-512 everywhere, 2.3 against 1.1-1.3 for
//   Mono8 and BayerRG8, 9-10 against 5 for RGB8 and YUV.
// - halftone (paint_bench): AVX-512 4.8 against AVX2 7.1.
struct Preference {
    Vendor vendor;
    Simd kernel[std::size(kKernels)];  // by Kernel
};
constexpr Preference kPreferences[] = {
    {Vendor::Amd, {Simd::Avx512, Simd::Avx2, Simd::Avx512, Simd::Avx512, Simd::Avx512}},
};

}  // namespace

const char* SimdName(Simd family) { return kNames[int(family)]; }

Simd SimdFromWord(const char* word, Simd best, std::string* complaint)
{
    complaint->clear();
    if (!word || !*word)
        return best;
    for (int i = 0; i <= int(Simd::Avx512); ++i) {
        if (std::strcmp(word, kNames[i]) != 0)
            continue;
        if (Simd(i) <= best)
            return Simd(i);
        *complaint = std::string("TARVIK_SIMD=") + word + ": this processor has no " + word + ", using " +
                     SimdName(best);
        return best;
    }
    *complaint = "TARVIK_SIMD=" + cam::Echoed(word) + " is not one of avx512, avx2, ssse3, plain; using " +
                 SimdName(best);
    return best;
}

Simd ProcessorSimd()
{
    static const Simd best = Detect();
    return best;
}

std::vector<Simd> ProcessorFamilies()
{
    std::vector<Simd> out;
    for (int i = 0; i <= int(ProcessorSimd()); ++i)
        out.push_back(Simd(i));
    return out;
}

Simd DefaultSimd()
{
    // Static: the complaint is said once, whoever asks first.
    static const Simd chosen = [] {
        std::string complaint;
        const Simd family = SimdFromWord(std::getenv("TARVIK_SIMD"), ProcessorSimd(), &complaint);
        if (!complaint.empty())
            std::fprintf(stderr, "tarvik: %s\n", complaint.c_str());
        return family;
    }();
    return chosen;
}

const char* KernelName(Kernel kernel) { return kKernelNames[int(kernel)]; }

Vendor ProcessorVendor()
{
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_is("amd"))
        return Vendor::Amd;
    if (__builtin_cpu_is("intel"))
        return Vendor::Intel;
#endif
    return Vendor::Other;
}

Simd PreferredSimd(Kernel kernel, Vendor vendor, Simd best)
{
    for (const Preference& p : kPreferences)
        if (p.vendor == vendor)
            return std::min(p.kernel[int(kernel)], best);
    return best;
}

Simd KernelDefault(Kernel kernel, const char* word, Vendor vendor, Simd best)
{
    if (!word || !*word)
        return PreferredSimd(kernel, vendor, best);
    std::string complaint;
    return SimdFromWord(word, best, &complaint);
}

Simd KernelSimd(Kernel kernel)
{
    const int active = g_active.load(std::memory_order_relaxed);
    if (active >= 0)
        return Simd(active);
    // TARVIK_SIMD, when set, names one family for all: it is how a fault is
    // pinned on one kernel family, or a figure compared.
    static const std::array<Simd, std::size(kKernels)> defaults = [] {
        DefaultSimd();  // says what is wrong with TARVIK_SIMD, once
        std::array<Simd, std::size(kKernels)> out{};
        for (Kernel k : kKernels)
            out[size_t(k)] = KernelDefault(k, std::getenv("TARVIK_SIMD"), ProcessorVendor(), ProcessorSimd());
        return out;
    }();
    return defaults[size_t(kernel)];
}

void ResetSimd() { g_active.store(-1, std::memory_order_relaxed); }

Simd ActiveSimd()
{
    const int active = g_active.load(std::memory_order_relaxed);
    return active >= 0 ? Simd(active) : DefaultSimd();
}

void SetSimd(Simd family)
{
    g_active.store(int(family <= ProcessorSimd() ? family : ProcessorSimd()), std::memory_order_relaxed);
}

}  // namespace imaging
