#include "modem/message.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
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

using steady = std::chrono::steady_clock;

// The name the console messages give the modem port, whatever descriptor
// is in use.
constexpr const char *GSM_PORT_NAME = "/dev/ttyUSB1";

constexpr size_t READ_CHUNK = 2048;     // most bytes one read asks for
constexpr size_t RESPONSE_SIZE = 2048;  // answer buffer of every other exchange
constexpr size_t INBOX_SIZE = 4096;     // answer buffer of a listing
constexpr size_t RADIO_PAYLOAD = 1024;  // bytes para_set / net_id_set can send
constexpr size_t NUMBER_MAX = 31;       // characters of a destination number
constexpr size_t BODY_MAX = 138;        // characters of an SMS body
constexpr size_t INDEX_MAX = 5;         // characters of a storage index
constexpr size_t CALL_DIGITS = 11;      // characters of a number to dial
constexpr size_t SENDER_MAX = 24;       // characters of a sender between its quotes
constexpr size_t STATUS_MAX = 16;       // characters of a message status between its quotes
constexpr size_t LOG_TEXT_MAX = 160;    // characters of a message the console shows
constexpr int SIM_SLOTS_DEFAULT = 30;
// Quiet that ends an answer without a final result code. Answers end on
// their final code, so these only pace a modem that does not answer.
constexpr int ANSWER_WAIT_S = 3;
constexpr int SENT_WAIT_S = 8;      // the network may take seconds to accept an SMS
constexpr int SIM_SLOTS_MAX = 255;  // an SMS file on a SIM has at most 255 records

// Numbers of two commands in the command table below.
constexpr int CMD_RESET = 3;
constexpr int CMD_STATUS = 12;

constexpr const char *ADMIN_KEY = "sms_admin_numbers";
constexpr const char *PASSWORD_KEY = "sms_password";
constexpr const char *LIST_UNREAD = "AT+CMGL=\"REC UNREAD\"\r";
constexpr const char *LIST_ALL = "AT+CMGL=\"ALL\"\r";

// After a "reset" the board is going down: a message deleted now would be
// lost to the power-off, so the SMS thread takes no further message for
// this long, and goes on if the reboot did not happen.
constexpr int REBOOT_HOLD_MS = 60000;
constexpr int SEND_ATTEMPTS = 2;  // tries of one SMS before it counts as not sent

std::recursive_mutex port_lock;
std::atomic<int> sim_slots{SIM_SLOTS_DEFAULT};
// Set by the poll that carried out a "reset"; only the SMS thread uses it.
bool reboot_asked = false;

// ---- reading the modem's lines ----

bool starts_with(const char *b, const char *e, const char *tag)
{
    const size_t n = std::strlen(tag);
    return static_cast<size_t>(e - b) >= n && std::memcmp(b, tag, n) == 0;
}

bool equals(const char *b, const char *e, const char *word)
{
    return static_cast<size_t>(e - b) == std::strlen(word) && starts_with(b, e, word);
}

// A line the modem writes on its own (network registration, an incoming
// call, ...): a "+" or "^" line that is none of the answers to the commands
// sent here, or RING. It neither answers a command nor ends an answer.
bool is_unsolicited(const char *b, const char *e)
{
    static const char *const answers[] = {
        "+CMGL:", "+CMGR:", "+CMGS:", "+CPMS:", "+CSQ:", "+CCID:", "+CMS ERROR", "+CME ERROR"};
    if (equals(b, e, "RING"))
        return true;
    if (b == e || (*b != '+' && *b != '^'))
        return false;
    for (const char *a : answers)
        if (starts_with(b, e, a))
            return false;
    return true;
}

bool is_error_code(const char *b, const char *e)
{
    return equals(b, e, "ERROR") || starts_with(b, e, "+CMS ERROR:") ||
           starts_with(b, e, "+CME ERROR:");
}

// Follows the lines of an answer as its bytes arrive, keeping only the
// start of the current line. Invariant: `final` holds when the last line
// that was neither empty nor unsolicited is a final result code.
struct line_tracker {
    static constexpr size_t KEEP = 24;
    std::array<char, KEEP> head{};  // the first bytes of the current line
    size_t n = 0;                   // bytes of the current line, counted up to KEEP + 1
    bool final = false;
    bool error = false;        // that final result code is an error
    bool prompt_line = false;  // the last such line was the "> " prompt
    int lines = 0;             // lines neither empty nor unsolicited

