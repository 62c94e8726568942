#include "protocol/protocol.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

#include "board/board.h"
#include "board/gpio.h"
#include "board/log.h"
#include "board/strtohex.h"
#include "board/timebase.h"
#include "modem/message.h"
#include "protocol/crc16.h"
#include "radio/w433config.h"
#include "runtime/connect.h"

namespace {

// Offsets in the radio form: frame byte k is buf[k + 2].
constexpr int FORM_PREFIX = RADIO_PREFIX_LEN;
constexpr int FORM_TYPE = FORM_PREFIX + FRAME_TYPE_AT;
constexpr int FORM_COMMAND = FORM_PREFIX + FRAME_COMMAND_AT;
constexpr int FORM_PAYLOAD = FORM_PREFIX + FRAME_PAYLOAD_AT;
// The radio form minus what follows the embedded command: prefix, frame
// bytes 0-13 and the two CRC bytes.
constexpr int FORM_NON_COMMAND = FORM_PAYLOAD + FRAME_CRC_LEN;

// The linear finder never looks at frames shorter than this (L below 12).
constexpr int LINEAR_FRAME_MIN = 18;

constexpr uint8_t RADIO_CMD_START = 0xAF;  // start byte of a module command
constexpr uint8_t RADIO_CMD_ALIAS = 0xAB;  // sent in its place by the devices

constexpr int SMS_TEXT_SIZE = 1028;
// Bytes whose hexadecimal text and NUL fit the SMS text buffer.
constexpr int SMS_MAX_BYTES = (SMS_TEXT_SIZE - 1) / 2;

enum : uint8_t {
    TYPE_COMMAND = 0,  // setting (from a radio) / gateway command (from the server)
    TYPE_OTHER = 1,
    TYPE_SMS = 2,
    TYPE_OTHER_TOO = 4,
    TYPE_LUDENG = 5,
};

enum : uint8_t {
    CMD_MODEM_RESET = 3,
    CMD_HEARTBEAT_RESPONSE = 7,
};

void write_ignored(int fd, const uint8_t *data, int len)
{
    ssize_t ignored = write(fd, data, static_cast<size_t>(len));
    (void)ignored;
}

// One bitwise CRC-16/MODBUS step over byte b, on the register as it runs
// (not byte-exchanged).
uint32_t crc_register_step(uint32_t reg, uint8_t b)
{
    reg ^= b;
    for (int bit = 0; bit < 8; bit++)
        reg = (reg & 1) ? (reg >> 1) ^ 0xA001 : reg >> 1;
    return reg;
}

// The length (L + 6) of the frame at p when a whole frame with a valid CRC
// starts there within avail bytes, else 0. p must begin with A3 20. Two CRC
// conventions are accepted:
//  - the wire's: CRC of the first n - 2 bytes, high byte first;
//  - the other: CRC of all n bytes taken with FF FF in the CRC field, low
//    byte first. That is the first CRC continued over two 0xFF bytes, so
//    one pass over the frame serves both.
// Reads only p[0 .. n).
int linear_frame_at(const uint8_t *p, int avail)
{
    if (avail < LINEAR_FRAME_MIN)
        return 0;
    const int n = p[FRAME_LEN_AT] * 256 + p[FRAME_LEN_AT + 1] + FRAME_OVERHEAD;
    if (n < LINEAR_FRAME_MIN || n > avail)
        return 0;

    const uint16_t swapped = crc16(p, static_cast<uint32_t>(n - FRAME_CRC_LEN));
    const uint32_t wire = static_cast<uint32_t>((swapped & 0xFF) << 8 | swapped >> 8);
    if (p[n - 2] == (wire >> 8) && p[n - 1] == (wire & 0xFF))
        return n;

    const uint32_t other = crc_register_step(crc_register_step(wire, 0xFF), 0xFF);
    if (p[n - 2] == (other & 0xFF) && p[n - 1] == (other >> 8))
        return n;
    return 0;
}

bool starts_pair(const uint8_t *p, int avail)
{
    return avail >= 2 && p[0] == FRAME_START0 && p[1] == FRAME_START1;
}

// Puts the n-byte frame at frame into radio form at form (n + 2 bytes).
void radio_form(uint8_t *form, const uint8_t *frame, int n)
{
    std::memcpy(form + FORM_PREFIX, frame, static_cast<size_t>(n));
    form[0] = frame[FRAME_PREFIX_AT];
    form[1] = frame[FRAME_PREFIX_AT + 1];
}

// Appends n bytes to acc (*count in use, LINEAR_BUF_SIZE at most). When they
// do not fit, the oldest bytes go: acc keeps the newest LINEAR_BUF_SIZE bytes
// of its old content followed by data, as if each byte had been appended
// singly with the oldest dropped whenever the buffer was full.
void linear_append(uint8_t *acc, int *count, const uint8_t *data, int n)
{
    int held = *count < 0 ? 0 : (*count > LINEAR_BUF_SIZE ? LINEAR_BUF_SIZE : *count);
    if (data == nullptr || n <= 0) {
        *count = held;
        return;
    }
    if (n >= LINEAR_BUF_SIZE) {
        std::memcpy(acc, data + (n - LINEAR_BUF_SIZE), LINEAR_BUF_SIZE);
        *count = LINEAR_BUF_SIZE;
        return;
    }
    const int excess = held + n - LINEAR_BUF_SIZE;
    if (excess > 0) {
        std::memmove(acc, acc + excess, static_cast<size_t>(held - excess));
        held -= excess;
    }
    std::memcpy(acc + held, data, static_cast<size_t>(n));
    *count = held + n;
}

// The scan shared by both assembly paths. Instead of dropping bytes one at a
// time and copying the tail to a work buffer for every try, it keeps the
// offset `front` of the logical buffer start and tests candidates in place;
// frames, their order and the bytes left are the same. Each frame found is
// copied into radio form and handed to dispatch(form, n + 2).
template <typename Dispatch>
int linear_scan(const uint8_t *data, int n, int *count, uint8_t *acc, Dispatch dispatch)
{
    linear_append(acc, count, data, n);
    const int held = *count;
    int front = 0;
    // The dispatchers may change the form, so each frame is copied out of
    // acc before it is handed on.
    uint8_t form[FRAME_MAX + FORM_PREFIX];

    for (;;) {
        // Until a start pair is met, leading bytes are dropped.
        while (front < held && !starts_pair(acc + front, held - front))
            front++;
        if (front >= held)
            break;

        int frame_len = 0, pos = front;
        for (; pos < held; pos++) {
            if (starts_pair(acc + pos, held - pos) &&
                (frame_len = linear_frame_at(acc + pos, held - pos)) != 0)
                break;
        }
        if (frame_len == 0)
            break;  // the candidates stay for the next call

        radio_form(form, acc + pos, frame_len);
        dispatch(form, frame_len + FORM_PREFIX);
        front = pos + frame_len;
    }

    std::memmove(acc, acc + front, static_cast<size_t>(held - front));
    *count = held - front;
    return *count;
}

constexpr int WHEEL_RECORD_LEN = 7;
constexpr int WHEEL_FRAME_LEN = 25;  // L = 19
constexpr uint8_t CMD_WHEEL_REPORT = 4;

// The wheel frame of a 7-byte record, 25 bytes with its CRC: the record's
// first six bytes as the address (its bytes 4-5 again as the radio prefix),
// type 1, command 4, a fixed payload ending in the record's last byte.
void wheel_frame(uint8_t *frame, const uint8_t *record)
{
    static constexpr uint8_t payload[] = {0x86, 0x01, 0xC7, 0x00, 0x00, 0x00, 0x00, 0x01};
    frame[0] = FRAME_START0;
    frame[1] = FRAME_START1;
    frame[FRAME_LEN_AT] = 0x00;
    frame[FRAME_LEN_AT + 1] = WHEEL_FRAME_LEN - FRAME_OVERHEAD;
    std::memcpy(frame + FRAME_ADDR_AT, record, FRAME_ADDR_LEN);
    frame[FRAME_TYPE_AT] = TYPE_OTHER;
    frame[FRAME_PREFIX_AT] = record[4];
    frame[FRAME_PREFIX_AT + 1] = record[5];
    frame[FRAME_COMMAND_AT] = CMD_WHEEL_REPORT;
    std::memcpy(frame + FRAME_PAYLOAD_AT, payload, sizeof payload);
    frame[FRAME_PAYLOAD_AT + sizeof payload] = record[6];
    static_assert(FRAME_PAYLOAD_AT + sizeof payload + 1 + FRAME_CRC_LEN == WHEEL_FRAME_LEN,
                  "the wheel frame is 25 bytes");
    frame_seal(frame, WHEEL_FRAME_LEN - FRAME_CRC_LEN);
}

}  // namespace

