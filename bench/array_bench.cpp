// SPDX-License-Identifier: MIT
// Appending to the arrays: DWORDArray::Add and JStringArray::AddString against
// a std::vector of owning pointers doing the same work (one heap element per
// value, a copy of the text per string), for growing n. The arrays keep an
// exact-size block that grows with realloc; the vector keeps spare capacity.
//
// Two passes. The first uses malloc as an application finds it: freed memory
// goes back to the system, so every run pays again for the first touch of its
// pages, which on a virtual machine can cost tens of microseconds per page and
// then dominates both sides. The second keeps freed memory in the process (and
// large blocks on the heap), so the best-of runs time the containers' own work.
#include "BenchUtil.h"

#include <fieldkit/collections/DWORDArray.h>
#include <fieldkit/collections/JStringArray.h>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kRuns = 7;

// Best of kRuns timings of fill(container) on a fresh container, in
// microseconds; the container is destroyed outside the timing.
template <typename Container, typename Fill>
double TimeFill(Fill fill)
{
    double best = 1e300;
    for (int run = 0; run < kRuns; ++run) {
        auto container = std::make_unique<Container>();
        bench::Stopwatch sw;
        fill(*container);
        best = std::min(best, sw.Microseconds());
    }
    return best;
}

// Texts long enough that std::string stores them on the heap, as JString does.
std::vector<std::string> Texts(int n)
{
    std::vector<std::string> texts;
    texts.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        texts.push_back("setting" + std::to_string(i) + ": some configured value");
    return texts;
}

struct Timing {
    double ours;
    double theirs;
};

Timing Values(int n)
{
    const double ours = TimeFill<DWORDArray>([n](DWORDArray& a) {
        for (int i = 0; i < n; ++i)
            a.Add(static_cast<unsigned long>(i));
    });
    const double theirs = TimeFill<std::vector<std::unique_ptr<unsigned long>>>([n](auto& v) {
        for (int i = 0; i < n; ++i)
            v.push_back(std::make_unique<unsigned long>(static_cast<unsigned long>(i)));
    });
    return {ours, theirs};
}

Timing Strings(int n)
{
    const std::vector<std::string> texts = Texts(n);
    const double ours = TimeFill<JStringArray>([&texts](JStringArray& a) {
        for (const std::string& t : texts)
            a.AddString(t.c_str());
    });
    const double theirs = TimeFill<std::vector<std::unique_ptr<std::string>>>([&texts](auto& v) {
        for (const std::string& t : texts)
            v.push_back(std::make_unique<std::string>(t.c_str()));
    });
    return {ours, theirs};
}

void Report(const char* what, Timing (*measure)(int))
{
    const int sizes[] = {1000, 10000, 100000};
    Timing at[3];
    for (int k = 0; k < 3; ++k) {
        at[k] = measure(sizes[k]);
        char label[64];
        std::snprintf(label, sizeof label, "%s n=%d", what, sizes[k]);
        bench::Row(label, at[k].ours, "vector<unique_ptr>", at[k].theirs, "us");
    }
    const double ratio = at[2].ours / at[2].theirs;
    const double growth = at[2].ours / at[1].ours;
    std::printf("%-44s growth 10^4 -> 10^5: fieldkit %.1fx, vector %.1fx\n", what, growth,
                at[2].theirs / at[1].theirs);
    std::printf("%-44s at 10^5 %.2fx the vector (target < 5x: %s), growth %.1fx (target < 20x: %s)\n\n",
                what, ratio, ratio < 5 ? "met" : "MISSED", growth, growth < 20 ? "met" : "MISSED");
}

void Pass(const char* title)
{
    std::printf("-- %s\n", title);
    Report("DWORDArray::Add", Values);
    Report("JStringArray::AddString", Strings);
}

}  // namespace

int main()
{
    Pass("malloc defaults (freed memory returns to the system)");
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TOP_PAD, 64 << 20);
    Pass("freed memory kept in the process");
    return 0;
}
