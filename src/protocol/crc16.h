// Checksums of the wire protocol.
//
// The frame CRC is CRC-16/MODBUS (reflected polynomial 0xA001, initial value
// 0xFFFF, no final XOR). crc16 and fifocrc16 return it with its two bytes
// exchanged: bits 0-7 hold the CRC's high byte and bits 8-15 its low byte,
// so storing the result low byte first puts the CRC on the wire high byte
// first, as frames carry it. The CRC of no bytes is 0xFFFF.
#pragma once

#include <cstdint>

struct kfifo;

// CRC of len bytes at data, bytes exchanged.
uint16_t crc16(const uint8_t *data, uint32_t len);

// The same CRC over len bytes queued in a byte ring from running position
// pos on (positions wrap through the ring's mask). Nothing is taken out.
uint16_t fifocrc16(const kfifo *fifo, uint32_t len, uint32_t pos);

// Radio module command checksum: the sum of the bytes modulo 256 (0..255).
int modcrc(const uint8_t *buf, uint32_t len);