int comand_process_from_device(gateway_context *ctx, uint8_t *buf, int len)
{
    if (buf == nullptr || len <= FORM_TYPE)
        return FRAME_IGNORED;

    switch (buf[FORM_TYPE]) {
    case TYPE_COMMAND: {
        // The 434 MHz module also takes keyed transmissions from other
        // threads; its key lock keeps the two writes of a setting together
        // and out of their key windows.
        std::lock_guard<std::mutex> hold(transmit_key_lock(board.gpio_key_other));
        write_ignored(ctx->w433_other_fd, buf, len);
        // The devices send 0xAB where the module expects its start byte.
        if (len > FORM_PAYLOAD && buf[FORM_PAYLOAD] == RADIO_CMD_ALIAS)
            buf[FORM_PAYLOAD] = RADIO_CMD_START;
        gw_usleep(100000);
        if (len > FORM_NON_COMMAND)
            write_ignored(ctx->w433_other_fd, buf + FORM_PAYLOAD, len - FORM_NON_COMMAND);
        std::puts("433 set");
        return FRAME_HANDLED;
    }
    case TYPE_OTHER:
    case TYPE_LUDENG: {
        const size_t n = static_cast<size_t>(len - FORM_PREFIX);
        return server_write(ctx, buf + FORM_PREFIX, n) == static_cast<ssize_t>(n) ? FRAME_RELAYED
                                                                                  : FRAME_UNSENT;
    }
    case TYPE_SMS: {
        // The SMS thread sends the text 4 s from now to the latest sender:
        // the radio pump never waits on the modem.
        char text[SMS_TEXT_SIZE];
        const int bytes = len - FORM_PREFIX;
        HexToStr(text, buf + FORM_PREFIX, bytes < SMS_MAX_BYTES ? bytes : SMS_MAX_BYTES);
        (void)sms_forward_queue(text);
        return FRAME_HANDLED;
    }
    default: return FRAME_IGNORED;
    }
}

