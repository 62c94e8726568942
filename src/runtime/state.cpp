#include "runtime/state.h"

#include <cstring>
#include <initializer_list>
#include <mutex>

#ifndef LAMPGW_VERSION
#define LAMPGW_VERSION "unknown"
#endif

gateway_context net_fd1;
uint8_t deviceid[30];
std::atomic<bool> gateway_stopping{false};
gateway_counters gw_counters;

namespace {
std::mutex sms_phone_lock;

void zero(std::initializer_list<gw_counter *> group)
{
    for (gw_counter *c : group)
        c->store(0, std::memory_order_relaxed);
}
}  // namespace

void sms_phone_store(gateway_context *ctx, const char *number)
{
    std::lock_guard<std::mutex> hold(sms_phone_lock);
    std::strncpy(ctx->sms_phone, number, sizeof ctx->sms_phone - 1);
    ctx->sms_phone[sizeof ctx->sms_phone - 1] = '\0';
}

void sms_phone_load(gateway_context *ctx, char *out, size_t size)
{
    if (size == 0)
        return;
    std::lock_guard<std::mutex> hold(sms_phone_lock);
    std::strncpy(out, ctx->sms_phone, size - 1);
    out[size - 1] = '\0';
}

const char *gateway_version()
{
    return LAMPGW_VERSION;
}

void counters_reset(int64_t now)
{
    for (port_counters &p : gw_counters.port)
        zero({&p.bytes_read, &p.frames_relayed, &p.frames_handled, &p.frames_unsent,
              &p.frames_ignored, &p.bytes_discarded, &p.bytes_overflow});
    server_counters &s = gw_counters.server;
    zero({&s.bytes_read, &s.frames_received, &s.frames_to_other, &s.frames_to_ludeng,
          &s.frames_commands, &s.frames_ignored, &s.bytes_discarded});
    link_counters &l = gw_counters.link;
    zero({&l.attempts, &l.connects, &l.drops_write, &l.drops_silence, &l.drops_closed,
          &l.heartbeats_sent, &l.heartbeats_answered, &l.tls_handshakes, &l.tls_failures});
    sms_counters &m = gw_counters.sms;
    zero({&m.received, &m.done, &m.refused, &m.unknown, &m.ignored, &m.multiline, &m.bad_password,
          &m.replies, &m.forwarded, &m.send_failed, &m.forward_dropped, &m.delete_failed,
          &m.modem_silent});
    zero({&gw_counters.board.watchdog_feeds, &gw_counters.board.companion_restarts});
    l.since.store(now, std::memory_order_relaxed);
    gw_counters.started.store(now, std::memory_order_relaxed);
}

void counters_link_changed(int64_t now)
{
    gw_counters.link.since.store(now, std::memory_order_relaxed);
}
