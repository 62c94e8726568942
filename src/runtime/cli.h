// The command line of the lampgw program.
#pragma once

// Without arguments: the gateway daemon (gateway_main), which never returns
// in production. `--version` prints "lampgw <version>" and returns 0.
// `--check-config [FILE]` checks FILE (default "config.txt" in the working
// directory) without starting anything: it prints the problems and returns 1
// if there are any, 0 otherwise. Anything else prints the usage line on
// stderr and returns 2.
int command_line_main(int argc, char **argv);
