// The demo's street: its set-up, its transcript and what its stand-ins
// report and count while the gateway runs.
#include "drivers/simulator_street.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <unistd.h>

#include "board/timebase.h"
#include "io/tls.h"
#include "peers/certs.h"
#include "runtime/connect.h"
#include "runtime/main.h"

const char *const SIM_MODEM_VERSION = "ME3630C3CV1.0B06";
const uint8_t SIM_GATEWAY_ADDRESS[6] = {0x01, 0x02, 0x03, 0x04, 0x05, 0xA6};
sim_street *sim_current = nullptr;

namespace {

// ------------------------------------------------------------ transcript

// Prints the gateway's complete lines waiting in the pipe; out_lock held.
// False at the end of the pipe.
bool drain_console(sim_street &s)
{
    char buf[4096];
    ssize_t n = 0;
    while (s.console_fd >= 0 && (n = read(s.console_fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return true;  // nothing more for now
        s.console_partial.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = s.console_partial.find('\n')) != std::string::npos) {
            if (!s.opt.quiet)
                std::fprintf(s.out.f, "gw  | %s\n", s.console_partial.substr(0, nl).c_str());
            s.console_partial.erase(0, nl + 1);
        }
    }
    std::fflush(s.out.f);
    return s.console_fd >= 0 && n != 0;
}

// The console reader's thread: prints the gateway's lines as they come, and
// the last one even without its end of line once the pipe has ended.
void read_console(sim_street &s)
{
    for (bool open = true; open;) {
        pollfd pf{s.console_fd, POLLIN, 0};
        poll(&pf, 1, 100);
        std::lock_guard<std::mutex> hold(s.out_lock);
        open = drain_console(s);
    }
    std::lock_guard<std::mutex> hold(s.out_lock);
    if (!s.console_partial.empty() && !s.opt.quiet)
        std::fprintf(s.out.f, "gw  | %s\n", s.console_partial.c_str());
    s.console_partial.clear();
    std::fflush(s.out.f);
}

// ------------------------------------------------------------ the shell

// board.run_command during a run: records every line; "zuzize-vid &" starts
// the real companion, "reboot" is only counted.
int sim_shell(const char *cmdline)
{
    sim_street *s = sim_current;
    if (s == nullptr)
        return 0;
    const std::string cmd = cmdline ? cmdline : "";
    if (cmd == "reboot") {
        {
            std::lock_guard<std::mutex> hold(s->lock);
            ++s->c.reboots;
        }
        sim_say(*s, "shell", "\"reboot\" requested (recorded, not run)");
        return 0;
    }
    if (cmd == "zuzize-vid &") {
        std::lock_guard<std::mutex> hold(s->lock);
        ++s->c.companion_commands;
    }
    if (cmd == "zuzize-vid &" && !s->opt.companion.empty()) {
        s->processes.reap();  // the companions that have ended leave the table
        const pid_t pid = s->processes.start(s->opt.companion, "zuzize-vid");
        if (pid > 0) {
            std::lock_guard<std::mutex> hold(s->lock);
            ++s->c.companion_starts;
        }
        sim_say(*s, "shell",
                pid > 0 ? "\"zuzize-vid &\": companion started, pid " + std::to_string(pid)
                        : std::string("\"zuzize-vid &\": start failed"));
        return pid > 0 ? 0 : -1;
    }
    sim_say(*s, "shell", "\"" + cmd + "\" recorded");
    return 0;
}

// ------------------------------------------------------------ the radio modules

// A frame in radio form that reached module i: one of the server's, if the
// server sent that form to this module.
void radio_logged(sim_street &s, int i, const std::string &line)
{
    if (line.compare(0, 3, "<- ") == 0) {
        const std::string form = line.substr(3, line.find(" : ") - 3);
        std::lock_guard<std::mutex> hold(s.lock);
        auto it = s.server_forms[i].find(form);
        if (it != s.server_forms[i].end()) {
            s.server_forms[i].erase(it);
            ++s.c.port[i].server_at_module;
        }
    }
    sim_say(s, sim_radio_name(i), line);
}

void lamp_sent(sim_street &s, int i, const bytes &f, sim_clock::time_point at)
{
    {
        std::lock_guard<std::mutex> hold(s.lock);
        ++s.c.port[i].lamp_frames;
        ++s.c.port[i].relay_sent;
        s.c.port[i].up_at_risk += s.link_lost;
        s.pending[f] = {at, i};
    }
    sim_say(s, sim_radio_name(i),
            "lamp " + std::to_string(f.size() > 12 ? f[12] : 0) + " -> status " + hex(f));
}

// ------------------------------------------------------------ the modem

void modem_event(sim_street &s, const std::string &ev)
{
    if (ev.compare(0, 7, "AT+CMGL") == 0)
        return;  // the poll every few seconds; SMS arrivals are logged on their own
    std::string line = ev;
    if (ev.compare(0, 11, "sms sent to") == 0) {
        auto sent = s.modem.sent();
        if (!sent.empty())
            line += ", text \"" + sent.back().text + "\"";
    }
    sim_say(s, "modem", line);
}

// A radio payload by SMS is keyed out once its message is deleted, whether
// or not its answer then reaches the modem.
void sms_deleted(sim_street &s, bool found, const emu_sms &m)
{
    std::lock_guard<std::mutex> hold(s.lock);
    if (!found)
        return;
    ++s.c.sms_deleted;
    s.c.radio_sms +=
        m.text.compare(0, 9, "para set ") == 0 || m.text.compare(0, 10, "set netid ") == 0;
}

void sms_sent(sim_street &s, const emu_sent_sms &m)
{
    std::lock_guard<std::mutex> hold(s.lock);
    if (m.text == "ok")
        ++s.c.replies_ok;
    else if (m.text.compare(0, 7, "lampgw ") == 0)
        ++s.c.replies_status;
    else
        ++s.c.sms_forwarded;
}

// ------------------------------------------------------------ the server

void server_connected(sim_street &s, int n)
{
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.c.connections = n;
        s.c.tls_handshakes = s.server.tls_handshakes();
        s.c.tls_refused = s.server.tls_refused();
        s.link_lost = false;
        s.connected_at = sim_clock::now();
    }
    sim_say(s, "server",
            n == 1 ? "gateway connected"
                   : "gateway connected again (connection " + std::to_string(n) + ")");
}

