#include "drivers/soak.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "board/timebase.h"
#include "drivers/stats_check.h"
#include "peers/modem_emulator.h"
#include "peers/radio_module.h"
#include "peers/street.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr double INF = 1e300;

const char *const DEVICE_ID = "0102030405A6";
// Senders: commands from ADMIN are valid and must be answered, unless they
// lack the password or hold more than one line; ADMIN_BAD (an admin too)
// sends only texts that are no command; STRANGER is no admin. A command
// counts only after the password and one blank.
const char *const ADMIN = "+4915100000001";
const char *const ADMIN_BAD = "+4915100000002";
const char *const STRANGER = "+4915199999999";
const char *const PASSWORD = "7351";
// What a forged command names: an address of this machine, never another.
const char *const FORGED_IP = "127.0.0.66";

constexpr uint8_t UP_MARK = 0x53, DOWN_MARK = 0x44, T2_MARK = 0x32;
constexpr double LAMP_PERIOD = 20;     // simulated seconds between two frames of a port
constexpr double DOWN_PERIOD = 45;     // between two server frames for a module
constexpr double TYPE2_PERIOD = 1800;  // between two type-2 frames
constexpr double SMS_PERIOD = 2400;    // between two single commands
constexpr double PASS_S = 20;          // one supervision pass
constexpr int DAILY_PASSES = 4320;
// A soak day opens with its two forced reboots in this slot; the process
// started after them lives up to its daily reboot, which opens the next day.
constexpr double RESTART_SLOT_S = 2400;
constexpr int LISTING_MS = 2500;  // the modem's answer time to a listing
// Bounds, in simulated seconds, before the allowance for the real-time
// jitter of the machine (real_slack) is added.
constexpr double FEED_FIRST = 20;     // start of the process to the start-up pulse
constexpr double FEED_STARTUP = 60;   // start-up pulse to the first pass's feed
constexpr double FEED_GAP = 25;       // between two feeds of the supervision loop
constexpr double TYPE2_SLACK = 1;     // beyond the 4 s pause and one listing
constexpr double GRACE = 3;           // a window's end to "calm again"
constexpr double LOST_AFTER = 120;    // an undelivered frame counts as lost
constexpr double REPLY_AFTER = 60;    // a command unanswered
constexpr double DELETE_AFTER = 180;  // an SMS never deleted
constexpr double SIM_AGE = 120;       // longest stay on the SIM outside modem faults
constexpr int BABBLE_MS = 200;        // a babbling modem's line period, gateway time
constexpr double BABBLE_MEDIAN = 1;   // lamp frames' median way while it babbles
constexpr double SAMPLE_EVERY = 60;   // resource samples
constexpr double STATS_WAIT = 30;     // SIGUSR1 to the statistics line
// A fresh process needs more than this for its start-up (its radio modules
// alone take 18 s): what the street sees earlier is the previous process's.
constexpr double STARTUP_MIN = 10;

// Scopes of fault windows. A babbling modem's window is a modem window too.
enum { W_LINK = 1, W_PORT1 = 2, W_PORT2 = 4, W_MODEM = 8, W_RESTART = 16, W_BABBLE = 32 };

const char *const FAULT_NAMES[SOAK_FAULT_KINDS] = {
    "server drops the link",
    "server refuses connections",
    "server ignores heartbeats",
    "server sends garbage",
    "downlink in 1-byte/joined segments",
    "/dev/ttyO1 garbage bursts",
    "/dev/ttyO2 garbage bursts",
    "/dev/ttyO1 ring overflow (70 KiB)",
    "/dev/ttyO2 ring overflow (70 KiB)",
    "/dev/ttyO1 0xA3 floods",
    "/dev/ttyO2 0xA3 floods",
    "/dev/ttyO1 frames split at random",
    "/dev/ttyO2 frames split at random",
    "SMS storms (up to 10 listed)",
    "modem silent",
    "modem answers junk listings",
    "modem cuts listings off",
    "modem babbles without pause",
    "modem nodes vanish",
};
const char *const RESTART_NAMES[SOAK_RESTART_CAUSES] = {"daily (4320 passes)", "SMS reset",
                                                        "modem nodes gone"};

struct fault_event {
    double at = 0, len = 0;
    int kind = 0;
    bool reset = false;  // an SMS storm that carries an admin's "reset"
    int day = 0;         // soak day; `at` counts from the day's opening
};

struct window {
    int id = 0;  // windows ended long ago are dropped, so faults hold on to an id
    double start = 0, end = INF;
    int scope = 0;
    double over_at = -1;     // the fault itself ended; the window waits for calm
    double hold = 0;         // calm only this long after over_at
    bool need_conn = false;  // calm needs a connection accepted after over_at
};

struct write_job {
    bytes data;
    std::vector<size_t> cuts;  // split points, each followed by a pause
    int gap_us = 0;
    int kind = 0;  // 0 raw, 1 lamp frame, 2 type-2 frame
    uint32_t seq = 0;
};

struct up_pending {
    uint32_t seq;
    double sent;
    double pressure;  // cpu_pressure() when it was sent
};

struct down_pending {
    int port;
    bytes radio;
    double sent;
    double pressure;  // cpu_pressure() when it was sent
};

// What a message is, and so how the gateway must take it: VALID is carried
// out and answered; every other kind is deleted, counted, never answered
// and never carried out (INVALID: no command; STRANGER: no admin; FORGED:
// a stranger's text that copies a listing header naming an admin;
// PASSWORD: an admin's text without the password; LINES: an admin's text
// of two lines).
enum sms_kind {
    SMS_VALID,
    SMS_INVALID,
    SMS_STRANGER,
    SMS_FORGED,
    SMS_PASSWORD,
    SMS_LINES,
    SMS_KINDS
};

// What the soak saw of the gateway process now running, for the check
// against the counts of its statistics line. Connections and answers count
// from STARTUP_MIN after the process began.
struct life_counts {
    long up_at_server[2] = {};         // frames of type 1 / type 5 read on its connections
    long up_lost[2] = {};              // lamp frames of each port given up as lost meanwhile
    long heartbeats = 0, answers = 0;  // read and answered on its connections
    long accepts = 0;                  // its connections the servers accepted
    long link_faults = 0;  // drops, refusals, silences the soak caused; closes by the gateway
    long closes = 0;       // of those, closes by the gateway
    long sms_deleted = 0, ok_sent = 0;
    long kind_deleted[SMS_KINDS] = {};  // deletions by kind of message
    long keyed_base[2] = {-1, -1};      // the modules' keyed frames at its first connection
};

enum effect { FX_NONE, FX_IP, FX_PORT, FX_RADIO, FX_RESET };
struct sms_rec {
    std::string sender, text;
    double added = 0, deleted = -1;
    double pressure = 0;  // cpu_pressure() when it was stored
    sms_kind kind = SMS_VALID;
    effect fx = FX_NONE;
    std::string
        value;  // FX_IP/FX_PORT: the value; FX_RADIO: the bytes' hex as the module logs them
};

double cpu_pressure();

std::string fmt_time(double s)
{
    const long t = static_cast<long>(s);
    char b[48];
    std::snprintf(b, sizeof b, "day %ld %02ld:%02ld:%02ld", t / 86400 + 1, t / 3600 % 24,
                  t / 60 % 60, t % 60);
    return b;
}

std::string hex_compact(const bytes &b)
{
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t x : b) {
        s += d[x >> 4];
        s += d[x & 15];
    }
    return s;
}

bytes parse_hex_spaced(const std::string &s, size_t from, size_t to)
{
    bytes b;
    for (size_t i = from; i + 1 < to; i += 3)
        b.push_back(static_cast<uint8_t>(std::strtoul(s.substr(i, 2).c_str(), nullptr, 16)));
    return b;
}

std::string unquote(std::string s)
{
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        s = s.substr(1, s.size() - 2);
    return s;
}

bytes seq_frame(uint8_t type, int port, uint8_t lamp, uint8_t mark, uint32_t seq)
{
    const uint8_t addr[6] = {0x4C, 0x50, 0x00, static_cast<uint8_t>(port), 0x00, lamp};
    return make_frame(addr, type, static_cast<uint8_t>(port), lamp, 0x01,
                      {mark, static_cast<uint8_t>(port), static_cast<uint8_t>(seq >> 24),
                       static_cast<uint8_t>(seq >> 16), static_cast<uint8_t>(seq >> 8),
                       static_cast<uint8_t>(seq), 0x5A, 0x5A, 0x5A});
}

uint32_t frame_seq(const bytes &f)
{
    return static_cast<uint32_t>(f[16]) << 24 | static_cast<uint32_t>(f[17]) << 16 |
           static_cast<uint32_t>(f[18]) << 8 | f[19];
}

// A radio configuration command as the module takes it: header, code, two
// parameters, additive checksum, CR LF.
bytes radio_command(uint8_t code, uint8_t value)
{
    bytes c = {0xAF, 0xAF, 0x00, 0x00, 0xAF, 0x80, code, 0x02, value, 0x00};
    c.push_back(radio_modcrc(c.data(), c.size()));
    c.push_back(0x0D);
    c.push_back(0x0A);
    return c;
}

double process_cpu(pid_t pid)
{
    clockid_t clk;
    timespec ts;
    if (pid <= 0 || clock_getcpuclockid(pid, &clk) != 0 || clock_gettime(clk, &ts) != 0)
        return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A serial line's writer: jobs go out in order on a thread of their own, so
// a gateway that reads slowly (or is being restarted) never holds up the soak.
class port_writer {
public:
    port_writer(RadioModule &m, std::function<void(const write_job &)> before_last)
        : module_(m), before_last_(std::move(before_last)), thread_([this] { run(); })
    {
    }
    ~port_writer() { stop(); }
    void stop()
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stop_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    void push(write_job j)
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            jobs_.push_back(std::move(j));
        }
        cv_.notify_all();
    }
    bool idle()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return jobs_.empty() && !busy_;
    }

private:
    void run()
    {
        for (;;) {
            write_job j;
            {
                std::unique_lock<std::mutex> hold(lock_);
                cv_.wait(hold, [this] { return stop_ || !jobs_.empty(); });
                if (stop_)
                    return;
                j = std::move(jobs_.front());
                jobs_.pop_front();
                busy_ = true;
            }
            if (j.kind != 0)
                before_last_(j);
            size_t at = 0;
            for (size_t cut : j.cuts) {
                module_.send_raw(bytes(j.data.begin() + static_cast<long>(at),
                                       j.data.begin() + static_cast<long>(cut)));
                at = cut;
                std::this_thread::sleep_for(std::chrono::microseconds(j.gap_us));
            }
            // Big bursts go in 4 KiB pieces, so stop() is heard in between.
            while (at < j.data.size()) {
                const size_t n = std::min<size_t>(4096, j.data.size() - at);
                module_.send_raw(bytes(j.data.begin() + static_cast<long>(at),
                                       j.data.begin() + static_cast<long>(at + n)));
                at += n;
                std::lock_guard<std::mutex> hold(lock_);
                if (stop_)
                    break;
            }
            std::lock_guard<std::mutex> hold(lock_);
            busy_ = false;
        }
    }
    RadioModule &module_;
    std::function<void(const write_job &)> before_last_;
    std::mutex lock_;
    std::condition_variable cv_;
    std::deque<write_job> jobs_;
    bool stop_ = false, busy_ = false;
    std::thread thread_;
};

struct soak {
    const soak_options &opt;
    soak_report &r;
    FILE *log;
    clock_type::time_point t0 = clock_type::now();
    double scale;
    double total;          // when faults and traffic end; INF until the last day opens
    int day = 0;           // the soak day under way
    double day_start = 0;  // when it opened: the start, then each daily reboot
    std::string dir;

