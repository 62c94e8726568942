// Hex text for the simulated street: the one place where sim/ turns bytes
// into hexadecimal text and back.
//
// The text matches the gateway's own: upper-case digits, high nibble first,
// so a line of the street and a line of the gateway show the same bytes the
// same way and a test can look for one in the other. The formats in use:
//   hex(b)          "A3 20 00 13"  logs, transcripts, the soak's records
//   hex(b, "")      "A3200013"     what an SMS carries ("para set ...")
//   hex(b, "-")     "A3-20-00-13"  the gateway's hex-dump line
// parse_hex reads every one of them back except the last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using bytes = std::vector<uint8_t>;

// Two digits per byte, `between` between two bytes (none before the first
// or after the last); "" for no bytes.
std::string hex(const uint8_t *p, size_t n, std::string_view between = " ");
std::string hex(const bytes &b, std::string_view between = " ");

// Hex digits of either case, blanks and tabs allowed anywhere between them
// ("A3 20 00", "a32000", "A3 2000"). False, with *out empty, for no digits,
// an odd count of them or any other character.
bool parse_hex(std::string_view text, bytes *out);