void server_closed(sim_street &s)
{
    if (gateway_stopping.load())
        return;  // the end of the run closes the link
    {
        std::lock_guard<std::mutex> hold(s.lock);
        ++s.c.gateway_closes;
    }
    sim_say(s, "server", "gateway closed the connection");
}

// Counts frame f at the server; a frame the street sent up gets its latency,
// returned as the transcript's note. s.lock held.
std::string count_at_server(sim_street &s, const bytes &f, sim_clock::time_point at)
{
    auto it = s.pending.find(f);
    if (it == s.pending.end()) {
        if (f.size() > 10 && (f[10] == 1 || f[10] == 5))
            ++s.c.port[f[10] == 1 ? 0 : 1].at_server;
        return "";
    }
    ++s.c.port[it->second.second].at_server;
    const double ms = std::chrono::duration<double, std::milli>(at - it->second.first).count();
    s.c.latency_ms.push_back(ms);
    s.pending.erase(it);
    char t[48];
    std::snprintf(t, sizeof t, ", %.2f ms after the lamp", ms);
    return t;
}

void server_frame(sim_street &s, const bytes &f)
{
    const auto at = sim_clock::now();
    const bool heartbeat = f.size() >= 14 && f[10] == 0 && f[13] == 6;
    const bool answered = s.server.answer_heartbeats.load();
    std::string note;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        ++s.c.server_frames;
        if (heartbeat) {
            ++s.c.heartbeats;
            s.c.heartbeats_answered += answered;
        }
        note = count_at_server(s, f, at);
    }
    if (heartbeat)
        sim_say(s, "server",
                std::string("<- heartbeat ") + hex(f) +
                    (answered ? ", answered" : ", left unanswered (silent)"));
    else
        sim_say(s, "server", "<- " + describe_frame(f) + note + " : " + hex(f));
}

// ------------------------------------------------------------ the GPIO lines

