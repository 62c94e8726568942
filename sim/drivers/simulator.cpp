#include "drivers/simulator.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "board/board.h"
#include "board/timebase.h"
#include "modem/message.h"
#include "peers/modem_emulator.h"
#include "peers/process_table.h"
#include "peers/radio_module.h"
#include "runtime/connect.h"
#include "runtime/main.h"
#include "runtime/report.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int KEY_OTHER = 117, KEY_LUDENG = 7, WATCHDOG = 60, MODEM_RESET = 115, STARTUP_PULSE = 48;
const char *const DEVICE_ID = "0102030405A6";
const char *const MODEM_VERSION = "ME3630C3CV1.0B06";
const uint8_t GATEWAY_ADDRESS[6] = {0x01, 0x02, 0x03, 0x04, 0x05, 0xA6};

// ------------------------------------------------------------ parsing

bool parse_number(const std::string &s, double *out)
{
    char *end = nullptr;
    errno = 0;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || errno != 0 || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

bool parse_int(const std::string &s, long lo, long hi, int *out)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || errno != 0 || v < lo || v > hi)
        return false;
    *out = static_cast<int>(v);
    return true;
}

// Hex digits, blanks between bytes allowed: "A3 20 00" or "A32000".
bool parse_hex(const std::string &text, bytes *out)
{
    std::string digits;
    for (char ch : text)
        if (ch != ' ' && ch != '\t')
            digits += ch;
    if (digits.empty() || digits.size() % 2 != 0)
        return false;
    out->clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        int v = 0;
        for (size_t k = i; k < i + 2; ++k) {
            char ch = digits[k];
            int d = ch >= '0' && ch <= '9'   ? ch - '0'
                    : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                    : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                             : -1;
            if (d < 0)
                return false;
            v = v * 16 + d;
        }
        out->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

// A whole frame when it starts A3 20 and its length field matches its size;
// otherwise the bytes are taken as a frame body and wrapped.
bytes as_frame(const bytes &b)
{
    if (b.size() >= 6 && b[0] == 0xA3 && b[1] == 0x20 &&
        (static_cast<size_t>(b[2]) << 8 | b[3]) + 6 == b.size())
        return b;
    return make_frame(b);
}

// True when b is exactly one frame with a good CRC.
bool whole_frame(const bytes &b)
{
    if (b.size() < 6 || b[0] != 0xA3 || b[1] != 0x20 ||
        (static_cast<size_t>(b[2]) << 8 | b[3]) + 6 != b.size())
        return false;
    const uint16_t crc = modbus_crc(b.data(), b.size() - 2);
    return b[b.size() - 2] == (crc >> 8) && b[b.size() - 1] == (crc & 0xFF);
}

// Splits off the first blank-separated word of s; s keeps the rest, without
// the blanks in between.
std::string next_word(std::string &s)
{
    size_t start = s.find_first_not_of(" \t");
    if (start == std::string::npos) {
        s.clear();
        return "";
    }
    size_t end = s.find_first_of(" \t", start);
    std::string w = s.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t rest = end == std::string::npos ? std::string::npos : s.find_first_not_of(" \t", end);
    s = rest == std::string::npos ? "" : s.substr(rest);
    return w;
}

bool parse_port(const std::string &w, int *port)
{
    return parse_int(w, 1, 2, port);
}

// One scenario line without its time. Returns an empty text when fine.
std::string parse_event(const std::string &name, std::string rest, sim_event *e)
{
    if (name == "sms") {
        e->kind = sim_event_kind::sms;
        e->sender = next_word(rest);
        e->text = rest;
        return e->sender.empty() ? "sms needs a sender and a text" : "";
    }
    if (name == "radio1" || name == "radio2") {
        e->kind = sim_event_kind::radio_bytes;
        e->port = name[5] - '0';
        bool frame = rest.compare(0, 6, "frame ") == 0;
        if (frame)
            next_word(rest);
        if (!parse_hex(rest, &e->data))
            return name + " needs hex bytes";
        if (frame)
            e->data = make_frame(e->data);
        return "";
    }
    if (name == "lamp1" || name == "lamp2") {
        e->kind = sim_event_kind::lamp;
        e->port = name[4] - '0';
        return parse_int(next_word(rest), 1, 255, &e->lamp) && rest.empty()
                   ? ""
                   : name + " needs a lamp number 1..255";
    }
    if (name == "server") {
        e->kind = sim_event_kind::server_frame;
        if (!parse_hex(rest, &e->data))
            return "server needs hex bytes";
        e->data = as_frame(e->data);
        return "";
    }
    if (name == "server-lamp") {
        e->kind = sim_event_kind::server_lamp;
        e->level = 50;
        if (!parse_port(next_word(rest), &e->port) || !parse_int(next_word(rest), 1, 255, &e->lamp))
            return "server-lamp needs a port (1 or 2) and a lamp number";
        if (!rest.empty() && (!parse_int(next_word(rest), 0, 255, &e->level) || !rest.empty()))
            return "server-lamp: the level is 0..255";
        return "";
    }
    if (name == "silent" || name == "modem-babble") {
        e->kind = name == "silent" ? sim_event_kind::silent : sim_event_kind::modem_babble;
        std::string w = next_word(rest);
        e->on = w == "on";
        return (w == "on" || w == "off") && rest.empty() ? "" : name + " needs on or off";
    }
    const struct {
        const char *name;
        sim_event_kind kind;
    } bare[] = {{"server-reset-modem", sim_event_kind::server_reset_modem},
                {"drop", sim_event_kind::drop},
                {"modem-vanish", sim_event_kind::modem_vanish}};
    for (auto &b : bare)
        if (name == b.name) {
            e->kind = b.kind;
            return rest.empty() ? "" : name + " takes no arguments";
        }
    return "unknown event \"" + name + "\"";
}

// ------------------------------------------------------------ the run

// Everything the callbacks of the stand-ins share. One instance per run,
// reached by the shell runner through `current`.
struct street {
    const sim_options &opt;
    sim_counters &c;
    FILE *out = nullptr;  // the real standard output
    std::mutex out_lock;  // one line at a time on `out`
    std::mutex lock;      // guards c, pending, key_since, shell state
    // Frames on their way up: when they left and on which line.
    std::map<bytes, std::pair<clock_type::time_point, int>> pending;
    // From a drop by the server until the gateway connects again, frames
    // sent up may be lost after the gateway wrote them.
    bool link_lost = false;
    clock_type::time_point connected_at;         // the server's latest accept
    std::multiset<std::string> server_forms[2];  // radio forms the server sent, per module
    clock_type::time_point key_since[2];
    int last_level[128];
    // The gateway's process watch looks here, not at /proc: it sees the
    // companions of this run and nothing else on the machine.
    ProcessTable processes;
    clock_type::time_point workers_at;

    street(const sim_options &o, sim_counters &cnt) : opt(o), c(cnt)
    {
        std::fill(std::begin(last_level), std::end(last_level), -1);
    }
    ~street()
    {
        if (out)
            std::fclose(out);
    }
    street(const street &) = delete;
    street &operator=(const street &) = delete;

    double gateway_seconds() const
    {
        std::chrono::duration<double> d = clock_type::now() - workers_at;
        return d.count() * time_speedup();
    }

    // The gateway's console arrives through a pipe (console_fd). Whatever it
    // has written is printed before each line of the street's own, so the
    // transcript keeps the order in which things happened.
    int console_fd = -1;  // read end, non-blocking; -1 before the capture
    std::string console_partial;

    // Prints the gateway's complete lines waiting in the pipe; out_lock
    // held. False at the end of the pipe.
    bool drain_console()
    {
        char buf[4096];
        ssize_t n = 0;
        while (console_fd >= 0 && (n = read(console_fd, buf, sizeof buf)) != 0) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return true;  // nothing more for now
            console_partial.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = console_partial.find('\n')) != std::string::npos) {
                if (!opt.quiet)
                    std::fprintf(out, "gw  | %s\n", console_partial.substr(0, nl).c_str());
                console_partial.erase(0, nl + 1);
            }
        }
        std::fflush(out);
        return console_fd >= 0 && n != 0;
    }

    void say(const char *who, const std::string &text)
    {
        if (opt.on_line)
            opt.on_line(std::string(who) + ": " + text);
        std::lock_guard<std::mutex> hold(out_lock);
        drain_console();
        if (opt.quiet)
            return;
        std::fprintf(out, "sim | %s: %s\n", who, text.c_str());
        std::fflush(out);
    }
};

