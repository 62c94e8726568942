#include "board/strtohex.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

// hexToStr into a buffer pre-filled with 0xEE; returns the result code and
// the first `keep` bytes of the buffer.
std::pair<int, Bytes> strict(const char *hex, size_t keep)
{
    Bytes out(16, 0xEE);
    int rc = hexToStr(hex, out.data());
    return {rc, Bytes(out.begin(), out.begin() + keep)};
}

uint8_t lenient(char hi, char lo)
{
    const char text[2] = {hi, lo};  // no terminator: exactly 2 chars are read
    uint8_t out = 0;
    StrToHex(&out, text, 1);
    return out;
}

}  // namespace

TEST(HexText, DigitHelpers)
{
    const std::pair<char, int> digits[] = {{'0', 0},   {'9', 9},   {'a', 10}, {'F', 15},
                                           {'g', 16},  {'z', 35},  {'Z', 35}, {'/', -1},
                                           {':', -1},  {'@', -1},  {'[', -1}, {'`', -1},
                                           {'{', -1},  {'\0', -1}, {'\xC1', -1}, {'\xFF', -1}};
    for (auto [c, v] : digits)
        EXPECT_EQ(hexCharToValue(c), v) << int(c);
    EXPECT_EQ(valueToHexCh(9), '9');
    EXPECT_EQ(valueToHexCh(10), 'A');
    EXPECT_EQ(valueToHexCh(15), 'F');
    EXPECT_EQ(valueToHexCh(16), '\0');
    EXPECT_EQ(valueToHexCh(-1), '\0');
}

TEST(HexText, StrictFamilyResults)
{
    EXPECT_EQ(strict("0102030405A6", 7), std::make_pair(0, Bytes{1, 2, 3, 4, 5, 0xA6, 0}));
    EXPECT_EQ(strict("0102030405a6", 7), std::make_pair(0, Bytes{1, 2, 3, 4, 5, 0xA6, 0}));
    EXPECT_EQ(strict("", 2), std::make_pair(0, Bytes{0, 0xEE}));
    EXPECT_EQ(strict("ABC", 1), std::make_pair(-2, Bytes{0xEE}));
    EXPECT_EQ(strict("12-4", 3), std::make_pair(-3, Bytes{0x12, 0, 0xEE}));
    EXPECT_EQ(strict("1234:0", 3), std::make_pair(-3, Bytes{0x12, 0x34, 0}));
    // Letters past 'f' are digits 16..35; the byte wraps modulo 256.
    EXPECT_EQ(strict("12G4", 3), std::make_pair(0, Bytes{0x12, 0x04, 0}));
    EXPECT_EQ(strict("1GG0zz", 3), std::make_pair(0, Bytes{0x20, 0x00, 0x53}));
    uint8_t b[4];
    EXPECT_EQ(hexToStr(nullptr, b), -1);
    EXPECT_EQ(hexToStr("12", nullptr), -1);

    char text[8] = "xxxxxxx";
    EXPECT_EQ(strToHex("", text), -2);
    EXPECT_EQ(text[0], 'x');
    EXPECT_EQ(strToHex("A1", text), 0);
    EXPECT_STREQ(text, "4131");
    EXPECT_EQ(strToHex("\xFF\x80", text), 0);  // no sign extension
    EXPECT_STREQ(text, "FF80");
    EXPECT_EQ(strToHex(nullptr, text), -1);
    EXPECT_EQ(strToHex("A", nullptr), -1);
}

TEST(HexText, LenientFamily)
{
    EXPECT_EQ(lenient('a', 'F'), 0xAF);
    EXPECT_EQ(lenient('1', 'G'), 0x20);  // an out-of-range low digit carries
    EXPECT_EQ(lenient('G', 'G'), 0x10);
    EXPECT_EQ(lenient('z', 'z'), 0x53);
    EXPECT_EQ(lenient(' ', '0'), 0x90);
    EXPECT_EQ(lenient('0', ':'), 0x03);
    EXPECT_EQ(lenient('0', '@'), 0x09);
    EXPECT_EQ(lenient('0', ' '), 0xE9);
    EXPECT_EQ(lenient('0', '\0'), 0xC9);

    Bytes out(3, 0xEE);
    StrToHex(out.data(), "a3f0", 2);
    StrToHex(out.data(), "ff", 0);
    EXPECT_EQ(out, (Bytes{0xA3, 0xF0, 0xEE}));  // no terminator written

    char text[8] = "xxxxxxx";
    const uint8_t in[] = {0x00, 0x9F, 0xA0};
    HexToStr(text, in, 0);
    EXPECT_EQ(std::string(text, 2), std::string("\0x", 2));
    HexToStr(text, in, 3);
    EXPECT_STREQ(text, "009FA0");
}

TEST(HexText, FamiliesAgreeOnRandomValidText)
{
    std::mt19937 rng(20240611);
    const char digits[] = "0123456789abcdefABCDEF";
    for (int round = 0; round < 500; ++round) {
        const size_t n = rng() % 40;
        Bytes raw(n);
        for (auto &b : raw)
            b = static_cast<uint8_t>(rng());
        std::vector<char> text(2 * n + 1);
        HexToStr(text.data(), raw.data(), static_cast<int>(n));
        Bytes back(n + 1, 0xEE);
        ASSERT_EQ(hexToStr(text.data(), back.data()), 0);
        ASSERT_EQ(back, [&] { Bytes r = raw; r.push_back(0); return r; }());

        // Mixed case; StrToHex reads from an exact-size, unterminated copy.
        std::string mixed(2 * n, '0');
        for (auto &c : mixed)
            c = digits[rng() % (sizeof digits - 1)];
        std::vector<char> exact(mixed.begin(), mixed.end());
        Bytes loose(n);
        ASSERT_EQ(hexToStr(mixed.c_str(), back.data()), 0);
        StrToHex(loose.data(), exact.data(), static_cast<int>(n));
        ASSERT_EQ(loose, Bytes(back.begin(), back.begin() + n)) << mixed;
    }
}
