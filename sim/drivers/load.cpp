#include "drivers/load.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "drivers/simulator.h"
#include "peers/modem_emulator.h"
#include "peers/radio_module.h"
#include "peers/street.h"

namespace {

using clock_type = std::chrono::steady_clock;

// 25 bytes at 9600 baud, 8N1: 960 bytes/s, one frame every 26.04 ms.
constexpr int FRAME_BYTES = 25;
constexpr auto FRAME_PERIOD = std::chrono::nanoseconds(1000000000LL * FRAME_BYTES / 960);
constexpr uint8_t MARK = 0x4C;  // first payload byte of a load frame
constexpr int WINDOWS = 12;     // of the full phase, for the two builds' ratio
const char *const DEVICE_ID = "0102030405A6";

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               clock_type::now().time_since_epoch())
        .count();
}

// Send and arrival moments of the frames of one stream (one daemon, one
// port, one phase), indexed by sequence number; 0 for none.
struct stream_times {
    size_t cap = 0;
    std::unique_ptr<std::atomic<int64_t>[]> sent, got;
    void init(size_t n)
    {
        cap = n;
        sent.reset(new std::atomic<int64_t>[n]);
        got.reset(new std::atomic<int64_t>[n]);
        for (size_t i = 0; i < n; ++i)
            sent[i] = got[i] = 0;
    }
};

struct load_state {
    stream_times times[LOAD_DAEMONS][LOAD_PHASES][2];  // [daemon][phase][port]
    std::atomic<long> delivered[LOAD_DAEMONS] = {};    // frames arrived so far

    // A load frame: type 1 on /dev/ttyO1, type 5 on /dev/ttyO2; payload
    // MARK, phase, port, sequence (4 bytes), 2 filler bytes.
    static bytes frame(int phase, int port, uint32_t seq)
    {
        const uint8_t addr[6] = {0x4C, 0x50, 0x00, static_cast<uint8_t>(port + 1), 0x00, 0x01};
        return make_frame(addr, port == 0 ? 1 : 5, static_cast<uint8_t>(port + 1), 0x01, 0x01,
                          {MARK, static_cast<uint8_t>(phase), static_cast<uint8_t>(port),
                           static_cast<uint8_t>(seq >> 24), static_cast<uint8_t>(seq >> 16),
                           static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq), 0x00, 0x00});
    }

    // Records the arrival of f at the far end of daemon d.
    void arrived(int d, const uint8_t *f, size_t n, int64_t at)
    {
        if (n != FRAME_BYTES || f[14] != MARK || f[15] >= LOAD_PHASES || f[16] > 1)
            return;
        const uint32_t seq = static_cast<uint32_t>(f[17]) << 24 |
                             static_cast<uint32_t>(f[18]) << 16 |
                             static_cast<uint32_t>(f[19]) << 8 | f[20];
        stream_times &t = times[d][f[15]][f[16]];
        if (seq < t.cap && t.got[seq].exchange(at) == 0)
            ++delivered[d];
    }
};

// The TCP client of one ser2net port: reads the relayed bytes and takes
// out the load frames (A3 20 00 13 ... MARK); anything else is skipped.
struct relay_client {
    int fd = -1;
    std::thread reader;

    relay_client() = default;
    relay_client(const relay_client &) = delete;
    relay_client &operator=(const relay_client &) = delete;
    ~relay_client() { stop(); }

    bool connect_to(int port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        // ser2net needs a moment to open its listening sockets.
        return wait_for(
            [&] {
                fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
                    return true;
                if (fd >= 0)
                    close(fd);
                fd = -1;
                return false;
            },
            5000);
    }

    void start(load_state &st)
    {
        reader = std::thread([this, &st] {
            bytes pending;
            uint8_t buf[4096];
            for (;;) {
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    return;
                pending.insert(pending.end(), buf, buf + n);
                size_t i = 0;
                while (i + FRAME_BYTES <= pending.size()) {
                    const uint8_t *p = &pending[i];
                    if (p[0] == 0xA3 && p[1] == 0x20 && p[2] == 0 && p[3] == FRAME_BYTES - 6 &&
                        p[14] == MARK) {
                        st.arrived(LOAD_SER2NET, p, FRAME_BYTES, now_ns());
                        i += FRAME_BYTES;
                    } else {
                        ++i;
                    }
                }
                pending.erase(pending.begin(), pending.begin() + static_cast<long>(i));
            }
        });
    }

