#include <algorithm>
#include <cstdlib>
#include <sys/wait.h>
#include <utility>

#include <gtest/gtest.h>

#include "board/board.h"
#include "emu/process_table.h"
#include "runtime/cabinet.h"

namespace {

ProcessTable *processes = nullptr;
pid_t companion = -1;
int (*record)(const char *) = nullptr;  // the cabinet's recorder

// Records every command; "zuzize-vid &" starts the real companion in the
// test's own process table.
int companion_runner(const char *cmdline)
{
    if (std::string(cmdline) == "zuzize-vid &")
        companion = processes->start(LAMPGW_ZUZIZE_VID, "zuzize-vid");
    return record(cmdline);
}

int count(const std::string &cmd)
{
    const auto cmds = Cabinet::shell_commands();
    return static_cast<int>(std::count(cmds.begin(), cmds.end(), cmd));
}

}  // namespace

TEST(Supervision, FeedsWatchdogAndRebootsOnTheTenthCompanionChange)
{
    Cabinet cab(2000);
    ProcessTable table;
    processes = &table;
    record = std::exchange(board.run_command, companion_runner);
    board.proc_root = table.root().c_str();
    supervision_state sv{};
    sv.passes_left = SUPERVISION_PASSES;

    supervision_pass(&sv);  // nothing running: the companion is started
    EXPECT_EQ(count("zuzize-vid &"), 1);
    ASSERT_GT(companion, 0) << "cannot start " << LAMPGW_ZUZIZE_VID << " in " << table.root();
    EXPECT_EQ(sv.change_count, 0);
    supervision_pass(&sv);  // first sighting
    EXPECT_EQ(sv.change_count, 1);
    supervision_pass(&sv);  // same process: no change
    EXPECT_EQ(sv.change_count, 1);
    // Each restart is seen as a change; the tenth asks for a reboot.
    for (int change = 2; change <= 10; ++change) {
        table.stop(companion, 2000);
        supervision_pass(&sv);  // restarts it
        supervision_pass(&sv);  // sees the new pid
        ASSERT_EQ(sv.change_count, change) << "after " << count("zuzize-vid &") << " starts";
    }
    EXPECT_EQ(count("reboot"), 1);
    EXPECT_EQ(sv.passes_left, SUPERVISION_PASSES - 21);
    // The companion ends with status 0 on SIGTERM once its handlers are in place.
    ASSERT_TRUE(testutil::wait_for("the companion's SIGTERM and SIGINT handlers", 5000, [&] {
        const std::string st =
            testutil::read_file("/proc/" + std::to_string(companion) + "/status") + "\nSigCgt:0";
        return (std::strtoull(st.c_str() + st.find("SigCgt:") + 7, nullptr, 16) & 0x4002) == 0x4002;
    }));
    const int status = table.stop(companion, 5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    ASSERT_TRUE(testutil::wait_for("42 watchdog levels", 2000,
                                   [&] { return cab.gpio.levels(60).size() == 42; }));
    EXPECT_EQ(cab.gpio.levels(60)[40], 1);
    EXPECT_EQ(cab.gpio.levels(60)[41], 0);
}

TEST(Supervision, RebootsForMissingModemNodesAndAfterADay)
{
    Cabinet cab(2000);
    supervision_state sv{};
    sv.passes_left = 2;
    std::string gone = cab.dir.file("gone");
    board.gsm_dev = gone.c_str();
    board.gsm_watch_dev = gone.c_str();

    supervision_pass(&sv);  // both nodes missing: two reboots
    EXPECT_EQ(count("reboot"), 2);
    supervision_pass(&sv);
    EXPECT_EQ(sv.passes_left, 0);
    ASSERT_TRUE(testutil::wait_for("4 watchdog levels", 2000,
                                   [&] { return cab.gpio.levels(60).size() == 4; }));

    // Expired: only reboot requests, no watchdog feeding.
    supervision_pass(&sv);
    supervision_pass(&sv);
    EXPECT_EQ(count("reboot"), 6);
    EXPECT_EQ(cab.gpio.levels(60).size(), 4u);
}
