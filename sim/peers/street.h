// Stand-ins for what surrounds the gateway in its cabinet: the radio
// modules' serial lines, the central server and the GPIO tree. Used by the
// tests and by lampgw-sim; nothing here is gateway code.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "peers/hex.h"

struct ssl_ctx_st;  // OpenSSL's SSL_CTX and SSL, kept out of this header
struct ssl_st;

// Polls pred every few milliseconds until it holds or timeout_ms of real
// time have passed.
bool wait_for(const std::function<bool()> &pred, int timeout_ms);

// CRC-16/MODBUS, bit by bit: the stand-ins check the gateway's frames with
// their own arithmetic, not with the gateway's table.
uint16_t modbus_crc(const uint8_t *p, size_t n);

// A frame of the wire format: A3 20, length, body, CRC-16 high byte first.
// body is everything from the device address (byte 4) to the payload end.
bytes make_frame(const bytes &body);
// A frame with the usual layout: address, type, radio prefix, command, payload.
bytes make_frame(const uint8_t addr[6], uint8_t type, uint8_t prefix0, uint8_t prefix1,
                 uint8_t command, const bytes &payload);

// "type 5, command 02, address 4C 50 00 02 00 01", as the street's logs
// describe a frame; its bytes for anything shorter than a command's frame.
std::string describe_frame(const bytes &f);

// A fresh directory for a run's stand-ins (sysfs, the board's files, its
// process table), named <name>-XXXXXX: in memory (/dev/shm) where the machine
// has it, else under $TMPDIR or /tmp. In memory, as sysfs is on a board, no
// stall of the machine's disk can hold up the gateway's GPIO writes or file
// rewrites. Empty when none can be made.
std::string make_run_dir(const char *name);
// Removes a directory tree made for a run (nothing when root is empty).
void remove_tree(const std::string &root);
// A numeric field of /proc/<pid>/status ("VmRSS", "Threads"), -1 when absent.
long process_status(int pid, const char *key);
// A frame as the radio carries it: a copy of frame bytes 11 and 12 in front.
bytes radio_frame(const bytes &frame);

