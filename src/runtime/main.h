// The record every thread of the gateway shares, and the gateway address.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct gateway_context {
    int32_t w433_other_fd;   // /dev/ttyO1, the 434 MHz radio module; -1 if it failed to open
    int32_t w433_ludeng_fd;  // /dev/ttyO2, the 450 MHz street-lamp module; -1 if it failed
    int32_t run_flag;        // set to 1 at start; nothing consults it
    int32_t gsm_fd;          // /dev/ttyUSB1, the modem's AT port; -1 if it failed
    char sms_phone[32];      // sender of the latest SMS; read and written only under sms_phone_lock
    // The server link. Written by the connector and the recovery paths, read
    // by every sender; see connect.h for the rules that keep writes off a
    // closed or reused descriptor.
    std::atomic<int32_t> sockfd;
    char reserved_buf[2048];
    std::atomic<int32_t> net_connect_flag;  // 1 while the link is up
    char server_ip_addr[20];                // dotted IPv4 text from config.txt
    char server_port_num[20];               // decimal port text from config.txt
    char device_id[20];                     // 12 hex digits from config.txt
    int32_t server_port;                    // atoi(server_port_num)
};

extern gateway_context net_fd1;

// The binary gateway address: the first 6 bytes hold the decoded device_id.
extern uint8_t deviceid[30];

// sms_phone is written by the SMS thread and read by the radio pump; these
// copy it whole under one lock so a reader never sees half a number.
void sms_phone_store(gateway_context *ctx, const char *number);
void sms_phone_load(gateway_context *ctx, char *out, size_t size);

// Set by tests and the simulator to end the worker threads' loops; the
// daemon never sets it, so in production every loop runs for ever.
extern std::atomic<bool> gateway_stopping;

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
};
constexpr int SUPERVISION_PASSES = 4320;  // 20 s each: about a day

// Start-up up to the worker threads, in its fixed order. Sets the pass
// counter of `sv` first.
void gateway_startup(gateway_context *ctx, supervision_state *sv);
// Starts receive_short_message, connecttoserver, from_device_to_server and
// from_server_to_device, in this order; a failed creation ends the process.
void gateway_start_workers(gateway_context *ctx);
// One pass of the supervision loop.
void supervision_pass(supervision_state *sv);
// The daemon: start-up, workers, then the supervision loop for ever.
int gateway_main();
