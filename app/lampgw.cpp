// lampgw: the street-lighting gateway daemon. Without arguments it is the
// daemon, and every place it touches is the board's production description;
// --version and --check-config only print (runtime/cli.h).
#include "runtime/cli.h"

int main(int argc, char **argv)
{
    return command_line_main(argc, argv);
}