// One serial line: the gateway opens the slave (path()), the far side is ours.
class SerialPeer {
public:
    SerialPeer();
    ~SerialPeer();
    SerialPeer(const SerialPeer &) = delete;
    SerialPeer &operator=(const SerialPeer &) = delete;
    bool start();
    const std::string &path() const { return path_; }
    void send(const bytes &b);  // bytes the gateway will read
    bytes received() const;     // every byte the gateway wrote, in order
    size_t received_size() const;
    // Called on the reader thread for every chunk the gateway wrote.
    std::function<void(const bytes &chunk)> on_bytes;
    void hang_up();  // close our side, like a module unplugged
    // False: received() stops growing (long runs watch on_bytes only).
    std::atomic<bool> keep_received{true};
    // True once every byte written to the line before the call has been
    // passed to on_bytes. The pseudo-terminal hands bytes over through a
    // kernel worker, so finding nothing to read proves nothing: a marker is
    // written behind them on the line's own slave side and the line is
    // drained when the marker comes out (it is never passed on). Meant for
    // a line whose writer has stopped; false after timeout_ms of real time.
    bool drain(int timeout_ms);

private:
    void run();
    void take(const uint8_t *p, size_t n);
    int master_ = -1, slave_ = -1;
    std::string path_;
    mutable std::mutex lock_;
    bytes received_;
    bytes marker_, held_;  // while draining: the marker, the bytes before it
    bool marker_seen_ = false;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

// The server's side of a protected link.
struct server_tls_options {
    std::string cert_file, key_file;  // PEM, the certificate the server shows
    std::string client_ca_file;  // non-empty: a client certificate is required, checked against it
    int max_version = 0;  // non-zero (TLS1_1_VERSION): only protocols up to it, as an old server
};

struct test_certs;
// The street's own server: the set's server certificate, and a client
// certificate signed by its CA required.
server_tls_options street_server_tls(const test_certs &c);

// The central server on 127.0.0.1: accepts the gateway's connections one at
// a time and keeps what arrives on each.
//
// With use_tls, every accepted connection is handshaken on the server thread
// (bounded in time) and then read and written through its TLS session only:
// the socket is non-blocking and one mutex (lock_) is held around every call
// on the session, so that sends from other threads never meet the server
// thread's read. A failed handshake closes the connection; it does not count
// as a connection.
class ServerPeer {
public:
    ServerPeer();
    ~ServerPeer();
    ServerPeer(const ServerPeer &) = delete;
    ServerPeer &operator=(const ServerPeer &) = delete;
    bool start();  // listens on an ephemeral port
    // Before start(): speak TLS. False, with the reason in *err, when the
    // files cannot be used.
    bool use_tls(const server_tls_options &o, std::string *err);
    int tls_handshakes() const;       // handshakes that succeeded
    int tls_refused() const;          // handshakes that failed (the gateway refused, say)
    std::string client_name() const;  // CN of the latest client certificate, "" for none
    // Test hooks for a hostile link: bytes straight onto the socket in place
    // of a TLS record; and b's record cut in the middle: its first half is
    // written, then the connection is dropped.
    void send_raw(const bytes &b);
    void cut_record(const bytes &b);
    int port() const { return port_; }
    void send(const bytes &b);  // to the current connection, if any
    // The same in pieces of `piece` bytes, each its own TCP segment, with
    // gap_us of real time between them.
    void send_pieces(const bytes &b, size_t piece, int gap_us);
    void drop();  // closes the current connection
    // True: the current connection is dropped and the port closed, so that
    // connecting is refused; false: the same port listens again.
    void set_refusing(bool refuse);
    int connections() const;  // accepted so far
    bool connected() const;
    bytes received() const;             // everything received on every connection
    std::vector<bytes> frames() const;  // whole frames received, in order
    int heartbeats() const;             // heartbeat frames received
    std::atomic<bool> answer_heartbeats{true};
    std::function<void(const bytes &frame)> on_frame;
    // Called on the server thread with the number of connections accepted so
    // far, after each accept, and when the gateway ends a connection.
    std::function<void(int connections)> on_connect;
    std::function<void()> on_close;
    // False: received() and frames() stop growing (long runs watch on_frame).
    std::atomic<bool> keep_records{true};
    // True once everything the gateway had written when drain() was called
    // has been read and handled, and every connection it had made by then
    // accepted: the server thread has since found nothing left to accept or
    // read. to_the_end: also no connection open any more, i.e. each was read
    // up to its end (the gateway shut its socket down). False after
    // timeout_ms of real time.
    bool drain(bool to_the_end, int timeout_ms);

private:
    void run();
    bool follow_refusal();
    void accept_next(int conn);
    void read_from(int conn);
    void read_rest(int conn);           // what a connection about to be closed still holds
    bool connected_or_dropped() const;  // a connection not yet closed
    bool listen_on(int port);
    void send_locked(const bytes &b);  // send_lock_ held
    std::mutex send_lock_;             // keeps one send's pieces together
    void handle(const bytes &chunk);
    ssl_st *tls_accept(int c);
    ssize_t conn_read(int conn, uint8_t *buf, size_t size);  // -2: nothing whole yet
    void conn_write_locked(const uint8_t *p, size_t n);      // lock_ held
    void tls_write_locked(const uint8_t *p, size_t n);       // lock_ held
    void tls_end();                                          // frees the context
    void close_notify_locked();                              // lock_ held
    void close_conn_locked();                                // lock_ held
    ssl_ctx_st *tls_ctx_ = nullptr;
    ssl_st *ssl_ = nullptr;  // conn_'s session in TLS mode; under lock_
    int tls_handshakes_ = 0, tls_refused_ = 0;
    std::string client_name_;
    int listen_fd_ = -1, conn_ = -1, port_ = 0;
    bool dropped_ = false;  // conn_ shut down by drop(), not yet closed
    mutable std::mutex lock_;
    bytes received_, pending_;
    std::vector<bytes> frames_;
    int connections_ = 0, heartbeats_ = 0;
    std::atomic<bool> refuse_{false};
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> quiet_passes_{0};  // waits that found nothing to do
    std::thread thread_;
};

// The board description's GPIO lines as the gateway drives them (modem
// reset, both transmit keys, start-up pulse, watchdog), for a GpioTree that
// stands in for them.
std::vector<int> board_gpio_lines();

// A sysfs GPIO tree in a temporary directory. Each value file is a FIFO
// read by one thread, so every level the gateway sets is recorded in order.
struct gpio_event {
    int line;
    int level;
    std::chrono::steady_clock::time_point at;
};
class GpioTree {
public:
    explicit GpioTree(const std::vector<int> &lines);
    ~GpioTree();
    GpioTree(const GpioTree &) = delete;
    GpioTree &operator=(const GpioTree &) = delete;
    const std::string &root() const { return root_; }
    std::vector<gpio_event> events() const;
    std::vector<int> levels(int line) const;  // every level set on line, in order
    int level(int line) const;                // the latest, -1 before any
    // Called on the reading thread (or the one calling drain()) for every level.
    std::function<void(const gpio_event &)> on_event;
    // Reads, on the calling thread, every level already written and reports
    // it before returning: whatever the gateway wrote before some other
    // write we have seen is known afterwards.
    void drain();
    // False: events() stops growing (long runs watch on_event only).
    std::atomic<bool> keep_events{true};

private:
    void run();
    void read_fifos(const std::vector<bool> &ready);
    std::mutex read_lock_;              // one reader of the FIFOs at a time
    std::vector<std::string> partial_;  // a level's text not ended yet, per FIFO
    std::string root_;
    std::vector<std::pair<int, int>> fifos_;  // line, fd
    mutable std::mutex lock_;
    std::vector<gpio_event> events_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
