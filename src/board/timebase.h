// The gateway's clock.
//
// Every pause and every timed wait of the gateway goes through here, so that
// tests and the simulator can run minutes of behaviour in seconds. The
// speed-up is 1 in production: a second asked for is a second slept.
#pragma once

#include <cstdint>
#include <sys/time.h>

// How many times faster than real time the gateway's clock runs (>= 1).
void time_set_speedup(unsigned factor);
unsigned time_speedup();

// Pauses of the calling thread, in gateway time. Interrupted sleeps resume.
void gw_sleep(unsigned seconds);
void gw_usleep(unsigned long microseconds);

// A select() timeout of the given gateway time, in real time.
timeval gw_timeval(long seconds, long microseconds);

// A poll() timeout in real milliseconds for the given gateway milliseconds;
// never rounds a positive wait down to 0, so a bounded wait stays a wait.
int gw_poll_ms(int milliseconds);

// Whole gateway seconds since the process's clock began; never goes back.
// A change of speed-up keeps the count where it is and runs on at the new
// speed.
int64_t gw_seconds();
