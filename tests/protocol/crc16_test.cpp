#include "protocol/crc16.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "protocol/kfifo.h"

namespace {

// The bitwise definition, result bytes exchanged like crc16's.
uint16_t crc16_bitwise(const uint8_t *p, uint32_t len)
{
    uint16_t crc = 0xFFFF;
    for (uint32_t i = 0; i < len; i++) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return static_cast<uint16_t>((crc << 8) | (crc >> 8));
}

// Wire order: bits 0-7 first.
std::vector<uint8_t> wire(uint16_t c)
{
    return {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)};
}

}  // namespace

TEST(Crc16, WorkedValues)
{
    const uint8_t hb[] = {0xA3, 0x20, 0x00, 0x13, 0, 0, 0, 0, 0, 0, 0x00, 0x01,
                          0x01, 0x06, 0x85, 0x01, 0xC6, 0, 0, 0, 0, 0x01, 0x01};
    EXPECT_EQ(wire(crc16(reinterpret_cast<const uint8_t *>("123456789"), 9)),
              (std::vector<uint8_t>{0x4B, 0x37}));
    EXPECT_EQ(wire(crc16(reinterpret_cast<const uint8_t *>("abc"), 3)),
              (std::vector<uint8_t>{0x57, 0x49}));
    EXPECT_EQ(wire(crc16(hb, sizeof hb)), (std::vector<uint8_t>{0xFD, 0xA8}));
    EXPECT_EQ(crc16(nullptr, 0), 0xFFFF);
}

TEST(Crc16, TableMatchesBitwiseOnRandomData)
{
    std::mt19937 rng(1234);
    std::vector<uint8_t> buf(3000);
    for (int round = 0; round < 300; round++) {
        for (auto &b : buf)
            b = static_cast<uint8_t>(rng());
        const uint32_t len = rng() % buf.size();
        ASSERT_EQ(crc16(buf.data(), len), crc16_bitwise(buf.data(), len)) << "len " << len;
    }
}

// fifocrc16 over bytes queued at any position, wrapped or not, equals crc16
// over the same bytes laid out flat, and takes nothing from the ring.
TEST(Crc16, FifoCrcMatchesFlatCrcAcrossWrap)
{
    std::mt19937 rng(99);
    uint8_t storage[64];
    kfifo f;
    ASSERT_EQ(__kfifo_init(&f, storage, sizeof storage, 1), 0);
    for (auto &b : storage)
        b = static_cast<uint8_t>(rng());
    for (int round = 0; round < 500; round++) {
        const uint32_t pos = rng();  // any running count, near 2^32 included
        const uint32_t len = rng() % 65;
        std::vector<uint8_t> flat(len);
        for (uint32_t i = 0; i < len; i++)
            flat[i] = storage[(pos + i) & 63];
        f.in = pos + len;
        f.out = pos;
        ASSERT_EQ(fifocrc16(&f, len, pos), crc16_bitwise(flat.data(), len));
        ASSERT_EQ(f.out, pos);
    }
}

TEST(Crc16, ModcrcIsByteSumModulo256)
{
    const uint8_t ff[] = {0xFF, 0xFF};
    const uint8_t netid1[] = {0xAF, 0xAF, 0x00, 0x00, 0xAF, 0x80, 0x15, 0x02, 0x01, 0x00};
    EXPECT_EQ(modcrc(nullptr, 0), 0);
    EXPECT_EQ(modcrc(ff, 2), 0xFE);
    EXPECT_EQ(modcrc(netid1, sizeof netid1), 0xA5);
}
