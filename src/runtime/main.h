// Start-up, the supervision loop and the two pumps.
#pragma once

#include <cstdint>

#include "runtime/rebootlimit.h"
#include "runtime/state.h"

// Waits up to timeout_seconds for fd to become readable, then reads up to
// 32768 bytes once. Returns the bytes read; 0 on time-out, end of stream or
// a failed read; -1 when the wait failed ("select()" reported, 1 s pause);
// -2 when the wait returned without fd ready.
int receivedata(int fd, uint8_t *buf, int timeout_seconds);

// The two pumps (thread entries; they return only when gateway_stopping is set).
void *from_device_to_server(void *arg);
void *from_server_to_device(void *arg);

// State of the supervision loop, owned by the main thread.
struct supervision_state {
    int passes_left;   // passes before the daily reboot
    int change_count;  // changes of the companion's process id seen
    int last_pid;      // the companion's process id at the latest change
    int pid_list[128];
    reboot_limit modem_reboots;  // back-off of the reboots for a missing modem node
};
constexpr int SUPERVISION_PASSES = 4320;  // 20 s each: about a day

// Start-up's first step: opens the two radio UARTs (non-blocking, 9600 8N1)
// and the modem port (blocking, 115200 8N1) into the context; a port that
// fails to open is left at -1. Every descriptor is close-on-exec.
void open_serial_ports(gateway_context *ctx);
// Start-up up to the worker threads, in its fixed order. Sets the pass
// counter of `sv` first.
void gateway_startup(gateway_context *ctx, supervision_state *sv);
// Starts the five worker threads, in this order: receive_short_message (the
// SMS thread), connecttoserver (the first connector), from_device_to_server
// (the radio pump), from_server_to_device (the server pump) and
// stats_reporter (the statistics line). A failed creation ends the process.
void gateway_start_workers(gateway_context *ctx);
// One pass of the supervision loop.
void supervision_pass(supervision_state *sv);
// The daemon: start-up, workers, then the supervision loop for ever.
int gateway_main();