int comand_process_from_server(gateway_context *ctx, uint8_t *buf, int len,
                               int *heartbeat_miss_count)
{
    server_counters &sc = gw_counters.server;
    if (buf == nullptr)
        return 0;
    counter_add(sc.frames_received);
    if (len <= FORM_TYPE) {
        counter_add(sc.frames_ignored);
        return 0;
    }

    switch (buf[FORM_TYPE]) {
    case TYPE_COMMAND:
        counter_add(sc.frames_commands);
        sever_cmd_process(buf, len, heartbeat_miss_count);
        break;
    case TYPE_OTHER:
    case TYPE_OTHER_TOO:
        keyed_transmit(board.gpio_key_other, ctx->w433_other_fd, buf, len, buf + FORM_PREFIX,
                       len - FORM_PREFIX, "from server to other:");
        counter_add(sc.frames_to_other);
        break;
    case TYPE_LUDENG:
        keyed_transmit(board.gpio_key_ludeng, ctx->w433_ludeng_fd, buf, len, buf + FORM_PREFIX,
                       len - FORM_PREFIX, "from server to ludeng:");
        counter_add(sc.frames_to_ludeng);
        break;
    default: counter_add(sc.frames_ignored); break;
    }
    return 0;
}

int sever_cmd_process(uint8_t *buf, int len, int *heartbeat_miss_count)
{
    if (buf == nullptr || len <= FORM_COMMAND)
        return 0;

    switch (buf[FORM_COMMAND]) {
    case CMD_MODEM_RESET:
        (void)set_gpio_output(board.gpio_modem_reset, 0);
        gw_sleep(1);
        (void)set_gpio_output(board.gpio_modem_reset, 1);
        std::puts("model reset");
        break;
    case CMD_HEARTBEAT_RESPONSE:
        if (heartbeat_miss_count != nullptr)
            *heartbeat_miss_count = 0;
        counter_add(gw_counters.link.heartbeats_answered);
        std::puts("reiceive server heartbeat response");
        break;
    default: break;
    }
    return 0;
}

