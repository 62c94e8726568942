#include "modem/message.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/select.h>
#include <unistd.h>

#include "board/board.h"
#include "board/configcheck.h"
#include "board/log.h"
#include "board/paraconfig.h"
#include "board/strtohex.h"
#include "board/timebase.h"
#include "protocol/crc16.h"
#include "radio/w433config.h"
#include "runtime/report.h"
#include "runtime/state.h"

namespace {

// The name the console messages give the modem port, whatever descriptor
// is in use.
constexpr const char *GSM_PORT_NAME = "/dev/ttyUSB1";

constexpr size_t READ_CHUNK = 2048;     // most bytes one read asks for
constexpr size_t RESPONSE_SIZE = 2048;  // answer buffer of every other exchange
constexpr size_t INBOX_SIZE = 4096;     // answer buffer of the unread listing
constexpr size_t RADIO_PAYLOAD = 1024;  // bytes para_set / net_id_set can send
constexpr size_t NUMBER_MAX = 31;       // characters of a destination number
constexpr size_t BODY_MAX = 138;        // characters of an SMS body
constexpr size_t INDEX_MAX = 5;         // characters of a storage index
constexpr size_t CALL_DIGITS = 11;      // characters of a number to dial

// Placeholder sender before the first message; every handled entry brings
// its own, so this never reaches the modem.
constexpr const char *DEFAULT_SENDER = "13800000000";

constexpr const char *ADMIN_KEY = "sms_admin_numbers";

fair_lock port_lock;

// True when fd can go into an fd_set.
bool selectable(int fd)
{
    return fd >= 0 && fd < FD_SETSIZE;
}

// Waits until fd is readable or *tv runs out; *tv keeps what is left
// (Linux updates it). A descriptor that cannot be selected just waits.
int wait_readable(int fd, timeval *tv)
{
    fd_set rd;
    FD_ZERO(&rd);
    if (!selectable(fd))
        return select(0, nullptr, nullptr, nullptr, tv);
    FD_SET(fd, &rd);
    int r = select(fd + 1, &rd, nullptr, nullptr, tv);
    return (r > 0 && !FD_ISSET(fd, &rd)) ? -2 : r;  // -2: ready, but not our port
}

// The collector behind read_GSM_GPRS_datas; returns how many bytes it
// stored in buf (never more than size). Bytes beyond the room are read and
// dropped, and the last two bytes seen, stored or not, decide the CR LF rule.
size_t collect(int fd, char *buf, size_t size, int timeout_s)
{
    std::lock_guard<fair_lock> hold(port_lock);
    size_t count = 0;             // bytes stored in buf
    unsigned long long seen = 0;  // bytes read, stored or dropped
    char last[2] = {0, 0};        // the last two bytes read
    char drop[256];               // where the part that does not fit goes

    for (;;) {
        timeval tv = gw_timeval(timeout_s, 0);
        int r = wait_readable(fd, &tv);
        if (r == -1) {
            perror("select()");
            return count;
        }
        if (r == 0)
            return count;
        if (r == -2)
            continue;

        const size_t room = size - count;
        char *to = room > 0 ? buf + count : drop;
        const size_t ask = room > 0 ? std::min(room, READ_CHUNK) : sizeof drop;
        const ssize_t n = read(fd, to, ask);
        if (n <= 0) {
            // Readable yet nothing to read: the port is gone. Keep what was
            // gathered and let the rest of the wait pass, so a caller that
            // polls in a loop is still paced by its time-outs.
            if (n < 0)
                perror("read()");
            select(0, nullptr, nullptr, nullptr, &tv);
            return count;
        }
        const size_t got = static_cast<size_t>(n);
        if (room > 0)
            count += got;
        if (got >= 2) {
            last[0] = to[got - 2];
            last[1] = to[got - 1];
        } else {
            last[0] = last[1];
            last[1] = to[0];
        }
        seen += got;

        if (seen >= 2 && last[0] == '\r' && last[1] == '\n') {
            // The answer may be complete: wait only for what this cycle's
            // wait has left.
            if (wait_readable(fd, &tv) == 0)
                return count;
        }
    }
}

// Reads and drops whatever the port already holds, without waiting: the
// late tail of an answer whose collector gave up, or an unsolicited line.
// Left there it would be read as the start of the next answer, and a cut
// listing entry ending in that answer's CR would pass for a whole one.
// Bounded, so a port that never falls silent cannot hold the exchange.
void discard_pending(int fd)
{
    char drop[256];
    for (int i = 0; i < 64 && selectable(fd); i++) {
        timeval now = {0, 0};
        if (wait_readable(fd, &now) != 1 || read(fd, drop, sizeof drop) <= 0)
            return;
    }
}

// An exchange that also tells how many bytes were collected.
size_t exchange(int fd, const char *cmd, char *buf, size_t size, int timeout_s)
{
    std::lock_guard<fair_lock> hold(port_lock);
    if (cmd != nullptr) {
        discard_pending(fd);
        send_GSM_GPRS_cmd(fd, cmd);
    }
    std::memset(buf, 0, std::min<size_t>(size, 4));
    const size_t got = collect(fd, buf, size, timeout_s);
    if (cmd != nullptr && got == 0)
        counter_add(gw_counters.sms.modem_silent);
    return got;
}

// Copies [from, to) into dst (dst_size bytes), cut to fit, NUL-terminated.
void copy_field(char *dst, size_t dst_size, const char *from, const char *to)
{
    const size_t n = std::min(static_cast<size_t>(to - from), dst_size - 1);
    std::memcpy(dst, from, n);
    dst[n] = '\0';
}

// The first occurrence of `what` in [p, end), or nullptr.
const char *find_bytes(const char *p, const char *end, const char *what)
{
    const size_t wn = std::strlen(what);
    for (; static_cast<size_t>(end - p) >= wn; p++)
        if (std::memcmp(p, what, wn) == 0)
            return p;
    return nullptr;
}

const char *find_char(const char *p, const char *end, char c)
{
    const void *hit = std::memchr(p, c, static_cast<size_t>(end - p));
    return static_cast<const char *>(hit);
}

void send_reply(gateway_context *ctx, const char *sender, const char *text)
{
    char resp[RESPONSE_SIZE];
    GSM_Send_Message(ctx->gsm_fd, sender, text, resp, sizeof resp);
    counter_add(gw_counters.sms.replies);
}

// The status reply: the gateway's figures and the modem's signal quality.
void send_status(gateway_context *ctx, const char *sender)
{
    char resp[RESPONSE_SIZE];
    const size_t n = exchange(ctx->gsm_fd, "AT+CSQ\r", resp, sizeof resp, 1);
    char text[STATUS_TEXT_MAX + 1];
    status_text(text, sizeof text, gw_seconds(), signal_dbm_from_csq(resp, n));
    send_reply(ctx, sender, text);
}

// Writes key=value into the configuration file and checks that it took: the
// writer reports a file it could not rewrite, and a key absent from the file
// changes nothing, which only reading the value back shows.
bool store_conf(const char *what, const char *key, const char *value)
{
    if (write_conf_value(key, value, board.config_file) != 0) {
        printf("%s not changed: %s could not be rewritten\n", what, board.config_file);
        return false;
    }
    char back[1025] = "";
    if (read_conf_value(key, back, sizeof back, board.config_file) != 0 ||
        std::strcmp(back, value) != 0) {
        printf("%s not changed: %s has no %s line\n", what, board.config_file, key);
        return false;
    }
    return true;
}

bool server_ip_set_checked(const char *arg)
{
    if (!config_is_ipv4(arg)) {
        printf("server ip not changed: %s is not an IPv4 address\n", arg);
        return false;
    }
    return store_conf("server ip", "server_ip_addr", arg);
}

bool server_port_set_checked(const char *arg)
{
    if (!config_is_port(arg)) {
        printf("server port not changed: %s is not a port number\n", arg);
        return false;
    }
    return store_conf("server port", "server_port_num", arg);
}

// The command table, in the order the keywords are tried. A prefix keyword
// found anywhere ends the search; it selects its command only at the start.
enum cmd_match { PREFIX, EXACT };
struct sms_command {
    const char *keyword;
    cmd_match match;
    bool needs_arg;  // nothing after the keyword: ignored, no reply
};
constexpr sms_command COMMANDS[] = {
    {"server ip set ", PREFIX, true},    // 1
    {"server port set ", PREFIX, true},  // 2
    {"reset", EXACT, false},             // 3
    {"wifi on", EXACT, false},           // 4
    {"wifi off", EXACT, false},          // 5
    {"ssid set ", PREFIX, false},        // 6
    {"mgmt set ", PREFIX, false},        // 7
    {"password set ", PREFIX, false},    // 8
    {"connetct router", PREFIX, false},  // 9
    {"para set ", PREFIX, true},         // 10
    {"set netid ", PREFIX, true},        // 11
    {"status", EXACT, false},            // 12: answered with the status, not "ok"
};
constexpr int CMD_RESET = 3;
constexpr int CMD_STATUS = 12;
static_assert(sizeof COMMANDS / sizeof COMMANDS[0] == SMS_LAST_COMMAND,
              "callers bound the interpreter's result by SMS_LAST_COMMAND");

// 1-based number of the command `text` selects, 0 for none.
int recognise(const char *text)
{
    int i = 1;
    for (const sms_command &c : COMMANDS) {
        if (c.match == EXACT) {
            if (std::strcmp(text, c.keyword) == 0)
                return i;
        } else if (const char *at = std::strstr(text, c.keyword)) {
            return at == text ? i : 0;
        }
        i++;
    }
    return 0;
}

}  // namespace

