// lampgw-hosted: the gateway as a process of its own, for load measurements.
// The places of its board come from the command line instead of the
// cabinet's; everything else is the daemon's code, unchanged. Start-up runs
// on a faster clock (its pauses are only waits), the workers at real time.
// Shell commands are printed, never run.
#include <cstdio>
#include <cstdlib>

#include "board/board.h"
#include "board/timebase.h"
#include "runtime/main.h"

namespace {

int record_command(const char *cmdline)
{
    std::printf("shell: \"%s\" recorded, not run\n", cmdline != nullptr ? cmdline : "");
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 7 || argc > 8) {
        std::fprintf(stderr,
                     "usage: lampgw-hosted RADIO1 RADIO2 MODEM MODEM_WATCH GPIO_ROOT CONFIG "
                     "[STARTUP_SPEEDUP]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    board.radio_other_dev = argv[1];
    board.radio_ludeng_dev = argv[2];
    board.gsm_dev = argv[3];
    board.gsm_watch_dev = argv[4];
    board.gpio_root = argv[5];
    board.config_file = argv[6];
    board.run_command = record_command;
    const long speedup = argc == 8 ? std::strtol(argv[7], nullptr, 10) : 20;

    static supervision_state sv;
    time_set_speedup(speedup >= 1 && speedup <= 1000 ? static_cast<unsigned>(speedup) : 20);
    gateway_startup(&net_fd1, &sv);
    time_set_speedup(1);
    gateway_start_workers(&net_fd1);
    for (;;)
        supervision_pass(&sv);
}
