// The run record of lampgw-sim's demo (sim_run) and the procedures over it,
// in files by role:
//   simulator_street.cpp    the street's set-up, its console and what its
//                           stand-ins report and count while the gateway runs;
//   simulator_events.cpp    the timeline: scenario events and lamp frames;
//   simulator_counts.cpp    the end: the street drained, the gateway's counts
//                           held against the street's, the modules checked;
//   simulator.cpp           sim_run itself: start, timeline, stop.
// Only the simulator's own files include this header.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "board/board.h"
#include "drivers/simulator.h"
#include "peers/modem_emulator.h"
#include "peers/process_table.h"
#include "peers/radio_module.h"
#include "peers/street.h"

using sim_clock = std::chrono::steady_clock;

// The modem's answer to AT+GMR; the end of a run asks for it to learn that
// the modem has handled everything the gateway wrote.
extern const char *const SIM_MODEM_VERSION;
// The gateway's address: config.txt's device_id, and the address of the
// frames the server sends the gateway itself.
extern const uint8_t SIM_GATEWAY_ADDRESS[6];

// Closes the borrowed standard output last of all, after the stand-ins whose
// threads may still report a line while they stop.
struct sim_out_file {
    FILE *f = nullptr;
    sim_out_file() = default;
    sim_out_file(const sim_out_file &) = delete;
    sim_out_file &operator=(const sim_out_file &) = delete;
    ~sim_out_file()
    {
        if (f != nullptr)
            std::fclose(f);
    }
};

// Everything one run shares: the options, the counters, the transcript, the
// street's bookkeeping and the stand-ins. The stand-ins are declared last so
// that they stop (and their threads with them) before anything they report
// into goes away. One instance per run, reached by the shell runner through
// sim_current.
struct sim_street {
    sim_street(const sim_options &o, sim_counters &cnt);
    sim_street(const sim_street &) = delete;
    sim_street &operator=(const sim_street &) = delete;

    const sim_options &opt;
    sim_counters &c;
    board_description saved_board;  // the board and the clock as they were before the run
    unsigned saved_speedup = 1;

    // The transcript. The gateway's console arrives through a pipe
    // (console_fd); whatever it has written is printed before each line of
    // the street's own, so the transcript keeps the order of events.
    sim_out_file out;     // the real standard output
    std::mutex out_lock;  // one line at a time on out
    int console_fd = -1;  // read end, non-blocking; -1 before the capture
    std::string console_partial;

    std::mutex
        lock;  // guards c, pending, link_lost, connected_at, server_forms, key_since, last_level
    // Frames on their way up: when they left and on which line.
    std::map<bytes, std::pair<sim_clock::time_point, int>> pending;
    // From a drop by the server until the gateway connects again, frames
    // sent up may be lost after the gateway wrote them.
    bool link_lost = false;
    sim_clock::time_point connected_at;          // the server's latest accept
    std::multiset<std::string> server_forms[2];  // radio forms the server sent, per module
    sim_clock::time_point key_since[2];          // the latest rise of each key line
    int last_level[128];                         // per GPIO line, -1 before any
    std::string stats_text;                      // the gateway's latest statistics line

    // The gateway's process watch looks here, not at /proc: it sees the
    // companions of this run and nothing else on the machine.
    ProcessTable processes;
    sim_clock::time_point workers_at;  // scenario time 0
    std::atomic<bool> running{false};  // the workers have started
    bool modem_gone = false;           // its nodes vanished: it answers nothing
    std::string dir, config, watch;    // the run's directory, config.txt, the second modem node

    // The stand-ins: [0] behind /dev/ttyO1, [1] behind /dev/ttyO2.
    RadioModule radio[2];
    ModemEmulator modem;
    ServerPeer server;
    GpioTree gpio;
};

extern sim_street *sim_current;

// "radio1" or "radio2", as the transcript names the module at index i.
const char *sim_radio_name(int i);
// Gateway seconds since the workers started.
double sim_gateway_seconds(const sim_street &s);
// One line of the street's own, "sim | <who>: <text>", after the gateway's
// lines that came before it (and to opt.on_line).
void sim_say(sim_street &s, const char *who, const std::string &text);
// True when b is exactly one frame with a good CRC.
bool sim_whole_frame(const bytes &b);

// Makes the run's directory, starts the stand-ins with their reports wired
// in, writes config.txt and points the board and the shell at the street.
// False, with a line on standard error, when the street cannot be set up.
bool sim_street_open(sim_street &s);
// Gives the board and the clock back and removes the run's directory.
void sim_street_close(sim_street &s);

// The gateway's standard output, redirected into a pipe for the run and
// printed line by line as "gw  | <line>".
struct sim_console {
    int saved = -1;  // the real standard output
    int read_end = -1;
    sim_street *st = nullptr;
    std::thread reader;
};
bool sim_console_start(sim_console &con, sim_street &s);
// Gives standard output back; the reader ends with the pipe.
void sim_console_stop(sim_console &con);

// The timeline: plays one scenario event; sends the lamps' status frames
// that are due at gateway second now. due[i][n]: lamp n + 1 of module i.
void sim_play_event(sim_street &s, const sim_event &e);
void sim_lamp_schedule(const sim_options &opt, std::vector<double> due[2]);
void sim_send_due_lamps(sim_street &s, std::vector<double> due[2], double now);

// The end of a run. Settle: waits (bounded) until the gateway's live counts
// agree with the street's, letting what is under way arrive. Final: with the
// gateway stopped, drains the street and holds the counts against each
// other; joined false: some gateway thread was left behind and the counts
// cannot be compared. Then the stand-ins' own findings.
void sim_settle(sim_street &s);
void sim_final_counts(sim_street &s, bool joined, int stop_ms);
void sim_check_modules(sim_street &s);
