// Thin wrappers over the socket calls and over reading and writing
// descriptors. Each takes the arguments of the call it wraps and adds one
// fixed failure rule:
//   - fatal (Accept, Bind, Listen, Socket, Close): perror with "<name> error"
//     and exit status 1, whichever thread called;
//   - retried (Connect): every 2 s of gateway time until connected;
//   - returned (Read, Write, Readn, Writen, my_read, Readline): -1, with errno
//     as the failed call left it.
// Only my_read and Readline keep state (one read-ahead for the process).
// Every descriptor Socket and Accept make is close-on-exec: a program the
// gateway starts must not hold a link open (the peer would see no end of it).
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

// perror(s), then exit(1).
[[noreturn]] void perr_exit(const char *s);

// accept() (close-on-exec), repeated at once on ECONNABORTED or EINTR;
// "accept error" otherwise.
int Accept(int fd, struct sockaddr *sa, socklen_t *salenptr);
// bind(); "bind error" on failure.
void Bind(int fd, const struct sockaddr *sa, socklen_t salen);
// connect() on the same descriptor until it succeeds, sleeping 2 s between
// attempts; never gives up. A descriptor that is already connected (EISCONN)
// counts as success.
void Connect(int fd, const struct sockaddr *sa, socklen_t salen);
// listen(); "listen error" on failure.
void Listen(int fd, int backlog);
// socket() (close-on-exec); "socket error" on failure.
int Socket(int family, int type, int protocol);
// close(); "close error" on failure.
void Close(int fd);

// One read(). Returns bytes read, 0 at end of stream, or -1; an interrupted
// read is not repeated but reported first with perror("errno == EINTR").
ssize_t Read(int fd, void *ptr, size_t nbytes);

// One write, repeated only while it fails with EINTR; may return fewer than
// `nbytes`. On a socket the bytes go out with send(MSG_NOSIGNAL), so a closed
// peer gives -1 with errno EPIPE instead of raising SIGPIPE; any other
// descriptor gets a plain write().
ssize_t Write(int fd, const void *ptr, size_t nbytes);

// Reads until `n` bytes arrived or the stream ended; EINTR counts as 0 bytes.
// Returns the bytes read (fewer than n only at end of stream) or -1.
ssize_t Readn(int fd, void *vptr, size_t n);

// Writes all `n` bytes (with Write's socket rule); EINTR counts as 0 bytes.
// Returns n, or -1 when a write fails or transfers nothing.
ssize_t Writen(int fd, const void *vptr, size_t n);

// Hands out one byte through `ptr` from a 100-byte read-ahead, refilling it
// with one read of `fd` when empty. Returns 1, 0 at end of stream, or -1.
// The read-ahead belongs to the process, not to `fd`: bytes read ahead from
// one descriptor are handed out first even to a call naming another. A mutex
// keeps concurrent calls from corrupting it, but they still share its bytes.
ssize_t my_read(int fd, char *ptr);

// Reads one line through my_read: at most maxlen - 1 bytes (maxlen >= 1),
// stopping after a newline, which is kept, or at end of stream. Stores a zero
// byte after the bytes and returns their number. On a read failure returns -1
// and leaves the bytes stored so far without a terminating zero; maxlen 0
// stores nothing and gives -1 with errno EINVAL.
ssize_t Readline(int fd, void *vptr, size_t maxlen);
