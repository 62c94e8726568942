#include "board/timebase.h"

#include <chrono>

#include <gtest/gtest.h>

#include "support/testutil.h"

TEST(Timebase, ProductionRunsAtRealTime)
{
    EXPECT_EQ(time_speedup(), 1u);
    timeval tv = gw_timeval(3, 250000);
    EXPECT_EQ(tv.tv_sec, 3);
    EXPECT_EQ(tv.tv_usec, 250000);
    EXPECT_EQ(gw_poll_ms(1500), 1500);
}

TEST(Timebase, SpeedupShortensEveryWait)
{
    testutil::BoardGuard guard;
    time_set_speedup(100);
    timeval tv = gw_timeval(3, 0);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 30000);
    EXPECT_EQ(gw_poll_ms(1000), 10);
    // A positive wait never collapses into a non-blocking poll.
    EXPECT_EQ(gw_poll_ms(1), 1);
    EXPECT_EQ(gw_poll_ms(0), 0);
    EXPECT_EQ(gw_poll_ms(-1), -1);

    auto start = std::chrono::steady_clock::now();
    gw_sleep(1);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(10));
}

TEST(Timebase, ZeroSpeedupMeansRealTime)
{
    testutil::BoardGuard guard;
    time_set_speedup(0);
    EXPECT_EQ(time_speedup(), 1u);
}
