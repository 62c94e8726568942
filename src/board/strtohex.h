// Conversions between bytes and hexadecimal text.
//
// Two independent families:
//  - strToHex / hexToStr work on NUL-terminated text, check their input and
//    report errors by result code; hexCharToValue and valueToHexCh are their
//    single-character helpers.
//  - StrToHex / HexToStr work on a given count, never fail and never check.
// Text produced here uses upper-case digits, high nibble first; text read may
// use either case. Every character is looked at as an unsigned byte. The
// caller sizes every buffer; nothing here knows a capacity.
#pragma once

#include <cstdint>

// '0'..'9' -> 0..9, 'a'..'z' and 'A'..'Z' -> 10..35 (the whole alphabet, so
// 'g' is 16 and 'Z' is 35), any other byte -> -1.
int hexCharToValue(char c);

// 0..9 -> '0'..'9', 10..15 -> 'A'..'F', anything else (negatives too) -> '\0'.
char valueToHexCh(int v);

// Writes two hex digits per byte of `str` and a NUL into `out`
// (2 * strlen(str) + 1 bytes).
// Returns 0 on success, -1 if a pointer is null, -2 if `str` is empty
// (nothing written).
int strToHex(const char *str, char *out);

// Decodes pairs of digits (by hexCharToValue, byte = (hi * 16 + lo) mod 256)
// from NUL-terminated `hex` into `out`, then stores a NUL byte
// (strlen(hex) / 2 + 1 bytes).
// Returns 0 on success, -1 if a pointer is null, -2 if the length is odd
// (nothing written), -3 on a character hexCharToValue rejects: the bytes
// decoded before the failing pair stay, followed by a NUL byte.
int hexToStr(const char *hex, uint8_t *out);

// Decodes exactly `count` bytes from the first 2 * count characters of `hex`
// into `out`; no terminator is read or written. Never fails: each character
// goes through the digit rule (upper-case it, d = c - '0' mod 256, if d > 9
// then d = d - 7 mod 256), and byte = ((h * 16) mod 256 + l) mod 256, so an
// out-of-range second digit carries into the high nibble ("1G" -> 0x20).
// A count of 0 or less writes nothing.
void StrToHex(uint8_t *out, const char *hex, int count);

// Writes 2 * count upper-case hex digits of `bytes` and a NUL into `out`
// (2 * count + 1 bytes). A count of 0 or less yields the empty text.
void HexToStr(char *out, const uint8_t *bytes, int count);
