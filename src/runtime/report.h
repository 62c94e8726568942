// The gateway's account of itself: the statistics line on the console and
// the text of the status SMS, both read from the counters (runtime/state.h).
//
// The statistics line, one line of key=value pairs in this order:
//   stats version=V uptime=S link=up|down link_for=S
//     link_attempts=N link_connects=N drops_write=N drops_silence=N
//     drops_closed=N hb_sent=N hb_answered=N tls_handshakes=N tls_failures=N
//     other_bytes=N other_relayed=N other_handled=N other_unsent=N
//     other_ignored=N other_discarded=N other_overflow=N
//     ludeng_bytes=N ... ludeng_overflow=N            (the same seven)
//     server_bytes=N server_frames=N server_to_other=N server_to_ludeng=N
//     server_commands=N server_ignored=N server_discarded=N
//     sms_received=N sms_done=N sms_refused=N sms_unknown=N sms_ignored=N
//     sms_multiline=N sms_bad_password=N sms_replies=N sms_forwarded=N
//     sms_send_failed=N sms_forward_dropped=N sms_delete_failed=N
//     modem_silent=N
//     watchdog_feeds=N companion_restarts=N
// S are whole gateway seconds; "other" is /dev/ttyO1 (434 MHz), "ludeng"
// /dev/ttyO2 (450 MHz).
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/state.h"

// Room for the longest statistics line and its NUL.
constexpr size_t STATS_LINE_SIZE = 2048;
// The most characters one SMS carries.
constexpr size_t STATUS_TEXT_MAX = 138;
// Signal quality not known (no answer, or the modem does not know it).
constexpr int SIGNAL_UNKNOWN = 1;

// The statistics line at gateway second `now`, the link state taken from
// ctx, without a line feed. Returns its length.
size_t stats_line(const gateway_context *ctx, char *out, size_t size, int64_t now);

// The status SMS text at gateway second `now`, the link state taken from
// ctx, at most STATUS_TEXT_MAX characters; signal_dbm is the modem's signal
// in dBm or SIGNAL_UNKNOWN. Returns its length.
size_t status_text(const gateway_context *ctx, char *out, size_t size, int64_t now, int signal_dbm);

// The signal in dBm from the modem's answer to AT+CSQ ("+CSQ: <rssi>,<ber>"):
// rssi 0 to 31 gives -113 to -51 dBm in steps of 2; 99, no answer or any
// other text gives SIGNAL_UNKNOWN.
int signal_dbm_from_csq(const char *answer, size_t len);

// Installs the SIGUSR1 handler, which only asks for a statistics line.
// Called at start-up before any worker exists; repeated calls are harmless.
void stats_signal_install();

// Thread entry: prints the statistics line every ctx->stats_interval
// gateway seconds (never when 0) and at once after SIGUSR1. Returns only
// when gateway_stopping is set.
void *stats_reporter(void *arg);
