// The cellular modem: AT command channel, SMS polling, sending and deletion,
// and the SMS command interpreter.
//
// The modem's AT port is a byte stream used by the SMS thread only: its
// polls, deletions and replies, and the SMS of type-2 radio frames, which
// the radio pump hands over through a small queue instead of waiting on the
// modem itself. Every exchange (command plus the collected answer) runs
// under one process-wide lock all the same, and GSM_Send_Message holds it
// across its exchanges, so no other user (start-up, the service operations)
// lands inside a command or an answer.
//
// An answer ends on its final result code (OK, ERROR, +CMS ERROR: n,
// +CME ERROR: n), for AT+CMGS on the "> " prompt, or on its time limit; no
// exchange holds the port longer than AT_HARD_LIMIT_MS however much the
// modem talks. A final result code counts only when the modem then stays
// quiet for AT_SETTLE_MS: the modem writes an answer in one burst, so bytes
// still coming right after an "OK" mean that the "OK" was part of a message
// text. Unsolicited lines (+CREG: ..., RING, ...) are neither answers nor
// the end of one. An exchange that writes a command first drops what the
// port already holds, so a late tail of the answer before, waiting there,
// is not read as the start of this one. Every wait runs on the gateway's
// clock (board/timebase.h).
//
// SMS are read by structure: a listing only gives storage indexes, each
// message is then read on its own (AT+CMGR=<index>), its sender taken from
// that answer's header line and its text from what follows up to the final
// result code. So no text can forge a header, a sender or a second message.
#pragma once

#include <cstddef>
#include <mutex>

struct gateway_context;

// The lock that serialises whole exchanges on the modem port. The holder
// may take it again (the exchanges of a send run inside the send's hold).
std::recursive_mutex &modem_port_lock();

// ---- AT command channel ----

// No exchange holds the port longer than this (gateway milliseconds).
constexpr int AT_HARD_LIMIT_MS = 10000;
// Quiet after a final result code or the prompt that ends an answer.
constexpr int AT_SETTLE_MS = 100;

// How an answer ended.
enum at_end {
    AT_OK,      // final result code OK
    AT_ERROR,   // ERROR, +CMS ERROR: n or +CME ERROR: n
    AT_PROMPT,  // the "> " prompt (only when asked for)
    AT_QUIET,   // the time-out passed without a final result code (or nothing came)
    AT_LIMIT,   // the hard limit cut the answer
};

struct at_answer {
    size_t len;     // bytes kept in the caller's buffer
    at_end end;     // how it ended
    bool overflow;  // more came than the buffer holds (the rest was read and dropped)
    bool stray;     // before the command, the port held more than unsolicited lines
    int lines;      // lines that were neither empty nor unsolicited
};

// Writes the characters of `cmd` with one write(). 1 when the write did not
// fail (a short write counts), -1 after printing
// "write device /dev/ttyUSB1 error" when it failed.
int send_GSM_GPRS_cmd(int fd, const char *cmd);

// Collects the modem's answer into buf[0..size) (`size` is the room in buf),
// from its start, without a terminator, under the end rules above; each
// wait for more bytes lasts at most `timeout_s` (a quiet modem ends the
// answer). Bytes beyond the room are read and dropped under the same rules,
// so they cannot leak into the next exchange. A read that returns 0 or
// fails on a port reported readable (the USB modem went away) ends the
// collection after the rest of that wait, so a dead port paces its callers
// instead of making them spin. A descriptor of -1 waits out the time-out. A
// failed wait prints "select()" with perror. Always returns 1.
int read_GSM_GPRS_datas(int fd, char *buf, size_t size, int timeout_s);

// One exchange: drops whatever the port already holds (read without
// waiting, at most 16 KiB), writes `cmd` (a failed write does not stop the
// wait), zeroes the first 4 bytes of buf (fewer when size < 4), then
// collects the answer; with `prompt` the "> " prompt also ends it. With a
// null `cmd` nothing is dropped or written: the exchange only collects.
// When the previous command on the same port got no final result code in
// its wait, a late answer is first waited for (as long again) and dropped,
// so that it is never read as this command's answer.
at_answer at_exchange(int fd, const char *cmd, char *buf, size_t size, int timeout_s, bool prompt);

