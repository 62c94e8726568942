// Process watch: finding processes by name in the process table and keeping
// the companion program alive.
//
// The process table is read below `board.proc_root` ("/proc" on the board);
// shell commands go through `board.run_command`. Nothing here keeps state of
// its own: the caller owns the change count, the last pid and the pid list.
#pragma once

// 0 when `path` exists, -1 when it does not or `path` is null.
int Is_file_exist(const char *path);

// Looks for processes whose executable's base name is `name`, optionally
// followed by a blank and more text (the kernel shows a replaced binary as
// "zuzize-vid (deleted)"); "zuzize-vid2" is not a match.
// pid_list[0] is set to 0 first (when capacity >= 1), then every match is
// appended in the order the process table lists it. Once `capacity` pids are
// stored the scan stops at the next match: the list keeps the first ones.
// Returns 1 if anything matched, 0 if nothing did (a null name matches
// nothing), -1 after printing "cannot open /proc" when the table cannot be
// opened.
int find_pid_by_name(const char *name, int *pid_list, int capacity);

// One watch step for the companion program. A first pid different from
// *last_pid is stored there and counts one change; the tenth change runs
// "reboot" (once: counting goes on but never triggers again). When nothing
// runs under `name`, "zuzize-vid &" is run and the counters stay as they are.
// An unreadable process table prints "cannot open /proc" (once more).
void process_check(const char *name, int *change_count, int *last_pid, int *pid_list, int capacity);

// Prints "PID:<pid>\n" for every process whose status file records exactly
// `name` as its process name. Prints nothing when the table cannot be opened.
void getPidByName(const char *name);
