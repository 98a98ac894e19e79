// SPDX-License-Identifier: MIT
#include <fieldkit/core/Clock.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>

namespace {

// While a FakeTimeOfDay is in scope, every gettimeofday of the process reads
// `now`: the definition below comes first in symbol lookup, so the shared
// library's calls reach it too (it must be visible: the build hides by default).
std::atomic<bool> faking{false};
timeval fake_now{};

struct FakeTimeOfDay {
    explicit FakeTimeOfDay(timeval now) { fake_now = now; faking = true; }
    ~FakeTimeOfDay() { faking = false; }
    unsigned int Ticks() const { return GetTickCount(); }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int gettimeofday(timeval* tv, void*) noexcept
{
    if (faking) {
        *tv = fake_now;
        return 0;
    }
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}

namespace {

// One borrow from the seconds; a later subtrahend gives negative seconds.
TEST(TvSub, BorrowsOnceFromTheSeconds)
{
    const struct { timeval out, in, want; } cases[] = {
        {{5, 300}, {3, 200}, {2, 100}}, {{5, 200}, {3, 200}, {2, 0}}, {{5, 100}, {3, 200}, {1, 999900}},
        {{3, 0}, {5, 1}, {-3, 999999}},
    };
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.out.tv_sec << " s " << c.out.tv_usec << " us - " << c.in.tv_sec
                                        << " s " << c.in.tv_usec << " us");
        tv_sub(&c.out, &c.in);
        EXPECT_EQ(c.out.tv_sec, c.want.tv_sec);
        EXPECT_EQ(c.out.tv_usec, c.want.tv_usec);
    }
}

// Microseconds round to the nearest millisecond, halves up (999 500 or more reach
// the value the next second starts with); the product wraps in 32 bits, every
// 4 294 967.296 s, as today's date does.
TEST(GetTickCount, RoundsTheTimeOfDayHalfUpAndWrapsModulo2To32)
{
    const struct { timeval now; unsigned int ms; } cases[] = {
        {{10, 0}, 10000u},         {{10, 499}, 10000u},       {{10, 500}, 10001u},          {{10, 501}, 10001u},
        {{10, 1499}, 10001u},      {{10, 1500}, 10002u},      {{10, 999499}, 10999u},       {{10, 999500}, 11000u},
        {{10, 999999}, 11000u},    {{11, 0}, 11000u},         {{4294967, 295499}, 4294967295u},
        {{4294967, 295500}, 0u},   {{4294968, 0}, 704u},      {{1700000000, 0}, 3487918080u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.now.tv_sec << " s " << c.now.tv_usec << " us");
        FakeTimeOfDay at(c.now);
        EXPECT_EQ(GetTickCount(), c.ms);
    }
}

TEST(GetTickCount, DifferenceAcrossTheWrapIsTheElapsedTime)
{
    const unsigned int before = FakeTimeOfDay({4294967, 0}).Ticks();
    const unsigned int after = FakeTimeOfDay({4294968, 250000}).Ticks();
    EXPECT_LT(after, before);
    EXPECT_EQ(after - before, 1250u);
}

TEST(GetTickCount, FollowsTheRealClock)
{
    const unsigned int first = GetTickCount();
    Sleep(50);
    EXPECT_GE(GetTickCount() - first, 49u);
    EXPECT_LT(GetTickCount() - first, 2000u);
}

TEST(Sleep, ZeroOrNegativeReturnsAtOnce)
{
    for (int ms : {0, -1, -5, -1000}) {
        SCOPED_TRACE(ms);
        EXPECT_TRUE(fktest::TakesMs(0, 200, [ms] { Sleep(ms); }));
    }
}

// Signals interrupt the wait many times; the total is still about ms, not ms
// per interruption and not cut short.
TEST(Sleep, LastsTheRequestedTimeAlsoUnderSignals)
{
    EXPECT_TRUE(fktest::TakesMs(119, 1000, [] { Sleep(120); }));
    EXPECT_TRUE(fktest::TakesMs(299, 2000, [] { fktest::SignalStorm signals; Sleep(300); }));
}

}  // namespace
