#include <fieldkit/core/Clock.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

long ElapsedMs(const timeval& from)
{
    timeval now{};
    gettimeofday(&now, nullptr);
    tv_sub(&now, const_cast<timeval*>(&from));
    return now.tv_sec * 1000 + now.tv_usec / 1000;
}

TEST(TvSub, BorrowsOnceFromSeconds)
{
    timeval out{5, 100};
    timeval in{3, 200};
    tv_sub(&out, &in);
    EXPECT_EQ(out.tv_sec, 1);
    EXPECT_EQ(out.tv_usec, 999900);
}

TEST(TvSub, LaterSubtrahendGivesNegativeSeconds)
{
    timeval out{3, 0};
    timeval in{5, 1};
    tv_sub(&out, &in);
    EXPECT_EQ(out.tv_sec, -3);
    EXPECT_EQ(out.tv_usec, 999999);
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

TEST(GetTickCount, DifferencesSurviveTheWrap)
{
    const unsigned int before_wrap = 0xFFFFFF00u;
    const unsigned int after_wrap = 0x00000064u;
    EXPECT_EQ(after_wrap - before_wrap, 0x164u);
}

TEST(Sleep, ZeroAndNegativeReturnAtOnce)
{
    timeval start{};
    gettimeofday(&start, nullptr);
    Sleep(0);
    Sleep(-5);
    Sleep(-1000);
    EXPECT_LT(ElapsedMs(start), 50);
}

TEST(Sleep, LastsAboutTheRequestedTime)
{
    timeval start{};
    gettimeofday(&start, nullptr);
    Sleep(120);
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, 119);
    EXPECT_LT(ms, 1000);
}

// Signals interrupt the wait many times; the total must still be about ms,
// not ms per interruption and not cut short.
TEST(Sleep, SurvivesSignalsWithTheRemainderOnly)
{
    timeval start{};
    gettimeofday(&start, nullptr);
    {
        fktest::SignalStorm signals;
        Sleep(300);
    }
    const long ms = ElapsedMs(start);

    EXPECT_GE(ms, 299);
    EXPECT_LT(ms, 2000);
}

}  // namespace