    void feed(const char *p, size_t len)
    {
        for (size_t i = 0; i < len; i++) {
            if (p[i] == '\n') {
                end_line();
            } else if (n <= KEEP) {
                if (n < KEEP)
                    head[n] = p[i];
                n++;
            }
        }
    }

    // The current line as kept, a CR at its end left out; `whole` false
    // when it is longer than what was kept.
    const char *line_end(bool *whole) const
    {
        size_t len = std::min(n, KEEP);
        *whole = n <= KEEP;
        if (*whole && len > 0 && head[len - 1] == '\r')
            len--;
        return head.data() + len;
    }

    void end_line()
    {
        bool whole = false;
        const char *b = head.data(), *e = line_end(&whole);
        n = 0;
        if (b == e || is_unsolicited(b, e))
            return;
        lines++;
        prompt_line = starts_with(b, e, "> ");
        final = whole && (equals(b, e, "OK") || is_error_code(b, e));
        error = final && !equals(b, e, "OK");
    }

    // Bytes of an unfinished line other than a lone CR.
    bool partial() const { return n > 0 && !(n == 1 && head[0] == '\r'); }

    bool partial_unsolicited() const
    {
        bool whole = false;
        const char *e = line_end(&whole);
        return is_unsolicited(head.data(), e);
    }

    bool at_prompt() const
    {
        return (n >= 2 && head[0] == '>' && head[1] == ' ') || (prompt_line && !partial());
    }

    bool ends_answer(bool prompt) const { return (prompt && at_prompt()) || (final && !partial()); }

    at_end result(bool prompt) const
    {
        if (prompt && at_prompt())
            return AT_PROMPT;
        if (final && !partial())
            return error ? AT_ERROR : AT_OK;
        return AT_QUIET;
    }

    // Nothing but empty and unsolicited lines came.
    bool only_unsolicited() const { return lines == 0 && (!partial() || partial_unsolicited()); }
};

// ---- waiting on the port ----

// Real time for gateway milliseconds.
steady::duration real_span(long gateway_ms)
{
    return std::chrono::microseconds(static_cast<long long>(gateway_ms) * 1000 / time_speedup());
}

