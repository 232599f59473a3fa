// One table a benchmark: a row per format, a column per instruction-set
// family the processor has (imaging::SetSimd), each figure the best of
// several runs as a ratio against the row's anchor, measured in the same run;
// a star marks each row's figure of the family its kernel uses by default here.
#pragma once

#include "Timing.h"
#include "platform/imaging/Simd.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct FamilyRow {
    std::string name;
    std::string anchor;   // what the ratios are against
    std::string targets;  // the targets, AVX-512 / AVX2
    // The anchor's time: fixed (OpenCV, memcpy), or another row of this
    // table in the same family (anchorRow >= 0).
    std::function<void()> anchorRun;
    int anchorRow = -1;
    std::function<void()> ours;
    // The kernel the row times, when not the table's (the Bayer rows of the
    // conversions: the demosaic).
    std::optional<imaging::Kernel> kernel = std::nullopt;
};

// Measures every row in every family and prints the table; returns the
// times, [row][family].
inline std::vector<std::vector<double>> FamilyTable(const char* title, imaging::Kernel kernel,
                                                    const std::vector<FamilyRow>& rows, int runs)
{
    const std::vector<imaging::Simd> families = imaging::ProcessorFamilies();
    std::vector<std::vector<double>> ms(rows.size(), std::vector<double>(families.size()));
    std::vector<double> anchors(rows.size(), 1e300);
    // Runs of every row and family take turns, so that a busy moment of a
    // shared machine does not fall on one family.
    for (auto& row : ms)
        row.assign(families.size(), 1e300);
    for (int run = 0; run < runs; ++run)
        for (size_t r = 0; r < rows.size(); ++r) {
            if (rows[r].anchorRun)
                anchors[r] = std::min(anchors[r], BestMs(rows[r].anchorRun, 1));
            for (size_t f = 0; f < families.size(); ++f) {
                imaging::SetSimd(families[f]);
                ms[r][f] = std::min(ms[r][f], BestMs(rows[r].ours, 1));
            }
        }
    imaging::ResetSimd();
    std::printf("%s (best of %d runs; ratios against the anchor, lower is faster)\n", title, runs);
    std::printf("  %-22s %-24s %9s", "format", "anchor", "anchor ms");
    for (imaging::Simd family : families)
        std::printf(" %8s", imaging::SimdName(family));
    std::printf("   %s\n", "target avx512 / avx2");
    for (size_t r = 0; r < rows.size(); ++r) {
        const FamilyRow& row = rows[r];
        std::printf("  %-22s %-24s %9.2f", row.name.c_str(), row.anchor.c_str(),
                    row.anchorRow >= 0 ? ms[size_t(row.anchorRow)].back() : anchors[r]);
        const imaging::Simd chosen = imaging::KernelSimd(row.kernel.value_or(kernel));
        for (size_t f = 0; f < families.size(); ++f) {
            const double anchor = row.anchorRow >= 0 ? ms[size_t(row.anchorRow)][f] : anchors[r];
            std::printf(" %7.2f%c", ms[r][f] / anchor, families[f] == chosen ? '*' : ' ');
        }
        std::printf("   %s\n", row.targets.c_str());
    }
    std::printf("  * the family the row's kernel (%s unless said) uses by default on this processor "
                "(imaging::PreferredSimd)\n",
                imaging::KernelName(kernel));
    std::printf("  %-22s %-24s %9s", "our ms", "", "");
    std::printf("\n");
    for (size_t r = 0; r < rows.size(); ++r) {
        std::printf("  %-22s %-24s %9s", rows[r].name.c_str(), "", "");
        for (size_t f = 0; f < families.size(); ++f)
            std::printf(" %8.2f", ms[r][f]);
        std::printf("\n");
    }
    return ms;
}
