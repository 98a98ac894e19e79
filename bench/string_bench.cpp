// SPDX-License-Identifier: MIT
// JString against std::string doing the same work, at 1 KB, 64 KB and 1 MB.
// Each row is the best per-operation time of several runs; the growth table at
// the end shows how the time grows from 64 KB to 1 MB (16x is linear, 256x
// quadratic).
#include "BenchUtil.h"

#include <fieldkit/strings/JString.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <malloc.h>
#include <string>
#include <vector>

namespace {

constexpr int kRuns = 5;

// Microseconds per call of op on fresh copies made by make(), best of kRuns.
template <typename T, typename Make, typename Op>
double PerOp(int reps, Make make, Op op)
{
    double best = 1e300;
    for (int run = 0; run < kRuns; ++run) {
        std::vector<T> inputs;
        inputs.reserve(static_cast<size_t>(reps));
        for (int i = 0; i < reps; ++i)
            inputs.push_back(make());
        bench::Stopwatch sw;
        for (T& x : inputs)
            op(x);
        best = std::min(best, sw.Microseconds() / reps);
    }
    return best;
}

// Keeps results alive so that the work is not optimised away.
volatile long sink;

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Input shapes: mixed-case words with a needle at the very end; "a" every
// other character; runs of spaces; a long white run before one character.
std::string Words(size_t n)
{
    std::string s;
    const char* words[] = {"Alpha ", "beta ", "GAMMA ", "delta "};
    for (size_t i = 0; s.size() + 16 < n; ++i)
        s += words[i % 4];
    s.resize(n - 6, 'x');
    return s + "Needle";
}

std::string Hits(size_t n)
{
    std::string s(n, 'b');
    for (size_t i = 0; i < n; i += 2)
        s[i] = 'a';
    return s;
}

std::string Runs(size_t n)
{
    std::string s(n, ' ');
    for (size_t i = 0; i < n; i += 4)
        s[i] = 'w';
    return s;
}

std::string WhiteRun(size_t n)
{
    std::string s;
    for (size_t i = 0; i + 1 < n; ++i)
        s += " \t\r\n"[i % 4];
    return s + "x";
}

double OursCopy(const std::string& t, int reps)
{
    const JString src(t.c_str());
    return PerOp<int>(reps, [] { return 0; }, [&](int&) { sink = JString(src).GetLength(); });
}
double TheirsCopy(const std::string& t, int reps)
{
    return PerOp<int>(reps, [] { return 0; }, [&](int&) { sink = static_cast<long>(std::string(t).size()); });
}

double OursAppend(const std::string& t, int reps)
{
    return PerOp<JString>(reps, [&] { return JString(t.c_str()); }, [](JString& s) { s += "abc"; });
}
double TheirsAppend(const std::string& t, int reps)
{
    // std::string keeps spare capacity: its append is amortised constant time.
    return PerOp<std::string>(reps, [&] {
        std::string s;
        s.reserve(t.size() + 64);
        s.assign(t);
        return s;
    }, [](std::string& s) { s += "abc"; });
}

double OursFind(const std::string& t, int reps)
{
    const JString s(t.c_str());
    return PerOp<int>(reps, [] { return 0; }, [&](int&) { sink = s.Find("Needle"); });
}
double TheirsFind(const std::string& t, int reps)
{
    return PerOp<int>(reps, [] { return 0; }, [&](int&) { sink = static_cast<long>(t.find("Needle")); });
}

double OursFindNoCase(const std::string& t, int reps)
{
    const JString s(t.c_str());
    return PerOp<int>(reps, [] { return 0; }, [&](int&) { sink = s.FindNoCase("NEEDLE"); });
}
double TheirsFindNoCase(const std::string& t, int reps)
{
    return PerOp<int>(reps, [] { return 0; },
                      [&](int&) { sink = static_cast<long>(Lower(t).find(Lower("NEEDLE"))); });
}

double OursReplace(const std::string& t, int reps)
{
    const JString with("XY");
    return PerOp<JString>(reps, [&] { return JString(t.c_str()); }, [&](JString& s) { sink = s.Replace('a', with); });
}
double TheirsReplace(const std::string& t, int reps)
{
    return PerOp<std::string>(reps, [&] { return t; }, [](std::string& s) {
        std::string out;
        out.reserve(s.size() + static_cast<size_t>(std::count(s.begin(), s.end(), 'a')));
        for (char c : s) {
            if (c == 'a')
                out += "XY";
            else
                out += c;
        }
        s.swap(out);
    });
}

double OursRemove(const std::string& t, int reps)
{
    return PerOp<JString>(reps, [&] { return JString(t.c_str()); }, [](JString& s) { sink = s.Remove('a'); });
}
double TheirsRemove(const std::string& t, int reps)
{
    return PerOp<std::string>(reps, [&] { return t; },
                              [](std::string& s) { s.erase(std::remove(s.begin(), s.end(), 'a'), s.end()); });
}

double OursMulti(const std::string& t, int reps)
{
    return PerOp<JString>(reps, [&] { return JString(t.c_str()); }, [](JString& s) { sink = s.RemoveMultiChars(' '); });
}
double TheirsMulti(const std::string& t, int reps)
{
    return PerOp<std::string>(reps, [&] { return t; }, [](std::string& s) {
        s.erase(std::unique(s.begin(), s.end(), [](char a, char b) { return a == ' ' && b == ' '; }), s.end());
    });
}

double OursStrip(const std::string& t, int reps)
{
    return PerOp<JString>(reps, [&] { return JString(t.c_str()); }, [](JString& s) { s.DeleteLeadingWhiteSpace(); });
}
double TheirsStrip(const std::string& t, int reps)
{
    return PerOp<std::string>(reps, [&] { return t; },
                              [](std::string& s) { s.erase(0, s.find_first_not_of(" \t\n\r")); });
}

double OursFormat(const std::string& t, int reps)
{
    return PerOp<JString>(reps, [] { return JString(); }, [&](JString& s) { s.Format("%d:%s", 7, t.c_str()); });
}
double TheirsFormat(const std::string& t, int reps)
{
    return PerOp<std::string>(reps, [] { return std::string(); }, [&](std::string& s) {
        char scratch[1024];
        std::snprintf(scratch, 1023, "%d:%s", 7, t.c_str());
        s = scratch;
    });
}

struct Op {
    const char* name;
    std::string (*input)(size_t n);
    double (*ours)(const std::string&, int);
    double (*theirs)(const std::string&, int);
};

}  // namespace