    std::mutex mu;  // guards everything below that threads share
    std::atomic<bool> failed{false};
    std::vector<window> windows;
    std::deque<up_pending> up[2];
    uint32_t up_next[2] = {0, 0};
    std::map<uint32_t, down_pending> down;
    uint32_t down_next = 0;
    // The messages on the SIM by index, until their deletion is reported; a
    // freed index may take a new message before the report of the old one.
    std::map<int, std::deque<sms_rec>> inbox;
    std::deque<sms_rec> awaiting_reply;                      // valid commands deleted, reply due
    std::vector<std::pair<sms_rec, double>> awaiting_radio;  // reply seen, bytes due
    std::map<std::string, int> radio_seen;  // configuration commands the 434 MHz module took
    // SMS body -> when the frame's last byte went, and cpu_pressure() then.
    std::map<std::string, std::pair<double, double>> type2;
    std::string last_ip = "127.0.0.1", last_port;
    double reset_answered = -1;    // "ok" to a reset seen, reboot due
    double config_check_at = INF;  // config.txt to be read then (a refused text was deleted)
    bool admin_known = false;      // the gateway has a last sender to forward to
    double last_connect = -1;
    double last_feed = -1;
    int feeds = 0;
    double feed_pressure = 0;  // cpu_pressure() at the last feed or start
    double life_start = 0;
    bool vanished = false;
    double vanish_end = -1;
    std::atomic<bool> reboot_asked{false};
    std::deque<std::string> console;  // the gateway's last lines
    FILE *console_file = nullptr;
    life_counts life;
    int life_serial = 0;          // counts the processes started
    int conn_life[2] = {-1, -1};  // the process each server's connection belongs to
    bool stats_wanted = false;    // a statistics line was asked for by SIGUSR1
    std::string stats_line;       // the line that answered
    bool life_started() const { return now() - life_start >= STARTUP_MIN; }

    soak(const soak_options &o, soak_report &rep, FILE *l)
        : opt(o), r(rep), log(l), scale(o.time_scale), total(o.days >= 1 ? INF : o.days * 86400)
    {
    }

    double now() const
    {
        return std::chrono::duration<double>(clock_type::now() - t0).count() * scale;
    }
    // What real-time jitter of `ms` milliseconds amounts to in simulated time.
    double real_slack(double ms) const { return ms / 1000 * scale; }
    // How long after a lamp frame a fault can still take it: the server may
    // drop the link with the frame in its socket, unread on a busy machine.
    double uplink_reach() const { return GRACE + real_slack(50); }
    // The soak's own oversleeps since `since`, in simulated seconds: when the
    // machine is too busy to run the soak on time, it is likely too busy to
    // run the gateway on time, and timed bounds stretch by as much. mu held.
    std::deque<std::pair<double, double>> stalls;  // (when, simulated seconds lost)
    double stalled(double since) const
    {
        double sum = 0;
        for (auto it = stalls.rbegin(); it != stalls.rend() && it->first >= since; ++it)
            sum += it->second;
        return sum;
    }

    void say(const std::string &line)
    {
        if (!opt.quiet)
            std::fprintf(log, "soak | %s  %s\n", fmt_time(now()).c_str(), line.c_str());
    }

    std::atomic<pid_t> gw_pid{-1};

    // Where each gateway thread is: state and kernel wait channel, for the
    // report of a broken invariant.
    std::string gateway_threads() const
    {
        const std::string task = "/proc/" + std::to_string(gw_pid.load()) + "/task";
        std::string out;
        DIR *d = opendir(task.c_str());
        if (d == nullptr)
            return " (gone)";
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::ifstream st(task + "/" + e->d_name + "/stat"),
                wc(task + "/" + e->d_name + "/wchan");
            std::string stat, wchan;
            std::getline(st, stat);
            std::getline(wc, wchan);
            const size_t paren = stat.rfind(')');
            out +=
                std::string(" ") + e->d_name + ":" +
                (paren != std::string::npos && paren + 2 < stat.size() ? stat.substr(paren + 2, 1)
                                                                       : "?") +
                ":" + wchan;
        }
        closedir(d);
        return out;
    }

    // The first broken invariant ends the run; mu held.
    void fail(const std::string &invariant, const std::string &detail)
    {
        if (failed.exchange(true))
            return;
        r.invariant = invariant;
        r.detail = detail + " (at " + fmt_time(now()) + ", seed " + std::to_string(r.seed) +
                   "); gateway threads (tid:state:wait)" + gateway_threads() +
                   "; the gateway's last lines:";
        for (const auto &l : console)
            r.detail += "\n    gw | " + l;
    }

    // mu held. Any window of the scopes in mask overlapping [a, b].
    bool at_risk(double a, double b, int mask) const
    {
        for (const window &w : windows)
            if ((w.scope & mask) && w.start <= b && w.end >= a)
                return true;
        return false;
    }
    // mu held. The latest end of the windows of mask overlapping [a, inf);
    // INF while one is open, -1 for none.
    double risk_end(double a, int mask) const
    {
        double e = -1;
        for (const window &w : windows)
            if ((w.scope & mask) && w.end >= a)
                e = std::max(e, w.end);
        return e;
    }
    int window_ids = 0;
    // Opens a window; returns its id.
    int open_window(int scope, double hold, bool need_conn, double at)
    {
        window w;
        w.id = ++window_ids;
        w.start = at;
        w.scope = scope;
        w.hold = hold;
        w.need_conn = need_conn;
        windows.push_back(w);
        return w.id;
    }
    // Ends the fault of window `id`: calm from then on, once its hold is over.
    void fault_over(int id, double at)
    {
        for (window &w : windows)
            if (w.id == id)
                w.over_at = at;
    }

    // A babbling modem must not slow the radios: the lamp frames sent while
    // it babbles (and not in a window of their port, the link or a restart)
    // are timed on their way to the server, the machine's share taken off.
    // Once the babble's window has ended and a frame could have arrived,
    // each port's median must stay under BABBLE_MEDIAN; a frame still
    // missing then counts as endless.
    struct babble_watch {
        int window;
        std::vector<double> way[2];  // gateway seconds, per port
    };
    std::vector<babble_watch> babbles;
    const window *find_window(int id) const
    {
        for (const window &w : windows)
            if (w.id == id)
                return &w;
        return nullptr;
    }
    // The modem babbles: an unsolicited line every BABBLE_MS for the
    // fault's length. Its window is a modem window (SMS may wait) that also
    // times the lamp frames; type-2 frames go out at a quarter, a half and
    // three quarters of it, whatever else waits for the modem. mu held;
    // returns the window's id.
    std::vector<double> babble_t2;  // when the babble's type-2 frames are due
    int start_babble(ModemEmulator &modem, double t, double len)
    {
        const int id = open_window(W_MODEM | W_BABBLE, 10, false, t);
        babbles.push_back({id, {}});
        modem.set_babble(BABBLE_MS);
        babble_t2 = {t + len / 4, t + len / 2, t + len * 3 / 4};
        return id;
    }
    // mu held. Frame `got` of port p reached the server at `at`.
    void babble_frame(int p, const up_pending &got, double at)
    {
        const int mask = W_LINK | W_RESTART | (p == 0 ? W_PORT1 : W_PORT2);
        for (babble_watch &b : babbles) {
            const window *w = find_window(b.window);
            if (w == nullptr || got.sent < w->start || got.sent > w->end ||
                at_risk(got.sent - 1, got.sent + uplink_reach(), mask))
                continue;
            const double share = stalled(got.sent) + (cpu_pressure() - got.pressure) * scale;
            b.way[p].push_back(std::max(0.0, at - got.sent - share));
        }
    }
    // mu held. Judges the babbles whose window ended at least `settle` ago.
    void babble_judge(double t, double settle)
    {
        for (auto it = babbles.begin(); it != babbles.end();) {
            const window *w = find_window(it->window);
            if (w != nullptr && (w->end == INF || t < w->end + settle)) {
                ++it;
                continue;
            }
            for (int p = 0; w != nullptr && p < 2; ++p) {
                std::vector<double> way = it->way[p];
                const int mask = W_LINK | W_RESTART | (p == 0 ? W_PORT1 : W_PORT2);
                for (const up_pending &u : up[p])
                    if (u.sent >= w->start && u.sent <= w->end &&
                        !at_risk(u.sent - 1, u.sent + uplink_reach(), mask))
                        way.push_back(INF);
                if (way.empty())
                    continue;
                std::nth_element(way.begin(), way.begin() + static_cast<long>(way.size() / 2),
                                 way.end());
                const double median = way[way.size() / 2];
                r.babble_frames += static_cast<long>(way.size());
                r.babble_median_s = std::max(r.babble_median_s, median);
                if (median >= BABBLE_MEDIAN) {
                    char b[200];
                    std::snprintf(b, sizeof b,
                                  "while the modem babbled (%s to %s) the lamp frames of "
                                  "/dev/ttyO%d took %.2f s to the server in the median (%zu "
                                  "frames; bound %.0f s)",
                                  fmt_time(w->start).c_str(), fmt_time(w->end).c_str(), p + 1,
                                  median, way.size(), BABBLE_MEDIAN);
                    fail("babble-uplink", b);
                }
            }
            it = babbles.erase(it);
        }
    }

    // sim-age: outside a modem fault window no message stays on the SIM
    // longer than SIM_AGE. The gateway lists every message at least once a
    // minute and a fresh process lists them all first, so neither a lost or
    // cut listing nor a restart may keep one there. The age runs from the
    // later of its arrival and the end of the last modem window it met; the
    // bound gets the machine's share. mu held.
    double sim_age(const sms_rec &m, double t) const
    {
        const double e = risk_end(m.added, W_MODEM);
        return e == INF ? 0 : t - std::max(e, m.added);
    }
    void check_sim_age(double t)
    {
        const double pressure = cpu_pressure();
        for (const auto &slot : inbox)
            for (const sms_rec &m : slot.second) {
                const double age = sim_age(m, t);
                const double share =
                    real_slack(30) + stalled(t - age) + (pressure - m.pressure) * scale;
                if (age <= SIM_AGE + share)
                    continue;
                char b[120];
                std::snprintf(b, sizeof b, " has stayed %.0f s on the SIM (bound %.0f s + %.0f s",
                              age, SIM_AGE, share);
                fail("sim-age",
                     "\"" + m.text + "\" from " + m.sender + b + " for the machine's share)");
                return;
            }
    }
};

}  // namespace

int soak_parse_args(int argc, char **argv, soak_options *opt, std::string *err)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        char *end = nullptr;
        const bool more = i + 1 < argc;
        if (a == "--soak")
            continue;
        if (a == "--help" || a == "-h")
            return 2;
        if (a == "--quiet") {
            opt->quiet = true;
        } else if (a == "--days" && more) {
            opt->days = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(opt->days > 0) || opt->days > 1000) {
                *err = "--days wants a number of days above 0";
                return 1;
            }
        } else if (a == "--seed" && more) {
            const unsigned long long v = std::strtoull(argv[++i], &end, 10);
            if (*end != '\0' || v == 0 || v > 0xFFFFFFFFull) {
                *err = "--seed wants a number from 1 to 4294967295";
                return 1;
            }
            opt->seed = static_cast<uint32_t>(v);
        } else if (a == "--time-scale" && more) {
            const long v = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || v < 1 || v > 5000) {
                *err = "--time-scale wants a number from 1 to 5000";
                return 1;
            }
            opt->time_scale = static_cast<unsigned>(v);
        } else if (a == "--csv" && more) {
            opt->csv = argv[++i];
        } else if (a == "--console" && more) {
            opt->console = argv[++i];
        } else if (a == "--hosted" && more) {
            opt->hosted = argv[++i];
        } else {
            *err = "bad soak option " + a;
            return 1;
        }
    }
    return 0;
}