int find_frame(uint8_t *src, int *src_count, uint8_t *out, int *out_len)
{
    if (src == nullptr || src_count == nullptr || *src_count <= 0)
        return 0;
    const int entry_count = *src_count;

    int drop = 0;
    while (drop < entry_count && !starts_pair(src + drop, entry_count - drop)) {
        drop++;
        std::printf("sourcecounter=%d\n", entry_count);
    }
    const int avail = entry_count - drop;
    const int n = avail > 0 ? linear_frame_at(src + drop, avail) : 0;

    if (n == 0) {
        // The bytes examined are copied out all the same.
        std::memcpy(out + FORM_PREFIX, src + drop, static_cast<size_t>(avail));
        std::memmove(src, src + drop, static_cast<size_t>(avail));
        *src_count = avail;
        return 0;
    }
    radio_form(out, src + drop, n);
    *out_len = n + FORM_PREFIX;
    std::memmove(src, src + drop + n, static_cast<size_t>(avail - n));
    *src_count = avail - n;
    return 1;
}

int construct_frame_from_device(gateway_context *ctx, const uint8_t *data, int n, int *count,
                                uint8_t *acc)
{
    return linear_scan(data, n, count, acc, [ctx](uint8_t *form, int form_len) {
        comand_process_from_device(ctx, form, form_len);
        outputlogmessage("from device:", form, form_len);
    });
}

int construct_frame_from_server(gateway_context *ctx, const uint8_t *data, int n, int *count,
                                uint8_t *acc, int *heartbeat_miss_count)
{
    return linear_scan(data, n, count, acc,
                       [ctx, heartbeat_miss_count](uint8_t *form, int form_len) {
                           comand_process_from_server(ctx, form, form_len, heartbeat_miss_count);
                       });
}

int construct_frame_for_whell(gateway_context *ctx, const uint8_t *data, int n, int *flag,
                              int *count, uint8_t *record)
{
    for (int i = 0; data != nullptr && i < n; i++) {
        const uint8_t c = data[i];
        // A pair split between two calls does not count: only bytes of this
        // call are looked back at.
        if (i > 0 && data[i - 1] == 0x41 && c == 0x20) {
            record[0] = 0x41;
            record[1] = 0x20;
            *count = 1;
            *flag = 1;
        }
        if (*flag != 1)
            continue;
        if (*count < 0 || *count >= WHEEL_RECORD_LEN) {  // state not ours: start over
            *flag = 0;
            *count = 0;
            continue;
        }
        record[(*count)++] = c;
        if (*count == WHEEL_RECORD_LEN) {
            outputlogmessage("whell:", record, WHEEL_RECORD_LEN);
            *flag = 0;
            *count = 0;
            std::array<uint8_t, WHEEL_FRAME_LEN> frame{};
            wheel_frame(frame.data(), record);
            (void)server_write(ctx, frame.data(), frame.size());
        }
    }
    return n;
}