street *current = nullptr;

// board.run_command during a run: records every line; "zuzize-vid &" starts
// the real companion, "reboot" is only counted.
int sim_shell(const char *cmdline)
{
    street *s = current;
    if (s == nullptr)
        return 0;
    const std::string cmd = cmdline ? cmdline : "";
    if (cmd == "reboot") {
        {
            std::lock_guard<std::mutex> hold(s->lock);
            ++s->c.reboots;
        }
        s->say("shell", "\"reboot\" requested (recorded, not run)");
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
        s->say("shell", pid > 0 ? "\"zuzize-vid &\": companion started, pid " + std::to_string(pid)
                                : std::string("\"zuzize-vid &\": start failed"));
        return pid > 0 ? 0 : -1;
    }
    s->say("shell", "\"" + cmd + "\" recorded");
    return 0;
}

std::string describe_frame(const bytes &f)
{
    if (f.size() < 14)
        return hex(f);
    char t[80];
    std::snprintf(t, sizeof t, "type %u, command %02X, address %s", f[10], f[13],
                  hex(bytes(f.begin() + 4, f.begin() + 10)).c_str());
    return t;
}

// The gateway's stdout, redirected into a pipe for the run.
struct console_capture {
    int saved = -1;  // the real standard output
    int read_end = -1;
    street *st = nullptr;
    std::thread reader;

    bool start(street &s)
    {
        std::fflush(stdout);
        int p[2];
        if (pipe(p) != 0)
            return false;
        saved = dup(1);
        if (saved < 0 || dup2(p[1], 1) < 0) {
            close(p[0]);
            close(p[1]);
            return false;
        }
        close(p[1]);
        fcntl(p[0], F_SETFD, FD_CLOEXEC);
        fcntl(saved, F_SETFD, FD_CLOEXEC);
        read_end = p[0];
        // Lines as they come, even though stdout is now a pipe.
        setvbuf(stdout, nullptr, _IOLBF, 0);
        s.out = fdopen(dup(saved), "w");
        fcntl(read_end, F_SETFL, fcntl(read_end, F_GETFL) | O_NONBLOCK);
        s.console_fd = read_end;
        st = &s;
        reader = std::thread([&s] {
            for (bool open = true; open;) {
                pollfd pf{s.console_fd, POLLIN, 0};
                poll(&pf, 1, 100);
                std::lock_guard<std::mutex> hold(s.out_lock);
                open = s.drain_console();
            }
            std::lock_guard<std::mutex> hold(s.out_lock);
            if (!s.console_partial.empty() && !s.opt.quiet)
                std::fprintf(s.out, "gw  | %s\n", s.console_partial.c_str());
            s.console_partial.clear();
            std::fflush(s.out);
        });
        return true;
    }

