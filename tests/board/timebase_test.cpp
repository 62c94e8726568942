#include "board/timebase.h"

#include <chrono>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/testutil.h"

// Production waits are real time (a speed-up of 0 means 1 too); a speed-up
// shortens every wait, yet a positive wait never becomes a non-blocking poll.
TEST(Timebase, SpeedupShortensEveryWaitButNeverToZero)
{
    testutil::BoardGuard guard;
    EXPECT_EQ(time_speedup(), 1u);
    timeval tv = gw_timeval(3, 250000);
    EXPECT_EQ(std::make_pair(long(tv.tv_sec), long(tv.tv_usec)), std::make_pair(3L, 250000L));
    EXPECT_EQ(gw_poll_ms(1500), 1500);

    time_set_speedup(100);
    tv = gw_timeval(3, 0);
    EXPECT_EQ(std::make_pair(long(tv.tv_sec), long(tv.tv_usec)), std::make_pair(0L, 30000L));
    EXPECT_EQ(std::vector<int>({gw_poll_ms(1000), gw_poll_ms(1), gw_poll_ms(0), gw_poll_ms(-1)}),
              std::vector<int>({10, 1, 0, -1}));
    auto start = std::chrono::steady_clock::now();
    gw_sleep(1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));

    time_set_speedup(0);
    EXPECT_EQ(time_speedup(), 1u);
}
