// The end of a demo run: the street reads everything the stopped gateway
// wrote, the gateway's own counts are held against the street's, and the
// radio modules report how they were configured.
#include "drivers/simulator_street.h"

#include <algorithm>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "board/timebase.h"
#include "runtime/main.h"
#include "runtime/report.h"

namespace {

// The street's figures beside the gateway's keys. Exact once nothing is
// under way; a drop by the server makes some figures unknowable, and those
// get a tolerance bounded by what the street saw at risk.
struct count_list {
    std::vector<count_check> v;
    void add(const char *keys, std::string figure, long long street, long long below = 0,
             long long above = 0, const char *why = "")
    {
        v.push_back({keys, std::move(figure), street, street, below, above, why});
    }
};

// Frames up and down, per port: what the street put on each line and what
// reached the far end.
void add_frame_counts(count_list &l, const sim_counters &c)
{
    const char *const dev[2] = {"/dev/ttyO1", "/dev/ttyO2"};
    const char *const relayed[2] = {"other_relayed", "ludeng_relayed"};
    const char *const cut[2] = {"other_relayed other_unsent", "ludeng_relayed ludeng_unsent"};
    for (int i = 0; i < 2; ++i) {
        const sim_port_counters &p = c.port[i];
        l.add(cut[i], std::string("frames of type 1 or 5 put on ") + dev[i], p.relay_sent);
        l.add(relayed[i], std::string("frames from ") + dev[i] + " at the server", p.at_server, 0,
              p.up_at_risk, "written before a drop by the server was seen, never read");
    }
    l.add("server_to_other", "server frames at the 434 MHz module", c.port[0].server_at_module);
    l.add("server_to_ludeng", "server frames at the 450 MHz module", c.port[1].server_at_module);
    l.add("server_to_other",
          "key windows on line " + std::to_string(board.gpio_key_other) + " less SMS payloads",
          c.port[0].key_windows - c.radio_sms);
    l.add("server_to_ludeng", "key windows on line " + std::to_string(board.gpio_key_ludeng),
          c.port[1].key_windows);
}

std::vector<count_check> street_counts(const sim_counters &c)
{
    count_list l;
    add_frame_counts(l, c);
    l.add("sms_received", "messages the modem deleted", c.sms_deleted);
    l.add("sms_done sms_refused sms_unknown sms_ignored sms_multiline sms_bad_password",
          "messages the modem deleted", c.sms_deleted);
    l.add("sms_replies", "answers the modem sent", c.replies_ok + c.replies_status);
    l.add("sms_forwarded", "frames the modem sent on by SMS", c.sms_forwarded);
    l.add("hb_sent", "heartbeats at the server", c.heartbeats, 0, c.server_drops,
          "one written before a drop by the server was seen, never read");
    // The gateway closes a link for silence after five heartbeats without an
    // answer: a server slow to read may answer all five after the close.
    l.add("hb_answered", "heartbeats answered, less answers unread",
          c.heartbeats_answered - c.answers_unread, c.server_drops + 5 * c.gateway_closes, 0,
          "an answer on a connection the server dropped, or up to five answered after the "
          "gateway closed the link for silence");
    l.add("link_connects", "connections the server accepted", c.connections);
    if (c.tls_handshakes > 0)
        l.add("tls_handshakes", "handshakes the server completed", c.tls_handshakes);
    l.add("drops_write drops_closed", "connections the server dropped", c.server_drops);
    l.add("drops_silence", "connections the gateway closed", c.gateway_closes);
    l.add("watchdog_feeds", "rises of line " + std::to_string(board.gpio_watchdog),
          c.watchdog_feeds);
    l.add("companion_restarts", "\"zuzize-vid &\" commands", c.companion_commands);
    return l.v;
}

// Heartbeat answers (type 0, command 7) among the whole frames in b.
int count_answers(const bytes &b)
{
    int n = 0;
    for (size_t i = 0; i + 6 <= b.size();) {
        const size_t len = (static_cast<size_t>(b[i + 2]) << 8 | b[i + 3]) + 6;
        if (b[i] != 0xA3 || b[i + 1] != 0x20 || i + len > b.size() ||
            !sim_whole_frame(
                bytes(b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(i + len)))) {
            ++i;
            continue;
        }
        n += len >= 14 && b[i + 10] == 0 && b[i + 13] == 7;
        i += len;
    }
    return n;
}

// Asks the modem for its version on the gateway's own port, which the
// stopped gateway no longer uses, and waits for the answer: the emulator
// takes commands one after another, so every exchange the gateway began has
// been handled (and reported) by then.
bool modem_caught_up(int fd, const std::string &version, int timeout_ms)
{
    static const char ask[] = "AT+GMR\r";
    if (fd < 0 || write(fd, ask, sizeof ask - 1) != static_cast<ssize_t>(sizeof ask - 1))
        return false;
    std::string got;
    const auto end = sim_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (sim_clock::now() < end) {
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, 20) <= 0)
            continue;
        char buf[512];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;  // the modem is gone
        got.append(buf, static_cast<size_t>(n));
        const size_t at = got.find(version + "\r\n");
        if (at != std::string::npos && got.find("\r\nOK\r\n", at) != std::string::npos)
            return true;
    }
    return false;
}