timeval to_timeval(steady::duration d)
{
    const long long us =
        std::max<long long>(0, std::chrono::duration_cast<std::chrono::microseconds>(d).count());
    return timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

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

// The collector behind every exchange. Each wait is the quiet time-out, or
// AT_SETTLE_MS once the answer looks complete, and never runs past the hard
// limit. Bytes beyond the room are read and dropped, and still followed
// line by line, so a final result code past the room still ends the answer.
at_answer collect(int fd, char *buf, size_t size, int timeout_s, bool prompt)
{
    std::lock_guard<std::recursive_mutex> hold(port_lock);
    const steady::time_point limit = steady::now() + real_span(AT_HARD_LIMIT_MS);
    const steady::duration quiet = real_span(1000L * std::max(timeout_s, 0));
    const steady::duration settle = real_span(AT_SETTLE_MS);
    line_tracker t;
    size_t kept = 0;
    bool dropped = false, cut = false;
    char drop[256];  // where the part that does not fit goes

    for (;;) {
        const steady::time_point now = steady::now();
        if (now >= limit) {
            cut = true;
            break;
        }
        const steady::duration want = t.ends_answer(prompt) ? settle : quiet;
        const bool limited = limit - now < want;
        timeval tv = to_timeval(limited ? limit - now : want);
        const int r = wait_readable(fd, &tv);
        if (r == -1) {
            perror("select()");
            break;
        }
        if (r == 0) {
            cut = limited && !t.ends_answer(prompt);  // the limit, not the modem, ended it
            break;
        }
        if (r == -2)
            continue;

        const size_t room = size - kept;
        char *to = room > 0 ? buf + kept : drop;
        const size_t ask = room > 0 ? std::min(room, READ_CHUNK) : sizeof drop;
        const ssize_t n = read(fd, to, ask);
        if (n <= 0) {
            // Readable yet nothing to read: the port is gone. Keep what was
            // gathered and let the rest of the wait pass, so a caller that
            // polls in a loop is still paced by its time-outs.
            if (n < 0)
                perror("read()");
            select(0, nullptr, nullptr, nullptr, &tv);
            break;
        }
        t.feed(to, static_cast<size_t>(n));
        if (room > 0)
            kept += static_cast<size_t>(n);
        else
            dropped = true;
    }
    if (cut)
        puts("modem answer cut: the modem talked past the 10 s limit");
    return at_answer{kept, cut ? AT_LIMIT : t.result(prompt), dropped, false, t.lines};
}

// Reads and drops whatever the port already holds, without waiting: the
// late tail of an answer whose collector gave up, or an unsolicited line.
// Left there it would be read as the start of the next answer. Bounded, so
// a port that never falls silent cannot hold the exchange. True when more
// than empty and unsolicited lines were dropped.
bool discard_pending(int fd)
{
    char drop[256];
    line_tracker t;
    for (int i = 0; i < 64 && selectable(fd); i++) {
        timeval now = {0, 0};
        ssize_t n = 0;
        if (wait_readable(fd, &now) != 1 || (n = read(fd, drop, sizeof drop)) <= 0)
            break;
        t.feed(drop, static_cast<size_t>(n));
    }
    return !t.only_unsolicited();
}

// ---- console ----

// in[0..n) as one printable line in out: printable ASCII as it is, a
// backslash doubled, CR and LF as \r and \n, any other byte as \xNN, every
// occurrence of `mask` (unless it is empty) as "****"; cut with "..." after
// LOG_TEXT_MAX characters of input.
using log_line = std::array<char, LOG_TEXT_MAX * 4 + 8>;
void printable(log_line &out, const char *in, size_t n, const char *mask)
{
    const size_t mask_len = std::strlen(mask);
    size_t o = 0;
    for (size_t i = 0; i < n && i < LOG_TEXT_MAX;) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        char piece[8];
        if (mask_len > 0 && n - i >= mask_len && std::memcmp(in + i, mask, mask_len) == 0) {
            std::snprintf(piece, sizeof piece, "****");
            i += mask_len;
        } else {
            if (c == '\\')
                std::snprintf(piece, sizeof piece, "\\\\");
            else if (c == '\r' || c == '\n')
                std::snprintf(piece, sizeof piece, "\\%c", c == '\r' ? 'r' : 'n');
            else if (c < 0x20 || c >= 0x7F)
                std::snprintf(piece, sizeof piece, "\\x%02X", c);
            else
                std::snprintf(piece, sizeof piece, "%c", c);
            i++;
        }
        const size_t len = std::strlen(piece);
        std::memcpy(out.data() + o, piece, len);
        o += len;
    }
    if (n > LOG_TEXT_MAX) {
        std::memcpy(out.data() + o, "...", 3);
        o += 3;
    }
    out[o] = '\0';
}

const char *printable(log_line &out, const char *text)
{
    printable(out, text, std::strlen(text), "");
    return out.data();
}

// ---- SMS ----

// Calls f(b, e, next) for each line of buf[0..len): [b, e) without its LF
// and a CR before it, `next` where the following line starts; a last line
// without LF counts too. Stops when f returns false.
template <typename F>
void for_each_line(const char *buf, size_t len, F f)
{
    const char *p = buf, *end = buf + len;
    while (p < end) {
        const char *lf =
            static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char *e = lf != nullptr ? lf : end;
        const char *next = lf != nullptr ? lf + 1 : end;
        if (e > p && e[-1] == '\r')
            e--;
        if (!f(p, e, next))
            return;
        p = next;
    }
}

// The quoted field at *p (no quote inside, 1 to max characters, printable
// ASCII); moves *p past its closing quote.
bool quoted_field(const char **p, const char *e, size_t max, const char **b, size_t *n)
{
    if (*p >= e || **p != '"')
        return false;
    const char *q =
        static_cast<const char *>(std::memchr(*p + 1, '"', static_cast<size_t>(e - *p - 1)));
    if (q == nullptr || q == *p + 1 || static_cast<size_t>(q - *p - 1) > max)
        return false;
    for (const char *c = *p + 1; c < q; c++)
        if (*c < 0x20 || *c > 0x7E)
            return false;
    *b = *p + 1;
    *n = static_cast<size_t>(q - *p - 1);
    *p = q + 1;
    return true;
}

// The header line `+CMGR: "<stat>","<sender>"[,...]`: stores the sender
// in double quotes.
bool parse_cmgr_header(const char *b, const char *e, char *sender, size_t size)
{
    const char *p = b + 6, *field = nullptr;
    size_t n = 0;
    while (p < e && *p == ' ')
        p++;
    if (!quoted_field(&p, e, STATUS_MAX, &field, &n) || p >= e || *p++ != ',' ||
        !quoted_field(&p, e, SENDER_MAX, &field, &n) || (p < e && *p != ','))
        return false;
    std::snprintf(sender, size, "\"%.*s\"", static_cast<int>(n), field);
    return true;
}