const char *soak_usage()
{
    return "usage: lampgw-sim --soak [--days N] [--seed S] [--time-scale N] [--quiet]\n"
           "                         [--csv FILE] [--console FILE] [--hosted PATH]\n"
           "  the gateway as its own process for N simulated days (default 1, fractions\n"
           "  allowed) at N times real speed (default 400) under a seeded random fault\n"
           "  schedule; stops at the first broken invariant and names it; --console keeps\n"
           "  the gateway's own lines, stamped with the simulated time\n";
}

namespace {

// One day's faults, category by category: the day is cut into twice as many
// slots as the category has kinds and every kind gets a slot of its own, so
// faults of one category never overlap; categories overlap freely.
std::vector<fault_event> plan_faults(std::mt19937 &rng, double days)
{
    static const double len_range[SOAK_FAULT_KINDS][2] = {
        {0, 0},    {60, 600}, {400, 900}, {60, 600},  {300, 1800}, {60, 600},   {60, 600},
        {0, 0},    {0, 0},    {60, 300},  {60, 300},  {300, 1800}, {300, 1800}, {0, 0},
        {30, 300}, {60, 600}, {60, 600},  {600, 600}, {25, 90},
    };
    const std::vector<std::vector<int>> categories = {
        {SOAK_FAULT_SERVER_DROP, SOAK_FAULT_SERVER_REFUSE, SOAK_FAULT_SERVER_SILENT,
         SOAK_FAULT_SERVER_GARBAGE, SOAK_FAULT_DOWNLINK_SEGMENTS},
        {SOAK_FAULT_RADIO1_GARBAGE, SOAK_FAULT_RADIO1_OVERFLOW, SOAK_FAULT_RADIO1_FLOOD,
         SOAK_FAULT_RADIO1_SPLIT},
        {SOAK_FAULT_RADIO2_GARBAGE, SOAK_FAULT_RADIO2_OVERFLOW, SOAK_FAULT_RADIO2_FLOOD,
         SOAK_FAULT_RADIO2_SPLIT},
        {SOAK_FAULT_MODEM_SILENT, SOAK_FAULT_MODEM_JUNK, SOAK_FAULT_MODEM_CUT,
         SOAK_FAULT_MODEM_BABBLE},
        {SOAK_FAULT_SMS_STORM},
    };
    std::uniform_real_distribution<double> unit(0, 1);
    std::vector<fault_event> out;
    for (int day = 0; day < days; ++day) {
        const double len = std::min(1.0, days - day) * 86400;
        const double opening = std::min(RESTART_SLOT_S, len * 0.5);  // a short run's is shorter
        // The day opens with its two reboots: the modem's nodes vanish, then
        // an admin's "reset" arrives in a storm. The process started after
        // them then lives a whole day, up to its daily reboot, which comes
        // before the next day opens.
        fault_event vanish;
        vanish.kind = SOAK_FAULT_MODEM_VANISH;
        vanish.day = day;
        vanish.at = opening / 5 + unit(rng) * opening / 5;
        vanish.len = len_range[vanish.kind][0] +
                     unit(rng) * (len_range[vanish.kind][1] - len_range[vanish.kind][0]);
        fault_event reset;
        reset.kind = SOAK_FAULT_SMS_STORM;
        reset.reset = true;
        reset.day = day;
        reset.at = opening / 2 + unit(rng) * opening / 5;
        for (const fault_event &f : {vanish, reset})
            if (f.at < len)
                out.push_back(f);

        for (const auto &cat : categories) {
            // Modem faults and storms stay out of the reboots' slot; the others
            // only out of day 0's start-up.
            const bool modem = cat[0] == SOAK_FAULT_MODEM_SILENT || cat[0] == SOAK_FAULT_SMS_STORM;
            const double skip = std::min(modem      ? RESTART_SLOT_S
                                         : day == 0 ? 600.0
                                                    : 0.0,
                                         len * 0.5);
            const size_t slots = cat.size() * 2;
            const double slot = (len - skip) / static_cast<double>(slots);
            std::vector<size_t> order(slots);
            for (size_t i = 0; i < slots; ++i)
                order[i] = i;
            std::shuffle(order.begin(), order.end(), rng);
            for (size_t i = 0; i < cat.size(); ++i) {
                fault_event f;
                f.kind = cat[i];
                f.day = day;
                const double lo = len_range[f.kind][0], hi = len_range[f.kind][1];
                f.len = std::min(lo + unit(rng) * (hi - lo), slot * 0.6);
                f.at =
                    skip + static_cast<double>(order[i]) * slot + unit(rng) * (slot - f.len) * 0.5;
                out.push_back(f);
            }
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const fault_event &a, const fault_event &b) {
        return a.day != b.day ? a.day < b.day : a.at < b.at;
    });
    return out;
}

// Starts argv with standard output and error into the write end of a pipe;
// nothing else of ours stays open in it.
pid_t spawn_piped(const std::vector<std::string> &args, int *out_fd)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return -1;
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(p[1], 1);
        dup2(p[1], 2);
        for (int k = 3; k < 1024; ++k)
            close(k);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(p[1]);
    if (pid < 0) {
        close(p[0]);
        return -1;
    }
    *out_fd = p[0];
    return pid;
}

int count_fds(pid_t pid)
{
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

// Seconds during which some task of the machine waited for a processor,
// the disk or memory (the kernel's pressure figures, "some" lines), 0 where
// the kernel does not tell: the part of a late feed or forward that is the
// machine's doing, not the gateway's.
double cpu_pressure()
{
    // A task that waits for the disk (a page fault, the tty layer's worker)
    // stalls the gateway as surely as one that waits for a processor.
    double total = 0;
    for (const char *file : {"/proc/pressure/cpu", "/proc/pressure/io", "/proc/pressure/memory"}) {
        std::ifstream f(file);
        std::string line;
        while (std::getline(f, line))
            if (line.compare(0, 5, "some ") == 0) {
                const size_t at = line.find("total=");
                if (at != std::string::npos)
                    total += std::strtod(line.c_str() + at + 6, nullptr) * 1e-6;
            }
    }
    return total;
}

double self_cpu()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Reads config.txt: false (with why) when a line does not parse or a value
// is not the one the last accepted command wrote.
bool config_holds(const std::string &path, const std::string &ip, const std::string &port,
                  std::string *why)
{
    std::ifstream f(path);
    if (!f) {
        *why = "config.txt cannot be read";
        return false;
    }
    std::map<std::string, std::string> kv;
    std::string line;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const size_t eq = line.find('=');
        const std::string key = line.substr(0, eq);
        if (eq == std::string::npos ||
            (key != "server_ip_addr" && key != "server_port_num" && key != "device_id" &&
             key != "sms_admin_numbers" && key != "sms_password" && key != "stats_interval")) {
            *why = "config.txt has a line that does not parse: \"" + line + "\"";
            return false;
        }
        kv[key] = line.substr(eq + 1);
    }
    if (kv["server_ip_addr"] != ip || kv["server_port_num"] != port ||
        kv["device_id"] != DEVICE_ID || kv["stats_interval"] != "0") {
        *why = "config.txt holds server_ip_addr=" + kv["server_ip_addr"] +
               " server_port_num=" + kv["server_port_num"] + " device_id=" + kv["device_id"] +
               " stats_interval=" + kv["stats_interval"] + ", the last accepted commands wrote " +
               ip + ":" + port;
        return false;
    }
    return true;
}

}  // namespace