// What the server sent and the stopped gateway never read: up to the end
// the server's close puts behind its last answer. Closes fd.
bytes read_unread(int fd, int timeout_ms)
{
    bytes rest;
    const auto end = sim_clock::now() + std::chrono::milliseconds(timeout_ms);
    uint8_t buf[4096];
    for (ssize_t n = 1; n > 0 && sim_clock::now() < end;) {
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, 20) <= 0)
            continue;
        n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0)
            rest.insert(rest.end(), buf, buf + n);
    }
    close(fd);
    return rest;
}

// Reads everything the stopped gateway wrote before its counts are held
// against the street's: the modem's last exchange, both radio lines (up to
// a marker behind the gateway's last bytes), the server's connection up to
// its end (the gateway's socket is shut down for writing) and the GPIO
// FIFOs. What the server sent and the gateway never read is counted: the
// heartbeat answers still in the gateway's socket.
void drain_street(sim_street &s)
{
    const int ms = 5000;
    std::vector<std::string> late;
    if (!s.modem_gone && !modem_caught_up(net_fd1.gsm_fd, SIM_MODEM_VERSION, ms))
        late.push_back("the modem");
    for (int i = 0; i < 2; ++i)
        if (!s.radio[i].drain(ms))
            late.push_back(sim_radio_name(i));
    const int fd = net_fd1.sockfd.exchange(-1);
    net_fd1.net_connect_flag.store(0);
    if (fd >= 0)
        shutdown(fd, SHUT_WR);
    if (!s.server.drain(true, ms))
        late.push_back("the server");
    const bytes rest = fd >= 0 ? read_unread(fd, ms) : bytes();
    s.gpio.drain();
    std::lock_guard<std::mutex> hold(s.lock);
    s.c.answers_unread = count_answers(rest);
    for (const std::string &who : late)
        s.c.failures.push_back(who + " had not read everything the stopped gateway wrote after " +
                               std::to_string(ms) + " ms");
}

// The gateway's statistics line as it stands, into s.stats_text, parsed.
gw_stats read_stats(sim_street &s)
{
    char line[STATS_LINE_SIZE];
    stats_line(&net_fd1, line, sizeof line, gw_seconds());
    s.stats_text = line;
    gw_stats st;
    stats_parse(s.stats_text, &st);
    return st;
}

// The counts of the gateway and of the street, held against each other now.
std::vector<count_check> live_counts(sim_street &s)
{
    s.gpio.drain();
    const gw_stats st = read_stats(s);
    std::lock_guard<std::mutex> hold(s.lock);
    std::vector<count_check> v = street_counts(s.c);
    count_checks_run(st, &v);
    return v;
}

