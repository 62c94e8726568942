#include "runtime/getpid.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <tuple>
#include <utility>
#include <vector>

#include <dirent.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/cabinet.h"
#include "support/capture.h"

// A scratch process table: lookups by executable and by status name, then watch steps.
TEST(ProcessWatch, LooksUpAndWatchesByName)
{
    testutil::BoardGuard guard;
    testutil::TempDir root;
    board.proc_root = root.path().c_str();
    testutil::CommandRecorder shell;
    const char *links[][2] = {{"100", "/usr/bin/zuzize-vid"},
                              {"200", "/x/zuzize-vid (deleted)"},
                              {"300", "/x/zuzize-vid2"},
                              {"self", "/bin/zuzize-vid"},
                              {"0", "/bin/zuzize-vid"},
                              {"500", "zuzize-vid"},
                              {"42", ""}};
    for (const auto &l : links) {  // an empty target makes no link
        mkdir(root.file(l[0]).c_str(), 0755);
        symlink(l[1], (root.file(l[0]) + "/exe").c_str());
    }
    std::vector<int> want, list(128, -1);  // the matches in the directory's own order
    DIR *d = opendir(root.path().c_str());
    while (const dirent *e = readdir(d))
        if (std::atoi(e->d_name) == 100 || std::atoi(e->d_name) == 200)
            want.push_back(std::atoi(e->d_name));
    closedir(d);
    EXPECT_EQ(find_pid_by_name("zuzize-vid", list.data(), 1), 1);  // a full list keeps the first
    EXPECT_EQ(std::make_tuple(list[0], list[1]), std::make_tuple(want[0], -1));
    EXPECT_EQ(find_pid_by_name("zuzize-vid", list.data(), 3), 1);
    EXPECT_EQ(std::make_tuple(list[0], list[1], list[2]), std::make_tuple(want[0], want[1], -1));
    EXPECT_EQ(find_pid_by_name("zuzize", list.data(), 3), 0);  // "zuzize-vid" is no match for it
    EXPECT_EQ(list[0], 0);
    EXPECT_EQ(Is_file_exist(root.file("42").c_str()), 0);
    EXPECT_EQ(Is_file_exist(root.file("4").c_str()), -1);
    EXPECT_EQ(Is_file_exist(nullptr), -1);
    testutil::write_file(root.file("42/status"), "Name:\tzuzize-vid\nState:\tS (sleeping)\n");
    testutil::write_file(root.file("300/status"), "Name:\tzuzize-vid2\n");
    symlink("42", root.file("me").c_str());  // a link is not a process

    // The watch follows entry 300 ("zuzize-vid2") as it takes other numbers.
    int count = 0, last = 0;
    // Each step: (count, last pid, commands run so far).
    auto step_as = [&, current = std::string("300")](const std::string &entry,
                                                     const char *name = "zuzize-vid2") mutable {
        rename(root.file(std::exchange(current, entry)).c_str(), root.file(entry).c_str());
        process_check(name, &count, &last, list.data(), 128);
        return std::make_tuple(count, last, static_cast<int>(shell.lines().size()));
    };
    EXPECT_EQ(step_as("300"), step_as("300"));  // an unchanged pid counts once
    for (int pid = 299; pid >= 290; --pid)      // the tenth sighting reboots, later ones do not
        EXPECT_EQ(step_as(std::to_string(pid)),
                  std::make_tuple(301 - pid, pid, pid <= 291 ? 1 : 0));
    EXPECT_EQ(step_as("x", "other"), std::make_tuple(11, 290, 2));  // none running: started
    testutil::Capture out;
    getPidByName("zuzize-vid");
    board.proc_root = "/nonexistent-proc";
    const auto unreadable = step_as("x");
    EXPECT_EQ(out.end(), "PID:42\ncannot open /proccannot open /proc");
    EXPECT_EQ(unreadable, std::make_tuple(11, 290, 2));
    EXPECT_EQ(shell.lines(), (std::vector<std::string>{"reboot", "zuzize-vid &"}));
}

// The companion, started through the shell as the process watch starts it
// while the gateway holds its serial ports and a server link, inherits none
// of the gateway's descriptors (holding the socket, it would keep a link the
// gateway dropped open for the server). This process is made a subreaper so
// that the companion, orphaned by its shell, becomes its child to be reaped.
TEST(ProcessWatch, CompanionStartedThroughTheShellHoldsNoGatewayDescriptor)
{
    namespace fs = std::filesystem;
    Cabinet cab(20);  // its process table is empty: the watch starts the companion
    open_serial_ports(&net_fd1);
    ASSERT_TRUE(cab.link_up());
    const int held[] = {net_fd1.w433_other_fd, net_fd1.w433_ludeng_fd, net_fd1.gsm_fd,
                        net_fd1.sockfd.load()};
    ASSERT_GE(*std::min_element(std::begin(held), std::end(held)), 0);
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const fs::path program = fs::canonical(LAMPGW_ZUZIZE_VID);
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (program.parent_path().string() + ":" + path).c_str(), 1);
    board.run_command = board_system;
    int changes = 0, last = 0, pids[4];
    process_check("zuzize-vid", &changes, &last, pids, 4);
    setenv("PATH", path.c_str(), 1);

    std::string companion, leaked;  // "/proc/<pid>" of the child running the program
    std::error_code ec;
    EXPECT_TRUE(testutil::wait_for("the companion", 5000, [&] {
        for (const auto &e : fs::directory_iterator("/proc")) {
            const std::string stat = testutil::read_file(e.path() / "stat");  // pid (comm) S ppid
            const size_t end = stat.rfind(") ");
            if (end != std::string::npos && std::atoi(stat.c_str() + end + 4) == getpid() &&
                fs::read_symlink(e.path() / "exe", ec) == program)
                return !(companion = e.path()).empty();
        }
        return false;
    }));
    for (int fd : held) {
        const fs::path at = "fd/" + std::to_string(fd),
                       theirs = fs::read_symlink(companion / at, ec);
        if (!ec && theirs == fs::read_symlink("/proc/self" / at, ec))
            leaked += " " + at.string() + ":" + theirs.string();
    }
    EXPECT_EQ(leaked, "");
    const pid_t pid = companion.empty() ? -1 : std::atoi(companion.c_str() + 6);
    EXPECT_TRUE(pid < 0 || kill(pid, SIGKILL) == 0);
    EXPECT_TRUE(testutil::wait_for("the companion reaped", 5000, [&] {
        return pid < 0 || waitpid(pid, nullptr, WNOHANG) == pid;
    }));
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    close(net_fd1.gsm_fd);
}
