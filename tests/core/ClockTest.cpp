// SPDX-License-Identifier: MIT
#include <fieldkit/core/Clock.h>

#include "support/FakeClock.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(TvSub, BorrowsOnceFromTheSeconds)
{
    const struct { timeval out, in, want; } cases[] = {
        {{5, 300}, {3, 200}, {2, 100}}, {{5, 200}, {3, 200}, {2, 0}}, {{5, 100}, {3, 200}, {1, 999900}},
        {{3, 0}, {5, 1}, {-3, 999999}},
    };
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.out.tv_usec << " us - " << c.in.tv_usec << " us");
        tv_sub(&c.out, &c.in);
        EXPECT_EQ(c.out.tv_sec, c.want.tv_sec);
        EXPECT_EQ(c.out.tv_usec, c.want.tv_usec);
    }
}

// Halves round up (999 500 us reaches the next second); the product wraps in 32 bits.
TEST(GetTickCount, RoundsHalfUpAndWraps)
{
    const struct { timeval now; unsigned int ms; } cases[] = {
        {{10, 0}, 10000u}, {{10, 499}, 10000u}, {{10, 500}, 10001u}, {{10, 999500}, 11000u},
        {{4294967, 295499}, 4294967295u}, {{4294967, 295500}, 0u}, {{1700000000, 0}, 3487918080u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.now.tv_sec << " s " << c.now.tv_usec << " us");
        const fktest::FakeClock clock(c.now);
        EXPECT_EQ(GetTickCount(), c.ms);
    }
}

// Signals interrupt the wait many times; the total is still about ms, neither longer nor cut short.
TEST(Sleep, LastsTheRequestedTimeAlsoUnderSignals)
{
    EXPECT_TRUE(fktest::TakesMs(0, 200, [] { Sleep(-1000); })) << "none for less than zero";
    EXPECT_TRUE(fktest::TakesMs(119, 1000, [] { Sleep(120); }));
    EXPECT_TRUE(fktest::TakesMs(299, 2000, [] { fktest::SignalStorm signals; Sleep(300); }));
}

// Sleep(sleep_ms) with the clock moved by `moved_ms` just before one signal 250 ms in.
::testing::AssertionResult SleepsMsWithClockMoved(double least, double most, long moved_ms, int sleep_ms)
{
    fktest::FakeClock clock;
    const fktest::SignalStorm one(250, 1, [&] { clock.Advance(moved_ms); });
    return fktest::TakesMs(least, most, [&] { Sleep(sleep_ms); });
}

// Catches a restart that sleeps the whole time again instead of what remains on the wall clock.
TEST(Sleep, ClockSetForwardShortensIt) { EXPECT_TRUE(SleepsMsWithClockMoved(0, 1000, 1900, 2000)); }

// Catches a restart that ignores the wall clock, or ends on a negative elapsed time.
TEST(Sleep, ClockSetBackLengthensIt) { EXPECT_TRUE(SleepsMsWithClockMoved(1000, 5000, -1000, 500)); }

}  // namespace