    void stop()
    {
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
        if (reader.joinable())
            reader.join();
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

// Starts argv[0] with standard output and error into log; nothing else of
// ours stays open in it, and it does not outlive us, even when we crash.
pid_t spawn(const std::vector<std::string> &args, const std::string &log)
{
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null_fd = open("/dev/null", O_RDONLY);
    if (fd >= 0 && null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(fd, 1);
        dup2(fd, 2);
    }
    for (int k = 3; k < 4096; ++k)
        close(k);
    execv(argv[0], argv.data());
    _exit(127);
}

void stop_child(pid_t pid, int sig)
{
    if (pid <= 0)
        return;
    kill(pid, sig);
    waitpid(pid, nullptr, 0);
}

// CPU time of another process, all its threads, in seconds; -1 if unknown.
double process_cpu(pid_t pid)
{
    clockid_t clk;
    timespec ts;
    if (pid <= 0 || clock_getcpuclockid(pid, &clk) != 0 || clock_gettime(clk, &ts) != 0)
        return -1;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

std::string find_ser2net(const std::string &given)
{
    if (!given.empty())
        return access(given.c_str(), X_OK) == 0 ? given : "";
    std::string path = "/usr/sbin:/usr/bin:/sbin:/bin";
    if (const char *p = std::getenv("PATH"))
        path = path + ":" + p;
    for (size_t at = 0; at <= path.size();) {
        size_t end = std::min(path.find(':', at), path.size());
        std::string exe = path.substr(at, end - at) + "/ser2net";
        if (end > at && access(exe.c_str(), X_OK) == 0)
            return exe;
        at = end + 1;
    }
    return "";
}

load_latency summarise(const stream_times *const *t, int n)
{
    load_latency l;
    std::vector<double> ms;
    for (int k = 0; k < n; ++k)
        for (size_t i = 0; i < t[k]->cap; ++i) {
            const int64_t s = t[k]->sent[i].load(), g = t[k]->got[i].load();
            l.sent += s != 0;
            l.received += s != 0 && g != 0;
            if (s != 0 && g != 0)
                ms.push_back(static_cast<double>(g - s) / 1e6);
        }
    l.median_ms = sim_percentile(ms, 0.5);
    l.p99_ms = sim_percentile(ms, 0.99);
    return l;
}

// One hosted gateway and the street around it. Two builds measured side by
// side each get one: a pseudo-terminal is read by one process only.
struct hosted_street {
    RadioModule radio[2] = {{1, 0}, {2, 0}};
    ModemEmulator modem;
    ServerPeer server;
    GpioTree gpio{{115, 117, 48, 7, 60}};
    pid_t pid = -1;
    bool exited = false;

    // Starts the stand-ins and `exe` as daemon d; files go to dir/<name>*.
    bool start(load_state &st, int d, const std::string &exe, const std::string &dir,
               const std::string &name)
    {
        server.on_frame = [&st, d](const bytes &f) { st.arrived(d, f.data(), f.size(), now_ns()); };
        if (!radio[0].start() || !radio[1].start() || !modem.start() || !server.start() ||
            gpio.root().empty())
            return false;
        const std::string config = dir + "/" + name + "-config.txt",
                          watch = dir + "/" + name + "-ttyUSB2";
        {
            std::ofstream f(config);
            f << "server_ip_addr=127.0.0.1\nserver_port_num=" << server.port()
              << "\ndevice_id=" << DEVICE_ID << "\n";
            std::ofstream w(watch);
        }
        pid = spawn({exe, radio[0].path(), radio[1].path(), modem.slave_path(), watch, gpio.root(),
                     config, "20"},
                    dir + "/" + name + ".log");
        return pid > 0;
    }
    // True once connected or gone (then pid is -1).
    bool settled()
    {
        if (!exited && pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) {
            exited = true;
            pid = -1;
        }
        return exited || pid <= 0 || server.connected();
    }
    ~hosted_street() { stop_child(pid, SIGKILL); }
};

}  // namespace

int load_run(const load_options &opt, load_report *rp)
{
    load_report &r = *rp;
    r = load_report{};
    const auto real_start = clock_type::now();
    const char *base = std::getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/lampgw-load-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        perror("mkdtemp");
        return 2;
    }
    struct cleanup {
        std::string dir;
        ~cleanup() { remove_tree(dir); }
    } tidy{dir};

    // Declared first, so it outlives the stand-ins whose threads record into it.
    auto st = std::make_unique<load_state>();
    const size_t cap = static_cast<size_t>(opt.phase_seconds * 1e9 / FRAME_PERIOD.count()) + 64;
    for (auto &daemon : st->times)
        for (auto &phase : daemon)
            for (auto &port : phase)
                port.init(cap);
    SerialPeer relay_line[2];
    // [LOAD_GATEWAY] and, when asked for, [LOAD_PREVIOUS]; none for ser2net.
    std::unique_ptr<hosted_street> gw[LOAD_DAEMONS];
    gw[LOAD_GATEWAY] = std::make_unique<hosted_street>();
    if (!gw[LOAD_GATEWAY]->start(*st, LOAD_GATEWAY, opt.hosted, dir, "lampgw")) {
        r.failures.push_back("the simulated street could not be set up");
        return 2;
    }
    if (!opt.compare.empty()) {
        gw[LOAD_PREVIOUS] = std::make_unique<hosted_street>();
        if (!gw[LOAD_PREVIOUS]->start(*st, LOAD_PREVIOUS, opt.compare, dir, "previous")) {
            r.previous_fault = "its street could not be set up";
            gw[LOAD_PREVIOUS].reset();
        }
    }
    // Start-up takes about 25 gateway seconds, 1.3 s at 20 times the speed.
    wait_for(
        [&] {
            bool all = true;
            for (auto &g : gw)
                all = (!g || g->settled()) && all;
            return all;
        },
        60000);
    if (!gw[LOAD_GATEWAY]->server.connected()) {
        r.failures.push_back("the gateway did not connect to the server (" + opt.hosted +
                             (gw[LOAD_GATEWAY]->exited ? " ended)" : ")"));
        return 2;
    }
    if (gw[LOAD_PREVIOUS] && !gw[LOAD_PREVIOUS]->server.connected()) {
        r.previous_fault = opt.compare + (gw[LOAD_PREVIOUS]->exited ? " ended before connecting"
                                                                    : " did not connect");
        gw[LOAD_PREVIOUS].reset();
    }
    r.previous = gw[LOAD_PREVIOUS] != nullptr;

    pid_t ser2net_pid = -1;
    struct reaper {
        pid_t &pid;
        ~reaper() { stop_child(pid, SIGTERM); }
    } reap{ser2net_pid};
    relay_client client[2];
    const std::string ser2net = opt.ser2net ? find_ser2net(opt.ser2net_exe) : "";
    if (!ser2net.empty() && relay_line[0].start() && relay_line[1].start()) {
        int port[2] = {free_port(), free_port()};
        std::vector<std::string> args = {ser2net, "-n", "-u"};
        for (int i = 0; i < 2; ++i) {
            args.push_back("-Y");
            args.push_back("connection: &load" + std::to_string(i) + "#  accepter: tcp,127.0.0.1," +
                           std::to_string(port[i]) + "#  connector: serialdev," +
                           relay_line[i].path() + ",9600n81,local" +
                           (opt.ser2net_nodelay ? "#  options:#    chardelay: false" : ""));
        }
        ser2net_pid = spawn(args, dir + "/ser2net.log");
        r.ser2net =
            ser2net_pid > 0 && client[0].connect_to(port[0]) && client[1].connect_to(port[1]);
        if (r.ser2net)
            for (auto &c : client)
                c.start(*st);
    }
    pid_t pid[LOAD_DAEMONS] = {gw[LOAD_GATEWAY]->pid, ser2net_pid,
                               r.previous ? gw[LOAD_PREVIOUS]->pid : -1};
    std::vector<int> fed = {LOAD_GATEWAY};  // the daemons every frame goes to
    if (r.ser2net)
        fed.push_back(LOAD_SER2NET);
    if (r.previous)
        fed.push_back(LOAD_PREVIOUS);
    // Every order of them in turn: each daemon goes first, and follows each
    // other one, equally often.
    std::vector<std::vector<int>> orders;
    do
        orders.push_back(fed);
    while (std::next_permutation(fed.begin(), fed.end()));

    // Each port's writer puts a frame (or noise) on every daemon's line in
    // the same moment, the order changing every frame.
    auto writer = [&](int phase, int port, bool noise) {
        std::mt19937 rng(static_cast<unsigned>(phase * 2 + port + 1));
        const auto start = clock_type::now() + (port == 1 ? FRAME_PERIOD / 2 : FRAME_PERIOD * 0);
        const auto end = clock_type::now() + std::chrono::duration_cast<clock_type::duration>(
                                                 std::chrono::duration<double>(opt.phase_seconds));
        for (uint32_t seq = 0; seq < cap; ++seq) {
            const auto due = start + FRAME_PERIOD * seq;
            if (due >= end)
                break;
            std::this_thread::sleep_until(due);
            bytes b(FRAME_BYTES);
            if (noise)
                for (auto &x : b)
                    x = static_cast<uint8_t>(rng());
            else
                b = load_state::frame(phase, port, seq);
            for (const int d : orders[seq % orders.size()]) {
                if (d == LOAD_SER2NET)
                    relay_line[port].send(b);
                else
                    gw[d]->radio[port].send_raw(b);
                if (!noise)
                    st->times[d][phase][port].sent[seq].store(now_ns());
            }
        }
    };

    for (int phase = 0; phase < LOAD_PHASES; ++phase) {
        double cpu0[LOAD_DAEMONS];
        for (int d = 0; d < LOAD_DAEMONS; ++d)
            cpu0[d] = process_cpu(pid[d]);
        std::vector<std::thread> writers;
        if (phase == LOAD_FULL || phase == LOAD_NOISE)
            writers.emplace_back(writer, phase, 0, phase == LOAD_NOISE);
        if (phase != LOAD_IDLE)
            writers.emplace_back(writer, phase, 1, false);
        // Under full load, this build's CPU per frame against the older
        // build's, window by window: other work on the machine that hits one
        // of the two harder for a moment moves one window's ratio, not the
        // median of all.
        std::vector<double> ratios;
        if (phase == LOAD_FULL && r.previous)
            writers.emplace_back([&] {
                const auto window = std::chrono::duration_cast<clock_type::duration>(
                    std::chrono::duration<double>(opt.phase_seconds / WINDOWS));
                auto next = clock_type::now();
                double cpu[2] = {process_cpu(pid[LOAD_GATEWAY]), process_cpu(pid[LOAD_PREVIOUS])};
                long got[2] = {st->delivered[LOAD_GATEWAY], st->delivered[LOAD_PREVIOUS]};
                for (int w = 0; w < WINDOWS; ++w) {
                    std::this_thread::sleep_until(next += window);
                    double per[2];
                    for (int k = 0; k < 2; ++k) {
                        const int d = k == 0 ? LOAD_GATEWAY : LOAD_PREVIOUS;
                        const double c = process_cpu(pid[d]);
                        const long n = st->delivered[d];
                        per[k] = n > got[k] ? (c - cpu[k]) / static_cast<double>(n - got[k]) : 0;
                        cpu[k] = c;
                        got[k] = n;
                    }
                    if (per[0] > 0 && per[1] > 0)
                        ratios.push_back(per[0] / per[1]);
                }
            });
        if (writers.empty())
            std::this_thread::sleep_for(std::chrono::duration<double>(opt.phase_seconds));
        for (auto &w : writers)
            w.join();
        if (!ratios.empty()) {
            r.compare_ratio = sim_percentile(ratios, 0.5);
            r.compare_windows = static_cast<int>(ratios.size());
        }
        // The last frames are on their way; a second is ample.
        if (phase != LOAD_IDLE)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        for (int d = 0; d < LOAD_DAEMONS; ++d) {
            const double cpu1 = process_cpu(pid[d]);
            r.cpu_seconds[d][phase] = cpu0[d] >= 0 && cpu1 >= 0 ? cpu1 - cpu0[d] : -1;
            const stream_times *both[2] = {&st->times[d][phase][0], &st->times[d][phase][1]};
            r.both[d][phase] = summarise(both, 2);
            r.ttyo2[d][phase] = summarise(both + 1, 1);
        }
        if (r.both[LOAD_GATEWAY][phase].received != r.both[LOAD_GATEWAY][phase].sent)
            r.failures.push_back("phase " + std::to_string(phase) + ": the gateway delivered " +
                                 std::to_string(r.both[LOAD_GATEWAY][phase].received) + " of " +
                                 std::to_string(r.both[LOAD_GATEWAY][phase].sent) + " frames");
    }
    for (int d = 0; d < LOAD_DAEMONS; ++d)
        if (pid[d] > 0) {
            r.rss_kib[d] = std::max(0L, process_status(pid[d], "VmRSS"));
            r.peak_rss_kib[d] = std::max(0L, process_status(pid[d], "VmHWM"));
        }
    for (auto &c : client)
        c.stop();
    r.real_seconds = std::chrono::duration<double>(clock_type::now() - real_start).count();
    return r.failures.empty() ? 0 : 1;
}

void load_print_table(FILE *out, const load_options &opt, const load_report &r)
{
    auto pct = [&](int d) {
        char t[32];
        const double s = r.cpu_seconds[d][LOAD_IDLE];
        if (d == LOAD_SER2NET && !r.ser2net)
            return std::string("-");
        std::snprintf(t, sizeof t, "%.4f %%", s < 0 ? -1.0 : 100 * s / opt.phase_seconds);
        return std::string(t);
    };
    auto lat = [&](const load_latency &l, bool p99, int d) {
        char t[48];
        if (d == LOAD_SER2NET && !r.ser2net)
            return std::string("-");
        std::snprintf(t, sizeof t, "%.3f ms", p99 ? l.p99_ms : l.median_ms);
        return std::string(t);
    };
    auto per10k = [&](int d) {
        const load_latency &l = r.both[d][LOAD_FULL];
        if ((d == LOAD_SER2NET && !r.ser2net) || (d == LOAD_PREVIOUS && !r.previous))
            return -1.0;
        return l.received > 0 ? r.cpu_seconds[d][LOAD_FULL] * 10000 / l.received : -1.0;
    };
    auto num = [](double v, const char *fmt) {
        char t[48];
        if (v < 0)
            return std::string("-");
        std::snprintf(t, sizeof t, fmt, v);
        return std::string(t);
    };
    auto ratio = [&](double ours, double theirs, double limit) {
        char t[64];
        if (!r.ser2net || theirs <= 0)
            return std::string("(no ser2net)");
        std::snprintf(t, sizeof t, "%.2fx: %s", ours / theirs,
                      ours <= limit * theirs ? "met" : "MISSED");
        return std::string(t);
    };
    const auto &gw = r.both[LOAD_GATEWAY], &sn = r.both[LOAD_SER2NET];
    const double idle = 100 * r.cpu_seconds[LOAD_GATEWAY][LOAD_IDLE] / opt.phase_seconds;
    const double quiet = r.ttyo2[LOAD_GATEWAY][LOAD_ALONE].p99_ms,
                 noisy = r.ttyo2[LOAD_GATEWAY][LOAD_NOISE].p99_ms;
    std::fprintf(out,
                 "| figure | lampgw | yardstick (ser2net; plain rescan) | goal | result "
                 "|\n|---|---|---|---|---|\n");
    std::fprintf(out,
                 "| idle CPU, link up, %.0f s (share of one core) | %s | %s | <= 0.5 %% | %s |\n",
                 opt.phase_seconds, pct(0).c_str(), pct(1).c_str(), idle <= 0.5 ? "met" : "MISSED");
    std::fprintf(out,
                 "| uplink latency median, both ports at 960 B/s, 25-byte frames, %.0f s | %s | %s "
                 "| <= 1.2x ser2net | %s |\n",
                 opt.phase_seconds, lat(gw[LOAD_FULL], false, 0).c_str(),
                 lat(sn[LOAD_FULL], false, 1).c_str(),
                 ratio(gw[LOAD_FULL].median_ms, sn[LOAD_FULL].median_ms, 1.2).c_str());
    std::fprintf(out, "| uplink latency p99, same load | %s | %s | - | %s |\n",
                 lat(gw[LOAD_FULL], true, 0).c_str(), lat(sn[LOAD_FULL], true, 1).c_str(),
                 ratio(gw[LOAD_FULL].p99_ms, sn[LOAD_FULL].p99_ms, 1e9).c_str());
    std::fprintf(out,
                 "| CPU seconds per 10,000 frames, same load | %s | %s | <= 1.0x ser2net | %s |\n",
                 num(per10k(0), "%.4f s").c_str(), num(per10k(1), "%.4f s").c_str(),
                 ratio(per10k(0), per10k(1), 1.0).c_str());
    if (!opt.compare.empty()) {
        // Both builds saw the same frames at the same moments: the ratio is
        // the change this build made, the machine's own variation cancelling.
        const double ours = per10k(LOAD_GATEWAY), before = per10k(LOAD_PREVIOUS);
        char result[96];
        if (r.compare_ratio > 0)
            std::snprintf(result, sizeof result, "%.2fx (median of %d windows): %s",
                          r.compare_ratio, r.compare_windows,
                          r.compare_ratio <= 1.05 ? "met" : "MISSED");
        else
            std::snprintf(result, sizeof result, "(no figure: %s)",
                          r.previous ? "no frames delivered" : r.previous_fault.c_str());
        std::fprintf(out,
                     "| CPU seconds per 10,000 frames, same load, against %s | %s | %s | <= 1.05x "
                     "previous | %s |\n",
                     opt.compare_label.empty() ? "the previous build" : opt.compare_label.c_str(),
                     num(ours, "%.4f s").c_str(), num(before, "%.4f s").c_str(), result);
    }
    std::fprintf(out, "| frames delivered, same load | %d of %d | %s | all | %s |\n",
                 gw[LOAD_FULL].received, gw[LOAD_FULL].sent,
                 r.ser2net ? (std::to_string(sn[LOAD_FULL].received) + " of " +
                              std::to_string(sn[LOAD_FULL].sent))
                                 .c_str()
                           : "-",
                 gw[LOAD_FULL].received == gw[LOAD_FULL].sent ? "met" : "MISSED");
    std::fprintf(out, "| /dev/ttyO2 latency p99, /dev/ttyO1 quiet | %s | %s | - | - |\n",
                 lat(r.ttyo2[0][LOAD_ALONE], true, 0).c_str(),
                 lat(r.ttyo2[1][LOAD_ALONE], true, 1).c_str());
    char noise_ratio[48];
    std::snprintf(noise_ratio, sizeof noise_ratio, "%.2fx: %s", quiet > 0 ? noisy / quiet : 0,
                  noisy <= 2 * quiet ? "met" : "MISSED");
    std::fprintf(out,
                 "| /dev/ttyO2 latency p99, /dev/ttyO1 random bytes at 960 B/s | %s | %s | <= 2x "
                 "quiet | %s |\n",
                 lat(r.ttyo2[0][LOAD_NOISE], true, 0).c_str(),
                 lat(r.ttyo2[1][LOAD_NOISE], true, 1).c_str(), noise_ratio);
    std::fprintf(
        out,
        "| resident memory after the load (peak) | %ld KiB (%ld KiB) | %s | <= 4096 KiB | %s |\n",
        r.rss_kib[0], r.peak_rss_kib[0],
        r.ser2net ? (std::to_string(r.rss_kib[1]) + " KiB (" + std::to_string(r.peak_rss_kib[1]) +
                     " KiB)")
                        .c_str()
                  : "-",
        r.peak_rss_kib[0] > 0 && r.peak_rss_kib[0] <= 4096 ? "met" : "MISSED");
    for (const auto &f : r.failures)
        std::fprintf(out, "\nFAILED: %s\n", f.c_str());
    std::fflush(out);
}
