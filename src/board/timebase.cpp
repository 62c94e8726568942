#include "board/timebase.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>

namespace {
std::atomic<unsigned> speedup{1};

// The gateway clock: gateway nanoseconds `base_gw` at real monotonic
// nanoseconds `base_real`, running at `speedup` since.
std::mutex clock_lock;
int64_t base_real = -1, base_gw = 0;

int64_t real_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Gateway nanoseconds now; clock_lock held.
int64_t gw_ns_locked()
{
    const int64_t now = real_ns();
    if (base_real < 0)
        base_real = now;
    return base_gw + (now - base_real) * speedup.load(std::memory_order_relaxed);
}

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
    std::lock_guard<std::mutex> hold(clock_lock);
    base_gw = gw_ns_locked();
    base_real = real_ns();
    speedup.store(factor == 0 ? 1 : factor, std::memory_order_relaxed);
}

int64_t gw_seconds()
{
    std::lock_guard<std::mutex> hold(clock_lock);
    return gw_ns_locked() / 1000000000;
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
