// The server link: connector, heartbeat supervisor, broken-pipe recovery.
//
// Rules that keep the link well defined across threads:
//  - sockfd and net_connect_flag are atomics; they change only under the
//    link lock, together with the shutdown or the close of the old socket;
//  - every write to the server goes through server_write(), which holds the
//    link lock from the test of net_connect_flag to the end of the write, so
//    no write reaches a link that has been ended;
//  - ending a link is shutdown() and then close(), and only the server pump,
//    the one thread that reads the socket, closes it. A thread that finds the
//    link broken (a forward that met a broken pipe, sigterm) marks it down
//    and shuts it down, which ends the pump's wait at once; the pump closes
//    the socket and, 1 s later, starts the connector on its next pass
//    (close_ended_link). So the descriptor the pump waits on or reads is
//    never closed under it, nor its number taken over by another open
//    (a config rewrite) while the pump may still read it;
//  - a recovery acts only on the link it saw broken: when two threads see
//    the same link break, the second finds it already down and does nothing,
//    so every recovery leaves exactly one open socket;
//  - at most one connector runs at a time, started only while the link is
//    down: at start-up, or by the server pump once the old socket is closed.
//    Connector threads are detached, so a finished one leaves nothing behind;
//  - every socket is close-on-exec (Socket): a program the gateway starts
//    cannot keep a link open after the gateway has closed it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "runtime/state.h"

// Thread entry: creates a socket, stores it in sockfd and connects it to
// server_ip_addr:server_port, retrying once a second, until it succeeds;
// then sets net_connect_flag to 1 and ends.
void *connecttoserver(void *arg);

// Starts a detached connector thread unless one is running already. A
// thread that cannot be created ends the process with status 1 after
// "pthread_create ERROR\n".
void start_connector(gateway_context *ctx);

// The broken-pipe recovery on net_fd1 (it takes no context), on any thread:
// "socket was closed", link down, socket shut down; the server pump closes
// it and starts a new connector 1 s later (close_ended_link). Never called
// from signal context: SIGPIPE is ignored, and server_write runs the same
// recovery itself on the thread whose write met the broken pipe. The
// argument is ignored.
void sigterm(int signo);

// The same recovery when the server pump found that the server ended the
// link on fd (end of stream or reset); nothing when that link is gone already.
void server_closed(gateway_context *ctx, int fd);

// Writes len bytes to the server while the link is up. Returns what Write
// returned, or -1 without writing when the link is down. A write that meets
// a broken pipe runs the recovery on the calling thread before returning -1.
ssize_t server_write(gateway_context *ctx, const void *buf, size_t len);

// Run by the server pump, and only by it, at the start of every pass: closes
// the socket of a link that a recovery has ended, waits 1 s and starts the
// connector. Returns at once when no ended link waits.
void close_ended_link(gateway_context *ctx);

// The heartbeat supervisor, run every 60 passes of the server pump: drops a
// link whose server left five heartbeats unanswered (on the pump, so it shuts
// down and closes the socket itself and starts the connector at once), then
// sends the 25-byte heartbeat (CRC refreshed) while the link is up and counts
// it.
int heartbeatprocess(gateway_context *ctx, uint8_t *heartbeat, int *heartbeat_miss_count);

// Reads the TLS settings of config_file (io/tls.h) and, when they ask
// for TLS, builds its context, printing "tls: ..." lines. Without TLS keys
// the link stays plain TCP. With unusable ones it stays down: never plain.
// False when TLS is asked for and not ready yet (the connector tries again).
bool tls_link_setup(const char *config_file);

// True when the link must be TLS.
bool tls_link_on();

// The server pump's read when TLS is on: decrypted bytes already inside the
// session first; else waits up to timeout_s (gateway time) for the socket
// without the link lock and reads one record's worth under it. >0: bytes;
// 0: nothing (yet); -1: the session ended with a TLS error or the server's
// close ("tls: ..." printed): the caller runs server_closed.
ssize_t server_read_tls(gateway_context *ctx, int fd, void *buf, size_t size, int timeout_s);

// The heartbeat frame (L = 19) and the buffer that holds its template.
constexpr int HEARTBEAT_LEN = 25;
constexpr int HEARTBEAT_BUF_SIZE = 100;

// Fills a zeroed HEARTBEAT_BUF_SIZE-byte buffer with the heartbeat template
// for the gateway address addr (6 bytes).
void heartbeat_fill(uint8_t *heartbeat, const uint8_t *addr);