// A transmit key line k (0: 434 MHz module, 1: 450 MHz) changed; the text
// for the transcript when a window closed. s.lock held.
std::string key_changed(sim_street &s, int k, const gpio_event &e, bool rise, bool fall)
{
    s.radio[k].set_key(e.level == 1);
    if (rise) {
        ++s.c.port[k].key_windows;
        s.key_since[k] = e.at;
        return "";
    }
    if (!fall)
        return "";
    const double ms =
        std::chrono::duration<double, std::milli>(e.at - s.key_since[k]).count() * time_speedup();
    char t[80];
    std::snprintf(t, sizeof t, "transmit key %d window closed after %.0f ms gateway time", e.line,
                  ms);
    return t;
}

// One level the gateway set; the text for the transcript, if any. s.lock held.
std::string gpio_changed(sim_street &s, const gpio_event &e)
{
    const int before = s.last_level[e.line];
    s.last_level[e.line] = e.level;
    const bool rise = e.level == 1 && before != 1, fall = e.level == 0 && before == 1;
    const int k = e.line == board.gpio_key_other ? 0 : e.line == board.gpio_key_ludeng ? 1 : -1;
    const std::string line = std::to_string(e.line);
    if (k >= 0)
        return key_changed(s, k, e, rise, fall);
    if (e.line == board.gpio_watchdog && rise) {
        ++s.c.watchdog_feeds;
        return "watchdog fed (line " + line + ")";
    }
    if (e.line == board.gpio_modem_reset) {
        if (e.level == 0 && s.running.load())
            ++s.c.modem_resets;
        return "modem reset line " + line + (e.level == 0 ? " low" : " high");
    }
    return "";
}

void gpio_event_seen(sim_street &s, const gpio_event &e)
{
    std::string text;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (e.line < 0 || e.line >= 128)
            return;
        text = gpio_changed(s, e);
    }
    if (!text.empty())
        sim_say(s, "gpio", text);
}

// ------------------------------------------------------------ set-up

// Every report of the stand-ins goes to the transcript and the counters.
void wire_reports(sim_street &s)
{
    for (int i = 0; i < 2; ++i) {
        s.radio[i].on_log = [&s, i](const std::string &line) { radio_logged(s, i, line); };
        s.radio[i].on_status = [&s, i](const bytes &f, sim_clock::time_point at) {
            lamp_sent(s, i, f, at);
        };
    }
    s.modem.on_event = [&s](const std::string &ev) { modem_event(s, ev); };
    s.modem.on_delete = [&s](bool found, const emu_sms &m) { sms_deleted(s, found, m); };
    s.modem.on_sms = [&s](const emu_sent_sms &m) { sms_sent(s, m); };
    s.server.on_connect = [&s](int n) { server_connected(s, n); };
    s.server.on_close = [&s] { server_closed(s); };
    s.server.on_frame = [&s](const bytes &f) { server_frame(s, f); };
    s.gpio.on_event = [&s](const gpio_event &e) { gpio_event_seen(s, e); };
}

// With --tls: the certificates in the run's directory, the server's side of
// the protected link.
bool server_tls(sim_street &s)
{
    test_certs certs;
    std::string err;
    if (test_certs_make(s.dir, &certs, &err) && s.server.use_tls(street_server_tls(certs), &err))
        return true;
    std::fprintf(stderr, "lampgw-sim: %s\n", err.c_str());
    return false;
}

bool start_stand_ins(sim_street &s)
{
    s.modem.set_version(SIM_MODEM_VERSION);
    wire_reports(s);
    if (s.opt.tls && !server_tls(s))
        return false;
    return s.radio[0].start() && s.radio[1].start() && s.modem.start() && s.server.start() &&
           !s.gpio.root().empty() && !s.processes.root().empty();
}

// config.txt for the street's server, and the second modem node the
// supervision loop watches.
void write_files(sim_street &s)
{
    std::ofstream f(s.config);
    f << "server_ip_addr=127.0.0.1\nserver_port_num=" << s.server.port()
      << "\ndevice_id=" << hex(SIM_GATEWAY_ADDRESS, 6, "") << "\n";
    if (s.opt.tls)
        f << test_certs{s.dir}.gateway_keys();
    std::ofstream w(s.watch);
}

