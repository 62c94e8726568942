#include "peers/hex.h"

namespace {

const char DIGITS[] = "0123456789ABCDEF";

// The value of one hex digit of either case, -1 for any other character.
int digit_value(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

}  // namespace

std::string hex(const uint8_t *p, size_t n, std::string_view between)
{
    std::string s;
    s.reserve(n * (2 + between.size()));
    for (size_t i = 0; i < n; ++i) {
        if (i > 0)
            s += between;
        s += DIGITS[p[i] >> 4];
        s += DIGITS[p[i] & 0x0F];
    }
    return s;
}

std::string hex(const bytes &b, std::string_view between)
{
    return hex(b.data(), b.size(), between);
}

bool parse_hex(std::string_view text, bytes *out)
{
    out->clear();
    int high = -1;  // the first digit of a byte not yet complete
    for (char ch : text) {
        if (ch == ' ' || ch == '\t')
            continue;
        const int d = digit_value(ch);
        if (d < 0) {
            out->clear();
            return false;
        }
        if (high < 0) {
            high = d;
        } else {
            out->push_back(static_cast<uint8_t>(high << 4 | d));
            high = -1;
        }
    }
    if (high >= 0 || out->empty()) {
        out->clear();
        return false;
    }
    return true;
}
