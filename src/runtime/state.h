// What the gateway's threads share: the context record, the gateway address,
// the latest SMS sender and the counters of everything the gateway does.
//
// The counters are plain relaxed atomics, bumped where the event happens:
// no lock and no allocation on the frame path. A reader (the statistics
// report, the status SMS) sees each counter exact but not the set as one
// snapshot: two counters read a moment apart may differ by an event in
// flight.
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
    int32_t stats_interval;                 // seconds between statistics reports; 0: none
};

extern gateway_context net_fd1;

// The binary gateway address: the first 6 bytes hold the decoded device_id.
extern uint8_t deviceid[30];

// sms_phone is written by the SMS thread (the sender of each command it
// runs) and read by it (the number type-2 frames are forwarded to); tests
// and the simulator set it from their own threads. These copy it whole
// under one lock so a reader never sees half a number.
void sms_phone_store(gateway_context *ctx, const char *number);
void sms_phone_load(gateway_context *ctx, char *out, size_t size);

// Set by tests and the simulator to end the worker threads' loops; the
// daemon never sets it, so in production every loop runs for ever.
extern std::atomic<bool> gateway_stopping;

// The software version, one string for the whole program.
const char *gateway_version();

// ---- counters ----

using gw_counter = std::atomic<uint64_t>;

// One radio port, as the radio pump sees it. Every frame cut from the port
// is counted once in relayed, handled, unsent or ignored.
struct port_counters {
    gw_counter bytes_read;       // bytes read from the UART
    gw_counter frames_relayed;   // types 1 and 5, written whole to the server
    gw_counter frames_handled;   // types 0 and 2, acted on by the gateway itself
    gw_counter frames_unsent;    // types 1 and 5 while the link was down or the write failed
    gw_counter frames_ignored;   // any other type, or too short for a type byte
    gw_counter bytes_discarded;  // bytes that belonged to no valid frame
    gw_counter bytes_overflow;   // bytes lost because the ring was full
};

enum port_index { PORT_OTHER = 0, PORT_LUDENG = 1 };

// The server side of the link, as the server pump sees it. Every frame cut
// from the link is counted once in to_other, to_ludeng, commands or ignored.
struct server_counters {
    gw_counter bytes_read;
    gw_counter frames_received;
    gw_counter frames_to_other;   // types 1 and 4, keyed out on /dev/ttyO1
    gw_counter frames_to_ludeng;  // type 5, keyed out on /dev/ttyO2
    gw_counter frames_commands;   // type 0: heartbeat responses, modem resets, others
    gw_counter frames_ignored;    // any other type, or too short for a type byte
    gw_counter bytes_discarded;   // no valid frame, or lost to a full ring
};

struct link_counters {
    gw_counter attempts;       // connect() calls
    gw_counter connects;       // links made
    gw_counter drops_write;    // a write met a broken pipe
    gw_counter drops_silence;  // five heartbeats in a row went unanswered
    gw_counter drops_closed;   // the server closed the connection
    gw_counter heartbeats_sent;
    gw_counter heartbeats_answered;  // heartbeat responses received
    gw_counter tls_handshakes;       // protected links made (TLS on)
    gw_counter tls_failures;         // handshakes refused and sessions ended by a TLS error
    // Gateway-clock second of the latest change of the link state.
    std::atomic<int64_t> since;
};

// Every message deleted from the SIM is counted once in received and once
// in done, refused, unknown, ignored, multiline or bad_password.
struct sms_counters {
    gw_counter received;         // messages read and deleted
    gw_counter done;             // commands carried out
    gw_counter refused;          // recognised commands not carried out
    gw_counter unknown;          // texts that are no command
    gw_counter ignored;          // senders that are not admin numbers
    gw_counter multiline;        // texts of more than one line, or not read cleanly
    gw_counter bad_password;     // texts without the password (when one is set)
    gw_counter replies;          // answers the modem confirmed ("ok", the status)
    gw_counter forwarded;        // radio frames the modem confirmed sending on by SMS
    gw_counter send_failed;      // answers and forwards not sent (modem error, no sender)
    gw_counter forward_dropped;  // radio frames dropped: the queue to the SMS thread was full
    gw_counter delete_failed;    // deletes the modem did not confirm (the message is read again)
    gw_counter modem_silent;     // exchanges that wrote a command and got no answer
};

struct board_counters {
    gw_counter watchdog_feeds;
    gw_counter companion_restarts;  // "zuzize-vid &" run by the process watch
};

struct gateway_counters {
    port_counters port[2];  // by port_index
    server_counters server;
    link_counters link;
    sms_counters sms;
    board_counters board;
    std::atomic<int64_t> started;  // gateway-clock second of start-up
};

extern gateway_counters gw_counters;

// Adds n to a counter; relaxed, as nothing is ordered by a counter.
inline void counter_add(gw_counter &c, uint64_t n = 1)
{
    c.fetch_add(n, std::memory_order_relaxed);
}

inline uint64_t counter_get(const gw_counter &c)
{
    return c.load(std::memory_order_relaxed);
}

// Sets every counter to zero and the start and link times to `now`.
void counters_reset(int64_t now);

// Records a change of the link state at gateway second `now`.
void counters_link_changed(int64_t now);
