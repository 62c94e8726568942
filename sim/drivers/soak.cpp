// The soak's driver: options, the record's set-up, and the main loop that
// runs faults, traffic and checks every 2 ms of real time until the run's
// end or the first broken invariant. What each step does is in the file of
// its role (soak_state.h lists them).
#include "drivers/soak.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/wait.h>

#include "board/board.h"
#include "board/timebase.h"
#include "drivers/soak_state.h"
#include "peers/certs.h"

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
        if (a == "--quiet" || a == "--tls") {
            (a == "--quiet" ? opt->quiet : opt->tls) = true;
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
           "                         [--csv FILE] [--console FILE] [--hosted PATH] [--tls]\n"
           "  the gateway as its own process for N simulated days (default 1, fractions\n"
           "  allowed) at N times real speed (default 400) under a seeded random fault\n"
           "  schedule; stops at the first broken invariant and names it; --console keeps\n"
           "  the gateway's own lines, stamped with the simulated time; --tls: the servers\n"
           "  speak TLS (certificates made for the run) and ask for the gateway's own\n";
}

namespace soak {

// A task that waits for the disk (a page fault, the tty layer's worker)
// stalls the gateway as surely as one that waits for a processor, so the
// "some" lines of all three pressure files count.
double cpu_pressure()
{
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

double state::stalled(double since) const
{
    double sum = 0;
    for (auto it = stalls.rbegin(); it != stalls.rend() && it->first >= since; ++it)
        sum += it->second;
    return sum;
}

namespace {

// The hosted gateway keeps the production GPIO lines of its board.
const board_description LINES = board_production();

// Every street thread's event goes to the handler of the invariant that
// judges it; transmit keys go straight to their module.
void wire_street(state &s)
{
    s.gpio.keep_events = false;
    s.gpio.on_event = [&s](const gpio_event &e) {
        if (e.line == LINES.gpio_key_other || e.line == LINES.gpio_key_ludeng)
            s.radio[e.line == LINES.gpio_key_other ? 0 : 1]->set_key(e.level == 1);
        if (e.line == LINES.gpio_watchdog && e.level == 1)
            watchdog_fed(s, e.at);
    };
    for (int k = 0; k < 2; ++k) {
        s.radio[k]->on_read = [&s] { s.gpio.drain(); };
        s.radio[k]->on_log = [&s, k](const std::string &line) { radio_line(s, k, line); };
    }
    s.modem.set_recording(false);
    s.modem.set_listing_delay(LISTING_MS);
    s.modem.on_delete = [&s](bool found, const emu_sms &m) { sms_deleted(s, found, m); };
    s.modem.on_sms = [&s](const emu_sent_sms &sms) { sms_sent(s, sms); };
    for (int k = 0; k < 2; ++k) {
        s.server[k].keep_records = false;
        s.server[k].on_frame = [&s, k](const bytes &f) {
            count_frame(s, k, f);
            uplink_arrived(s, f);
        };
        s.server[k].on_connect = [&s, k](int) { server_connected(s, k); };
        s.server[k].on_close = [&s, k] { server_closed(s, k); };
    }
}

// No statistics line of its own accord: the soak asks for one by SIGUSR1
// and takes the first that comes as the answer.
void write_config(state &s)
{
    s.last_port = std::to_string(s.server[0].port());
    std::ofstream f(s.config);
    f << "server_ip_addr=127.0.0.1\nserver_port_num=" << s.server[0].port()
      << "\ndevice_id=" << DEVICE_ID << "\nsms_admin_numbers=" << ADMIN << "," << ADMIN_BAD
      << "\nsms_password=" << PASSWORD << "\nstats_interval=0\n";
    if (s.opt.tls)
        f << test_certs{s.dir.path}.gateway_keys();
}

// With --tls: certificates in the run's directory; both servers show the
// server's and want the gateway's, signed by the same CA.
bool servers_tls(state &s)
{
    test_certs certs;
    std::string err;
    bool ok = test_certs_make(s.dir.path, &certs, &err);
    for (ServerPeer &server : s.server)
        ok = ok && server.use_tls(street_server_tls(certs), &err);
    if (!ok)
        std::fprintf(s.log, "lampgw-sim: TLS for the servers: %s\n", err.c_str());
    return ok;
}

bool start_street(state &s)
{
    if (s.opt.tls && !servers_tls(s))
        return false;
    if (!s.radio1.start() || !s.radio2.start() || !s.modem.start() || !s.server[0].start() ||
        !s.server[1].start() || s.gpio.root().empty()) {
        std::fprintf(s.log, "lampgw-sim: the simulated street could not be set up\n");
        return false;
    }
    write_config(s);
    modem_nodes(s, true);
    if (!s.opt.console.empty() &&
        (s.console_file = std::fopen(s.opt.console.c_str(), "w")) == nullptr) {
        std::fprintf(s.log, "lampgw-sim: cannot write %s\n", s.opt.console.c_str());
        return false;
    }
    return true;
}

// False (with a message) when the street or the gateway cannot be had.
bool set_up(state &s)
{
    s.dir.path = make_run_dir("lampgw-soak");
    if (s.dir.path.empty()) {
        perror("mkdtemp");
        return false;
    }
    s.config = s.dir.path + "/config.txt";
    s.usb1 = s.dir.path + "/ttyUSB1";
    s.usb2 = s.dir.path + "/ttyUSB2";
    s.proc = s.dir.path + "/proc";
    s.faults = plan_faults(s.sched, s.opt.days);
    wire_street(s);
    if (!start_street(s))
        return false;
    {
        std::lock_guard<std::mutex> hold(s.mu);
        s.fault_over(s.open_window(W_RESTART, 0, true, 0), 0);
    }
    if (!start_gateway(s)) {
        std::fprintf(s.log, "lampgw-sim: %s could not be started\n", s.opt.hosted.c_str());
        return false;
    }
    s.say("gateway started (" + s.opt.hosted + ")");
    return open_csv(s);
}

// Anything beyond 1 ms of oversleep counts as a stall.
void note_stall(state &s, double t, double *last_tick)
{
    std::lock_guard<std::mutex> hold(s.mu);
    const double lost = t - *last_tick - s.real_slack(3);
    if (lost > 0)
        s.stalls.emplace_back(t, lost);
    while (!s.stalls.empty() && s.stalls.front().first < t - 3600)
        s.stalls.pop_front();
    *last_tick = t;
}

enum class pass { go_on, again, stop };

// A recorded reboot is answered with a fresh process; a process that ended
// on its own breaks `process`.
pass watch_gateway(state &s, double t)
{
    if (s.reboot_asked.load()) {
        restart_gateway(s, t);
        return s.failed || !start_gateway(s) ? pass::stop : pass::again;
    }
    int status = 0;
    if (s.pid > 0 && waitpid(s.pid, &status, WNOHANG) == s.pid) {
        s.pid = -1;
        std::lock_guard<std::mutex> hold(s.mu);
        return check_process(s, status) ? pass::again : pass::stop;
    }
    return pass::go_on;
}

// True when the run came to its end, false when it broke or stopped.
bool main_loop(state &s)
{
    double last_tick = s.now();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const double t = s.now();
        note_stall(s, t, &last_tick);
        if (s.failed)
            return false;
        if (t >= s.total + s.tail)
            return true;
        const pass p = watch_gateway(s, t);
        if (p == pass::stop)
            return false;
        if (p == pass::again)
            continue;
        const bool traffic = t < s.total;
        drive_faults(s, t, traffic);
        if (traffic)
            send_traffic(s, t);
        run_checks(s, t);
    }
}

// Lets the writers finish before the gateway goes, takes its last count,
// powers it off and resolves everything still pending.
void finish(state &s, bool ok_end)
{
    wait_for([&s] { return s.writer1.idle() && s.writer2.idle(); }, 10000);
    if (ok_end && !s.failed && s.pid > 0)
        check_counters(s, "at the end of the run");
    stop_gateway(s);
    s.writer1.stop();
    s.writer2.stop();
    std::lock_guard<std::mutex> hold(s.mu);
    if (ok_end && !s.failed)
        check_overdue(s, s.total + 1e9, false);
    s.r.sim_seconds = std::min(s.now(), s.total + s.tail);
}

// The modem emulator's delays run on the gateway clock, the soak's own.
struct speed_guard {
    unsigned before = time_speedup();
    explicit speed_guard(unsigned v) { time_set_speedup(v); }
    ~speed_guard() { time_set_speedup(before); }
    speed_guard(const speed_guard &) = delete;
    speed_guard &operator=(const speed_guard &) = delete;
};

// One run, once the seed is known and printed.
int run(const soak_options &opt, soak_report &r, FILE *log)
{
    const double cpu0 = self_cpu();
    speed_guard speed(opt.time_scale);
    state s(opt, r, log);
    if (!set_up(s))
        return 2;
    finish(s, main_loop(s));
    r.real_seconds = std::chrono::duration<double>(clock_type::now() - s.t0).count();
    r.cpu_seconds = self_cpu() - cpu0;
    return s.failed ? 1 : 0;
}

}  // namespace

state::state(const soak_options &o, soak_report &rep, FILE *l)
    : opt(o),
      r(rep),
      log(l),
      scale(o.time_scale),
      tail(LOST_AFTER + real_slack(250) + 30),
      sched(rep.seed),
      rng(rep.seed ^ 0x9E3779B9u),
      total(o.days >= 1 ? INF : o.days * 86400),
      gpio({LINES.gpio_modem_reset, LINES.gpio_key_other, LINES.gpio_startup_pulse,
            LINES.gpio_key_ludeng, LINES.gpio_watchdog}),
      writer1(radio1, [this](const write_job &j) { before_send(*this, j); }),
      writer2(radio2, [this](const write_job &j) { before_send(*this, j); })
{
}

state::~state()
{
    stop_gateway(*this);
    if (csv != nullptr)
        std::fclose(csv);
    if (console_file != nullptr)
        std::fclose(console_file);
    writer1.stop();
    writer2.stop();
}

}  // namespace soak

int soak_run(const soak_options &opt, soak_report *rp, FILE *log)
{
    soak_report &r = *rp;
    r = soak_report{};
    r.seed = opt.seed != 0
                 ? opt.seed
                 : static_cast<uint32_t>(soak::clock_type::now().time_since_epoch().count()) | 1u;
    std::fprintf(log, "lampgw-sim soak: seed %u, %g simulated days, time scale %u%s\n", r.seed,
                 opt.days, opt.time_scale, opt.tls ? ", server link in TLS" : "");
    std::fflush(log);
    return soak::run(opt, r, log);
}