void fair_lock::lock()
{
    std::unique_lock<std::mutex> hold(m);
    const std::thread::id me = std::this_thread::get_id();
    if (depth > 0 && owner == me) {
        depth++;
        return;
    }
    const unsigned long ticket = next++;
    turn.wait(hold, [&] { return serving == ticket; });
    owner = me;
    depth = 1;
}

void fair_lock::unlock()
{
    {
        std::lock_guard<std::mutex> hold(m);
        if (--depth > 0)
            return;
        owner = std::thread::id();
        serving++;
    }
    turn.notify_all();
}

fair_lock &modem_port_lock()
{
    return port_lock;
}

int send_GSM_GPRS_cmd(int fd, const char *cmd)
{
    std::lock_guard<fair_lock> hold(port_lock);
    if (write(fd, cmd, std::strlen(cmd)) < 0) {
        printf("write device %s error\n", GSM_PORT_NAME);
        return -1;
    }
    return 1;
}

int read_GSM_GPRS_datas(int fd, char *buf, size_t size, int timeout_s)
{
    collect(fd, buf, size, timeout_s);
    return 1;
}

int GSM_GPRS_send_cmd_read_result(int fd, const char *cmd, char *buf, size_t size, int timeout_s)
{
    exchange(fd, cmd, buf, size, timeout_s);
    return 1;
}

