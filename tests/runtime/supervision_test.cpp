#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

#include <gtest/gtest.h>

#include "board/board.h"
#include "peers/process_table.h"
#include "support/cabinet.h"
#include "support/capture.h"

namespace {

// Reboots asked for by one pass.
int pass_reboots(const Cabinet &cab, supervision_state *sv)
{
    const int before = cab.shell.count("reboot");
    supervision_pass(sv);
    return cab.shell.count("reboot") - before;
}

}  // namespace

TEST(Supervision, FeedsWatchdogAndRebootsOnTheTenthCompanionChange)
{
    Cabinet cab(2000);
    ProcessTable table;
    pid_t companion = -1;
    cab.shell.on_command = [&](const std::string &line) {  // the real companion, in the table
        if (line == "zuzize-vid &")
            companion = table.start(LAMPGW_ZUZIZE_VID, "zuzize-vid");
        return line;
    };
    board.proc_root = table.root().c_str();
    auto count = [&](const char *line) { return cab.shell.count(line); };
    const int watchdog = board.gpio_watchdog;
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
                                   [&] { return cab.gpio.levels(watchdog).size() == 42; }));
    EXPECT_EQ(cab.gpio.levels(watchdog)[40], 1);
    EXPECT_EQ(cab.gpio.levels(watchdog)[41], 0);
}

// A dead modem: six reboots an hour go through, counted across reboots in the
// state directory; then one console line, the watchdog still fed, and the
// seventh waits for the hour. Both nodes missing on one pass count once.
TEST(Supervision, MissingModemRebootsBackOffForAnHour)
{
    Cabinet cab(20000);
    const std::string gone = cab.dir.file("gone");
    board.gsm_dev = gone.c_str();
    board.gsm_watch_dev = gone.c_str();
    testutil::Capture console;
    supervision_state before_reboot{};
    before_reboot.passes_left = SUPERVISION_PASSES;
    EXPECT_EQ(pass_reboots(cab, &before_reboot), 2);  // one for each node
    board.gsm_watch_dev = cab.watch_node.c_str();
    EXPECT_EQ(pass_reboots(cab, &before_reboot), 1);
    EXPECT_EQ(pass_reboots(cab, &before_reboot), 1);

    // The board came back up: a new process reads the same directory.
    supervision_state sv{};
    sv.passes_left = SUPERVISION_PASSES;
    std::vector<int> rebooted;
    for (int pass = 1; pass <= 178; ++pass)
        if (pass_reboots(cab, &sv) > 0)
            rebooted.push_back(pass);
    const std::string out = console.end();
    // 3 reboots at 20-60 s, 3 more at 80-120 s; the next at 20 s + 1 h.
    EXPECT_EQ(rebooted, (std::vector<int>{1, 2, 3, 178}));
    EXPECT_EQ(out,
              "modem node missing: reboot held back, 6 in the last hour; next in 3480 s\n"
              "modem reboot no longer held back\n");
    ASSERT_TRUE(testutil::wait_for("a watchdog feed on every pass", 5000, [&] {
        return cab.gpio.levels(board.gpio_watchdog).size() == 2 * 181;
    }));
}

// A count that cannot be trusted holds the next reboot back for an hour and
// is rewritten whole; one that cannot be written holds every reboot back
// until it can.
TEST(Supervision, UntrustedRebootCountFailsSafe)
{
    Cabinet cab(20000);
    const std::string gone = cab.dir.file("gone");
    board.gsm_dev = gone.c_str();
    const std::string file = cab.dir.file("modem-reboots");
    for (const std::string bad :
         {"", "modem-reboots clock=100 at=20", "garbage\n", "modem-reboots clock=100 at=20,4\n",
          "modem-reboots clock=50 at=60\n", "modem-reboots clock=99999999999999 at=\n",
          "modem-reboots clock=100 at=1,2,3,4,5,6,7\n"}) {
        testutil::write_file(file, bad);
        supervision_state sv{};
        sv.passes_left = SUPERVISION_PASSES;
        EXPECT_EQ(pass_reboots(cab, &sv), 0) << bad;
        EXPECT_EQ(testutil::read_file(file), "modem-reboots clock=20 at=20,20,20,20,20,20\n");
        if (bad.empty()) {  // an hour on, the reboot goes through
            int pass = 2;
            while (pass < 200 && pass_reboots(cab, &sv) == 0)
                ++pass;
            EXPECT_EQ(pass, 181);
        }
    }
    const std::string parent = cab.dir.file("var"), state = parent + "/lampgw";
    board.state_dir = state.c_str();  // its parent is missing: nothing can be written
    testutil::Capture console;
    supervision_state sv{};
    sv.passes_left = SUPERVISION_PASSES;
    EXPECT_EQ(pass_reboots(cab, &sv), 0);
    EXPECT_EQ(pass_reboots(cab, &sv), 0);
    ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
    int pass = 3;
    while (pass < 100 && pass_reboots(cab, &sv) == 0)
        ++pass;
    EXPECT_LE(pass, 1 + 45) << "tried again within 15 minutes";
    EXPECT_EQ(console.end(), "modem node missing: reboot held back, it cannot be recorded in " +
                                 state + "\nmodem reboot no longer held back\n");
}

// After a day the loop only asks for reboots and no longer feeds the watchdog.
TEST(Supervision, RebootsAfterADay)
{
    Cabinet cab(2000);
    supervision_state sv{};
    sv.passes_left = 2;
    supervision_pass(&sv);
    supervision_pass(&sv);
    EXPECT_EQ(sv.passes_left, 0);
    EXPECT_EQ(cab.shell.count("reboot"), 0);
    const int watchdog = board.gpio_watchdog;
    ASSERT_TRUE(testutil::wait_for("4 watchdog levels", 2000,
                                   [&] { return cab.gpio.levels(watchdog).size() == 4; }));
    supervision_pass(&sv);
    supervision_pass(&sv);
    EXPECT_EQ(cab.shell.count("reboot"), 2);
    EXPECT_EQ(cab.gpio.levels(watchdog).size(), 4u);
}
