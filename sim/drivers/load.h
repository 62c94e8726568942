// The load mode of lampgw-sim: the gateway as a process of its own
// (lampgw-hosted) against the simulated street, with both radio lines
// driven at the UART's full rate, and Debian's ser2net beside it relaying
// the very same traffic from two more pseudo-terminals to a TCP client.
//
// Phases, each phase_seconds long, in this order:
//   idle   link up, no radio traffic: CPU share of each daemon;
//   full   25-byte frames on both lines at 960 bytes/s each: latency from
//          the last byte on the pseudo-terminal to arrival at the far end,
//          CPU seconds per 10,000 frames;
//   alone  frames on /dev/ttyO2 only: its latency with /dev/ttyO1 quiet;
//   noise  random bytes at the full rate on /dev/ttyO1, frames on /dev/ttyO2.
// Resident memory is read after the last phase.
//
// With a second lampgw-hosted (an older build, `compare`) that one runs
// beside the first on a street of its own (radio stand-ins, modem, server,
// GPIO tree) and is fed the same frames at the same moments, so the two
// builds' CPU per frame is measured under the same conditions in one run.
//
// With `tls` one more lampgw-hosted, the same executable as the first, runs
// beside it on a street whose server speaks TLS and asks for a client
// certificate, its config.txt carrying the TLS keys (certificates made once
// in the run's directory). It is fed the same frames at the same moments,
// so the cost of the protected link is the difference between two gateways
// under the same conditions.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct load_options {
    double phase_seconds = 60;
    bool ser2net = true;           // measure ser2net beside the gateway
    std::string hosted;            // the lampgw-hosted executable
    std::string ser2net_exe;       // empty: searched as /usr/sbin/ser2net, then in PATH
    bool ser2net_nodelay = false;  // turn off ser2net's default character delay
    std::string compare;           // an older lampgw-hosted to measure beside; empty: none
    std::string compare_label;     // how the table names it (a commit); empty: "previous build"
    bool tls = false;              // a second gateway of this build beside, its link in TLS
};

// The daemons of a run: this build, ser2net, the older build, this build
// with its link in TLS.
enum { LOAD_GATEWAY = 0, LOAD_SER2NET = 1, LOAD_PREVIOUS = 2, LOAD_TLS = 3, LOAD_DAEMONS = 4 };
enum { LOAD_IDLE = 0, LOAD_FULL = 1, LOAD_ALONE = 2, LOAD_NOISE = 3, LOAD_PHASES = 4 };

struct load_latency {
    int sent = 0, received = 0;
    double median_ms = 0, p99_ms = 0;
};

struct load_report {
    bool ser2net = false;        // ser2net ran beside the gateway
    bool previous = false;       // the older build ran beside it
    std::string previous_fault;  // why the older build is missing although asked for
    // This build's CPU per frame over the older build's, under full load:
    // the median over windows of the phase; 0 when not measured.
    double compare_ratio = 0;
    int compare_windows = 0;
    bool tls = false;       // the TLS gateway ran beside the plain one
    std::string tls_fault;  // why it is missing although asked for
    // Its CPU per frame over the plain gateway's, the same way; 0 when not measured.
    double tls_ratio = 0;
    int tls_windows = 0;
    // [daemon][phase]: both ports pooled, and /dev/ttyO2 (the 450 MHz side) alone
    load_latency both[LOAD_DAEMONS][LOAD_PHASES], ttyo2[LOAD_DAEMONS][LOAD_PHASES];
    double cpu_seconds[LOAD_DAEMONS][LOAD_PHASES] = {};  // [daemon][phase]
    long rss_kib[LOAD_DAEMONS] = {}, peak_rss_kib[LOAD_DAEMONS] = {};
    double real_seconds = 0;
    std::vector<std::string> failures;  // frames the gateway lost, setup faults
};

// Runs the phases. 0: done and the gateway lost no frame; 1: frames were
// lost; 2: the street or the gateway could not be set up.
int load_run(const load_options &opt, load_report *r);

// The figures as a Markdown table, with the goal each is held against; the
// row against the older build only when one was asked for, the TLS rows
// only with tls.
void load_print_table(FILE *out, const load_options &opt, const load_report &r);