    // Gives standard output back; the reader ends with the pipe.
    void stop()
    {
        if (saved < 0)
            return;
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        saved = -1;
        if (reader.joinable())
            reader.join();
        {
            std::lock_guard<std::mutex> hold(st->out_lock);
            st->console_fd = -1;
        }
        close(read_end);
    }
};

// A worker thread of the gateway that reports when its entry returned.
struct worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

// The street's figures beside the gateway's keys. Exact once nothing is
// under way; a drop by the server makes some figures unknowable, and those
// get a tolerance bounded by what the street saw at risk.
std::vector<count_check> street_counts(const sim_counters &c)
{
    std::vector<count_check> v;
    auto add = [&v](const char *keys, std::string figure, long long street, long long below = 0,
                    long long above = 0, const char *why = "") {
        v.push_back({keys, std::move(figure), street, street, below, above, why});
    };
    const char *const dev[2] = {"/dev/ttyO1", "/dev/ttyO2"};
    const char *const relayed[2] = {"other_relayed", "ludeng_relayed"};
    const char *const cut[2] = {"other_relayed other_unsent", "ludeng_relayed ludeng_unsent"};
    for (int i = 0; i < 2; ++i) {
        const sim_port_counters &p = c.port[i];
        add(cut[i], std::string("frames of type 1 or 5 put on ") + dev[i], p.relay_sent);
        add(relayed[i], std::string("frames from ") + dev[i] + " at the server", p.at_server, 0,
            p.up_at_risk, "written before a drop by the server was seen, never read");
    }
    add("server_to_other", "server frames at the 434 MHz module", c.port[0].server_at_module);
    add("server_to_ludeng", "server frames at the 450 MHz module", c.port[1].server_at_module);
    add("server_to_other", "key windows on line 117 less SMS payloads",
        c.port[0].key_windows - c.radio_sms);
    add("server_to_ludeng", "key windows on line 7", c.port[1].key_windows);
    add("sms_received", "messages the modem deleted", c.sms_deleted);
    add("sms_done sms_refused sms_unknown sms_ignored sms_multiline sms_bad_password",
        "messages the modem deleted", c.sms_deleted);
    add("sms_replies", "answers the modem sent", c.replies_ok + c.replies_status);
    add("sms_forwarded", "frames the modem sent on by SMS", c.sms_forwarded);
    add("hb_sent", "heartbeats at the server", c.heartbeats, 0, c.server_drops,
        "one written before a drop by the server was seen, never read");
    // The gateway closes a link for silence after five heartbeats without an
    // answer: a server slow to read may answer all five after the close.
    add("hb_answered", "heartbeats answered, less answers unread",
        c.heartbeats_answered - c.answers_unread, c.server_drops + 5 * c.gateway_closes, 0,
        "an answer on a connection the server dropped, or up to five answered after the "
        "gateway closed the link for silence");
    add("link_connects", "connections the server accepted", c.connections);
    add("drops_write drops_closed", "connections the server dropped", c.server_drops);
    add("drops_silence", "connections the gateway closed", c.gateway_closes);
    add("watchdog_feeds", "rises of line 60", c.watchdog_feeds);
    add("companion_restarts", "\"zuzize-vid &\" commands", c.companion_commands);
    return v;
}

