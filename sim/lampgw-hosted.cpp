// lampgw-hosted: the gateway as a process of its own, for the load and soak
// modes of lampgw-sim. The places of its board come from the command line
// instead of the cabinet's; everything else is the daemon's code, unchanged.
// Start-up and the workers each run on a clock of their own speed (start-up
// pauses are only waits). Shell commands are printed, never run; with a
// process table of our own, "zuzize-vid &" also lists a companion there, so
// the process watch finds it and never looks at the machine's /proc.
//
// Built a second time with LAMPGW_DROP_EVERY_TENTH as lampgw-hosted-dropping:
// a deliberately broken gateway whose every tenth lamp frame to the server
// is swallowed (send() wrapped at link time), for the soak to catch.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board/board.h"
#include "board/timebase.h"
#include "runtime/main.h"

namespace {

const char *proc_tree = nullptr;

// The companion's entry: <tree>/<pid>/exe naming a zuzize-vid. One process,
// started once, that keeps running: its pid never changes.
void list_companion()
{
    const std::string dir = std::string(proc_tree) + "/4242";
    mkdir(dir.c_str(), 0755);
    if (symlink("/usr/local/bin/zuzize-vid", (dir + "/exe").c_str()) != 0)
        return;  // already listed
}

int record_command(const char *cmdline)
{
    const std::string line = cmdline != nullptr ? cmdline : "";
    std::printf("shell: \"%s\" recorded, not run\n", line.c_str());
    if (proc_tree != nullptr && line == "zuzize-vid &")
        list_companion();
    return 0;
}

unsigned speed_arg(int argc, char **argv, int i, unsigned fallback)
{
    const long v = argc > i ? std::strtol(argv[i], nullptr, 10) : 0;
    return v >= 1 && v <= 100000 ? static_cast<unsigned>(v) : fallback;
}

}  // namespace

#ifdef LAMPGW_DROP_EVERY_TENTH
// Linked with --wrap=send: lamp frames (types 1 and 5) to the server are
// counted and every tenth is reported sent but never leaves.
extern "C" ssize_t __real_send(int fd, const void *buf, size_t len, int flags);
extern "C" ssize_t __wrap_send(int fd, const void *buf, size_t len, int flags)
{
    static std::atomic<unsigned> frames{0};
    const auto *p = static_cast<const unsigned char *>(buf);
    if (len > 10 && p[0] == 0xA3 && (p[10] == 1 || p[10] == 5) && ++frames % 10 == 0)
        return static_cast<ssize_t>(len);
    return __real_send(fd, buf, len, flags);
}
#endif

int main(int argc, char **argv)
{
    if (argc < 7 || argc > 10) {
        std::fprintf(stderr,
                     "usage: lampgw-hosted RADIO1 RADIO2 MODEM MODEM_WATCH GPIO_ROOT CONFIG "
                     "[STARTUP_SPEEDUP [WORKER_SPEEDUP [PROC_ROOT]]]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    board.radio_other_dev = argv[1];
    board.radio_ludeng_dev = argv[2];
    board.gsm_dev = argv[3];
    board.gsm_watch_dev = argv[4];
    board.gpio_root = argv[5];
    board.config_file = argv[6];
    // The count of modem reboots lives beside config.txt, in the run's own
    // directory: it outlives the soak's restarts, as on a board, and no run
    // sees another's.
    static std::string state_dir = argv[6];
    const size_t slash = state_dir.rfind('/');
    state_dir = slash == std::string::npos ? "." : state_dir.substr(0, slash);
    board.state_dir = state_dir.c_str();
    board.run_command = record_command;
    if (argc > 9) {
        proc_tree = argv[9];
        board.proc_root = argv[9];
    }

    static supervision_state sv;
    time_set_speedup(speed_arg(argc, argv, 7, 20));
    gateway_startup(&net_fd1, &sv);
    time_set_speedup(speed_arg(argc, argv, 8, 1));
    gateway_start_workers(&net_fd1);
    for (;;)
        supervision_pass(&sv);
}
