#include "board/timebase.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace {
std::atomic<unsigned> speedup{1};

// Real microseconds for a span of gateway microseconds.
unsigned long long scaled_us(unsigned long long us)
{
    return us / speedup.load(std::memory_order_relaxed);
}

void sleep_real_us(unsigned long long us)
{
    timespec left{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}
}  // namespace

void time_set_speedup(unsigned factor)
{
    speedup.store(factor == 0 ? 1 : factor, std::memory_order_relaxed);
}

unsigned time_speedup()
{
    return speedup.load(std::memory_order_relaxed);
}

void gw_sleep(unsigned seconds)
{
    sleep_real_us(scaled_us(1000000ULL * seconds));
}

void gw_usleep(unsigned long microseconds)
{
    sleep_real_us(scaled_us(microseconds));
}

timeval gw_timeval(long seconds, long microseconds)
{
    unsigned long long us = scaled_us(1000000ULL * static_cast<unsigned long long>(seconds) +
                                      static_cast<unsigned long long>(microseconds));
    return timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

int gw_poll_ms(int milliseconds)
{
    if (milliseconds <= 0)
        return milliseconds;
    unsigned long long ms = scaled_us(1000ULL * static_cast<unsigned>(milliseconds)) / 1000;
    return ms == 0 ? 1 : static_cast<int>(ms);
}