// Takes one line break (CR LF, LF or a lone CR) off the end of [b, *e).
void trim_line_break(const char *b, const char **e)
{
    if (*e > b && (*e)[-1] == '\n')
        --*e;
    if (*e > b && (*e)[-1] == '\r')
        --*e;
}

int cpms_slots(const char *buf, size_t len)
{
    int slots = 0;
    for_each_line(buf, len, [&](const char *b, const char *e, const char *) {
        if (!starts_with(b, e, "+CPMS:"))
            return true;
        const char *comma =
            static_cast<const char *>(std::memchr(b, ',', static_cast<size_t>(e - b)));
        int v = 0, digits = 0;
        for (const char *p = comma != nullptr ? comma + 1 : e;
             p < e && *p >= '0' && *p <= '9' && digits < 4; p++, digits++)
            v = v * 10 + (*p - '0');
        slots = digits > 0 && v >= 1 && v <= SIM_SLOTS_MAX ? v : 0;
        return false;
    });
    return slots;
}

// ---- replies and forwards ----

// One SMS, tried a second time when the first try fails: a modem busy for
// a moment (a prompt that comes late, a passing +CMS ERROR) must not cost
// the message. True when it went out.
bool send_sms(int gsm_fd, const char *number, const char *text)
{
    char resp[RESPONSE_SIZE];
    for (int attempt = 0; attempt < SEND_ATTEMPTS; attempt++)
        if (GSM_Send_Message(gsm_fd, number, text, resp, sizeof resp) == 0)
            return true;
    return false;
}

void send_reply(gateway_context *ctx, const char *sender, const char *text)
{
    if (send_sms(ctx->gsm_fd, sender, text))
        counter_add(gw_counters.sms.replies);
    else
        counter_add(gw_counters.sms.send_failed);
}

// The status reply: the gateway's figures and the modem's signal quality.
void send_status(gateway_context *ctx, const char *sender)
{
    char resp[RESPONSE_SIZE];
    const at_answer a =
        at_exchange(ctx->gsm_fd, "AT+CSQ\r", resp, sizeof resp, ANSWER_WAIT_S, false);
    char text[STATUS_TEXT_MAX + 1];
    status_text(ctx, text, sizeof text, gw_seconds(), signal_dbm_from_csq(resp, a.len));
    send_reply(ctx, sender, text);
}

// The texts of type-2 frames on their way to the SMS thread, oldest first.
// The radio pump only takes the mutex to add one; the SMS thread takes it
// to look and to take one out, never across a modem exchange.
struct forward_entry {
    std::array<char, BODY_MAX + 1> text;
    steady::time_point due;
};
struct forward_queue {
    std::mutex m;
    std::condition_variable wake;  // a frame was added
    std::array<forward_entry, SMS_FORWARD_SLOTS> slots;
    size_t first = 0, count = 0;
};
forward_queue fwd;

bool take_due(forward_entry *out)
{
    std::lock_guard<std::mutex> hold(fwd.m);
    if (fwd.count == 0 || fwd.slots[fwd.first].due > steady::now())
        return false;
    *out = fwd.slots[fwd.first];
    fwd.first = (fwd.first + 1) % fwd.slots.size();
    fwd.count--;
    return true;
}

void send_forward(gateway_context *ctx, int gsm_fd, const char *text)
{
    char phone[sizeof ctx->sms_phone];
    sms_phone_load(ctx, phone, sizeof phone);
    if (phone[0] == '\0') {
        puts("sms forward not sent: no sender known yet");
        counter_add(gw_counters.sms.send_failed);
        return;
    }
    if (send_sms(gsm_fd, phone, text))
        counter_add(gw_counters.sms.forwarded);
    else
        counter_add(gw_counters.sms.send_failed);
}

// Sends the forwards that fall due until `until`, waking as soon as one
// does; returns at `until` or when the gateway stops.
void forward_until(gateway_context *ctx, int gsm_fd, steady::time_point until)
{
    for (;;) {
        sms_forward_send_due(ctx, gsm_fd);
        std::unique_lock<std::mutex> hold(fwd.m);
        if (steady::now() >= until || gateway_stopping.load())
            return;
        steady::time_point wake_at = until;
        if (fwd.count > 0)
            wake_at = std::min(wake_at, fwd.slots[fwd.first].due);
        fwd.wake.wait_until(hold, wake_at);
    }
}