// Heartbeat answers (type 0, command 7) among the whole frames in b.
int count_answers(const bytes &b)
{
    int n = 0;
    for (size_t i = 0; i + 6 <= b.size();) {
        const size_t len = (static_cast<size_t>(b[i + 2]) << 8 | b[i + 3]) + 6;
        if (b[i] != 0xA3 || b[i + 1] != 0x20 || i + len > b.size() ||
            !whole_frame(
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
    const auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (clock_type::now() < end) {
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

// Reads everything the stopped gateway wrote before its counts are held
// against the street's: the modem's last exchange, both radio lines (up to
// a marker behind the gateway's last bytes), the server's connection up to
// its end (the gateway's socket is shut down for writing) and the GPIO
// FIFOs. What the server sent and the gateway never read is counted: the
// heartbeat answers still in the gateway's socket.
void drain_street(street &s, RadioModule *const radio[2], ServerPeer &server, GpioTree &gpio,
                  bool modem_gone)
{
    const int ms = 5000;
    std::vector<std::string> late;
    if (!modem_gone && !modem_caught_up(net_fd1.gsm_fd, MODEM_VERSION, ms))
        late.push_back("the modem");
    for (int i = 0; i < 2; ++i)
        if (!radio[i]->drain(ms))
            late.push_back(i == 0 ? "radio1" : "radio2");
    const int fd = net_fd1.sockfd.exchange(-1);
    net_fd1.net_connect_flag.store(0);
    if (fd >= 0)
        shutdown(fd, SHUT_WR);
    if (!server.drain(true, ms))
        late.push_back("the server");
    bytes rest;
    if (fd >= 0) {
        // Up to the end the server's close puts behind its last answer.
        const auto end = clock_type::now() + std::chrono::milliseconds(ms);
        uint8_t buf[4096];
        for (ssize_t n = 1; n > 0 && clock_type::now() < end;) {
            pollfd pf{fd, POLLIN, 0};
            if (poll(&pf, 1, 20) <= 0)
                continue;
            n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0)
                rest.insert(rest.end(), buf, buf + n);
        }
        close(fd);
    }
    gpio.drain();
    std::lock_guard<std::mutex> hold(s.lock);
    s.c.answers_unread = count_answers(rest);
    for (const std::string &who : late)
        s.c.failures.push_back(who + " had not read everything the stopped gateway wrote after " +
                               std::to_string(ms) + " ms");
}

worker start_worker(void *(*entry)(void *))
{
    worker w;
    auto done = w.done;
    w.thread = std::thread([entry, done] {
        entry(&net_fd1);
        done->store(true);
    });
    return w;
}

}  // namespace

// ------------------------------------------------------------ public

const char *sim_usage()
{
    return "usage: lampgw-sim [--duration SECONDS] [--time-scale N] [--lamps N] [--lamp-interval "
           "SECONDS]\n"
           "                  [--scenario FILE] [--quiet] [--until-reboot]\n"
           "  --duration       gateway seconds to run after start-up (default 60)\n"
           "  --time-scale     gateway clock speed-up, 1 = real time (default 20)\n"
           "  --lamps          lamps behind each radio module, 0..255 (default 3)\n"
           "  --lamp-interval  gateway seconds between status frames of one lamp (default 10)\n"
           "  --scenario       timeline of events, \"<gateway-seconds> <event> [args]\" per line\n"
           "  --quiet          print only the summary\n"
           "  --until-reboot   end at the gateway's first reboot request (--duration bounds it)\n";
}

int sim_parse_args(int argc, char **argv, sim_options *opt, std::string *err)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i], value;
        size_t eq = a.find('=');
        bool inline_value = a.compare(0, 2, "--") == 0 && eq != std::string::npos;
        if (inline_value) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
        }
        if (a == "--help" || a == "-h")
            return 2;
        if (a == "--quiet" || a == "--until-reboot") {
            (a == "--quiet" ? opt->quiet : opt->until_reboot) = true;
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= argc) {
                *err = a + " needs a value";
                return 1;
            }
            value = argv[++i];
        }
        double d = 0;
        int n = 0;
        bool ok = true;
        if (a == "--duration")
            ok = parse_number(value, &d) && d > 0 && (opt->duration = d, true);
        else if (a == "--time-scale")
            ok = parse_int(value, 1, 100000, &n) &&
                 (opt->time_scale = static_cast<unsigned>(n), true);
        else if (a == "--lamps")
            ok = parse_int(value, 0, 255, &n) && (opt->lamps = n, true);
        else if (a == "--lamp-interval")
            ok = parse_number(value, &d) && d > 0 && (opt->lamp_interval = d, true);
        else if (a == "--scenario")
            opt->scenario = value;
        else {
            *err = "unknown option " + a;
            return 1;
        }
        if (!ok) {
            *err = "bad value for " + a + ": " + value;
            return 1;
        }
    }
    return 0;
}

bool sim_parse_scenario(const std::string &text, std::vector<sim_event> *events, std::string *err)
{
    std::istringstream in(text);
    std::string line;
    int number = 0;
    std::vector<sim_event> got;
    while (std::getline(in, line)) {
        ++number;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        std::string rest = line;
        std::string first = next_word(rest);
        if (first.empty() || first[0] == '#')
            continue;
        sim_event e;
        e.line = number;
        std::string fault;
        if (!parse_number(first, &e.at) || e.at < 0)
            fault = "\"" + first + "\" is not a time in seconds";
        else {
            std::string name = next_word(rest);
            fault = name.empty() ? "no event after the time" : parse_event(name, rest, &e);
        }
        if (!fault.empty()) {
            *err = "line " + std::to_string(number) + ": " + fault;
            return false;
        }
        got.push_back(e);
    }
    std::stable_sort(got.begin(), got.end(),
                     [](const sim_event &a, const sim_event &b) { return a.at < b.at; });
    *events = std::move(got);
    return true;
}

bool sim_load_scenario(const std::string &path, std::vector<sim_event> *events, std::string *err)
{
    std::ifstream f(path);
    if (!f) {
        *err = "cannot open " + path;
        return false;
    }
    std::stringstream text;
    text << f.rdbuf();
    if (!sim_parse_scenario(text.str(), events, err)) {
        *err = path + ": " + *err;
        return false;
    }
    return true;
}

double sim_percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    double rank = std::ceil(p * static_cast<double>(v.size()));
    size_t i = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return v[std::min(i, v.size() - 1)];
}

