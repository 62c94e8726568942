#include "board/strtohex.h"

#include <cstring>

int hexCharToValue(char c)
{
    const unsigned u = static_cast<unsigned char>(c);
    if (u >= '0' && u <= '9')
        return static_cast<int>(u - '0');
    if (u >= 'a' && u <= 'z')
        return static_cast<int>(u - 0x57);
    if (u >= 'A' && u <= 'Z')
        return static_cast<int>(u - 0x37);
    return -1;
}

char valueToHexCh(int v)
{
    if (v >= 0 && v <= 9)
        return static_cast<char>('0' + v);
    if (v >= 10 && v <= 15)
        return static_cast<char>('A' + (v - 10));
    return '\0';
}

int strToHex(const char *str, char *out)
{
    if (str == nullptr || out == nullptr)
        return -1;
    if (*str == '\0')
        return -2;

    for (; *str != '\0'; ++str) {
        const unsigned b = static_cast<unsigned char>(*str);
        *out++ = valueToHexCh(static_cast<int>(b >> 4));
        *out++ = valueToHexCh(static_cast<int>(b & 0x0F));
    }
    *out = '\0';
    return 0;
}

int hexToStr(const char *hex, uint8_t *out)
{
    if (hex == nullptr || out == nullptr)
        return -1;
    // An even length means the second digit of a pair is never the NUL.
    if (std::strlen(hex) % 2 != 0)
        return -2;

    for (; *hex != '\0'; hex += 2) {
        const int hi = hexCharToValue(hex[0]);
        const int lo = hi < 0 ? -1 : hexCharToValue(hex[1]);
        if (lo < 0) {
            *out = 0;
            return -3;
        }
        *out++ = static_cast<uint8_t>(hi * 16 + lo);  // letters past 'f' wrap
    }
    *out = 0;
    return 0;
}

namespace {

// The lenient digit rule: any byte maps to some value, digits and letters to
// the same values as hexCharToValue.
unsigned lenient_digit(char c)
{
    unsigned u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z')
        u -= 'a' - 'A';
    unsigned d = (u - 0x30) & 0xFFu;
    if (d > 9)
        d = (d - 7) & 0xFFu;
    return d;
}

}  // namespace

void StrToHex(uint8_t *out, const char *hex, int count)
{
    for (int i = 0; i < count; ++i) {
        const unsigned h = lenient_digit(hex[2 * i]);
        const unsigned l = lenient_digit(hex[2 * i + 1]);
        // Only the low nibble of h survives the shift; l is added whole.
        out[i] = static_cast<uint8_t>(((h * 16) & 0xFFu) + l);
    }
}

void HexToStr(char *out, const uint8_t *bytes, int count)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    out[count > 0 ? 2 * count : 0] = '\0';
}
