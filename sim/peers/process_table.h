// A process table of one's own, for the gateway's process watch.
//
// The watch reads <board.proc_root>/<pid>/exe. This table is a fresh
// directory with one entry per process started through it: <pid>, a symbolic
// link to /proc/<pid>. Pointed at it, the watch sees those processes as the
// kernel shows them (one that has ended has no readable exe) and nothing else
// that runs on the machine: a demo beside the tests, or two tests side by
// side, never see each other's companions. An entry goes when its process is
// reaped.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

class ProcessTable {
public:
    ProcessTable();   // root() is empty when no directory could be made
    ~ProcessTable();  // stops whatever still runs, removes the directory
    ProcessTable(const ProcessTable &) = delete;
    ProcessTable &operator=(const ProcessTable &) = delete;

    const std::string &root() const { return root_; }
    // Starts `program` under the name argv0, listed in the table. Returns
    // once the child runs the program: its pid, or -1.
    pid_t start(const std::string &program, const char *argv0);
    // Reaps the processes that have ended and drops their entries, also of
    // those someone else has reaped already.
    void reap();
    // SIGTERM, then SIGKILL when it has not ended within timeout_ms; reaps it
    // and drops its entry. Returns its wait status, -1 when it is not listed.
    int stop(pid_t pid, int timeout_ms);
    std::vector<pid_t> pids() const;

private:
    void drop(pid_t pid);  // lock_ held
    std::string root_;
    mutable std::mutex lock_;
    std::vector<pid_t> pids_;
};
