// Frame dispatch, and the linear-buffer assembly of frames and wheel-sensor
// records.
//
// A frame is A3 20 Lh Ll, L bytes, then its CRC-16 high byte first: L + 6
// bytes. Frame byte 10 is the type, bytes 11-12 the radio prefix, byte 13 the
// command, the payload follows. Both dispatchers take a frame in radio form:
// the two prefix bytes, then the whole frame, L + 8 bytes; in their comments
// "frame byte k" is buf[k + 2]. Every function here returns 0 unless stated
// otherwise; only the radio pump looks at a result (to count the frame).
//
// Nothing here reads or writes outside the buffers and counts it is given,
// whatever bytes arrive.
#pragma once

#include <cstdint>

#include "runtime/state.h"

// Capacity of the caller-owned accumulation buffer of the linear path.
constexpr int LINEAR_BUF_SIZE = 131072;

// What became of a frame from a radio module.
enum frame_fate {
    FRAME_IGNORED = 0,  // a type the gateway does nothing with, or too short
    FRAME_RELAYED = 1,  // written whole to the server
    FRAME_HANDLED = 2,  // acted on by the gateway itself (types 0 and 2)
    FRAME_UNSENT = 3,   // for the server, but the link was down or the write failed
};

// A frame from a radio module, in radio form (len = L + 8). By frame type:
//   0  module setting, under the 434 MHz module's key lock: the whole radio
//      form to w433_other_fd; frame byte 14 changed from 0xAB to 0xAF in buf;
//      100 ms; frame bytes 14 .. L+3 (the embedded module command, none when
//      L <= 10) to w433_other_fd; then "433 set".
//   1, 5  the frame (buf + 2, len - 2) to the server while the link is up.
//   2  the frame as hexadecimal text (at most its first 513 bytes) handed
//      to the SMS thread, which sends it 4 s later by SMS to the latest SMS
//      sender; never waits on the modem.
//   3, 4, 6-255  nothing.
// A frame too short for its type byte (len < 13) is dropped. The caller logs
// the frame ("from device:") after the call and sees the changed byte.
int comand_process_from_device(gateway_context *ctx, uint8_t *buf, int len);

// A frame from the server, in radio form (len = L + 8). By frame type:
//   0  sever_cmd_process.
//   1, 4  keyed transmission of the radio form on board.gpio_key_other to
//      w433_other_fd, logged "from server to other:" with the frame (without
//      the prefix).
//   5  the same on board.gpio_key_ludeng to w433_ludeng_fd, logged
//      "from server to ludeng:".
//   2, 3, 6-255  nothing.
// A frame too short for its type byte (len < 13) is dropped.
int comand_process_from_server(gateway_context *ctx, uint8_t *buf, int len,
                               int *heartbeat_miss_count);

// A type-0 frame from the server, by command byte (frame byte 13):
//   3  modem reset: board.gpio_modem_reset low, 1 s, high, then "model reset".
//   7  heartbeat response: *heartbeat_miss_count = 0, then
//      "reiceive server heartbeat response".
//   any other value, or a frame too short for its command byte (len < 16):
//      nothing.
int sever_cmd_process(uint8_t *buf, int len, int *heartbeat_miss_count);

// Looks for a frame at the very front of src (*src_count bytes).
// Bytes in front of the first A3 20 pair are dropped first, one line
// "sourcecounter=<count at entry>" for each. A frame is found when its L + 6
// bytes (L >= 12) are all there and its CRC holds either on the wire
// convention (CRC of the first L + 4 bytes, high byte first) or the other
// one (CRC of all L + 6 bytes with FF FF in the CRC field, low byte first).
// Found: out = the frame in radio form, *out_len = L + 8, the frame removed
// from the front of src; returns 1. Otherwise returns 0 with only the
// dropped bytes gone. out must hold *src_count + 2 bytes: the bytes are
// copied there while they are examined.
int find_frame(uint8_t *src, int *src_count, uint8_t *out, int *out_len);

// Append n bytes to the accumulation buffer acc (LINEAR_BUF_SIZE bytes,
// *count of them in use; past the capacity the oldest bytes go), then
// dispatch every whole valid frame in it, in order, and keep what is left:
//  - bytes in front of the first A3 20 pair are dropped (a lone A3 as the
//    last byte too);
//  - a frame is looked for at every A3 20 pair as find_frame does; when one
//    is found, it and everything before it go, and the scan starts again.
// The device variant hands each frame to comand_process_from_device and then
// logs it, radio prefix included, as "from device:"; the server variant hands
// it to comand_process_from_server. Both return the new *count.
int construct_frame_from_device(gateway_context *ctx, const uint8_t *data, int n, int *count,
                                uint8_t *acc);
int construct_frame_from_server(gateway_context *ctx, const uint8_t *data, int n, int *count,
                                uint8_t *acc, int *heartbeat_miss_count);

// Collects wheel-sensor records from a byte stream: an 'A' ' ' (41 20) pair
// within one call starts a record (afresh if one was being collected), and
// the record is 41 20 and the five bytes after the pair. Each complete
// record is logged as "whell:" and sent to the server, while the link is up,
// as a 25-byte type-1 wheel frame (command 4). *flag (1 while collecting),
// *count (record bytes held) and record (7 bytes) carry over between calls.
// Returns n.
int construct_frame_for_whell(gateway_context *ctx, const uint8_t *data, int n, int *flag,
                              int *count, uint8_t *record);
