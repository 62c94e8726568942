#include "protocol/crc16.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

// The bitwise definition, result bytes exchanged like crc16's.
static uint16_t crc16_bitwise(const uint8_t *p, uint32_t len)
{
    uint16_t crc = 0xFFFF;
    for (uint32_t i = 0; i < 8 * len; i++) {
        crc = static_cast<uint16_t>(crc ^ (i % 8 ? 0 : p[i / 8]));
        crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return static_cast<uint16_t>((crc << 8) | (crc >> 8));
}

static const uint8_t *u8(const char *s)
{
    return reinterpret_cast<const uint8_t *>(s);
}

// The low byte of the result goes first on the wire: "123456789" -> 4B 37.
// fifocrc16 is checked against crc16 by the frame extraction tests.
TEST(Crc16, WorkedValuesAndTheBitwiseDefinition)
{
    const uint8_t hb[] = {0xA3, 0x20, 0x00, 0x13, 0,    0, 0, 0, 0, 0,    0x00, 0x01,
                          0x01, 0x06, 0x85, 0x01, 0xC6, 0, 0, 0, 0, 0x01, 0x01};
    EXPECT_EQ(crc16(u8("123456789"), 9), 0x374B);
    EXPECT_EQ(crc16(u8("abc"), 3), 0x4957);
    EXPECT_EQ(crc16(hb, sizeof hb), 0xA8FD);
    EXPECT_EQ(crc16(nullptr, 0), 0xFFFF);
    EXPECT_EQ(modcrc(u8("\xFF\xFF"), 2), 0xFE);
    EXPECT_EQ(modcrc(u8("\xAF\xAF\x00\x00\xAF\x80\x15\x02\x01\x00"), 10), 0xA5);
    std::mt19937 rng(1234);
    std::vector<uint8_t> buf(3000);
    for (int round = 0; round < 500; round++) {
        for (auto &b : buf)
            b = static_cast<uint8_t>(rng());
        const uint32_t len = rng() % 3000;
        ASSERT_EQ(crc16(buf.data(), len), crc16_bitwise(buf.data(), len)) << len;
    }
}
