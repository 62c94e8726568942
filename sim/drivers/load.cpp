// load_run: the hosted gateways and ser2net set up, then the four phases,
// each feeding every daemon the same bytes at the same moments. The parts
// are in load_street.h, the table in load_table.cpp.
#include "drivers/load.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>

#include "drivers/load_street.h"
#include "drivers/simulator.h"

namespace {

constexpr int WINDOWS = 12;  // of the full phase, for the two builds' ratio

// The run's directory and the streams' storage, one phase's worth each.
bool prepare(load_rig &rig)
{
    rig.dir.path = make_run_dir("lampgw-load");
    if (rig.dir.path.empty()) {
        perror("mkdtemp");
        return false;
    }
    rig.cap = static_cast<size_t>(rig.opt.phase_seconds * 1e9 / LOAD_FRAME_PERIOD.count()) + 64;
    for (auto &daemon : rig.st.times)
        for (auto &phase : daemon)
            for (auto &port : phase)
                port.init(rig.cap);
    return true;
}

// A gateway beside this build's, on a street of its own; left out, with the
// reason in *fault, when that street cannot be set up.
void start_beside(load_rig &rig, int d, const std::string &exe, const char *name,
                  const test_certs *certs, std::string *fault)
{
    auto &g = rig.gw[d];
    g = std::make_unique<hosted_street>();
    if (!g->start(rig.st, d, exe, rig.dir.path, name, certs, fault))
        g.reset();
}

// This build once more, its server speaking TLS and asking for the client
// certificate; the certificates are made once, in the run's directory.
void start_tls(load_rig &rig)
{
    test_certs certs;
    std::string err;
    if (!test_certs_make(rig.dir.path, &certs, &err)) {
        rig.r.tls_fault = "no certificates: " + err;
        return;
    }
    start_beside(rig, LOAD_TLS, rig.opt.hosted, "tls", &certs, &rig.r.tls_fault);
}

// A gateway beside that has settled without connecting is left out.
void drop_unconnected(load_rig &rig, int d, const std::string &exe, std::string *fault)
{
    auto &g = rig.gw[d];
    if (g && !g->server.connected()) {
        *fault = g->not_connected(exe);
        g.reset();
    }
}

// This build and, when asked for, the older one and the TLS one, each on a
// street of its own, until all are connected. False when this build cannot
// be measured; the others are only left out, with the reason.
bool start_gateways(load_rig &rig)
{
    const load_options &opt = rig.opt;
    auto &gw = rig.gw;
    gw[LOAD_GATEWAY] = std::make_unique<hosted_street>();
    std::string why;
    if (!gw[LOAD_GATEWAY]->start(rig.st, LOAD_GATEWAY, opt.hosted, rig.dir.path, "lampgw", nullptr,
                                 &why)) {
        rig.r.failures.push_back("the simulated street could not be set up");
        return false;
    }
    if (!opt.compare.empty())
        start_beside(rig, LOAD_PREVIOUS, opt.compare, "previous", nullptr, &rig.r.previous_fault);
    if (opt.tls)
        start_tls(rig);
    // Start-up takes about 25 gateway seconds, 1.3 s at 20 times the speed.
    wait_for(
        [&gw] {
            bool all = true;
            for (auto &g : gw)
                all = (!g || g->settled()) && all;
            return all;
        },
        60000);
    if (!gw[LOAD_GATEWAY]->server.connected()) {
        rig.r.failures.push_back("the gateway did not connect to the server (" + opt.hosted +
                                 (gw[LOAD_GATEWAY]->exited ? " ended)" : ")"));
        return false;
    }
    drop_unconnected(rig, LOAD_PREVIOUS, opt.compare, &rig.r.previous_fault);
    drop_unconnected(rig, LOAD_TLS, opt.hosted, &rig.r.tls_fault);
    rig.r.previous = gw[LOAD_PREVIOUS] != nullptr;
    rig.r.tls = gw[LOAD_TLS] != nullptr;
    return true;
}

// ser2net with its Debian defaults, one connection per radio line, and a
// TCP client on each; r.ser2net tells whether it runs.
void start_ser2net(load_rig &rig)
{
    const load_options &opt = rig.opt;
    const std::string ser2net = opt.ser2net ? load_find_ser2net(opt.ser2net_exe) : "";
    if (ser2net.empty() || !rig.relay_line[0].start() || !rig.relay_line[1].start())
        return;
    int port[2] = {load_free_port(), load_free_port()};
    std::vector<std::string> args = {ser2net, "-n", "-u"};
    for (int i = 0; i < 2; ++i) {
        args.push_back("-Y");
        args.push_back("connection: &load" + std::to_string(i) + "#  accepter: tcp,127.0.0.1," +
                       std::to_string(port[i]) + "#  connector: serialdev," +
                       rig.relay_line[i].path() + ",9600n81,local" +
                       (opt.ser2net_nodelay ? "#  options:#    chardelay: false" : ""));
    }
    rig.ser2net.pid = load_spawn(args, rig.dir.path + "/ser2net.log");
    rig.r.ser2net = rig.ser2net.pid > 0 && rig.client[0].connect_to(port[0]) &&
                    rig.client[1].connect_to(port[1]);
    if (rig.r.ser2net)
        for (auto &c : rig.client)
            c.start(rig.st);
}

// The daemons' pids, and every order of the daemons fed: each goes first,
// and follows each other one, equally often.
void plan_feeding(load_rig &rig)
{
    const load_report &r = rig.r;
    rig.pid[LOAD_GATEWAY] = rig.gw[LOAD_GATEWAY]->pid;
    rig.pid[LOAD_SER2NET] = rig.ser2net.pid;
    rig.pid[LOAD_PREVIOUS] = r.previous ? rig.gw[LOAD_PREVIOUS]->pid : -1;
    rig.pid[LOAD_TLS] = r.tls ? rig.gw[LOAD_TLS]->pid : -1;
    std::vector<int> fed = {LOAD_GATEWAY};
    if (r.ser2net)
        fed.push_back(LOAD_SER2NET);
    if (r.previous)
        fed.push_back(LOAD_PREVIOUS);
    if (r.tls)
        fed.push_back(LOAD_TLS);
    do
        rig.orders.push_back(fed);
    while (std::next_permutation(fed.begin(), fed.end()));
}

// One port's writer: puts a frame (or noise) on every daemon's line in the
// same moment, the order changing every frame, for the phase's length.
void write_port(load_rig &rig, int phase, int port, bool noise)
{
    std::mt19937 rng(static_cast<unsigned>(phase * 2 + port + 1));
    const auto start =
        load_clock::now() + (port == 1 ? LOAD_FRAME_PERIOD / 2 : LOAD_FRAME_PERIOD * 0);
    const auto end = load_clock::now() + std::chrono::duration_cast<load_clock::duration>(
                                             std::chrono::duration<double>(rig.opt.phase_seconds));
    for (uint32_t seq = 0; seq < rig.cap; ++seq) {
        const auto due = start + LOAD_FRAME_PERIOD * seq;
        if (due >= end)
            break;
        std::this_thread::sleep_until(due);
        bytes b(LOAD_FRAME_BYTES);
        if (noise)
            for (auto &x : b)
                x = static_cast<uint8_t>(rng());
        else
            b = load_state::frame(phase, port, seq);
        for (const int d : rig.orders[seq % rig.orders.size()]) {
            if (d == LOAD_SER2NET)
                rig.relay_line[port].send(b);
            else
                rig.gw[d]->radio[port].send_raw(b);
            if (!noise)
                rig.st.times[d][phase][port].sent[seq].store(load_now_ns());
        }
    }
}

// Under full load, daemon num's CPU per frame against daemon den's (this
// build against the older one, the TLS gateway against the plain one),
// window by window: other work on the machine that hits one of the two
// harder for a moment moves one window's ratio, not the median of all.
void compare_windows(load_rig &rig, int num, int den, std::vector<double> *ratios)
{
    const int d[2] = {num, den};
    const auto window = std::chrono::duration_cast<load_clock::duration>(
        std::chrono::duration<double>(rig.opt.phase_seconds / WINDOWS));
    auto next = load_clock::now();
    double cpu[2] = {load_process_cpu(rig.pid[d[0]]), load_process_cpu(rig.pid[d[1]])};
    long got[2] = {rig.st.delivered[d[0]], rig.st.delivered[d[1]]};
    for (int w = 0; w < WINDOWS; ++w) {
        std::this_thread::sleep_until(next += window);
        double per[2];
        for (int k = 0; k < 2; ++k) {
            const double c = load_process_cpu(rig.pid[d[k]]);
            const long n = rig.st.delivered[d[k]];
            per[k] = n > got[k] ? (c - cpu[k]) / static_cast<double>(n - got[k]) : 0;
            cpu[k] = c;
            got[k] = n;
        }
        if (per[0] > 0 && per[1] > 0)
            ratios->push_back(per[0] / per[1]);
    }
}

// The phase's figures per daemon; a frame this build lost fails the run.
void record_phase(load_rig &rig, int phase, const double cpu0[LOAD_DAEMONS])
{
    load_report &r = rig.r;
    for (int d = 0; d < LOAD_DAEMONS; ++d) {
        const double cpu1 = load_process_cpu(rig.pid[d]);
        r.cpu_seconds[d][phase] = cpu0[d] >= 0 && cpu1 >= 0 ? cpu1 - cpu0[d] : -1;
        const stream_times *both[2] = {&rig.st.times[d][phase][0], &rig.st.times[d][phase][1]};
        r.both[d][phase] = load_summarise(both, 2);
        r.ttyo2[d][phase] = load_summarise(both + 1, 1);
    }
    for (const int d : {LOAD_GATEWAY, LOAD_TLS}) {
        const load_latency &gw = r.both[d][phase];
        if (gw.received != gw.sent)
            r.failures.push_back("phase " + std::to_string(phase) + ": the " +
                                 (d == LOAD_TLS ? "TLS " : "") + "gateway delivered " +
                                 std::to_string(gw.received) + " of " + std::to_string(gw.sent) +
                                 " frames");
    }
}

// The median of the windows' ratios into *ratio, their number into *windows.
void take_median(const std::vector<double> &ratios, double *ratio, int *windows)
{
    if (ratios.empty())
        return;
    *ratio = sim_percentile(ratios, 0.5);
    *windows = static_cast<int>(ratios.size());
}

void run_phase(load_rig &rig, int phase)
{
    double cpu0[LOAD_DAEMONS];
    for (int d = 0; d < LOAD_DAEMONS; ++d)
        cpu0[d] = load_process_cpu(rig.pid[d]);
    std::vector<std::thread> writers;
    std::vector<double> ratios, tls_ratios;
    if (phase == LOAD_FULL || phase == LOAD_NOISE)
        writers.emplace_back(write_port, std::ref(rig), phase, 0, phase == LOAD_NOISE);
    if (phase != LOAD_IDLE)
        writers.emplace_back(write_port, std::ref(rig), phase, 1, false);
    if (phase == LOAD_FULL && rig.r.previous)
        writers.emplace_back(compare_windows, std::ref(rig), LOAD_GATEWAY, LOAD_PREVIOUS, &ratios);
    if (phase == LOAD_FULL && rig.r.tls)
        writers.emplace_back(compare_windows, std::ref(rig), LOAD_TLS, LOAD_GATEWAY, &tls_ratios);
    if (writers.empty())
        std::this_thread::sleep_for(std::chrono::duration<double>(rig.opt.phase_seconds));
    for (auto &w : writers)
        w.join();
    take_median(ratios, &rig.r.compare_ratio, &rig.r.compare_windows);
    take_median(tls_ratios, &rig.r.tls_ratio, &rig.r.tls_windows);
    // The last frames are on their way; a second is ample.
    if (phase != LOAD_IDLE)
        std::this_thread::sleep_for(std::chrono::seconds(1));
    record_phase(rig, phase, cpu0);
}

void read_memory(load_rig &rig)
{
    for (int d = 0; d < LOAD_DAEMONS; ++d)
        if (rig.pid[d] > 0) {
            rig.r.rss_kib[d] = std::max(0L, process_status(rig.pid[d], "VmRSS"));
            rig.r.peak_rss_kib[d] = std::max(0L, process_status(rig.pid[d], "VmHWM"));
        }
}

}  // namespace

int load_run(const load_options &opt, load_report *rp)
{
    *rp = load_report{};
    const auto real_start = load_clock::now();
    load_rig rig(opt, *rp);
    if (!prepare(rig) || !start_gateways(rig))
        return 2;
    start_ser2net(rig);
    plan_feeding(rig);
    for (int phase = 0; phase < LOAD_PHASES; ++phase)
        run_phase(rig, phase);
    read_memory(rig);
    for (auto &c : rig.client)
        c.stop();
    rp->real_seconds = std::chrono::duration<double>(load_clock::now() - real_start).count();
    return rp->failures.empty() ? 0 : 1;
}
