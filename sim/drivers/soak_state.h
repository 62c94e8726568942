// The soak's record and the procedures its files share.
//
// One `soak::state` lives for one run of soak_run(). The main loop (soak.cpp)
// owns it and, pass by pass, drives the faults (soak_faults.cpp), the
// traffic (soak_traffic.cpp), the gateway process (soak_gateway.cpp), the
// checks (soak_invariants.cpp, soak_counters.cpp) and the report
// (soak_report.cpp). The street's threads (servers, radio modules, modem,
// GPIO reader, line writers, console reader) call the handlers declared
// here; what they share with the main loop is guarded by `mu` unless it is
// atomic. "mu held" on a procedure means its caller holds the lock.
//
// Times are simulated seconds since the run began (state::now()). Every
// random draw comes from `sched` (the fault plan) or `rng` (everything
// else), both seeded from the run's seed and drawn from on the main thread
// only, always in the same order: the same seed replays the same run. Keep
// that order when changing a procedure that draws.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

#include "drivers/soak.h"
#include "peers/modem_emulator.h"
#include "peers/radio_module.h"
#include "peers/street.h"

namespace soak {

using clock_type = std::chrono::steady_clock;
constexpr double INF = 1e300;

// The soak's config.txt. Commands from ADMIN are valid and must be
// answered, unless they lack the password or hold more than one line;
// ADMIN_BAD (an admin too) sends only texts that are no command; STRANGER
// is no admin. A command counts only after the password and one blank.
constexpr const char *DEVICE_ID = "0102030405A6";
constexpr const char *ADMIN = "+4915100000001";
constexpr const char *ADMIN_BAD = "+4915100000002";
constexpr const char *STRANGER = "+4915199999999";
constexpr const char *PASSWORD = "7351";
// What a forged command names: an address of this machine, never another.
constexpr const char *FORGED_IP = "127.0.0.66";

// Payload marks of the soak's frames: lamp frames up, server frames down,
// type-2 frames to be forwarded by SMS.
constexpr uint8_t UP_MARK = 0x53, DOWN_MARK = 0x44, T2_MARK = 0x32;
constexpr int LISTING_MS = 2500;    // the modem's answer time to a listing, gateway time
constexpr double GRACE = 3;         // a window's end to "calm again"
constexpr double LOST_AFTER = 120;  // an undelivered frame counts as lost
// A fresh process needs more than this for its start-up (its radio modules
// alone take 18 s): what the street sees earlier is the previous process's.
constexpr double STARTUP_MIN = 10;

// Scopes of fault windows. A babbling modem's window is a modem window too.
enum { W_LINK = 1, W_PORT1 = 2, W_PORT2 = 4, W_MODEM = 8, W_RESTART = 16, W_BABBLE = 32 };
// The scopes under which a lamp frame of port p (0 or 1) may be lost.
inline int uplink_scope(int p)
{
    return W_LINK | W_RESTART | (p == 0 ? W_PORT1 : W_PORT2);
}

struct fault_event {
    double at = 0, len = 0;
    int kind = 0;
    bool reset = false;  // an SMS storm that carries an admin's "reset"
    int day = 0;         // soak day; `at` counts from the day's opening
};

// A fault window: from a fault's start until things are calm again.
struct window {
    int id = 0;  // windows ended long ago are dropped, so faults hold on to an id
    double start = 0, end = INF;
    int scope = 0;
    double over_at = -1;     // the fault itself ended; the window waits for calm
    double hold = 0;         // calm only this long after over_at
    bool need_conn = false;  // calm needs a connection accepted after over_at
};

enum job_kind { JOB_RAW, JOB_LAMP, JOB_TYPE2 };
struct write_job {
    bytes data;
    std::vector<size_t> cuts;  // split points, each followed by a pause
    int gap_us = 0;
    int kind = JOB_RAW;
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

enum effect { FX_NONE, FX_IP, FX_PORT, FX_RADIO, FX_RESET };
struct sms_rec {
    std::string sender, text;
    double added = 0, deleted = -1;
    double pressure = 0;  // cpu_pressure() when it was stored
    sms_kind kind = SMS_VALID;
    effect fx = FX_NONE;
    // FX_IP/FX_PORT: the value; FX_RADIO: the bytes' hex as the module logs them
    std::string value;
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

// The lamp frames sent while the modem babbled (one babble fault), timed on
// their way to the server.
struct babble_watch {
    int window;
    std::vector<double> way[2];  // gateway seconds, per port
};

// A serial line's writer: jobs go out in order on a thread of their own, so
// a gateway that reads slowly (or is being restarted) never holds up the
// soak. before_last is called just before a lamp or type-2 frame goes.
class port_writer {
public:
    port_writer(RadioModule &m, std::function<void(const write_job &)> before_last);
    ~port_writer() { stop(); }
    port_writer(const port_writer &) = delete;
    port_writer &operator=(const port_writer &) = delete;
    void stop();
    void push(write_job j);
    bool idle();

private:
    void run();
    void write_out(const write_job &j);
    RadioModule &module_;
    std::function<void(const write_job &)> before_last_;
    std::mutex lock_;
    std::condition_variable cv_;
    std::deque<write_job> jobs_;
    bool stop_ = false, busy_ = false;
    std::thread thread_;
};

// A directory of the run's own, removed with everything in it at the end.
struct scratch_dir {
    std::string path;
    scratch_dir() = default;
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    ~scratch_dir() { remove_tree(path); }
};

struct state {
    state(const soak_options &o, soak_report &rep, FILE *l);
    // Powers the gateway off and stops the line writers before the street
    // they use goes.
    ~state();
    state(const state &) = delete;
    state &operator=(const state &) = delete;

