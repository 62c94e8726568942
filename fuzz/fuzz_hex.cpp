// Hexadecimal text conversions under arbitrary input, each checked against a
// plain reference of its documented digit rule, with buffers of exactly the
// documented size so that any write or read past them is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "board/strtohex.h"

#include "fuzz_common.h"

namespace {

int ref_digit(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return -1;
}

// The never-failing digit rule of StrToHex.
uint8_t ref_loose(unsigned char c)
{
    if (c >= 'a' && c <= 'z')
        c = static_cast<unsigned char>(c - 'a' + 'A');
    uint8_t d = static_cast<uint8_t>(c - '0');
    if (d > 9)
        d = static_cast<uint8_t>(d - 7);
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);

    // Validating decoder on the text up to the first NUL.
    std::vector<char> hex(text, text + size);
    hex.push_back('\0');
    const size_t n = strlen(hex.data());
    std::vector<uint8_t> out(n / 2 + 1, 0xEE);
    const int r = hexToStr(hex.data(), out.data());
    size_t good = 0;  // pairs a reference decode accepts
    while (good < n / 2 && ref_digit(hex[2 * good]) >= 0 && ref_digit(hex[2 * good + 1]) >= 0)
        good++;
    if (n % 2 != 0) {
        check(r == -2);
    } else {
        check(r == (good == n / 2 ? 0 : -3));
        for (size_t i = 0; i < good; i++)
            check(out[i] == uint8_t(ref_digit(hex[2 * i]) * 16 + ref_digit(hex[2 * i + 1])));
        check(out[good] == 0);
    }

    // Non-validating decoder on an exact-size copy (no terminator).
    const int count = static_cast<int>(size / 2);
    std::vector<char> raw(text, text + size);
    std::vector<uint8_t> loose(static_cast<size_t>(count) + 1, 0xEE);
    StrToHex(loose.data(), raw.data(), count);
    for (int i = 0; i < count; i++) {
        const uint8_t h = ref_loose(static_cast<unsigned char>(raw[2 * i]));
        const uint8_t l = ref_loose(static_cast<unsigned char>(raw[2 * i + 1]));
        check(loose[i] == uint8_t(uint8_t(h * 16) + l));
    }
    check(loose[count] == 0xEE);

    // Encoders: bytes -> text -> bytes gives the bytes back.
    std::vector<char> enc(2 * size + 1);
    HexToStr(enc.data(), data, static_cast<int>(size));
    check(strlen(enc.data()) == 2 * size);
    std::vector<uint8_t> back(size + 1);
    check(hexToStr(enc.data(), back.data()) == 0 && memcmp(back.data(), data, size) == 0);
    if (n > 0) {
        std::vector<char> enc2(2 * n + 1);
        check(strToHex(hex.data(), enc2.data()) == 0 && strlen(enc2.data()) == 2 * n);
        std::vector<uint8_t> back2(n + 1);
        check(hexToStr(enc2.data(), back2.data()) == 0 && memcmp(back2.data(), hex.data(), n) == 0);
    }
    return 0;
}
