// CRC-16/MODBUS, table-driven four bytes a step, and the radio command
// checksum.
#include "protocol/crc16.h"

#include <array>

#include "protocol/kfifo.h"

namespace {

using crc_tables = std::array<std::array<uint16_t, 256>, 4>;

// t[0][b] is the CRC register after shifting the byte b through the eight
// bitwise steps (reflected polynomial 0xA001) from a zero register, so one
// byte step is crc = (crc >> 8) ^ t[0][(crc ^ b) & 0xFF]. t[k][b] is the same
// for b followed by k zero bytes: it lets four bytes be folded in with four
// independent look-ups instead of a chain of four.
constexpr crc_tables make_crc_tables()
{
    crc_tables t{};
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t crc = b;
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
        t[0][b] = static_cast<uint16_t>(crc);
    }
    for (uint32_t k = 1; k < 4; k++)
        for (uint32_t b = 0; b < 256; b++)
            t[k][b] = static_cast<uint16_t>((t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF]);
    return t;
}

constexpr crc_tables crc_table = make_crc_tables();

static_assert(crc_table[0][1] == 0xC0C1 && crc_table[0][255] == 0x4040, "CRC-16/MODBUS table");

// Four bytes per step while they last, then single bytes. The register is
// 16 bits wide, so it meets only the first two of the four bytes; the other
// two enter their look-ups as plain data.
uint32_t crc16_update(uint32_t crc, const uint8_t *p, uint32_t len)
{
    for (; len >= 4; len -= 4, p += 4) {
        const uint32_t x =
            crc ^ (p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
                   static_cast<uint32_t>(p[3]) << 24);
        crc = crc_table[3][x & 0xFF] ^ crc_table[2][(x >> 8) & 0xFF] ^
              crc_table[1][(x >> 16) & 0xFF] ^ crc_table[0][x >> 24];
    }
    while (len--)
        crc = (crc >> 8) ^ crc_table[0][(crc ^ *p++) & 0xFF];
    return crc;
}

uint16_t crc16_swap(uint32_t crc)
{
    return static_cast<uint16_t>(((crc & 0xFF) << 8) | ((crc >> 8) & 0xFF));
}

}  // namespace

uint16_t crc16(const uint8_t *data, uint32_t len)
{
    return crc16_swap(crc16_update(0xFFFF, data, len));
}

void frame_seal(uint8_t *frame, uint32_t len)
{
    const uint16_t crc = crc16(frame, len);
    frame[len] = static_cast<uint8_t>(crc & 0xFF);  // the CRC's high byte
    frame[len + 1] = static_cast<uint8_t>(crc >> 8);
}

// Reads the ring in place, in contiguous runs: one, or two when the bytes
// pass the end of the storage (len never exceeds the capacity here).
uint16_t fifocrc16(const kfifo *fifo, uint32_t len, uint32_t pos)
{
    const uint32_t size = fifo->mask + 1;
    uint32_t crc = 0xFFFF;

    while (len) {
        const uint32_t off = pos & fifo->mask;
        const uint32_t l = min(len, size - off);

        crc = crc16_update(crc, fifo->data + off, l);
        pos += l;
        len -= l;
    }
    return crc16_swap(crc);
}

int modcrc(const uint8_t *buf, uint32_t len)
{
    uint32_t sum = 0;

    while (len--)
        sum += *buf++;
    return static_cast<int>(sum & 0xFF);
}
