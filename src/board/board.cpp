#include "board/board.h"

#include <cstdlib>

int board_system(const char *cmdline)
{
    return std::system(cmdline);
}

board_description board_production()
{
    board_description b{};
    b.radio_other_dev = "/dev/ttyO1";
    b.radio_ludeng_dev = "/dev/ttyO2";
    b.gsm_dev = "/dev/ttyUSB1";
    b.gsm_watch_dev = "/dev/ttyUSB2";
    b.gpio_root = "/sys/class/gpio";
    b.proc_root = "/proc";
    b.config_file = "config.txt";
    b.state_dir = "/var/lib/lampgw";
    b.net_if = "eth1";
    b.gpio_modem_reset = 115;
    b.gpio_startup_pulse = 48;
    b.gpio_key_other = 117;
    b.gpio_key_ludeng = 7;
    b.gpio_watchdog = 60;
    b.run_command = board_system;
    return b;
}

board_description board = board_production();
