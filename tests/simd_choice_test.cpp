// Each kernel's default instruction-set family: the fastest measured on the
// processor's maker, never one it lacks, and TARVIK_SIMD or SetSimd above it.
#include "platform/imaging/Simd.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using imaging::Kernel;
using imaging::Simd;
using imaging::Vendor;

TEST(SimdChoice, ByMakerKernelAndWord)
{
    struct Case {
        const char* word;  // TARVIK_SIMD, null: unset
        Vendor vendor;
        Simd best;
        Kernel kernel;
        Simd expected;
    } cases[] = {
        // AMD: the Bayer demosaic is faster with AVX2, the rest with AVX-512.
        {nullptr, Vendor::Amd, Simd::Avx512, Kernel::Demosaic, Simd::Avx2},
        {nullptr, Vendor::Amd, Simd::Avx512, Kernel::Rows, Simd::Avx512},
        {nullptr, Vendor::Amd, Simd::Avx512, Kernel::Live, Simd::Avx512},
        {nullptr, Vendor::Amd, Simd::Avx512, Kernel::Stats, Simd::Avx512},
        {nullptr, Vendor::Amd, Simd::Avx512, Kernel::Halftone, Simd::Avx512},
        {"", Vendor::Amd, Simd::Avx512, Kernel::Demosaic, Simd::Avx2},
        // Never a family the processor lacks.
        {nullptr, Vendor::Amd, Simd::Avx2, Kernel::Stats, Simd::Avx2},
        {nullptr, Vendor::Amd, Simd::Ssse3, Kernel::Demosaic, Simd::Ssse3},
        {nullptr, Vendor::Amd, Simd::Avx2, Kernel::Demosaic, Simd::Avx2},
        {nullptr, Vendor::Amd, Simd::Plain, Kernel::Halftone, Simd::Plain},
        // Makers without figures: the best family everywhere.
        {nullptr, Vendor::Intel, Simd::Avx512, Kernel::Demosaic, Simd::Avx512},
        {nullptr, Vendor::Other, Simd::Avx2, Kernel::Live, Simd::Avx2},
        // TARVIK_SIMD names one family for every kernel, even a slower one.
        {"avx512", Vendor::Amd, Simd::Avx512, Kernel::Demosaic, Simd::Avx512},
        {"plain", Vendor::Amd, Simd::Avx512, Kernel::Stats, Simd::Plain},
        {"ssse3", Vendor::Intel, Simd::Avx512, Kernel::Halftone, Simd::Ssse3},
        {"avx512", Vendor::Amd, Simd::Avx2, Kernel::Live, Simd::Avx2},
        // A word that names none gives the best, as its complaint says.
        {"fast", Vendor::Amd, Simd::Avx512, Kernel::Demosaic, Simd::Avx512},
    };
    for (const Case& c : cases)
        EXPECT_EQ(imaging::KernelDefault(c.kernel, c.word, c.vendor, c.best), c.expected)
            << (c.word ? c.word : "unset") << " " << int(c.vendor) << " " << imaging::SimdName(c.best) << " "
            << imaging::KernelName(c.kernel);
}

// In this process: each kernel its default until SetSimd, which forces all
// of them, and ResetSimd gives the defaults back.
TEST(SimdChoice, SetAndReset)
{
    imaging::ResetSimd();
    for (Kernel k : imaging::kKernels)
        EXPECT_EQ(imaging::KernelSimd(k), imaging::KernelDefault(k, std::getenv("TARVIK_SIMD"),
                                                                 imaging::ProcessorVendor(), imaging::ProcessorSimd()))
            << imaging::KernelName(k);
    imaging::SetSimd(Simd::Plain);
    for (Kernel k : imaging::kKernels)
        EXPECT_EQ(imaging::KernelSimd(k), Simd::Plain) << imaging::KernelName(k);
    imaging::SetSimd(imaging::ProcessorSimd());
    for (Kernel k : imaging::kKernels)
        EXPECT_EQ(imaging::KernelSimd(k), imaging::ProcessorSimd()) << imaging::KernelName(k);
    imaging::ResetSimd();
    EXPECT_EQ(imaging::ActiveSimd(), imaging::DefaultSimd());
}

}  // namespace
