// TARVIK_SIMD read once, and the family in force.
#include "Simd.h"

#include "platform/camera/camtext.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
            std::fprintf(stderr, "%s\n", complaint.c_str());
        return family;
    }();
    return chosen;
}

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
