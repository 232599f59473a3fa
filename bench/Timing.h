// Timing for the benchmarks: the best of several runs is the one least
// disturbed by whatever else the machine is doing.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>

inline double BestMs(const std::function<void()>& fn, int runs)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        fn();
        std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}
