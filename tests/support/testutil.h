// Shared fixtures of the test suite: temporary directories, files, and a
// guard that restores the board description and the clock after a test.
#pragma once

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "board/board.h"

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

// Polls pred for up to timeout_ms of real time, for ASSERT_TRUE/EXPECT_TRUE:
// a time-out fails with what was awaited ("waited 2000 ms for <what>").
testing::AssertionResult wait_for(const char *what, int timeout_ms,
                                  const std::function<bool()> &pred);

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

}  // namespace testutil