int sim_run(const sim_options &opt, const std::vector<sim_event> &events, sim_counters *cp)
{
    sim_counters &c = *cp;
    c = sim_counters{};
    const auto real_start = clock_type::now();
    const board_description saved_board = board;
    const unsigned saved_speedup = time_speedup();
    street s(opt, c);

    const char *base = std::getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/lampgw-sim-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        perror("mkdtemp");
        return 2;
    }
    const std::string config = dir + "/config.txt", watch = dir + "/ttyUSB2";

    RadioModule radio1(1, opt.lamps), radio2(2, opt.lamps);
    RadioModule *radio[2] = {&radio1, &radio2};
    const char *radio_name[2] = {"radio1", "radio2"};
    ModemEmulator modem;
    ServerPeer server;
    GpioTree gpio{{MODEM_RESET, KEY_OTHER, STARTUP_PULSE, KEY_LUDENG, WATCHDOG}};
    std::atomic<bool> running{false};  // the workers have started
    bool modem_gone = false;           // its nodes vanished: it answers nothing
    modem.set_version(MODEM_VERSION);

    for (int i = 0; i < 2; ++i) {
        radio[i]->on_log = [&s, i, name = radio_name[i]](const std::string &line) {
            if (line.compare(0, 3, "<- ") == 0) {  // a frame in radio form
                const std::string form = line.substr(3, line.find(" : ") - 3);
                std::lock_guard<std::mutex> hold(s.lock);
                auto it = s.server_forms[i].find(form);
                if (it != s.server_forms[i].end()) {
                    s.server_forms[i].erase(it);
                    ++s.c.port[i].server_at_module;
                }
            }
            s.say(name, line);
        };
        radio[i]->on_status = [&s, i, name = radio_name[i]](const bytes &f,
                                                            clock_type::time_point at) {
            {
                std::lock_guard<std::mutex> hold(s.lock);
                ++s.c.port[i].lamp_frames;
                ++s.c.port[i].relay_sent;
                s.c.port[i].up_at_risk += s.link_lost;
                s.pending[f] = {at, i};
            }
            s.say(name,
                  "lamp " + std::to_string(f.size() > 12 ? f[12] : 0) + " -> status " + hex(f));
        };
    }
    modem.on_event = [&s, &modem](const std::string &ev) {
        if (ev.compare(0, 7, "AT+CMGL") == 0)
            return;  // the poll every few seconds; SMS arrivals are logged on their own
        std::string line = ev;
        if (ev.compare(0, 11, "sms sent to") == 0) {
            auto sent = modem.sent();
            if (!sent.empty())
                line += ", text \"" + sent.back().text + "\"";
        }
        s.say("modem", line);
    };
    // A radio payload by SMS is keyed out once its message is deleted, whether
    // or not its answer then reaches the modem.
    modem.on_delete = [&s](bool found, const emu_sms &m) {
        std::lock_guard<std::mutex> hold(s.lock);
        if (!found)
            return;
        ++s.c.sms_deleted;
        s.c.radio_sms +=
            m.text.compare(0, 9, "para set ") == 0 || m.text.compare(0, 10, "set netid ") == 0;
    };
    modem.on_sms = [&s](const emu_sent_sms &m) {
        std::lock_guard<std::mutex> hold(s.lock);
        if (m.text == "ok") {
            ++s.c.replies_ok;
        } else if (m.text.compare(0, 7, "lampgw ") == 0) {
            ++s.c.replies_status;
        } else {
            ++s.c.sms_forwarded;
        }
    };
    server.on_connect = [&s](int n) {
        {
            std::lock_guard<std::mutex> hold(s.lock);
            s.c.connections = n;
            s.link_lost = false;
            s.connected_at = clock_type::now();
        }
        s.say("server", n == 1 ? "gateway connected"
                               : "gateway connected again (connection " + std::to_string(n) + ")");
    };
    server.on_close = [&s] {
        if (gateway_stopping.load())
            return;  // the end of the run closes the link
        {
            std::lock_guard<std::mutex> hold(s.lock);
            ++s.c.gateway_closes;
        }
        s.say("server", "gateway closed the connection");
    };
    server.on_frame = [&s, &server](const bytes &f) {
        const auto at = clock_type::now();
        const bool heartbeat = f.size() >= 14 && f[10] == 0 && f[13] == 6;
        const bool answered = server.answer_heartbeats.load();
        std::string note;
        {
            std::lock_guard<std::mutex> hold(s.lock);
            ++s.c.server_frames;
            if (heartbeat) {
                ++s.c.heartbeats;
                s.c.heartbeats_answered += answered;
            }
            auto it = s.pending.find(f);
            if (it != s.pending.end())
                ++s.c.port[it->second.second].at_server;
            else if (f.size() > 10 && (f[10] == 1 || f[10] == 5))
                ++s.c.port[f[10] == 1 ? 0 : 1].at_server;
            if (it != s.pending.end()) {
                double ms =
                    std::chrono::duration<double, std::milli>(at - it->second.first).count();
                s.c.latency_ms.push_back(ms);
                s.pending.erase(it);
                char t[48];
                std::snprintf(t, sizeof t, ", %.2f ms after the lamp", ms);
                note = t;
            }
        }
        if (heartbeat)
            s.say("server", std::string("<- heartbeat ") + hex(f) +
                                (answered ? ", answered" : ", left unanswered (silent)"));
        else
            s.say("server", "<- " + describe_frame(f) + note + " : " + hex(f));
    };
    gpio.on_event = [&s, &radio, &running](const gpio_event &e) {
        std::string text;
        {
            std::lock_guard<std::mutex> hold(s.lock);
            if (e.line < 0 || e.line >= 128)
                return;
            const int before = s.last_level[e.line];
            s.last_level[e.line] = e.level;
            const bool rise = e.level == 1 && before != 1, fall = e.level == 0 && before == 1;
            const int k = e.line == KEY_OTHER ? 0 : e.line == KEY_LUDENG ? 1 : -1;
            if (k >= 0) {
                radio[k]->set_key(e.level == 1);
                if (rise) {
                    ++s.c.port[k].key_windows;
                    s.key_since[k] = e.at;
                } else if (fall) {
                    double ms =
                        std::chrono::duration<double, std::milli>(e.at - s.key_since[k]).count() *
                        time_speedup();
                    char t[80];
                    std::snprintf(t, sizeof t,
                                  "transmit key %d window closed after %.0f ms gateway time",
                                  e.line, ms);
                    text = t;
                }
            } else if (e.line == WATCHDOG && rise) {
                ++s.c.watchdog_feeds;
                text = "watchdog fed (line 60)";
            } else if (e.line == MODEM_RESET) {
                if (e.level == 0 && running.load())
                    ++s.c.modem_resets;
                text = e.level == 0 ? "modem reset line 115 low" : "modem reset line 115 high";
            }
        }
        if (!text.empty())
            s.say("gpio", text);
    };

    if (!radio1.start() || !radio2.start() || !modem.start() || !server.start() ||
        gpio.root().empty() || s.processes.root().empty()) {
        std::fprintf(stderr, "lampgw-sim: the simulated street could not be set up\n");
        remove_tree(dir);
        return 2;
    }
    {
        std::ofstream f(config);
        f << "server_ip_addr=127.0.0.1\nserver_port_num=" << server.port()
          << "\ndevice_id=" << DEVICE_ID << "\n";
        std::ofstream w(watch);
    }

    board.radio_other_dev = radio1.path().c_str();
    board.radio_ludeng_dev = radio2.path().c_str();
    board.gsm_dev = modem.slave_path().c_str();
    board.gsm_watch_dev = watch.c_str();
    board.gpio_root = gpio.root().c_str();
    board.proc_root = s.processes.root().c_str();
    board.config_file = config.c_str();
    board.state_dir = dir.c_str();  // the count of modem reboots
    board.run_command = sim_shell;
    current = &s;
    time_set_speedup(opt.time_scale);

    console_capture console;
    if (!console.start(s)) {
        perror("lampgw-sim: capturing the console");
        board = saved_board;
        current = nullptr;
        remove_tree(dir);
        return 2;
    }

    gateway_stopping.store(false);
    net_fd1.sockfd.store(-1);
    net_fd1.net_connect_flag.store(0);
    sms_phone_store(&net_fd1, "");

    s.say("sim", "street ready: radio1 (434 MHz side) on " + radio1.path() +
                     ", radio2 (450 MHz side) on " + radio2.path() + ", modem on " +
                     modem.slave_path() + ", server on 127.0.0.1:" + std::to_string(server.port()) +
                     ", " + std::to_string(opt.lamps) + " lamp(s) per module");
    s.say("sim", "gateway start-up (about 25 gateway seconds; clock x" +
                     std::to_string(opt.time_scale) + ")");
    supervision_state sv;
    gateway_startup(&net_fd1, &sv);
    for (int i = 0; i < 2; ++i)
        s.say(radio_name[i], "configured: " + radio[i]->settings_text());

    s.workers_at = clock_type::now();
    running.store(true);
    s.say("sim", "workers start; scenario time 0");
    std::vector<worker> workers;
    for (auto entry : {receive_short_message, connecttoserver, from_device_to_server,
                       from_server_to_device, stats_reporter})
        workers.push_back(start_worker(entry));
    // The supervision loop, on a thread of its own instead of the main one.
    worker supervision;
    supervision.thread = std::thread([&sv, done = supervision.done] {
        while (!gateway_stopping.load())
            supervision_pass(&sv);
        done->store(true);
    });
    workers.push_back(std::move(supervision));

    // The timeline: scenario events and the lamps' own status frames, the
    // lamps of each module spread over one interval.
    std::vector<double> lamp_due[2];
    for (int i = 0; i < 2; ++i)
        for (int n = 0; n < opt.lamps; ++n)
            lamp_due[i].push_back(1.0 + opt.lamp_interval * (n + 0.5 * i) / opt.lamps);
    size_t next = 0;
    for (;;) {
        const double now = s.gateway_seconds();
        if (now >= opt.duration)
            break;
        if (opt.until_reboot) {
            std::lock_guard<std::mutex> hold(s.lock);
            if (c.reboots > 0)
                break;
        }
        for (; next < events.size() && events[next].at <= now; ++next) {
            const sim_event &e = events[next];
            const int p = e.port >= 1 && e.port <= 2 ? e.port - 1 : 0;
            switch (e.kind) {
            case sim_event_kind::sms:
                modem.add_sms(e.sender, e.text);
                {
                    std::lock_guard<std::mutex> hold(s.lock);
                    ++c.sms_in;
                }
                s.say("modem", "SMS from " + e.sender + " arrives: \"" + e.text + "\"");
                break;
            case sim_event_kind::radio_bytes: {
                const bool frame = e.data.size() >= 14 && e.data[0] == 0xA3;
                if (frame) {
                    std::lock_guard<std::mutex> hold(s.lock);
                    ++c.port[p].injected_frames;
                    // The types that go on to the server, when the bytes are
                    // one whole frame the gateway will cut.
                    if ((e.data[10] == 1 || e.data[10] == 5) && whole_frame(e.data)) {
                        s.pending[e.data] = {clock_type::now(), p};
                        ++c.port[p].relay_sent;
                        c.port[p].up_at_risk += s.link_lost;
                    }
                }
                radio[p]->send_raw(e.data);
                s.say(
                    radio_name[p],
                    "-> " + (frame ? describe_frame(e.data) + " : " : std::string()) + hex(e.data));
                break;
            }
            case sim_event_kind::lamp:
                if (e.lamp > opt.lamps)
                    s.say(radio_name[p],
                          "note: lamp " + std::to_string(e.lamp) + " is beyond --lamps");
                radio[p]->send_status(e.lamp);
                break;
            case sim_event_kind::server_frame:
            case sim_event_kind::server_lamp:
            case sim_event_kind::server_reset_modem: {
                bytes f = e.data;
                if (e.kind == sim_event_kind::server_lamp) {
                    auto a = radio[p]->lamp_address(e.lamp);
                    f = make_frame(a.data(), radio[p]->lamp_type(), static_cast<uint8_t>(e.port),
                                   static_cast<uint8_t>(e.lamp), 0x02,
                                   {static_cast<uint8_t>(e.level)});
                } else if (e.kind == sim_event_kind::server_reset_modem) {
                    f = make_frame(GATEWAY_ADDRESS, 0, 0x01, 0x01, 3, {});
                }
                const bool up = server.connected();
                if (f.size() > 12 && (f[10] == 1 || f[10] == 4 || f[10] == 5)) {
                    std::lock_guard<std::mutex> hold(s.lock);
                    ++c.port[f[10] == 5 ? 1 : 0].server_sent;
                    if (up && whole_frame(f))
                        s.server_forms[f[10] == 5 ? 1 : 0].insert(hex(radio_frame(f)));
                }
                server.send(f);
                s.say("server", "-> " + describe_frame(f) +
                                    (up ? " : " : " NOT SENT, no connection : ") + hex(f));
                break;
            }
            case sim_event_kind::drop: {
                const bool up = server.connected();
                if (up) {
                    std::lock_guard<std::mutex> hold(s.lock);
                    server.drop();
                    ++c.server_drops;
                    // What the server has not read yet goes with the connection;
                    // frames still waiting from before it began were never
                    // written (the link was down) or were lost before.
                    s.link_lost = true;
                    for (const auto &f : s.pending)
                        if (f.second.first >= s.connected_at - std::chrono::seconds(1))
                            ++c.port[f.second.second].up_at_risk;
                }
                s.say("server", up ? "drops the connection" : "has no connection to drop");
                break;
            }
            case sim_event_kind::silent:
                server.answer_heartbeats.store(!e.on);
                s.say("server", e.on ? "stops answering heartbeats" : "answers heartbeats again");
                break;
            case sim_event_kind::modem_babble:
                modem.set_babble(e.on ? SIM_BABBLE_MS : 0);
                s.say("modem", e.on ? "babbles: an unsolicited line every " +
                                          std::to_string(SIM_BABBLE_MS) + " ms"
                                    : "stops babbling");
                break;
            case sim_event_kind::modem_vanish:
                modem_gone = true;
                modem.vanish();
                unlink(watch.c_str());
                s.say("modem", "device nodes vanish (USB modem gone)");
                break;
            }
        }
        for (int i = 0; i < 2; ++i)
            for (int n = 0; n < opt.lamps; ++n)
                if (now >= lamp_due[i][static_cast<size_t>(n)]) {
                    lamp_due[i][static_cast<size_t>(n)] += opt.lamp_interval;
                    radio[i]->send_status(n + 1);
                }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

    // The gateway's counts against the street's. What the street sent when
    // the timeline ends (a frame on its way, an SMS waiting) is let reach
    // the gateway first; this only waits, the comparison comes after the
    // drain below.
    std::string stats_text;
    auto live_counts = [&] {
        gpio.drain();
        char line[STATS_LINE_SIZE];
        stats_line(line, sizeof line, gw_seconds());
        stats_text = line;
        gw_stats st;
        stats_parse(stats_text, &st);
        std::lock_guard<std::mutex> hold(s.lock);
        std::vector<count_check> v = street_counts(c);
        count_checks_run(st, &v);
        return v;
    };
    const int settle_ms = static_cast<int>(15000 / opt.time_scale) + 2000;
    s.say("sim", "duration reached; letting what is under way finish");
    wait_for(
        [&] {
            auto v = live_counts();
            return std::all_of(v.begin(), v.end(), [](const count_check &k) { return k.ok; });
        },
        settle_ms);

    // Ending: every worker loop tests gateway_stopping between its steps;
    // the longest step (an SMS exchange at its time limit, a forwarded
    // frame) takes about ten gateway seconds.
    s.say("sim", "stopping the gateway");
    const int stop_ms = static_cast<int>(30000 / opt.time_scale) + 5000;
    gateway_stopping.store(true);
    wait_for(
        [&] {
            return std::all_of(workers.begin(), workers.end(),
                               [](const worker &w) { return w.done->load(); });
        },
        stop_ms);
    bool all_joined = true;
    for (auto &w : workers) {
        if (w.done->load()) {
            w.thread.join();
        } else {
            w.thread.detach();
            all_joined = false;
        }
    }
    // A connector still trying ends within a scaled second.
    wait_for([] { return net_fd1.net_connect_flag.load() == 1 || net_fd1.sockfd.load() == -1; },
             stop_ms);
    for (pid_t pid : s.processes.pids())
        s.processes.stop(pid, 2000);
    if (all_joined) {
        // Nothing of the gateway runs any more: its counts are final. The
        // street reads everything the gateway wrote before they are held
        // against its own (drain, then compare).
        char line[STATS_LINE_SIZE];
        stats_line(line, sizeof line, gw_seconds());
        stats_text = line;
        drain_street(s, radio, server, gpio, modem_gone);
        for (int fd : {net_fd1.w433_other_fd, net_fd1.w433_ludeng_fd, net_fd1.gsm_fd})
            if (fd >= 0)
                close(fd);
        net_fd1.w433_other_fd = net_fd1.w433_ludeng_fd = net_fd1.gsm_fd = -1;
        gw_stats st;
        stats_parse(stats_text, &st);
        std::lock_guard<std::mutex> hold(s.lock);
        c.counts = street_counts(c);
        count_checks_run(st, &c.counts);
    } else {
        s.say("sim", "some gateway threads were still busy and are left behind");
        c.failures.push_back("gateway threads still busy " + std::to_string(stop_ms) +
                             " ms after the stop: the counts cannot be compared");
    }
    c.stats_line = stats_text;
    for (const count_check &k : c.counts)
        if (!k.ok)
            c.failures.push_back("the gateway's count disagrees: " + count_check_text(k));

    // What the stand-ins saw.
    std::lock_guard<std::mutex> hold(s.lock);
    for (int i = 0; i < 2; ++i) {
        radio_counts rc = radio[i]->counts();
        sim_port_counters &pc = c.port[i];
        pc.at_module = rc.frames;
        pc.unkeyed = rc.frames_unkeyed;
        pc.config_ok = rc.config_ok;
        pc.config_bad = rc.config_bad;
        pc.frames_bad = rc.frames_bad;
        pc.noise_bytes = rc.noise_bytes;
        pc.settings = radio[i]->settings_text();
        pc.frequency_mhz = radio[i]->settings().frequency_mhz;
        const int want_mhz = i == 0 ? 434 : 450;
        const std::string name = radio_name[i];
        if (rc.config_bad > 0)
            c.failures.push_back(name + ": " + std::to_string(rc.config_bad) +
                                 " malformed configuration command(s)");
        if (rc.config_ok < 9)
            c.failures.push_back(name + ": " + std::to_string(rc.config_ok) +
                                 " of 9 configuration commands");
        if (pc.frequency_mhz != want_mhz)
            c.failures.push_back(name + ": tuned to " + std::to_string(pc.frequency_mhz) +
                                 " MHz, not " + std::to_string(want_mhz));
        if (rc.frames_bad > 0)
            c.failures.push_back(name + ": " + std::to_string(rc.frames_bad) +
                                 " malformed frame(s) from the gateway");
    }
    const auto inbox = modem.inbox();
    c.sms_handled = c.sms_in - static_cast<int>(inbox.size());

    console.stop();
    board = saved_board;
    time_set_speedup(saved_speedup);
    current = nullptr;
    remove_tree(dir);
    c.real_seconds = std::chrono::duration<double>(clock_type::now() - real_start).count();
    return c.failures.empty() ? 0 : 1;
}

