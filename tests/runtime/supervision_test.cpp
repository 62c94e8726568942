#include <algorithm>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "board/board.h"
#include "runtime/cabinet.h"

namespace {

std::vector<std::string> shell;
pid_t companion = -1;

// Records every command; starts the real companion for "zuzize-vid &".
int companion_runner(const char *cmdline)
{
    shell.emplace_back(cmdline);
    if (std::string(cmdline) == "zuzize-vid &") {
        companion = fork();
        if (companion == 0) {
            execl(LAMPGW_ZUZIZE_VID, "zuzize-vid", static_cast<char *>(nullptr));
            _exit(127);
        }
        // Wait until the child has become the companion.
        wait_for(
            [] {
                char exe[256] = "";
                std::string link = "/proc/" + std::to_string(companion) + "/exe";
                ssize_t n = readlink(link.c_str(), exe, sizeof exe - 1);
                return n > 0 && std::string(exe, static_cast<size_t>(n)).find("zuzize-vid") !=
                                    std::string::npos;
            },
            2000);
    }
    return 0;
}

void stop_companion()
{
    if (companion > 0) {
        kill(companion, SIGTERM);
        waitpid(companion, nullptr, 0);
        companion = -1;
    }
}

int count(const std::string &cmd)
{
    int n = 0;
    for (auto &c : shell)
        n += c == cmd;
    return n;
}

}  // namespace

TEST(Supervision, FeedsWatchdogAndRebootsOnTheTenthCompanionChange)
{
    Cabinet cab(2000);
    board.run_command = companion_runner;
    board.proc_root = "/proc";
    shell.clear();
    supervision_state sv{};
    sv.passes_left = SUPERVISION_PASSES;

    supervision_pass(&sv);  // nothing running: the companion is started
    EXPECT_EQ(count("zuzize-vid &"), 1);
    EXPECT_EQ(sv.change_count, 0);
    supervision_pass(&sv);  // first sighting
    EXPECT_EQ(sv.change_count, 1);
    supervision_pass(&sv);  // same process: no change
    EXPECT_EQ(sv.change_count, 1);
    // Each restart is seen as a change; the tenth asks for a reboot.
    while (sv.change_count < 10) {
        stop_companion();
        supervision_pass(&sv);  // restarts it
        supervision_pass(&sv);  // sees the new pid
    }
    stop_companion();
    EXPECT_EQ(count("reboot"), 1);
    EXPECT_EQ(sv.passes_left, SUPERVISION_PASSES - 21);
    ASSERT_TRUE(wait_for([&] { return cab.gpio.levels(60).size() == 42; }, 2000));
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
    auto cmds = Cabinet::shell_commands();
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "reboot"), 2);
    supervision_pass(&sv);
    EXPECT_EQ(sv.passes_left, 0);
    ASSERT_TRUE(wait_for([&] { return cab.gpio.levels(60).size() == 4; }, 2000));

    // Expired: only reboot requests, no watchdog feeding.
    supervision_pass(&sv);
    supervision_pass(&sv);
    cmds = Cabinet::shell_commands();
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "reboot"), 6);
    EXPECT_EQ(cab.gpio.levels(60).size(), 4u);
}
