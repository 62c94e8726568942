// A stand-in for the ME3630 cellular modem, for the tests and the simulator.
//
// The emulator holds the master side of a pseudo-terminal and answers on it
// as the modem's AT port does in SMS text mode, with echo off: every answer
// is framed by "\r\n". The gateway opens the slave side (slave_path()) or
// uses slave_fd() directly, in place of the modem's USB serial node.
//
// What it understands (command names in any case, arguments exactly):
//   AT                          OK
//   AT+CMGF=1                   OK (text mode is the only mode)
//   AT+CPMS=<anything>          +CPMS: <used>,<slots>,... (three times) then OK
//   AT+GMR                      the version text then OK
//   AT+CCID                     +CCID: 89860000000000000000 then OK
//   AT+CSQ                      +CSQ: <rssi>,99 then OK (rssi 20 unless set;
//                               a negative rssi: ERROR, as a modem without it)
//   ATD<number>;  AT+CHUP       OK
//   AT+CMGL[=<stat>]            the messages of that status, then OK; stat is
//                               "REC UNREAD" (the default), "REC READ", "ALL",
//                               "STO UNSENT" or "STO SENT" (never any stored);
//                               unread messages listed become read
//   AT+CMGR=<index>             +CMGR: "REC UNREAD"|"REC READ","<sender>",,"<time>"
//                               CR LF, the text as it is (CR and LF included),
//                               CR LF, CR LF OK CR LF; the message becomes
//                               read; an empty index: +CMS ERROR: 321
//   AT+CMGS=<da>                the prompt "\r\n> ", then the body up to
//                               Ctrl-Z (sent: +CMGS: <mr> then OK) or ESC
//                               (cancelled: OK); a CR LF after either is
//                               taken as part of the body's terminator;
//                               while sends fail: +CMS ERROR: 500, no prompt
//   AT+CMGD=<index>[,<flag>]    OK, or +CMS ERROR: 321 for an empty index;
//                               while deletes fail: +CMS ERROR: 500, kept
// Anything else is answered "\r\nERROR\r\n". An ESC outside a body drops
// the command line begun, as a modem does, and is recorded as "\x1B".
//
// commands() records every command line and every SMS body (text, 0x1A or
// ESC, and the CR/LF that followed) exactly as received, whether or not it was
// understood. A lone CR (empty line) is not a command and is not recorded,
// nor is a LF at the start of a line.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct emu_sms {
    int index;           // SIM storage index, 1..capacity
    std::string sender;  // without quotes; the listing puts quotes around it
    std::string text;
    bool read;
};

struct emu_sent_sms {
    std::string number;                             // as given after "AT+CMGS=" (quotes included)
    std::string text;                               // body without the Ctrl-Z
    std::chrono::steady_clock::time_point started;  // when the AT+CMGS line arrived
};

// What AT+CMGL is answered with while the listing is faulty.
enum class emu_listing {
    whole,  // the listing as it should be
    junk,   // printable noise and no listing at all; nothing becomes read
    cut,    // the listing cut off after a random entry or inside the final
            // OK; only the messages listed whole become read
};

class ModemEmulator {
public:
    ModemEmulator();
    ~ModemEmulator();  // stops the thread, closes both pty ends
    ModemEmulator(const ModemEmulator &) = delete;
    ModemEmulator &operator=(const ModemEmulator &) = delete;

    // Opens the pty pair, puts the slave in raw mode and starts the thread.
    // False (with perror) when the pty cannot be had, or when already started.
    bool start();
    const std::string &slave_path() const;  // e.g. /dev/pts/7, for board.gsm_dev
    // An open descriptor of the slave, usable as gsm_fd; the emulator owns it
    // and closes it in its destructor.
    int slave_fd() const;

    // Stores an unread SMS at the lowest free index (1, 2, ...) and returns
    // that index. A full SIM refuses it, as a SIM does (the network keeps it
    // undelivered): returns 0 and counts it in refused().
    int add_sms(const std::string &sender, const std::string &text);
    // Slots of the SIM, 30 unless set; messages already stored stay.
    void set_capacity(int slots);
    int refused() const;                 // messages add_sms refused because the SIM was full
    std::vector<emu_sms> inbox() const;  // ordered by index
    std::vector<emu_sent_sms> sent() const;
    std::vector<std::string> commands() const;
    std::string received() const;  // every byte received, in order