// ---- one message ----

const char *verdict_why(sms_verdict v)
{
    switch (v) {
    case SMS_NOT_ADMIN: return "ignored: not an admin number";
    case SMS_MULTILINE: return "refused: not one line of text";
    case SMS_NO_PASSWORD: return "refused: no password";
    default: return "";
    }
}

gw_counter &verdict_counter(sms_verdict v)
{
    sms_counters &c = gw_counters.sms;
    return v == SMS_NOT_ADMIN ? c.ignored : v == SMS_MULTILINE ? c.multiline : c.bad_password;
}

// True when the message m read at `index` is gone after its delete: the
// modem answered OK; or it did not answer and reading the index again finds
// it empty (+CMS ERROR: 321) or holding another message. An error answer,
// or no clean answer to the read, leaves it for a later listing.
bool deleted(int gsm_fd, int index, at_end end, const sms_message &m)
{
    if (end == AT_OK || end == AT_ERROR)
        return end == AT_OK;
    char answer[RESPONSE_SIZE], cmd[24];
    std::snprintf(cmd, sizeof cmd, "AT+CMGR=%d\r", index);
    const at_answer a = at_exchange(gsm_fd, cmd, answer, sizeof answer, ANSWER_WAIT_S, false);
    static const char empty[] = "+CMS ERROR: 321";
    if (a.end == AT_ERROR)
        return std::search(answer, answer + a.len, empty, empty + sizeof empty - 1) !=
               answer + a.len;
    sms_message again;
    if (a.end != AT_OK || sms_parse_cmgr(answer, a.len, !a.overflow, &again) == SMS_READ_NONE)
        return false;
    return std::strcmp(again.sender, m.sender) != 0 || again.text_len != m.text_len ||
           std::memcmp(again.text, m.text, m.text_len) != 0;
}

// Reads, judges and deletes the message at `index`, then acts on it once
// the delete was confirmed.
void handle_index(gateway_context *ctx, int gsm_fd, const sms_rules &rules, int index)
{
    char answer[RESPONSE_SIZE], cmd[24];
    std::snprintf(cmd, sizeof cmd, "AT+CMGR=%d\r", index);
    const at_answer a = at_exchange(gsm_fd, cmd, answer, sizeof answer, ANSWER_WAIT_S, false);
    if (a.end != AT_OK && !a.overflow)
        return;  // no message there, or no clean answer: a later listing finds it
    sms_message m;
    const sms_read read = sms_parse_cmgr(answer, a.len, !a.overflow, &m);
    if (read == SMS_READ_NONE)
        return;

    log_line shown;
    puts(printable(shown, m.sender));
    printable(shown, m.text, m.text_len, rules.password_set ? rules.password : "");
    puts(shown.data());
    const char *command = nullptr;
    sms_verdict v = sms_judge(rules, m, read, &command);

    char index_text[16];
    std::snprintf(index_text, sizeof index_text, "%d", index);
    std::snprintf(cmd, sizeof cmd, "at+cmgd=%.*s\r", static_cast<int>(INDEX_MAX), index_text);
    const at_answer d = at_exchange(gsm_fd, cmd, answer, sizeof answer, ANSWER_WAIT_S, false);
    if (!deleted(gsm_fd, index, d.end, m)) {
        counter_add(gw_counters.sms.delete_failed);
        printf("sms %d not deleted: it is handled when it is listed again\n", index);
        return;
    }
    // Bytes of the read still coming after its OK, more in the delete's
    // answer than its OK, or bytes still coming after that: an OK stood
    // inside the text.
    if (v == SMS_RUN && (d.stray || d.lines > 1 || discard_pending(gsm_fd)))
        v = SMS_MULTILINE;
    counter_add(gw_counters.sms.received);
    if (v != SMS_RUN) {
        counter_add(verdict_counter(v));
        printf("sms from %s %s\n", printable(shown, m.sender), verdict_why(v));
        return;
    }
    sms_phone_store(ctx, m.sender);
    if (receive_short_message_process(ctx, command, m.sender) == CMD_RESET)
        reboot_asked = true;
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
        log_line shown;
        printf("server ip not changed: %s is not an IPv4 address\n", printable(shown, arg));
        return false;
    }
    return store_conf("server ip", "server_ip_addr", arg);
}

