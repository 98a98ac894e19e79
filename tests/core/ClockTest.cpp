// SPDX-License-Identifier: MIT
#include <fieldkit/core/Clock.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(TvSub, BorrowsOnceFromSecondsAndGoesNegativeForALaterSubtrahend)
{
    struct Case {
        timeval out, in, want;
    };
    const Case cases[] = {{{5, 100}, {3, 200}, {1, 999900}}, {{3, 0}, {5, 1}, {-3, 999999}}};
    for (Case c : cases) {
        tv_sub(&c.out, &c.in);
        EXPECT_EQ(c.out.tv_sec, c.want.tv_sec);
        EXPECT_EQ(c.out.tv_usec, c.want.tv_usec);
    }
}

TEST(GetTickCount, FollowsTheWallClockInMilliseconds)
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    const unsigned int tick = GetTickCount();
    const unsigned int expected = static_cast<unsigned int>(tv.tv_sec) * 1000u +
                                  static_cast<unsigned int>((tv.tv_usec + 500) / 1000);
    EXPECT_LT(tick - expected, 1000u);  // unsigned: also catches a tick behind the clock
}

// Signals interrupt the last wait many times; the total must still be about
// ms, not ms per interruption and not cut short.
TEST(Sleep, LastsAboutTheRequestedTimeAlsoUnderSignals)
{
    EXPECT_TRUE(fktest::TakesMs(0, 500, [] { Sleep(0); Sleep(-5); Sleep(-1000); }));
    EXPECT_TRUE(fktest::TakesMs(119, 1000, [] { Sleep(120); }));
    EXPECT_TRUE(fktest::TakesMs(299, 2000, [] { fktest::SignalStorm signals; Sleep(300); }));
}

}  // namespace