int soak_run(const soak_options &opt, soak_report *rp, FILE *log)
{
    soak_report &r = *rp;
    r = soak_report{};
    r.seed = opt.seed != 0
                 ? opt.seed
                 : static_cast<uint32_t>(clock_type::now().time_since_epoch().count()) | 1u;
    std::fprintf(log, "lampgw-sim soak: seed %u, %g simulated days, time scale %u\n", r.seed,
                 opt.days, opt.time_scale);
    std::fflush(log);
    const double cpu0 = self_cpu();

    soak S(opt, r, log);
    // The modem emulator's delays run on the gateway clock, the soak's own.
    const unsigned speed_before = time_speedup();
    time_set_speedup(opt.time_scale);
    struct speed_restore {
        unsigned v;
        ~speed_restore() { time_set_speedup(v); }
    } restore_speed{speed_before};
    const char *base = std::getenv("TMPDIR");
    S.dir = std::string(base && *base ? base : "/tmp") + "/lampgw-soak-XXXXXX";
    if (mkdtemp(S.dir.data()) == nullptr) {
        perror("mkdtemp");
        return 2;
    }
    struct cleanup {
        std::string dir;
        ~cleanup() { remove_tree(dir); }
    } tidy{S.dir};
    const std::string config = S.dir + "/config.txt", usb1 = S.dir + "/ttyUSB1",
                      usb2 = S.dir + "/ttyUSB2", proc = S.dir + "/proc";

    std::mt19937 sched(r.seed), rng(r.seed ^ 0x9E3779B9u);
    std::uniform_real_distribution<double> unit(0, 1);
    auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
    auto garbage = [&rng](size_t n) {
        bytes b(n);
        for (auto &x : b)
            x = static_cast<uint8_t>(rng());
        return b;
    };
    const std::vector<fault_event> faults = plan_faults(sched, opt.days);

    RadioModule radio1(1, 0), radio2(2, 0);
    RadioModule *radio[2] = {&radio1, &radio2};
    ModemEmulator modem;
    ServerPeer server[2];
    GpioTree gpio{{115, 117, 48, 7, 60}};
    auto sim_of = [&S](clock_type::time_point at) {
        return std::chrono::duration<double>(at - S.t0).count() * S.scale;
    };

    gpio.keep_events = false;
    gpio.on_event = [&](const gpio_event &e) {
        if (e.line == 117 || e.line == 7)
            radio[e.line == 117 ? 0 : 1]->set_key(e.level == 1);
        if (e.line != 60 || e.level != 1)
            return;
        std::lock_guard<std::mutex> hold(S.mu);
        const double t = sim_of(e.at);
        if (S.feeds > 1)
            r.feed_worst_gap_s = std::max(r.feed_worst_gap_s, t - S.last_feed);
        S.last_feed = t;
        S.feed_pressure = cpu_pressure();
        ++S.feeds;
    };
    for (int k = 0; k < 2; ++k) {
        radio[k]->on_read = [&gpio] { gpio.drain(); };
        radio[k]->on_log = [&S, &r, k](const std::string &line) {
            if (line.compare(0, 7, "config ") == 0) {
                const size_t sep = line.find(" : ");
                std::lock_guard<std::mutex> hold(S.mu);
                if (k == 0 && sep != std::string::npos)
                    ++S.radio_seen[line.substr(7, sep - 7)];
                return;
            }
            if (line.compare(0, 21, "frame with a wrong CRC") == 0) {
                std::lock_guard<std::mutex> hold(S.mu);
                S.fail("downlink", "/dev/ttyO" + std::to_string(k + 1) +
                                       " received a corrupted frame: " + line);
                return;
            }
            if (line.compare(0, 3, "<- ") != 0)
                return;
            const size_t sep = line.find(" : ");
            const bytes rf =
                parse_hex_spaced(line, 3, sep == std::string::npos ? line.size() : sep);
            if (rf.size() != 27 || rf[16] != DOWN_MARK)
                return;  // not one of ours
            const bytes f(rf.begin() + 2, rf.end());
            const uint32_t seq = frame_seq(f);
            std::lock_guard<std::mutex> hold(S.mu);
            auto it = S.down.find(seq);
            if (it == S.down.end()) {
                S.fail("downlink", "server frame " + std::to_string(seq) + " reached /dev/ttyO" +
                                       std::to_string(k + 1) +
                                       " again, or after it was given up: " + line);
                return;
            }
            if (it->second.port != k + 1 || it->second.radio != rf) {
                S.fail("downlink", "server frame " + std::to_string(seq) + " reached /dev/ttyO" +
                                       std::to_string(k + 1) +
                                       " changed or on the wrong port: " + line);
                return;
            }
            if (line.find(", unkeyed") != std::string::npos) {
                S.fail("downlink-key", "server frame " + std::to_string(seq) +
                                           " reached /dev/ttyO" + std::to_string(k + 1) +
                                           " outside a transmit key window");
                return;
            }
            ++r.down_delivered;
            S.down.erase(it);
        };
    }

    // SMS: a valid command is answered before the next message is deleted,
    // so at most one answer is due at a time.
    auto resolve_reply = [&](const char *why) {  // S.mu held
        if (S.awaiting_reply.empty())
            return;
        sms_rec rec = S.awaiting_reply.front();
        S.awaiting_reply.pop_front();
        if (!S.at_risk(rec.deleted, S.now(), W_MODEM | W_RESTART)) {
            S.fail("sms-reply", "the command \"" + rec.text + "\" deleted at " +
                                    fmt_time(rec.deleted) + " was never answered (" + why + ")");
            return;
        }
        ++r.sms_cut_off;
        // Carried out unanswered: what it wrote counts.
        if (rec.fx == FX_IP || rec.fx == FX_PORT) {
            std::string why2;
            const std::string ip = rec.fx == FX_IP ? rec.value : S.last_ip;
            const std::string port = rec.fx == FX_PORT ? rec.value : S.last_port;
            if (config_holds(config, ip, port, &why2)) {
                S.last_ip = ip;
                S.last_port = port;
            }
        }
    };
    bool reset_deleted = false;
    modem.set_recording(false);
    modem.set_listing_delay(LISTING_MS);
    modem.on_delete = [&](bool found, const emu_sms &m) {
        std::lock_guard<std::mutex> hold(S.mu);
        if (!found) {
            S.fail("sms-delete", "AT+CMGD of index " + std::to_string(m.index) +
                                     ", which holds no message: a message deleted twice");
            return;
        }
        auto it = S.inbox.find(m.index);
        if (it == S.inbox.end() || it->second.front().text != m.text) {
            S.fail("sms-delete", "a message the soak did not store was deleted: " + m.text);
            return;
        }
        // Read: listed, or read on its own with AT+CMGR.
        if (!m.read) {
            S.fail("sms-delete", "\"" + m.text + "\" was deleted before it was read");
            return;
        }
        sms_rec rec = it->second.front();
        it->second.pop_front();
        if (it->second.empty())
            S.inbox.erase(it);
        rec.deleted = S.now();
        ++r.sms_deleted;
        r.sim_worst_age_s = std::max(r.sim_worst_age_s, S.sim_age(rec, rec.deleted));
        if (S.life_started()) {
            ++S.life.sms_deleted;
            ++S.life.kind_deleted[rec.kind];
        }
        resolve_reply("another message was deleted first");
        // The gateway keeps the sender of a text that passed the sender,
        // line and password checks, to forward type-2 frames to.
        S.admin_known = S.admin_known || rec.kind == SMS_VALID || rec.kind == SMS_INVALID;
        if (rec.kind == SMS_VALID) {
            S.awaiting_reply.push_back(rec);
            reset_deleted = reset_deleted || rec.fx == FX_RESET;
        } else {
            ++r.sms_ignored;
            // Whatever a refused text asked for must never show in config.txt.
            S.config_check_at = std::min(S.config_check_at, rec.deleted + 30);
        }
    };
    modem.on_sms = [&](const emu_sent_sms &sms) {
        std::lock_guard<std::mutex> hold(S.mu);
        S.life.ok_sent += sms.text == "ok" && S.life_started();
        const std::string to = unquote(sms.number);
        if (sms.text != "ok") {
            auto it = S.type2.find(sms.text);
            if (it == S.type2.end())
                return;
            const double took = sim_of(sms.started) - it->second.first;
            const double bound = 4 + LISTING_MS / 1000.0 + TYPE2_SLACK + S.real_slack(10) +
                                 S.stalled(it->second.first) +
                                 (cpu_pressure() - it->second.second) * S.scale;
            const double sent = it->second.first;
            S.type2.erase(it);
            // A babbling modem may slow a forward; it must still go out.
            if (S.at_risk(sent, sent, W_BABBLE)) {
                ++r.babble_type2;
                return;
            }
            ++r.type2_checked;
            r.type2_worst_s = std::max(r.type2_worst_s, took);
            if (took > bound) {
                char t[160];
                std::snprintf(t, sizeof t,
                              "the SMS of a type-2 frame started %.1f s after the frame's last "
                              "byte; the bound is %.1f s (4 s pause, one listing, slack)",
                              took, bound);
                S.fail("type2-sms", t);
            }
            return;
        }
        if (to != ADMIN) {
            S.fail("sms-reply",
                   "\"ok\" sent to " + to +
                       (to == ADMIN_BAD ? ", whose texts are no commands" : ", who is no admin"));
            return;
        }
        if (S.awaiting_reply.empty()) {
            S.fail("sms-reply",
                   "an \"ok\" with no command waiting for it: a command answered twice");
            return;
        }
        sms_rec rec = S.awaiting_reply.front();
        S.awaiting_reply.pop_front();
        ++r.sms_commands_done;
        std::string why;
        if (rec.fx == FX_IP || rec.fx == FX_PORT) {
            const std::string ip = rec.fx == FX_IP ? rec.value : S.last_ip;
            const std::string port = rec.fx == FX_PORT ? rec.value : S.last_port;
            if (!config_holds(config, ip, port, &why))
                S.fail("config", "after \"" + rec.text + "\" was answered: " + why);
            S.last_ip = ip;
            S.last_port = port;
        } else if (rec.fx == FX_RADIO) {
            S.awaiting_radio.emplace_back(rec, S.now());
        } else if (rec.fx == FX_RESET) {
            S.reset_answered = S.now();
        }
    };

    auto on_frame = [&](const bytes &f) {
        if (f.size() != 25 || f[14] != UP_MARK || (f[10] != 1 && f[10] != 5))
            return;
        const int p = f[15] - 1;
        if (p < 0 || p > 1 || f[10] != (p == 0 ? 1 : 5))
            return;
        const uint32_t seq = frame_seq(f);
        std::lock_guard<std::mutex> hold(S.mu);
        auto &q = S.up[p];
        const int mask = W_LINK | W_RESTART | (p == 0 ? W_PORT1 : W_PORT2);
        const double grace = S.uplink_reach();
        const std::string port = "/dev/ttyO" + std::to_string(p + 1);
        if (q.empty() || seq < q.front().seq) {
            S.fail("uplink", "lamp frame " + std::to_string(seq) + " of " + port +
                                 " reached the server twice or out of order");
            return;
        }
        if (f != seq_frame(p == 0 ? 1 : 5, p + 1, 1, UP_MARK, seq)) {
            S.fail("uplink", "lamp frame " + std::to_string(seq) + " of " + port +
                                 " reached the server changed: " + hex(f));
            return;
        }
        // Frames sent before it and still missing are lost: order is kept.
        while (!q.empty() && q.front().seq < seq) {
            const up_pending lost = q.front();
            q.pop_front();
            if (!S.at_risk(lost.sent - 1, lost.sent + grace, mask)) {
                S.fail("uplink", "lamp frame " + std::to_string(lost.seq) + " of " + port +
                                     " sent at " + fmt_time(lost.sent) +
                                     " outside any fault window never reached the server (frame " +
                                     std::to_string(seq) + " did)");
                return;
            }
            ++r.up_risk;
            ++r.up_risk_lost;
            ++S.life.up_lost[p];
        }
        if (q.empty() || q.front().seq != seq) {
            S.fail("uplink", "lamp frame " + std::to_string(seq) + " of " + port +
                                 " reached the server but was never sent");
            return;
        }
        const up_pending got = q.front();
        q.pop_front();
        ++r.up_delivered;
        if (!S.babbles.empty())
            S.babble_frame(p, got, S.now());
        if (S.at_risk(got.sent - 1, got.sent + grace, mask)) {
            ++r.up_risk;
            ++r.up_risk_delivered;
        }
    };
    // What each server reads on a connection of the running process, for
    // the check against its statistics line.
    auto count_frame = [&](int k, const bytes &f) {
        if (f.size() < 14)
            return;
        std::lock_guard<std::mutex> hold(S.mu);
        if (S.conn_life[k] != S.life_serial)
            return;
        if (f[10] == 1 || f[10] == 5)
            ++S.life.up_at_server[f[10] == 1 ? 0 : 1];
        if (f[10] == 0 && f[13] == 6) {
            ++S.life.heartbeats;
            S.life.answers += server[k].answer_heartbeats.load();
        }
    };
    for (int k = 0; k < 2; ++k) {
        server[k].keep_records = false;
        server[k].on_frame = [count_frame, on_frame, k](const bytes &f) {
            count_frame(k, f);
            on_frame(f);
        };
        server[k].on_connect = [&S, &radio, k](int) {
            std::lock_guard<std::mutex> hold(S.mu);
            S.last_connect = S.now();
            S.conn_life[k] = S.life_started() ? S.life_serial : -1;
            if (S.conn_life[k] != S.life_serial)
                return;
            ++S.life.accepts;
            for (int p = 0; p < 2; ++p)
                if (S.life.keyed_base[p] < 0) {
                    const radio_counts c = radio[p]->counts();
                    S.life.keyed_base[p] = c.frames - c.frames_unkeyed;
                }
        };
        server[k].on_close = [&S, k] {
            std::lock_guard<std::mutex> hold(S.mu);
            const bool ours = S.conn_life[k] == S.life_serial;
            S.life.link_faults += ours;
            S.life.closes += ours;
        };
    }

    if (!radio1.start() || !radio2.start() || !modem.start() || !server[0].start() ||
        !server[1].start() || gpio.root().empty()) {
        std::fprintf(log, "lampgw-sim: the simulated street could not be set up\n");
        return 2;
    }
    S.last_port = std::to_string(server[0].port());
    {
        std::ofstream f(config);
        // No statistics line of its own accord: the soak asks for one by
        // SIGUSR1 and takes the first that comes as the answer.
        f << "server_ip_addr=127.0.0.1\nserver_port_num=" << server[0].port()
          << "\ndevice_id=" << DEVICE_ID << "\nsms_admin_numbers=" << ADMIN << "," << ADMIN_BAD
          << "\nsms_password=" << PASSWORD << "\nstats_interval=0\n";
    }
    auto nodes = [&](bool present) {
        unlink(usb1.c_str());
        unlink(usb2.c_str());
        if (present) {
            if (symlink(modem.slave_path().c_str(), usb1.c_str()) != 0)
                perror("symlink");
            std::ofstream w(usb2);
        }
    };
    nodes(true);

    // Lamp and type-2 frames are registered by the writer just before they
    // go, so the server can never see a frame the soak does not expect.
    auto before_send = [&](const write_job &j) {
        std::lock_guard<std::mutex> hold(S.mu);
        if (j.kind == 1) {
            S.up[j.data[15] - 1].push_back({j.seq, S.now(), cpu_pressure()});
            ++r.up_sent;
        } else {
            S.type2[hex_compact(j.data)] = {S.now(), cpu_pressure()};
        }
    };
    port_writer writer1(radio1, before_send), writer2(radio2, before_send);
    port_writer *writer[2] = {&writer1, &writer2};

    // The gateway process and its console.
    if (!opt.console.empty() &&
        (S.console_file = std::fopen(opt.console.c_str(), "w")) == nullptr) {
        std::fprintf(log, "lampgw-sim: cannot write %s\n", opt.console.c_str());
        return 2;
    }
    std::unique_ptr<FILE, int (*)(FILE *)> console_closer(
        S.console_file, [](FILE *f) { return f != nullptr ? std::fclose(f) : 0; });
    pid_t pid = -1;
    int console_fd = -1;
    std::thread console_reader;
    auto start_gateway = [&]() {
        remove_tree(proc);
        mkdir(proc.c_str(), 0755);
        const std::string sc = std::to_string(opt.time_scale);
        pid = spawn_piped({opt.hosted, radio1.path(), radio2.path(), usb1, usb2, gpio.root(),
                           config, sc, sc, proc},
                          &console_fd);
        if (pid < 0)
            return false;
        {
            std::lock_guard<std::mutex> hold(S.mu);
            S.life_start = S.now();
            S.life = life_counts{};
            ++S.life_serial;
            S.gw_pid = pid;
            S.feed_pressure = cpu_pressure();
        }
        console_reader = std::thread([&S, fd = console_fd] {
            char buf[4096];
            std::string part;
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
                if (n <= 0)
                    continue;
                part.append(buf, static_cast<size_t>(n));
                size_t nl;
                while ((nl = part.find('\n')) != std::string::npos) {
                    const std::string line = part.substr(0, nl);
                    part.erase(0, nl + 1);
                    std::lock_guard<std::mutex> hold(S.mu);
                    S.console.push_back(line);
                    if (S.console_file != nullptr)
                        std::fprintf(S.console_file, "%.1f %s\n", S.now(), line.c_str());
                    if (S.console.size() > 12)
                        S.console.pop_front();
                    if (line.find("shell: \"reboot\" recorded") != std::string::npos)
                        S.reboot_asked = true;
                    if (S.stats_wanted && line.compare(0, 6, "stats ") == 0) {
                        S.stats_line = line;
                        S.stats_wanted = false;
                    }
                }
            }
        });
        return true;
    };
    auto stop_gateway = [&]() {
        if (pid > 0) {
            r.gateway_cpu_seconds += process_cpu(pid);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
        if (console_reader.joinable())
            console_reader.join();
        if (console_fd >= 0)
            close(console_fd);
        console_fd = -1;
    };
    struct reaper {
        std::function<void()> stop;
        ~reaper() { stop(); }
    } reap{stop_gateway};

    {
        std::lock_guard<std::mutex> hold(S.mu);
        S.fault_over(S.open_window(W_RESTART, 0, true, 0), 0);
    }
    if (!start_gateway()) {
        std::fprintf(log, "lampgw-sim: %s could not be started\n", opt.hosted.c_str());
        return 2;
    }
    S.say("gateway started (" + opt.hosted + ")");

    // Fault state driven by the main loop.
    size_t next_fault = 0;
    std::vector<std::pair<double, int>> ends;  // (time, kind) of running faults
    std::map<int, int> fault_window;           // kind -> window id
    bool link_garbage = false, segments = false, port_garbage[2] = {}, flood[2] = {}, split[2] = {};
    double next_burst[2] = {}, next_flood[2] = {}, next_server_garbage = 0;
    double next_lamp[2] = {5, 15}, next_down = 60, next_t2 = 900, next_sms = 300, next_sample = 0,
           next_hour = 3600, next_check = 0;
    uint32_t t2_seq = 0;
    int hour = 0;
    FILE *csv = nullptr;
    if (!opt.csv.empty()) {
        csv = std::fopen(opt.csv.c_str(), "w");
        if (csv == nullptr) {
            std::fprintf(log, "lampgw-sim: cannot write %s\n", opt.csv.c_str());
            return 2;
        }
        std::fprintf(csv,
                     "hour,restarts,up_sent,up_delivered,up_at_risk,up_lost_at_risk,down_sent,"
                     "down_delivered,down_lost_at_risk,sms_in,sms_deleted,sms_answered,faults,"
                     "fds,threads,rss_kib\n");
    }
    struct csv_closer {
        FILE *&f;
        ~csv_closer()
        {
            if (f != nullptr)
                std::fclose(f);
        }
    } close_csv{csv};
    int last_fds = 0, last_threads = 0;
    long last_rss = 0;
    const double tail = LOST_AFTER + S.real_slack(250) + 30;

    auto add_sms = [&](const std::string &sender, const std::string &text, sms_kind kind, effect fx,
                       const std::string &value) {  // S.mu held
        const int index = modem.add_sms(sender, text);
        if (index == 0) {
            ++r.sms_refused_by_sim;  // the SIM is full: the network keeps it
            return;
        }
        sms_rec rec;
        rec.sender = sender;
        rec.text = text;
        rec.added = S.now();
        rec.pressure = cpu_pressure();
        rec.kind = kind;
        rec.fx = fx;
        rec.value = value;
        S.inbox[index].push_back(rec);
        ++r.sms_in;
        S.type2.clear();  // the timing of a forwarded frame no longer holds
    };
    const std::string pw = std::string(PASSWORD) + " ";
    // Texts the gateway must delete and refuse: a wrong or missing password,
    // two lines from an admin, a stranger's text that forges a listing
    // header (or a final OK and a read header) naming an admin.
    auto hostile_sms = [&](sms_kind kind) {  // S.mu held
        static const char *const wrong[] = {"reset",       "1234 reset",    "7351reset",
                                            "735 reset",   "73512 wifi on", "7352 status",
                                            " 7351 reset", "7351\treset"};
        const std::string port = std::to_string(server[pick(2)].port());
        const std::string lines[] = {pw + "wifi on\r\n" + pw + "reset",
                                     pw + "server port set " + port + "\n" + pw + "reset",
                                     pw + "reset\r" + pw + "wifi off", "\r\n" + pw + "reset"};
        const std::string forged[] = {std::string("hi\r+CMGL: 1,\"REC UNREAD\",\"") + ADMIN +
                                          "\",,\"x\"\r\n" + pw + "server ip set " + FORGED_IP,
                                      std::string("hi\r\nOK\r\n+CMGR: \"REC READ\",\"") + ADMIN +
                                          "\",,\"x\"\r\n" + pw + "server ip set " + FORGED_IP};
        if (kind == SMS_PASSWORD)
            add_sms(ADMIN, wrong[pick(8)], kind, FX_NONE, "");
        else if (kind == SMS_LINES)
            add_sms(ADMIN, lines[pick(4)], kind, FX_NONE, "");
        else
            add_sms(STRANGER, forged[pick(2)], SMS_FORGED, FX_NONE, "");
    };
    auto random_sms = [&]() {  // S.mu held
        static const char *const invalid[] = {"hello",
                                              "RESET",
                                              "reset now",
                                              "server port set 70000",
                                              "server port set 0",
                                              "server ip set 1.2.3",
                                              "server ip set localhost",
                                              "para set 1",
                                              "set netid ",
                                              "wifi",
                                              "server port set ",
                                              "status?"};
        static const char *const noop[] = {"wifi on",
                                           "wifi off",
                                           "ssid set street",
                                           "mgmt set 1",
                                           "password set s3cret",
                                           "connetct router now"};
        const size_t roll = pick(100);
        if (roll < 15) {
            add_sms(ADMIN_BAD, pw + invalid[pick(12)], SMS_INVALID, FX_NONE, "");
        } else if (roll < 27) {
            add_sms(STRANGER, pw + (pick(2) ? "reset" : "server port set 1"), SMS_STRANGER, FX_NONE,
                    "");
        } else if (roll < 36) {
            hostile_sms(static_cast<sms_kind>(SMS_FORGED + pick(3)));
        } else if (roll < 50) {
            add_sms(ADMIN, pw + noop[pick(6)], SMS_VALID, FX_NONE, "");
        } else if (roll < 65) {
            const std::string port = std::to_string(server[pick(2)].port());
            add_sms(ADMIN, pw + "server port set " + port, SMS_VALID, FX_PORT, port);
        } else if (roll < 72) {
            add_sms(ADMIN, pw + "server ip set 127.0.0.1", SMS_VALID, FX_IP, "127.0.0.1");
        } else if (roll < 86) {
            const bytes c = radio_command(0x15, static_cast<uint8_t>(1 + pick(200)));
            add_sms(ADMIN, pw + "set netid " + hex_compact(c), SMS_VALID, FX_RADIO, hex(c));
        } else {
            const bytes c = radio_command(0x17, static_cast<uint8_t>(1 + pick(7)));
            add_sms(ADMIN, pw + "para set " + hex_compact(c), SMS_VALID, FX_RADIO, hex(c));
        }
    };

    auto start_fault = [&](const fault_event &f, double t) {
        ++r.faults[f.kind];
        S.say(std::string("fault: ") + FAULT_NAMES[f.kind] +
              (f.len > 0 ? " for " + std::to_string(static_cast<int>(f.len)) + " s" : ""));
        std::lock_guard<std::mutex> hold(S.mu);
        auto win = [&](int scope, double hold_s, bool need_conn) {
            fault_window[f.kind] = S.open_window(scope, hold_s, need_conn, t);
        };
        switch (f.kind) {
        case SOAK_FAULT_SERVER_DROP:
            ++S.life.link_faults;
            win(W_LINK, 0, true);
            S.fault_over(fault_window[f.kind], t);
            for (auto &srv : server)
                srv.drop();
            return;  // over at once
        case SOAK_FAULT_SERVER_REFUSE:
            ++S.life.link_faults;
            win(W_LINK, 0, true);
            for (auto &srv : server)
                srv.set_refusing(true);
            break;
        case SOAK_FAULT_SERVER_SILENT:
            // The gateway may still drop the link a heartbeat period after
            // the silence ends, on a count it reached during it.
            win(W_LINK, 130, false);
            ++S.life.link_faults;
            for (auto &srv : server)
                srv.answer_heartbeats = false;
            break;
        case SOAK_FAULT_SERVER_GARBAGE: link_garbage = true; break;
        case SOAK_FAULT_DOWNLINK_SEGMENTS: segments = true; break;
        case SOAK_FAULT_RADIO1_GARBAGE:
        case SOAK_FAULT_RADIO2_GARBAGE: {
            const int p = f.kind == SOAK_FAULT_RADIO1_GARBAGE ? 0 : 1;
            win(p == 0 ? W_PORT1 : W_PORT2, 5, false);
            port_garbage[p] = true;
            next_burst[p] = t;
            break;
        }
        case SOAK_FAULT_RADIO1_OVERFLOW:
        case SOAK_FAULT_RADIO2_OVERFLOW: {
            const int p = f.kind == SOAK_FAULT_RADIO1_OVERFLOW ? 0 : 1;
            win(p == 0 ? W_PORT1 : W_PORT2, 5 + S.real_slack(200), false);
            S.fault_over(fault_window[f.kind], t);
            write_job j;
            j.data = garbage(70 * 1024);
            writer[p]->push(std::move(j));
            return;
        }
        case SOAK_FAULT_RADIO1_FLOOD:
        case SOAK_FAULT_RADIO2_FLOOD: {
            const int p = f.kind == SOAK_FAULT_RADIO1_FLOOD ? 0 : 1;
            win(p == 0 ? W_PORT1 : W_PORT2, 5, false);
            flood[p] = true;
            next_flood[p] = t;
            break;
        }
        case SOAK_FAULT_RADIO1_SPLIT: split[0] = true; break;
        case SOAK_FAULT_RADIO2_SPLIT: split[1] = true; break;
        case SOAK_FAULT_SMS_STORM: {
            // 3 to 10 messages: a wrong password, two lines from an admin and
            // a forged listing among them, at random places.
            const size_t n = 3 + pick(8);
            std::vector<int> slot(n, -1);
            for (int k : {SMS_PASSWORD, SMS_LINES, SMS_FORGED, SMS_VALID}) {
                if (k == SMS_VALID && !f.reset)
                    break;
                size_t at = pick(n);
                while (slot[at] >= 0)
                    at = (at + 1) % n;
                slot[at] = k;
            }
            for (int k : slot) {
                if (k == SMS_VALID)
                    add_sms(ADMIN, pw + "reset", SMS_VALID, FX_RESET, "");
                else if (k >= 0)
                    hostile_sms(static_cast<sms_kind>(k));
                else
                    random_sms();
            }
            return;
        }
        case SOAK_FAULT_MODEM_SILENT:
            win(W_MODEM, 10, false);
            modem.set_silent(true);
            break;
        case SOAK_FAULT_MODEM_BABBLE: fault_window[f.kind] = S.start_babble(modem, t, f.len); break;
        case SOAK_FAULT_MODEM_JUNK:
        case SOAK_FAULT_MODEM_CUT:
            win(W_MODEM, 10, false);
            modem.set_listing_fault(
                f.kind == SOAK_FAULT_MODEM_JUNK ? emu_listing::junk : emu_listing::cut,
                static_cast<uint32_t>(rng()));
            break;
        case SOAK_FAULT_MODEM_VANISH:
            win(W_MODEM, 10, false);
            S.vanished = true;
            modem.set_silent(true);
            nodes(false);
            break;
        default: break;
        }
        ends.emplace_back(t + f.len, f.kind);
    };
    auto end_fault = [&](int kind, double t) {  // S.mu held
        auto it = fault_window.find(kind);
        if (it != fault_window.end()) {
            S.fault_over(it->second, t);
            fault_window.erase(it);
        }
        switch (kind) {
        case SOAK_FAULT_SERVER_REFUSE:
            for (auto &srv : server)
                srv.set_refusing(false);
            break;
        case SOAK_FAULT_SERVER_SILENT:
            for (auto &srv : server)
                srv.answer_heartbeats = true;
            break;
        case SOAK_FAULT_SERVER_GARBAGE: link_garbage = false; break;
        case SOAK_FAULT_DOWNLINK_SEGMENTS: segments = false; break;
        case SOAK_FAULT_RADIO1_GARBAGE: port_garbage[0] = false; break;
        case SOAK_FAULT_RADIO2_GARBAGE: port_garbage[1] = false; break;
        case SOAK_FAULT_RADIO1_FLOOD: flood[0] = false; break;
        case SOAK_FAULT_RADIO2_FLOOD: flood[1] = false; break;
        case SOAK_FAULT_RADIO1_SPLIT: split[0] = false; break;
        case SOAK_FAULT_RADIO2_SPLIT: split[1] = false; break;
        case SOAK_FAULT_MODEM_SILENT: modem.set_silent(false); break;
        case SOAK_FAULT_MODEM_JUNK:
        case SOAK_FAULT_MODEM_CUT: modem.set_listing_fault(emu_listing::whole, 0); break;
        case SOAK_FAULT_MODEM_BABBLE:
            modem.set_babble(0);
            S.babble_t2.clear();
            break;
        case SOAK_FAULT_MODEM_VANISH:
            if (S.vanished) {
                nodes(true);
                modem.set_silent(false);
                S.vanished = false;
                S.vanish_end = t;
            }
            break;
        default: break;
        }
    };

    // The gateway's own account, asked for by SIGUSR1, against the soak's
    // figures for the life of the process. The soak's figures are taken
    // before asking and, once the street has read everything the gateway
    // wrote before its line (drain, then compare), after the answer: an
    // event under way meanwhile may fall on either side. The tolerances
    // below are what faults, and the one step a thread takes between doing
    // a thing and counting it, make impossible to know; each is bounded by
    // events the soak counted.
    struct figures {
        long up[2], risk[2], lost[2], keyed[2];
        long deleted[SMS_KINDS], ok, heartbeats, answers, accepts, faults, closes, feeds;
    };
    // in_flight: deletions the modem has done and not yet reported count too.
    auto take_figures = [&](bool in_flight) {
        figures f{};
        gpio.drain();
        const radio_counts rc[2] = {radio1.counts(), radio2.counts()};
        std::lock_guard<std::mutex> hold(S.mu);
        std::copy(std::begin(S.life.kind_deleted), std::end(S.life.kind_deleted), f.deleted);
        if (in_flight && S.life_started()) {
            std::map<int, size_t> held;  // the SIM's messages by index: 0 or 1
            for (const emu_sms &m : modem.inbox())
                held[m.index] = 1;
            for (const auto &slot : S.inbox)
                for (size_t i = 0; i + held[slot.first] < slot.second.size(); ++i)
                    ++f.deleted[slot.second[i].kind];
        }
        const life_counts &L = S.life;
        const double grace = S.uplink_reach();
        for (int p = 0; p < 2; ++p) {
            const int mask = W_LINK | W_RESTART | (p == 0 ? W_PORT1 : W_PORT2);
            f.up[p] = L.up_at_server[p];
            // Frames not yet seen that a fault may have taken after the
            // gateway wrote them.
            f.risk[p] = 0;
            for (const up_pending &u : S.up[p])
                f.risk[p] += S.at_risk(u.sent - 1, u.sent + grace, mask);
            f.lost[p] = L.up_lost[p];
            f.keyed[p] =
                L.keyed_base[p] < 0 ? 0 : rc[p].frames - rc[p].frames_unkeyed - L.keyed_base[p];
        }
        f.ok = L.ok_sent;
        f.heartbeats = L.heartbeats;
        f.answers = L.answers;
        f.accepts = L.accepts;
        f.faults = L.link_faults;
        f.closes = L.closes;
        f.feeds = S.feeds;
        return f;
    };
    auto counts_of = [](const figures &a, const figures &b) {
        std::vector<count_check> v;
        auto add = [&v](const char *keys, const char *figure, long before, long after, long below,
                        long above, const char *why) {
            v.push_back({keys, figure, before, after, below, above, why});
        };
        const char *const relayed[2] = {"other_relayed", "ludeng_relayed"};
        const char *const down[2] = {"server_to_other", "server_to_ludeng"};
        const char *const module[2] = {"keyed frames at the 434 MHz module",
                                       "keyed frames at the 450 MHz module"};
        for (int p = 0; p < 2; ++p) {
            add(relayed[p],
                p == 0 ? "frames of type 1 at the server" : "frames of type 5 at the server",
                a.up[p], b.up[p], 1, b.lost[p] + b.risk[p],
                "below: a frame written, counted a step later; above: lamp frames lost to a "
                "fault, or sent in a fault window and not seen yet");
            add(down[p], module[p], a.keyed[p], b.keyed[p], 1, 0,
                "a transmit under way, counted when its key window closes");
        }
        // Every message deleted is counted once, and once by what it was.
        static const struct {
            const char *keys, *figure;
            unsigned kinds;
        } sms_rows[] = {
            {"sms_received", "messages deleted", ~0u},
            {"sms_done", "commands deleted", 1u << SMS_VALID},
            {"sms_unknown sms_refused", "admins' texts deleted that are no command",
             1u << SMS_INVALID},
            {"sms_ignored", "strangers' texts deleted", 1u << SMS_STRANGER | 1u << SMS_FORGED},
            {"sms_bad_password", "texts deleted without the password", 1u << SMS_PASSWORD},
            {"sms_multiline", "texts of two lines deleted", 1u << SMS_LINES},
        };
        auto kinds = [](const figures &f, unsigned mask) {
            long n = 0;
            for (int k = 0; k < SMS_KINDS; ++k)
                n += (mask >> k & 1u) != 0 ? f.deleted[k] : 0;
            return n;
        };
        for (const auto &row : sms_rows)
            add(row.keys, row.figure, kinds(a, row.kinds), kinds(b, row.kinds), 1, 0,
                "a delete the modem confirmed, counted a step later");
        add("sms_replies", "\"ok\" sent, up to the commands deleted", a.ok, b.deleted[SMS_VALID], 1,
            0, "an answer the modem took, counted when the send returns");
        add("hb_sent", "heartbeats at the server", a.heartbeats, b.heartbeats, 1, b.faults,
            "below: one written, counted a step later; above: one per link fault, written "
            "into a connection the server had dropped");
        add("hb_answered", "heartbeats the server answered", a.answers, b.answers,
            b.faults + 4 * b.closes + 1, 0,
            "an answer on a connection a link fault ended (up to five answered after the "
            "gateway closed the link for silence), or the one answer the server had sent and "
            "the gateway not yet read");
        add("link_connects", "connections the server accepted", a.accepts, b.accepts, 1, b.faults,
            "below: a connection counted a step after the server took it; above: one made as "
            "the server stopped listening");
        add("watchdog_feeds", "rises of line 60", a.feeds, b.feeds, 1, 0,
            "a feed written, counted a step later");
        return v;
    };
    auto check_counters = [&](const std::string &when) {
        const figures a = take_figures(false);
        {
            std::lock_guard<std::mutex> hold(S.mu);
            S.stats_wanted = true;
            S.stats_line.clear();
        }
        const double asked = S.now(), pressure = cpu_pressure();
        kill(pid, SIGUSR1);
        std::string line;
        while (line.empty() && S.now() - asked <= STATS_WAIT + S.real_slack(100) +
                                                      (cpu_pressure() - pressure) * S.scale) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::lock_guard<std::mutex> hold(S.mu);
            line = S.stats_line;
        }
        std::string day;
        {
            std::lock_guard<std::mutex> hold(S.mu);
            S.stats_wanted = false;
            day = "day " + std::to_string(S.day + 1) + ", " + when + ": ";
        }
        gw_stats st;
        if (!stats_parse(line, &st)) {
            std::lock_guard<std::mutex> hold(S.mu);
            S.fail("counters", day + "no statistics line within " +
                                   std::to_string(static_cast<int>(STATS_WAIT)) +
                                   " s after SIGUSR1");
            return;
        }
        // The street reads what the gateway wrote before its line: the
        // servers what has arrived and the connections made, the modules
        // up to a marker behind the gateway's bytes (take_figures() drains
        // the GPIO FIFOs).
        const int drain_ms = static_cast<int>(5000 + (cpu_pressure() - pressure) * 1000);
        bool drained = true;
        for (auto &srv : server)
            drained = srv.drain(false, drain_ms) && drained;
        for (RadioModule *m : radio)
            drained = m->drain(drain_ms) && drained;
        if (!drained) {
            std::lock_guard<std::mutex> hold(S.mu);
            S.fail("counters", day + "the street could not read what the gateway wrote within " +
                                   std::to_string(drain_ms) + " ms");
            return;
        }
        std::vector<count_check> checks = counts_of(a, take_figures(true));
        count_checks_run(st, &checks);
        std::string seen;
        for (const count_check &k : checks)
            seen += " " + k.keys.substr(0, k.keys.find(' ')) + " " + std::to_string(k.gateway) +
                    "/" + std::to_string(k.street_before) +
                    (k.street_after != k.street_before ? "-" + std::to_string(k.street_after) : "");
        S.say(day + "the gateway's counts / the soak's:" + seen);
        std::lock_guard<std::mutex> hold(S.mu);
        ++r.counters_checked;
        for (const count_check &k : checks)
            if (!k.ok) {
                S.fail("counters", day + count_check_text(k));
                return;
            }
    };

    auto restart_cause = [&](double t) {  // S.mu held
        if (reset_deleted)
            return static_cast<int>(SOAK_RESTART_SMS_RESET);
        if (S.vanished || (S.vanish_end >= 0 && t - S.vanish_end < PASS_S + 5 + S.real_slack(20)))
            return static_cast<int>(SOAK_RESTART_MODEM_GONE);
        if (S.feeds >= DAILY_PASSES)
            return static_cast<int>(SOAK_RESTART_DAILY);
        return -1;
    };

    // A recorded reboot: power off (SIGKILL), classify, power on. The end of
    // a day is the moment to hold the process's counts against the soak's.
    auto restart = [&](double t) {
        bool daily;
        {
            std::lock_guard<std::mutex> hold(S.mu);
            daily = restart_cause(t) == SOAK_RESTART_DAILY;
        }
        if (daily && pid > 0)
            check_counters("before its daily reboot");
        stop_gateway();
        gpio.drain();  // the process's last feeds count to it, not to the next
        std::lock_guard<std::mutex> hold(S.mu);
        const double uptime = t - S.life_start;
        const int cause = restart_cause(t);
        if (cause < 0) {
            S.fail("reboot-cause", "the gateway asked for a reboot after " +
                                       std::to_string(static_cast<long>(uptime)) +
                                       " s up, with no reset answered, the modem nodes in "
                                       "place and the day not over");
            return;
        }
        if (cause == SOAK_RESTART_SMS_RESET && S.reset_answered < 0 &&
            !S.at_risk(S.life_start, t, W_MODEM))
            S.fail("sms-reply", "the gateway rebooted on \"reset\" without answering it");
        ++r.restarts[cause];
        if (cause == SOAK_RESTART_DAILY) {
            // The daily reboot closes a soak day; after the last whole one
            // only the fraction of a day asked for is left.
            S.day_start = t;
            if (++S.day >= static_cast<int>(opt.days))
                S.total = t + (opt.days - S.day) * 86400;
        }
        S.say(std::string("restart: ") + RESTART_NAMES[cause] + " after " +
              std::to_string(static_cast<long>(uptime)) + " s up");
        S.fault_over(S.open_window(W_RESTART, 0, true, t), t);
        resolve_reply("the gateway restarted");
        S.awaiting_radio.clear();
        S.type2.clear();
        if (S.vanished)
            end_fault(SOAK_FAULT_MODEM_VANISH, t);  // a reboot powers the modem up again
        S.reset_answered = -1;
        reset_deleted = false;
        S.admin_known = false;
        S.feeds = 0;
        S.last_feed = -1;
        S.reboot_asked = false;
    };

    auto connected = [&]() { return server[0].connected() || server[1].connected(); };

    // The checks that wait for something: frames lost, commands unanswered,
    // SMS never deleted, watchdog feeds, type-2 forwards.
    auto check_overdue = [&](double t, bool running) {  // S.mu held
        const double lost_after = LOST_AFTER + S.real_slack(250);
        const double grace = S.uplink_reach();
        const double pressure = cpu_pressure();
        for (int p = 0; p < 2; ++p) {
            const int mask = W_LINK | W_RESTART | (p == 0 ? W_PORT1 : W_PORT2);
            // A stalled machine delays a frame; only the gateway may lose it.
            while (!S.up[p].empty() &&
                   t - S.up[p].front().sent > lost_after + S.stalled(S.up[p].front().sent) +
                                                  (pressure - S.up[p].front().pressure) * S.scale) {
                const up_pending f = S.up[p].front();
                S.up[p].pop_front();
                if (!S.at_risk(f.sent - 1, f.sent + grace, mask)) {
                    S.fail("uplink", "lamp frame " + std::to_string(f.seq) + " of /dev/ttyO" +
                                         std::to_string(p + 1) + " sent at " + fmt_time(f.sent) +
                                         " outside any fault window never reached the server");
                    return;
                }
                ++r.up_risk;
                ++r.up_risk_lost;
                ++S.life.up_lost[p];
            }
        }
        for (auto it = S.down.begin(); it != S.down.end();) {
            if (t - it->second.sent <= lost_after + S.stalled(it->second.sent) +
                                           (pressure - it->second.pressure) * S.scale) {
                ++it;
                continue;
            }
            if (!S.at_risk(it->second.sent - 1, it->second.sent + 30 + grace, W_LINK | W_RESTART)) {
                S.fail("downlink", "server frame " + std::to_string(it->first) + " for /dev/ttyO" +
                                       std::to_string(it->second.port) + " sent at " +
                                       fmt_time(it->second.sent) +
                                       " with the link up never reached its module");
                return;
            }
            ++r.down_risk;
            ++r.down_risk_lost;
            it = S.down.erase(it);
        }
        if (!S.awaiting_reply.empty() &&
            t - S.awaiting_reply.front().deleted > REPLY_AFTER + S.real_slack(250))
            resolve_reply("no answer in time");
        for (auto it = S.awaiting_radio.begin(); it != S.awaiting_radio.end();) {
            auto seen = S.radio_seen.find(it->first.value);
            if (seen != S.radio_seen.end() && seen->second > 0) {
                --seen->second;
                it = S.awaiting_radio.erase(it);
            } else if (t - it->second > 5 + S.real_slack(2000)) {
                S.fail("sms-effect", "\"" + it->first.text +
                                         "\" was answered but the 434 MHz module never got " +
                                         it->first.value);
                return;
            } else {
                ++it;
            }
        }
        for (auto it = S.type2.begin(); it != S.type2.end();) {
            if (t - it->second.first <= lost_after + S.stalled(it->second.first) +
                                            (pressure - it->second.second) * S.scale) {
                ++it;
                continue;
            }
            if (!S.at_risk(it->second.first, t, W_MODEM | W_RESTART)) {
                S.fail("type2-sms",
                       "no SMS for the type-2 frame sent at " + fmt_time(it->second.first));
                return;
            }
            it = S.type2.erase(it);  // the modem's fault took it
        }
        if (running && !S.reboot_asked) {
            const double bound = S.feeds == 0 ? FEED_FIRST : S.feeds == 1 ? FEED_STARTUP : FEED_GAP;
            const double ref = S.feeds == 0 ? S.life_start : S.last_feed;
            const double since = t - ref, slack = S.real_slack(30) + S.stalled(ref) +
                                                  (cpu_pressure() - S.feed_pressure) * S.scale;
            if (since > bound + slack) {
                char b[160];
                std::snprintf(b, sizeof b,
                              "no watchdog feed for %.0f s (bound %.0f s + %.0f s slack, %d feeds "
                              "since the start)",
                              since, bound, slack, S.feeds);
                S.fail("watchdog", b);
                return;
            }
            // Start-up feeds once, then every pass: the 4320th pass is the
            // last one that feeds before the daily reboot.
            if (S.feeds > DAILY_PASSES + 1)
                S.fail("daily-reboot", "the gateway fed the watchdog " + std::to_string(S.feeds) +
                                           " times in " +
                                           std::to_string(static_cast<long>(t - S.life_start)) +
                                           " s without asking for its daily reboot");
        }
    };
    // A message read and then left (a cut listing, a restart, a failed
    // delete) is found again by the next listing of all: nothing excuses a
    // message that stays.
    auto check_inbox = [&](double t) {  // S.mu held
        for (const auto &slot : S.inbox)
            for (const sms_rec &m : slot.second) {
                const double e = S.risk_end(m.added, W_MODEM | W_RESTART);
                if (e != INF && t - std::max(e, m.added) > DELETE_AFTER + S.real_slack(250)) {
                    S.fail("sms-delete", "\"" + m.text + "\" from " + m.sender + " stored at " +
                                             fmt_time(m.added) + " was never deleted");
                    return;
                }
            }
    };
    // config.txt holds what the accepted commands wrote, never what a
    // refused text asked for.
    auto check_config = [&] {  // S.mu held
        S.config_check_at = INF;
        std::string why;
        for (const auto &rec : S.awaiting_reply)
            if (rec.fx == FX_IP || rec.fx == FX_PORT)
                return;  // being written
        if (!config_holds(config, S.last_ip, S.last_port, &why))
            S.fail(why.find(FORGED_IP) != std::string::npos ? "sms-forged" : "config", why);
    };
    auto sample = [&](double t) {
        if (pid <= 0 || t - S.life_start < 60)
            return;  // not yet, or no longer, the gateway itself
        const int fds = count_fds(pid);
        const long threads = process_status(pid, "Threads"), rss = process_status(pid, "VmRSS");
        if (fds < 0 || threads < 0 || rss < 0)
            return;  // between a kill and the reap
        std::lock_guard<std::mutex> hold(S.mu);
        last_fds = fds;
        last_threads = static_cast<int>(threads);
        last_rss = rss;
        // The moments after the last daily reboot count to the last day.
        const size_t day = static_cast<size_t>(
            std::min(S.day, std::max(0, static_cast<int>(std::ceil(opt.days)) - 1)));
        if (r.days.size() <= day)
            r.days.resize(day + 1);
        soak_day &d = r.days[day];
        d.max_fds = std::max(d.max_fds, fds);
        d.max_threads = std::max(d.max_threads, static_cast<int>(threads));
        d.max_rss_kib = std::max(d.max_rss_kib, rss);
        char b[200];
        if (fds > SOAK_MAX_FDS || threads > SOAK_MAX_THREADS || rss > SOAK_MAX_RSS_KIB) {
            std::snprintf(b, sizeof b,
                          "%d descriptors, %ld threads, %ld KiB resident; the bounds are %d, %d, "
                          "%ld KiB",
                          fds, threads, rss, SOAK_MAX_FDS, SOAK_MAX_THREADS, SOAK_MAX_RSS_KIB);
            S.fail("resources", b);
        } else if (day > 0 && (d.max_fds > r.days[0].max_fds + 2 ||
                               d.max_threads > r.days[0].max_threads + 1 ||
                               d.max_rss_kib > r.days[0].max_rss_kib + SOAK_MAX_RSS_KIB / 12)) {
            std::snprintf(b, sizeof b,
                          "day %zu reached %d descriptors, %d threads, %ld KiB; day 1 %d, %d, %ld",
                          day + 1, d.max_fds, d.max_threads, d.max_rss_kib, r.days[0].max_fds,
                          r.days[0].max_threads, r.days[0].max_rss_kib);
            S.fail("resources-growth", b);
        }
    };

    bool ok_end = false;
    double last_tick = S.now();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const double t = S.now();
        {
            // Anything beyond 1 ms of oversleep counts as a stall.
            std::lock_guard<std::mutex> hold(S.mu);
            const double lost = t - last_tick - S.real_slack(3);
            if (lost > 0)
                S.stalls.emplace_back(t, lost);
            while (!S.stalls.empty() && S.stalls.front().first < t - 3600)
                S.stalls.pop_front();
            last_tick = t;
        }
        if (S.failed)
            break;
        if (t >= S.total + tail) {
            ok_end = true;
            break;
        }
        const bool traffic = t < S.total;

        if (S.reboot_asked.load()) {
            restart(t);
            if (S.failed || !start_gateway())
                break;
            continue;
        }
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            std::lock_guard<std::mutex> hold(S.mu);
            // The console may still hold the reboot request that preceded the end.
            if (!S.reboot_asked) {
                S.fail("process",
                       std::string("the gateway ended without asking for a reboot: ") +
                           (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                              : "signal " + std::to_string(WTERMSIG(status))));
                break;
            }
            continue;
        }

        // Faults.
        // A day's faults are due from its opening; one its daily reboot
        // outran would start at once.
        while (traffic && next_fault < faults.size() &&
               (faults[next_fault].day < S.day ||
                (faults[next_fault].day == S.day && S.day_start + faults[next_fault].at <= t)))
            start_fault(faults[next_fault++], t);
        {
            std::lock_guard<std::mutex> hold(S.mu);
            for (auto it = ends.begin(); it != ends.end();) {
                if (it->first <= t || !traffic) {
                    end_fault(it->second, t);
                    it = ends.erase(it);
                } else {
                    ++it;
                }
            }
            // A window ends once its fault is over and things are calm again.
            const double grace = GRACE + S.real_slack(10);
            const bool up = connected();
            for (window &w : S.windows) {
                if (w.end != INF || w.over_at < 0 || t < w.over_at + w.hold)
                    continue;
                if (!(w.scope & (W_LINK | W_RESTART)))
                    w.end = t;
                else if (up && S.last_connect >= 0 && t >= S.last_connect + grace &&
                         (!w.need_conn || S.last_connect > w.over_at))
                    w.end = t;
            }
            // Old windows matter no more once everything sent before them is resolved.
            S.windows.erase(std::remove_if(S.windows.begin(), S.windows.end(),
                                           [t](const window &w) { return w.end < t - 7200; }),
                            S.windows.end());
        }

        // Traffic, outside the lock where it is I/O.
        for (int p = 0; traffic && p < 2; ++p) {
            if (t >= next_lamp[p]) {
                next_lamp[p] += LAMP_PERIOD;
                write_job j;
                j.kind = 1;
                j.seq = S.up_next[p]++;
                j.data = seq_frame(p == 0 ? 1 : 5, p + 1, 1, UP_MARK, j.seq);
                if (split[p]) {
                    for (size_t n = 1 + pick(4), i = 0; i < n; ++i)
                        j.cuts.push_back(1 + pick(j.data.size() - 1));
                    std::sort(j.cuts.begin(), j.cuts.end());
                    j.gap_us = 200 + static_cast<int>(pick(3000));
                }
                writer[p]->push(std::move(j));
            }
            if (port_garbage[p] && t >= next_burst[p]) {
                next_burst[p] = t + 5 + unit(rng) * 15;
                write_job j;
                j.data = garbage(200 + pick(3800));
                writer[p]->push(std::move(j));
            }
            if (flood[p] && t >= next_flood[p]) {
                next_flood[p] = t + 5 + unit(rng) * 25;
                write_job j;
                j.data.assign(2000 + pick(18000), 0xA3);
                writer[p]->push(std::move(j));
            }
        }
        if (traffic && link_garbage && t >= next_server_garbage) {
            next_server_garbage = t + 10 + unit(rng) * 20;
            const bytes g = garbage(20 + pick(480));
            for (auto &srv : server)
                srv.send(g);
        }
        if (traffic && t >= next_down) {
            next_down += DOWN_PERIOD;
            const bool up = connected();
            std::vector<bytes> frames;
            {
                std::lock_guard<std::mutex> hold(S.mu);
                const size_t n = up ? (segments && pick(2) ? 2 + pick(3) : 1) : 0;
                for (size_t i = 0; i < n; ++i) {
                    static const uint8_t types[3] = {1, 4, 5};
                    const uint8_t type = types[pick(3)];
                    const int port = type == 5 ? 2 : 1;
                    const uint32_t seq = S.down_next++;
                    bytes f = seq_frame(type, port, 9, DOWN_MARK, seq);
                    S.down[seq] = {port, radio_frame(f), t, cpu_pressure()};
                    ++r.down_sent;
                    frames.push_back(std::move(f));
                }
            }
            if (segments && frames.size() == 1) {
                for (auto &srv : server)
                    srv.send_pieces(frames[0], 1, 300);
            } else if (!frames.empty()) {
                bytes joined;
                for (const bytes &f : frames)
                    joined.insert(joined.end(), f.begin(), f.end());
                for (auto &srv : server)
                    srv.send(joined);
            }
        }
        if (traffic && t >= next_t2) {
            std::lock_guard<std::mutex> hold(S.mu);
            // Only when nothing else waits for the modem, so the bound is the
            // pause plus one listing.
            if (S.admin_known && S.inbox.empty() && S.awaiting_reply.empty() &&
                !S.at_risk(t - 60, t, W_MODEM | W_RESTART)) {
                next_t2 = t + TYPE2_PERIOD * (0.5 + unit(rng));
                write_job j;
                j.kind = 2;
                j.data = seq_frame(2, 2, 7, T2_MARK, t2_seq++);
                writer[1]->push(std::move(j));
                ++r.type2_sent;
            } else {
                next_t2 = t + 60;
            }
        }
        if (traffic && !S.babble_t2.empty() && t >= S.babble_t2.front()) {
            S.babble_t2.erase(S.babble_t2.begin());  // only this thread touches it
            write_job j;
            j.kind = 2;
            j.data = seq_frame(2, 2, 7, T2_MARK, t2_seq++);
            writer[1]->push(std::move(j));
            ++r.type2_sent;
        }
        if (traffic && t >= next_sms) {
            next_sms = t + SMS_PERIOD * (0.5 + unit(rng));
            std::lock_guard<std::mutex> hold(S.mu);
            random_sms();
        }

        // Checks.
        if (t >= next_check) {
            next_check = t + 1 + S.real_slack(20);
            std::lock_guard<std::mutex> hold(S.mu);
            check_overdue(t, true);
            check_inbox(t);
            S.check_sim_age(t);
            S.babble_judge(t, 30);
            if (t >= S.config_check_at)
                check_config();
        }
        if (t >= next_sample) {
            next_sample = t + SAMPLE_EVERY;
            sample(t);
        }
        if (t >= next_hour) {
            next_hour += 3600;
            ++hour;
            std::lock_guard<std::mutex> hold(S.mu);
            check_config();
            int restarts = 0, nfaults = 0;
            for (int c : r.restarts)
                restarts += c;
            for (int c : r.faults)
                nfaults += c;
            if (csv != nullptr)
                std::fprintf(csv, "%d,%d,%ld,%ld,%ld,%ld,%ld,%ld,%ld,%ld,%ld,%ld,%d,%d,%d,%ld\n",
                             hour, restarts, r.up_sent, r.up_delivered, r.up_risk, r.up_risk_lost,
                             r.down_sent, r.down_delivered, r.down_risk_lost, r.sms_in,
                             r.sms_deleted, r.sms_commands_done, nfaults, last_fds, last_threads,
                             last_rss);
            if (csv != nullptr)
                std::fflush(csv);
            char b[200];
            std::snprintf(b, sizeof b,
                          "hour %d: frames up %ld/%ld, down %ld/%ld, SMS %ld, %d restarts, %d "
                          "faults, %d fds, %d threads, %ld KiB",
                          hour, r.up_delivered, r.up_sent, r.down_delivered, r.down_sent, r.sms_in,
                          restarts, nfaults, last_fds, last_threads, last_rss);
            S.say(b);
        }
    }

    // Let the writers finish before the gateway goes, then power off.
    wait_for([&] { return writer1.idle() && writer2.idle(); }, 10000);
    if (ok_end && !S.failed && pid > 0)
        check_counters("at the end of the run");
    stop_gateway();
    writer1.stop();
    writer2.stop();
    {
        std::lock_guard<std::mutex> hold(S.mu);
        if (ok_end && !S.failed) {
            // Everything still pending is past its time: resolve it.
            check_overdue(S.total + 1e9, false);
        }
        r.sim_seconds = std::min(S.now(), S.total + tail);
    }
    r.real_seconds = std::chrono::duration<double>(clock_type::now() - S.t0).count();
    r.cpu_seconds = self_cpu() - cpu0;
    return S.failed ? 1 : 0;
}