void GSM_Conf_Message(int fd)
{
    char buf[RESPONSE_SIZE];
    GSM_GPRS_send_cmd_read_result(fd, "AT+CMGF=1\r\n", buf, sizeof buf, 1);
    GSM_GPRS_send_cmd_read_result(fd, "AT+CPMS=\"SM\",\"SM\",\"SM\"\r\n", buf, sizeof buf, 1);
    puts("end config short message env");
}

void Module_ME3630_Get_Version(int fd)
{
    static const char cmd[] = "AT+GMR\r\n";
    char buf[50] = {0};
    std::lock_guard<fair_lock> hold(port_lock);
    puts("\r\n 获取模块版本信息 ...\r");
    for (int attempt = 0; attempt < 3; attempt++) {
        // A late answer to the storage command must not pass for the version.
        discard_pending(fd);
        ssize_t ignored = write(fd, cmd, sizeof cmd - 1);
        (void)ignored;
        puts("\r\nSendData:AT+GMR\r");
        gw_sleep(1);
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            // All 50 bytes may be filled: print exactly what came.
            fputs("\r\n ", stdout);
            fwrite(buf, 1, static_cast<size_t>(n), stdout);
            fputs(" \r\n", stdout);
            return;
        }
    }
}

int GSM_simple_test(int fd)
{
    char buf[RESPONSE_SIZE];
    return GSM_GPRS_send_cmd_read_result(fd, "at+cmgl=\"REC READ\"\r", buf, sizeof buf, 1);
}

int GSM_read_sim_card_id(int fd)
{
    char buf[RESPONSE_SIZE];
    return GSM_GPRS_send_cmd_read_result(fd, "at+ccid\r", buf, sizeof buf, 1);
}

void GSM_call(int fd)
{
    char cmd[3 + CALL_DIGITS + 2 + 1] = "atd";  // "atd" + number + ";\r" + NUL
    size_t len = 3;
    char c = 0;

    printf("please input telephone number:");
    fflush(stdout);
    for (;;) {
        if (read(STDIN_FILENO, &c, 1) != 1) {
            puts("\nno call: input ended before the number was complete");
            return;
        }
        if (c == '\n')
            break;
        if (len < 3 + CALL_DIGITS)
            cmd[len++] = c;  // characters past the 11th are dropped
    }
    cmd[len++] = ';';
    cmd[len] = '\r';

    char buf[RESPONSE_SIZE];
    GSM_GPRS_send_cmd_read_result(fd, cmd, buf, sizeof buf, 1);
    printf("press ENTER for quit:");
    fflush(stdout);
    ssize_t ignored = read(STDIN_FILENO, &c, 1);  // end of input also quits
    (void)ignored;
    GSM_GPRS_send_cmd_read_result(fd, "at+chup\r", buf, sizeof buf, 1);
}

