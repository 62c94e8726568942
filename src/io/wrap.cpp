#include "io/wrap.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <unistd.h>

#include "board/timebase.h"

namespace {

// One attempt at writing: send() on sockets so that a peer that has gone away
// is reported as EPIPE rather than killing the process with SIGPIPE, write()
// on everything else (send() tells which by failing with ENOTSOCK).
ssize_t write_once(int fd, const void *ptr, size_t nbytes)
{
    ssize_t n = send(fd, ptr, nbytes, MSG_NOSIGNAL);
    if (n == -1 && errno == ENOTSOCK)
        n = write(fd, ptr, nbytes);
    return n;
}

// The read-ahead of my_read. Invariant while the lock is not held:
// read_cnt > 0 means read_ptr points at the next of read_cnt unread bytes in
// read_buf; read_cnt <= 0 means empty (negative after a failed read).
std::mutex read_lock;
int read_cnt = 0;
char *read_ptr = nullptr;
char read_buf[100];

}  // namespace

void perr_exit(const char *s)
{
    std::perror(s);
    std::exit(1);
}

int Accept(int fd, struct sockaddr *sa, socklen_t *salenptr)
{
    for (;;) {
        int n = accept4(fd, sa, salenptr, SOCK_CLOEXEC);
        if (n >= 0)
            return n;
        if (errno != ECONNABORTED && errno != EINTR)
            perr_exit("accept error");
    }
}

void Bind(int fd, const struct sockaddr *sa, socklen_t salen)
{
    if (bind(fd, sa, salen) < 0)
        perr_exit("bind error");
}

void Connect(int fd, const struct sockaddr *sa, socklen_t salen)
{
    // An attempt cut short by a signal goes on in the background, and the
    // next call may then find the socket connected already.
    while (connect(fd, sa, salen) < 0 && errno != EISCONN)
        gw_sleep(2);
}

void Listen(int fd, int backlog)
{
    if (listen(fd, backlog) < 0)
        perr_exit("listen error");
}

int Socket(int family, int type, int protocol)
{
    int n = socket(family, type | SOCK_CLOEXEC, protocol);
    if (n < 0)
        perr_exit("socket error");
    return n;
}

void Close(int fd)
{
    if (close(fd) == -1)
        perr_exit("close error");
}

ssize_t Read(int fd, void *ptr, size_t nbytes)
{
    ssize_t n = read(fd, ptr, nbytes);
    if (n == -1 && errno == EINTR) {
        std::perror("errno == EINTR");
        errno = EINTR;  // perror may touch errno; callers see the read's
    }
    return n;
}

ssize_t Write(int fd, const void *ptr, size_t nbytes)
{
    ssize_t n;
    do {
        n = write_once(fd, ptr, nbytes);
    } while (n == -1 && errno == EINTR);
    return n;
}

ssize_t Readn(int fd, void *vptr, size_t n)
{
    char *ptr = static_cast<char *>(vptr);
    size_t nleft = n;
    while (nleft > 0) {
        ssize_t nread = read(fd, ptr, nleft);
        if (nread < 0) {
            if (errno != EINTR)
                return -1;
            nread = 0;
        } else if (nread == 0) {
            break;  // end of stream
        }
        nleft -= static_cast<size_t>(nread);
        ptr += nread;
    }
    return static_cast<ssize_t>(n - nleft);
}

ssize_t Writen(int fd, const void *vptr, size_t n)
{
    const char *ptr = static_cast<const char *>(vptr);
    size_t nleft = n;
    while (nleft > 0) {
        ssize_t nwritten = write_once(fd, ptr, nleft);
        if (nwritten <= 0) {
            if (nwritten < 0 && errno == EINTR)
                continue;
            return -1;  // failed, or a write that makes no progress
        }
        nleft -= static_cast<size_t>(nwritten);
        ptr += nwritten;
    }
    return static_cast<ssize_t>(n);
}

ssize_t my_read(int fd, char *ptr)
{
    std::lock_guard<std::mutex> hold(read_lock);
    if (read_cnt <= 0) {
        ssize_t got;
        do {
            got = read(fd, read_buf, sizeof read_buf);
        } while (got == -1 && errno == EINTR);
        read_cnt = static_cast<int>(got);  // at most sizeof read_buf
        if (got < 0)
            return -1;  // read_cnt stays negative: the next call reads again
        if (got == 0)
            return 0;
        read_ptr = read_buf;
    }
    read_cnt--;
    *ptr = *read_ptr++;
    return 1;
}

ssize_t Readline(int fd, void *vptr, size_t maxlen)
{
    if (maxlen == 0) {  // no room even for the terminating zero
        errno = EINVAL;
        return -1;
    }
    char *ptr = static_cast<char *>(vptr);
    size_t n = 0;
    while (n + 1 < maxlen) {
        char c;
        ssize_t rc = my_read(fd, &c);
        if (rc == 1) {
            ptr[n++] = c;
            if (c == '\n')
                break;
        } else if (rc == 0) {
            break;  // end of stream: what was stored so far is the line
        } else {
            return -1;
        }
    }
    ptr[n] = 0;
    return static_cast<ssize_t>(n);
}
