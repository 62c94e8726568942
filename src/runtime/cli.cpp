#include "runtime/cli.h"

#include <cstdio>
#include <cstring>

#include "board/configcheck.h"
#include "runtime/main.h"
#include "runtime/state.h"

int command_line_main(int argc, char **argv)
{
    if (argc <= 1)
        return gateway_main();
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("lampgw %s\n", gateway_version());
        std::fflush(stdout);
        return 0;
    }
    if ((argc == 2 || argc == 3) && std::strcmp(argv[1], "--check-config") == 0)
        return check_config_main(argc == 3 ? argv[2] : "config.txt");
    std::fprintf(stderr, "usage: lampgw [--version | --check-config [FILE]]\n");
    return 2;
}