// The final counts, with nothing of the gateway running any more. The
// street reads everything the gateway wrote before they are held against
// its own (drain, then compare).
void compare_counts(sim_street &s)
{
    char line[STATS_LINE_SIZE];
    stats_line(&net_fd1, line, sizeof line, gw_seconds());
    s.stats_text = line;
    drain_street(s);
    for (int fd : {net_fd1.w433_other_fd, net_fd1.w433_ludeng_fd, net_fd1.gsm_fd})
        if (fd >= 0)
            close(fd);
    net_fd1.w433_other_fd = net_fd1.w433_ludeng_fd = net_fd1.gsm_fd = -1;
    gw_stats st;
    stats_parse(s.stats_text, &st);
    std::lock_guard<std::mutex> hold(s.lock);
    s.c.counts = street_counts(s.c);
    count_checks_run(st, &s.c.counts);
}

// What module i saw, into its port's counters, and its faults.
void check_module(sim_street &s, int i)
{
    const radio_counts rc = s.radio[i].counts();
    sim_port_counters &pc = s.c.port[i];
    pc.at_module = rc.frames;
    pc.unkeyed = rc.frames_unkeyed;
    pc.config_ok = rc.config_ok;
    pc.config_bad = rc.config_bad;
    pc.frames_bad = rc.frames_bad;
    pc.noise_bytes = rc.noise_bytes;
    pc.settings = s.radio[i].settings_text();
    pc.frequency_mhz = s.radio[i].settings().frequency_mhz;
    const int want_mhz = i == 0 ? 434 : 450;
    const std::string name = sim_radio_name(i);
    std::vector<std::string> &failures = s.c.failures;
    if (rc.config_bad > 0)
        failures.push_back(name + ": " + std::to_string(rc.config_bad) +
                           " malformed configuration command(s)");
    if (rc.config_ok < 9)
        failures.push_back(name + ": " + std::to_string(rc.config_ok) +
                           " of 9 configuration commands");
    if (pc.frequency_mhz != want_mhz)
        failures.push_back(name + ": tuned to " + std::to_string(pc.frequency_mhz) + " MHz, not " +
                           std::to_string(want_mhz));
    if (rc.frames_bad > 0)
        failures.push_back(name + ": " + std::to_string(rc.frames_bad) +
                           " malformed frame(s) from the gateway");
}

}  // namespace

void sim_settle(sim_street &s)
{
    // What the street sent when the timeline ends (a frame on its way, an
    // SMS waiting) is let reach the gateway first; this only waits, the
    // comparison comes after the drain.
    const int settle_ms = static_cast<int>(15000 / s.opt.time_scale) + 2000;
    sim_say(s, "sim", "duration reached; letting what is under way finish");
    wait_for(
        [&s] {
            auto v = live_counts(s);
            return std::all_of(v.begin(), v.end(), [](const count_check &k) { return k.ok; });
        },
        settle_ms);
}

void sim_final_counts(sim_street &s, bool joined, int stop_ms)
{
    if (joined) {
        compare_counts(s);
    } else {
        sim_say(s, "sim", "some gateway threads were still busy and are left behind");
        s.c.failures.push_back("gateway threads still busy " + std::to_string(stop_ms) +
                               " ms after the stop: the counts cannot be compared");
    }
    s.c.stats_line = s.stats_text;
    for (const count_check &k : s.c.counts)
        if (!k.ok)
            s.c.failures.push_back("the gateway's count disagrees: " + count_check_text(k));
}

void sim_check_modules(sim_street &s)
{
    std::lock_guard<std::mutex> hold(s.lock);
    for (int i = 0; i < 2; ++i)
        check_module(s, i);
    const auto inbox = s.modem.inbox();
    s.c.sms_handled = s.c.sms_in - static_cast<int>(inbox.size());
}