void soak_print_summary(FILE *out, const soak_options &opt, const soak_report &r)
{
    std::fprintf(out, "\nsoak summary (seed %u)\n", r.seed);
    std::fprintf(out, "| figure | value |\n|---|---|\n");
    std::fprintf(out, "| simulated time | %.2f days (%.0f s) |\n", r.sim_seconds / 86400,
                 r.sim_seconds);
    std::fprintf(out, "| real time, time scale | %.1f s at %u x (%.1f s per simulated day) |\n",
                 r.real_seconds, opt.time_scale,
                 r.sim_seconds > 0 ? r.real_seconds * 86400 / r.sim_seconds : 0);
    std::fprintf(out, "| CPU: soak / gateway processes | %.1f s / %.1f s |\n", r.cpu_seconds,
                 r.gateway_cpu_seconds);
    for (int c = 0; c < SOAK_RESTART_CAUSES; ++c)
        std::fprintf(out, "| restarts: %s | %d |\n", RESTART_NAMES[c], r.restarts[c]);
    for (int k = 0; k < SOAK_FAULT_KINDS; ++k)
        std::fprintf(out, "| fault: %s | %d |\n", FAULT_NAMES[k], r.faults[k]);
    std::fprintf(out, "| lamp frames sent / delivered | %ld / %ld |\n", r.up_sent, r.up_delivered);
    std::fprintf(out, "| of them in fault windows: delivered / lost | %ld / %ld |\n",
                 r.up_risk_delivered, r.up_risk_lost);
    std::fprintf(
        out, "| server frames sent / at their module | %ld / %ld (lost in fault windows: %ld) |\n",
        r.down_sent, r.down_delivered, r.down_risk_lost);
    std::fprintf(out,
                 "| SMS stored / deleted / commands answered / refused / cut off by a restart | "
                 "%ld / %ld / %ld / %ld / %ld |\n",
                 r.sms_in, r.sms_deleted, r.sms_commands_done, r.sms_ignored, r.sms_cut_off);
    std::fprintf(out, "| SMS refused by the full SIM; longest stay on the SIM | %ld; %.1f s |\n",
                 r.sms_refused_by_sim, r.sim_worst_age_s);
    std::fprintf(out,
                 "| babbling modem: lamp frames timed, worst median to the server; type-2 sent on "
                 "| %ld, %.2f s; %ld |\n",
                 r.babble_frames, r.babble_median_s, r.babble_type2);
    std::fprintf(out,
                 "| type-2 frames sent / SMS timed, worst frame-to-AT+CMGS | %ld / %ld, %.1f s |\n",
                 r.type2_sent, r.type2_checked, r.type2_worst_s);
    std::fprintf(out, "| longest gap between two watchdog feeds | %.1f s |\n", r.feed_worst_gap_s);
    std::fprintf(out, "| statistics lines held against the soak's figures | %d |\n",
                 r.counters_checked);
    std::fprintf(out, "| bounds: descriptors, threads, resident memory | %d, %d, %ld KiB |\n",
                 SOAK_MAX_FDS, SOAK_MAX_THREADS, SOAK_MAX_RSS_KIB);
    for (size_t d = 0; d < r.days.size(); ++d)
        std::fprintf(
            out, "| day %zu: highest descriptors, threads, resident memory | %d, %d, %ld KiB |\n",
            d + 1, r.days[d].max_fds, r.days[d].max_threads, r.days[d].max_rss_kib);
    if (r.invariant.empty())
        std::fprintf(out, "\nevery invariant held\n");
    else
        std::fprintf(out,
                     "\nINVARIANT BROKEN: %s: %s\nreplay: lampgw-sim --soak --seed %u --days %g "
                     "--time-scale %u\n",
                     r.invariant.c_str(), r.detail.c_str(), r.seed, opt.days, opt.time_scale);
    std::fflush(out);
}
