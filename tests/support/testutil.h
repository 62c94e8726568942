// Shared helpers of the test suite: temporary directories and files, waits
// bounded in time, a guard that restores the board description and the
// clock, a recorder of shell commands and raw pseudo-terminals.
#pragma once

#include <chrono>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board/board.h"
#include "peers/hex.h"

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &content);
// The whole file, or "<missing>" when it cannot be opened.
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
// A file of the source tree, by its path from the top ("sim/scenarios/demo.txt").
std::string source_file(const std::string &relative);

// The parts joined into one.
bytes cat(std::initializer_list<bytes> parts);

// Polls pred for up to timeout_ms of real time, for ASSERT_TRUE/EXPECT_TRUE:
// a time-out fails with what was awaited ("waited 2000 ms for <what>").
testing::AssertionResult wait_for(const char *what, int timeout_ms,
                                  const std::function<bool()> &pred);

// Gateway seconds since t0 at the clock's present speed-up.
using Clock = std::chrono::steady_clock;
double gw_since(Clock::time_point t0);
// Waits until pred holds for gw_s gateway seconds, stretched by the time
// the machine's tasks spent waiting for a processor, the disk or memory
// meanwhile (on a busy machine the gateway loses as much), and 60 s of real
// time at most.
testing::AssertionResult within(const char *what, double gw_s, const std::function<bool()> &pred);

// Each part found in text, each after the one before it.
testing::AssertionResult in_order(const std::string &text, const std::vector<std::string> &parts);

// Restores `board` and the clock's speed-up when the test ends.
class BoardGuard {
public:
    BoardGuard();
    ~BoardGuard();
    BoardGuard(const BoardGuard &) = delete;
    BoardGuard &operator=(const BoardGuard &) = delete;

private:
    board_description saved_;
    unsigned saved_speedup_;
};

// board.run_command points at this recorder while it lives: every command
// line is kept, none is run. on_command, when set, gives what is kept for a
// line and may act on it (start a stand-in companion, say).
class CommandRecorder {
public:
    CommandRecorder();
    ~CommandRecorder();
    CommandRecorder(const CommandRecorder &) = delete;
    CommandRecorder &operator=(const CommandRecorder &) = delete;
    std::vector<std::string> lines() const;
    int count(const std::string &line) const;
    std::function<std::string(const std::string &line)> on_command;

private:
    static int record(const char *cmdline);
    int (*saved_)(const char *);
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

// A pseudo-terminal pair in raw mode, which passes every byte untranslated:
// the code under test uses `slave`, the test the `master` side.
struct Pty {
    int master = -1, slave = -1;
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
};

// Hex text ("AF 0D") of what reached the reading end of a radio port (a pty
// master, a FIFO), once 50 ms pass quietly.
std::string radio_hex(int fd);

}  // namespace testutil