bool server_port_set_checked(const char *arg)
{
    if (!config_is_port(arg)) {
        log_line shown;
        printf("server port not changed: %s is not a port number\n", printable(shown, arg));
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

std::recursive_mutex &modem_port_lock()
{
    return port_lock;
}

int send_GSM_GPRS_cmd(int fd, const char *cmd)
{
    std::lock_guard<std::recursive_mutex> hold(port_lock);
    if (write(fd, cmd, std::strlen(cmd)) < 0) {
        printf("write device %s error\n", GSM_PORT_NAME);
        return -1;
    }
    return 1;
}

int read_GSM_GPRS_datas(int fd, char *buf, size_t size, int timeout_s)
{
    collect(fd, buf, size, timeout_s, false);
    return 1;
}

// The port whose last command got no final result code in its wait, and
// that wait: a modem that was only slow still sends the answer, and read
// after the next command it would pass for that command's answer (the text
// of one message under the header of another). -1: none. port_lock held.
int owed_fd = -1;
int owed_wait_s = 0;

at_answer at_exchange(int fd, const char *cmd, char *buf, size_t size, int timeout_s, bool prompt)
{
    std::lock_guard<std::recursive_mutex> hold(port_lock);
    bool stray = false;
    if (cmd != nullptr) {
        // A late answer gets as long again to come, and is dropped.
        if (owed_fd == fd)
            (void)collect(fd, nullptr, 0, owed_wait_s, false);
        owed_fd = -1;
        stray = discard_pending(fd);
        send_GSM_GPRS_cmd(fd, cmd);
    }
    if (size > 0)
        std::memset(buf, 0, std::min<size_t>(size, 4));
    at_answer a = collect(fd, buf, size, timeout_s, prompt);
    a.stray = stray;
    if (cmd != nullptr && a.end == AT_QUIET)
        owed_fd = fd, owed_wait_s = timeout_s;
    if (cmd != nullptr && a.lines == 0 && (a.end == AT_QUIET || a.end == AT_LIMIT))
        counter_add(gw_counters.sms.modem_silent);
    return a;
}

int GSM_GPRS_send_cmd_read_result(int fd, const char *cmd, char *buf, size_t size, int timeout_s)
{
    at_exchange(fd, cmd, buf, size, timeout_s, false);
    return 1;
}

void GSM_Conf_Message(int fd)
{
    char buf[RESPONSE_SIZE];
    at_exchange(fd, "AT+CMGF=1\r\n", buf, sizeof buf, 1, false);
    const at_answer a =
        at_exchange(fd, "AT+CPMS=\"SM\",\"SM\",\"SM\"\r\n", buf, sizeof buf, 1, false);
    const int slots = cpms_slots(buf, a.len);
    if (slots > 0)
        sim_slots.store(slots);
    puts("end config short message env");
}

int sms_sim_slots()
{
    return sim_slots.load();
}

void Module_ME3630_Get_Version(int fd)
{
    static const char cmd[] = "AT+GMR\r\n";
    char buf[50] = {0};
    std::lock_guard<std::recursive_mutex> hold(port_lock);
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
    std::lock_guard<std::recursive_mutex> hold(port_lock);
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
    return GSM_GPRS_send_cmd_read_result(fd, LIST_UNREAD, buf, size, 3);
}

int GSM_Send_Message(int fd, const char *number, const char *text, char *resp, size_t resp_size)
{
    char cmd[60] = {0};
    char body[BODY_MAX + 3] = {0};
    log_line shown;
    std::lock_guard<std::recursive_mutex> hold(port_lock);
    puts("send short message:");
    snprintf(cmd, sizeof cmd, "at+cmgs=%.*s\r", static_cast<int>(NUMBER_MAX), number);
    const at_answer a = at_exchange(fd, cmd, resp, resp_size, ANSWER_WAIT_S, true);
    const char *failure = nullptr;
    if (a.end != AT_PROMPT) {
        // No prompt, no text: ESC cancels whatever the modem may have begun.
        send_GSM_GPRS_cmd(fd, "\x1B");
        collect(fd, resp, resp_size, 1, false);
        failure = a.end == AT_ERROR ? "the modem refused it" : "no prompt from the modem";
    } else {
        snprintf(body, sizeof body, "%.*s\x1A\r", static_cast<int>(BODY_MAX), text);
        const at_answer b = at_exchange(fd, body, resp, resp_size, SENT_WAIT_S, false);
        if (b.end != AT_OK)
            failure = b.end == AT_ERROR ? "the modem refused it" : "the modem did not confirm it";
    }
    if (failure != nullptr)
        printf("sms to %s not sent: %s\n", printable(shown, number), failure);
    puts("\nend send short message");
    return failure != nullptr ? -1 : 0;
}

int del_shortMessage(int fd, const char *index)
{
    char cmd[15] = {0};
    char buf[RESPONSE_SIZE];
    snprintf(cmd, sizeof cmd, "at+cmgd=%.*s\r", static_cast<int>(INDEX_MAX), index);
    return at_exchange(fd, cmd, buf, sizeof buf, ANSWER_WAIT_S, false).end == AT_OK ? 1 : 0;
}

int sms_list_indexes(const char *buf, size_t len, int *out, int max)
{
    int n = 0;
    for_each_line(buf, len, [&](const char *b, const char *e, const char *) {
        if (n >= max)
            return false;
        if (!starts_with(b, e, "+CMGL:"))
            return true;
        const char *p = b + 6;
        while (p < e && *p == ' ')
            p++;
        int v = 0, digits = 0;
        for (; p < e && *p >= '0' && *p <= '9' && digits <= static_cast<int>(INDEX_MAX); p++)
            v = v * 10 + (*p - '0'), digits++;
        if (digits == 0 || digits > static_cast<int>(INDEX_MAX) || p >= e || *p != ',' ||
            std::find(out, out + n, v) != out + n)
            return true;
        out[n++] = v;
        return true;
    });
    return n;
}

sms_read sms_parse_cmgr(const char *buf, size_t len, bool whole, sms_message *m)
{
    m->sender[0] = m->text[0] = '\0';
    m->text_len = 0;
    // The header is the first line that is neither empty nor unsolicited,
    // the final result code the last one.
    const char *hb = nullptr, *he = nullptr, *body = nullptr, *last = nullptr;
    bool ok = false;
    for_each_line(buf, len, [&](const char *b, const char *e, const char *next) {
        if (b == e || is_unsolicited(b, e))
            return true;
        if (hb == nullptr)
            hb = b, he = e, body = next;
        last = b;
        ok = equals(b, e, "OK");
        return true;
    });
    if (hb == nullptr || !starts_with(hb, he, "+CMGR:"))
        return SMS_READ_NONE;
    const bool sender = parse_cmgr_header(hb, he, m->sender, sizeof m->sender);
    if (!whole)
        return SMS_READ_BAD;
    if (!ok || last == hb)
        return SMS_READ_NONE;
    // The text ends in CR LF, and a blank line stands before the OK; then
    // one line break of the sender's own is trimmed.
    const char *end = last;
    for (int i = 0; i < 3; i++)
        trim_line_break(body, &end);
    const size_t n = static_cast<size_t>(end - body);
    const bool one_line = n < sizeof m->text && std::memchr(body, '\r', n) == nullptr &&
                          std::memchr(body, '\n', n) == nullptr &&
                          std::memchr(body, '\0', n) == nullptr;
    m->text_len = std::min(n, sizeof m->text - 1);
    std::memcpy(m->text, body, m->text_len);
    m->text[m->text_len] = '\0';
    return sender && one_line ? SMS_READ_GOOD : SMS_READ_BAD;
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

void sms_rules_load(const char *config_file, sms_rules *r)
{
    // A line feed cannot be part of a value, so it marks "not found".
    char value[sizeof r->admin_numbers] = "\n";
    read_conf_value(ADMIN_KEY, value, sizeof value, config_file);
    r->anyone = value[0] == '\n';
    std::snprintf(r->admin_numbers, sizeof r->admin_numbers, "%s", r->anyone ? "" : value);

    value[0] = '\n';
    value[1] = '\0';
    read_conf_value(PASSWORD_KEY, value, sizeof value, config_file);
    r->password_set = value[0] != '\n';
    r->password_ok = r->password_set && config_is_sms_password(value);
    // A valid password fits: config_is_sms_password bounds its length.
    std::snprintf(r->password, sizeof r->password, "%.*s", static_cast<int>(sizeof r->password - 1),
                  r->password_ok ? value : "");
    std::memset(value, 0, sizeof value);
    if (r->password_set && !r->password_ok)
        puts("sms_password is not a valid password: no SMS command is carried out");
}

sms_verdict sms_judge(const sms_rules &r, const sms_message &m, sms_read read, const char **command)
{
    if (!r.anyone && !sms_sender_allowed(r.admin_numbers, m.sender))
        return SMS_NOT_ADMIN;
    if (read != SMS_READ_GOOD)
        return SMS_MULTILINE;
    const char *text = m.text;
    if (r.password_set) {
        const size_t n = std::strlen(r.password);
        if (!r.password_ok || std::strncmp(text, r.password, n) != 0 || text[n] != ' ')
            return SMS_NO_PASSWORD;
        text += n + 1;
    }
    *command = text;
    return SMS_RUN;
}

int receive_short_message_poll(gateway_context *ctx, int gsm_fd, const sms_rules &rules,
                               bool list_all)
{
    char inbox[INBOX_SIZE];
    const at_answer a = at_exchange(gsm_fd, list_all ? LIST_ALL : LIST_UNREAD, inbox, sizeof inbox,
                                    ANSWER_WAIT_S, false);
    std::array<int, SIM_SLOTS_MAX> index{};
    const int n =
        sms_list_indexes(inbox, a.len, index.data(), std::min(sms_sim_slots(), SIM_SLOTS_MAX));
    reboot_asked = false;
    for (int i = 0; i < n && !gateway_stopping.load() && !reboot_asked; i++) {
        handle_index(ctx, gsm_fd, rules, index[static_cast<size_t>(i)]);
        sms_forward_send_due(ctx, gsm_fd);
    }
    return n;
}

void *receive_short_message(void *arg)
{
    gateway_context *ctx = static_cast<gateway_context *>(arg);
    const int gsm_fd = ctx->gsm_fd;  // later changes of the field are not seen
    sms_rules rules;
    sms_rules_load(board.config_file, &rules);

    bool first = true;
    int64_t last_all = 0;
    while (!gateway_stopping.load()) {
        const steady::time_point started = steady::now();
        const int64_t now = gw_seconds();
        // Messages left read (a cut listing, a reboot in the middle of one,
        // a failed delete) are no longer "REC UNREAD": "ALL" finds them.
        const bool all = first || now - last_all >= SMS_ALL_EVERY_S;
        if (all)
            last_all = now;
        first = false;
        receive_short_message_poll(ctx, gsm_fd, rules, all);
        forward_until(ctx, gsm_fd,
                      started + real_span(reboot_asked ? REBOOT_HOLD_MS : SMS_POLL_MS));
    }
    return nullptr;
}

bool sms_forward_queue(const char *text)
{
    {
        std::lock_guard<std::mutex> hold(fwd.m);
        if (fwd.count < fwd.slots.size()) {
            forward_entry &e = fwd.slots[(fwd.first + fwd.count) % fwd.slots.size()];
            std::snprintf(e.text.data(), e.text.size(), "%s", text);
            e.due = steady::now() + real_span(SMS_FORWARD_DELAY_MS);
            fwd.count++;
            fwd.wake.notify_one();
            return true;
        }
    }
    counter_add(gw_counters.sms.forward_dropped);
    printf("sms forward dropped: %d frames already wait to be sent\n", SMS_FORWARD_SLOTS);
    return false;
}

void sms_forward_send_due(gateway_context *ctx, int gsm_fd)
{
    forward_entry e;
    while (take_due(&e))
        send_forward(ctx, gsm_fd, e.text.data());
}

void sms_forward_reset()
{
    std::lock_guard<std::mutex> hold(fwd.m);
    fwd.first = fwd.count = 0;
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
    if (m + FRAME_CRC_LEN > RADIO_PAYLOAD) {
        printf("para set refused: %zu bytes and the CRC do not fit %zu\n", m, RADIO_PAYLOAD);
        return -1;
    }
    uint8_t data[RADIO_PAYLOAD];
    StrToHex(data, arg, static_cast<int>(m));
    // The bytes are a frame in radio form up to its CRC: seal the frame.
    frame_seal(data + RADIO_PREFIX_LEN, static_cast<uint32_t>(m - RADIO_PREFIX_LEN));
    const int sealed = static_cast<int>(m + FRAME_CRC_LEN);
    outputlogmessage("shortmessage:", data, sealed);
    SendDataTo433(ctx->w433_other_fd, data, sealed);
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
