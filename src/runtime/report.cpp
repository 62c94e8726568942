#include "runtime/report.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "board/timebase.h"

namespace {

// SIGUSR1 sets `asked` and writes one byte to the pipe, which wakes the
// reporter at once. Both are written only by the handler and read only by
// the reporter.
std::atomic<bool> asked{false};
int wake_pipe[2] = {-1, -1};

constexpr int64_t STOP_CHECK_S = 5;

void on_sigusr1(int)
{
    const int saved = errno;
    asked.store(true);
    if (wake_pipe[1] >= 0) {
        ssize_t ignored = write(wake_pipe[1], "", 1);  // a full pipe already wakes
        (void)ignored;
    }
    errno = saved;
}

unsigned long long get(const gw_counter &c)
{
    return static_cast<unsigned long long>(counter_get(c));
}

long long seconds_since(const std::atomic<int64_t> &at, int64_t now)
{
    const int64_t d = now - at.load(std::memory_order_relaxed);
    return d > 0 ? d : 0;
}

// Appends printf output at *len, never past size - 1.
void append(char *out, size_t size, size_t *len, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
void append(char *out, size_t size, size_t *len, const char *fmt, ...)
{
    if (*len + 1 >= size)
        return;
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(out + *len, size - *len, fmt, ap);
    va_end(ap);
    if (n > 0)
        *len += static_cast<size_t>(n) < size - *len ? static_cast<size_t>(n) : size - *len - 1;
}

void append_port(char *out, size_t size, size_t *len, const char *name, const port_counters &p)
{
    append(out, size, len,
           " %s_bytes=%llu %s_relayed=%llu %s_handled=%llu %s_unsent=%llu %s_ignored=%llu "
           "%s_discarded=%llu %s_overflow=%llu",
           name, get(p.bytes_read), name, get(p.frames_relayed), name, get(p.frames_handled), name,
           get(p.frames_unsent), name, get(p.frames_ignored), name, get(p.bytes_discarded), name,
           get(p.bytes_overflow));
}

// "1d02h03m" from a day on, else "2h03m".
void append_duration(char *out, size_t size, size_t *len, long long s)
{
    const long long m = s / 60 % 60, h = s / 3600 % 24, d = s / 86400;
    if (d > 0)
        append(out, size, len, "%lldd%02lldh%02lldm", d, h, m);
    else
        append(out, size, len, "%lldh%02lldm", h, m);
}

void print_stats(const gateway_context *ctx)
{
    char line[STATS_LINE_SIZE];
    const size_t n = stats_line(ctx, line, sizeof line - 1, gw_seconds());
    line[n] = '\n';
    fwrite(line, 1, n + 1, stdout);  // one call: not cut by other threads' lines
    fflush(stdout);
}

}  // namespace

size_t stats_line(const gateway_context *ctx, char *out, size_t size, int64_t now)
{
    if (size == 0)
        return 0;
    out[0] = '\0';
    size_t len = 0;
    const gateway_counters &c = gw_counters;
    const link_counters &l = c.link;
    append(out, size, &len, "stats version=%s uptime=%lld link=%s link_for=%lld", gateway_version(),
           seconds_since(c.started, now), ctx->net_connect_flag.load() == 1 ? "up" : "down",
           seconds_since(l.since, now));
    append(out, size, &len,
           " link_attempts=%llu link_connects=%llu drops_write=%llu drops_silence=%llu "
           "drops_closed=%llu hb_sent=%llu hb_answered=%llu tls_handshakes=%llu tls_failures=%llu",
           get(l.attempts), get(l.connects), get(l.drops_write), get(l.drops_silence),
           get(l.drops_closed), get(l.heartbeats_sent), get(l.heartbeats_answered),
           get(l.tls_handshakes), get(l.tls_failures));
    append_port(out, size, &len, "other", c.port[PORT_OTHER]);
    append_port(out, size, &len, "ludeng", c.port[PORT_LUDENG]);
    const server_counters &s = c.server;
    append(out, size, &len,
           " server_bytes=%llu server_frames=%llu server_to_other=%llu server_to_ludeng=%llu "
           "server_commands=%llu server_ignored=%llu server_discarded=%llu",
           get(s.bytes_read), get(s.frames_received), get(s.frames_to_other),
           get(s.frames_to_ludeng), get(s.frames_commands), get(s.frames_ignored),
           get(s.bytes_discarded));
    const sms_counters &m = c.sms;
    append(out, size, &len,
           " sms_received=%llu sms_done=%llu sms_refused=%llu sms_unknown=%llu sms_ignored=%llu "
           "sms_multiline=%llu sms_bad_password=%llu",
           get(m.received), get(m.done), get(m.refused), get(m.unknown), get(m.ignored),
           get(m.multiline), get(m.bad_password));
    append(out, size, &len,
           " sms_replies=%llu sms_forwarded=%llu sms_send_failed=%llu sms_forward_dropped=%llu "
           "sms_delete_failed=%llu modem_silent=%llu",
           get(m.replies), get(m.forwarded), get(m.send_failed), get(m.forward_dropped),
           get(m.delete_failed), get(m.modem_silent));
    append(out, size, &len, " watchdog_feeds=%llu companion_restarts=%llu",
           get(c.board.watchdog_feeds), get(c.board.companion_restarts));
    return len;
}

size_t status_text(const gateway_context *ctx, char *out, size_t size, int64_t now, int signal_dbm)
{
    if (size == 0)
        return 0;
    char text[STATUS_TEXT_MAX + 1];
    size_t len = 0;
    text[0] = '\0';
    const gateway_counters &c = gw_counters;
    const uint64_t up = counter_get(c.port[PORT_OTHER].frames_relayed) +
                        counter_get(c.port[PORT_LUDENG].frames_relayed);
    const uint64_t down =
        counter_get(c.server.frames_to_other) + counter_get(c.server.frames_to_ludeng);
    const uint64_t connects = counter_get(c.link.connects);

    append(text, sizeof text, &len, "lampgw %s up ", gateway_version());
    append_duration(text, sizeof text, &len, seconds_since(c.started, now));
    append(text, sizeof text, &len, ", link %s ",
           ctx->net_connect_flag.load() == 1 ? "up" : "down");
    append_duration(text, sizeof text, &len, seconds_since(c.link.since, now));
    append(text, sizeof text, &len, ", frames up %llu down %llu, hb %llu/%llu, reconnects %llu",
           static_cast<unsigned long long>(up), static_cast<unsigned long long>(down),
           get(c.link.heartbeats_answered), get(c.link.heartbeats_sent),
           static_cast<unsigned long long>(connects > 0 ? connects - 1 : 0));
    if (signal_dbm == SIGNAL_UNKNOWN)
        append(text, sizeof text, &len, ", signal unknown");
    else
        append(text, sizeof text, &len, ", signal %d dBm", signal_dbm);
    std::snprintf(out, size, "%s", text);
    return len < size ? len : size - 1;
}

int signal_dbm_from_csq(const char *answer, size_t len)
{
    static const char tag[] = "+CSQ:";
    const size_t tag_len = sizeof tag - 1;
    for (size_t i = 0; i + tag_len <= len; i++) {
        if (std::memcmp(answer + i, tag, tag_len) != 0)
            continue;
        size_t j = i + tag_len;
        while (j < len && answer[j] == ' ')
            j++;
        int rssi = 0, digits = 0;
        for (; j < len && digits < 3 && answer[j] >= '0' && answer[j] <= '9'; j++, digits++)
            rssi = rssi * 10 + (answer[j] - '0');
        if (digits == 0 || j >= len || answer[j] != ',' || rssi > 31)
            return SIGNAL_UNKNOWN;  // 99 is the modem's "not known"
        return -113 + 2 * rssi;
    }
    return SIGNAL_UNKNOWN;
}

void stats_signal_install()
{
    if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        perror("stats: pipe");
        wake_pipe[0] = wake_pipe[1] = -1;
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sigusr1;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &sa, nullptr);
}

