// SPDX-License-Identifier: MIT
#include <fieldkit/core/Clock.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>

// While faking, every gettimeofday of the process reads fake_now: this exported
// definition comes first in symbol lookup, so the shared library's calls reach it too.
static std::atomic<bool> faking{false};
static timeval fake_now{};

extern "C" __attribute__((visibility("default"))) int gettimeofday(timeval* tv, void*) noexcept
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    *tv = faking ? fake_now : timeval{ts.tv_sec, ts.tv_nsec / 1000};
    return 0;
}

namespace {

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

// Halves round up (999 500 us reaches the next second); the product wraps in 32 bits.
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
        fake_now = c.now;
        faking = true;
        const unsigned int ticks = GetTickCount();
        faking = false;
        EXPECT_EQ(ticks, c.ms);
    }
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

// Signals interrupt the wait many times; the total is still about ms, neither longer nor cut short.
TEST(Sleep, LastsTheRequestedTimeAlsoUnderSignals)
{
    EXPECT_TRUE(fktest::TakesMs(119, 1000, [] { Sleep(120); }));
    EXPECT_TRUE(fktest::TakesMs(299, 2000, [] { fktest::SignalStorm signals; Sleep(300); }));
}

}  // namespace
