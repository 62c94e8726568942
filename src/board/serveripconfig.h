// The configuration file read as plain lines: line 1 holds the server
// address, line 2 the server port. Lines are read in pieces of at most 99
// characters (a 100-byte read), and a longer line counts as several.
//
// Every operation opens the file named by board.config_file for reading
// and writing, so the file must exist. When it cannot be opened they print
// "can not open the config.txt" and return 0; otherwise they return 1.
//
// The setters produce the new content in memory and replace the file
// crash-safely (board/filereplace.h): after a kill or a power cut it is the
// old file or the whole new one. A failed step is reported with perror (the
// result is still 1); a file over 32 KiB is not rewritten.
#pragma once

// Reads line 1 into `buf` (at least 100 bytes), without its line feed and
// cut to at most 21 characters. A file without line 1 gives empty text.
int server_ip_config(char *buf);

// The same for line 2.
int server_port_config(char *buf);

// Overwrites line 1 with `ip` and writes line 2 back after it (followed by
// a line feed if it had none). Text longer than 98 characters is not
// written. The file never shrinks: bytes beyond the rewritten lines stay
// and form further lines.
int server_ip_set(const char *ip);

// Writes `port` and a line feed where line 2 begins (after a line feed
// added to line 1 if line 1 ends the file without one). Text longer than
// 98 characters is not written. The file never shrinks.
int server_port_set(const char *port);
