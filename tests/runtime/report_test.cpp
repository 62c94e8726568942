// The statistics line, the status text and the reporter thread.
#include <csignal>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "board/timebase.h"
#include "runtime/report.h"
#include "support/capture.h"
#include "support/testutil.h"

namespace {

// Lines of text that start with prefix.
size_t lines(const std::string &text, const std::string &prefix)
{
    size_t n = 0;
    for (size_t at = 0; (at = text.find(prefix, at)) != std::string::npos; at++)
        n += at == 0 || text[at - 1] == '\n';
    return n;
}

void set(gw_counter &c, uint64_t v)
{
    c.store(v);
}

}  // namespace

TEST(Report, StatsLineHoldsEveryKeyInItsOrder)
{
    counters_reset(1000);
    net_fd1.net_connect_flag.store(1);
    counters_link_changed(1100);
    set(gw_counters.link.attempts, 3), set(gw_counters.link.heartbeats_sent, 14);
    set(gw_counters.port[PORT_OTHER].frames_relayed, 7);
    set(gw_counters.port[PORT_LUDENG].bytes_overflow, 9);
    set(gw_counters.server.frames_to_ludeng, 2), set(gw_counters.sms.modem_silent, 4);
    set(gw_counters.board.companion_restarts, 1);
    char line[STATS_LINE_SIZE];
    const size_t n = stats_line(&net_fd1, line, sizeof line, 4600);
    net_fd1.net_connect_flag.store(0);
    EXPECT_EQ(std::string(line, n),
              std::string("stats version=") + gateway_version() +
                  " uptime=3600 link=up link_for=3500 link_attempts=3 link_connects=0 "
                  "drops_write=0 drops_silence=0 drops_closed=0 hb_sent=14 hb_answered=0 "
                  "tls_handshakes=0 tls_failures=0 "
                  "other_bytes=0 other_relayed=7 other_handled=0 other_unsent=0 other_ignored=0 "
                  "other_discarded=0 other_overflow=0 ludeng_bytes=0 ludeng_relayed=0 "
                  "ludeng_handled=0 ludeng_unsent=0 ludeng_ignored=0 ludeng_discarded=0 "
                  "ludeng_overflow=9 server_bytes=0 server_frames=0 server_to_other=0 "
                  "server_to_ludeng=2 server_commands=0 server_ignored=0 server_discarded=0 "
                  "sms_received=0 sms_done=0 sms_refused=0 sms_unknown=0 sms_ignored=0 "
                  "sms_multiline=0 sms_bad_password=0 sms_replies=0 sms_forwarded=0 "
                  "sms_send_failed=0 sms_forward_dropped=0 sms_delete_failed=0 modem_silent=4 "
                  "watchdog_feeds=0 companion_restarts=1");
    // Every counter at its largest still fits the line.
    for (port_counters &p : gw_counters.port)
        set(p.bytes_read, UINT64_MAX), set(p.bytes_overflow, UINT64_MAX);
    set(gw_counters.board.companion_restarts, UINT64_MAX);
    EXPECT_LT(stats_line(&net_fd1, line, sizeof line, INT64_MAX), sizeof line - 1);
    EXPECT_EQ(std::string(line).substr(std::string(line).rfind(' ')),
              " companion_restarts=18446744073709551615");
}

TEST(Report, StatusTextFitsOneSmsAndReadsTheSignal)
{
    counters_reset(0);
    counters_link_changed(86400 + 3 * 3600 + 4 * 60 + 59);
    set(gw_counters.port[PORT_OTHER].frames_relayed, 3300000);
    set(gw_counters.port[PORT_LUDENG].frames_relayed, 3300001);
    set(gw_counters.server.frames_to_other, 12), set(gw_counters.server.frames_to_ludeng, 30);
    set(gw_counters.link.heartbeats_answered, 1439), set(gw_counters.link.heartbeats_sent, 1440);
    set(gw_counters.link.connects, 4);
    char text[200];
    const int64_t now = 2 * 86400 + 5 * 3600 + 60;
    EXPECT_EQ(std::string(text, status_text(&net_fd1, text, sizeof text, now, -73)),
              std::string("lampgw ") + gateway_version() +
                  " up 2d05h01m, link down 1d01h56m, frames up 6600001 down 42, hb 1439/1440, "
                  "reconnects 3, signal -73 dBm");
    EXPECT_LE(status_text(&net_fd1, text, sizeof text, now, SIGNAL_UNKNOWN), STATUS_TEXT_MAX);
    EXPECT_NE(std::string(text).find(", signal unknown"), std::string::npos);
    set(gw_counters.link.heartbeats_sent, UINT64_MAX), set(gw_counters.link.connects, UINT64_MAX);
    EXPECT_EQ(status_text(&net_fd1, text, sizeof text, INT64_MAX, -113), STATUS_TEXT_MAX);
    EXPECT_EQ(std::strlen(text), STATUS_TEXT_MAX);

    const struct {
        const char *answer;
        int dbm;
    } csq[] = {{"\r\n+CSQ: 0,99\r\n\r\nOK\r\n", -113},
               {"+CSQ: 31,0", -51},
               {"+CSQ:20,99", -73},
               {"\r\n+CSQ: 99,99\r\nOK", SIGNAL_UNKNOWN},
               {"+CSQ: 32,0", SIGNAL_UNKNOWN},
               {"+CSQ: 2", SIGNAL_UNKNOWN},
               {"\r\nERROR\r\n", SIGNAL_UNKNOWN},
               {"", SIGNAL_UNKNOWN}};
    for (const auto &c : csq)
        EXPECT_EQ(signal_dbm_from_csq(c.answer, std::strlen(c.answer)), c.dbm) << c.answer;
}

// SIGUSR1 prints a line at once, also with the report turned off; with an
// interval the lines come on their own.
TEST(Report, ReporterAnswersTheSignalAndKeepsTheInterval)
{
    testutil::BoardGuard guard;
    time_set_speedup(200);
    stats_signal_install();
    for (int interval : {0, 2}) {
        testutil::Capture out;
        auto reports = [&] { return lines(out.text(), "stats "); };
        gateway_context ctx{};
        ctx.stats_interval = interval;
        gateway_stopping.store(false);
        std::thread reporter([&] { stats_reporter(&ctx); });
        if (interval == 0) {
            raise(SIGUSR1);
            EXPECT_TRUE(testutil::wait_for("the line SIGUSR1 asked for", 5000,
                                           [&] { return reports() == 1; }));
            gw_sleep(20);  // 20 gateway seconds bring no report
        } else {
            EXPECT_TRUE(testutil::wait_for("three reports", 5000, [&] { return reports() >= 3; }));
        }
        gateway_stopping.store(true);
        reporter.join();
        EXPECT_EQ(lines(out.end(), "stats ") == 1, interval == 0);
    }
    gateway_stopping.store(false);
}
