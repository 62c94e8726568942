#include "board/strtohex.h"

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

using Bytes = std::vector<uint8_t>;

// hexToStr: result code and the first 3 bytes of a buffer filled with 0xEE.
TEST(HexText, StrictFamily)
{
    const std::tuple<const char *, int, Bytes> cases[] = {
        {"0aF1", 0, {0x0A, 0xF1, 0}},
        {"", 0, {0, 0xEE, 0xEE}},
        {"ABC", -2, {0xEE, 0xEE, 0xEE}},
        {"1234/0", -3, {0x12, 0x34, 0}},
        {"12:0", -3, {0x12, 0, 0xEE}},
        {"12\xC1\x30", -3, {0x12, 0, 0xEE}},  // a byte above 0x7F is no digit either
        {"1GzZ", 0, {0x20, 0x53, 0}},         // wraps mod 256
    };
    for (const auto &[hex, rc, want] : cases) {
        Bytes out(16, 0xEE);
        EXPECT_EQ(hexToStr(hex, out.data()), rc) << hex;
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), want) << hex;
    }
    char text[8] = "xxxxxxx";
    EXPECT_EQ(strToHex("", text), -2);
    EXPECT_EQ(text[0], 'x');
    EXPECT_EQ(strToHex("A\xFF\x80", text), 0);  // no sign extension
    EXPECT_STREQ(text, "41FF80");
    uint8_t b[2];
    EXPECT_EQ(std::vector<int>({strToHex(nullptr, text), strToHex("A", nullptr),
                                hexToStr(nullptr, b), hexToStr("12", nullptr)}),
              std::vector<int>(4, -1));
    EXPECT_EQ(valueToHexCh(16), '\0');
    EXPECT_EQ(valueToHexCh(-1), '\0');
}

// StrToHex reads exactly 2 * count characters and writes no terminator; any
// byte is a digit of some value, so an out-of-range low digit carries.
TEST(HexText, LenientFamily)
{
    const std::pair<const char *, uint8_t> rows[] = {{"aF", 0xAF}, {"1G", 0x20}, {"zz", 0x53},
                                                     {" 0", 0x90}, {"0@", 0x09}, {"0", 0xC9}};
    for (auto [text, want] : rows) {
        uint8_t out[2] = {0, 0xEE};
        StrToHex(out, text, 1);
        EXPECT_EQ(Bytes(out, out + 2), (Bytes{want, 0xEE})) << text;
    }
    char text[8] = "xxxxxxx";
    const uint8_t in[] = {0x00, 0x9F, 0xA0};
    HexToStr(text, in, 0);
    EXPECT_EQ(std::string(text, 2), std::string("\0x", 2));
    HexToStr(text, in, 3);
    EXPECT_STREQ(text, "009FA0");
}