void sim_print_summary(FILE *out, const sim_options &opt, const sim_counters &c)
{
    const char *port_name[2] = {"/dev/ttyO1 (434 MHz, type 1)", "/dev/ttyO2 (450 MHz, type 5)"};
    std::fprintf(
        out,
        "\n==== lampgw-sim summary: %.0f gateway s after start-up, clock x%u, %.1f s real ====\n",
        opt.duration, opt.time_scale, c.real_seconds);
    std::fprintf(out, "%-30s %-28s %s\n", "port", "up: lamp/injected -> server",
                 "down: server -> module (unkeyed)");
    for (int i = 0; i < 2; ++i) {
        const sim_port_counters &p = c.port[i];
        char up[64], down[64];
        std::snprintf(up, sizeof up, "%d + %d -> %d", p.lamp_frames, p.injected_frames,
                      p.at_server);
        std::snprintf(down, sizeof down, "%d -> %d (%d)", p.server_sent, p.at_module, p.unkeyed);
        std::fprintf(out, "%-30s %-28s %s\n", port_name[i], up, down);
    }
    std::fprintf(out, "%-30s %d\n", "frames at the server", c.server_frames);
    std::fprintf(out, "%-30s %d sent, %d answered\n", "heartbeats", c.heartbeats,
                 c.heartbeats_answered);
    std::fprintf(out,
                 "%-30s %d by the server, %d by the gateway; %d connection(s), %d reconnect(s)\n",
                 "link drops", c.server_drops, c.gateway_closes, c.connections,
                 c.connections > 0 ? c.connections - 1 : 0);
    std::fprintf(out, "%-30s %d in, %d handled, %d \"ok\" replies, %d frame(s) forwarded by SMS\n",
                 "SMS", c.sms_in, c.sms_handled, c.replies_ok, c.sms_forwarded);
    std::fprintf(out, "%-30s key 117 (ttyO1): %d, key 7 (ttyO2): %d\n", "transmit-key windows",
                 c.port[0].key_windows, c.port[1].key_windows);
    std::fprintf(out, "%-30s %d\n", "watchdog feeds", c.watchdog_feeds);
    std::fprintf(out, "%-30s %d\n", "modem resets by the server", c.modem_resets);
    std::fprintf(out, "%-30s %d\n", "reboots requested", c.reboots);
    std::fprintf(out, "%-30s %d\n", "companion starts", c.companion_starts);
    std::fprintf(out, "%-30s median %.2f ms, p99 %.2f ms (%zu frames, real time)\n",
                 "lamp -> server latency", sim_percentile(c.latency_ms, 0.5),
                 sim_percentile(c.latency_ms, 0.99), c.latency_ms.size());
    for (int i = 0; i < 2; ++i)
        std::fprintf(out, "%-30s %s; %d config command(s), %d malformed, %d noise byte(s)\n",
                     i == 0 ? "radio1 settings" : "radio2 settings", c.port[i].settings.c_str(),
                     c.port[i].config_ok, c.port[i].config_bad, c.port[i].noise_bytes);
    std::fprintf(out, "\n%-44s %-44s %7s %7s\n", "the gateway's own counts: street figure",
                 "gateway key(s)", "street", "gateway");
    for (const count_check &k : c.counts) {
        std::string keys = k.keys;
        std::replace(keys.begin(), keys.end(), ' ', '+');
        std::string verdict = !k.ok ? "DISAGREE" : k.gateway == k.street_before ? "agree" : "";
        if (verdict.empty())
            verdict = "agree within -" + std::to_string(k.below) + "/+" + std::to_string(k.above) +
                      ": " + k.why;
        std::fprintf(out, "%-44s %-44s %7lld %7lld  %s\n", k.figure.c_str(), keys.c_str(),
                     k.street_before, k.gateway, verdict.c_str());
    }
    if (c.failures.empty())
        std::fprintf(out, "%-30s all passed\n", "checks");
    for (const auto &f : c.failures)
        std::fprintf(out, "%-30s FAILED: %s\n", "checks", f.c_str());
    std::fflush(out);
}
