// SPDX-License-Identifier: MIT
// Small timing kit shared by the benchmarks: a monotonic stopwatch, order
// statistics over samples, and one printed row per comparison with its ratio.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace bench {

class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    double Microseconds() const
    {
        return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

// The q-quantile (0..1) of the samples; sorts them in place.
inline double Quantile(std::vector<double>& samples, double q)
{
    if (samples.empty())
        return 0.0;
    std::sort(samples.begin(), samples.end());
    const size_t i = static_cast<size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(i, samples.size() - 1)];
}

// Best of `runs` timings of fn(), in microseconds: the least disturbed run.
template <typename Fn>
double BestOf(int runs, Fn fn)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        Stopwatch sw;
        fn();
        best = std::min(best, sw.Microseconds());
    }
    return best;
}

// One line: what was measured, fieldkit's figure, the baseline's, and the ratio.
inline void Row(const char* what, double ours, const char* baseline, double theirs, const char* unit)
{
    std::printf("%-44s fieldkit %12.2f %-5s %-18s %12.2f %-5s ratio %6.2fx\n", what, ours, unit, baseline,
                theirs, unit, theirs > 0 ? ours / theirs : 0.0);
}

}  // namespace bench
