#include "board/board.h"

#include <cstdlib>

int board_system(const char *cmdline)
{
    return std::system(cmdline);
}

board_description board_production()
{
    return board_description{
        "/dev/ttyO1", "/dev/ttyO2", "/dev/ttyUSB1",    "/dev/ttyUSB2", "/sys/class/gpio",
        "/proc",      "config.txt", "/var/lib/lampgw", "eth1",         board_system,
    };
}

board_description board = board_production();
