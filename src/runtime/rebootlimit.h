// Back-off of the reboots that a missing modem node asks for.
//
// Without it a board whose USB modem has died reboots about every 50 s for
// ever, and so does any machine without the modem's nodes after every boot.
// At most REBOOT_LIMIT_COUNT such reboots go through in any
// REBOOT_LIMIT_WINDOW seconds; the count outlives the reboots in the file
// "modem-reboots" in `board.state_dir`. The other reboots (the daily one,
// the companion's tenth change, the SMS "reset") are never held back.
//
// Time is counted, not read from a clock: each supervision pass adds
// REBOOT_LIMIT_PASS_SECONDS, and a pass never takes less than that, so
// counted time never runs ahead of real time. The wall clock, which a board
// without a real-time clock starts in 1970 and later steps by years, is
// never read. The file keeps the counted clock of its last write and a new
// process goes on from there, so time spent booting or switched off does not
// count: a window can only last longer than an hour, never shorter, and
// nothing outside the gateway can move it.
//
// Fail safe: a reboot is written to the file (whole: a temporary and a
// rename) before it is asked for, and held back when that fails, so no
// reboot loop can go uncounted. A file that cannot be read, is cut or does
// not parse counts as full (REBOOT_LIMIT_COUNT reboots just now) and is
// rewritten at once; a missing file counts as empty (a first installation).
// The file is read only once a modem node is missing.
//
// A zero-initialised record is a process's fresh start. One thread (the
// supervision loop) owns it.
#pragma once

#include <cstdint>

constexpr int REBOOT_LIMIT_COUNT = 6;
constexpr int64_t REBOOT_LIMIT_WINDOW = 3600;
constexpr int64_t REBOOT_LIMIT_PASS_SECONDS = 20;

// What the console was last told about the missing-modem reboot.
enum reboot_hold : int {
    REBOOT_FREE = 0,         // reboots go through
    REBOOT_HELD_LIMIT,       // REBOOT_LIMIT_COUNT in the window already
    REBOOT_HELD_UNRECORDED,  // the state file cannot be written
};

struct reboot_limit {
    int64_t clock;                       // counted seconds: the file's clock plus our passes
    bool loaded;                         // the file has been read into clock and stamps
    int count;                           // stamps in use
    int64_t stamps[REBOOT_LIMIT_COUNT];  // counted seconds of recent reboots, oldest first
    int64_t written_at;                  // counted seconds of the last write attempt
    reboot_hold hold;
};

// One supervision pass has gone by.
void reboot_limit_tick(reboot_limit *rl);

// A modem node is missing. True when the reboot may be asked for now (it is
// recorded); false when it is held back. Each change of hold prints one
// console line. While held, the counted clock is saved every 15 counted
// minutes, so that a restarted daemon does not start the hour again.
bool reboot_limit_take(reboot_limit *rl);

// Both modem nodes are there: a hold ends (with one console line).
void reboot_limit_release(reboot_limit *rl);
