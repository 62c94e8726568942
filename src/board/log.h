// The labelled hex-dump line of the console log.
#pragma once

#include <cstdint>

// Prints `label` as given (callers end it with ':' themselves), then the
// bytes as "%02X" separated by '-', then a line end, on standard output:
//   outputlogmessage("shortmessage:", {0x01, 0xAB, 0x10}, 3)
//   -> "shortmessage:01-AB-10\n"
// A length of 0 or less prints the label and the line end and reads no data.
// The line is written under stdout's lock, so lines logged by several
// threads at once never interleave.
void outputlogmessage(const char *label, const uint8_t *data, int len);
