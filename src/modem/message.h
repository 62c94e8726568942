// The cellular modem: AT command channel, SMS polling, sending and deletion,
// and the SMS command interpreter.
//
// The modem's AT port is a byte stream shared by the SMS thread (polling,
// deletions, replies) and the radio pump (forwarded SMS). Every exchange
// (command plus the collected answer) runs under one process-wide lock, and
// GSM_Send_Message holds it across its two exchanges, so the traffic of one
// thread never lands inside another's command or answer. The lock is handed
// over in the order it was asked for: the SMS thread polls without pause,
// and a sender waiting for the port gets it as soon as the exchange in
// progress ends instead of losing the race to the next listing.
//
// A response is whatever arrives until the port falls quiet; no result code
// of the modem is parsed here. An exchange that writes a command first drops
// what the port already holds, so a late tail of the answer before, waiting
// there, is not read as the start of this one. Every wait runs on the
// gateway's clock (board/timebase.h).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

struct gateway_context;

// A ticket lock the holding thread may take again. Waiters are served in
// the order they asked; a thread that already holds it only counts depth.
// Invariant under `m`: depth > 0 exactly while ticket `serving` is held
// by `owner`; tickets serving..next-1 are held or waited for.
struct fair_lock {
    std::mutex m;
    std::condition_variable turn;
    unsigned long next = 0, serving = 0;
    std::thread::id owner;
    int depth = 0;

    void lock();
    void unlock();
};

// The lock that serialises whole exchanges on the modem port.
fair_lock &modem_port_lock();

// ---- AT command channel ----

// Writes the characters of `cmd` with one write(). 1 when the write did not
// fail (a short write counts), -1 after printing
// "write device /dev/ttyUSB1 error" when it failed.
int send_GSM_GPRS_cmd(int fd, const char *cmd);

// Collects the modem's answer into buf[0..size) (`size` is the room in buf),
// from its start, without a terminator. Cycle: wait up to `timeout_s` for the
// port to become readable; a time-out ends the answer; read what fits (at
// most 2048 bytes); when the bytes so far end in CR LF, wait once more only
// for what remained of that cycle's wait and end on a time-out there.
// A full buffer is not an error: the rest of the answer is read and dropped
// under the same rules, so it cannot leak into the next exchange. A read
// that returns 0 or fails on a port reported readable (the USB modem went
// away) ends the collection after the rest of that cycle's wait, so a dead
// port paces its callers instead of making them spin. A descriptor of -1
// waits out the time-out. A failed wait prints "select()" with perror.
// Always returns 1.
int read_GSM_GPRS_datas(int fd, char *buf, size_t size, int timeout_s);

// One exchange: drops whatever the port already holds (read without
// waiting, at most 16 KiB), writes `cmd` (a failed write does not stop the
// wait), zeroes the first 4 bytes of buf (fewer when size < 4), then
// collects the answer. So an answer holds only bytes that arrived after its
// own command was written (a tail still in flight then cannot be told
// apart). With a null `cmd` nothing is dropped or written: the exchange only
// collects, and sees what is pending. Returns the collector's result, 1.
int GSM_GPRS_send_cmd_read_result(int fd, const char *cmd, char *buf, size_t size, int timeout_s);

// Start-up: SMS text mode, SIM storage; prints "end config short message env".
void GSM_Conf_Message(int fd);

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

// Lists the unread SMS (a 3 s exchange) into buf.
int GSM_Read_Message(int fd, char *buf, size_t size);

// Sends `text` (first 138 characters) to `number` (first 31 characters, used
// as given: a number from the listing keeps its quotes), collecting the
// modem's answers into resp. Holds the port across both exchanges.
void GSM_Send_Message(int fd, const char *number, const char *text, char *resp, size_t resp_size);

// Deletes the SMS at storage index `index` (first 5 characters).
int del_shortMessage(int fd, const char *index);

// One entry of an unread listing, every field NUL-terminated and cut to fit.
struct sms_entry {
    char index[16];   // as listed, a leading blank included
    char sender[30];  // as listed, quotes included
    char text[2048];
};

// Parses the next "+CMGL:" entry of the listing held in buf[0..len), looking
// from offset `from`. An entry relies on its first ':', the first three
// commas after it, the CR ending the header line, one character after that
// CR and the CR ending the text. An entry cut short (no CR ending the
// header, fewer than three commas in it, no room for the LF, no CR ending the
// text) is passed over. On success fills *e, sets *next just past the text's
// CR and returns 1; returns 0 when no further entry is complete. Never reads
// at or beyond buf[len].
int sms_next_entry(const char *buf, size_t len, size_t from, sms_entry *e, size_t *next);

// True when `sender` may command the gateway: always when admin_numbers is
// null; otherwise when the sender, without surrounding double quotes, equals
// one item of the comma-separated list (items without surrounding blanks and
// quotes; empty items match nobody).
bool sms_sender_allowed(const char *admin_numbers, const char *sender);

// One poll of the SMS thread: zero the inbox, list the unread SMS into it
// (keeping its last byte as a terminator), then for every entry in order:
// print sender and text, delete it, and, if the sender is allowed, store the
// sender in sms_phone and run the command. A sender that is not allowed is
// logged and neither stored, run nor answered.
void receive_short_message_poll(gateway_context *ctx, int gsm_fd, char *inbox, size_t inbox_size,
                                const char *admin_numbers);

// The SMS thread: takes gsm_fd once, reads the optional configuration key
// "sms_admin_numbers" once, then polls forever.
void *receive_short_message(void *arg);

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
