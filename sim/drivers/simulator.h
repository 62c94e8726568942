// lampgw-sim as a library: the real gateway code, in-process, against a
// simulated street (two radio modules with lamps, the modem, the central
// server, the GPIO tree, the companion program), driven by a scenario.
//
// Times in a scenario and the duration are gateway seconds counted from the
// moment the worker threads start, i.e. after start-up (which itself takes
// about 25 gateway seconds). The gateway clock runs time_scale times faster
// than real time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "drivers/stats_check.h"
#include "peers/street.h"

struct sim_options {
    double duration = 60;       // gateway seconds after the workers start
    unsigned time_scale = 20;   // gateway clock speed-up, >= 1
    int lamps = 3;              // lamps behind each radio module, 0..255
    double lamp_interval = 10;  // gateway seconds between two status frames of one lamp
    std::string scenario;       // scenario file; empty for none
    bool quiet = false;         // only the summary, no interleaved log
    std::string companion;      // program run for "zuzize-vid &"; empty: only recorded
    bool until_reboot = false;  // end at the gateway's first reboot request (duration bounds it)
    // The server speaks TLS with certificates made in the run's directory and
    // asks for the gateway's own; config.txt gets the gateway's TLS keys.
    bool tls = false;
    // Optional: every line of the street ("<who>: <text>", quiet or not),
    // called on the thread of the stand-in that reports it.
    std::function<void(const std::string &line)> on_line;
};

enum class sim_event_kind {
    sms,                 // sender, text: into the modem's inbox
    radio_bytes,         // port, data: raw bytes from a radio module
    lamp,                // port, lamp: that lamp sends its status frame
    server_frame,        // data: a whole frame the server sends
    server_lamp,         // port, lamp, level: the server commands a lamp
    server_reset_modem,  // the server sends type 0, command 3
    drop,                // the server drops the connection
    silent,              // on: heartbeats stay unanswered
    modem_vanish,        // the modem's device nodes disappear
    modem_babble,        // on: the modem writes an unsolicited line every SIM_BABBLE_MS
};

// A babbling modem's line period, in gateway milliseconds.
constexpr int SIM_BABBLE_MS = 200;

struct sim_event {
    double at = 0;  // gateway seconds after the workers start
    sim_event_kind kind = sim_event_kind::drop;
    int port = 0, lamp = 0, level = 0;
    bool on = false;
    std::string sender, text;
    bytes data;
    int line = 0;  // in the scenario file
};

// Reads the command line. 0: run; 1: error (message in *err); 2: --help.
int sim_parse_args(int argc, char **argv, sim_options *opt, std::string *err);
const char *sim_usage();

// A scenario: one event per line, "<gateway-seconds> <event> [args]";
// blank lines and lines starting with '#' are skipped. Events come back
// sorted by time (stable: equal times keep their order). On a fault returns
// false with "line N: ..." in *err.
bool sim_parse_scenario(const std::string &text, std::vector<sim_event> *events, std::string *err);
bool sim_load_scenario(const std::string &path, std::vector<sim_event> *events, std::string *err);

struct sim_port_counters {
    int lamp_frames = 0;       // status frames the lamps sent
    int injected_frames = 0;   // other frames the scenario put on the line
    int relay_sent = 0;        // of all those, whole frames of type 1 or 5
    int at_server = 0;         // frames from this line that reached the server
    int up_at_risk = 0;        // frames a drop by the server may have taken on their way
    int server_sent = 0;       // lamp commands the server sent for this port
    int at_module = 0;         // frames in radio form the module received
    int server_at_module = 0;  // of those, frames the server had sent
    int unkeyed = 0;           // of those, received while the key line was low
    int config_ok = 0, config_bad = 0, frames_bad = 0, noise_bytes = 0;
    int key_windows = 0;   // rises of the port's transmit key line
    std::string settings;  // what the module was configured to
    int frequency_mhz = 0;
};

struct sim_counters {
    sim_port_counters port[2];  // [0]: /dev/ttyO1, [1]: /dev/ttyO2
    int server_frames = 0;      // every frame the server received
    int heartbeats = 0, heartbeats_answered = 0;
    int answers_unread = 0;  // heartbeat answers still in the gateway's socket when it stopped
    int server_drops = 0;    // connections the server dropped
    int gateway_closes = 0;  // connections the gateway closed
    int connections = 0;     // accepted in all; reconnects = connections - 1
    int tls_handshakes = 0, tls_refused = 0;  // with --tls: handshakes the server completed, failed
    int sms_in = 0, sms_handled = 0, replies_ok = 0, sms_forwarded = 0;
    int sms_deleted = 0;     // messages the modem deleted
    int replies_status = 0;  // status texts sent in answer to "status"
    int radio_sms = 0;       // "para set" and "set netid" deleted (keyed out on ttyO1)
    int watchdog_feeds = 0, modem_resets = 0, reboots = 0, companion_starts = 0;
    int companion_commands = 0;       // "zuzize-vid &" run, started or not
    std::string stats_line;           // the gateway's statistics line at the end
    std::vector<count_check> counts;  // its counts against the street's
    std::vector<double> latency_ms;   // lamp's last byte to the server, real time
    double real_seconds = 0;
    std::vector<std::string> failures;  // checks that failed
};

// Runs the simulation; fills *c. Returns 0 when every check passed, 1 when
// one failed, 2 when the street could not be set up. Prints the interleaved
// log (unless quiet) to the process's standard output, which it borrows for
// the run: the gateway's own console is read from a pipe in its place.
int sim_run(const sim_options &opt, const std::vector<sim_event> &events, sim_counters *c);

// The summary table.
void sim_print_summary(FILE *out, const sim_options &opt, const sim_counters &c);

// Median and 99th percentile of v (0 for an empty vector).
double sim_percentile(std::vector<double> v, double p);