// at_exchange without the prompt; returns 1.
int GSM_GPRS_send_cmd_read_result(int fd, const char *cmd, char *buf, size_t size, int timeout_s);

// Start-up: SMS text mode, SIM storage; prints "end config short message env".
// The storage answer (+CPMS: <used>,<slots>,...) gives the SIM's slots.
void GSM_Conf_Message(int fd);

// The SIM's slots as the modem reported them at start-up, 30 when it did not.
int sms_sim_slots();

// Start-up: asks for the firmware version up to three times (write, 1 s
// pause, one read) and prints the first non-empty answer byte for byte.
void Module_ME3630_Get_Version(int fd);

// Service operations for manual diagnosis; no part of the gateway calls them.
int GSM_simple_test(int fd);       // lists the read SMS; answer not shown
int GSM_read_sim_card_id(int fd);  // asks for the SIM card number; answer not shown
// Reads a number from standard input (the first 11 characters of the line
// are kept, the rest of the line is dropped), dials it, waits for one more
// character and hangs up. If standard input ends before the newline, no
// call is placed. The lock is taken per exchange, not while waiting for
// the operator.
void GSM_call(int fd);
// Prints whatever the modem sends during ten 1-second collections (an empty
// line for a quiet one), hangs up and prints "quit wait_call". Holds the
// port for the whole watch.
void GSM_wait_call(int fd);

// ---- SMS ----

// Lists the unread SMS (3 s time-out) into buf.
int GSM_Read_Message(int fd, char *buf, size_t size);

// Sends `text` (first 138 characters) to `number` (first 31 characters, used
// as given: a sender keeps its quotes), collecting the modem's answers into
// resp; holds the port throughout. The text is written only after the "> "
// prompt; without it the send is cancelled with ESC. Returns 0 when the
// modem confirmed the send with OK, -1 (after one console line) otherwise.
int GSM_Send_Message(int fd, const char *number, const char *text, char *resp, size_t resp_size);

// Deletes the SMS at storage index `index` (first 5 characters). 1 when the
// modem answered OK, 0 otherwise.
int del_shortMessage(int fd, const char *index);

// The storage indexes named by the listing in buf[0..len): the digits after
// "+CMGL:" (blanks allowed before them) at the start of a line, followed by
// a comma. Stores at most `max` of them in out, in order, each once;
// returns how many. A text line that copies a header can at worst name an
// index, which is then read by structure like any other.
int sms_list_indexes(const char *buf, size_t len, int *out, int max);

// One message as read with AT+CMGR.
struct sms_message {
    char sender[32];  // in double quotes, as AT+CMGS takes it; "" when the header had none
    char text[2048];  // GOOD: one line, no CR, LF or NUL in it; BAD: as it came, cut to fit,
                      // for the console only
    size_t text_len;  // bytes in text before its terminating NUL
};

enum sms_read {
    SMS_READ_NONE,  // no message: no +CMGR header, or the answer did not end in OK
    SMS_READ_GOOD,  // a well-formed header and a one-line text
    SMS_READ_BAD,   // a message, but its header is malformed, its text holds CR, LF
                    // or NUL (one trailing line break is trimmed) or does not fit,
                    // or the answer overflowed
};

// Parses the answer to AT+CMGR in buf[0..len): empty and unsolicited lines,
// then "+CMGR: "<stat>","<sender>",..." ending in CR LF, the text, CR LF,
// CR LF and the final OK (the last line that is not unsolicited).
// `whole` false: the answer overflowed its buffer, so what was kept is
// judged BAD when it holds a header. Never reads at or beyond buf[len].
sms_read sms_parse_cmgr(const char *buf, size_t len, bool whole, sms_message *m);

// True when `sender` may command the gateway: always when admin_numbers is
// null; otherwise when the sender, without surrounding double quotes, equals
// one item of the comma-separated list (items without surrounding blanks and
// quotes; empty items match nobody, so an empty list lets nobody command).
bool sms_sender_allowed(const char *admin_numbers, const char *sender);

// Who may command the gateway, from config.txt.
struct sms_rules {
    bool anyone;               // no sms_admin_numbers line: every sender
    char admin_numbers[1025];  // the list as written ("": nobody)
    bool password_set;         // an sms_password line is there
    bool password_ok;          // ... holding a valid password (else nobody may command)
    char password[17];         // the password when valid
};