int main()
{
    // Freed blocks stay in the heap: otherwise every large block is a fresh
    // mapping whose page faults, not the copying, dominate the larger sizes.
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
    const Op ops[] = {
        {"copy", Words, OursCopy, TheirsCopy},
        {"+= \"abc\"", Words, OursAppend, TheirsAppend},
        {"Find(\"Needle\")", Words, OursFind, TheirsFind},
        {"FindNoCase(\"NEEDLE\")", Words, OursFindNoCase, TheirsFindNoCase},
        {"Replace('a', \"XY\"), half the bytes", Hits, OursReplace, TheirsReplace},
        {"Remove('a'), half the bytes", Hits, OursRemove, TheirsRemove},
        {"RemoveMultiChars(' '), runs of 3", Runs, OursMulti, TheirsMulti},
        {"DeleteLeadingWhiteSpace, all but 1", WhiteRun, OursStrip, TheirsStrip},
        {"Format(\"%d:%s\") of the text", Words, OursFormat, TheirsFormat},
    };
    const size_t sizes[] = {1024, 64 * 1024, 1024 * 1024};
    const char* labels[] = {"1 KB", "64 KB", "1 MB"};

    std::printf("JString vs std::string, microseconds per operation (best of %d runs)\n", kRuns);
    double growth[sizeof ops / sizeof ops[0]][2] = {};
    for (size_t o = 0; o < sizeof ops / sizeof ops[0]; ++o) {
        double at64k[2] = {};
        for (size_t i = 0; i < 3; ++i) {
            const std::string text = ops[o].input(sizes[i]);
            const int reps = static_cast<int>(std::max<size_t>(8, (4u << 20) / sizes[i]));
            const double ours = ops[o].ours(text, reps);
            const double theirs = ops[o].theirs(text, reps);
            char what[96];
            std::snprintf(what, sizeof what, "%s @ %s", ops[o].name, labels[i]);
            bench::Row(what, ours, "std::string", theirs, "us");
            if (i == 1) {
                at64k[0] = ours;
                at64k[1] = theirs;
            } else if (i == 2) {
                growth[o][0] = ours / at64k[0];
                growth[o][1] = theirs / at64k[1];
            }
        }
    }
    std::printf("\nGrowth from 64 KB to 1 MB (16x linear, 256x quadratic)\n");
    for (size_t o = 0; o < sizeof ops / sizeof ops[0]; ++o)
        std::printf("%-44s fieldkit %7.1fx   std::string %7.1fx\n", ops[o].name, growth[o][0], growth[o][1]);
    return 0;
}
