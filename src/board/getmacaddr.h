// Hardware (MAC) address of the board's network interface (`board.net_if`,
// "eth1" on the gateway), read from the kernel.
#pragma once

#include <cstdint>

// Stores the address as 12 lower-case hex digits and a NUL ("001a2b3c4d5e")
// into `buf`, which must hold 13 bytes. Returns 1 on success, 0 on failure
// with `buf` untouched.
int get_char_macaddr(char *buf);

// Stores the six address bytes, first byte first, into buf[0..5]. Returns 1
// on success, 0 on failure with `buf` untouched.
int get_int_macaddr(uint8_t *buf);