void GSM_wait_call(int fd)
{
    char buf[RESPONSE_SIZE];
    std::lock_guard<fair_lock> hold(port_lock);
    for (int i = 0; i < 10; i++) {
        std::memset(buf, 0, sizeof buf);
        read_GSM_GPRS_datas(fd, buf, sizeof buf - 1, 1);  // last byte stays NUL
        puts(buf);
    }
    GSM_GPRS_send_cmd_read_result(fd, "at+chup\r", buf, sizeof buf, 1);
    puts("quit wait_call");
}

int GSM_Read_Message(int fd, char *buf, size_t size)
{
    return GSM_GPRS_send_cmd_read_result(fd, "AT+CMGL=\"REC UNREAD\"\r", buf, size, 3);
}

void GSM_Send_Message(int fd, const char *number, const char *text, char *resp, size_t resp_size)
{
    char cmd[60] = {0};
    char body[BODY_MAX + 3] = {0};
    std::lock_guard<fair_lock> hold(port_lock);
    puts("send short message:");
    snprintf(cmd, sizeof cmd, "at+cmgs=%.*s\r", static_cast<int>(NUMBER_MAX), number);
    GSM_GPRS_send_cmd_read_result(fd, cmd, resp, resp_size, 1);
    snprintf(body, sizeof body, "%.*s\x1A\r", static_cast<int>(BODY_MAX), text);
    GSM_GPRS_send_cmd_read_result(fd, body, resp, resp_size, 4);
    puts("\nend send short message");
}

int del_shortMessage(int fd, const char *index)
{
    char cmd[15] = {0};
    char buf[RESPONSE_SIZE];
    snprintf(cmd, sizeof cmd, "at+cmgd=%.*s\r", static_cast<int>(INDEX_MAX), index);
    return GSM_GPRS_send_cmd_read_result(fd, cmd, buf, sizeof buf, 1);
}

int sms_next_entry(const char *buf, size_t len, size_t from, sms_entry *e, size_t *next)
{
    const char *end = buf + len;
    const char *p = buf + std::min(from, len);
    while (const char *start = find_bytes(p, end, "+CMGL:")) {
        const char *colon = start + 5;
        const char *cr = find_char(colon, end, '\r');
        if (cr == nullptr)
            return 0;  // the header line never ends: nothing more to find
        p = cr + 1;
        const char *c1 = find_char(colon + 1, cr, ',');
        const char *c2 = c1 ? find_char(c1 + 1, cr, ',') : nullptr;
        const char *c3 = c2 ? find_char(c2 + 1, cr, ',') : nullptr;
        if (c3 == nullptr)
            continue;  // fewer than three commas: not an entry we can use
        if (end - cr < 2)
            return 0;  // no room for the character after the CR
        const char *text = cr + 2;
        const char *text_end = find_char(text, end, '\r');
        if (text_end == nullptr)
            return 0;  // the text never ends
        copy_field(e->index, sizeof e->index, colon + 1, c1);
        copy_field(e->sender, sizeof e->sender, c2 + 1, c3);
        copy_field(e->text, sizeof e->text, text, text_end);
        *next = static_cast<size_t>(text_end + 1 - buf);
        return 1;
    }
    return 0;
}

bool sms_sender_allowed(const char *admin_numbers, const char *sender)
{
    if (admin_numbers == nullptr)
        return true;
    const char *sb = sender, *se = sender + std::strlen(sender);
    config_bare_number(&sb, &se);
    const char *item = admin_numbers;
    for (;;) {
        const char *comma = std::strchr(item, ',');
        const char *ib = item, *ie = comma ? comma : item + std::strlen(item);
        config_bare_number(&ib, &ie);
        if (ie > ib && ie - ib == se - sb && std::memcmp(ib, sb, static_cast<size_t>(se - sb)) == 0)
            return true;
        if (comma == nullptr)
            return false;
        item = comma + 1;
    }
}