// Reads sms_admin_numbers and sms_password from the file. A file that
// cannot be read gives no admin list and no password.
void sms_rules_load(const char *config_file, sms_rules *r);

enum sms_verdict {
    SMS_RUN,          // carry the command out
    SMS_NOT_ADMIN,    // the sender is not allowed
    SMS_MULTILINE,    // not one clean line
    SMS_NO_PASSWORD,  // a password is set and the text does not start with it and a blank
};

// Judges a message read as `read` (GOOD or BAD), the sender first, then the
// one-line rule, then the password. On SMS_RUN *command is the text after
// the password and its blank (the whole text without a password).
sms_verdict sms_judge(const sms_rules &r, const sms_message &m, sms_read read,
                      const char **command);

// One poll of the SMS thread: lists "ALL" messages (list_all) or the
// "REC UNREAD" ones, then for each index of the listing, at most the SIM's
// slots: read it; if it holds a message, print its sender and its text
// (escaped, the password masked, one bounded line each) and judge it;
// delete it; only once the delete is confirmed (OK, or, when the modem did
// not answer, a second read finds the index empty or holding another
// message), count it and act on the verdict: run the command (storing the
// sender in sms_phone first), or refuse it with a console line, no reply
// and a count. A message whose delete failed is not acted on now; a later
// "ALL" listing finds it again. Due forwards are sent between messages. A
// "reset" ends the poll: the board is going down, and the messages after it
// stay on the SIM for the next start. Returns the indexes listed.
int receive_short_message_poll(gateway_context *ctx, int gsm_fd, const sms_rules &rules,
                               bool list_all);

// The SMS thread: takes gsm_fd once, reads its rules once, then polls about
// every SMS_POLL_MS of gateway time, "ALL" at the first poll and then every
// SMS_ALL_EVERY_S, and between polls sends each forwarded frame when due.
// After a "reset" it takes no message for a minute of gateway time, and
// goes on if the reboot did not happen.
void *receive_short_message(void *arg);

constexpr int SMS_POLL_MS = 3000;
constexpr int SMS_ALL_EVERY_S = 30;

// ---- SMS of type-2 radio frames ----

// Frames waiting at most; a frame more is dropped.
constexpr int SMS_FORWARD_SLOTS = 4;
// A forwarded frame is sent no earlier than this after it came.
constexpr int SMS_FORWARD_DELAY_MS = 4000;

// Called by the radio pump: queues the hexadecimal text (its first 138
// characters) for the SMS thread, which sends it SMS_FORWARD_DELAY_MS later
// to the number then in sms_phone. Never waits on the modem. False, with
// one console line and a count, when the queue is full.
bool sms_forward_queue(const char *text);

// Sends every queued text that is due; with no sender known yet, a text is
// dropped with one console line and counted as a failed send.
void sms_forward_send_due(gateway_context *ctx, int gsm_fd);

// Empties the queue (tests).
void sms_forward_reset();

// ---- SMS command interpreter ----

// Recognises and runs one SMS command and answers the sender "ok" when it was
// carried out; "status" (12) is answered with the gateway's figures and the
// modem's signal (AT+CSQ, 1 s) instead, and changes nothing. Returns the
// command's number (1 to 12) when carried out,
// 0 when the text is not a command ("please input correct command"), and
// -1 when a command was recognised but not carried out (no argument, an
// argument refused, or a configuration file that could not be changed).
int receive_short_message_process(gateway_context *ctx, const char *text, const char *sender);

// The highest number receive_short_message_process returns.
constexpr int SMS_LAST_COMMAND = 12;

// Decodes the hexadecimal argument (an odd last digit is ignored) into m bytes,
// appends the CRC-16 of bytes 2..m-1 (high byte first), logs the m + 2 bytes
// as "shortmessage:" and sends them to the 434 MHz module. 0 when sent; -1
// when the argument is shorter than 4 characters (nothing happens) or gives
// more than 1022 bytes (refused with a console line).
int para_set(gateway_context *ctx, const char *arg);

// The same without a CRC: m bytes, logged and sent unchanged. -1 when the
// argument is shorter than 2 characters (nothing happens) or gives more than
// 1024 bytes (refused with a console line).
int net_id_set(gateway_context *ctx, const char *arg);
