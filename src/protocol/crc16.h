// The wire frame's layout and the checksums of the wire protocol.
//
// A frame is A3 20, a 16-bit length L (high byte first), L bytes, then the
// CRC-16 of everything before it, high byte first: L + 6 bytes. Of the L
// bytes, a frame that carries them (L >= 10) has the device address at
// bytes 4-9, the type at byte 10, the radio prefix at bytes 11-12, the
// command at byte 13 and the payload from byte 14 on. The radio form, in
// which frames are written to a radio module and handed to the dispatchers,
// is a copy of the radio prefix followed by the whole frame: L + 8 bytes.
//
// The frame CRC is CRC-16/MODBUS (reflected polynomial 0xA001, initial value
// 0xFFFF, no final XOR). crc16 and fifocrc16 return it with its two bytes
// exchanged: bits 0-7 hold the CRC's high byte and bits 8-15 its low byte,
// so storing the result low byte first puts the CRC on the wire high byte
// first, as frames carry it. The CRC of no bytes is 0xFFFF.
#pragma once

#include <cstdint>

// ---- frame layout (offsets from the frame's first byte) ----

constexpr uint8_t FRAME_START0 = 0xA3;
constexpr uint8_t FRAME_START1 = 0x20;
constexpr int FRAME_LEN_AT = 2;      // L, high byte first
constexpr int FRAME_ADDR_AT = 4;     // device address
constexpr int FRAME_ADDR_LEN = 6;    // its length
constexpr int FRAME_TYPE_AT = 10;    // what the receiver does with the frame
constexpr int FRAME_PREFIX_AT = 11;  // radio prefix, two bytes
constexpr int FRAME_COMMAND_AT = 13;
constexpr int FRAME_PAYLOAD_AT = 14;
constexpr int FRAME_HEADER = 4;    // start bytes and length: the CRC covers L + 4 bytes
constexpr int FRAME_CRC_LEN = 2;   // the CRC, high byte first
constexpr int FRAME_OVERHEAD = 6;  // header and CRC: a frame is L + 6 bytes
constexpr int FRAME_MAX = 0xFFFF + FRAME_OVERHEAD;  // the largest frame (L = 65535)
// The radio form: the prefix copy, then the frame, so frame byte k is
// form byte k + RADIO_PREFIX_LEN.
constexpr int RADIO_PREFIX_LEN = 2;

static_assert(FRAME_HEADER + FRAME_CRC_LEN == FRAME_OVERHEAD, "a frame is L + 6 bytes");
static_assert(FRAME_LEN_AT + 2 == FRAME_HEADER && FRAME_ADDR_AT == FRAME_HEADER,
              "the address follows the length field");
static_assert(FRAME_ADDR_AT + FRAME_ADDR_LEN == FRAME_TYPE_AT &&
                  FRAME_PREFIX_AT + RADIO_PREFIX_LEN == FRAME_COMMAND_AT &&
                  FRAME_COMMAND_AT + 1 == FRAME_PAYLOAD_AT,
              "address, type, prefix, command and payload follow each other");

// ---- checksums ----

struct kfifo;

// CRC of len bytes at data, bytes exchanged.
uint16_t crc16(const uint8_t *data, uint32_t len);

// Seals a frame: stores the CRC-16 of its first `len` bytes (L + 4 for a
// whole frame) right after them, at frame[len] (high byte) and
// frame[len + 1] (low byte). frame must hold len + 2 bytes.
void frame_seal(uint8_t *frame, uint32_t len);

// The same CRC over len bytes queued in a byte ring from running position
// pos on (positions wrap through the ring's mask). Nothing is taken out.
uint16_t fifocrc16(const kfifo *fifo, uint32_t len, uint32_t pos);

// Radio module command checksum: the sum of the bytes modulo 256 (0..255).
int modcrc(const uint8_t *buf, uint32_t len);