void *stats_reporter(void *arg)
{
    const gateway_context *ctx = static_cast<const gateway_context *>(arg);
    const int64_t interval = ctx->stats_interval > 0 ? ctx->stats_interval : 0;
    int64_t due = gw_seconds() + interval;
    while (!gateway_stopping.load()) {
        // Wake for the next report, for SIGUSR1, and at least every five
        // gateway seconds to notice gateway_stopping.
        int64_t wait_s = interval > 0 ? due - gw_seconds() : STOP_CHECK_S;
        if (wait_s > STOP_CHECK_S)
            wait_s = STOP_CHECK_S;
        pollfd p{wake_pipe[0], POLLIN, 0};
        const int r = poll(&p, wake_pipe[0] >= 0 ? 1 : 0,
                           wait_s > 0 ? gw_poll_ms(static_cast<int>(wait_s * 1000)) : 0);
        if (r > 0) {
            char drain[64];
            while (read(wake_pipe[0], drain, sizeof drain) > 0) {
            }
        }
        if (asked.exchange(false))
            print_stats(ctx);
        const int64_t now = gw_seconds();
        if (interval > 0 && now >= due) {
            print_stats(ctx);
            due += interval;
            if (due <= now)  // the process stood still: no burst of reports
                due = now + interval;
        }
    }
    return nullptr;
}
