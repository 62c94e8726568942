// Serial port set-up: opening a UART and putting it into the raw,
// byte-transparent mode the radio modules and the modem links use.
//
// Calling order: open_dev, then set_speed, then set_parity. Each of the last
// two reads the current attributes and changes only its own part, so
// set_parity keeps the speed set_speed chose. A check that fails returns -1
// before anything has been flushed or applied: the port is left untouched.
#pragma once

// Opens `dev` with `flags`, always adding O_CLOEXEC (no program the gateway
// starts inherits a port). Returns the descriptor, or -1 after printing
// "Can't Open Serial Port:<dev>\n" on stdout. Changes no setting.
int open_dev(const char *dev, int flags);

// Sets the input and output speed to `speed` baud, one of 230400, 115200,
// 57600, 38400, 19200, 9600, 4800, 2400, 1800, 1200, 600, 300; pending input
// and output are discarded before and after. Returns 0, or -1 for any other
// rate (silently) or when the attributes cannot be read or applied
// (perror "tcsetattr fd1").
int set_speed(int fd, int speed);

// Sets the character format and raw mode, keeping the speed: `databits` 7 or
// 8, `stopbits` 1 or 2, `parity` 'N', 'E', 'O' or 'S' in either case ('S' ends
// up as 'N'). Input, output and local flags become 0, VMIN 0, VTIME 150
// (a blocking read returns 0 after 15 s without a byte). Returns 0, or -1:
// attributes unreadable (perror "SetupSerial 1"), unsupported value (a
// message without line end on stderr), or apply failed (perror "SetupSerial 3").
int set_parity(int fd, int databits, int stopbits, int parity);

// Applies a complete fixed set-up built from zero: 9600 baud, CS8, CREAD,
// CLOCAL, RTS/CTS flow control, IGNPAR, everything else 0 (VMIN 0, VTIME 0).
// Returns the result of applying it (0 or -1).
int init_ttyS(int fd);