    // --- fixed for the run ---
    const soak_options &opt;
    soak_report &r;
    FILE *log;
    const clock_type::time_point t0 = clock_type::now();
    const double scale;
    const double tail;  // after the traffic ends, for what is still pending
    std::mt19937 sched, rng;
    scratch_dir dir;  // declared before the street: removed after it
    std::string config, usb1, usb2, proc;

    // --- shared with the street's threads; declared before the street, so
    // that it outlives every thread that calls in. The small fields come
    // last, packed together. ---
    std::mutex mu;         // guards what follows in this block, unless atomic
    double total;          // when faults and traffic end; INF until the last day opens
    double day_start = 0;  // when the soak day opened: the start, then each daily reboot
    std::vector<window> windows;
    std::deque<up_pending> up[2];
    uint32_t up_next[2] = {0, 0};
    std::map<uint32_t, down_pending> down;
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
    double last_connect = -1;
    double last_feed = -1;
    double feed_pressure = 0;  // cpu_pressure() at the last feed or start
    double life_start = 0;
    double vanish_end = -1;
    std::deque<std::string> console;  // the gateway's last lines
    life_counts life;
    std::string stats_line;  // the statistics line that answered SIGUSR1
    std::vector<babble_watch> babbles;
    std::vector<double> babble_t2;  // when the babble's type-2 frames are due (main loop)
    // The soak's own oversleeps: (when, simulated seconds lost).
    std::deque<std::pair<double, double>> stalls;
    int day = 0;  // the soak day under way
    int window_ids = 0;
    uint32_t down_next = 0;
    int feeds = 0;                // watchdog feeds of the running process
    int life_serial = 0;          // counts the processes started
    int conn_life[2] = {-1, -1};  // the process each server's connection belongs to
    std::atomic<pid_t> gw_pid{-1};
    std::atomic<bool> failed{false};
    std::atomic<bool> reboot_asked{false};
    bool reset_deleted = false;  // an admin's "reset" deleted, reboot due
    bool admin_known = false;    // the gateway has a last sender to forward to
    bool vanished = false;       // the modem's nodes are gone
    bool stats_wanted = false;   // a statistics line was asked for by SIGUSR1

    // --- the main loop's own: fault driver, traffic and check schedule ---
    std::vector<fault_event> faults;  // the plan, in order
    size_t next_fault = 0;
    std::vector<std::pair<double, int>> ends;  // (time, kind) of running faults
    std::map<int, int> fault_window;           // kind -> window id
    bool link_garbage = false, segments = false, port_garbage[2] = {}, flood[2] = {}, split[2] = {};
    double next_burst[2] = {}, next_flood[2] = {}, next_server_garbage = 0;
    double next_lamp[2] = {5, 15}, next_down = 60, next_t2 = 900, next_sms = 300;
    double next_sample = 0, next_hour = 3600, next_check = 0;
    uint32_t t2_seq = 0;
    int hour = 0;
    int last_fds = 0, last_threads = 0;
    long last_rss = 0;

    // --- the street ---
    RadioModule radio1{1, 0}, radio2{2, 0};
    RadioModule *const radio[2] = {&radio1, &radio2};
    ModemEmulator modem;
    ServerPeer server[2];
    GpioTree gpio;
    port_writer writer1, writer2;
    port_writer *const writer[2] = {&writer1, &writer2};

    // --- the gateway process (main loop; console_file under mu) ---
    pid_t pid = -1;
    int console_fd = -1;
    std::thread console_reader;
    FILE *console_file = nullptr;
    FILE *csv = nullptr;