void point_board(sim_street &s)
{
    board.radio_other_dev = s.radio[0].path().c_str();
    board.radio_ludeng_dev = s.radio[1].path().c_str();
    board.gsm_dev = s.modem.slave_path().c_str();
    board.gsm_watch_dev = s.watch.c_str();
    board.gpio_root = s.gpio.root().c_str();
    board.proc_root = s.processes.root().c_str();
    board.config_file = s.config.c_str();
    board.state_dir = s.dir.c_str();  // the count of modem reboots
    board.run_command = sim_shell;
    sim_current = &s;
    time_set_speedup(s.opt.time_scale);
}

}  // namespace

sim_street::sim_street(const sim_options &o, sim_counters &cnt)
    : opt(o),
      c(cnt),
      saved_board(board),
      saved_speedup(time_speedup()),
      radio{{1, o.lamps}, {2, o.lamps}},
      gpio(board_gpio_lines())
{
    std::fill(std::begin(last_level), std::end(last_level), -1);
}

const char *sim_radio_name(int i)
{
    return i == 0 ? "radio1" : "radio2";
}

double sim_gateway_seconds(const sim_street &s)
{
    std::chrono::duration<double> d = sim_clock::now() - s.workers_at;
    return d.count() * time_speedup();
}

void sim_say(sim_street &s, const char *who, const std::string &text)
{
    if (s.opt.on_line)
        s.opt.on_line(std::string(who) + ": " + text);
    std::lock_guard<std::mutex> hold(s.out_lock);
    drain_console(s);
    if (s.opt.quiet)
        return;
    std::fprintf(s.out.f, "sim | %s: %s\n", who, text.c_str());
    std::fflush(s.out.f);
}

bool sim_whole_frame(const bytes &b)
{
    if (b.size() < 6 || b[0] != 0xA3 || b[1] != 0x20 ||
        (static_cast<size_t>(b[2]) << 8 | b[3]) + 6 != b.size())
        return false;
    const uint16_t crc = modbus_crc(b.data(), b.size() - 2);
    return b[b.size() - 2] == (crc >> 8) && b[b.size() - 1] == (crc & 0xFF);
}

bool sim_street_open(sim_street &s)
{
    s.dir = make_run_dir("lampgw-sim");
    if (s.dir.empty()) {
        perror("mkdtemp");
        return false;
    }
    s.config = s.dir + "/config.txt";
    s.watch = s.dir + "/ttyUSB2";
    if (!start_stand_ins(s)) {
        std::fprintf(stderr, "lampgw-sim: the simulated street could not be set up\n");
        remove_tree(s.dir);
        return false;
    }
    write_files(s);
    point_board(s);
    return true;
}

void sim_street_close(sim_street &s)
{
    // The gateway's TLS settings live as long as the process: after a run
    // with --tls, whatever runs in it next (the tests) finds the plain link.
    if (s.opt.tls) {
        std::ofstream(s.config, std::ios::trunc).flush();
        tls_link_setup(s.config.c_str());
        tls_stop();
    }
    board = s.saved_board;
    time_set_speedup(s.saved_speedup);
    sim_current = nullptr;
    remove_tree(s.dir);
}

bool sim_console_start(sim_console &con, sim_street &s)
{
    std::fflush(stdout);
    int p[2];
    if (pipe(p) != 0)
        return false;
    con.saved = dup(1);
    if (con.saved < 0 || dup2(p[1], 1) < 0) {
        close(p[0]);
        close(p[1]);
        return false;
    }
    close(p[1]);
    fcntl(p[0], F_SETFD, FD_CLOEXEC);
    fcntl(con.saved, F_SETFD, FD_CLOEXEC);
    con.read_end = p[0];
    // Lines as they come, even though stdout is now a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    s.out.f = fdopen(dup(con.saved), "w");
    fcntl(con.read_end, F_SETFL, fcntl(con.read_end, F_GETFL) | O_NONBLOCK);
    s.console_fd = con.read_end;
    con.st = &s;
    con.reader = std::thread([&s] { read_console(s); });
    return true;
}

void sim_console_stop(sim_console &con)
{
    if (con.saved < 0)
        return;
    std::fflush(stdout);
    dup2(con.saved, 1);
    close(con.saved);
    con.saved = -1;
    if (con.reader.joinable())
        con.reader.join();
    {
        std::lock_guard<std::mutex> hold(con.st->out_lock);
        con.st->console_fd = -1;
    }
    close(con.read_end);
}
