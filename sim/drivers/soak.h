// The soak mode of lampgw-sim: the gateway as a process of its own
// (lampgw-hosted) for many simulated days against the simulated street, with
// a seeded random schedule of faults, checking invariants as it goes.
//
// A recorded "reboot" is answered like the board would: the process is killed
// (SIGKILL, a power-off) and a fresh one started. The first invariant that
// breaks ends the run with the seed, the simulated time and the invariant's
// name; the same seed replays the same schedule.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct soak_options {
    double days = 1;            // simulated days (fractions allowed)
    uint32_t seed = 0;          // 0: one is chosen from the clock and printed
    unsigned time_scale = 400;  // simulated seconds per real second
    bool quiet = false;         // no event lines, only the seed and the summary
    std::string csv;            // one row per simulated hour, when set
    std::string console;        // the gateway's console lines go here, when set
    std::string hosted;         // the lampgw-hosted executable
    bool tls = false;           // both servers speak TLS and ask for the gateway's certificate
};

// Fixed bounds for the gateway process, checked on every sample. A build
// with a sanitizer carries its shadow memory and allocator: its memory bound
// is 64 times as large (leaks are the sanitizer's to find there).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LAMPGW_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LAMPGW_SOAK_SANITIZED 1
#endif
#endif
constexpr int SOAK_MAX_FDS = 16;
constexpr int SOAK_MAX_THREADS = 8;
// Resident memory: the gateway's own few hundred KiB beside the pages of the
// C, C++ and TLS libraries (about 5 MiB in all with TLS off; the TLS library
// alone brings 1.8 MiB, mostly its shared, clean pages); with TLS on, its
// context and a session on top (SOAK_TLS_RSS_KIB).
#ifdef LAMPGW_SOAK_SANITIZED
constexpr long SOAK_RSS_FACTOR = 64;
#else
constexpr long SOAK_RSS_FACTOR = 1;
#endif
constexpr long SOAK_MAX_RSS_KIB = 8192 * SOAK_RSS_FACTOR;
constexpr long SOAK_TLS_RSS_KIB = 4096 * SOAK_RSS_FACTOR;

enum {
    SOAK_FAULT_SERVER_DROP,
    SOAK_FAULT_SERVER_REFUSE,
    SOAK_FAULT_SERVER_SILENT,
    SOAK_FAULT_SERVER_GARBAGE,
    SOAK_FAULT_DOWNLINK_SEGMENTS,
    SOAK_FAULT_RADIO1_GARBAGE,
    SOAK_FAULT_RADIO2_GARBAGE,
    SOAK_FAULT_RADIO1_OVERFLOW,
    SOAK_FAULT_RADIO2_OVERFLOW,
    SOAK_FAULT_RADIO1_FLOOD,
    SOAK_FAULT_RADIO2_FLOOD,
    SOAK_FAULT_RADIO1_SPLIT,
    SOAK_FAULT_RADIO2_SPLIT,
    SOAK_FAULT_SMS_STORM,
    SOAK_FAULT_MODEM_SILENT,
    SOAK_FAULT_MODEM_JUNK,
    SOAK_FAULT_MODEM_CUT,
    SOAK_FAULT_MODEM_BABBLE,
    SOAK_FAULT_MODEM_VANISH,
    SOAK_FAULT_KINDS
};

enum { SOAK_RESTART_DAILY, SOAK_RESTART_SMS_RESET, SOAK_RESTART_MODEM_GONE, SOAK_RESTART_CAUSES };

struct soak_day {
    int max_fds = 0, max_threads = 0;
    long max_rss_kib = 0;
};

struct soak_report {
    uint32_t seed = 0;
    double sim_seconds = 0;   // simulated time the run lasted
    double real_seconds = 0;  // real time
    double cpu_seconds = 0;   // the soak's own CPU (user + system)
    double gateway_cpu_seconds = 0;
    int restarts[SOAK_RESTART_CAUSES] = {};
    int faults[SOAK_FAULT_KINDS] = {};
    // Uplink: lamp frames; "risk" ones were sent inside a fault window.
    long up_sent = 0, up_delivered = 0, up_risk = 0, up_risk_delivered = 0, up_risk_lost = 0;
    long down_sent = 0, down_delivered = 0, down_risk = 0, down_risk_lost = 0;
    // SMS: ignored are the texts refused (no command, no admin, a wrong
    // password, more than one line, a forged listing); cut_off the commands
    // deleted and then left unanswered by a restart or a modem fault.
    long sms_in = 0, sms_deleted = 0, sms_commands_done = 0, sms_ignored = 0, sms_cut_off = 0;
    long sms_refused_by_sim = 0;  // messages the full SIM refused
    double sim_worst_age_s = 0;   // longest a message stayed on the SIM outside modem faults
    long type2_sent = 0, type2_checked = 0;
    double type2_worst_s = 0;  // longest frame-to-AT+CMGS time seen
    // Lamp frames sent while the modem babbled: the highest median, over
    // the babble faults, of their way to the server (gateway seconds, the
    // machine's share taken off), and how many were judged.
    double babble_median_s = 0;
    long babble_frames = 0, babble_type2 = 0;
    double feed_worst_gap_s = 0;  // longest watchdog gap while feeding was due
    int counters_checked = 0;     // statistics lines held against the soak's figures
    std::vector<soak_day> days;
    std::string invariant;  // empty when every invariant held
    std::string detail;     // what broke, when
};

// The memory bound of a run with these options.
inline long soak_max_rss_kib(const soak_options &o)
{
    return SOAK_MAX_RSS_KIB + (o.tls ? SOAK_TLS_RSS_KIB : 0);
}

// Parses the soak options (argv as given to lampgw-sim, "--soak" included).
// 0: run; 1: error (message in *err); 2: --help.
int soak_parse_args(int argc, char **argv, soak_options *opt, std::string *err);
const char *soak_usage();

// Runs the soak. 0: every invariant held; 1: one broke; 2: the street or the
// gateway could not be set up. Event lines go to log unless opt.quiet.
int soak_run(const soak_options &opt, soak_report *r, FILE *log);

void soak_print_summary(FILE *out, const soak_options &opt, const soak_report &r);