    double now() const { return sim_time(clock_type::now()); }
    double sim_time(clock_type::time_point at) const
    {
        return std::chrono::duration<double>(at - t0).count() * scale;
    }
    // What real-time jitter of `ms` milliseconds amounts to in simulated time.
    double real_slack(double ms) const { return ms / 1000 * scale; }
    // How long after a lamp frame a fault can still take it: the server may
    // drop the link with the frame in its socket, unread on a busy machine.
    double uplink_reach() const { return GRACE + real_slack(50); }
    bool life_started() const { return now() - life_start >= STARTUP_MIN; }
    // The soak's own oversleeps since `since`, in simulated seconds: when the
    // machine is too busy to run the soak on time, it is likely too busy to
    // run the gateway on time, and timed bounds stretch by as much. mu held.
    double stalled(double since) const;

    // An event line, unless quiet (soak_report.cpp).
    void say(const std::string &line);
    // The first broken invariant ends the run; mu held (soak_report.cpp).
    void fail(const std::string &invariant, const std::string &detail);

    // Fault windows (soak_faults.cpp), all mu held. Any window of the
    // scopes in mask overlapping [a, b]:
    bool at_risk(double a, double b, int mask) const;
    // The latest end of the windows of mask overlapping [a, inf); INF while
    // one is open, -1 for none.
    double risk_end(double a, int mask) const;
    int open_window(int scope, double hold, bool need_conn, double at);  // returns its id
    // Ends the fault of window `id`: calm from then on, once its hold is over.
    void fault_over(int id, double at);
    const window *find_window(int id) const;
};

// --- soak.cpp: the machine's share ---
// Seconds during which some task of the machine waited for a processor,
// the disk or memory (the kernel's pressure figures); 0 where not told.
double cpu_pressure();

// --- soak_faults.cpp ---
const char *fault_name(int kind);
std::vector<fault_event> plan_faults(std::mt19937 &rng, double days);
// Starts the faults due, ends those over and closes the windows calm again.
void drive_faults(state &s, double t, bool traffic);
void end_fault(state &s, int kind, double t);  // mu held
void modem_nodes(state &s, bool present);      // the modem's device nodes appear or vanish

// --- soak_traffic.cpp ---
// The soak's frames carry a per-stream sequence number in their payload.
bytes seq_frame(uint8_t type, int port, uint8_t lamp, uint8_t mark, uint32_t seq);
uint32_t frame_seq(const bytes &f);
size_t pick(state &s, size_t n);  // 0 .. n-1 from rng
bytes garbage(state &s, size_t n);
void send_traffic(state &s, double t);           // everything due now; traffic time only
void before_send(state &s, const write_job &j);  // a writer's frame is about to go
// SMS into the modem; all mu held.
void add_sms(state &s, const std::string &sender, const std::string &text, sms_kind kind, effect fx,
             const std::string &value);
void hostile_sms(state &s, sms_kind kind);
void random_sms(state &s);

// --- soak_gateway.cpp ---
bool start_gateway(state &s);
void stop_gateway(state &s);               // SIGKILL, a power-off
void restart_gateway(state &s, double t);  // a recorded reboot: power off, classify
bool connected(const state &s);            // to either server
int count_fds(pid_t pid);                  // -1 when the process is gone
std::string gateway_threads(const state &s);
double self_cpu();

// --- soak_invariants.cpp: the handlers the street's threads call ---
void watchdog_fed(state &s, clock_type::time_point at);
void radio_line(state &s, int k, const std::string &line);
void sms_deleted(state &s, bool found, const emu_sms &m);
void sms_sent(state &s, const emu_sent_sms &sms);
void uplink_arrived(state &s, const bytes &f);
// ... and what the main loop checks.
void run_checks(state &s, double t);                   // the checks due now
void check_overdue(state &s, double t, bool running);  // mu held
bool check_process(state &s, int status);              // mu held; false: broken
int restart_cause(const state &s, double t);           // mu held; -1 when none
int check_reboot_cause(state &s, double t);            // mu held; the cause, or -1 (and a failure)
void check_reset_answered(state &s, double t);         // mu held
void resolve_reply(state &s, const char *why);         // mu held
void check_config(state &s);                           // mu held

// --- soak_counters.cpp ---
void count_frame(state &s, int k, const bytes &f);
void server_connected(state &s, int k);
void server_closed(state &s, int k);
void check_counters(state &s, const std::string &when);

// --- soak_report.cpp ---
std::string fmt_time(double s);
const char *restart_name(int cause);
bool open_csv(state &s);
void report_hour(state &s);  // mu held

}  // namespace soak
