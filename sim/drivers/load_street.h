// The load mode's run record and what it is made of: the frames and their
// times, the hosted gateways with their streets, ser2net's TCP clients and
// the child processes. load.cpp runs the phases over the record,
// load_table.cpp prints the figures. Only the load mode's files include
// this header.
#pragma once

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "drivers/load.h"
#include "peers/certs.h"
#include "peers/modem_emulator.h"
#include "peers/radio_module.h"
#include "peers/street.h"

using load_clock = std::chrono::steady_clock;

// 25 bytes at 9600 baud, 8N1: 960 bytes/s, one frame every 26.04 ms.
constexpr int LOAD_FRAME_BYTES = 25;
constexpr auto LOAD_FRAME_PERIOD = std::chrono::nanoseconds(1000000000LL * LOAD_FRAME_BYTES / 960);
constexpr uint8_t LOAD_MARK = 0x4C;  // first payload byte of a load frame

int64_t load_now_ns();

// Send and arrival moments of the frames of one stream (one daemon, one
// port, one phase), indexed by sequence number; 0 for none.
struct stream_times {
    size_t cap = 0;
    std::unique_ptr<std::atomic<int64_t>[]> sent, got;
    void init(size_t n);
};

struct load_state {
    stream_times times[LOAD_DAEMONS][LOAD_PHASES][2];  // [daemon][phase][port]
    std::atomic<long> delivered[LOAD_DAEMONS] = {};    // frames arrived so far

    // A load frame: type 1 on /dev/ttyO1, type 5 on /dev/ttyO2; payload
    // LOAD_MARK, phase, port, sequence (4 bytes), 2 filler bytes.
    static bytes frame(int phase, int port, uint32_t seq);
    // Records the arrival of f at the far end of daemon d.
    void arrived(int d, const uint8_t *f, size_t n, int64_t at);
};

// The TCP client of one ser2net port: reads the relayed bytes and takes
// out the load frames (A3 20 00 13 ... LOAD_MARK); anything else is skipped.
struct relay_client {
    int fd = -1;
    std::thread reader;

    relay_client() = default;
    relay_client(const relay_client &) = delete;
    relay_client &operator=(const relay_client &) = delete;
    ~relay_client() { stop(); }
    bool connect_to(int port);
    void start(load_state &st);
    void stop();
};

// Starts argv[0] with standard output and error into log; nothing else of
// ours stays open in it, and it does not outlive us, even when we crash.
pid_t load_spawn(const std::vector<std::string> &args, const std::string &log);
// Sends sig and reaps the child; nothing for pid <= 0.
void load_stop_child(pid_t pid, int sig);
// CPU time of another process, all its threads, in seconds; -1 if unknown.
double load_process_cpu(pid_t pid);
// A TCP port on 127.0.0.1 that was free a moment ago.
int load_free_port();
// ser2net: the given path if executable, else searched in the usual
// places and PATH; empty when there is none.
std::string load_find_ser2net(const std::string &given);
// Latency over the streams t[0..n): frames sent, received, median, 99th percentile.
load_latency load_summarise(const stream_times *const *t, int n);

// One hosted gateway and the street around it. Gateways measured side by
// side each get one: a pseudo-terminal is read by one process only.
struct hosted_street {
    RadioModule radio[2] = {{1, 0}, {2, 0}};
    ModemEmulator modem;
    ServerPeer server;
    GpioTree gpio{board_gpio_lines()};
    pid_t pid = -1;
    bool exited = false;
    std::string log;  // the gateway's console

    // Starts the stand-ins and `exe` as daemon d; files go to dir/<name>*.
    // With certs the server speaks TLS and asks for the client certificate,
    // and config.txt names ca, client and its key. False, with the reason in
    // *why, when something cannot be set up.
    bool start(load_state &st, int d, const std::string &exe, const std::string &dir,
               const std::string &name, const test_certs *certs, std::string *why);
    // True once connected or gone (then pid is -1).
    bool settled();
    // Why a gateway that was started is not connected, in a few words: the
    // last "tls: " line of its console when it has one.
    std::string not_connected(const std::string &exe) const;
    ~hosted_street() { load_stop_child(pid, SIGKILL); }
};

// Removes the run's directory at the end of the run.
struct load_dir {
    std::string path;
    ~load_dir() { remove_tree(path); }
};

// Stops ser2net at the end of the run.
struct load_child {
    pid_t pid = -1;
    ~load_child() { load_stop_child(pid, SIGTERM); }
};

// Everything one run shares. Members go in reverse order: the clients,
// ser2net, the gateways with their stand-ins, then the times they recorded
// into and last the directory.
struct load_rig {
    load_rig(const load_options &o, load_report &rep) : opt(o), r(rep) {}
    load_rig(const load_rig &) = delete;
    load_rig &operator=(const load_rig &) = delete;

    const load_options &opt;
    load_report &r;
    load_dir dir;
    load_state st;
    size_t cap = 0;            // frames a stream can hold: one phase's worth and some
    SerialPeer relay_line[2];  // ser2net's lines
    // [LOAD_GATEWAY] and, when asked for, [LOAD_PREVIOUS] and [LOAD_TLS];
    // none for ser2net.
    std::unique_ptr<hosted_street> gw[LOAD_DAEMONS];
    load_child ser2net;
    relay_client client[2];
    pid_t pid[LOAD_DAEMONS] = {-1, -1, -1, -1};
    // The daemons fed in the order each frame goes to them; every order
    // in turn.
    std::vector<std::vector<int>> orders;
};