void receive_short_message_poll(gateway_context *ctx, int gsm_fd, char *inbox, size_t inbox_size,
                                const char *admin_numbers)
{
    if (inbox_size == 0)
        return;
    std::memset(inbox, 0, inbox_size);
    const size_t len = exchange(gsm_fd, "AT+CMGL=\"REC UNREAD\"\r", inbox, inbox_size - 1, 3);

    sms_entry e;
    std::snprintf(e.sender, sizeof e.sender, "%s", DEFAULT_SENDER);
    size_t at = 0;
    while (sms_next_entry(inbox, len, at, &e, &at)) {
        counter_add(gw_counters.sms.received);
        puts(e.sender);
        puts(e.text);
        // Deleted before its command runs: a "reset" must not come back.
        del_shortMessage(gsm_fd, e.index);
        if (!sms_sender_allowed(admin_numbers, e.sender)) {
            counter_add(gw_counters.sms.ignored);
            printf("sms from %s ignored: not an admin number\n", e.sender);
            continue;
        }
        sms_phone_store(ctx, e.sender);
        receive_short_message_process(ctx, e.text, e.sender);
    }
    std::memset(inbox, 0, inbox_size);
}

void *receive_short_message(void *arg)
{
    gateway_context *ctx = static_cast<gateway_context *>(arg);
    const int gsm_fd = ctx->gsm_fd;  // later changes of the field are not seen

    // Absent key: anyone may command. A line feed cannot be part of a
    // value, so it marks "not found".
    char admin[1025] = "\n";
    read_conf_value(ADMIN_KEY, admin, sizeof admin, board.config_file);
    const char *admin_numbers = admin[0] == '\n' ? nullptr : admin;

    char inbox[INBOX_SIZE];
    while (!gateway_stopping.load())
        receive_short_message_poll(ctx, gsm_fd, inbox, sizeof inbox, admin_numbers);
    return nullptr;
}

int receive_short_message_process(gateway_context *ctx, const char *text, const char *sender)
{
    const int cmd = recognise(text);
    if (cmd == 0) {
        counter_add(gw_counters.sms.unknown);
        puts("please input correct command");
        return 0;
    }
    const sms_command &c = COMMANDS[cmd - 1];
    const char *arg = text + std::strlen(c.keyword);
    if (c.needs_arg && *arg == '\0') {
        counter_add(gw_counters.sms.refused);
        return -1;
    }

    bool done = true;
    switch (cmd) {
    case 1: done = server_ip_set_checked(arg); break;
    case 2: done = server_port_set_checked(arg); break;
    case 10: done = para_set(ctx, arg) == 0; break;
    case 11: done = net_id_set(ctx, arg) == 0; break;
    default: break;
    }
    if (!done) {
        counter_add(gw_counters.sms.refused);
        return -1;
    }
    counter_add(gw_counters.sms.done);
    if (cmd == CMD_STATUS) {
        send_status(ctx, sender);
        return cmd;
    }
    send_reply(ctx, sender, "ok");
    if (cmd == CMD_RESET)
        board.run_command("reboot");
    return cmd;
}

int para_set(gateway_context *ctx, const char *arg)
{
    const size_t n = std::strlen(arg);
    if (n < 4)
        return -1;  // fewer than two bytes: no CRC range
    const size_t m = n / 2;
    if (m + 2 > RADIO_PAYLOAD) {
        printf("para set refused: %zu bytes and the CRC do not fit %zu\n", m, RADIO_PAYLOAD);
        return -1;
    }
    uint8_t data[RADIO_PAYLOAD];
    StrToHex(data, arg, static_cast<int>(m));
    const uint16_t crc = crc16(data + 2, static_cast<uint32_t>(m - 2));
    data[m] = static_cast<uint8_t>(crc & 0xFF);  // the CRC's high byte
    data[m + 1] = static_cast<uint8_t>(crc >> 8);
    outputlogmessage("shortmessage:", data, static_cast<int>(m + 2));
    SendDataTo433(ctx->w433_other_fd, data, static_cast<int>(m + 2));
    return 0;
}

int net_id_set(gateway_context *ctx, const char *arg)
{
    const size_t n = std::strlen(arg);
    if (n < 2)
        return -1;
    const size_t m = n / 2;
    if (m > RADIO_PAYLOAD) {
        printf("set netid refused: %zu bytes do not fit %zu\n", m, RADIO_PAYLOAD);
        return -1;
    }
    uint8_t data[RADIO_PAYLOAD];
    StrToHex(data, arg, static_cast<int>(m));
    outputlogmessage("shortmessage:", data, static_cast<int>(m));
    SendDataTo433(ctx->w433_other_fd, data, static_cast<int>(m));
    return 0;
}