    // True: the modem records what it receives but handles and answers
    // nothing at all (its SIM and send state stay unchanged).
    void set_silent(bool silent);
    // 0: every answer in one write. Otherwise answers are written in pieces of
    // chunk_bytes with a pause of gap_ms between pieces. The pause runs on the
    // gateway's clock (timebase speed-up), so it keeps its relation to the
    // gateway's response time-outs in sped-up tests.
    void set_chunking(size_t chunk_bytes, int gap_ms);
    void set_version(const std::string &v);  // answer to AT+GMR
    void set_signal(int rssi);               // answer to AT+CSQ
    // 0: AT+CMGL is answered at once. Otherwise the listing is written that
    // many gateway milliseconds after the command arrived, as a modem busy
    // reading its SIM; the listing holds the inbox as it is when written.
    // Nothing else is read or answered meanwhile.
    void set_listing_delay(int gateway_ms);
    // Faulty listings; seed makes the junk and the cut points repeatable.
    void set_listing_fault(emu_listing mode, uint32_t seed);
    // 0: off. Otherwise the modem writes the unsolicited line
    // "\r\n+CREG: 1\r\n" every gateway_ms milliseconds of gateway time,
    // between answers (never inside one, nor while an SMS body is being
    // taken), silent or not, for as long as it is on.
    void set_babble(int gateway_ms);
    // The next n AT+CMGS / AT+CMGD fail with "+CMS ERROR: 500" (no prompt;
    // the message is kept); n < 0: every one until called again with 0.
    void fail_next_sends(int n);
    void fail_next_deletes(int n);
    // False: commands(), received() and sent() stop growing (for long runs
    // that follow the modem through the callbacks only). True by default.
    void set_recording(bool keep);

    // Closes the master, as a USB modem unplugged: the gateway's reads on the
    // slave see end of file, its writes EIO, and the slave's /dev/pts node
    // goes away. Nothing is answered afterwards.
    void vanish();

    // Optional; called from the emulator thread, without the emulator's lock
    // held, with a short line for every command handled and SMS sent, e.g.
    // "sms sent to \"+4915...\": ok" or "AT+CMGF=1: OK". Set before start().
    std::function<void(const std::string &event)> on_event;
    // Optional, like on_event: every AT+CMGD handled, with the message it
    // deleted as it was (m.read: it had been listed). found false: the
    // index was empty, m holds only the index.
    std::function<void(bool found, const emu_sms &m)> on_delete;
    // Optional, like on_event: every SMS sent (Ctrl-Z), with its start time.
    std::function<void(const emu_sent_sms &sms)> on_sms;

    // Polls pred every 10 ms until it holds or timeout_ms (real time) passed;
    // returns the last value of pred.
    bool wait_until(const std::function<bool()> &pred, int timeout_ms) const;

private:
    void run();
    void stop_thread();
    void feed(const char *p, size_t n);
    void end_line(const std::string &raw);
    void end_body(const std::string &raw, bool send);
    std::string handle(const std::string &line, std::string &event);
    std::string listing(const std::string &stat);
    std::string faulty_listing(const std::string &stat);
    void answer(const std::string &text);
    void emit(const std::string &event);
    void pause_gateway_ms(int ms);
    void babble_if_due();

    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    // Parser state, touched only by the emulator thread.
    std::string line_;  // command characters before the CR
    std::string body_;  // SMS body collected after the prompt
    std::string tail_;  // terminator bytes still welcome after the last record
    bool in_body_ = false;

    mutable std::mutex mu_;  // guards everything below
    std::vector<emu_sms> inbox_;
    std::vector<emu_sent_sms> sent_;
    std::vector<std::string> commands_;
    std::string received_;
    std::string number_;  // destination of the SMS being collected
    std::string version_ = "ME3630C3CV1.0B06";
    std::atomic<int> signal_{20};
    bool silent_ = false;
    size_t chunk_bytes_ = 0;
    int gap_ms_ = 0;
    int listing_delay_ms_ = 0;
    emu_listing listing_mode_ = emu_listing::whole;
    uint32_t fault_rng_ = 1;
    bool recording_ = true;
    std::chrono::steady_clock::time_point cmgs_at_;
    std::vector<std::pair<bool, emu_sms>> deleted_;  // CMGD results not yet reported
    int next_mr_ = 1;
    int capacity_ = 30;
    int refused_ = 0;
    int babble_ms_ = 0;
    std::chrono::steady_clock::time_point next_babble_;
    int fail_sends_ = 0, fail_deletes_ = 0;
};
